#include "netsock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
using OptLength = int;
#else
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
using OptLength = socklen_t;
#endif

namespace {

// Whether a TCP socket sends without delay.
bool NoDelay(NetHandle h) {
    int on = 0;
    OptLength length = sizeof on;
    return getsockopt(static_cast<decltype(socket(0, 0, 0))>(h), IPPROTO_TCP, TCP_NODELAY,
                      reinterpret_cast<char*>(&on), &length) == 0 &&
           on != 0;
}

constexpr int WAIT_MS = 5000;

// Closes a handle when the test ends, whichever way.
struct Handle {
    NetHandle h = NET_NONE;
    explicit Handle(NetHandle handle) : h(handle) {}
    ~Handle() { NetClose(h); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
};

// Everything that arrives on h within the wait, until n bytes or the end.
std::string ReadSome(NetHandle h, std::size_t n) {
    std::string got;
    while (got.size() < n && NetWait(h, false, WAIT_MS)) {
        char buffer[256];
        const NetIo io = NetRead(h, buffer, sizeof buffer);
        if (io.bytes == 0) {
            break;
        }
        got.append(buffer, io.bytes);
    }
    return got;
}

NetHandle AcceptWaiting(NetHandle listener, NetPeer* peer) {
    NetError error;
    if (!NetWait(listener, false, WAIT_MS)) {
        return NET_NONE;
    }
    return NetAccept(listener, peer, &error);
}

// A connection on the loopback address: the listener, its client and the end it accepted
// (NET_NONE from the first step that failed on, with error saying why).
struct Loopback {
    NetError error;
    Handle listener{NetListenTcp("127.0.0.1", 0, &error)};
    Handle client{listener.h != NET_NONE
                      ? NetConnectTcp("127.0.0.1", NetListenerPort(listener.h), &error)
                      : NET_NONE};
    Handle served{client.h != NET_NONE ? AcceptWaiting(listener.h, nullptr) : NET_NONE};
};

// A local socket path of this test run's own, in the temporary folder.
std::string LocalPath(const char* tag) {
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    const std::string name = "morvane-net-" + std::string(tag) + "-" + std::to_string(stamp);
    return (std::filesystem::temp_directory_path() / name).string();
}

} // namespace

TEST(NetTcp, LoopbackClientIsAcceptedWithItsAddressAndBytesGoBothWays) {
    NetError error;
    Handle listener(NetListenTcp("127.0.0.1", 0, &error));
    ASSERT_NE(listener.h, NET_NONE) << error.text;
    const std::uint16_t port = NetListenerPort(listener.h);
    ASSERT_NE(port, 0);

    // Nobody waits yet: the listener says so instead of blocking.
    NetError none;
    EXPECT_EQ(NetAccept(listener.h, nullptr, &none), NET_NONE);
    EXPECT_EQ(none.status, NetStatus::WouldBlock);

    Handle client(NetConnectTcp("127.0.0.1", port, &error));
    ASSERT_NE(client.h, NET_NONE) << error.text;
    NetPeer peer;
    Handle served(AcceptWaiting(listener.h, &peer));
    ASSERT_NE(served.h, NET_NONE);
    EXPECT_FALSE(peer.v6);
    EXPECT_EQ(peer.bytes[0], 127);
    EXPECT_EQ(peer.bytes[3], 1);
    EXPECT_TRUE(NoDelay(served.h));

    // Nothing sent yet: a read says WouldBlock, not Closed.
    char byte;
    EXPECT_EQ(NetRead(served.h, &byte, 1).status, NetStatus::WouldBlock);

    ASSERT_EQ(NetWrite(client.h, "*IDN?\n", 6).bytes, 6u);
    EXPECT_EQ(ReadSome(served.h, 6), "*IDN?\n");
    ASSERT_EQ(NetWrite(served.h, "QM-TRV\n", 7).bytes, 7u);
    EXPECT_EQ(ReadSome(client.h, 7), "QM-TRV\n");

    // The client goes: its last bytes are still read, then the end is seen.
    ASSERT_EQ(NetWrite(client.h, "x", 1).bytes, 1u);
    NetClose(client.h);
    client.h = NET_NONE;
    EXPECT_EQ(ReadSome(served.h, 2), "x");
    ASSERT_TRUE(NetWait(served.h, false, WAIT_MS));
    EXPECT_EQ(NetRead(served.h, &byte, 1).status, NetStatus::Closed);
}

TEST(NetTcp, ListenersThatCannotBeSaySo) {
    NetError error;
    Handle taken(NetListenTcp("127.0.0.1", 0, &error));
    ASSERT_NE(taken.h, NET_NONE) << error.text;
    const std::uint16_t port = NetListenerPort(taken.h);

    struct Case {
        const char* host;
        std::uint16_t port;
        NetStatus status;
    };
    const Case cases[] = {
        {"127.0.0.1", port, NetStatus::InUse}, // another listener has it
        {"localhost", 0, NetStatus::Failed},   // names are not looked up
        {"127.0.0.256", 0, NetStatus::Failed},
        {"", 0, NetStatus::Failed},
    };
    for (const Case& c : cases) {
        NetError why;
        Handle h(NetListenTcp(c.host, c.port, &why));
        EXPECT_EQ(h.h, NET_NONE) << c.host;
        EXPECT_EQ(why.status, c.status) << c.host;
        EXPECT_FALSE(why.text.empty()) << c.host;
    }
}

TEST(NetTcp, AnyIPv6AddressServesIPv4ClientsAsMappedAddresses) {
    NetError error;
    Handle listener(NetListenTcp("::", 0, &error));
    if (listener.h == NET_NONE) {
        GTEST_SKIP() << "no IPv6 here: " << error.text;
    }
    Handle client(NetConnectTcp("127.0.0.1", NetListenerPort(listener.h), &error));
    ASSERT_NE(client.h, NET_NONE) << error.text;
    NetPeer peer;
    Handle served(AcceptWaiting(listener.h, &peer));
    ASSERT_NE(served.h, NET_NONE);
    EXPECT_TRUE(peer.v6);
    const std::array<std::uint8_t, 16> mapped{0, 0, 0,    0,    0,   0, 0, 0,
                                              0, 0, 0xff, 0xff, 127, 0, 0, 1};
    EXPECT_EQ(peer.bytes, mapped);
}

TEST(NetTcp, WritingToAPeerThatWentIsAnEndNotASignal) {
    Loopback c;
    ASSERT_NE(c.served.h, NET_NONE) << c.error.text;
    NetClose(c.client.h);
    c.client.h = NET_NONE;

    // The first write may still be taken; the reset that answers it ends the next ones (without
    // SIGPIPE, which would end this test program).
    const std::string block(4096, 'a');
    NetStatus status = NetStatus::Ok;
    for (int i = 0; i < 1000 && (status == NetStatus::Ok || status == NetStatus::WouldBlock); ++i) {
        status = NetWrite(c.served.h, block.data(), block.size()).status;
        (void)NetWait(c.served.h, true, 10);
    }
    EXPECT_TRUE(status == NetStatus::Reset || status == NetStatus::Closed ||
                status == NetStatus::Failed);
}

TEST(NetTcp, AFullSendQueueTakesPartOrNothingAndNeverBlocks) {
    Loopback c;
    ASSERT_NE(c.served.h, NET_NONE) << c.error.text;

    // The client never reads: the system's buffers fill and the writes come back short.
    const std::string block(1 << 16, 'b');
    std::size_t sent = 0;
    NetIo io;
    for (int i = 0; i < 4096; ++i) {
        io = NetWrite(c.served.h, block.data(), block.size());
        sent += io.bytes;
        if (io.status == NetStatus::WouldBlock) {
            break;
        }
    }
    EXPECT_EQ(io.status, NetStatus::WouldBlock);
    EXPECT_EQ(io.bytes, 0u);
    EXPECT_GT(sent, 0u);
}

TEST(NetLocal, NamesAreTakenOnceAndAFileLeftBehindRefuses) {
    const std::string path = LocalPath("life");
    NetError error;

    Handle absent(NetConnectLocal(path, &error));
    EXPECT_EQ(absent.h, NET_NONE);
    EXPECT_EQ(error.status, NetStatus::Absent) << error.text;

    NetHandle first = NetListenLocal(path, &error);
    if (first == NET_NONE && error.status == NetStatus::Failed) {
        GTEST_SKIP() << "no local sockets here: " << error.text;
    }
    ASSERT_NE(first, NET_NONE) << error.text;

    // A second listener finds the name taken; a client gets through.
    Handle second(NetListenLocal(path, &error));
    EXPECT_EQ(second.h, NET_NONE);
    EXPECT_EQ(error.status, NetStatus::InUse) << error.text;
    {
        Handle client(NetConnectLocal(path, &error));
        ASSERT_NE(client.h, NET_NONE) << error.text;
        Handle served(AcceptWaiting(first, nullptr));
        ASSERT_NE(served.h, NET_NONE);
        ASSERT_EQ(NetWrite(client.h, "morvane:raise\n", 14).bytes, 14u);
        EXPECT_EQ(ReadSome(served.h, 14), "morvane:raise\n");
    }

    // The listener ends without removing its file, as a copy that crashed does.
    NetClose(first);
    Handle stale(NetConnectLocal(path, &error));
    EXPECT_EQ(stale.h, NET_NONE);
    EXPECT_EQ(error.status, NetStatus::Refused) << error.text;
    Handle blocked(NetListenLocal(path, &error));
    EXPECT_EQ(blocked.h, NET_NONE);
    EXPECT_EQ(error.status, NetStatus::InUse) << error.text;

    // Once the file is removed the name can be taken again.
    EXPECT_TRUE(NetRemoveLocal(path));
    EXPECT_FALSE(NetRemoveLocal(path));
    Handle again(NetListenLocal(path, &error));
    EXPECT_NE(again.h, NET_NONE) << error.text;
    NetRemoveLocal(path);
}

TEST(NetLocal, APathTooLongIsRefusedWithoutTouchingAnything) {
    const std::string path = std::string(NetLocalPathMax() + 1, 'p');
    NetError error;
    Handle listener(NetListenLocal(path, &error));
    EXPECT_EQ(listener.h, NET_NONE);
    EXPECT_EQ(error.status, NetStatus::Failed);
    EXPECT_NE(error.text.find("longer than"), std::string::npos) << error.text;
    Handle client(NetConnectLocal(path, &error));
    EXPECT_EQ(client.h, NET_NONE);
}
