#pragma once
// Turning a report frame's payload (untrusted UTF-8 text from the phone) into one printable line.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

// The prefix of every report line: U+1F4CA BAR CHART and a space.
inline constexpr const char* kReportPrefix = "\xF0\x9F\x93\x8A ";

// "📊 " followed by the payload text. The payload must be strict UTF-8 (no overlong forms, no
// surrogates, nothing above U+10FFFF, no truncated sequence); otherwise the line is the prefix
// alone. The text goes to the user's terminal, so every character that could act on it or break
// the line is shown as U+FFFD REPLACEMENT CHARACTER instead: C0 controls (U+0000-U+001F, tab and
// newlines included), DEL (U+007F), C1 controls (U+0080-U+009F, NEL included) and the line and
// paragraph separators U+2028/U+2029. The result never contains a line break or an escape byte.
std::string reportLine(std::span<const uint8_t> payload);

// Any text from the network (a receiver's announced name, a host name) made safe for the
// terminal the same way, except that each byte that is not part of a strict UTF-8 sequence
// becomes one U+FFFD instead of emptying the whole text.
std::string terminalSafeText(std::string_view text);
