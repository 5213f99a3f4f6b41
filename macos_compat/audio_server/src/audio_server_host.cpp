#include <velmora/audio_server/audio_server_host.h>

#include <CoreAudio/HostTime.h>
#include <pthread/qos.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <sys/prctl.h>
#include <unistd.h>

namespace VelmoraAudioServer {
namespace {

// This host's one client of the device, in AddDeviceClient and every IO call.
constexpr UInt32 kHostClientID = 1;
constexpr UInt32 kMaxIoFrames = 4096;

AudioObjectPropertyAddress address_of(AudioObjectPropertySelector selector,
                                      AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal) {
    return AudioObjectPropertyAddress{selector, scope, kAudioObjectPropertyElementMain};
}

// Property reads through the driver's table, sized first as the real server does.
class PropertyReader {
public:
    explicit PropertyReader(PlugInBundle& bundle) : bundle_(bundle) {}

    bool bytes(AudioObjectID object, const AudioObjectPropertyAddress& address, std::vector<unsigned char>& data,
               std::string& error) const {
        auto& table = bundle_.table();
        UInt32 size = 0;
        OSStatus status = table.GetPropertyDataSize(bundle_.driver(), object, 0, &address, 0, nullptr, &size);
        if (status == kAudioHardwareNoError) {
            data.assign(size, 0);
            UInt32 written = 0;
            // A zero-size answer still needs somewhere to point.
            unsigned char empty = 0;
            status = table.GetPropertyData(bundle_.driver(), object, 0, &address, 0, nullptr, size, &written,
                                           size == 0 ? &empty : data.data());
            data.resize(std::min(written, size));
        }
        if (status != kAudioHardwareNoError) {
            error = "reading property " + status_text(static_cast<OSStatus>(address.mSelector)) + " of object " +
                    std::to_string(object) + " failed: " + status_text(status);
            return false;
        }
        return true;
    }

    template <typename T>
    bool value(AudioObjectID object, const AudioObjectPropertyAddress& address, T& out, std::string& error) const {
        std::vector<unsigned char> data;
        if (!bytes(object, address, data, error)) {
            return false;
        }
        if (data.size() != sizeof(T)) {
            error = "property " + status_text(static_cast<OSStatus>(address.mSelector)) + " of object " +
                    std::to_string(object) + " has " + std::to_string(data.size()) + " bytes, not " +
                    std::to_string(sizeof(T));
            return false;
        }
        std::memcpy(&out, data.data(), sizeof(T));
        return true;
    }

    bool text(AudioObjectID object, const AudioObjectPropertyAddress& address, std::string& out,
              std::string& error) const {
        CFStringRef string = nullptr;
        if (!value(object, address, string, error)) {
            return false;
        }
        out.clear();
        if (string != nullptr) {
            char buffer[512] = {};
            if (CFStringGetCString(string, buffer, sizeof buffer, kCFStringEncodingUTF8)) {
                out = buffer;
            }
            CFRelease(string); // the answer is ours to release
        }
        return true;
    }

    template <typename T>
    bool list(AudioObjectID object, const AudioObjectPropertyAddress& address, std::vector<T>& out,
              std::string& error) const {
        std::vector<unsigned char> data;
        if (!bytes(object, address, data, error)) {
            return false;
        }
        out.resize(data.size() / sizeof(T));
        if (!out.empty()) {
            std::memcpy(out.data(), data.data(), out.size() * sizeof(T));
        }
        return true;
    }

private:
    PlugInBundle& bundle_;
};

bool is_float_interleaved(const AudioStreamBasicDescription& format) {
    return format.mFormatID == kAudioFormatLinearPCM && (format.mFormatFlags & kAudioFormatFlagIsFloat) != 0 &&
           (format.mFormatFlags & kAudioFormatFlagIsNonInterleaved) == 0 && format.mBitsPerChannel == 32 &&
           format.mFramesPerPacket == 1 && format.mChannelsPerFrame > 0 &&
           format.mBytesPerFrame == 4 * format.mChannelsPerFrame;
}

std::string cf_key(CFStringRef key) {
    char buffer[512] = {};
    if (key == nullptr || !CFStringGetCString(key, buffer, sizeof buffer, kCFStringEncodingUTF8)) {
        return {};
    }
    return buffer;
}

// Sleeps until host time `deadline` (ticks); returns early only when the clock says so.
void sleep_until_host_time(UInt64 deadline) {
    const UInt64 nanos = AudioConvertHostTimeToNanos(deadline);
    timespec when{static_cast<time_t>(nanos / 1000000000u), static_cast<long>(nanos % 1000000000u)};
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &when, nullptr) == EINTR) {
    }
}

} // namespace

