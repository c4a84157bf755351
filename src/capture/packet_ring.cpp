#include "capture/packet_ring.h"

#include <arpa/inet.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace ostrane {

namespace {

// A slot takes an Ethernet frame of 1 500 bytes with a VLAN tag, after the
// slot's header; a smaller snap length makes smaller slots, and more of them.
constexpr uint32_t kLargestSlot = 2048;
constexpr uint32_t kVlanTag = 4;
constexpr uint32_t kTagAt = 2 * ETH_ALEN;
// Where the kernel puts a frame in its slot: after the slot's header and its
// address, at least 16 bytes before the network header, and the room asked
// for the tag.
constexpr uint32_t kFrameAt = TPACKET_ALIGN(TPACKET2_HDRLEN + 16) + kVlanTag;
constexpr int kLibpcapDefault = 2 << 20;
constexpr uint32_t kAhead = 8;

}  // namespace

PacketRing::~PacketRing() { close(); }

bool PacketRing::fail(const std::string& step) {
    last_error_ = step + ": " + std::strerror(errno);
    close();
    return false;
}

bool PacketRing::open(const std::string& device, const bpf_program& program, int ring_bytes, const Options& options) {
    device_ = device;
    options_ = options;
    const uint32_t snaplen = options.snaplen;
    ifindex_ = static_cast<int>(if_nametoindex(device.c_str()));
    if (ifindex_ == 0) return fail("if_nametoindex");
    const bool loopback = ifindex_ == static_cast<int>(if_nametoindex("lo"));
    frame_size_ = std::min(kLargestSlot, TPACKET_ALIGN(kFrameAt + snaplen));
    frames_per_block_ = kBlock / frame_size_;
    const uint32_t blocks = static_cast<uint32_t>(std::max((ring_bytes > 0 ? ring_bytes : kLibpcapDefault) / int{kBlock}, 1));
    frame_count_ = blocks * frames_per_block_;
    copy_.resize(kVlanTag + snaplen);

    // No protocol yet: nothing arrives before the filter is on.
    fd_ = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return fail("socket");
    const int version = TPACKET_V2;
    if (setsockopt(fd_, SOL_PACKET, PACKET_VERSION, &version, sizeof version) != 0) return fail("PACKET_VERSION");
    // lo passes each packet twice, going out and coming in; libpcap keeps
    // the incoming one, and the ring need not hold the other. Nor does it
    // hold what the host sends when only what it receives is asked for.
    const int incoming_only = 1;
    if ((loopback || options.direction == PacketDirection::In) && setsockopt(fd_, SOL_PACKET, PACKET_IGNORE_OUTGOING, &incoming_only, sizeof incoming_only) != 0) {
        return fail("PACKET_IGNORE_OUTGOING");
    }
    const unsigned reserve = kVlanTag;
    if (setsockopt(fd_, SOL_PACKET, PACKET_RESERVE, &reserve, sizeof reserve) != 0) return fail("PACKET_RESERVE");
    tpacket_req request{kBlock, blocks, frame_size_, frame_count_};
    if (setsockopt(fd_, SOL_PACKET, PACKET_RX_RING, &request, sizeof request) != 0) return fail("PACKET_RX_RING");
    void* mapped = ::mmap(nullptr, ring_size(), PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
    if (mapped == MAP_FAILED) return fail("mmap");
    ring_ = static_cast<uint8_t*>(mapped);
    // A packet larger than its slot is also queued whole on the socket, as
    // long as the queue holds less than its buffer: as much as the ring.
    // Without CAP_NET_ADMIN the system's limit (some 200 KiB) would hold a
    // few large packets where libpcap's ring holds 16 MiB: libpcap's is read.
    const int threshold = 1;
    if (setsockopt(fd_, SOL_PACKET, PACKET_COPY_THRESH, &threshold, sizeof threshold) != 0) {
        return fail("PACKET_COPY_THRESH");
    }
    const int queue = static_cast<int>(ring_size());
    if (setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &queue, sizeof queue) != 0) return fail("SO_RCVBUFFORCE");
    if (program.bf_len > BPF_MAXINSNS) {  // libpcap filters such a program itself
        errno = E2BIG;
        return fail("SO_ATTACH_FILTER");
    }
    sock_fprog filter{static_cast<unsigned short>(program.bf_len), reinterpret_cast<sock_filter*>(program.bf_insns)};
    if (setsockopt(fd_, SOL_SOCKET, SO_ATTACH_FILTER, &filter, sizeof filter) != 0) return fail("SO_ATTACH_FILTER");
    if (options.promiscuous) {
        packet_mreq membership{};
        membership.mr_ifindex = ifindex_;
        membership.mr_type = PACKET_MR_PROMISC;
        if (setsockopt(fd_, SOL_PACKET, PACKET_ADD_MEMBERSHIP, &membership, sizeof membership) != 0) {
            return fail("PACKET_ADD_MEMBERSHIP");
        }
    }
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_protocol = htons(ETH_P_ALL);
    address.sll_ifindex = ifindex_;
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return fail("bind");
    return true;
}

void PacketRing::close() {
    if (ring_ != nullptr) ::munmap(ring_, ring_size());
    if (fd_ >= 0) ::close(fd_);
    ring_ = nullptr;
    fd_ = -1;
}

