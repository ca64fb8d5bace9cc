#include "interrupt.hpp"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <iostream>

namespace qelsms::cli {

namespace {

std::atomic<int> caughtSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the handler may only touch lock-free atomics");

constexpr int kWatched[] = {SIGINT, SIGTERM};
struct sigaction previous[2];

// Only async-signal-safe calls here.
extern "C" void onInterrupt(int signal) {
    int none = 0;
    if (caughtSignal.compare_exchange_strong(none, signal)) return;
    // A second signal: the user insists. Both signals are blocked while this
    // runs, so the raised one is delivered, with its default action, as soon
    // as the handler returns.
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal, &fallback, nullptr);
    raise(signal);
}

}  // namespace

InterruptWatch::InterruptWatch() {
    caughtSignal.store(0);
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    for (const int signal : kWatched)
        sigaddset(&action.sa_mask, signal);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < std::size(kWatched); ++i)
        sigaction(kWatched[i], &action, &previous[i]);
}

InterruptWatch::~InterruptWatch() {
    for (std::size_t i = 0; i < std::size(kWatched); ++i)
        sigaction(kWatched[i], &previous[i], nullptr);
}

int InterruptWatch::caught() noexcept {
    return caughtSignal.load();
}

std::string signalName(int signal) {
    switch (signal) {
        case SIGINT:
            return "SIGINT";
        case SIGTERM:
            return "SIGTERM";
        case SIGHUP:
            return "SIGHUP";
        default:
            return "signal " + std::to_string(signal);
    }
}

void endAsInterrupted(int signal) {
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal, &fallback, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    raise(signal);
    _exit(128 + signal);
}

}  // namespace qelsms::cli
