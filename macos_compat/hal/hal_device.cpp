#include "hal_device.h"

#include <CoreAudio/HostTime.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace VelmoraCompat::Hal {

namespace {

bool scope_is_direction(AudioObjectPropertyScope scope) {
    return scope == kAudioObjectPropertyScopeInput || scope == kAudioObjectPropertyScopeOutput;
}

UInt32 bytes_per_sample(SampleFormat format) {
    switch (format) {
    case SampleFormat::int16:
        return 2;
    case SampleFormat::int24:
        return 3;
    case SampleFormat::float32:
    case SampleFormat::int32:
        return 4;
    }
    return 4;
}

void store_sample(SampleFormat format, unsigned char* p, float value) {
    const double clamped = value > 1.0f ? 1.0 : (value < -1.0f ? -1.0 : static_cast<double>(value));
    switch (format) {
    case SampleFormat::float32:
        std::memcpy(p, &value, 4);
        return;
    case SampleFormat::int16: {
        const std::int16_t v = static_cast<std::int16_t>(std::lrint(clamped * 32767.0));
        std::memcpy(p, &v, 2);
        return;
    }
    case SampleFormat::int24: {
        const std::int32_t v = static_cast<std::int32_t>(std::lrint(clamped * 8388607.0));
        p[0] = static_cast<unsigned char>(v);
        p[1] = static_cast<unsigned char>(v >> 8);
        p[2] = static_cast<unsigned char>(v >> 16);
        return;
    }
    case SampleFormat::int32: {
        const std::int32_t v = static_cast<std::int32_t>(std::llrint(clamped * 2147483647.0));
        std::memcpy(p, &v, 4);
        return;
    }
    }
}

float load_sample(SampleFormat format, const unsigned char* p) {
    switch (format) {
    case SampleFormat::float32: {
        float v;
        std::memcpy(&v, p, 4);
        return v;
    }
    case SampleFormat::int16: {
        std::int16_t v;
        std::memcpy(&v, p, 2);
        return static_cast<float>(v / 32768.0);
    }
    case SampleFormat::int24: {
        const std::int32_t v = static_cast<std::int32_t>((static_cast<std::uint32_t>(p[0]) << 8) |
                                                         (static_cast<std::uint32_t>(p[1]) << 16) |
                                                         (static_cast<std::uint32_t>(p[2]) << 24)) /
                               256;
        return static_cast<float>(v / 8388608.0);
    }
    case SampleFormat::int32: {
        std::int32_t v;
        std::memcpy(&v, p, 4);
        return static_cast<float>(v / 2147483648.0);
    }
    }
    return 0.0f;
}

AudioDeviceIOProcID make_proc_id(UInt64 token) {
    // Opaque and never callable: calling an ID as if it were the procedure crashes, as on Apple.
    return reinterpret_cast<AudioDeviceIOProcID>(static_cast<std::uintptr_t>(0x7E1F000000ull + token * 16u));
}

} // namespace

HalDevice::HalDevice(AudioObjectID id, AudioObjectID first_stream_id, const DeviceDescription& description,
                     std::shared_ptr<const VelmoraCompat::WavAudio> wav)
    : id_(id), description_(description), nominal_rate_(description.sample_rate),
      buffer_frames_(description.buffer_frames), io_frames_(description.buffer_frames),
      io_rate_(description.sample_rate) {
    AudioObjectID next = first_stream_id;
    for (bool input : {true, false}) {
        const auto& list = input ? description_.input_streams : description_.output_streams;
        auto& slots = input ? input_slots_ : output_slots_;
        UInt32 channel = 1;
        UInt32 buffer = 0;
        for (const StreamDescription& s : list) {
            streams_.push_back(StreamInfo{next++, input, s, channel});
            channel += s.channels;
            for (UInt32 c = 0; c < s.channels; ++c) {
                slots.push_back(
                    ChannelSlot{s.interleaved ? buffer : buffer + c, s.interleaved ? c : 0, s.format});
            }
            buffer += s.interleaved ? 1 : s.channels;
        }
    }
    const std::size_t max_frames = description_.max_buffer_frames;
    build_buffer_set(true, &input_buffers_);
    input_planar_.assign(input_slots_.size() * max_frames, 0.0f);
    output_planar_.assign(output_slots_.size() * max_frames, 0.0f);
    for (std::size_t c = 0; c < input_slots_.size(); ++c) {
        input_channels_.push_back(input_planar_.data() + c * max_frames);
    }
    for (std::size_t c = 0; c < output_slots_.size(); ++c) {
        output_channels_.push_back(output_planar_.data() + c * max_frames);
    }
    backend_ = std::make_unique<SimulatedBackend>(description_, static_cast<UInt32>(input_slots_.size()),
                                                  static_cast<UInt32>(output_slots_.size()),
                                                  description_.max_buffer_frames, std::move(wav));
}

