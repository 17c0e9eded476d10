// Finding plug-in bundles and loading them through their Info.plist, as the platform's audio
// server does; every kind of broken bundle is refused with a one-line reason instead of taking
// the server down.
#include "plugin_loader.h"

#include <gtest/gtest.h>
#include <plist/plist.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>

using namespace audioserver;

namespace {

constexpr const char* kType = "443ABAB8-E7B3-491A-B985-BEB9187030DB";
constexpr const char* kFactory = "7D0C5A1E-3B2F-4C6D-9E8A-1F2B3C4D5E6F";

std::string builtBundle(const std::string& name) {
    return std::string(QW_TEST_PLUGIN_DIR) + "/" + name + ".driver";
}

// What an Info.plist says; each field becomes the corresponding key.
struct Info {
    std::string executable = "fake_good";
    std::string type = kType;
    std::vector<std::string> listed = {kFactory};
    std::map<std::string, std::string> factories = {{kFactory, "FakeLoopback_Create"}};
};

std::string xml(const Info& info) {
    std::string s = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>";
    s += "<key>CFBundleExecutable</key><string>" + info.executable + "</string>";
    s += "<key>CFPlugInFactories</key><dict>";
    for (const auto& [uuid, function] : info.factories) {
        s += "<key>" + uuid + "</key><string>" + function + "</string>";
    }
    s += "</dict><key>CFPlugInTypes</key><dict><key>" + info.type + "</key><array>";
    for (const auto& uuid : info.listed) s += "<string>" + uuid + "</string>";
    return s + "</array></dict></dict></plist>\n";
}

std::string binary(const std::string& text) {
    plist_t parsed = nullptr;
    plist_from_xml(text.data(), static_cast<uint32_t>(text.size()), &parsed);
    char* bin = nullptr;
    uint32_t size = 0;
    plist_to_bin(parsed, &bin, &size);
    std::string out(bin, size);
    plist_to_bin_free(bin);
    plist_free(parsed);
    return out;
}

// Bundles made by a test in a temporary directory; the executable is the built fake_good's.
class BundleDir {
  public:
    BundleDir() {
        char tmpl[] = "/tmp/qw-bundles-XXXXXX";
        path_ = mkdtemp(tmpl) != nullptr ? tmpl : "";
    }
    ~BundleDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
    const std::string& path() const { return path_; }

    // NAME.driver with `plist` as its Info.plist (none if absent).
    std::string add(const std::string& name, const std::optional<std::string>& plist) {
        const std::string bundle = path_ + "/" + name + ".driver";
        mkdir(bundle.c_str(), 0755);
        mkdir((bundle + "/Contents").c_str(), 0755);
        mkdir((bundle + "/Contents/MacOS").c_str(), 0755);
        const std::string exe = builtBundle("fake_good") + "/Contents/MacOS/fake_good";
        symlink(exe.c_str(), (bundle + "/Contents/MacOS/fake_good").c_str());
        if (plist) std::ofstream(bundle + "/Contents/Info.plist", std::ios::binary) << *plist;
        return bundle;
    }

