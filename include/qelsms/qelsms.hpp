/// @file
/// QelSMS: a client library for the QelSMS REST service.
///
/// This is the one header an application includes. Everything lives on the
/// facade class qelsms::SMSManager (one account per process) or, for several
/// accounts, on qelsms::Client.
#pragma once

// An older standard would otherwise fail with a page of unrelated errors.
#if __cplusplus < 202002L
#error "QelSMS needs C++20 or newer (e.g. -std=c++20)"
#endif

#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "qelsms/export.hpp"
#include "qelsms/http_client.hpp"
#include "qelsms/lifecycle.hpp"
#include "qelsms/logging.hpp"
#include "qelsms/outcome.hpp"
#include "qelsms/pacing.hpp"
#include "qelsms/segments.hpp"
#include "qelsms/version.hpp"

/// The library's version as a number (1.0).
extern "C" QELSMS_EXPORT const double QelSMSVersionNumber;
/// The library's identification string: 37 characters ending in a line feed,
/// then NUL.
extern "C" QELSMS_EXPORT const unsigned char QelSMSVersionString[];

/// The QelSMS client library.
namespace qelsms {

namespace detail {
struct RequestBody;
struct Callbacks;
struct ClientOptions;
struct SettingAccess;
}  // namespace detail

/// Receives the decoded JSON answer (always an object or an array) of an
/// accepted request. Called on the library's network thread.
using CompletionHandler = std::function<void(nlohmann::json)>;

/// Receives a message string when a request was refused or its answer
/// rejected. Called either on the caller's thread before the operation
/// returns (missing credentials, no network, unserialisable body) or later on
/// the library's network thread.
using ErrorHandler = std::function<void(std::string)>;

/// True when `value` holds no string or holds the empty string. Pure; safe
/// from any thread.
QELSMS_EXPORT bool isNilOrEmpty(const std::optional<std::string>& value) noexcept;

/// A string setting that several threads may read and assign at once; every
/// assignment replaces the whole value. Its last value is never freed, so a
/// thread still reading or assigning it while the process exits is safe.
class QELSMS_EXPORT SettingString {
public:
    /// An empty setting.
    constexpr SettingString() noexcept = default;
    /// Not copyable: it shares the library's settings lock. Use get() for a
    /// copy of the value.
    SettingString(const SettingString&) = delete;

    /// Replaces the stored value.
    SettingString& operator=(std::string value);
    /// Replaces the stored value with another setting's current value.
    SettingString& operator=(const SettingString& other);

    /// A copy of the current value.
    [[nodiscard]] std::string get() const;
    /// A copy of the current value.
    operator std::string() const { return get(); }  // NOLINT(google-explicit-constructor)

    /// Compares the current value with `other`.
    friend bool operator==(const SettingString& self, std::string_view other) { return self.get() == other; }

private:
    friend struct detail::SettingAccess;

