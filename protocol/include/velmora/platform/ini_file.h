// The lenient INI reader of the plug-in's own configuration file.
//
// Rules: lines are split at line feeds and trimmed of space, tab, CR and LF only; empty lines and
// lines starting with '#' or ';' are skipped; "[name]" (at least three characters) opens a section;
// section and key names match byte for byte (case-sensitive); the first matching key wins, even
// with an empty value; there are no inline comments, quotes or escapes. Keys before any header
// belong to the empty section. Control threads; they open and read the file.
#pragma once

#include <cstdint>
#include <string>

namespace VelmoraPlatform {

// The trimmed value of the first `key` in `section`, or `default_value` (empty when null) when
// the path, section or key is missing or the file cannot be read.
std::string read_ini_string(const char* path, const char* section, const char* key, const char* default_value);

// The value parsed with base-10 strtoul rules (a sign is accepted: -1 gives 4294967295), truncated
// to 32 bits; `default_value` when the key is missing or empty or characters are left over.
std::uint32_t read_ini_uint32(const char* path, const char* section, const char* key, std::uint32_t default_value);

// Never writes on this platform and returns false: the server's settings are edited by the
// settings app with administrator rights, not by the plug-in.
bool write_ini_string(const char* path, const char* section, const char* key, const char* value);

} // namespace VelmoraPlatform
