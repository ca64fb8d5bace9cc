#include "campaign.hpp"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <future>
#include <iostream>
#include <thread>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>

#include "campaign_plan.hpp"
#include "input_files.hpp"
#include "interrupt.hpp"
#include "journal.hpp"
#include "number_check.hpp"
#include "number_stream.hpp"
#include "progress.hpp"

namespace qelsms::cli {

namespace {

using Json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

// --rate and --retries as the library's pacing of the campaign's client: at
// most R requests a second, one at a time after a pause, and N further tries
// of a request where the library knows the provider did not act on it. The
// tool never sends a batch again on its own: after a failure it cannot tell
// better than the library whether a retry would double it.
AccountOptions pacingOf(const CampaignOptions& campaign) {
    AccountOptions pacing;
    if (campaign.rate) pacing.requestsPerSecond = *campaign.rate;
    pacing.retry.maxAttempts = 1 + campaign.retries.value_or(0);
    return pacing;
}

// How long a request may wait in the library's queue before it leaves: its
// turn at the account's rate, and a 429's pause before each further try.
std::chrono::milliseconds longestWait(const AccountOptions& pacing) {
    std::chrono::milliseconds wait{0};
    if (pacing.requestsPerSecond > 0)
        wait +=
            std::chrono::milliseconds(static_cast<long long>(std::ceil(1000.0 / pacing.requestsPerSecond)));
    return wait + pacing.retry.maxDelay * (pacing.retry.maxAttempts - 1);
}

std::string compact(const nlohmann::json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// Asks on a terminal before spending more than --confirm-above credits.
bool confirmed(const CampaignOptions& campaign, std::size_t numbers, std::size_t batches,
               std::uint64_t credits) {
    if (campaign.yes || credits <= campaign.confirmAbove) return true;
    if (isatty(STDIN_FILENO) == 0 || isatty(STDERR_FILENO) == 0) return true;
    std::cerr << "This run sends " << numbers << " numbers in " << batches
              << (batches == 1 ? " request" : " requests") << " and needs about " << credits
              << " credits. Send? [y/N] " << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer)) return false;
    return answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes";
}

std::future<Outcome> submit(const Client& client, const Job& job, const std::string& sender,
                            std::vector<CampaignRecord>& batch) {
    const MessageOptions& o = job.options;
    if (job.command == "custom") {
        MessageMap messages;
        for (CampaignRecord& record : batch)
            messages.emplace(std::move(record.number), std::move(record.text));
        return client.CustomSMS(CustomSMSRequest{
            std::move(messages), sender, o.scheduledDate, o.removeDuplicates, o.referenceName,
            o.reportRequired, o.callbackQueryString, o.returnIndividualResponse, o.asynchronousSubmission,
            o.quorvi, o.quorviBaseURL, o.quorviFinalURL});
    }
    std::vector<std::string> numbers;
    numbers.reserve(batch.size());
    for (CampaignRecord& record : batch)
        numbers.push_back(std::move(record.number));
    if (job.command == "send") {
        return client.SingleSMS(SingleSMSRequest{std::move(numbers), *job.text, sender, o.reportRequired,
                                                 o.callbackQueryString, o.referenceName, o.quorvi,
                                                 o.quorviBaseURL, o.quorviFinalURL});
    }
    return client.BulkSMS(
        BulkSMSRequest{std::move(numbers), *job.text, sender, o.scheduledDate, o.removeDuplicates,
                       o.referenceName, o.reportRequired, o.callbackQueryString, o.returnIndividualResponse,
                       o.asynchronousSubmission, o.quorvi, o.quorviBaseURL, o.quorviFinalURL});
}

std::string acceptedDetail(const nlohmann::json& answer) {
    if (answer.is_object()) {
        const auto id = answer.find("messageId");
        if (id != answer.end() && id->is_string()) return id->get<std::string>();
    }
    std::string text = compact(answer);
    if (text.size() > 500) text.resize(500);
    return text;
}

bool isUncertain(BatchState state) {
    return state == BatchState::Uncertain || state == BatchState::Leaving;
}

std::string batchList(const std::vector<std::size_t>& batches) {
    std::string out;
    for (std::size_t i = 0; i < batches.size(); ++i) {
        if (i == 10 && batches.size() > 12)
            return out + " and " + std::to_string(batches.size() - 10) + " more";
        out += (i == 0 ? "" : ", ") + std::to_string(batches[i] + 1);
    }
    return out;
}

int summarize(const GlobalOptions& global, RecordStream& stream, const Plan& plan, std::size_t batchSize,
              const std::vector<BatchState>& states, std::size_t sentThisRun, std::size_t skipped,
              const Journal* journal, bool stopped) {
    std::size_t accepted = 0;
    std::size_t refused = 0;
    std::size_t notSent = 0;
    std::vector<std::size_t> uncertain;
    std::vector<std::size_t> refusedList;
    for (std::size_t i = 0; i < states.size(); ++i) {
        switch (states[i]) {
            case BatchState::Accepted:
                ++accepted;
                break;
            case BatchState::Refused:
                ++refused;
                refusedList.push_back(i);
                break;
            case BatchState::Pending:
                ++notSent;
                break;
            case BatchState::Leaving:
            case BatchState::Uncertain:
                uncertain.push_back(i);
                break;
        }
    }

    // The uncertain batches' numbers, read again from the input, which the
    // journal vouches is the one they were sent from.
    Json uncertainJson = Json::array();
    std::string uncertainText;
    if (!uncertain.empty()) {
        stream.rewind();
        CampaignRecord record;
        std::size_t index = 0;
        auto next = uncertain.begin();
        while (next != uncertain.end() && stream.next(record)) {
            const std::size_t batch = index++ / batchSize;
            while (next != uncertain.end() && *next < batch)
                ++next;
            if (next == uncertain.end() || *next != batch) continue;
            if (global.json) {
                if (uncertainJson.empty() || uncertainJson.back()["batch"] != batch + 1)
                    uncertainJson.push_back({{"batch", batch + 1}, {"numbers", Json::array()}});
                uncertainJson.back()["numbers"].push_back(record.number);
            } else {
                if (index - 1 == batch * batchSize) {
                    uncertainText += "Uncertain batch " + std::to_string(batch + 1) + " (" +
                                     std::to_string(plan.batchNumbers[batch]) + " numbers):\n";
                }
                uncertainText += "  " + printable(record.number) + '\n';
            }
        }
    }

    const std::string journalPath = journal != nullptr ? journal->path() : std::string();
    if (global.json) {
        const Json out = {{"batches", states.size()},
                          {"accepted", accepted},
                          {"refused", refused},
                          {"uncertain", uncertain.size()},
                          {"notSent", notSent},
                          {"sentThisRun", sentThisRun},
                          {"skipped", skipped},
                          {"numbers", plan.numbers},
                          {"interrupted", stopped},
                          {"journal", journal != nullptr ? Json(journalPath) : Json(nullptr)},
                          {"uncertainBatches", uncertainJson}};
        std::cout << out.dump(-1, ' ', false, Json::error_handler_t::replace) << std::endl;
    } else {
        std::cout << "Batches: " << states.size() << ": " << accepted << " accepted, " << refused
                  << " refused, " << uncertain.size() << " uncertain, " << notSent << " not sent ("
                  << sentThisRun << " sent by this run, " << skipped << " skipped)\n";
        if (journal != nullptr) std::cout << "Journal: " << printable(journalPath) << '\n';
        if (!refusedList.empty()) {
            std::cout << "Refused: batch " << batchList(refusedList)
                      << ". The provider did not act on them; running the same command again sends them.\n";
        }
        if (!uncertain.empty()) {
            std::cout << "Uncertain: batch " << batchList(uncertain)
                      << ". The provider may have sent them. Check its records (the messages, the balance) "
                         "before sending them again with --resend-uncertain.\n"
                      << uncertainText;
        }
        std::cout << std::flush;
    }
    if (stopped) {
        std::cerr << "qelsms: stopped before the end; "
                  << (journal != nullptr ? "the same command with the same journal continues"
                                         : "without a journal, the batches not sent can't be resumed")
                  << '\n';
    }
    if (!uncertain.empty()) return kOutcomeUnknown;
    if (refused > 0 || notSent > 0) return kRefused;
    return kSuccess;
}

int runCampaign(const GlobalOptions& global, const Job& job, const CampaignOptions& campaign) {
    const std::size_t batchSize = campaign.batchSize.value_or(kDefaultBatchSize);
    if (campaign.resendUncertain && !campaign.journal) {
        throw UsageError("--resend-uncertain needs --journal, which says what is uncertain");
    }
    if (campaign.region) {
        if (!campaign.dryRun) throw UsageError("--region judges numbers in a --dry-run; add --dry-run");
        if (!isKnownRegion(*campaign.region)) {
            throw UsageError("--region " + printable(*campaign.region) +
                             " is not a known ISO 3166-1 country code, such as QA or DE");
        }
    }
    if (campaign.dryRun) return dryRun(global, job, campaign, batchSize);

    const std::string sender = requireSender(global);
    RecordStream stream(job.source);
    const Plan plan = scan(stream, job, batchSize, std::nullopt, [](const CampaignRecord&) {});

    std::optional<Journal> journal;
    std::vector<BatchState> states(plan.batches(), BatchState::Pending);
    if (campaign.journal) {
        journal.emplace(*campaign.journal);
        journal->begin({job.command, stream.fingerprint(), messageFingerprint(job, sender), batchSize,
                        plan.numbers, plan.batches()});
        states = journal->states();
        states.resize(plan.batches(), BatchState::Pending);
    }
    const auto wanted = [&](BatchState state) {
        return state == BatchState::Pending || state == BatchState::Refused ||
               (campaign.resendUncertain && isUncertain(state));
    };
    std::size_t toSend = 0;
    std::size_t numbersToSend = 0;
    std::uint64_t creditsToSend = 0;
    for (std::size_t i = 0; i < states.size(); ++i) {
        if (!wanted(states[i])) continue;
        ++toSend;
        numbersToSend += plan.batchNumbers[i];
        creditsToSend += plan.batchCredits[i];
    }
    if (toSend > 0 && !confirmed(campaign, numbersToSend, toSend, creditsToSend)) {
        std::cerr << "qelsms: nothing sent\n";
        return kRefused;
    }

    const AccountOptions pacing = pacingOf(campaign);
    const Client client = makeClient(global, pacing);
    Progress progress(std::cerr, isatty(STDERR_FILENO) != 0, plan.batches(), plan.numbers);
    // SIGINT and SIGTERM end the campaign at the next batch boundary: the
    // batch on its way gets its outcome recorded, no further batch leaves, and
    // the summary is printed before the tool ends as interrupted. A second
    // signal ends the process at once, which the journal also survives.
    const InterruptWatch interruptWatch;

    stream.rewind();
    std::vector<CampaignRecord> batch;
    std::size_t done = 0;
    std::size_t numbersDone = 0;
    std::size_t sentThisRun = 0;
    std::size_t skipped = 0;
    std::size_t recordIndex = 0;
    bool stopped = false;
    for (std::size_t index = 0; index < plan.batches(); ++index) {
        batch.clear();
        CampaignRecord record;
        const std::size_t first = recordIndex;
        while (batch.size() < batchSize && stream.next(record)) {
            batch.push_back(std::move(record));
            ++recordIndex;
        }
        if (batch.size() != plan.batchNumbers[index]) {
            // Whatever was sent so far is recorded; the summary says so.
            std::cerr << "qelsms: " << printable(stream.name())
                      << " changed while being read; stopping before batch " << index + 1 << '\n';
            stopped = true;
            break;
        }
        if (!wanted(states[index])) {
            ++skipped;
        } else {
            if (InterruptWatch::caught() != 0) {
                stopped = true;
                break;
            }
            try {
                if (journal) journal->markLeaving(index, first, batch.size());
            } catch (const InputError& e) {
                std::cerr << "qelsms: " << printable(e.what()) << "; stopping before batch " << index + 1
                          << '\n';
                stopped = true;
                break;
            }
            const std::size_t count = batch.size();
            std::future<Outcome> pending = submit(client, job, sender, batch);
            ++sentThisRun;
            // Past the library's own limits for this request; it always ends
            // well within them, so this only guards against a fault of ours.
            const auto limit = std::chrono::seconds(global.timeoutSeconds + 300 + 5) +
                               std::chrono::milliseconds(4 * static_cast<long long>(count)) +
                               longestWait(pacing);
            BatchState state = BatchState::Uncertain;
            std::string detail;
            bool lost = false;
            if (pending.wait_for(limit) != std::future_status::ready) {
                detail = "no answer within " + std::to_string(limit.count() / 1000) + " seconds";
                lost = true;
            } else if (Outcome outcome = pending.get(); outcome.ok()) {
                state = BatchState::Accepted;
                detail = acceptedDetail(outcome.answer());
            } else {
                state = outcome.error().mayHaveBeenProcessed ? BatchState::Uncertain : BatchState::Refused;
                detail = errorText(outcome.error());
            }
            if (state != BatchState::Accepted) {
                progress.finish();
                std::cerr << "qelsms: batch " << index + 1 << ": " << printable(detail)
                          << (state == BatchState::Uncertain ? " (the provider may have acted on it)"
                                                             : " (not processed)")
                          << '\n';
            }
            states[index] = state;
            try {
                if (journal) journal->markOutcome(index, state, detail);
            } catch (const InputError& e) {
                // The journal still says "leaving", which a resume treats as
                // uncertain: the batch is never sent twice unasked.
                states[index] = BatchState::Uncertain;
                std::cerr << "qelsms: " << printable(e.what()) << '\n';
                stopped = true;
            }
            if (lost) stopped = true;
        }
        ++done;
        numbersDone += plan.batchNumbers[index];
        progress.update(done, numbersDone, sentThisRun);
        if (stopped) break;
    }
    progress.finish();
    const int signal = InterruptWatch::caught();
    if (signal != 0) std::cerr << "qelsms: interrupted by " << signalName(signal) << '\n';
    const int status = summarize(global, stream, plan, batchSize, states, sentThisRun, skipped,
                                 journal ? &*journal : nullptr, stopped || signal != 0);
    // Like any interrupted run: a shell loop around the tool must stop too.
    if (signal != 0) endAsInterrupted(signal);
    return status;
}

}  // namespace

