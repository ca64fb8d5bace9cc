#include "journal.hpp"

#include <sqlite3.h>

#include <chrono>
#include <memory>
#include <utility>

#include "input_files.hpp"

namespace qelsms::cli {

namespace {

using Statement = std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)>;

// A batch's state is a word in the file, so the journal reads well in the
// sqlite3 shell.
constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS campaign(key TEXT PRIMARY KEY, value TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS batch("
    " number INTEGER PRIMARY KEY,"
    " first_record INTEGER NOT NULL,"
    " records INTEGER NOT NULL,"
    " state TEXT NOT NULL CHECK (state IN ('leaving', 'accepted', 'refused', 'uncertain')),"
    " attempts INTEGER NOT NULL DEFAULT 1,"
    " updated_at TEXT NOT NULL DEFAULT (strftime('%Y-%m-%dT%H:%M:%fZ', 'now')),"
    " detail TEXT);";

BatchState stateNamed(const std::string& name) {
    if (name == "leaving") return BatchState::Leaving;
    if (name == "accepted") return BatchState::Accepted;
    if (name == "refused") return BatchState::Refused;
    if (name == "uncertain") return BatchState::Uncertain;
    return BatchState::Pending;
}

}  // namespace

const char* toString(BatchState state) {
    switch (state) {
        case BatchState::Pending:
            return "pending";
        case BatchState::Leaving:
            return "leaving";
        case BatchState::Accepted:
            return "accepted";
        case BatchState::Refused:
            return "refused";
        case BatchState::Uncertain:
            return "uncertain";
    }
    return "pending";
}

Journal::Journal(std::string path) : path_(std::move(path)) {
    if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        const std::string reason = db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        throw InputError("cannot open the journal " + path_ + ": " + reason);
    }
    sqlite3_busy_timeout(db_, 5000);
    try {
        // A full sync at each commit: a "leaving" must outlive a power cut as
        // well as a killed process, since losing one means a double.
        execute("PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;");
        int version = 0;
        {
            sqlite3_stmt* raw = nullptr;
            sqlite3_prepare_v2(db_, "PRAGMA user_version", -1, &raw, nullptr);
            Statement statement(raw, &sqlite3_finalize);
            if (raw != nullptr && sqlite3_step(raw) == SQLITE_ROW) version = sqlite3_column_int(raw, 0);
        }
        if (version == 0) {
            sqlite3_stmt* raw = nullptr;
            sqlite3_prepare_v2(db_, "SELECT count(*) FROM sqlite_schema", -1, &raw, nullptr);
            Statement statement(raw, &sqlite3_finalize);
            if (raw == nullptr || sqlite3_step(raw) != SQLITE_ROW || sqlite3_column_int(raw, 0) != 0) {
                throw InputError(path_ + " is not a qelsms journal");
            }
            execute(("BEGIN IMMEDIATE;" + std::string(kSchema) +
                     "PRAGMA user_version=" + std::to_string(kSchemaVersion) + ";COMMIT;")
                        .c_str());
        } else if (version != kSchemaVersion) {
            throw InputError("the journal " + path_ + " has schema version " + std::to_string(version) +
                             "; this qelsms reads version " + std::to_string(kSchemaVersion));
        }
    } catch (...) {
        sqlite3_close(db_);
        db_ = nullptr;
        throw;
    }
}

Journal::~Journal() {
    sqlite3_close(db_);
}

void Journal::execute(const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string reason = error != nullptr ? error : sqlite3_errmsg(db_);
        sqlite3_free(error);
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        // "file is not a database" and the like come here too.
        throw InputError("the journal " + path_ + ": " + reason);
    }
}

std::optional<std::string> Journal::meta(const std::string& key) const {
    sqlite3_stmt* raw = nullptr;
    sqlite3_prepare_v2(db_, "SELECT value FROM campaign WHERE key = ?", -1, &raw, nullptr);
    Statement statement(raw, &sqlite3_finalize);
    if (raw == nullptr) return std::nullopt;
    sqlite3_bind_text(raw, 1, key.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(raw) != SQLITE_ROW) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(sqlite3_column_text(raw, 0)));
}

void Journal::begin(const CampaignIdentity& identity) {
    const std::pair<const char*, std::string> entries[] = {
        {"command", identity.command},
        {"input", identity.input},
        {"message", identity.message},
        {"batch_size", std::to_string(identity.batchSize)},
        {"numbers", std::to_string(identity.numbers)},
        {"batches", std::to_string(identity.batches)},
    };
    if (meta("command")) {
        const auto differs = [&](const char* key, const std::string& value, const std::string& what) {
            const std::optional<std::string> recorded = meta(key);
            if (!recorded || *recorded != value) {
                throw InputError("the journal " + path_ + " belongs to a campaign with " + what +
                                 "; nothing was sent (use another journal for a new campaign)");
            }
        };
        differs("command", identity.command, "another subcommand (" + meta("command").value_or("?") + ")");
        differs("input", identity.input, "another input file or other numbers");
        differs("message", identity.message, "another message, sender or submission options");
        differs("batch_size", entries[3].second,
                "another batch size (" + meta("batch_size").value_or("?") + ")");
        return;
    }
    execute("BEGIN IMMEDIATE");
    for (const auto& [key, value] : entries) {
        sqlite3_stmt* raw = nullptr;
        sqlite3_prepare_v2(db_, "INSERT INTO campaign(key, value) VALUES (?, ?)", -1, &raw, nullptr);
        Statement statement(raw, &sqlite3_finalize);
        sqlite3_bind_text(raw, 1, key, -1, SQLITE_STATIC);
        sqlite3_bind_text(raw, 2, value.c_str(), -1, SQLITE_TRANSIENT);
        if (raw == nullptr || sqlite3_step(raw) != SQLITE_DONE) {
            const std::string reason = sqlite3_errmsg(db_);
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
            throw InputError("cannot write the journal " + path_ + ": " + reason);
        }
    }
    execute("COMMIT");
}

