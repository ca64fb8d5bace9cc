// The per-number results of a submission, kept as data and written as JSON a
// slice at a time, so a large answer goes out while it is being written.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace qelsms::sandbox {

struct IndividualResults {
    struct Entry {
        std::string number;
        std::size_t parts = 1;
        // 0 for a duplicate; otherwise the entry's place among the numbers
        // sent, which its message id ends in.
        std::size_t sequence = 0;
    };

    std::vector<Entry> entries;
    std::string messageId;
    // Scheduled for later rather than sent now.
    bool held = false;

    // Appends the JSON text of up to `count` results from index `from` on to
    // `out`, with a comma before each but the very first; returns the index
    // after the last one written.
    std::size_t write(std::size_t from, std::size_t count, std::string& out) const;
};

}  // namespace qelsms::sandbox
