#include <velmora/audio_server/plugin_bundle.h>

#include <velmora/audio_server/plist_reader.h>

#include <CoreFoundation/CFPlugIn.h>

#include <cctype>
#include <fstream>
#include <sstream>

#include <dlfcn.h>

namespace VelmoraAudioServer {
namespace {

std::string upper(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

std::string uuid_string(CFUUIDRef uuid) {
    CFStringRef text = CFUUIDCreateString(nullptr, uuid);
    char buffer[64] = {};
    CFStringGetCString(text, buffer, sizeof buffer, kCFStringEncodingUTF8);
    CFRelease(text);
    return buffer;
}

// The entry of a dict whose key equals `uuid` in any letter case.
const PlistValue* find_uuid(const PlistValue& dict, const std::string& uuid) {
    for (const auto& [key, value] : dict.dict) {
        if (upper(key) == uuid) {
            return &value;
        }
    }
    return nullptr;
}

} // namespace

std::unique_ptr<PlugInBundle> PlugInBundle::load(const std::string& bundle_path, std::string& error) {
    const std::string plist_path = bundle_path + "/Contents/Info.plist";
    std::ifstream file(plist_path);
    if (!file) {
        error = "cannot read " + plist_path;
        return nullptr;
    }
    std::stringstream contents;
    contents << file.rdbuf();
    PlistValue info;
    std::string parse_error;
    if (!parse_plist(contents.str(), info, parse_error)) {
        error = plist_path + ": " + parse_error;
        return nullptr;
    }
    const std::string executable = info.string_at("CFBundleExecutable");
    if (executable.empty() || executable.find('/') != std::string::npos) {
        error = plist_path + ": no usable CFBundleExecutable";
        return nullptr;
    }
    const std::string type_uuid = uuid_string(kAudioServerPlugInTypeUUID);
    const PlistValue* types = info.find("CFPlugInTypes");
    const PlistValue* factories = info.find("CFPlugInFactories");
    const PlistValue* factory_list = types != nullptr ? find_uuid(*types, type_uuid) : nullptr;
    if (factory_list == nullptr || factory_list->type != PlistValue::Type::array || factories == nullptr) {
        error = plist_path + ": no factory registered for the audio server plug-in type " + type_uuid;
        return nullptr;
    }
    std::string factory_name;
    for (const PlistValue& factory_uuid : factory_list->array) {
        const PlistValue* name = factory_uuid.type == PlistValue::Type::string
                                     ? find_uuid(*factories, upper(factory_uuid.text))
                                     : nullptr;
        if (name != nullptr && name->type == PlistValue::Type::string && !name->text.empty()) {
            factory_name = name->text;
            break;
        }
    }
    if (factory_name.empty()) {
        error = plist_path + ": the plug-in type's factory UUID is not in CFPlugInFactories";
        return nullptr;
    }

    std::unique_ptr<PlugInBundle> bundle(new PlugInBundle());
    bundle->bundle_identifier_ = info.string_at("CFBundleIdentifier");
    bundle->executable_path_ = bundle_path + "/Contents/MacOS/" + executable;
    bundle->factory_name_ = factory_name;
    bundle->library_ = ::dlopen(bundle->executable_path_.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (bundle->library_ == nullptr) {
        const char* reason = ::dlerror();
        error = "cannot load " + bundle->executable_path_ + ": " + (reason != nullptr ? reason : "unknown error");
        return nullptr;
    }
    auto factory = reinterpret_cast<CFPlugInFactoryFunction>(::dlsym(bundle->library_, factory_name.c_str()));
    if (factory == nullptr) {
        error = bundle->executable_path_ + " has no factory function " + factory_name;
        return nullptr;
    }
    void* unknown = factory(kCFAllocatorDefault, kAudioServerPlugInTypeUUID);
    if (unknown == nullptr) {
        error = "the factory " + factory_name + " made no audio server plug-in";
        return nullptr;
    }
    // What a factory returns is an IUnknown: a pointer to a pointer to its function table.
    IUnknownVTbl* unknown_table = *static_cast<IUnknownVTbl**>(unknown);
    LPVOID driver = nullptr;
    const HRESULT result =
        unknown_table->QueryInterface(unknown, CFUUIDGetUUIDBytes(kAudioServerPlugInDriverInterfaceUUID), &driver);
    unknown_table->Release(unknown);
    if (result != S_OK || driver == nullptr) {
        error = "the plug-in does not offer the audio server driver interface";
        return nullptr;
    }
    bundle->driver_ = static_cast<AudioServerPlugInDriverRef>(driver);
    return bundle;
}

PlugInBundle::~PlugInBundle() {
    if (driver_ != nullptr) {
        (*driver_)->Release(driver_);
    }
    if (library_ != nullptr) {
        ::dlclose(library_);
    }
}

} // namespace VelmoraAudioServer
