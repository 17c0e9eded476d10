#pragma once
// Test helper: moves the calling thread (and every thread and process it starts afterwards) into
// private mount and network namespaces. Inside, /run (and so /var/run) is a fresh tmpfs, which
// frees the fixed path /var/run/usbmuxd, and the network has only its own loopback, which frees
// the fixed port 7000. The machine's own /run and network are untouched. Call it at the start of
// a test, before starting any thread or child process.

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

// Returns "" on success, otherwise why it failed. `permissionDenied` tells a missing privilege
// (the caller may skip) from a real failure.
inline std::string enterPrivateNamespaces(bool* permissionDenied = nullptr) {
    auto failed = [permissionDenied](const char* what) {
        if (permissionDenied) *permissionDenied = errno == EPERM || errno == EACCES;
        return std::string(what) + ": " + std::strerror(errno);
    };
    if (::unshare(CLONE_NEWNS | CLONE_NEWNET) != 0) return failed("unshare");
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return failed("making mounts private");
    }
    if (::mount("tmpfs", "/run", "tmpfs", 0, "mode=0755,size=4m") != 0) {
        return failed("mounting a tmpfs on /run");
    }
    // A new network namespace starts with its loopback interface down.
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return failed("socket");
    ifreq request = {};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    up = up && ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    std::string result = up ? "" : failed("bringing up lo");
    ::close(fd);
    return result;
}
