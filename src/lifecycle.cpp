#include "lifecycle.hpp"

#include <pthread.h>
#include <unistd.h>

#include <iterator>
#include <new>

#include <qelsms/lifecycle.hpp>

#include "http_engine.hpp"
#include "pending_calls.hpp"
#include "reachability.hpp"

namespace qelsms::detail {

std::mutex& settingsMutex() noexcept {
    // Built in static storage and never destroyed: calls made while the
    // process exits still find it.
    alignas(std::mutex) static unsigned char storage[sizeof(std::mutex)];
    static std::mutex& mutex = *new (storage) std::mutex;
    return mutex;
}

namespace {

// glibc's exit() runs the calling thread's thread_local destructors before
// any atexit handler or static destructor. A guard made on the main thread
// before main therefore stops the library first when main returns or calls
// exit(), whatever the application registered after it.
struct ExitGuard {
    ~ExitGuard() { qelsms::shutdown(); }
};

void lockSettingsForFork() noexcept {
    settingsMutex().lock();
}

void unlockSettingsAfterFork(bool) noexcept {
    settingsMutex().unlock();
}

// The fork registry: every lock of the library, outermost first. A thread
// holding one of them takes only locks further down the list, so taking them
// all in this order before fork() can't deadlock with a thread of the library,
// and the child finds none held by a thread it doesn't have.
struct ForkLock {
    void (*lock)() noexcept;
    void (*unlock)(bool child) noexcept;
};
constexpr ForkLock kForkLocks[] = {
    // Operations read the credentials under it, holding nothing else.
    {&lockSettingsForFork, &unlockSettingsAfterFork},
    // The engine's owner, then its work lock (held by the network thread
    // outside waits and callbacks), then its queue lock. The network thread
    // ends calls while holding the work lock, so the counter comes after.
    {&lockEngineForFork, &unlockEngineAfterFork},
    // The pending-call counter, taken as a call ends or a thread waits.
    {&lockPendingForFork, &unlockPendingAfterFork},
    // The probe's route watch, taken alone by a call before it is queued.
    {&lockProbeForFork, &unlockProbeAfterFork},
};

void lockAllForFork() {
    for (const ForkLock& each : kForkLocks)
        each.lock();
}

void unlockAll(bool child) {
    for (auto each = std::rbegin(kForkLocks); each != std::rend(kForkLocks); ++each)
        each->unlock(child);
}

void unlockAllInParent() {
    unlockAll(false);
}

void unlockAllInChild() {
    unlockAll(true);
}

}  // namespace

void ensureForkHandlers() noexcept {
    static const bool registered =
        pthread_atfork(&lockAllForFork, &unlockAllInParent, &unlockAllInChild) == 0;
    static_cast<void>(registered);
}

namespace {

struct LibraryInit {
    LibraryInit() {
        settingsMutex();
        // Touched only on the main thread: a guard made on a thread that
        // dlopen()ed the library would stop it when that thread ends.
        if (gettid() == getpid()) {
            thread_local ExitGuard guard;
            static_cast<void>(guard);
        }
        // The library's only fork handlers, registered while it loads, not at
        // a first call: pthread_atfork waits for a fork in progress.
        ensureForkHandlers();
    }
};

const LibraryInit libraryInit;

}  // namespace

}  // namespace qelsms::detail

namespace qelsms {

void shutdown() noexcept {
    detail::libraryStopped.store(true, std::memory_order_seq_cst);
    detail::stopEngine();
    detail::releaseWaitersAtStop();
}

}  // namespace qelsms
