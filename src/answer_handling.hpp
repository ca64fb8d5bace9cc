// How a finished exchange becomes exactly one callback: the answer's head and
// body are classified and decoded here, with nothing of the network involved.
#pragma once

#include <cstdint>
#include <future>
#include <memory>
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

// The callbacks of one call: the two handlers of the callback forms, or the
// one outcome handler of the other forms.
struct Callbacks {
    CompletionHandler completion;
    ErrorHandler error;
    OutcomeHandler outcome;
};

// Why an exchange failed below HTTP, as far as the response handling cares.
enum class TransferCause {
    // The connection broke, was refused or couldn't be made.
    Broken,
    // No transfer could be started (out of memory or handles).
    NotStarted,
    // A time limit ended the exchange.
    TimedOut,
    // The answer outgrew its limit.
    TooLarge,
};

// The outcome handler of the future forms: it only fulfils the call's
// promise, so it may run where no application code may, as the library stops.
struct FulfilPromise {
    std::shared_ptr<std::promise<Outcome>> promise;
    void operator()(Outcome outcome) const { promise->set_value(std::move(outcome)); }
};

// Ends a call that the library's stop cut off, if a future waits for it: with
// "Client error!", as not sent unless its request had begun to leave. Any
// other form gets no callback, as documented.
void endFutureAtStop(const Callbacks& callbacks, bool requestSent) noexcept;

// What a failed exchange knows of how far it got.
struct TransferFailure {
    TransferCause cause = TransferCause::Broken;
    // Some or all of the request may have left the machine.
    bool requestSent = false;
    // The status of the answer's head, when one arrived.
    int httpStatus = 0;
};

// The error a failed exchange ends in: always "Client error!", with what is
// known of how far it got, and `detail` (the engine's words for the cause) as
// its detail; general words for the cause when that is empty.
Error transferError(const TransferFailure& failure, std::string detail = {});

// Classifies an answer that arrived whole into its outcome: the one test of
// what counts as success, and the message handleNetworkResponse would pass to
// the error callback.
Outcome classifyAnswer(const std::string& body, const std::optional<ResponseInfo>& response);

// Classifies one finished exchange into its outcome; `failure` is null when
// the exchange completed at the HTTP level. The message is the one
// handleNetworkResponse would pass to the error callback.
Outcome outcomeOf(const std::optional<std::string>& body, const std::optional<ResponseInfo>& response,
                  const TransferFailure* failure);

// Ends one call with exactly one callback, the one place where an outcome
// meets the application: the outcome handler gets it whole; the two-handler
// forms get the answer or the message.
void deliver(const Callbacks& callbacks, Outcome&& outcome);

// Ends a call refused before anything was sent (ErrorKind::NotSent) with
// `message` and the cause in words, `detail`, through whichever callback it
// has.
void deliverRefusal(const Callbacks& callbacks, std::string message, std::string detail);

// Ends a call the callback forms only log: the outcome handler, if any, gets
// `message` and `detail` as NotSent; the two-handler forms get nothing.
void deliverLoggedRefusal(const Callbacks& callbacks, std::string_view message, std::string_view detail);

// Classifies one finished exchange and calls exactly one of the callbacks,
// once, through deliver(). `transportError` is true when the exchange failed
// below HTTP.
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

// A decoder's description as a detail quotes it: without the exception's tag
// and without the bytes it last read, which come off the wire.
std::string decoderWords(std::string_view description);

// Calls `errorHandler` with `message`, if there is a handler.
void callError(const ErrorHandler& errorHandler, std::string message);

}  // namespace qelsms::detail
