#include "object_registry.h"

namespace audioserver {

AudioObjectID ObjectRegistry::clientID(size_t plugIn, AudioObjectID local) {
    if (local == kAudioObjectUnknown) return kAudioObjectUnknown;
    auto [it, added] = toClient_.try_emplace({plugIn, local}, next_);
    if (added) toLocal_.emplace(next_++, Target{plugIn, local});
    return it->second;
}

std::optional<ObjectRegistry::Target> ObjectRegistry::resolve(AudioObjectID client) const {
    const auto it = toLocal_.find(client);
    if (it == toLocal_.end()) return std::nullopt;
    return it->second;
}

AudioObjectID ObjectRegistry::find(size_t plugIn, AudioObjectID local) const {
    const auto it = toClient_.find({plugIn, local});
    return it == toClient_.end() ? kAudioObjectUnknown : it->second;
}

}  // namespace audioserver
