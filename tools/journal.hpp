// The campaign journal: an SQLite database recording, batch by batch, what
// left for the provider and how it ended, so that a run killed at any moment
// can be resumed without losing or doubling a message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct sqlite3;

namespace qelsms::cli {

/// Where a batch stands.
enum class BatchState : std::uint8_t {
    /// Not sent yet (or, for the journal, never recorded).
    Pending,
    /// Recorded before its request was handed to the library, with no outcome
    /// since: the process ended while it was on its way. Counts as uncertain.
    Leaving,
    /// The provider accepted it.
    Accepted,
    /// The provider certainly did not act on it: safe to send again.
    Refused,
    /// The provider may have acted on it.
    Uncertain,
};

/// The state's name as the journal stores it and the summary shows it.
const char* toString(BatchState state);

/// What a campaign was started with; a resume must match it exactly.
struct CampaignIdentity {
    /// send, bulk or custom.
    std::string command;
    /// Fingerprint of the input (numbers given as arguments and the file).
    std::string input;
    /// Fingerprint of the text, the sender and the submission options.
    std::string message;
    std::size_t batchSize = 0;
    std::size_t numbers = 0;
    std::size_t batches = 0;
};

/// A journal file. Every change is one committed transaction, so the file is
/// consistent whenever the process stops, SIGKILL included.
class Journal {
public:
    /// The schema version this build writes and reads.
    static constexpr int kSchemaVersion = 1;

    /// Opens `path`, creating it when it does not exist. Throws InputError
    /// when it can't be opened or is not a journal of this schema.
    explicit Journal(std::string path);
    ~Journal();
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    const std::string& path() const { return path_; }

    /// Records `identity` in a new journal, or checks it against the one the
    /// journal was started with: throws InputError naming the journal and
    /// what differs when they do not match.
    void begin(const CampaignIdentity& identity);

    /// The state of every batch, indexed by batch number (from 0); batches the
    /// journal never saw are Pending.
    std::vector<BatchState> states() const;

    /// Records that batch `index` (records `first` to `first + count - 1`,
    /// counted from 0) is about to leave. Must be committed before the request
    /// is handed over.
    void markLeaving(std::size_t index, std::size_t first, std::size_t count);
    /// Records how batch `index` ended, with the provider's message or answer.
    void markOutcome(std::size_t index, BatchState state, const std::string& detail);

    /// The first record and the count of batch `index`, when recorded.
    std::optional<std::pair<std::size_t, std::size_t>> extent(std::size_t index) const;

private:
    void execute(const char* sql);
    std::optional<std::string> meta(const std::string& key) const;

    std::string path_;
    sqlite3* db_ = nullptr;
};

}  // namespace qelsms::cli
