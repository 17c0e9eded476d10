#pragma once
// Test helper: a child process started by the test, with its standard output and error going
// to a log file the test can search, and optionally a pipe to its standard input. The destructor
// ends it (SIGTERM, then SIGKILL after 3 s) and reaps it; only this PID is ever signalled.

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

class ChildProcess {
  public:
    ChildProcess(const std::vector<std::string>& argv, std::string logFile, bool withStdin = false)
        : logPath(std::move(logFile)) {
        // Standard input is one end of a socket pair, so writing to a child that has gone
        // fails (MSG_NOSIGNAL) instead of raising SIGPIPE in the test.
        int input[2] = {-1, -1};
        if (withStdin && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, input) != 0) return;
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        pid = ::fork();
        if (pid == 0) {
            // The test runner may have started us with descriptors 0-2 closed, so the new ones
            // are moved above 2 before they are put in place.
            int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            int in = withStdin ? input[1] : ::open("/dev/null", O_RDONLY);
            if (log < 0 || in < 0) ::_exit(126);
            log = ::fcntl(log, F_DUPFD, 3);
            in = ::fcntl(in, F_DUPFD, 3);
            if (::dup2(in, STDIN_FILENO) < 0 || ::dup2(log, STDOUT_FILENO) < 0 ||
                ::dup2(log, STDERR_FILENO) < 0) {
                ::_exit(126);
            }
            ::signal(SIGPIPE, SIG_DFL);
            ::execv(args[0], args.data());
            ::_exit(127);
        }
        if (withStdin) {
            ::close(input[1]);
            stdinFd = input[0];
        }
    }
    ~ChildProcess() { stop(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid > 0; }
    pid_t id() const { return pid; }

    // Writes bytes to the child's standard input.
    void sendBytes(const std::string& bytes) {
        if (stdinFd >= 0) ::send(stdinFd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }

    // Writes a line to the child's standard input.
    void sendLine(const std::string& line) {
        std::string text = line + "\n";
        if (stdinFd >= 0) ::send(stdinFd, text.data(), text.size(), MSG_NOSIGNAL);
    }

    // Ends the child (if still running) and returns its wait status.
    int stop() {
        if (stdinFd >= 0) ::close(stdinFd);
        stdinFd = -1;
        if (pid <= 0) return status;
        ::kill(pid, SIGTERM);
        for (int i = 0; i < 300; ++i) {
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return status;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        pid = -1;
        return status;
    }

    // Waits up to `timeout` for the child to exit by itself; its wait status, or -1 if it is
    // still running (it is then left running).
    int waitExit(std::chrono::milliseconds timeout) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (pid > 0 && std::chrono::steady_clock::now() < end) {
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return status;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return pid > 0 ? -1 : status;
    }

    std::string output() const {
        std::ifstream in(logPath);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    std::vector<std::string> lines() const {
        std::vector<std::string> result;
        std::istringstream in(output());
        for (std::string line; std::getline(in, line);) result.push_back(line);
        return result;
    }

    int countLines(const std::string& needle) const {
        int n = 0;
        for (const auto& line : lines()) n += line.find(needle) != std::string::npos;
        return n;
    }

    // Polls the output until `done` holds or `timeout` passes; returns whether it held.
    bool waitFor(const std::function<bool(const ChildProcess&)>& done,
                 std::chrono::milliseconds timeout) const {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (!done(*this)) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }

    bool waitForLines(const std::string& needle, int count,
                      std::chrono::milliseconds timeout) const {
        return waitFor([&](const ChildProcess& c) { return c.countLines(needle) >= count; },
                       timeout);
    }

  private:
    std::string logPath;
    pid_t pid = -1;
    int stdinFd = -1;
    int status = 0;
};

// A fresh directory under /tmp, removed with its files when the object goes.
class TempDir {
  public:
    TempDir() {
        char pattern[] = "/tmp/qw-test-XXXXXX";
        if (::mkdtemp(pattern)) path = pattern;
    }
    ~TempDir() {
        if (!path.empty() && std::system(("rm -rf '" + path + "'").c_str()) != 0) path.clear();
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string file(const std::string& name) const { return path + "/" + name; }
    std::string path;
};

// A binary of this build, found through QW_BUILD_DIR.
inline std::string buildBinary(const std::string& relative) {
    const char* dir = std::getenv("QW_BUILD_DIR");
    return std::string(dir ? dir : ".") + "/" + relative;
}
