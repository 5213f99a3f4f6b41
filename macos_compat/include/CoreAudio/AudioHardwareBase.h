// Stand-in for <CoreAudio/AudioHardwareBase.h>: the object model shared by the client HAL and
// the plug-in interface (IDs, property addresses, classes, selectors, errors), with Apple's
// names, layouts and values.
#pragma once

#include <CoreAudioTypes/CoreAudioTypes.h>
#include <CoreFoundation/CoreFoundation.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef UInt32 AudioObjectID;
typedef UInt32 AudioClassID;
typedef UInt32 AudioObjectPropertySelector;
typedef UInt32 AudioObjectPropertyScope;
typedef UInt32 AudioObjectPropertyElement;

typedef struct AudioObjectPropertyAddress {
    AudioObjectPropertySelector mSelector;
    AudioObjectPropertyScope mScope;
    AudioObjectPropertyElement mElement;
} AudioObjectPropertyAddress;

#ifdef __cplusplus
#define VELMORA_CA_ENUM(type) enum : type
#else
#define VELMORA_CA_ENUM(type) enum
#endif

VELMORA_CA_ENUM(OSStatus){
    kAudioHardwareNoError = 0,
    kAudioHardwareNotRunningError = 'stop',
    kAudioHardwareUnspecifiedError = 'what',
    kAudioHardwareUnknownPropertyError = 'who?',
    kAudioHardwareBadPropertySizeError = '!siz',
    kAudioHardwareIllegalOperationError = 'nope',
    kAudioHardwareBadObjectError = '!obj',
    kAudioHardwareBadDeviceError = '!dev',
    kAudioHardwareBadStreamError = '!str',
    kAudioHardwareUnsupportedOperationError = 'unop',
    kAudioHardwareNotReadyError = 'nrdy',
    kAudioDeviceUnsupportedFormatError = '!dat',
    kAudioDevicePermissionsError = '!hog',
};

VELMORA_CA_ENUM(AudioObjectID){
    kAudioObjectUnknown = 0,
};

VELMORA_CA_ENUM(AudioObjectPropertyScope){
    kAudioObjectPropertyScopeGlobal = 'glob',
    kAudioObjectPropertyScopeInput = 'inpt',
    kAudioObjectPropertyScopeOutput = 'outp',
    kAudioObjectPropertyScopePlayThrough = 'ptru',
    kAudioObjectPropertyScopeWildcard = '****',
};

VELMORA_CA_ENUM(AudioObjectPropertyElement){
    kAudioObjectPropertyElementMain = 0,
    kAudioObjectPropertyElementMaster = kAudioObjectPropertyElementMain,
    kAudioObjectPropertyElementWildcard = 0xFFFFFFFF,
};

VELMORA_CA_ENUM(AudioObjectPropertySelector){
    kAudioObjectPropertySelectorWildcard = '****',
};

VELMORA_CA_ENUM(AudioClassID){
    kAudioObjectClassIDWildcard = '****',
    kAudioObjectClassID = 'aobj',
    kAudioPlugInClassID = 'aplg',
    kAudioBoxClassID = 'abox',
    kAudioDeviceClassID = 'adev',
    kAudioClockDeviceClassID = 'aclk',
    kAudioStreamClassID = 'astr',
    kAudioControlClassID = 'actl',
    kAudioVolumeControlClassID = 'vlme',
    kAudioMuteControlClassID = 'mute',
};

// Properties of every object.
VELMORA_CA_ENUM(AudioObjectPropertySelector){
    kAudioObjectPropertyBaseClass = 'bcls',
    kAudioObjectPropertyClass = 'clas',
    kAudioObjectPropertyOwner = 'stdv',
    kAudioObjectPropertyName = 'lnam',
    kAudioObjectPropertyModelName = 'lmod',
    kAudioObjectPropertyManufacturer = 'lmak',
    kAudioObjectPropertyElementName = 'lchn',
    kAudioObjectPropertyElementCategoryName = 'lccn',
    kAudioObjectPropertyElementNumberName = 'lcnn',
    kAudioObjectPropertyOwnedObjects = 'ownd',
    kAudioObjectPropertyIdentify = 'iden',
    kAudioObjectPropertySerialNumber = 'snum',
    kAudioObjectPropertyFirmwareVersion = 'fwvn',
    kAudioObjectPropertyControlList = 'ctrl',
};

