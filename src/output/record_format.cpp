#include "output/record_format.h"

#include "output/packet_dispatcher.h"

#include <pcap/dlt.h>

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

void split_timestamp(double timestamp, uint32_t& seconds, uint32_t& micros) {
    // A time no pcap field can hold (before 1970, after 2106, NaN) is 0.
    if (!(timestamp >= 0.0 && timestamp < 4294967296.0)) {
        seconds = micros = 0;
        return;
    }
    const double whole = std::floor(timestamp);
    auto fraction = static_cast<uint32_t>(std::lround((timestamp - whole) * 1e6));
    auto full = static_cast<uint64_t>(whole);
    if (fraction >= 1000000) {  // rounding carried into the next second
        fraction -= 1000000;
        ++full;
    }
    seconds = full > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(full);
    micros = fraction;
}

size_t encode_record_header(RecordFormat format, const CapturedPacket& packet, uint8_t* out) {
    if (format == RecordFormat::Records) {
        PacketRecordHeader::from_packet(packet).encode(out);
        return PacketRecordHeader::kSize;
    }
    uint32_t seconds = 0;
    uint32_t micros = 0;
    split_timestamp(packet.timestamp, seconds, micros);
    put_le32(out, seconds);
    put_le32(out + 4, micros);
    put_le32(out + 8, packet.captured_length);
    put_le32(out + 12, packet.original_length);
    return kPcapRecordHeaderSize;
}

std::array<uint8_t, kPcapFileHeaderSize> pcap_file_header(uint32_t linktype, uint32_t snaplen) {
    std::array<uint8_t, kPcapFileHeaderSize> header{};
    put_le32(header.data(), 0xA1B2C3D4);  // microsecond timestamps
    put_u16(header.data() + 4, 2);       // version 2.4
    put_u16(header.data() + 6, 4);
    // Bytes 8 to 15: time zone and accuracy, always 0.
    put_le32(header.data() + 16, snaplen);
    put_le32(header.data() + 20, linktype);
    return header;
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
