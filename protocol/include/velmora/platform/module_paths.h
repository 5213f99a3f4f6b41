// Paths next to the running module (the executable or shared object containing an address).
// Any thread; may allocate.
#pragma once

#include <string>

namespace VelmoraPlatform {

// The folder of the image holding `address_in_module` followed by `file_name`; `file_name`
// unchanged when the image or its path cannot be found; empty when `file_name` is null or empty.
// The wide form decodes the loader's UTF-8 path, so `load_dynamic_library` finds the same file.
std::string module_sibling_path(const void* address_in_module, const char* file_name);
std::wstring module_sibling_path_wide(const void* address_in_module, const wchar_t* file_name);

} // namespace VelmoraPlatform
