// Property listeners: one connection per process on which the server pushes notifications,
// read by a thread of its own that calls the listeners (as the platform calls them on a
// notification thread). After a server restart the listeners are registered again; until then
// the thread tries every half second.
#include <CoreAudio/AudioHardware.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "ipc/protocol.h"
#include "ipc/socket_io.h"

using namespace qwipc;

namespace {

bool addressMatches(const AudioObjectPropertyAddress& wanted,
                    const AudioObjectPropertyAddress& changed) {
    return (wanted.mSelector == kAudioObjectPropertySelectorWildcard ||
            wanted.mSelector == changed.mSelector) &&
           (wanted.mScope == kAudioObjectPropertyScopeWildcard ||
            wanted.mScope == changed.mScope) &&
           (wanted.mElement == kAudioObjectPropertyElementWildcard ||
            wanted.mElement == changed.mElement);
}

class ListenerHub {
  public:
    static ListenerHub& shared() {
        static ListenerHub* hub = new ListenerHub();  // lives as long as the process
        return *hub;
    }

    // Returns once the server has the registration (or could not be reached).
    OSStatus add(AudioObjectID object, const AudioObjectPropertyAddress& address,
                 AudioObjectPropertyListenerProc proc, void* data) {
        std::unique_lock<std::mutex> guard(lock_);
        if (!started_) {
            started_ = true;
            wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
            std::thread(&ListenerHub::threadMain, this).detach();
        }
        entries_.push_back({object, address, proc, data});
        const bool fresh = fd_ < 0;
        ensureConnected();  // a fresh connection registers every entry, this one included
        if (!fresh) send(MsgType::kAddListener, object, address);
        const uint32_t seq = seq_;
        cv_.wait_for(guard, std::chrono::milliseconds(2000),
                     [&] { return fd_ < 0 || answered_ >= seq; });
        return kAudioHardwareNoError;
    }

    OSStatus remove(AudioObjectID object, const AudioObjectPropertyAddress& address,
                    AudioObjectPropertyListenerProc proc, void* data) {
        std::lock_guard<std::mutex> guard(lock_);
        bool removed = false, stillWanted = false;
        for (auto it = entries_.begin(); it != entries_.end();) {
            const bool sameAddress =
                it->object == object && std::memcmp(&it->address, &address, sizeof address) == 0;
            if (!removed && sameAddress && it->proc == proc && it->data == data) {
                it = entries_.erase(it);
                removed = true;
                continue;
            }
            stillWanted = stillWanted || sameAddress;
            ++it;
        }
        if (!removed) return kAudioHardwareIllegalOperationError;
        if (!stillWanted) send(MsgType::kRemoveListener, object, address);
        return kAudioHardwareNoError;
    }

  private:
    struct Entry {
        AudioObjectID object;
        AudioObjectPropertyAddress address;
        AudioObjectPropertyListenerProc proc;
        void* data;
    };

    // With lock_ held. Replies are read by the listener thread, which counts them.
    void send(MsgType type, AudioObjectID object, const AudioObjectPropertyAddress& address) {
        if (fd_ < 0) return;
        ListenerRequest req{{static_cast<uint32_t>(type), ++seq_}, object, address};
        if (!sendMessage(fd_, &req, sizeof req, nullptr, 0, 1000)) {
            shutdown(fd_, SHUT_RDWR);  // the thread notices and starts afresh
        }
    }

    // With lock_ held: connects if not connected and registers every entry.
    void ensureConnected() {
        if (fd_ >= 0) return;
        fd_ = connectTo(serverSocketPath());
        if (fd_ < 0) return;
        for (const Entry& e : entries_) send(MsgType::kAddListener, e.object, e.address);
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = write(wakeFd_, &one, sizeof one);  // poll the new connection
    }

    void dispatch(const Notification& note) {
        std::vector<Entry> targets;
        {
            std::lock_guard<std::mutex> guard(lock_);
            targets = entries_;
        }
        for (const Entry& e : targets) {
            if (e.object != note.objectID) continue;
            AudioObjectPropertyAddress hit[kMaxNotifiedAddresses];
            UInt32 n = 0;
            for (uint32_t i = 0; i < note.count; ++i) {
                if (addressMatches(e.address, note.addresses[i])) hit[n++] = note.addresses[i];
            }
            if (n > 0) e.proc(note.objectID, n, hit, e.data);
        }
    }

    void threadMain() {
        alignas(8) uint8_t buffer[kMaxMessageBytes];
        for (;;) {
            int fd;
            {
                std::lock_guard<std::mutex> guard(lock_);
                ensureConnected();
                fd = fd_;
            }
            pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {fd, POLLIN, 0}};
            if (poll(fds, fd >= 0 ? 2 : 1, fd >= 0 ? -1 : 500) < 0) continue;
            if (fds[0].revents != 0) {
                uint64_t count;
                [[maybe_unused]] ssize_t n = read(wakeFd_, &count, sizeof count);
            }
            if (fd < 0 || fds[1].revents == 0) continue;
            const long n = receiveMessage(fd, buffer, sizeof buffer);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
            if (n < static_cast<long>(sizeof(MsgHeader))) {  // the server has gone
                std::lock_guard<std::mutex> guard(lock_);
                close(fd_);
                fd_ = -1;
                cv_.notify_all();
                continue;
            }
            MsgHeader hdr{};
            std::memcpy(&hdr, buffer, sizeof hdr);
            if (hdr.type == static_cast<uint32_t>(MsgType::kReply)) {
                std::lock_guard<std::mutex> guard(lock_);
                answered_ = hdr.seq;
                cv_.notify_all();
                continue;
            }
            if (hdr.type != static_cast<uint32_t>(MsgType::kNotify) ||
                static_cast<size_t>(n) < offsetof(Notification, addresses)) {
                continue;
            }
            Notification note{};
            std::memcpy(&note, buffer, std::min(sizeof note, static_cast<size_t>(n)));
            const size_t room = (static_cast<size_t>(n) - offsetof(Notification, addresses)) /
                                sizeof(AudioObjectPropertyAddress);
            note.count = static_cast<uint32_t>(std::min<size_t>(note.count, room));
            dispatch(note);
        }
    }

    std::mutex lock_;
    std::condition_variable cv_;
    std::vector<Entry> entries_;
    int fd_ = -1;
    int wakeFd_ = -1;
    uint32_t seq_ = 0;
    uint32_t answered_ = 0;
    bool started_ = false;
};

}  // namespace

OSStatus AudioObjectAddPropertyListener(AudioObjectID inObjectID,
                                        const AudioObjectPropertyAddress* inAddress,
                                        AudioObjectPropertyListenerProc inListener,
                                        void* inClientData) {
    if (inAddress == nullptr || inListener == nullptr) return kAudioHardwareIllegalOperationError;
    return ListenerHub::shared().add(inObjectID, *inAddress, inListener, inClientData);
}

OSStatus AudioObjectRemovePropertyListener(AudioObjectID inObjectID,
                                           const AudioObjectPropertyAddress* inAddress,
                                           AudioObjectPropertyListenerProc inListener,
                                           void* inClientData) {
    if (inAddress == nullptr || inListener == nullptr) return kAudioHardwareIllegalOperationError;
    return ListenerHub::shared().remove(inObjectID, *inAddress, inListener, inClientData);
}
