// Sockets over the operating system, for a program that watches them from its own event loop:
// TCP listeners and the streams they accept, and local (Unix-domain) sockets between copies of
// a program on one machine. Every call returns at once (NetConnectTcp and NetWait excepted);
// handles are non-blocking, close on exec, and are watched for readiness by the caller
// (QSocketNotifier in the console). Plain C++ and the operating system: POSIX sockets in
// netsock_posix.cpp, Winsock in netsock_win32.cpp, where local sockets are AF_UNIX (Windows 10
// 1803 and later).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

// A socket: a file descriptor on POSIX, a SOCKET on Windows.
using NetHandle = std::intptr_t;
constexpr NetHandle NET_NONE = -1;

enum class NetStatus {
    Ok,
    WouldBlock, // nothing to do now; wait until the handle is ready
    Closed,     // the peer ended the connection (for a read: it sends no more)
    Reset,      // the peer aborted the connection, or is gone and a write found out
    InUse,      // the address or the local socket's name is taken
    Refused,    // nobody listens (for a local socket: a file its listener left behind)
    Absent,     // no local socket under that name
    Failed,     // anything else; the text says what
};

struct NetError {
    NetStatus status = NetStatus::Ok;
    std::string text; // the system's message, for people ("Address already in use")
};

// The address of a TCP peer as bytes in network order: 4 for IPv4 (the rest 0), 16 for IPv6.
struct NetPeer {
    bool v6 = false;
    std::array<std::uint8_t, 16> bytes{};
};

// The result of a read or a write: bytes moved, or why none were.
struct NetIo {
    std::size_t bytes = 0;
    NetStatus status = NetStatus::Ok; // Ok whenever bytes > 0
};

// Listens for TCP clients on host, a numeric IPv4 or IPv6 address (an IPv6 one may end in
// "%zone"), and port (0: the system picks one). "::" takes IPv4 clients too (and is 0.0.0.0 on
// a machine without IPv6). NET_NONE with
// *error when the address is taken, not numeric, or refused by the system.
NetHandle NetListenTcp(const std::string& host, std::uint16_t port, NetError* error);

// The port a TCP listener listens on; 0 when the system does not say.
std::uint16_t NetListenerPort(NetHandle listener);

// Connects to a TCP listener at numeric host and port, waiting until the system has an answer.
NetHandle NetConnectTcp(const std::string& host, std::uint16_t port, NetError* error);

// Takes the next connection waiting on a TCP or local listener, with the peer's address for TCP
// (peer may be nullptr). A TCP connection sends without delay (TCP_NODELAY): an answer goes out
// when it is written, not when the peer acknowledges the last one. NET_NONE with status WouldBlock
// when none waits.
NetHandle NetAccept(NetHandle listener, NetPeer* peer, NetError* error);

// Listens on a local socket at path (a file path). A file there already, whether a listener owns
// it or not, is InUse; the caller decides whether to remove it.
NetHandle NetListenLocal(const std::string& path, NetError* error);

// Connects to the local socket at path: Absent when there is none, Refused when its file is
// there but nobody listens, WouldBlock when its listener has a full queue of connections it has
// not taken yet (try again later).
NetHandle NetConnectLocal(const std::string& path, NetError* error);

// Removes the file of a local socket. False when there was none or it could not be removed.
bool NetRemoveLocal(const std::string& path);

// The longest path a local socket can have, in bytes.
std::size_t NetLocalPathMax();

// Reads up to size bytes that have arrived. Closed once the peer has ended its side of the
// connection (it may still read: a half-close) and every byte it sent has been read; Reset when
// it aborted the connection.
NetIo NetRead(NetHandle handle, void* data, std::size_t size);

// Writes what the system takes now of size bytes (a part, possibly). A peer that is gone is
// Reset, Closed or Failed, without SIGPIPE (MSG_NOSIGNAL or SO_NOSIGPIPE).
NetIo NetWrite(NetHandle handle, const void* data, std::size_t size);

// Waits up to timeoutMs for the handle to be readable (or, with forWrite, writable). True when
// it is; false on time-out or failure.
bool NetWait(NetHandle handle, bool forWrite, int timeoutMs);

// Closes a handle; NET_NONE is ignored.
void NetClose(NetHandle handle);
