#include <velmora/protocol/audio_fragments.h>
#include <velmora/protocol/packet_formats.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

using namespace VelmoraProtocol;

namespace {

// A datagram written out byte by byte, as hex; spaces separate the fields.
PacketBytes bytes(const char* hex) {
    PacketBytes out;
    for (const char* p = hex; *p != '\0'; ++p) {
        if (*p != ' ') {
            out.push_back(static_cast<char>(std::stoi(std::string(p, 2), nullptr, 16)));
            ++p;
        }
    }
    return out;
}

int length_of(const PacketBytes& datagram) {
    return static_cast<int>(datagram.size());
}

// Golden datagrams, one per packet type, from the layout tables. Values are chosen so that every
// byte of a multi-byte field differs, which exposes any byte-order or offset slip. Each starts with
// the header: magic, version, type, size, client id.
// Nonce, reserved.
const PacketBytes kDiscoveryRequest =
    bytes("564C4D52 0500 0400 20000000 01020304 8877665544332211 0000000000000000");
// Nonce, port 28010, version, signature, trailer.
const PacketBytes kDiscoveryResponse = bytes("564C4D52 0500 0500 30000000 01020304 EFCDAB8967452301 "
                                             "6A6D000000000000 05000000 01000500524D4C56 01000000");
// Probe id, t1.
const PacketBytes kTimeProbeRequest =
    bytes("564C4D52 0500 0600 20000000 07000000 0200000001000000 1122334455667788");
// Probe id, t1, t2, t3.
const PacketBytes kTimeProbeResponse = bytes("564C4D52 0500 0700 30000000 07000000 0900000000000000 "
                                             "0807060504030201 1817161514131211 2827262524232221");
// Sequence, 48000 Hz, 128 frames, sample time, host time.
const PacketBytes kSync =
    bytes("564C4D52 0500 0300 2C000000 03000000 FEFFFFFF 80BB0000 80000000 8967452301000000 1032547698BADCFE");
// Input count 2, output count 2, session 0xA1B2C3D4, latencies 6 and 7, inputs {2, 3}, outputs {0, -1}.
const PacketBytes kAnnounce = bytes("564C4D52 0500 0100 30000000 2A000000 0200 0200 D4C3B2A1 06000000 07000000 "
                                    "02000000 03000000 00000000 FFFFFFFF");
// A disconnect: no channels, the session, no latencies.
const PacketBytes kDisconnect =
    bytes("564C4D52 0500 0100 20000000 2A000000 0000 0000 D4C3B2A1 00000000 00000000");
// Rows 1..2, frames 1..2 of a 3-channel x 4-frame block: sequence, 44100 Hz, 4 frames, 3 channels,
// channel offset 1, 2 rows, frame offset 1, 2 frames, fragment 1 of 3, sample time, then the samples
// 1.0, -2.0, 0.5, 0.25.
const PacketBytes kAudioFragment = bytes("564C4D52 0500 0200 40000000 05000000 04030201 44AC0000 0400 0300 "
                                         "0100 0200 0100 0200 0100 0300 11100F0E0D0C0B0A "
                                         "0000803F 000000C0 0000003F 0000803E");

ClientSettings announce_settings() {
    ClientSettings settings;
    settings.client_id = 42;
    settings.driver_inputs = {2, 3};
    settings.driver_outputs = {0, -1};
    settings.input_latency_blocks = 6;
    settings.output_latency_blocks = 7;
    return settings;
}

// Copies so that a comparison never binds a reference to a packed field.
template <typename T>
T value(T field) {
    return field;
}

// Every record starts with the header's fields.
template <typename Record>
void expect_header(const Record& record, PacketType type, std::uint32_t size, std::uint32_t client_id) {
    EXPECT_EQ(std::tuple(value(record.magic), value(record.version), value(record.type), value(record.size),
                         value(record.client_id)),
              std::tuple(kPacketMagic, std::uint16_t{5}, static_cast<std::uint16_t>(type), size, client_id));
}

// Parses a golden datagram of a fixed-size type, which must succeed, and checks its header.
template <typename Record, PacketParseResult (*Parse)(const char*, int, Record&)>
Record parsed(const PacketBytes& datagram, PacketType type, std::uint32_t client_id) {
    Record record;
    EXPECT_EQ(Parse(datagram.data(), length_of(datagram), record), PacketParseResult::ok);
    expect_header(record, type, static_cast<std::uint32_t>(datagram.size()), client_id);
    return record;
}

} // namespace

