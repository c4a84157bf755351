#include "app/status_line.h"

#include <algorithm>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace ostrane {

namespace {

constexpr size_t kDefaultWidth = 80;
constexpr size_t kReserved = 3;

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

bool is_pipe(std::FILE* stream) {
#ifdef _WIN32
    return GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)))) == FILE_TYPE_PIPE;
#else
    struct stat info {};
    return ::fstat(fileno(stream), &info) == 0 && (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode));
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
    // The last columns are left free: some terminals wrap on reaching the
    // last one, and Ctrl+C echoes "^C" behind the line.
    return (columns > kReserved ? columns : kDefaultWidth) - kReserved;
}

// Spaces rather than an erase sequence: older Windows consoles print escape
// sequences as text.
std::string StatusLine::show(std::string text) {
    next_ = std::chrono::steady_clock::now() + kPeriod;
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
    shown_ = length;
    return '\r' + text;
}

std::string StatusLine::clear() {
    if (shown_ == 0) return {};
    const size_t blank = std::min(shown_, width());
    shown_ = 0;
    return '\r' + std::string(blank, ' ') + '\r';
}

}  // namespace ostrane
