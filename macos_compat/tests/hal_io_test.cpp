#include "hal_test_support.h"

#include <velmora_compat/wav_file.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <unistd.h>

namespace {

using namespace HalTest;

// What one IO procedure saw, cycle by cycle.
struct Recorder {
    struct Cycle {
        AudioTimeStamp now;
        AudioTimeStamp input_time;
        AudioTimeStamp output_time;
        std::vector<AudioBuffer> input_buffers;
        std::vector<AudioBuffer> output_buffers;
        std::vector<float> first_input_samples; // the first 8 floats of the first input buffer, as seen then
        std::thread::id thread;
    };
    std::vector<Cycle> cycles;
    float output_value = 0.0f;     // written into every output sample
    AudioObjectID stop_device = 0; // when set, the procedure stops itself on the second cycle
    AudioDeviceIOProcID self = nullptr;
    bool destroy_instead = false;

    static OSStatus proc(AudioObjectID device, const AudioTimeStamp* now, const AudioBufferList* input,
                         const AudioTimeStamp* input_time, AudioBufferList* output,
                         const AudioTimeStamp* output_time, void* data) {
        auto* r = static_cast<Recorder*>(data);
        Cycle cycle{*now, *input_time, *output_time, {}, {}, {}, std::this_thread::get_id()};
        for (UInt32 b = 0; b < input->mNumberBuffers; ++b) {
            cycle.input_buffers.push_back(input->mBuffers[b]);
        }
        if (input->mNumberBuffers > 0 && input->mBuffers[0].mDataByteSize >= 32) {
            const auto* samples = static_cast<const float*>(input->mBuffers[0].mData);
            cycle.first_input_samples.assign(samples, samples + 8);
        }
        for (UInt32 b = 0; b < output->mNumberBuffers; ++b) {
            cycle.output_buffers.push_back(output->mBuffers[b]);
            auto* samples = static_cast<float*>(output->mBuffers[b].mData);
            for (UInt32 i = 0; i < output->mBuffers[b].mDataByteSize / 4; ++i) {
                samples[i] = r->output_value;
            }
        }
        r->cycles.push_back(cycle);
        if (r->stop_device != 0 && r->cycles.size() == 2) {
            if (r->destroy_instead) {
                AudioDeviceDestroyIOProcID(device, r->self);
            } else {
                AudioDeviceStop(device, r->self);
            }
        }
        return 0;
    }
};

class HalIo : public ::testing::Test {
protected:
    void SetUp() override { Hal::reset({}); }
    void TearDown() override { Hal::reset_to_defaults(); }

