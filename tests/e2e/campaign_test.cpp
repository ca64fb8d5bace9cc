// qelsms campaigns as a separate process against qelsms-sandbox: batches, the
// journal under SIGKILL and SIGINT, resuming, the dry run, progress and pacing.
// The sandbox's record of messages is the witness of what was sent.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "child_process.hpp"
#include "sandbox_process.hpp"

namespace qelsms {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
namespace fs = std::filesystem;

const std::string kPassword = "campaign-secret";

// A started qelsms, its output going to files so it can be killed at any
// moment without a pipe to drain.
class Cli {
public:
    // Runs qelsms with `args`, or, given `program`, that program with `args`.
    Cli(const std::vector<std::string>& args, const fs::path& dir, const std::string& input = "/dev/null",
        const std::string& program = QELSMS_CLI_BINARY)
        : out_(dir / "out"), err_(dir / "err") {
        test::ExecArgs exec(program, args, {"QELSMS_USER=ann", "QELSMS_PASSWORD=" + kPassword});
        pid_ = fork();
        if (pid_ < 0) throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            const int in = open(input.c_str(), O_RDONLY);
            const int out = open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int err = open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(in, STDIN_FILENO);
            dup2(out, STDOUT_FILENO);
            dup2(err, STDERR_FILENO);
            execve(exec.argv()[0], exec.argv(), exec.envp());
            _exit(127);
        }
    }
    ~Cli() {
        if (!reaped_) {
            kill(pid_, SIGKILL);
            wait();
        }
    }
    Cli(const Cli&) = delete;
    Cli& operator=(const Cli&) = delete;

    void signal(int number) const { kill(pid_, number); }

    // Waits for the end (killing the child after 120 s, a hang); the exit
    // status, or -signal when a signal ended it.
    int wait() {
        const auto deadline = std::chrono::steady_clock::now() + 120s;
        int status = 0;
        rusage usage{};
        while (wait4(pid_, &status, WNOHANG, &usage) == 0) {
            if (std::chrono::steady_clock::now() > deadline) kill(pid_, SIGKILL);
            std::this_thread::sleep_for(5ms);
        }
        reaped_ = true;
        maxRssKiB_ = usage.ru_maxrss;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    }

    // The exit status (as wait()) if the child ends within `limit`.
    std::optional<int> waitFor(std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        int status = 0;
        rusage usage{};
        while (wait4(pid_, &status, WNOHANG, &usage) == 0) {
            if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
            std::this_thread::sleep_for(5ms);
        }
        reaped_ = true;
        maxRssKiB_ = usage.ru_maxrss;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    }

    // The child's peak resident set, once it has ended.
    long maxRssKiB() const { return maxRssKiB_; }
    std::string out() const { return slurp(out_); }
    std::string err() const { return slurp(err_); }

private:
    static std::string slurp(const fs::path& path) {
        std::ostringstream text;
        text << std::ifstream(path, std::ios::binary).rdbuf();
        return text.str();
    }

    fs::path out_;
    fs::path err_;
    pid_t pid_ = -1;
    bool reaped_ = false;
    long maxRssKiB_ = 0;
};

struct Finished {
    int status;
    std::string out;
    std::string err;
};

std::ostream& operator<<(std::ostream& os, const Finished& run) {
    return os << "status " << run.status << "\nstdout: " << run.out.substr(0, 4000)
              << "\nstderr: " << run.err.substr(0, 4000);
}

class CampaignTest : public testing::Test {
protected:
    static test::SandboxProcess& sandbox() {
        static test::SandboxProcess process({"--account", "ann:" + kPassword + ":100000000"});
        return process;
    }

