#include "support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <cstdio>

namespace test {

bool running_as_root() { return ::geteuid() == 0; }

ParsedStream parse_stream(const std::string& bytes) {
    ParsedStream parsed;
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
    size_t offset = 0;
    while (bytes.size() - offset >= ostrane::PacketRecordHeader::kSize) {
        const auto header = ostrane::PacketRecordHeader::decode(data + offset);
        if (header.magic != ostrane::PacketRecordHeader::kMagic) {
            parsed.bad_magic = true;
            break;
        }
        const size_t end = offset + ostrane::PacketRecordHeader::kSize + header.captured_length;
        if (end > bytes.size()) break;
        parsed.records.push_back(
            {header, bytes.substr(offset + ostrane::PacketRecordHeader::kSize, header.captured_length)});
        offset = end;
    }
    parsed.trailing_bytes = bytes.size() - offset;
    return parsed;
}

long long report_value(const std::string& report, const std::string& label) {
    const size_t at = report.find(label);
    if (at == std::string::npos) return -1;
    return std::strtoll(report.c_str() + at + label.size(), nullptr, 10);
}

std::string udp_payload(const std::string& frame) {
    const size_t ip = 14;  // Ethernet header on lo
    if (frame.size() < ip + 20) return {};
    const size_t ihl = static_cast<size_t>(static_cast<uint8_t>(frame[ip]) & 0x0f) * 4;
    const size_t start = ip + ihl + 8;
    return start <= frame.size() ? frame.substr(start) : std::string();
}

UdpSink::UdpSink() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sender_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    // port() stays 0 when this fails; tests assert on it.
    if (fd_ >= 0 && sender_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
        port_ = ntohs(addr.sin_port);
    }
}

UdpSink::~UdpSink() {
    if (fd_ >= 0) ::close(fd_);
    if (sender_ >= 0) ::close(sender_);
}

void UdpSink::send(const std::string& payload) const {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port_);
    ::sendto(sender_, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
}

uint64_t flood_index(const std::string& frame) {
    const std::string payload = udp_payload(frame);
    uint64_t index = 0;
    for (size_t i = 0; i < 8 && i < payload.size(); ++i) {
        index |= static_cast<uint64_t>(static_cast<uint8_t>(payload[i])) << (8 * i);
    }
    return index;
}

size_t UdpSink::flood(size_t size, size_t count, std::chrono::milliseconds duration) const {
    constexpr size_t kBatch = 32;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port_);
    std::vector<std::string> payloads(kBatch, std::string(std::max<size_t>(size, 8), 'f'));
    std::vector<iovec> iov(kBatch);
    std::vector<mmsghdr> messages(kBatch);
    const auto deadline = std::chrono::steady_clock::now() + duration;
    size_t sent = 0;
    while (sent < count && std::chrono::steady_clock::now() < deadline) {
        const size_t batch = std::min(kBatch, count - sent);
        for (size_t i = 0; i < batch; ++i) {
            const uint64_t index = next_index_ + i;
            for (size_t b = 0; b < 8; ++b) payloads[i][b] = static_cast<char>(index >> (8 * b));
            iov[i] = {payloads[i].data(), payloads[i].size()};
            messages[i] = {};
            messages[i].msg_hdr.msg_name = &addr;
            messages[i].msg_hdr.msg_namelen = sizeof addr;
            messages[i].msg_hdr.msg_iov = &iov[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        const int n = ::sendmmsg(sender_, messages.data(), static_cast<unsigned>(batch), 0);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
        next_index_ += static_cast<uint64_t>(n);
    }
    return sent;
}

namespace {

void drain(int fd, std::mutex& mutex, std::string& into) {
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        const std::lock_guard<std::mutex> lock(mutex);
        into.append(chunk, static_cast<size_t>(n));
    }
    ::close(fd);
}

}  // namespace

Subprocess::Subprocess(const std::vector<std::string>& args, int stdout_fd) {
    int out_pipe[2] = {-1, -1};
    int err_pipe[2] = {-1, -1};
    if (::pipe2(err_pipe, O_CLOEXEC) != 0 || (stdout_fd == kStdoutPipe && ::pipe2(out_pipe, O_CLOEXEC) != 0)) {
        std::perror("pipe2");
        std::abort();
    }
    std::vector<char*> argv(args.size() + 1, nullptr);
    std::transform(args.begin(), args.end(), argv.begin(),
                   [](const std::string& arg) { return const_cast<char*>(arg.c_str()); });

    pid_ = ::fork();
    if (pid_ == 0) {
        // The test process may ignore SIGPIPE; the program must be judged
        // with the dispositions a shell would give it.
        const int null_fd = ::open("/dev/null", O_RDONLY);
        const int out_fd = stdout_fd >= 0 ? stdout_fd : out_pipe[1];
        if (::signal(SIGPIPE, SIG_DFL) == SIG_ERR || ::signal(SIGINT, SIG_DFL) == SIG_ERR ||
            ::dup2(null_fd, 0) < 0 || ::dup2(err_pipe[1], 2) < 0 ||
            (stdout_fd == kStdoutClosed ? ::close(1) : ::dup2(out_fd, 1)) < 0) {
            ::_exit(127);
        }
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(err_pipe[1]);
    err_reader_ = std::thread(drain, err_pipe[0], std::ref(mutex_), std::ref(err_));
    if (stdout_fd == kStdoutPipe) {
        ::close(out_pipe[1]);
        out_reader_ = std::thread(drain, out_pipe[0], std::ref(mutex_), std::ref(out_));
    }
}

Subprocess::~Subprocess() {
    if (!exited_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (out_reader_.joinable()) out_reader_.join();
    if (err_reader_.joinable()) err_reader_.join();
}

bool Subprocess::wait_for_stderr(const std::string& text, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (stderr_text().find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

void Subprocess::signal(int sig) const { ::kill(pid_, sig); }

int Subprocess::wait(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!exited_) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            exited_ = true;
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // The readers finish at end of file, which follows the exit.
    if (out_reader_.joinable()) out_reader_.join();
    if (err_reader_.joinable()) err_reader_.join();
    return status_;
}

std::string Subprocess::stdout_bytes() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return out_;
}

std::string Subprocess::stderr_text() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return err_;
}

LiveCapture::LiveCapture(const std::string& binary, const std::vector<std::string>& extra, int stdout_fd) {
    std::vector<std::string> args = {binary, "-i", "lo", "-f", "udp dst port " + std::to_string(sink.port())};
    args.insert(args.end(), extra.begin(), extra.end());
    child = std::make_unique<Subprocess>(args, stdout_fd);
}

bool LiveCapture::started() const {
    return sink.port() != 0 && child->wait_for_stderr("Capture started", std::chrono::seconds(10));
}

void expect_report_matches(const std::string& report, const std::string& stream) {
    const auto parsed = parse_stream(stream);
    EXPECT_FALSE(parsed.bad_magic);
    EXPECT_EQ(parsed.trailing_bytes, 0u) << "stream does not end on a record boundary";
    EXPECT_NE(report.find("\n\n[INFO] Capture complete.\n[INFO] Packets received by filter: "), std::string::npos)
        << report;
    EXPECT_GE(report_value(report, kDropped), 0) << report;
    EXPECT_EQ(report_value(report, kDispatched), static_cast<long long>(parsed.records.size())) << report;
    EXPECT_EQ(report_value(report, kWritten), static_cast<long long>(stream.size())) << report;
}

Completed run(const std::vector<std::string>& args) {
    Subprocess child(args);
    const int status = child.wait(std::chrono::seconds(20));
    return {status, child.stdout_bytes(), child.stderr_text()};
}

}  // namespace test
