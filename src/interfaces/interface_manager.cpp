#include "interfaces/interface_manager.h"

#include <pcap/pcap.h>

#include <cstring>
#include <memory>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

namespace ostrane {

namespace {

#ifdef _WIN32
// inet_ntop lives in Windows Sockets, which wants WSAStartup before use.
struct WinsockSession {
    bool started = false;
    WinsockSession() {
        WSADATA data;
        started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    ~WinsockSession() {
        if (started) WSACleanup();
    }
    WinsockSession(const WinsockSession&) = delete;
    WinsockSession& operator=(const WinsockSession&) = delete;
};
#endif

struct DeviceListDeleter {
    void operator()(pcap_if_t* list) const { pcap_freealldevs(list); }
};

std::string text_of(const sockaddr* address) {
    return address != nullptr ? InterfaceManager::sockaddr_to_string(address) : std::string();
}

}  // namespace

std::string InterfaceManager::sockaddr_to_string(const sockaddr* address) {
    char text[65] = {};
    // Copied out rather than cast: libpcap's sockaddr need not be aligned for
    // the wider structure.
    if (address->sa_family == AF_INET) {
        sockaddr_in in4{};
        std::memcpy(&in4, address, sizeof in4);
        if (inet_ntop(AF_INET, &in4.sin_addr, text, sizeof text) == nullptr) return {};
        return text;
    }
    if (address->sa_family == AF_INET6) {
        sockaddr_in6 in6{};
        std::memcpy(&in6, address, sizeof in6);
        if (inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text) == nullptr) return {};
        return text;
    }
    return {};
}

NetworkInterface InterfaceManager::from_device(const pcap_if& device) {
    NetworkInterface entry;
    entry.name = device.name != nullptr ? device.name : "";
    entry.description = device.description != nullptr ? device.description : "(no description)";
    entry.is_loopback = (device.flags & PCAP_IF_LOOPBACK) != 0;
    entry.is_up = (device.flags & PCAP_IF_UP) != 0;
    for (const pcap_addr_t* a = device.addresses; a != nullptr; a = a->next) {
        InterfaceAddress address{text_of(a->addr), text_of(a->netmask), text_of(a->broadaddr)};
        // Link-layer and other non-IP entries render as empty and are left out.
        if (!address.address.empty()) entry.addresses.push_back(std::move(address));
    }
    return entry;
}

std::string InterfaceManager::description_of(const std::string& name) {
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    pcap_if_t* raw = nullptr;
    if (pcap_findalldevs(&raw, errbuf) == -1) return {};
    const std::unique_ptr<pcap_if_t, DeviceListDeleter> list(raw);
    for (const pcap_if_t* device = list.get(); device != nullptr; device = device->next) {
        if (device->name != nullptr && name == device->name) return device->description != nullptr ? device->description : "";
    }
    return {};
}

bool InterfaceManager::enumerate() {
#ifdef _WIN32
    const WinsockSession winsock;
#endif
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    pcap_if_t* raw = nullptr;
    if (pcap_findalldevs(&raw, errbuf) == -1) {
        last_error_ = std::string("pcap_findalldevs failed: ") + errbuf;
        return false;
    }
    const std::unique_ptr<pcap_if_t, DeviceListDeleter> list(raw);

    interfaces_.clear();
    for (const pcap_if_t* device = list.get(); device != nullptr; device = device->next) {
        interfaces_.push_back(from_device(*device));
    }
    return true;
}

}  // namespace ostrane
