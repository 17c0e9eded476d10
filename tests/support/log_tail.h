#pragma once
// Test helper: follows a log file that a child process (ChildProcess) appends to, and hands out
// each complete line once, as it appears. Callers poll it often and stamp the lines with the
// time they saw them; a line is never split or returned twice, and a partial last line waits
// for its newline.

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

class LogTail {
  public:
    explicit LogTail(std::string file) : path(std::move(file)) {}
    ~LogTail() {
        if (fd >= 0) ::close(fd);
    }
    LogTail(const LogTail&) = delete;
    LogTail& operator=(const LogTail&) = delete;

    // The lines completed since the last call, oldest first.
    std::vector<std::string> newLines() {
        std::vector<std::string> lines;
        if (fd < 0) fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return lines;
        char chunk[65536];
        for (;;) {
            const ssize_t n = ::read(fd, chunk, sizeof chunk);
            if (n <= 0) break;
            partial.append(chunk, static_cast<size_t>(n));
        }
        size_t start = 0;
        for (size_t end; (end = partial.find('\n', start)) != std::string::npos; start = end + 1) {
            lines.push_back(partial.substr(start, end - start));
        }
        partial.erase(0, start);
        return lines;
    }

  private:
    std::string path;
    std::string partial;
    int fd = -1;
};
