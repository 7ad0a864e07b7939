// Winsock. Local sockets are AF_UNIX, which Windows 10 has since version 1803; their files live
// in the file system like POSIX ones, and a file left behind refuses connections.
#include "netsock.h"

#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#if __has_include(<afunix.h>)
#include <afunix.h>
#else
// The definitions of afunix.h, for toolchains without it.
#define UNIX_PATH_MAX 108
struct sockaddr_un {
    ADDRESS_FAMILY sun_family;
    char sun_path[UNIX_PATH_MAX];
};
#endif

#include <cstring>
#include <string>

#include "netsock_addr.h"

namespace {

using namespace netsock_addr;

constexpr int LISTEN_BACKLOG = 16;

// Winsock is started once for the process and left running until it ends.
bool Started() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

std::string Utf8(const wchar_t* text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) {
        return {};
    }
    std::string out(static_cast<std::size_t>(size - 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
    return out;
}

std::wstring Wide(const std::string& text) {
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    if (size <= 1) {
        return {};
    }
    std::wstring out(static_cast<std::size_t>(size - 1), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, out.data(), size);
    return out;
}

std::string MessageOf(int code) {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string message = length > 0 ? Utf8(text) : std::string();
    LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == '.' || message.back() == ' ')) {
        message.pop_back();
    }
    return message.empty() ? "Winsock error " + std::to_string(code) : message;
}

NetStatus StatusOf(int code) {
    switch (code) {
    case WSAEWOULDBLOCK:
    case WSAEINPROGRESS:
        return NetStatus::WouldBlock;
    case WSAEADDRINUSE:
        return NetStatus::InUse;
    case WSAECONNREFUSED:
        return NetStatus::Refused;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return NetStatus::Absent;
    case WSAECONNRESET:
    case WSAECONNABORTED:
        return NetStatus::Reset;
    case WSAESHUTDOWN:
        return NetStatus::Closed;
    default:
        return NetStatus::Failed;
    }
}

NetHandle Fail(NetError* error, int code, SOCKET s = INVALID_SOCKET) {
    if (s != INVALID_SOCKET) {
        closesocket(s);
    }
    error->status = StatusOf(code);
    error->text = MessageOf(code);
    return NET_NONE;
}

bool NonBlocking(SOCKET s) {
    u_long on = 1;
    return ioctlsocket(s, FIONBIO, &on) == 0;
}

// Sockets are not inherited by programs this one starts.
SOCKET NewSocket(int family) {
    return WSASocketW(family, SOCK_STREAM, 0, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
}

} // namespace

NetHandle NetListenTcp(const std::string& host, std::uint16_t port, NetError* error) {
    if (!Started()) {
        return Fail(error, WSASYSNOTREADY);
    }
    sockaddr_storage address{};
    int length = 0;
    if (!Resolve(host, port, true, &address, &length, error)) {
        return NET_NONE;
    }
    const SOCKET s = NewSocket(address.ss_family);
    if (s == INVALID_SOCKET) {
        // A machine without IPv6 serves "::" (every address) on every IPv4 address instead.
        if (WSAGetLastError() == WSAEAFNOSUPPORT && host == "::") {
            return NetListenTcp("0.0.0.0", port, error);
        }
        return Fail(error, WSAGetLastError());
    }
    // Exclusive binding: no other socket may take the port while this one has it, not even one
    // with SO_REUSEADDR (which Windows would let in). The port is taken again while
    // connections of the last listener wind down.
    const BOOL exclusive = TRUE;
    if (setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
                   sizeof exclusive) != 0) {
        return Fail(error, WSAGetLastError(), s);
    }
    if (address.ss_family == AF_INET6) {
        // "::" serves IPv4 clients too, as mapped addresses.
        const DWORD off = 0;
        if (setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&off),
                       sizeof off) != 0) {
            return Fail(error, WSAGetLastError(), s);
        }
    }
    if (bind(s, reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
        listen(s, LISTEN_BACKLOG) != 0 || !NonBlocking(s)) {
        return Fail(error, WSAGetLastError(), s);
    }
    return static_cast<NetHandle>(s);
}

std::uint16_t NetListenerPort(NetHandle listener) {
    sockaddr_storage address{};
    int length = sizeof address;
    if (getsockname(static_cast<SOCKET>(listener), reinterpret_cast<sockaddr*>(&address),
                    &length) != 0) {
        return 0;
    }
    return PortOf(address);
}

