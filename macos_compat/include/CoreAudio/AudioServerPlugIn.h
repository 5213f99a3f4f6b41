// Stand-in for <CoreAudio/AudioServerPlugIn.h>: the interface between an audio server plug-in
// (driver) and the program that hosts it, with Apple's names, layouts and values.
//
// Object IDs here live in the driver's own space: kAudioObjectPlugInObject (1) is the plug-in,
// unrelated to the client-side kAudioObjectSystemObject, which is also 1.
#pragma once

#include <CoreAudio/AudioHardwareBase.h>
#include <CoreFoundation/CFPlugInCOM.h>
#include <CoreFoundation/CoreFoundation.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

#define kAudioServerPlugInTypeUUID                                                                                             \
    CFUUIDGetConstantUUIDWithBytes(NULL, 0x44, 0x3A, 0xBA, 0xB8, 0xE7, 0xB3, 0x49, 0x1A, 0xB9, 0x85, 0xBE, 0xB9, 0x18, 0x70, \
                                   0x30, 0xDB)
#define kAudioServerPlugInDriverInterfaceUUID                                                                                  \
    CFUUIDGetConstantUUIDWithBytes(NULL, 0xEE, 0xA5, 0x77, 0x3D, 0xCC, 0x43, 0x49, 0xF1, 0x8E, 0x00, 0x8F, 0x96, 0xE7, 0xD2, \
                                   0x3B, 0x17)

#ifdef __cplusplus
#define VELMORA_CA_ENUM(type) enum : type
#else
#define VELMORA_CA_ENUM(type) enum
#endif

VELMORA_CA_ENUM(AudioObjectID){
    kAudioObjectPlugInObject = 1,
};

VELMORA_CA_ENUM(UInt32){
    kAudioServerPlugInHostClientID = 0,
};

typedef UInt32 AudioServerPlugInCustomPropertyDataType;
VELMORA_CA_ENUM(AudioServerPlugInCustomPropertyDataType){
    kAudioServerPlugInCustomPropertyDataTypeNone = 0,
    kAudioServerPlugInCustomPropertyDataTypeCFString = 'cfst',
    kAudioServerPlugInCustomPropertyDataTypeCFPropertyList = 'plst',
};

