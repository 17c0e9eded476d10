#pragma once
#include <CoreAudioTypes/CoreAudioTypes.h>