    AudioObjectID add(const Hal::DeviceDescription& d) {
        std::string error;
        const AudioObjectID id = Hal::add_device(d, &error);
        EXPECT_NE(id, kAudioObjectUnknown) << error;
        return id;
    }
};

TEST_F(HalIo, ManualClockStepsCyclesWithExactTimeStamps) {
    const AudioObjectID device = add(manual_device("Manual", {{2}}, {{2}}));
    Recorder recorder;
    AudioDeviceIOProcID proc = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcID(device, &Recorder::proc, &recorder, &proc), kAudioHardwareNoError);
    ASSERT_NE(proc, nullptr);
    EXPECT_EQ(Hal::step_io_cycles(device, 3), 0u); // not started
    ASSERT_EQ(AudioDeviceStart(device, proc), kAudioHardwareNoError);
    EXPECT_EQ(value_of<UInt32>(device, kAudioDevicePropertyDeviceIsRunning), 1u);
    ASSERT_EQ(Hal::step_io_cycles(device, 4), 4u);
    ASSERT_EQ(recorder.cycles.size(), 4u);
    const UInt64 period = AudioConvertNanosToHostTime(static_cast<UInt64>(64 * 1.0e9 / 48000.0));
    for (std::size_t i = 0; i < recorder.cycles.size(); ++i) {
        const auto& c = recorder.cycles[i];
        EXPECT_EQ(c.thread, std::this_thread::get_id());
        EXPECT_EQ(c.now.mSampleTime, 64.0 * static_cast<double>(i + 1));
        EXPECT_EQ(c.now.mFlags & kAudioTimeStampSampleHostTimeValid, kAudioTimeStampSampleHostTimeValid);
        EXPECT_EQ(c.input_time.mSampleTime, c.now.mSampleTime - 64.0);
        EXPECT_EQ(c.output_time.mSampleTime, c.now.mSampleTime + 64.0);
        EXPECT_EQ(c.input_time.mFlags & kAudioTimeStampSampleHostTimeValid,
                  kAudioTimeStampSampleHostTimeValid);
        EXPECT_LT(c.input_time.mHostTime, c.now.mHostTime);
        EXPECT_GT(c.output_time.mHostTime, c.now.mHostTime);
        if (i > 0) {
            const UInt64 step = c.now.mHostTime - recorder.cycles[i - 1].now.mHostTime;
            EXPECT_LE(step > period ? step - period : period - step, 1u);
        }
    }
    EXPECT_EQ(Hal::io_cycle_count(device), 4u);
    AudioTimeStamp now{};
    EXPECT_EQ(AudioDeviceGetCurrentTime(device, &now), kAudioHardwareNoError);
    EXPECT_EQ(now.mSampleTime, 256.0);
    ASSERT_EQ(AudioDeviceStop(device, proc), kAudioHardwareNoError);
    EXPECT_EQ(AudioDeviceGetCurrentTime(device, &now), kAudioHardwareNotRunningError);
    EXPECT_EQ(Hal::step_io_cycles(device, 1), 0u);
    EXPECT_EQ(value_of<UInt32>(device, kAudioDevicePropertyDeviceIsRunning), 0u);
    EXPECT_EQ(AudioDeviceDestroyIOProcID(device, proc), kAudioHardwareNoError);
    EXPECT_EQ(AudioDeviceDestroyIOProcID(device, proc), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(AudioDeviceStart(device, proc), kAudioHardwareIllegalOperationError);
}

TEST_F(HalIo, BufferListsFollowTheStreamLayout) {
    Hal::DeviceDescription d = manual_device(
        "Layout", {{2, Hal::SampleFormat::float32, true, 0.0}, {3, Hal::SampleFormat::float32, false, 0.0}},
        {{2, Hal::SampleFormat::float32, false, 0.0}, {4, Hal::SampleFormat::float32, true, 0.0}});
    d.input.kind = Hal::InputKind::channel_ids;
    const AudioObjectID device = add(d);
    Recorder recorder;
    AudioDeviceIOProcID proc = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcID(device, &Recorder::proc, &recorder, &proc), kAudioHardwareNoError);
    ASSERT_EQ(AudioDeviceStart(device, proc), kAudioHardwareNoError);
    ASSERT_EQ(Hal::step_io_cycles(device, 1), 1u);
    ASSERT_EQ(recorder.cycles.size(), 1u);
    const auto& in = recorder.cycles[0].input_buffers;
    ASSERT_EQ(in.size(), 4u); // one interleaved buffer, three single-channel ones
    EXPECT_EQ(in[0].mNumberChannels, 2u);
    EXPECT_EQ(in[0].mDataByteSize, 64u * 2u * 4u);
    for (std::size_t b = 1; b < 4; ++b) {
        EXPECT_EQ(in[b].mNumberChannels, 1u);
        EXPECT_EQ(in[b].mDataByteSize, 64u * 4u);
    }
    // Hardware channel n carries (n + 1) / 1024 wherever its stream puts it.
    const auto* interleaved = static_cast<const float*>(in[0].mData);
    EXPECT_EQ(interleaved[0], 1.0f / 1024);
    EXPECT_EQ(interleaved[1], 2.0f / 1024);
    EXPECT_EQ(interleaved[63 * 2 + 1], 2.0f / 1024);
    for (std::size_t b = 1; b < 4; ++b) {
        EXPECT_EQ(static_cast<const float*>(in[b].mData)[63], static_cast<float>(b + 2) / 1024) << b;
    }
    const auto& out = recorder.cycles[0].output_buffers;
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].mNumberChannels, 1u);
    EXPECT_EQ(out[2].mNumberChannels, 4u);
    EXPECT_EQ(out[2].mDataByteSize, 64u * 16u);
}