HalDevice::~HalDevice() {
    running_.store(false);
    backend_.reset();
}

UInt32 HalDevice::channel_count(bool input) const {
    return static_cast<UInt32>(input ? input_slots_.size() : output_slots_.size());
}

bool HalDevice::is_default_candidate(bool input) const {
    return input ? description_.default_input : description_.default_output;
}

UInt32 HalDevice::stream_count() const {
    return static_cast<UInt32>(streams_.size());
}

bool HalDevice::owns(AudioObjectID object) const {
    return object == id_ || stream(object) != nullptr;
}

const HalDevice::StreamInfo* HalDevice::stream(AudioObjectID object) const {
    for (const StreamInfo& s : streams_) {
        if (s.id == object) {
            return &s;
        }
    }
    return nullptr;
}

AudioStreamBasicDescription HalDevice::stream_format_locked(const StreamInfo& s) const {
    const StreamDescription& d = s.description;
    const UInt32 sample_bytes = bytes_per_sample(d.format);
    AudioStreamBasicDescription format{};
    format.mSampleRate = d.fixed_rate > 0.0 ? d.fixed_rate : nominal_rate_;
    format.mFormatID = kAudioFormatLinearPCM;
    format.mFormatFlags =
        (d.format == SampleFormat::float32 ? kAudioFormatFlagIsFloat : kAudioFormatFlagIsSignedInteger) |
        kAudioFormatFlagIsPacked |
        (d.interleaved ? 0u : static_cast<UInt32>(kAudioFormatFlagIsNonInterleaved));
    format.mBytesPerFrame = sample_bytes * (d.interleaved ? d.channels : 1u);
    format.mBytesPerPacket = format.mBytesPerFrame;
    format.mFramesPerPacket = 1;
    format.mChannelsPerFrame = d.channels;
    format.mBitsPerChannel = sample_bytes * 8;
    return format;
}

std::vector<AudioStreamRangedDescription> HalDevice::available_formats_locked(const StreamInfo& s) const {
    std::vector<AudioStreamRangedDescription> formats;
    AudioStreamBasicDescription format = stream_format_locked(s);
    if (s.description.fixed_rate > 0.0) {
        formats.push_back(AudioStreamRangedDescription{format, {format.mSampleRate, format.mSampleRate}});
        return formats;
    }
    for (const AudioValueRange& range : description_.available_rates) {
        format.mSampleRate = range.mMinimum;
        formats.push_back(AudioStreamRangedDescription{format, range});
    }
    return formats;
}

PropertyAnswer HalDevice::stream_configuration(bool input) const {
    UInt32 buffers = 0;
    for (const StreamInfo& s : streams_) {
        if (s.input == input) {
            buffers += s.description.interleaved ? 1 : s.description.channels;
        }
    }
    PropertyAnswer answer;
    answer.bytes.assign(offsetof(AudioBufferList, mBuffers) + buffers * sizeof(AudioBuffer), 0);
    auto* list = reinterpret_cast<AudioBufferList*>(answer.bytes.data());
    list->mNumberBuffers = buffers;
    UInt32 b = 0;
    for (const StreamInfo& s : streams_) {
        if (s.input != input) {
            continue;
        }
        const UInt32 count = s.description.interleaved ? 1 : s.description.channels;
        for (UInt32 i = 0; i < count; ++i) {
            AudioBuffer buffer{};
            buffer.mNumberChannels = s.description.interleaved ? s.description.channels : 1;
            std::memcpy(answer.bytes.data() + offsetof(AudioBufferList, mBuffers) +
                            (b++) * sizeof(AudioBuffer),
                        &buffer, sizeof buffer);
        }
    }
    return answer;
}

bool HalDevice::rate_supported(Float64 rate) const {
    for (const AudioValueRange& range : description_.available_rates) {
        if (rate >= range.mMinimum && rate <= range.mMaximum) {
            return true;
        }
    }
    return false;
}

