#include <velmora/engine_host/utf8_path.h>

#include <cstdint>

namespace VelmoraMac {

bool utf8_path_to_wide(const char* text, std::wstring& out) {
    out.clear();
    if (text == nullptr) {
        return false;
    }
    const auto fail = [&out] {
        out.clear();
        return false;
    };
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    while (*p != 0) {
        const unsigned char lead = *p++;
        std::uint32_t code = 0;
        int continuation = 0;
        std::uint32_t minimum = 0;
        if (lead < 0x80) {
            out.push_back(static_cast<wchar_t>(lead));
            continue;
        }
        if (lead < 0xC0 || lead >= 0xF8) {
            return fail();
        }
        if (lead < 0xE0) {
            code = lead & 0x1Fu;
            continuation = 1;
            minimum = 0x80;
        } else if (lead < 0xF0) {
            code = lead & 0x0Fu;
            continuation = 2;
            minimum = 0x800;
        } else {
            code = lead & 0x07u;
            continuation = 3;
            minimum = 0x10000;
        }
        for (int i = 0; i < continuation; ++i) {
            // The terminating NUL is not a continuation byte either, so this never reads past it.
            if ((*p & 0xC0u) != 0x80u) {
                return fail();
            }
            code = (code << 6) | (*p++ & 0x3Fu);
        }
        if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            return fail();
        }
        out.push_back(static_cast<wchar_t>(code));
    }
    return true;
}

} // namespace VelmoraMac
