// The transports, the shared HTTP client they hand requests to, and the one
// handling that turns every finished exchange into exactly one callback.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>
#include <qelsms/qelsms.hpp>

namespace qelsms::detail {

// What the response handling reads of an answer's head.
struct ResponseInfo {
    // False for a response of another protocol than HTTP.
    bool isHttp = true;
    std::int64_t statusCode = 0;
    // Media type without parameters, lower-cased; absent without Content-Type.
    std::optional<std::string> mimeType;
};

// Answers larger than this are cut off and reported as a client error.
inline constexpr std::size_t kMaxResponseBytes = std::size_t{16} * 1024 * 1024;
// Decoded answers nested deeper than this are refused.
inline constexpr int kMaxJsonDepth = 512;

// Classifies one finished exchange and calls exactly one of the callbacks,
// once. `transportError` is true when the exchange failed below HTTP.
void handleNetworkResponse(const std::optional<std::string>& body,
                           const std::optional<ResponseInfo>& response, bool transportError,
                           const CompletionHandler& completionHandler, const ErrorHandler& errorHandler);

// The media type of a Content-Type header value: parameters and surrounding
// blanks removed, lower-cased; absent for an empty value.
std::optional<std::string> mimeTypeOf(std::string_view contentType);

// Decodes an answer body: only an object or an array at the top level, at most
// kMaxJsonDepth levels deep. On failure returns nullopt and sets `error` to
// the decoder's description.
std::optional<nlohmann::json> decodeBody(std::string_view body, std::string& error);

// Credentials as a transport tests them.
struct Credentials {
    std::string_view user;
    std::string_view password;
};

inline constexpr std::string_view kBalanceCredentialsMessage =
    "Kindly set user and password before checking balance";
inline constexpr std::string_view kSendCredentialsMessage =
    "Kindly set user and password before sending message";
inline constexpr std::string_view kNoNetworkMessage = "Network connectivity is falied";

// The GET transport: credential test, probe, URL parse, then the request is
// handed to the shared HTTP client and the call returns.
void getNetworkCall(Credentials credentials, const std::string& restURL, CompletionHandler completionHandler,
                    ErrorHandler errorHandler);

// A request body as compact JSON text, or, when it could not be written (a
// string that is not valid UTF-8), the JSON library's description of why.
struct RequestBody {
    std::string json;
    std::string error;
};

// The POST transport: as GET, then a body that could not be written is
// reported as "JSON error: ..." and nothing is sent; otherwise it is posted
// with "Content-Type: application/json".
void postNetworkCall(Credentials credentials, const std::string& restURL, RequestBody&& parameters,
                     CompletionHandler completionHandler, ErrorHandler errorHandler);

// Whether `text` parses as an http or https URL, the way the transports
// parse endpoint strings.
bool isWebURL(const std::string& text);

// Requests queued or in flight in the shared HTTP client (for tests and
// benchmarks).
std::size_t pendingRequests() noexcept;

}  // namespace qelsms::detail
