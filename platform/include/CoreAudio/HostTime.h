#pragma once
#include <mach/mach_time.h>