TEST_F(HalIo, IntegerStreamsCarryIntegerSamples) {
    Hal::DeviceDescription d = manual_device("Int24", {{2, Hal::SampleFormat::int24, true, 0.0}}, {{2}});
    d.input.kind = Hal::InputKind::channel_ids;
    const AudioObjectID device = add(d);
    Recorder recorder;
    AudioDeviceIOProcID proc = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcID(device, &Recorder::proc, &recorder, &proc), kAudioHardwareNoError);
    ASSERT_EQ(AudioDeviceStart(device, proc), kAudioHardwareNoError);
    ASSERT_EQ(Hal::step_io_cycles(device, 1), 1u);
    const AudioBuffer& buffer = recorder.cycles.at(0).input_buffers.at(0);
    EXPECT_EQ(buffer.mDataByteSize, 64u * 2u * 3u);
    const auto* bytes = static_cast<const unsigned char*>(buffer.mData);
    // Channel 1 (second) holds 2/1024 of full scale: 16384 = 0x004000, little-endian, 3 bytes.
    EXPECT_EQ(bytes[3], 0x00);
    EXPECT_EQ(bytes[4], 0x40);
    EXPECT_EQ(bytes[5], 0x00);
}

TEST_F(HalIo, LoopbackMeterAndSeveralProceduresMix) {
    Hal::DeviceDescription d = manual_device("Loop", {{2}}, {{2}});
    d.input.kind = Hal::InputKind::loopback;
    d.output.kind = Hal::OutputKind::meter;
    const AudioObjectID device = add(d);
    Recorder first;
    Recorder second;
    first.output_value = 0.25f;
    second.output_value = 0.125f;
    AudioDeviceIOProcID a = nullptr;
    AudioDeviceIOProcID b = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcID(device, &Recorder::proc, &first, &a), kAudioHardwareNoError);
    ASSERT_EQ(AudioDeviceCreateIOProcID(device, &Recorder::proc, &second, &b), kAudioHardwareNoError);
    EXPECT_NE(a, b);
    ASSERT_EQ(AudioDeviceStart(device, a), kAudioHardwareNoError);
    ASSERT_EQ(AudioDeviceStart(device, b), kAudioHardwareNoError);
    ASSERT_EQ(Hal::step_io_cycles(device, 2), 2u);
    // Each procedure gets silent output buffers; the device plays the sum, and hears it next cycle.
    EXPECT_EQ(first.cycles[0].first_input_samples.at(0), 0.0f);
    EXPECT_EQ(first.cycles[1].first_input_samples.at(5), 0.375f);
    const auto levels = Hal::output_levels(device);
    ASSERT_EQ(levels.size(), 2u);
    EXPECT_FLOAT_EQ(levels[0].peak, 0.375f);
    EXPECT_FLOAT_EQ(levels[1].rms, 0.375f);
    EXPECT_EQ(Hal::output_levels(device)[0].peak, 0.0f);
    // Stopping one keeps the device running with the other.
    ASSERT_EQ(AudioDeviceStop(device, a), kAudioHardwareNoError);
    EXPECT_EQ(value_of<UInt32>(device, kAudioDevicePropertyDeviceIsRunning), 1u);
    ASSERT_EQ(Hal::step_io_cycles(device, 1), 1u);
    EXPECT_EQ(first.cycles.size(), 2u);
    EXPECT_EQ(second.cycles.size(), 3u);
}

TEST_F(HalIo, AProcedureCanStopOrDestroyItselfInsideItsCycle) {
    for (bool destroy : {false, true}) {
        Hal::reset({});
        const AudioObjectID device = add(manual_device("SelfStop", {}, {{2}}));
        Recorder recorder;
        recorder.stop_device = device;
        recorder.destroy_instead = destroy;
        ASSERT_EQ(AudioDeviceCreateIOProcID(device, &Recorder::proc, &recorder, &recorder.self),
                  kAudioHardwareNoError);
        ASSERT_EQ(AudioDeviceStart(device, recorder.self), kAudioHardwareNoError);
        EXPECT_EQ(Hal::step_io_cycles(device, 5), 5u);
        EXPECT_EQ(recorder.cycles.size(), 2u) << destroy;
        EXPECT_EQ(value_of<UInt32>(device, kAudioDevicePropertyDeviceIsRunning), 0u);
        EXPECT_EQ(AudioDeviceStart(device, recorder.self),
                  destroy ? kAudioHardwareIllegalOperationError : kAudioHardwareNoError);
    }
}

