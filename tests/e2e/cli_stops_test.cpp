// How the qelsms tool ends when it is signalled or the answer is slow, and
// whether its manual page keeps up with its --help.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "child_process.hpp"
#include "sandbox_process.hpp"
#include "test_server.hpp"

namespace qelsms {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

std::string slurp(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The tool as a child whose output goes to files, so that it can be
// signalled while it runs and its wait status read whole.
class Tool {
public:
    explicit Tool(const std::vector<std::string>& args,
                  const std::vector<std::pair<std::string, std::string>>& env = {}) {
        static int counter = 0;
        const std::string stem =
            (std::filesystem::temp_directory_path() /
             ("qelsms_cli_stops_" + std::to_string(getpid()) + "_" + std::to_string(counter++)))
                .string();
        outPath_ = stem + ".out";
        errPath_ = stem + ".err";
        std::vector<std::string> argvStrings{QELSMS_CLI_BINARY};
        argvStrings.insert(argvStrings.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& s : argvStrings)
            argv.push_back(s.data());
        argv.push_back(nullptr);
        pid_ = fork();
        if (pid_ < 0) throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            // The test runner may ignore or block the signals under test.
            ::signal(SIGINT, SIG_DFL);
            ::signal(SIGTERM, SIG_DFL);
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            const int in = open("/dev/null", O_RDONLY);
            const int out = open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int err = open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(in, STDIN_FILENO);
            dup2(out, STDOUT_FILENO);
            dup2(err, STDERR_FILENO);
            setenv("QELSMS_USER", "demo", 1);
            setenv("QELSMS_PASSWORD", "demo-password", 1);
            for (const auto& [name, value] : env)
                setenv(name.c_str(), value.c_str(), 1);
            execv(argv[0], argv.data());
            _exit(127);
        }
    }
    ~Tool() {
        if (!reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        std::filesystem::remove(outPath_);
        std::filesystem::remove(errPath_);
    }
    Tool(const Tool&) = delete;
    Tool& operator=(const Tool&) = delete;

    void signal(int number) const { kill(pid_, number); }

    // The wait status, or nullopt when it still runs after `limit`.
    std::optional<int> waitFor(std::chrono::milliseconds limit) {
        const auto end = Clock::now() + limit;
        while (Clock::now() < end) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                reaped_ = true;
                return status;
            }
            std::this_thread::sleep_for(10ms);
        }
        return std::nullopt;
    }
    std::string out() const { return slurp(outPath_); }
    std::string err() const { return slurp(errPath_); }

private:
    pid_t pid_ = -1;
    bool reaped_ = false;
    std::string outPath_;
    std::string errPath_;
};

test::SandboxProcess& sandbox() {
    static test::SandboxProcess process;
    return process;
}

std::vector<std::string> toSandbox(std::vector<std::string> args) {
    std::vector<std::string> all{"--base-url", sandbox().url(), "--cacert", sandbox().caFile()};
    all.insert(all.end(), args.begin(), args.end());
    return all;
}

