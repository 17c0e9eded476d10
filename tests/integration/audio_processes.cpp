#include "audio_processes.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace {

std::string buildDir() {
    const char* dir = std::getenv("QW_BUILD_DIR");
    return dir != nullptr ? dir : ".";
}

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

Child::Child(const std::string& dir, const std::string& name, const std::string& relativePath,
             const std::vector<std::string>& args)
    : out_(dir + "/" + name + ".out"), err_(dir + "/" + name + ".err") {
    const std::string program = buildDir() + "/" + relativePath;
    std::vector<std::string> all{program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0)
        pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
}

Child::Child(Child&& other) noexcept {
    *this = std::move(other);
}

Child& Child::operator=(Child&& other) noexcept {
    if (this != &other) {
        if (pid_ > 0 && !status_) {
            ::kill(pid_, SIGKILL);
            wait(5);
        }
        pid_ = other.pid_;
        status_ = other.status_;
        out_ = std::move(other.out_);
        err_ = std::move(other.err_);
        other.pid_ = -1;
    }
    return *this;
}

Child::~Child() {
    if (pid_ > 0 && !status_) {
        ::kill(pid_, SIGKILL);
        wait(5);
    }
}

bool Child::running() {
    if (pid_ <= 0 || status_) return false;
    int raw = 0;
    const pid_t r = waitpid(pid_, &raw, WNOHANG);
    if (r == pid_) {
        status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : -WTERMSIG(raw);
        return false;
    }
    return true;
}

std::optional<int> Child::wait(double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (running()) {
        if (std::chrono::steady_clock::now() > end) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return status_;
}

void Child::kill(int signal) {
    if (pid_ > 0 && !status_) ::kill(pid_, signal);
}

std::string Child::output() const {
    return slurp(out_);
}

std::string Child::errors() const {
    return slurp(err_);
}

std::optional<std::string> Child::waitForLine(const std::string& text, double seconds) const {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        std::istringstream lines(output());
        std::string line;
        while (std::getline(lines, line)) {
            if (line.find(text) != std::string::npos) return line;
        }
        if (std::chrono::steady_clock::now() > end) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::map<std::string, std::string> parseSummary(const std::string& line) {
    std::map<std::string, std::string> values;
    std::istringstream words(line);
    std::string word;
    while (words >> word) {
        const auto eq = word.find('=');
        if (eq != std::string::npos) values[word.substr(0, eq)] = word.substr(eq + 1);
    }
    return values;
}

AudioServerRun::AudioServerRun(const std::string& behaviour) {
    char dir[] = "/tmp/qw-audio-it-XXXXXX";
    dir_ = mkdtemp(dir) != nullptr ? dir : "/tmp";
    setenv("QW_AUDIO_SERVER_SOCKET", (dir_ + "/audio.sock").c_str(), 1);
    std::vector<std::string> args{"--plugins", buildDir() + "/plugins"};
    std::istringstream choices(behaviour);
    for (std::string choice; choices >> choice;) args.push_back("--" + choice);
    server_ = Child(dir_, "audioserverd", kServerPath, args);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (access((dir_ + "/audio.sock").c_str(), F_OK) != 0 &&
           std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

AudioServerRun::~AudioServerRun() {
    server_.kill(SIGTERM);
    // A clean exit: no sanitizer report, nothing left running.
    EXPECT_EQ(server_.wait(10), 0) << server_.errors();
    // And no rule of the platform broken by the driver.
    std::istringstream log(server_.errors());
    for (std::string line; std::getline(log, line);) {
        if (line.find("VIOLATION") != std::string::npos) ADD_FAILURE() << line;
    }
    std::error_code ignored;
    if (dir_.rfind("/tmp/qw-audio-it-", 0) == 0) std::filesystem::remove_all(dir_, ignored);
}

Child AudioServerRun::start(const std::string& name, const std::string& relativePath,
                            const std::vector<std::string>& args) {
    return Child(dir_, name + std::to_string(++counter_), relativePath, args);
}

std::string AudioServerRun::qwctl(const std::vector<std::string>& args, int* status) {
    Child ctl = start("qwctl", kCtlPath, args);
    const auto rc = ctl.wait(10);
    if (status != nullptr) *status = rc.value_or(-1000);
    return ctl.output();
}