void HalDevice::apply_rate_locked(Float64 rate, std::vector<PropertyChange>* changes) {
    pending_rate_.reset();
    if (rate == nominal_rate_) {
        return;
    }
    nominal_rate_ = rate;
    io_rate_.store(rate);
    if (changes != nullptr) {
        changes->push_back({id_, kAudioDevicePropertyNominalSampleRate});
        for (const StreamInfo& s : streams_) {
            if (s.description.fixed_rate <= 0.0) {
                changes->push_back({s.id, kAudioStreamPropertyVirtualFormat});
                changes->push_back({s.id, kAudioStreamPropertyPhysicalFormat});
            }
        }
    }
}

void HalDevice::apply_frames_locked(UInt32 frames, std::vector<PropertyChange>* changes) {
    pending_frames_.reset();
    if (frames == buffer_frames_) {
        return;
    }
    buffer_frames_ = frames;
    io_frames_.store(frames);
    if (changes != nullptr) {
        changes->push_back({id_, kAudioDevicePropertyBufferFrameSize});
    }
}

bool HalDevice::has_property_locked(AudioObjectID object, const AudioObjectPropertyAddress& address) const {
    PropertyAnswer answer;
    return const_cast<HalDevice*>(this)->read_property_locked(object, address, false, &answer, nullptr) ==
           kAudioHardwareNoError;
}

OSStatus HalDevice::read_property_locked(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                         bool is_fetch, PropertyAnswer* answer,
                                         std::vector<PropertyChange>* changes) {
    if (!scope_is_known(address.mScope) || !element_is_main(address.mElement)) {
        return kAudioHardwareUnknownPropertyError;
    }
    if (object == id_) {
        return read_device_locked(address, is_fetch, answer, changes);
    }
    const StreamInfo* s = stream(object);
    if (s == nullptr) {
        return kAudioHardwareBadObjectError;
    }
    return read_stream_locked(*s, address, answer);
}

