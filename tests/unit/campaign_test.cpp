// The campaign's parts without a server: the journal and what a resume reads
// from it, the streamed input, and the progress lines.
#include <sqlite3.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "input_files.hpp"
#include "journal.hpp"
#include "number_stream.hpp"
#include "progress.hpp"

namespace qelsms::cli {
namespace {

namespace fs = std::filesystem;

// A directory of its own per test, removed at the end.
class TempDir {
public:
    TempDir() {
        static int counter = 0;
        path_ = fs::temp_directory_path() /
                ("qelsms_campaign_test_" + std::to_string(getpid()) + "_" + std::to_string(counter++));
        fs::create_directories(path_);
    }
    ~TempDir() { fs::remove_all(path_); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string file(const std::string& name, const std::string& content) const {
        const fs::path path = path_ / name;
        std::ofstream(path, std::ios::binary) << content;
        return path.string();
    }
    std::string path(const std::string& name) const { return (path_ / name).string(); }

private:
    fs::path path_;
};

CampaignIdentity identity() {
    return {"bulk", std::string(64, 'a'), std::string(64, 'b'), 1000, 2500, 3};
}

TEST(Journal, KeepsEachBatchStateAcrossReopening) {
    const TempDir dir;
    const std::string path = dir.path("j.db");
    {
        Journal journal(path);
        journal.begin(identity());
        EXPECT_EQ(journal.states(), std::vector<BatchState>(3, BatchState::Pending));
        journal.markLeaving(0, 0, 1000);
        journal.markOutcome(0, BatchState::Accepted, "SBX1");
        journal.markLeaving(1, 1000, 1000);
        journal.markOutcome(1, BatchState::Refused, "Insufficient credits");
        // Batch 3 left and its process died before the outcome.
        journal.markLeaving(2, 2000, 500);
    }
    Journal journal(path);
    journal.begin(identity());
    EXPECT_EQ(journal.states(),
              (std::vector<BatchState>{BatchState::Accepted, BatchState::Refused, BatchState::Leaving}));
    EXPECT_EQ(journal.extent(2), (std::pair<std::size_t, std::size_t>{2000, 500}));

    // A refused batch sent again is leaving again until its new outcome.
    journal.markLeaving(1, 1000, 1000);
    EXPECT_EQ(journal.states()[1], BatchState::Leaving);
    journal.markOutcome(1, BatchState::Accepted, "SBX2");
    EXPECT_EQ(journal.states()[1], BatchState::Accepted);
}

TEST(Journal, LeavingIsOnDiskBeforeTheCallReturns) {
    // Another connection sees the row at once: the write was committed, not
    // held in a transaction a SIGKILL would roll back.
    const TempDir dir;
    const std::string path = dir.path("j.db");
    Journal journal(path);
    journal.begin(identity());
    journal.markLeaving(1, 1000, 1000);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT number, state FROM batch", -1, &statement, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(statement), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(statement, 0), 2);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(statement, 1)), "leaving");
    sqlite3_finalize(statement);
    sqlite3_close(db);
}

struct MismatchCase {
    const char* name;
    void (*change)(CampaignIdentity&);
    const char* mentions;
};

void PrintTo(const MismatchCase& c, std::ostream* os) {
    *os << c.name;
}

class JournalMismatch : public testing::TestWithParam<MismatchCase> {};

TEST_P(JournalMismatch, RefusesToResumeNamingTheJournal) {
    const TempDir dir;
    const std::string path = dir.path("campaign.db");
    {
        Journal journal(path);
        journal.begin(identity());
        journal.markLeaving(0, 0, 1000);
    }
    CampaignIdentity other = identity();
    GetParam().change(other);
    Journal journal(path);
    try {
        journal.begin(other);
        FAIL() << "resumed with a different campaign";
    } catch (const InputError& e) {
        const std::string message = e.what();
        EXPECT_NE(message.find(path), std::string::npos) << message;
        EXPECT_NE(message.find(GetParam().mentions), std::string::npos) << message;
    }
    // Nothing was changed by the refusal.
    EXPECT_EQ(journal.states()[0], BatchState::Leaving);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, JournalMismatch,
    testing::Values(MismatchCase{"input", [](CampaignIdentity& i) { i.input[0] = 'c'; }, "input"},
                    MismatchCase{"message", [](CampaignIdentity& i) { i.message[0] = 'c'; }, "message"},
                    MismatchCase{"batchSize", [](CampaignIdentity& i) { i.batchSize = 500; }, "batch size"},
                    MismatchCase{"command", [](CampaignIdentity& i) { i.command = "send"; }, "subcommand"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Journal, RefusesFilesThatAreNotJournals) {
    const TempDir dir;
    const std::string text = dir.file("numbers.txt", "97450000001\n97450000002\n");
    EXPECT_THROW(Journal{text}, InputError);
    std::ostringstream kept;
    kept << std::ifstream(text).rdbuf();
    EXPECT_EQ(kept.str(), "97450000001\n97450000002\n");

    const std::string other = dir.path("other.db");
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(other.c_str(), &db), SQLITE_OK);
    sqlite3_exec(db, "CREATE TABLE t(x); PRAGMA user_version=7;", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    try {
        Journal journal(other);
        FAIL() << "opened a database of another schema";
    } catch (const InputError& e) {
        EXPECT_NE(std::string(e.what()).find("version 7"), std::string::npos) << e.what();
    }
}

std::vector<CampaignRecord> readAll(RecordStream& stream) {
    std::vector<CampaignRecord> records;
    CampaignRecord record;
    while (stream.next(record))
        records.push_back(record);
    return records;
}

struct StreamCase {
    const char* name;
    std::string content;
    bool csv;
    bool header;
    std::vector<std::string> expected;  // number, or number|text
    std::vector<std::size_t> lines;
};

void PrintTo(const StreamCase& c, std::ostream* os) {
    *os << c.name;
}

class RecordStreaming : public testing::TestWithParam<StreamCase> {};

TEST_P(RecordStreaming, ReadsRecordsInOrderWithTheirLines) {
    const TempDir dir;
    const StreamCase& c = GetParam();
    RecordStream stream({{}, dir.file("input", c.content), c.csv, c.header});
    for (int pass = 0; pass < 2; ++pass) {
        std::vector<std::string> got;
        std::vector<std::size_t> lines;
        for (const CampaignRecord& r : readAll(stream)) {
            got.push_back(c.csv ? r.number + "|" + r.text : r.number);
            lines.push_back(r.line);
        }
        EXPECT_EQ(got, c.expected) << "pass " << pass;
        EXPECT_EQ(lines, c.lines) << "pass " << pass;
        stream.rewind();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RecordStreaming,
    testing::Values(StreamCase{"list",
                               "# staff\n  +97450000002 \n\n97450000003\r\n97450000004",
                               false,
                               false,
                               {"+97450000002", "97450000003", "97450000004"},
                               {2, 4, 5}},
                    StreamCase{"listWithByteOrderMark",
                               "\xEF\xBB\xBF"
                               "97450000001\n",
                               false,
                               false,
                               {"97450000001"},
                               {1}},
                    StreamCase{"csv",
                               "97450000001,Hi\r\n\n 97450000002 ,\"a, \"\"b\"\"\nc\"\n97450000003,x",
                               true,
                               false,
                               {"97450000001|Hi", "97450000002|a, \"b\"\nc", "97450000003|x"},
                               {1, 3, 5}},
                    StreamCase{
                        "csvHeader", "number,text\n97450000001,Hi\n", true, true, {"97450000001|Hi"}, {2}},
                    // One number twice is two messages, each with its text.
                    StreamCase{"csvRepeated",
                               "97450000001,a\n97450000001,b\n",
                               true,
                               false,
                               {"97450000001|a", "97450000001|b"},
                               {1, 2}}),
    [](const auto& info) { return std::string(info.param.name); });

struct BadCsvCase {
    const char* name;
    std::string content;
    const char* message;
};

void PrintTo(const BadCsvCase& c, std::ostream* os) {
    *os << c.name;
}

class BadCsv : public testing::TestWithParam<BadCsvCase> {};

TEST_P(BadCsv, NamesTheFileAndLine) {
    const TempDir dir;
    const std::string path = dir.file("in.csv", GetParam().content);
    RecordStream stream({{}, path, true, false});
    try {
        readAll(stream);
        FAIL() << "accepted malformed CSV";
    } catch (const InputError& e) {
        EXPECT_EQ(std::string(e.what()), path + GetParam().message);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, BadCsv,
                         testing::Values(BadCsvCase{"threeFields", "97450000001,a\n97450000002,b,c\n",
                                                    ":2: expected 2 fields (number,text), found 3"},
                                         BadCsvCase{"emptyNumber", "97450000001,a\n ,b\n",
                                                    ":2: the number is empty"},
                                         BadCsvCase{"unclosedQuote", "97450000001,a\n97450000002,\"b\n\n",
                                                    ":2: quoted field is never closed"},
                                         BadCsvCase{"textAfterQuote", "97450000001,\"a\"b\n",
                                                    ":1: unexpected text after a closing quote"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RecordStreamFingerprint, ChangesWithAnyByteOrArgument) {
    const TempDir dir;
    const std::string a = dir.file("a", "97450000001\n97450000002\n");
    const std::string b = dir.file("b", "97450000001\n97450000003\n");
    const std::string same = dir.file("c", "97450000001\n97450000002\n");
    const auto fingerprint = [](CampaignSource source) {
        return RecordStream(std::move(source)).fingerprint();
    };
    const std::string base = fingerprint({{}, a, false, false});
    EXPECT_EQ(base.size(), 64u);
    EXPECT_EQ(base, fingerprint({{}, same, false, false}));
    EXPECT_NE(base, fingerprint({{}, b, false, false}));
    EXPECT_NE(base, fingerprint({{"97450000009"}, a, false, false}));
    EXPECT_NE(base, fingerprint({{}, a, true, false}));
    // Arguments are delimited: "1","23" is not "12","3".
    EXPECT_NE(fingerprint({{"1", "23"}, "", false, false}), fingerprint({{"12", "3"}, "", false, false}));
}

TEST(RecordStreamArguments, ComeBeforeTheFile) {
    const TempDir dir;
    RecordStream stream({{"97450000009"}, dir.file("a", "97450000001\n"), false, false});
    const auto records = readAll(stream);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].number, "97450000009");
    EXPECT_EQ(records[0].line, 0u);
    EXPECT_EQ(records[1].number, "97450000001");
}

TEST(ProgressOffTerminal, PrintsPlainLinesAtMostEveryTenth) {
    std::ostringstream out;
    Progress progress(out, false, 1000, 1'000'000);
    const auto start = Progress::Clock::now();
    for (std::size_t batch = 1; batch <= 1000; ++batch)
        progress.update(batch, batch * 1000, batch, start + std::chrono::milliseconds(batch * 10));
    progress.finish();
    const std::string text = out.str();
    EXPECT_EQ(text.find('\r'), std::string::npos);
    EXPECT_EQ(text.find('\x1b'), std::string::npos);
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    ASSERT_EQ(lines.size(), 10u) << text;
    EXPECT_TRUE(lines.front().starts_with("qelsms: 100/1000 batches, 100000/1000000 numbers, "))
        << lines.front();
    EXPECT_NE(lines.front().find("requests/s, ETA "), std::string::npos) << lines.front();
    EXPECT_TRUE(lines.back().starts_with("qelsms: 1000/1000 batches, 1000000/1000000 numbers, "))
        << lines.back();
    EXPECT_EQ(lines.back().find("ETA"), std::string::npos) << lines.back();
}

TEST(ProgressOffTerminal, AResumeThatStartsPastHalfwayPrintsFewerLines) {
    std::ostringstream out;
    Progress progress(out, false, 10, 100);
    for (std::size_t batch = 7; batch <= 10; ++batch)
        progress.update(batch, batch * 10, batch - 6);
    const std::string text = out.str();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 4);
}

TEST(ProgressOnTerminal, RewritesOneLineAndEndsIt) {
    std::ostringstream out;
    Progress progress(out, true, 3, 30);
    const auto start = Progress::Clock::now();
    for (std::size_t batch = 1; batch <= 3; ++batch)
        progress.update(batch, batch * 10, batch, start + std::chrono::seconds(batch));
    progress.finish();
    const std::string text = out.str();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    EXPECT_TRUE(text.starts_with("\r\x1b[Kqelsms: 1/3 batches, 10/30 numbers, ")) << text;
    EXPECT_NE(text.find("\r\x1b[Kqelsms: 2/3 batches, 20/30 numbers, "), std::string::npos) << text;
    EXPECT_TRUE(text.ends_with("\r\x1b[Kqelsms: 3/3 batches, 30/30 numbers, 1.0 requests/s\n")) << text;
}

}  // namespace
}  // namespace qelsms::cli
