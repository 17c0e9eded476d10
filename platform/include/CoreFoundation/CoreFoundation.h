#pragma once
#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFDictionary.h>
#include <CoreFoundation/CFPlugInCOM.h>
#include <CoreFoundation/CFString.h>
#include <CoreFoundation/CFUUID.h>