    // Null while empty. Guarded by the library's one settings lock, which
    // lets a call read several settings as one snapshot.
    const std::string* value_ = nullptr;
};

/// Arguments of SMSManager::SingleSMS and Client::SingleSMS, named as the
/// service names them; each member travels as the JSON member of its name.
/// Optional strings are sent only when present (even when empty); booleans are
/// always sent.
struct SingleSMSRequest {
    /// The destination numbers ("MobileNumbers"), sent as given: no checking,
    /// normalisation or removal of duplicates.
    std::vector<std::string> MobileNumbers{};
    /// The message text ("Message"). It must be valid UTF-8, or the operation
    /// reports "JSON error: ..." on the calling thread.
    std::string Message{};
    /// The sender name ("SenderName").
    std::string SenderName{};
    /// Whether the provider is to report on the delivery ("ReportRequired").
    bool ReportRequired = false;
    /// A callback query string for the provider ("CallbackQueryString").
    std::optional<std::string> CallbackQueryString{};
    /// A reference name for the submission ("ReferenceName").
    std::optional<std::string> ReferenceName{};
    /// The provider's Quorvi feature ("Quorvi").
    bool Quorvi = false;
    /// The base URL that goes with the Quorvi feature ("QuorviBaseURL").
    std::optional<std::string> QuorviBaseURL{};
    /// The final URL that goes with the Quorvi feature ("QuorviFinalURL").
    std::optional<std::string> QuorviFinalURL{};
};

/// Arguments of SMSManager::BulkSMS and Client::BulkSMS; each member travels as
/// the JSON member of its name. Optional strings are sent only when present
/// (even when empty), ScheduledDate only when not empty, booleans always.
struct BulkSMSRequest {
    /// The destination numbers ("MobileNumbers"), sent as given.
    std::vector<std::string> MobileNumbers{};
    /// The message text ("Message"), valid UTF-8.
    std::string Message{};
    /// The sender name ("SenderName").
    std::string SenderName{};
    /// When to send ("ScheduledDate"), in the form the provider expects; the
    /// library passes it on unparsed. Empty: send now, and the member is left
    /// out of the request.
    std::string ScheduledDate{};
    /// Whether the provider is to drop repeated numbers ("RemoveDuplicates").
    bool RemoveDuplicates = false;
    /// A reference name for the submission ("ReferenceName").
    std::optional<std::string> ReferenceName{};
    /// Whether the provider is to report on the delivery ("ReportRequired").
    bool ReportRequired = false;
    /// A callback query string for the provider ("CallbackQueryString").
    std::optional<std::string> CallbackQueryString{};
    /// The provider's flag for an answer per number
    /// ("ReturnIndividualResponse").
    bool ReturnIndividualResponse = false;
    /// The provider's flag for asynchronous processing
    /// ("AsynchronousSubmission").
    bool AsynchronousSubmission = false;
    /// The provider's Quorvi feature ("Quorvi").
    bool Quorvi = false;
    /// The base URL that goes with the Quorvi feature ("QuorviBaseURL").
    std::optional<std::string> QuorviBaseURL{};
    /// The final URL that goes with the Quorvi feature ("QuorviFinalURL").
    std::optional<std::string> QuorviFinalURL{};
};

/// Destination number to message text, for CustomSMS.
using MessageMap = std::map<std::string, std::string>;

/// Arguments of SMSManager::CustomSMS and Client::CustomSMS; each member travels
/// as the JSON member of its name. Optional strings are sent only when present
/// (even when empty), ScheduledDate only when not empty, booleans always.
struct CustomSMSRequest {
    /// Each destination number with its own text, sent as "MessageDetails", a
    /// list of {"To": number, "Message": text} objects. Must not be empty.
    MessageMap MessageDetails{};
    /// The sender name ("SenderName").
    std::string SenderName{};
    /// When to send ("ScheduledDate"), passed on unparsed; empty: send now.
    std::string ScheduledDate{};
    /// Whether the provider is to drop repeated numbers ("RemoveDuplicates").
    bool RemoveDuplicates = false;
    /// A reference name for the submission ("ReferenceName").
    std::optional<std::string> ReferenceName{};
    /// Whether the provider is to report on the delivery ("ReportRequired").
    bool ReportRequired = false;
    /// A callback query string for the provider ("CallbackQueryString").
    std::optional<std::string> CallbackQueryString{};
    /// The provider's flag for an answer per number
    /// ("ReturnIndividualResponse").
    bool ReturnIndividualResponse = false;
    /// The provider's flag for asynchronous processing
    /// ("AsynchronousSubmission").
    bool AsynchronousSubmission = false;
    /// The provider's Quorvi feature ("Quorvi").
    bool Quorvi = false;
    /// The base URL that goes with the Quorvi feature ("QuorviBaseURL").
    std::optional<std::string> QuorviBaseURL{};
    /// The final URL that goes with the Quorvi feature ("QuorviFinalURL").
    std::optional<std::string> QuorviFinalURL{};
};

/// The process-wide account and its four operations.
///
/// Set #user and #password, then call the operations from any thread. Every
/// operation returns at once: it never waits for the network, and it never
/// throws. Exactly one of its two callbacks runs, once:
///
/// - On the calling thread, before the operation returns, when the request is
///   refused: "Kindly set user and password before checking balance" or
///   "Kindly set user and password before sending message" (a credential is
///   empty), "Network connectivity is falied" (the machine has no default
///   route), "JSON error: ..." (a message string that isn't valid UTF-8).
/// - Otherwise later, on the library's network thread: the completion callback
///   with the decoded answer (a JSON object or array), or the error callback
///   with "Client error!" (connection failed, reset or timed out; TLS refused;
///   answer over 16 MiB), "Wrong MIME type!" (a 2xx answer that isn't
///   application/json), "JSON error: ..." (an answer that isn't a JSON object
///   or array), the provider's "Message" or "errorDescription" (a non-2xx
///   answer carrying one), "Server error status code N" (one without) or
///   "Response is not HTTPURLResponse".
///
/// Callbacks run on the one thread that serves every request, so they should
/// be short; they may start new operations. An exception thrown by a callback
/// is caught and dropped. A request is retried only as configureAccount's
/// RetryPolicy allows, and only where the provider certainly did not act on
/// it (see RetryPolicy); by default never.
///
/// GetBalance and the named forms of the message operations also come with
/// one OutcomeHandler instead of the two callbacks (same threads), or with no
/// callback, returning a std::future<Outcome> that always becomes ready. Their
/// Outcome carries the same message, plus what kind of failure it was and
/// whether the provider may have acted on the request.
///
/// Once the process begins to exit, or after qelsms::shutdown(), no callback
/// starts: requests still queued or in flight are dropped, and an operation
/// called then is dropped too, with no callback at all.
class QELSMS_EXPORT SMSManager {
public:
    /// Account user name; starts empty. May be assigned from any thread. Each
    /// operation reads #user and #password once, together, and uses only that
    /// pair; an assignment made while operations run affects the later ones
    /// only. Two assignments are not one, though: a call made between them
    /// sees the new user with the old password. To switch accounts while
    /// requests run, use a Client per account.
    static SettingString user;
    /// Account password; starts empty. Sent percent-encoded in the request's
    /// query, so any character is safe.
    static SettingString password;

