"""Decoding of captured frames: a protocol label, a conversation key, and a one-line description."""

import socket
import struct

LINKTYPE_NULL = 0  # BSD loopback: a 4-byte address family in the writer's byte order
LINKTYPE_ETHERNET = 1
LINKTYPE_RAW = 101
LINKTYPE_LOOP = 108  # OpenBSD loopback: the same, in network byte order
LINKTYPE_LINUX_SLL = 113
LINKTYPE_IPV4 = 228
LINKTYPE_IPV6 = 229
LINKTYPE_LINUX_SLL2 = 276
# The address families of IPv6 on the BSDs and macOS; IPv4's is 2 on all of them.
_BSD_INET6 = (24, 28, 30)

_VLAN_TYPES = (0x8100, 0x88A8, 0x9100)
# Below this an Ethernet type field is an 802.3 length, and an 802.2 LLC header follows.
_MAX_8023_LENGTH = 1500
_SLL_802_2 = 4  # the Linux cooked protocol of LLC frames, such as spanning tree
_STP_NAMES = {(0, 0x00): "802.1d Config", (0, 0x80): "802.1d TCN", (2, 0x02): "802.1w RST", (3, 0x02): "802.1s MST"}
# IPv6 extension headers whose length is (8-octet units - 1) in their second byte.
# Mobility (135) is not one: nothing follows it, and it ends the chain as a transport would.
_IPV6_OPTION_HEADERS = (0, 43, 60, 139, 140)
_IPV6_FRAGMENT = 44
_IPV6_AUTH = 51
_IPV6_HOP_BY_HOP = 0
_JUMBO_OPTION = 0xC2
_TCP_FLAGS = ("FIN", "SYN", "RST", "PSH", "ACK", "URG", "ECE", "CWR")
_ICMP_NAMES = {0: "echo-reply", 3: "dest-unreachable", 5: "redirect", 8: "echo-request", 11: "time-exceeded"}
_ICMP6_NAMES = {1: "dest-unreachable", 2: "packet-too-big", 3: "time-exceeded", 128: "echo-request",
                129: "echo-reply", 133: "router-solicit", 134: "router-advert", 135: "neighbor-solicit",
                136: "neighbor-advert"}
_IP_PROTOCOL_NAMES = {1: "ICMP", 6: "TCP", 17: "UDP", 33: "DCCP", 58: "ICMPv6", 132: "SCTP"}

_u16 = struct.Struct("!H").unpack_from
_ports = struct.Struct("!HH").unpack_from
_tcp = struct.Struct("!HHIIBB").unpack_from
_udp = struct.Struct("!HHH").unpack_from


class Decoded:
    """What one frame is: `protocol` is the innermost protocol recognised, `conversation`
    a direction-free key for IP traffic (None otherwise), `text` the description
    (empty unless asked for), `truncated` whether a header was cut short, and
    `fields` what the text shows as named values, for --json (None unless asked for)."""

    __slots__ = ("protocol", "conversation", "text", "truncated", "fields")

    def __init__(self, protocol, conversation, text, truncated, fields):
        self.protocol = protocol
        self.conversation = conversation
        self.text = text
        self.truncated = truncated
        self.fields = fields


def format_name(name):
    """An interface's name as the text shows it: a space would shift the columns
    after it, and a control character would drive the terminal."""
    return "".join(c if c.isprintable() and c != " " else "\\x20" if c == " " else c.encode("unicode_escape").decode()
                   for c in name)


def format_address(raw):
    return socket.inet_ntop(socket.AF_INET if len(raw) == 4 else socket.AF_INET6, raw)


def format_endpoint(raw, port):
    address = format_address(raw)
    if port is None:
        return address
    return f"{address}:{port}" if len(raw) == 4 else f"[{address}]:{port}"


def _mac(raw):
    return raw.hex(":")


