// The qelsms command-line tool run as a separate process against
// qelsms-sandbox: its output, its exit statuses and what reached the service.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "child_process.hpp"
#include "sandbox_process.hpp"
#include "test_server.hpp"

namespace qelsms {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

const std::string kCaFile = std::string(QELSMS_CERTS_DIR) + "/ca.pem";
const std::string kPassword = "pa ss&Password=x%41";
const std::string kLowCreditPassword = "low-credit-secret";

// What one run of a program left behind. A status of -1 means it was killed
// for taking too long.
struct ProgramRun {
    int status = -1;
    std::string out;
    std::string err;
};

std::ostream& operator<<(std::ostream& os, const ProgramRun& run) {
    return os << "status " << run.status << "\nstdout: " << run.out << "\nstderr: " << run.err;
}

// Runs `program` with `args`, feeding it `input`. The child inherits the
// environment minus every QELSMS_ variable, plus `env`.
ProgramRun runProgram(const std::string& program, const std::vector<std::string>& args,
                      const std::map<std::string, std::string>& env, const std::string& input = "",
                      std::chrono::milliseconds limit = 30s) {
    std::vector<std::string> extraEnv;
    for (const auto& [name, value] : env)
        extraEnv.push_back(name + "=" + value);
    test::ExecArgs exec(program, args, extraEnv);

    int in[2];
    int out[2];
    int err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe2 failed");
    }
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        execve(exec.argv()[0], exec.argv(), exec.envp());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    // Inputs are small enough for the pipe's buffer.
    (void)!write(in[1], input.data(), input.size());
    close(in[1]);

    ProgramRun run;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&run.out, &run.err};
    int open = 2;
    while (open > 0 && std::chrono::steady_clock::now() < deadline) {
        if (poll(fds, 2, 100) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[4096];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (auto& fd : fds) {
        if (fd.fd >= 0) close(fd.fd);
    }
    if (open > 0) kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    if (open == 0 && WIFEXITED(status)) run.status = WEXITSTATUS(status);
    return run;
}

// A file in the test's temporary directory, removed at the end of the test.
class TempFile {
public:
    explicit TempFile(const std::string& content) {
        static int counter = 0;
        path_ = std::filesystem::temp_directory_path() /
                ("qelsms_cli_test_" + std::to_string(getpid()) + "_" + std::to_string(counter++));
        std::ofstream(path_, std::ios::binary) << content;
    }
    ~TempFile() { std::filesystem::remove(path_); }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    std::string path() const { return path_.string(); }

private:
    std::filesystem::path path_;
};

// One HTTPS sandbox per test program, started on first use and reset before
// each test: the account "ann" with 1000 credits and "low" with 3.
class CliTest : public testing::Test {
protected:
    static test::SandboxChild& sandbox() {
        static test::SandboxChild process({"--port", "0", "--account", "ann:" + kPassword + ":1000",
                                           "--account", "low:" + kLowCreditPassword + ":3"});
        return process;
    }

    void SetUp() override { control("POST", "/sandbox/reset"); }

    static json control(const std::string& method, const std::string& path, const json& body = nullptr) {
        httplib::SSLClient client("127.0.0.1", sandbox().port());
        client.set_ca_cert_path(kCaFile.c_str());
        client.enable_server_certificate_verification(true);
        httplib::Result result =
            method == "GET"
                ? client.Get(path.c_str())
                : client.Post(path.c_str(), body.is_null() ? "" : body.dump(), "application/json");
        if (!result || result->status != 200) throw std::runtime_error("sandbox control " + path + " failed");
        return json::parse(result->body);
    }

    static json messages() { return control("GET", "/sandbox/messages").at("messages"); }
    static json requestCounts() { return control("GET", "/sandbox/requests"); }

    // Runs the tool as account "ann" against the sandbox; `args` follow the
    // connection options.
    static ProgramRun qelsms(const std::vector<std::string>& args, const std::string& input = "",
                             std::map<std::string, std::string> env = {{"QELSMS_USER", "ann"},
                                                                       {"QELSMS_PASSWORD", kPassword}}) {
        std::vector<std::string> all{"--base-url", sandbox().url(), "--cacert", kCaFile};
        all.insert(all.end(), args.begin(), args.end());
        return runProgram(QELSMS_CLI_BINARY, all, env, input);
    }

    static ProgramRun qelsmsRaw(const std::vector<std::string>& args,
                                const std::map<std::string, std::string>& env,
                                const std::string& input = "") {
        return runProgram(QELSMS_CLI_BINARY, args, env, input);
    }
};

TEST_F(CliTest, BalancePrintsAReadableLineOrTheProvidersJson) {
    const ProgramRun readable = qelsms({"balance"});
    EXPECT_EQ(readable.status, 0) << readable;
    EXPECT_EQ(readable.out, "Balance: 1000\n");
    EXPECT_EQ(readable.err, "");

    // Options of the tool may also follow the subcommand.
    const ProgramRun asJson = qelsms({"balance", "--json"});
    EXPECT_EQ(asJson.status, 0) << asJson;
    EXPECT_EQ(json::parse(asJson.out), (json{{"status", "success"}, {"username", "ann"}, {"balance", 1000}}));
}

// balance takes the account's pace and retries as the sending commands do: a
// 429 is tried again after its Retry-After when --retries allows it.
TEST_F(CliTest, BalanceRetriesA429OnlyWhenAsked) {
    const std::string path = "/api/Credits/GetBalance/";
    const auto balanceRequests = [&] { return requestCounts().at("paths").value(path, 0); };

    control("POST", "/sandbox/faults", json{{"type", "throttle"}, {"retryAfter", 1}, {"path", path}});
    const ProgramRun unretried = qelsms({"balance"});
    EXPECT_EQ(unretried.status, 1) << unretried;
    EXPECT_EQ(balanceRequests(), 1);

    control("POST", "/sandbox/faults", json{{"type", "throttle"}, {"retryAfter", 1}, {"path", path}});
    const ProgramRun retried = qelsms({"balance", "--retries", "1", "--rate", "5"});
    EXPECT_EQ(retried.status, 0) << retried;
    EXPECT_EQ(retried.out, "Balance: 1000\n");
    EXPECT_EQ(balanceRequests(), 3);

    EXPECT_EQ(qelsms({"balance", "--retries", "11"}).status, 2);
    EXPECT_EQ(qelsms({"balance", "--rate", "0"}).status, 2);
}

TEST_F(CliTest, SendTakesNumbersFromArgumentsAndFromAFile) {
    const TempFile numbers("# staff\n  +97450000002 \n\n97450000003\r\n");
    const ProgramRun run = qelsms({"send", "--sender", "Shop", "-m", "Hello, world", "97450000001",
                                   "--numbers-file", numbers.path(), "--json"});
    ASSERT_EQ(run.status, 0) << run;
    const json answer = json::parse(run.out);
    EXPECT_EQ(answer.at("accepted"), 3);

    const json sent = messages();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].at("service"), "SingleSMS");
    EXPECT_EQ(sent[0].at("messageId"), answer.at("messageId"));
    std::vector<std::string> recipients;
    for (const auto& r : sent[0].at("recipients")) {
        recipients.push_back(r.at("mobileNumber"));
        EXPECT_EQ(r.at("message"), "Hello, world");
    }
    EXPECT_EQ(recipients, (std::vector<std::string>{"97450000001", "+97450000002", "97450000003"}));
}

