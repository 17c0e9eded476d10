#pragma once
// qwreceiver --help: the program's manual, printed to standard output.

namespace qwr {

extern const char* const kHelpText;

}  // namespace qwr
