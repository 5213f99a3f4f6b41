// Stand-in for <MacTypes.h>: the basic integer and status types of Apple's SDK (LP64).
// UInt64/SInt64 are long long, as on Apple, not glibc's long: printf formats and overloads
// written against the SDK must compile the same here. Boolean is one byte, not bool.
#pragma once

typedef unsigned char UInt8;
typedef signed char SInt8;
typedef unsigned short UInt16;
typedef signed short SInt16;
typedef unsigned int UInt32;
typedef signed int SInt32;
typedef unsigned long long UInt64;
typedef signed long long SInt64;
typedef float Float32;
typedef double Float64;
typedef unsigned char Boolean;
typedef SInt32 OSStatus;
typedef SInt16 OSErr;
typedef UInt32 FourCharCode;
typedef FourCharCode OSType;

enum { noErr = 0 };

#ifdef __cplusplus
static_assert(sizeof(UInt64) == 8 && sizeof(SInt64) == 8, "64-bit types");
static_assert(sizeof(Boolean) == 1, "Boolean is one byte");
#endif
