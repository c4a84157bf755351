#pragma once

#include "app/messages.h"

#include <string>
#include <utility>
#include <vector>

namespace ostrane {

// tcpdump's -z: `command FILE` for each file a rotation closes, through exec
// and never a shell, so that a file name is never read as shell syntax. It
// runs as this process runs by then: its dropped user, with no capability.
// The capture never waits for it; each turn of the loop collects the ones
// that ended and says which failed, which is news, not an error.
class PostRotate {
public:
    PostRotate(std::string command, Messages& messages) : command_(std::move(command)), messages_(messages) {}
    PostRotate(const PostRotate&) = delete;
    PostRotate& operator=(const PostRotate&) = delete;

    void run(const std::string& file);
    void reap();

private:
    std::string command_;
    Messages& messages_;
    std::vector<std::pair<long, std::string>> running_;  // process id, file
};

}  // namespace ostrane
