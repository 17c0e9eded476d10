// Client-visible object IDs. Every plug-in numbers its own objects; the server gives each
// (plug-in, object) pair an ID of its own, as the real server does, and translates both ways.
#pragma once
#include <CoreAudio/AudioHardwareBase.h>

#include <map>
#include <optional>
#include <utility>

namespace audioserver {

inline constexpr AudioObjectID kFirstClientObjectID = 32;

class ObjectRegistry {
  public:
    struct Target {
        size_t plugIn;
        AudioObjectID local;
    };

    // The client ID of a plug-in's object, given out the first time it is asked for.
    // kAudioObjectUnknown stays kAudioObjectUnknown.
    AudioObjectID clientID(size_t plugIn, AudioObjectID local);
    // The plug-in object behind a client ID, if it was given out.
    std::optional<Target> resolve(AudioObjectID client) const;
    // The client ID of a plug-in's object if it was given out; kAudioObjectUnknown otherwise.
    AudioObjectID find(size_t plugIn, AudioObjectID local) const;

  private:
    std::map<std::pair<size_t, AudioObjectID>, AudioObjectID> toClient_;
    std::map<AudioObjectID, Target> toLocal_;
    AudioObjectID next_ = kFirstClientObjectID;
};

}  // namespace audioserver
