#include "app/status_line.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace ostrane {

bool is_terminal(std::FILE* stream) {
#ifdef _WIN32
    return _isatty(_fileno(stream)) != 0;
#else
    return ::isatty(fileno(stream)) != 0;
#endif
}

// Spaces rather than an erase sequence: older Windows consoles print escape
// sequences as text.
void StatusLine::show(std::string text) {
    if (text.size() > kWidth) text.resize(kWidth);
    const size_t width = text.size();
    if (width < shown_) text.append(shown_ - width, ' ');
    out_ << '\r' << text << std::flush;
    shown_ = width;
}

void StatusLine::clear() {
    if (shown_ == 0) return;
    out_ << '\r' << std::string(shown_, ' ') << '\r' << std::flush;
    shown_ = 0;
}

}  // namespace ostrane