bool CampaignOptions::requested() const {
    return batchSize.has_value() || journal.has_value() || dryRun || rate.has_value() ||
           retries.has_value() || resendUncertain || region.has_value();
}

void addCampaignOptions(CLI::App* app, CampaignOptions& options) {
    app->add_option_function<std::size_t>(
           "--batch-size", [&options](std::size_t value) { options.batchSize = value; },
           "read the numbers as a stream and send at most N per request, in file order (default 1000 when "
           "another campaign option is given)")
        ->check(CLI::Range(std::size_t{1}, std::size_t{10'000'000}))
        ->type_name("N");
    app->add_option_function<std::string>(
           "--journal", [&options](const std::string& value) { options.journal = value; },
           "record each batch in this SQLite file; the same command with the same journal resumes")
        ->type_name("FILE");
    app->add_flag("--resend-uncertain", options.resendUncertain,
                  "on resume, send again the batches the provider may already have acted on");
    app->add_option_function<double>(
           "--rate", [&options](double value) { options.rate = value; }, "at most R requests per second")
        ->check(CLI::Range(0.001, 1000.0))
        ->type_name("R");
    app->add_option_function<int>(
           "--retries", [&options](int value) { options.retries = value; },
           "further attempts of a failed request, when the library can make them without a double")
        ->check(CLI::Range(0, 10))
        ->type_name("N");
    app->add_flag(
        "--dry-run", options.dryRun,
        "send nothing: count numbers, batches, parts and credits (and the balance, given an account)");
    app->add_option_function<std::string>(
           "--region",
           [&options](std::string value) {
               // ISO codes are upper case; "qa" means the same.
               std::transform(value.begin(), value.end(), value.begin(),
                              [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
               options.region = std::move(value);
           },
           "with --dry-run, check the numbers against this country's numbering plan (ISO code, e.g. QA)")
        ->type_name("CC");
    app->add_option("--confirm-above", options.confirmAbove,
                    "on a terminal, ask before a run that needs more credits than this (default 1000)")
        ->check(CLI::NonNegativeNumber)
        ->type_name("N");
    app->add_flag("-y,--yes", options.yes, "never ask for confirmation");
}

int runSendCampaign(const GlobalOptions& global, const SendArguments& arguments, bool bulk,
                    const CampaignOptions& campaign) {
    Job job;
    job.command = bulk ? "bulk" : "send";
    job.text = messageText(arguments);
    job.options = arguments.options;
    job.source.numbers = arguments.numbers;
    job.source.path = arguments.numbersFile.value_or("");
    return runCampaign(global, job, campaign);
}

int runCustomCampaign(const GlobalOptions& global, const CustomArguments& arguments,
                      const CampaignOptions& campaign) {
    Job job;
    job.command = "custom";
    job.options = arguments.options;
    job.source.path = arguments.csvFile;
    job.source.csv = true;
    job.source.header = arguments.header;
    return runCampaign(global, job, campaign);
}

}  // namespace qelsms::cli