OSStatus HalDevice::read_device_locked(const AudioObjectPropertyAddress& address, bool is_fetch,
                                       PropertyAnswer* answer, std::vector<PropertyChange>* changes) {
    const AudioObjectPropertyScope scope = address.mScope;
    const bool directional = scope_is_direction(scope);
    const bool input = scope == kAudioObjectPropertyScopeInput;
    switch (address.mSelector) {
    case kAudioObjectPropertyBaseClass:
        *answer = PropertyAnswer::value<AudioClassID>(kAudioObjectClassID);
        return kAudioHardwareNoError;
    case kAudioObjectPropertyClass:
        *answer = PropertyAnswer::value<AudioClassID>(kAudioDeviceClassID);
        return kAudioHardwareNoError;
    case kAudioObjectPropertyOwner:
        *answer = PropertyAnswer::value<AudioObjectID>(kAudioObjectSystemObject);
        return kAudioHardwareNoError;
    case kAudioObjectPropertyName:
        *answer = PropertyAnswer::string(description_.name);
        return kAudioHardwareNoError;
    case kAudioObjectPropertyManufacturer:
        *answer = PropertyAnswer::string(description_.manufacturer);
        return kAudioHardwareNoError;
    case kAudioDevicePropertyDeviceUID:
        *answer = PropertyAnswer::string(description_.uid);
        return kAudioHardwareNoError;
    case kAudioDevicePropertyTransportType:
        *answer = PropertyAnswer::value<UInt32>(description_.transport);
        return kAudioHardwareNoError;
    case kAudioDevicePropertyClockDomain:
    case kAudioDevicePropertyIsHidden:
        *answer = PropertyAnswer::value<UInt32>(0);
        return kAudioHardwareNoError;
    case kAudioDevicePropertyDeviceIsAlive:
        *answer = PropertyAnswer::value<UInt32>(alive_.load() ? 1 : 0);
        return kAudioHardwareNoError;
    case kAudioDevicePropertyDeviceIsRunning:
        *answer = PropertyAnswer::value<UInt32>(running_.load() ? 1 : 0);
        return kAudioHardwareNoError;
    case kAudioDevicePropertyDeviceIsRunningSomewhere:
        *answer = PropertyAnswer::value<UInt32>(running_.load() || running_elsewhere_ ? 1 : 0);
        return kAudioHardwareNoError;
    case kAudioDevicePropertyDeviceCanBeDefaultSystemDevice:
        *answer = PropertyAnswer::value<UInt32>(output_slots_.empty() ? 0 : 1);
        return kAudioHardwareNoError;
    case kAudioDevicePropertyNominalSampleRate:
        // A device that takes a while to switch shows the old rate for a number of reads.
        if (is_fetch && pending_rate_) {
            if (rate_polls_left_ == 0) {
                apply_rate_locked(*pending_rate_, changes);
            } else {
                --rate_polls_left_;
            }
        }
        *answer = PropertyAnswer::value<Float64>(nominal_rate_);
        return kAudioHardwareNoError;
    case kAudioDevicePropertyActualSampleRate:
        *answer = PropertyAnswer::value<Float64>(running_.load() ? nominal_rate_ : 0.0);
        return kAudioHardwareNoError;
    case kAudioDevicePropertyAvailableNominalSampleRates:
        *answer = PropertyAnswer::list(description_.available_rates);
        return kAudioHardwareNoError;
    case kAudioDevicePropertyBufferFrameSize:
        if (is_fetch && pending_frames_) {
            if (frames_polls_left_ == 0) {
                apply_frames_locked(*pending_frames_, changes);
            } else {
                --frames_polls_left_;
            }
        }
        *answer = PropertyAnswer::value<UInt32>(buffer_frames_);
        return kAudioHardwareNoError;
    case kAudioDevicePropertyBufferFrameSizeRange:
        *answer =
            PropertyAnswer::value(AudioValueRange{static_cast<Float64>(description_.min_buffer_frames),
                                                  static_cast<Float64>(description_.max_buffer_frames)});
        return kAudioHardwareNoError;
    case kAudioDevicePropertyStreams: {
        std::vector<AudioObjectID> ids;
        for (const StreamInfo& s : streams_) {
            if (!directional || s.input == input) {
                ids.push_back(s.id);
            }
        }
        *answer = PropertyAnswer::list(ids);
        return kAudioHardwareNoError;
    }
    case kAudioDevicePropertyStreamConfiguration:
        if (!directional) {
            return kAudioHardwareUnknownPropertyError;
        }
        *answer = stream_configuration(input);
        return kAudioHardwareNoError;
    case kAudioDevicePropertyLatency:
        if (!directional) {
            return kAudioHardwareUnknownPropertyError;
        }
        *answer = PropertyAnswer::value<UInt32>(description_.latency_frames);
        return kAudioHardwareNoError;
    case kAudioDevicePropertySafetyOffset:
        if (!directional) {
            return kAudioHardwareUnknownPropertyError;
        }
        *answer = PropertyAnswer::value<UInt32>(description_.safety_offset_frames);
        return kAudioHardwareNoError;
    case kAudioDevicePropertyDeviceCanBeDefaultDevice:
        if (!directional) {
            return kAudioHardwareUnknownPropertyError;
        }
        *answer = PropertyAnswer::value<UInt32>(channel_count(input) > 0 ? 1 : 0);
        return kAudioHardwareNoError;
    default:
        return kAudioHardwareUnknownPropertyError;
    }
}

OSStatus HalDevice::read_stream_locked(const StreamInfo& s, const AudioObjectPropertyAddress& address,
                                       PropertyAnswer* answer) const {
    switch (address.mSelector) {
    case kAudioObjectPropertyBaseClass:
        *answer = PropertyAnswer::value<AudioClassID>(kAudioObjectClassID);
        return kAudioHardwareNoError;
    case kAudioObjectPropertyClass:
        *answer = PropertyAnswer::value<AudioClassID>(kAudioStreamClassID);
        return kAudioHardwareNoError;
    case kAudioObjectPropertyOwner:
        *answer = PropertyAnswer::value<AudioObjectID>(id_);
        return kAudioHardwareNoError;
    case kAudioStreamPropertyIsActive:
        *answer = PropertyAnswer::value<UInt32>(1);
        return kAudioHardwareNoError;
    case kAudioStreamPropertyDirection:
        *answer = PropertyAnswer::value<UInt32>(s.input ? 1 : 0);
        return kAudioHardwareNoError;
    case kAudioStreamPropertyTerminalType: {
        const bool built_in = description_.transport == kAudioDeviceTransportTypeBuiltIn;
        *answer = PropertyAnswer::value<UInt32>(
            !built_in ? kAudioStreamTerminalTypeLine
                      : (s.input ? kAudioStreamTerminalTypeMicrophone : kAudioStreamTerminalTypeSpeaker));
        return kAudioHardwareNoError;
    }
    case kAudioStreamPropertyStartingChannel:
        *answer = PropertyAnswer::value<UInt32>(s.starting_channel);
        return kAudioHardwareNoError;
    case kAudioStreamPropertyLatency:
        *answer = PropertyAnswer::value<UInt32>(0);
        return kAudioHardwareNoError;
    case kAudioStreamPropertyVirtualFormat:
    case kAudioStreamPropertyPhysicalFormat:
        *answer = PropertyAnswer::value(stream_format_locked(s));
        return kAudioHardwareNoError;
    case kAudioStreamPropertyAvailableVirtualFormats:
    case kAudioStreamPropertyAvailablePhysicalFormats:
        *answer = PropertyAnswer::list(available_formats_locked(s));
        return kAudioHardwareNoError;
    default:
        return kAudioHardwareUnknownPropertyError;
    }
}

