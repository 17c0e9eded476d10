// The basic scalar types of the platform's C interfaces, and the mark for parameters its
// headers declare non-null.
#pragma once
#include <stdint.h>

typedef unsigned char Boolean;
typedef uint8_t UInt8;
typedef int8_t SInt8;
typedef uint16_t UInt16;
typedef int16_t SInt16;
typedef uint32_t UInt32;
typedef int32_t SInt32;
typedef uint64_t UInt64;
typedef int64_t SInt64;
typedef float Float32;
typedef double Float64;
typedef SInt32 OSStatus;
typedef UInt32 FourCharCode;
typedef FourCharCode OSType;

// STANDIN_NONNULL(i, ...): parameters i, ... (counted from 1) are the ones the platform's
// headers mark _Nonnull. GCC and clang both refuse a literal NULL there (-Wnonnull), as clang
// does on the Mac. The stand-ins' own definitions of these functions are compiled with
// STANDIN_IMPLEMENTATION, so the compiler does not drop their null checks.
#ifdef STANDIN_IMPLEMENTATION
#define STANDIN_NONNULL(...)
#else
#define STANDIN_NONNULL(...) __attribute__((nonnull(__VA_ARGS__)))
#endif
