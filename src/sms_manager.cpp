#include <cstdio>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include <qelsms/qelsms.hpp>

#include <atomic>

#include "answer_handling.hpp"
#include "client_options.hpp"
#include "endpoints.hpp"
#include "lifecycle.hpp"
#include "qelsms_build_config.hpp"
#include "request_body.hpp"
#include "transports.hpp"

extern "C" const double QelSMSVersionNumber = 1.0;
extern "C" const unsigned char QelSMSVersionString[] = "@(#)PROGRAM:QelSMS  PROJECT:QelSMS-1\n";

namespace qelsms {

bool isNilOrEmpty(const std::optional<std::string>& value) noexcept {
    return !value || value->empty();
}

SettingString& SettingString::operator=(std::string value) {
    const std::string* replaced = new std::string(std::move(value));
    {
        std::lock_guard lock(detail::settingsMutex());
        std::swap(value_, replaced);
    }
    // Freed outside the lock; readers copy the value under it, so none still
    // holds this one.
    delete replaced;
    return *this;
}

SettingString& SettingString::operator=(const SettingString& other) {
    if (this != &other) *this = other.get();
    return *this;
}

std::string SettingString::get() const {
    std::lock_guard lock(detail::settingsMutex());
    return value_ != nullptr ? *value_ : std::string();
}

namespace detail {

struct SettingAccess {
    // The caller holds settingsMutex().
    static std::string_view valueOf(const SettingString& setting) noexcept {
        return setting.value_ != nullptr ? std::string_view(*setting.value_) : std::string_view();
    }
};

}  // namespace detail

// clang before 15 can't evaluate libstdc++'s constexpr std::string constructor
// at compile time (the fuzz targets are built with clang 14); there the
// settings are initialised dynamically, before main, like any other global.
#if defined(__clang__) && __clang_major__ < 15
#define QELSMS_CONSTINIT
#else
#define QELSMS_CONSTINIT constinit
#endif

QELSMS_CONSTINIT SettingString SMSManager::user;
QELSMS_CONSTINIT SettingString SMSManager::password;
const std::string_view SMSManager::BASE_URL = QELSMS_BASE_URL;

namespace detail {

void appendPercentEncoded(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        const bool unreserved = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
                                (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' || byte == '_' ||
                                byte == '~';
        if (unreserved) {
            out.push_back(c);
        } else {
            out.push_back('%');
            out.push_back(kHex[byte >> 4]);
            out.push_back(kHex[byte & 0x0F]);
        }
    }
}

std::optional<std::string> percentDecoded(std::string_view text) {
    const auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out.push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size() || hex(text[i + 1]) < 0 || hex(text[i + 2]) < 0) return std::nullopt;
        out.push_back(static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2])));
        i += 2;
    }
    return out;
}

std::string composeEndpoint(std::string_view baseURL, std::string_view path, std::string_view user,
                            std::string_view password) {
    std::string url;
    url.reserve(baseURL.size() + path.size() + 3 * (user.size() + password.size()) + 10);
    url.append(baseURL).append(path);
    appendPercentEncoded(url, user);
    url.append("&").append("Password=");
    appendPercentEncoded(url, password);
    return url;
}

namespace {

// Writes the line an empty custom message map gets; only an outcome handler
// hears of it besides.
void refuseEmptySenderList(const Callbacks& callbacks) {
    static constexpr char kLine[] = "Sender list is empty\n";
    std::fwrite(kLine, 1, sizeof kLine - 1, stdout);
    std::fflush(stdout);
    deliverLoggedRefusal(callbacks, "Sender list is empty", "no messages to send; nothing was sent");
}

Callbacks twoHandlers(CompletionHandler&& completionHandler, ErrorHandler&& errorHandler) {
    return Callbacks{std::move(completionHandler), std::move(errorHandler), {}};
}

Callbacks oneHandler(OutcomeHandler&& outcomeHandler) {
    return Callbacks{{}, {}, std::move(outcomeHandler)};
}

// Starts an operation with an outcome handler that fulfils the returned
// future; every call ends in exactly one outcome, so the future always
// becomes ready.
template <class Start>
std::future<Outcome> futureOf(Start&& start) {
    auto promise = std::make_shared<std::promise<Outcome>>();
    std::future<Outcome> future = promise->get_future();
    start(OutcomeHandler(FulfilPromise{std::move(promise)}));
    return future;
}

}  // namespace

}  // namespace detail

