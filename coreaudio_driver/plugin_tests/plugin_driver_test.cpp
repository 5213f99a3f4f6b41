// The driver's operations as a host calls them: interfaces, host clients and the network server,
// configuration changes, the device clock and IO.
#include "driver_test_fixture.h"

#include <velmora/driver/device_clock.h>
#include <velmora/test_support/counting_allocator.h>
#include <velmora_compat/os_log_capture.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <thread>
#include <tuple>

namespace {

using VelmoraTest::address_of;
using VelmoraTest::DriverTest;
using VelmoraTest::g_test_host_time;
using VelmoraTest::TemporaryDriverConfig;
using Lines = std::vector<std::string>;
using Snapshot = VelmoraMac::CoreAudioHalRuntime::Snapshot;

bool record_exists(const std::string& name) {
    const int fd = ::shm_open(name.c_str(), O_RDONLY, 0);
    if (fd >= 0) {
        ::close(fd);
    }
    return fd >= 0;
}

TEST_F(DriverTest, InterfacesAndOperationsOnObjectsThatAreNoDevice) {
    LPVOID out = nullptr;
    EXPECT_EQ(table().QueryInterface(ref(), CFUUIDGetUUIDBytes(IUnknownUUID), &out), S_OK);
    EXPECT_EQ(out, ref());
    out = nullptr;
    EXPECT_EQ(table().QueryInterface(ref(), CFUUIDGetUUIDBytes(kAudioServerPlugInDriverInterfaceUUID), &out),
              S_OK);
    EXPECT_EQ(out, ref());
    EXPECT_EQ(table().QueryInterface(ref(), CFUUIDGetUUIDBytes(kAudioServerPlugInTypeUUID), &out),
              E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(table().QueryInterface(ref(), CFUUIDGetUUIDBytes(IUnknownUUID), nullptr), E_NOINTERFACE);
    EXPECT_EQ(table().AddRef(ref()), 1u);
    EXPECT_EQ(table().Release(ref()), 1u);
    EXPECT_EQ(table().Initialize(nullptr, nullptr), kAudioHardwareBadObjectError);

    AudioObjectID device = 55;
    EXPECT_EQ(table().CreateDevice(ref(), nullptr, nullptr, &device),
              kAudioHardwareUnsupportedOperationError);
    EXPECT_EQ(device, 0u);
    EXPECT_EQ(table().DestroyDevice(ref(), 2), kAudioHardwareUnsupportedOperationError);
    // Device operations on other objects.
    Float64 sample_time = 0;
    EXPECT_EQ(host_.add_client(3), kAudioHardwareBadDeviceError);
    EXPECT_EQ(table().StartIO(ref(), 4, 0), kAudioHardwareBadDeviceError);
    EXPECT_EQ(table().GetZeroTimeStamp(ref(), 3, 0, &sample_time, nullptr, nullptr),
              kAudioHardwareBadDeviceError);
    EXPECT_EQ(table().BeginIOOperation(ref(), 1, 0, kAudioServerPlugInIOOperationCycle, 128, nullptr),
              kAudioHardwareBadDeviceError);
    EXPECT_EQ(perform(2, 96000, 3), kAudioHardwareUnsupportedOperationError);
}

// ---- host clients and the network server ----

TEST_F(DriverTest, FirstClientStartsTheServerFromTheConfigurationAndLastStopsIt) {
    TemporaryDriverConfig config(
        "[network]\nbind_address = 127.0.0.2\nlisten_port = 28123\nclient_timeout_ms = 900\n"
        "[socket]\nrecv_buffer_bytes = 4096\nsend_buffer_bytes = 8192\n"
        "[transport]\nudp_payload_bytes = 51\n");
    VelmoraCompat::OsLogCapture capture;
    EXPECT_FALSE(record_exists(debug_.name()));
    ASSERT_EQ(host_.add_client(), kAudioHardwareNoError);
    ASSERT_EQ(server_.starts.size(), 1u);
    const VelmoraMac::PlugInNetworkSettings& s = server_.starts[0];
    // 51 is below the smallest fragment.
    EXPECT_EQ(std::make_tuple(s.bind_address, s.listen_port, s.client_timeout_ms, s.recv_buffer_bytes,
                              s.send_buffer_bytes, s.payload_bytes),
              std::make_tuple(0x7F000002u, std::uint16_t{28123}, 900u, 4096u, 8192u, 1200u));
    EXPECT_TRUE(record_exists(debug_.name()));
    EXPECT_EQ(capture.messages(), Lines{"VelmoraCoreAudio UDP network server started on 127.0.0.2:28123"});
    EXPECT_EQ(capture.entries()[0].type, OS_LOG_TYPE_INFO);

    // A second client neither restarts the server nor rereads the file.
    config.write("[network]\nlisten_port = 28999\n");
    ASSERT_EQ(host_.add_client(), kAudioHardwareNoError);
    EXPECT_EQ(server_.starts.size(), 1u);
    ASSERT_EQ(host_.remove_client(), kAudioHardwareNoError);
    EXPECT_TRUE(server_.is_running());
    ASSERT_EQ(host_.remove_client(), kAudioHardwareNoError);
    EXPECT_FALSE(server_.is_running());
    EXPECT_FALSE(record_exists(debug_.name()));
    // A detach with nobody attached changes nothing.
    ASSERT_EQ(host_.remove_client(), kAudioHardwareNoError);
    EXPECT_EQ(server_.stops, 1);
    EXPECT_EQ(driver_->device_client_count(), 0u);

    // After everyone left, the next attach reads the file again.
    ASSERT_EQ(host_.add_client(), kAudioHardwareNoError);
    ASSERT_EQ(server_.starts.size(), 2u);
    EXPECT_EQ(server_.starts[1].listen_port, 28999);
    EXPECT_EQ(server_.starts[1].bind_address, 0x7F000001u);
}

// A failed attach is logged, counts no client and leaves no record; the next attach tries again.
TEST_F(DriverTest, AFailedAttachIsLoggedAndTheNextOneTriesAgain) {
    TemporaryDriverConfig config("[network]\nbind_address = localhost\n");
    VelmoraCompat::OsLogCapture capture;
    EXPECT_EQ(host_.add_client(), kAudioHardwareIllegalOperationError);
    EXPECT_TRUE(server_.starts.empty());
    config.write("[network]\nlisten_port = 28077\n");
    server_.results = {false};
    EXPECT_EQ(host_.add_client(), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(capture.messages(),
              (Lines{"VelmoraCoreAudio invalid network bind address: localhost",
                     "VelmoraCoreAudio failed to start UDP network server on 127.0.0.1:28077"}));
    EXPECT_EQ(capture.entries()[0].type, OS_LOG_TYPE_ERROR);
    EXPECT_EQ(driver_->device_client_count(), 0u);
    EXPECT_FALSE(record_exists(debug_.name()));
    EXPECT_EQ(host_.add_client(), kAudioHardwareNoError);
    EXPECT_EQ(driver_->device_client_count(), 1u);
}

TEST_F(DriverTest, AClientAttachingWhileAnAttachFailsGetsARunningServer) {
    TemporaryDriverConfig config("");
    server_.results = {false, true};
    server_.hold_starts(true);
    OSStatus first = -1;
    OSStatus second = -1;
    std::thread first_client([&] { first = host_.add_client(); });
    server_.wait_until_inside_start();
    std::thread second_client([&] { second = host_.add_client(); });
    // The second attach waits for the first's outcome instead of counting on a server that may
    // never run; give it time to reach the driver.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    server_.hold_starts(false);
    first_client.join();
    second_client.join();
    EXPECT_EQ(first, kAudioHardwareIllegalOperationError);
    EXPECT_EQ(second, kAudioHardwareNoError);
    EXPECT_EQ(driver_->device_client_count(), 1u);
    EXPECT_EQ(server_.starts.size(), 2u);
    // The one attached client's detach is the last one.
    ASSERT_EQ(host_.remove_client(), kAudioHardwareNoError);
    EXPECT_FALSE(server_.is_running());
}

// Initialize stops everything and keeps the rate; without a host interface (or one without the
// request function) values are set directly.
TEST_F(DriverTest, InitializeStopsEverythingAndKeepsTheRate) {
    TemporaryDriverConfig config("");
    ASSERT_EQ(perform(2, 96000), kAudioHardwareNoError);
    ASSERT_EQ(perform(1, 512), kAudioHardwareNoError);
    ASSERT_EQ(host_.add_client(), kAudioHardwareNoError);
    ASSERT_EQ(table().StartIO(ref(), 2, 0), kAudioHardwareNoError);
    AudioServerPlugInHostInterface partial{};
    ASSERT_EQ(table().Initialize(ref(), &partial), kAudioHardwareNoError);
    EXPECT_FALSE(server_.is_running());
    EXPECT_FALSE(record_exists(debug_.name()));
    EXPECT_EQ(driver_->device_client_count() + driver_->running_client_count(), 0u);
    EXPECT_EQ(driver_->buffer_frame_size(), 128u);
    EXPECT_EQ(driver_->nominal_sample_rate(), 96000u);
    Float64 rate = 44100;
    EXPECT_EQ(host_.set(2, address_of(kAudioDevicePropertyNominalSampleRate), &rate, sizeof rate),
              kAudioHardwareNoError);
    UInt32 frames = 15;
    EXPECT_EQ(host_.set(2, address_of(kAudioDevicePropertyBufferFrameSize), &frames, sizeof frames),
              kAudioHardwareNoError);
    EXPECT_EQ(driver_->nominal_sample_rate(), 44100u);
    EXPECT_EQ(driver_->buffer_frame_size(), 15u);
}

// ---- configuration changes ----

struct RecordingHost {
    AudioServerPlugInHostInterface table{};
    std::vector<std::pair<UInt64, std::uintptr_t>> requests;
    OSStatus answer = kAudioHardwareNoError;

    RecordingHost() {
        table.RequestDeviceConfigurationChange = [](AudioServerPlugInHostRef host, AudioObjectID device,
                                                    UInt64 action, void* info) -> OSStatus {
            auto* self = const_cast<RecordingHost*>(reinterpret_cast<const RecordingHost*>(host));
            EXPECT_EQ(device, 2u);
            self->requests.emplace_back(action, reinterpret_cast<std::uintptr_t>(info));
            return self->answer;
        };
    }
};

TEST_F(DriverTest, RateAndBufferSizeGoThroughTheHostsConfigurationChange) {
    RecordingHost recording;
    ASSERT_EQ(table().Initialize(ref(), &recording.table), kAudioHardwareNoError);
    const auto rate_address = address_of(kAudioDevicePropertyNominalSampleRate);
    const auto frames_address =
        address_of(kAudioDevicePropertyBufferFrameSize, kAudioObjectPropertyScopeWildcard,
                   kAudioObjectPropertyElementWildcard);
    Float64 rate = 32000;
    EXPECT_EQ(host_.set(2, rate_address, &rate, sizeof rate), kAudioHardwareIllegalOperationError);
    rate = 96000;
    EXPECT_EQ(host_.set(2, rate_address, &rate, 4), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(host_.set(2, rate_address, nullptr, 8), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(host_.set(2, rate_address, &rate, sizeof rate), kAudioHardwareNoError);
    ASSERT_EQ(recording.requests.size(), 1u);
    EXPECT_EQ(recording.requests[0], (std::pair<UInt64, std::uintptr_t>{2, 96000}));
    // Nothing changes until the host performs the change.
    EXPECT_EQ(host_.value<Float64>(2, rate_address), 48000.0);
    EXPECT_EQ(perform(2, recording.requests[0].second), kAudioHardwareNoError);
    EXPECT_EQ(host_.value<AudioStreamBasicDescription>(4, address_of(kAudioStreamPropertyVirtualFormat))
                  .mSampleRate,
              96000.0);
    // The value it already has needs no change (and no stop of IO).
    EXPECT_EQ(host_.set(2, rate_address, &rate, sizeof rate), kAudioHardwareNoError);
    EXPECT_EQ(recording.requests.size(), 1u);

    for (UInt32 bad : {14u, 4097u, 0u}) {
        EXPECT_EQ(host_.set(2, frames_address, &bad, sizeof bad), kAudioHardwareIllegalOperationError) << bad;
    }
    UInt32 frames = 256;
    EXPECT_EQ(host_.set(2, frames_address, &frames, 2), kAudioHardwareIllegalOperationError);
    recording.answer = kAudioHardwareNotRunningError;
    EXPECT_EQ(host_.set(2, frames_address, &frames, sizeof frames), kAudioHardwareNotRunningError);
    EXPECT_EQ(recording.requests.at(1), (std::pair<UInt64, std::uintptr_t>{1, 256}));
    EXPECT_EQ(perform(1, 256), kAudioHardwareNoError);
    EXPECT_EQ(host_.u32(2, frames_address), 256u);
    EXPECT_EQ(perform(2, 32000), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(perform(1, 4097), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(perform(3, 0), kAudioHardwareUnsupportedOperationError);
    EXPECT_EQ(driver_->nominal_sample_rate(), 96000u);
    EXPECT_EQ(driver_->buffer_frame_size(), 256u);

    // Other known properties are not settable.
    EXPECT_EQ(host_.set(2, address_of(kAudioDevicePropertyIsHidden), &frames, sizeof frames),
              kAudioHardwareUnsupportedOperationError);
}

// ---- device clock ----

TEST_F(DriverTest, ZeroTimeStampIsZeroBeforeIOAndThenAdvancesInStepsOf10923Frames) {
    Float64 sample_time = 5;
    UInt64 host_time = 5;
    UInt64 seed = 5;
    ASSERT_EQ(zero_time_stamp(&sample_time, &host_time, &seed), kAudioHardwareNoError);
    EXPECT_EQ(std::make_tuple(sample_time, host_time, seed), std::make_tuple(0.0, UInt64{0}, UInt64{1}));
    EXPECT_EQ(zero_time_stamp(nullptr, nullptr, nullptr), kAudioHardwareNoError);

    const UInt64 start = 5000000000ull;
    g_test_host_time.store(start);
    ASSERT_EQ(table().StartIO(ref(), 2, 0), kAudioHardwareNoError);
    EXPECT_EQ(host_.u32(2, address_of(kAudioDevicePropertyDeviceIsRunning)), 1u);
    // At 48 kHz one period is 227562500 ns.
    const std::pair<UInt64, Float64> cases[] = {
        {0, 0},
        {227562499, 0},
        {227562500, 10923},
        {500000000, 21846},
        {1000000000, 43692},
        {3600000000000ull, 172800000.0 - 172800000 % 10923},
    };
    for (const auto& [elapsed_ns, expected] : cases) {
        g_test_host_time.store(start + elapsed_ns);
        ASSERT_EQ(zero_time_stamp(&sample_time, &host_time, &seed), kAudioHardwareNoError);
        EXPECT_EQ(sample_time, expected) << elapsed_ns;
        const auto expected_ns =
            static_cast<UInt64>(static_cast<unsigned __int128>(expected) * 1000000000u / 48000);
        EXPECT_EQ(host_time, start + expected_ns) << elapsed_ns;
        EXPECT_EQ(seed, 2u);
    }
    // A second starter does not move the anchor and the device runs until the last stop, which
    // halts the clock; the next start begins a new timeline with a new seed.
    ASSERT_EQ(table().StartIO(ref(), 2, 1), kAudioHardwareNoError);
    ASSERT_EQ(table().StopIO(ref(), 2, 0), kAudioHardwareNoError);
    ASSERT_EQ(zero_time_stamp(&sample_time, nullptr, &seed), kAudioHardwareNoError);
    EXPECT_GT(sample_time, 0.0);
    EXPECT_EQ(host_.u32(2, address_of(kAudioDevicePropertyDeviceIsRunningSomewhere)), 1u);
    ASSERT_EQ(table().StopIO(ref(), 2, 1), kAudioHardwareNoError);
    EXPECT_EQ(host_.u32(2, address_of(kAudioDevicePropertyDeviceIsRunning)), 0u);
    ASSERT_EQ(zero_time_stamp(&sample_time, nullptr, &seed), kAudioHardwareNoError);
    EXPECT_EQ(sample_time, 0.0);
    ASSERT_EQ(table().StopIO(ref(), 2, 0), kAudioHardwareNoError);
    EXPECT_EQ(driver_->running_client_count(), 0u);
    ASSERT_EQ(table().StartIO(ref(), 2, 0), kAudioHardwareNoError);
    g_test_host_time.store(g_test_host_time.load() + 227562500);
    ASSERT_EQ(zero_time_stamp(&sample_time, nullptr, &seed), kAudioHardwareNoError);
    EXPECT_EQ(sample_time, 10923.0);
    EXPECT_EQ(seed, 3u);

    // 10 s at 44.1 kHz: 40 whole periods, 436920 frames, 9907482993.19 ns; never before the anchor.
    const VelmoraMac::ZeroTimeStamp stamp =
        VelmoraMac::compute_zero_time_stamp(123456789, 123456789 + 10000000000ull, 44100, 10923);
    EXPECT_EQ(stamp.sample_time, 436920.0);
    EXPECT_EQ(stamp.host_time, 123456789u + 9907482993u);
    EXPECT_EQ(VelmoraMac::compute_zero_time_stamp(100, 50, 48000, 10923).host_time, 100u);
}

// ---- IO ----

AudioServerPlugInIOCycleInfo
cycle_at(UInt64 current_host_time, UInt64 input_host_time = 0,
         AudioTimeStampFlags current_flags = kAudioTimeStampSampleHostTimeValid) {
    AudioServerPlugInIOCycleInfo cycle{};
    cycle.mIOCycleCounter = 1;
    cycle.mNominalIOBufferFrameSize = 128;
    cycle.mCurrentTime.mHostTime = current_host_time;
    cycle.mCurrentTime.mFlags = current_flags;
    cycle.mInputTime.mHostTime = input_host_time;
    cycle.mInputTime.mFlags = kAudioTimeStampSampleHostTimeValid;
    return cycle;
}

TEST_F(DriverTest, OnlyReadInputWriteMixAndTheCycleOnTheirStreamsWithValidFrameCounts) {
    for (UInt32 operation :
         {kAudioServerPlugInIOOperationThread, kAudioServerPlugInIOOperationCycle,
          kAudioServerPlugInIOOperationReadInput, kAudioServerPlugInIOOperationConvertInput,
          kAudioServerPlugInIOOperationMixOutput, kAudioServerPlugInIOOperationWriteMix}) {
        Boolean will_do = 9;
        Boolean in_place = 9;
        ASSERT_EQ(table().WillDoIOOperation(ref(), 2, 0, operation, &will_do, &in_place),
                  kAudioHardwareNoError);
        EXPECT_EQ(will_do != 0, operation == kAudioServerPlugInIOOperationCycle ||
                                    operation == kAudioServerPlugInIOOperationReadInput ||
                                    operation == kAudioServerPlugInIOOperationWriteMix)
            << VelmoraTest::four_cc(operation);
        EXPECT_EQ(in_place, 1);
    }
    std::vector<float> buffer(32 * 5000 + 32, 0.75f);
    auto run = [&](AudioObjectID stream, UInt32 operation) {
        return table().DoIOOperation(ref(), 2, stream, 0, operation, 128, nullptr, buffer.data(), nullptr);
    };
    EXPECT_EQ(run(2, kAudioServerPlugInIOOperationReadInput), kAudioHardwareBadStreamError);
    EXPECT_EQ(run(5, kAudioServerPlugInIOOperationWriteMix), kAudioHardwareBadStreamError);
    EXPECT_EQ(run(4, kAudioServerPlugInIOOperationReadInput), kAudioHardwareUnsupportedOperationError);
    EXPECT_EQ(run(3, kAudioServerPlugInIOOperationWriteMix), kAudioHardwareUnsupportedOperationError);
    EXPECT_EQ(run(3, kAudioServerPlugInIOOperationProcessInput), kAudioHardwareUnsupportedOperationError);
    EXPECT_EQ(run(0, kAudioServerPlugInIOOperationCycle), kAudioHardwareNoError);
    EXPECT_EQ(io(kAudioServerPlugInIOOperationReadInput, 128, nullptr), kAudioHardwareNoError);

    // Bad frame counts: refused, the input buffer silent as far as it goes, nothing published.
    for (UInt32 frames : {0u, 4097u, 5000u}) {
        std::fill(buffer.begin(), buffer.end(), 0.75f);
        EXPECT_EQ(io(kAudioServerPlugInIOOperationReadInput, frames, buffer.data()),
                  kAudioHardwareBadPropertySizeError);
        for (std::size_t i = 0; i < buffer.size(); ++i) {
            ASSERT_EQ(buffer[i], i < 32u * frames ? 0.0f : 0.75f) << frames << " at " << i;
        }
        EXPECT_EQ(io(kAudioServerPlugInIOOperationWriteMix, frames, buffer.data()),
                  kAudioHardwareBadPropertySizeError);
    }
    EXPECT_EQ(io(kAudioServerPlugInIOOperationReadInput, 5000, nullptr), kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(runtime_->expected_input_sequence(), 0u);
}

// The host's buffers are interleaved, the runtime's planar: input and mix go through whole, and
// the mix is published once, with the cycle's time.
TEST_F(DriverTest, ReadInputAndWriteMixInterleave) {
    std::vector<float> planar(32 * 64);
    for (std::size_t i = 0; i < planar.size(); ++i) {
        planar[i] = static_cast<float>((i / 64) * 1000 + i % 64);
    }
    VelmoraMac::CoreAudioHalBlockTimeline timeline;
    timeline.sample_rate = 48000;
    timeline.frames = 64;
    runtime_->publish_prepared_input_block(planar.data(), timeline);
    std::vector<float> input(32 * 64);
    std::vector<float> mix(32 * 64);
    for (std::size_t i = 0; i < mix.size(); ++i) {
        mix[i] = planar[(i % 32) * 64 + i / 32];
    }
    const AudioServerPlugInIOCycleInfo cycle = cycle_at(777000, 555000);
    run_cycle(64, input.data(), mix.data(), &cycle);
    EXPECT_EQ(input, mix);
    auto snapshot = std::make_unique<Snapshot>();
    ASSERT_TRUE(runtime_->read_next_output_snapshot(*snapshot));
    EXPECT_EQ(snapshot->frames, 64);
    EXPECT_EQ(snapshot->sample_rate, 48000u);
    EXPECT_EQ(snapshot->host_time_ns, 777000u);
    EXPECT_EQ(std::vector<float>(snapshot->samples.begin(), snapshot->samples.begin() + planar.size()),
              planar);
    EXPECT_FALSE(runtime_->read_next_output_snapshot(*snapshot));
}

// The time is the cycle's current time, else its input time, else the host clock.
TEST_F(DriverTest, ACycleWithoutOutputStillPublishesASilentBlock) {
    auto snapshot = std::make_unique<Snapshot>();
    g_test_host_time.store(999000);
    const AudioServerPlugInIOCycleInfo cycles[] = {cycle_at(111000, 222000),
                                                   cycle_at(111000, 222000, kAudioTimeStampSampleTimeValid),
                                                   cycle_at(0, 222000)};
    const std::pair<const AudioServerPlugInIOCycleInfo*, UInt64> cases[] = {
        {&cycles[0], 111000}, {&cycles[1], 222000}, {&cycles[2], 999000}, {nullptr, 999000}};
    UInt32 sequence = 0;
    const std::vector<float> silence(32 * 128, 0.0f);
    for (const auto& [cycle, host_time_ns] : cases) {
        std::vector<float> input(32 * 128, 1.0f);
        run_cycle(128, input.data(), nullptr, cycle);
        ASSERT_TRUE(runtime_->read_next_output_snapshot(*snapshot));
        EXPECT_EQ(snapshot->sequence, sequence++);
        EXPECT_EQ(snapshot->host_time_ns, host_time_ns);
        EXPECT_EQ(std::vector<float>(snapshot->samples.begin(), snapshot->samples.begin() + 32 * 128),
                  silence);
        EXPECT_EQ(input, silence) << "no client input: silence";
    }
}

// The IO operations run on the host's real-time thread: whole cycles, with and without output, at
// several buffer sizes, allocate nothing.
TEST_F(DriverTest, IOCyclesAllocateNothing) {
    if (!VelmoraTest::counting_allocator_available()) {
        GTEST_SKIP() << "this build's sanitizer owns the allocator";
    }
    TemporaryDriverConfig config("");
    ASSERT_EQ(host_.add_client(), kAudioHardwareNoError);
    ASSERT_EQ(table().StartIO(ref(), 2, 0), kAudioHardwareNoError);
    std::vector<float> input(32 * 4096);
    std::vector<float> output(32 * 4096, 0.25f);
    auto snapshot = std::make_unique<Snapshot>();
    AudioServerPlugInIOCycleInfo cycle = cycle_at(0);
    VelmoraTest::track_current_thread();
    VelmoraTest::CountingAllocations counting;
    for (UInt32 n = 0; n < 300; ++n) {
        const UInt32 frames = n % 3 == 0 ? 4096 : (n % 3 == 1 ? 128 : 15);
        cycle.mIOCycleCounter = n + 1;
        cycle.mCurrentTime.mHostTime = 1000 + n;
        Float64 sample_time = 0;
        UInt64 host_time = 0;
        UInt64 seed = 0;
        zero_time_stamp(&sample_time, &host_time, &seed);
        run_cycle(frames, input.data(), n % 4 != 0 ? output.data() : nullptr, &cycle);
        runtime_->read_next_output_snapshot(*snapshot); // the network side keeps the queue from filling
    }
    EXPECT_EQ(counting.count(), 0u);
    ASSERT_EQ(table().StopIO(ref(), 2, 0), kAudioHardwareNoError);
    ASSERT_EQ(host_.remove_client(), kAudioHardwareNoError);
}

} // namespace
