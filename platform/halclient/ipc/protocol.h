// Messages between the audio server and its clients. Control messages travel on a UNIX
// SOCK_SEQPACKET socket (one message per packet); audio travels through a shared-memory session
// (session_shared.h) whose descriptors ride along with the reply that opens it.
#pragma once
#include <CoreAudio/AudioHardwareBase.h>
#include <standin/audio_server.h>

#include <cstdint>
#include <string>

namespace qwipc {

// Where the server listens: the one setting of the platform's audio system.
inline constexpr const char* kSocketEnv = "QW_AUDIO_SERVER_SOCKET";
inline constexpr const char* kDefaultSocketPath = "/tmp/quillwave-audioserver.sock";
std::string serverSocketPath();

inline constexpr uint32_t kMaxPropertyBytes = 4096;  // largest property value carried
inline constexpr uint32_t kMaxQualifierBytes = 1024;
inline constexpr uint32_t kMaxMessageBytes = 8192;
inline constexpr uint32_t kMaxNotifiedAddresses = 64;

enum class MsgType : uint32_t {
    kGetPropertyDataSize = 1,
    kGetPropertyData = 2,
    kSetPropertyData = 3,
    kHasProperty = 4,
    kIsPropertySettable = 5,
    kAddListener = 6,
    kRemoveListener = 7,
    kStartSession = 8,
    kStats = 9,
    kReply = 0x100,
    kNotify = 0x101,        // server to listener: properties changed
    kSessionEvent = 0x102,  // server to session owner: see SessionEventKind
};

// How a qualifier or a value crosses the process boundary. CFString values travel as UTF-8 and
// are re-created on the other side.
enum ValueKind : uint32_t { kRawValue = 0, kStringValue = 1, kNullString = 2 };

struct MsgHeader {
    uint32_t type;
    uint32_t seq;  // a reply carries the sequence number of its request
};

// Every property request; followed by qualifierSize bytes of qualifier, then dataSize bytes of
// data: for a set, and for a get of a property that converts the value in the caller's buffer
// (carriesCallerData).
struct PropertyRequest {
    MsgHeader hdr;
    uint32_t objectID;
    AudioObjectPropertyAddress address;
    int32_t pid;
    uint32_t qualifierKind;
    uint32_t qualifierSize;
    uint32_t dataKind;
    uint32_t dataSize;  // get: the caller's buffer size; set: the bytes that follow
};

// Every reply; followed by size bytes of data for kGetPropertyData. For kGetPropertyDataSize
// `size` is the answer; for kHasProperty and kIsPropertySettable `size` is 0 or 1.
struct PropertyReply {
    MsgHeader hdr;
    int32_t status;
    uint32_t kind;
    uint32_t size;
};

enum SessionDirection : uint32_t { kSessionInput = 1, kSessionOutput = 2 };

struct StartSessionRequest {
    MsgHeader hdr;
    uint32_t deviceID;
    uint32_t directions;  // SessionDirection bits
    int32_t pid;
    uint32_t reserved;
};

// Carries two descriptors on success: the shared memory (memfd) and the wake-up eventfd.
struct StartSessionReply {
    MsgHeader hdr;
    int32_t status;
    uint32_t reserved;
    uint64_t sharedBytes;
};

enum SessionEventKind : uint32_t {
    kIOStarted = 1,   // the device's IO cycle (re)started; sample times begin afresh
    kIOStopped = 2,   // the IO cycle paused (configuration change)
    kDeviceGone = 3,  // the device disappeared; the session is over
};

struct SessionEvent {
    MsgHeader hdr;
    uint32_t kind;
    uint32_t reserved;
};

struct ListenerRequest {
    MsgHeader hdr;
    uint32_t objectID;
    AudioObjectPropertyAddress address;
};

struct Notification {
    MsgHeader hdr;
    uint32_t objectID;
    uint32_t count;
    AudioObjectPropertyAddress addresses[kMaxNotifiedAddresses];
};

struct StatsRequest {
    MsgHeader hdr;
    uint32_t deviceID;
    uint32_t reset;
};

// The IO cycle figures of one device since start or the last reset (standin/audio_server.h).
using IOStats = StandinDeviceIOStats;

struct StatsReply {
    MsgHeader hdr;
    int32_t status;
    uint32_t reserved;
    IOStats stats;
};

// Selectors whose value (or qualifier) is a CFStringRef, and those whose value is a list of
// object IDs that the server translates into its own client-visible IDs.
bool isStringSelector(AudioObjectPropertySelector selector);
bool hasStringQualifier(AudioObjectPropertySelector selector);
bool isObjectListSelector(AudioObjectPropertySelector selector);
// Selectors whose get hands the caller's buffer in as well as out: the level controls'
// conversions between scalar and decibels.
bool carriesCallerData(AudioObjectPropertySelector selector);
// Whether a request of `type` for `selector` is followed by dataSize bytes of data.
bool requestCarriesData(MsgType type, AudioObjectPropertySelector selector);

}  // namespace qwipc
