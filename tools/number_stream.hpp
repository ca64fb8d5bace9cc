// Reading a campaign's input as a stream: numbers one a line, or CSV records
// of number,text, one record at a time, so memory does not grow with the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

namespace qelsms::cli {

/// One destination of a campaign: its number, its text (CSV input only) and
/// the line of the input it starts on (0 for a number given as an argument).
struct CampaignRecord {
    std::string number;
    std::string text;
    std::size_t line = 0;
};

/// SHA-256 of `data` as 64 lowercase hex digits.
std::string sha256Hex(std::string_view data);

/// Where a campaign's records come from.
struct CampaignSource {
    /// Numbers given as arguments; they come before the file's.
    std::vector<std::string> numbers;
    /// A file, or "-" for standard input; empty when there is none.
    std::string path;
    /// The file holds CSV records of number,text rather than one number a line.
    bool csv = false;
    /// The CSV file's first record is a header.
    bool header = false;
};

/// Reads the records of a CampaignSource in order. Standard input is copied
/// to an unnamed temporary file first, so that the input can be read again
/// (a dry run's count, then the sending, then a listing). Number lists follow
/// parseNumberList's rules; CSV follows parseCsv's and messagesFromCsv's,
/// except that a number may come back in a later record (it is then sent
/// twice, each time with its own text). Throws InputError naming the file and
/// line for unreadable or malformed input.
class RecordStream {
public:
    explicit RecordStream(CampaignSource source);
    ~RecordStream();
    RecordStream(const RecordStream&) = delete;
    RecordStream& operator=(const RecordStream&) = delete;

    /// The next record; false at the end of the input.
    bool next(CampaignRecord& record);
    /// Starts again from the first record.
    void rewind();
    /// The name of the input for messages: the path, or "standard input".
    const std::string& name() const { return name_; }
    /// A SHA-256 of the whole input (arguments, file bytes, kind), as 64
    /// lowercase hex digits; reads the file once more from its start.
    std::string fingerprint();

private:
    bool nextCsv(CampaignRecord& record);
    bool nextListed(CampaignRecord& record);
    int get();
    int peek();

    CampaignSource source_;
    std::string name_;
    std::string spoolPath_;
    std::ifstream in_;
    std::size_t argument_ = 0;
    std::size_t line_ = 1;
    bool headerSkipped_ = false;
    std::string buffer_;
};

}  // namespace qelsms::cli
