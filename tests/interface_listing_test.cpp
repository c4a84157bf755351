// The device table, rendered from synthetic libpcap device lists, and `-l` on
// the real binary.

#include "app/interface_listing.h"
#include "interfaces/interface_manager.h"
#include "support.h"

#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

using ostrane::InterfaceManager;
using ostrane::NetworkInterface;

// A synthetic device list like the one pcap_findalldevs returns. Deques keep
// every piece at a stable address.
struct DeviceList {
    std::deque<pcap_if_t> devices;
    std::deque<pcap_addr_t> entries;
    std::deque<sockaddr_storage> sockaddrs;

    pcap_if_t* add(const char* name, const char* description, bpf_u_int32 flags) {
        pcap_if_t& device = devices.emplace_back();
        device.name = const_cast<char*>(name);
        device.description = const_cast<char*>(description);
        device.flags = flags;
        return &device;
    }
    sockaddr* addr(sa_family_t family, const char* text = "") {
        sockaddr_storage& storage = sockaddrs.emplace_back();
        storage.ss_family = family;
        if (family == AF_INET) inet_pton(AF_INET, text, &reinterpret_cast<sockaddr_in&>(storage).sin_addr);
        if (family == AF_INET6) inet_pton(AF_INET6, text, &reinterpret_cast<sockaddr_in6&>(storage).sin6_addr);
        return reinterpret_cast<sockaddr*>(&storage);
    }
    void add_address(pcap_if_t* device, sockaddr* address, sockaddr* netmask = nullptr, sockaddr* broadcast = nullptr) {
        pcap_addr_t& entry = entries.emplace_back();
        entry = pcap_addr_t{nullptr, address, netmask, broadcast, nullptr};
        pcap_addr_t** tail = &device->addresses;
        while (*tail != nullptr) tail = &(*tail)->next;
        *tail = &entry;
    }
    std::vector<NetworkInterface> records() const {
        std::vector<NetworkInterface> out(devices.size());
        std::transform(devices.begin(), devices.end(), out.begin(), InterfaceManager::from_device);
        return out;
    }
};

std::string render(const std::vector<NetworkInterface>& interfaces) {
    std::ostringstream out;
    ostrane::print_interface_table(interfaces, out);
    return out.str();
}

const std::string kTop =
    "\n╔══════════════════════════════════════════════════════════╗\n"
    "║              Available Network Interfaces               ║\n"
    "╠══════════════════════════════════════════════════════════╣\n";
const std::string kBottom = "╚══════════════════════════════════════════════════════════╝\n\n";
const std::string kRule = "║  ────────────────────────────────────────────────────\n";

TEST(InterfaceListing, RendersEveryKindOfDevice) {
    DeviceList list;
    pcap_if_t* nic = list.add("eth9", "Test NIC", PCAP_IF_UP | PCAP_IF_RUNNING);
    list.add_address(nic, list.addr(AF_PACKET));
    list.add_address(nic, list.addr(AF_INET, "192.0.2.7"), list.addr(AF_INET, "255.255.255.0"), list.addr(AF_INET, "192.0.2.255"));
    list.add_address(nic, list.addr(AF_INET6, "2001:db8:0:0:0:0:0:1"));  // no netmask
    pcap_if_t* lo = list.add("lo", nullptr, PCAP_IF_UP | PCAP_IF_LOOPBACK);
    list.add_address(lo, list.addr(AF_INET, "127.0.0.1"), list.addr(AF_INET, "255.0.0.0"));
    list.add_address(lo, list.addr(AF_INET6, "::1"), list.addr(AF_INET6, "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"));
    pcap_if_t* down_loopback = list.add("lo2", nullptr, PCAP_IF_LOOPBACK);
    list.add_address(down_loopback, list.addr(AF_PACKET));  // only non-IP: no Address row
    list.add("ifb0", "", 0);

    EXPECT_EQ(render(list.records()),
              kTop +
                  "║  [0] eth9\n"
                  "║      Description: Test NIC\n"
                  "║      Status: UP\n"
                  "║      Address: 192.0.2.7 / 255.255.255.0\n"
                  "║      Address: 2001:db8::1\n" +
                  kRule +
                  "║  [1] lo\n"
                  "║      Description: (no description)\n"
                  "║      Status: UP (loopback)\n"
                  "║      Address: 127.0.0.1 / 255.0.0.0\n"
                  "║      Address: ::1 / ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff\n" +
                  kRule +
                  "║  [2] lo2\n"
                  "║      Description: (no description)\n"
                  "║      Status: DOWN (loopback)\n" +
                  kRule +
                  "║  [3] ifb0\n"
                  "║      Description: \n"
                  "║      Status: DOWN\n" +
                  kBottom);
}

