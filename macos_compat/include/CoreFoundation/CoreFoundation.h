// Stand-in for <CoreFoundation/CoreFoundation.h>: the subset of CoreFoundation the project uses.
#pragma once

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFString.h>
#include <CoreFoundation/CFUUID.h>
#include <CoreFoundation/CFPlugIn.h>
