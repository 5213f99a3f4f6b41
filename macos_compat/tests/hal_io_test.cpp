#include "hal_test_support.h"

#include <velmora_compat/wav_file.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <unistd.h>

namespace {

using namespace HalTest;

// What one IO procedure saw, cycle by cycle; it writes `output_value` into every output sample and
// can stop, restart or destroy itself on its `act_on_cycle`th cycle.
struct Recorder {
    enum class Act { none, stop, restart, destroy };
    struct Cycle {
        AudioTimeStamp now, input_time, output_time;
        std::vector<AudioBuffer> inputs, outputs;
        std::vector<float> first_inputs; // the first 8 floats of the first input buffer, as seen then
        std::thread::id thread;
    };
    std::vector<Cycle> cycles;
    float output_value = 0.0f;
    Act act = Act::none;
    std::size_t act_on_cycle = 2;
    AudioDeviceIOProcID self = nullptr;

    static OSStatus proc(AudioObjectID device, const AudioTimeStamp* now, const AudioBufferList* input,
                         const AudioTimeStamp* input_time, AudioBufferList* output,
                         const AudioTimeStamp* output_time, void* data) {
        auto* r = static_cast<Recorder*>(data);
        Cycle cycle{*now, *input_time, *output_time, {}, {}, {}, std::this_thread::get_id()};
        cycle.inputs.assign(input->mBuffers, input->mBuffers + input->mNumberBuffers);
        if (input->mNumberBuffers > 0 && input->mBuffers[0].mDataByteSize >= 32) {
            const auto* samples = static_cast<const float*>(input->mBuffers[0].mData);
            cycle.first_inputs.assign(samples, samples + 8);
        }
        for (UInt32 b = 0; b < output->mNumberBuffers; ++b) {
            cycle.outputs.push_back(output->mBuffers[b]);
            auto* samples = static_cast<float*>(output->mBuffers[b].mData);
            std::fill(samples, samples + output->mBuffers[b].mDataByteSize / 4, r->output_value);
        }
        r->cycles.push_back(cycle);
        if (r->cycles.size() == r->act_on_cycle && r->act != Act::none) {
            if (r->act == Act::destroy) {
                AudioDeviceDestroyIOProcID(device, r->self);
            } else {
                AudioDeviceStop(device, r->self);
                if (r->act == Act::restart) {
                    AudioDeviceStart(device, r->self);
                }
            }
        }
        return 0;
    }
};

class HalIo : public ::testing::Test {
protected:
    void SetUp() override { Hal::reset({}); }
    void TearDown() override { Hal::reset_to_defaults(); }

    // Adds the device and starts `recorder` on it.
    AudioObjectID start(const Hal::DeviceDescription& d, Recorder& recorder) {
        std::string error;
        const AudioObjectID id = Hal::add_device(d, &error);
        EXPECT_NE(id, kAudioObjectUnknown) << error;
        EXPECT_EQ(AudioDeviceCreateIOProcID(id, &Recorder::proc, &recorder, &recorder.self), kAudioHardwareNoError);
        EXPECT_EQ(AudioDeviceStart(id, recorder.self), kAudioHardwareNoError);
        return id;
    }
};

TEST_F(HalIo, ManualClockStepsCyclesWithExactTimeStamps) {
    Recorder recorder;
    const AudioObjectID device = start(manual_device("Manual", {{2}}, {{2}}), recorder);
    ASSERT_EQ(Hal::step_io_cycles(device, 4), 4u);
    ASSERT_EQ(recorder.cycles.size(), 4u);
    const UInt64 period = AudioConvertNanosToHostTime(static_cast<UInt64>(64 * 1.0e9 / 48000.0));
    for (std::size_t i = 0; i < recorder.cycles.size(); ++i) {
        const auto& c = recorder.cycles[i];
        EXPECT_EQ(c.thread, std::this_thread::get_id());
        EXPECT_EQ(c.now.mSampleTime, 64.0 * static_cast<double>(i + 1));
        EXPECT_EQ(c.input_time.mSampleTime, c.now.mSampleTime - 64.0);
        EXPECT_EQ(c.output_time.mSampleTime, c.now.mSampleTime + 64.0);
        if (i > 0) {
            const UInt64 step = c.now.mHostTime - recorder.cycles[i - 1].now.mHostTime;
            EXPECT_LE(step > period ? step - period : period - step, 1u);
        }
    }
    AudioTimeStamp now{};
    EXPECT_EQ(AudioDeviceGetCurrentTime(device, &now), kAudioHardwareNoError);
    EXPECT_EQ(now.mSampleTime, 256.0);
    ASSERT_EQ(AudioDeviceStop(device, recorder.self), kAudioHardwareNoError);
    EXPECT_EQ(AudioDeviceGetCurrentTime(device, &now), kAudioHardwareNotRunningError);
    EXPECT_EQ(Hal::step_io_cycles(device, 1), 0u);
}

TEST_F(HalIo, BufferListsFollowTheStreamLayout) {
    Hal::DeviceDescription d = manual_device(
        "Layout",
        {{2, Hal::SampleFormat::float32, true, 0.0}, {3, Hal::SampleFormat::float32, false, 0.0},
         {2, Hal::SampleFormat::int24, true, 0.0}},
        {{2, Hal::SampleFormat::float32, false, 0.0}, {4, Hal::SampleFormat::float32, true, 0.0}});
    d.input.kind = Hal::InputKind::channel_ids;
    Recorder recorder;
    const AudioObjectID device = start(d, recorder);
    ASSERT_EQ(Hal::step_io_cycles(device, 1), 1u);
    const auto& in = recorder.cycles.at(0).inputs;
    ASSERT_EQ(in.size(), 5u); // interleaved, three single-channel ones, interleaved int24
    EXPECT_EQ(in[0].mNumberChannels, 2u);
    EXPECT_EQ(in[0].mDataByteSize, 64u * 2u * 4u);
    // Hardware channel n carries (n + 1) / 1024 wherever its stream puts it.
    const auto* interleaved = static_cast<const float*>(in[0].mData);
    EXPECT_EQ(interleaved[0], 1.0f / 1024);
    EXPECT_EQ(interleaved[63 * 2 + 1], 2.0f / 1024);
    for (std::size_t b = 1; b < 4; ++b) {
        EXPECT_EQ(in[b].mNumberChannels, 1u);
        EXPECT_EQ(in[b].mDataByteSize, 64u * 4u);
        EXPECT_EQ(static_cast<const float*>(in[b].mData)[63], static_cast<float>(b + 2) / 1024) << b;
    }
    // Channel 6 (the int24 stream's second) holds 7/1024 of full scale: 0x00E000, little-endian, 3 bytes.
    EXPECT_EQ(in[4].mDataByteSize, 64u * 2u * 3u);
    const auto* bytes = static_cast<const unsigned char*>(in[4].mData);
    EXPECT_EQ(bytes[3] | bytes[4] << 8 | bytes[5] << 16, 0x00E000);
    const auto& out = recorder.cycles[0].outputs;
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].mNumberChannels, 1u);
    EXPECT_EQ(out[2].mNumberChannels, 4u);
    EXPECT_EQ(out[2].mDataByteSize, 64u * 16u);
}