class _Frame:
    """Walks one frame's headers, collecting description parts and named fields
    only when asked to. Every part of the text has its fields, taken from the
    same values, so that the text and the JSON cannot disagree."""

    def __init__(self, data, with_text, with_fields):
        self.data = data
        self.with_text = with_text
        self.fields = {} if with_fields else None
        self.parts = []
        self.protocol = "unknown"
        self.conversation = None
        self.truncated = False
        self.done = 0  # the end of the last header present whole

    def say(self, text, **fields):
        if self.with_text:
            self.parts.append(text)
        if fields and self.fields is not None:
            self.fields.update(fields)

    def reach(self, end):
        """A header that ends at `end` was taken apart; what follows it is undecoded."""
        if end <= len(self.data):
            self.done = end

    def has(self, offset, size):
        if len(self.data) < offset + size:
            self.truncated = True
            return False
        return True

    # Link layers -------------------------------------------------------

    def ethernet(self, offset):
        if not self.has(offset, 14):
            self.protocol = "Ethernet"
            self.say("Ethernet")
            return
        data = self.data
        self.reach(offset + 14)
        ethertype = self.carried(_u16(data, offset + 12)[0], offset + 14, True)
        if ethertype is not None:
            self.protocol = f"0x{ethertype:04x}"
            src, dst = _mac(data[6:12]), _mac(data[0:6])
            self.say(f"Ethernet {src} > {dst} type 0x{ethertype:04x}", eth_src=src, eth_dst=dst, ethertype=ethertype)

    def carried(self, ethertype, offset, lengths):
        """Follows VLAN tags and decodes what they carry; returns the EtherType
        when it is not a known one, else None. With `lengths`, and always
        inside a tag, a small type is an 802.3 length."""
        data = self.data
        while ethertype in _VLAN_TYPES:
            if not self.has(offset, 4):
                self.protocol = "VLAN"
                self.say("VLAN")
                return None
            vlan = _u16(data, offset)[0] & 0x0FFF
            self.say(f"VLAN {vlan}")
            if self.fields is not None:
                self.fields.setdefault("vlan", []).append(vlan)
            ethertype = _u16(data, offset + 2)[0]
            offset += 4
            self.reach(offset)
            lengths = True
        if lengths and ethertype <= _MAX_8023_LENGTH:
            self.llc(offset)
        elif not self.network(ethertype, offset):
            return ethertype
        return None

    def llc(self, offset):
        """802.2 LLC: spanning tree, SNAP with an EtherType decoded onwards, or its SAPs."""
        self.protocol = "LLC"
        if not self.has(offset, 3):
            self.say("LLC")
            return
        data = self.data
        dsap, ssap, control = data[offset], data[offset + 1], data[offset + 2]
        self.reach(offset + 3)
        if dsap == ssap == 0x42:
            self.protocol = "STP"
            if self.has(offset + 3, 4):
                self.reach(offset + 7)
                version, kind = data[offset + 5], data[offset + 6]
                name = _STP_NAMES.get((version, kind))
                if name:
                    self.say(f"STP {name}", stp=name)
                else:
                    self.say(f"STP version={version} type=0x{kind:02x}", stp_version=version, stp_type=kind)
            else:
                self.say("STP")
        elif dsap == ssap == 0xAA and control == 3 and self.has(offset, 8):
            oui, ethertype = data[offset + 3:offset + 6], _u16(data, offset + 6)[0]
            self.reach(offset + 8)
            self.say("SNAP", snap=True)
            if oui != b"\0\0\0" or self.carried(ethertype, offset + 8, False) is not None:
                self.protocol = "SNAP"
                self.say(f"oui={oui.hex()} type=0x{ethertype:04x}", snap_oui=oui.hex(), ethertype=ethertype)
        else:
            self.say(f"LLC dsap=0x{dsap:02x} ssap=0x{ssap:02x} control=0x{control:02x}",
                     llc_dsap=dsap, llc_ssap=ssap, llc_control=control)

    def network(self, ethertype, offset):
        """Decodes a known network layer; False when `ethertype` is not one."""
        if ethertype == 0x0800:
            self.ipv4(offset)
        elif ethertype == 0x86DD:
            self.ipv6(offset)
        elif ethertype == 0x0806:
            self.arp(offset)
        else:
            return False
        return True

    # Network layers ------------------------------------------------------

    def arp(self, offset):
        self.protocol = "ARP"
        if not self.has(offset, 8):
            self.say("ARP", network="ARP")
            return
        data = self.data
        hlen, plen = data[offset + 4], data[offset + 5]
        op = _u16(data, offset + 6)[0]
        self.reach(offset + 8)
        if hlen != 6 or plen != 4 or not self.has(offset, 28):
            self.say(f"ARP op={op}", network="ARP", arp_op=op)
            return
        self.reach(offset + 28)
        sha, spa = data[offset + 8:offset + 14], data[offset + 14:offset + 18]
        tpa = data[offset + 24:offset + 28]
        if op == 1:
            sender, target = format_address(spa), format_address(tpa)
            self.say(f"ARP who-has {target} tell {sender}", network="ARP", arp="who-has", arp_target_ip=target,
                     arp_sender_ip=sender)
        elif op == 2:
            sender, mac = format_address(spa), _mac(sha)
            self.say(f"ARP reply {sender} is-at {mac}", network="ARP", arp="reply", arp_sender_ip=sender,
                     arp_sender_mac=mac)
        else:
            self.say(f"ARP op={op}", network="ARP", arp_op=op)

    def ipv4(self, offset):
        self.protocol = "IPv4"
        data = self.data
        if not self.has(offset, 20):
            self.say("IPv4", network="IPv4")
            return
        if data[offset] >> 4 != 4:
            self.say(f"IPv4 bad version {data[offset] >> 4}", network="IPv4", bad_version=data[offset] >> 4)
            return
        header_length = (data[offset] & 0x0F) * 4
        if header_length < 20:
            self.say(f"IPv4 bad header length {header_length}", network="IPv4", bad_header_length=header_length)
            return
        self.reach(offset + header_length)
        total_length = _u16(data, offset + 2)[0]
        fragment = _u16(data, offset + 6)[0] & 0x1FFF
        protocol = data[offset + 9]
        src, dst = data[offset + 12:offset + 16], data[offset + 16:offset + 20]
        payload_length = max(total_length - header_length, 0)
        if fragment:
            # Only the first fragment carries the transport header.
            self.address_only("IPv4", src, dst, protocol, fragment * 8)
            return
        self.transport("IPv4", src, dst, protocol, offset + header_length, payload_length)

    def ipv6(self, offset):
        self.protocol = "IPv6"
        data = self.data
        if not self.has(offset, 40):
            self.say("IPv6", network="IPv6")
            return
        if data[offset] >> 4 != 6:
            self.say(f"IPv6 bad version {data[offset] >> 4}", network="IPv6", bad_version=data[offset] >> 4)
            return
        payload_length = _u16(data, offset + 4)[0]
        next_header = data[offset + 6]
        src, dst = data[offset + 8:offset + 24], data[offset + 24:offset + 40]
        offset += 40
        if payload_length == 0 and next_header == _IPV6_HOP_BY_HOP:
            payload_length = _jumbo_length(data, offset)
        while True:
            self.reach(offset)
            if next_header in _IPV6_OPTION_HEADERS or next_header == _IPV6_AUTH:
                if not self.has(offset, 2):
                    self.addresses("IPv6", src, dst)
                    return
                if next_header == _IPV6_AUTH:
                    length = (data[offset + 1] + 2) * 4
                else:
                    length = (data[offset + 1] + 1) * 8
            elif next_header == _IPV6_FRAGMENT:
                if not self.has(offset, 8):
                    self.addresses("IPv6", src, dst)
                    return
                fragment = _u16(data, offset + 2)[0] >> 3
                if fragment:
                    self.address_only("IPv6", src, dst, data[offset], fragment * 8)
                    return
                length = 8
            else:
                break
            next_header = data[offset]
            offset += length
            payload_length -= length
        self.transport("IPv6", src, dst, next_header, offset, max(payload_length, 0))

    def addresses(self, family, src, dst):
        source, destination = format_address(src), format_address(dst)
        self.say(f"{family} {source} > {destination}", network=family, src=source, dst=destination)

    def address_only(self, family, src, dst, protocol, offset):
        known = _IP_PROTOCOL_NAMES.get(protocol)
        name = known or f"proto={protocol}"
        self.protocol = family
        self.conversation = conversation_key(name, src, None, dst, None)
        if self.with_text or self.fields is not None:
            self.addresses(family, src, dst)
            self.say(f"{name} fragment offset={offset}",
                     **({"transport": known} if known else {"ip_protocol": protocol}), fragment_offset=offset)

    # Transport layers ----------------------------------------------------

    def transport(self, family, src, dst, protocol, offset, payload_length):
        data = self.data
        if protocol == 6:
            self.protocol = "TCP"
            if not self.has(offset, 20):
                # As in tcpdump, the ports of a cut header still name the flow.
                sport, dport = _ports(data, offset) if len(data) >= offset + 4 else (None, None)
                self.endpoints(family, src, sport, dst, dport, "TCP")
                return
            sport, dport, seq, ack, data_offset, flags = _tcp(data, offset)
            self.endpoints(family, src, sport, dst, dport, "TCP")
            header_length = (data_offset >> 4) * 4
            if header_length < 20:
                self.reach(offset + 20)
                self.say(f"bad header length {header_length}", bad_header_length=header_length)
                return
            if self.has(offset, header_length):  # else options cut short
                self.reach(offset + header_length)
            if self.with_text or self.fields is not None:
                names = [n for bit, n in enumerate(_TCP_FLAGS) if flags & (1 << bit)]
                length = max(payload_length - header_length, 0)
                self.say(f"[{','.join(names)}] seq={seq} ack={ack} len={length}",
                         flags=names, seq=seq, ack=ack, length=length)
        elif protocol == 17:
            self.protocol = "UDP"
            if not self.has(offset, 8):
                self.endpoints(family, src, None, dst, None, "UDP")
                return
            sport, dport, length = _udp(data, offset)
            self.reach(offset + 8)
            self.endpoints(family, src, sport, dst, dport, "UDP")
            if self.with_text or self.fields is not None:
                # A length field past the datagram gives way to the IP length, as in tcpdump;
                # so does the 0 of a jumbogram's (RFC 2675).
                if length == 0 and payload_length > 0xFFFF:
                    length = payload_length
                length = max(min(length, payload_length) - 8, 0)
                self.say(f"len={length}", length=length)
        elif protocol in (1, 58):
            name = "ICMP" if protocol == 1 else "ICMPv6"
            self.protocol = name
            self.endpoints(family, src, None, dst, None, name)
            if self.has(offset, 2):
                kind, code = data[offset], data[offset + 1]
                label = (_ICMP_NAMES if protocol == 1 else _ICMP6_NAMES).get(kind)
                self.say(f"type={kind} code={code}" + (f" ({label})" if label else ""),
                         icmp_type=kind, icmp_code=code, icmp_name=label)
            if self.has(offset, 8):
                self.reach(offset + 8)
        elif protocol in (33, 132):  # DCCP, SCTP: ports first, in a header of at least 12 bytes
            name = self.protocol = _IP_PROTOCOL_NAMES[protocol]
            sport, dport = (None, None)
            if self.has(offset, 12):
                sport, dport = _ports(data, offset)
                self.reach(offset + 12)
            self.endpoints(family, src, sport, dst, dport, name)
        else:
            self.protocol = f"IP proto {protocol}"
            self.endpoints(family, src, None, dst, None, f"proto={protocol}", protocol)

    def endpoints(self, family, src, sport, dst, dport, name, number=None):
        """With `number`, an IP protocol that has no name here."""
        self.conversation = conversation_key(name, src, sport, dst, dport)
        if self.with_text:
            self.parts.append(f"{family} {format_endpoint(src, sport)} > {format_endpoint(dst, dport)} {name}")
        if self.fields is not None:
            if sport is None:
                self.fields.update(network=family, src=format_address(src), dst=format_address(dst))
            else:
                self.fields.update(network=family, src=format_address(src), sport=sport, dst=format_address(dst),
                                   dport=dport)
            if number is None:
                self.fields["transport"] = name
            else:
                self.fields["ip_protocol"] = number


