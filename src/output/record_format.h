#pragma once

#include "capture/capture_engine.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ostrane {

// What goes around each packet's bytes, and before the first one. The record
// stream has no file header and a 20-byte record header; a classic pcap file
// (little-endian) has a 24-byte file header and a 16-byte record header; a
// pcapng file begins with a section and an interface block, frames each
// packet in a block with a trailer, and ends with the interface's
// statistics. Everything else about the output is the same for all three.
enum class RecordFormat { Records, Pcap, Pcapng };

// Both formats are little-endian, byte by byte, whatever the host's order.
inline void put_le32(uint8_t* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

inline uint32_t get_le32(const uint8_t* in) {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= static_cast<uint32_t>(in[i]) << (8 * i);
    return value;
}

constexpr size_t kMaxRecordHeader = 28;
// A pcapng block's padding to 32 bits and its closing length.
constexpr size_t kMaxRecordTrailer = 7;
constexpr size_t kPcapFileHeaderSize = 24;

// What a file says of the interface its packets came from.
struct LinkDescription {
    uint32_t linktype = 1;  // LINKTYPE_, as pcap_linktype() gives it
    uint32_t snaplen = 262144;
    bool nano = false;  // timestamps in nanoseconds, else microseconds
    // pcapng only: the device's name, libpcap's description and the filter's text.
    std::string name;
    std::string description;
    std::string filter;
};

// Writes the header of `packet` to `out` (kMaxRecordHeader bytes of room) and
// returns its size; then what follows its bytes (kMaxRecordTrailer of room).
// `link` is any of the capture's: they share the timestamps' resolution.
size_t encode_record_header(RecordFormat format, const LinkDescription& link, const CapturedPacket& packet,
                            uint8_t* out);
size_t encode_record_trailer(RecordFormat format, const CapturedPacket& packet, uint8_t* out);
std::array<uint8_t, kPcapFileHeaderSize> pcap_file_header(const LinkDescription& link);

// A pcapng file's first blocks: the section (who wrote it, on what system)
// and its interfaces, whose places are the packets' CapturedPacket::interface_index.
std::vector<uint8_t> pcapng_file_header(const std::vector<LinkDescription>& links);
// Its last, one per interface: the counters of interface `index` from
// `start_ns` to `end_ns` (since the epoch), in microseconds or nanoseconds.
std::vector<uint8_t> pcapng_statistics(bool nano, uint32_t index, int64_t start_ns, int64_t end_ns,
                                       const CaptureStats& stats);

// The LINKTYPE a pcap file names for a handle's DLT. The two agree for most
// link types, but a few DLT values differ from one system to the next (raw IP
// is 12 here, 14 on OpenBSD), and a file must mean the same everywhere: libpcap's
// own dumper maps them the same way.
uint32_t pcap_linktype(int dlt);


}  // namespace ostrane
