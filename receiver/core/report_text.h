#pragma once
// The receiver's one-line report, as the bridge prints it after "📊 ":
// "buffer 9.8/10 ms · drift +212 ppm · underruns 0 · overruns 0". No line break.

#include <string>

#include "quillwave_receiver.h"

namespace qw::receiver {

std::string reportText(const qw_receiver_figures& figures);

}  // namespace qw::receiver
