// The HAL property calls, answered by the audio server. With no server running the system
// has no devices: the device list is empty and every other object is unknown.
#include <CoreAudio/AudioHardware.h>
#include <CoreFoundation/CFString.h>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <string>

#include "hal_connection.h"
#include "ipc/protocol.h"
#include "osutil/cf_utf8.h"

using namespace qwipc;

namespace {

struct Reply {
    PropertyReply head;
    const uint8_t* data;
};

// Encodes a value that may be a CFStringRef (by selector) for the wire.
bool encodeValue(bool isString, UInt32 size, const void* data, uint32_t& kind, std::string& bytes) {
    if (isString) {
        if (size != sizeof(CFStringRef) || data == nullptr) return false;
        CFStringRef s;
        std::memcpy(&s, data, sizeof s);
        kind = s == nullptr ? kNullString : kStringValue;
        bytes = qw::utf8Of(s).value_or("");
    } else {
        kind = kRawValue;
        if (size > 0 && data == nullptr) return false;
        bytes.assign(static_cast<const char*>(data), size);
    }
    return true;
}

// Sends one property request; absent when the server cannot be reached. `status` is set for
// requests the client side refuses by itself.
std::optional<Reply> propertyCall(MsgType type, AudioObjectID object,
                                  const AudioObjectPropertyAddress& address, UInt32 qualifierSize,
                                  const void* qualifier, UInt32 dataSize, const void* data,
                                  std::vector<uint8_t>& storage, OSStatus& status) {
    PropertyRequest req{};
    req.hdr.type = static_cast<uint32_t>(type);
    req.objectID = object;
    req.address = address;
    req.pid = getpid();
    std::string qualifierBytes, dataBytes;
    if (!encodeValue(hasStringQualifier(address.mSelector) && qualifierSize == sizeof(CFStringRef),
                     qualifierSize, qualifier, req.qualifierKind, qualifierBytes) ||
        qualifierBytes.size() > kMaxQualifierBytes) {
        status = kAudioHardwareBadPropertySizeError;
        return std::nullopt;
    }
    req.qualifierSize = static_cast<uint32_t>(qualifierBytes.size());
    req.dataSize = dataSize;
    if (requestCarriesData(type, address.mSelector)) {
        if (!encodeValue(isStringSelector(address.mSelector), dataSize, data, req.dataKind,
                         dataBytes) ||
            dataBytes.size() > kMaxPropertyBytes) {
            status = kAudioHardwareBadPropertySizeError;
            return std::nullopt;
        }
        req.dataSize = static_cast<uint32_t>(dataBytes.size());
    }
    MessageWriter w;
    w.put(req);
    w.putBytes(qualifierBytes.data(), qualifierBytes.size());
    w.putBytes(dataBytes.data(), dataBytes.size());
    status = kAudioHardwareNoError;
    if (!halclient::HalConnection::shared().call(w.bytes(), storage)) return std::nullopt;
    MessageReader r(storage.data(), storage.size());
    Reply reply{};
    if (!r.get(reply.head)) return std::nullopt;
    reply.data = r.view(type == MsgType::kGetPropertyData ? reply.head.size : 0);
    if (reply.data == nullptr && type == MsgType::kGetPropertyData) return std::nullopt;
    return reply;
}

bool isDeviceList(AudioObjectID object, const AudioObjectPropertyAddress* address) {
    return object == kAudioObjectSystemObject &&
           address->mSelector == kAudioHardwarePropertyDevices;
}

// What a call gets when no server answers.
OSStatus noServer(AudioObjectID object) {
    return object == kAudioObjectSystemObject ? kAudioHardwareNotRunningError
                                              : kAudioHardwareBadObjectError;
}

}  // namespace

Boolean AudioObjectHasProperty(AudioObjectID inObjectID,
                               const AudioObjectPropertyAddress* inAddress) {
    if (inAddress == nullptr) return false;
    std::vector<uint8_t> storage;
    OSStatus status;
    const auto reply = propertyCall(MsgType::kHasProperty, inObjectID, *inAddress, 0, nullptr, 0,
                                    nullptr, storage, status);
    if (!reply) return isDeviceList(inObjectID, inAddress);
    return reply->head.status == kAudioHardwareNoError && reply->head.size != 0;
}

