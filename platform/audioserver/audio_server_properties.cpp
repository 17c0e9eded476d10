// AudioServer, part 2 of 4: property calls of clients. The system object is answered by the
// server; every other object by the plug-in that owns it, with object IDs and strings translated
// on the way. (Part 1: audio_server.cpp, part 3: audio_server_sessions.cpp, part 4:
// audio_server_host_events.cpp.)
#include <CoreAudio/AudioHardware.h>
#include <CoreFoundation/CFString.h>

#include <algorithm>
#include <cstring>

#include "audio_server.h"
#include "ipc/socket_io.h"
#include "osutil/cf_utf8.h"
#include "plugin_queries.h"

namespace audioserver {

using namespace qwipc;

namespace {

struct Answer {
    OSStatus status = kAudioHardwareNoError;
    uint32_t kind = kRawValue;
    uint32_t size = 0;
    std::vector<uint8_t> data;
};

void writeReply(MessageWriter& out, uint32_t seq, const Answer& a) {
    const PropertyReply rep{
        {static_cast<uint32_t>(MsgType::kReply), seq}, a.status, a.kind, a.size};
    out.put(rep);
    out.putBytes(a.data.data(), a.data.size());
}

// As many whole IDs as fit into `capacity` bytes.
Answer idList(const std::vector<AudioObjectID>& ids, MsgType type, uint32_t capacity) {
    Answer a;
    const auto full = static_cast<uint32_t>(ids.size() * sizeof(AudioObjectID));
    if (type == MsgType::kGetPropertyDataSize) {
        a.size = full;
    } else {
        const size_t count = std::min<size_t>(ids.size(), capacity / sizeof(AudioObjectID));
        a.data.resize(count * sizeof(AudioObjectID));
        if (count > 0) std::memcpy(a.data.data(), ids.data(), a.data.size());
        a.size = static_cast<uint32_t>(a.data.size());
    }
    return a;
}

Answer oneValue(uint32_t value, MsgType type, uint32_t capacity) {
    Answer a;
    a.size = sizeof value;
    if (type == MsgType::kGetPropertyData) {
        if (capacity < sizeof value) return Answer{kAudioHardwareBadPropertySizeError, 0, 0, {}};
        a.data.resize(sizeof value);
        std::memcpy(a.data.data(), &value, sizeof value);
    }
    return a;
}
Answer failure(OSStatus status) {
    return Answer{status, 0, 0, {}};
}

// The system object's answer to a query other than a read, given whether the property exists:
// none of its properties is settable.
Answer systemAnswer(MsgType type, bool known, Answer read) {
    switch (type) {
        case MsgType::kHasProperty:
            return Answer{kAudioHardwareNoError, 0, known ? 1u : 0u, {}};
        case MsgType::kIsPropertySettable:
            return failure(known ? kAudioHardwareNoError : kAudioHardwareUnknownPropertyError);
        case MsgType::kSetPropertyData:
            return failure(known ? kAudioHardwareUnsupportedOperationError
                                 : kAudioHardwareUnknownPropertyError);
        default:
            return read;
    }
}

// A string argument as a plug-in takes it: UTF-8 on the wire becomes a CFStringRef (null for a
// null string), released when the call is over.
class StringArgument {
  public:
    StringArgument(uint32_t kind, const uint8_t* bytes, uint32_t size) {
        if (kind == kStringValue) {
            string = CFStringCreateWithBytes(nullptr, bytes, static_cast<CFIndex>(size),
                                             kCFStringEncodingUTF8, false);
        }
    }
    ~StringArgument() {
        if (string != nullptr) CFRelease(string);
    }
    StringArgument(const StringArgument&) = delete;
    StringArgument& operator=(const StringArgument&) = delete;
    const void* data() const { return &string; }
    static constexpr UInt32 size() { return sizeof(CFStringRef); }