namespace {

// The process-wide account's pace and retries, once configureAccount has set
// them; read and replaced under the settings lock. Never destroyed, like the
// settings: a call made during exit still finds it.
std::shared_ptr<const detail::ClientOptions>& processAccountOptions() {
    static auto* options = new std::shared_ptr<const detail::ClientOptions>();
    return *options;
}

// Why `options` can't be used, thrown as std::invalid_argument.
void checkOptions(const AccountOptions& options) {
    if (auto problem = detail::checkAccountOptions(options)) throw std::invalid_argument(*problem);
}

// A client's own queue, pace and retries. Each client has a queue of its own,
// named so that no other client's can match, so that neither its pace nor a
// 429's pause ever holds back another client.
std::shared_ptr<const detail::ClientOptions> clientOptions(const AccountOptions& options) {
    static std::atomic<std::uint64_t> clients{0};
    auto made = std::make_shared<detail::ClientOptions>();
    made->account = "client " + std::to_string(clients.fetch_add(1, std::memory_order_relaxed) + 1);
    made->pacing = options;
    made->bucket = detail::TokenBucket(options.requestsPerSecond, options.burst);
    return made;
}

// The account as one call uses it: both settings read together, once, so the
// credentials a call checks are the ones it sends.
struct Account {
    std::string user;
    std::string password;
    std::shared_ptr<const detail::ClientOptions> options;

    detail::Credentials credentials() const { return {user, password}; }
    std::string endpoint(std::string_view path) const {
        return detail::composeEndpoint(Client::defaultBaseURL(), path, user, password);
    }
};

Account account() {
    std::lock_guard lock(detail::settingsMutex());
    return {std::string(detail::SettingAccess::valueOf(SMSManager::user)),
            std::string(detail::SettingAccess::valueOf(SMSManager::password)), processAccountOptions()};
}

// An operation of the process-wide account: one snapshot serves the check and
// the URL alike.
void getBalance(detail::Callbacks&& callbacks) {
    const Account snapshot = account();
    detail::getNetworkCall(snapshot.credentials(), snapshot.endpoint(detail::kGetBalancePath),
                           std::move(callbacks), snapshot.options);
}

void post(std::string_view path, detail::RequestBody&& body, detail::Callbacks&& callbacks) {
    const Account snapshot = account();
    detail::postNetworkCall(snapshot.credentials(), snapshot.endpoint(path), std::move(body),
                            std::move(callbacks), snapshot.options);
}

}  // namespace

std::string SMSManager::Endpoints::GetBalance() {
    return account().endpoint(detail::kGetBalancePath);
}
std::string SMSManager::Endpoints::SingleSMS() {
    return account().endpoint(detail::kSingleSMSPath);
}
std::string SMSManager::Endpoints::BulkSMS() {
    return account().endpoint(detail::kBulkSMSPath);
}
std::string SMSManager::Endpoints::CustomSMS() {
    return account().endpoint(detail::kCustomSMSPath);
}

void SMSManager::getNetworkCall(const std::string& restURL, detail::Callbacks&& callbacks) {
    const Account snapshot = account();
    detail::getNetworkCall(snapshot.credentials(), restURL, std::move(callbacks), snapshot.options);
}

void SMSManager::postNetworkCall(const std::string& restURL, detail::RequestBody&& parameters,
                                 detail::Callbacks&& callbacks) {
    const Account snapshot = account();
    detail::postNetworkCall(snapshot.credentials(), restURL, std::move(parameters), std::move(callbacks),
                            snapshot.options);
}

void SMSManager::configureAccount(AccountOptions options) {
    checkOptions(options);
    // The process-wide account keeps its queue (named by the empty string),
    // so its pauses hold across a change.
    auto made = std::make_shared<detail::ClientOptions>();
    made->pacing = options;
    made->bucket = detail::TokenBucket(options.requestsPerSecond, options.burst);
    std::shared_ptr<const detail::ClientOptions> replaced = std::move(made);
    {
        std::lock_guard lock(detail::settingsMutex());
        std::swap(processAccountOptions(), replaced);
    }
}

void SMSManager::GetBalance(CompletionHandler completionHandler, ErrorHandler errorHandler) {
    getBalance(detail::twoHandlers(std::move(completionHandler), std::move(errorHandler)));
}