OSStatus HalDevice::is_settable_locked(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                       Boolean* settable) const {
    if (!has_property_locked(object, address)) {
        PropertyAnswer unused;
        return const_cast<HalDevice*>(this)->read_property_locked(object, address, false, &unused, nullptr);
    }
    *settable = object == id_ && (address.mSelector == kAudioDevicePropertyNominalSampleRate ||
                                  address.mSelector == kAudioDevicePropertyBufferFrameSize);
    return kAudioHardwareNoError;
}

OSStatus HalDevice::write_property_locked(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                          UInt32 size, const void* data, bool external,
                                          std::vector<PropertyChange>* changes) {
    Boolean settable = false;
    const OSStatus status = is_settable_locked(object, address, &settable);
    if (status != kAudioHardwareNoError) {
        return status;
    }
    if (!settable) {
        return kAudioHardwareUnsupportedOperationError;
    }
    if (!alive_.load()) {
        return kAudioHardwareBadDeviceError;
    }
    if (address.mSelector == kAudioDevicePropertyNominalSampleRate) {
        if (size != sizeof(Float64)) {
            return kAudioHardwareBadPropertySizeError;
        }
        Float64 rate = 0.0;
        std::memcpy(&rate, data, sizeof rate);
        if (!std::isfinite(rate) || !rate_supported(rate)) {
            return kAudioHardwareIllegalOperationError;
        }
        if (!external && std::find(description_.refused_rates.begin(), description_.refused_rates.end(),
                                   rate) != description_.refused_rates.end()) {
            return kAudioHardwareIllegalOperationError;
        }
        if (external || description_.rate_change_polls == 0) {
            apply_rate_locked(rate, changes);
        } else if (rate != nominal_rate_ || pending_rate_) {
            pending_rate_ = rate;
            rate_polls_left_ = description_.rate_change_polls;
        }
        return kAudioHardwareNoError;
    }
    if (size != sizeof(UInt32)) {
        return kAudioHardwareBadPropertySizeError;
    }
    UInt32 frames = 0;
    std::memcpy(&frames, data, sizeof frames);
    if (frames < description_.min_buffer_frames || frames > description_.max_buffer_frames) {
        return kAudioHardwareIllegalOperationError;
    }
    if (!external &&
        std::find(description_.refused_buffer_frames.begin(), description_.refused_buffer_frames.end(),
                  frames) != description_.refused_buffer_frames.end()) {
        return kAudioHardwareIllegalOperationError;
    }
    if (external || description_.buffer_change_polls == 0) {
        apply_frames_locked(frames, changes);
    } else if (frames != buffer_frames_ || pending_frames_) {
        pending_frames_ = frames;
        frames_polls_left_ = description_.buffer_change_polls;
    }
    return kAudioHardwareNoError;
}

void HalDevice::set_running_elsewhere_locked(bool running, std::vector<PropertyChange>* changes) {
    if (running_elsewhere_ == running) {
        return;
    }
    const bool before = running_.load() || running_elsewhere_;
    running_elsewhere_ = running;
    if (before != (running_.load() || running_elsewhere_)) {
        changes->push_back({id_, kAudioDevicePropertyDeviceIsRunningSomewhere});
    }
}

void HalDevice::set_polls_locked(UInt32 rate_polls, UInt32 buffer_polls) {
    description_.rate_change_polls = rate_polls;
    description_.buffer_change_polls = buffer_polls;
}

