#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include <qelsms/qelsms.hpp>

namespace qelsms {
namespace {

// Runs `body` in a child process inside a new network namespace (loopback
// only, and down) and returns what it wrote to the pipe, or nullopt when the
// namespace can't be made here.
std::optional<std::string> inEmptyNetworkNamespace(const std::function<std::string()>& body) {
    int fds[2];
    if (pipe(fds) != 0) return std::nullopt;
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        if (unshare(CLONE_NEWNET) != 0) _exit(77);
        const std::string out = body();
        (void)!write(fds[1], out.data(), out.size());
        _exit(0);
    }
    close(fds[1]);
    std::string out;
    char buffer[512];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;)
        out.append(buffer, static_cast<std::size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77) return std::nullopt;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    return out;
}

TEST(NoNetwork, EveryOperationIsRefusedBeforeItReturns) {
    const auto out = inEmptyNetworkNamespace([] {
        SMSManager::user = "user";
        SMSManager::password = "secret";
        std::string log;
        int completions = 0;
        const auto done = [&](nlohmann::json) { ++completions; };
        const auto failed = [&](std::string message) { log += message + "\n"; };
        SMSManager::GetBalance(done, failed);
        SMSManager::SingleSMS({.MobileNumbers = {"97450000001"}, .Message = "m", .SenderName = "s"}, done,
                              failed);
        SMSManager::BulkSMS({.MobileNumbers = {"97450000001"}, .Message = "m", .SenderName = "s"}, done,
                            failed);
        SMSManager::CustomSMS({.MessageDetails = {{"97450000001", "m"}}, .SenderName = "s"}, done, failed);
        Client("user", "secret").GetBalance(done, failed);
        return log + "completions=" + std::to_string(completions);
    });
    if (!out) GTEST_SKIP() << "cannot create a network namespace here";
    const std::string line = "Network connectivity is falied\n";
    EXPECT_EQ(*out, line + line + line + line + line + "completions=0");
}

TEST(NoNetwork, TheOutcomeSaysWhyInWords) {
    const auto out = inEmptyNetworkNamespace([] {
        const Outcome outcome = Client("user-9f3e", "Secret-Pw-6b1d").GetBalance().get();
        return outcome.error().message + "|" + std::string(toString(outcome.error().kind)) + "|" +
               outcome.error().detail;
    });
    if (!out) GTEST_SKIP() << "cannot create a network namespace here";
    EXPECT_EQ(*out,
              "Network connectivity is falied|not-sent|no network: the machine has no default route; nothing "
              "was sent");
}

TEST(NoNetwork, MissingCredentialsAreReportedFirst) {
    const auto out = inEmptyNetworkNamespace([] {
        std::string log;
        SMSManager::SingleSMS({}, nullptr, [&](std::string message) { log += message + "\n"; });
        return log;
    });
    if (!out) GTEST_SKIP() << "cannot create a network namespace here";
    EXPECT_EQ(*out, "Kindly set user and password before sending message\n");
}

}  // namespace
}  // namespace qelsms
