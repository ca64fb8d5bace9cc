// The subcommands of the qelsms tool, apart from argument parsing: each takes
// the parsed options, talks to the service and returns the exit status.
#pragma once

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>
#include <qelsms/qelsms.hpp>

namespace qelsms::cli {

/// Exit statuses of the tool.
enum ExitStatus : int {
    kSuccess = 0,
    /// The request was not processed: not sent, no connection, or refused by
    /// the provider with a status that says it did not act. Safe to retry.
    kRefused = 1,
    /// The command line, or a file it names, is not usable.
    kUsage = 2,
    /// The provider may have processed the request (time-out, connection
    /// lost after sending, unusable answer, server error): check before
    /// sending again.
    kOutcomeUnknown = 3,
};

/// A problem with the command line found after parsing it.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// Options that every subcommand understands.
struct GlobalOptions {
    std::optional<std::string> user;
    std::optional<std::string> passwordFile;
    std::string baseURL;
    std::vector<std::string> connectTo;
    std::string caFile;
    std::string sender;
    bool json = false;
    /// Idle seconds: no byte sent or received for this long fails the call.
    int timeoutSeconds = 60;
    /// The whole exchange's limit, in seconds.
    int deadlineSeconds = 300;
    /// Print the library's log, debug lines included, on standard error.
    bool verbose = false;
};

/// Submission options; the scheduling and bulk ones apply to bulk and custom.
struct MessageOptions {
    bool reportRequired = false;
    std::optional<std::string> callbackQueryString;
    std::optional<std::string> referenceName;
    bool quorvi = false;
    std::optional<std::string> quorviBaseURL;
    std::optional<std::string> quorviFinalURL;
    std::string scheduledDate;
    bool allowPast = false;
    bool removeDuplicates = false;
    bool returnIndividualResponse = false;
    bool asynchronousSubmission = false;
};

/// Arguments of `send` and `bulk`.
struct SendArguments {
    std::vector<std::string> numbers;
    std::optional<std::string> numbersFile;
    std::optional<std::string> message;
    std::optional<std::string> messageFile;
    MessageOptions options;
};

/// Arguments of `custom`.
struct CustomArguments {
    std::string csvFile;
    bool header = false;
    MessageOptions options;
};

/// Arguments of `segments`.
struct SegmentsArguments {
    std::optional<std::string> text;
    std::optional<std::string> file;
};

/// The account's client, with the HTTP client configured from `global`, its
/// requests paced and retried as `pacing` says. Throws UsageError for an
/// unusable base URL or missing credentials.
Client makeClient(const GlobalOptions& global, AccountOptions pacing = {});
/// The sender name; throws UsageError when there is none.
std::string requireSender(const GlobalOptions& global);
/// The text of `send` or `bulk`, from --message or --message-file; throws
/// UsageError when neither or both are given.
std::string messageText(const SendArguments& arguments);

/// Runs `balance` under `pacing` (its --rate and --retries).
int runBalance(const GlobalOptions& global, const AccountOptions& pacing = {});
/// Runs `send` (SingleSMS) or, with `bulk`, `bulk` (BulkSMS).
int runSend(const GlobalOptions& global, const SendArguments& arguments, bool bulk);
/// Runs `custom`.
int runCustom(const GlobalOptions& global, const CustomArguments& arguments);
/// Runs `segments`; needs no account and no network.
int runSegments(const GlobalOptions& global, const SegmentsArguments& arguments);

/// The exit status for a failed call: kOutcomeUnknown when the provider may
/// have acted on it, kRefused otherwise.
int exitStatusFor(const Error& error);

/// A failure as one JSON object: message, kind, status, mayHaveBeenProcessed
/// and, when the library gave one, detail.
nlohmann::ordered_json failureJson(const Error& error);

/// A failure for people: "message (detail)", or the message alone when there
/// is no detail or it says nothing more.
std::string errorText(const Error& error);

/// True for an http or https URL with a host, an optional port and a path, and
/// no query, fragment, user information or blanks.
bool isUsableBaseURL(std::string_view url);

/// One readable line for an answer: "key=value" for each member of an object
/// (strings without quotes unless they hold blanks or are empty, nested values
/// as compact JSON), compact JSON for an array.
std::string describe(const nlohmann::json& answer);

}  // namespace qelsms::cli
