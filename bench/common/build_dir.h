// Where the programs of a build tree are, for the bench programs that start them.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <string>

// QW_BUILD_DIR if set, else the build tree this program was built in (<build>/bench/<name>/x).
inline std::string defaultBuildDir() {
    if (const char* env = std::getenv("QW_BUILD_DIR"); env != nullptr && env[0] != '\0') {
        return env;
    }
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return ".";
    std::string exe(self, static_cast<size_t>(n));
    for (int up = 0; up < 3; ++up) exe = exe.substr(0, exe.rfind('/'));
    return exe;
}