void HalDevice::build_buffer_set(bool input, BufferSet* set) const {
    std::vector<UInt32> frame_bytes;
    std::vector<UInt32> channels;
    for (const StreamInfo& s : streams_) {
        if (s.input != input) {
            continue;
        }
        const UInt32 sample = bytes_per_sample(s.description.format);
        if (s.description.interleaved) {
            frame_bytes.push_back(sample * s.description.channels);
            channels.push_back(s.description.channels);
        } else {
            for (UInt32 c = 0; c < s.description.channels; ++c) {
                frame_bytes.push_back(sample);
                channels.push_back(1);
            }
        }
    }
    const std::size_t count = frame_bytes.size();
    const std::size_t list_bytes =
        std::max(sizeof(AudioBufferList), offsetof(AudioBufferList, mBuffers) + count * sizeof(AudioBuffer));
    set->list_storage.assign((list_bytes + 7) / 8, 0);
    std::size_t total = 0;
    std::vector<std::size_t> offsets;
    for (UInt32 bytes : frame_bytes) {
        offsets.push_back(total);
        total += (static_cast<std::size_t>(bytes) * description_.max_buffer_frames + 15) / 16 * 16;
    }
    set->data_storage.assign(total / 8 + 2, 0);
    set->bytes_per_frame = frame_bytes;
    set->channels = channels;
    set->data.clear();
    AudioBufferList* list = set->list();
    list->mNumberBuffers = static_cast<UInt32>(count);
    auto* base = reinterpret_cast<unsigned char*>(set->data_storage.data());
    for (std::size_t b = 0; b < count; ++b) {
        list->mBuffers[b].mNumberChannels = channels[b];
        list->mBuffers[b].mDataByteSize = 0;
        list->mBuffers[b].mData = base + offsets[b];
        set->data.push_back(base + offsets[b]);
    }
}

void HalDevice::set_byte_sizes(BufferSet& set, UInt32 frames) const {
    AudioBufferList* list = set.list();
    // Restored every cycle: the list is the procedures' to read, not to keep or rearrange.
    list->mNumberBuffers = static_cast<UInt32>(set.data.size());
    for (UInt32 b = 0; b < list->mNumberBuffers; ++b) {
        list->mBuffers[b].mNumberChannels = set.channels[b];
        list->mBuffers[b].mDataByteSize = set.bytes_per_frame[b] * frames;
        list->mBuffers[b].mData = set.data[b];
    }
}

bool HalDevice::any_started_locked() const {
    if (hardware_started_) {
        return true;
    }
    for (const auto& entry : procs_) {
        if (entry->started && !entry->destroyed) {
            return true;
        }
    }
    return false;
}

bool HalDevice::update_running_io_locked(bool* running_changed) {
    const bool now_running = alive_.load() && any_started_locked();
    const bool was_running = running_.load();
    if (now_running == was_running) {
        return false;
    }
    running_.store(now_running);
    *running_changed = true;
    return was_running && !now_running;
}

OSStatus HalDevice::create_io_proc(AudioDeviceIOProc proc, void* client_data, AudioDeviceIOProcID* out_id) {
    auto entry = std::make_unique<IoProcEntry>();
    entry->proc = proc;
    entry->client_data = client_data;
    build_buffer_set(false, &entry->output);
    std::unique_lock<std::mutex> io(io_mutex_, std::defer_lock);
    if (!on_io_thread()) {
        io.lock();
    }
    if (!alive_.load()) {
        return kAudioHardwareBadDeviceError;
    }
    entry->id = make_proc_id(next_proc_token_++);
    *out_id = entry->id;
    procs_.push_back(std::move(entry));
    return kAudioHardwareNoError;
}

OSStatus HalDevice::start(AudioDeviceIOProcID id, bool* running_changed) {
    *running_changed = false;
    const bool inside_cycle = on_io_thread();
    std::unique_lock<std::mutex> control(control_mutex_, std::defer_lock);
    std::unique_lock<std::mutex> io(io_mutex_, std::defer_lock);
    if (!inside_cycle) {
        control.lock();
        io.lock();
    }
    if (!alive_.load()) {
        return kAudioHardwareBadDeviceError;
    }
    if (id == nullptr) {
        hardware_started_ = true;
    } else {
        auto found = std::find_if(procs_.begin(), procs_.end(),
                                  [id](const auto& e) { return e->id == id && !e->destroyed; });
        if (found == procs_.end()) {
            return kAudioHardwareIllegalOperationError;
        }
        (*found)->started = true;
    }
    if (running_.load()) {
        return kAudioHardwareNoError;
    }
    running_.store(true);
    *running_changed = true;
    if (inside_cycle) {
        // Stopped and restarted within one cycle: the clock never stopped, so it just carries on.
        stop_after_cycle_ = false;
        return kAudioHardwareNoError;
    }
    io.unlock();
    backend_->start(*this);
    return kAudioHardwareNoError;
}

