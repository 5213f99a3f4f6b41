#include <velmora/engine/core_audio_device.h>

#include <CoreFoundation/CoreFoundation.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

namespace {

constexpr int format_polls = 100;
constexpr auto format_poll_interval = std::chrono::milliseconds(10);

AudioObjectPropertyAddress global_address(AudioObjectPropertySelector selector) {
    return {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
}

// The buffer holding hardware channel `channel` and the channel's offset in it; false when no
// buffer does.
bool locate_channel(const AudioBufferList* list, long channel, UInt32& buffer, UInt32& offset) {
    if (list == nullptr || channel < 0) {
        return false;
    }
    unsigned long remaining = static_cast<unsigned long>(channel);
    for (UInt32 b = 0; b < list->mNumberBuffers; ++b) {
        const UInt32 channels = list->mBuffers[b].mNumberChannels;
        if (remaining < channels) {
            buffer = b;
            offset = static_cast<UInt32>(remaining);
            return true;
        }
        remaining -= channels;
    }
    return false;
}

} // namespace

std::unique_ptr<AudioDevice> create_audio_device() {
    return std::make_unique<CoreAudioDevice>();
}

CoreAudioDevice::~CoreAudioDevice() {
    stop();
}

bool CoreAudioDevice::fail(const char* reason) {
    if (log_) {
        log_(std::string("[coreaudio] ") + reason);
    }
    return false;
}

bool CoreAudioDevice::find_device() {
    if (settings_.device_uid == "default") {
        const AudioObjectPropertyAddress address = global_address(kAudioHardwarePropertyDefaultOutputDevice);
        AudioObjectID device = kAudioObjectUnknown;
        UInt32 size = sizeof device;
        if (AudioObjectGetPropertyData(kAudioObjectSystemObject, &address, 0, nullptr, &size, &device) != noErr ||
            device == kAudioObjectUnknown) {
            return false;
        }
        device_id_ = device;
        return true;
    }

    const AudioObjectPropertyAddress devices_address = global_address(kAudioHardwarePropertyDevices);
    UInt32 size = 0;
    if (AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &devices_address, 0, nullptr, &size) != noErr) {
        return false;
    }
    std::vector<AudioObjectID> devices(size / sizeof(AudioObjectID));
    if (devices.empty()) {
        return false;
    }
    size = static_cast<UInt32>(devices.size() * sizeof(AudioObjectID));
    if (AudioObjectGetPropertyData(kAudioObjectSystemObject, &devices_address, 0, nullptr, &size, devices.data()) !=
        noErr) {
        return false;
    }
    devices.resize(size / sizeof(AudioObjectID));

    const AudioObjectPropertyAddress uid_address = global_address(kAudioDevicePropertyDeviceUID);
    for (AudioObjectID device : devices) {
        CFStringRef uid = nullptr;
        UInt32 uid_size = sizeof uid;
        char text[1024] = {};
        if (AudioObjectGetPropertyData(device, &uid_address, 0, nullptr, &uid_size, &uid) == noErr && uid != nullptr) {
            if (!CFStringGetCString(uid, text, sizeof text, kCFStringEncodingUTF8)) {
                text[0] = '\0';
            }
            CFRelease(uid);
        }
        if (settings_.device_uid == text) {
            device_id_ = device;
            return true;
        }
    }
    return false;
}

bool CoreAudioDevice::read_format(Float64& rate, UInt32& frames) const {
    const AudioObjectPropertyAddress rate_address = global_address(kAudioDevicePropertyNominalSampleRate);
    const AudioObjectPropertyAddress frames_address = global_address(kAudioDevicePropertyBufferFrameSize);
    UInt32 rate_size = sizeof rate;
    UInt32 frames_size = sizeof frames;
    return AudioObjectGetPropertyData(device_id_, &rate_address, 0, nullptr, &rate_size, &rate) == noErr &&
           AudioObjectGetPropertyData(device_id_, &frames_address, 0, nullptr, &frames_size, &frames) == noErr;
}