TEST_F(HalIo, StoppingAndRestartingInsideOneCycleKeepsTheDeviceRunning) {
    struct Restarter {
        AudioObjectID device = 0;
        AudioDeviceIOProcID self = nullptr;
        int cycles = 0;
        static OSStatus proc(AudioObjectID device, const AudioTimeStamp*, const AudioBufferList*,
                             const AudioTimeStamp*, AudioBufferList*, const AudioTimeStamp*, void* data) {
            auto* r = static_cast<Restarter*>(data);
            if (++r->cycles == 1) {
                AudioDeviceStop(device, r->self);
                AudioDeviceStart(device, r->self);
            }
            return 0;
        }
    };
    const AudioObjectID device = add(manual_device("Restart", {}, {{2}}));
    Restarter restarter;
    ASSERT_EQ(AudioDeviceCreateIOProcID(device, &Restarter::proc, &restarter, &restarter.self),
              kAudioHardwareNoError);
    ASSERT_EQ(AudioDeviceStart(device, restarter.self), kAudioHardwareNoError);
    EXPECT_EQ(Hal::step_io_cycles(device, 3), 3u);
    EXPECT_EQ(restarter.cycles, 3);
    EXPECT_EQ(value_of<UInt32>(device, kAudioDevicePropertyDeviceIsRunning), 1u);
}

TEST_F(HalIo, BufferSizeChangesApplyToTheNextCycle) {
    const AudioObjectID device = add(manual_device("Resize", {}, {{2}}));
    Recorder recorder;
    AudioDeviceIOProcID proc = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcID(device, &Recorder::proc, &recorder, &proc), kAudioHardwareNoError);
    ASSERT_EQ(AudioDeviceStart(device, proc), kAudioHardwareNoError);
    ASSERT_EQ(Hal::step_io_cycles(device, 2), 2u);
    const UInt32 frames = 256;
    const auto a = address(kAudioDevicePropertyBufferFrameSize);
    ASSERT_EQ(AudioObjectSetPropertyData(device, &a, 0, nullptr, sizeof frames, &frames),
              kAudioHardwareNoError);
    ASSERT_EQ(Hal::step_io_cycles(device, 2), 2u);
    EXPECT_EQ(recorder.cycles[1].output_buffers[0].mDataByteSize, 64u * 8u);
    EXPECT_EQ(recorder.cycles[2].output_buffers[0].mDataByteSize, 256u * 8u);
    // The sample clock runs on across the change.
    EXPECT_EQ(recorder.cycles[2].now.mSampleTime, 128.0 + 256.0);
    EXPECT_EQ(recorder.cycles[3].now.mSampleTime, 128.0 + 512.0);
}

TEST_F(HalIo, DeviceDeathStopsIoAndIsHeard) {
    const AudioObjectID device = add(manual_device("Doomed", {{2}}, {{2}}));
    ListenerLog log;
    const auto alive = address(kAudioDevicePropertyDeviceIsAlive);
    ASSERT_EQ(AudioObjectAddPropertyListener(device, &alive, &ListenerLog::callback, &log),
              kAudioHardwareNoError);
    Recorder recorder;
    AudioDeviceIOProcID proc = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcID(device, &Recorder::proc, &recorder, &proc), kAudioHardwareNoError);
    ASSERT_EQ(AudioDeviceStart(device, proc), kAudioHardwareNoError);
    ASSERT_EQ(Hal::step_io_cycles(device, 1), 1u);
    ASSERT_TRUE(Hal::kill_device(device));
    ASSERT_TRUE(log.wait_for(1));
    EXPECT_TRUE(log.heard(device, kAudioDevicePropertyDeviceIsAlive));
    EXPECT_NE(log.calls()[0].thread, std::this_thread::get_id());
    EXPECT_EQ(value_of<UInt32>(device, kAudioDevicePropertyDeviceIsAlive), 0u);
    EXPECT_EQ(value_of<UInt32>(device, kAudioDevicePropertyDeviceIsRunning), 0u);
    EXPECT_EQ(Hal::step_io_cycles(device, 3), 0u);
    EXPECT_EQ(recorder.cycles.size(), 1u);
    EXPECT_EQ(AudioDeviceStart(device, proc), kAudioHardwareBadDeviceError);
    const Float64 rate = 44100.0;
    const auto rate_address = address(kAudioDevicePropertyNominalSampleRate);
    EXPECT_EQ(AudioObjectSetPropertyData(device, &rate_address, 0, nullptr, 8, &rate),
              kAudioHardwareBadDeviceError);
    // Unplugged: gone from the list, its ID unknown; its listener can still be removed.
    ASSERT_TRUE(Hal::remove_device(device));
    EXPECT_EQ(size_of(kAudioObjectSystemObject, address(kAudioHardwarePropertyDevices)), 0u);
    EXPECT_EQ(AudioDeviceStart(device, proc), kAudioHardwareBadObjectError);
    EXPECT_EQ(AudioObjectRemovePropertyListener(device, &alive, &ListenerLog::callback, &log),
              kAudioHardwareNoError);
    EXPECT_EQ(AudioObjectRemovePropertyListener(device, &alive, &ListenerLog::callback, &log),
              kAudioHardwareBadObjectError);
}

