// Stand-in for <CoreFoundation/CFString.h>: immutable strings, held as UTF-8.
//
// Supported encodings: kCFStringEncodingUTF8 and kCFStringEncodingASCII. Bytes that are not valid
// in the given encoding (malformed UTF-8, a byte above 0x7F for ASCII) make the Create functions
// return NULL, as on Apple. Other encodings are not supported: Create returns NULL and
// CFStringGetCString returns false.
#pragma once

#include <CoreFoundation/CFBase.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef UInt32 CFStringEncoding;

#ifdef __cplusplus
enum : CFStringEncoding {
#else
enum {
#endif
    kCFStringEncodingMacRoman = 0,
    kCFStringEncodingASCII = 0x0600,
    kCFStringEncodingUTF8 = 0x08000100
};

CFTypeID CFStringGetTypeID(void);

// +1. NULL for bytes that are invalid in `encoding` or an unsupported encoding.
CFStringRef CFStringCreateWithCString(CFAllocatorRef alloc, const char* cStr, CFStringEncoding encoding);
CFStringRef CFStringCreateWithBytes(CFAllocatorRef alloc, const UInt8* bytes, CFIndex numBytes, CFStringEncoding encoding,
                                    Boolean isExternalRepresentation);
CFStringRef CFStringCreateCopy(CFAllocatorRef alloc, CFStringRef theString);

// Length in UTF-16 code units, as on Apple (a character outside the BMP counts 2).
CFIndex CFStringGetLength(CFStringRef theString);
// Writes the string and a terminating NUL into `buffer`. False, leaving `buffer` as it was, when
// the string cannot be represented in `encoding` or `bufferSize` is too small for it and the NUL.
Boolean CFStringGetCString(CFStringRef theString, char* buffer, CFIndex bufferSize, CFStringEncoding encoding);
// Always NULL here, a result Apple documents as normal: callers must fall back to
// CFStringGetCString, and this keeps that path exercised.
const char* CFStringGetCStringPtr(CFStringRef theString, CFStringEncoding encoding);
// Bytes needed for `length` UTF-16 units in `encoding`, without the NUL; kCFNotFound on overflow.
CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding);

// Compile-time constant strings: never freed, retain and release do nothing. The argument must be
// a string literal of valid UTF-8.
CFStringRef __CFStringMakeConstantString(const char* cStr);
#define CFSTR(cStr) __CFStringMakeConstantString("" cStr "")

#ifdef __cplusplus
}
#endif
