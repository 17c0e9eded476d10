#include "capture_choice.h"

#include "command_line.h"

CaptureSource captureSourceFrom(const std::vector<std::string>& args) {
    for (size_t i = 1; i + 1 < args.size(); ++i) {
        if (args[i] == kCaptureSwitch) {
            return args[i + 1] == "standin" ? CaptureSource::standIn : CaptureSource::soundServer;
        }
    }
    return CaptureSource::soundServer;
}
