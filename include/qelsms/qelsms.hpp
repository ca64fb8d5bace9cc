// QelSMS: a client library for the QelSMS REST service.
//
// This is the one header an application includes. Everything lives on the
// facade class qelsms::SMSManager (one account per process) or, for several
// accounts, on qelsms::Client.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "qelsms/http_client.hpp"
#include "qelsms/segments.hpp"

/// The library's version as a number (1.0).
extern "C" const double QelSMSVersionNumber;
/// The library's identification string: 37 characters ending in a line feed,
/// then NUL.
extern "C" const unsigned char QelSMSVersionString[];

namespace qelsms {

/// Receives the decoded JSON answer (always an object or an array) of an
/// accepted request. Called on the library's network thread.
using CompletionHandler = std::function<void(nlohmann::json)>;

/// Receives a message string when a request was refused or its answer
/// rejected. Called either on the caller's thread before the operation
/// returns (missing credentials, no network, unserialisable body) or later on
/// the library's network thread.
using ErrorHandler = std::function<void(std::string)>;

/// True when `value` holds no string or holds the empty string.
bool isNilOrEmpty(const std::optional<std::string>& value) noexcept;

/// A string setting that several threads may read and assign at once; every
/// assignment replaces the whole value.
class SettingString {
public:
    constexpr SettingString() noexcept = default;
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
    mutable std::mutex mutex_;
    std::string value_;
};

/// Arguments of a single-message submission, named as the service names them.
/// Optional strings are sent only when present (even when empty).
struct SingleSMSRequest {
    std::vector<std::string> MobileNumbers{};
    std::string Message{};
    std::string SenderName{};
    bool ReportRequired = false;
    std::optional<std::string> CallbackQueryString{};
    std::optional<std::string> ReferenceName{};
    bool Quorvi = false;
    std::optional<std::string> QuorviBaseURL{};
    std::optional<std::string> QuorviFinalURL{};
};

/// Arguments of a bulk submission. An empty ScheduledDate means "send now".
struct BulkSMSRequest {
    std::vector<std::string> MobileNumbers{};
    std::string Message{};
    std::string SenderName{};
    std::string ScheduledDate{};
    bool RemoveDuplicates = false;
    std::optional<std::string> ReferenceName{};
    bool ReportRequired = false;
    std::optional<std::string> CallbackQueryString{};
    bool ReturnIndividualResponse = false;
    bool AsynchronousSubmission = false;
    bool Quorvi = false;
    std::optional<std::string> QuorviBaseURL{};
    std::optional<std::string> QuorviFinalURL{};
};

/// Destination number to message text, for CustomSMS.
using MessageMap = std::map<std::string, std::string>;

/// Arguments of a per-number-text submission.
struct CustomSMSRequest {
    MessageMap MessageDetails{};
    std::string SenderName{};
    std::string ScheduledDate{};
    bool RemoveDuplicates = false;
    std::optional<std::string> ReferenceName{};
    bool ReportRequired = false;
    std::optional<std::string> CallbackQueryString{};
    bool ReturnIndividualResponse = false;
    bool AsynchronousSubmission = false;
    bool Quorvi = false;
    std::optional<std::string> QuorviBaseURL{};
    std::optional<std::string> QuorviFinalURL{};
};

/// The process-wide account and its four operations.
///
/// Every operation returns at once. Exactly one of the two callbacks is called
/// once per request that was handed to the network, on the library's network
/// thread. Refusals ("Kindly set user and password before ...", "Network
/// connectivity is falied") reach the error callback on the caller's thread
/// before the operation returns.
class SMSManager {
public:
    /// Account user name; starts empty.
    static SettingString user;
    /// Account password; starts empty.
    static SettingString password;

    /// Asks the account's credit balance (HTTP GET).
    static void GetBalance(CompletionHandler completionHandler, ErrorHandler errorHandler);

    /// Sends one text to a list of numbers.
    static void SingleSMS(std::vector<std::string> MobileNumbers, std::string Message, std::string SenderName,
                          bool ReportRequired, std::optional<std::string> CallbackQueryString,
                          std::optional<std::string> ReferenceName, bool Quorvi,
                          std::optional<std::string> QuorviBaseURL, std::optional<std::string> QuorviFinalURL,
                          CompletionHandler completionHandler, ErrorHandler errorHandler);
    /// Sends one text to a list of numbers (named-argument form).
    static void SingleSMS(const SingleSMSRequest& request, CompletionHandler completionHandler,
                          ErrorHandler errorHandler);

    /// Sends one text to many numbers with scheduling and submission options.
    static void BulkSMS(std::vector<std::string> MobileNumbers, std::string Message, std::string SenderName,
                        std::string ScheduledDate, bool RemoveDuplicates,
                        std::optional<std::string> ReferenceName, bool ReportRequired,
                        std::optional<std::string> CallbackQueryString, bool ReturnIndividualResponse,
                        bool AsynchronousSubmission, bool Quorvi, std::optional<std::string> QuorviBaseURL,
                        std::optional<std::string> QuorviFinalURL, CompletionHandler completionHandler,
                        ErrorHandler errorHandler);
    /// Bulk submission (named-argument form).
    static void BulkSMS(const BulkSMSRequest& request, CompletionHandler completionHandler,
                        ErrorHandler errorHandler);

