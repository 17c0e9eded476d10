#include "bridge/capture/capture_choice.h"

#include "bridge/command_line.h"

CaptureChoice captureChoiceFrom(const std::vector<std::string>& args) {
    for (size_t i = 1; i + 1 < args.size(); ++i) {
        if (args[i] == kCaptureSwitch) {
            return args[i + 1] == "standin" ? CaptureChoice::standIn : CaptureChoice::soundServer;
        }
    }
    return CaptureChoice::soundServer;
}
