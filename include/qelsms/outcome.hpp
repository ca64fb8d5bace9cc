/// @file
/// The end of one call as a value: the answer, or an error that says what
/// happened and whether the provider may have acted on the request.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

#include <nlohmann/json.hpp>

#include "qelsms/export.hpp"
#include "qelsms/version.hpp"

/// @cond INTERNAL
#ifdef NLOHMANN_JSON_NAMESPACE
#define QELSMS_STRINGIFY_IMPL(...) #__VA_ARGS__
#define QELSMS_STRINGIFY(...) QELSMS_STRINGIFY_IMPL(__VA_ARGS__)
#define QELSMS_JSON_NAMESPACE_HERE QELSMS_STRINGIFY(NLOHMANN_JSON_NAMESPACE)
#else
#define QELSMS_JSON_NAMESPACE_HERE "nlohmann"
#endif

namespace qelsms::detail {
// Whether two namespace names are the same once the spaces a preprocessor
// may put between their tokens are left out.
constexpr bool sameName(std::string_view a, std::string_view b) {
    std::size_t i = 0;
    std::size_t j = 0;
    while (true) {
        while (i < a.size() && a[i] == ' ')
            ++i;
        while (j < b.size() && b[j] == ' ')
            ++j;
        if (i == a.size() || j == b.size()) return i == a.size() && j == b.size();
        if (a[i++] != b[j++]) return false;
    }
}
}  // namespace qelsms::detail

static_assert(qelsms::detail::sameName(QELSMS_JSON_NAMESPACE_HERE, QELSMS_JSON_NAMESPACE),
              "QelSMS was built with nlohmann/json's namespace " QELSMS_JSON_NAMESPACE
              ", this compilation uses " QELSMS_JSON_NAMESPACE_HERE
              ": use the nlohmann/json release and settings (JSON_DIAGNOSTICS, "
              "NLOHMANN_JSON_NAMESPACE_NO_VERSION) the library was built with");
/// @endcond

namespace qelsms {

namespace detail {
struct OutcomeAccess;
}  // namespace detail

/// What went wrong with a call, as far as the library can tell.
enum class ErrorKind {
    /// No error: the call succeeded.
    None,
    /// Refused before anything left the machine: missing credentials, no
    /// network, a message that can't be written as JSON, an unusable URL, an
    /// empty CustomSMS. The provider did not act.
    NotSent,
    /// No connection to the provider: the name did not resolve, the
    /// connection was refused, or TLS failed (an untrusted certificate, say).
    /// Nothing reached the provider.
    CouldNotConnect,
    /// No answer in time. The provider may have acted unless the request had
    /// not yet been sent (see Error::mayHaveBeenProcessed).
    TimedOut,
    /// The connection ended after the request was written, before a whole
    /// answer arrived. The provider may have acted.
    Interrupted,
    /// The provider answered with a non-2xx status.
    RefusedByProvider,
    /// A 2xx answer the library could not use: not application/json, not a
    /// JSON object or array, too large, or not HTTP. The provider may have
    /// acted.
    UnusableAnswer,
};

/// A short stable name for `kind`, such as "timed-out", for logs and
/// machine-readable output.
QELSMS_EXPORT std::string_view toString(ErrorKind kind) noexcept;

/// Why a call failed.
struct Error {
    /// Exactly the string the call's error callback would receive; for the
    /// failures the callback forms only log, "URL error!" and "Sender list is
    /// empty".
    std::string message{};
    /// What kind of failure it was.
    ErrorKind kind = ErrorKind::None;
    /// The HTTP status of the provider's answer, or 0 when no answer's head
    /// arrived.
    int httpStatus = 0;
    /// False only when the library knows the provider did not act on the
    /// request; then sending it again cannot send a message twice.
    bool mayHaveBeenProcessed = false;
    /// The cause in words, for people and logs, such as "could not resolve
    /// host api.qelsms.example", "certificate not trusted: unable to get
    /// local issuer certificate" or "answer is text/html, not JSON (HTTP
    /// 500)". Never holds a credential; not meant to be parsed, and its
    /// wording may change between releases (use `kind` and `message` for
    /// decisions).
    std::string detail{};
};

/// The end of one call: the decoded answer, or an Error.
class Outcome {
public:
    /// A success carrying `answer`, after one try.
    explicit Outcome(nlohmann::json answer) noexcept : answer_(std::move(answer)) {}
    /// A failure described by `error`: after one try, or none when its kind is
    /// ErrorKind::NotSent.
    explicit Outcome(Error error)
        : error_(std::move(error)), attempts_(error_.kind == ErrorKind::NotSent ? 0 : 1), ok_(false) {}

    /// True when the provider accepted the request and its answer was decoded.
    [[nodiscard]] bool ok() const noexcept { return ok_; }
    /// The decoded answer (a JSON object or array) when ok(); null otherwise.
    [[nodiscard]] const nlohmann::json& answer() const& noexcept { return answer_; }
    /// The decoded answer, moved out of an expiring outcome.
    [[nodiscard]] nlohmann::json answer() && noexcept { return std::move(answer_); }
    /// The failure when !ok(); an Error of kind ErrorKind::None otherwise.
    [[nodiscard]] const Error& error() const noexcept { return error_; }
    /// How many times the call was tried: 1 without retries, more when it was
    /// retried, 0 when it was refused before any try.
    [[nodiscard]] int attempts() const noexcept { return attempts_; }

private:
    friend struct detail::OutcomeAccess;

    nlohmann::json answer_{};
    Error error_{};
    int attempts_ = 1;
    bool ok_ = true;
};

/// Receives the outcome of one call, exactly once, on the thread the two
/// callbacks of the same operation would run on.
using OutcomeHandler = std::function<void(Outcome)>;

/// Waits until every call made so far in this process has ended and its
/// callback (or outcome handler) has returned; true then, false when
/// `timeout` runs out first. Safe from any thread; on the library's network
/// thread (inside a callback) it returns false at once, since waiting there
/// would wait for itself. A forked child counts only its own calls. Once the
/// library has stopped (qelsms::shutdown(), or the process exiting) nothing is
/// pending any more: it returns true at once, and a thread already waiting
/// returns then.
QELSMS_EXPORT bool waitForPending(std::chrono::milliseconds timeout);

/// Calls that have been handed to the network and whose callback has not yet
/// returned.
QELSMS_EXPORT std::size_t pendingRequests() noexcept;

}  // namespace qelsms