TEST_F(CliTest, MessageFileDropsOneTrailingLineBreakAndReadsStandardInput) {
    const ProgramRun run =
        qelsms({"bulk", "--sender", "Shop", "--message-file", "-", "97450000001"}, "two\nlines\n");
    ASSERT_EQ(run.status, 0) << run;
    EXPECT_TRUE(run.out.starts_with("Accepted: ")) << run.out;
    EXPECT_EQ(run.out.find('\n'), run.out.size() - 1) << "one line expected: " << run.out;
    EXPECT_EQ(messages()[0].at("recipients")[0].at("message"), "two\nlines");
}

// Each submission flag, alone, sets its own member of the body and no other.
struct FlagCase {
    const char* subcommand;
    std::vector<std::string> flag;
    const char* member;
    json value;
};

void PrintTo(const FlagCase& c, std::ostream* os) {
    *os << c.subcommand << " " << c.flag.front();
}

class CliFlags : public CliTest, public testing::WithParamInterface<FlagCase> {};

TEST_P(CliFlags, SetsItsOwnMemberOnly) {
    const FlagCase& c = GetParam();
    const std::string subcommand = c.subcommand;
    std::vector<std::string> args{subcommand, "--sender", "Shop"};
    if (subcommand != "custom") args.insert(args.end(), {"-m", "Hi", "97450000001"});
    if (subcommand == "custom") args.push_back("-");
    args.insert(args.end(), c.flag.begin(), c.flag.end());
    const ProgramRun run = qelsms(args, "97450000001,Hi\n");
    ASSERT_EQ(run.status, 0) << run;

    const json sent = messages();
    ASSERT_EQ(sent.size(), 1u);
    json expected = subcommand == "send"
                        ? json{{"ReportRequired", false}, {"Quorvi", false}, {"SenderName", "Shop"}}
                        : json{{"RemoveDuplicates", false},
                               {"ReportRequired", false},
                               {"ReturnIndividualResponse", false},
                               {"AsynchronousSubmission", false},
                               {"Quorvi", false},
                               {"SenderName", "Shop"}};
    if (std::string(c.member) == "ScheduledDate") {
        EXPECT_EQ(sent[0].at("scheduledDate"), c.value);
    } else {
        EXPECT_FALSE(sent[0].contains("scheduledDate"));
        expected[c.member] = c.value;
    }
    EXPECT_EQ(json(sent[0].at("options")), expected);
}

