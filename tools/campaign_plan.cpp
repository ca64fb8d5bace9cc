#include "campaign_plan.hpp"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <future>
#include <iostream>
#include <unordered_map>

#include "input_files.hpp"
#include "number_check.hpp"

namespace qelsms::cli {

namespace {

using Json = nlohmann::ordered_json;

// A dry run lists at most this many invalid numbers in its JSON, so that the
// object stays small whatever the file holds; the readable form lists all.
constexpr std::size_t kInvalidListedInJson = 1000;

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

bool credentialsGiven(const GlobalOptions& global) {
    const bool user = global.user ? !global.user->empty() : !environment("QELSMS_USER").empty();
    return user && (global.passwordFile.has_value() || !environment("QELSMS_PASSWORD").empty());
}

std::string compact(const nlohmann::json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string where(const CampaignRecord& record) {
    return record.line == 0 ? std::string("argument") : "line " + std::to_string(record.line);
}

std::optional<double> balanceIn(const nlohmann::json& answer) {
    if (!answer.is_object()) return std::nullopt;
    for (const auto& [key, value] : answer.items()) {
        std::string lower = key;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (value.is_number() && (lower == "balance" || lower == "credits")) return value.get<double>();
    }
    return std::nullopt;
}

}  // namespace

std::string messageFingerprint(const Job& job, const std::string& sender) {
    const MessageOptions& o = job.options;
    const auto optional = [](const std::optional<std::string>& value) {
        return value ? Json(*value) : Json(nullptr);
    };
    const Json identity = {{"command", job.command},
                           {"text", job.text ? Json(*job.text) : Json(nullptr)},
                           {"sender", sender},
                           {"reportRequired", o.reportRequired},
                           {"callbackQueryString", optional(o.callbackQueryString)},
                           {"referenceName", optional(o.referenceName)},
                           {"quorvi", o.quorvi},
                           {"quorviBaseURL", optional(o.quorviBaseURL)},
                           {"quorviFinalURL", optional(o.quorviFinalURL)},
                           {"scheduledDate", o.scheduledDate},
                           {"removeDuplicates", o.removeDuplicates},
                           {"returnIndividualResponse", o.returnIndividualResponse},
                           {"asynchronousSubmission", o.asynchronousSubmission}};
    return sha256Hex(identity.dump(-1, ' ', false, Json::error_handler_t::replace));
}

Plan scan(RecordStream& stream, const Job& job, std::size_t batchSize,
          const std::optional<std::string>& region,
          const std::function<void(const CampaignRecord&)>& onInvalid) {
    Plan plan;
    const std::size_t fixedParts = job.text ? countSegments(*job.text).parts : 0;
    std::unordered_map<std::string, std::size_t> inBatch;
    std::size_t filled = 0;
    CampaignRecord record;
    while (stream.next(record)) {
        if (filled == 0) {
            plan.batchNumbers.push_back(0);
            plan.batchCredits.push_back(0);
            inBatch.clear();
        }
        if (!job.text) {
            const auto [seen, inserted] = inBatch.emplace(record.number, record.line);
            if (!inserted) {
                throw InputError(stream.name() + ":" + std::to_string(record.line) + ": number " +
                                 record.number + " is already listed on line " +
                                 std::to_string(seen->second));
            }
        }
        const std::size_t parts = job.text ? fixedParts : countSegments(record.text).parts;
        plan.minParts = plan.numbers == 0 ? parts : std::min(plan.minParts, parts);
        plan.maxParts = std::max(plan.maxParts, parts);
        ++plan.numbers;
        ++plan.batchNumbers.back();
        plan.batchCredits.back() += parts;
        plan.credits += parts;
        if (region && !isValidNumber(record.number, *region)) {
            ++plan.invalid;
            onInvalid(record);
        }
        if (++filled == batchSize) filled = 0;
    }
    if (plan.numbers == 0) {
        throw UsageError(job.source.csv ? stream.name() + ": no number,text record"
                                        : "no number: give numbers as arguments or with --numbers-file");
    }
    return plan;
}

int dryRun(const GlobalOptions& global, const Job& job, const CampaignOptions& campaign,
           std::size_t batchSize) {
    RecordStream stream(job.source);
    Json invalidList = Json::array();
    std::vector<std::string> invalidLines;
    const Plan plan = scan(stream, job, batchSize, campaign.region, [&](const CampaignRecord& record) {
        if (global.json) {
            if (invalidList.size() < kInvalidListedInJson)
                invalidList.push_back({{"line", record.line}, {"number", record.number}});
        } else {
            // Listed as found: the list may be as long as the file.
            std::cout << "Invalid (" << where(record) << "): " << printable(record.number) << '\n';
        }
    });

    int status = kSuccess;
    std::optional<double> balance;
    if (credentialsGiven(global)) {
        const Client client = makeClient(global);
        std::future<Outcome> pending = client.GetBalance();
        const auto wait = std::chrono::seconds(global.timeoutSeconds + 5);
        if (pending.wait_for(wait) != std::future_status::ready) {
            std::cerr << "qelsms: the balance: no answer within " << wait.count() << " seconds\n";
            status = kOutcomeUnknown;
        } else if (Outcome outcome = pending.get(); !outcome.ok()) {
            std::cerr << "qelsms: the balance: " << printable(errorText(outcome.error())) << '\n';
            status = exitStatusFor(outcome.error());
        } else if (balance = balanceIn(outcome.answer()); !balance) {
            std::cerr << "qelsms: the balance: no balance in the answer "
                      << printable(compact(outcome.answer())) << '\n';
            status = kOutcomeUnknown;
        }
    }

    if (global.json) {
        Json out = {{"numbers", plan.numbers},
                    {"batches", plan.batches()},
                    {"batchSize", batchSize},
                    {"partsPerMessage", {{"min", plan.minParts}, {"max", plan.maxParts}}},
                    {"credits", plan.credits},
                    {"balance", balance ? Json(*balance) : Json(nullptr)},
                    {"region", campaign.region ? Json(*campaign.region) : Json(nullptr)},
                    {"invalid", campaign.region ? Json(plan.invalid) : Json(nullptr)},
                    {"invalidNumbers", invalidList},
                    {"invalidNumbersTruncated", plan.invalid > invalidList.size()}};
        std::cout << out.dump(-1, ' ', false, Json::error_handler_t::replace) << std::endl;
        return status;
    }
    std::cout << "Numbers: " << plan.numbers << "\nBatches: " << plan.batches() << " (at most " << batchSize
              << " numbers each)\nParts per message: " << plan.minParts;
    if (plan.maxParts != plan.minParts) std::cout << " to " << plan.maxParts;
    std::cout << "\nCredits needed: " << plan.credits << '\n';
    if (balance) {
        std::cout << "Balance: " << *balance;
        if (*balance < static_cast<double>(plan.credits)) {
            std::cout << " (short by " << static_cast<double>(plan.credits) - *balance << ")";
        }
        std::cout << '\n';
    }
    if (campaign.region) {
        std::cout << "Invalid numbers for " << *campaign.region << ": " << plan.invalid << '\n';
    } else {
        std::cout << "Invalid numbers: not judged (give --region to check them)\n";
    }
    std::cout << std::flush;
    return status;
}

}  // namespace qelsms::cli
