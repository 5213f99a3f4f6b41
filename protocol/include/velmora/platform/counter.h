// A tick rate for converting counter readings into time.
#pragma once

#include <cstdint>

namespace VelmoraPlatform {

// Ticks per second of a time source. `host_time_nanoseconds` counts at 1 000 000 000.
struct Counter {
    std::int64_t rate = 0;
};

} // namespace VelmoraPlatform
