// Little-endian byte helpers of the wire protocol, private to the library. Everything goes byte
// by byte, low byte first, so the bytes never depend on the host's order or alignment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace VelmoraProtocol::detail {

inline void append_u16(std::vector<char>& out, std::uint16_t value) {
    out.push_back(static_cast<char>(value & 0xFFu));
    out.push_back(static_cast<char>(value >> 8));
}

inline void append_u32(std::vector<char>& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<char>((value >> shift) & 0xFFu));
    }
}

inline void append_u64(std::vector<char>& out, std::uint64_t value) {
    for (int shift = 0; shift < 64; shift += 8) {
        out.push_back(static_cast<char>((value >> shift) & 0xFFu));
    }
}

// In-place writers for datagrams whose storage is already sized (fragments reuse their vector).
inline void store_u16(char* out, std::uint16_t value) {
    out[0] = static_cast<char>(value & 0xFFu);
    out[1] = static_cast<char>(value >> 8);
}

inline void store_u32(char* out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<char>((value >> (8 * i)) & 0xFFu);
    }
}

inline void store_u64(char* out, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) {
        out[i] = static_cast<char>((value >> (8 * i)) & 0xFFu);
    }
}

inline std::uint16_t load_u16(const char* in) {
    return static_cast<std::uint16_t>(static_cast<unsigned char>(in[0]) |
                                      (static_cast<unsigned char>(in[1]) << 8));
}

inline std::uint32_t load_u32(const char* in) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value = (value << 8) | static_cast<unsigned char>(in[i]);
    }
    return value;
}

inline std::uint64_t load_u64(const char* in) {
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        value = (value << 8) | static_cast<unsigned char>(in[i]);
    }
    return value;
}

} // namespace VelmoraProtocol::detail
