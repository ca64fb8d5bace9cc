// Whether the network can be reached without first making a connection.
#pragma once

#include <cstdint>

namespace qelsms::detail {

// Flag bits, as the platform reachability API defines them.
inline constexpr std::uint32_t kReachable = 2;
inline constexpr std::uint32_t kConnectionRequired = 4;

// The answer for a flag word: reachable and no connection required. A failed
// flag query is never reachable, whatever the word holds.
constexpr bool reachableFromFlags(bool queryOk, std::uint32_t flags) noexcept {
    return queryOk && (flags & kReachable) != 0 && (flags & kConnectionRequired) == 0;
}

// Whether the routing table, as it stands at the call, offers a usable
// default route. The last answer is reused only while the kernel has
// announced no change to links, addresses, routes or nexthops.
bool isConnectedToNetwork() noexcept;

// Take and release the probe's lock around fork(); the child drops the
// parent's subscription to route changes.
void lockProbeForFork() noexcept;
void unlockProbeAfterFork(bool child) noexcept;

// The same answer read from the kernel's tables afresh, with nothing kept.
bool queryRoutingTable() noexcept;

}  // namespace qelsms::detail
