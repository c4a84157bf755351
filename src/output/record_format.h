#pragma once

#include "capture/capture_engine.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace ostrane {

// What goes before each packet's bytes, and before the first one. The record
// stream has no file header and a 20-byte record header; a classic pcap file
// (little-endian, microseconds) has a 24-byte file header and a 16-byte
// record header. Everything else about the output is the same for both.
enum class RecordFormat { Records, Pcap };

// Both formats are little-endian, byte by byte, whatever the host's order.
inline void put_le32(uint8_t* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

inline uint32_t get_le32(const uint8_t* in) {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= static_cast<uint32_t>(in[i]) << (8 * i);
    return value;
}

constexpr size_t kMaxRecordHeader = 20;
constexpr size_t kPcapFileHeaderSize = 24;

// Writes the header of `packet` to `out` (kMaxRecordHeader bytes of room) and
// returns its size.
size_t encode_record_header(RecordFormat format, const CapturedPacket& packet, uint8_t* out);
std::array<uint8_t, kPcapFileHeaderSize> pcap_file_header(uint32_t linktype, uint32_t snaplen);

// The LINKTYPE a pcap file names for a handle's DLT. The two agree for most
// link types, but a few DLT values differ from one system to the next (raw IP
// is 12 here, 14 on OpenBSD), and a file must mean the same everywhere: libpcap's
// own dumper maps them the same way.
uint32_t pcap_linktype(int dlt);

// Whole seconds and microseconds of a capture timestamp, which libpcap gave
// as a timeval and to_captured_packet() turned into a double: every
// microsecond of a date up to 2106 comes back exactly.
void split_timestamp(double timestamp, uint32_t& seconds, uint32_t& micros);

}  // namespace ostrane
