// Sends a different text to each number, read from a CSV file.
//
//   QELSMS_PASSWORD=... custom_csv USER SENDER FILE [--sandbox URL --cacert FILE]
//
// FILE holds one NUMBER,TEXT record a line, as spreadsheets export it: a
// field in double quotes may hold commas and line breaks, and "" stands for
// one quote. A first record "number,text" (any case) is a header and skipped;
// blank lines are skipped. examples/messages.csv is a sample.
#include <cctype>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "example_support.hpp"

namespace {

struct Record {
    std::size_t line = 0;  // where the record starts, from 1
    std::vector<std::string> fields;
};

// Splits CSV text into records; nullopt (after printing why) when a quoted
// field is not closed or a closing quote is followed by something other than
// a comma or the end of the line.
std::optional<std::vector<Record>> parseCsv(const std::string& name, std::string_view text) {
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);  // a byte order mark
    std::vector<Record> records;
    Record record{1, {""}};
    std::size_t line = 1;
    bool quoted = false;      // inside a quoted field
    bool afterQuote = false;  // just after a quoted field's closing quote
    const auto endRecord = [&] {
        const bool blank = record.fields.size() == 1 && record.fields[0].empty() && !afterQuote;
        if (!blank) records.push_back(std::move(record));
        record = Record{line, {""}};
        afterQuote = false;
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
                record.fields.back() += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
                afterQuote = true;
            } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
                // A line break inside a field is kept as a bare line feed.
            } else {
                if (c == '\n') ++line;
                record.fields.back() += c;
            }
        } else if (c == ',') {
            record.fields.emplace_back();
            afterQuote = false;
        } else if (c == '\n' || (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
            if (c == '\r') ++i;
            ++line;
            endRecord();
        } else if (afterQuote) {
            std::cerr << name << ':' << line << ": only a comma or a line break may follow a closing quote\n";
            return std::nullopt;
        } else if (c == '"' && record.fields.back().empty()) {
            quoted = true;
        } else {
            record.fields.back() += c;
        }
    }
    if (quoted) {
        std::cerr << name << ':' << record.line << ": a quoted field is not closed\n";
        return std::nullopt;
    }
    endRecord();
    return records;
}

std::string lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The number-to-text map of a CSV file; nullopt (after printing why) when a
// record is not NUMBER,TEXT, a number repeats, or there is no record at all
// (CustomSMS refuses an empty map without calling back).
std::optional<qelsms::MessageMap> readMessages(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        std::cerr << path << ": cannot open\n";
        return std::nullopt;
    }
    std::ostringstream content;
    content << file.rdbuf();
    auto records = parseCsv(path, content.str());
    if (!records) return std::nullopt;
    if (!records->empty() && records->front().fields.size() == 2 &&
        lower(records->front().fields[0]) == "number" && lower(records->front().fields[1]) == "text") {
        records->erase(records->begin());
    }
    qelsms::MessageMap messages;
    std::map<std::string, std::size_t> firstLine;
    for (const Record& record : *records) {
        if (record.fields.size() != 2 || record.fields[0].empty()) {
            std::cerr << path << ':' << record.line << ": expected NUMBER,TEXT\n";
            return std::nullopt;
        }
        const auto [seen, added] = firstLine.emplace(record.fields[0], record.line);
        if (!added) {
            std::cerr << path << ':' << record.line << ": " << record.fields[0]
                      << " already has a text (line " << seen->second << ")\n";
            return std::nullopt;
        }
        messages.emplace(record.fields[0], record.fields[1]);
    }
    if (messages.empty()) {
        std::cerr << path << ": no messages\n";
        return std::nullopt;
    }
    return messages;
}

}  // namespace

int main(int argc, char** argv) {
    const auto args = example::takeSandboxOptions(argc, argv);
    if (args.size() != 3) {
        std::cerr << "usage: custom_csv USER SENDER FILE [--sandbox URL --cacert FILE]\n";
        return 2;
    }
    auto messages = readMessages(args[2]);
    if (!messages) return 2;
    const auto password = example::passwordFromEnvironment();
    if (!password) return 2;
    qelsms::SMSManager::user = args[0];
    qelsms::SMSManager::password = *password;

    std::cout << "sending " << messages->size() << " messages from " << args[2] << '\n';
    const qelsms::CustomSMSRequest request{
        .MessageDetails = std::move(*messages),
        .SenderName = args[1],
        .ReferenceName = "custom-csv-example",
        .ReturnIndividualResponse = true,
    };
    return example::report(qelsms::SMSManager::CustomSMS(request).get());
}
