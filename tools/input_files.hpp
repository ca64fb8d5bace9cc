// Reading the files the command-line tool takes: number lists, CSV message
// lists and password files. Every reader throws InputError with a message that
// names the file and line, so the tool can report it as a usage error.
#pragma once

#include <chrono>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <qelsms/qelsms.hpp>

namespace qelsms::cli {

/// A file the user named could not be read or does not have the expected form.
class InputError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// The whole content of `path`, or of standard input when `path` is "-",
/// without a leading UTF-8 byte order mark: editors on some systems add one,
/// and it is never part of a number, a text or a password.
std::string readInput(const std::string& path);

/// `text` fit for an error message on a terminal: control characters and
/// invisible ones (byte order mark, zero-width and direction marks, ...) are
/// shown as \xNN below U+0080 and as \u{XXXX} above, bytes that are not
/// UTF-8 as \xNN; everything else is kept as it is.
std::string printable(std::string_view text);

/// Throws InputError unless `text` is well-formed UTF-8, naming `source`, the
/// line, the column (in bytes) and the first byte that is not.
void requireUtf8(std::string_view text, std::string_view source);

/// A space or a tab: the blanks around a field or a number.
inline bool isBlank(int c) noexcept {
    return c == ' ' || c == '\t';
}

/// `text` without the blanks and carriage returns around it.
std::string_view trimBlanks(std::string_view text) noexcept;

/// "SOURCE:LINE", where an input error points.
std::string sourceLine(std::string_view source, std::size_t line);

/// One CSV record and the line it starts on (1-based).
struct CsvRecord {
    std::size_t line = 0;
    std::vector<std::string> fields;
};

/// Splits CSV text into records. Fields are separated by commas and records by
/// LF or CRLF. A field in double quotes may hold commas, line breaks and quotes
/// written twice (""); blanks around the quotes are ignored. Blank lines are
/// skipped, as is a leading UTF-8 byte order mark. `source` names the input in
/// error messages. Throws InputError for an unterminated quoted field or text
/// between a closing quote and the next separator.
std::vector<CsvRecord> parseCsv(std::string_view text, std::string_view source);

/// Turns CSV records of `number,text` into a message map. Throws InputError
/// for a record without exactly two fields, an empty number, a number listed
/// twice, or no record at all. With `skipHeader` the first record is dropped;
/// without it, a first record whose number holds no digit ("number,text") is
/// taken as a header and dropped too, with a note on standard error.
MessageMap messagesFromCsv(const std::vector<CsvRecord>& records, std::string_view source, bool skipHeader);

/// The numbers in a list with one number per line; blanks around each are
/// dropped, and blank lines and lines starting with '#' are skipped.
std::vector<std::string> parseNumberList(std::string_view text);

/// The password stored in `path`: its first line without the line break.
/// Throws InputError when the file can't be read or the password is empty.
/// Warns on standard error when users other than the owner may read or write
/// the file.
std::string readPasswordFile(const std::string& path);

/// Checks a --scheduled-date before it is sent: a time "YYYY-MM-DD HH:MM:SS"
/// in UTC before `now` is refused unless `allowPast`, since the provider would
/// send at once rather than when the user meant. Throws InputError saying so,
/// with the expected form. Anything else passes: empty means now, and a date
/// in another form is left to the provider, whose refusal names it.
void checkScheduledDate(std::string_view date, bool allowPast, std::chrono::system_clock::time_point now);

}  // namespace qelsms::cli
