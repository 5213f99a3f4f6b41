// Stand-in for <CoreFoundation/CFBase.h>: the base types, retain/release and equality of the
// CoreFoundation subset.
//
// Objects are reference counted (atomically; any thread). Functions with Create or Copy in their
// name return an owned (+1) reference that the caller releases; Get functions return borrowed ones.
// As on Apple, CFRetain, CFRelease, CFEqual and CFGetRetainCount abort the process on NULL, and on
// anything that is not a CoreFoundation object: a stand-in that forgave them would hide faults.
#pragma once

#include <MacTypes.h>
#include <stdbool.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#if !defined(TRUE)
#define TRUE 1
#endif
#if !defined(FALSE)
#define FALSE 0
#endif

#if defined(__cplusplus)
#define CF_ENUM(_type, ...) enum __VA_ARGS__ : _type
#define CF_OPTIONS(_type, _name) _type _name; enum : _type
#else
#define CF_ENUM(_type, ...) enum __VA_ARGS__
#define CF_OPTIONS(_type, _name) _type _name; enum
#endif

typedef signed long CFIndex;
typedef unsigned long CFTypeID;
typedef unsigned long CFOptionFlags;
typedef unsigned long CFHashCode;

#ifdef __cplusplus
enum : CFIndex { kCFNotFound = -1 };
#else
enum { kCFNotFound = -1 };
#endif

typedef const void* CFTypeRef;
typedef const struct __CFString* CFStringRef;
typedef struct __CFString* CFMutableStringRef;
typedef const struct __CFAllocator* CFAllocatorRef;
typedef CFTypeRef CFPropertyListRef;
typedef const struct __CFDictionary* CFDictionaryRef;
typedef const struct __CFArray* CFArrayRef;
typedef const struct __CFURL* CFURLRef;

// NULL and kCFAllocatorDefault both mean the default allocator; the stand-in has only one.
extern const CFAllocatorRef kCFAllocatorDefault;
extern const CFAllocatorRef kCFAllocatorSystemDefault;

CFTypeRef CFRetain(CFTypeRef cf);
void CFRelease(CFTypeRef cf);
CFIndex CFGetRetainCount(CFTypeRef cf);
// By value: strings by their characters, UUIDs by their bytes; objects of different types differ.
Boolean CFEqual(CFTypeRef cf1, CFTypeRef cf2);
CFHashCode CFHash(CFTypeRef cf);
CFTypeID CFGetTypeID(CFTypeRef cf);

#ifdef __cplusplus
}
static_assert(sizeof(CFIndex) == 8, "CFIndex is a long on LP64");
#endif