std::vector<BatchState> Journal::states() const {
    std::vector<BatchState> out;
    const std::optional<std::string> batches = meta("batches");
    if (batches) out.resize(std::stoull(*batches), BatchState::Pending);
    sqlite3_stmt* raw = nullptr;
    sqlite3_prepare_v2(db_, "SELECT number, state FROM batch", -1, &raw, nullptr);
    Statement statement(raw, &sqlite3_finalize);
    while (raw != nullptr && sqlite3_step(raw) == SQLITE_ROW) {
        // Batches are numbered from 1 in the file, as the summary shows them.
        const auto number = sqlite3_column_int64(raw, 0);
        if (number < 1) continue;
        const auto index = static_cast<std::size_t>(number - 1);
        if (index >= out.size()) out.resize(index + 1, BatchState::Pending);
        out[index] = stateNamed(reinterpret_cast<const char*>(sqlite3_column_text(raw, 1)));
    }
    return out;
}

void Journal::markLeaving(std::size_t index, std::size_t first, std::size_t count) {
    sqlite3_stmt* raw = nullptr;
    sqlite3_prepare_v2(db_,
                       "INSERT INTO batch(number, first_record, records, state) VALUES (?, ?, ?, 'leaving') "
                       "ON CONFLICT(number) DO UPDATE SET state = 'leaving', attempts = attempts + 1, "
                       "detail = NULL, updated_at = strftime('%Y-%m-%dT%H:%M:%fZ', 'now')",
                       -1, &raw, nullptr);
    Statement statement(raw, &sqlite3_finalize);
    sqlite3_bind_int64(raw, 1, static_cast<sqlite3_int64>(index + 1));
    sqlite3_bind_int64(raw, 2, static_cast<sqlite3_int64>(first));
    sqlite3_bind_int64(raw, 3, static_cast<sqlite3_int64>(count));
    // Outside a transaction each statement is one, committed when it ends.
    if (raw == nullptr || sqlite3_step(raw) != SQLITE_DONE) {
        throw InputError("cannot write the journal " + path_ + ": " + sqlite3_errmsg(db_));
    }
}

void Journal::markOutcome(std::size_t index, BatchState state, const std::string& detail) {
    // An outcome is written to the file but not synced: a power cut can only
    // lose it back to "leaving", which reads as uncertain and is never resent
    // unasked, and the next batch's synced "leaving" carries it to the disk.
    // That halves the syncs a batch costs.
    execute("PRAGMA synchronous=NORMAL");
    struct FullSyncAgain {
        Journal* journal;
        ~FullSyncAgain() { sqlite3_exec(journal->db_, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr); }
    } fullSyncAgain{this};
    sqlite3_stmt* raw = nullptr;
    sqlite3_prepare_v2(db_,
                       "UPDATE batch SET state = ?, detail = ?, "
                       "updated_at = strftime('%Y-%m-%dT%H:%M:%fZ', 'now') WHERE number = ?",
                       -1, &raw, nullptr);
    Statement statement(raw, &sqlite3_finalize);
    sqlite3_bind_text(raw, 1, toString(state), -1, SQLITE_STATIC);
    sqlite3_bind_text(raw, 2, detail.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(raw, 3, static_cast<sqlite3_int64>(index + 1));
    if (raw == nullptr || sqlite3_step(raw) != SQLITE_DONE || sqlite3_changes(db_) != 1) {
        throw InputError("cannot write the journal " + path_ + ": " + sqlite3_errmsg(db_));
    }
}

std::optional<std::pair<std::size_t, std::size_t>> Journal::extent(std::size_t index) const {
    sqlite3_stmt* raw = nullptr;
    sqlite3_prepare_v2(db_, "SELECT first_record, records FROM batch WHERE number = ?", -1, &raw, nullptr);
    Statement statement(raw, &sqlite3_finalize);
    if (raw == nullptr) return std::nullopt;
    sqlite3_bind_int64(raw, 1, static_cast<sqlite3_int64>(index + 1));
    if (sqlite3_step(raw) != SQLITE_ROW) return std::nullopt;
    return std::pair{static_cast<std::size_t>(sqlite3_column_int64(raw, 0)),
                     static_cast<std::size_t>(sqlite3_column_int64(raw, 1))};
}

}  // namespace qelsms::cli