  private:
    std::string path_;
};

TEST(PlugInLoaderTest, LoadsABundleThroughItsInfoPlist) {
    std::string error;
    const auto loaded = loadPlugInBundle(builtBundle("fake_good"), error);
    ASSERT_TRUE(loaded) << error;
    EXPECT_EQ(loaded->name, "fake_good.driver");
    EXPECT_EQ(loaded->factoryName, "FakeLoopback_Create");
    EXPECT_NE(loaded->driver, nullptr);
    EXPECT_NE(loaded->table().DoIOOperation, nullptr);

    // A binary Info.plist, UUIDs in lower case, and a type that lists an unregistered factory
    // before the registered one all load the same.
    BundleDir dir;
    Info info;
    info.type = "443abab8-e7b3-491a-b985-beb9187030db";
    info.listed = {"00000000-1111-2222-3333-444444444444", "7d0c5a1e-3b2f-4c6d-9e8a-1f2b3c4d5e6f"};
    for (const std::string& plist : {xml(info), binary(xml(info))}) {
        const std::string bundle = dir.add(plist[0] == '<' ? "xml" : "binary", plist);
        const auto again = loadPlugInBundle(bundle, error);
        ASSERT_TRUE(again) << bundle << ": " << error;
        EXPECT_EQ(again->factoryName, "FakeLoopback_Create");
    }
}

TEST(PlugInLoaderTest, BrokenBundlesAreRefusedWithAOneLineReason) {
    BundleDir dir;
    Info otherType, unregistered, missingFunction, escaping, absent, badName, controlName;
    otherType.type = "00000000-0000-0000-C000-000000000046";
    unregistered.factories = {{"00000000-1111-2222-3333-444444444444", "FakeLoopback_Create"}};
    missingFunction.factories[kFactory] = "Missing_Create";
    escaping.executable = "../MacOS/fake_good";
    absent.executable = "not_there";
    badName.factories[kFactory] = "Fake\nLoopback_Create";
    controlName.executable = "fake_good\x1b[2J";
    std::string malformedUUID = xml(Info{});
    malformedUUID.replace(malformedUUID.find(kType), 4, "443G");
    const std::pair<std::string, std::string> cases[] = {
        {dir.add("no_plist", std::nullopt), "no readable Contents/Info.plist"},
        {dir.add("truncated", xml(Info{}).substr(0, 120)), "Info.plist is malformed"},
        {dir.add("not_a_dict", "<plist><array/></plist>"), "Info.plist is malformed"},
        {dir.add("nul_byte", std::string("<plist>\0</plist>", 16)), "Info.plist is malformed"},
        {dir.add("huge", std::string(300 * 1024, ' ')), "Info.plist is malformed"},
        {dir.add("escaping", xml(escaping)), "Info.plist is malformed"},
        {dir.add("other_type", xml(otherType)),
         "registers no factory for plug-in type 443ABAB8-E7B3-491A-B985-BEB9187030DB"},
        {dir.add("bad_uuid", malformedUUID), "registers no factory for plug-in type"},
        {dir.add("unregistered", xml(unregistered)), "registers no factory for plug-in type"},
        {dir.add("bad_name", xml(badName)), "registers no factory for plug-in type"},
        {dir.add("control_name", xml(controlName)), "Info.plist is malformed"},
        {dir.add("missing_function", xml(missingFunction)),
         "factory function Missing_Create not found in Contents/MacOS/fake_good"},
        {dir.add("absent", xml(absent)), "Contents/MacOS/not_there cannot be loaded"},
        {builtBundle("fake_null_factory"), "the factory returned nothing"},
        {builtBundle("fake_no_interface"), "no driver interface"},
    };
    for (const auto& [bundle, reason] : cases) {
        std::string error;
        EXPECT_FALSE(loadPlugInBundle(bundle, error)) << bundle;
        EXPECT_NE(error.find(reason), std::string::npos) << bundle << ": " << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << bundle << ": " << error;
    }
}

TEST(PlugInLoaderTest, ListsBundleDirectoriesInNameOrder) {
    const auto bundles = listPlugInBundles(QW_TEST_PLUGIN_DIR);
    ASSERT_EQ(bundles.size(), 4u);
    EXPECT_TRUE(std::is_sorted(bundles.begin(), bundles.end()));
    EXPECT_EQ(bundles.front(), builtBundle("fake_good"));

    BundleDir dir;
    dir.add("b", std::nullopt);
    dir.add("a", std::nullopt);
    std::ofstream(dir.path() + "/file.driver") << "a file, not a bundle";
    mkdir((dir.path() + "/other.bundle").c_str(), 0755);
    mkdir((dir.path() + "/.driver").c_str(), 0755);
    EXPECT_EQ(listPlugInBundles(dir.path()),
              (std::vector<std::string>{dir.path() + "/a.driver", dir.path() + "/b.driver"}));
    EXPECT_TRUE(listPlugInBundles("/nonexistent/dir").empty());
}

}  // namespace