    /// Sends a different text to each number. An empty map prints "Sender list
    /// is empty" and calls neither callback.
    static void CustomSMS(MessageMap MessageDetails, std::string SenderName, std::string ScheduledDate,
                          bool RemoveDuplicates, std::optional<std::string> ReferenceName,
                          bool ReportRequired, std::optional<std::string> CallbackQueryString,
                          bool ReturnIndividualResponse, bool AsynchronousSubmission, bool Quorvi,
                          std::optional<std::string> QuorviBaseURL, std::optional<std::string> QuorviFinalURL,
                          CompletionHandler completionHandler, ErrorHandler errorHandler);
    /// Per-number-text submission (named-argument form).
    static void CustomSMS(const CustomSMSRequest& request, CompletionHandler completionHandler,
                          ErrorHandler errorHandler);

private:
    SMSManager() = default;

    // The provider's REST base URL, fixed when the library is built.
    static const std::string_view BASE_URL;

    // The endpoint strings, composed from BASE_URL and the credentials as they
    // stand at each use.
    struct Endpoints {
        static std::string GetBalance();
        static std::string SingleSMS();
        static std::string BulkSMS();
        static std::string CustomSMS();
    };

    static void getNetworkCall(const std::string& restURL, CompletionHandler completionHandler,
                               ErrorHandler errorHandler);
    static void postNetworkCall(const std::string& restURL, const nlohmann::ordered_json& parameters,
                                CompletionHandler completionHandler, ErrorHandler errorHandler);

    friend class Client;
};

/// An account of its own: credentials and base URL fixed at construction.
/// Offers the same operations as SMSManager, with the same messages. Any
/// number of clients may be used from any number of threads; destroying a
/// client with requests in flight still delivers their callbacks.
class Client {
public:
    /// A client for `user` on the library's default base URL.
    Client(std::string user, std::string password);
    /// A client for `user` on `baseURL` (which should end in "/api/").
    Client(std::string user, std::string password, std::string baseURL);

    /// The account's user name.
    [[nodiscard]] const std::string& user() const noexcept { return user_; }
    /// The base URL requests go to.
    [[nodiscard]] const std::string& baseURL() const noexcept { return baseURL_; }
    /// The library's built-in base URL.
    static std::string_view defaultBaseURL() noexcept;

    /// Asks the account's credit balance.
    void GetBalance(CompletionHandler completionHandler, ErrorHandler errorHandler) const;

    /// Sends one text to a list of numbers.
    void SingleSMS(std::vector<std::string> MobileNumbers, std::string Message, std::string SenderName,
                   bool ReportRequired, std::optional<std::string> CallbackQueryString,
                   std::optional<std::string> ReferenceName, bool Quorvi,
                   std::optional<std::string> QuorviBaseURL, std::optional<std::string> QuorviFinalURL,
                   CompletionHandler completionHandler, ErrorHandler errorHandler) const;
    /// Sends one text to a list of numbers (named-argument form).
    void SingleSMS(const SingleSMSRequest& request, CompletionHandler completionHandler,
                   ErrorHandler errorHandler) const;

    /// Sends one text to many numbers with scheduling and submission options.
    void BulkSMS(std::vector<std::string> MobileNumbers, std::string Message, std::string SenderName,
                 std::string ScheduledDate, bool RemoveDuplicates, std::optional<std::string> ReferenceName,
                 bool ReportRequired, std::optional<std::string> CallbackQueryString,
                 bool ReturnIndividualResponse, bool AsynchronousSubmission, bool Quorvi,
                 std::optional<std::string> QuorviBaseURL, std::optional<std::string> QuorviFinalURL,
                 CompletionHandler completionHandler, ErrorHandler errorHandler) const;
    /// Bulk submission (named-argument form).
    void BulkSMS(const BulkSMSRequest& request, CompletionHandler completionHandler,
                 ErrorHandler errorHandler) const;

    /// Sends a different text to each number.
    void CustomSMS(MessageMap MessageDetails, std::string SenderName, std::string ScheduledDate,
                   bool RemoveDuplicates, std::optional<std::string> ReferenceName, bool ReportRequired,
                   std::optional<std::string> CallbackQueryString, bool ReturnIndividualResponse,
                   bool AsynchronousSubmission, bool Quorvi, std::optional<std::string> QuorviBaseURL,
                   std::optional<std::string> QuorviFinalURL, CompletionHandler completionHandler,
                   ErrorHandler errorHandler) const;
    /// Per-number-text submission (named-argument form).
    void CustomSMS(const CustomSMSRequest& request, CompletionHandler completionHandler,
                   ErrorHandler errorHandler) const;

private:
    std::string user_;
    std::string password_;
    std::string baseURL_;
};

}  // namespace qelsms
