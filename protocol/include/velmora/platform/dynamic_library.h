// Dynamic loading by path. Control threads; may block on the loader.
#pragma once

#include <cstdint>
#include <string>

namespace VelmoraPlatform {

// Loads with immediate binding. Null for an empty path, for a path holding a surrogate code
// point or a value above U+10FFFF (nothing is loaded then), or when the loader fails.
void* load_dynamic_library(const std::wstring& path);

// Null when the handle is null, the name is null or empty, or the symbol is missing.
void* load_dynamic_symbol(void* handle, const char* name);

// Does nothing for a null handle.
void unload_dynamic_library(void* handle);

// The UTF-8 form of `path` (the conversion `load_dynamic_library` uses); false for a surrogate
// code point or a value above U+10FFFF.
bool wide_path_to_utf8(const std::wstring& path, std::string& utf8);

} // namespace VelmoraPlatform
