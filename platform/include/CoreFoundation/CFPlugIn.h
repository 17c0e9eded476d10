#pragma once
#include <CoreFoundation/CFPlugInCOM.h>