std::string status_text(OSStatus status) {
    const auto code = static_cast<std::uint32_t>(status);
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const char c = static_cast<char>((code >> shift) & 0xFF);
        if (c < 0x20 || c > 0x7E) {
            return std::to_string(status);
        }
        text += c;
    }
    return "'" + text + "'";
}

AudioServerHost::AudioServerHost(PlugInBundle& bundle) : bundle_(bundle) {
    handle_.table.PropertiesChanged = &AudioServerHost::properties_changed;
    handle_.table.CopyFromStorage = &AudioServerHost::copy_from_storage;
    handle_.table.WriteToStorage = &AudioServerHost::write_to_storage;
    handle_.table.DeleteFromStorage = &AudioServerHost::delete_from_storage;
    handle_.table.RequestDeviceConfigurationChange = &AudioServerHost::request_configuration_change;
    handle_.owner = this;
    control_thread_ = std::thread([this] { control_loop(); });
}

AudioServerHost::~AudioServerHost() {
    stop_io();
    detach();
    {
        std::lock_guard<std::mutex> lock(requests_mutex_);
        control_stop_requested_ = true;
    }
    requests_changed_.notify_all();
    control_thread_.join();
    for (auto& [key, value] : storage_) {
        CFRelease(value);
    }
}

AudioServerHost* AudioServerHost::from(AudioServerPlugInHostRef host) {
    return host == nullptr ? nullptr : reinterpret_cast<const HostHandle*>(host)->owner;
}

OSStatus AudioServerHost::properties_changed(AudioServerPlugInHostRef host, AudioObjectID object, UInt32 count,
                                             const AudioObjectPropertyAddress* addresses) {
    if (from(host) == nullptr) {
        return kAudioHardwareBadObjectError;
    }
    for (UInt32 i = 0; addresses != nullptr && i < count; ++i) {
        std::fprintf(stderr, "velmora_server: the plug-in reports a change of %s on object %u\n",
                     status_text(static_cast<OSStatus>(addresses[i].mSelector)).c_str(), object);
    }
    return kAudioHardwareNoError;
}

OSStatus AudioServerHost::copy_from_storage(AudioServerPlugInHostRef host, CFStringRef key, CFPropertyListRef* out) {
    AudioServerHost* self = from(host);
    if (self == nullptr || out == nullptr) {
        return kAudioHardwareIllegalOperationError;
    }
    *out = nullptr;
    const std::string name = cf_key(key);
    if (name.empty()) {
        return kAudioHardwareIllegalOperationError;
    }
    std::lock_guard<std::mutex> lock(self->storage_mutex_);
    const auto found = self->storage_.find(name);
    if (found == self->storage_.end()) {
        return kAudioHardwareUnknownPropertyError;
    }
    *out = CFRetain(found->second);
    return kAudioHardwareNoError;
}

OSStatus AudioServerHost::write_to_storage(AudioServerPlugInHostRef host, CFStringRef key, CFPropertyListRef data) {
    AudioServerHost* self = from(host);
    const std::string name = cf_key(key);
    if (self == nullptr || name.empty() || data == nullptr) {
        return kAudioHardwareIllegalOperationError;
    }
    std::lock_guard<std::mutex> lock(self->storage_mutex_);
    CFPropertyListRef& slot = self->storage_[name];
    if (slot != nullptr) {
        CFRelease(slot);
    }
    slot = CFRetain(data);
    return kAudioHardwareNoError;
}