TEST(InterfaceListing, OneDeviceHasNoRuleAndNoDevicesHaveNoTable) {
    DeviceList list;
    list.add("only0", "Only one", PCAP_IF_UP);
    EXPECT_EQ(render(list.records()),
              kTop + "║  [0] only0\n║      Description: Only one\n║      Status: UP\n" + kBottom);
    EXPECT_EQ(render({}), "No interfaces found. Ensure you have appropriate permissions.\n");
}

TEST(InterfaceListing, SockaddrToString) {
    DeviceList list;
    EXPECT_EQ(InterfaceManager::sockaddr_to_string(list.addr(AF_INET, "10.1.2.3")), "10.1.2.3");
    EXPECT_EQ(InterfaceManager::sockaddr_to_string(list.addr(AF_INET6, "fe80:0:0:0:0:0:0:1")), "fe80::1");
    EXPECT_EQ(InterfaceManager::sockaddr_to_string(list.addr(AF_PACKET)), "");
}

const std::string kBinary = OSTRANE_BINARY;

TEST(InterfaceListing, ListsThisMachinesLoopback) {
    const auto result = test::run({kBinary, "-l"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out.rfind(kTop, 0), 0u) << result.out;
    EXPECT_NE(result.out.find("] lo\n║      Description: (no description)\n║      Status: UP (loopback)\n"
                              "║      Address: 127.0.0.1 / 255.0.0.0\n"),
              std::string::npos)
        << result.out;

    // A listing nobody receives is not a success.
    const std::pair<int, std::string> lost[] = {
        {::open("/dev/full", O_WRONLY | O_CLOEXEC), "No space left on device"},
        {test::Subprocess::kStdoutClosed, "Bad file descriptor"},
    };
    for (const auto& [fd, reason] : lost) {
        test::Subprocess child({kBinary, "-l"}, fd);
        EXPECT_EQ(child.wait(std::chrono::seconds(10)), 1) << reason;
        EXPECT_EQ(child.stderr_text(), "[ERROR] Failed to write the interface list: " + reason + "\n");
        if (fd >= 0) ::close(fd);
    }
}

// A network namespace that exists for the test's lifetime, even when it fails.
struct NetworkNamespace {
    std::string name = "ostrane-test-" + std::to_string(::getpid());
    // NOLINTNEXTLINE(cert-env33-c): a fixed command on a name the test made up
    bool created = std::system(("ip netns add " + name).c_str()) == 0;
    // NOLINTNEXTLINE(cert-env33-c): a fixed command on a name the test made up
    ~NetworkNamespace() { (void)std::system(("ip netns del " + name + " 2>/dev/null").c_str()); }
};

TEST(InterfaceListing, FreshNamespaceShowsLoopbackDownWithoutAddress) {
    REQUIRE_ROOT();
    NetworkNamespace ns;
    ASSERT_TRUE(ns.created) << "ip netns add failed";
    const auto result = test::run({"/usr/bin/env", "ip", "netns", "exec", ns.name, kBinary, "-l"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    const std::string entry = "] lo\n║      Description: (no description)\n║      Status: DOWN (loopback)\n";
    EXPECT_NE(result.out.find(entry), std::string::npos) << result.out;
    // Nothing in a fresh namespace has an address, lo included.
    EXPECT_EQ(result.out.find("Address:"), std::string::npos) << result.out;
}

}  // namespace
