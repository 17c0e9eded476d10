#include "plugin_loader.h"

#include <dirent.h>
#include <dlfcn.h>

#include <algorithm>

#include "elf_symbols.h"

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

}  // namespace

std::vector<std::string> listPlugInFiles(const std::string& directory) {
    std::vector<std::string> files;
    DIR* dir = opendir(directory.c_str());
    if (dir == nullptr) return files;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.size() > 3 && name.compare(name.size() - 3, 3, ".so") == 0) {
            files.push_back(directory + "/" + name);
        }
    }
    closedir(dir);
    std::sort(files.begin(), files.end());
    return files;
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

std::optional<PlugIn> loadPlugInFile(const std::string& path, std::string& error) {
    const auto exported = exportedFunctions(path);
    if (!exported) {
        error = "not a 64-bit ELF shared object";
        return std::nullopt;
    }
    const auto factoryName = findFactorySymbol(*exported);
    if (!factoryName) {
        error = "no single exported *_Create factory";
        return std::nullopt;
    }
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* why = dlerror();
        error = std::string("cannot be loaded: ") + (why != nullptr ? why : "unknown reason");
        return std::nullopt;
    }
    auto factory = reinterpret_cast<PlugInFactory>(dlsym(handle, factoryName->c_str()));
    if (factory == nullptr) {
        error = "factory " + *factoryName + " not found";
        return std::nullopt;  // the handle stays: a half-initialised library is not unloaded
    }
    PlugIn plugIn;
    plugIn.driver = instantiatePlugIn(factory, error);
    if (plugIn.driver == nullptr) return std::nullopt;
    const auto slash = path.find_last_of('/');
    plugIn.name = slash == std::string::npos ? path : path.substr(slash + 1);
    plugIn.factoryName = *factoryName;
    plugIn.handle = handle;
    return plugIn;
}

}  // namespace audioserver
