#include "lifecycle.hpp"

#include <pthread.h>
#include <unistd.h>

#include <new>

#include <qelsms/lifecycle.hpp>

#include "http_engine.hpp"

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

// Every library lock, in one order, so that a forked child finds none held by
// a thread it doesn't have. The probe's watch holds its own lock the same way;
// no code holds it together with these.
void lockAllForFork() {
    settingsMutex().lock();
    lockEngineForFork();
}

void unlockAllInParent() {
    unlockEngineAfterFork(false);
    settingsMutex().unlock();
}

void unlockAllInChild() {
    unlockEngineAfterFork(true);
    settingsMutex().unlock();
}

struct LibraryInit {
    LibraryInit() {
        settingsMutex();
        // Touched only on the main thread: a guard made on a thread that
        // dlopen()ed the library would stop it when that thread ends.
        if (gettid() == getpid()) {
            thread_local ExitGuard guard;
            static_cast<void>(guard);
        }
        pthread_atfork(&lockAllForFork, &unlockAllInParent, &unlockAllInChild);
    }
};

const LibraryInit libraryInit;

}  // namespace

}  // namespace qelsms::detail

namespace qelsms {

void shutdown() noexcept {
    detail::libraryStopped.store(true, std::memory_order_seq_cst);
    detail::stopEngine();
}

}  // namespace qelsms
