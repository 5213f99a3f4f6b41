// The UDP wire protocol shared by the engine and the server plug-in: one packet per datagram, no
// stream framing, no checksum. Every multi-byte integer is little-endian and is written and read
// byte by byte, so the bytes never depend on the host; audio samples are raw host-order (little-
// endian) IEEE-754 floats.
//
// Common header, at offset 0 of every packet (16 bytes):
//
//    0       4       6       8              12             16
//    +-------+-------+-------+--------------+--------------+
//    | magic |version| type  |     size     |  client_id   |
//    | VLMR  |  u16  |  u16  |     u32      |     u32      |
//    +-------+-------+-------+--------------+--------------+
//    magic   the bytes 56 4C 4D 52 ("VLMR")
//    version 5
//    size    whole datagram length in bytes, header included; must equal the received length
//    client_id never 0
//
// Packets after the header (offset: field, width in bytes):
//
//    type 4 discovery request   32 bytes  16 nonce u64 | 24 reserved u32 (0) | 28 reserved u32 (0)
//    type 5 discovery response  48 bytes  16 nonce u64 | 24 server_port u16 | 26 reserved u16 (0)
//                                         28 reserved u32 (0) | 32 protocol_version u32 (5)
//                                         36 capability_signature u64 | 44 reserved u32 (1)
//    type 6 time probe request  32 bytes  16 probe_id u64 | 24 client_send_time_ns u64
//    type 7 time probe response 48 bytes  16 probe_id u64 | 24 client_send_time_ns u64
//                                         32 server_receive_time_ns u64 | 40 server_send_time_ns u64
//    type 3 sync                44 bytes  16 sequence u32 | 20 sample_rate u32 | 24 frame_count u16
//                                         26 reserved u16 (0) | 28 server_sample_time u64
//                                         36 server_host_time_ns u64
//    type 1 announce     32 + 4 x (n + m) 16 input_channel_count u16 (n) | 18 output_channel_count u16 (m)
//                                         20 session_id u32 | 24 input_latency_blocks u32
//                                         28 output_latency_blocks u32 | 32 n input entries i32
//                                         32 + 4n m output entries i32
//           (a disconnect is an announce of exactly 32 bytes with both counts 0)
//    type 2 audio fragment  48 + 4 x k    16 sequence u32 | 20 sample_rate u32 | 24 frame_count u16
//                                         26 channel_count u16 | 28 channel_offset u16
//                                         30 fragment_channel_count u16 | 32 frame_offset u16
//                                         34 fragment_frame_count u16 | 36 fragment_index u16
//                                         38 fragment_count u16 | 40 server_sample_time u64
//                                         48 k = fragment_channel_count x fragment_frame_count f32
//                                            samples, row after row
//
// The records below mirror these layouts field for field with no padding, so several 64-bit fields
// sit at offsets that are not multiples of 8. Read and write record fields by value; do not bind
// references or pointers to them (gcc copies silently, clang's UBSan traps on the misaligned
// reference, e.g. inside EXPECT_EQ). The records are over-aligned as far as their sizes allow so
// that most fields are naturally aligned anyway.
//
// Byte vectors are std::vector<char> (`PacketBytes`), because datagrams arrive as const char*.
//
// Every function here may be called from any thread; none locks, blocks or makes a system call.
// Builders allocate the returned vector; parsers never allocate except for the announce entries,
// never throw and never read past `length`.
#pragma once

#include <velmora/protocol/client_settings.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace VelmoraProtocol {

using PacketBytes = std::vector<char>;

inline constexpr std::array<char, 4> kPacketMagic{'V', 'L', 'M', 'R'};
// The magic as a little-endian 32-bit value.
inline constexpr std::uint32_t kPacketMagicValue = 0x524D4C56u;
inline constexpr std::uint16_t kProtocolVersion = 5;
inline constexpr std::size_t kPacketHeaderSize = 16;
// Largest datagram any receiver accepts: the largest UDP payload over IPv4. Receive buffers are
// this size.
inline constexpr std::size_t kMaxDatagramBytes = 65507;
inline constexpr std::uint16_t kDefaultServerPort = 28010;

