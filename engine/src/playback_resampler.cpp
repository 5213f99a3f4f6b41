#include <velmora/engine/playback_resampler.h>

#include <algorithm>
#include <cmath>

void resample_playback_channel(const float* ring, std::size_t capacity, std::uint64_t read, std::size_t buffered,
                               double phase, double ratio, float* out, std::size_t frames) {
    const std::size_t last = buffered - 1;
    for (std::size_t i = 0; i < frames; ++i) {
        const double position = phase + static_cast<double>(i) * ratio;
        const double whole = std::floor(position);
        const std::size_t k = static_cast<std::size_t>(whole);
        const std::size_t k0 = k < buffered ? k : last;
        const std::size_t k1 = std::min(k0 + 1, last);
        const double a = ring[(read + k0) % capacity];
        const double b = ring[(read + k1) % capacity];
        out[i] = static_cast<float>(a + (b - a) * (position - whole));
    }
}
