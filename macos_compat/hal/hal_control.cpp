// The test-control functions of <velmora_compat/hal_control.h>.
#include "hal_system.h"

#include <fstream>
#include <sstream>

namespace VelmoraCompat::Hal {

namespace {

HalSystem& hal() {
    return HalSystem::instance();
}

std::shared_ptr<HalDevice> device(AudioObjectID id) {
    std::shared_ptr<HalDevice> found;
    return hal().find_device(id, &found) == kAudioHardwareNoError ? found : nullptr;
}

} // namespace

void reset(const std::vector<DeviceDescription>& devices) {
    hal().reset(devices);
}

void reset_to_defaults() {
    hal().reset(default_devices());
}

bool load_device_file(const std::string& path, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    std::vector<DeviceDescription> devices;
    std::string reason;
    bool ok = false;
    if (!in) {
        reason = "cannot read the file";
    } else {
        std::ostringstream text;
        text << in.rdbuf();
        ok = parse_device_file(text.str(), &devices, &reason);
    }
    if (!ok) {
        if (error != nullptr) {
            *error = path + ": " + reason;
        }
        hal().reset(default_devices());
        return false;
    }
    hal().reset(devices);
    return true;
}

AudioObjectID add_device(const DeviceDescription& description, std::string* error) {
    return hal().add_device(description, error);
}

bool remove_device(AudioObjectID id) {
    return hal().remove_device(id);
}

bool kill_device(AudioObjectID id) {
    return hal().kill_device(id);
}

AudioObjectID device_with_uid(const std::string& uid) {
    return hal().device_with_uid(uid);
}

OSStatus set_property_externally(AudioObjectID object, AudioObjectPropertySelector selector, const void* data,
                                 UInt32 size) {
    if (data == nullptr) {
        return kAudioHardwareIllegalOperationError;
    }
    const AudioObjectPropertyAddress address{selector, kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    return hal().set_data(object, address, size, data, true);
}

bool set_running_elsewhere(AudioObjectID id, bool running) {
    return hal().set_running_elsewhere(id, running);
}

bool refuse_sample_rate(AudioObjectID id, Float64 rate) {
    return hal().refuse(id, &rate, nullptr);
}

bool refuse_buffer_frames(AudioObjectID id, UInt32 frames) {
    return hal().refuse(id, nullptr, &frames);
}

bool set_change_polls(AudioObjectID id, UInt32 rate_polls, UInt32 buffer_polls) {
    return hal().set_polls(id, rate_polls, buffer_polls);
}

bool set_input_source(AudioObjectID id, const InputSource& source) {
    auto d = device(id);
    if (d == nullptr) {
        return false;
    }
    std::shared_ptr<const VelmoraCompat::WavAudio> wav;
    if (source.kind == InputKind::wav_file) {
        auto data = std::make_shared<VelmoraCompat::WavAudio>();
        std::string error;
        if (!VelmoraCompat::read_wav_file(source.path, *data, error)) {
            return false;
        }
        wav = std::move(data);
    }
    d->set_input_source(source, std::move(wav));
    return true;
}

UInt64 step_io_cycles(AudioObjectID id, UInt64 count) {
    auto d = device(id);
    return d == nullptr ? 0 : d->step(count);
}

UInt64 io_cycle_count(AudioObjectID id) {
    auto d = device(id);
    return d == nullptr ? 0 : d->cycle_count();
}

std::vector<ChannelLevel> output_levels(AudioObjectID id) {
    auto d = device(id);
    return d == nullptr ? std::vector<ChannelLevel>() : d->take_levels();
}

} // namespace VelmoraCompat::Hal