OSStatus AudioServerHost::delete_from_storage(AudioServerPlugInHostRef host, CFStringRef key) {
    AudioServerHost* self = from(host);
    const std::string name = cf_key(key);
    if (self == nullptr || name.empty()) {
        return kAudioHardwareIllegalOperationError;
    }
    std::lock_guard<std::mutex> lock(self->storage_mutex_);
    const auto found = self->storage_.find(name);
    if (found != self->storage_.end()) {
        CFRelease(found->second);
        self->storage_.erase(found);
    }
    return kAudioHardwareNoError;
}

OSStatus AudioServerHost::request_configuration_change(AudioServerPlugInHostRef host, AudioObjectID device,
                                                       UInt64 action, void* info) {
    AudioServerHost* self = from(host);
    if (self == nullptr) {
        return kAudioHardwareBadObjectError;
    }
    // Performed later on the control thread, as the real server does: the driver may be asking
    // from inside one of its own calls.
    {
        std::lock_guard<std::mutex> lock(self->requests_mutex_);
        self->requests_.push_back({device, action, info});
    }
    self->requests_changed_.notify_all();
    return kAudioHardwareNoError;
}

void AudioServerHost::control_loop() {
    std::unique_lock<std::mutex> lock(requests_mutex_);
    for (;;) {
        requests_changed_.wait(lock, [&] { return control_stop_requested_ || !requests_.empty(); });
        if (control_stop_requested_) {
            return;
        }
        const ChangeRequest request = requests_.front();
        requests_.pop_front();
        request_in_progress_ = true;
        lock.unlock();
        perform_change(request);
        lock.lock();
        request_in_progress_ = false;
        requests_changed_.notify_all();
    }
}

void AudioServerHost::perform_change(const ChangeRequest& request) {
    std::lock_guard<std::recursive_mutex> lock(control_mutex_);
    const bool was_running = io_running_;
    stop_io_locked();
    const OSStatus status =
        bundle_.table().PerformDeviceConfigurationChange(bundle_.driver(), request.device, request.action, request.info);
    if (status != kAudioHardwareNoError) {
        std::fprintf(stderr, "velmora_server: the plug-in refused configuration change %llu: %s\n",
                     static_cast<unsigned long long>(request.action), status_text(status).c_str());
    }
    configuration_changes_.fetch_add(1, std::memory_order_relaxed);
    std::string error;
    if (!refresh_format(error)) {
        std::fprintf(stderr, "velmora_server: %s\n", error.c_str());
    }
    if (was_running && !start_io_locked(error)) {
        std::fprintf(stderr, "velmora_server: IO did not restart after a configuration change: %s\n", error.c_str());
    }
}

bool AudioServerHost::initialize(std::string& error) {
    const OSStatus status = bundle_.table().Initialize(bundle_.driver(), &handle_.table);
    if (status != kAudioHardwareNoError) {
        error = "Initialize failed: " + status_text(status);
        return false;
    }
    return true;
}