// Each golden datagram parses, and building from the parsed fields gives its bytes back, as does
// building from the table's values: a field read or written at a wrong offset, width or byte order
// cannot pass both.
TEST(PacketGolden, FixedSizePacketsParseAndBuildTheSameBytes) {
    const auto request = parsed<DiscoveryRequestPacket, parse_discovery_request_packet>(
        kDiscoveryRequest, PacketType::discovery_request, 0x04030201u);
    EXPECT_EQ(build_discovery_request_packet(request.client_id, request.nonce), kDiscoveryRequest);
    EXPECT_EQ(build_discovery_request_packet(0x04030201u, 0x1122334455667788u), kDiscoveryRequest);

    const auto response = parsed<DiscoveryResponsePacket, parse_discovery_response_packet>(
        kDiscoveryResponse, PacketType::discovery_response, 0x04030201u);
    EXPECT_EQ(std::tuple(value(response.protocol_version), value(response.capability_signature),
                         value(response.reserved_44)),
              std::tuple(5u, std::uint64_t{0x564C4D5200050001u}, 1u));
    EXPECT_EQ(build_discovery_response_packet(response.client_id, response.nonce, response.server_port),
              kDiscoveryResponse);
    EXPECT_EQ(build_discovery_response_packet(0x04030201u, 0x0123456789ABCDEFu, 28010), kDiscoveryResponse);

    const auto probe = parsed<TimeProbeRequestPacket, parse_time_probe_request_packet>(
        kTimeProbeRequest, PacketType::time_probe_request, 7);
    EXPECT_EQ(build_time_probe_request_packet(probe.client_id, probe.probe_id, probe.client_send_time_ns),
              kTimeProbeRequest);
    EXPECT_EQ(build_time_probe_request_packet(7, 0x0000000100000002u, 0x8877665544332211u),
              kTimeProbeRequest);

    const auto answer = parsed<TimeProbeResponsePacket, parse_time_probe_response_packet>(
        kTimeProbeResponse, PacketType::time_probe_response, 7);
    EXPECT_EQ(build_time_probe_response_packet(answer.client_id, answer.probe_id, answer.client_send_time_ns,
                                               answer.server_receive_time_ns, answer.server_send_time_ns),
              kTimeProbeResponse);
    EXPECT_EQ(
        build_time_probe_response_packet(7, 9, 0x0102030405060708u, 0x1112131415161718u, 0x2122232425262728u),
        kTimeProbeResponse);

    const auto sync = parsed<SyncPacket, parse_sync_packet>(kSync, PacketType::sync, 3);
    EXPECT_EQ(build_sync_packet(sync.client_id, sync.sequence, sync.sample_rate, sync.frame_count,
                                sync.server_sample_time, sync.server_host_time_ns),
              kSync);
    EXPECT_EQ(build_sync_packet(3, 0xFFFFFFFEu, 48000, 128, 0x0000000123456789u, 0xFEDCBA9876543210u), kSync);
    // Into a datagram that held something longer: the same bytes, in the same storage.
    PacketBytes reused(1200, '\x7f');
    const char* storage = reused.data();
    build_sync_packet(3, 0xFFFFFFFEu, 48000, 128, 0x0000000123456789u, 0xFEDCBA9876543210u, reused);
    EXPECT_EQ(reused, kSync);
    EXPECT_EQ(reused.data(), storage);
}

