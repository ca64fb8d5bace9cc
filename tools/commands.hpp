// The subcommands of the qelsms tool, apart from argument parsing: each takes
// the parsed options, talks to the service and returns the exit status.
#pragma once

#include <chrono>
#include <functional>
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
    /// The provider or the transport refused the request.
    kRefused = 1,
    /// The command line, or a file it names, is not usable.
    kUsage = 2,
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
    int timeoutSeconds = 60;
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

/// Runs `balance`.
int runBalance(const GlobalOptions& global);
/// Runs `send` (SingleSMS) or, with `bulk`, `bulk` (BulkSMS).
int runSend(const GlobalOptions& global, const SendArguments& arguments, bool bulk);
/// Runs `custom`.
int runCustom(const GlobalOptions& global, const CustomArguments& arguments);
/// Runs `segments`; needs no account and no network.
int runSegments(const GlobalOptions& global, const SegmentsArguments& arguments);

/// What became of one operation.
struct Outcome {
    std::optional<nlohmann::json> value;
    std::string error;
};

/// Starts an operation with a completion and an error callback and waits for
/// whichever is called first; nullopt when neither is called within `timeout`.
using Operation = std::function<void(CompletionHandler, ErrorHandler)>;
std::optional<Outcome> runAndWait(const Operation& operation, std::chrono::milliseconds timeout);

/// True for an http or https URL with a host, an optional port and a path, and
/// no query, fragment, user information or blanks.
bool isUsableBaseURL(std::string_view url);

/// One readable line for an answer: "key=value" for each member of an object
/// (strings without quotes unless they hold blanks or are empty, nested values
/// as compact JSON), compact JSON for an array.
std::string describe(const nlohmann::json& answer);

}  // namespace qelsms::cli