    /// Sets the process-wide account's request rate and retries for the calls
    /// made from now on (calls already made keep theirs; the new rate starts
    /// with a full burst). Safe from any thread. Throws std::invalid_argument
    /// when `options` can't be used (a negative rate, a burst or maxAttempts
    /// below 1, a negative delay), changing nothing.
    static void configureAccount(AccountOptions options);

    /// Asks the account's credit balance (HTTP GET); the answer reaches
    /// `completionHandler` as the service sent it. A refusal on the calling
    /// thread: "Kindly set user and password before checking balance" or
    /// "Network connectivity is falied"; any other outcome on the network
    /// thread (see SMSManager).
    static void GetBalance(CompletionHandler completionHandler, ErrorHandler errorHandler);
    /// GetBalance with one handler that receives the Outcome, on the thread
    /// the two callbacks would run on.
    static void GetBalance(OutcomeHandler outcomeHandler);
    /// GetBalance whose Outcome arrives through the returned future, which
    /// always becomes ready (a refusal makes it ready before this returns).
    [[nodiscard]] static std::future<Outcome> GetBalance();

    /// Sends one text to a list of numbers (HTTP POST, JSON body). The
    /// arguments are those of SingleSMSRequest, in the service's order. A
    /// refusal on the calling thread: "Kindly set user and password before
    /// sending message", "Network connectivity is falied" or "JSON error: ...";
    /// any other outcome on the network thread (see SMSManager).
    static void SingleSMS(std::vector<std::string> MobileNumbers, std::string Message, std::string SenderName,
                          bool ReportRequired, std::optional<std::string> CallbackQueryString,
                          std::optional<std::string> ReferenceName, bool Quorvi,
                          std::optional<std::string> QuorviBaseURL, std::optional<std::string> QuorviFinalURL,
                          CompletionHandler completionHandler, ErrorHandler errorHandler);
    /// Sends one text to a list of numbers: the positional SingleSMS with its
    /// arguments in a SingleSMSRequest, with the same callbacks and messages.
    static void SingleSMS(const SingleSMSRequest& request, CompletionHandler completionHandler,
                          ErrorHandler errorHandler);
    /// SingleSMS with one handler that receives the Outcome.
    static void SingleSMS(const SingleSMSRequest& request, OutcomeHandler outcomeHandler);
    /// SingleSMS whose Outcome arrives through the returned future, which always
    /// becomes ready.
    [[nodiscard]] static std::future<Outcome> SingleSMS(const SingleSMSRequest& request);

    /// Sends one text to many numbers with scheduling and submission options
    /// (HTTP POST, JSON body). The arguments are those of BulkSMSRequest, in the
    /// service's order; callbacks, threads and messages as for SingleSMS.
    static void BulkSMS(std::vector<std::string> MobileNumbers, std::string Message, std::string SenderName,
                        std::string ScheduledDate, bool RemoveDuplicates,
                        std::optional<std::string> ReferenceName, bool ReportRequired,
                        std::optional<std::string> CallbackQueryString, bool ReturnIndividualResponse,
                        bool AsynchronousSubmission, bool Quorvi, std::optional<std::string> QuorviBaseURL,
                        std::optional<std::string> QuorviFinalURL, CompletionHandler completionHandler,
                        ErrorHandler errorHandler);
    /// The positional BulkSMS with its arguments in a BulkSMSRequest.
    static void BulkSMS(const BulkSMSRequest& request, CompletionHandler completionHandler,
                        ErrorHandler errorHandler);
    /// BulkSMS with one handler that receives the Outcome.
    static void BulkSMS(const BulkSMSRequest& request, OutcomeHandler outcomeHandler);
    /// BulkSMS whose Outcome arrives through the returned future, which always
    /// becomes ready.
    [[nodiscard]] static std::future<Outcome> BulkSMS(const BulkSMSRequest& request);