bool CoreAudioDevice::open(const AudioDeviceSettings& settings, LogCallback log, CycleCallback callback,
                           void* context) {
    settings_ = settings;
    log_ = std::move(log);
    callback_ = callback;
    context_ = context;

    if (!find_device()) {
        return fail("device UID was not found");
    }
    if (settings_.block_frames < 1 || settings_.block_frames > 65535 || settings_.sample_rate == 0) {
        return fail("invalid requested format");
    }
    const Float64 requested_rate = static_cast<Float64>(settings_.sample_rate);
    const UInt32 requested_frames = static_cast<UInt32>(settings_.block_frames);

    Float64 rate = 0.0;
    UInt32 frames = 0;
    if (!read_format(rate, frames)) {
        return fail("cannot read device format");
    }
    if (rate != requested_rate) {
        const AudioObjectPropertyAddress address = global_address(kAudioDevicePropertyNominalSampleRate);
        if (AudioObjectSetPropertyData(device_id_, &address, 0, nullptr, sizeof requested_rate, &requested_rate) !=
            noErr) {
            return fail("sample rate is unsupported");
        }
    }
    if (frames != requested_frames) {
        const AudioObjectPropertyAddress address = global_address(kAudioDevicePropertyBufferFrameSize);
        if (AudioObjectSetPropertyData(device_id_, &address, 0, nullptr, sizeof requested_frames, &requested_frames) !=
            noErr) {
            return fail("block size is unsupported");
        }
    }
    // Hardware may take a while to switch; it has about a second to report the new format.
    bool accepted = false;
    for (int poll = 0; poll < format_polls; ++poll) {
        if (read_format(rate, frames) && rate == requested_rate && frames == requested_frames) {
            accepted = true;
            break;
        }
        if (poll + 1 < format_polls) {
            std::this_thread::sleep_for(format_poll_interval);
        }
    }
    if (!accepted) {
        return fail("hardware did not accept the server format");
    }
    sample_rate = rate;
    block_frames = frames;

    if (!inspect_streams(kAudioObjectPropertyScopeOutput, settings_.output_channel_map, output_channels) ||
        !inspect_streams(kAudioObjectPropertyScopeInput, settings_.input_channel_map, input_channels)) {
        return false;
    }

    for (AudioObjectPropertySelector selector : listened_selectors) {
        const AudioObjectPropertyAddress address = global_address(selector);
        if (AudioObjectAddPropertyListener(device_id_, &address, &CoreAudioDevice::changed, this) != noErr) {
            stop();
            return fail("cannot watch hardware changes");
        }
        ++listeners_registered_;
    }
    if (AudioDeviceCreateIOProcID(device_id_, &CoreAudioDevice::io, this, &io_proc_id_) != noErr ||
        io_proc_id_ == nullptr) {
        io_proc_id_ = nullptr;
        stop();
        return fail("cannot create audio callback");
    }

    if (log_) {
        log_("[coreaudio] device=" + settings_.device_uid + " rate=" + std::to_string(settings_.sample_rate) +
             " frames=" + std::to_string(block_frames));
    }
    return true;
}

