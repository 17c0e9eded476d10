#pragma once
// The bridge's only output: whole lines on standard output.

#include <functional>
#include <string_view>

// Writes `line` and a line feed with a single write to standard output, so lines printed by
// different threads never mix. Nothing goes to standard error.
void printLine(std::string_view line);

// Receives each output line (without its line feed): printLine, or a test's collector.
using LineSink = std::function<void(std::string_view)>;
