#include "fuzz_check.h"

#include <velmora/protocol/packet_formats.h>

#include <climits>
#include <cstddef>
#include <cstdint>

using namespace VelmoraProtocol;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > INT_MAX) {
        return 0;
    }
    const int length = static_cast<int>(size);
    PacketHeader header;
    const PacketParseResult result = parse_packet_header(reinterpret_cast<const char*>(data), length, header);
    // The two header checks agree on every datagram that is long enough to have a header.
    if (result != PacketParseResult::too_short) {
        FUZZ_CHECK(validate_header(header, length) == (result == PacketParseResult::ok));
    }
    return 0;
}
