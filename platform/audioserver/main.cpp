// audioserverd: the Linux stand-in for the platform's audio server.
//
//   audioserverd [--plugins DIR]... [--socket PATH] [--no-realtime] [--quiet]
//                [--write-mix-while-idle=yes|no] [--rate-change=restart|running]
//                [--cycle-operations=yes|no]
//
// The last three choose what the platform's documentation leaves open (behaviour.h); they may
// also be given in $QW_AUDIO_SERVER_BEHAVIOUR ("rate-change=running,cycle-operations=yes").
// Plug-in directories: --plugins (repeatable), else $QW_AUDIO_PLUGIN_DIR (colon-separated), else
// the build tree's plugins/ when run from the build tree, else the installed directory.
// Socket: --socket, else $QW_AUDIO_SERVER_SOCKET, else /tmp/quillwave-audioserver.sock.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "audio_server.h"

namespace {

audioserver::AudioServer* gServer = nullptr;

void onSignal(int) {
    if (gServer != nullptr) gServer->requestStop();
}

std::string defaultPlugInDirectory() {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    const std::string exe = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string();
    const std::string buildTree = QW_BUILD_TREE;
    if (!exe.empty() && exe.compare(0, buildTree.size() + 1, buildTree + "/") == 0) {
        return buildTree + "/plugins";
    }
    return QW_INSTALLED_PLUGIN_DIR;
}

std::vector<std::string> splitPath(const std::string& list) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= list.size()) {
        const size_t end = std::min(list.find(':', start), list.size());
        if (end > start) parts.push_back(list.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// A word from the environment, shown without control characters.
std::string printable(const std::string& word) {
    std::string text;
    for (const unsigned char c : word.substr(0, 64)) text += c >= 0x20 && c < 0x7F ? char(c) : '?';
    return text;
}

int usage() {
    std::fprintf(stderr,
                 "usage: audioserverd [--plugins DIR]... [--socket PATH] [--no-realtime] "
                 "[--quiet]\n"
                 "                    [--write-mix-while-idle=yes|no] "
                 "[--rate-change=restart|running] [--cycle-operations=yes|no]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    audioserver::ServerOptions options;
    options.socketPath = qwipc::serverSocketPath();
    if (const char* env = std::getenv("QW_AUDIO_SERVER_BEHAVIOUR")) {
        std::string bad;
        if (!audioserver::applyBehaviourList(env, options.behaviour, bad)) {
            std::fprintf(stderr, "audioserverd: QW_AUDIO_SERVER_BEHAVIOUR: unknown choice %s\n",
                         printable(bad).c_str());
            return 2;
        }
    }
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--plugins" && i + 1 < argc) {
            options.plugInDirectories.push_back(argv[++i]);
        } else if (arg == "--socket" && i + 1 < argc) {
            options.socketPath = argv[++i];
        } else if (arg == "--no-realtime") {
            options.realtime = false;
        } else if (arg == "--quiet") {
            options.quiet = true;
        } else if (arg.rfind("--", 0) == 0 &&
                   audioserver::applyBehaviour(arg.substr(2), options.behaviour)) {
        } else {
            return usage();
        }
    }
    if (options.plugInDirectories.empty()) {
        const char* env = std::getenv("QW_AUDIO_PLUGIN_DIR");
        options.plugInDirectories = env != nullptr && env[0] != '\0'
                                        ? splitPath(env)
                                        : std::vector<std::string>{defaultPlugInDirectory()};
    }

    audioserver::AudioServer server(options);
    gServer = &server;
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    if (!options.quiet) {
        std::fprintf(stderr, "audioserverd: behaviour %s\n",
                     audioserver::describe(options.behaviour).c_str());
    }
    server.loadPlugIns();
    if (!server.listen()) return 1;
    server.run();
    gServer = nullptr;
    return 0;
}
