// The connectivity probe. Linux has no reachability service to ask, so the flag word is derived from the
// kernel's routing table: the all-zero address is "reachable" when the main table holds a default route
// whose output interface is up and has a carrier. Nothing is sent on the network. A query opens one
// rtnetlink socket, reads what it needs and closes it again; its answer is kept only for as long as the
// kernel announces no change that could alter it (see RouteWatch).
#include "reachability.hpp"

#include "lifecycle.hpp"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qelsms::detail {
namespace {

// Owns one file descriptor for the duration of a probe.
class Fd {
public:
    explicit Fd(int fd) noexcept : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    // close() is not retried on EINTR: on Linux the descriptor is released whatever it returns.
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const noexcept { return fd_; }

private:
    int fd_;
};

enum class Scan { kFound, kNotFound, kFailed };

// The kernel sizes each datagram of a dump to the largest read buffer the socket has offered so far, and
// never below its own default of just under 8 KiB, so a buffer of exactly 8 KiB holds every datagram whole
// while staying small on the caller's stack. Should one not fit all the same, MSG_TRUNC reports it and the
// query fails rather than reading half a message.
constexpr std::size_t kReceiveBufferSize = 8192;

class RouteProbe {
public:
    explicit RouteProbe(int fd) noexcept : fd_(fd) {
        const int on = 1;
        strict_ = ::setsockopt(fd_, SOL_NETLINK, NETLINK_GET_STRICT_CHK, &on, sizeof on) == 0;
    }

    // Looks for a usable default route of one address family in the main table.
    Scan findDefaultRoute(unsigned char family) noexcept {
        const std::uint32_t seq = ++seq_;
        if (!sendDumpRequest(family, seq)) return Scan::kFailed;
        for (;;) {
            const ssize_t got = receive();
            if (got < 0) return Scan::kFailed;
            auto len = static_cast<std::uint32_t>(got);
            for (auto* nh = reinterpret_cast<const nlmsghdr*>(buffer_); NLMSG_OK(nh, len);
                 nh = NLMSG_NEXT(nh, len)) {
                if (nh->nlmsg_seq != seq) return Scan::kFailed;
                switch (nh->nlmsg_type) {
                    case NLMSG_DONE: {
                        // A namespace whose main table never held a route has no such table, and the
                        // filtered dump reports that as ENOENT.
                        const int status = doneStatus(nh);
                        if (status == 0 || (status == -ENOENT && strict_)) return Scan::kNotFound;
                        return Scan::kFailed;
                    }
                    case NLMSG_ERROR:
                    case NLMSG_OVERRUN:
                        return Scan::kFailed;
                    case RTM_NEWROUTE:
                        // Stopping early is safe: closing the socket ends the kernel's side of the dump.
                        if (isUsableDefaultRoute(nh, family)) return Scan::kFound;
                        break;
                    default:
                        break;
                }
            }
            // Whatever is left over is a message cut short, which a well-formed reply never has.
            if (len != 0) return Scan::kFailed;
        }
    }

private:
    bool sendDumpRequest(unsigned char family, std::uint32_t seq) const noexcept {
        struct {
            nlmsghdr header;
            rtmsg route;
        } request{};
        request.header.nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg));
        request.header.nlmsg_type = RTM_GETROUTE;
        request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
        request.header.nlmsg_seq = seq;
        request.route.rtm_family = family;
        // Under strict checking the kernel itself leaves out every other table and route type; older
        // kernels ignore these fields and the filter below does the same work.
        request.route.rtm_table = RT_TABLE_MAIN;
        request.route.rtm_type = RTN_UNICAST;

