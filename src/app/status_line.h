#pragma once

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <ostream>
#include <string>

namespace ostrane {

// Whether a stream is a terminal, where raw packet bytes must never go and
// where a status line can be rewritten in place.
bool is_terminal(std::FILE* stream);

// One line on a terminal, rewritten in place with a capture's counters at
// most twice a second. Everything else written to that terminal must clear()
// it first, so that messages and the report read exactly as without it.
// Disabled, it writes nothing at all.
class StatusLine {
public:
    static constexpr std::chrono::milliseconds kPeriod{500};

    // `out` writes to `stream`, which is asked for its width and whether it
    // takes more without blocking.
    StatusLine(std::ostream& out, std::FILE* stream) : out_(out), stream_(stream), enabled_(is_terminal(stream)) {}
    StatusLine(const StatusLine&) = delete;
    StatusLine& operator=(const StatusLine&) = delete;

    // `text` is called only when the line is due.
    template <typename Text>
    void update(Text text) {
        if (!enabled_) return;
        const auto now = std::chrono::steady_clock::now();
        if (now < next_ || !has_room()) return;
        next_ = now + kPeriod;
        show(text());
    }
    // Erases the line, and forgets any write error on the stream first.
    void clear();

private:
    void show(std::string text);
    // A terminal paused with Ctrl+S must not hold up the capture for the
    // sake of the status line.
    bool has_room() const;
    // Columns a line may take without wrapping: a carriage return would no
    // longer reach the start of a wrapped one.
    size_t width() const;

    std::ostream& out_;
    std::FILE* stream_;
    bool enabled_;
    size_t shown_ = 0;  // columns of the line now on the terminal
    std::chrono::steady_clock::time_point next_{};
};

}  // namespace ostrane