def _jumbo_length(data, offset):
    """A jumbogram's payload length (RFC 2675, Linux's BIG TCP): a payload
    length of 0 and a Jumbo Payload option in the Hop-by-Hop header at
    `offset`, which the length includes. 0 when there is none."""
    if len(data) < offset + 2:
        return 0
    end = min(offset + (data[offset + 1] + 1) * 8, len(data))
    at = offset + 2
    while at + 2 <= end:
        kind, size = data[at], data[at + 1]
        if kind == 0:  # Pad1 is the one option without a length
            at += 1
            continue
        if kind == _JUMBO_OPTION and size == 4 and at + 6 <= end:
            return struct.unpack_from("!I", data, at + 2)[0]
        at += 2 + size
    return 0


def conversation_key(name, src, sport, dst, dport):
    a, b = (src, sport if sport is not None else -1), (dst, dport if dport is not None else -1)
    return (name, a, b) if a <= b else (name, b, a)


def decode(data, linktype=LINKTYPE_ETHERNET, with_text=True, with_fields=False):
    frame = _Frame(data, with_text, with_fields)
    if linktype == LINKTYPE_ETHERNET:
        frame.ethernet(0)
    elif linktype == LINKTYPE_RAW:
        if frame.has(0, 1):
            version = data[0] >> 4
            if version in (4, 6):
                frame.network(0x0800 if version == 4 else 0x86DD, 0)
            else:  # as tcpdump has it: not a bad IPv6 header, no IP at all
                frame.protocol = f"IP version {version}"
                frame.say(f"unknown IP version {version}", ip_version=version)
    elif linktype == LINKTYPE_IPV4 or linktype == LINKTYPE_IPV6:
        frame.network(0x0800 if linktype == LINKTYPE_IPV4 else 0x86DD, 0)
    elif linktype == LINKTYPE_NULL or linktype == LINKTYPE_LOOP:
        if frame.has(0, 4):
            frame.reach(4)
            family = int.from_bytes(data[:4], "big")
            if family & 0xFFFF0000:  # written in the other byte order, as tcpdump tells them apart
                family = int.from_bytes(data[:4], "little")
            if family == 2 or family in _BSD_INET6:
                frame.network(0x0800 if family == 2 else 0x86DD, 4)
            else:
                frame.protocol = f"family {family}"
                frame.say(f"loopback family {family}", family=family)
        else:
            frame.protocol = "loopback"
            frame.say("loopback")
    elif linktype in (LINKTYPE_LINUX_SLL, LINKTYPE_LINUX_SLL2):
        # The protocol field is at 14 in the 16-byte SLL header, at 0 in the 20-byte SLL2 one.
        size, at = (16, 14) if linktype == LINKTYPE_LINUX_SLL else (20, 0)
        if frame.has(0, size):
            frame.reach(size)
            protocol = _u16(data, at)[0]
            if protocol == _SLL_802_2:
                frame.llc(size)
            else:
                protocol = frame.carried(protocol, size, False)
                if protocol is not None:
                    frame.protocol = f"0x{protocol:04x}"
                    frame.say(f"Linux cooked type 0x{protocol:04x}", ethertype=protocol)
    else:
        frame.protocol = f"linktype {linktype}"
        frame.say(f"linktype {linktype}, {len(data)} bytes")
    if frame.truncated:
        frame.say("[truncated]")
    text = " ".join(frame.parts) if with_text else ""
    fields = frame.fields
    if fields is not None:
        fields.update(protocol=frame.protocol, truncated=frame.truncated, undecoded=len(data) - frame.done)
    return Decoded(frame.protocol, frame.conversation, text, frame.truncated, fields)


