#pragma once
// An output that pulls the receiver's sound at its own pace on its own thread.

#include <string>

namespace qwr {

class Output {
  public:
    virtual ~Output() = default;
    // Starts pulling; false (with a reason) when the output cannot start.
    virtual bool start(std::string& error) = 0;
    // Extra figures for the status line ("" when none).
    virtual std::string figures() = 0;
};

}  // namespace qwr
