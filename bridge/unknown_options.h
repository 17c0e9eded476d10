#pragma once
// The line the bridge prints, right after its banner, for each argument that looks like an
// option but is none of its own. The bridge then goes on as if the argument were not there.

#include <string>
#include <vector>

// `args` are the process's arguments, program path first. An argument that starts with '-' is
// an option; it is unknown unless it is one of the switches of command_line.h ("--capture" only
// off the Mac), the argument after "--receiver" or "--capture" (their value), or the host
// after "--tcp". The unknown options, in order, as given.
std::vector<std::string> unknownOptions(const std::vector<std::string>& args);

// The line for one: "ignoring unknown option --recevier", the option made safe for the terminal.
std::string unknownOptionLine(const std::string& option);