        sockaddr_nl kernel{};
        kernel.nl_family = AF_NETLINK;
        for (;;) {
            const ssize_t sent = ::sendto(fd_, &request, request.header.nlmsg_len, 0,
                                          reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel);
            if (sent == static_cast<ssize_t>(request.header.nlmsg_len)) return true;
            if (sent < 0 && errno == EINTR) continue;
            return false;
        }
    }

    // One datagram from the kernel, whole; -1 for anything else. The kernel builds each part of its answer
    // inside our own sendto() or recvfrom() call, so the next datagram is always queued by the time we ask
    // for it: reading without blocking costs nothing, and a missing answer can never hang the caller.
    ssize_t receive() noexcept {
        for (;;) {
            sockaddr_nl from{};
            socklen_t fromLen = sizeof from;
            const ssize_t got = ::recvfrom(fd_, buffer_, sizeof buffer_, MSG_TRUNC | MSG_DONTWAIT,
                                           reinterpret_cast<sockaddr*>(&from), &fromLen);
            if (got < 0) {
                if (errno == EINTR) continue;
                return -1;
            }
            if (static_cast<std::size_t>(got) > sizeof buffer_) return -1;
            // Only the kernel (port 0) answers; a datagram from any other sender is not our reply.
            if (fromLen < sizeof from || from.nl_family != AF_NETLINK || from.nl_pid != 0) return -1;
            return got;
        }
    }

    // The status a dump ends with; a DONE message too short to carry one counts as a failure.
    static int doneStatus(const nlmsghdr* nh) noexcept {
        if (nh->nlmsg_len < NLMSG_LENGTH(sizeof(int))) return -EBADMSG;
        int status;
        std::memcpy(&status, NLMSG_DATA(nh), sizeof status);
        return status;
    }

    static std::uint32_t u32Payload(const rtattr* rta) noexcept {
        std::uint32_t value;
        std::memcpy(&value, RTA_DATA(rta), sizeof value);
        return value;
    }

    bool isUsableDefaultRoute(const nlmsghdr* nh, unsigned char family) const noexcept {
        if (nh->nlmsg_len < NLMSG_LENGTH(sizeof(rtmsg))) return false;
        const auto* route = static_cast<const rtmsg*>(NLMSG_DATA(nh));
        // Blackhole, unreachable and prohibit routes match everything but lead nowhere.
        if (route->rtm_family != family || route->rtm_dst_len != 0 || route->rtm_type != RTN_UNICAST) {
            return false;
        }

        std::uint32_t table = route->rtm_table;
        int oif = 0;
        bool hasNexthopObject = false;
        const rtattr* multipath = nullptr;
        int attrLen = static_cast<int>(RTM_PAYLOAD(nh));
        for (auto* rta = RTM_RTA(route); RTA_OK(rta, attrLen); rta = RTA_NEXT(rta, attrLen)) {
            const bool holdsU32 = RTA_PAYLOAD(rta) >= sizeof(std::uint32_t);
            switch (rta->rta_type) {
                case RTA_TABLE:
                    if (holdsU32) table = u32Payload(rta);
                    break;
                case RTA_OIF:
                    if (holdsU32) oif = static_cast<int>(u32Payload(rta));
                    break;
                case RTA_NH_ID:
                    hasNexthopObject = holdsU32;
                    break;
                case RTA_MULTIPATH:
                    multipath = rta;
                    break;
                default:
                    break;
            }
        }
        if (table != RT_TABLE_MAIN) return false;

        if (multipath != nullptr) {
            int left = static_cast<int>(RTA_PAYLOAD(multipath));
            for (auto* hop = static_cast<const rtnexthop*>(RTA_DATA(multipath));
                 left >= static_cast<int>(sizeof(rtnexthop)) && hop->rtnh_len >= sizeof(rtnexthop) &&
                 hop->rtnh_len <= left;
                 left -= RTNH_ALIGN(hop->rtnh_len), hop = RTNH_NEXT(hop)) {
                if (nexthopUsable(hop->rtnh_flags, hop->rtnh_ifindex)) return true;
            }
            return false;
        }
        if (oif != 0) return nexthopUsable(route->rtm_flags, oif);
        // A route that names only a nexthop object (nexthop_compat_mode off) doesn't show its device. The
        // kernel deletes a nexthop object, and every route using it, when its device goes down, so the
        // route's presence is the answer.
        return hasNexthopObject && (route->rtm_flags & (RTNH_F_DEAD | RTNH_F_LINKDOWN)) == 0;
    }

    bool nexthopUsable(unsigned flags, int ifindex) const noexcept {
        if ((flags & (RTNH_F_DEAD | RTNH_F_LINKDOWN)) != 0) return false;
        return interfaceUp(ifindex);
    }

    // The kernel answers these interface ioctls on any socket, the netlink one included. Two of them cost
    // far less than an RTM_GETLINK request, whose answer carries the interface's full statistics.
    bool interfaceUp(int ifindex) const noexcept {
        if (ifindex <= 0) return false;
        ifreq request{};
        request.ifr_ifindex = ifindex;
        if (!ioctlRetrying(SIOCGIFNAME, &request)) return false;
        if (!ioctlRetrying(SIOCGIFFLAGS, &request)) return false;
        const unsigned flags = static_cast<unsigned short>(request.ifr_flags);
        return (flags & IFF_UP) != 0 && (flags & IFF_RUNNING) != 0;
    }

    bool ioctlRetrying(unsigned long request, ifreq* data) const noexcept {
        for (;;) {
            if (::ioctl(fd_, request, data) == 0) return true;
            if (errno != EINTR) return false;
        }
    }

    int fd_;
    bool strict_ = false;
    std::uint32_t seq_ = 0;
    alignas(nlmsghdr) unsigned char buffer_[kReceiveBufferSize];
};

// Queries the kernel and fills the flag word. Returns false when the flags could not be determined.
bool queryFlags(std::uint32_t& flags) noexcept {
    flags = 0;
    const Fd fd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (fd.get() < 0) return false;
    RouteProbe probe(fd.get());
    Scan scan = probe.findDefaultRoute(AF_INET);
    // An IPv6-only host still reaches the network, so its default route counts as well.
    if (scan == Scan::kNotFound) scan = probe.findDefaultRoute(AF_INET6);
    if (scan == Scan::kFailed) return false;
    if (scan == Scan::kFound) flags |= kReachable;
    return true;
}