  private:
    CFStringRef string = nullptr;
};

bool isString(uint32_t kind) {
    return kind == kStringValue || kind == kNullString;
}

// One property call on one object of a plug-in, the qualifier as the plug-in takes it.
struct PlugInCall {
    PlugInCall(const PlugIn& p, size_t index, AudioObjectID local, pid_t caller,
               const PropertyRequest& request, const uint8_t* qualifier)
        : plugIn(p),
          plugInIndex(index),
          object(local),
          pid(caller),
          req(request),
          qualifierString(request.qualifierKind, qualifier, request.qualifierSize),
          qualifierData(isString(request.qualifierKind) ? qualifierString.data() : qualifier),
          qualifierSize(isString(request.qualifierKind) ? StringArgument::size()
                                                        : request.qualifierSize) {}

    const AudioServerPlugInDriverInterface& table() const { return plugIn.table(); }
    AudioObjectPropertySelector selector() const { return req.address.mSelector; }

    const PlugIn& plugIn;
    size_t plugInIndex;
    AudioObjectID object;  // the plug-in's own ID
    pid_t pid;
    const PropertyRequest& req;
    StringArgument qualifierString;
    const void* qualifierData;
    UInt32 qualifierSize;
};

Answer getDataSize(const PlugInCall& c) {
    Answer a;
    a.status = c.table().GetPropertyDataSize(c.plugIn.driver, c.object, c.pid, &c.req.address,
                                             c.qualifierSize, c.qualifierData, &a.size);
    return a;
}

// A string property: the plug-in hands over a CFStringRef, which crosses as UTF-8 (whole).
Answer getStringData(const PlugInCall& c, uint32_t capacity) {
    Answer a;
    CFStringRef s = nullptr;
    UInt32 got = 0;
    a.status = c.table().GetPropertyData(c.plugIn.driver, c.object, c.pid, &c.req.address,
                                         c.qualifierSize, c.qualifierData,
                                         std::min<uint32_t>(capacity, sizeof s), &got, &s);
    if (a.status == kAudioHardwareNoError && got == sizeof s) {
        if (s == nullptr) {
            a.kind = kNullString;
        } else {
            const std::string text = qw::utf8Of(s).value_or("");
            CFRelease(s);  // the caller owns a string it is handed
            a.kind = kStringValue;
            a.data.assign(text.begin(), text.end());
            if (a.data.size() > kMaxPropertyBytes) a.data.resize(kMaxPropertyBytes);
        }
    }
    a.size = static_cast<uint32_t>(a.data.size());
    return a;
}

// Object IDs in a value from the plug-in become the IDs its clients know.
void toClientIDs(ObjectRegistry& registry, const PlugInCall& c, std::vector<uint8_t>& data) {
    for (size_t at = 0; at + sizeof(AudioObjectID) <= data.size(); at += sizeof(AudioObjectID)) {
        AudioObjectID id;
        std::memcpy(&id, data.data() + at, sizeof id);
        id = registry.clientID(c.plugInIndex, id);
        std::memcpy(data.data() + at, &id, sizeof id);
    }
    // The plug-in object belongs to the system object.
    if (c.selector() == kAudioObjectPropertyOwner && c.object == kAudioObjectPlugInObject &&
        data.size() == sizeof(AudioObjectID)) {
        const AudioObjectID system = kAudioObjectSystemObject;
        std::memcpy(data.data(), &system, sizeof system);
    }
}

// Client IDs in a value for the plug-in become its own; IDs of other plug-ins' objects (or none)
// become kAudioObjectUnknown.
void toPlugInIDs(const ObjectRegistry& registry, const PlugInCall& c, std::vector<uint8_t>& data) {
    for (size_t at = 0; at + sizeof(AudioObjectID) <= data.size(); at += sizeof(AudioObjectID)) {
        AudioObjectID id;
        std::memcpy(&id, data.data() + at, sizeof id);
        const auto to = registry.resolve(id);
        id = to && to->plugIn == c.plugInIndex ? to->local : kAudioObjectUnknown;
        std::memcpy(data.data() + at, &id, sizeof id);
    }
}

// `callerData`, when the request carries it, is what the caller's buffer held on the way in.
Answer getData(ObjectRegistry& registry, const PlugInCall& c, const uint8_t* callerData) {
    const uint32_t capacity = std::min(c.req.dataSize, kMaxPropertyBytes);
    if (isStringSelector(c.selector())) return getStringData(c, capacity);
    Answer a;
    a.data.resize(capacity);
    if (callerData != nullptr && capacity > 0) std::memcpy(a.data.data(), callerData, capacity);
    UInt32 got = 0;
    a.status =
        c.table().GetPropertyData(c.plugIn.driver, c.object, c.pid, &c.req.address, c.qualifierSize,
                                  c.qualifierData, capacity, &got, a.data.data());
    a.data.resize(a.status == kAudioHardwareNoError ? std::min(got, capacity) : 0);
    if (isObjectListSelector(c.selector())) toClientIDs(registry, c, a.data);
    a.size = static_cast<uint32_t>(a.data.size());
    return a;
}

Answer setData(const ObjectRegistry& registry, const PlugInCall& c, const uint8_t* value) {
    Answer a;
    const auto& t = c.table();
    if (isString(c.req.dataKind)) {
        const StringArgument text(c.req.dataKind, value, c.req.dataSize);
        a.status = t.SetPropertyData(c.plugIn.driver, c.object, c.pid, &c.req.address,
                                     c.qualifierSize, c.qualifierData, text.size(), text.data());
        return a;
    }
    std::vector<uint8_t> raw(value, value + c.req.dataSize);
    if (isObjectListSelector(c.selector())) toPlugInIDs(registry, c, raw);
    a.status = t.SetPropertyData(c.plugIn.driver, c.object, c.pid, &c.req.address, c.qualifierSize,
                                 c.qualifierData, c.req.dataSize, raw.data());
    return a;
}

Answer hasProperty(const PlugInCall& c) {
    Answer a;
    a.size = c.table().HasProperty(c.plugIn.driver, c.object, c.pid, &c.req.address) ? 1 : 0;
    return a;
}

Answer isPropertySettable(const PlugInCall& c) {
    Answer a;
    Boolean settable = false;
    a.status =
        c.table().IsPropertySettable(c.plugIn.driver, c.object, c.pid, &c.req.address, &settable);
    a.size = settable ? 1 : 0;
    return a;
}

}  // namespace

void AudioServer::handleProperty(Connection& conn, const uint8_t* data, size_t size) {
    PropertyRequest req{};
    MessageReader in(data, size);
    in.get(req);
    const auto type = static_cast<MsgType>(req.hdr.type);
    const bool hasData = requestCarriesData(type, req.address.mSelector);
    const uint32_t body = req.qualifierSize + (hasData ? req.dataSize : 0);
    if (req.qualifierSize > kMaxQualifierBytes || (hasData && req.dataSize > kMaxPropertyBytes) ||
        in.remaining() != body) {
        conn.broken = true;
        return;
    }
    const uint8_t* qualifier = in.view(req.qualifierSize);
    const uint8_t* value = hasData ? in.view(req.dataSize) : nullptr;
    MessageWriter out;
    if (req.objectID == kAudioObjectSystemObject) {
        answerSystemObject(req, qualifier, out);
    } else {
        answerPlugInObject(req, qualifier, value, conn.pid, out);
    }
    reply(conn, out.bytes().data(), out.bytes().size());
}

void AudioServer::answerSystemObject(const PropertyRequest& req, const uint8_t* qualifier,
                                     MessageWriter& out) {
    const auto type = static_cast<MsgType>(req.hdr.type);
    const uint32_t capacity = std::min(req.dataSize, kMaxPropertyBytes);
    const AudioObjectPropertySelector selector = req.address.mSelector;
    Answer a;
    bool known = true;
    switch (selector) {
        case kAudioHardwarePropertyDevices:
            a = idList(liveDeviceIDs(), type, capacity);
            break;
        case kAudioObjectPropertyOwnedObjects:
            a = idList(plugInObjectIDs(), type, capacity);
            break;
        case kAudioHardwarePropertyDefaultOutputDevice:
        case kAudioHardwarePropertyDefaultInputDevice:
            a = oneValue(defaultDevice(selector == kAudioHardwarePropertyDefaultOutputDevice), type,
                         capacity);
            break;
        case kAudioHardwarePropertyTranslateUIDToDevice:
            a = oneValue(deviceWithUID(req, qualifier), type, capacity);
            break;
        case kAudioObjectPropertyBaseClass:
            a = oneValue(kAudioObjectClassID, type, capacity);
            break;
        case kAudioObjectPropertyClass:
            a = oneValue(kAudioSystemObjectClassID, type, capacity);
            break;
        case kAudioObjectPropertyOwner:
            a = oneValue(kAudioObjectUnknown, type, capacity);
            break;
        default:
            known = false;
            a = failure(kAudioHardwareUnknownPropertyError);
    }
    writeReply(out, req.hdr.seq, systemAnswer(type, known, a));
}

std::vector<AudioObjectID> AudioServer::liveDeviceIDs() const {
    std::vector<AudioObjectID> ids;
    for (const Device& d : devices_) {
        if (d.alive) ids.push_back(d.client);
    }
    return ids;
}

std::vector<AudioObjectID> AudioServer::plugInObjectIDs() const {
    std::vector<AudioObjectID> ids;
    for (size_t i = 0; i < plugIns_.size(); ++i) {
        ids.push_back(registry_.find(i, kAudioObjectPlugInObject));
    }
    return ids;
}

AudioObjectID AudioServer::defaultDevice(bool output) const {
    for (const Device& d : devices_) {
        if (d.alive && (output ? d.output.local : d.input.local) != 0) return d.client;
    }
    return kAudioObjectUnknown;
}

// Each plug-in is asked in turn; kAudioObjectUnknown from one means the UID is not its device's.
AudioObjectID AudioServer::deviceWithUID(const PropertyRequest& req,
                                         const uint8_t* qualifier) const {
    if (req.qualifierKind != kStringValue) return kAudioObjectUnknown;
    const std::string uid(reinterpret_cast<const char*>(qualifier), req.qualifierSize);
    for (size_t index = 0; index < plugIns_.size(); ++index) {
        const auto local = translateUID(plugIns_[index], uid);
        if (!local || *local == kAudioObjectUnknown) continue;
        for (const Device& d : devices_) {
            if (d.alive && d.plugIn == index && d.local == *local) return d.client;
        }
    }
    return kAudioObjectUnknown;
}

void AudioServer::answerPlugInObject(const PropertyRequest& req, const uint8_t* qualifier,
                                     const uint8_t* value, pid_t pid, MessageWriter& out) {
    const auto type = static_cast<MsgType>(req.hdr.type);
    const auto target = registry_.resolve(req.objectID);
    if (!target || target->plugIn >= plugIns_.size()) {
        writeReply(out, req.hdr.seq,
                   failure(type == MsgType::kHasProperty ? kAudioHardwareNoError
                                                         : kAudioHardwareBadObjectError));
        return;
    }
    const PlugInCall call(plugIns_[target->plugIn], target->plugIn, target->local, pid, req,
                          qualifier);
    Answer a;
    switch (type) {
        case MsgType::kGetPropertyDataSize:
            a = getDataSize(call);
            break;
        case MsgType::kGetPropertyData:
            a = getData(registry_, call, value);
            break;
        case MsgType::kSetPropertyData:
            a = setData(registry_, call, value);
            break;
        case MsgType::kHasProperty:
            a = hasProperty(call);
            break;
        case MsgType::kIsPropertySettable:
            a = isPropertySettable(call);
            break;
        default:
            a = failure(kAudioHardwareIllegalOperationError);
    }
    writeReply(out, req.hdr.seq, a);
}

}  // namespace audioserver
