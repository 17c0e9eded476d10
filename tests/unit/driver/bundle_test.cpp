// The built bundle as the macOS audio server needs it: the layout, every key of its
// Info.plist, and the factory it names exported by the executable and answering the audio
// server plug-in type.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <plist/plist.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "driver_harness.h"
#include "plugin_bundle.h"

namespace {

constexpr const char* kTypeUUID = "443ABAB8-E7B3-491A-B985-BEB9187030DB";

struct PlistFree {
    void operator()(plist_t p) const { plist_free(p); }
};
using Plist = std::unique_ptr<void, PlistFree>;

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string stringAt(plist_t dict, const char* key) {
    const plist_t node = plist_dict_get_item(dict, key);
    if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) return "<absent>";
    uint64_t length = 0;
    const char* text = plist_get_string_ptr(node, &length);
    return std::string(text, length);
}

bool isRegularFile(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

TEST(DriverBundle, InfoPlistHasEveryKeyTheAudioServerNeeds) {
    const std::string bundle = driver_test::bundlePath();
    const std::string text = fileText(bundle + "/Contents/Info.plist");
    ASSERT_FALSE(text.empty()) << bundle;
    EXPECT_EQ(text.find('@'), std::string::npos) << "unsubstituted template variable";
    EXPECT_EQ(text.find("${"), std::string::npos) << "unsubstituted template variable";
    plist_t parsed = nullptr;
    plist_from_xml(text.data(), static_cast<uint32_t>(text.size()), &parsed);
    const Plist root(parsed);
    ASSERT_TRUE(root && plist_get_node_type(root.get()) == PLIST_DICT);
    plist_t info = root.get();

    EXPECT_EQ(stringAt(info, "CFBundleIdentifier"), "com.kelderwicklabs.quillwave-driver");
    EXPECT_EQ(stringAt(info, "CFBundleName"), "Quillwave");
    EXPECT_EQ(stringAt(info, "CFBundlePackageType"), "BNDL");
    EXPECT_EQ(stringAt(info, "CFBundleInfoDictionaryVersion"), "6.0");
    EXPECT_EQ(stringAt(info, "CFBundleVersion"), QW_PROJECT_VERSION);
    EXPECT_EQ(stringAt(info, "CFBundleShortVersionString"), QW_PROJECT_VERSION);
    const std::string executable = stringAt(info, "CFBundleExecutable");
    EXPECT_EQ(executable, "quillwave-driver");
    EXPECT_TRUE(isRegularFile(bundle + "/Contents/MacOS/" + executable));
    // The driver offers no service to other processes, so it needs no Mach service names.
    EXPECT_EQ(plist_dict_get_item(info, "AudioServerPlugIn_MachServices"), nullptr);

    // One factory, registered for the audio server plug-in type, named QWV_Create.
    const plist_t factories = plist_dict_get_item(info, "CFPlugInFactories");
    const plist_t types = plist_dict_get_item(info, "CFPlugInTypes");
    ASSERT_TRUE(factories && plist_get_node_type(factories) == PLIST_DICT);
    ASSERT_TRUE(types && plist_get_node_type(types) == PLIST_DICT);
    EXPECT_EQ(plist_dict_get_size(factories), 1u);
    EXPECT_EQ(plist_dict_get_size(types), 1u);
    const plist_t listed = plist_dict_get_item(types, kTypeUUID);
    ASSERT_TRUE(listed && plist_get_node_type(listed) == PLIST_ARRAY);
    ASSERT_EQ(plist_array_get_size(listed), 1u);
    char* factoryUUID = nullptr;
    plist_get_string_val(plist_array_get_item(listed, 0), &factoryUUID);
    ASSERT_NE(factoryUUID, nullptr);
    EXPECT_TRUE(plugin_bundle::parseUUID(factoryUUID));
    EXPECT_EQ(stringAt(factories, factoryUUID), "QWV_Create");
    std::free(factoryUUID);
}

TEST(DriverBundle, TheNamedFactoryIsExportedAndMakesOnlyThePlugInType) {
    const auto type =
        plugin_bundle::fromCFUUIDBytes(CFUUIDGetUUIDBytes(kAudioServerPlugInTypeUUID));
    EXPECT_EQ(plugin_bundle::uuidText(type), kTypeUUID);
    std::string error;
    const auto found = plugin_bundle::readPlugInBundle(driver_test::bundlePath(), type, error);
    ASSERT_TRUE(found) << error;
    EXPECT_EQ(found->factoryFunction, "QWV_Create");

    void* module = dlopen(found->executablePath.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << dlerror();
    auto factory =
        reinterpret_cast<driver_test::Factory>(dlsym(module, found->factoryFunction.c_str()));
    ASSERT_NE(factory, nullptr) << found->factoryFunction << " is not exported";
    EXPECT_EQ(factory(nullptr, IUnknownUUID), nullptr);
    EXPECT_NE(factory(nullptr, kAudioServerPlugInTypeUUID), nullptr);
}

}  // namespace