bool AudioServerHost::describe_device(DeviceDescription& description, std::string& error) {
    PropertyReader reader(bundle_);
    std::vector<AudioObjectID> devices;
    if (!reader.list(kAudioObjectPlugInObject, address_of(kAudioPlugInPropertyDeviceList), devices, error)) {
        return false;
    }
    if (devices.empty()) {
        error = "the plug-in publishes no device";
        return false;
    }
    DeviceDescription found;
    found.device = devices.front();
    std::vector<AudioObjectID> inputs;
    std::vector<AudioObjectID> outputs;
    if (!reader.text(found.device, address_of(kAudioObjectPropertyName), found.name, error) ||
        !reader.text(found.device, address_of(kAudioDevicePropertyDeviceUID), found.uid, error) ||
        !reader.list(found.device, address_of(kAudioDevicePropertyStreams, kAudioObjectPropertyScopeInput), inputs, error) ||
        !reader.list(found.device, address_of(kAudioDevicePropertyStreams, kAudioObjectPropertyScopeOutput), outputs,
                     error)) {
        return false;
    }
    if (inputs.empty() || outputs.empty()) {
        error = "the device needs an input and an output stream";
        return false;
    }
    found.input_stream = inputs.front();
    found.output_stream = outputs.front();
    for (const bool input : {true, false}) {
        const AudioObjectID stream = input ? found.input_stream : found.output_stream;
        AudioStreamBasicDescription format{};
        UInt32 direction = 0;
        std::string& name = input ? found.input_stream_name : found.output_stream_name;
        if (!reader.text(stream, address_of(kAudioObjectPropertyName), name, error) ||
            !reader.value(stream, address_of(kAudioStreamPropertyDirection), direction, error) ||
            !reader.value(stream, address_of(kAudioStreamPropertyVirtualFormat), format, error)) {
            return false;
        }
        if (direction != (input ? 1u : 0u)) {
            error = "stream " + std::to_string(stream) + " reports the wrong direction";
            return false;
        }
        if (!is_float_interleaved(format)) {
            error = "stream " + std::to_string(stream) + " is not interleaved 32-bit float";
            return false;
        }
        (input ? found.input_channels : found.output_channels) = format.mChannelsPerFrame;
    }
    std::vector<AudioValueRange> rates;
    AudioValueRange frames{};
    Float64 rate = 0;
    UInt32 buffer = 0;
    if (!reader.list(found.device, address_of(kAudioDevicePropertyAvailableNominalSampleRates), rates, error) ||
        !reader.value(found.device, address_of(kAudioDevicePropertyBufferFrameSizeRange), frames, error) ||
        !reader.value(found.device, address_of(kAudioDevicePropertyNominalSampleRate), rate, error) ||
        !reader.value(found.device, address_of(kAudioDevicePropertyBufferFrameSize), buffer, error)) {
        return false;
    }
    for (const AudioValueRange& range : rates) {
        if (range.mMinimum == range.mMaximum) {
            found.sample_rates.push_back(static_cast<std::uint32_t>(range.mMinimum));
        }
    }
    found.min_buffer_frames = static_cast<std::uint32_t>(frames.mMinimum);
    found.max_buffer_frames = std::min<std::uint32_t>(static_cast<std::uint32_t>(frames.mMaximum), kMaxIoFrames);
    found.sample_rate = static_cast<std::uint32_t>(rate);
    found.buffer_frames = buffer;
    device_ = found;
    description = found;
    return true;
}

bool AudioServerHost::refresh_format(std::string& error) {
    PropertyReader reader(bundle_);
    Float64 rate = 0;
    UInt32 frames = 0;
    if (!reader.value(device_.device, address_of(kAudioDevicePropertyNominalSampleRate), rate, error) ||
        !reader.value(device_.device, address_of(kAudioDevicePropertyBufferFrameSize), frames, error)) {
        return false;
    }
    device_.sample_rate = static_cast<std::uint32_t>(rate);
    device_.buffer_frames = frames;
    return true;
}