NetHandle NetConnectTcp(const std::string& host, std::uint16_t port, NetError* error) {
    if (!Started()) {
        return Fail(error, WSASYSNOTREADY);
    }
    sockaddr_storage address{};
    int length = 0;
    if (!Resolve(host, port, false, &address, &length, error)) {
        return NET_NONE;
    }
    const SOCKET s = NewSocket(address.ss_family);
    if (s == INVALID_SOCKET) {
        return Fail(error, WSAGetLastError());
    }
    if (connect(s, reinterpret_cast<const sockaddr*>(&address), length) != 0 || !NonBlocking(s)) {
        return Fail(error, WSAGetLastError(), s);
    }
    return static_cast<NetHandle>(s);
}

NetHandle NetAccept(NetHandle listener, NetPeer* peer, NetError* error) {
    sockaddr_storage address{};
    int length = sizeof address;
    const SOCKET s =
        accept(static_cast<SOCKET>(listener), reinterpret_cast<sockaddr*>(&address), &length);
    if (s == INVALID_SOCKET) {
        const int code = WSAGetLastError();
        // A client that gave up before it was taken is no failure of the listener.
        return Fail(error, code == WSAECONNRESET ? WSAEWOULDBLOCK : code);
    }
    // An accepted socket inherits the listener's modes, but not its no-inherit flag.
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    if (!NonBlocking(s)) {
        return Fail(error, WSAGetLastError(), s);
    }
    if (address.ss_family == AF_INET || address.ss_family == AF_INET6) {
        const BOOL on = TRUE;
        (void)setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                         sizeof on);
    }
    if (peer != nullptr) {
        *peer = PeerOf(address);
    }
    return static_cast<NetHandle>(s);
}

NetHandle NetListenLocal(const std::string& path, NetError* error) {
    if (!Started()) {
        return Fail(error, WSASYSNOTREADY);
    }
    sockaddr_un address;
    if (!LocalAddress(path, &address, error)) {
        return NET_NONE;
    }
    const SOCKET s = NewSocket(AF_UNIX);
    if (s == INVALID_SOCKET) {
        return Fail(error, WSAGetLastError());
    }
    if (bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(s, LISTEN_BACKLOG) != 0 || !NonBlocking(s)) {
        return Fail(error, WSAGetLastError(), s);
    }
    return static_cast<NetHandle>(s);
}

NetHandle NetConnectLocal(const std::string& path, NetError* error) {
    if (!Started()) {
        return Fail(error, WSASYSNOTREADY);
    }
    sockaddr_un address;
    if (!LocalAddress(path, &address, error)) {
        return NET_NONE;
    }
    if (GetFileAttributesW(Wide(path).c_str()) == INVALID_FILE_ATTRIBUTES) {
        return Fail(error, ERROR_FILE_NOT_FOUND);
    }
    const SOCKET s = NewSocket(AF_UNIX);
    if (s == INVALID_SOCKET) {
        return Fail(error, WSAGetLastError());
    }
    // Winsock answers a local connect at once (a non-blocking one would say WouldBlock first).
    if (connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        !NonBlocking(s)) {
        return Fail(error, WSAGetLastError(), s);
    }
    return static_cast<NetHandle>(s);
}

bool NetRemoveLocal(const std::string& path) {
    return DeleteFileW(Wide(path).c_str()) != 0;
}

std::size_t NetLocalPathMax() {
    return sizeof(sockaddr_un::sun_path) - 1;
}

NetIo NetRead(NetHandle handle, void* data, std::size_t size) {
    const int want = size > 0x7fffffff ? 0x7fffffff : static_cast<int>(size);
    const int n = recv(static_cast<SOCKET>(handle), static_cast<char*>(data), want, 0);
    if (n > 0) {
        return {static_cast<std::size_t>(n), NetStatus::Ok};
    }
    return {0, n == 0 ? NetStatus::Closed : StatusOf(WSAGetLastError())};
}

NetIo NetWrite(NetHandle handle, const void* data, std::size_t size) {
    const int want = size > 0x7fffffff ? 0x7fffffff : static_cast<int>(size);
    const int n = send(static_cast<SOCKET>(handle), static_cast<const char*>(data), want, 0);
    if (n >= 0) {
        return {static_cast<std::size_t>(n), NetStatus::Ok};
    }
    return {0, StatusOf(WSAGetLastError())};
}

bool NetWait(NetHandle handle, bool forWrite, int timeoutMs) {
    WSAPOLLFD p{};
    p.fd = static_cast<SOCKET>(handle);
    p.events = forWrite ? POLLWRNORM : POLLRDNORM;
    return WSAPoll(&p, 1, timeoutMs) > 0;
}

void NetClose(NetHandle handle) {
    if (handle != NET_NONE) {
        closesocket(static_cast<SOCKET>(handle));
    }
}
