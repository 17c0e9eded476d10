#include "bridge/help_text.h"

#include <algorithm>

#include "bridge/command_line.h"

bool asksForHelp(const std::vector<std::string>& args) {
    if (args.size() < 2) return false;
    return std::any_of(args.begin() + 1, args.end(), [](const std::string& arg) {
        return arg == kHelpSwitch || arg == kShortHelpSwitch;
    });
}

std::string helpText() {
    return "usage: tetherstream [--tcp [HOST] | --receiver NAME | --find] [--verbose]"
#if !defined(__APPLE__)
           " [--capture standin]"
#endif
           "\n"
#if defined(__APPLE__)
           "Captures the Quillwave device and streams its sound\n"
#else
           "Captures the desktop's sound server (its sink \"quillwave\", made when missing) "
           "and streams it\n"
#endif
           "as 48 kHz 16-bit stereo to the receiving app on port 7000 of the phone, until "
           "stopped (Ctrl-C).\n"
           "It reconnects by itself, prints the phone's reports and one line of timing "
           "figures a second.\n"
           "\n"
           "  (no option)        over USB, through the USB multiplexing service (usbmuxd)\n"
           "  --tcp [HOST]       over plain TCP to HOST, an IPv4 address (127.0.0.1 when none)\n"
           "  --receiver NAME    over TCP to the receiver announced on the network as NAME\n"
           "  --find             list the receivers announced on the network, then exit\n"
           "  --verbose          also say why the link is down, each time that changes\n"
#if !defined(__APPLE__)
           "  --capture standin  capture the stand-in audio server's Quillwave device instead\n"
#endif
           "  -h, --help         print this and exit\n"
           "\n"
           "Examples:\n"
           "  tetherstream                        the phone on USB\n"
           "  tetherstream --tcp 192.168.1.20     the phone over the network\n"
           "  tetherstream --receiver Kitchen     the receiver called Kitchen\n"
           "  tetherstream --find                 which receivers are there\n"
#if !defined(__APPLE__)
           "  tetherstream --capture standin      the stand-in audio server, to the phone on USB\n"
#endif
           "Options it does not know are named in one line each, then passed over.";
}