bool AudioServerHost::configure(std::uint32_t sample_rate, std::uint32_t buffer_frames, std::string& error) {
    auto& table = bundle_.table();
    const Float64 rate = sample_rate;
    auto rate_address = address_of(kAudioDevicePropertyNominalSampleRate);
    OSStatus status = table.SetPropertyData(bundle_.driver(), device_.device, 0, &rate_address, 0, nullptr, sizeof rate, &rate);
    if (status != kAudioHardwareNoError) {
        error = "the device refused the sample rate " + std::to_string(sample_rate) + ": " + status_text(status);
        return false;
    }
    auto frames_address = address_of(kAudioDevicePropertyBufferFrameSize);
    status = table.SetPropertyData(bundle_.driver(), device_.device, 0, &frames_address, 0, nullptr,
                                   sizeof buffer_frames, &buffer_frames);
    if (status != kAudioHardwareNoError) {
        error = "the device refused the buffer size " + std::to_string(buffer_frames) + ": " + status_text(status);
        return false;
    }
    {
        std::unique_lock<std::mutex> lock(requests_mutex_);
        if (!requests_changed_.wait_for(lock, std::chrono::seconds(10),
                                        [&] { return requests_.empty() && !request_in_progress_; })) {
            error = "the device's configuration change did not finish";
            return false;
        }
    }
    std::lock_guard<std::recursive_mutex> lock(control_mutex_);
    if (!refresh_format(error)) {
        return false;
    }
    if (device_.sample_rate != sample_rate || device_.buffer_frames != buffer_frames) {
        error = "the device runs at " + std::to_string(device_.sample_rate) + " Hz / " +
                std::to_string(device_.buffer_frames) + " frames, not the " + std::to_string(sample_rate) + " Hz / " +
                std::to_string(buffer_frames) + " frames asked for";
        return false;
    }
    return true;
}

OSStatus AudioServerHost::attach() {
    std::lock_guard<std::recursive_mutex> lock(control_mutex_);
    if (attached_) {
        return kAudioHardwareNoError;
    }
    AudioServerPlugInClientInfo client{};
    client.mClientID = kHostClientID;
    client.mProcessID = ::getpid();
    client.mIsNativeEndian = 1;
    client.mBundleID = CFStringCreateWithCString(nullptr, "com.tarnwell.velmora.server", kCFStringEncodingUTF8);
    const OSStatus status = bundle_.table().AddDeviceClient(bundle_.driver(), device_.device, &client);
    if (client.mBundleID != nullptr) {
        CFRelease(client.mBundleID);
    }
    attached_ = status == kAudioHardwareNoError;
    return status;
}

void AudioServerHost::detach() {
    std::lock_guard<std::recursive_mutex> lock(control_mutex_);
    if (!attached_) {
        return;
    }
    AudioServerPlugInClientInfo client{};
    client.mClientID = kHostClientID;
    client.mProcessID = ::getpid();
    client.mIsNativeEndian = 1;
    bundle_.table().RemoveDeviceClient(bundle_.driver(), device_.device, &client);
    attached_ = false;
}

bool AudioServerHost::start_io(const IoSettings& settings, std::string& error) {
    std::lock_guard<std::recursive_mutex> lock(control_mutex_);
    stop_io_locked();
    io_settings_ = settings;
    timing_.reserve(settings.timing_capacity);
    return start_io_locked(error);
}

bool AudioServerHost::start_io_locked(std::string& error) {
    auto& table = bundle_.table();
    io_frames_ = device_.buffer_frames;
    io_rate_ = device_.sample_rate;
    if (io_frames_ == 0 || io_frames_ > kMaxIoFrames || io_rate_ == 0) {
        error = "the device's format cannot run (" + std::to_string(io_rate_) + " Hz, " + std::to_string(io_frames_) +
                " frames)";
        return false;
    }
    input_buffer_.assign(static_cast<std::size_t>(kMaxIoFrames) * device_.input_channels, 0.0f);
    output_buffer_.assign(static_cast<std::size_t>(kMaxIoFrames) * device_.output_channels, 0.0f);
    player_.prepare(io_settings_.play, io_rate_, device_.output_channels, device_.input_channels, io_settings_.wav);
    monitor_.reset(io_rate_, io_settings_.play == PlayKind::click);
    Boolean will_do = 0;
    Boolean in_place = 0;
    will_read_input_ = table.WillDoIOOperation(bundle_.driver(), device_.device, kHostClientID,
                                               kAudioServerPlugInIOOperationReadInput, &will_do, &in_place) ==
                           kAudioHardwareNoError &&
                       will_do != 0;
    will_write_mix_ = table.WillDoIOOperation(bundle_.driver(), device_.device, kHostClientID,
                                              kAudioServerPlugInIOOperationWriteMix, &will_do, &in_place) ==
                          kAudioHardwareNoError &&
                      will_do != 0;
    const OSStatus status = table.StartIO(bundle_.driver(), device_.device, kHostClientID);
    if (status != kAudioHardwareNoError) {
        error = "StartIO failed: " + status_text(status);
        return false;
    }
    io_stop_requested_.store(false, std::memory_order_relaxed);
    io_thread_ = std::thread([this] { io_loop(); });
    io_running_ = true;
    return true;
}