std::vector<FlagCase> flagCases() {
    const std::vector<FlagCase> common = {
        {"", {"--report-required"}, "ReportRequired", true},
        {"", {"--quorvi"}, "Quorvi", true},
        {"", {"--callback-query-string", "a=1&b=2"}, "CallbackQueryString", "a=1&b=2"},
        {"", {"--callback-query-string", ""}, "CallbackQueryString", ""},
        {"", {"--reference-name", "campaign 7"}, "ReferenceName", "campaign 7"},
        {"", {"--quorvi-base-url", "https://q.example/b"}, "QuorviBaseURL", "https://q.example/b"},
        {"", {"--quorvi-final-url", "https://q.example/f"}, "QuorviFinalURL", "https://q.example/f"},
    };
    const std::vector<FlagCase> bulkOnly = {
        {"", {"--remove-duplicates"}, "RemoveDuplicates", true},
        {"", {"--return-individual-response"}, "ReturnIndividualResponse", true},
        {"", {"--asynchronous-submission"}, "AsynchronousSubmission", true},
        {"", {"--scheduled-date", "2031-05-06 07:08:09"}, "ScheduledDate", "2031-05-06 07:08:09"},
    };
    std::vector<FlagCase> cases;
    for (const char* subcommand : {"send", "bulk", "custom"}) {
        for (FlagCase c : common) {
            c.subcommand = subcommand;
            cases.push_back(c);
        }
        if (std::string(subcommand) == "send") continue;
        for (FlagCase c : bulkOnly) {
            c.subcommand = subcommand;
            cases.push_back(c);
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(EverySubmissionFlag, CliFlags, testing::ValuesIn(flagCases()), [](const auto& info) {
    std::string name = std::string(info.param.subcommand) + "_" + info.param.member;
    if (info.param.flag.size() > 1 && info.param.flag[1].empty()) name += "_Empty";
    return name;
});

TEST_F(CliTest, CustomReadsQuotedCsvFields) {
    const std::string csv =
        "\xEF\xBB\xBFnumber,text\r\n"
        "97450000001,\"Hello, Ann\"\r\n"
        "97450000002, \"She said \"\"hi\"\"\" \r\n"
        "\r\n"
        "+97450000003,\"two\nlines\"\r\n"
        "97450000004,plain text, no quotes\"\n";
    const ProgramRun bad = qelsms({"custom", "--sender", "Shop", "--header", "-"}, csv);
    EXPECT_EQ(bad.status, 2) << bad;
    EXPECT_NE(bad.err.find("standard input:7: expected 2 fields (number,text), found 3"), std::string::npos)
        << bad.err;

    const std::string good = csv.substr(0, csv.rfind("97450000004"));
    const ProgramRun run = qelsms({"custom", "--sender", "Shop", "--header", "-"}, good);
    ASSERT_EQ(run.status, 0) << run;
    const json sent = messages();
    ASSERT_EQ(sent.size(), 1u);
    std::map<std::string, std::string> texts;
    for (const auto& r : sent[0].at("recipients"))
        texts[r.at("mobileNumber")] = r.at("message");
    EXPECT_EQ(texts, (std::map<std::string, std::string>{{"97450000001", "Hello, Ann"},
                                                         {"97450000002", "She said \"hi\""},
                                                         {"+97450000003", "two\nlines"}}));
}

// Failures: status 1 when the provider did not act, 3 when it may have; the
// library's message on standard error, nothing on standard output.
struct RefusalCase {
    const char* name;
    std::vector<std::string> args;
    json fault;  // armed on the sandbox first, unless null
    const char* message;
    int status;
    // A regular expression the cause in words, after the message in
    // parentheses, matches; empty when the tool's own message has none.
    const char* detail = "";
};

void PrintTo(const RefusalCase& c, std::ostream* os) {
    *os << c.name;
}

class CliRefusal : public CliTest, public testing::WithParamInterface<RefusalCase> {};

TEST_P(CliRefusal, ExitsWithItsStatusAndTheLibrarysMessage) {
    const RefusalCase& c = GetParam();
    if (!c.fault.is_null()) control("POST", "/sandbox/faults", c.fault);
    std::map<std::string, std::string> env{{"QELSMS_USER", "ann"}, {"QELSMS_PASSWORD", kPassword}};
    if (std::string(c.name) == "WrongPassword") env["QELSMS_PASSWORD"] = "wrong";
    if (std::string(c.name) == "InsufficientCredits")
        env = {{"QELSMS_USER", "low"}, {"QELSMS_PASSWORD", kLowCreditPassword}};
    const ProgramRun run = std::string(c.name) == "UntrustedCertificate"
                               ? qelsmsRaw({"--base-url", sandbox().url(), "balance"}, env)
                               : qelsms(c.args, "", env);
    EXPECT_EQ(run.status, c.status) << run;
    EXPECT_EQ(run.out, "");
    // A message ending in '*' is matched up to it (decoder texts vary).
    const std::string_view message = c.message;
    const std::string detail = std::string(c.detail).empty() ? "" : std::string(" \\(") + c.detail + "\\)";
    if (message.ends_with('*')) {
        EXPECT_TRUE(run.err.starts_with("qelsms: " + std::string(message.substr(0, message.size() - 1))))
            << run.err;
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
        EXPECT_TRUE(std::regex_search(run.err, std::regex(detail + "\n$"))) << run.err;
    } else {
        EXPECT_TRUE(run.err.starts_with("qelsms: " + std::string(message))) << run.err;
        EXPECT_TRUE(std::regex_match(run.err.substr(8 + message.size()), std::regex(detail + "\n")))
            << run.err;
    }
    EXPECT_EQ(run.err.find(kPassword), std::string::npos) << run.err;
}

const std::vector<std::string> kSendOne = {"send", "--sender", "Shop", "-m", "Hi", "97450000001"};

INSTANTIATE_TEST_SUITE_P(
    Table, CliRefusal,
    testing::Values(
        RefusalCase{"WrongPassword",
                    {"balance"},
                    nullptr,
                    "Authorization has been denied for this request.",
                    1,
                    "the provider answered HTTP 401.*: Authorization has been denied for this request\\."},
        RefusalCase{"InvalidNumber",
                    {"send", "--sender", "Shop", "-m", "Hi", "123"},
                    nullptr,
                    "Invalid mobile number \"123\": expected 8 to 15 digits, optionally after a \"+\"",
                    1,
                    "the provider answered HTTP 400 \\(status \"error\"\\): Invalid mobile number .*"},
        RefusalCase{"InsufficientCredits",
                    {"bulk", "--sender", "Shop", "-m", "Hi", "97450000001", "97450000002", "97450000003",
                     "97450000004"},
                    nullptr,
                    "Insufficient credits: the message needs 4 credits and the balance is 3",
                    1,
                    "the provider answered HTTP [0-9]+ \\(status \"error\"\\): Insufficient credits: .*"},
        RefusalCase{"BadScheduledDate",
                    {"bulk", "--sender", "Shop", "-m", "Hi", "97450000001", "--scheduled-date", "tomorrow"},
                    nullptr,
                    "\"ScheduledDate\" must be a UTC date and time written YYYY-MM-DD HH:MM:SS",
                    1,
                    "the provider answered HTTP 400 \\(status \"error\"\\): \"ScheduledDate\" must be .*"},
        // The sandbox read the request before closing: it may have been sent.
        RefusalCase{"ConnectionClosed", kSendOne, json{{"type", "close"}}, "Client error!", 3,
                    "connection closed without an answer"},
        RefusalCase{"WrongMediaType",
                    {"balance"},
                    json{{"type", "wrong-media-type"}},
                    "Wrong MIME type!",
                    3,
                    "answer is text/plain, not JSON \\(HTTP 200\\)"},
        RefusalCase{"Html500",
                    {"balance"},
                    json{{"type", "html-500"}},
                    "JSON error: *",
                    3,
                    "answer is text/html, not JSON \\(HTTP 500\\)"},
        RefusalCase{"IdleLongerThanTimeout",
                    {"--timeout", "1", "balance"},
                    json{{"type", "delay"}, {"delayMs", 3000}},
                    "Client error!",
                    3,
                    "timed out: no byte for 1 s after the request was sent"},
        RefusalCase{"UntrustedCertificate",
                    {},
                    nullptr,
                    "Client error!",
                    1,
                    "certificate not trusted: unable to get local issuer certificate"}),
    [](const auto& info) { return std::string(info.param.name); });

// With --json a failure is also one JSON object on standard output, and the
// exit status follows its mayHaveBeenProcessed.
TEST_F(CliTest, JsonPrintsFailuresAsOneObject) {
    const ProgramRun refused =
        qelsms({"--json", "balance"}, "", {{"QELSMS_USER", "ann"}, {"QELSMS_PASSWORD", "x"}});
    EXPECT_EQ(refused.status, 1) << refused;
    EXPECT_EQ(json::parse(refused.out),
              (json{{"message", "Authorization has been denied for this request."},
                    {"kind", "refused-by-provider"},
                    {"status", 401},
                    {"mayHaveBeenProcessed", false},
                    {"detail",
                     "the provider answered HTTP 401: Authorization has been denied "
                     "for this request."}}));

    control("POST", "/sandbox/faults", json{{"type", "reset"}});
    const ProgramRun reset = qelsms({"--json", "send", "--sender", "Shop", "-m", "Hi", "97450000001"});
    EXPECT_EQ(reset.status, 3) << reset;
    json interrupted = json::parse(reset.out);
    const std::string detail = interrupted.value("detail", "");
    interrupted.erase("detail");
    EXPECT_EQ(interrupted, (json{{"message", "Client error!"},
                                 {"kind", "interrupted"},
                                 {"status", 200},
                                 {"mayHaveBeenProcessed", true}}));
    EXPECT_TRUE(detail.starts_with("connection broken")) << reset.out;
    // The sandbox charged for it: exactly the case exit status 3 warns of.
    EXPECT_EQ(messages().size(), 1u);
}

// Usage errors: status 2, a message naming the problem, and nothing sent.
struct UsageCase {
    const char* name;
    std::vector<std::string> args;
    const char* expected;  // part of standard error
    std::string input = "";
};

void PrintTo(const UsageCase& c, std::ostream* os) {
    *os << c.name;
}

class CliUsage : public CliTest, public testing::WithParamInterface<UsageCase> {};

TEST_P(CliUsage, ExitsWithTwoAndSendsNothing) {
    const UsageCase& c = GetParam();
    const ProgramRun run = qelsms(c.args, c.input);
    EXPECT_EQ(run.status, 2) << run;
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find(c.expected), std::string::npos) << run.err;
    EXPECT_EQ(requestCounts().at("total"), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CliUsage,
    testing::Values(
        UsageCase{"NoSubcommand", {}, "A subcommand is required"},
        UsageCase{"UnknownSubcommand", {"credit"}, "unknown subcommand (not shown)"},
        UsageCase{"UnknownFlag",
                  {"bulk", "--sender", "S", "-m", "x", "97450000001", "--sheduled-date", "x"},
                  "--sheduled-date"},
        UsageCase{"BulkFlagOnSend",
                  {"send", "--sender", "S", "-m", "x", "97450000001", "--remove-duplicates"},
                  "--remove-duplicates"},
        UsageCase{"NoNumber", {"send", "--sender", "S", "-m", "x"}, "no number"},
        UsageCase{"EmptyNumbersFile",
                  {"bulk", "--sender", "S", "-m", "x", "--numbers-file", "-"},
                  "no number",
                  "# nothing\n\n"},
        UsageCase{"MissingNumbersFile",
                  {"send", "--sender", "S", "-m", "x", "--numbers-file", "/nonexistent/n"},
                  "cannot read /nonexistent/n"},
        UsageCase{"NoText", {"send", "--sender", "S", "97450000001"}, "no text"},
        UsageCase{"TwoTexts",
                  {"send", "--sender", "S", "-m", "x", "--message-file", "-", "97450000001"},
                  "not both"},
        UsageCase{"NoSender", {"send", "-m", "x", "97450000001"}, "--sender is required"},
        UsageCase{"CustomWithoutFile", {"custom", "--sender", "S"}, "file is required"},
        UsageCase{"CustomEmptyCsv", {"custom", "--sender", "S", "-"}, "no number,text record", "\r\n\n"},
        UsageCase{"CustomHeaderOnly",
                  {"custom", "--sender", "S", "--header", "-"},
                  "no number,text record",
                  "number,text\n"},
        UsageCase{"CustomUnclosedQuote",
                  {"custom", "--sender", "S", "-"},
                  "standard input:2: quoted field is never closed",
                  "97450000001,a\n97450000002,\"b\n\n"},
        UsageCase{"CustomTextAfterQuote",
                  {"custom", "--sender", "S", "-"},
                  "standard input:1: unexpected text after a closing quote",
                  "97450000001,\"a\"b\n"},
        UsageCase{"CustomDuplicateNumber",
                  {"custom", "--sender", "S", "-"},
                  "standard input:3: number 97450000001 is already listed on line 1",
                  "97450000001,a\n97450000002,b\n 97450000001 ,c\n"},
        UsageCase{"CustomEmptyNumber",
                  {"custom", "--sender", "S", "-"},
                  "standard input:1: the number is empty",
                  " ,a\n"},
        UsageCase{"BaseURLNotHttp", {"--base-url", "ftp://127.0.0.1/api/", "balance"}, "--base-url"},
        UsageCase{"BaseURLWithQuery", {"--base-url", "https://127.0.0.1/api/?x=1", "balance"}, "--base-url"},
        UsageCase{"BadConnectTo", {"--connect-to", "nonsense", "balance"}, "connectTo entry"},
        UsageCase{"MissingCaFile", {"--cacert", "/nonexistent/ca.pem", "balance"}, "/nonexistent/ca.pem"},
        UsageCase{"ZeroTimeout", {"--timeout", "0", "balance"}, "--timeout"},
        UsageCase{"MissingPasswordFile",
                  {"--user", "ann", "--password-file", "/nonexistent/pw", "balance"},
                  "cannot read /nonexistent/pw"},
        UsageCase{"EmptyPasswordFile",
                  {"--user", "ann", "--password-file", "-", "balance"},
                  "holds no password",
                  "\n"},
        UsageCase{"PasswordOption", {"--password", "hunter2", "balance"}, "there is no --password option"},
        UsageCase{
            "PasswordOptionWithEquals", {"balance", "--password=hunter2"}, "there is no --password option"},
        UsageCase{"SegmentsWithoutText", {"segments"}, "no text"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CliTest, MissingCredentialsAreAUsageError) {
    const ProgramRun noUser = qelsms({"balance"}, "", {{"QELSMS_PASSWORD", kPassword}});
    EXPECT_EQ(noUser.status, 2) << noUser;
    EXPECT_NE(noUser.err.find("no user name: set QELSMS_USER or give --user"), std::string::npos);
    const ProgramRun noPassword = qelsms({"balance"}, "", {{"QELSMS_USER", "ann"}});
    EXPECT_EQ(noPassword.status, 2) << noPassword;
    EXPECT_NE(noPassword.err.find("no password: set QELSMS_PASSWORD or give --password-file"),
              std::string::npos);
    EXPECT_EQ(requestCounts().at("total"), 0);
}

TEST_F(CliTest, UserAndPasswordFileTakeThePlaceOfTheEnvironment) {
    const TempFile passwordFile(kPassword + "\r\nsecond line is ignored\n");
    const ProgramRun fromFile =
        qelsms({"--user", "ann", "--password-file", passwordFile.path(), "balance"}, "", {});
    EXPECT_EQ(fromFile.status, 0) << fromFile;
    EXPECT_EQ(fromFile.out, "Balance: 1000\n");

    const ProgramRun overrides = qelsms({"--user", "ann", "--password-file", passwordFile.path(), "balance"},
                                        "", {{"QELSMS_USER", "someone"}, {"QELSMS_PASSWORD", "wrong"}});
    EXPECT_EQ(overrides.status, 0) << overrides;

    const ProgramRun fromStdin =
        qelsms({"--user", "ann", "--password-file", "-", "balance"}, kPassword + "\n", {});
    EXPECT_EQ(fromStdin.status, 0) << fromStdin;
}

TEST_F(CliTest, NeverPrintsThePassword) {
    const TempFile passwordFile(kPassword);
    const std::vector<std::vector<std::string>> commands = {
        {"balance"},
        {"balance", "--json"},
        {"send", "--sender", "S", "-m", "x", "97450000001"},
        {"send", "--sender", "S", "-m", "x", "1"},
        {"--user", "ann", "--password-file", passwordFile.path(), "bulk", "--sender", "S", "-m", "x",
         "97450000001"},
        {"--password", kPassword, "balance"},
        {"balance", "--password=" + kPassword},
        {"balance", "--frobnicate", kPassword},
        {kPassword},
        {kPassword, "balance"},
        {"--help"},
        {"custom", "--help"},
    };
    for (const auto& command : commands) {
        for (const char* password : {kPassword.c_str(), "wrong-password-42"}) {
            const ProgramRun run =
                qelsms(command, "", {{"QELSMS_USER", "ann"}, {"QELSMS_PASSWORD", password}});
            EXPECT_EQ(run.out.find(password), std::string::npos) << run;
            EXPECT_EQ(run.err.find(password), std::string::npos) << run;
            EXPECT_EQ(run.out.find(kPassword), std::string::npos) << run;
            EXPECT_EQ(run.err.find(kPassword), std::string::npos) << run;
        }
    }
}

TEST_F(CliTest, VerboseTellsEachExchangeOnStandardErrorWithoutThePassword) {
    const std::string target = "https://127\\.0\\.0\\.1:" + std::to_string(sandbox().port()) + "/api/";
    struct Case {
        std::vector<std::string> args;
        const char* password;
        int status;
        std::string lines;  // a regular expression for all of standard error
    };
    const std::vector<Case> cases = {
        {{"-v", "balance"},
         kPassword.c_str(),
         0,
         "qelsms: debug: GET " + target +
             "Credits/GetBalance/ started\n"
             "qelsms: info: GET " +
             target + "Credits/GetBalance/ -> 200 application/json.* bytes down, .*\n"},
        {{"send", "--sender", "S", "-m", "x", "97450000001", "--verbose"},
         kPassword.c_str(),
         0,
         "qelsms: debug: POST " + target +
             "SendSMS/SingleSMS/ started, \\d+ bytes to send\n"
             "qelsms: info: POST .* -> 200 .*\n"},
        {{"balance", "-v"},
         "wrong-password-42",
         1,
         "qelsms: debug: GET .* started\nqelsms: warning: GET .* -> 401 .*refused by the server\n"
         "[\\s\\S]*"},
    };
    for (const Case& c : cases) {
        const ProgramRun run = qelsms(c.args, "", {{"QELSMS_USER", "ann"}, {"QELSMS_PASSWORD", c.password}});
        EXPECT_EQ(run.status, c.status) << run;
        EXPECT_TRUE(std::regex_match(run.err, std::regex(c.lines))) << run;
        EXPECT_EQ(run.err.find(c.password), std::string::npos) << run;
        EXPECT_EQ(run.err.find("Password"), std::string::npos) << run;
        EXPECT_EQ(run.err.find('?'), std::string::npos) << run;
    }
}

TEST_F(CliTest, ConnectToReachesTheSandboxUnderTheProvidersName) {
    const std::string host = test::productionHost();
    const std::string port = std::to_string(test::productionPort());
    const ProgramRun run = qelsmsRaw({"--connect-to", "unrelated.example:443:127.0.0.1:9", "--connect-to",
                                      host + ":" + port + ":127.0.0.1:" + std::to_string(sandbox().port()),
                                      "--cacert", kCaFile, "balance"},
                                     {{"QELSMS_USER", "ann"}, {"QELSMS_PASSWORD", kPassword}});
    EXPECT_EQ(run.status, 0) << run;
    EXPECT_EQ(run.out, "Balance: 1000\n");
}

TEST_F(CliTest, PlainHttpBaseURLWithOrWithoutTrailingSlash) {
    test::SandboxChild plain({"--http", "--port", "0", "--account", "ann:" + kPassword + ":7"});
    ASSERT_TRUE(plain.url().starts_with("http://")) << plain.url();
    const std::map<std::string, std::string> env{{"QELSMS_USER", "ann"}, {"QELSMS_PASSWORD", kPassword}};
    for (const std::string& url : {plain.url(), plain.url().substr(0, plain.url().size() - 1)}) {
        const ProgramRun run = qelsmsRaw({"--base-url", url, "balance"}, env);
        EXPECT_EQ(run.status, 0) << url << "\n" << run;
        EXPECT_EQ(run.out, "Balance: 7\n");
    }
}

TEST_F(CliTest, HelpForEverySubcommand) {
    const std::map<std::string, std::vector<std::string>> mentions = {
        {"balance", {"Required: the account", "QELSMS_PASSWORD"}},
        {"send",
         {"Required: --sender", "QELSMS_PASSWORD", "--numbers-file", "--message-file", "--report-required",
          "--quorvi-final-url", "8 to 15 digits"}},
        {"bulk",
         {"Required: --sender", "QELSMS_PASSWORD", R"(--scheduled-date is "YYYY-MM-DD HH:MM:SS" in UTC)",
          "--scheduled-date", "--remove-duplicates", "--reference-name", "--report-required",
          "--callback-query-string", "--return-individual-response", "--asynchronous-submission", "--quorvi",
          "--quorvi-base-url", "--quorvi-final-url"}},
        {"custom",
         {"Required: --sender", "number,text", R"(--scheduled-date is "YYYY-MM-DD HH:MM:SS" in UTC)",
          "--header", "--asynchronous-submission"}},
        {"segments", {"Required: the text", "--file"}},
    };
    for (const auto& [subcommand, flags] : mentions) {
        const ProgramRun run = qelsmsRaw({subcommand, "--help"}, {});
        EXPECT_EQ(run.status, 0) << run;
        EXPECT_NE(run.out.find("Usage: qelsms " + subcommand), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("Exit status"), std::string::npos) << run.out;
        for (const auto& flag : flags)
            EXPECT_NE(run.out.find(flag), std::string::npos) << subcommand << " " << flag;
    }
    const ProgramRun top = qelsmsRaw({"--help"}, {});
    EXPECT_EQ(top.status, 0);
    EXPECT_NE(top.out.find("ip route add default dev lo"), std::string::npos) << top.out;
    for (const char* subcommand : {"balance", "send", "bulk", "custom", "segments"})
        EXPECT_NE(top.out.find(subcommand), std::string::npos);
}

TEST(CliVersion, BothProgramsPrintTheProjectVersion) {
    const ProgramRun cli = runProgram(QELSMS_CLI_BINARY, {"--version"}, {});
    EXPECT_EQ(cli.status, 0) << cli;
    EXPECT_EQ(cli.out, std::string("qelsms ") + QELSMS_VERSION + "\n");
    const ProgramRun sandbox = runProgram(QELSMS_SANDBOX_BINARY, {"--version"}, {});
    EXPECT_EQ(sandbox.status, 0) << sandbox;
    EXPECT_EQ(sandbox.out, std::string("qelsms-sandbox ") + QELSMS_VERSION + "\n");
}

// A stray first argument may be a password typed in the wrong place.
TEST_F(CliTest, UnknownSubcommandIsNotEchoed) {
    const ProgramRun run = qelsmsRaw({"Qel-Sentinel"}, {});
    EXPECT_EQ(run.status, 2) << run;
    EXPECT_NE(run.err.find("unknown subcommand"), std::string::npos) << run;
    EXPECT_EQ(run.err.find("Qel-Sentinel"), std::string::npos) << run;
    EXPECT_EQ(run.out.find("Qel-Sentinel"), std::string::npos) << run;
}

// A mistyped subcommand gets the likely one, still without the word typed.
TEST_F(CliTest, AMistypedSubcommandGetsASuggestion) {
    const std::vector<std::pair<std::string, std::string>> cases = {{"sned", "did you mean send?"},
                                                                    {"Balanse", "did you mean balance?"},
                                                                    {"segmnts", "did you mean segments?"},
                                                                    {"cutsom", "did you mean custom?"},
                                                                    {"Qel-Sentinel", ""}};
    for (const auto& [typed, suggestion] : cases) {
        const ProgramRun run = qelsmsRaw({typed, "--user", "Sentinel-User-3"}, {});
        EXPECT_EQ(run.status, 2) << run;
        EXPECT_EQ(run.err.find(typed), std::string::npos) << run;
        EXPECT_EQ(run.err.find("Sentinel-User-3"), std::string::npos) << run;
        if (suggestion.empty()) {
            EXPECT_EQ(run.err.find("did you mean"), std::string::npos) << run;
        } else {
            EXPECT_NE(run.err.find(suggestion), std::string::npos) << run;
        }
    }
}

// Each subcommand's help lists the tool's own options and ends in a short
// footer; the whole one is in the tool's help.
TEST_F(CliTest, SubcommandHelpShowsTheGlobalOptionsAndAShortFooter) {
    for (const char* subcommand : {"balance", "send", "bulk", "custom", "segments"}) {
        const ProgramRun run = qelsmsRaw({subcommand, "--help"}, {});
        EXPECT_EQ(run.status, 0) << run;
        const auto global = run.out.find("Options of qelsms (before or after the subcommand):");
        ASSERT_NE(global, std::string::npos) << run.out;
        for (const char* option : {"--user", "--password-file", "--base-url", "--connect-to", "--cacert",
                                   "--sender", "--json", "--verbose", "--timeout", "--deadline", "--profile"})
            EXPECT_NE(run.out.find(option, global), std::string::npos) << subcommand << " " << option;
        EXPECT_EQ(run.out.find("Signals:"), std::string::npos) << subcommand;
        EXPECT_LT(std::count(run.out.begin() + static_cast<std::ptrdiff_t>(run.out.find("Exit status")),
                             run.out.end(), '\n'),
                  5)
            << run.out;
    }
}

// Profiles under $XDG_CONFIG_HOME/qelsms/, read with CLI11's config support.
class CliProfiles : public CliTest {
protected:
    CliProfiles() {
        dir_ = std::filesystem::temp_directory_path() / ("qelsms_profiles_" + std::to_string(getpid()));
        std::filesystem::create_directories(dir_ / "qelsms");
    }
    ~CliProfiles() override { std::filesystem::remove_all(dir_); }
    void write(const std::string& name, const std::string& content) const {
        std::ofstream(dir_ / "qelsms" / (name + ".conf")) << content;
    }
    std::map<std::string, std::string> env(std::map<std::string, std::string> more = {}) const {
        more["XDG_CONFIG_HOME"] = dir_.string();
        return more;
    }
    std::filesystem::path dir_;
};

TEST_F(CliProfiles, SupplyTheAccountAndSettingsTheCommandLineOverrides) {
    const TempFile passwordFile(kPassword + "\n");
    write("shop", "user = \"ann\"\npassword-file = \"" + passwordFile.path() + "\"\nbase-url = \"" +
                      sandbox().url() + "\"\ncacert = \"" + kCaFile +
                      "\"\nsender = \"Shop\"\ntimeout = 20\n");
    const ProgramRun sent = qelsmsRaw({"--profile", "shop", "send", "-m", "Hi", "97450000001"}, env());
    EXPECT_EQ(sent.status, 0) << sent;
    EXPECT_EQ(messages().size(), 1u);

    const ProgramRun fromEnvironment = qelsmsRaw({"balance"}, env({{"QELSMS_PROFILE", "shop"}}));
    EXPECT_EQ(fromEnvironment.status, 0) << fromEnvironment;
    EXPECT_EQ(fromEnvironment.out, "Balance: 999\n");

    // The command line wins over the profile, the profile over the
    // environment.
    const ProgramRun overridden = qelsmsRaw({"balance", "--profile=shop", "--user", "nobody"}, env());
    EXPECT_EQ(overridden.status, 1) << overridden;
    const ProgramRun overEnvironment = qelsmsRaw({"balance", "--profile", "shop"},
                                                 env({{"QELSMS_USER", "nobody"}, {"QELSMS_PASSWORD", "x"}}));
    EXPECT_EQ(overEnvironment.status, 0) << overEnvironment;
}

TEST_F(CliProfiles, AreRefusedWithAPasswordOrWhenUnusableAndNothingIsSent) {
    write("secret", "user = \"ann\"\nPassword = \"" + kPassword + "\"\n");
    write("dotted", "[account]\naccount.password = \"" + kPassword + "\"\n");
    write("typo", "usr = \"ann\"\n");
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"secret", "holds a password"},
        {"dotted", "holds a password"},
        {"missing", "does not exist"},
        {"../secret", "a profile's name is"},
        {"typo", "usr"},
    };
    for (const auto& [name, expected] : cases) {
        const ProgramRun run = qelsmsRaw({"--profile", name, "balance"}, env());
        EXPECT_EQ(run.status, 2) << name << "\n" << run;
        EXPECT_NE(run.err.find(expected), std::string::npos) << name << "\n" << run;
        EXPECT_EQ(run.err.find(kPassword), std::string::npos) << run;
        EXPECT_EQ(run.out, "") << run;
    }
    EXPECT_EQ(requestCounts().at("total"), 0);
}

constexpr const char* kByteOrderMark = "\xEF\xBB\xBF";

TEST_F(CliTest, EveryInputFileMayStartWithAByteOrderMark) {
    const TempFile numbers(std::string(kByteOrderMark) + "97450000001\n97450000002\n");
    const TempFile text(std::string(kByteOrderMark) + "Hello\n");
    const TempFile csv(std::string(kByteOrderMark) + "97450000003,Hi\n");
    const TempFile password(std::string(kByteOrderMark) + kPassword + "\n");
    const std::map<std::string, std::string> fromFile{{"QELSMS_USER", "ann"}};

    const ProgramRun send = qelsms({"--password-file", password.path(), "send", "--sender", "S",
                                    "--message-file", text.path(), "--numbers-file", numbers.path()},
                                   "", fromFile);
    ASSERT_EQ(send.status, 0) << send;
    const ProgramRun custom = qelsms({"custom", "--sender", "S", csv.path()});
    ASSERT_EQ(custom.status, 0) << custom;
    const ProgramRun segments = qelsms({"segments", "--file", "-"}, std::string(kByteOrderMark) + "abc\n");
    EXPECT_EQ(segments.out, "GSM7: 3 characters, 1 part\n") << segments;

    const json sent = messages();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].at("recipients")[0].at("mobileNumber"), "97450000001");
    EXPECT_EQ(sent[0].at("recipients")[0].at("message"), "Hello");
    EXPECT_EQ(sent[1].at("recipients")[0].at("mobileNumber"), "97450000003");
}

TEST_F(CliTest, InvisibleCharactersInAnErrorAreEscaped) {
    // A zero-width space inside the number and a byte order mark after the
    // first line, where it is part of the text.
    const TempFile numbers(
        "97450000001\n\xEF\xBB\xBF"
        "97450\xE2\x80\x8B"
        "000002\n");
    const ProgramRun run = qelsms({"send", "--sender", "S", "-m", "x", "--numbers-file", numbers.path()});
    EXPECT_EQ(run.status, 1) << run;
    EXPECT_NE(run.err.find(R"(\u{FEFF}97450\u{200B}000002)"), std::string::npos) << run;
    for (const char* invisible : {"\xEF\xBB\xBF", "\xE2\x80\x8B"})
        EXPECT_EQ(run.err.find(invisible), std::string::npos) << run;
}

// Under unshare -n the library's network check finds no default route and
// refuses even a service on loopback; one route over lo is enough.
TEST(CliInIsolatedNamespace, ReachesASandboxOnLoopbackOnceTheNamespaceHasADefaultRoute) {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(fds[0]);
        if (unshare(CLONE_NEWNET) != 0) _exit(77);
        json report;
        try {
            report["lo"] = std::system("ip link set lo up");
            test::SandboxChild sandbox({"--http", "--port", "0"});
            const std::map<std::string, std::string> env{{"QELSMS_USER", "demo"},
                                                         {"QELSMS_PASSWORD", "demo-password"}};
            const std::vector<std::string> args{"--base-url", sandbox.url(), "balance"};
            const ProgramRun before = runProgram(QELSMS_CLI_BINARY, args, env);
            report["route"] = std::system("ip route add default dev lo");
            const ProgramRun after = runProgram(QELSMS_CLI_BINARY, args, env);
            report["before"] = {before.status, before.out, before.err};
            report["after"] = {after.status, after.out, after.err};
        } catch (const std::exception& e) {
            report["exception"] = e.what();
        }
        const std::string out = report.dump();
        (void)!write(fds[1], out.data(), out.size());
        _exit(0);
    }
    close(fds[1]);
    std::string out;
    char buffer[4096];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;)
        out.append(buffer, static_cast<std::size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77) GTEST_SKIP() << "no network namespaces here";
    const json report = json::parse(out, nullptr, false);
    ASSERT_TRUE(report.is_object()) << out;
    ASSERT_FALSE(report.contains("exception")) << report.dump();
    EXPECT_EQ(report["lo"], 0);
    EXPECT_EQ(report["route"], 0);
    EXPECT_EQ(report["before"][0], 1) << report.dump();
    EXPECT_NE(report["before"][2].get<std::string>().find("Network connectivity is falied"),
              std::string::npos)
        << report.dump();
    EXPECT_EQ(report["after"][0], 0) << report.dump();
    EXPECT_EQ(report["after"][1], "Balance: 1000\n") << report.dump();
}

