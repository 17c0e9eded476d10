// Property calls of clients: the system object is answered by the server; every other object
// by the plug-in that owns it, with object IDs and strings translated on the way.
#include <CoreAudio/AudioHardware.h>
#include <CoreFoundation/CFString.h>

#include <algorithm>
#include <cstring>

#include "audio_server.h"
#include "ipc/socket_io.h"

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

std::string utf8Of(CFStringRef s) {
    if (const char* p = CFStringGetCStringPtr(s, kCFStringEncodingUTF8)) return p;
    std::vector<char> buffer(static_cast<size_t>(
        CFStringGetMaximumSizeForEncoding(CFStringGetLength(s), kCFStringEncodingUTF8) + 1));
    if (!CFStringGetCString(s, buffer.data(), static_cast<CFIndex>(buffer.size()),
                            kCFStringEncodingUTF8)) {
        return {};
    }
    return buffer.data();
}

}  // namespace

void AudioServer::handleProperty(Connection& conn, const uint8_t* data, size_t size) {
    PropertyRequest req{};
    MessageReader in(data, size);
    in.get(req);
    const auto type = static_cast<MsgType>(req.hdr.type);
    const bool isSet = type == MsgType::kSetPropertyData;
    const uint32_t body = req.qualifierSize + (isSet ? req.dataSize : 0);
    if (req.qualifierSize > kMaxQualifierBytes || (isSet && req.dataSize > kMaxPropertyBytes) ||
        in.remaining() != body) {
        conn.broken = true;
        return;
    }
    const uint8_t* qualifier = in.view(req.qualifierSize);
    const uint8_t* value = isSet ? in.view(req.dataSize) : nullptr;
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
    Answer a;
    bool known = true;
    switch (req.address.mSelector) {
        case kAudioHardwarePropertyDevices: {
            std::vector<AudioObjectID> ids;
            for (const Device& d : devices_) {
                if (d.alive) ids.push_back(d.client);
            }
            a = idList(ids, type, capacity);
            break;
        }
        case kAudioObjectPropertyOwnedObjects: {
            std::vector<AudioObjectID> ids;
            for (size_t i = 0; i < plugIns_.size(); ++i) {
                ids.push_back(registry_.find(i, kAudioObjectPlugInObject));
            }
            a = idList(ids, type, capacity);
            break;
        }
        case kAudioHardwarePropertyDefaultOutputDevice:
        case kAudioHardwarePropertyDefaultInputDevice: {
            const bool output = req.address.mSelector == kAudioHardwarePropertyDefaultOutputDevice;
            AudioObjectID found = kAudioObjectUnknown;
            for (const Device& d : devices_) {
                if (d.alive && (output ? d.output.local : d.input.local) != 0) {
                    found = d.client;
                    break;
                }
            }
            a = oneValue(found, type, capacity);
            break;
        }
        case kAudioHardwarePropertyTranslateUIDToDevice: {
            AudioObjectID found = kAudioObjectUnknown;
            if (req.qualifierKind == kStringValue) {
                const std::string uid(reinterpret_cast<const char*>(qualifier), req.qualifierSize);
                for (const Device& d : devices_) {
                    if (d.alive && d.uid == uid) {
                        found = d.client;
                        break;
                    }
                }
            }
            a = oneValue(found, type, capacity);
            break;
        }
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
            a = Answer{kAudioHardwareUnknownPropertyError, 0, 0, {}};
    }
    if (type == MsgType::kHasProperty) {
        a = Answer{kAudioHardwareNoError, 0, known ? 1u : 0u, {}};
    } else if (type == MsgType::kIsPropertySettable) {
        a = Answer{known ? kAudioHardwareNoError : kAudioHardwareUnknownPropertyError, 0, 0, {}};
    } else if (type == MsgType::kSetPropertyData) {
        a = Answer{
            known ? kAudioHardwareUnsupportedOperationError : kAudioHardwareUnknownPropertyError,
            0,
            0,
            {}};
    }
    writeReply(out, req.hdr.seq, a);
}

void AudioServer::translateIDs(size_t plugIn, uint8_t* data, UInt32 size) {
    for (UInt32 at = 0; at + sizeof(AudioObjectID) <= size; at += sizeof(AudioObjectID)) {
        AudioObjectID id;
        std::memcpy(&id, data + at, sizeof id);
        id = registry_.clientID(plugIn, id);
        std::memcpy(data + at, &id, sizeof id);
    }
}

