// Socket addresses, the same on both backends: included by netsock_posix.cpp and
// netsock_win32.cpp after their system headers (sockaddr_storage, sockaddr_un, addrinfo).
#pragma once

#include "netsock.h"

#include <cstring>
#include <string>

namespace netsock_addr {

// The first address getaddrinfo gives for numeric host and port. False with *error for a host
// that is not a numeric address (names are never looked up).
template <class Length>
bool Resolve(const std::string& host, std::uint16_t port, bool passive, sockaddr_storage* address,
             Length* length, NetError* error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | (passive ? AI_PASSIVE : 0);
    addrinfo* found = nullptr;
    const int result = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    const bool ok = result == 0 && found != nullptr && found->ai_addrlen <= sizeof *address;
    if (ok) {
        std::memcpy(address, found->ai_addr, found->ai_addrlen);
        *length = static_cast<Length>(found->ai_addrlen);
    } else {
        error->status = NetStatus::Failed;
        error->text = "'" + host + "' is not a numeric address";
    }
    if (found != nullptr) {
        freeaddrinfo(found);
    }
    return ok;
}

// A local socket's address; false with *error for a path that does not fit.
inline bool LocalAddress(const std::string& path, sockaddr_un* address, NetError* error) {
    *address = {};
    address->sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(address->sun_path)) {
        error->status = NetStatus::Failed;
        error->text = "the local socket's path is empty or longer than " +
                      std::to_string(sizeof(address->sun_path) - 1) + " bytes";
        return false;
    }
    std::memcpy(address->sun_path, path.data(), path.size());
    return true;
}

// A TCP peer's address bytes.
inline NetPeer PeerOf(const sockaddr_storage& address) {
    NetPeer peer;
    if (address.ss_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address);
        std::memcpy(peer.bytes.data(), &v4->sin_addr, 4);
    } else if (address.ss_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
        peer.v6 = true;
        std::memcpy(peer.bytes.data(), &v6->sin6_addr, 16);
    }
    return peer;
}

// The port of an IPv4 or IPv6 address; 0 for others.
inline std::uint16_t PortOf(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET) {
        return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
    }
    if (address.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
    }
    return 0;
}

} // namespace netsock_addr