inline constexpr std::size_t kDiscoveryRequestPacketSize = 32;
inline constexpr std::size_t kDiscoveryResponsePacketSize = 48;
inline constexpr std::size_t kTimeProbeRequestPacketSize = 32;
inline constexpr std::size_t kTimeProbeResponsePacketSize = 48;
inline constexpr std::size_t kSyncPacketSize = 44;
// Fixed parts; the channel entries or the samples follow.
inline constexpr std::size_t kAnnouncePacketFixedSize = 32;
inline constexpr std::size_t kAudioFragmentPacketFixedSize = 48;

// 01 00 05 00 followed by the magic reversed ("RMLV"), read as a little-endian 64-bit value.
inline constexpr std::uint64_t kCapabilitySignature = 0x564C4D5200050001ull;
// What a discovery response carries in its last field.
inline constexpr std::uint32_t kDiscoveryResponseTrailer = 1;

enum class PacketType : std::uint16_t {
    announce = 1,
    audio_fragment = 2,
    sync = 3,
    discovery_request = 4,
    discovery_response = 5,
    time_probe_request = 6,
    time_probe_response = 7,
};

// Returned by every parser. A caller uses the record only on `ok`; otherwise it drops the
// datagram silently.
enum class PacketParseResult : std::uint8_t {
    ok = 0,
    null_buffer = 1,     // data pointer is null
    too_short = 2,       // length below the 16-byte header (negative lengths included)
    bad_magic = 3,       // first four bytes are not "VLMR"
    bad_version = 4,     // version is not 5
    bad_size = 5,        // `size` differs from the length, or a fixed-size type has another length
    zero_client = 6,     // client_id is 0
    wrong_type = 7,      // not the type a fixed-size parser expects
    invalid_payload = 8, // announce or audio fragment: wrong type, too short, or inconsistent contents
};

// The name of a result code ("ok", "too_short", ...), for log lines; "unknown" for other values.
const char* packet_parse_result_name(PacketParseResult result);

#pragma pack(push, 1)

struct alignas(8) PacketHeader {
    std::array<char, 4> magic{};
    std::uint16_t version = 0;
    std::uint16_t type = 0;
    std::uint32_t size = 0;
    std::uint32_t client_id = 0;
};

struct alignas(8) DiscoveryRequestPacket {
    std::array<char, 4> magic{};
    std::uint16_t version = 0;
    std::uint16_t type = 0;
    std::uint32_t size = 0;
    std::uint32_t client_id = 0;
    std::uint64_t nonce = 0;
    std::uint32_t reserved_24 = 0;
    std::uint32_t reserved_28 = 0;
};

struct alignas(8) DiscoveryResponsePacket {
    std::array<char, 4> magic{};
    std::uint16_t version = 0;
    std::uint16_t type = 0;
    std::uint32_t size = 0;
    std::uint32_t client_id = 0;
    std::uint64_t nonce = 0;
    std::uint16_t server_port = 0;
    std::uint16_t reserved_26 = 0;
    std::uint32_t reserved_28 = 0;
    std::uint32_t protocol_version = 0;
    std::uint64_t capability_signature = 0; // at offset 36: never naturally aligned
    std::uint32_t reserved_44 = 0;
};

struct alignas(8) TimeProbeRequestPacket {
    std::array<char, 4> magic{};
    std::uint16_t version = 0;
    std::uint16_t type = 0;
    std::uint32_t size = 0;
    std::uint32_t client_id = 0;
    std::uint64_t probe_id = 0;
    std::uint64_t client_send_time_ns = 0;
};

struct alignas(8) TimeProbeResponsePacket {
    std::array<char, 4> magic{};
    std::uint16_t version = 0;
    std::uint16_t type = 0;
    std::uint32_t size = 0;
    std::uint32_t client_id = 0;
    std::uint64_t probe_id = 0;
    std::uint64_t client_send_time_ns = 0;
    std::uint64_t server_receive_time_ns = 0;
    std::uint64_t server_send_time_ns = 0;
};