// Waits until the sandbox has received `count` submissions: from then on the
// provider has acted.
bool submissionArrived(std::uint64_t count) {
    const auto end = Clock::now() + 20s;
    while (Clock::now() < end) {
        if (sandbox().requestsTo("/api/SendSMS/SingleSMS/") >= count) return true;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

struct SignalCase {
    const char* name;
    int signal;
    bool json;
};

void PrintTo(const SignalCase& c, std::ostream* os) {
    *os << c.name;
}

class CliSignals : public testing::TestWithParam<SignalCase> {
protected:
    void SetUp() override { sandbox().reset(); }
};

// A signal after the submission reached the provider: the tool must say the
// provider may have acted, and end killed by that signal (never 0 or 1, which
// a retry loop would read as "sent" or "safe to send again").
TEST_P(CliSignals, DuringASubmissionSaysTheProviderMayHaveActedAndEndsKilledByIt) {
    const SignalCase& c = GetParam();
    sandbox().armFault({{"type", "delay"}, {"delayMs", 8000}});
    std::vector<std::string> args{"send", "--sender", "Shop", "-m", "hello", "97450000001"};
    if (c.json) args.push_back("--json");
    Tool tool(toSandbox(args));
    ASSERT_TRUE(submissionArrived(1));
    const auto signalled = Clock::now();
    tool.signal(c.signal);
    const std::optional<int> status = tool.waitFor(6s);
    ASSERT_TRUE(status.has_value()) << "still running 6 s after " << c.name;
    RecordProperty(
        "ms_to_exit",
        static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - signalled).count()));
    ASSERT_TRUE(WIFSIGNALED(*status)) << "exit status " << WEXITSTATUS(*status) << "\n" << tool.err();
    EXPECT_EQ(WTERMSIG(*status), c.signal);
    const std::string name = c.signal == SIGINT ? "SIGINT" : "SIGTERM";
    EXPECT_NE(tool.err().find("interrupted by " + name), std::string::npos) << tool.err();
    EXPECT_NE(tool.err().find("may have acted"), std::string::npos) << tool.err();
    if (c.json) {
        const json failure = json::parse(tool.out());
        EXPECT_EQ(failure.at("interrupted"), name);
        EXPECT_EQ(failure.at("mayHaveBeenProcessed"), true);
        EXPECT_EQ(failure.at("kind"), "interrupted");
        EXPECT_NE(failure.at("message").get<std::string>().find("interrupted by " + name), std::string::npos);
    } else {
        EXPECT_EQ(tool.out(), "");
    }
    // It did act: the message is recorded and charged once the delay is over.
    const auto end = Clock::now() + 20s;
    while (sandbox().get("/sandbox/messages").at("messages").empty() && Clock::now() < end)
        std::this_thread::sleep_for(100ms);
    EXPECT_EQ(sandbox().get("/sandbox/messages").at("messages").size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(IntAndTerm, CliSignals,
                         testing::Values(SignalCase{"SIGINT_text", SIGINT, false},
                                         SignalCase{"SIGINT_json", SIGINT, true},
                                         SignalCase{"SIGTERM_json", SIGTERM, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// A plain HTTP server that answers {"balance":1000} one byte every 0.5 s:
// never idle for long, but slow as a whole (8 s).
class Trickler {
public:
    Trickler() {
        server_.Get(".*", [](const httplib::Request&, httplib::Response& res) {
            res.set_chunked_content_provider("application/json",
                                             [](std::size_t offset, httplib::DataSink& sink) {
                                                 static const std::string kBody = R"({"balance":1000})";
                                                 if (offset >= kBody.size()) {
                                                     sink.done();
                                                     return true;
                                                 }
                                                 std::this_thread::sleep_for(500ms);
                                                 return sink.write(kBody.data() + offset, 1);
                                             });
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        while (!server_.is_running())
            std::this_thread::sleep_for(5ms);
    }
    ~Trickler() {
        server_.stop();
        thread_.join();
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/api/"; }

private:
    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
};

// --timeout is the idle limit only: a slow answer that never pauses for
// long outlives `--timeout 2`, and only --deadline bounds the whole.
TEST(CliTimeouts, TimeoutIsIdleTimeAndDeadlineIsTheWhole) {
    Trickler server;
    {
        Tool tool({"--base-url", server.url(), "--timeout", "2", "--json", "balance"});
        const std::optional<int> status = tool.waitFor(30s);
        ASSERT_TRUE(status.has_value());
        ASSERT_TRUE(WIFEXITED(*status));
        EXPECT_EQ(WEXITSTATUS(*status), 0) << tool.err();
        EXPECT_EQ(tool.out(), "{\"balance\":1000}\n");
    }
    {
        Tool tool({"--base-url", server.url(), "--timeout", "2", "--deadline", "2", "--json", "balance"});
        const std::optional<int> status = tool.waitFor(30s);
        ASSERT_TRUE(status.has_value());
        ASSERT_TRUE(WIFEXITED(*status));
        EXPECT_EQ(WEXITSTATUS(*status), 3) << tool.err();
        EXPECT_EQ(json::parse(tool.out()).at("message"), "Client error!");
        // The deadline, not the idle limit nor the tool's own give-up time,
        // ended it: the library says so, whatever the machine's load.
        EXPECT_EQ(json::parse(tool.out()).at("detail"),
                  "timed out: exchange not finished within its deadline of 2 s");
    }
}

// Every long option a --help shows, per program and subcommand.
std::set<std::string> optionsInHelp(const std::string& help) {
    std::set<std::string> options;
    static const std::regex kOption(R"((^|[\s,\[])(--[a-z][a-z0-9-]*))");
    for (auto it = std::sregex_iterator(help.begin(), help.end(), kOption); it != std::sregex_iterator();
         ++it)
        options.insert((*it)[2]);
    return options;
}

std::string helpOf(const std::string& program, const std::vector<std::string>& args) {
    std::string command = program;
    for (const auto& arg : args)
        command += " " + arg;
    command += " 2>&1";
    std::string text;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return text;
    char buffer[4096];
    while (const std::size_t n = fread(buffer, 1, sizeof buffer, pipe))
        text.append(buffer, n);
    pclose(pipe);
    return text;
}

// roff writes "-" as "\-": what a man page's source holds for `option`.
std::string inRoff(const std::string& option) {
    return std::regex_replace(option, std::regex("-"), "\\-");
}

// The manual pages are written by hand: every option --help lists must be in
// them, and the exit statuses with the rule the scripts around the tool rely on.
TEST(CliManPages, ListEveryOptionOfHelpAndEveryExitStatus) {
    const std::string page = slurp(std::string(QELSMS_SOURCE_DIR) + "/tools/man/qelsms.1.in");
    std::set<std::string> options;
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"--help"},
                                               {"balance", "--help"},
                                               {"send", "--help"},
                                               {"bulk", "--help"},
                                               {"custom", "--help"},
                                               {"segments", "--help"}}) {
        for (const auto& option : optionsInHelp(helpOf(QELSMS_CLI_BINARY, args)))
            options.insert(option);
    }
    EXPECT_GT(options.size(), 20u);
    for (const auto& option : options)
        EXPECT_NE(page.find(inRoff(option)), std::string::npos) << option << " is not in qelsms(1)";

    const std::size_t exitSection = page.find(".SH EXIT STATUS");
    ASSERT_NE(exitSection, std::string::npos);
    const std::string exitStatus = page.substr(exitSection, page.find(".SH", exitSection + 1) - exitSection);
    for (const char* status : {".B 0", ".B 1", ".B 2", ".B 3"})
        EXPECT_NE(exitStatus.find(status), std::string::npos) << status;
    EXPECT_NE(exitStatus.find("Only 1 means safe to send again"), std::string::npos);
    EXPECT_NE(page.find(".SH SIGNALS"), std::string::npos);
    const std::string help = helpOf(QELSMS_CLI_BINARY, {"--help"});
    EXPECT_NE(help.find("Only 1 means safe to send again"), std::string::npos);
    EXPECT_NE(help.find("  3  "), std::string::npos);

    const std::string sandboxPage = slurp(std::string(QELSMS_SOURCE_DIR) + "/tools/man/qelsms-sandbox.1.in");
    for (const auto& option : optionsInHelp(helpOf(QELSMS_SANDBOX_BINARY, {"--help"})))
        EXPECT_NE(sandboxPage.find(inRoff(option)), std::string::npos)
            << option << " is not in qelsms-sandbox(1)";
}

struct InputErrorCase {
    const char* name;
    std::string file;  // written to a temporary file, whose path replaces FILE in args
    std::vector<std::string> args;
    std::string expected;  // FILE stands for the file's path
};

void PrintTo(const InputErrorCase& c, std::ostream* os) {
    *os << c.name;
}

class CliInputErrors : public testing::TestWithParam<InputErrorCase> {
protected:
    void SetUp() override { sandbox().reset(); }
};

// A byte that is not UTF-8 is the user's to fix: the tool names the file, the
// line and that byte, exits 2 and sends nothing.
TEST_P(CliInputErrors, NameTheFileTheLineAndTheByte) {
    const InputErrorCase& c = GetParam();
    const auto path =
        std::filesystem::temp_directory_path() / ("qelsms_input_" + std::to_string(getpid()) + "_" + c.name);
    std::ofstream(path, std::ios::binary) << c.file;
    std::vector<std::string> args;
    for (const auto& arg : c.args)
        args.push_back(arg == "FILE" ? path.string() : arg);
    Tool tool(toSandbox(args));
    const std::optional<int> status = tool.waitFor(30s);
    std::filesystem::remove(path);
    ASSERT_TRUE(status.has_value());
    ASSERT_TRUE(WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 2) << tool.err();
    const std::string expected = std::regex_replace(c.expected, std::regex("FILE"), path.string());
    EXPECT_EQ(tool.err(), "qelsms: " + expected + "\n");
    EXPECT_EQ(sandbox().get("/sandbox/requests").at("total"), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CliInputErrors,
    testing::Values(InputErrorCase{"NumbersFile",
                                   "97450000001\n97450000002\n9745\xE9"
                                   "000003\n",
                                   {"send", "--sender", "Shop", "-m", "hi", "--numbers-file", "FILE"},
                                   "FILE:3: byte 0xE9 at column 5 is not valid UTF-8"},
                    InputErrorCase{"MessageFile",
                                   "Hello\nw\xFFrld\n",
                                   {"send", "--sender", "Shop", "--message-file", "FILE", "97450000001"},
                                   "FILE:2: byte 0xFF at column 2 is not valid UTF-8"},
                    InputErrorCase{"CsvFile",
                                   "number,text\n97450000001,ok\n97450000002,caf\xC3(\n",
                                   {"custom", "--sender", "Shop", "--header", "FILE"},
                                   "FILE:3: byte 0xC3 at column 16 is not valid UTF-8"},
                    InputErrorCase{"MessageArgument",
                                   "",
                                   {"send", "--sender", "Shop", "-m", "ab\xC0\xAF", "97450000001"},
                                   "the --message text:1: byte 0xC0 at column 3 is not valid UTF-8"}),
    [](const auto& info) { return std::string(info.param.name); });

// An OpenSSL configuration that lets both sides speak TLS 1.0, as some
// systems' do for old peers.
const char* kPermissiveOpenSslConf = R"(openssl_conf = default_conf
[default_conf]
ssl_conf = ssl_sect
[ssl_sect]
system_default = system_default_sect
[system_default_sect]
MinProtocol = TLSv1
CipherString = DEFAULT@SECLEVEL=0
)";

// A server that speaks only TLS 1.0, under a configuration that allows it on
// both sides: the library must still refuse, on its own floor of TLS 1.2, and
// its log must name the protocol version rather than the certificate.
TEST(TlsFloor, RefusesTls10WhateverOpenSslConfAllows) {
    const auto conf =
        std::filesystem::temp_directory_path() / ("qelsms_tls_" + std::to_string(getpid()) + ".cnf");
    std::ofstream(conf) << kPermissiveOpenSslConf;
    const std::string certs = QELSMS_CERTS_DIR;
    test::ChildProcess server({"env", "OPENSSL_CONF=" + conf.string(), "openssl", "s_server", "-tls1", "-www",
                               "-accept", "127.0.0.1:0", "-cert", certs + "/server.pem", "-key",
                               certs + "/server.key"});
    // It says "ACCEPT 127.0.0.1:PORT" once it listens.
    std::string port;
    while (const auto line = server.readLine(10s)) {
        if (line->starts_with("ACCEPT ")) {
            port = line->substr(line->rfind(':') + 1);
            break;
        }
    }
    ASSERT_FALSE(port.empty()) << "openssl s_server did not start";

    Tool tool({"--base-url", "https://127.0.0.1:" + port + "/api/", "--cacert", certs + "/ca.pem",
               "--verbose", "--json", "balance"},
              {{"OPENSSL_CONF", conf.string()}});
    const std::optional<int> status = tool.waitFor(30s);
    server.signal(SIGTERM);
    server.wait();
    std::filesystem::remove(conf);
    ASSERT_TRUE(status.has_value());
    ASSERT_TRUE(WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 1) << tool.out() << tool.err();
    const json failure = json::parse(tool.out());
    EXPECT_EQ(failure.at("kind"), "could-not-connect");
    EXPECT_EQ(failure.at("mayHaveBeenProcessed"), false);
    EXPECT_NE(tool.err().find("TLS protocol version refused"), std::string::npos) << tool.err();
    EXPECT_EQ(tool.err().find("certificate not trusted"), std::string::npos) << tool.err();
}

}  // namespace
}  // namespace qelsms
