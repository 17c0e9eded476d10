#include "plugin_checks.h"

#include <CoreAudio/AudioHardware.h>

#include <algorithm>

#include "plugin_queries.h"

namespace audioserver {
namespace {

// A UID no device has.
constexpr const char* kNoSuchUID = "audioserverd: no device has this UID";

std::string fourCC(UInt32 code) {
    std::string text = "'";
    for (int shift = 24; shift >= 0; shift -= 8) {
        const char c = static_cast<char>((code >> shift) & 0xFF);
        text += c >= 0x20 && c < 0x7F ? c : '?';
    }
    return text + "'";
}

std::string listText(const std::vector<AudioObjectID>& ids) {
    std::string text = "[";
    for (size_t i = 0; i < ids.size(); ++i) text += (i ? ", " : "") + std::to_string(ids[i]);
    return text + "]";
}

// An object's class and its base class, as the object states them; 'aobj' heads every family.
std::vector<AudioClassID> lineage(const PlugIn& plugIn, AudioObjectID object) {
    std::vector<AudioClassID> classes{kAudioObjectClassID};
    for (AudioObjectPropertySelector s :
         {kAudioObjectPropertyClass, kAudioObjectPropertyBaseClass}) {
        if (const auto c = readUInt32(plugIn, object, s)) classes.push_back(*c);
    }
    return classes;
}

}  // namespace

std::string zeroTimeStampPeriodProblem(UInt32 period) {
    if (period >= kMinZeroTimeStampPeriod) return {};
    return (period == 0 ? std::string("no zero time stamp period")
                        : "zero time stamp period " + std::to_string(period)) +
           ", below the least allowed " + std::to_string(kMinZeroTimeStampPeriod);
}

void checkOwnedObjects(const PlugIn& plugIn, AudioObjectID object,
                       std::vector<std::string>& violations) {
    const auto all = readObjectList(plugIn, object, kAudioObjectPropertyOwnedObjects,
                                    kAudioObjectPropertyScopeGlobal);
    if (!all) return;
    std::vector<std::vector<AudioClassID>> lineages;
    for (AudioObjectID owned : *all) lineages.push_back(lineage(plugIn, owned));
    // Every class of the tree, whether or not the object owns one of it.
    for (AudioClassID wanted :
         {kAudioObjectClassID, kAudioPlugInClassID, kAudioDeviceClassID, kAudioStreamClassID}) {
        std::vector<AudioObjectID> expected;
        for (size_t i = 0; i < all->size(); ++i) {
            const auto& l = lineages[i];
            if (std::find(l.begin(), l.end(), wanted) != l.end()) expected.push_back((*all)[i]);
        }
        const auto got = readObjectList(plugIn, object, kAudioObjectPropertyOwnedObjects,
                                        kAudioObjectPropertyScopeGlobal, {wanted});
        if (got && *got == expected) continue;
        violations.push_back("object " + std::to_string(object) + " of " + plugIn.name +
                             ": OwnedObjects qualified by class " + fourCC(wanted) + " gave " +
                             (got ? listText(*got) : "no answer") + ", not " + listText(expected));
    }
}

void checkUIDTranslation(const PlugIn& plugIn, AudioObjectID device, const std::string& uid,
                         std::vector<std::string>& violations) {
    const std::string where = "plug-in " + plugIn.name + ": TranslateUIDToDevice of ";
    if (const auto own = translateUID(plugIn, uid); own != device) {
        violations.push_back(where + "its device " + std::to_string(device) + "'s own UID gave " +
                             (own ? std::to_string(*own) : "no answer"));
    }
    if (const auto none = translateUID(plugIn, kNoSuchUID); none != kAudioObjectUnknown) {
        violations.push_back(where + "a UID that names no device gave " +
                             (none ? std::to_string(*none) : "no answer") +
                             ", not kAudioObjectUnknown");
    }
}

}  // namespace audioserver