// Named enum types in C++, as the SDK's CF_ENUM makes them.
#ifdef __cplusplus
enum AudioServerPlugInIOOperation : UInt32 {
#else
typedef UInt32 AudioServerPlugInIOOperation;
enum {
#endif
    kAudioServerPlugInIOOperationThread = 'thrd',
    kAudioServerPlugInIOOperationCycle = 'cycl',
    kAudioServerPlugInIOOperationReadInput = 'read',
    kAudioServerPlugInIOOperationConvertInput = 'cinp',
    kAudioServerPlugInIOOperationProcessInput = 'pinp',
    kAudioServerPlugInIOOperationProcessOutput = 'pout',
    kAudioServerPlugInIOOperationMixOutput = 'mixo',
    kAudioServerPlugInIOOperationProcessMix = 'pmix',
    kAudioServerPlugInIOOperationConvertMix = 'cmix',
    kAudioServerPlugInIOOperationWriteMix = 'rite'
};
#ifdef __cplusplus
typedef enum AudioServerPlugInIOOperation AudioServerPlugInIOOperation;
#endif

#ifdef __cplusplus
enum AudioDeviceClockAlgorithmSelector : UInt32 {
#else
typedef UInt32 AudioDeviceClockAlgorithmSelector;
enum {
#endif
    kAudioDeviceClockAlgorithmRaw = 'raww',
    kAudioDeviceClockAlgorithmSimpleIIR = 'iirf',
    kAudioDeviceClockAlgorithm12PtMovingWindowAverage = 'mavg'
};
#ifdef __cplusplus
typedef enum AudioDeviceClockAlgorithmSelector AudioDeviceClockAlgorithmSelector;
#endif

VELMORA_CA_ENUM(AudioObjectPropertySelector){
    kAudioObjectPropertyCustomPropertyInfoList = 'cust',
    kAudioPlugInPropertyResourceBundle = 'rsrc',
    kAudioDevicePropertyZeroTimeStampPeriod = 'ring',
    kAudioDevicePropertyClockAlgorithm = 'clok',
    kAudioDevicePropertyClockIsStable = 'cstb',
};

#undef VELMORA_CA_ENUM

typedef struct AudioServerPlugInCustomPropertyInfo {
    AudioObjectPropertySelector mSelector;
    AudioServerPlugInCustomPropertyDataType mPropertyDataType;
    AudioServerPlugInCustomPropertyDataType mQualifierDataType;
} AudioServerPlugInCustomPropertyInfo;

// mBundleID may be NULL; the host does not retain it on the driver's behalf.
typedef struct AudioServerPlugInClientInfo {
    UInt32 mClientID;
    pid_t mProcessID;
    Boolean mIsNativeEndian;
    CFStringRef mBundleID;
} AudioServerPlugInClientInfo;

// mIOCycleCounter starts at 1 and returns to 1 when the host resynchronises with the device.
typedef struct AudioServerPlugInIOCycleInfo {
    UInt64 mIOCycleCounter;
    UInt32 mNominalIOBufferFrameSize;
    AudioTimeStamp mCurrentTime;
    AudioTimeStamp mInputTime;
    AudioTimeStamp mOutputTime;
    union {
        Float64 mMainHostTicksPerFrame;
        Float64 mMasterHostTicksPerFrame;
    };
    Float64 mDeviceHostTicksPerFrame;
} AudioServerPlugInIOCycleInfo;

typedef struct AudioServerPlugInHostInterface AudioServerPlugInHostInterface;
typedef const AudioServerPlugInHostInterface* AudioServerPlugInHostRef;
typedef struct AudioServerPlugInDriverInterface AudioServerPlugInDriverInterface;
typedef AudioServerPlugInDriverInterface** AudioServerPlugInDriverRef;

// What the host hands the driver in Initialize. Changes that affect IO (rate, buffer size, stream
// layout) go through RequestDeviceConfigurationChange; the host then stops IO and calls the
// driver's PerformDeviceConfigurationChange with the same action and info.
struct AudioServerPlugInHostInterface {
    OSStatus (*PropertiesChanged)(AudioServerPlugInHostRef inHost, AudioObjectID inObjectID, UInt32 inNumberAddresses,
                                  const AudioObjectPropertyAddress* inAddresses);
    // The caller releases *outData.
    OSStatus (*CopyFromStorage)(AudioServerPlugInHostRef inHost, CFStringRef inKey, CFPropertyListRef* outData);
    OSStatus (*WriteToStorage)(AudioServerPlugInHostRef inHost, CFStringRef inKey, CFPropertyListRef inData);
    OSStatus (*DeleteFromStorage)(AudioServerPlugInHostRef inHost, CFStringRef inKey);
    OSStatus (*RequestDeviceConfigurationChange)(AudioServerPlugInHostRef inHost, AudioObjectID inDeviceObjectID, UInt64 inChangeAction,
                                                 void* inChangeInfo);
};

struct AudioServerPlugInDriverInterface {
    void* _reserved;
    HRESULT(STDMETHODCALLTYPE* QueryInterface)(void* inDriver, REFIID inUUID, LPVOID* outInterface);
    ULONG(STDMETHODCALLTYPE* AddRef)(void* inDriver);
    ULONG(STDMETHODCALLTYPE* Release)(void* inDriver);
    OSStatus(STDMETHODCALLTYPE* Initialize)(AudioServerPlugInDriverRef inDriver, AudioServerPlugInHostRef inHost);
    OSStatus(STDMETHODCALLTYPE* CreateDevice)(AudioServerPlugInDriverRef inDriver, CFDictionaryRef inDescription,
                                              const AudioServerPlugInClientInfo* inClientInfo, AudioObjectID* outDeviceObjectID);
    OSStatus(STDMETHODCALLTYPE* DestroyDevice)(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID);
    OSStatus(STDMETHODCALLTYPE* AddDeviceClient)(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                                                 const AudioServerPlugInClientInfo* inClientInfo);
    OSStatus(STDMETHODCALLTYPE* RemoveDeviceClient)(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                                                    const AudioServerPlugInClientInfo* inClientInfo);
    OSStatus(STDMETHODCALLTYPE* PerformDeviceConfigurationChange)(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                                                                  UInt64 inChangeAction, void* inChangeInfo);
    OSStatus(STDMETHODCALLTYPE* AbortDeviceConfigurationChange)(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                                                                UInt64 inChangeAction, void* inChangeInfo);
    Boolean(STDMETHODCALLTYPE* HasProperty)(AudioServerPlugInDriverRef inDriver, AudioObjectID inObjectID, pid_t inClientProcessID,
                                            const AudioObjectPropertyAddress* inAddress);
    OSStatus(STDMETHODCALLTYPE* IsPropertySettable)(AudioServerPlugInDriverRef inDriver, AudioObjectID inObjectID, pid_t inClientProcessID,
                                                    const AudioObjectPropertyAddress* inAddress, Boolean* outIsSettable);
    OSStatus(STDMETHODCALLTYPE* GetPropertyDataSize)(AudioServerPlugInDriverRef inDriver, AudioObjectID inObjectID, pid_t inClientProcessID,
                                                     const AudioObjectPropertyAddress* inAddress, UInt32 inQualifierDataSize,
                                                     const void* inQualifierData, UInt32* outDataSize);
    OSStatus(STDMETHODCALLTYPE* GetPropertyData)(AudioServerPlugInDriverRef inDriver, AudioObjectID inObjectID, pid_t inClientProcessID,
                                                 const AudioObjectPropertyAddress* inAddress, UInt32 inQualifierDataSize,
                                                 const void* inQualifierData, UInt32 inDataSize, UInt32* outDataSize, void* outData);
    OSStatus(STDMETHODCALLTYPE* SetPropertyData)(AudioServerPlugInDriverRef inDriver, AudioObjectID inObjectID, pid_t inClientProcessID,
                                                 const AudioObjectPropertyAddress* inAddress, UInt32 inQualifierDataSize,
                                                 const void* inQualifierData, UInt32 inDataSize, const void* inData);
    OSStatus(STDMETHODCALLTYPE* StartIO)(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID, UInt32 inClientID);
    OSStatus(STDMETHODCALLTYPE* StopIO)(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID, UInt32 inClientID);
    OSStatus(STDMETHODCALLTYPE* GetZeroTimeStamp)(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID, UInt32 inClientID,
                                                  Float64* outSampleTime, UInt64* outHostTime, UInt64* outSeed);
    OSStatus(STDMETHODCALLTYPE* WillDoIOOperation)(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID, UInt32 inClientID,
                                                   UInt32 inOperationID, Boolean* outWillDo, Boolean* outWillDoInPlace);
    OSStatus(STDMETHODCALLTYPE* BeginIOOperation)(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID, UInt32 inClientID,
                                                  UInt32 inOperationID, UInt32 inIOBufferFrameSize,
                                                  const AudioServerPlugInIOCycleInfo* inIOCycleInfo);
    OSStatus(STDMETHODCALLTYPE* DoIOOperation)(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                                               AudioObjectID inStreamObjectID, UInt32 inClientID, UInt32 inOperationID,
                                               UInt32 inIOBufferFrameSize, const AudioServerPlugInIOCycleInfo* inIOCycleInfo,
                                               void* ioMainBuffer, void* ioSecondaryBuffer);
    OSStatus(STDMETHODCALLTYPE* EndIOOperation)(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID, UInt32 inClientID,
                                                UInt32 inOperationID, UInt32 inIOBufferFrameSize,
                                                const AudioServerPlugInIOCycleInfo* inIOCycleInfo);
};

#ifdef __cplusplus
}
static_assert(sizeof(AudioServerPlugInCustomPropertyInfo) == 12 && offsetof(AudioServerPlugInCustomPropertyInfo, mPropertyDataType) == 4 &&
                  offsetof(AudioServerPlugInCustomPropertyInfo, mQualifierDataType) == 8,
              "AudioServerPlugInCustomPropertyInfo layout");
static_assert(sizeof(AudioServerPlugInClientInfo) == 24 && offsetof(AudioServerPlugInClientInfo, mProcessID) == 4 &&
                  offsetof(AudioServerPlugInClientInfo, mIsNativeEndian) == 8 && offsetof(AudioServerPlugInClientInfo, mBundleID) == 16,
              "AudioServerPlugInClientInfo layout");
static_assert(sizeof(AudioServerPlugInIOCycleInfo) == 224 && offsetof(AudioServerPlugInIOCycleInfo, mNominalIOBufferFrameSize) == 8 &&
                  offsetof(AudioServerPlugInIOCycleInfo, mCurrentTime) == 16 && offsetof(AudioServerPlugInIOCycleInfo, mInputTime) == 80 &&
                  offsetof(AudioServerPlugInIOCycleInfo, mOutputTime) == 144 &&
                  offsetof(AudioServerPlugInIOCycleInfo, mMainHostTicksPerFrame) == 208 &&
                  offsetof(AudioServerPlugInIOCycleInfo, mMasterHostTicksPerFrame) == 208 &&
                  offsetof(AudioServerPlugInIOCycleInfo, mDeviceHostTicksPerFrame) == 216,
              "AudioServerPlugInIOCycleInfo layout");
static_assert(sizeof(AudioServerPlugInHostInterface) == 40, "AudioServerPlugInHostInterface layout");
static_assert(sizeof(AudioServerPlugInDriverInterface) == 184 && offsetof(AudioServerPlugInDriverInterface, QueryInterface) == 8 &&
                  offsetof(AudioServerPlugInDriverInterface, Initialize) == 32 &&
                  offsetof(AudioServerPlugInDriverInterface, HasProperty) == 88 &&
                  offsetof(AudioServerPlugInDriverInterface, StartIO) == 128 &&
                  offsetof(AudioServerPlugInDriverInterface, EndIOOperation) == 176,
              "AudioServerPlugInDriverInterface layout");
#endif