TEST(PacketGolden, AnnounceAndDisconnectParseAndBuildTheSameBytes) {
    AnnouncePacket packet;
    std::vector<std::int64_t> inputs{99};
    std::vector<std::int64_t> outputs{99};
    ASSERT_EQ(parse_announce_packet(kAnnounce.data(), length_of(kAnnounce), packet, inputs, outputs),
              PacketParseResult::ok);
    expect_header(packet, PacketType::announce, 48, 42);
    EXPECT_EQ(std::tuple(value(packet.input_channel_count), value(packet.output_channel_count),
                         value(packet.session_id), value(packet.input_latency_blocks),
                         value(packet.output_latency_blocks)),
              std::tuple(2, 2, 0xA1B2C3D4u, 6u, 7u));
    EXPECT_EQ(inputs, (std::vector<std::int64_t>{2, 3}));
    EXPECT_EQ(outputs, (std::vector<std::int64_t>{0, -1}));
    EXPECT_EQ(build_announce_packet(announce_settings(), 0xA1B2C3D4u), kAnnounce);
    // Without a session the field is 0; entries go out as their low 32 bits.
    ClientSettings settings = announce_settings();
    settings.driver_outputs = {0, 0x1FFFFFFFFll};
    PacketBytes expected = kAnnounce;
    std::memset(expected.data() + 20, 0, 4);
    EXPECT_EQ(build_announce_packet(settings), expected);

    // A disconnect is an empty announce.
    EXPECT_EQ(build_client_disconnect_packet(42, 0xA1B2C3D4u), kDisconnect);
    ASSERT_EQ(parse_announce_packet(kDisconnect.data(), length_of(kDisconnect), packet, inputs, outputs),
              PacketParseResult::ok);
    EXPECT_EQ(std::uint32_t{packet.session_id}, 0xA1B2C3D4u);
    EXPECT_TRUE(inputs.empty() && outputs.empty());
}

TEST(PacketGolden, AudioFragmentParsesPointingIntoTheDatagramAndBuildsTheSameBytes) {
    AudioFragmentPacket p;
    const float* samples = nullptr;
    std::size_t count = 0;
    ASSERT_EQ(
        parse_audio_fragment_packet(kAudioFragment.data(), length_of(kAudioFragment), p, samples, count),
        PacketParseResult::ok);
    expect_header(p, PacketType::audio_fragment, 64, 5);
    EXPECT_EQ(reinterpret_cast<const char*>(samples), kAudioFragment.data() + 48);
    ASSERT_EQ(count, 4u);
    PacketBytes rebuilt;
    ASSERT_TRUE(build_audio_fragment_packet(
        p.client_id, p.sequence, p.sample_rate, p.frame_count, p.channel_count, p.channel_offset,
        p.fragment_channel_count, p.frame_offset, p.fragment_frame_count, p.fragment_index, p.fragment_count,
        p.server_sample_time, samples, count, rebuilt, 1200));
    EXPECT_EQ(rebuilt, kAudioFragment);
    const std::vector<float> values{1.0f, -2.0f, 0.5f, 0.25f};
    ASSERT_TRUE(build_audio_fragment_packet(5, 0x01020304u, 44100, 4, 3, 1, 2, 1, 2, 1, 3,
                                            0x0A0B0C0D0E0F1011u, values, rebuilt, 1200));
    EXPECT_EQ(rebuilt, kAudioFragment);
}

// The header checks, in their order, are shared by every parser. Each damaged variant breaks one
// check and everything after it, so a check made out of order shows up as the wrong code.
struct ParserCase {
    const char* name;
    const PacketBytes* golden;
    std::function<PacketParseResult(const char*, int)> parse;
};

// A parser of a fixed-size record, as a ParserCase calls it.
template <typename Record, PacketParseResult (*Parse)(const char*, int, Record&)>
PacketParseResult parse_fixed(const char* data, int length) {
    Record record;
    return Parse(data, length, record);
}