struct SegmentsCase {
    const char* name;
    std::vector<std::string> args;
    std::string input;
    const char* expected;
};

void PrintTo(const SegmentsCase& c, std::ostream* os) {
    *os << c.name;
}

class CliSegments : public testing::TestWithParam<SegmentsCase> {};

// Offline: no account, no server.
TEST_P(CliSegments, PrintsTheEstimate) {
    const SegmentsCase& c = GetParam();
    std::vector<std::string> args{"segments"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const ProgramRun run = runProgram(QELSMS_CLI_BINARY, args, {}, c.input);
    EXPECT_EQ(run.status, 0) << run;
    EXPECT_EQ(run.out, std::string(c.expected) + "\n");
    EXPECT_EQ(run.err, "");
}

INSTANTIATE_TEST_SUITE_P(
    Table, CliSegments,
    testing::Values(
        SegmentsCase{"Gsm", {"Hello"}, "", "GSM7: 5 characters, 1 part"},
        SegmentsCase{"Empty", {""}, "", "GSM7: 0 characters, 1 part"},
        SegmentsCase{"OneCharacter", {"a"}, "", "GSM7: 1 character, 1 part"},
        SegmentsCase{"TwoParts", {std::string(161, 'a')}, "", "GSM7: 161 characters, 2 parts"},
        SegmentsCase{"ExtensionCountsTwo", {"\xE2\x82\xAC"}, "", "GSM7: 2 characters, 1 part"},
        SegmentsCase{"Ucs2", {"\xD9\x85\xD8\xB1\xD8\xAD\xD8\xA8\xD8\xA7"}, "", "UCS2: 5 characters, 1 part"},
        SegmentsCase{"Json", {"--json", "Hello"}, "", R"({"encoding":"GSM7","characters":5,"parts":1})"},
        SegmentsCase{"StandardInput", {"--file", "-"}, "Hi there\n", "GSM7: 8 characters, 1 part"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qelsms
