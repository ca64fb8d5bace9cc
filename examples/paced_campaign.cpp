// Sends one text to each number of a list, one SingleSMS per number, at the
// provider's pace: the library keeps to RATE requests per second, retries
// only where the provider certainly did not act, and the summary says which
// numbers are safe to send to again and which must be checked first.
//
//   QELSMS_PASSWORD=... paced_campaign USER SENDER RATE TEXT FILE [--sandbox URL --cacert FILE]
//
// FILE holds one number a line; blank lines are skipped.
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <future>
#include <iostream>
#include <string>
#include <vector>

#include "example_support.hpp"

namespace {

using namespace std::chrono_literals;

std::vector<std::string> readNumbers(const std::string& path) {
    std::vector<std::string> numbers;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
            line.pop_back();
        if (!line.empty()) numbers.push_back(line);
    }
    return numbers;
}

}  // namespace

int main(int argc, char** argv) {
    const auto args = example::takeSandboxOptions(argc, argv);
    if (args.size() != 5) {
        std::cerr << "usage: paced_campaign USER SENDER RATE TEXT FILE [--sandbox URL --cacert FILE]\n";
        return 2;
    }
    const auto password = example::passwordFromEnvironment();
    if (!password) return 2;
    char* end = nullptr;
    const double rate = std::strtod(args[2].c_str(), &end);
    if (*end != '\0' || !(rate > 0)) {
        std::cerr << "RATE must be a positive number of requests per second\n";
        return 2;
    }
    const std::vector<std::string> numbers = readNumbers(args[4]);
    if (numbers.empty()) {
        std::cerr << "no numbers in " << args[4] << '\n';
        return 2;
    }

    // The provider's limit, and retries for what it certainly did not act on:
    // a connection that could not be made, or a 429.
    const qelsms::Client client(args[0], *password, std::string(qelsms::Client::defaultBaseURL()),
                                {.requestsPerSecond = rate,
                                 .burst = 1,
                                 .retry = {.maxAttempts = 4, .firstDelay = 500ms, .maxDelay = 30s}});

    // Every call returns at once; the library holds the rest in its queue and
    // starts them at the account's pace.
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::future<qelsms::Outcome>> outcomes;
    outcomes.reserve(numbers.size());
    for (const std::string& number : numbers) {
        outcomes.push_back(
            client.SingleSMS({.MobileNumbers = {number}, .Message = args[3], .SenderName = args[1]}));
    }

    // An operator's view while the campaign runs.
    while (!qelsms::waitForPending(1s)) {
        const qelsms::EngineStats stats = qelsms::engineStats();
        std::cerr << "queued " << stats.queued << ", in flight " << stats.inFlight << ", waiting to retry "
                  << stats.waitingToRetry << ", ended " << stats.completed << '\n';
    }

    std::size_t accepted = 0;
    int tries = 0;
    std::vector<std::string> safeToResend;
    std::vector<std::string> checkFirst;
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        const qelsms::Outcome outcome = outcomes[i].get();
        tries += outcome.attempts();
        if (outcome.ok()) {
            ++accepted;
        } else if (outcome.error().mayHaveBeenProcessed) {
            checkFirst.push_back(numbers[i]);
        } else {
            safeToResend.push_back(numbers[i]);
        }
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;

    std::cout << accepted << " of " << numbers.size() << " accepted in " << took.count() << " s, " << tries
              << " tries\n";
    for (const std::string& number : safeToResend)
        std::cout << "not sent, safe to send again: " << number << '\n';
    for (const std::string& number : checkFirst)
        std::cout << "outcome unknown, check before sending again: " << number << '\n';
    if (!checkFirst.empty()) return 3;
    return safeToResend.empty() ? 0 : 1;
}
