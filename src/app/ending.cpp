#include "app/ending.h"

namespace ostrane {

namespace {

const char kInsideRecord[] = ", ending the stream inside a record";

}  // namespace

Verdict conclude(const Ending& ending) {
    Verdict verdict;
    auto error = [&verdict](std::string line) {
        verdict.lines.push_back("[ERROR] " + std::move(line));
        verdict.status = 1;
    };
    switch (ending.cause) {
        case Ending::Cause::CaptureFailed:
            error(ending.error);
            break;
        case Ending::Cause::OutputFailed:
            error("Dispatch failed: " + ending.error);
            break;
        case Ending::Cause::ReaderGone:
            // `| head`: the reader has all it wanted, and the rest is nobody's loss.
            verdict.lines.emplace_back("[INFO] The reader closed the output");
            break;
        case Ending::Cause::FileLimit:
            verdict.lines.push_back("[INFO] Maximum file limit reached: " + std::to_string(ending.file_limit));
            break;
        case Ending::Cause::Stopped:
        case Ending::Cause::CountReached:
            break;
    }
    const bool reader_gone = ending.cause == Ending::Cause::ReaderGone;
    if (!ending.gave_up.empty()) error(ending.gave_up + (ending.inside_record ? kInsideRecord : ""));
    if (!ending.close_error.empty()) error(ending.close_error);
    const bool inside_untold = ending.inside_record && ending.gave_up.empty();
    if ((ending.unwritten > 0 || inside_untold) && !reader_gone) {
        const bool one = ending.unwritten == 1;
        verdict.lines.push_back("[WARN] " + std::to_string(ending.unwritten) + (one ? " packet" : " packets") +
                                " captured" + (ending.stop_requests > 0 ? " before the stop" : "") +
                                (one ? " was" : " were") + " not written" + (inside_untold ? kInsideRecord : ""));
        if (ending.stop_requests < 2) verdict.status = 1;
    }
    return verdict;
}

}  // namespace ostrane