void SMSManager::GetBalance(OutcomeHandler outcomeHandler) {
    getBalance(detail::oneHandler(std::move(outcomeHandler)));
}

std::future<Outcome> SMSManager::GetBalance() {
    return detail::futureOf([](OutcomeHandler handler) { GetBalance(std::move(handler)); });
}

void SMSManager::SingleSMS(const SingleSMSRequest& request, CompletionHandler completionHandler,
                           ErrorHandler errorHandler) {
    post(detail::kSingleSMSPath, detail::writeSingleSMSBody(request),
         detail::twoHandlers(std::move(completionHandler), std::move(errorHandler)));
}

void SMSManager::SingleSMS(const SingleSMSRequest& request, OutcomeHandler outcomeHandler) {
    post(detail::kSingleSMSPath, detail::writeSingleSMSBody(request),
         detail::oneHandler(std::move(outcomeHandler)));
}

std::future<Outcome> SMSManager::SingleSMS(const SingleSMSRequest& request) {
    return detail::futureOf([&](OutcomeHandler handler) { SingleSMS(request, std::move(handler)); });
}

void SMSManager::SingleSMS(std::vector<std::string> MobileNumbers, std::string Message,
                           std::string SenderName, bool ReportRequired,
                           std::optional<std::string> CallbackQueryString,
                           std::optional<std::string> ReferenceName, bool Quorvi,
                           std::optional<std::string> QuorviBaseURL,
                           std::optional<std::string> QuorviFinalURL, CompletionHandler completionHandler,
                           ErrorHandler errorHandler) {
    SingleSMS(SingleSMSRequest{std::move(MobileNumbers), std::move(Message), std::move(SenderName),
                               ReportRequired, std::move(CallbackQueryString), std::move(ReferenceName),
                               Quorvi, std::move(QuorviBaseURL), std::move(QuorviFinalURL)},
              std::move(completionHandler), std::move(errorHandler));
}

void SMSManager::BulkSMS(const BulkSMSRequest& request, CompletionHandler completionHandler,
                         ErrorHandler errorHandler) {
    post(detail::kBulkSMSPath, detail::writeBulkSMSBody(request),
         detail::twoHandlers(std::move(completionHandler), std::move(errorHandler)));
}

void SMSManager::BulkSMS(const BulkSMSRequest& request, OutcomeHandler outcomeHandler) {
    post(detail::kBulkSMSPath, detail::writeBulkSMSBody(request),
         detail::oneHandler(std::move(outcomeHandler)));
}

std::future<Outcome> SMSManager::BulkSMS(const BulkSMSRequest& request) {
    return detail::futureOf([&](OutcomeHandler handler) { BulkSMS(request, std::move(handler)); });
}

void SMSManager::BulkSMS(std::vector<std::string> MobileNumbers, std::string Message, std::string SenderName,
                         std::string ScheduledDate, bool RemoveDuplicates,
                         std::optional<std::string> ReferenceName, bool ReportRequired,
                         std::optional<std::string> CallbackQueryString, bool ReturnIndividualResponse,
                         bool AsynchronousSubmission, bool Quorvi, std::optional<std::string> QuorviBaseURL,
                         std::optional<std::string> QuorviFinalURL, CompletionHandler completionHandler,
                         ErrorHandler errorHandler) {
    BulkSMS(
        BulkSMSRequest{std::move(MobileNumbers), std::move(Message), std::move(SenderName),
                       std::move(ScheduledDate), RemoveDuplicates, std::move(ReferenceName), ReportRequired,
                       std::move(CallbackQueryString), ReturnIndividualResponse, AsynchronousSubmission,
                       Quorvi, std::move(QuorviBaseURL), std::move(QuorviFinalURL)},
        std::move(completionHandler), std::move(errorHandler));
}

void SMSManager::customSMS(const CustomSMSRequest& request, detail::Callbacks&& callbacks) {
    if (request.MessageDetails.empty()) return detail::refuseEmptySenderList(callbacks);
    post(detail::kCustomSMSPath, detail::writeCustomSMSBody(request), std::move(callbacks));
}

void SMSManager::CustomSMS(const CustomSMSRequest& request, CompletionHandler completionHandler,
                           ErrorHandler errorHandler) {
    customSMS(request, detail::twoHandlers(std::move(completionHandler), std::move(errorHandler)));
}

void SMSManager::CustomSMS(const CustomSMSRequest& request, OutcomeHandler outcomeHandler) {
    customSMS(request, detail::oneHandler(std::move(outcomeHandler)));
}

