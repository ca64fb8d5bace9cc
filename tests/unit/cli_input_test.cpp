// The qelsms tool's readers and output, without a process or a server.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "commands.hpp"
#include "input_files.hpp"

namespace qelsms::cli {
namespace {

using Fields = std::vector<std::vector<std::string>>;

Fields fieldsOf(const std::vector<CsvRecord>& records) {
    Fields fields;
    for (const auto& record : records)
        fields.push_back(record.fields);
    return fields;
}

struct CsvCase {
    const char* name;
    std::string text;
    Fields fields;
    std::vector<std::size_t> lines;
};

void PrintTo(const CsvCase& c, std::ostream* os) {
    *os << c.name;
}

class CsvParsing : public testing::TestWithParam<CsvCase> {};

TEST_P(CsvParsing, SplitsRecordsAndFields) {
    const auto records = parseCsv(GetParam().text, "f.csv");
    EXPECT_EQ(fieldsOf(records), GetParam().fields);
    std::vector<std::size_t> lines;
    for (const auto& record : records)
        lines.push_back(record.line);
    EXPECT_EQ(lines, GetParam().lines);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CsvParsing,
    testing::Values(CsvCase{"Plain", "1,a\n2,b\n", {{"1", "a"}, {"2", "b"}}, {1, 2}},
                    CsvCase{"NoFinalLineBreak", "1,a", {{"1", "a"}}, {1}},
                    CsvCase{"Crlf", "1,a\r\n2,b\r\n", {{"1", "a"}, {"2", "b"}}, {1, 2}},
                    CsvCase{"BlankLinesSkipped", "\n1,a\n  \n\r\n2,b\n\n", {{"1", "a"}, {"2", "b"}}, {2, 5}},
                    CsvCase{"QuotedComma", "1,\"a, b\"\n", {{"1", "a, b"}}, {1}},
                    CsvCase{"DoubledQuote", "1,\"say \"\"hi\"\"\"\n", {{"1", "say \"hi\""}}, {1}},
                    CsvCase{"QuotedLineBreakKeepsCountingLines",
                            "1,\"a\nb\"\n2,c\n",
                            {{"1", "a\nb"}, {"2", "c"}},
                            {1, 3}},
                    CsvCase{"BlanksAroundQuotes", "1 ,  \"a\"  \n", {{"1 ", "a"}}, {1}},
                    CsvCase{"UnquotedKeepsBlanksAndQuotes", "1, it's \"x\"\n", {{"1", " it's \"x\""}}, {1}},
                    CsvCase{"EmptyFields", "1,\n,\n", {{"1", ""}, {"", ""}}, {1, 2}},
                    CsvCase{"EmptyQuoted", "1,\"\"\n", {{"1", ""}}, {1}},
                    CsvCase{"ByteOrderMark",
                            "\xEF\xBB\xBF"
                            "1,a\n",
                            {{"1", "a"}},
                            {1}},
                    CsvCase{"LoneCarriageReturnIsText", "1,a\rb\n", {{"1", "a\rb"}}, {1}},
                    CsvCase{"ThreeFields", "1,a,b\n", {{"1", "a", "b"}}, {1}}),
    [](const auto& info) { return std::string(info.param.name); });

struct CsvErrorCase {
    const char* name;
    std::string text;
    const char* message;
};

void PrintTo(const CsvErrorCase& c, std::ostream* os) {
    *os << c.name;
}

class CsvErrors : public testing::TestWithParam<CsvErrorCase> {};

TEST_P(CsvErrors, NameTheFileAndLine) {
    try {
        messagesFromCsv(parseCsv(GetParam().text, "f.csv"), "f.csv", false);
        FAIL() << "accepted";
    } catch (const InputError& e) {
        EXPECT_EQ(std::string(e.what()), GetParam().message);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, CsvErrors,
    testing::Values(
        CsvErrorCase{"Unclosed", "1,a\n2,\"b\nc\n", "f.csv:2: quoted field is never closed"},
        CsvErrorCase{"TextAfterQuote", "1,\"a\" b\n", "f.csv:1: unexpected text after a closing quote"},
        CsvErrorCase{"OneField", "1,a\n2\n", "f.csv:2: expected 2 fields (number,text), found 1"},
        CsvErrorCase{"ThreeFields", "1,\"a\nb\",c\n", "f.csv:1: expected 2 fields (number,text), found 3"},
        CsvErrorCase{"EmptyNumber", "\"\",a\n", "f.csv:1: the number is empty"},
        CsvErrorCase{"Duplicate", "1,a\n2,b\n 1,c\n", "f.csv:3: number 1 is already listed on line 1"},
        CsvErrorCase{"Nothing", "\n\n", "f.csv: no number,text record"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CsvMessages, TrimsNumbersKeepsTextsAndSkipsTheHeader) {
    const auto records = parseCsv("number,text\n +1 , hi \n2,\"a,b\"\n", "f.csv");
    EXPECT_EQ(messagesFromCsv(records, "f.csv", true), (MessageMap{{"+1", " hi "}, {"2", "a,b"}}));
}

struct HeaderCase {
    const char* name;
    std::string text;
    MessageMap messages;
    bool noted;
};

void PrintTo(const HeaderCase& c, std::ostream* os) {
    *os << c.name;
}

class CsvHeaderDetection : public testing::TestWithParam<HeaderCase> {};

// Without --header, a header row must not become a message to a "number"
// called "number"; a first record that is a number stays a message.
TEST_P(CsvHeaderDetection, SkipsAFirstRecordWithoutADigitAndSaysSo) {
    testing::internal::CaptureStderr();
    const MessageMap messages = messagesFromCsv(parseCsv(GetParam().text, "f.csv"), "f.csv", false);
    const std::string note = testing::internal::GetCapturedStderr();
    EXPECT_EQ(messages, GetParam().messages);
    EXPECT_EQ(note.find("f.csv:1:") != std::string::npos && note.find("header") != std::string::npos,
              GetParam().noted)
        << note;
}

INSTANTIATE_TEST_SUITE_P(
    Table, CsvHeaderDetection,
    testing::Values(HeaderCase{"NumberText", "number,text\n97450000001,hi\n", {{"97450000001", "hi"}}, true},
                    HeaderCase{"QuotedAndBlank",
                               " \"Mobile\" , \"Message\"\n+97450000001,hi\n",
                               {{"+97450000001", "hi"}},
                               true},
                    HeaderCase{"NoHeader",
                               "97450000001,hi\n97450000002,ho\n",
                               {{"97450000001", "hi"}, {"97450000002", "ho"}},
                               false},
                    HeaderCase{"OnlyTheFirstRecord", "1,a\nname,b\n", {{"1", "a"}, {"name", "b"}}, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CsvHeaderDetection, AHeaderAloneIsNoMessage) {
    testing::internal::CaptureStderr();
    EXPECT_THROW(messagesFromCsv(parseCsv("number,text\n", "f.csv"), "f.csv", false), InputError);
    testing::internal::GetCapturedStderr();
}

struct ScheduleCase {
    const char* name;
    const char* date;
    bool allowPast;
    bool refused;
};

void PrintTo(const ScheduleCase& c, std::ostream* os) {
    *os << c.name;
}

class ScheduledDate : public testing::TestWithParam<ScheduleCase> {};

// A past time would be sent at once: refused, with the form to use, unless
// --allow-past. "Now" is fixed at 2030-06-15 12:00:00 UTC.
TEST_P(ScheduledDate, RefusesAPastTimeUnlessAllowed) {
    using namespace std::chrono;
    const system_clock::time_point now = sys_days(year(2030) / June / 15) + hours(12);
    const ScheduleCase& c = GetParam();
    if (!c.refused) {
        EXPECT_NO_THROW(checkScheduledDate(c.date, c.allowPast, now));
        return;
    }
    try {
        checkScheduledDate(c.date, c.allowPast, now);
        ADD_FAILURE() << "accepted " << c.date;
    } catch (const InputError& e) {
        const std::string message = e.what();
        EXPECT_NE(message.find("has passed"), std::string::npos) << message;
        EXPECT_NE(message.find("\"YYYY-MM-DD HH:MM:SS\" in UTC"), std::string::npos) << message;
        EXPECT_NE(message.find("--allow-past"), std::string::npos) << message;
    }
}

INSTANTIATE_TEST_SUITE_P(Table, ScheduledDate,
                         testing::Values(ScheduleCase{"Empty", "", false, false},
                                         ScheduleCase{"Future", "2030-06-15 12:00:01", false, false},
                                         ScheduleCase{"Now", "2030-06-15 12:00:00", false, false},
                                         ScheduleCase{"OneSecondAgo", "2030-06-15 11:59:59", false, true},
                                         ScheduleCase{"LastYear", "2029-12-31 23:59:59", false, true},
                                         ScheduleCase{"PastButAllowed", "2020-01-01 09:00:00", true, false},
                                         // Other forms are the provider's to refuse, with its own message.
                                         ScheduleCase{"OtherForm", "tomorrow", false, false},
                                         ScheduleCase{"NoSuchDay", "2020-02-30 09:00:00", false, false}),
                         [](const auto& info) { return std::string(info.param.name); });

class PasswordFileMode : public testing::TestWithParam<mode_t> {};

TEST_P(PasswordFileMode, WarnsWhenOthersMayReadIt) {
    const auto path = std::filesystem::temp_directory_path() / ("qelsms_pw_" + std::to_string(getpid()));
    std::ofstream(path) << "Secret-1\n";
    ASSERT_EQ(chmod(path.c_str(), GetParam()), 0);
    testing::internal::CaptureStderr();
    const std::string password = readPasswordFile(path.string());
    const std::string warning = testing::internal::GetCapturedStderr();
    std::filesystem::remove(path);
    EXPECT_EQ(password, "Secret-1");
    const bool private_ = (GetParam() & 077) == 0;
    EXPECT_EQ(warning.find("chmod 600") == std::string::npos, private_) << warning;
    EXPECT_EQ(warning.find("Secret-1"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Modes, PasswordFileMode, testing::Values(0600, 0400, 0640, 0644, 0604, 0660));

// A tool reading standard input from a terminal says so, instead of seeming
// to hang; from a file or a pipe it says nothing.
TEST(ReadInput, HintsWhenStandardInputIsATerminal) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const int terminal = open(ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(terminal, 0);
    const int savedInput = dup(STDIN_FILENO);
    ASSERT_EQ(dup2(terminal, STDIN_FILENO), STDIN_FILENO);
    // The line, then the end-of-file character at the start of a line.
    ASSERT_EQ(write(master, "97450000001\n\x04", 13), 13);
    testing::internal::CaptureStderr();
    const std::string content = readInput("-");
    const std::string hint = testing::internal::GetCapturedStderr();
    dup2(savedInput, STDIN_FILENO);
    close(savedInput);
    close(terminal);
    close(master);
    // The end of input is sticky in stdin's FILE, which std::cin reads through.
    std::clearerr(stdin);
    std::cin.clear();
    EXPECT_EQ(content, "97450000001\n");
    EXPECT_NE(hint.find("Ctrl-D"), std::string::npos) << hint;

    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    ASSERT_EQ(write(pipeEnds[1], "1\n", 2), 2);
    close(pipeEnds[1]);
    const int saved = dup(STDIN_FILENO);
    dup2(pipeEnds[0], STDIN_FILENO);
    testing::internal::CaptureStderr();
    EXPECT_EQ(readInput("-"), "1\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    dup2(saved, STDIN_FILENO);
    close(saved);
    close(pipeEnds[0]);
    std::clearerr(stdin);
    std::cin.clear();
}

TEST(NumberList, OneNumberALineWithoutBlanksOrComments) {
    EXPECT_EQ(parseNumberList("1\n  +2\t\r\n\n# three\n4"), (std::vector<std::string>{"1", "+2", "4"}));
    EXPECT_EQ(parseNumberList(""), std::vector<std::string>{});
}

struct PrintableCase {
    const char* name;
    std::string text;
    std::string shown;
};

void PrintTo(const PrintableCase& c, std::ostream* os) {
    *os << c.name;
}

class Printable : public testing::TestWithParam<PrintableCase> {};

TEST_P(Printable, EscapesWhatATerminalWouldNotShow) {
    EXPECT_EQ(printable(GetParam().text), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Printable,
    testing::Values(PrintableCase{"PlainAscii", R"(Invalid mobile number "9745")",
                                  R"(Invalid mobile number "9745")"},
                    PrintableCase{"VisibleUnicodeKept", "\u0645\u0631\u062D\u0628\u0627 \u00E9 \U0001F600",
                                  "\u0645\u0631\u062D\u0628\u0627 \u00E9 \U0001F600"},
                    PrintableCase{"ByteOrderMark",
                                  "\xEF\xBB\xBF"
                                  "9745",
                                  R"(\u{FEFF}9745)"},
                    PrintableCase{"ZeroWidthAndDirectionMarks", "a\u200Bb\u200Fc\u202Ed\u2066e",
                                  R"(a\u{200B}b\u{200F}c\u{202E}d\u{2066}e)"},
                    PrintableCase{"AsciiControls", std::string("a\0b\tc\nd\x1B[2Je\x7F", 13),
                                  R"(a\x00b\x09c\x0Ad\x1B[2Je\x7F)"},
                    PrintableCase{"C1Control", "a\u0085b", R"(a\u{0085}b)"},
                    PrintableCase{"TagCharacter", "a\U000E0041", R"(a\u{E0041})"},
                    PrintableCase{"NotUtf8", "a\xFF\xC3(b\xE2\x80", R"(a\xFF\xC3(b\xE2\x80)"},
                    PrintableCase{"OverlongAndSurrogate", "\xC0\xAF\xED\xA0\x80", R"(\xC0\xAF\xED\xA0\x80)"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReadInput, DropsALeadingByteOrderMarkOnly) {
    const auto path = std::filesystem::temp_directory_path() / ("qelsms_bom_" + std::to_string(getpid()));
    std::ofstream(path, std::ios::binary) << "\xEF\xBB\xBF"
                                             "97450000001\n\xEF\xBB\xBF"
                                             "2\n";
    const std::string content = readInput(path.string());
    std::filesystem::remove(path);
    EXPECT_EQ(content,
              "97450000001\n\xEF\xBB\xBF"
              "2\n");
    EXPECT_EQ(parseNumberList(content).front(), "97450000001");
}

TEST(BaseURL, AcceptsHttpAndHttpsWithHostPortAndPathOnly) {
    for (const char* url : {"https://api.qelsms.example/api/", "http://127.0.0.1:8080/api/",
                            "https://[::1]:443/api/", "https://host", "https://a-b.example/x/y/"}) {
        EXPECT_TRUE(isUsableBaseURL(url)) << url;
    }
    for (const char* url :
         {"", "ftp://host/api/", "https:///api/", "https://host/api/?a=1", "https://host/api/#f",
          "https://user:pw@host/api/", "https://ho st/api/", "https://host:port/api/", "https://-host/api/",
          "https://host/a pi/", "https://host/api/\n"}) {
        EXPECT_FALSE(isUsableBaseURL(url)) << url;
    }
}

TEST(Describe, OneLineOfMembers) {
    EXPECT_EQ(describe(nlohmann::json::parse(R"({"a":1,"b":"x","c":"two words","d":"","e":[1],"f":null})")),
              R"(a=1 b=x c="two words" d="" e=[1] f=null)");
    EXPECT_EQ(describe(nlohmann::json::parse(R"({"t":"line\nbreak\u001b[31m"})")),
              R"(t="line\nbreak\u001b[31m")");
    EXPECT_EQ(describe(nlohmann::json::parse(R"([{"a":1}])")), R"([{"a":1}])");
}

}  // namespace
}  // namespace qelsms::cli