// Plug-in objects.
VELMORA_CA_ENUM(AudioObjectPropertySelector){
    kAudioPlugInPropertyBundleID = 'piid',
    kAudioPlugInPropertyDeviceList = 'dev#',
    kAudioPlugInPropertyTranslateUIDToDevice = 'uidd',
    kAudioPlugInPropertyBoxList = 'box#',
    kAudioPlugInPropertyTranslateUIDToBox = 'uidb',
    kAudioPlugInPropertyClockDeviceList = 'clk#',
    kAudioPlugInPropertyTranslateUIDToClockDevice = 'uidc',
};

VELMORA_CA_ENUM(UInt32){
    kAudioDeviceTransportTypeUnknown = 0,
    kAudioDeviceTransportTypeBuiltIn = 'bltn',
    kAudioDeviceTransportTypeAggregate = 'grup',
    kAudioDeviceTransportTypeVirtual = 'virt',
    kAudioDeviceTransportTypeUSB = 'usb ',
    kAudioDeviceTransportTypeThunderbolt = 'thun',
};

// Devices ("per scope": answered in the input and output scopes).
VELMORA_CA_ENUM(AudioObjectPropertySelector){
    kAudioDevicePropertyConfigurationApplication = 'capp',
    kAudioDevicePropertyDeviceUID = 'uid ',
    kAudioDevicePropertyModelUID = 'muid',
    kAudioDevicePropertyTransportType = 'tran',
    kAudioDevicePropertyRelatedDevices = 'akin',
    kAudioDevicePropertyClockDomain = 'clkd',
    kAudioDevicePropertyDeviceIsAlive = 'livn',
    kAudioDevicePropertyDeviceIsRunning = 'goin',
    kAudioDevicePropertyDeviceCanBeDefaultDevice = 'dflt',
    kAudioDevicePropertyDeviceCanBeDefaultSystemDevice = 'sflt',
    kAudioDevicePropertyLatency = 'ltnc',
    kAudioDevicePropertyStreams = 'stm#',
    kAudioDevicePropertySafetyOffset = 'saft',
    kAudioDevicePropertyNominalSampleRate = 'nsrt',
    kAudioDevicePropertyAvailableNominalSampleRates = 'nsr#',
    kAudioDevicePropertyIcon = 'icon',
    kAudioDevicePropertyIsHidden = 'hidn',
    kAudioDevicePropertyPreferredChannelsForStereo = 'dch2',
    kAudioDevicePropertyPreferredChannelLayout = 'srnd',
};

VELMORA_CA_ENUM(UInt32){
    kAudioStreamTerminalTypeUnknown = 0,
    kAudioStreamTerminalTypeLine = 'line',
    kAudioStreamTerminalTypeDigitalAudioInterface = 'spdf',
    kAudioStreamTerminalTypeSpeaker = 'spkr',
    kAudioStreamTerminalTypeHeadphones = 'hdph',
    kAudioStreamTerminalTypeMicrophone = 'micr',
};

// Streams. kAudioStreamPropertyDirection: 0 = output, 1 = input.
VELMORA_CA_ENUM(AudioObjectPropertySelector){
    kAudioStreamPropertyIsActive = 'sact',
    kAudioStreamPropertyDirection = 'sdir',
    kAudioStreamPropertyTerminalType = 'term',
    kAudioStreamPropertyStartingChannel = 'schn',
    kAudioStreamPropertyLatency = kAudioDevicePropertyLatency,
    kAudioStreamPropertyVirtualFormat = 'sfmt',
    kAudioStreamPropertyAvailableVirtualFormats = 'sfma',
    kAudioStreamPropertyPhysicalFormat = 'pft ',
    kAudioStreamPropertyAvailablePhysicalFormats = 'pfta',
};

typedef struct AudioStreamRangedDescription {
    AudioStreamBasicDescription mFormat;
    AudioValueRange mSampleRateRange;
} AudioStreamRangedDescription;

#undef VELMORA_CA_ENUM

#ifdef __cplusplus
}
static_assert(sizeof(AudioObjectPropertyAddress) == 12 && alignof(AudioObjectPropertyAddress) == 4, "address layout");
static_assert(offsetof(AudioObjectPropertyAddress, mScope) == 4 && offsetof(AudioObjectPropertyAddress, mElement) == 8,
              "address layout");
static_assert(sizeof(AudioStreamRangedDescription) == 56 && offsetof(AudioStreamRangedDescription, mSampleRateRange) == 40,
              "AudioStreamRangedDescription layout");
#endif