int PacketRing::read(int max_packets, pcap_handler handler, u_char* user) {
    int delivered = 0;
    uint32_t seen = 0;
    for (; delivered < max_packets && seen < frame_count_; ++seen) {
        uint8_t* frame = slot(head_);
        auto* header = reinterpret_cast<tpacket2_hdr*>(frame);
        const uint32_t status = __atomic_load_n(&header->tp_status, __ATOMIC_ACQUIRE);
        if ((status & TP_STATUS_USER) == 0) break;
        // Each slot is a cache line the kernel wrote on another CPU: ask for
        // the next ones while this one is copied.
        const uint8_t* ahead = slot((head_ + kAhead) % frame_count_);
        __builtin_prefetch(ahead);
        __builtin_prefetch(ahead + 64);
        __builtin_prefetch(ahead + 128);
        if (deliver(frame, status, handler, user)) ++delivered;
        __atomic_store_n(&header->tp_status, TP_STATUS_KERNEL, __ATOMIC_RELEASE);
        head_ = head_ + 1 == frame_count_ ? 0 : head_ + 1;
    }
    return seen > 0 || still_up() ? delivered : -1;
}

bool PacketRing::deliver(uint8_t* frame, uint32_t status, pcap_handler handler, u_char* user) {
    const auto* header = reinterpret_cast<const tpacket2_hdr*>(frame);
    uint8_t* data = frame + header->tp_mac;
    uint32_t captured = header->tp_snaplen;
    if ((status & TP_STATUS_COPY) != 0) {
        if (!take_copy(header->tp_len, captured)) return lost();
        data = copy_.data() + kVlanTag;
    } else if (header->tp_mac < kVlanTag || header->tp_mac + captured > frame_size_) {
        return lost();
    }
    // After the copy, which is taken whatever becomes of the packet.
    if (options_.direction == PacketDirection::Out &&
        reinterpret_cast<const sockaddr_ll*>(frame + TPACKET_ALIGN(sizeof(tpacket2_hdr)))->sll_pkttype != PACKET_OUTGOING) {
        return false;
    }
    uint32_t length = header->tp_len;
    // Larger than its slot, and its copy refused: not a packet to pass on cut.
    if (captured < std::min(length, options_.snaplen)) return lost();
    // The kernel takes a VLAN tag out of the frame; tcpdump shows it in place.
    if ((header->tp_vlan_tci != 0 || (status & TP_STATUS_VLAN_VALID) != 0) && captured >= kTagAt) {
        std::memmove(data - kVlanTag, data, kTagAt);
        data -= kVlanTag;
        const uint16_t tag[2] = {
            htons((status & TP_STATUS_VLAN_TPID_VALID) != 0 ? header->tp_vlan_tpid : uint16_t{ETH_P_8021Q}),
            htons(header->tp_vlan_tci)};
        std::memcpy(data + kTagAt, tag, sizeof tag);
        captured += kVlanTag;
        length += kVlanTag;
    }
    pcap_pkthdr packet{};
    packet.ts.tv_sec = header->tp_sec;
    packet.ts.tv_usec = static_cast<suseconds_t>(options_.nano ? header->tp_nsec : header->tp_nsec / 1000);
    packet.caplen = std::min(captured, options_.snaplen);
    packet.len = length;
    handler(user, &packet, data);
    return true;
}

// The copy queued for a slot marked TP_STATUS_COPY, taken whatever becomes of
// the packet: the queue's order is the ring's. A socket error (ENETDOWN when
// the device went down) comes out of recv() before the queue, once.
bool PacketRing::take_copy(uint32_t length, uint32_t& captured) {
    const auto take = [&] {
        return ::recv(fd_, copy_.data() + kVlanTag, copy_.size() - kVlanTag, MSG_DONTWAIT | MSG_TRUNC);
    };
    ssize_t got = take();
    if (got < 0 && errno != EAGAIN) {
        down_ = down_ || errno == ENETDOWN;
        got = take();
    }
    if (got == static_cast<ssize_t>(length)) {
        captured = std::min(length, static_cast<uint32_t>(copy_.size() - kVlanTag));
        return true;
    }
    // Not this slot's copy: what is queued is given up, so that the copies
    // of the slots after it line up again, and never pass for their packets.
    while (got >= 0) got = take();
    return false;
}

// A device taken down may come up again and the capture goes on, as with
// libpcap; one removed, or replaced under its name, ends it. Once it went
// down, whether it is still there is asked whenever the ring is empty.
bool PacketRing::still_up() {
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error != 0) {
        if (error != ENETDOWN) {
            last_error_ = std::strerror(error);
            return false;
        }
        down_ = true;
    }
    if (down_ && static_cast<int>(if_nametoindex(device_.c_str())) != ifindex_) {
        last_error_ = "The interface disappeared";
        return false;
    }
    return true;
}

std::pair<uint64_t, uint64_t> PacketRing::stats() const {
    tpacket_stats counted{};
    socklen_t size = sizeof counted;
    if (fd_ >= 0 && getsockopt(fd_, SOL_PACKET, PACKET_STATISTICS, &counted, &size) == 0) {
        received_ += counted.tp_packets;
        dropped_ += counted.tp_drops;
    }
    return {received_, dropped_ + cut_short_};
}

}  // namespace ostrane
