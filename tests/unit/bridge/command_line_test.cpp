#include "bridge/command_line.h"

#include <gtest/gtest.h>

#include "bridge/help_text.h"
#include "bridge/link_state.h"
#include "bridge/link_supervisor.h"
#include "bridge/unknown_options.h"

namespace {

struct Case {
    std::vector<std::string> args;  // without the program path
    bool tcpMode;
    std::string host;
};

BridgeOptions parse(std::vector<std::string> args) {
    args.insert(args.begin(), "/usr/local/bin/tetherstream");
    return parseCommandLine(args);
}

TEST(CommandLine, ModeAndHostRules) {
    const std::vector<Case> cases = {
        {{}, false, "127.0.0.1"},
        {{"--tcp"}, true, "127.0.0.1"},
        {{"--tcp", "192.168.1.20"}, true, "192.168.1.20"},
        {{"--tcp", "192.168.1.20:9000"}, true, "192.168.1.20"},  // the port is never taken
        {{"--tcp", "localhost"}, true, "127.0.0.1"},             // no "." : not a host
        {{"--tcp", ":10.0.0.1"}, true, "10.0.0.1"},              // empty pieces dropped
        {{"--tcp", "::10.0.0.1::5"}, true, "10.0.0.1"},
        {{"--tcp", "10.0.0.1::"}, true, "10.0.0.1"},
        {{"--tcp", "localhost", "--tcp", "10.0.0.9"}, true, "127.0.0.1"},  // first --tcp only
        {{"--tcp", "10.0.0.8", "--tcp", "10.0.0.9"}, true, "10.0.0.8"},
        {{"-v", "10.0.0.1", "--tcp"}, true, "127.0.0.1"},  // switch anywhere, host only after it
        {{"x", "--tcp", "10.1.2.3", "y"}, true, "10.1.2.3"},
        {{"--TCP", "10.0.0.1"}, false, "127.0.0.1"},  // exact spelling only
        {{"-tcp"}, false, "127.0.0.1"},
        {{"--tcp=10.0.0.1"}, false, "127.0.0.1"},
        {{"10.0.0.1"}, false, "127.0.0.1"},
        {{"--tcp", ":::"}, true, "127.0.0.1"},  // no "." : ignored
        {{"--tcp", ".:"}, true, "."},           // taken as written; connecting then fails
    };
    for (const auto& c : cases) {
        std::string shown;
        for (const auto& a : c.args) shown += "[" + a + "]";
        BridgeOptions o = parse(c.args);
        EXPECT_EQ(o.tcpMode, c.tcpMode) << shown;
        EXPECT_EQ(o.tcpHost, c.host) << shown;
    }
}

TEST(CommandLine, VerboseIsASwitchOfItsOwnAndIsPassedOverWhenLookingForTheHost) {
    struct VerboseCase {
        std::vector<std::string> args;
        bool verbose;
        bool tcpMode;
        std::string host;
    };
    const std::vector<VerboseCase> cases = {
        {{}, false, false, "127.0.0.1"},
        {{"--verbose"}, true, false, "127.0.0.1"},
        {{"--tcp", "--verbose", "10.0.0.5"}, true, true, "10.0.0.5"},
        {{"--tcp", "--verbose", "--verbose", "10.0.0.5:9"}, true, true, "10.0.0.5"},
        {{"--verbose", "--tcp", "10.0.0.6"}, true, true, "10.0.0.6"},
        {{"--tcp", "10.0.0.7", "--verbose"}, true, true, "10.0.0.7"},
        {{"--tcp", "--verbose"}, true, true, "127.0.0.1"},
        {{"--tcp", "--verbose", "localhost"}, true, true, "127.0.0.1"},
        {{"--tcp", "-v", "10.0.0.5"}, false, true, "127.0.0.1"},  // only --verbose is passed over
        {{"--Verbose", "-verbose", "--verbose=1"}, false, false, "127.0.0.1"},  // exact spelling
        {{"--tcp", "--quiet", "--verbose", "x.y"}, true, true, "127.0.0.1"},    // unknown, ignored
    };
    for (const auto& c : cases) {
        std::string shown;
        for (const auto& a : c.args) shown += "[" + a + "]";
        BridgeOptions o = parse(c.args);
        EXPECT_EQ(o.verbose, c.verbose) << shown;
        EXPECT_EQ(o.tcpMode, c.tcpMode) << shown;
        EXPECT_EQ(o.tcpHost, c.host) << shown;
    }
    EXPECT_FALSE(parseCommandLine({"--verbose"}).verbose);  // the program path is no switch
}

TEST(CommandLine, ProgramPathIsNotAnOption) {
    EXPECT_FALSE(parseCommandLine({"--tcp"}).tcpMode);
    EXPECT_FALSE(parseCommandLine({}).tcpMode);
}

TEST(CommandLine, ApplySetsTheLinkGlobalsAndTheLinkTargetTakesTheRest) {
    applyCommandLine(parse({"--tcp", "10.20.30.40:7000"}));
    EXPECT_TRUE(tcpMode);
    EXPECT_EQ(tcpHost, "10.20.30.40");
    const LinkTarget quiet = linkTargetFrom(parse({"--tcp", "10.20.30.40:7000"}));
    EXPECT_TRUE(quiet.tcpMode);
    EXPECT_EQ(quiet.tcpHost, "10.20.30.40");
    EXPECT_EQ(quiet.port, 7000);
    EXPECT_FALSE(quiet.verbose);
    const BridgeOptions verbose = parse({"--verbose", "--receiver", "Kitchen"});
    applyCommandLine(verbose);
    const LinkTarget told = linkTargetFrom(verbose);
    EXPECT_TRUE(told.verbose);
    EXPECT_TRUE(told.tcpMode);
    EXPECT_EQ(told.receiverName, "Kitchen");
    applyCommandLine(parse({}));
    EXPECT_FALSE(tcpMode);
    EXPECT_EQ(tcpHost, "127.0.0.1");
    EXPECT_FALSE(linkTargetFrom(parse({})).verbose);
}

TEST(CommandLine, FindAndReceiverByName) {
    // --find anywhere; --receiver takes the next argument whatever it holds, selects TCP mode
    // and leaves --tcp's host alone; without a name after it, it is not taken.
    const BridgeOptions found = parse({"--verbose", "--find"});
    EXPECT_TRUE(found.find);
    EXPECT_FALSE(found.tcpMode);
    const BridgeOptions named = parse({"--tcp", "10.0.0.5", "--receiver", "Living room.1"});
    EXPECT_FALSE(named.find);
    EXPECT_TRUE(named.tcpMode);
    EXPECT_EQ(named.receiverName, "Living room.1");
    EXPECT_EQ(parse({"--receiver", "--verbose"}).receiverName, "--verbose");
    const BridgeOptions dangling = parse({"--tcp", "10.0.0.5", "--receiver"});
    EXPECT_EQ(dangling.receiverName, "");
    EXPECT_EQ(dangling.tcpHost, "10.0.0.5");
    EXPECT_EQ(parse({"--tcp", "10.0.0.5"}).receiverName, "");
}

TEST(CommandLine, UnknownOptionsAreNamedAndEverythingElseIsPassedOverSilently) {
    const auto unknown = [](std::vector<std::string> args) {
        args.insert(args.begin(), "-program");
        std::vector<std::string> lines;
        for (const std::string& option : parseCommandLine(args).unknownOptions) {
            lines.push_back(unknownOptionLine(option));
        }
        return lines;
    };
    using Lines = std::vector<std::string>;
    EXPECT_EQ(unknown({"--recevier", "Kitchen"}), Lines{"ignoring unknown option --recevier"});
    // The bridge's own switches, their values and the host after --tcp are no unknown options,
    // whatever they look like; a word that does not start with '-' is none either.
    EXPECT_EQ(unknown({"--tcp", "--verbose", "-1.2.3.4", "--find", "--receiver", "-Den", "-h",
                       "--help", "Kitchen", "localhost"}),
              Lines{});
    EXPECT_EQ(unknown({"--capture", "-standin"}), Lines{});
    EXPECT_EQ(unknown({"--tcp", "-x", "-", "--", "--TCP", "--tcp=10.0.0.1", "--receiver"}),
              (Lines{"ignoring unknown option -x", "ignoring unknown option -",
                     "ignoring unknown option --", "ignoring unknown option --TCP",
                     "ignoring unknown option --tcp=10.0.0.1"}));
    // The option goes to the terminal: its control characters are shown as U+FFFD.
    EXPECT_EQ(unknown({"--\x1b[2Jx\n"}), Lines{"ignoring unknown option --\uFFFD[2Jx\uFFFD"});

    EXPECT_TRUE(parse({"--tcp", "-h"}).help);
    EXPECT_TRUE(parse({"--help"}).help);
    EXPECT_FALSE(parseCommandLine({"--help"}).help);
    EXPECT_FALSE(parse({"--HELP", "-help", "help"}).help);
}

TEST(CaptureChoice, TheSoundServerUnlessTheStandInIsAskedForByName) {
    EXPECT_EQ(parse({}).capture, CaptureChoice::soundServer);
    EXPECT_EQ(parse({"--tcp", "10.0.0.2"}).capture, CaptureChoice::soundServer);
    EXPECT_EQ(parse({"--capture", "standin"}).capture, CaptureChoice::standIn);
    EXPECT_EQ(parse({"--tcp", "--verbose", "--capture", "standin"}).capture,
              CaptureChoice::standIn);
    EXPECT_EQ(parse({"--capture", "pulse"}).capture, CaptureChoice::soundServer);
    EXPECT_EQ(parse({"--capture"}).capture, CaptureChoice::soundServer);             // no value
    EXPECT_EQ(parse({"standin", "--capture"}).capture, CaptureChoice::soundServer);  // wrong order
    EXPECT_EQ(parse({"--capture", "StandIn"}).capture, CaptureChoice::soundServer);
    EXPECT_EQ(parseCommandLine({"--capture", "standin"}).capture, CaptureChoice::soundServer)
        << "the program path is never an option";
}

}  // namespace