std::vector<ParserCase> all_parsers() {
    return {
        {"header", &kSync, parse_fixed<PacketHeader, parse_packet_header>},
        {"discovery request", &kDiscoveryRequest,
         parse_fixed<DiscoveryRequestPacket, parse_discovery_request_packet>},
        {"discovery response", &kDiscoveryResponse,
         parse_fixed<DiscoveryResponsePacket, parse_discovery_response_packet>},
        {"time probe request", &kTimeProbeRequest,
         parse_fixed<TimeProbeRequestPacket, parse_time_probe_request_packet>},
        {"time probe response", &kTimeProbeResponse,
         parse_fixed<TimeProbeResponsePacket, parse_time_probe_response_packet>},
        {"sync", &kSync, parse_fixed<SyncPacket, parse_sync_packet>},
        {"announce", &kAnnounce,
         [](const char* d, int n) {
             AnnouncePacket p;
             std::vector<std::int64_t> in, out;
             return parse_announce_packet(d, n, p, in, out);
         }},
        {"audio fragment", &kAudioFragment,
         [](const char* d, int n) {
             AudioFragmentPacket p;
             const float* s = nullptr;
             std::size_t c = 0;
             return parse_audio_fragment_packet(d, n, p, s, c);
         }},
    };
}

void put_u32(PacketBytes& datagram, std::size_t offset, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        datagram[offset + i] = static_cast<char>(value >> (8 * i));
    }
}

void put_u16(PacketBytes& datagram, std::size_t offset, std::uint16_t value) {
    datagram[offset] = static_cast<char>(value & 0xFF);
    datagram[offset + 1] = static_cast<char>(value >> 8);
}

// Runs the parser on an exactly sized heap copy, so that ASan sees any read past the length.
PacketParseResult parse_copy(const ParserCase& parser, const PacketBytes& datagram) {
    const PacketBytes copy = datagram;
    return parser.parse(copy.data(), length_of(copy));
}

TEST(PacketParseOrder, HeaderChecksComeFirstAndInOrderForEveryParser) {
    for (const ParserCase& parser : all_parsers()) {
        SCOPED_TRACE(parser.name);
        const PacketBytes& golden = *parser.golden;
        EXPECT_EQ(parse_copy(parser, golden), PacketParseResult::ok);

        EXPECT_EQ(parser.parse(nullptr, length_of(golden)), PacketParseResult::null_buffer);
        EXPECT_EQ(parser.parse(nullptr, -1), PacketParseResult::null_buffer);

        // Too short, even when every later check would fail too.
        PacketBytes broken(golden.begin(), golden.begin() + 15);
        EXPECT_EQ(parse_copy(parser, broken), PacketParseResult::too_short);
        EXPECT_EQ(parser.parse(golden.data(), -1), PacketParseResult::too_short);
        EXPECT_EQ(parser.parse(golden.data(), 0), PacketParseResult::too_short);

        // Magic before version, size and client.
        broken = golden;
        broken[3] = 'X';
        put_u16(broken, 4, 4);
        put_u32(broken, 8, 1000);
        put_u32(broken, 12, 0);
        EXPECT_EQ(parse_copy(parser, broken), PacketParseResult::bad_magic);

        // Version before size and client.
        broken = golden;
        put_u16(broken, 4, 6);
        put_u32(broken, 8, 1000);
        put_u32(broken, 12, 0);
        EXPECT_EQ(parse_copy(parser, broken), PacketParseResult::bad_version);

        // A size one more than the length, before the client id is looked at.
        broken = golden;
        put_u32(broken, 8, static_cast<std::uint32_t>(golden.size() + 1));
        put_u32(broken, 12, 0);
        EXPECT_EQ(parse_copy(parser, broken), PacketParseResult::bad_size);
        // The same bytes one longer than the size field says.
        broken = golden;
        broken.push_back(0);
        EXPECT_EQ(parse_copy(parser, broken), PacketParseResult::bad_size);

        broken = golden;
        put_u32(broken, 12, 0);
        EXPECT_EQ(parse_copy(parser, broken), PacketParseResult::zero_client);
    }
}

