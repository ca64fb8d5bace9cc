// A campaign's plan: what it sends, the input counted once through, and the
// dry run that shows the count without sending.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "campaign.hpp"
#include "number_stream.hpp"

namespace qelsms::cli {

/// What one campaign sends: the subcommand, the text (none for custom, whose
/// texts are in the input), the submission options and where the numbers are.
struct Job {
    std::string command;
    std::optional<std::string> text;
    MessageOptions options;
    CampaignSource source;
};

/// The input counted once through: numbers, batches and what they cost.
struct Plan {
    std::size_t numbers = 0;
    /// Numbers in each batch, and the credits each batch needs.
    std::vector<std::uint32_t> batchNumbers;
    std::vector<std::uint64_t> batchCredits;
    std::uint64_t credits = 0;
    /// Fewest and most parts a message of the campaign takes.
    std::size_t minParts = 0;
    std::size_t maxParts = 0;
    /// Numbers invalid in the dry run's region.
    std::size_t invalid = 0;

    std::size_t batches() const { return batchNumbers.size(); }
};

/// A SHA-256 of everything that shapes the requests besides the numbers: a
/// journal started with one refuses to resume with another.
std::string messageFingerprint(const Job& job, const std::string& sender);

/// Reads the whole input once, so that a malformed line stops the campaign
/// before its first request rather than in the middle; with `region`, calls
/// `onInvalid` for each number invalid there. Throws InputError for a CSV
/// number listed twice within one batch (a request holds one text per
/// number) and UsageError for an input without a number.
Plan scan(RecordStream& stream, const Job& job, std::size_t batchSize,
          const std::optional<std::string>& region,
          const std::function<void(const CampaignRecord&)>& onInvalid);

/// Runs a dry run: prints the plan (and the balance, given an account) and
/// sends nothing. The exit status is that of the balance's request.
int dryRun(const GlobalOptions& global, const Job& job, const CampaignOptions& campaign,
           std::size_t batchSize);

}  // namespace qelsms::cli
