#include "alpaca/discovery.h"

#include <cstring>
#include <utility>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace {

#ifdef _WIN32
using Socket = SOCKET;
constexpr Socket kNoSocket = INVALID_SOCKET;
void closeSocket(Socket s) { closesocket(s); }
std::string lastSocketError() { return "Winsock error " + std::to_string(WSAGetLastError()); }
#else
using Socket = int;
constexpr Socket kNoSocket = -1;
void closeSocket(Socket s) { close(s); }
std::string lastSocketError() { return std::strerror(errno); }
#endif

constexpr std::string_view kProbePrefix = "alpacadiscovery";
constexpr const char *kMulticastGroup = "ff12::a1:9aca";
// How long the thread waits for a probe before it looks at the stop flag: the
// longest a destructor waits.
constexpr long kPollMicroseconds = 100'000;

bool setFlag(Socket s, int level, int name) {
    int on = 1;
    return setsockopt(s, level, name, reinterpret_cast<const char *>(&on), sizeof on) == 0;
}

// Several Alpaca servers on one computer share the discovery port: each
// receives the broadcasts and multicasts and answers for itself.
Socket openBound(const sockaddr *address, socklen_t length, std::string &error) {
    Socket s = socket(address->sa_family, SOCK_DGRAM, IPPROTO_UDP);
    if (s == kNoSocket) {
        error = "socket: " + lastSocketError();
        return kNoSocket;
    }
    bool ok = setFlag(s, SOL_SOCKET, SO_REUSEADDR);
    if (ok && address->sa_family == AF_INET6) ok = setFlag(s, IPPROTO_IPV6, IPV6_V6ONLY);
    if (ok && bind(s, address, length) != 0) ok = false;
    if (!ok) {
        error = "bind: " + lastSocketError();
        closeSocket(s);
        return kNoSocket;
    }
    return s;
}

// Joins the IPv6 group on every interface that has one, so a probe arrives
// whichever network the client is on. Windows: its default interface.
void joinMulticastGroup(Socket s) {
    ipv6_mreq request{};
    inet_pton(AF_INET6, kMulticastGroup, &request.ipv6mr_multiaddr);
#ifdef _WIN32
    request.ipv6mr_interface = 0;
    setsockopt(s, IPPROTO_IPV6, IPV6_ADD_MEMBERSHIP, reinterpret_cast<const char *>(&request),
               sizeof request);
#else
    if (struct if_nameindex *interfaces = if_nameindex()) {
        for (struct if_nameindex *i = interfaces; i->if_index != 0; ++i) {
            request.ipv6mr_interface = i->if_index;
            // An interface without IPv6 or multicast refuses, which is fine.
            setsockopt(s, IPPROTO_IPV6, IPV6_JOIN_GROUP, &request, sizeof request);
        }
        if_freenameindex(interfaces);
    }
#endif
}

Socket openWildcard(int family, uint16_t port, std::string &error) {
    sockaddr_storage address{};
    socklen_t length;
    if (family == AF_INET) {
        auto *v4 = reinterpret_cast<sockaddr_in *>(&address);
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        v4->sin_addr.s_addr = htonl(INADDR_ANY);
        length = sizeof *v4;
    } else {
        auto *v6 = reinterpret_cast<sockaddr_in6 *>(&address);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        v6->sin6_addr = in6addr_any;
        length = sizeof *v6;
    }
    Socket s = openBound(reinterpret_cast<sockaddr *>(&address), length, error);
    if (s == kNoSocket) return kNoSocket;
    if (family == AF_INET) {
        setFlag(s, SOL_SOCKET, SO_BROADCAST);
    } else {
        joinMulticastGroup(s);
    }
    return s;
}

}  // namespace

bool isAlpacaDiscoveryProbe(std::string_view datagram) {
    if (datagram.size() != kProbePrefix.size() + 1 || !datagram.starts_with(kProbePrefix)) {
        return false;
    }
    const char version = datagram.back();
    return version >= '1' && version <= '9';
}

std::string alpacaDiscoveryAnswer(uint16_t alpacaPort) {
    return "{\"AlpacaPort\":" + std::to_string(alpacaPort) + "}";
}

DiscoveryResponder::DiscoveryResponder(uint16_t alpacaPort, const std::string &bindAddress,
                                       uint16_t discoveryPort)
    : answer_(alpacaDiscoveryAnswer(alpacaPort)) {
#ifdef _WIN32
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        error_ = "WSAStartup failed";
        return;
    }
#endif
    std::string error;
    auto keep = [&](Socket s) {
        if (s != kNoSocket) sockets_.push_back(static_cast<intptr_t>(s));
        if (!error.empty() && error_.empty()) error_ = error;
    };
    // "0.0.0.0" is every IPv4 interface and no IPv6 one, as the HTTP server reads it.
    const bool everyV4 = bindAddress.empty() || bindAddress == "::" || bindAddress == "0.0.0.0";
    const bool everyV6 = bindAddress.empty() || bindAddress == "::";
    if (everyV4) keep(openWildcard(AF_INET, discoveryPort, error));
    error.clear();
    if (everyV6) keep(openWildcard(AF_INET6, discoveryPort, error));
    if (!everyV4 && !everyV6) {
        addrinfo hints{};
        hints.ai_socktype = SOCK_DGRAM;
        hints.ai_flags = AI_PASSIVE;
        addrinfo *found = nullptr;
        const std::string service = std::to_string(discoveryPort);
        if (int status = getaddrinfo(bindAddress.c_str(), service.c_str(), &hints, &found)) {
            error_ = "address " + bindAddress + ": " + gai_strerror(status);
        } else {
            for (addrinfo *a = found; a; a = a->ai_next) {
                error.clear();
                keep(openBound(a->ai_addr, static_cast<socklen_t>(a->ai_addrlen), error));
            }
            freeaddrinfo(found);
        }
    }
    running_ = !sockets_.empty();
    if (running_) thread_ = std::thread([this] { serve(); });
}

DiscoveryResponder::~DiscoveryResponder() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    for (intptr_t s : sockets_) closeSocket(static_cast<Socket>(s));
#ifdef _WIN32
    if (error_ != "WSAStartup failed") WSACleanup();
#endif
}

void DiscoveryResponder::serve() {
    while (!stop_) {
        fd_set readable;
        FD_ZERO(&readable);
        Socket highest = 0;
        for (intptr_t s : sockets_) {
            FD_SET(static_cast<Socket>(s), &readable);
            if (static_cast<Socket>(s) > highest) highest = static_cast<Socket>(s);
        }
        timeval wait{0, kPollMicroseconds};
        if (select(static_cast<int>(highest) + 1, &readable, nullptr, nullptr, &wait) <= 0) {
            continue;
        }
        for (intptr_t handle : sockets_) {
            const Socket s = static_cast<Socket>(handle);
            if (!FD_ISSET(s, &readable)) continue;
            char datagram[64];
            sockaddr_storage sender{};
            socklen_t senderLength = sizeof sender;
            const auto received = recvfrom(s, datagram, sizeof datagram, 0,
                                           reinterpret_cast<sockaddr *>(&sender), &senderLength);
            // A longer datagram arrives cut to the buffer (or as an error on
            // Windows) and is no probe either way: received > prefix + 1.
            if (received <= 0 ||
                !isAlpacaDiscoveryProbe({datagram, static_cast<size_t>(received)})) {
                continue;
            }
            sendto(s, answer_.data(), static_cast<int>(answer_.size()), 0,
                   reinterpret_cast<const sockaddr *>(&sender), senderLength);
        }
    }
}