TEST(PacketParseOrder, FixedSizeParsersCheckTypeBeforeLength) {
    // A type-5 datagram of 36 bytes: the discovery request parser reports the type first.
    PacketBytes datagram = kDiscoveryResponse;
    datagram.resize(36);
    put_u32(datagram, 8, 36);
    DiscoveryRequestPacket request;
    EXPECT_EQ(parse_discovery_request_packet(datagram.data(), 36, request), PacketParseResult::wrong_type);

    // Every fixed-size parser refuses every other type, and its own type at another length.
    for (const ParserCase& parser : all_parsers()) {
        if (parser.golden == &kAnnounce || parser.golden == &kAudioFragment ||
            std::string(parser.name) == "header") {
            continue;
        }
        SCOPED_TRACE(parser.name);
        for (std::uint16_t type = 0; type <= 8; ++type) {
            PacketBytes retyped = *parser.golden;
            put_u16(retyped, 6, type);
            const bool own_type = retyped == *parser.golden;
            EXPECT_EQ(parse_copy(parser, retyped),
                      own_type ? PacketParseResult::ok : PacketParseResult::wrong_type)
                << "type " << type;
        }
        for (const std::size_t length :
             {std::size_t{16}, parser.golden->size() - 4, parser.golden->size() + 4}) {
            PacketBytes resized = *parser.golden;
            resized.resize(length);
            put_u32(resized, 8, static_cast<std::uint32_t>(length));
            EXPECT_EQ(parse_copy(parser, resized), PacketParseResult::bad_size) << "length " << length;
        }
    }
}

TEST(PacketParseOrder, AnnounceFaultsAreInvalidPayload) {
    AnnouncePacket packet;
    std::vector<std::int64_t> inputs;
    std::vector<std::int64_t> outputs;
    auto parse = [&](const PacketBytes& datagram) {
        const PacketBytes copy = datagram;
        return parse_announce_packet(copy.data(), length_of(copy), packet, inputs, outputs);
    };

    PacketBytes datagram = kAnnounce;
    put_u16(datagram, 6, 2);
    EXPECT_EQ(parse(datagram), PacketParseResult::invalid_payload) << "another type gives 8, not 7";

    datagram.assign(kDisconnect.begin(), kDisconnect.begin() + 31);
    put_u32(datagram, 8, 31);
    EXPECT_EQ(parse(datagram), PacketParseResult::invalid_payload) << "31 bytes";

    // Counts 2 and 2 need exactly 48 bytes.
    datagram = kAnnounce;
    datagram.resize(52);
    put_u32(datagram, 8, 52);
    EXPECT_EQ(parse(datagram), PacketParseResult::invalid_payload);
    // Counts that would reach past the datagram.
    datagram = kAnnounce;
    put_u16(datagram, 16, 0xFFFF);
    EXPECT_EQ(parse(datagram), PacketParseResult::invalid_payload);
    EXPECT_TRUE(inputs.empty());
    EXPECT_TRUE(outputs.empty());

    datagram = kAnnounce;
    put_u16(datagram, 16, 3);
    put_u16(datagram, 18, 1);
    ASSERT_EQ(parse(datagram), PacketParseResult::ok) << "the split between the lists is the sender's";
    EXPECT_EQ(inputs, (std::vector<std::int64_t>{2, 3, 0}));
    EXPECT_EQ(outputs, (std::vector<std::int64_t>{-1}));
}

