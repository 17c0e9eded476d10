#pragma once
// CPU time used by a process and everything it started (its threads and child processes, as
// far as they still run), from /proc: the time each task has run on a CPU, in nanoseconds.

#include <sys/types.h>

#include <cstdint>

int64_t cpuNsOfTree(pid_t pid);
