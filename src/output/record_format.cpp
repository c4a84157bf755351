#include "output/record_format.h"

#include "output/packet_dispatcher.h"

#include <pcap/dlt.h>

#ifndef _WIN32
#include <sys/utsname.h>
#endif

#include <algorithm>
#include <cmath>
#include <iterator>
#include <utility>

namespace ostrane {

namespace {

void put_u16(uint8_t* out, uint16_t value) {
    out[0] = static_cast<uint8_t>(value);
    out[1] = static_cast<uint8_t>(value >> 8);
}

constexpr size_t kPcapRecordHeaderSize = 16;

}  // namespace

namespace {

constexpr uint32_t kNanosPerMicro = 1000;
constexpr uint32_t kEnhancedPacketBlock = 6;
constexpr size_t kEnhancedPacketHeader = 28;

uint32_t padding_of(uint32_t size) { return (4 - size % 4) % 4; }

// A pcap or pcapng field's whole seconds and fraction; a time no pcap field
// can hold (before 1970, after 2106) is 0.
std::pair<uint32_t, uint32_t> file_time(const CapturedPacket& packet, bool nano) {
    if (packet.seconds < 0 || packet.seconds > int64_t{0xFFFFFFFF}) return {0, 0};
    return {static_cast<uint32_t>(packet.seconds), nano ? packet.nanoseconds : packet.nanoseconds / kNanosPerMicro};
}

// pcapng blocks, built whole: a type, a length at either end, and options
// padded to 32 bits.
class Block {
public:
    explicit Block(uint32_t type) { put32(type), put32(0); }
    Block& put32(uint32_t value) {
        const size_t at = bytes_.size();
        bytes_.resize(at + 4);
        put_le32(bytes_.data() + at, value);
        return *this;
    }
    Block& put16(uint16_t value) {
        const size_t at = bytes_.size();
        bytes_.resize(at + 2);
        put_u16(bytes_.data() + at, value);
        return *this;
    }
    // Empty text is left out: an option says something or is not there.
    Block& option(uint16_t code, const std::string& value) {
        if (value.empty()) return *this;
        const auto size = static_cast<uint16_t>(std::min<size_t>(value.size(), 0xFFFF));
        put16(code).put16(size);
        bytes_.insert(bytes_.end(), value.begin(), value.begin() + size);
        bytes_.resize(bytes_.size() + padding_of(static_cast<uint32_t>(bytes_.size())));
        return *this;
    }
    Block& time_option(uint16_t code, uint64_t units) {
        return put16(code).put16(8).put32(static_cast<uint32_t>(units >> 32)).put32(static_cast<uint32_t>(units));
    }
    Block& count_option(uint16_t code, uint64_t count) {
        return put16(code).put16(8).put32(static_cast<uint32_t>(count)).put32(static_cast<uint32_t>(count >> 32));
    }
    std::vector<uint8_t> finish() {
        put32(0);  // opt_endofopt
        put32(static_cast<uint32_t>(bytes_.size() + 4));
        put_le32(bytes_.data() + 4, static_cast<uint32_t>(bytes_.size()));
        return std::move(bytes_);
    }

private:
    std::vector<uint8_t> bytes_;
};

// What the section says of the system that wrote it.
std::pair<std::string, std::string> system_and_hardware() {
#ifdef _WIN32
    return {"Windows", {}};
#else
    utsname names{};
    if (::uname(&names) != 0) return {};
    return {std::string(names.sysname) + " " + names.release, names.machine};
#endif
}

uint64_t units_of(int64_t ns, bool nano) {
    return ns < 0 ? 0 : static_cast<uint64_t>(nano ? ns : ns / kNanosPerMicro);
}

}  // namespace

size_t encode_record_header(RecordFormat format, const LinkDescription& link, const CapturedPacket& packet,
                            uint8_t* out) {
    if (format == RecordFormat::Records) {
        PacketRecordHeader::from_packet(packet).encode(out);
        return PacketRecordHeader::kSize;
    }
    const auto [seconds, fraction] = file_time(packet, link.nano);
    if (format == RecordFormat::Pcap) {
        put_le32(out, seconds);
        put_le32(out + 4, fraction);
        put_le32(out + 8, packet.captured_length);
        put_le32(out + 12, packet.original_length);
        return kPcapRecordHeaderSize;
    }
    const uint64_t units = uint64_t{seconds} * (link.nano ? 1000000000 : 1000000) + fraction;
    put_le32(out, kEnhancedPacketBlock);
    put_le32(out + 4, static_cast<uint32_t>(kEnhancedPacketHeader + 4 + packet.captured_length +
                                            padding_of(packet.captured_length)));
    put_le32(out + 8, packet.interface_index);
    put_le32(out + 12, static_cast<uint32_t>(units >> 32));
    put_le32(out + 16, static_cast<uint32_t>(units));
    put_le32(out + 20, packet.captured_length);
    put_le32(out + 24, packet.original_length);
    return kEnhancedPacketHeader;
}

size_t encode_record_trailer(RecordFormat format, const CapturedPacket& packet, uint8_t* out) {
    if (format != RecordFormat::Pcapng) return 0;
    const uint32_t padding = padding_of(packet.captured_length);
    std::fill(out, out + padding, uint8_t{0});
    put_le32(out + padding, static_cast<uint32_t>(kEnhancedPacketHeader + 4 + packet.captured_length + padding));
    return padding + 4;
}

std::array<uint8_t, kPcapFileHeaderSize> pcap_file_header(const LinkDescription& link) {
    std::array<uint8_t, kPcapFileHeaderSize> header{};
    put_le32(header.data(), link.nano ? 0xA1B23C4D : 0xA1B2C3D4);
    put_u16(header.data() + 4, 2);       // version 2.4
    put_u16(header.data() + 6, 4);
    // Bytes 8 to 15: time zone and accuracy, always 0.
    put_le32(header.data() + 16, link.snaplen);
    put_le32(header.data() + 20, link.linktype);
    return header;
}

std::vector<uint8_t> pcapng_file_header(const std::vector<LinkDescription>& links) {
    const auto [system, hardware] = system_and_hardware();
    Block section(0x0A0D0D0A);
    section.put32(0x1A2B3C4D).put16(1).put16(0);  // byte order, version 1.0
    section.put32(0xFFFFFFFF).put32(0xFFFFFFFF);  // the section's length is not known while it is written
    std::vector<uint8_t> blocks =
        section.option(2, hardware).option(3, system).option(4, "ostrane " OSTRANE_VERSION).finish();
    for (const LinkDescription& link : links) {
        Block link_block(1);
        link_block.put16(static_cast<uint16_t>(link.linktype)).put16(0).put32(link.snaplen);
        link_block.option(2, link.name).option(3, link.description);
        // libpcap's filter text is option 11 after a 0 that names its kind.
        if (!link.filter.empty()) link_block.option(11, std::string(1, '\0') + link.filter);
        const std::vector<uint8_t> described = link_block.option(9, std::string(1, link.nano ? '\x09' : '\x06')).finish();
        blocks.insert(blocks.end(), described.begin(), described.end());
    }
    return blocks;
}

std::vector<uint8_t> pcapng_statistics(bool nano, uint32_t index, int64_t start_ns, int64_t end_ns,
                                       const CaptureStats& stats) {
    const uint64_t end = units_of(end_ns, nano);
    Block block(5);
    block.put32(index).put32(static_cast<uint32_t>(end >> 32)).put32(static_cast<uint32_t>(end));
    block.time_option(2, units_of(start_ns, nano)).time_option(3, end);
    return block.count_option(4, stats.packets_received).count_option(5, stats.packets_dropped).finish();
}

uint32_t pcap_linktype(int dlt) {
    // DLT, then LINKTYPE.
    static constexpr std::pair<int, uint32_t> kMapped[] = {
        {DLT_ATM_RFC1483, 100}, {DLT_RAW, 101},      {DLT_SLIP_BSDOS, 102}, {DLT_PPP_BSDOS, 103},
        {DLT_HDLC, 112},        {DLT_ATM_CLIP, 106}, {DLT_PFSYNC, 246},     {DLT_PKTAP, 258},
#ifdef DLT_FR
        {DLT_FR, 107},
#endif
    };
    // The range libpcap keeps equal on every system is checked first: some
    // systems put DLT_HDLC or DLT_PFSYNC inside it.
    if (dlt >= DLT_MATCHING_MIN && dlt <= DLT_MATCHING_MAX && dlt != DLT_PFSYNC && dlt != DLT_PKTAP)
        return static_cast<uint32_t>(dlt);
    const auto* found =
        std::find_if(std::begin(kMapped), std::end(kMapped), [dlt](const auto& mapped) { return mapped.first == dlt; });
    return found != std::end(kMapped) ? found->second : static_cast<uint32_t>(dlt);
}

}  // namespace ostrane
