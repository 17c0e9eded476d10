#include "plugin_loader.h"

#include <dirent.h>
#include <dlfcn.h>
#include <sys/stat.h>

#include <algorithm>

#include "plugin_bundle.h"

namespace audioserver {
namespace {

bool tableComplete(const AudioServerPlugInDriverInterface& t) {
    return t.QueryInterface && t.AddRef && t.Release && t.Initialize && t.AddDeviceClient &&
           t.RemoveDeviceClient && t.PerformDeviceConfigurationChange &&
           t.AbortDeviceConfigurationChange && t.HasProperty && t.IsPropertySettable &&
           t.GetPropertyDataSize && t.GetPropertyData && t.SetPropertyData && t.StartIO &&
           t.StopIO && t.GetZeroTimeStamp && t.WillDoIOOperation && t.BeginIOOperation &&
           t.DoIOOperation && t.EndIOOperation;
}

bool isDirectory(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string baseName(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::vector<std::string> listPlugInBundles(const std::string& directory) {
    constexpr std::string_view kSuffix = ".driver";
    std::vector<std::string> bundles;
    DIR* dir = opendir(directory.c_str());
    if (dir == nullptr) return bundles;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        const std::string path = directory + "/" + name;
        if (name.size() > kSuffix.size() && name.ends_with(kSuffix) && isDirectory(path)) {
            bundles.push_back(path);
        }
    }
    closedir(dir);
    std::sort(bundles.begin(), bundles.end());
    return bundles;
}

AudioServerPlugInDriverRef instantiatePlugIn(PlugInFactory factory, std::string& error) {
    void* created = factory(kCFAllocatorDefault, kAudioServerPlugInTypeUUID);
    if (created == nullptr) {
        error = "the factory returned nothing";
        return nullptr;
    }
    auto unknown = static_cast<AudioServerPlugInDriverRef>(created);
    if (*unknown == nullptr || (*unknown)->QueryInterface == nullptr) {
        error = "the factory returned an object without an interface table";
        return nullptr;
    }
    void* driver = nullptr;
    const HRESULT rc = (*unknown)->QueryInterface(
        unknown, CFUUIDGetUUIDBytes(kAudioServerPlugInDriverInterfaceUUID), &driver);
    if (rc != S_OK || driver == nullptr) {
        error = "no driver interface (QueryInterface returned " + std::to_string(rc) + ")";
        return nullptr;
    }
    if ((*unknown)->Release != nullptr) (*unknown)->Release(unknown);
    auto ref = static_cast<AudioServerPlugInDriverRef>(driver);
    if (*ref == nullptr || !tableComplete(**ref)) {
        error = "the driver interface table is incomplete";
        return nullptr;
    }
    return ref;
}

std::optional<PlugIn> loadPlugInBundle(const std::string& path, std::string& error) {
    const auto bundle = plugin_bundle::readPlugInBundle(
        path, plugin_bundle::fromCFUUIDBytes(CFUUIDGetUUIDBytes(kAudioServerPlugInTypeUUID)),
        error);
    if (!bundle) return std::nullopt;
    const std::string executable = bundle->executablePath.substr(path.size() + 1);
    void* handle = dlopen(bundle->executablePath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* why = dlerror();
        error = executable + " cannot be loaded: " + (why != nullptr ? why : "unknown reason");
        return std::nullopt;
    }
    auto factory = reinterpret_cast<PlugInFactory>(dlsym(handle, bundle->factoryFunction.c_str()));
    if (factory == nullptr) {
        error = "factory function " + bundle->factoryFunction + " not found in " + executable;
        return std::nullopt;  // the handle stays: a half-initialised library is not unloaded
    }
    PlugIn plugIn;
    plugIn.driver = instantiatePlugIn(factory, error);
    if (plugIn.driver == nullptr) return std::nullopt;
    plugIn.name = baseName(path);
    plugIn.factoryName = bundle->factoryFunction;
    plugIn.handle = handle;
    return plugIn;
}

}  // namespace audioserver
