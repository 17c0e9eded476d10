#include "proc_sampler.h"

#include <dirent.h>

#include <algorithm>
#include <fstream>
#include <string>

std::optional<ProcSample> sampleProcess(pid_t pid, double at) {
    const std::string base = "/proc/" + std::to_string(pid);
    ProcSample s;
    s.at = at;
    DIR* dir = ::opendir((base + "/fd").c_str());
    if (dir == nullptr) return std::nullopt;
    while (const dirent* e = ::readdir(dir)) {
        if (e->d_name[0] != '.') ++s.fds;
    }
    ::closedir(dir);
    std::ifstream status(base + "/status");
    bool haveThreads = false, haveRss = false;
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("Threads:", 0) == 0) {
            s.threads = std::stoll(line.substr(8));
            haveThreads = true;
        } else if (line.rfind("VmRSS:", 0) == 0) {
            s.rssKiB = std::stoll(line.substr(6));
            haveRss = true;
        }
    }
    if (!haveThreads || !haveRss) return std::nullopt;
    return s;
}

bool runsUnderSanitizer(pid_t pid) {
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    for (std::string line; std::getline(maps, line);) {
        if (line.find("libasan") != std::string::npos ||
            line.find("libtsan") != std::string::npos) {
            return true;
        }
    }
    return false;
}

Growth growthAfter(const std::vector<ProcSample>& samples, double warmUpEnd,
                   int64_t ProcSample::*field) {
    Growth g;
    for (const ProcSample& s : samples) {
        if (s.at < warmUpEnd) continue;
        const int64_t v = s.*field;
        if (!g.valid) {
            g.first = g.min = g.max = v;
            g.valid = true;
        }
        g.min = std::min(g.min, v);
        g.max = std::max(g.max, v);
        g.last = v;
    }
    return g;
}
