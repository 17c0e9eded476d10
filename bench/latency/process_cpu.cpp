#include "process_cpu.h"

#include <dirent.h>

#include <fstream>
#include <string>

namespace {

// The first field of /proc/PID/task/TID/schedstat: nanoseconds on a CPU.
int64_t taskNs(const std::string& task) {
    std::ifstream in(task + "/schedstat");
    long long ns = 0;
    in >> ns;
    return ns;
}

}  // namespace

int64_t cpuNsOfTree(pid_t pid) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = ::opendir(tasks.c_str());
    if (dir == nullptr) return 0;
    int64_t total = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        const std::string task = tasks + "/" + entry->d_name;
        total += taskNs(task);
        std::ifstream children(task + "/children");
        for (long child = 0; children >> child;) total += cpuNsOfTree(static_cast<pid_t>(child));
    }
    ::closedir(dir);
    return total;
}
