// Child processes for the audio server's multi-process tests: each test starts its own server
// on a socket in its own temporary directory and kills only the processes it started.
#pragma once
#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

class Child {
  public:
    Child() = default;
    // Starts QW_BUILD_DIR/<relativePath> with `args`; stdout and stderr go to files in `dir`.
    Child(const std::string& dir, const std::string& name, const std::string& relativePath,
          const std::vector<std::string>& args);
    Child(Child&& other) noexcept;
    Child& operator=(Child&& other) noexcept;
    ~Child();  // kills the process if it still runs

    pid_t pid() const { return pid_; }
    bool running();
    // Waits for the exit status (or -signal); absent on timeout.
    std::optional<int> wait(double seconds);
    void kill(int signal);
    std::string output() const;
    std::string errors() const;
    // Waits until stdout holds `text`; returns the line that holds it, or absent on timeout.
    std::optional<std::string> waitForLine(const std::string& text, double seconds) const;

  private:
    pid_t pid_ = -1;
    std::optional<int> status_;
    std::string out_, err_;
};

// key=value pairs of a summary line.
std::map<std::string, std::string> parseSummary(const std::string& line);

class AudioServerRun {
  public:
    // Temporary directory, socket path in the environment, audioserverd with the behaviour
    // choices given ("rate-change=running cycle-operations=yes"; none: the server's defaults).
    explicit AudioServerRun(const std::string& behaviour = "");
    ~AudioServerRun();
    const std::string& dir() const { return dir_; }
    Child& server() { return server_; }
    Child start(const std::string& name, const std::string& relativePath,
                const std::vector<std::string>& args);
    // Runs qwctl to completion; returns its stdout (status in `status`).
    std::string qwctl(const std::vector<std::string>& args, int* status = nullptr);

  private:
    std::string dir_;
    Child server_;
    int counter_ = 0;
};

inline const char* kServerPath = "platform/audioserver/audioserverd";
inline const char* kPlayPath = "tools/play/qwplay";
inline const char* kCtlPath = "tools/audioctl/qwctl";
inline const char* kProbePath = "tests/integration/capture_probe";