// 44 bytes: only 4-byte alignment keeps the size; both 64-bit fields are never naturally aligned.
struct alignas(4) SyncPacket {
    std::array<char, 4> magic{};
    std::uint16_t version = 0;
    std::uint16_t type = 0;
    std::uint32_t size = 0;
    std::uint32_t client_id = 0;
    std::uint32_t sequence = 0;
    std::uint32_t sample_rate = 0;
    std::uint16_t frame_count = 0;
    std::uint16_t reserved_26 = 0;
    std::uint64_t server_sample_time = 0;
    std::uint64_t server_host_time_ns = 0;
};

// The fixed part; the channel entries are returned separately by `parse_announce_packet`.
struct alignas(8) AnnouncePacket {
    std::array<char, 4> magic{};
    std::uint16_t version = 0;
    std::uint16_t type = 0;
    std::uint32_t size = 0;
    std::uint32_t client_id = 0;
    std::uint16_t input_channel_count = 0;
    std::uint16_t output_channel_count = 0;
    std::uint32_t session_id = 0;
    std::uint32_t input_latency_blocks = 0;
    std::uint32_t output_latency_blocks = 0;
};

// The fixed part of one rectangle of a planar block: rows channel_offset ..
// channel_offset + fragment_channel_count - 1, frames frame_offset ..
// frame_offset + fragment_frame_count - 1 of each. The samples follow on the wire.
struct alignas(8) AudioFragmentPacket {
    std::array<char, 4> magic{};
    std::uint16_t version = 0;
    std::uint16_t type = 0;
    std::uint32_t size = 0;
    std::uint32_t client_id = 0;
    std::uint32_t sequence = 0;
    std::uint32_t sample_rate = 0;
    std::uint16_t frame_count = 0;
    std::uint16_t channel_count = 0;
    std::uint16_t channel_offset = 0;
    std::uint16_t fragment_channel_count = 0;
    std::uint16_t frame_offset = 0;
    std::uint16_t fragment_frame_count = 0;
    std::uint16_t fragment_index = 0;
    std::uint16_t fragment_count = 0;
    std::uint64_t server_sample_time = 0; // the block's sample position from the server, 0 from the engine
};

#pragma pack(pop)

// Every record mirrors its wire layout exactly.
#define VELMORA_CHECK_HEADER_FIELDS(Record)                                                                  \
    static_assert(offsetof(Record, magic) == 0 && offsetof(Record, version) == 4 &&                          \
                  offsetof(Record, type) == 6 && offsetof(Record, size) == 8 &&                              \
                  offsetof(Record, client_id) == 12)
VELMORA_CHECK_HEADER_FIELDS(PacketHeader);
VELMORA_CHECK_HEADER_FIELDS(DiscoveryRequestPacket);
VELMORA_CHECK_HEADER_FIELDS(DiscoveryResponsePacket);
VELMORA_CHECK_HEADER_FIELDS(TimeProbeRequestPacket);
VELMORA_CHECK_HEADER_FIELDS(TimeProbeResponsePacket);
VELMORA_CHECK_HEADER_FIELDS(SyncPacket);
VELMORA_CHECK_HEADER_FIELDS(AnnouncePacket);
VELMORA_CHECK_HEADER_FIELDS(AudioFragmentPacket);
#undef VELMORA_CHECK_HEADER_FIELDS

static_assert(sizeof(PacketHeader) == kPacketHeaderSize);
static_assert(sizeof(DiscoveryRequestPacket) == kDiscoveryRequestPacketSize);
static_assert(offsetof(DiscoveryRequestPacket, nonce) == 16 &&
              offsetof(DiscoveryRequestPacket, reserved_24) == 24 &&
              offsetof(DiscoveryRequestPacket, reserved_28) == 28);
