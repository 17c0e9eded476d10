#pragma once
// The bridge's short manual, printed for "--help" or "-h" before anything else happens.

#include <string>
#include <vector>

// Whether any argument after the program path is "--help" or "-h" (exact spelling).
bool asksForHelp(const std::vector<std::string>& args);

// The manual: what the bridge does, each option, and an example for each way of reaching the
// phone or a receiver. Lines end in a line feed but the last, which ends the text.
std::string helpText();