void AudioServerHost::stop_io() {
    std::lock_guard<std::recursive_mutex> lock(control_mutex_);
    stop_io_locked();
}

void AudioServerHost::stop_io_locked() {
    if (!io_running_) {
        return;
    }
    io_stop_requested_.store(true, std::memory_order_relaxed);
    io_thread_.join();
    bundle_.table().StopIO(bundle_.driver(), device_.device, kHostClientID);
    io_running_ = false;
}

HostStatus AudioServerHost::status() const {
    HostStatus status;
    status.cycles = cycles_.load(std::memory_order_relaxed);
    status.overloads = overloads_.load(std::memory_order_relaxed);
    status.io_errors = io_errors_.load(std::memory_order_relaxed);
    status.configuration_changes = configuration_changes_.load(std::memory_order_relaxed);
    return status;
}

void AudioServerHost::io_loop() {
    pthread_set_qos_class_self_np(QOS_CLASS_USER_INTERACTIVE, 0);
    // Linux lets an ordinary thread's timed sleeps run up to 50 us long, to batch wake-ups; the
    // IO thread wakes at its deadlines instead.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    auto& table = bundle_.table();
    const std::uint32_t frames = io_frames_;
    const double nominal_ticks_per_frame = AudioGetHostClockFrequency() / io_rate_;
    double ticks_per_frame = nominal_ticks_per_frame;
    // The device clock as last told by its zero time stamp.
    Float64 anchor_sample = 0;
    UInt64 anchor_host = 0;
    UInt64 seed = 0;
    table.GetZeroTimeStamp(bundle_.driver(), device_.device, kHostClientID, &anchor_sample, &anchor_host, &seed);
    if (anchor_host == 0) {
        anchor_host = AudioGetCurrentHostTime();
    }
    // Cycle n handles the input block [sample, sample + frames) once it is complete and the output
    // block that follows; deadlines come from the device's timeline, never from sleeps added up.
    std::uint64_t sample = static_cast<std::uint64_t>(anchor_sample);
    std::uint64_t counter = 1;
    const double period_ticks = frames * nominal_ticks_per_frame;
    while (!io_stop_requested_.load(std::memory_order_relaxed)) {
        const double target = static_cast<double>(sample + frames) - anchor_sample;
        const auto deadline = static_cast<UInt64>(static_cast<double>(anchor_host) + target * ticks_per_frame);
        sleep_until_host_time(deadline);
        const UInt64 now = AudioGetCurrentHostTime();
        timing_.record(now >= deadline ? static_cast<std::int64_t>(AudioConvertHostTimeToNanos(now - deadline))
                                       : -static_cast<std::int64_t>(AudioConvertHostTimeToNanos(deadline - now)));
        if (static_cast<double>(now) - static_cast<double>(deadline) > period_ticks) {
            // Woken more than a buffer late: skip to the device's present, as a real server does
            // after an overload, and resynchronise the cycle counter.
            overloads_.fetch_add(1, std::memory_order_relaxed);
            const double present = anchor_sample + static_cast<double>(now - anchor_host) / ticks_per_frame;
            const auto whole = static_cast<std::uint64_t>(present) / frames * frames;
            sample = whole >= frames ? whole - frames : 0;
            counter = 1;
        }
        const auto cycle_host =
            static_cast<UInt64>(static_cast<double>(anchor_host) +
                                (static_cast<double>(sample + frames) - anchor_sample) * ticks_per_frame);
        run_cycle(sample, counter, cycle_host, ticks_per_frame);
        sample += frames;
        ++counter;

        Float64 stamp_sample = 0;
        UInt64 stamp_host = 0;
        UInt64 stamp_seed = 0;
        if (table.GetZeroTimeStamp(bundle_.driver(), device_.device, kHostClientID, &stamp_sample, &stamp_host,
                                   &stamp_seed) == kAudioHardwareNoError &&
            stamp_seed == seed && stamp_sample > anchor_sample && stamp_host > anchor_host) {
            // The device's own rate, measured between its stamps; trusted within 1% of nominal.
            const double measured = static_cast<double>(stamp_host - anchor_host) / (stamp_sample - anchor_sample);
            if (std::fabs(measured / nominal_ticks_per_frame - 1.0) < 0.01) {
                ticks_per_frame = measured;
            }
            anchor_sample = stamp_sample;
            anchor_host = stamp_host;
        }
    }
}