bool CoreAudioDevice::inspect_streams(AudioObjectPropertyScope scope, const std::vector<long>& map,
                                      std::size_t& channel_total) {
    channel_total = 0;
    if (map.empty()) {
        return true;
    }
    const AudioObjectPropertyAddress streams_address = {kAudioDevicePropertyStreams, scope,
                                                        kAudioObjectPropertyElementMain};
    UInt32 size = 0;
    if (AudioObjectGetPropertyDataSize(device_id_, &streams_address, 0, nullptr, &size) != noErr) {
        return fail("cannot read device streams");
    }
    std::vector<AudioStreamID> streams(size / sizeof(AudioStreamID));
    if (!streams.empty()) {
        size = static_cast<UInt32>(streams.size() * sizeof(AudioStreamID));
        if (AudioObjectGetPropertyData(device_id_, &streams_address, 0, nullptr, &size, streams.data()) != noErr) {
            return fail("cannot read device streams");
        }
        streams.resize(size / sizeof(AudioStreamID));
    }

    const AudioObjectPropertyAddress format_address = global_address(kAudioStreamPropertyVirtualFormat);
    for (AudioStreamID stream : streams) {
        AudioStreamBasicDescription format{};
        UInt32 format_size = sizeof format;
        if (AudioObjectGetPropertyData(stream, &format_address, 0, nullptr, &format_size, &format) != noErr) {
            return fail("cannot read stream format");
        }
        const bool non_interleaved = (format.mFormatFlags & kAudioFormatFlagIsNonInterleaved) != 0;
        const UInt32 expected_bytes_per_frame = 4 * (non_interleaved ? 1 : format.mChannelsPerFrame);
        const bool native_float = format.mFormatID == kAudioFormatLinearPCM &&
                                  (format.mFormatFlags & kAudioFormatFlagIsFloat) != 0 &&
                                  (format.mFormatFlags & kAudioFormatFlagIsBigEndian) == 0 &&
                                  format.mBitsPerChannel == 32 && format.mSampleRate == sample_rate &&
                                  format.mFramesPerPacket == 1 && format.mBytesPerFrame == expected_bytes_per_frame;
        if (!native_float) {
            return fail("device must expose native Float32 PCM at the server sample rate");
        }
        channel_total += format.mChannelsPerFrame;
    }
    for (long channel : map) {
        if (channel < 0 || static_cast<std::size_t>(channel) >= channel_total) {
            return fail("channel map exceeds the hardware range");
        }
    }
    return true;
}

bool CoreAudioDevice::start() {
    if (io_proc_id_ == nullptr) {
        return false;
    }
    return AudioDeviceStart(device_id_, io_proc_id_) == noErr;
}

void CoreAudioDevice::stop() {
    if (io_proc_id_ != nullptr) {
        AudioDeviceStop(device_id_, io_proc_id_);
        AudioDeviceDestroyIOProcID(device_id_, io_proc_id_);
        io_proc_id_ = nullptr;
    }
    for (std::size_t i = 0; i < listeners_registered_; ++i) {
        const AudioObjectPropertyAddress address = global_address(listened_selectors[i]);
        AudioObjectRemovePropertyListener(device_id_, &address, &CoreAudioDevice::changed, this);
    }
    listeners_registered_ = 0;
}

bool CoreAudioDevice::buffers_hold(const AudioBufferList* list, const std::vector<long>& map) const {
    if (list == nullptr || list->mNumberBuffers < 1) {
        return false;
    }
    for (long channel : map) {
        UInt32 buffer = 0;
        UInt32 offset = 0;
        if (!locate_channel(list, channel, buffer, offset)) {
            return false;
        }
        const AudioBuffer& b = list->mBuffers[buffer];
        if (b.mData == nullptr || b.mDataByteSize != b.mNumberChannels * block_frames * sizeof(float)) {
            return false;
        }
    }
    return true;
}

OSStatus CoreAudioDevice::io(AudioObjectID, const AudioTimeStamp*, const AudioBufferList* input,
                             const AudioTimeStamp*, AudioBufferList* output, const AudioTimeStamp*, void* client) {
    auto* self = static_cast<CoreAudioDevice*>(client);
    if (output != nullptr) {
        // Channels the player does not write stay silent.
        for (UInt32 b = 0; b < output->mNumberBuffers; ++b) {
            if (output->mBuffers[b].mData != nullptr) {
                std::memset(output->mBuffers[b].mData, 0, output->mBuffers[b].mDataByteSize);
            }
        }
    }
    if (self->lost_.load(std::memory_order_acquire)) {
        return noErr;
    }
    if ((!self->settings_.input_channel_map.empty() && !self->buffers_hold(input, self->settings_.input_channel_map)) ||
        (!self->settings_.output_channel_map.empty() &&
         !self->buffers_hold(output, self->settings_.output_channel_map))) {
        self->lost_.store(true, std::memory_order_release);
        return noErr;
    }
    self->input_list_ = input;
    self->output_list_ = output;
    self->callback_(self->context_, 0);
    self->input_list_ = nullptr;
    self->output_list_ = nullptr;
    return noErr;
}

