// Where the audio server's documented contract leaves a choice open, the stand-in makes either
// choice, so that a plug-in is tested against both:
//
//   write-mix-while-idle=yes|no   WriteMix runs in every cycle, or only while a client plays
//   rate-change=restart|running   a configuration change comes inside StopIO and StartIO, or
//                                 while IO keeps running
//   cycle-operations=yes|no       each IO cycle is wrapped in Begin/EndIOOperation('cycl'), or not
//
// Given as options (--write-mix-while-idle=no) or in $QW_AUDIO_SERVER_BEHAVIOUR, words separated
// by commas or spaces; the options win.
#pragma once
#include <string>

namespace audioserver {

struct ServerBehaviour {
    bool writeMixWhileIdle = true;
    bool rateChangeWhileRunning = false;
    bool cycleOperations = false;
};

// Applies one "name=value" word; false if it names no behaviour or no choice of it.
bool applyBehaviour(const std::string& word, ServerBehaviour& behaviour);

// Applies every word of a list; false at the first bad word, which `bad` then holds.
bool applyBehaviourList(const std::string& list, ServerBehaviour& behaviour, std::string& bad);

// The choices in the list's own words, for the log.
std::string describe(const ServerBehaviour& behaviour);

}  // namespace audioserver
