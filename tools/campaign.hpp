// Campaigns: send, bulk and custom over a large input, streamed in batches,
// with a journal to resume from, pacing, progress, a dry run and a summary.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "commands.hpp"

namespace CLI {
class App;
}

namespace qelsms::cli {

/// The campaign options of `send`, `bulk` and `custom`.
struct CampaignOptions {
    /// Most numbers (or rows) per request.
    std::optional<std::size_t> batchSize;
    /// The journal file to record batches in and resume from.
    std::optional<std::string> journal;
    /// On resume, send again the batches whose outcome is unknown.
    bool resendUncertain = false;
    /// Most requests per second.
    std::optional<double> rate;
    /// Further attempts of a failed batch, left to the library.
    std::optional<int> retries;
    /// Count and estimate; send nothing.
    bool dryRun = false;
    /// ISO 3166-1 country code the dry run judges numbers by.
    std::optional<std::string> region;
    /// Ask on a terminal before a run that needs more credits than this.
    std::size_t confirmAbove = 1000;
    /// Never ask.
    bool yes = false;

    /// True when an option asks for a campaign rather than one request.
    bool requested() const;
};

/// The batch size of a campaign given no --batch-size.
inline constexpr std::size_t kDefaultBatchSize = 1000;

/// Registers the campaign options on a `send`, `bulk` or `custom` subcommand.
void addCampaignOptions(CLI::App* app, CampaignOptions& options);

/// Runs `send` (SingleSMS per batch) or, with `bulk`, `bulk` as a campaign.
int runSendCampaign(const GlobalOptions& global, const SendArguments& arguments, bool bulk,
                    const CampaignOptions& campaign);
/// Runs `custom` as a campaign.
int runCustomCampaign(const GlobalOptions& global, const CustomArguments& arguments,
                      const CampaignOptions& campaign);

}  // namespace qelsms::cli
