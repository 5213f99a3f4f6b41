#include <velmora/engine/player_clock.h>

#include <velmora/platform/clocks.h>

#include <chrono>
#include <thread>

namespace {

class SystemPlayerClock final : public PlayerClock {
public:
    std::uint64_t host_time_ns() const override { return VelmoraPlatform::host_time_nanoseconds(); }
    std::uint64_t monotonic_ms() const override { return VelmoraPlatform::monotonic_milliseconds(); }
    void sleep_ms(std::uint32_t milliseconds) const override {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
    void sleep_us(std::uint32_t microseconds) const override {
        std::this_thread::sleep_for(std::chrono::microseconds(microseconds));
    }
};

} // namespace

const PlayerClock& PlayerClock::system() {
    static const SystemPlayerClock clock;
    return clock;
}
