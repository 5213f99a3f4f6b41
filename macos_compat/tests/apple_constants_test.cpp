// Every constant the project's code takes from the stand-in headers, against the values measured from the
// SDK headers. The four-char codes are spelled as multi-character literals in the headers, so a
// slip of one character shows up here.
#include <CoreAudio/AudioHardware.h>
#include <CoreAudio/AudioServerPlugIn.h>
#include <CoreAudio/CoreAudio.h>
#include <CoreAudio/CoreAudioTypes.h>
#include <CoreAudio/HostTime.h>
#include <CoreAudioTypes/CoreAudioTypes.h>
#include <CoreFoundation/CFPlugInCOM.h>
#include <CoreFoundation/CoreFoundation.h>
#include <mach/mach_time.h>
#include <os/log.h>
#include <pthread/qos.h>
#include <sys/qos.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <type_traits>

namespace {

// Checked when this file compiles.
#define CONSTANT(name, hex)                                                                                  \
    static_assert(static_cast<std::uint32_t>(name) == static_cast<std::uint32_t>(hex), #name)

CONSTANT(kAudioTimeStampSampleTimeValid, 0x00000001); CONSTANT(kAudioTimeStampHostTimeValid, 0x00000002);
CONSTANT(kAudioTimeStampRateScalarValid, 0x00000004); CONSTANT(kAudioTimeStampSampleHostTimeValid, 0x00000003);
CONSTANT(kAudioFormatLinearPCM, 0x6C70636D); CONSTANT(kAudioFormatFlagIsFloat, 0x00000001);
CONSTANT(kAudioFormatFlagIsBigEndian, 0x00000002); CONSTANT(kAudioFormatFlagIsSignedInteger, 0x00000004);
CONSTANT(kAudioFormatFlagIsPacked, 0x00000008); CONSTANT(kAudioFormatFlagIsNonInterleaved, 0x00000020);
CONSTANT(kAudioObjectUnknown, 0x00000000); CONSTANT(kAudioObjectSystemObject, 0x00000001);
CONSTANT(kAudioObjectPlugInObject, 0x00000001); CONSTANT(kAudioObjectPropertyScopeGlobal, 0x676C6F62);
CONSTANT(kAudioObjectPropertyScopeInput, 0x696E7074); CONSTANT(kAudioObjectPropertyScopeOutput, 0x6F757470);
CONSTANT(kAudioObjectPropertyScopePlayThrough, 0x70747275); CONSTANT(kAudioObjectPropertyScopeWildcard, 0x2A2A2A2A);
CONSTANT(kAudioObjectPropertyElementMain, 0x00000000); CONSTANT(kAudioObjectPropertyElementWildcard, 0xFFFFFFFF);
CONSTANT(kAudioObjectPropertySelectorWildcard, 0x2A2A2A2A); CONSTANT(kAudioObjectPropertyBaseClass, 0x62636C73);
CONSTANT(kAudioObjectPropertyClass, 0x636C6173); CONSTANT(kAudioObjectPropertyOwner, 0x73746476);
CONSTANT(kAudioObjectPropertyName, 0x6C6E616D); CONSTANT(kAudioObjectPropertyModelName, 0x6C6D6F64);
CONSTANT(kAudioObjectPropertyManufacturer, 0x6C6D616B); CONSTANT(kAudioObjectPropertyElementName, 0x6C63686E);
CONSTANT(kAudioObjectPropertyElementCategoryName, 0x6C63636E);
CONSTANT(kAudioObjectPropertyElementNumberName, 0x6C636E6E); CONSTANT(kAudioObjectPropertyOwnedObjects, 0x6F776E64);
CONSTANT(kAudioObjectPropertyControlList, 0x6374726C);
CONSTANT(kAudioObjectPropertyCustomPropertyInfoList, 0x63757374); CONSTANT(kAudioHardwarePropertyDevices, 0x64657623);
CONSTANT(kAudioHardwarePropertyDefaultInputDevice, 0x64496E20);
CONSTANT(kAudioHardwarePropertyDefaultOutputDevice, 0x644F7574);
CONSTANT(kAudioHardwarePropertyDefaultSystemOutputDevice, 0x734F7574);
CONSTANT(kAudioHardwarePropertyTranslateUIDToDevice, 0x75696464); CONSTANT(kAudioPlugInPropertyBundleID, 0x70696964);
CONSTANT(kAudioPlugInPropertyDeviceList, 0x64657623); CONSTANT(kAudioPlugInPropertyTranslateUIDToDevice, 0x75696464);
CONSTANT(kAudioPlugInPropertyBoxList, 0x626F7823); CONSTANT(kAudioPlugInPropertyClockDeviceList, 0x636C6B23);
CONSTANT(kAudioDevicePropertyDeviceUID, 0x75696420); CONSTANT(kAudioDevicePropertyModelUID, 0x6D756964);
CONSTANT(kAudioDevicePropertyTransportType, 0x7472616E); CONSTANT(kAudioDevicePropertyClockDomain, 0x636C6B64);
CONSTANT(kAudioDevicePropertyDeviceIsAlive, 0x6C69766E); CONSTANT(kAudioDevicePropertyDeviceIsRunning, 0x676F696E);
CONSTANT(kAudioDevicePropertyDeviceIsRunningSomewhere, 0x676F6E65);
CONSTANT(kAudioDevicePropertyDeviceCanBeDefaultDevice, 0x64666C74);
CONSTANT(kAudioDevicePropertyDeviceCanBeDefaultSystemDevice, 0x73666C74);
CONSTANT(kAudioDevicePropertyLatency, 0x6C746E63); CONSTANT(kAudioDevicePropertyStreams, 0x73746D23);
CONSTANT(kAudioDevicePropertySafetyOffset, 0x73616674); CONSTANT(kAudioDevicePropertyNominalSampleRate, 0x6E737274);
CONSTANT(kAudioDevicePropertyAvailableNominalSampleRates, 0x6E737223);
CONSTANT(kAudioDevicePropertyIsHidden, 0x6869646E); CONSTANT(kAudioDevicePropertyBufferFrameSize, 0x6673697A);
CONSTANT(kAudioDevicePropertyBufferFrameSizeRange, 0x66737A23);
CONSTANT(kAudioDevicePropertyUsesVariableBufferFrameSizes, 0x7666737A);
CONSTANT(kAudioDevicePropertyIOCycleUsage, 0x6E637963); CONSTANT(kAudioDevicePropertyStreamConfiguration, 0x736C6179);
CONSTANT(kAudioDevicePropertyActualSampleRate, 0x61737274);
CONSTANT(kAudioDevicePropertyZeroTimeStampPeriod, 0x72696E67);
CONSTANT(kAudioDevicePropertyClockAlgorithm, 0x636C6F6B); CONSTANT(kAudioDevicePropertyClockIsStable, 0x63737462);
CONSTANT(kAudioStreamPropertyIsActive, 0x73616374); CONSTANT(kAudioStreamPropertyDirection, 0x73646972);
CONSTANT(kAudioStreamPropertyTerminalType, 0x7465726D); CONSTANT(kAudioStreamPropertyStartingChannel, 0x7363686E);
CONSTANT(kAudioStreamPropertyLatency, 0x6C746E63); CONSTANT(kAudioStreamPropertyVirtualFormat, 0x73666D74);
CONSTANT(kAudioStreamPropertyAvailableVirtualFormats, 0x73666D61);
CONSTANT(kAudioStreamPropertyPhysicalFormat, 0x70667420);
CONSTANT(kAudioStreamPropertyAvailablePhysicalFormats, 0x70667461); CONSTANT(kAudioObjectClassID, 0x616F626A);
CONSTANT(kAudioSystemObjectClassID, 0x61737973); CONSTANT(kAudioPlugInClassID, 0x61706C67);
CONSTANT(kAudioDeviceClassID, 0x61646576); CONSTANT(kAudioStreamClassID, 0x61737472);
CONSTANT(kAudioDeviceTransportTypeUnknown, 0x00000000); CONSTANT(kAudioDeviceTransportTypeBuiltIn, 0x626C746E);
CONSTANT(kAudioDeviceTransportTypeVirtual, 0x76697274); CONSTANT(kAudioDeviceTransportTypeAggregate, 0x67727570);
CONSTANT(kAudioDeviceTransportTypeUSB, 0x75736220); CONSTANT(kAudioDeviceTransportTypeThunderbolt, 0x7468756E);
CONSTANT(kAudioDeviceClockAlgorithmRaw, 0x72617777); CONSTANT(kAudioStreamTerminalTypeLine, 0x6C696E65);
CONSTANT(kAudioStreamTerminalTypeSpeaker, 0x73706B72); CONSTANT(kAudioStreamTerminalTypeMicrophone, 0x6D696372);
CONSTANT(kAudioHardwareNoError, 0x00000000); CONSTANT(kAudioHardwareNotRunningError, 0x73746F70);
CONSTANT(kAudioHardwareUnspecifiedError, 0x77686174); CONSTANT(kAudioHardwareUnknownPropertyError, 0x77686F3F);
CONSTANT(kAudioHardwareBadPropertySizeError, 0x2173697A); CONSTANT(kAudioHardwareIllegalOperationError, 0x6E6F7065);
CONSTANT(kAudioHardwareBadObjectError, 0x216F626A); CONSTANT(kAudioHardwareBadDeviceError, 0x21646576);
CONSTANT(kAudioHardwareBadStreamError, 0x21737472); CONSTANT(kAudioHardwareUnsupportedOperationError, 0x756E6F70);
CONSTANT(kAudioServerPlugInIOOperationThread, 0x74687264); CONSTANT(kAudioServerPlugInIOOperationCycle, 0x6379636C);
CONSTANT(kAudioServerPlugInIOOperationReadInput, 0x72656164);
CONSTANT(kAudioServerPlugInIOOperationConvertInput, 0x63696E70);
CONSTANT(kAudioServerPlugInIOOperationProcessInput, 0x70696E70);
CONSTANT(kAudioServerPlugInIOOperationProcessOutput, 0x706F7574);
CONSTANT(kAudioServerPlugInIOOperationMixOutput, 0x6D69786F);
CONSTANT(kAudioServerPlugInIOOperationWriteMix, 0x72697465); CONSTANT(kCFStringEncodingASCII, 0x00000600);
CONSTANT(kCFStringEncodingUTF8, 0x08000100); CONSTANT(OS_LOG_TYPE_DEFAULT, 0x00); CONSTANT(OS_LOG_TYPE_INFO, 0x01);
CONSTANT(OS_LOG_TYPE_DEBUG, 0x02); CONSTANT(OS_LOG_TYPE_ERROR, 0x10); CONSTANT(OS_LOG_TYPE_FAULT, 0x11);
CONSTANT(QOS_CLASS_USER_INTERACTIVE, 0x21); CONSTANT(QOS_CLASS_USER_INITIATED, 0x19);
CONSTANT(QOS_CLASS_DEFAULT, 0x15); CONSTANT(QOS_CLASS_UTILITY, 0x11); CONSTANT(QOS_CLASS_BACKGROUND, 0x09);
CONSTANT(QOS_CLASS_UNSPECIFIED, 0x00);

// COM results and signed errors keep their sign.
static_assert(S_OK == 0 && S_FALSE == 1 && E_NOINTERFACE == -2147483644);
static_assert(static_cast<std::uint32_t>(E_NOTIMPL) == 0x80000001u &&
              static_cast<std::uint32_t>(E_FAIL) == 0x80000008u);
static_assert(FAILED(E_NOINTERFACE) && SUCCEEDED(S_FALSE));
static_assert(kAudio_ParamError == -50 && QOS_MIN_RELATIVE_PRIORITY == -15);

// What code written against the SDK relies on about the types themselves.
static_assert(std::is_same_v<UInt64, unsigned long long> && std::is_same_v<SInt64, long long>);
static_assert(std::is_same_v<Boolean, unsigned char> && std::is_same_v<OSStatus, int>);
static_assert(std::is_same_v<CFIndex, long> && std::is_same_v<CFTypeID, unsigned long>);
static_assert(std::is_same_v<AudioDeviceIOProcID, AudioDeviceIOProc> && std::is_same_v<REFIID, CFUUIDBytes>);
static_assert(std::is_same_v<AudioServerPlugInHostRef, const AudioServerPlugInHostInterface*>);
static_assert(std::is_same_v<AudioServerPlugInDriverRef, AudioServerPlugInDriverInterface**>);
// Named enum types: an integer does not convert to them implicitly.
static_assert(std::is_enum_v<SMPTETimeType> && !std::is_convertible_v<int, SMPTETimeType>);
static_assert(std::is_enum_v<AudioServerPlugInIOOperation> &&
              !std::is_convertible_v<UInt32, AudioServerPlugInIOOperation>);
static_assert(std::is_enum_v<AudioDeviceClockAlgorithmSelector>);
static_assert(std::is_enum_v<qos_class_t> && !std::is_convertible_v<int, qos_class_t>);
static_assert(std::is_enum_v<os_log_type_t> && sizeof(os_log_type_t) == 1);
static_assert(sizeof(mach_timebase_info_data_t) == 8 && sizeof(pid_t) == 4);

// The deprecated name of a field is the same storage.
TEST(AppleLayouts, OldFieldNamesAliasTheNewOnes) {
    AudioServerPlugInIOCycleInfo info{};
    info.mMainHostTicksPerFrame = 2.5;
    EXPECT_EQ(info.mMasterHostTicksPerFrame, 2.5);
}

} // namespace
