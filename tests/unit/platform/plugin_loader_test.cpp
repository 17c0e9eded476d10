// Finding a plug-in's factory in its file and loading it; every kind of broken plug-in is
// refused with a reason instead of taking the server down.
#include "plugin_loader.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>

#include "elf_symbols.h"

using namespace audioserver;

namespace {

std::string plugin(const std::string& name) {
    return std::string(QW_TEST_PLUGIN_DIR) + "/" + name + ".so";
}

TEST(ElfSymbolsTest, ListsOnlyTheExportedFunctions) {
    const auto names = exportedFunctions(plugin("fake_good"));
    ASSERT_TRUE(names);
    EXPECT_EQ(findFactorySymbol(*names), "FakeLoopback_Create");
    for (const std::string& n : *names) EXPECT_EQ(n.find("fakeplugin"), std::string::npos) << n;
}

TEST(ElfSymbolsTest, TheFactoryMustBeTheOneExportedCreateFunction) {
    EXPECT_EQ(findFactorySymbol({"A_Create", "B_Create"}), std::nullopt);
    EXPECT_EQ(findFactorySymbol({"_Create", "Create", "A_Created"}), std::nullopt);
    EXPECT_EQ(findFactorySymbol({"x", "QWV_Create", "y"}), "QWV_Create");
    EXPECT_EQ(findFactorySymbol(*exportedFunctions(plugin("fake_two_factories"))), std::nullopt);
    EXPECT_EQ(findFactorySymbol(*exportedFunctions(plugin("fake_no_factory"))), std::nullopt);
}

TEST(ElfSymbolsTest, RejectsFilesThatAreNotWholeElfObjects) {
    char dir[] = "/tmp/qw-elf-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string garbage = std::string(dir) + "/garbage.so";
    std::ofstream(garbage) << "not an ELF file at all";
    EXPECT_FALSE(exportedFunctions(garbage));
    // A truncated plug-in is refused (its section headers come last).
    std::ifstream in(plugin("fake_good"), std::ios::binary);
    const std::string whole((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string cut = std::string(dir) + "/cut.so";
    for (size_t size : {size_t{16}, size_t{64}, size_t{200}, whole.size() / 2, whole.size() - 1}) {
        std::ofstream(cut, std::ios::binary | std::ios::trunc) << whole.substr(0, size);
        EXPECT_FALSE(exportedFunctions(cut)) << size;
    }
    EXPECT_FALSE(exportedFunctions(std::string(dir) + "/missing.so"));
    unlink(garbage.c_str());
    unlink(cut.c_str());
    rmdir(dir);
}

TEST(PlugInLoaderTest, LoadsAGoodPlugIn) {
    std::string error;
    const auto loaded = loadPlugInFile(plugin("fake_good"), error);
    ASSERT_TRUE(loaded) << error;
    EXPECT_EQ(loaded->name, "fake_good.so");
    EXPECT_EQ(loaded->factoryName, "FakeLoopback_Create");
    EXPECT_NE(loaded->driver, nullptr);
    EXPECT_NE(loaded->table().DoIOOperation, nullptr);
}

TEST(PlugInLoaderTest, BrokenPlugInsAreRefusedWithAReason) {
    const std::pair<const char*, const char*> cases[] = {
        {"fake_null_factory", "returned nothing"},
        {"fake_no_factory", "no single exported"},
        {"fake_two_factories", "no single exported"},
        {"fake_no_interface", "no driver interface"},
    };
    for (const auto& [name, reason] : cases) {
        std::string error;
        EXPECT_FALSE(loadPlugInFile(plugin(name), error)) << name;
        EXPECT_NE(error.find(reason), std::string::npos) << name << ": " << error;
    }
}

TEST(PlugInLoaderTest, ListsSharedObjectsInNameOrder) {
    const auto files = listPlugInFiles(QW_TEST_PLUGIN_DIR);
    ASSERT_GE(files.size(), 6u);
    EXPECT_TRUE(std::is_sorted(files.begin(), files.end()));
    EXPECT_TRUE(listPlugInFiles("/nonexistent/dir").empty());
}

}  // namespace
