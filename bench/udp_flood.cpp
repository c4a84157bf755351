// Loopback load generator for the live benchmark: sends COUNT datagrams of
// SIZE bytes to 127.0.0.1:PORT with sendmmsg, flat out or paced to RATE per
// second, and stops by itself. It binds PORT itself so that no ICMP replies
// are sent. Prints the number sent and the rate reached.
//
//   udp_flood PORT COUNT SIZE [RATE]

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr size_t kBatch = 64;
constexpr auto kMaxDuration = std::chrono::seconds(60);

struct Socket {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ~Socket() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s PORT COUNT SIZE [RATE]\n", argv[0]);
        return 2;
    }
    const auto port = static_cast<uint16_t>(std::strtoul(argv[1], nullptr, 10));
    const uint64_t count = std::strtoull(argv[2], nullptr, 10);
    const size_t size = std::max<size_t>(std::strtoul(argv[3], nullptr, 10), 8);
    const double rate = argc > 4 ? std::strtod(argv[4], nullptr) : 0.0;

    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    Socket sink;
    Socket sender;
    if (sink.fd < 0 || sender.fd < 0 || ::bind(sink.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        std::perror("udp_flood: socket");
        return 1;
    }

    std::vector<std::string> payloads(kBatch, std::string(size, 'p'));
    std::vector<iovec> iov(kBatch);
    std::vector<mmsghdr> messages(kBatch);
    for (size_t i = 0; i < kBatch; ++i) {
        iov[i] = {payloads[i].data(), size};
        messages[i].msg_hdr.msg_name = &addr;
        messages[i].msg_hdr.msg_namelen = sizeof addr;
        messages[i].msg_hdr.msg_iov = &iov[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }

    const auto start = std::chrono::steady_clock::now();
    uint64_t sent = 0;
    while (sent < count) {
        const auto now = std::chrono::steady_clock::now();
        if (now - start > kMaxDuration) break;
        uint64_t allowed = count - sent;
        if (rate > 0) {
            const auto due = static_cast<uint64_t>(std::chrono::duration<double>(now - start).count() * rate);
            if (due <= sent) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                continue;
            }
            allowed = std::min(allowed, due - sent);
        }
        const size_t batch = static_cast<size_t>(std::min<uint64_t>(kBatch, allowed));
        for (size_t i = 0; i < batch; ++i) {
            const uint64_t index = sent + i;
            std::copy_n(reinterpret_cast<const char*>(&index), sizeof index, payloads[i].data());
        }
        const int n = ::sendmmsg(sender.fd, messages.data(), static_cast<unsigned>(batch), 0);
        if (n < 0) {
            std::perror("udp_flood: sendmmsg");
            return 1;
        }
        sent += static_cast<uint64_t>(n);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%llu %.6f %.0f\n", static_cast<unsigned long long>(sent), seconds, sent / seconds);
    return 0;
}
