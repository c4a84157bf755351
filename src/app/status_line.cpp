#include "app/status_line.h"

#include <algorithm>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace ostrane {

namespace {

constexpr size_t kDefaultWidth = 80;

}  // namespace

bool is_terminal(std::FILE* stream) {
#ifdef _WIN32
    // _isatty is true for every character device, NUL among them; only a
    // console has a console mode.
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    return GetFileType(handle) == FILE_TYPE_CHAR && GetConsoleMode(handle, &mode) != 0;
#else
    return ::isatty(fileno(stream)) != 0;
#endif
}

bool StatusLine::has_room() const {
#ifdef _WIN32
    return true;
#else
    pollfd room{fileno(stream_), POLLOUT, 0};
    return ::poll(&room, 1, 0) == 1 && (room.revents & POLLOUT) != 0;
#endif
}

size_t StatusLine::width() const {
    size_t columns = 0;
#ifdef _WIN32
    CONSOLE_SCREEN_BUFFER_INFO info{};
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream_)));
    if (GetConsoleScreenBufferInfo(handle, &info)) columns = static_cast<size_t>(info.srWindow.Right - info.srWindow.Left + 1);
#else
    winsize size{};
    if (::ioctl(fileno(stream_), TIOCGWINSZ, &size) == 0) columns = size.ws_col;
#endif
    // The last column is left free: some terminals wrap on reaching it.
    return (columns > 1 ? columns : kDefaultWidth) - 1;
}

// Spaces rather than an erase sequence: older Windows consoles print escape
// sequences as text.
void StatusLine::show(std::string text) {
    const size_t columns = width();
    size_t fits = columns;
    if (text.size() > fits) {
        while (fits > 0 && (static_cast<unsigned char>(text[fits]) & 0xC0) == 0x80) --fits;  // not inside a character
        text.resize(fits);
    }
    const size_t length = text.size();
    // The terminal may have narrowed since the last line: blanking more than
    // fits would wrap.
    if (length < std::min(shown_, columns)) text.append(std::min(shown_, columns) - length, ' ');
    out_ << '\r' << text << std::flush;
    shown_ = length;
}

void StatusLine::clear() {
    // A signal that cut an earlier write to the terminal short leaves the
    // stream in error, which would silence every message after it.
    out_.clear();
    if (shown_ == 0) return;
    out_ << '\r' << std::string(std::min(shown_, width()), ' ') << '\r' << std::flush;
    if (out_.good()) shown_ = 0;
    out_.clear();
}

}  // namespace ostrane