    /// Sends a different text to each number (HTTP POST, JSON body). The
    /// arguments are those of CustomSMSRequest, in the service's order;
    /// callbacks, threads and messages as for SingleSMS. An empty
    /// `MessageDetails` only prints "Sender list is empty" on standard output
    /// and calls neither callback.
    static void CustomSMS(MessageMap MessageDetails, std::string SenderName, std::string ScheduledDate,
                          bool RemoveDuplicates, std::optional<std::string> ReferenceName,
                          bool ReportRequired, std::optional<std::string> CallbackQueryString,
                          bool ReturnIndividualResponse, bool AsynchronousSubmission, bool Quorvi,
                          std::optional<std::string> QuorviBaseURL, std::optional<std::string> QuorviFinalURL,
                          CompletionHandler completionHandler, ErrorHandler errorHandler);
    /// The positional CustomSMS with its arguments in a CustomSMSRequest.
    static void CustomSMS(const CustomSMSRequest& request, CompletionHandler completionHandler,
                          ErrorHandler errorHandler);
    /// CustomSMS with one handler that receives the Outcome. An empty
    /// `MessageDetails` still prints "Sender list is empty", and the handler
    /// gets it as ErrorKind::NotSent on the calling thread.
    static void CustomSMS(const CustomSMSRequest& request, OutcomeHandler outcomeHandler);
    /// CustomSMS whose Outcome arrives through the returned future, which always
    /// becomes ready.
    [[nodiscard]] static std::future<Outcome> CustomSMS(const CustomSMSRequest& request);

private:
    SMSManager() = default;

    // The provider's REST base URL, fixed when the library is built.
    static const std::string_view BASE_URL;

    // The endpoint strings, composed from BASE_URL and the credentials as they
    // stand at each use.
    struct QELSMS_NO_EXPORT Endpoints {
        static std::string GetBalance();
        static std::string SingleSMS();
        static std::string BulkSMS();
        static std::string CustomSMS();
    };

    QELSMS_NO_EXPORT static void getNetworkCall(const std::string& restURL, detail::Callbacks&& callbacks);
    QELSMS_NO_EXPORT static void postNetworkCall(const std::string& restURL, detail::RequestBody&& parameters,
                                                 detail::Callbacks&& callbacks);
    QELSMS_NO_EXPORT static void customSMS(const CustomSMSRequest& request, detail::Callbacks&& callbacks);

    friend class Client;
};

/// An account of its own: credentials and base URL fixed at construction.
///
/// Offers the same operations as SMSManager, with the same callbacks, threads
/// and messages. Any number of clients may be used from any number of
/// threads; destroying a client with requests in flight still delivers their
/// callbacks.
class QELSMS_EXPORT Client {
public:
    /// A client for `user` on the library's default base URL.
    Client(std::string user, std::string password);
    /// A client for `user` on `baseURL`, such as "https://host/api/". Throws
    /// std::invalid_argument unless `baseURL` is an http or https URL ending
    /// in "/" without user information, query or fragment; the exception's
    /// text never quotes the URL.
    Client(std::string user, std::string password, std::string baseURL);
    /// A client for `user` on `baseURL` whose requests start at the rate and
    /// are retried as `options` say; its copies share that rate. Throws
    /// std::invalid_argument as the constructor above does, or when `options`
    /// can't be used (see SMSManager::configureAccount).
    Client(std::string user, std::string password, std::string baseURL, AccountOptions options);

    /// The account's user name.
    [[nodiscard]] const std::string& user() const noexcept { return user_; }
    /// The base URL requests go to.
    [[nodiscard]] const std::string& baseURL() const noexcept { return baseURL_; }
    /// The library's built-in base URL.
    static std::string_view defaultBaseURL() noexcept;

