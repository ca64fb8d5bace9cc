// Progress of a campaign on standard error: one line rewritten in place on a
// terminal, or plain lines at most every tenth of the way for a log.
#pragma once

#include <chrono>
#include <cstddef>
#include <ostream>
#include <string>

namespace qelsms::cli {

/// Shows how far a campaign has come.
class Progress {
public:
    using Clock = std::chrono::steady_clock;

    /// `batches` and `numbers` are the totals; `terminal` chooses the
    /// in-place line over plain lines. The rate is reckoned from now on.
    Progress(std::ostream& out, bool terminal, std::size_t batches, std::size_t numbers);

    /// Reports `batches` batches with `numbers` numbers done so far (skipped
    /// ones included), `requests` of them sent by this run.
    void update(std::size_t batches, std::size_t numbers, std::size_t requests,
                Clock::time_point now = Clock::now());
    /// Ends the in-place line so that what follows starts on a line of its own.
    void finish();

    /// The text of one report, without line end: batches done / total,
    /// numbers, requests per second and the time left (at this run's pace,
    /// when the run has sent a request and is not done).
    std::string line(std::size_t batches, std::size_t numbers, std::size_t requests,
                     Clock::time_point now) const;

private:
    std::ostream& out_;
    bool terminal_;
    std::size_t totalBatches_;
    std::size_t totalNumbers_;
    Clock::time_point start_;
    Clock::time_point lastDrawn_{};
    bool drawn_ = false;
    int tenthsShown_ = 0;
};

}  // namespace qelsms::cli
