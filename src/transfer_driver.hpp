// The transfer driver: the one part of the library that talks to libcurl's
// multi interface, its easy handles and its transfer facts. The network loop
// tells it what to start and when to give up; it tells the loop what moved,
// what ended, and how each exchange went, as a TransferRecord.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "request.hpp"
#include "scheduler.hpp"
#include "transfer_record.hpp"

namespace qelsms::detail {

// The cause the response handling sees for one of libcurl's result codes.
TransferCause causeOfCurlCode(int code) noexcept;

// Used by the network thread only, except wake().
class TransferDriver {
public:
    // Initialises libcurl; throws std::runtime_error when it can't.
    TransferDriver();
    TransferDriver(const TransferDriver&) = delete;
    TransferDriver& operator=(const TransferDriver&) = delete;
    // Never run in practice: the engine that owns a driver lives as long as
    // the process, and a forked child abandons its parent's.
    ~TransferDriver();

    // Starts `request`'s transfer under its settings, giving it a transfer
    // state; false when libcurl can't take it (out of memory or handles).
    bool start(Request& request);

    // Moves bytes on every transfer's connections, without waiting, and puts
    // the requests whose transfer ended into `finished`.
    void perform(std::vector<Request*>& finished);

    // Bytes `request`'s transfer has sent and received so far.
    static std::uint64_t bytesMoved(const Request& request) noexcept;

    // Whether any of `request`'s request may have left the machine.
    static bool requestLeft(const Request& request) noexcept;

    // Ends `request`'s transfer, finished or not, frees or keeps its handle,
    // and says how it went. `expiry` is why the loop gave up on it, if it did.
    TransferRecord end(Request& request, Expiry expiry);

    // Takes back `request`'s transfer state once its answer was read, and
    // keeps it, answer buffer included, for a later transfer.
    void release(Request& request);

    // Waits until a connection is ready, wake() is called or `timeout` passes.
    void wait(std::chrono::milliseconds timeout);
    // Ends a wait() in progress, or the next one; safe from any thread.
    void wake() noexcept;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace qelsms::detail
