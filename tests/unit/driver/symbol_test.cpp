// The module exports the factory and nothing else.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>

#include "driver_harness.h"

TEST(DriverExports, OnlyTheFactoryIsExported) {
    const std::string command = std::string("nm -D --defined-only ") + driver_test::modulePath();
    FILE* nm = popen(command.c_str(), "r");
    ASSERT_NE(nm, nullptr);
    std::set<std::string> symbols;
    char line[512];
    while (fgets(line, sizeof line, nm) != nullptr) {
        std::istringstream fields(line);
        std::string address, type, name;
        if (fields >> address >> type >> name) symbols.insert(name);
    }
    ASSERT_EQ(pclose(nm), 0) << command;
    EXPECT_EQ(symbols, (std::set<std::string>{"QWV_Create"}));
}