std::future<Outcome> SMSManager::CustomSMS(const CustomSMSRequest& request) {
    return detail::futureOf([&](OutcomeHandler handler) { CustomSMS(request, std::move(handler)); });
}

void SMSManager::CustomSMS(MessageMap MessageDetails, std::string SenderName, std::string ScheduledDate,
                           bool RemoveDuplicates, std::optional<std::string> ReferenceName,
                           bool ReportRequired, std::optional<std::string> CallbackQueryString,
                           bool ReturnIndividualResponse, bool AsynchronousSubmission, bool Quorvi,
                           std::optional<std::string> QuorviBaseURL,
                           std::optional<std::string> QuorviFinalURL, CompletionHandler completionHandler,
                           ErrorHandler errorHandler) {
    CustomSMS(
        CustomSMSRequest{std::move(MessageDetails), std::move(SenderName), std::move(ScheduledDate),
                         RemoveDuplicates, std::move(ReferenceName), ReportRequired,
                         std::move(CallbackQueryString), ReturnIndividualResponse, AsynchronousSubmission,
                         Quorvi, std::move(QuorviBaseURL), std::move(QuorviFinalURL)},
        std::move(completionHandler), std::move(errorHandler));
}

Client::Client(std::string user, std::string password)
    : Client(std::move(user), std::move(password), std::string(defaultBaseURL())) {}

Client::Client(std::string user, std::string password, std::string baseURL)
    : Client(std::move(user), std::move(password), std::move(baseURL), AccountOptions{}) {}

Client::Client(std::string user, std::string password, std::string baseURL, AccountOptions options)
    : user_(std::move(user)), password_(std::move(password)), baseURL_(std::move(baseURL)) {
    if (std::string problem = detail::baseURLProblem(baseURL_); !problem.empty()) {
        throw std::invalid_argument(problem);
    }
    checkOptions(options);
    options_ = clientOptions(options);
}

std::string_view Client::defaultBaseURL() noexcept {
    return SMSManager::BASE_URL;
}

void Client::getBalance(detail::Callbacks&& callbacks) const {
    detail::getNetworkCall({user_, password_},
                           detail::composeEndpoint(baseURL_, detail::kGetBalancePath, user_, password_),
                           std::move(callbacks), options_);
}

void Client::singleSMS(const SingleSMSRequest& request, detail::Callbacks&& callbacks) const {
    detail::postNetworkCall({user_, password_},
                            detail::composeEndpoint(baseURL_, detail::kSingleSMSPath, user_, password_),
                            detail::writeSingleSMSBody(request), std::move(callbacks), options_);
}

void Client::bulkSMS(const BulkSMSRequest& request, detail::Callbacks&& callbacks) const {
    detail::postNetworkCall({user_, password_},
                            detail::composeEndpoint(baseURL_, detail::kBulkSMSPath, user_, password_),
                            detail::writeBulkSMSBody(request), std::move(callbacks), options_);
}

void Client::customSMS(const CustomSMSRequest& request, detail::Callbacks&& callbacks) const {
    if (request.MessageDetails.empty()) return detail::refuseEmptySenderList(callbacks);
    detail::postNetworkCall({user_, password_},
                            detail::composeEndpoint(baseURL_, detail::kCustomSMSPath, user_, password_),
                            detail::writeCustomSMSBody(request), std::move(callbacks), options_);
}

void Client::GetBalance(CompletionHandler completionHandler, ErrorHandler errorHandler) const {
    getBalance(detail::twoHandlers(std::move(completionHandler), std::move(errorHandler)));
}

void Client::GetBalance(OutcomeHandler outcomeHandler) const {
    getBalance(detail::oneHandler(std::move(outcomeHandler)));
}

std::future<Outcome> Client::GetBalance() const {
    return detail::futureOf(
        [this](OutcomeHandler handler) { getBalance(detail::oneHandler(std::move(handler))); });
}

void Client::SingleSMS(const SingleSMSRequest& request, CompletionHandler completionHandler,
                       ErrorHandler errorHandler) const {
    singleSMS(request, detail::twoHandlers(std::move(completionHandler), std::move(errorHandler)));
}

void Client::SingleSMS(const SingleSMSRequest& request, OutcomeHandler outcomeHandler) const {
    singleSMS(request, detail::oneHandler(std::move(outcomeHandler)));
}

