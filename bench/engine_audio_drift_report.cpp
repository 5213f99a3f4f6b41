// Prints how the audio player's drift loop behaves against server clocks that run fast or slow,
// and the distortion its resampling adds, all in simulated time (a few seconds of CPU).
//   velmora_engine_audio_drift_report [--quick]
#include "drift_simulation.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

struct Fit {
    double residual_energy = 0.0;
    double signal_energy = 0.0;
};

// Least-squares fit of a cos + b sin + c at angular frequency w (radians per sample).
Fit fit_sine(const std::vector<double>& x, double w) {
    double s[3][3] = {};
    double r[3] = {};
    const std::size_t n = x.size();
    std::vector<double> cs(n), sn(n);
    for (std::size_t i = 0; i < n; ++i) {
        cs[i] = std::cos(w * static_cast<double>(i));
        sn[i] = std::sin(w * static_cast<double>(i));
        const double basis[3] = {cs[i], sn[i], 1.0};
        for (int a = 0; a < 3; ++a) {
            r[a] += basis[a] * x[i];
            for (int b = 0; b < 3; ++b) {
                s[a][b] += basis[a] * basis[b];
            }
        }
    }
    // Gaussian elimination on the 3 x 3 normal equations.
    for (int col = 0; col < 3; ++col) {
        for (int row = col + 1; row < 3; ++row) {
            const double f = s[row][col] / s[col][col];
            for (int k = col; k < 3; ++k) {
                s[row][k] -= f * s[col][k];
            }
            r[row] -= f * r[col];
        }
    }
    double coef[3];
    for (int row = 2; row >= 0; --row) {
        double v = r[row];
        for (int k = row + 1; k < 3; ++k) {
            v -= s[row][k] * coef[k];
        }
        coef[row] = v / s[row][row];
    }
    Fit fit;
    for (std::size_t i = 0; i < n; ++i) {
        const double sine = coef[0] * cs[i] + coef[1] * sn[i];
        const double residual = x[i] - sine - coef[2];
        fit.signal_energy += sine * sine;
        fit.residual_energy += residual * residual;
    }
    return fit;
}

// THD+N in dB: everything but the best-fitting sine (frequency searched around `hz`) against it.
double thd_n_db(const std::vector<double>& x, double hz, double rate) {
    double lo = 2.0 * M_PI * hz / rate * 0.998;
    double hi = 2.0 * M_PI * hz / rate * 1.002;
    const double golden = (std::sqrt(5.0) - 1.0) / 2.0;
    double a = hi - golden * (hi - lo);
    double b = lo + golden * (hi - lo);
    double fa = fit_sine(x, a).residual_energy;
    double fb = fit_sine(x, b).residual_energy;
    for (int i = 0; i < 60; ++i) {
        if (fa < fb) {
            hi = b;
            b = a;
            fb = fa;
            a = hi - golden * (hi - lo);
            fa = fit_sine(x, a).residual_energy;
        } else {
            lo = a;
            a = b;
            fa = fb;
            b = lo + golden * (hi - lo);
            fb = fit_sine(x, b).residual_energy;
        }
    }
    const Fit fit = fit_sine(x, (lo + hi) / 2.0);
    return 10.0 * std::log10(std::max(fit.residual_energy, 1e-30) / fit.signal_energy);
}

double pll_at(const DriftResult& r, double t) {
    for (const DriftSecond& s : r.seconds) {
        if (s.time_s >= t) {
            return s.pll_ratio;
        }
    }
    return r.seconds.empty() ? 0.0 : r.seconds.back().pll_ratio;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0.0;
    }
    const auto index =
        static_cast<std::size_t>(std::clamp(p, 0.0, 1.0) * static_cast<double>(values.size() - 1));
    std::nth_element(values.begin(), values.begin() + static_cast<long>(index), values.end());
    return values[index];
}