OSStatus HalDevice::stop(AudioDeviceIOProcID id, bool* running_changed) {
    *running_changed = false;
    const bool inside_cycle = on_io_thread();
    std::unique_lock<std::mutex> control(control_mutex_, std::defer_lock);
    std::unique_lock<std::mutex> io(io_mutex_, std::defer_lock);
    if (!inside_cycle) {
        control.lock();
        io.lock();
    }
    if (id == nullptr) {
        hardware_started_ = false;
    } else {
        auto found = std::find_if(procs_.begin(), procs_.end(),
                                  [id](const auto& e) { return e->id == id && !e->destroyed; });
        if (found == procs_.end()) {
            return kAudioHardwareIllegalOperationError;
        }
        (*found)->started = false;
    }
    const bool stop_backend = update_running_io_locked(running_changed);
    if (stop_backend) {
        if (inside_cycle) {
            stop_after_cycle_ = true;
        } else {
            io.unlock();
            backend_->stop();
        }
    }
    return kAudioHardwareNoError;
}

OSStatus HalDevice::destroy_io_proc(AudioDeviceIOProcID id, bool* running_changed) {
    *running_changed = false;
    const bool inside_cycle = on_io_thread();
    std::unique_lock<std::mutex> control(control_mutex_, std::defer_lock);
    std::unique_lock<std::mutex> io(io_mutex_, std::defer_lock);
    if (!inside_cycle) {
        control.lock();
        io.lock();
    }
    auto found = std::find_if(procs_.begin(), procs_.end(),
                              [id](const auto& e) { return e->id == id && !e->destroyed; });
    if (id == nullptr || found == procs_.end()) {
        return kAudioHardwareIllegalOperationError;
    }
    (*found)->started = false;
    if (inside_cycle) {
        // The cycle is walking the list; it removes the entry when it is done.
        (*found)->destroyed = true;
    } else {
        procs_.erase(found);
    }
    const bool stop_backend = update_running_io_locked(running_changed);
    if (stop_backend) {
        if (inside_cycle) {
            stop_after_cycle_ = true;
        } else {
            io.unlock();
            backend_->stop();
        }
    }
    return kAudioHardwareNoError;
}

OSStatus HalDevice::current_time(AudioTimeStamp* out) const {
    if (!alive_.load()) {
        return kAudioHardwareBadDeviceError;
    }
    if (!running_.load() || cycle_count_.load() == 0) {
        return kAudioHardwareNotRunningError;
    }
    const UInt64 host = backend_->manual_clock() ? last_cycle_host_.load() : AudioGetCurrentHostTime();
    const UInt64 last_host = last_cycle_host_.load();
    const Float64 elapsed =
        host > last_host ? static_cast<Float64>(AudioConvertHostTimeToNanos(host - last_host)) * 1.0e-9 : 0.0;
    *out = AudioTimeStamp{};
    out->mSampleTime = std::floor(last_cycle_sample_.load() + elapsed * io_rate_.load());
    out->mHostTime = host;
    out->mRateScalar = 1.0;
    out->mFlags =
        kAudioTimeStampSampleTimeValid | kAudioTimeStampHostTimeValid | kAudioTimeStampRateScalarValid;
    return kAudioHardwareNoError;
}

bool HalDevice::kill() {
    const bool inside_cycle = on_io_thread();
    std::unique_lock<std::mutex> control(control_mutex_, std::defer_lock);
    std::unique_lock<std::mutex> io(io_mutex_, std::defer_lock);
    if (!inside_cycle) {
        control.lock();
        io.lock();
    }
    alive_.store(false);
    const bool was_running = running_.exchange(false);
    if (was_running) {
        if (inside_cycle) {
            stop_after_cycle_ = true;
        } else {
            io.unlock();
            backend_->stop();
        }
    }
    return was_running;
}

UInt64 HalDevice::step(UInt64 count) {
    return backend_->step(count);
}

void HalDevice::set_input_source(const InputSource& source,
                                 std::shared_ptr<const VelmoraCompat::WavAudio> wav) {
    std::lock_guard<std::mutex> io(io_mutex_);
    description_.input = source;
    backend_->set_input_source(source, std::move(wav));
}

std::vector<ChannelLevel> HalDevice::take_levels() {
    return backend_->take_levels();
}

