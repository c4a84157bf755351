// What the end-to-end tests cannot reach: the exact bytes of records with
// chosen timestamps and lengths, stops from another thread (the Windows console
// handler's, which TSan watches here), and the table for devices this machine
// does not have.

#include "app/capture_session.h"
#include "app/interface_listing.h"
#include "app/messages.h"
#include "capture/capture_engine.h"
#include "interfaces/interface_manager.h"
#include "output/packet_dispatcher.h"

#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <deque>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

using ostrane::PacketDispatcher;
using ostrane::PacketRecordHeader;

ostrane::CapturedPacket packet_of(const std::string& bytes, double timestamp, uint32_t original) {
    return {timestamp, original, static_cast<uint32_t>(bytes.size()), reinterpret_cast<const uint8_t*>(bytes.data())};
}

ostrane::DispatcherConfig file_config(const std::string& path,
                                     ostrane::RecordFormat format = ostrane::RecordFormat::Records) {
    ostrane::DispatcherConfig config;
    config.mode = ostrane::OutputMode::File;
    config.output_path = path;
    config.format = format;
    return config;
}

std::string pattern(size_t size, char seed) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(seed + i * 7);
    return bytes;
}

// The worked example, a header alone, a record cut by the snap length and one
// larger than the output buffer; as records, and as a pcap file after its header.
TEST(RecordStream, GoldenBytesAndCounters) {
    const char* const path = "record_stream_test.bin";  // in the build tree, where ctest runs
    const auto remove = [](const char* file) { (void)std::remove(file); };
    const std::unique_ptr<const char, decltype(remove)> cleanup(path, remove);

    const std::string sixty = pattern(60, 0);
    const std::string snapped = pattern(64, 3);
    const std::string big = pattern(262144, 1);  // the largest that libpcap gives
    const std::string pcap_header("\xD4\xC3\xB2\xA1" "\x02\0\x04\0" "\0\0\0\0\0\0\0\0" "\0\0\x04\0" "\x71\0\0\0", 24);
    const auto join = [](std::initializer_list<std::string> parts) {
        std::string all;
        for (const std::string& part : parts) all += part;
        return all;
    };
    for (const auto& [format, expected] : {
             std::pair{ostrane::RecordFormat::Records,
                       join({std::string("PKT\0" "\0\0\0\0\0\0\x04\x40" "\x3C\0\0\0" "\x3C\0\0\0", 20), sixty,
                             std::string("PKT\0" "\0\0\0\0\0\0\x08\x40" "\0\0\0\0" "\0\0\0\0", 20),
                             std::string("PKT\0" "\0\0\0\0\0\0\x10\x40" "\xEA\x05\0\0" "\x40\0\0\0", 20), snapped,
                             std::string("PKT\0" "\0\0\0\0\0\0\x14\x40" "\xE0\x93\x04\0" "\0\0\x04\0", 20), big})},
             {ostrane::RecordFormat::Pcap,
              join({pcap_header, std::string("\x02\0\0\0" "\x20\xA1\x07\0" "\x3C\0\0\0" "\x3C\0\0\0", 16), sixty,
                    std::string("\x03\0\0\0" "\0\0\0\0" "\0\0\0\0" "\0\0\0\0", 16),
                    std::string("\x04\0\0\0" "\0\0\0\0" "\x40\0\0\0" "\xEA\x05\0\0", 16), snapped,
                    std::string("\x05\0\0\0" "\0\0\0\0" "\0\0\x04\0" "\xE0\x93\x04\0", 16), big})}}) {
        PacketDispatcher dispatcher(file_config(path, format));
        dispatcher.set_link(113, 262144);
        dispatcher.set_hold_limit(1 << 20);
        ASSERT_TRUE(dispatcher.init());
        EXPECT_TRUE(dispatcher.dispatch(packet_of(sixty, 2.5, 60)));
        EXPECT_TRUE(dispatcher.dispatch(packet_of("", 3.0, 0)));
        EXPECT_TRUE(dispatcher.dispatch(packet_of(snapped, 4.0, 1514)));
        EXPECT_TRUE(dispatcher.dispatch(packet_of(big, 5.0, 300000)));
        EXPECT_EQ(dispatcher.send(), PacketDispatcher::Sent::All);
        EXPECT_TRUE(dispatcher.close());

        std::ifstream in(path, std::ios::binary);
        const std::string written{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        EXPECT_TRUE(written == expected) << written.size() << " bytes, not " << expected.size();
        EXPECT_EQ(dispatcher.packets_dispatched(), 4u);
        EXPECT_EQ(dispatcher.bytes_written(), written.size());  // the file header too
    }
}

// tcpdump's names: -C numbers the files after the first, -W makes a ring of
// them with numbers as wide as its largest, -G passes the name through
// strftime and, with -W alone, ends after that many files.
TEST(FileRotation, NamesAndStepsAsTcpdump) {
    using Step = ostrane::FileRotation::Step;
    struct Case {
        const char* pattern;
        ostrane::RotationConfig config;
        std::vector<std::pair<uint64_t, std::time_t>> records;  // bytes in the file and the time, before each
        std::string names;  // the first file, then each new one, then "stop" if it ends
    };
    const std::time_t t0 = std::time_t{86400} * 365;  // 1971-01-01, in any time zone a whole minute
    for (const Case& c : std::vector<Case>{
             {"f", {1000, 0, 0}, {{1000, t0}, {1001, t0}, {5000, t0}}, "f f1 f2"},
             {"f", {1000, 0, 3}, {{1001, t0}, {1001, t0}, {1001, t0}, {999, t0}}, "f0 f1 f2 f0"},
             {"f", {1000, 0, 11}, {{1001, t0}}, "f00 f01"},
             {"f", {1000, 0, 1}, {{1001, t0}}, "f f"},
             {"g%M", {0, 60, 2}, {{0, t0 + 59}, {9999, t0 + 60}, {0, t0 + 150}}, "g00 g01 stop"},
             {"g%M.", {1000, 60, 10}, {{1001, t0 + 1}, {10, t0 + 60}}, "g00.0 g00.1 g01.0"},
         }) {
        ostrane::FileRotation rotation(c.pattern, c.config);
        std::string names = rotation.start(t0);
        for (const auto& [bytes, now] : c.records) {
            const bool due = rotation.due(bytes, now);
            const Step step = rotation.advance(bytes, now);
            EXPECT_EQ(step != Step::Stay, due) << c.pattern;
            if (step == Step::Next) names += " " + rotation.name();
            if (step == Step::Stop) names += " stop";
        }
        EXPECT_EQ(names, c.names) << c.pattern;
    }
}

// Writes go where the script says: each step takes at most that many bytes,
// or fails with ENOSPC at -1 and EAGAIN (a reader with no room) at -2; past
// the script, all are taken.
class ScriptedChannel : public ostrane::OutputChannel {
public:
    explicit ScriptedChannel(std::deque<long> script) : script_(std::move(script)) {}
    std::string stream;

protected:
    long write_some(const uint8_t* data, size_t size) override {
        long take = static_cast<long>(size);
        if (!script_.empty()) {
            take = std::min(take, script_.front());
            script_.pop_front();
        }
        if (take < 0) errno = take == -2 ? EAGAIN : ENOSPC;
        if (take > 0) stream.append(reinterpret_cast<const char*>(data), static_cast<size_t>(take));
        return take < 0 ? -1 : take;
    }

private:
    std::deque<long> script_;
};

// A dispatcher whose output the script decides, and the bytes it should get.
struct Scripted {
    explicit Scripted(std::deque<long> script, ostrane::RecordFormat format = ostrane::RecordFormat::Records)
        : channel(new ScriptedChannel(std::move(script))),
          dispatcher(file_config("/dev/null", format), std::unique_ptr<ostrane::OutputChannel>(channel)),
          format(format) {
        const auto header = ostrane::pcap_file_header(1, 262144);
        if (format == ostrane::RecordFormat::Pcap) expected.assign(header.begin(), header.end());
    }
    ScriptedChannel* channel;  // owned by the dispatcher
    PacketDispatcher dispatcher;
    ostrane::RecordFormat format;
    std::string expected;
    double stamp = 0;

    void dispatch(size_t size) {
        const std::string frame = pattern(size, static_cast<char>(stamp));
        const ostrane::CapturedPacket packet = packet_of(frame, ++stamp, static_cast<uint32_t>(size));
        ASSERT_TRUE(dispatcher.dispatch(packet));
        uint8_t header[ostrane::kMaxRecordHeader];
        expected.append(reinterpret_cast<const char*>(header), ostrane::encode_record_header(format, packet, header));
        expected += frame;
    }
    std::pair<uint64_t, uint64_t> counters() const { return {dispatcher.packets_dispatched(), dispatcher.bytes_written()}; }
};

using Sent = PacketDispatcher::Sent;

// Records go in whole or not at all, and a write that took part of them
// retires exactly the records it completed, whatever the pieces.
TEST(RecordQueue, WholeRecordsInWholeRecordsOut) {
    ostrane::RecordQueue queue(0);  // the least it takes: one record of the largest size
    const std::string largest(ostrane::RecordQueue::kLargestRecord - 24, 'L');
    const uint8_t head[24] = {1};
    ASSERT_TRUE(queue.push(head, 24, reinterpret_cast<const uint8_t*>(largest.data()), largest.size()));
    EXPECT_FALSE(queue.push(head, 20, nullptr, 0));  // full: the header alone is refused too
    EXPECT_EQ(queue.size(), ostrane::RecordQueue::kLargestRecord);
    EXPECT_EQ(queue.consume(queue.size() - 1), 0u);
    EXPECT_EQ(queue.head_sent(), ostrane::RecordQueue::kLargestRecord - 1);
    EXPECT_EQ(queue.consume(1), 1u);
    // A file header, then records of 20 to 1019 bytes, retired in pieces of 777.
    queue.set_limit(1 << 20);
    ASSERT_TRUE(queue.push(head, 24, nullptr, 0, false));
    uint64_t packets = 0, total = 24;
    for (size_t size = 0; size < 1000; size += 37, ++packets) {
        ASSERT_TRUE(queue.push(head, 20, reinterpret_cast<const uint8_t*>(largest.data()), size));
        total += 20 + size;
    }
    uint64_t retired = 0;
    for (uint64_t sent = 0; sent < total; sent += 777) retired += queue.consume(std::min<uint64_t>(777, total - sent));
    EXPECT_EQ(std::make_tuple(retired, queue.size(), queue.head_sent()), std::make_tuple(packets, 0ul, 0ul));
    ASSERT_TRUE(queue.push(head, 24, nullptr, 0, false));
    ASSERT_TRUE(queue.push(head, 20, nullptr, 0));
    EXPECT_EQ(queue.clear(), 1u);  // the packets given up, not the file header
}

// A full disk takes the records only in part, in the middle of one: the
// counters follow what it took, no byte goes twice, and the rest follows
// once it takes more. Given up there, a stream that is not a file ends inside
// the record, and says so. The same for a pcap file after its header.
TEST(RecordStream, DiskFullInTheMiddleOfARecord) {
    for (const auto format : {ostrane::RecordFormat::Records, ostrane::RecordFormat::Pcap}) {
        const uint64_t file_header = format == ostrane::RecordFormat::Pcap ? 24 : 0;
        const uint64_t record = format == ostrane::RecordFormat::Pcap ? 60016 : 60020;
        Scripted run({-1, 100000, -1}, format);
        ASSERT_TRUE(run.dispatcher.init());
        run.dispatch(60000), run.dispatch(60000);
        EXPECT_EQ(run.dispatcher.send(), Sent::Full);
        run.dispatch(60000);
        EXPECT_EQ(run.dispatcher.send(), Sent::Full);  // one record and part of the next
        EXPECT_EQ(run.counters(), std::make_pair((100000 - file_header) / record, uint64_t{100000}));
        run.dispatch(60000), run.dispatch(60000);
        EXPECT_EQ(run.dispatcher.send(), Sent::All);
        EXPECT_EQ(run.channel->stream, run.expected);
        EXPECT_EQ(run.counters(), std::make_pair(uint64_t{5}, uint64_t{run.expected.size()}));

        Scripted cut({50, -1}, format);
        ASSERT_TRUE(cut.dispatcher.init());
        cut.dispatch(1000);
        EXPECT_EQ(cut.dispatcher.send(), Sent::Full);
        EXPECT_EQ(cut.dispatcher.abandon(), 1u);
        EXPECT_TRUE(cut.dispatcher.ends_inside_record());
        EXPECT_EQ(cut.counters(), std::make_pair(uint64_t{0}, uint64_t{50}));
    }
}

// Standard error that takes nothing (a paused terminal, an unread pipe) holds
// lines without blocking, counts those past its limit, and gives everything
// it kept, in order, with the count, once it takes more. After the report, a
// stop request ends the wait for a stream that takes nothing.
TEST(Messages, HeldWhileTheStreamTakesNothingThenCounted) {
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    std::FILE* stream = ::fdopen(ends[1], "w");
    ASSERT_NE(stream, nullptr);
    std::string seen;
    const auto read_all = [&] {
        char chunk[65536];
        for (long n; (n = ::read(ends[0], chunk, sizeof chunk)) > 0;) seen.append(chunk, static_cast<size_t>(n));
    };
    ASSERT_EQ(::fcntl(ends[0], F_SETFL, O_NONBLOCK), 0);
    const std::string filler(::fcntl(ends[1], F_GETPIPE_SZ), 'f');
    ASSERT_EQ(::write(ends[1], filler.data(), filler.size()), static_cast<long>(filler.size()));
    {
        ostrane::Messages messages(stream, true, false);
        const std::string line(99, 'x');
        const size_t kept = ostrane::Messages::kMaxHeld / 100;
        for (size_t i = 0; i < kept + 3; ++i) messages.say(line);  // returns at once, or the test hangs
        read_all();
        EXPECT_EQ(seen, filler);
        // Once the capture is over, the report is kept whatever its size, after the count.
        messages.closing();
        const std::string report(ostrane::Messages::kMaxHeld, 'r');
        messages.say(report);
        std::string expected = filler;
        for (size_t i = 0; i < kept; ++i) expected += line + "\n";
        expected += "[WARN] 3 messages were lost while standard error took nothing\n" + report + "\n";
        for (int i = 0; i < 1000 && messages.holding(); ++i) read_all(), messages.pump();
        read_all();
        EXPECT_EQ(seen, expected);
    }
    (void)std::fclose(stream);
    ::close(ends[0]);
    // A socket (journald's) that takes nothing, then a stop request: the line is given up, and any later one.
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    ASSERT_EQ(::fcntl(ends[0], F_SETFL, O_NONBLOCK), 0);
    stream = ::fdopen(ends[1], "w");
    while (::send(ends[1], filler.data(), filler.size(), MSG_DONTWAIT) > 0) {
    }
    {
        ostrane::StopRequests requests;
        requests.open_wake();
        ostrane::Messages messages(stream, false, false);
        ostrane::CaptureEngine engine{ostrane::CaptureConfig{}};
        PacketDispatcher dispatcher{ostrane::DispatcherConfig{}};
        ostrane::CaptureSession session(engine, dispatcher, messages, requests, {});
        messages.say("never shown");  // returns at once, or the test hangs
        std::thread stop([&] { std::this_thread::sleep_for(std::chrono::milliseconds(50)), requests.request(); });
        session.settle();
        stop.join();
        messages.say("nor this");
    }
    seen.clear(), read_all();
    EXPECT_EQ(seen.find_first_not_of('f'), std::string::npos);
    (void)std::fclose(stream);
    ::close(ends[0]);
}

// A reader that takes nothing, then a little at each turn (once, a lot): the
// capture reads on as far as room() allows, records wait in memory beyond
// 256 KiB but never beyond the hold limit, and all go out whole, in order
// and once, with exact counters.
TEST(RecordStream, HeldForAReaderUpToTheLimit) {
    std::deque<long> script(20, -2);
    for (int i = 0; i < 400; ++i) script.insert(script.end(), {i == 200 ? 400000 : 7000, -2});
    Scripted run(std::move(script));
    run.dispatcher.set_hold_limit(600000);
    ASSERT_TRUE(run.dispatcher.init());
    uint64_t most = 0;
    for (int turn = 0; turn < 420; ++turn) {
        for (uint64_t i = run.dispatcher.room(8, 1500); i > 0; --i) run.dispatch(1000 + static_cast<size_t>(run.stamp) % 501);
        const Sent sent = run.dispatcher.send();
        EXPECT_TRUE(sent == Sent::Blocked || sent == Sent::All);
        most = std::max(most, run.dispatcher.pending_bytes());
    }
    EXPECT_GT(most, 262144u);
    EXPECT_LE(most, 600000u);
    EXPECT_EQ(run.dispatcher.send(), Sent::All);
    EXPECT_EQ(run.channel->stream, run.expected);
    EXPECT_EQ(run.counters(), std::make_pair(static_cast<uint64_t>(run.stamp), uint64_t{run.expected.size()}));
}

// The stream carries the timestamp as a double: the exact microseconds must come back from it.
TEST(CaptureEngine, KeepsEveryMicrosecondAndClampsTheBufferSize) {
    pcap_pkthdr header{};
    header.ts.tv_sec = 1893456000;  // 2030
    for (long usec = 0; usec < 1000000; usec += 997) {
        header.ts.tv_usec = usec;
        const double stamp = ostrane::to_captured_packet(header, nullptr).timestamp;
        ASSERT_EQ(static_cast<long>(std::floor(stamp)), header.ts.tv_sec) << usec;
        ASSERT_EQ(std::lround((stamp - std::floor(stamp)) * 1e6), usec);
    }
    for (const auto& [megabytes, bytes] : {std::pair{2047, 2047 << 20}, {2048, INT_MAX}, {INT32_MIN, INT_MIN}}) {
        EXPECT_EQ(ostrane::buffer_size_bytes(megabytes), bytes) << megabytes;
    }
}

// Every ending says what it left and gives its status: packets captured and
// not written make it 1, unless the reader closed the pipe or a second stop
// request asked for the cut.
TEST(Ending, ConcludedAsATable) {
    using Cause = ostrane::Ending::Cause;
    struct Row {
        ostrane::Ending ending;
        const char* lines;
        int status;
    };
    const auto ending = [](Cause cause, unsigned stops, uint64_t unwritten, const char* gave_up = "", bool inside = false,
                           const char* close_error = "") {
        ostrane::Ending e;
        e.cause = cause, e.stop_requests = stops, e.unwritten = unwritten, e.gave_up = gave_up;
        e.inside_record = inside, e.close_error = close_error, e.error = "E", e.file_limit = 3;
        return e;
    };
    for (const Row& row : std::vector<Row>{
             {ending(Cause::Stopped, 0, 0), "", 0},
             {ending(Cause::Stopped, 1, 0), "", 0},
             {ending(Cause::CountReached, 0, 0), "", 0},
             {ending(Cause::CountReached, 0, 5), "[WARN] 5 packets captured were not written\n", 1},
             {ending(Cause::Stopped, 1, 7, "Output blocked while stopping: abandoned 9 bytes", true),
              "[ERROR] Output blocked while stopping: abandoned 9 bytes, ending the stream inside a record\n"
              "[WARN] 7 packets captured before the stop were not written\n", 1},
             {ending(Cause::Stopped, 2, 7, "", true),
              "[WARN] 7 packets captured before the stop were not written, ending the stream inside a record\n", 0},
             {ending(Cause::ReaderGone, 0, 7, "", true), "[INFO] The reader closed the output\n", 0},
             {ending(Cause::OutputFailed, 0, 2), "[ERROR] Dispatch failed: E\n[WARN] 2 packets captured were not written\n", 1},
             {ending(Cause::CaptureFailed, 0, 0), "[ERROR] E\n", 1},
             {ending(Cause::FileLimit, 0, 0, "", false, "C"), "[INFO] Maximum file limit reached: 3\n[ERROR] C\n", 1},
         }) {
        const ostrane::Verdict verdict = ostrane::conclude(row.ending);
        std::string lines;
        for (const std::string& line : verdict.lines) lines += line + "\n";
        EXPECT_EQ(std::make_pair(lines, verdict.status), std::make_pair(std::string(row.lines), row.status));
    }
}

// On lo: a stop from another thread (the Windows console handler's, which
// TSan watches here) ends a quiet capture at once; -c ends by itself with
// exactly its packets; a second request cuts, counting what it left.
TEST(CaptureSession, EveryStopEndsTheLoopAsPromised) {
    if (::geteuid() != 0) GTEST_SKIP() << "live capture needs root";
    struct Sink {
        int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t len = sizeof addr;
        ~Sink() { ::close(fd); }
        void send(int count) {
            for (int i = 0; i < count; ++i) ::sendto(fd, "x", 1, 0, reinterpret_cast<sockaddr*>(&addr), len);
        }
    } sink;
    ASSERT_EQ(::bind(sink.fd, reinterpret_cast<sockaddr*>(&sink.addr), sink.len), 0);
    ASSERT_EQ(::getsockname(sink.fd, reinterpret_cast<sockaddr*>(&sink.addr), &sink.len), 0);
    std::FILE* quiet = std::fopen("/dev/null", "w");
    ASSERT_NE(quiet, nullptr);
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> closer(quiet, &std::fclose);

    const auto run = [&](uint64_t count, const std::function<void(ostrane::StopRequests&)>& meanwhile) {
        ostrane::CaptureConfig config;
        config.interface_name = "lo";
        config.filter = "udp dst port " + std::to_string(ntohs(sink.addr.sin_port));
        ostrane::CaptureEngine engine(config);
        EXPECT_TRUE(engine.open()) << engine.last_error();
        EXPECT_FALSE(engine.open());  // the handle in use is neither replaced nor leaked
        PacketDispatcher dispatcher(file_config("/dev/null"));
        EXPECT_TRUE(dispatcher.init());
        ostrane::StopRequests requests;
        requests.open_wake();
        ostrane::Messages messages(quiet, false, true);
        ostrane::CaptureSession session(engine, dispatcher, messages, requests, {count, "lo", nullptr});
        std::thread other(meanwhile, std::ref(requests));
        const auto started = std::chrono::steady_clock::now();
        ostrane::Ending ending = session.run();
        other.join();
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
        return std::make_tuple(ending.cause, ending.stop_requests, dispatcher.packets_dispatched(), ending.unwritten);
    };
    const auto after = [](int ms, int requests) {
        return [=](ostrane::StopRequests& stop) {
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            for (int i = 0; i < requests; ++i) stop.request();
        };
    };
    using Cause = ostrane::Ending::Cause;
    EXPECT_EQ(run(0, after(250, 1)), std::make_tuple(Cause::Stopped, 1u, 0ul, 0ul));
    EXPECT_EQ(run(2, [&](ostrane::StopRequests&) { sink.send(3); }), std::make_tuple(Cause::CountReached, 0u, 2ul, 0ul));
    // Two requests before the capture reads: nothing written, nothing lost.
    EXPECT_EQ(run(0, [&](ostrane::StopRequests& stop) { stop.request(), stop.request(), sink.send(3); }),
              std::make_tuple(Cause::Stopped, 2u, 0ul, 0ul));
}

// Deques keep every piece of the list at a stable address.
struct DeviceList {
    std::deque<pcap_if_t> devices;
    std::deque<pcap_addr_t> entries;
    std::deque<sockaddr_storage> sockaddrs;

    pcap_if_t* add(const char* name, const char* description, bpf_u_int32 flags) {
        devices.push_back({nullptr, const_cast<char*>(name), const_cast<char*>(description), nullptr, flags});
        return &devices.back();
    }
    sockaddr* addr(sa_family_t family, const char* text = "") {
        sockaddr_storage& storage = sockaddrs.emplace_back();
        storage.ss_family = family;
        if (family == AF_INET) inet_pton(AF_INET, text, &reinterpret_cast<sockaddr_in&>(storage).sin_addr);
        if (family == AF_INET6) inet_pton(AF_INET6, text, &reinterpret_cast<sockaddr_in6&>(storage).sin6_addr);
        return reinterpret_cast<sockaddr*>(&storage);
    }
    void add_address(pcap_if_t* device, sockaddr* address, sockaddr* netmask = nullptr) {
        entries.push_back({device->addresses, address, netmask, nullptr, nullptr});
        device->addresses = &entries.back();  // prepended: add the last address first
    }
    std::string render() const {
        std::vector<ostrane::NetworkInterface> interfaces(devices.size());
        std::transform(devices.begin(), devices.end(), interfaces.begin(), ostrane::InterfaceManager::from_device);
        std::ostringstream out;
        ostrane::print_interface_table(interfaces, out);
        return out.str();
    }
};

TEST(InterfaceListing, RendersEveryKindOfDevice) {
    DeviceList list;
    pcap_if_t* nic = list.add("eth9", "Test NIC", PCAP_IF_UP | PCAP_IF_RUNNING);
    list.add_address(nic, list.addr(AF_INET6, "2001:db8:0:0:0:0:0:1"));  // no netmask
    list.add_address(nic, list.addr(AF_INET, "192.0.2.7"), list.addr(AF_INET, "255.255.255.0"));
    list.add_address(nic, list.addr(AF_PACKET));
    pcap_if_t* lo = list.add("lo", nullptr, PCAP_IF_UP | PCAP_IF_LOOPBACK);
    list.add_address(lo, list.addr(AF_INET6, "::1"), list.addr(AF_INET6, "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"));
    list.add_address(lo, list.addr(AF_INET, "127.0.0.1"), list.addr(AF_INET, "255.0.0.0"));
    list.add_address(list.add("lo2", "", PCAP_IF_LOOPBACK), list.addr(AF_PACKET));  // no IP: no Address row
    // Controls, DEL, C1 (U+009B) and what is not UTF-8 (overlong, surrogate, cut short) are escaped; é and 🦊
    // stay, and so do the first and last characters of each length: U+00A0, U+0800, U+10000, U+10FFFF, and
    // those beside the surrogates, U+D7FF and U+E000. Past U+10FFFF, the last surrogate and overlong forms of
    // U+07FF and U+FFFF are escaped.
    list.add("ev\x1b[7m",
             "caf\xc3\xa9 \xf0\x9f\xa6\x8a\xc2\xa0\xe0\xa0\x80\xf0\x90\x80\x80\xf4\x8f\xbf\xbf\xed\x9f\xbf\xee\x80\x80"
             "\xf4\x90\x80\x80\xed\xbf\xbf\xe0\x9f\xbf\xf0\x8f\xbf\xbf\t\x7f\xc2\x9b\xc0\xaf\xed\xa0\x80\xff\xe2\x82",
             0);

    const std::string top =
        "\n╔══════════════════════════════════════════════════════════╗\n"
        "║              Available Network Interfaces               ║\n"
        "╠══════════════════════════════════════════════════════════╣\n";
    const std::string bottom = "╚══════════════════════════════════════════════════════════╝\n\n";
    const std::string rule = "║  ────────────────────────────────────────────────────\n";
    EXPECT_EQ(list.render(), top +
                                  "║  [0] eth9\n"
                                  "║      Description: Test NIC\n"
                                  "║      Status: UP\n"
                                  "║      Address: 192.0.2.7 / 255.255.255.0\n"
                                  "║      Address: 2001:db8::1\n" +
                                  rule +
                                  "║  [1] lo\n"
                                  "║      Description: (no description)\n"
                                  "║      Status: UP (loopback)\n"
                                  "║      Address: 127.0.0.1 / 255.0.0.0\n"
                                  "║      Address: ::1 / ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff\n" +
                                  rule +
                                  "║  [2] lo2\n"
                                  "║      Description: \n"
                                  "║      Status: DOWN (loopback)\n" + rule +
                                  "║  [3] ev\\x1b[7m\n"
                                  "║      Description: café 🦊\xc2\xa0\xe0\xa0\x80\xf0\x90\x80\x80\xf4\x8f\xbf\xbf\xed\x9f\xbf\xee\x80\x80"
                                  "\\xf4\\x90\\x80\\x80\\xed\\xbf\\xbf\\xe0\\x9f\\xbf\\xf0\\x8f\\xbf\\xbf\\x09\\x7f\\xc2\\x9b\\xc0\\xaf\\xed\\xa0\\x80\\xff\\xe2\\x82\n"
                                  "║      Status: DOWN\n" +
                                  bottom);
    EXPECT_EQ(DeviceList().render(), "No interfaces found. Ensure you have appropriate permissions.\n");
}

}  // namespace