def looks_like_linux_cooked(frame):
    """A Linux cooked (SLL) header read as Ethernet: a packet type of 0 to 4, a
    link-layer address of at most 8 bytes and a known protocol, where an
    Ethernet frame would have an EtherType too small to be one."""
    if len(frame) < 16:
        return False
    packet_type, _, address_length = struct.unpack_from("!HHH", frame)
    ethertype = _u16(frame, 12)[0]
    return (packet_type <= 4 and address_length <= 8 and ethertype < 0x0600
            and _u16(frame, 14)[0] in (0x0800, 0x86DD, 0x0806))


def looks_like_raw_ip(frame):
    """An IP packet read as Ethernet: version 4 or 6, and the length its
    header gives that of the frame, which no Ethernet frame's addresses are."""
    version = frame[0] >> 4 if frame else 0
    if version == 4:
        return len(frame) >= 20 and frame[0] & 0x0F >= 5 and _u16(frame, 2)[0] == len(frame)
    return version == 6 and len(frame) >= 40 and _u16(frame, 4)[0] + 40 == len(frame)


def describe_conversation(key):
    name, (a, a_port), (b, b_port) = key
    a_port = None if a_port < 0 else a_port
    b_port = None if b_port < 0 else b_port
    return f"{format_endpoint(a, a_port)} <-> {format_endpoint(b, b_port)} {name}"