TEST(PacketParseOrder, AudioFragmentFaultsAreInvalidPayload) {
    struct Damage {
        const char* what;
        std::size_t offset; // 16-bit field
        std::uint16_t value;
    };
    // The golden fragment: 4 frames, 3 channels, rows 1..2, frames 1..2, fragment 1 of 3.
    const Damage damages[] = {
        {"another type", 6, 1},
        {"frame_count 0", 24, 0},
        {"channel_count 0", 26, 0},
        {"fragment_channel_count 0", 30, 0},
        {"fragment_frame_count 0", 34, 0},
        {"fragment_count 0", 38, 0},
        {"fragment_index == fragment_count", 36, 3},
        {"channel_offset == channel_count", 28, 3},
        {"rows past the block", 28, 2},
        {"frame_offset == frame_count", 32, 4},
        {"frames past the block", 32, 3},
        {"fewer samples than the rectangle", 30, 1},
    };
    for (const Damage& damage : damages) {
        PacketBytes datagram = kAudioFragment;
        put_u16(datagram, damage.offset, damage.value);
        AudioFragmentPacket packet;
        const float* samples = reinterpret_cast<const float*>(&damage);
        std::size_t count = 99;
        EXPECT_EQ(parse_audio_fragment_packet(datagram.data(), length_of(datagram), packet, samples, count),
                  PacketParseResult::invalid_payload)
            << damage.what;
        EXPECT_EQ(samples, nullptr);
        EXPECT_EQ(count, 0u);
    }

    AudioFragmentPacket packet;
    const float* samples = nullptr;
    std::size_t count = 0;
    // Shorter than the fixed part, with a consistent size field.
    PacketBytes datagram(kAudioFragment.begin(), kAudioFragment.begin() + 47);
    put_u32(datagram, 8, 47);
    EXPECT_EQ(parse_audio_fragment_packet(datagram.data(), 47, packet, samples, count),
              PacketParseResult::invalid_payload);
    // One sample missing.
    datagram.assign(kAudioFragment.begin(), kAudioFragment.end() - 4);
    put_u32(datagram, 8, 60);
    EXPECT_EQ(parse_audio_fragment_packet(datagram.data(), 60, packet, samples, count),
              PacketParseResult::invalid_payload);

    // The last frames of a row are valid: frame_offset + fragment_frame_count == frame_count.
    datagram = kAudioFragment;
    put_u16(datagram, 32, 2);
    EXPECT_EQ(parse_audio_fragment_packet(datagram.data(), length_of(datagram), packet, samples, count),
              PacketParseResult::ok);
    EXPECT_EQ(count, 4u);
}

// validate_header needs every check but the type (the parsers' business); a failed parse still
// fills the header it read, and clears it when there was nothing to read.
TEST(PacketHeader, ValidationAndWhatAFailedParseLeaves) {
    PacketBytes datagram = kSync;
    put_u32(datagram, 12, 0);
    PacketHeader header;
    EXPECT_EQ(parse_packet_header(datagram.data(), length_of(datagram), header),
              PacketParseResult::zero_client);
    EXPECT_EQ(value(header.size), 44u);
    EXPECT_FALSE(validate_header(header, 44));
    EXPECT_EQ(parse_packet_header(datagram.data(), 15, header), PacketParseResult::too_short);
    EXPECT_EQ(value(header.size), 0u);

    ASSERT_EQ(parse_packet_header(kSync.data(), length_of(kSync), header), PacketParseResult::ok);
    EXPECT_TRUE(validate_header(header, 44));
    EXPECT_FALSE(validate_header(header, 43));
    PacketHeader damaged = header;
    damaged.version = 4;
    EXPECT_FALSE(validate_header(damaged, 44));
    damaged = header;
    damaged.type = 99;
    EXPECT_TRUE(validate_header(damaged, 44));
}

TEST(PacketNames, ResultCodesHaveTheirNames) {
    EXPECT_STREQ(packet_parse_result_name(PacketParseResult::invalid_payload), "invalid_payload");
    EXPECT_STREQ(packet_parse_result_name(static_cast<PacketParseResult>(9)), "unknown");
}

// Sequence arithmetic at 0, 2^31 and 2^32 - 1.
static_assert(is_sequence_newer(0, 4294967295u) && is_sequence_not_older(0, 4294967295u));
static_assert(!is_sequence_newer(4294967295u, 0) && !is_sequence_not_older(4294967295u, 0));
static_assert(!is_sequence_newer(5, 5) && is_sequence_not_older(5, 5));
static_assert(!is_sequence_newer(4294967295u, 4294967295u) &&
              is_sequence_not_older(4294967295u, 4294967295u));
static_assert(!is_sequence_newer(2147483648u, 0) && !is_sequence_not_older(2147483648u, 0));
static_assert(!is_sequence_newer(0, 2147483648u) && !is_sequence_not_older(0, 2147483648u));
static_assert(is_sequence_newer(2147483647u, 0) && is_sequence_newer(3, 4294967290u));
static_assert(is_sequence_newer(6, 5) && !is_sequence_not_older(5, 6));
static_assert(sequence_difference(1, 4294967295u) == 2 && sequence_difference(4294967295u, 1) == -2);