void AudioServerHost::run_cycle(std::uint64_t sample_time, std::uint64_t counter, UInt64 cycle_host_time,
                                double ticks_per_frame) {
    auto& table = bundle_.table();
    AudioServerPlugInDriverRef driver = bundle_.driver();
    const AudioObjectID device = device_.device;
    const std::uint32_t frames = io_frames_;
    const auto period = static_cast<UInt64>(frames * ticks_per_frame);
    const AudioTimeStampFlags flags = kAudioTimeStampSampleHostTimeValid | kAudioTimeStampRateScalarValid;

    AudioServerPlugInIOCycleInfo cycle{};
    cycle.mIOCycleCounter = counter;
    cycle.mNominalIOBufferFrameSize = frames;
    cycle.mCurrentTime.mSampleTime = static_cast<Float64>(sample_time + frames);
    cycle.mCurrentTime.mHostTime = cycle_host_time;
    cycle.mCurrentTime.mRateScalar = 1.0;
    cycle.mCurrentTime.mFlags = flags;
    cycle.mInputTime = cycle.mCurrentTime;
    cycle.mInputTime.mSampleTime = static_cast<Float64>(sample_time);
    cycle.mInputTime.mHostTime = cycle_host_time - period;
    cycle.mOutputTime = cycle.mCurrentTime;
    cycle.mOutputTime.mSampleTime = static_cast<Float64>(sample_time + 2ull * frames);
    cycle.mOutputTime.mHostTime = cycle_host_time + period;
    cycle.mMainHostTicksPerFrame = ticks_per_frame;
    cycle.mDeviceHostTicksPerFrame = ticks_per_frame;

    std::uint64_t errors = 0;
    errors += table.BeginIOOperation(driver, device, kHostClientID, kAudioServerPlugInIOOperationCycle, frames, &cycle) != 0;
    if (will_read_input_) {
        errors += table.DoIOOperation(driver, device, device_.input_stream, kHostClientID,
                                      kAudioServerPlugInIOOperationReadInput, frames, &cycle, input_buffer_.data(),
                                      nullptr) != 0;
    }
    monitor_.observe(input_buffer_.data(), frames, device_.input_channels, sample_time);
    if (io_settings_.recorder != nullptr) {
        io_settings_.recorder->push(input_buffer_.data(), frames);
    }
    player_.render(input_buffer_.data(), output_buffer_.data(), frames, sample_time);
    if (will_write_mix_) {
        errors += table.DoIOOperation(driver, device, device_.output_stream, kHostClientID,
                                      kAudioServerPlugInIOOperationWriteMix, frames, &cycle, output_buffer_.data(),
                                      nullptr) != 0;
    }
    errors += table.EndIOOperation(driver, device, kHostClientID, kAudioServerPlugInIOOperationCycle, frames, &cycle) != 0;
    if (errors != 0) {
        io_errors_.fetch_add(errors, std::memory_order_relaxed);
    }
    frames_run_.fetch_add(frames, std::memory_order_relaxed);
    cycles_.fetch_add(1, std::memory_order_relaxed);
}

} // namespace VelmoraAudioServer