    /// Asks the account's credit balance; see SMSManager::GetBalance.
    void GetBalance(CompletionHandler completionHandler, ErrorHandler errorHandler) const;
    /// GetBalance with one handler that receives the Outcome.
    void GetBalance(OutcomeHandler outcomeHandler) const;
    /// GetBalance whose Outcome arrives through the returned future.
    [[nodiscard]] std::future<Outcome> GetBalance() const;

    /// Sends one text to a list of numbers; see SMSManager::SingleSMS.
    void SingleSMS(std::vector<std::string> MobileNumbers, std::string Message, std::string SenderName,
                   bool ReportRequired, std::optional<std::string> CallbackQueryString,
                   std::optional<std::string> ReferenceName, bool Quorvi,
                   std::optional<std::string> QuorviBaseURL, std::optional<std::string> QuorviFinalURL,
                   CompletionHandler completionHandler, ErrorHandler errorHandler) const;
    /// The positional SingleSMS with its arguments in a SingleSMSRequest.
    void SingleSMS(const SingleSMSRequest& request, CompletionHandler completionHandler,
                   ErrorHandler errorHandler) const;
    /// SingleSMS with one handler that receives the Outcome.
    void SingleSMS(const SingleSMSRequest& request, OutcomeHandler outcomeHandler) const;
    /// SingleSMS whose Outcome arrives through the returned future, which always
    /// becomes ready.
    [[nodiscard]] std::future<Outcome> SingleSMS(const SingleSMSRequest& request) const;

    /// Sends one text to many numbers with scheduling and submission options;
    /// see SMSManager::BulkSMS.
    void BulkSMS(std::vector<std::string> MobileNumbers, std::string Message, std::string SenderName,
                 std::string ScheduledDate, bool RemoveDuplicates, std::optional<std::string> ReferenceName,
                 bool ReportRequired, std::optional<std::string> CallbackQueryString,
                 bool ReturnIndividualResponse, bool AsynchronousSubmission, bool Quorvi,
                 std::optional<std::string> QuorviBaseURL, std::optional<std::string> QuorviFinalURL,
                 CompletionHandler completionHandler, ErrorHandler errorHandler) const;
    /// The positional BulkSMS with its arguments in a BulkSMSRequest.
    void BulkSMS(const BulkSMSRequest& request, CompletionHandler completionHandler,
                 ErrorHandler errorHandler) const;
    /// BulkSMS with one handler that receives the Outcome.
    void BulkSMS(const BulkSMSRequest& request, OutcomeHandler outcomeHandler) const;
    /// BulkSMS whose Outcome arrives through the returned future, which always
    /// becomes ready.
    [[nodiscard]] std::future<Outcome> BulkSMS(const BulkSMSRequest& request) const;

    /// Sends a different text to each number; see SMSManager::CustomSMS.
    void CustomSMS(MessageMap MessageDetails, std::string SenderName, std::string ScheduledDate,
                   bool RemoveDuplicates, std::optional<std::string> ReferenceName, bool ReportRequired,
                   std::optional<std::string> CallbackQueryString, bool ReturnIndividualResponse,
                   bool AsynchronousSubmission, bool Quorvi, std::optional<std::string> QuorviBaseURL,
                   std::optional<std::string> QuorviFinalURL, CompletionHandler completionHandler,
                   ErrorHandler errorHandler) const;
    /// The positional CustomSMS with its arguments in a CustomSMSRequest.
    void CustomSMS(const CustomSMSRequest& request, CompletionHandler completionHandler,
                   ErrorHandler errorHandler) const;
    /// CustomSMS with one handler that receives the Outcome.
    void CustomSMS(const CustomSMSRequest& request, OutcomeHandler outcomeHandler) const;
    /// CustomSMS whose Outcome arrives through the returned future, which always
    /// becomes ready.
    [[nodiscard]] std::future<Outcome> CustomSMS(const CustomSMSRequest& request) const;

private:
    QELSMS_NO_EXPORT void getBalance(detail::Callbacks&& callbacks) const;
    QELSMS_NO_EXPORT void singleSMS(const SingleSMSRequest& request, detail::Callbacks&& callbacks) const;
    QELSMS_NO_EXPORT void bulkSMS(const BulkSMSRequest& request, detail::Callbacks&& callbacks) const;
    QELSMS_NO_EXPORT void customSMS(const CustomSMSRequest& request, detail::Callbacks&& callbacks) const;

    std::string user_;
    std::string password_;
    std::string baseURL_;
    // Its queue, pace and retries, shared by its copies.
    std::shared_ptr<const detail::ClientOptions> options_;
};

}  // namespace qelsms
