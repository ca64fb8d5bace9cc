// How a finished exchange becomes exactly one callback: the answer's head and
// body are classified and decoded here, with nothing of the network involved.
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

// mimeTypeOf into `out`, reusing its storage: the network thread does this for
// every answer.
void assignMimeType(std::string_view contentType, std::optional<std::string>& out);

// Decodes an answer body: only an object or an array at the top level, at most
// kMaxJsonDepth levels deep. On failure returns nullopt and sets `error` to
// the decoder's description.
std::optional<nlohmann::json> decodeBody(std::string_view body, std::string& error);

// Calls `errorHandler` with `message`, if there is a handler.
void callError(const ErrorHandler& errorHandler, std::string message);

}  // namespace qelsms::detail
