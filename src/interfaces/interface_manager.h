#pragma once

#include <string>
#include <vector>

struct sockaddr;
struct pcap_if;

namespace ostrane {

// Numeric address text; each field is empty when libpcap gave no address of
// that kind or one that is neither IPv4 nor IPv6.
struct InterfaceAddress {
    std::string address;
    std::string netmask;
    std::string broadcast;
};

struct NetworkInterface {
    std::string name;
    std::string description;
    bool is_loopback = false;
    bool is_up = false;
    std::vector<InterfaceAddress> addresses;  // IP addresses only, in libpcap's order
};

// A snapshot of libpcap's device list, copied out so that nothing points
// into libpcap's memory afterwards.
class InterfaceManager {
public:
    // Replaces the list with libpcap's current one.
    bool enumerate();
    const std::vector<NetworkInterface>& interfaces() const { return interfaces_; }
    std::string last_error() const { return last_error_; }

    // libpcap's description of the device `name`; empty when it has none.
    static std::string description_of(const std::string& name);

    // Empty for families other than AF_INET and AF_INET6.
    static std::string sockaddr_to_string(const sockaddr* address);

    // One entry of libpcap's device list as a plain record.
    static NetworkInterface from_device(const pcap_if& device);

private:
    std::vector<NetworkInterface> interfaces_;
    std::string last_error_;
};

}  // namespace ostrane
