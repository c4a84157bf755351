// The cost of sending one record out of the process as the capture does (a
// flush after every batch of 64), set against one bare write(2) per record
// and against what tcpdump -w does per packet (pcap_dump into stdio's buffer).

#include "output/packet_dispatcher.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <pcap/pcap.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

enum class Destination { DevNull, Pipe };

const char* name_of(Destination d) { return d == Destination::DevNull ? "devnull" : "pipe"; }

// /dev/null, or a pipe that another thread drains as fast as it can.
class Sink {
public:
    explicit Sink(Destination destination) {
        if (destination == Destination::DevNull) {
            fd_ = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
            return;
        }
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return;
        fd_ = fds[1];
        drainer_ = std::thread([fd = fds[0]] {
            std::vector<char> buffer(1 << 20);
            while (::read(fd, buffer.data(), buffer.size()) > 0) {
            }
            ::close(fd);
        });
    }
    ~Sink() {
        if (fd_ >= 0) ::close(fd_);
        if (drainer_.joinable()) drainer_.join();
    }
    Sink(const Sink&) = delete;
    Sink& operator=(const Sink&) = delete;

    int fd() const { return fd_; }
    std::string path() const { return "/dev/fd/" + std::to_string(fd_); }

private:
    int fd_ = -1;
    std::thread drainer_;
};

void run_dispatch(benchmark::State& state, size_t size, Destination destination) {
    const std::vector<uint8_t> packet(size, 0x5a);
    ostrane::CapturedPacket captured;
    captured.timestamp = 1700000000.123456;
    captured.original_length = captured.captured_length = static_cast<uint32_t>(size);
    captured.data = packet.data();
    {
        Sink sink(destination);
        ostrane::DispatcherConfig config;
        config.mode = ostrane::OutputMode::File;
        config.output_path = sink.path();
        ostrane::PacketDispatcher dispatcher(config);
        if (!dispatcher.init()) {
            state.SkipWithError(dispatcher.last_error().c_str());
            return;
        }
        // As the capture loop does: send after each batch, and wait for a
        // pipe's room only when it has none.
        const auto send_all = [&dispatcher] {
            using Sent = ostrane::PacketDispatcher::Sent;
            Sent sent = dispatcher.send();
            for (; sent == Sent::Blocked; sent = dispatcher.send()) {
                pollfd room{dispatcher.fd(), POLLOUT, 0};
                (void)::poll(&room, 1, 100);
            }
            return sent == Sent::All;
        };
        constexpr unsigned kBatch = 64;
        unsigned batched = 0;
        for (auto _ : state) {
            if (!dispatcher.dispatch(captured)) state.SkipWithError(dispatcher.last_error().c_str());
            if (++batched == kBatch && !send_all()) state.SkipWithError(dispatcher.last_error().c_str());
            batched %= kBatch;
        }
        (void)send_all();
        (void)dispatcher.close();
    }
    state.SetItemsProcessed(state.iterations());
}

void run_bare_write(benchmark::State& state, size_t size, Destination destination) {
    const std::vector<uint8_t> record(ostrane::PacketRecordHeader::kSize + size, 0x5a);
    {
        Sink sink(destination);
        for (auto _ : state) {
            if (::write(sink.fd(), record.data(), record.size()) != static_cast<ssize_t>(record.size())) {
                state.SkipWithError("write failed");
            }
        }
    }
    state.SetItemsProcessed(state.iterations());
}

void run_pcap_dump(benchmark::State& state, size_t size, Destination destination) {
    const std::vector<uint8_t> packet(size, 0x5a);
    pcap_pkthdr header{};
    header.caplen = header.len = static_cast<bpf_u_int32>(size);
    {
        Sink sink(destination);
        pcap_t* dead = pcap_open_dead(DLT_EN10MB, 65535);
        FILE* stream = ::fdopen(::dup(sink.fd()), "wb");
        pcap_dumper_t* dumper = stream != nullptr ? pcap_dump_fopen(dead, stream) : nullptr;
        if (dumper == nullptr) {
            state.SkipWithError("pcap_dump_fopen failed");
        } else {
            for (auto _ : state) pcap_dump(reinterpret_cast<u_char*>(dumper), &header, packet.data());
            pcap_dump_close(dumper);  // closes `stream`
        }
        pcap_close(dead);
    }
    state.SetItemsProcessed(state.iterations());
}

// Console output as usual, plus the real time per record of every run, for
// the ratio table at the end.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
                ns_[run.benchmark_name()] = run.GetAdjustedRealTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    double ns(const std::string& name) const {
        const auto it = ns_.find(name);
        return it == ns_.end() ? 0.0 : it->second;
    }

private:
    std::map<std::string, double> ns_;
};

}  // namespace

int main(int argc, char** argv) {
    const size_t sizes[] = {64, 590, 1514};
    const Destination destinations[] = {Destination::DevNull, Destination::Pipe};
    auto key = [](const char* who, size_t size, Destination d) {
        return std::string(who) + "/" + std::to_string(size) + "/" + name_of(d);
    };
    for (const Destination d : destinations) {
        for (const size_t size : sizes) {
            benchmark::RegisterBenchmark(key("dispatch", size, d).c_str(), run_dispatch, size, d)->UseRealTime();
            benchmark::RegisterBenchmark(key("write", size, d).c_str(), run_bare_write, size, d)->UseRealTime();
            benchmark::RegisterBenchmark(key("pcap_dump", size, d).c_str(), run_pcap_dump, size, d)->UseRealTime();
        }
    }
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    std::printf("\n%-8s %-8s %12s %12s %12s %8s %8s\n", "size", "sink", "dispatch ns", "write ns", "pcap_dump ns",
                "a/b", "a/c");
    for (const Destination d : destinations) {
        for (const size_t size : sizes) {
            const double a = reporter.ns(key("dispatch", size, d) + "/real_time");
            const double b = reporter.ns(key("write", size, d) + "/real_time");
            const double c = reporter.ns(key("pcap_dump", size, d) + "/real_time");
            std::printf("%-8zu %-8s %12.1f %12.1f %12.1f %8.3f %8.3f\n", size, name_of(d), a, b, c,
                        b > 0 ? a / b : 0.0, c > 0 ? a / c : 0.0);
        }
    }
    benchmark::Shutdown();
    return 0;
}
