#include "bridge/report_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::string kPrefix = "\xF0\x9F\x93\x8A ";
const std::string kFffd = "\xEF\xBF\xBD";

std::string line(const std::string& payload) {
    return reportLine(std::span(reinterpret_cast<const uint8_t*>(payload.data()), payload.size()));
}

TEST(ReportLine, ValidTextIsPrintedAfterThePrefix) {
    EXPECT_EQ(kPrefix, "📊 ");
    EXPECT_EQ(line("ok"), "📊 ok");
    EXPECT_EQ(line(""), "📊 ");
    // Boundaries of each sequence length, and characters next to the hidden ranges.
    for (const char* text :
         {" ~", "\xC2\xA0", "\xDF\xBF", "\xE0\xA0\x80", "\xED\x9F\xBF", "\xEE\x80\x80",
          "\xEF\xBF\xBD", "\xE2\x80\xA7\xE2\x80\xAA", "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF",
          "buffer 12 ms — ok ✓ 😀", "caf\xC3\xA9"}) {
        EXPECT_EQ(line(text), kPrefix + text) << text;
    }
}

TEST(ReportLine, InvalidUtf8GivesThePrefixAlone) {
    for (const std::string& bad : {
             std::string("\x80"),              // lone continuation byte
             std::string("ok\xBF"),            // continuation after ASCII
             std::string("\xC0\xAF"),          // overlong '/'
             std::string("\xC1\xBF"),          // overlong
             std::string("\xE0\x80\xAF"),      // overlong 3-byte
             std::string("\xE0\x9F\xBF"),      // overlong 3-byte, top
             std::string("\xF0\x80\x80\xAF"),  // overlong 4-byte
             std::string("\xF0\x8F\xBF\xBF"),  // overlong 4-byte, top
             std::string("\xED\xA0\x80"),      // high surrogate U+D800
             std::string("\xED\xBF\xBF"),      // low surrogate U+DFFF
             std::string("\xF4\x90\x80\x80"),  // U+110000
             std::string("\xF5\x80\x80\x80"),  // lead byte above F4
             std::string("\xFF"),
             std::string("\xFE"),
             std::string("abc\xE2\x82"),   // truncated at the end
             std::string("\xE2\x82 x"),    // truncated by an ASCII byte
             std::string("\xF0\x9F\x93"),  // truncated 4-byte
             std::string("\xC3\xA9\xC3"),  // valid, then truncated
             std::string("\xC2\xC2\xA0"),  // lead byte where a continuation belongs
         }) {
        EXPECT_EQ(line(bad), kPrefix) << testing::PrintToString(bad);
    }
}

TEST(ReportLine, ControlCharactersAreReplacedVisibly) {
    EXPECT_EQ(line("a\x1b[31mred\x1b[0m"), "📊 a" + kFffd + "[31mred" + kFffd + "[0m");
    EXPECT_EQ(line("one\ntwo\r\nthree"), "📊 one" + kFffd + "two" + kFffd + kFffd + "three");
    EXPECT_EQ(line(std::string("\0\t\x7f\x1f", 4)), kPrefix + kFffd + kFffd + kFffd + kFffd);
    // C1 controls, including NEL and the single-byte CSI, in their UTF-8 form.
    EXPECT_EQ(line("\xC2\x80\xC2\x85\xC2\x9B\xC2\x9F"), kPrefix + kFffd + kFffd + kFffd + kFffd);
    // Line and paragraph separators.
    EXPECT_EQ(line("x\xE2\x80\xA8y\xE2\x80\xA9z"), "📊 x" + kFffd + "y" + kFffd + "z");
    // Invalid UTF-8 wins over replacement: nothing of the text is shown.
    EXPECT_EQ(line("\n\xC0\xAF"), kPrefix);
}

TEST(ReportLine, NoByteOfAnyPayloadCanControlTheTerminal) {
    // Every single byte and every two-byte C2/C3 sequence: the line never carries a control
    // byte, and it is either the prefix alone or longer.
    std::vector<std::string> payloads;
    for (int b = 0; b < 256; ++b) payloads.push_back(std::string(1, static_cast<char>(b)));
    for (int lead : {0xC2, 0xC3}) {
        for (int b = 0x80; b < 0xC0; ++b) {
            payloads.push_back({static_cast<char>(lead), static_cast<char>(b)});
        }
    }
    for (const auto& p : payloads) {
        const std::string out = line(p);
        for (size_t i = 0; i < out.size(); ++i) {
            const auto c = static_cast<unsigned char>(out[i]);
            EXPECT_FALSE(c < 0x20 || c == 0x7F) << testing::PrintToString(p);
            if (c == 0xC2 && i + 1 < out.size()) {
                const auto next = static_cast<unsigned char>(out[i + 1]);
                EXPECT_FALSE(next >= 0x80 && next <= 0x9F) << testing::PrintToString(p);
            }
        }
    }
}

TEST(TerminalSafeText, NetworkNamesKeepTheirTextAndLoseEveryControl) {
    const std::string r = "\xEF\xBF\xBD";  // U+FFFD
    EXPECT_EQ(terminalSafeText("K\xC3\xBC"
                               "che \xF0\x9F\x94\x8A"),
              "K\xC3\xBC"
              "che \xF0\x9F\x94\x8A");
    // Controls (ESC, BEL, DEL, C1 NEL, U+2028) and each stray or truncated byte become one U+FFFD
    // each, and the rest of the name survives.
    EXPECT_EQ(terminalSafeText("a\x1B]0;x\x07"
                               "b\x7F\xC2\x85\xE2\x80\xA8"),
              "a" + r + "]0;x" + r + "b" + r + r + r);
    EXPECT_EQ(terminalSafeText("\xFFok\xE2\x82"), r + "ok" + r + r);
    EXPECT_EQ(terminalSafeText(std::string("a\0b", 3)), "a" + r + "b");
}

}  // namespace
