#include "progress.hpp"

#include <cstdio>

namespace qelsms::cli {

namespace {

std::string duration(double seconds) {
    const auto total = static_cast<long long>(seconds + 0.5);
    char text[32];
    if (total >= 3600) {
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", total / 3600, total / 60 % 60, total % 60);
    } else {
        std::snprintf(text, sizeof text, "%lld:%02lld", total / 60, total % 60);
    }
    return text;
}

}  // namespace

Progress::Progress(std::ostream& out, bool terminal, std::size_t batches, std::size_t numbers)
    : out_(out), terminal_(terminal), totalBatches_(batches), totalNumbers_(numbers), start_(Clock::now()) {}

std::string Progress::line(std::size_t batches, std::size_t numbers, std::size_t requests,
                           Clock::time_point now) const {
    const double elapsed = std::chrono::duration<double>(now - start_).count();
    const double rate = elapsed > 0 ? static_cast<double>(requests) / elapsed : 0;
    char text[200];
    std::snprintf(text, sizeof text, "qelsms: %zu/%zu batches, %zu/%zu numbers, %.1f requests/s", batches,
                  totalBatches_, numbers, totalNumbers_, rate);
    std::string out = text;
    // The time left is reckoned from this run's requests, not from batches
    // an earlier run finished and this one skipped.
    if (requests > 0 && batches < totalBatches_ && elapsed > 0) {
        const double perBatch = elapsed / static_cast<double>(requests);
        out += ", ETA " + duration(perBatch * static_cast<double>(totalBatches_ - batches));
    }
    return out;
}

void Progress::update(std::size_t batches, std::size_t numbers, std::size_t requests, Clock::time_point now) {
    if (terminal_) {
        // A few redraws a second are enough to read; more would cost more
        // than the requests on a fast link.
        if (drawn_ && batches < totalBatches_ && now - lastDrawn_ < std::chrono::milliseconds(100)) return;
        lastDrawn_ = now;
        drawn_ = true;
        out_ << "\r\x1b[K" << line(batches, numbers, requests, now) << std::flush;
        return;
    }
    if (totalBatches_ == 0) return;
    const auto tenths = static_cast<int>(batches * 10 / totalBatches_);
    if (tenths <= tenthsShown_) return;
    tenthsShown_ = tenths;
    out_ << line(batches, numbers, requests, now) << '\n' << std::flush;
}

void Progress::finish() {
    if (terminal_ && drawn_) {
        out_ << '\n' << std::flush;
        drawn_ = false;
    }
}

}  // namespace qelsms::cli