void AudioServer::answerPlugInObject(const PropertyRequest& req, const uint8_t* qualifier,
                                     const uint8_t* value, pid_t pid, MessageWriter& out) {
    const auto type = static_cast<MsgType>(req.hdr.type);
    const auto target = registry_.resolve(req.objectID);
    if (!target || target->plugIn >= plugIns_.size()) {
        const Answer a{
            type == MsgType::kHasProperty ? kAudioHardwareNoError : kAudioHardwareBadObjectError,
            0,
            0,
            {}};
        writeReply(out, req.hdr.seq, a);
        return;
    }
    const PlugIn& plugIn = plugIns_[target->plugIn];
    const AudioServerPlugInDriverInterface& t = plugIn.table();
    const AudioObjectID local = target->local;
    const AudioObjectPropertyAddress& address = req.address;
    const AudioObjectPropertySelector selector = address.mSelector;

    // A string qualifier crosses as UTF-8 and goes to the plug-in as a CFStringRef.
    CFStringRef qualifierString = nullptr;
    const void* qualifierData = qualifier;
    UInt32 qualifierSize = req.qualifierSize;
    if (req.qualifierKind == kStringValue || req.qualifierKind == kNullString) {
        if (req.qualifierKind == kStringValue) {
            qualifierString =
                CFStringCreateWithBytes(nullptr, qualifier, static_cast<CFIndex>(req.qualifierSize),
                                        kCFStringEncodingUTF8, false);
        }
        qualifierData = &qualifierString;
        qualifierSize = sizeof qualifierString;
    }

    Answer a;
    switch (type) {
        case MsgType::kGetPropertyDataSize:
            a.status = t.GetPropertyDataSize(plugIn.driver, local, pid, &address, qualifierSize,
                                             qualifierData, &a.size);
            break;
        case MsgType::kGetPropertyData: {
            const uint32_t capacity = std::min(req.dataSize, kMaxPropertyBytes);
            if (isStringSelector(selector)) {
                CFStringRef s = nullptr;
                UInt32 got = 0;
                a.status = t.GetPropertyData(plugIn.driver, local, pid, &address, qualifierSize,
                                             qualifierData, std::min<uint32_t>(capacity, sizeof s),
                                             &got, &s);
                if (a.status == kAudioHardwareNoError && got == sizeof s) {
                    if (s == nullptr) {
                        a.kind = kNullString;
                    } else {
                        const std::string text = utf8Of(s);
                        CFRelease(s);  // the caller owns a string it is handed
                        a.kind = kStringValue;
                        a.data.assign(text.begin(), text.end());
                        if (a.data.size() > kMaxPropertyBytes) a.data.resize(kMaxPropertyBytes);
                    }
                }
                a.size = static_cast<uint32_t>(a.data.size());
                break;
            }
            a.data.resize(capacity);
            UInt32 got = 0;
            a.status = t.GetPropertyData(plugIn.driver, local, pid, &address, qualifierSize,
                                         qualifierData, capacity, &got, a.data.data());
            a.data.resize(a.status == kAudioHardwareNoError ? std::min(got, capacity) : 0);
            if (isObjectListSelector(selector)) {
                translateIDs(target->plugIn, a.data.data(), static_cast<UInt32>(a.data.size()));
                // The plug-in object belongs to the system object.
                if (selector == kAudioObjectPropertyOwner && local == kAudioObjectPlugInObject &&
                    a.data.size() == sizeof(AudioObjectID)) {
                    const AudioObjectID system = kAudioObjectSystemObject;
                    std::memcpy(a.data.data(), &system, sizeof system);
                }
            }
            a.size = static_cast<uint32_t>(a.data.size());
            break;
        }
        case MsgType::kSetPropertyData: {
            CFStringRef valueString = nullptr;
            std::vector<uint8_t> raw(value, value + req.dataSize);
            const void* valueData = raw.data();
            UInt32 valueSize = req.dataSize;
            if (req.dataKind == kStringValue || req.dataKind == kNullString) {
                if (req.dataKind == kStringValue) {
                    valueString =
                        CFStringCreateWithBytes(nullptr, value, static_cast<CFIndex>(req.dataSize),
                                                kCFStringEncodingUTF8, false);
                }
                valueData = &valueString;
                valueSize = sizeof valueString;
            } else if (isObjectListSelector(selector)) {
                for (size_t at = 0; at + 4 <= raw.size(); at += 4) {
                    AudioObjectID id;
                    std::memcpy(&id, raw.data() + at, 4);
                    const auto to = registry_.resolve(id);
                    id = to && to->plugIn == target->plugIn ? to->local : kAudioObjectUnknown;
                    std::memcpy(raw.data() + at, &id, 4);
                }
            }
            a.status = t.SetPropertyData(plugIn.driver, local, pid, &address, qualifierSize,
                                         qualifierData, valueSize, valueData);
            if (valueString != nullptr) CFRelease(valueString);
            break;
        }
        case MsgType::kHasProperty:
            a.size = t.HasProperty(plugIn.driver, local, pid, &address) ? 1 : 0;
            break;
        case MsgType::kIsPropertySettable: {
            Boolean settable = false;
            a.status = t.IsPropertySettable(plugIn.driver, local, pid, &address, &settable);
            a.size = settable ? 1 : 0;
            break;
        }
        default:
            a.status = kAudioHardwareIllegalOperationError;
    }
    if (qualifierString != nullptr) CFRelease(qualifierString);
    writeReply(out, req.hdr.seq, a);
}

}  // namespace audioserver
