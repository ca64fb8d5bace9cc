/// @file
/// Stopping the library before the process ends.
#pragma once

#include "qelsms/export.hpp"

namespace qelsms {

/// Stops the library for the rest of the process. When it returns, no
/// callback is running or will start: one already running on the network
/// thread is waited for (unless shutdown() is called from a callback), and
/// requests queued or in flight are dropped without a callback. Operations
/// called afterwards are dropped too, with no callback and nothing sent.
/// A future still becomes ready: a call cut off ends with "Client error!",
/// whose `mayHaveBeenProcessed` says whether its request had begun to leave,
/// and a call made after the stop ends at once as not sent.
///
/// The library does this by itself when `main` returns or `std::exit` is
/// called on the main thread, before any `atexit` handler or static
/// destructor of the application runs. Call it yourself, before the
/// application's clean-up begins, when the process ends some other way:
/// `std::exit` called on another thread, `std::quick_exit`, or a library
/// loaded with `dlopen` from a thread other than the main thread (the
/// automatic stop covers only the main thread). A main thread that ends with
/// `pthread_exit` stops the library as if the process exited.
///
/// Safe from any thread, any number of times; it can't be undone. It never
/// waits for the network.
QELSMS_EXPORT void shutdown() noexcept;

}  // namespace qelsms