void CoreAudioDevice::read_channel(long channel, long, float* destination, long frames) {
    if (destination == nullptr || frames < 1) {
        return;
    }
    const auto count = static_cast<std::size_t>(frames);
    UInt32 buffer = 0;
    UInt32 offset = 0;
    if (channel < 0 || static_cast<std::size_t>(channel) >= settings_.input_channel_map.size() ||
        input_list_ == nullptr ||
        !locate_channel(input_list_, settings_.input_channel_map[static_cast<std::size_t>(channel)], buffer, offset) ||
        input_list_->mBuffers[buffer].mData == nullptr) {
        std::fill(destination, destination + count, 0.0f);
        return;
    }
    const AudioBuffer& b = input_list_->mBuffers[buffer];
    const float* source = static_cast<const float*>(b.mData) + offset;
    const std::size_t stride = b.mNumberChannels;
    // Never past the cycle's buffer, whatever the caller asks for.
    const std::size_t available = std::min<std::size_t>(count, block_frames);
    for (std::size_t i = 0; i < available; ++i) {
        destination[i] = source[i * stride];
    }
    std::fill(destination + available, destination + count, 0.0f);
}

void CoreAudioDevice::write_channel(long channel, long, const float* source, long frames) {
    UInt32 buffer = 0;
    UInt32 offset = 0;
    if (frames < 1 || channel < 0 || static_cast<std::size_t>(channel) >= settings_.output_channel_map.size() ||
        output_list_ == nullptr ||
        !locate_channel(output_list_, settings_.output_channel_map[static_cast<std::size_t>(channel)], buffer,
                        offset) ||
        output_list_->mBuffers[buffer].mData == nullptr) {
        return;
    }
    const AudioBuffer& b = output_list_->mBuffers[buffer];
    float* destination = static_cast<float*>(b.mData) + offset;
    const std::size_t stride = b.mNumberChannels;
    const std::size_t count = std::min<std::size_t>(static_cast<std::size_t>(frames), block_frames);
    for (std::size_t i = 0; i < count; ++i) {
        destination[i * stride] = source != nullptr ? source[i] : 0.0f;
    }
}

OSStatus CoreAudioDevice::changed(AudioObjectID object, UInt32 count, const AudioObjectPropertyAddress* addresses,
                                  void* client) {
    auto* self = static_cast<CoreAudioDevice*>(client);
    for (UInt32 i = 0; i < count && addresses != nullptr; ++i) {
        const AudioObjectPropertySelector selector = addresses[i].mSelector;
        const AudioObjectPropertyAddress address = global_address(selector);
        bool lost = false;
        if (selector == kAudioDevicePropertyDeviceIsAlive) {
            UInt32 alive = 0;
            UInt32 size = sizeof alive;
            lost = AudioObjectGetPropertyData(object, &address, 0, nullptr, &size, &alive) != noErr || alive == 0;
        } else if (selector == kAudioDevicePropertyNominalSampleRate) {
            // The notice of open's own switch to the requested rate can arrive after the listener
            // was added; only a rate other than the accepted one is a change.
            Float64 rate = 0.0;
            UInt32 size = sizeof rate;
            lost = AudioObjectGetPropertyData(object, &address, 0, nullptr, &size, &rate) != noErr ||
                   rate != self->sample_rate;
        } else if (selector == kAudioDevicePropertyBufferFrameSize) {
            UInt32 frames = 0;
            UInt32 size = sizeof frames;
            lost = AudioObjectGetPropertyData(object, &address, 0, nullptr, &size, &frames) != noErr ||
                   frames != self->block_frames;
        } else if (selector == kAudioDevicePropertyStreamConfiguration) {
            // A layout change invalidates the channel map; the engine rebuilds the device.
            lost = true;
        }
        if (lost) {
            self->lost_.store(true, std::memory_order_release);
        }
    }
    return noErr;
}