OSStatus AudioObjectIsPropertySettable(AudioObjectID inObjectID,
                                       const AudioObjectPropertyAddress* inAddress,
                                       Boolean* outIsSettable) {
    if (inAddress == nullptr || outIsSettable == nullptr)
        return kAudioHardwareIllegalOperationError;
    std::vector<uint8_t> storage;
    OSStatus status;
    const auto reply = propertyCall(MsgType::kIsPropertySettable, inObjectID, *inAddress, 0,
                                    nullptr, 0, nullptr, storage, status);
    if (!reply) {
        if (status != kAudioHardwareNoError) return status;
        if (!isDeviceList(inObjectID, inAddress)) return noServer(inObjectID);
        *outIsSettable = false;
        return kAudioHardwareNoError;
    }
    if (reply->head.status == kAudioHardwareNoError) *outIsSettable = reply->head.size != 0;
    return reply->head.status;
}

OSStatus AudioObjectGetPropertyDataSize(AudioObjectID inObjectID,
                                        const AudioObjectPropertyAddress* inAddress,
                                        UInt32 inQualifierDataSize, const void* inQualifierData,
                                        UInt32* outDataSize) {
    if (inAddress == nullptr || outDataSize == nullptr) return kAudioHardwareIllegalOperationError;
    std::vector<uint8_t> storage;
    OSStatus status;
    const auto reply =
        propertyCall(MsgType::kGetPropertyDataSize, inObjectID, *inAddress, inQualifierDataSize,
                     inQualifierData, 0, nullptr, storage, status);
    if (!reply) {
        if (status != kAudioHardwareNoError) return status;
        if (!isDeviceList(inObjectID, inAddress)) return noServer(inObjectID);
        *outDataSize = 0;  // no server: no devices
        return kAudioHardwareNoError;
    }
    if (reply->head.status == kAudioHardwareNoError) *outDataSize = reply->head.size;
    return reply->head.status;
}

OSStatus AudioObjectGetPropertyData(AudioObjectID inObjectID,
                                    const AudioObjectPropertyAddress* inAddress,
                                    UInt32 inQualifierDataSize, const void* inQualifierData,
                                    UInt32* ioDataSize, void* outData) {
    if (inAddress == nullptr || ioDataSize == nullptr || (*ioDataSize > 0 && outData == nullptr)) {
        return kAudioHardwareIllegalOperationError;
    }
    std::vector<uint8_t> storage;
    OSStatus status;
    const auto reply =
        propertyCall(MsgType::kGetPropertyData, inObjectID, *inAddress, inQualifierDataSize,
                     inQualifierData, *ioDataSize, outData, storage, status);
    if (!reply) {
        if (status != kAudioHardwareNoError) return status;
        if (!isDeviceList(inObjectID, inAddress)) return noServer(inObjectID);
        *ioDataSize = 0;
        return kAudioHardwareNoError;
    }
    if (reply->head.status != kAudioHardwareNoError) return reply->head.status;
    if (reply->head.kind == kStringValue || reply->head.kind == kNullString) {
        if (*ioDataSize < sizeof(CFStringRef)) return kAudioHardwareBadPropertySizeError;
        CFStringRef s = nullptr;
        if (reply->head.kind == kStringValue) {
            s = CFStringCreateWithBytes(nullptr, reply->data,
                                        static_cast<CFIndex>(reply->head.size),
                                        kCFStringEncodingUTF8, false);
        }
        std::memcpy(outData, &s, sizeof s);  // the caller owns and releases it
        *ioDataSize = sizeof s;
        return kAudioHardwareNoError;
    }
    const UInt32 size = std::min(reply->head.size, *ioDataSize);
    if (size > 0) std::memcpy(outData, reply->data, size);
    *ioDataSize = size;
    return kAudioHardwareNoError;
}

OSStatus AudioObjectSetPropertyData(AudioObjectID inObjectID,
                                    const AudioObjectPropertyAddress* inAddress,
                                    UInt32 inQualifierDataSize, const void* inQualifierData,
                                    UInt32 inDataSize, const void* inData) {
    if (inAddress == nullptr) return kAudioHardwareIllegalOperationError;
    std::vector<uint8_t> storage;
    OSStatus status;
    const auto reply =
        propertyCall(MsgType::kSetPropertyData, inObjectID, *inAddress, inQualifierDataSize,
                     inQualifierData, inDataSize, inData, storage, status);
    if (!reply) return status != kAudioHardwareNoError ? status : noServer(inObjectID);
    return reply->head.status;
}
