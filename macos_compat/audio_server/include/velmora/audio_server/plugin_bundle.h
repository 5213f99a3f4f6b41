// An AudioServerPlugIn bundle loaded as the system's audio server loads one:
//
//   <name>.driver/Contents/Info.plist       CFBundleExecutable, CFPlugInTypes, CFPlugInFactories
//   <name>.driver/Contents/MacOS/<exe>      the code (a shared object here)
//
// The type kAudioServerPlugInTypeUUID lists factory UUIDs; the first of them that names a
// function in CFPlugInFactories is called with the type, and the driver interface is asked of what
// it returns. Control thread; loads code.
#pragma once

#include <CoreAudio/AudioServerPlugIn.h>

#include <memory>
#include <string>

namespace VelmoraAudioServer {

class PlugInBundle {
public:
    // Null, with a sentence saying what failed in `error`, when the bundle cannot be read, loaded
    // or does not hand out the driver interface.
    static std::unique_ptr<PlugInBundle> load(const std::string& bundle_path, std::string& error);
    // Releases the driver and unloads the code.
    ~PlugInBundle();
    PlugInBundle(const PlugInBundle&) = delete;
    PlugInBundle& operator=(const PlugInBundle&) = delete;

    AudioServerPlugInDriverRef driver() const { return driver_; }
    AudioServerPlugInDriverInterface& table() const { return **driver_; }
    const std::string& bundle_identifier() const { return bundle_identifier_; }
    const std::string& executable_path() const { return executable_path_; }
    const std::string& factory_name() const { return factory_name_; }

private:
    PlugInBundle() = default;

    void* library_ = nullptr;
    AudioServerPlugInDriverRef driver_ = nullptr;
    std::string bundle_identifier_;
    std::string executable_path_;
    std::string factory_name_;
};

} // namespace VelmoraAudioServer
