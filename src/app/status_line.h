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
    // Longer lines would wrap, and a carriage return no longer reaches their start.
    static constexpr size_t kWidth = 79;

    StatusLine(std::ostream& out, bool enabled) : out_(out), enabled_(enabled) {}
    StatusLine(const StatusLine&) = delete;
    StatusLine& operator=(const StatusLine&) = delete;

    // `text` is called only when the line is due.
    template <typename Text>
    void update(Text text) {
        if (!enabled_) return;
        const auto now = std::chrono::steady_clock::now();
        if (now < next_) return;
        next_ = now + kPeriod;
        show(text());
    }
    void clear();

private:
    void show(std::string text);

    std::ostream& out_;
    bool enabled_;
    size_t shown_ = 0;  // columns of the line now on the terminal
    std::chrono::steady_clock::time_point next_{};
};

}  // namespace ostrane
