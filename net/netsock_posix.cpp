// POSIX sockets (Linux first; accept4 and SOCK_CLOEXEC where the system has them).
#include "netsock.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "netsock_addr.h"

namespace {

using namespace netsock_addr;

constexpr int LISTEN_BACKLOG = 16;

NetStatus StatusOf(int code) {
    switch (code) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EINPROGRESS:
        return NetStatus::WouldBlock;
    case EADDRINUSE:
        return NetStatus::InUse;
    case ECONNREFUSED:
        return NetStatus::Refused;
    case ENOENT:
        return NetStatus::Absent;
    case ECONNRESET:
    case EPIPE:
        return NetStatus::Reset;
    default:
        return NetStatus::Failed;
    }
}

NetHandle Fail(NetError* error, int code, int fd = -1) {
    if (fd >= 0) {
        ::close(fd);
    }
    error->status = StatusOf(code);
    error->text = std::strerror(code);
    return NET_NONE;
}

// Non-blocking and close-on-exec, for handles that were not created so.
bool Prepare(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 &&
           ::fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

int NewSocket(int family) {
#ifdef SOCK_CLOEXEC
    const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
#else
    const int fd = ::socket(family, SOCK_STREAM, 0);
    if (fd >= 0) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
#endif
#ifdef SO_NOSIGPIPE
    // Systems without MSG_NOSIGNAL mark the socket instead.
    const int on = 1;
    if (fd >= 0) {
        (void)::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
    }
#endif
    return fd;
}

// host and port as a socket address; EINVAL for a host that is not a numeric address.
} // namespace

NetHandle NetListenTcp(const std::string& host, std::uint16_t port, NetError* error) {
    sockaddr_storage address{};
    socklen_t length = 0;
    if (!Resolve(host, port, true, &address, &length, error)) {
        return NET_NONE;
    }
    const int fd = NewSocket(address.ss_family);
    if (fd < 0) {
        // A machine without IPv6 serves "::" (every address) on every IPv4 address instead.
        if (errno == EAFNOSUPPORT && host == "::") {
            return NetListenTcp("0.0.0.0", port, error);
        }
        return Fail(error, errno);
    }
    // A restarted server takes its port again although connections of the last one linger.
    const int on = 1;
    (void)::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (address.ss_family == AF_INET6) {
        // "::" serves IPv4 clients too, as mapped addresses, whatever the system's default.
        const int off = 0;
        if (::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) != 0) {
            return Fail(error, errno, fd);
        }
    }
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
        ::listen(fd, LISTEN_BACKLOG) != 0 || !Prepare(fd)) {
        return Fail(error, errno, fd);
    }
    return fd;
}

std::uint16_t NetListenerPort(NetHandle listener) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(static_cast<int>(listener), reinterpret_cast<sockaddr*>(&address), &length) !=
        0) {
        return 0;
    }
    return PortOf(address);
}

NetHandle NetConnectTcp(const std::string& host, std::uint16_t port, NetError* error) {
    sockaddr_storage address{};
    socklen_t length = 0;
    if (!Resolve(host, port, false, &address, &length, error)) {
        return NET_NONE;
    }
    const int fd = NewSocket(address.ss_family);
    if (fd < 0) {
        return Fail(error, errno);
    }
    int result;
    do {
        result = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), length);
    } while (result != 0 && errno == EINTR);
    if (result != 0 || !Prepare(fd)) {
        return Fail(error, errno, fd);
    }
    return fd;
}

NetHandle NetAccept(NetHandle listener, NetPeer* peer, NetError* error) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    int fd;
    do {
#if defined(__linux__)
        fd = ::accept4(static_cast<int>(listener), reinterpret_cast<sockaddr*>(&address), &length,
                       SOCK_NONBLOCK | SOCK_CLOEXEC);
#else
        fd = ::accept(static_cast<int>(listener), reinterpret_cast<sockaddr*>(&address), &length);
        if (fd >= 0 && !Prepare(fd)) {
            return Fail(error, errno, fd);
        }
#endif
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        // A client that gave up before it was taken is no failure of the listener.
        return Fail(error, errno == ECONNABORTED ? EAGAIN : errno);
    }
    if (address.ss_family == AF_INET || address.ss_family == AF_INET6) {
        const int on = 1;
        (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    if (peer != nullptr) {
        *peer = PeerOf(address);
    }
    return fd;
}

NetHandle NetListenLocal(const std::string& path, NetError* error) {
    sockaddr_un address;
    if (!LocalAddress(path, &address, error)) {
        return NET_NONE;
    }
    const int fd = NewSocket(AF_UNIX);
    if (fd < 0) {
        return Fail(error, errno);
    }
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, LISTEN_BACKLOG) != 0 || !Prepare(fd)) {
        return Fail(error, errno, fd);
    }
    return fd;
}

NetHandle NetConnectLocal(const std::string& path, NetError* error) {
    sockaddr_un address;
    if (!LocalAddress(path, &address, error)) {
        return NET_NONE;
    }
    const int fd = NewSocket(AF_UNIX);
    if (fd < 0) {
        return Fail(error, errno);
    }
    // A local connect is answered at once: connected, refused, or (the listener's queue is
    // full) WouldBlock, which the caller may try again.
    if (!Prepare(fd)) {
        return Fail(error, errno, fd);
    }
    int result;
    do {
        result = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        return Fail(error, errno, fd);
    }
    return fd;
}

bool NetRemoveLocal(const std::string& path) {
    return ::unlink(path.c_str()) == 0;
}

std::size_t NetLocalPathMax() {
    return sizeof(sockaddr_un::sun_path) - 1;
}

NetIo NetRead(NetHandle handle, void* data, std::size_t size) {
    ssize_t n;
    do {
        n = ::recv(static_cast<int>(handle), data, size, 0);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
        return {static_cast<std::size_t>(n), NetStatus::Ok};
    }
    return {0, n == 0 ? NetStatus::Closed : StatusOf(errno)};
}

NetIo NetWrite(NetHandle handle, const void* data, std::size_t size) {
#ifdef MSG_NOSIGNAL
    constexpr int FLAGS = MSG_NOSIGNAL;
#else
    constexpr int FLAGS = 0;
#endif
    ssize_t n;
    do {
        n = ::send(static_cast<int>(handle), data, size, FLAGS);
    } while (n < 0 && errno == EINTR);
    if (n >= 0) {
        return {static_cast<std::size_t>(n), NetStatus::Ok};
    }
    return {0, StatusOf(errno)};
}

bool NetWait(NetHandle handle, bool forWrite, int timeoutMs) {
    pollfd p{static_cast<int>(handle), static_cast<short>(forWrite ? POLLOUT : POLLIN), 0};
    return ::poll(&p, 1, timeoutMs) > 0;
}

void NetClose(NetHandle handle) {
    if (handle != NET_NONE) {
        ::close(static_cast<int>(handle));
    }
}