static_assert(sizeof(DiscoveryResponsePacket) == kDiscoveryResponsePacketSize);
static_assert(offsetof(DiscoveryResponsePacket, nonce) == 16 &&
              offsetof(DiscoveryResponsePacket, server_port) == 24 &&
              offsetof(DiscoveryResponsePacket, reserved_26) == 26 &&
              offsetof(DiscoveryResponsePacket, reserved_28) == 28 &&
              offsetof(DiscoveryResponsePacket, protocol_version) == 32 &&
              offsetof(DiscoveryResponsePacket, capability_signature) == 36 &&
              offsetof(DiscoveryResponsePacket, reserved_44) == 44);
static_assert(sizeof(TimeProbeRequestPacket) == kTimeProbeRequestPacketSize);
static_assert(offsetof(TimeProbeRequestPacket, probe_id) == 16 &&
              offsetof(TimeProbeRequestPacket, client_send_time_ns) == 24);
static_assert(sizeof(TimeProbeResponsePacket) == kTimeProbeResponsePacketSize);
static_assert(offsetof(TimeProbeResponsePacket, probe_id) == 16 &&
              offsetof(TimeProbeResponsePacket, client_send_time_ns) == 24 &&
              offsetof(TimeProbeResponsePacket, server_receive_time_ns) == 32 &&
              offsetof(TimeProbeResponsePacket, server_send_time_ns) == 40);
static_assert(sizeof(SyncPacket) == kSyncPacketSize);
static_assert(offsetof(SyncPacket, sequence) == 16 && offsetof(SyncPacket, sample_rate) == 20 &&
              offsetof(SyncPacket, frame_count) == 24 && offsetof(SyncPacket, reserved_26) == 26 &&
              offsetof(SyncPacket, server_sample_time) == 28 &&
              offsetof(SyncPacket, server_host_time_ns) == 36);
static_assert(sizeof(AnnouncePacket) == kAnnouncePacketFixedSize);
static_assert(offsetof(AnnouncePacket, input_channel_count) == 16 &&
              offsetof(AnnouncePacket, output_channel_count) == 18 &&
              offsetof(AnnouncePacket, session_id) == 20 &&
              offsetof(AnnouncePacket, input_latency_blocks) == 24 &&
              offsetof(AnnouncePacket, output_latency_blocks) == 28);
static_assert(sizeof(AudioFragmentPacket) == kAudioFragmentPacketFixedSize);
static_assert(offsetof(AudioFragmentPacket, sequence) == 16 &&
              offsetof(AudioFragmentPacket, sample_rate) == 20 &&
              offsetof(AudioFragmentPacket, frame_count) == 24 &&
              offsetof(AudioFragmentPacket, channel_count) == 26 &&
              offsetof(AudioFragmentPacket, channel_offset) == 28 &&
              offsetof(AudioFragmentPacket, fragment_channel_count) == 30 &&
              offsetof(AudioFragmentPacket, frame_offset) == 32 &&
              offsetof(AudioFragmentPacket, fragment_frame_count) == 34 &&
              offsetof(AudioFragmentPacket, fragment_index) == 36 &&
              offsetof(AudioFragmentPacket, fragment_count) == 38 &&
              offsetof(AudioFragmentPacket, server_sample_time) == 40);

// Builders: each returns a new vector holding exactly one datagram, capacity reserved to its final
// size. They do not validate their arguments.

PacketBytes build_discovery_request_packet(std::uint32_t client_id, std::uint64_t nonce);
// protocol_version 5, capability_signature kCapabilitySignature, trailing field 1.
PacketBytes build_discovery_response_packet(std::uint32_t client_id, std::uint64_t nonce,
                                            std::uint16_t server_port);
PacketBytes build_time_probe_request_packet(std::uint32_t client_id, std::uint64_t probe_id,
                                            std::uint64_t client_send_time_ns);
PacketBytes build_time_probe_response_packet(std::uint32_t client_id, std::uint64_t probe_id,
                                             std::uint64_t client_send_time_ns,
                                             std::uint64_t server_receive_time_ns,
                                             std::uint64_t server_send_time_ns);
PacketBytes build_sync_packet(std::uint32_t client_id, std::uint32_t sequence, std::uint32_t sample_rate,
                              std::uint16_t frame_count, std::uint64_t server_sample_time,
                              std::uint64_t server_host_time_ns);
