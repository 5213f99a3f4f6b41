// Strict UTF-8 decoding of paths given on the command line, before they reach the loader.
#pragma once

#include <string>

namespace VelmoraMac {

// Any thread; allocates. Clears `out`; false (with `out` empty) for a null text and for invalid
// UTF-8: a continuation byte or a byte of 0xF8 and above as a lead byte, a missing continuation
// byte, an overlong form, a value above U+10FFFF, or a surrogate. An empty text gives an empty
// result and true.
bool utf8_path_to_wide(const char* text, std::wstring& out);

} // namespace VelmoraMac
