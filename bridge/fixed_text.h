#pragma once
// Floating-point figures in fixed notation for the lines the bridge prints.

#include <string>

// What printf("%.*f", decimals, value) gives in the C locale: the exact binary value rounded
// (an exact half to the even digit), with a '.' whatever the locale's decimal point is. Built
// on snprintf, which macOS 12 has (floating-point std::to_chars needs macOS 13.3).
std::string fixedText(double value, int decimals);
