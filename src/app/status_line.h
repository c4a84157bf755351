#pragma once

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <string>

namespace ostrane {

// Whether a stream is a terminal, where raw packet bytes must never go and
// where a status line can be rewritten in place.
bool is_terminal(std::FILE* stream);
// Whether a stream is a pipe or a socket: something another program reads,
// and most likely prints from, to the same terminal as ours.
bool is_pipe(std::FILE* stream);

// One line on a terminal, rewritten in place with a capture's counters at
// most twice a second. It only makes the text: whoever writes to that
// terminal sends clear() before any other line, so that messages and the
// report read exactly as without it. Disabled, it makes nothing at all.
class StatusLine {
public:
    static constexpr std::chrono::milliseconds kPeriod{500};

    // `stream` is asked for its width; `wanted` false disables the line.
    StatusLine(std::FILE* stream, bool wanted) : stream_(stream), enabled_(wanted && is_terminal(stream)) {}
    StatusLine(const StatusLine&) = delete;
    StatusLine& operator=(const StatusLine&) = delete;

    // The line is due: enabled, and its period has passed.
    bool due() const { return enabled_ && std::chrono::steady_clock::now() >= next_; }
    // What rewrites the line with `text`; starts the next period.
    std::string show(std::string text);
    // What erases the line; empty when none is shown.
    std::string clear();

private:
    // Columns a line may take without wrapping: a carriage return would no
    // longer reach the start of a wrapped one.
    size_t width() const;

    std::FILE* stream_;
    bool enabled_;
    size_t shown_ = 0;  // columns of the line now on the terminal
    std::chrono::steady_clock::time_point next_{};
};

}  // namespace ostrane
