#include "audio_test_support.h"

#include <algorithm>

bool ScriptedAudioDevice::open(const AudioDeviceSettings& settings, LogCallback log, CycleCallback callback,
                               void* context) {
    ++open_calls;
    if (!open_succeeds) {
        if (log) {
            log("[test] scripted device refused to open");
        }
        return false;
    }
    callback_ = callback;
    context_ = context;
    block_frames = actual_block_frames != 0 ? actual_block_frames : settings.block_frames;
    sample_rate = actual_sample_rate != 0.0 ? actual_sample_rate : static_cast<double>(settings.sample_rate);
    output_channels = settings.output_channel_map.size();
    input_channels = settings.input_channel_map.size();
    output.assign(output_channels, std::vector<float>(block_frames, 0.0f));
    output_was_silence_request.assign(output_channels, false);
    input.resize(input_channels);
    return true;
}

bool ScriptedAudioDevice::start() {
    started = start_succeeds;
    return start_succeeds;
}

void ScriptedAudioDevice::stop() {
    ++stop_calls;
    started = false;
}

void ScriptedAudioDevice::read_channel(long channel, long, float* destination, long frames) {
    const auto n = static_cast<std::size_t>(frames);
    const auto c = static_cast<std::size_t>(channel);
    if (c < input.size() && input[c].size() >= n) {
        std::copy(input[c].begin(), input[c].begin() + static_cast<long>(n), destination);
    } else {
        std::fill(destination, destination + n, 0.0f);
    }
}

void ScriptedAudioDevice::write_channel(long channel, long, const float* source, long frames) {
    const auto c = static_cast<std::size_t>(channel);
    if (c >= output.size()) {
        return;
    }
    const std::size_t n = std::min(output[c].size(), static_cast<std::size_t>(frames));
    output_was_silence_request[c] = source == nullptr;
    if (source == nullptr) {
        std::fill(output[c].begin(), output[c].begin() + static_cast<long>(n), 0.0f);
    } else {
        std::copy(source, source + n, output[c].begin());
    }
}

void ScriptedAudioDevice::cycle() {
    if (callback_ != nullptr) {
        callback_(context_, 0);
    }
}

std::uint64_t VirtualPlayerClock::host_time_ns() const {
    if (read_step_ns == 0) {
        return now_ns_.load();
    }
    return now_ns_.fetch_add(read_step_ns) + read_step_ns;
}

void VirtualPlayerClock::advance_ns(std::uint64_t ns) const {
    const std::uint64_t now = now_ns_.fetch_add(ns) + ns;
    if (on_advance) {
        on_advance(now);
    }
}

void VirtualPlayerClock::sleep_ms(std::uint32_t milliseconds) const {
    advance_ns(static_cast<std::uint64_t>(milliseconds) * 1000000);
}

void VirtualPlayerClock::sleep_us(std::uint32_t microseconds) const {
    advance_ns(static_cast<std::uint64_t>(microseconds) * 1000);
}

bool ThreadedAudioDevice::open(const AudioDeviceSettings& settings, LogCallback, CycleCallback callback,
                               void* context) {
    callback_ = callback;
    context_ = context;
    block_frames = settings.block_frames;
    sample_rate = settings.sample_rate;
    output_channels = settings.output_channel_map.size();
    input_channels = settings.input_channel_map.size();
    return true;
}

bool ThreadedAudioDevice::start() {
    running_ = true;
    thread_ = std::thread([this] {
        while (running_) {
            if (!device_lost()) {
                callback_(context_, 0);
            }
            std::this_thread::sleep_for(period_);
        }
    });
    return true;
}

void ThreadedAudioDevice::stop() {
    running_ = false;
    if (thread_.joinable()) {
        thread_.join();
    }
}