    void SetUp() override {
        sandbox().reset();
        static int counter = 0;
        dir_ = fs::temp_directory_path() /
               ("qelsms_campaign_e2e_" + std::to_string(getpid()) + "_" + std::to_string(counter++));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string file(const std::string& name, const std::string& content) const {
        std::ofstream(dir_ / name, std::ios::binary) << content;
        return (dir_ / name).string();
    }
    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    // `count` numbers starting at 97450000000 + `first`, one a line.
    std::string numbersFile(std::size_t count, std::size_t first = 0) const {
        std::string text;
        for (std::size_t i = 0; i < count; ++i)
            text += std::to_string(97450000000ULL + first + i) + "\n";
        return file("numbers-" + std::to_string(count) + "-" + std::to_string(first), text);
    }

    std::vector<std::string> connection(std::vector<std::string> args) const {
        std::vector<std::string> all{"--base-url", sandbox().url(), "--cacert", sandbox().caFile()};
        all.insert(all.end(), args.begin(), args.end());
        return all;
    }

    std::unique_ptr<Cli> start(const std::vector<std::string>& args) const {
        return std::make_unique<Cli>(connection(args), dir_);
    }

    Finished run(const std::vector<std::string>& args) const {
        Cli cli(connection(args), dir_);
        const int status = cli.wait();
        return {status, cli.out(), cli.err()};
    }

    // How many times each number reached the sandbox, and with which texts.
    static std::map<std::string, int> arrivals(
        std::map<std::string, std::vector<std::string>>* texts = nullptr) {
        std::map<std::string, int> counts;
        const json all = sandbox().get("/sandbox/messages");
        for (const json& message : all.at("messages")) {
            for (const json& recipient : message.at("recipients")) {
                const std::string number = recipient.at("mobileNumber");
                ++counts[number];
                if (texts != nullptr) (*texts)[number].push_back(recipient.at("message"));
            }
        }
        return counts;
    }

    static std::uint64_t bulkRequests() { return sandbox().requestsTo("/api/SendSMS/BulkSMS/"); }

    // Waits, up to 30 s, until the sandbox has seen `count` bulk requests.
    static void awaitBulkRequests(std::uint64_t count) {
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (bulkRequests() < count && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(10ms);
    }

    fs::path dir_;
};

std::vector<std::string> bulkArgs(const std::string& numbers, const std::string& batchSize,
                                  std::vector<std::string> more = {}) {
    std::vector<std::string> args{"bulk",           "--sender", "Shop",         "-m",     "Campaign text",
                                  "--numbers-file", numbers,    "--batch-size", batchSize};
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

std::set<std::string> uncertainNumbers(const json& summary) {
    std::set<std::string> numbers;
    for (const json& batch : summary.at("uncertainBatches"))
        for (const json& number : batch.at("numbers"))
            numbers.insert(number.get<std::string>());
    return numbers;
}

TEST_F(CampaignTest, SigkillAtRandomMomentsNeitherDoublesNorLosesANumber) {
    constexpr std::size_t kNumbers = 20'000;
    const std::string numbers = numbersFile(kNumbers);
    const std::string journal = path("crash.db");
    const auto args = bulkArgs(numbers, "250", {"--journal", journal, "--json"});

    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    // Each run is killed a random moment after its first request reached the
    // sandbox, so that every kill lands while batches are on their way,
    // however slow the machine: between two batches, while one is leaving, or
    // while its outcome is being written.
    std::uniform_int_distribution<int> delayMs(0, 150);
    int kills = 0;
    for (int attempt = 0; attempt < 10; ++attempt) {
        const std::uint64_t before = bulkRequests();
        auto cli = start(args);
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (bulkRequests() == before && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(1ms);
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs(random)));
        cli->signal(SIGKILL);
        const int status = cli->wait();
        if (status == -SIGKILL) {
            ++kills;
        } else {
            // The campaign finished before the kill: nothing left to break.
            ASSERT_TRUE(status == 0 || status == 3) << status << "\n" << cli->err();
            break;
        }
    }
    EXPECT_GE(kills, 1);

    const Finished last = run(args);
    ASSERT_TRUE(last.status == 0 || last.status == 3) << last;
    const json summary = json::parse(last.out);
    EXPECT_EQ(summary.at("batches"), 80);
    EXPECT_EQ(summary.at("refused"), 0);
    EXPECT_EQ(summary.at("notSent"), 0);
    EXPECT_EQ(summary.at("accepted").get<int>() + summary.at("uncertain").get<int>(), 80);
    EXPECT_EQ(last.status == 3, summary.at("uncertain") != 0);
    const std::set<std::string> uncertain = uncertainNumbers(summary);
    EXPECT_EQ(uncertain.size(), 250 * summary.at("uncertain").get<std::size_t>());
    RecordProperty("kills", kills);
    RecordProperty("uncertainBatches", summary.at("uncertain").get<int>());

    const std::map<std::string, int> arrived = arrivals();
    std::size_t missing = 0;
    for (std::size_t i = 0; i < kNumbers; ++i) {
        const std::string number = std::to_string(97450000000ULL + i);
        const auto found = arrived.find(number);
        const int times = found == arrived.end() ? 0 : found->second;
        ASSERT_LE(times, 1) << number << " reached the service twice";
        if (!uncertain.contains(number) && times != 1) ++missing;
    }
    EXPECT_EQ(missing, 0u) << "numbers outside uncertain batches that never arrived";
    std::size_t known = 0;
    for (std::size_t i = 0; i < kNumbers; ++i)
        known += arrived.contains(std::to_string(97450000000ULL + i)) ? 1 : 0;
    EXPECT_EQ(arrived.size(), known) << "numbers that are not in the file arrived";
}

TEST_F(CampaignTest, RefusedBatchesAreSentAgainOnResumeAndAcceptedOnesSkipped) {
    // 1500 credits: batch 1 takes 1000, batch 2 needs 1000 more and is
    // refused, batch 3 takes the last 500.
    sandbox().putAccount("ann", kPassword, 1500);
    const std::string numbers = numbersFile(2500);
    const std::string journal = path("refused.db");
    const auto args = bulkArgs(numbers, "1000", {"--journal", journal, "--json"});

    const Finished first = run(args);
    EXPECT_EQ(first.status, 1) << first;
    json summary = json::parse(first.out);
    EXPECT_EQ(summary.at("accepted"), 2);
    EXPECT_EQ(summary.at("refused"), 1);
    EXPECT_EQ(summary.at("uncertain"), 0);
    EXPECT_EQ(summary.at("journal"), journal);
    EXPECT_NE(first.err.find("batch 2: "), std::string::npos) << first;

    sandbox().putAccount("ann", kPassword, 1000);
    const Finished second = run(args);
    EXPECT_EQ(second.status, 0) << second;
    summary = json::parse(second.out);
    EXPECT_EQ(summary.at("accepted"), 3);
    EXPECT_EQ(summary.at("sentThisRun"), 1);
    EXPECT_EQ(summary.at("skipped"), 2);
    EXPECT_EQ(bulkRequests(), 4u);

    const auto arrived = arrivals();
    EXPECT_EQ(arrived.size(), 2500u);
    for (const auto& [number, times] : arrived)
        ASSERT_EQ(times, 1) << number;
}

TEST_F(CampaignTest, UncertainBatchIsListedAndSentAgainOnlyWhenAsked) {
    const std::string numbers = numbersFile(300);
    const std::string journal = path("uncertain.db");
    // Faults queue up: the first request is only delayed, the second is
    // processed and then its connection is reset.
    sandbox().armFault({{"type", "delay"}, {"delayMs", 1}, {"path", "/api/SendSMS/BulkSMS/"}});
    sandbox().armFault({{"type", "reset"}, {"path", "/api/SendSMS/BulkSMS/"}});
    const auto args = bulkArgs(numbers, "100", {"--journal", journal});

    const Finished first = run(args);
    EXPECT_EQ(first.status, 3) << first;
    EXPECT_NE(first.out.find("Batches: 3: 2 accepted, 0 refused, 1 uncertain, 0 not sent"), std::string::npos)
        << first;
    EXPECT_NE(first.out.find("Uncertain batch 2 (100 numbers):\n  97450000100\n"), std::string::npos)
        << first;
    EXPECT_NE(first.out.find("Journal: " + journal), std::string::npos) << first;

    // Resumed without --resend-uncertain: nothing is sent, batch 2 stays
    // uncertain.
    const Finished again = run(args);
    EXPECT_EQ(again.status, 3) << again;
    EXPECT_EQ(bulkRequests(), 3u);
    json summary = json::parse(run(bulkArgs(numbers, "100", {"--journal", journal, "--json"})).out);
    EXPECT_EQ(summary.at("uncertain"), 1);
    ASSERT_EQ(summary.at("uncertainBatches").size(), 1u);
    EXPECT_EQ(summary.at("uncertainBatches")[0].at("batch"), 2);
    EXPECT_EQ(summary.at("uncertainBatches")[0].at("numbers").size(), 100u);
    EXPECT_EQ(summary.at("uncertainBatches")[0].at("numbers")[0], "97450000100");

    const Finished resent = run(bulkArgs(numbers, "100", {"--journal", journal, "--resend-uncertain"}));
    EXPECT_EQ(resent.status, 0) << resent;
    EXPECT_EQ(bulkRequests(), 4u);
    // The reset request had been processed: the operator chose the double.
    const auto arrived = arrivals();
    EXPECT_EQ(arrived.at("97450000100"), 2);
    EXPECT_EQ(arrived.at("97450000000"), 1);
}

struct MismatchCase {
    const char* name;
    std::vector<std::string> change;  // replaces the option before it
};

void PrintTo(const MismatchCase& c, std::ostream* os) {
    *os << c.name;
}

class CampaignMismatch : public CampaignTest, public testing::WithParamInterface<MismatchCase> {};

TEST_P(CampaignMismatch, ExitsTwoNamingTheJournalAndSendsNothing) {
    const std::string numbers = numbersFile(300);
    const std::string journal = path("mismatch.db");
    sandbox().putAccount("ann", kPassword, 100);
    const Finished first = run(bulkArgs(numbers, "100", {"--journal", journal}));
    ASSERT_EQ(first.status, 1) << first;  // batches 2 and 3 refused for credit
    sandbox().putAccount("ann", kPassword, 100000);

    std::vector<std::string> args = bulkArgs(numbers, "100", {"--journal", journal});
    const std::string what = GetParam().change[0];
    if (what == "--numbers-file") {
        std::ofstream(numbers, std::ios::app) << "97450009999\n";
    } else {
        const auto at = std::find(args.begin(), args.end(), what);
        ASSERT_NE(at, args.end());
        *(at + 1) = GetParam().change[1];
    }
    const std::uint64_t before = bulkRequests();
    const Finished resumed = run(args);
    EXPECT_EQ(resumed.status, 2) << resumed;
    EXPECT_NE(resumed.err.find("journal " + journal), std::string::npos) << resumed;
    EXPECT_NE(resumed.err.find("nothing was sent"), std::string::npos) << resumed;
    EXPECT_EQ(bulkRequests(), before);
}

INSTANTIATE_TEST_SUITE_P(Cases, CampaignMismatch,
                         testing::Values(MismatchCase{"inputFile", {"--numbers-file"}},
                                         MismatchCase{"message", {"-m", "Another text"}},
                                         MismatchCase{"sender", {"--sender", "Other"}},
                                         MismatchCase{"batchSize", {"--batch-size", "150"}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CampaignTest, DryRunCountsWithoutSendingAndAsksTheBalanceOnce) {
    std::string list = "97450000001\n+4915112345678\n1234\n97450000002\n# comment\n";
    const std::string numbers = file("dry.txt", list);
    // 161 GSM characters take two parts.
    const std::string text(161, 'a');
    const Finished dry = run({"bulk", "--sender", "Shop", "-m", text, "--numbers-file", numbers,
                              "--batch-size", "3", "--dry-run", "--region", "qa", "--json"});
    ASSERT_EQ(dry.status, 0) << dry;
    const json out = json::parse(dry.out);
    EXPECT_EQ(out.at("numbers"), 4);
    EXPECT_EQ(out.at("batches"), 2);
    EXPECT_EQ(out.at("credits"), 8);
    EXPECT_EQ(out.at("partsPerMessage").at("max"), 2);
    EXPECT_EQ(out.at("balance"), 100000000);
    EXPECT_EQ(out.at("region"), "QA");
    EXPECT_EQ(out.at("invalid"), 1);
    EXPECT_EQ(out.at("invalidNumbers"), json::parse(R"([{"line": 3, "number": "1234"}])"));
    const json requests = sandbox().get("/sandbox/requests");
    EXPECT_EQ(requests.at("total"), 1) << requests;
    EXPECT_EQ(requests.at("paths").value("/api/Credits/GetBalance/", 0), 1) << requests;

    // Without --region nothing is judged; an unknown region is a usage error.
    const json unjudged =
        json::parse(run({"bulk", "-m", "Hi", "--numbers-file", numbers, "--dry-run", "--json"}).out);
    EXPECT_TRUE(unjudged.at("invalid").is_null());
    EXPECT_EQ(unjudged.at("batches"), 1);
    EXPECT_EQ(run({"bulk", "-m", "Hi", "--numbers-file", numbers, "--dry-run", "--region", "XX"}).status, 2);
    EXPECT_EQ(sandbox().get("/sandbox/messages").at("messages").size(), 0u);
}

TEST_F(CampaignTest, DryRunOverAMillionNumbersStaysUnderAHundredMegabytes) {
    // The input is streamed: what the tool holds does not grow with the file
    // (here 12 MB, which a reader keeping every number would hold several
    // times over).
    std::ofstream list(dir_ / "million.txt");
    for (std::uint64_t i = 0; i < 1'000'000; ++i)
        list << 97450000000 + i << '\n';
    list.close();
    Cli cli(connection({"bulk", "-m", "Hi", "--numbers-file", path("million.txt"), "--dry-run", "--json"}),
            dir_);
    ASSERT_EQ(cli.wait(), 0) << cli.err();
    const json out = json::parse(cli.out());
    EXPECT_EQ(out.at("numbers"), 1'000'000);
    EXPECT_EQ(out.at("batches"), 1000);
    EXPECT_LT(cli.maxRssKiB(), 100 * 1024);
}

TEST_F(CampaignTest, CustomCsvIsSentInBatchesEachRowWithItsText) {
    std::string csv = "number,text\n";
    for (int i = 0; i < 25; ++i)
        csv += std::to_string(97450000000 + i) + ",\"Hello, " + std::to_string(i) + "\"\n";
    const std::string path = file("rows.csv", csv);
    const Finished sent =
        run({"custom", "--sender", "Shop", path, "--header", "--batch-size", "10", "--json"});
    ASSERT_EQ(sent.status, 0) << sent;
    EXPECT_EQ(json::parse(sent.out).at("batches"), 3);
    EXPECT_EQ(sandbox().requestsTo("/api/SendSMS/CustomSMS/"), 3u);
    std::map<std::string, std::vector<std::string>> texts;
    const auto arrived = arrivals(&texts);
    ASSERT_EQ(arrived.size(), 25u);
    EXPECT_EQ(texts.at("97450000007"), std::vector<std::string>{"Hello, 7"});

    // A number twice in one batch would lose one of its texts: refused
    // before anything leaves.
    sandbox().reset();
    const std::string twice = file("twice.csv", "97450000001,a\n97450000002,b\n97450000001,c\n");
    const Finished refused = run({"custom", "--sender", "Shop", twice, "--batch-size", "10"});
    EXPECT_EQ(refused.status, 2) << refused;
    EXPECT_NE(refused.err.find(":3: number 97450000001 is already listed on line 1"), std::string::npos)
        << refused;
    EXPECT_EQ(sandbox().get("/sandbox/requests").at("total"), 0);
}

TEST_F(CampaignTest, ProgressOffATerminalIsPlainLinesAtMostOneATenth) {
    const Finished sent = run(bulkArgs(numbersFile(2000), "50"));
    ASSERT_EQ(sent.status, 0) << sent;
    EXPECT_EQ(sent.err.find('\r'), std::string::npos);
    EXPECT_EQ(sent.err.find('\x1b'), std::string::npos);
    std::vector<std::string> lines;
    std::istringstream in(sent.err);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    ASSERT_EQ(lines.size(), 10u) << sent;
    EXPECT_TRUE(lines[0].starts_with("qelsms: 4/40 batches, 200/2000 numbers, ")) << lines[0];
    EXPECT_TRUE(lines[9].starts_with("qelsms: 40/40 batches, 2000/2000 numbers, ")) << lines[9];
    EXPECT_EQ(sent.out,
              "Batches: 40: 40 accepted, 0 refused, 0 uncertain, 0 not sent (40 sent by this run, 0 "
              "skipped)\n");
}

TEST_F(CampaignTest, SigintStopsAtTheBatchBoundaryAndTheJournalResumes) {
    const std::string numbers = numbersFile(500);
    const std::string journal = path("interrupted.db");
    // One request every two seconds: the signal comes while the tool waits
    // for the second.
    const auto args = bulkArgs(numbers, "100", {"--journal", journal, "--rate", "0.5", "--json"});
    auto cli = start(args);
    awaitBulkRequests(1);
    ASSERT_EQ(bulkRequests(), 1u);
    cli->signal(SIGINT);
    const int status = cli->wait();
    EXPECT_EQ(status, -SIGINT) << "a shell loop around the tool must stop too; " << cli->err();
    EXPECT_NE(cli->err().find("qelsms: interrupted by SIGINT"), std::string::npos) << cli->err();
    const json summary = json::parse(cli->out());
    EXPECT_EQ(summary.at("interrupted"), true);
    EXPECT_EQ(summary.at("uncertain"), 0);
    EXPECT_GE(summary.at("accepted").get<int>(), 1);
    EXPECT_GE(summary.at("notSent").get<int>(), 1);
    EXPECT_EQ(summary.at("accepted").get<std::uint64_t>(), bulkRequests());

    const Finished rest = run(bulkArgs(numbers, "100", {"--journal", journal, "--json"}));
    EXPECT_EQ(rest.status, 0) << rest;
    const auto arrived = arrivals();
    EXPECT_EQ(arrived.size(), 500u);
    for (const auto& [number, times] : arrived)
        ASSERT_EQ(times, 1) << number;
}

// The first signal lets the batch on its way get its outcome; a second one
// ends the run at once, and the journal, which shows that batch leaving with
// no outcome, makes a resume list it as uncertain and send the rest.
TEST_F(CampaignTest, ASecondSignalEndsTheRunAtOnceAndItsBatchStaysUncertain) {
    constexpr auto kAnswerDelay = 15s;
    const std::string numbers = numbersFile(300);
    const std::string journal = path("twice.db");
    const auto args = bulkArgs(numbers, "100", {"--journal", journal, "--json"});
    sandbox().armFault({{"type", "delay"},
                        {"delayMs", std::chrono::milliseconds(kAnswerDelay).count()},
                        {"path", "/api/SendSMS/BulkSMS/"}});
    auto cli = start(args);
    awaitBulkRequests(1);
    ASSERT_EQ(bulkRequests(), 1u);

    cli->signal(SIGINT);
    EXPECT_EQ(cli->waitFor(1500ms), std::nullopt) << "the first signal waits for the batch on its way";
    const auto second = std::chrono::steady_clock::now();
    cli->signal(SIGINT);
    const std::optional<int> status = cli->waitFor(kAnswerDelay - 5s);
    ASSERT_TRUE(status.has_value()) << "the second signal did not end the run";
    EXPECT_EQ(*status, -SIGINT);
    EXPECT_LT(std::chrono::steady_clock::now() - second, kAnswerDelay - 5s);

    const Finished resumed = run(args);
    EXPECT_EQ(resumed.status, 3) << resumed;
    const json summary = json::parse(resumed.out);
    EXPECT_EQ(summary.at("uncertain"), 1);
    EXPECT_EQ(summary.at("accepted"), 2);
    EXPECT_EQ(uncertainNumbers(summary).size(), 100u);
    EXPECT_EQ(bulkRequests(), 3u) << "the uncertain batch was not sent again";

    // The sandbox records the first batch once its delay is over; wait for it
    // here, so that it doesn't land in the next test's records.
    const auto recorded = std::chrono::steady_clock::now() + kAnswerDelay + 30s;
    while (arrivals().size() < 300 && std::chrono::steady_clock::now() < recorded)
        std::this_thread::sleep_for(100ms);
    for (const auto& [number, times] : arrivals())
        ASSERT_EQ(times, 1) << number;
}

// On a terminal (a pseudo-terminal from util-linux's script), a run above
// --confirm-above asks first and draws its progress in place.
TEST_F(CampaignTest, OnATerminalAsksBeforeSpendingAndRewritesOneProgressLine) {
    const std::string numbers = numbersFile(50);
    const auto onTerminal = [&](const std::string& answer, std::vector<std::string> more) {
        std::string command = QELSMS_CLI_BINARY;
        for (const std::string& arg : connection(bulkArgs(numbers, "10", std::move(more))))
            command += " '" + arg + "'";
        Cli cli({"-qec", command, "/dev/null"}, dir_, file("answer", answer), "/usr/bin/script");
        const int status = cli.wait();
        return Finished{status, cli.out(), cli.err()};
    };

    const Finished declined = onTerminal("n\n", {"--confirm-above", "10"});
    EXPECT_EQ(declined.status, 1) << declined;
    EXPECT_NE(
        declined.out.find("This run sends 50 numbers in 5 requests and needs about 50 credits. Send? [y/N]"),
        std::string::npos)
        << declined;
    EXPECT_NE(declined.out.find("nothing sent"), std::string::npos) << declined;
    EXPECT_EQ(sandbox().get("/sandbox/requests").at("total"), 0);

    const Finished below = onTerminal("", {"--confirm-above", "50"});
    EXPECT_EQ(below.status, 0) << below;
    EXPECT_EQ(below.out.find("Send?"), std::string::npos) << below;
    EXPECT_NE(below.out.find("\r\x1b[Kqelsms: 5/5 batches, 50/50 numbers, "), std::string::npos) << below;

    const Finished agreed = onTerminal("y\n", {"--confirm-above", "10"});
    EXPECT_EQ(agreed.status, 0) << agreed;
    const Finished yes = onTerminal("", {"--confirm-above", "10", "--yes"});
    EXPECT_EQ(yes.status, 0) << yes;
    EXPECT_EQ(yes.out.find("Send?"), std::string::npos) << yes;
    EXPECT_EQ(bulkRequests(), 15u);
}

TEST_F(CampaignTest, RateSpacesTheRequests) {
    // Five requests at four a second: the last leaves a second after the
    // first at the earliest. Only the lower bound is the behaviour.
    const auto started = std::chrono::steady_clock::now();
    const Finished sent = run(bulkArgs(numbersFile(50), "10", {"--rate", "4"}));
    const auto took = std::chrono::steady_clock::now() - started;
    ASSERT_EQ(sent.status, 0) << sent;
    EXPECT_EQ(bulkRequests(), 5u);
    EXPECT_GE(took, 1s);
    EXPECT_EQ(run(bulkArgs(numbersFile(5), "10", {"--rate", "0"})).status, 2);
    EXPECT_EQ(run(bulkArgs(numbersFile(5), "10", {"--retries", "-1"})).status, 2);
}

// --retries is the library's RetryPolicy: a 429 is tried again after its
// Retry-After; a request the provider may have read never is.
TEST_F(CampaignTest, RetriesGoThroughTheLibraryAndNeverResendWhatMayHaveBeenRead) {
    sandbox().armFault({{"type", "throttle"}, {"retryAfter", 1}, {"path", "/api/SendSMS/BulkSMS/"}});
    const Finished throttled = run(bulkArgs(numbersFile(10), "10", {"--retries", "2"}));
    EXPECT_EQ(throttled.status, 0) << throttled;
    EXPECT_EQ(bulkRequests(), 2u);

    sandbox().armFault({{"type", "reset"}, {"path", "/api/SendSMS/BulkSMS/"}});
    const Finished reset = run(bulkArgs(numbersFile(10, 100), "10", {"--retries", "2"}));
    EXPECT_NE(reset.status, 0) << reset;
    EXPECT_EQ(bulkRequests(), 3u) << "the reset request was not sent again";

    sandbox().armFault({{"type", "throttle"}, {"path", "/api/SendSMS/BulkSMS/"}});
    const Finished unretried = run(bulkArgs(numbersFile(10, 200), "10", {}));
    EXPECT_NE(unretried.status, 0) << unretried;
    EXPECT_EQ(bulkRequests(), 4u) << "without --retries a 429 is not tried again";
}

}  // namespace
}  // namespace qelsms
