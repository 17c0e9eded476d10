#pragma once
// The PulseAudio RTP peer ("pulse-rtp"), measured like the PulseAudio null-sink pipeline: one
// PulseAudio daemon with two null sinks, "qwsend" and "qwrecv"; module-rtp-send streams
// qwsend's monitor to 127.0.0.1 (RTP with SAP/SDP announcements), module-rtp-recv
// (sap_address=127.0.0.1) plays what it receives into qwrecv. qw-pulse-clicks plays numbered
// clicks over a steady tone into qwsend (a 4096-frame stream); qwrecv's monitor goes through
// parec and socat (latency 256 frames) to phone-app --raw --onsets --wav. First row: the
// clicks played straight into qwrecv, the cost of the player's stream and the capture path.
// A daemon that aborts (module-rtp-recv at small latencies can) is started again for the next
// row.
// QW_RTP_KEEP=DIR keeps its logs and recordings in DIR.
// Call from inside private namespaces (isolated_run.h): port 7000 is used, and RTP needs the
// namespace's loopback up.

#include <atomic>
#include <vector>

#include "cpu_load.h"
#include "latency_bench.h"
#include "rtp_figures.h"

// Appends the pulse-rtp rows: the capture path alone, module-rtp-recv at its defaults and at
// each latency_msec of options.rtpLatenciesMs, idle; then, with both cores busy, the capture path
// and the setting that lost least (bestSetting). `figures` gets one
// entry per pulse-rtp row, in the same order.
void runPulseRtp(const LatencyOptions& options, const std::atomic<bool>& stop, CpuLoad& load,
                 std::vector<LatencyRun>& runs, std::vector<RtpFigures>& figures);