// The same bytes into `out`, reusing its storage: a sender of one sync per block allocates nothing.
void build_sync_packet(std::uint32_t client_id, std::uint32_t sequence, std::uint32_t sample_rate,
                       std::uint16_t frame_count, std::uint64_t server_sample_time, std::uint64_t server_host_time_ns,
                       PacketBytes& out);
// From `settings`: client_id, the sizes of driver_inputs and driver_outputs (truncated to 16 bits)
// as the counts, both latency fields, then every input entry followed by every output entry, each
// as its low 32 bits. `size` is the length of the datagram written. Session id 0.
PacketBytes build_announce_packet(const ClientSettings& settings);
PacketBytes build_announce_packet(const ClientSettings& settings, std::uint32_t session_id);
// An announce of 32 bytes with no channels and both latencies 0: the engine is leaving.
PacketBytes build_client_disconnect_packet(std::uint32_t client_id, std::uint32_t session_id);

// Clears `header`, then: null data gives null_buffer, length below 16 too_short. Otherwise fills
// all five fields from the first 16 bytes (also when a later check fails) and checks, in this
// order, magic, version, size == length and a non-zero client id.
PacketParseResult parse_packet_header(const char* data, int length, PacketHeader& header);

// True exactly when magic, version 5, size == length and a non-zero client id all hold.
bool validate_header(const PacketHeader& header, int length);

// Fixed-size parsers: the header checks, then wrong_type for another type, then bad_size for any
// length but the type's fixed size, then the fields. The record is cleared first and may be
// partly filled on failure.
PacketParseResult parse_discovery_request_packet(const char* data, int length,
                                                 DiscoveryRequestPacket& packet);
PacketParseResult parse_discovery_response_packet(const char* data, int length,
                                                  DiscoveryResponsePacket& packet);
PacketParseResult parse_time_probe_request_packet(const char* data, int length,
                                                  TimeProbeRequestPacket& packet);
PacketParseResult parse_time_probe_response_packet(const char* data, int length,
                                                   TimeProbeResponsePacket& packet);
PacketParseResult parse_sync_packet(const char* data, int length, SyncPacket& packet);

// The header checks, then invalid_payload for a length below 32, another type, or a length other
// than 32 + 4 x (input + output count). The entries come back in wire order, each read as a signed
// 32-bit value widened to 64 bits. Both vectors are emptied first; a disconnect parses with both
// empty. Allocates when the vectors grow.
PacketParseResult parse_announce_packet(const char* data, int length, AnnouncePacket& packet,
                                        std::vector<std::int64_t>& input_entries,
                                        std::vector<std::int64_t>& output_entries);

// The header checks, then invalid_payload for a length below 48, another type, an empty block or
// fragment, a fragment index outside the count, a rectangle outside the block, or a length other
// than 48 + 4 x fragment_channel_count x fragment_frame_count. On ok, `samples` points at byte 48
// of `data` (no copy: valid only while the receive buffer is) and `sample_count` is the number of
// samples there; otherwise they are null and 0. The pointer is only as aligned as `data` + 48 is:
// copy from it with memcpy when `data` may be unaligned.
PacketParseResult parse_audio_fragment_packet(const char* data, int length, AudioFragmentPacket& packet,
                                              const float*& samples, std::size_t& sample_count);

// Sequence numbers are 32-bit block counters that wrap. This is their only comparison: the
// difference a - b modulo 2^32 read as a signed 32-bit value.
constexpr std::int32_t sequence_difference(std::uint32_t a, std::uint32_t b) {
    return static_cast<std::int32_t>(a - b);
}
// a is ahead of b: 0 is newer than 4294967295; a number exactly 2^31 ahead counts as older.
constexpr bool is_sequence_newer(std::uint32_t a, std::uint32_t b) {
    return sequence_difference(a, b) > 0;
}
constexpr bool is_sequence_not_older(std::uint32_t a, std::uint32_t b) {
    return sequence_difference(a, b) >= 0;
}

} // namespace VelmoraProtocol
