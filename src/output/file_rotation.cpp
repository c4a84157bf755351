#include "output/file_rotation.h"

#include <array>
#include <utility>

namespace ostrane {

FileRotation::FileRotation(std::string pattern, RotationConfig config)
    : pattern_(std::move(pattern)), config_(config) {
    // Wide enough for the highest number of -C's ring, so the names sort.
    const uint32_t highest = config_.max_bytes > 0 && config_.max_files > 0 ? config_.max_files - 1 : 0;
    for (uint32_t left = highest; left > 0; left /= 10) ++digits_;
}

std::string FileRotation::start(std::time_t now) {
    opened_ = now;
    count_ = 0;
    periods_ = 0;
    return name();
}

bool FileRotation::due(uint64_t file_bytes, std::time_t now) const {
    if (config_.seconds > 0 && now - opened_ >= static_cast<std::time_t>(config_.seconds)) return true;
    return config_.max_bytes > 0 && file_bytes > config_.max_bytes;
}

FileRotation::Step FileRotation::advance(uint64_t file_bytes, std::time_t now) {
    if (config_.seconds > 0 && now - opened_ >= static_cast<std::time_t>(config_.seconds)) {
        // With -C as well, -W only widens the numbers; alone, it ends the capture.
        if (config_.max_files > 0 && config_.max_bytes == 0 && ++periods_ >= config_.max_files) return Step::Stop;
        // A name the time does not change (no conversion, or a coarse one)
        // is the file being written: starting it again would truncate
        // packets of this run, so the file goes on.
        const bool same = timed_name(now) == timed_name(opened_);
        opened_ = now;
        if (same) return Step::Stay;
        count_ = 0;
        return Step::Next;
    }
    if (config_.max_bytes == 0 || file_bytes <= config_.max_bytes) return Step::Stay;
    ++count_;
    if (config_.max_files > 0 && count_ >= config_.max_files) count_ = 0;  // the ring starts over
    return Step::Next;
}

std::string FileRotation::timed_name(std::time_t at) const {
    std::string base = pattern_;
    if (config_.seconds > 0) {
        std::tm local{};
#ifdef _WIN32
        const bool known = localtime_s(&local, &at) == 0;
#else
        const bool known = localtime_r(&at, &local) != nullptr;
#endif
        std::array<char, 4096> formatted{};
        const size_t size = known ? std::strftime(formatted.data(), formatted.size(), pattern_.c_str(), &local) : 0;
        if (size > 0) base.assign(formatted.data(), size);
    }
    return base;
}

std::string FileRotation::name() const {
    std::string base = timed_name(opened_);
    if (count_ == 0 && digits_ == 0) return base;
    std::string number = std::to_string(count_);
    if (number.size() < static_cast<size_t>(digits_)) number.insert(0, static_cast<size_t>(digits_) - number.size(), '0');
    return base + number;
}

}  // namespace ostrane
