// The network loop: one thread per process that takes the requests the call
// gate hands it, lets the scheduler say which start when, has the transfer
// driver run them, and ends each at the completion point with exactly one
// callback.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include <qelsms/qelsms.hpp>

#include "answer_handling.hpp"
#include "client_options.hpp"
#include "url.hpp"

namespace qelsms::detail {

// The default limit of an answer's size; a request to many numbers may be
// answered with more, kAnswerBytesPerNumber each. A larger answer is cut off
// and reported as a client error.
inline constexpr std::size_t kMaxResponseBytes = std::size_t{16} * 1024 * 1024;
// The provider answers with up to about 130 bytes per number when asked for
// individual results (the sandbox: 110 for a 13-digit number); four times
// that keeps clear of a longer status or message id.
inline constexpr std::size_t kAnswerBytesPerNumber = 512;
// A request's deadline grows by this much per number it sends to: time for
// its body (up to about 50 bytes a number) and its individual results (up to
// about 130) over a link as slow as 45 kB/s.
inline constexpr long long kDeadlineMsPerNumber = 4;

class HttpEngine;

// The process's engine, started on first use; a forked child gets a fresh one
// with the parent's settings.
HttpEngine& httpEngine();

// Queue a request under the client's own settings, or else the engine's
// current ones, and return at once; the network thread runs it and ends it
// with exactly one callback, unless the process exits first. A POST sends
// `body` as JSON, at most once.
void submitGet(HttpEngine& engine, std::shared_ptr<const ParsedUrl> url, Callbacks&& callbacks,
               std::shared_ptr<const ClientOptions> client = nullptr);
// `numbers` is how many numbers the body sends to.
void submitPost(HttpEngine& engine, std::shared_ptr<const ParsedUrl> url, std::string body,
                std::size_t numbers, Callbacks&& callbacks,
                std::shared_ptr<const ClientOptions> client = nullptr);

// Requests queued or in flight whose callback has not returned (for tests
// and benchmarks): qelsms::pendingRequests().
std::size_t pendingRequests() noexcept;

// Stops this process's engine, if it has one, for good: no callback starts
// afterwards, and unless called on the network thread, none is running when
// it returns. Nothing is cleaned up, so a late call finds a stopped engine.
void stopEngine() noexcept;

// Take and release the engine's locks around fork(); the child's side also
// marks the inherited engine as its parent's.
void lockEngineForFork() noexcept;
void unlockEngineAfterFork(bool child) noexcept;

}  // namespace qelsms::detail