TEST_F(HalIo, IoProcedureCallsRefuseWrongObjects) {
    const AudioObjectID device = add(manual_device("Objects", {}, {{2}}));
    const auto streams = list_of<AudioObjectID>(device, address(kAudioDevicePropertyStreams));
    ASSERT_EQ(streams.size(), 1u);
    AudioDeviceIOProcID proc = nullptr;
    Recorder recorder;
    EXPECT_EQ(AudioDeviceCreateIOProcID(streams[0], &Recorder::proc, &recorder, &proc),
              kAudioHardwareBadDeviceError);
    EXPECT_EQ(AudioDeviceCreateIOProcID(kAudioObjectSystemObject, &Recorder::proc, &recorder, &proc),
              kAudioHardwareBadDeviceError);
    EXPECT_EQ(AudioDeviceCreateIOProcID(12345, &Recorder::proc, &recorder, &proc),
              kAudioHardwareBadObjectError);
    EXPECT_EQ(AudioDeviceCreateIOProcID(device, nullptr, &recorder, &proc),
              kAudioHardwareIllegalOperationError);
    EXPECT_EQ(AudioDeviceCreateIOProcID(device, &Recorder::proc, &recorder, nullptr),
              kAudioHardwareIllegalOperationError);
    // The hardware alone can run, without any procedure.
    EXPECT_EQ(AudioDeviceStart(device, nullptr), kAudioHardwareNoError);
    EXPECT_EQ(value_of<UInt32>(device, kAudioDevicePropertyDeviceIsRunning), 1u);
    EXPECT_EQ(AudioDeviceStop(device, nullptr), kAudioHardwareNoError);
    EXPECT_EQ(value_of<UInt32>(device, kAudioDevicePropertyDeviceIsRunning), 0u);
}

// The files are written and read with the stand-ins' WAV module, tested on its own.
TEST_F(HalIo, WavFilesFeedInputAndRecordOutput) {
    const std::string base = "/tmp/velmora-hal-" + std::to_string(::getpid());
    const std::string input_path = base + "-in.wav";
    const std::string output_path = base + "-out.wav";
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
    const AudioObjectID device = add(d);
    Recorder recorder;
    recorder.output_value = -0.25f;
    AudioDeviceIOProcID proc = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcID(device, &Recorder::proc, &recorder, &proc), kAudioHardwareNoError);
    ASSERT_EQ(AudioDeviceStart(device, proc), kAudioHardwareNoError);
    ASSERT_EQ(Hal::step_io_cycles(device, 3), 3u);
    ASSERT_EQ(AudioDeviceStop(device, proc), kAudioHardwareNoError);
    const auto& in = recorder.cycles[0].first_input_samples;
    ASSERT_EQ(in.size(), 8u);
    EXPECT_EQ(in[0], 0.5f);  // frame 0, channel 0
    EXPECT_EQ(in[1], 0.0f);  // the file has one channel only
    EXPECT_EQ(in[2], -0.5f); // frame 1
    EXPECT_EQ(in[4], 0.5f);  // looped
    VelmoraCompat::WavAudio output;
    ASSERT_TRUE(VelmoraCompat::read_wav_file(output_path, output, error)) << error;
    EXPECT_EQ(output.channels, 1u);
    EXPECT_EQ(output.samples, std::vector<float>(3 * 64, -0.25f));
    std::remove(input_path.c_str());
    std::remove(output_path.c_str());
    Hal::DeviceDescription missing = manual_device("Missing", {{2}}, {});
    missing.input.kind = Hal::InputKind::wav_file;
    missing.input.path = "/nonexistent/file.wav";
    EXPECT_EQ(Hal::add_device(missing, &error), kAudioObjectUnknown);
    EXPECT_EQ(error, "/nonexistent/file.wav: cannot open");
}

} // namespace
