#pragma once
#include <CoreFoundation/CFBase.h>

typedef UInt32 CFStringEncoding;
enum { kCFStringEncodingUTF8 = 0x08000100, kCFStringEncodingASCII = 0x0600 };

CF_EXTERN_C_BEGIN
CF_EXPORT CFTypeID CFStringGetTypeID(void);
// Immortal, interned string for a C literal; what CFSTR("...") expands to.
CF_EXPORT CFStringRef __CFStringMakeConstantString(const char* cStr);
CF_EXPORT CFStringRef CFStringCreateWithCString(CFAllocatorRef alloc, const char* cStr,
                                                CFStringEncoding encoding);
CF_EXPORT CFStringRef CFStringCreateWithBytes(CFAllocatorRef alloc, const UInt8* bytes,
                                              CFIndex numBytes, CFStringEncoding encoding,
                                              Boolean isExternalRepresentation);
// Length in UTF-16 code units, as on the platform.
CF_EXPORT CFIndex CFStringGetLength(CFStringRef str);
CF_EXPORT CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding);
CF_EXPORT Boolean CFStringGetCString(CFStringRef str, char* buffer, CFIndex bufferSize,
                                     CFStringEncoding encoding);
CF_EXPORT const char* CFStringGetCStringPtr(CFStringRef str, CFStringEncoding encoding);
// Converts the characters of `range` (UTF-16 code units) into `buffer`, whole characters only,
// at most `maxBufLen` bytes; with a null buffer only counts. Embedded NUL characters are kept.
// Returns the number of characters converted; the byte count goes to `usedBufLen`.
CF_EXPORT CFIndex CFStringGetBytes(CFStringRef str, CFRange range, CFStringEncoding encoding,
                                   UInt8 lossByte, Boolean isExternalRepresentation, UInt8* buffer,
                                   CFIndex maxBufLen, CFIndex* usedBufLen);
CF_EXTERN_C_END

#define CFSTR(cStr) __CFStringMakeConstantString("" cStr "")
