#pragma once
#include <AudioToolbox/AudioComponent.h>
#include <AudioToolbox/AudioUnit.h>
