// Stand-in for <CoreFoundation/CFPlugIn.h>: the factory signature and the Info.plist keys of
// plug-in bundles. Loading bundles is left to the program that hosts them.
#pragma once

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFString.h>
#include <CoreFoundation/CFUUID.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef void* (*CFPlugInFactoryFunction)(CFAllocatorRef allocator, CFUUIDRef typeUUID);

extern const CFStringRef kCFPlugInDynamicRegistrationKey;
extern const CFStringRef kCFPlugInDynamicRegisterFunctionKey;
extern const CFStringRef kCFPlugInUnloadFunctionKey;
extern const CFStringRef kCFPlugInFactoriesKey;
extern const CFStringRef kCFPlugInTypesKey;

#ifdef __cplusplus
}
#endif

#include <CoreFoundation/CFPlugInCOM.h>
