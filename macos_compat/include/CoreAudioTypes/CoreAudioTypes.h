// Stand-in for <CoreAudioTypes/CoreAudioTypes.h>: the audio data types shared by the HAL, the
// plug-in interface and the rest of CoreAudio, with Apple's names, natural-alignment layouts (LP64)
// and values. Only what the project uses is declared.
#pragma once

#include <MacTypes.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef UInt32 AudioFormatID;
typedef UInt32 AudioFormatFlags;

// Errors shared by all of CoreAudio.
#ifdef __cplusplus
enum : OSStatus {
#else
enum {
#endif
    kAudio_UnimplementedError = -4,
    kAudio_ParamError = -50,
    kAudio_MemFullError = -108
};

typedef struct AudioValueRange {
    Float64 mMinimum;
    Float64 mMaximum;
} AudioValueRange;

typedef struct AudioBuffer {
    UInt32 mNumberChannels;
    UInt32 mDataByteSize;
    void* mData;
} AudioBuffer;

// Variable length: a list with n buffers takes offsetof(AudioBufferList, mBuffers) + n * sizeof(AudioBuffer).
typedef struct AudioBufferList {
    UInt32 mNumberBuffers;
    AudioBuffer mBuffers[1];
#if defined(__cplusplus) && defined(CA_STRICT) && CA_STRICT
public:
    AudioBufferList() {}
private:
    AudioBufferList(const AudioBufferList&);
    AudioBufferList& operator=(const AudioBufferList&);
#endif
} AudioBufferList;

#ifdef __cplusplus
enum : AudioFormatID {
#else
enum {
#endif
    kAudioFormatLinearPCM = 'lpcm'
};

#ifdef __cplusplus
enum : AudioFormatFlags {
#else
enum {
#endif
    kAudioFormatFlagIsFloat = (1U << 0),
    kAudioFormatFlagIsBigEndian = (1U << 1),
    kAudioFormatFlagIsSignedInteger = (1U << 2),
    kAudioFormatFlagIsPacked = (1U << 3),
    kAudioFormatFlagIsAlignedHigh = (1U << 4),
    kAudioFormatFlagIsNonInterleaved = (1U << 5),
    kAudioFormatFlagIsNonMixable = (1U << 6),

    kLinearPCMFormatFlagIsFloat = kAudioFormatFlagIsFloat,
    kLinearPCMFormatFlagIsBigEndian = kAudioFormatFlagIsBigEndian,
    kLinearPCMFormatFlagIsSignedInteger = kAudioFormatFlagIsSignedInteger,
    kLinearPCMFormatFlagIsPacked = kAudioFormatFlagIsPacked,
    kLinearPCMFormatFlagIsAlignedHigh = kAudioFormatFlagIsAlignedHigh,
    kLinearPCMFormatFlagIsNonInterleaved = kAudioFormatFlagIsNonInterleaved,
    kLinearPCMFormatFlagIsNonMixable = kAudioFormatFlagIsNonMixable,

