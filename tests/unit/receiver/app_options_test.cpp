// qwreceiver's command line, its allow-list and the pacing of its refusal lines.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "allow_list.h"
#include "announce.h"
#include "help_text.h"
#include "options.h"
#include "quillwave_receiver.h"

namespace {

std::optional<qwr::Options> parse(std::vector<std::string> args) {
    args.insert(args.begin(), "qwreceiver");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    return qwr::parseOptions(static_cast<int>(argv.size()), argv.data());
}

bool permits(const qwr::AllowList& list, const char* address) {
    in_addr a{};
    inet_pton(AF_INET, address, &a);
    return list.permits(a);
}

TEST(ReceiverOptions, AllowListEntriesAndTheirMatching) {
    const auto open = parse({});
    ASSERT_TRUE(open);
    EXPECT_TRUE(open->allow.open());
    EXPECT_TRUE(permits(open->allow, "203.0.113.9"));

    const auto o = parse({"--allow", "192.168.1.77/24", "--allow", "10.0.0.5", "--allow",
                          "172.16.0.0/12", "--no-announce"});
    ASSERT_TRUE(o);
    EXPECT_FALSE(o->announce);
    for (const char* yes : {"192.168.1.1", "192.168.1.255", "10.0.0.5", "172.31.255.1"}) {
        EXPECT_TRUE(permits(o->allow, yes)) << yes;
    }
    for (const char* no : {"192.168.2.1", "10.0.0.6", "172.32.0.1", "127.0.0.1"}) {
        EXPECT_FALSE(permits(o->allow, no)) << no;
    }
    const auto everyone = parse({"--allow", "0.0.0.0/0"});
    ASSERT_TRUE(everyone);
    EXPECT_TRUE(permits(everyone->allow, "8.8.8.8"));

    for (const char* bad : {"10.0.0.1/33", "10.0.0.1/", "10.0.0.1/8x", "10.0.0/8", "host.lan",
                            "10.0.0.1/-1", "::1", ""}) {
        EXPECT_FALSE(parse({"--allow", bad})) << bad;
    }
    EXPECT_FALSE(parse({"--allow"}));
}

// One range for the target, wherever it enters: the command line, the C interface and the help.
TEST(ReceiverOptions, LatencyRangeIsTheSameForTheAppAndTheCore) {
    const qw_receiver_config defaults = qw_receiver_config_init(48000);
    const auto o = parse({});
    ASSERT_TRUE(o);
    EXPECT_EQ(o->latencyMs, defaults.latency_ms);
    EXPECT_EQ(o->automatic, defaults.automatic != 0);
    char named[64];
    std::snprintf(named, sizeof named, "%g to %g (default %g)", QW_RECEIVER_LATENCY_MIN_MS,
                  QW_RECEIVER_LATENCY_MAX_MS, defaults.latency_ms);
    EXPECT_NE(std::string(qwr::kHelpText).find(named), std::string::npos) << named;

    const struct {
        const char* text;
        bool accepted;
    } cases[] = {{"0.5", true},  {"100", true},     {"5", true},     {"0.49", false},
                 {"0", false},   {"100.01", false}, {"1000", false}, {"-1", false},
                 {"nan", false}, {"inf", false}};
    for (const auto& c : cases) {
        const auto parsed = parse({"--latency-ms", c.text});
        EXPECT_EQ(parsed.has_value(), c.accepted) << c.text;
        qw_receiver_config config = defaults;
        config.latency_ms = std::strtod(c.text, nullptr);
        int error = -1;
        qw_receiver* receiver = qw_receiver_create(&config, &error);
        qw_receiver_destroy(receiver);
        EXPECT_EQ(error, c.accepted ? QW_RECEIVER_SUCCESS : QW_RECEIVER_ERROR_LATENCY) << c.text;
        if (parsed) {
            EXPECT_EQ(parsed->latencyMs, config.latency_ms) << c.text;
        }
    }
    EXPECT_EQ(std::string(qw_receiver_strerror(QW_RECEIVER_ERROR_LATENCY)),
              "latency outside 0.5..100.0 ms");
}

TEST(ReceiverOptions, AnnouncedNamesAreNetUnicodeOfAtMost63Bytes) {
    EXPECT_EQ(parse({"--name", "Kitchen"})->name, "Kitchen");
    std::string longest;                                     // 21 three-byte characters: 63 bytes
    for (int i = 0; i < 21; ++i) longest += "\xE2\x82\xAC";  // U+20AC
    EXPECT_TRUE(parse({"--name", longest}));
    EXPECT_FALSE(parse({"--name", longest + "x"}));
    for (const std::string& bad :
         {std::string(""), std::string("a\x1b[2Jb"), std::string("a\tb"), std::string("a\x7f"),
          std::string("caf\xE9"), std::string("\xC0\xAF"), std::string("\xED\xA0\x80"),
          std::string("\xE2\x82")}) {
        EXPECT_FALSE(parse({"--name", bad})) << testing::PrintToString(bad);
    }
    EXPECT_TRUE(qwr::isServiceName(qwr::defaultServiceName()));
}

TEST(ReceiverOptions, OutputChoiceAndItsSynonyms) {
    using qwr::OutputKind;
    EXPECT_EQ(parse({})->output, OutputKind::automatic);
    EXPECT_EQ(parse({"--output", "pipewire"})->output, OutputKind::pipewire);
    EXPECT_EQ(parse({"--output", "pulse"})->output, OutputKind::pulse);
    EXPECT_EQ(parse({"--output", "null"})->output, OutputKind::null);
    EXPECT_EQ(parse({"--null-output"})->output, OutputKind::null);
    EXPECT_DOUBLE_EQ(parse({"--output-latency-ms", "5.3"})->outputLatencyMs, 5.3);
    EXPECT_DOUBLE_EQ(parse({"--pulse-latency-ms", "20"})->outputLatencyMs, 20);
    EXPECT_TRUE(parse({"--output", "null", "--wav", "x.wav", "--clock-ppm", "5"}));
    for (const std::vector<std::string>& bad : {std::vector<std::string>{"--output", "alsa"},
                                                {"--output"},
                                                {"--output", ""},
                                                {"--output-latency-ms", "0.1"},
                                                {"--output", "pipewire", "--wav", "x.wav"}}) {
        EXPECT_FALSE(parse(bad)) << testing::PrintToString(bad);
    }
}

TEST(RefusalLog, CountsEveryRefusalInLinesAtLeastASecondApart) {
    qwr::RefusalLog log;
    EXPECT_FALSE(log.due(0));
    log.refused("10.0.0.9");
    EXPECT_EQ(log.due(5000), "refused 1 connection not on the allow-list (last from 10.0.0.9)");
    EXPECT_FALSE(log.due(5001));
    log.refused("10.0.0.9");
    log.refused("10.0.0.10");
    EXPECT_FALSE(log.due(5999));
    EXPECT_EQ(log.due(6000), "refused 2 connections not on the allow-list (last from 10.0.0.10)");
    EXPECT_FALSE(log.due(60000));
}

}  // namespace
