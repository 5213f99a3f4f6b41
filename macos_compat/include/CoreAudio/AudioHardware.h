// Stand-in for <CoreAudio/AudioHardware.h>: the client side of the HAL, with Apple's names,
// layouts and values.
//
// Behind these functions runs a simulated system (see <velmora_compat/hal_control.h> for how
// tests and the device file shape it). It answers as CoreAudio does, not more kindly: unknown
// objects give kAudioHardwareBadObjectError, properties an object lacks
// kAudioHardwareUnknownPropertyError, buffers of the wrong size kAudioHardwareBadPropertySizeError,
// values the device does not support kAudioHardwareIllegalOperationError or
// kAudioDeviceUnsupportedFormatError. CFString-valued properties hand out an owned (+1) reference.
//
// Threads: every function may be called from any thread, including listeners and IO procedures.
// An IO procedure may stop or destroy procedures of its own device: the change takes effect when
// its cycle ends. AudioDeviceStop and AudioDeviceDestroyIOProcID called elsewhere return only once
// the procedure is no longer running, and AudioObjectRemovePropertyListener only once the listener
// is not being called, so their client data may be freed right after. Property listeners run on
// the HAL's notification thread, IO procedures on the device's IO thread; a listener that waits
// for an IO cycle while that cycle's procedure removes the listener deadlocks, as listeners
// should only record what changed.
#pragma once

#include <CoreAudio/AudioHardwareBase.h>
#include <CoreAudioTypes/CoreAudioTypes.h>
#include <CoreFoundation/CoreFoundation.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef AudioObjectID AudioDeviceID;
typedef AudioObjectID AudioStreamID;

typedef OSStatus (*AudioObjectPropertyListenerProc)(AudioObjectID inObjectID, UInt32 inNumberAddresses,
                                                    const AudioObjectPropertyAddress* inAddresses, void* inClientData);

typedef OSStatus (*AudioDeviceIOProc)(AudioObjectID inDevice, const AudioTimeStamp* inNow, const AudioBufferList* inInputData,
                                      const AudioTimeStamp* inInputTime, AudioBufferList* outOutputData,
                                      const AudioTimeStamp* inOutputTime, void* inClientData);
typedef AudioDeviceIOProc AudioDeviceIOProcID;

typedef struct AudioHardwareIOProcStreamUsage {
    void* mIOProc;
    UInt32 mNumberStreams;
    UInt32 mStreamIsOn[1];
} AudioHardwareIOProcStreamUsage;

#ifdef __cplusplus
#define VELMORA_CA_ENUM(type) enum : type
#else
#define VELMORA_CA_ENUM(type) enum
#endif

VELMORA_CA_ENUM(AudioObjectID){
    kAudioObjectSystemObject = 1,
};

VELMORA_CA_ENUM(AudioObjectPropertySelector){
    kAudioObjectPropertyCreator = 'oplg',
};

VELMORA_CA_ENUM(AudioClassID){
    kAudioSystemObjectClassID = 'asys',
};

// The system object.
VELMORA_CA_ENUM(AudioObjectPropertySelector){
    kAudioHardwarePropertyDevices = 'dev#',
    kAudioHardwarePropertyDefaultInputDevice = 'dIn ',
    kAudioHardwarePropertyDefaultOutputDevice = 'dOut',
    kAudioHardwarePropertyDefaultSystemOutputDevice = 'sOut',
    kAudioHardwarePropertyTranslateUIDToDevice = 'uidd',
    kAudioHardwarePropertyPlugInList = 'plg#',
    kAudioHardwarePropertyTranslateBundleIDToPlugIn = 'bidp',
    kAudioHardwarePropertyTapList = 'tps#',
    kAudioHardwarePropertyTranslateUIDToTap = 'uidt',
    kAudioHardwarePropertyProcessObjectList = 'prs#',
};

VELMORA_CA_ENUM(AudioClassID){
    kAudioTapClassID = 'tcls',
};

VELMORA_CA_ENUM(AudioObjectPropertySelector){
    kAudioTapPropertyUID = 'tuid',
    kAudioTapPropertyDescription = 'tdsc',
    kAudioTapPropertyFormat = 'tfmt',
    kAudioAggregateDevicePropertyTapList = 'tap#',
    kAudioAggregateDevicePropertySubTapList = 'atap',
};

// Devices, in addition to those of AudioHardwareBase.h.
VELMORA_CA_ENUM(AudioObjectPropertySelector){
    kAudioDevicePropertyDeviceIsRunningSomewhere = 'gone',
    kAudioDeviceProcessorOverload = 'over',
    kAudioDevicePropertyIOStoppedAbnormally = 'stpd',
    kAudioDevicePropertyHogMode = 'oink',
    kAudioDevicePropertyBufferFrameSize = 'fsiz',
    kAudioDevicePropertyBufferFrameSizeRange = 'fsz#',
    kAudioDevicePropertyUsesVariableBufferFrameSizes = 'vfsz',
    kAudioDevicePropertyIOCycleUsage = 'ncyc',
    kAudioDevicePropertyStreamConfiguration = 'slay',
    kAudioDevicePropertyActualSampleRate = 'asrt',
};

VELMORA_CA_ENUM(UInt32){
    kAudioDeviceStartTimeIsInputFlag = (1 << 0),
    kAudioDeviceStartTimeDontConsultDeviceFlag = (1 << 1),
    kAudioDeviceStartTimeDontConsultHALFlag = (1 << 2),
};

#undef VELMORA_CA_ENUM

Boolean AudioObjectHasProperty(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress);
OSStatus AudioObjectIsPropertySettable(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress, Boolean* outIsSettable);
OSStatus AudioObjectGetPropertyDataSize(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress, UInt32 inQualifierDataSize,
                                        const void* inQualifierData, UInt32* outDataSize);
// *ioDataSize: on input the capacity of outData, on return the bytes written.
OSStatus AudioObjectGetPropertyData(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress, UInt32 inQualifierDataSize,
                                    const void* inQualifierData, UInt32* ioDataSize, void* outData);
OSStatus AudioObjectSetPropertyData(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress, UInt32 inQualifierDataSize,
                                    const void* inQualifierData, UInt32 inDataSize, const void* inData);
// Listeners are keyed by (object, address, proc, client data); removing needs the same four.
OSStatus AudioObjectAddPropertyListener(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                        AudioObjectPropertyListenerProc inListener, void* inClientData);
OSStatus AudioObjectRemovePropertyListener(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                           AudioObjectPropertyListenerProc inListener, void* inClientData);

OSStatus AudioDeviceCreateIOProcID(AudioObjectID inDevice, AudioDeviceIOProc inProc, void* inClientData, AudioDeviceIOProcID* outIOProcID);
OSStatus AudioDeviceDestroyIOProcID(AudioObjectID inDevice, AudioDeviceIOProcID inIOProcID);
// A NULL proc ID starts (stops) the hardware without any IO procedure.
OSStatus AudioDeviceStart(AudioObjectID inDevice, AudioDeviceIOProcID inProcID);
OSStatus AudioDeviceStop(AudioObjectID inDevice, AudioDeviceIOProcID inProcID);
OSStatus AudioDeviceGetCurrentTime(AudioObjectID inDevice, AudioTimeStamp* outTime);

#ifdef __cplusplus
}
static_assert(sizeof(AudioHardwareIOProcStreamUsage) == 16 && offsetof(AudioHardwareIOProcStreamUsage, mNumberStreams) == 8 &&
                  offsetof(AudioHardwareIOProcStreamUsage, mStreamIsOn) == 12,
              "AudioHardwareIOProcStreamUsage layout");
#endif
