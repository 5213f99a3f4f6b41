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
    append_u16(out, static_cast<std::uint16_t>(value & 0xFFFFu));
    append_u16(out, static_cast<std::uint16_t>(value >> 16));
}

inline void append_u64(std::vector<char>& out, std::uint64_t value) {
    append_u32(out, static_cast<std::uint32_t>(value & 0xFFFFFFFFu));
    append_u32(out, static_cast<std::uint32_t>(value >> 32));
}

// In-place writers for datagrams whose storage is already sized (fragments reuse their vector).
// Spelled out byte by byte without loops: compilers merge such sequences into single
// little-endian stores and loads, which keeps the per-fragment cost near a plain copy.
inline void store_u16(char* out, std::uint16_t value) {
    out[0] = static_cast<char>(value & 0xFFu);
    out[1] = static_cast<char>(value >> 8);
}

inline void store_u32(char* out, std::uint32_t value) {
    out[0] = static_cast<char>(value & 0xFFu);
    out[1] = static_cast<char>((value >> 8) & 0xFFu);
    out[2] = static_cast<char>((value >> 16) & 0xFFu);
    out[3] = static_cast<char>(value >> 24);
}

inline void store_u64(char* out, std::uint64_t value) {
    store_u32(out, static_cast<std::uint32_t>(value & 0xFFFFFFFFu));
    store_u32(out + 4, static_cast<std::uint32_t>(value >> 32));
}

inline std::uint16_t load_u16(const char* in) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(in);
    return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}

inline std::uint32_t load_u32(const char* in) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(in);
    return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
           (static_cast<std::uint32_t>(bytes[2]) << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
}

inline std::uint64_t load_u64(const char* in) {
    return static_cast<std::uint64_t>(load_u32(in)) | (static_cast<std::uint64_t>(load_u32(in + 4)) << 32);
}

} // namespace VelmoraProtocol::detail