void report_case(double ppm, std::size_t latency, double seconds) {
    DriftCase c;
    c.drift_ppm = ppm;
    c.latency_blocks = latency;
    c.seconds = seconds;
    // Depth error (depth - target, frames) after each cycle: every cycle of the last quarter of
    // the run, and the mean of each second.
    std::vector<double> steady;
    std::vector<double> second_means;
    double second_sum = 0.0;
    std::size_t second_count = 0;
    c.on_cycle = [&](double t, double error, const float*, std::size_t) {
        if (t >= seconds * 0.75) {
            steady.push_back(error);
        }
        second_sum += error;
        ++second_count;
        if (t >= static_cast<double>(second_means.size() + 1)) {
            second_means.push_back(second_sum / static_cast<double>(second_count));
            second_sum = 0.0;
            second_count = 0;
        }
    };
    const DriftResult r = run_drift_simulation(c);
    double mean = 0.0;
    for (const double e : steady) {
        mean += e / static_cast<double>(steady.size());
    }
    const double p1 = percentile(steady, 0.01);
    const double p99 = percentile(steady, 0.99);
    // Settled once the one-second mean error stays inside the steady envelope [p1, p99] widened
    // by 16 frames; negative when it never settles.
    double settle = second_means.empty() ? -1.0 : 1.0;
    for (std::size_t i = second_means.size(); i-- > 0;) {
        if (second_means[i] < p1 - 16.0 || second_means[i] > p99 + 16.0) {
            settle = i + 1 < second_means.size() ? static_cast<double>(i + 2) : -1.0;
            break;
        }
    }
    std::printf(
        "%+6.0f ppm  L=%-2zu  T=%4llu C=%4llu | pll@10s %.7f @60s %.7f @end %.7f (true %.7f) | "
        "steady err mean %7.1f p50 %6.0f [p1 %6.0f, p99 %6.0f] | settle %5.0f s | "
        "underruns %6llu (after 10 s %6llu) overruns %6llu (after 10 s %6llu)\n",
        ppm, latency, static_cast<unsigned long long>(r.target_frames),
        static_cast<unsigned long long>(r.capacity_frames), pll_at(r, 10), pll_at(r, 60),
        r.seconds.back().pll_ratio, r.true_ratio, mean, percentile(steady, 0.5), p1, p99, settle,
        static_cast<unsigned long long>(r.underruns), static_cast<unsigned long long>(r.underruns_after_10s),
        static_cast<unsigned long long>(r.overruns), static_cast<unsigned long long>(r.overruns_after_10s));
}

void report_thd(double ppm, std::size_t latency, double jitter_ms) {
    const double rate = 48000.0;
    const double from = 40.0;
    const double to = 100.0;
    std::vector<double> window;
    std::vector<double> results;
    DriftCase c;
    c.drift_ppm = ppm;
    c.latency_blocks = latency;
    c.seconds = to;
    c.sine_hz = 1000.0;
    c.network_jitter_ms = jitter_ms;
    c.on_cycle = [&](double t, double, const float* samples, std::size_t frames) {
        if (t < from) {
            return;
        }
        window.insert(window.end(), samples, samples + frames);
        if (window.size() >= 4800) {
            results.push_back(thd_n_db(window, 1000.0, rate));
            window.clear();
        }
    };
    run_drift_simulation(c);
    std::sort(results.begin(), results.end());
    std::printf("THD+N 1 kHz, %+.0f ppm, L=%zu, jitter %.1f ms: median %.1f dB, best %.1f dB, worst %.1f dB "
                "(%zu windows of 0.1 s from %.0f s)\n",
                ppm, latency, jitter_ms, results[results.size() / 2], results.front(), results.back(),
                results.size(), from);
}

} // namespace

int main(int argc, char** argv) {
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    const double short_run = quick ? 120.0 : 600.0;
    const double long_run = quick ? 600.0 : 2400.0;
    std::printf("Drift tracking, 48000 Hz, 128 frames, network delay 1 ms, no jitter; "
                "steady = last quarter of the run; error = depth after each cycle - target\n");
    for (std::size_t latency : {2u, 6u}) {
        for (double ppm : {100.0, -100.0, 1000.0, -1000.0}) {
            report_case(ppm, latency, short_run);
        }
    }
    for (double ppm : {100.0, -100.0, 1000.0, -1000.0, 40.0, -40.0}) {
        report_case(ppm, 32, long_run);
    }
    report_thd(0.0, 6, 0.0);
    report_thd(100.0, 6, 0.0);
    report_thd(100.0, 2, 0.0);
    report_thd(100.0, 6, 1.0);
    return 0;
}