void HalDevice::io_format(UInt32* frames, Float64* sample_rate) const {
    *frames = io_frames_.load();
    *sample_rate = io_rate_.load();
}

void HalDevice::run_cycle(UInt64 host_time, Float64 sample_time) {
    std::unique_lock<std::mutex> io(io_mutex_);
    if (!running_.load() || !alive_.load()) {
        return;
    }
    cycle_thread_.store(std::this_thread::get_id());
    const UInt32 frames = io_frames_.load();
    const Float64 rate = io_rate_.load();
    const UInt64 period_ticks = AudioConvertNanosToHostTime(static_cast<UInt64>(frames * 1.0e9 / rate));
    const UInt64 safety_ticks =
        AudioConvertNanosToHostTime(static_cast<UInt64>(description_.safety_offset_frames * 1.0e9 / rate));

    AudioTimeStamp now{};
    now.mSampleTime = sample_time;
    now.mHostTime = host_time;
    now.mRateScalar = 1.0;
    now.mFlags =
        kAudioTimeStampSampleTimeValid | kAudioTimeStampHostTimeValid | kAudioTimeStampRateScalarValid;
    // Input was captured during the period that just ended; output plays one period (plus the
    // safety offset) from now.
    AudioTimeStamp input_time = now;
    input_time.mSampleTime = sample_time - frames;
    input_time.mHostTime = host_time > period_ticks ? host_time - period_ticks : 0;
    AudioTimeStamp output_time = now;
    output_time.mSampleTime = sample_time + frames + description_.safety_offset_frames;
    output_time.mHostTime = host_time + period_ticks + safety_ticks;

    const UInt32 input_count = static_cast<UInt32>(input_slots_.size());
    const UInt32 output_count = static_cast<UInt32>(output_slots_.size());
    backend_->capture(input_channels_.data(), input_count, frames, rate);
    AudioBufferList* input_list = input_buffers_.list();
    set_byte_sizes(input_buffers_, frames);
    for (UInt32 c = 0; c < input_count; ++c) {
        const ChannelSlot& slot = input_slots_[c];
        const UInt32 stride = input_buffers_.bytes_per_frame[slot.buffer];
        const UInt32 sample = bytes_per_sample(slot.format);
        unsigned char* base = input_buffers_.data[slot.buffer] + slot.offset_in_frame * sample;
        for (UInt32 f = 0; f < frames; ++f) {
            store_sample(slot.format, base + static_cast<std::size_t>(f) * stride, input_channels_[c][f]);
        }
    }

    for (UInt32 c = 0; c < output_count; ++c) {
        std::fill(output_channels_[c], output_channels_[c] + frames, 0.0f);
    }
    // By index: an IO procedure may create or destroy procedures of this device meanwhile.
    for (std::size_t i = 0; i < procs_.size(); ++i) {
        IoProcEntry& entry = *procs_[i];
        if (!entry.started || entry.destroyed) {
            continue;
        }
        AudioBufferList* output_list = entry.output.list();
        set_byte_sizes(entry.output, frames);
        for (UInt32 b = 0; b < output_list->mNumberBuffers; ++b) {
            std::memset(output_list->mBuffers[b].mData, 0, output_list->mBuffers[b].mDataByteSize);
        }
        entry.proc(id_, &now, input_list, &input_time, output_list, &output_time, entry.client_data);
        for (UInt32 c = 0; c < output_count; ++c) {
            const ChannelSlot& slot = output_slots_[c];
            const UInt32 stride = entry.output.bytes_per_frame[slot.buffer];
            const unsigned char* base =
                entry.output.data[slot.buffer] + slot.offset_in_frame * bytes_per_sample(slot.format);
            float* mix = output_channels_[c];
            for (UInt32 f = 0; f < frames; ++f) {
                mix[f] += load_sample(slot.format, base + static_cast<std::size_t>(f) * stride);
            }
        }
    }
    backend_->render(output_channels_.data(), output_count, frames, rate);
    last_cycle_host_.store(host_time);
    last_cycle_sample_.store(sample_time);
    cycle_count_.fetch_add(1, std::memory_order_relaxed);
    std::erase_if(procs_, [](const auto& e) { return e->destroyed; });
    cycle_thread_.store(std::thread::id());
    if (stop_after_cycle_) {
        stop_after_cycle_ = false;
        if (!backend_->manual_clock()) {
            backend_->stop();
        }
    }
}

} // namespace VelmoraCompat::Hal
