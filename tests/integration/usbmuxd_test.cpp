// Talks to Debian's real usbmuxd through our own message layer. The service listens at the fixed
// path /var/run/usbmuxd, so the test moves itself into a private mount namespace with a fresh
// tmpfs on /run (/var/run points there) before starting it; the machine's own /run is untouched.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

#include "bridge/usbmux.h"

namespace {

std::string findUsbmuxd() {
    for (const char* path : {"/usr/sbin/usbmuxd", "/sbin/usbmuxd", "/usr/bin/usbmuxd"}) {
        if (::access(path, X_OK) == 0) return path;
    }
    return {};
}

Plist request(const char* type) {
    Plist dict(plist_new_dict());
    plist_dict_set_item(dict.get(), "MessageType", plist_new_string(type));
    plist_dict_set_item(dict.get(), "ClientVersionString", plist_new_string("qwvbridge"));
    plist_dict_set_item(dict.get(), "ProgName", plist_new_string("qwvbridge"));
    return dict;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class RealUsbmuxd : public testing::Test {
  protected:
    void SetUp() override {
        binary = findUsbmuxd();
        ASSERT_FALSE(binary.empty()) << "usbmuxd is not installed (scripts/deps installs it)";
        if (::unshare(CLONE_NEWNS) != 0) {
            if (errno == EPERM || errno == EACCES) {
                GTEST_SKIP() << "mount namespaces are not permitted here (unshare: "
                             << std::strerror(errno) << "); the real usbmuxd test needs one";
            }
            FAIL() << "unshare(CLONE_NEWNS): " << std::strerror(errno);
        }
        // Keep every mount below private to this process, then give it its own /run.
        ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0)
            << std::strerror(errno);
        if (::mount("tmpfs", "/run", "tmpfs", 0, "mode=0755,size=4m") != 0) {
            if (errno == EPERM || errno == EACCES) {
                GTEST_SKIP() << "mounting a tmpfs on /run is not permitted here: "
                             << std::strerror(errno);
            }
            FAIL() << "mount tmpfs on /run: " << std::strerror(errno);
        }
        runMounted = true;
        ASSERT_NE(::access(kUsbmuxdPath, F_OK), 0) << "/run is not fresh";

        char pattern[] = "/tmp/qw-usbmuxd-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        tempDir = pattern;
        logPath = tempDir + "/usbmuxd.log";
        startService();
    }

    void startService() {
        const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(log, 0);
        pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::dup2(log, STDOUT_FILENO);
            ::dup2(log, STDERR_FILENO);
            const char* argv[] = {"usbmuxd", "-f", "-U", "root", "-n", "-p", nullptr};
            ::execv(binary.c_str(), const_cast<char* const*>(argv));
            ::_exit(127);
        }
        ::close(log);
        // Wait until it answers at the fixed path (or has died).
        for (int i = 0; i < 200; ++i) {
            const int fd = connectUsbmuxd();
            if (fd >= 0) {
                ::close(fd);
                return;
            }
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                FAIL() << "usbmuxd exited early; its log:\n" << readFile(logPath);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        FAIL() << "usbmuxd did not listen at " << kUsbmuxdPath << " within 10 s; its log:\n"
               << readFile(logPath);
    }

    // Stops the service we started, and only that one: SIGTERM, then SIGKILL after 5 s.
    void stopService() {
        if (pid <= 0) return;
        ::kill(pid, SIGTERM);
        for (int i = 0; i < 100; ++i) {
            if (::waitpid(pid, nullptr, WNOHANG) == pid) {
                pid = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        pid = -1;
    }

    void TearDown() override {
        stopService();
        if (runMounted) ::umount2("/run", MNT_DETACH);
        if (!tempDir.empty()) {
            if (HasFailure()) std::cout << "usbmuxd log:\n" << readFile(logPath);
            ::unlink(logPath.c_str());
            ::rmdir(tempDir.c_str());
        }
    }

    std::string binary;
    std::string tempDir;
    std::string logPath;
    pid_t pid = -1;
    bool runMounted = false;
};

TEST_F(RealUsbmuxd, ListsNoDevicesAndRefusesAConnectToAMissingOne) {
    {
        const int fd = connectUsbmuxd();
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(usbmuxSend(fd, request("ListDevices").get(), 1));
        Plist reply = usbmuxRecv(fd);
        ::close(fd);
        ASSERT_TRUE(reply) << "no parsable reply to ListDevices";
        plist_t list = plist_dict_get_item(reply.get(), "DeviceList");
        ASSERT_NE(list, nullptr) << "reply has no DeviceList";
        ASSERT_EQ(plist_get_node_type(list), PLIST_ARRAY);
        EXPECT_EQ(plist_array_get_size(list), 0u);  // hot-plug is off and there is no phone
    }
    {
        const int fd = connectUsbmuxd();
        ASSERT_GE(fd, 0);
        Plist connect = request("Connect");
        plist_dict_set_item(connect.get(), "DeviceID", plist_new_uint(424242));
        plist_dict_set_item(connect.get(), "PortNumber", plist_new_uint(22555));  // port 7000
        ASSERT_TRUE(usbmuxSend(fd, connect.get(), 2));
        Plist reply = usbmuxRecv(fd);
        ::close(fd);
        ASSERT_TRUE(reply) << "no parsable reply to Connect";
        plist_t number = plist_dict_get_item(reply.get(), "Number");
        ASSERT_NE(number, nullptr) << "reply has no Number";
        ASSERT_EQ(plist_get_node_type(number), PLIST_UINT);
        uint64_t value = 0;
        plist_get_uint_val(number, &value);
        std::cout << "usbmuxd refused the connect with Number " << value << "\n";
        EXPECT_NE(value, 0u) << "a connect to a device that does not exist was accepted";
    }
}

TEST_F(RealUsbmuxd, ConnectFailsCleanlyOnceTheServiceHasGone) {
    stopService();
    int before = 0;
    for (int i = 0; i < 2; ++i) {  // the second round must not open more than the first
        const int fd = connectUsbmuxd();
        EXPECT_EQ(fd, -1);
        const int probe = ::dup(0);
        if (i == 0) before = probe;
        EXPECT_EQ(probe, before) << "a descriptor was left open";
        ::close(probe);
    }
}

}  // namespace
