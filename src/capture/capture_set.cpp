#include "capture/capture_set.h"

#include <algorithm>

namespace ostrane {

CaptureSet::CaptureSet(const std::vector<CaptureConfig>& configs) {
    for (const CaptureConfig& each : configs) {
        engines_.push_back(std::make_unique<CaptureEngine>(each));
        engines_.back()->set_index(static_cast<uint32_t>(engines_.size() - 1));
    }
    failed_.assign(engines_.size(), false);
}

// Each capture in turn is offered what the others left: fewer than asked
// for means that every one of them was read empty.
int CaptureSet::read(int max_packets) {
    int read = 0;
    for (size_t turn = 0; turn < engines_.size() && read < max_packets; ++turn) {
        const size_t place = (next_ + turn) % engines_.size();
        if (failed_[place]) continue;
        CaptureEngine& engine = *engines_[place];
        const int got = engine.read(max_packets - read);
        if (got < 0) {
            failed_[place] = true;
            // The first failure is the one to tell.
            if (last_error_.empty()) {
                last_error_ = engines_.size() > 1 ? engine.config().interface_name + ": " + engine.last_error()
                                                  : engine.last_error();
            }
            continue;
        }
        read += got;
    }
    next_ = (next_ + 1) % engines_.size();
    const bool any_left = std::find(failed_.begin(), failed_.end(), false) != failed_.end();
    return any_left ? read : -1;
}

void CaptureSet::set_callback(const PacketCallback& callback) {
    for (auto& engine : engines_) engine->set_callback(callback);
}

void CaptureSet::set_cutoff(int64_t wall_us) {
    for (auto& engine : engines_) engine->set_cutoff(wall_us);
}

bool CaptureSet::saw_late() const {
    for (size_t place = 0; place < engines_.size(); ++place) {
        if (!failed_[place] && !engines_[place]->saw_late()) return false;
    }
    return true;
}

std::vector<int> CaptureSet::selectable_fds() const {
    std::vector<int> fds(engines_.size());
    std::transform(engines_.begin(), engines_.end(), fds.begin(), [](const auto& engine) { return engine->selectable_fd(); });
    return fds;
}

int CaptureSet::required_timeout_ms() const {
    int required = -1;
    for (const auto& engine : engines_) {
        const int ms = engine->required_timeout_ms();
        if (ms >= 0 && (required < 0 || ms < required)) required = ms;
    }
    return required;
}

uint32_t CaptureSet::max_captured_length() const {
    uint32_t most = 0;
    for (const auto& engine : engines_) most = std::max(most, engine->max_captured_length());
    return most;
}

uint32_t CaptureSet::ring_slots() const {
    uint32_t fewest = 0;
    for (const auto& engine : engines_) {
        const uint32_t slots = engine->ring_slots();
        if (slots > 0 && (fewest == 0 || slots < fewest)) fewest = slots;
    }
    return fewest;
}

bool CaptureSet::reads_libpcap() const {
    return std::any_of(engines_.begin(), engines_.end(), [](const auto& engine) { return engine->ring_slots() == 0; });
}

CaptureStats CaptureSet::total(const std::vector<CaptureStats>& each) {
    CaptureStats sum;
    for (const CaptureStats& stats : each) {
        sum.packets_received += stats.packets_received;
        sum.packets_dropped += stats.packets_dropped;
    }
    return sum;
}

std::vector<CaptureStats> CaptureSet::each_stats() const {
    std::vector<CaptureStats> each(engines_.size());
    std::transform(engines_.begin(), engines_.end(), each.begin(), [](const auto& engine) { return engine->get_stats(); });
    return each;
}

}  // namespace ostrane