// Keeps the last answer while the kernel reports nothing that could change it. The kernel announces every
// change of links (up, down, carrier), addresses, routes and nexthop objects to the sockets subscribed to
// those groups, and queues the notice inside the very call that makes the change. So when the
// subscription has nothing queued, the routing table still gives the last answer, and a probe costs one
// non-blocking read instead of a socket, a route dump and the ioctls. Any notice at all, a lost one
// (ENOBUFS) or an error sends the next probe back to the kernel's tables.
//
// The subscription belongs to the network namespace of the thread that opened it: the first to probe in
// this process, which is also where the library's network thread, started by that same first call, sends
// from. A forked child opens its own.
class RouteWatch {
public:
    // Null only when there was no memory for it; callers then ask the kernel every time.
    static RouteWatch* instance() noexcept {
        // Never destroyed: a probe may still run on another thread while the process exits.
        static auto* const watch = new (std::nothrow) RouteWatch();
        return watch;
    }

    // The watch, if a probe made it already; a fork must not make one.
    static inline std::atomic<RouteWatch*> made{nullptr};
    static inline RouteWatch* lockedForFork = nullptr;

    // A child keeps only the forking thread, which holds the lock through
    // fork(), so the state is consistent; the inherited socket is the
    // parent's subscription and must not be read here.
    static void lockForFork() noexcept {
        lockedForFork = made.load(std::memory_order_acquire);
        if (lockedForFork != nullptr) lockedForFork->mutex_.lock();
    }
    static void unlockAfterFork(bool child) noexcept {
        RouteWatch* watch = lockedForFork;
        lockedForFork = nullptr;
        if (watch == nullptr) return;
        if (child) {
            if (watch->fd_ >= 0) ::close(watch->fd_);
            watch->fd_ = -1;
            watch->valid_ = false;
            watch->failedToOpen_ = false;
        }
        watch->mutex_.unlock();
    }

    bool connected() noexcept {
        std::lock_guard lock(mutex_);
        if (fd_ < 0 && !failedToOpen_) open();
        if (fd_ < 0) return askKernel();
        if (drainNotices()) valid_ = false;
        if (!valid_) answer_ = askKernel();
        return answer_;
    }

private:
    RouteWatch() noexcept {
        ensureForkHandlers();
        made.store(this, std::memory_order_release);
    }

    void open() noexcept {
        const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
        if (fd < 0) {
            failedToOpen_ = true;
            return;
        }
        sockaddr_nl local{};
        local.nl_family = AF_NETLINK;
        local.nl_groups =
            RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
            ::close(fd);
            failedToOpen_ = true;
            return;
        }
        // Kernels without nexthop objects refuse the group, and have no such routes either.
        const int nexthops = RTNLGRP_NEXTHOP;
        static_cast<void>(::setsockopt(fd, SOL_NETLINK, NETLINK_ADD_MEMBERSHIP, &nexthops, sizeof nexthops));
        fd_ = fd;
        valid_ = false;
    }

    // Reads every queued notice; true when there was any, or when the subscription broke.
    bool drainNotices() noexcept {
        bool any = false;
        for (;;) {
            char byte;
            // MSG_TRUNC: each datagram is consumed whole whatever the buffer holds.
            if (::recv(fd_, &byte, sizeof byte, MSG_DONTWAIT | MSG_TRUNC) >= 0) {
                any = true;
                continue;
            }
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return any;
            // Notices were dropped for want of room: something changed.
            if (errno == ENOBUFS) {
                any = true;
                continue;
            }
            ::close(fd_);
            fd_ = -1;
            return true;
        }
    }

    // The answer is kept only while the subscription can tell when it goes
    // stale; a query that failed answers false but is asked again next time.
    bool askKernel() noexcept {
        std::uint32_t flags = 0;
        const bool ok = queryFlags(flags);
        valid_ = ok && fd_ >= 0;
        return reachableFromFlags(ok, flags);
    }

    std::mutex mutex_;
    int fd_ = -1;
    bool failedToOpen_ = false;
    bool valid_ = false;
    bool answer_ = false;
};

class Reachabilitycustom {
public:
    Reachabilitycustom() = delete;

    static bool isConnectedToNetwork() noexcept {
        RouteWatch* watch = RouteWatch::instance();
        return watch != nullptr ? watch->connected() : queryRoutingTable();
    }
};

}  // namespace

bool isConnectedToNetwork() noexcept {
    return Reachabilitycustom::isConnectedToNetwork();
}

void lockProbeForFork() noexcept {
    RouteWatch::lockForFork();
}

void unlockProbeAfterFork(bool child) noexcept {
    RouteWatch::unlockAfterFork(child);
}

bool queryRoutingTable() noexcept {
    std::uint32_t flags = 0;
    const bool ok = queryFlags(flags);
    return reachableFromFlags(ok, flags);
}

}  // namespace qelsms::detail
