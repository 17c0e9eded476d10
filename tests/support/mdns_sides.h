#pragma once
// Test helper: a small local network for mDNS. Each NetworkSide is a process holding its own
// network, mount and host-name (UTS) namespaces, with /run a fresh tmpfs there (avahi-daemon and
// the system bus use fixed paths under it). Two sides are joined by a veth pair; the addresses
// are set on that pair only. A side can run a private system bus (dbus-daemon) and avahi-daemon,
// and runs any program inside its namespaces through nsenter. DBUS_SYSTEM_BUS_ADDRESS points at
// /run/dbus/system_bus_socket, which each side has for itself.
//
// The caller should be in private namespaces already (private_namespaces.h), so nothing ever
// appears in the machine's own network even if a step fails half-way.

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "child_process.h"

inline constexpr const char* kVethName = "qwv0";

// Runs argv to completion (output to `log`); true on exit status 0.
inline bool runCommand(const std::vector<std::string>& argv, const std::string& log) {
    ChildProcess child(argv, log);
    return child.waitExit(std::chrono::seconds(10)) == 0;
}

class NetworkSide {
  public:
    NetworkSide(const std::string& hostName, const std::string& dir) : dir_(dir) {
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/run/dbus/system_bus_socket", 1);
        int ready[2] = {-1, -1};
        if (::pipe2(ready, O_CLOEXEC) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) holdNamespaces(hostName, ready[1]);
        ::close(ready[1]);
        char byte = 0;
        ok_ = pid_ > 0 && ::read(ready[0], &byte, 1) == 1;  // EOF: the holder failed
        ::close(ready[0]);
    }
    ~NetworkSide() {
        avahi_.reset();
        dbus_.reset();
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    NetworkSide(const NetworkSide&) = delete;
    NetworkSide& operator=(const NetworkSide&) = delete;

    // `argv` run inside this side's namespaces.
    std::vector<std::string> inside(const std::vector<std::string>& argv) const {
        std::vector<std::string> all{
            "/usr/bin/nsenter", "-t", std::to_string(pid_), "-n", "-m", "-u", "--"};
        all.insert(all.end(), argv.begin(), argv.end());
        return all;
    }
    bool run(const std::vector<std::string>& argv) const {
        return runCommand(inside(argv), dir_ + "/commands.log");
    }
    std::string commandLog() const {
        std::ifstream in(dir_ + "/commands.log");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    // Sets `cidr` on this side's end of the veth pair, in place of any address it had.
    bool setAddress(const std::string& cidr) const {
        return run({"/usr/sbin/ip", "address", "flush", "dev", kVethName}) &&
               run({"/usr/sbin/ip", "address", "add", cidr, "dev", kVethName}) &&
               run({"/usr/sbin/ip", "link", "set", kVethName, "up"}) &&
               run({"/usr/sbin/ip", "link", "set", "lo", "up"});
    }

    // A private system bus; true once it listens.
    bool startBus() {
        writeConfigs();
        dbus_ = std::make_unique<ChildProcess>(
            inside({"/usr/bin/dbus-daemon", "--config-file=" + dir_ + "/bus.conf", "--nofork",
                    "--nopidfile"}),
            dir_ + "/dbus.log");
        return run({"/bin/sh", "-c",
                    "for i in $(seq 500); do [ -S /run/dbus/system_bus_socket ] && exit 0; "
                    "sleep 0.01; done; exit 1"});
    }

    // The private system bus, then avahi-daemon on the veth end; true once avahi-daemon runs.
    bool startAvahi() {
        if (!dbus_ && !startBus()) return false;
        avahi_ = std::make_unique<ChildProcess>(
            inside({"/usr/sbin/avahi-daemon", "-f", dir_ + "/avahi.conf", "--no-drop-root",
                    "--no-chroot", "--no-rlimits"}),
            dir_ + "/avahi.log");
        return avahi_->waitForLines("Server startup complete", 1, std::chrono::seconds(20));
    }
    void stopAvahi() { avahi_.reset(); }
    std::string avahiLog() const { return avahi_ ? avahi_->output() : ""; }

    pid_t holder() const { return pid_; }
    bool ready() const { return ok_; }

  private:
    [[noreturn]] static void holdNamespaces(const std::string& hostName, int readyFd) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        const bool ok = ::unshare(CLONE_NEWNET | CLONE_NEWNS | CLONE_NEWUTS) == 0 &&
                        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                        ::mount("tmpfs", "/run", "tmpfs", 0, "mode=0755,size=4m") == 0 &&
                        ::mkdir("/run/dbus", 0755) == 0 &&
                        ::sethostname(hostName.c_str(), hostName.size()) == 0;
        if (!ok || ::write(readyFd, "r", 1) != 1) ::_exit(1);
        for (;;) ::pause();
    }

    void writeConfigs() const {
        std::ofstream(dir_ + "/bus.conf")
            << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\""
               " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
               "<busconfig><type>system</type>"
               "<listen>unix:path=/run/dbus/system_bus_socket</listen><auth>EXTERNAL</auth>"
               "<policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/>"
               "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/></policy>"
               "</busconfig>\n";
        std::ofstream(dir_ + "/avahi.conf")
            << "[server]\nuse-ipv4=yes\nuse-ipv6=no\nallow-interfaces=" << kVethName
            << "\nenable-dbus=yes\n[publish]\npublish-hinfo=no\npublish-workstation=no\n";
    }

    std::string dir_;
    pid_t pid_ = -1;
    bool ok_ = false;
    std::unique_ptr<ChildProcess> dbus_;
    std::unique_ptr<ChildProcess> avahi_;
};

// Joins two sides with a veth pair (one end, named kVethName, in each).
inline bool joinSides(const NetworkSide& a, const NetworkSide& b, const std::string& log) {
    return runCommand(
        {"/usr/sbin/ip", "link", "add", kVethName, "netns", std::to_string(a.holder()), "type",
         "veth", "peer", "name", kVethName, "netns", std::to_string(b.holder())},
        log);
}
