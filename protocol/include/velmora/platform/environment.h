#pragma once

#include <string>

namespace VelmoraPlatform {

// The variable's value; empty when the name is null or empty or the variable is unset.
// Any thread; may allocate.
std::string environment_string(const char* name);

} // namespace VelmoraPlatform
