#pragma once
// Which audio the bridge captures. On the Mac there is only the Core Audio device. On Linux the
// desktop's sound server is the default, and "--capture standin" (the two arguments in that
// order, exact spelling) chooses the stand-in audio server the tests and the demo use. The
// choice comes from the command line only (command_line.h reads it into the options).

#include <string>
#include <vector>

enum class CaptureChoice { soundServer, standIn };

// `args` are the process's arguments, program path first. Any other value after "--capture"
// ("pulse", say) leaves the default.
CaptureChoice captureChoiceFrom(const std::vector<std::string>& args);