std::future<Outcome> Client::SingleSMS(const SingleSMSRequest& request) const {
    return detail::futureOf([&](OutcomeHandler handler) { SingleSMS(request, std::move(handler)); });
}

void Client::SingleSMS(std::vector<std::string> MobileNumbers, std::string Message, std::string SenderName,
                       bool ReportRequired, std::optional<std::string> CallbackQueryString,
                       std::optional<std::string> ReferenceName, bool Quorvi,
                       std::optional<std::string> QuorviBaseURL, std::optional<std::string> QuorviFinalURL,
                       CompletionHandler completionHandler, ErrorHandler errorHandler) const {
    SingleSMS(SingleSMSRequest{std::move(MobileNumbers), std::move(Message), std::move(SenderName),
                               ReportRequired, std::move(CallbackQueryString), std::move(ReferenceName),
                               Quorvi, std::move(QuorviBaseURL), std::move(QuorviFinalURL)},
              std::move(completionHandler), std::move(errorHandler));
}

void Client::BulkSMS(const BulkSMSRequest& request, CompletionHandler completionHandler,
                     ErrorHandler errorHandler) const {
    bulkSMS(request, detail::twoHandlers(std::move(completionHandler), std::move(errorHandler)));
}

void Client::BulkSMS(const BulkSMSRequest& request, OutcomeHandler outcomeHandler) const {
    bulkSMS(request, detail::oneHandler(std::move(outcomeHandler)));
}

std::future<Outcome> Client::BulkSMS(const BulkSMSRequest& request) const {
    return detail::futureOf([&](OutcomeHandler handler) { BulkSMS(request, std::move(handler)); });
}

void Client::BulkSMS(std::vector<std::string> MobileNumbers, std::string Message, std::string SenderName,
                     std::string ScheduledDate, bool RemoveDuplicates,
                     std::optional<std::string> ReferenceName, bool ReportRequired,
                     std::optional<std::string> CallbackQueryString, bool ReturnIndividualResponse,
                     bool AsynchronousSubmission, bool Quorvi, std::optional<std::string> QuorviBaseURL,
                     std::optional<std::string> QuorviFinalURL, CompletionHandler completionHandler,
                     ErrorHandler errorHandler) const {
    BulkSMS(
        BulkSMSRequest{std::move(MobileNumbers), std::move(Message), std::move(SenderName),
                       std::move(ScheduledDate), RemoveDuplicates, std::move(ReferenceName), ReportRequired,
                       std::move(CallbackQueryString), ReturnIndividualResponse, AsynchronousSubmission,
                       Quorvi, std::move(QuorviBaseURL), std::move(QuorviFinalURL)},
        std::move(completionHandler), std::move(errorHandler));
}

void Client::CustomSMS(const CustomSMSRequest& request, CompletionHandler completionHandler,
                       ErrorHandler errorHandler) const {
    customSMS(request, detail::twoHandlers(std::move(completionHandler), std::move(errorHandler)));
}

void Client::CustomSMS(const CustomSMSRequest& request, OutcomeHandler outcomeHandler) const {
    customSMS(request, detail::oneHandler(std::move(outcomeHandler)));
}

std::future<Outcome> Client::CustomSMS(const CustomSMSRequest& request) const {
    return detail::futureOf([&](OutcomeHandler handler) { CustomSMS(request, std::move(handler)); });
}

void Client::CustomSMS(MessageMap MessageDetails, std::string SenderName, std::string ScheduledDate,
                       bool RemoveDuplicates, std::optional<std::string> ReferenceName, bool ReportRequired,
                       std::optional<std::string> CallbackQueryString, bool ReturnIndividualResponse,
                       bool AsynchronousSubmission, bool Quorvi, std::optional<std::string> QuorviBaseURL,
                       std::optional<std::string> QuorviFinalURL, CompletionHandler completionHandler,
                       ErrorHandler errorHandler) const {
    CustomSMS(
        CustomSMSRequest{std::move(MessageDetails), std::move(SenderName), std::move(ScheduledDate),
                         RemoveDuplicates, std::move(ReferenceName), ReportRequired,
                         std::move(CallbackQueryString), ReturnIndividualResponse, AsynchronousSubmission,
                         Quorvi, std::move(QuorviBaseURL), std::move(QuorviFinalURL)},
        std::move(completionHandler), std::move(errorHandler));
}

}  // namespace qelsms