    // Every target this project builds for is little-endian.
    kAudioFormatFlagsNativeEndian = 0,
    kAudioFormatFlagsNativeFloatPacked = kAudioFormatFlagIsFloat | kAudioFormatFlagsNativeEndian | kAudioFormatFlagIsPacked
};

typedef struct AudioStreamBasicDescription {
    Float64 mSampleRate;
    AudioFormatID mFormatID;
    AudioFormatFlags mFormatFlags;
    UInt32 mBytesPerPacket;
    UInt32 mFramesPerPacket;
    UInt32 mBytesPerFrame;
    UInt32 mChannelsPerFrame;
    UInt32 mBitsPerChannel;
    UInt32 mReserved;
} AudioStreamBasicDescription;

// A named enum type in C++, as the SDK's CF_ENUM makes it: integers need a cast.
#ifdef __cplusplus
enum SMPTETimeType : UInt32 {
#else
typedef UInt32 SMPTETimeType;
enum {
#endif
    kSMPTETimeType24 = 0,
    kSMPTETimeType25 = 1,
    kSMPTETimeType30Drop = 2,
    kSMPTETimeType30 = 3,
    kSMPTETimeType2997 = 4,
    kSMPTETimeType2997Drop = 5,
    kSMPTETimeType60 = 6,
    kSMPTETimeType5994 = 7,
    kSMPTETimeType60Drop = 8,
    kSMPTETimeType5994Drop = 9,
    kSMPTETimeType50 = 10,
    kSMPTETimeType2398 = 11
};
#ifdef __cplusplus
typedef enum SMPTETimeType SMPTETimeType;
#endif

typedef UInt32 SMPTETimeFlags;
#ifdef __cplusplus
enum : SMPTETimeFlags {
#else
enum {
#endif
    kSMPTETimeUnknown = 0,
    kSMPTETimeValid = (1U << 0),
    kSMPTETimeRunning = (1U << 1)
};

typedef struct SMPTETime {
    SInt16 mSubframes;
    SInt16 mSubframeDivisor;
    UInt32 mCounter;
    SMPTETimeType mType;
    SMPTETimeFlags mFlags;
    SInt16 mHours;
    SInt16 mMinutes;
    SInt16 mSeconds;
    SInt16 mFrames;
} SMPTETime;

typedef UInt32 AudioTimeStampFlags;
#ifdef __cplusplus
enum : AudioTimeStampFlags {
#else
enum {
#endif
    kAudioTimeStampNothingValid = 0,
    kAudioTimeStampSampleTimeValid = (1U << 0),
    kAudioTimeStampHostTimeValid = (1U << 1),
    kAudioTimeStampRateScalarValid = (1U << 2),
    kAudioTimeStampWordClockTimeValid = (1U << 3),
    kAudioTimeStampSMPTETimeValid = (1U << 4),
    kAudioTimeStampSampleHostTimeValid = (kAudioTimeStampSampleTimeValid | kAudioTimeStampHostTimeValid)
};

// mHostTime is in mach_absolute_time() ticks, the base of AudioGetCurrentHostTime().
typedef struct AudioTimeStamp {
    Float64 mSampleTime;
    UInt64 mHostTime;
    Float64 mRateScalar;
    UInt64 mWordClockTime;
    SMPTETime mSMPTETime;
    AudioTimeStampFlags mFlags;
    UInt32 mReserved;
} AudioTimeStamp;

#ifdef __cplusplus
}

static_assert(sizeof(AudioValueRange) == 16 && alignof(AudioValueRange) == 8, "AudioValueRange layout");
static_assert(offsetof(AudioValueRange, mMaximum) == 8, "AudioValueRange layout");
static_assert(sizeof(AudioBuffer) == 16 && alignof(AudioBuffer) == 8, "AudioBuffer layout");
static_assert(offsetof(AudioBuffer, mDataByteSize) == 4 && offsetof(AudioBuffer, mData) == 8, "AudioBuffer layout");
static_assert(sizeof(AudioBufferList) == 24 && offsetof(AudioBufferList, mBuffers) == 8, "AudioBufferList layout");
static_assert(sizeof(AudioStreamBasicDescription) == 40 && alignof(AudioStreamBasicDescription) == 8, "ASBD layout");
static_assert(offsetof(AudioStreamBasicDescription, mFormatID) == 8 && offsetof(AudioStreamBasicDescription, mFormatFlags) == 12 &&
                  offsetof(AudioStreamBasicDescription, mBytesPerPacket) == 16 &&
                  offsetof(AudioStreamBasicDescription, mFramesPerPacket) == 20 &&
                  offsetof(AudioStreamBasicDescription, mBytesPerFrame) == 24 &&
                  offsetof(AudioStreamBasicDescription, mChannelsPerFrame) == 28 &&
                  offsetof(AudioStreamBasicDescription, mBitsPerChannel) == 32 &&
                  offsetof(AudioStreamBasicDescription, mReserved) == 36,
              "ASBD layout");
static_assert(sizeof(SMPTETime) == 24 && alignof(SMPTETime) == 4, "SMPTETime layout");
static_assert(offsetof(SMPTETime, mSubframeDivisor) == 2 && offsetof(SMPTETime, mCounter) == 4 && offsetof(SMPTETime, mType) == 8 &&
                  offsetof(SMPTETime, mFlags) == 12 && offsetof(SMPTETime, mHours) == 16 && offsetof(SMPTETime, mMinutes) == 18 &&
                  offsetof(SMPTETime, mSeconds) == 20 && offsetof(SMPTETime, mFrames) == 22,
              "SMPTETime layout");
static_assert(sizeof(AudioTimeStamp) == 64 && alignof(AudioTimeStamp) == 8, "AudioTimeStamp layout");
static_assert(offsetof(AudioTimeStamp, mHostTime) == 8 && offsetof(AudioTimeStamp, mRateScalar) == 16 &&
                  offsetof(AudioTimeStamp, mWordClockTime) == 24 && offsetof(AudioTimeStamp, mSMPTETime) == 32 &&
                  offsetof(AudioTimeStamp, mFlags) == 56 && offsetof(AudioTimeStamp, mReserved) == 60,
              "AudioTimeStamp layout");
#endif
