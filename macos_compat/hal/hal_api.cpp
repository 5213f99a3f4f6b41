// Apple's client HAL functions over the simulated system: argument checks here, the work in
// HalSystem and HalDevice.
#include "hal_system.h"

using VelmoraCompat::Hal::HalDevice;
using VelmoraCompat::Hal::HalSystem;

namespace {

HalSystem& hal() {
    return HalSystem::instance();
}

} // namespace

extern "C" Boolean AudioObjectHasProperty(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress) {
    if (inAddress == nullptr) {
        return false;
    }
    return hal().has_property(inObjectID, *inAddress);
}

extern "C" OSStatus AudioObjectIsPropertySettable(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                                 Boolean* outIsSettable) {
    if (inAddress == nullptr || outIsSettable == nullptr) {
        return kAudioHardwareIllegalOperationError;
    }
    return hal().is_settable(inObjectID, *inAddress, outIsSettable);
}

extern "C" OSStatus AudioObjectGetPropertyDataSize(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                                  UInt32 inQualifierDataSize, const void* inQualifierData, UInt32* outDataSize) {
    if (inAddress == nullptr || outDataSize == nullptr || (inQualifierDataSize > 0 && inQualifierData == nullptr)) {
        return kAudioHardwareIllegalOperationError;
    }
    return hal().get_size(inObjectID, *inAddress, inQualifierDataSize, inQualifierData, outDataSize);
}

extern "C" OSStatus AudioObjectGetPropertyData(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress, UInt32 inQualifierDataSize,
                                              const void* inQualifierData, UInt32* ioDataSize, void* outData) {
    if (inAddress == nullptr || ioDataSize == nullptr || outData == nullptr || (inQualifierDataSize > 0 && inQualifierData == nullptr)) {
        return kAudioHardwareIllegalOperationError;
    }
    return hal().get_data(inObjectID, *inAddress, inQualifierDataSize, inQualifierData, ioDataSize, outData);
}

extern "C" OSStatus AudioObjectSetPropertyData(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress, UInt32 inQualifierDataSize,
                                              const void* inQualifierData, UInt32 inDataSize, const void* inData) {
    if (inAddress == nullptr || inData == nullptr || (inQualifierDataSize > 0 && inQualifierData == nullptr)) {
        return kAudioHardwareIllegalOperationError;
    }
    return hal().set_data(inObjectID, *inAddress, inDataSize, inData, false);
}

extern "C" OSStatus AudioObjectAddPropertyListener(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                                  AudioObjectPropertyListenerProc inListener, void* inClientData) {
    if (inAddress == nullptr || inListener == nullptr) {
        return kAudioHardwareIllegalOperationError;
    }
    return hal().add_listener(inObjectID, *inAddress, inListener, inClientData);
}

extern "C" OSStatus AudioObjectRemovePropertyListener(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                                     AudioObjectPropertyListenerProc inListener, void* inClientData) {
    if (inAddress == nullptr || inListener == nullptr) {
        return kAudioHardwareIllegalOperationError;
    }
    return hal().remove_listener(inObjectID, *inAddress, inListener, inClientData);
}

extern "C" OSStatus AudioDeviceCreateIOProcID(AudioObjectID inDevice, AudioDeviceIOProc inProc, void* inClientData,
                                             AudioDeviceIOProcID* outIOProcID) {
    if (inProc == nullptr || outIOProcID == nullptr) {
        return kAudioHardwareIllegalOperationError;
    }
    std::shared_ptr<HalDevice> device;
    const OSStatus status = hal().find_device(inDevice, &device);
    if (status != kAudioHardwareNoError) {
        return status;
    }
    return device->create_io_proc(inProc, inClientData, outIOProcID);
}

namespace {

template <typename Operation>
OSStatus io_operation(AudioObjectID id, Operation operation) {
    std::shared_ptr<HalDevice> device;
    const OSStatus status = hal().find_device(id, &device);
    if (status != kAudioHardwareNoError) {
        return status;
    }
    bool running_changed = false;
    const OSStatus result = operation(*device, &running_changed);
    if (running_changed) {
        hal().announce_running(id);
    }
    return result;
}

} // namespace

extern "C" OSStatus AudioDeviceDestroyIOProcID(AudioObjectID inDevice, AudioDeviceIOProcID inIOProcID) {
    return io_operation(inDevice, [&](HalDevice& d, bool* changed) { return d.destroy_io_proc(inIOProcID, changed); });
}

extern "C" OSStatus AudioDeviceStart(AudioObjectID inDevice, AudioDeviceIOProcID inProcID) {
    return io_operation(inDevice, [&](HalDevice& d, bool* changed) { return d.start(inProcID, changed); });
}

extern "C" OSStatus AudioDeviceStop(AudioObjectID inDevice, AudioDeviceIOProcID inProcID) {
    return io_operation(inDevice, [&](HalDevice& d, bool* changed) { return d.stop(inProcID, changed); });
}

extern "C" OSStatus AudioDeviceGetCurrentTime(AudioObjectID inDevice, AudioTimeStamp* outTime) {
    if (outTime == nullptr) {
        return kAudioHardwareIllegalOperationError;
    }
    std::shared_ptr<HalDevice> device;
    const OSStatus status = hal().find_device(inDevice, &device);
    if (status != kAudioHardwareNoError) {
        return status;
    }
    return device->current_time(outTime);
}
