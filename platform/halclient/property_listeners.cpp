// Property listeners: one connection per process on which the server pushes notifications,
// read by a thread of its own that calls the listeners (as the platform calls them on a
// notification thread). After a server restart the listeners are registered again.
#include <CoreAudio/AudioHardware.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

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

    OSStatus add(AudioObjectID object, const AudioObjectPropertyAddress& address,
                 AudioObjectPropertyListenerProc proc, void* data) {
        std::lock_guard<std::mutex> guard(lock_);
        if (!started_) {
            started_ = true;
            std::thread(&ListenerHub::threadMain, this).detach();
        }
        entries_.push_back({object, address, proc, data});
        send(MsgType::kAddListener, object, address);
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

    // Called with lock_ held. The reply is read (and dropped) by the listener thread.
    void send(MsgType type, AudioObjectID object, const AudioObjectPropertyAddress& address) {
        if (fd_ < 0) return;
        ListenerRequest req{{static_cast<uint32_t>(type), 0}, object, address};
        if (!sendMessage(fd_, &req, sizeof req, nullptr, 0, 1000)) {
            shutdown(fd_, SHUT_RDWR);  // the thread notices and reconnects
        }
    }

    void connectAndRegister() {
        std::lock_guard<std::mutex> guard(lock_);
        fd_ = connectTo(serverSocketPath());
        for (const Entry& e : entries_) send(MsgType::kAddListener, e.object, e.address);
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
            connectAndRegister();
            if (fd_ < 0) {
                usleep(500000);
                continue;
            }
            for (;;) {
                if (!waitReadable(fd_, 60000)) continue;
                const long n = receiveMessage(fd_, buffer, sizeof buffer);
                if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
                if (n <= 0) break;
                MsgHeader hdr{};
                std::memcpy(&hdr, buffer, sizeof hdr);
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
            std::lock_guard<std::mutex> guard(lock_);
            close(fd_);
            fd_ = -1;
        }
    }

    std::mutex lock_;
    std::vector<Entry> entries_;
    int fd_ = -1;
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
