#pragma once
// Test helper: the number of descriptors this process has open.

#include <dirent.h>

inline int openDescriptorCount() {
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    int count = 0;
    while (::readdir(dir) != nullptr) ++count;
    ::closedir(dir);
    return count;  // includes ".", ".." and the directory's own descriptor, the same every time
}
