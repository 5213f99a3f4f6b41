// Test hook of the CoreFoundation stand-in: how many created objects are still alive, so a test
// can check that code releases every reference it owns, in any build (not only under a leak
// checker). Constant objects (CFSTR, constant UUIDs) are not counted.
#pragma once

namespace VelmoraCompat {

// Any thread.
long cf_live_object_count();

} // namespace VelmoraCompat
