#pragma once

#include "app/status_line.h"
#include "output/output_channel.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace ostrane {

// Everything a capture run says on standard error, and its status line. A
// terminal paused with Ctrl+S, or a pipe nobody reads, must cost a message,
// never a packet: what it cannot take yet waits here and goes out as soon as
// it takes more (pump() at every turn of the capture loop, which waits on
// fd() while lines are held). Past kMaxHeld bytes, further lines are counted
// instead, and the count follows them.
class Messages {
public:
    static constexpr size_t kMaxHeld = 65536;

    // `status_line`: whether a status line may be shown at all. `quiet`
    // drops the info() lines.
    Messages(std::FILE* stream, bool status_line, bool quiet);
    // finish()
    ~Messages() { finish(); }
    Messages(const Messages&) = delete;
    Messages& operator=(const Messages&) = delete;

    // One line, without its newline.
    void say(const std::string& line);
    void info(const std::string& line) {
        if (!quiet_) say(line);
    }
    // Whether any line has been said: a report after nothing needs no blank line before it.
    bool said() const { return said_; }
    // Shows `text()` on the status line when it is due and the stream has
    // room; called only then.
    template <typename Text>
    void status(Text text) {
        pump();
        if (!held_.empty() || !line_.due() || !has_room()) return;
        held_ += line_.show(text());
        pump();
    }
    // Sends what the stream takes now, without waiting.
    void pump();
    // The capture is over: the lines from here on (the report) are kept
    // whatever their size, after the count of those lost before.
    void closing();
    // Erases the status line and sends what the stream takes now.
    void finish();
    // Lines wait for the stream to take them: poll fd() for POLLOUT.
    bool holding() const { return !gone_ && !held_.empty(); }
    int fd() const { return channel_.fd(); }
    // Nobody will read them: what is held, and any later line, is dropped.
    void give_up() {
        gone_ = true;
        held_.clear();
    }

private:
    bool has_room() const;
    std::string lost_line();

    OutputChannel channel_;
    bool gone_ = false;          // the stream failed for good: nothing more to send
    bool quiet_;
    StatusLine line_;
    std::string held_;
    uint64_t lost_ = 0;
    bool said_ = false;
    bool closing_ = false;
};

}  // namespace ostrane
