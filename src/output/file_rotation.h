#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace ostrane {

// When a file being written gives way to the next, as tcpdump's -C, -G and -W
// decide it, and what the next one is called, so that scripts written for
// tcpdump find the files.
struct RotationConfig {
    uint64_t max_bytes = 0;  // -C in bytes: a new file once the current one is larger; 0: never
    uint32_t seconds = 0;    // -G: a new file every so many seconds; 0: never
    uint32_t max_files = 0;  // -W: with -C a ring of that many files; with -G alone, stop after that many
};

class FileRotation {
public:
    enum class Step { Stay, Next, Stop };

    FileRotation() = default;
    FileRotation(std::string pattern, RotationConfig config);

    // The name of the first file; starts the -G clock at `now`.
    std::string start(std::time_t now);
    // Asked before each record: whether the file that holds `file_bytes`
    // already may take it at `now`. Advances nothing.
    bool due(uint64_t file_bytes, std::time_t now) const;
    // Moves on to the next file (whose name name() then gives), or says that
    // -G and -W have made the last one.
    Step advance(uint64_t file_bytes, std::time_t now);
    std::string name() const;
    bool uses_clock() const { return config_.seconds > 0; }

private:
    std::string timed_name(std::time_t at) const;  // the pattern through strftime, without -C's number

    std::string pattern_;
    RotationConfig config_;
    std::time_t opened_ = 0;     // when the current -G period began
    uint32_t count_ = 0;         // -C's number of the current file
    uint32_t periods_ = 0;       // -G periods begun after the first
    int digits_ = 0;             // -W's width of that number
};

}  // namespace ostrane