TEST_F(HalIo, LoopbackMeterAndSeveralProceduresMix) {
    Hal::DeviceDescription d = manual_device("Loop", {{2}}, {{2}});
    d.input.kind = Hal::InputKind::loopback;
    d.output.kind = Hal::OutputKind::meter;
    Recorder first, second;
    first.output_value = 0.25f;
    second.output_value = 0.125f;
    const AudioObjectID device = start(d, first);
    ASSERT_EQ(AudioDeviceCreateIOProcID(device, &Recorder::proc, &second, &second.self), kAudioHardwareNoError);
    ASSERT_EQ(AudioDeviceStart(device, second.self), kAudioHardwareNoError);
    ASSERT_EQ(Hal::step_io_cycles(device, 2), 2u);
    // Each procedure gets silent output buffers; the device plays the sum, and hears it next cycle.
    EXPECT_EQ(first.cycles[0].first_inputs.at(0), 0.0f);
    EXPECT_EQ(first.cycles[1].first_inputs.at(5), 0.375f);
    const auto levels = Hal::output_levels(device);
    ASSERT_EQ(levels.size(), 2u);
    EXPECT_FLOAT_EQ(levels[1].rms, 0.375f);
    EXPECT_EQ(Hal::output_levels(device)[0].peak, 0.0f) << "taking the levels clears them";
    // Stopping one keeps the device running with the other.
    ASSERT_EQ(AudioDeviceStop(device, first.self), kAudioHardwareNoError);
    EXPECT_EQ(value_of<UInt32>(device, kAudioDevicePropertyDeviceIsRunning), 1u);
    ASSERT_EQ(Hal::step_io_cycles(device, 1), 1u);
    EXPECT_EQ(first.cycles.size(), 2u);
    EXPECT_EQ(second.cycles.size(), 3u);
}

TEST_F(HalIo, AProcedureCanStopRestartOrDestroyItselfInsideItsCycle) {
    for (const auto act : {Recorder::Act::stop, Recorder::Act::restart, Recorder::Act::destroy}) {
        SCOPED_TRACE(static_cast<int>(act));
        Hal::reset({});
        Recorder recorder;
        recorder.act = act;
        const AudioObjectID device = start(manual_device("SelfStop", {}, {{2}}), recorder);
        EXPECT_EQ(Hal::step_io_cycles(device, 5), 5u);
        EXPECT_EQ(recorder.cycles.size(), act == Recorder::Act::restart ? 5u : 2u);
        EXPECT_EQ(value_of<UInt32>(device, kAudioDevicePropertyDeviceIsRunning), act == Recorder::Act::restart);
        if (act != Recorder::Act::restart) {
            EXPECT_EQ(AudioDeviceStart(device, recorder.self), act == Recorder::Act::destroy
                                                                   ? kAudioHardwareIllegalOperationError
                                                                   : kAudioHardwareNoError);
        }
    }
}

TEST_F(HalIo, BufferSizeChangesApplyToTheNextCycle) {
    Recorder recorder;
    const AudioObjectID device = start(manual_device("Resize", {}, {{2}}), recorder);
    ASSERT_EQ(Hal::step_io_cycles(device, 2), 2u);
    const UInt32 frames = 256;
    const auto a = address(kAudioDevicePropertyBufferFrameSize);
    ASSERT_EQ(AudioObjectSetPropertyData(device, &a, 0, nullptr, sizeof frames, &frames), kAudioHardwareNoError);
    ASSERT_EQ(Hal::step_io_cycles(device, 2), 2u);
    EXPECT_EQ(recorder.cycles[1].outputs[0].mDataByteSize, 64u * 8u);
    EXPECT_EQ(recorder.cycles[2].outputs[0].mDataByteSize, 256u * 8u);
    // The sample clock runs on across the change.
    EXPECT_EQ(recorder.cycles[2].now.mSampleTime, 128.0 + 256.0);
    EXPECT_EQ(recorder.cycles[3].now.mSampleTime, 128.0 + 512.0);
}

TEST_F(HalIo, DeviceDeathStopsIoAndIsHeard) {
    Recorder recorder;
    const AudioObjectID device = start(manual_device("Doomed", {{2}}, {{2}}), recorder);
    ListenerLog log;
    const auto alive = address(kAudioDevicePropertyDeviceIsAlive);
    ASSERT_EQ(AudioObjectAddPropertyListener(device, &alive, &ListenerLog::callback, &log), kAudioHardwareNoError);
    ASSERT_EQ(Hal::step_io_cycles(device, 1), 1u);
    ASSERT_TRUE(Hal::kill_device(device));
    ASSERT_TRUE(log.heard(device, kAudioDevicePropertyDeviceIsAlive));
    EXPECT_EQ(value_of<UInt32>(device, kAudioDevicePropertyDeviceIsAlive), 0u);
    EXPECT_EQ(Hal::step_io_cycles(device, 3), 0u);
    EXPECT_EQ(recorder.cycles.size(), 1u);
    EXPECT_EQ(AudioDeviceStart(device, recorder.self), kAudioHardwareBadDeviceError);
    // Unplugged: gone from the list, its ID unknown; its listener can still be removed.
    ASSERT_TRUE(Hal::remove_device(device));
    EXPECT_EQ(size_of(kAudioObjectSystemObject, address(kAudioHardwarePropertyDevices)), 0u);
    EXPECT_EQ(AudioDeviceStart(device, recorder.self), kAudioHardwareBadObjectError);
    EXPECT_EQ(AudioObjectRemovePropertyListener(device, &alive, &ListenerLog::callback, &log), kAudioHardwareNoError);
    EXPECT_EQ(AudioObjectRemovePropertyListener(device, &alive, &ListenerLog::callback, &log),
              kAudioHardwareBadObjectError);
}

TEST_F(HalIo, WavFilesFeedInputAndRecordOutput) {
    const std::string base = "/tmp/velmora-hal-" + std::to_string(::getpid());
    const std::string input_path = base + "-in.wav", output_path = base + "-out.wav";
    std::string error;
    {
        VelmoraCompat::WavWriter writer;
        ASSERT_TRUE(writer.open(input_path, 48000, 1, error)) << error;
        const float samples[] = {0.5f, -0.5f};
        ASSERT_TRUE(writer.write(samples, 2));
    }
    Hal::DeviceDescription d = manual_device("Files", {{2}}, {{1}});
    d.input.kind = Hal::InputKind::wav_file;
    d.input.path = input_path;
    d.output.kind = Hal::OutputKind::wav_file;
    d.output.path = output_path;
    Recorder recorder;
    recorder.output_value = -0.25f;
    const AudioObjectID device = start(d, recorder);
    ASSERT_EQ(Hal::step_io_cycles(device, 3), 3u);
    ASSERT_EQ(AudioDeviceStop(device, recorder.self), kAudioHardwareNoError);
    // Frame 0, the missing second channel, frame 1, then looped.
    const auto& in = recorder.cycles[0].first_inputs;
    EXPECT_EQ(in, (std::vector<float>{0.5f, 0.0f, -0.5f, 0.0f, 0.5f, 0.0f, -0.5f, 0.0f}));
    VelmoraCompat::WavAudio output;
    ASSERT_TRUE(VelmoraCompat::read_wav_file(output_path, output, error)) << error;
    EXPECT_EQ(output.channels, 1u);
    EXPECT_EQ(output.samples, std::vector<float>(3 * 64, -0.25f));
    std::remove(input_path.c_str());
    std::remove(output_path.c_str());
}

} // namespace
