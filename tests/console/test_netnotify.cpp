// Sockets on the event loop: a stream keeps no more than its limit of received bytes and reads
// on when room is made, queues what its peer does not take yet, and tells of the end once.
#include "netnotify.h"

#include <QDeadlineTimer>
#include <QSocketNotifier>
#include <QTest>
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include <sys/socket.h>

namespace {

constexpr int WAIT_MS = 10000;

bool WaitFor(const std::function<bool()>& done) {
    const QDeadlineTimer limit(WAIT_MS);
    while (!done() && !limit.hasExpired()) {
        QTest::qWait(1);
    }
    return done();
}

// A listener on the loopback address, a client of it (a plain socket) and the stream the
// listener accepted for it.
struct Pair {
    CNetListener listener;
    NetHandle client = NET_NONE;
    std::unique_ptr<CNetStream> served;

    explicit Pair(std::size_t readLimit) {
        NetError error;
        EXPECT_TRUE(listener.ListenTcp("127.0.0.1", 0, &error)) << error.text;
        client = NetConnectTcp("127.0.0.1", listener.Port(), &error);
        EXPECT_NE(client, NET_NONE) << error.text;
        EXPECT_TRUE(WaitFor([&] {
            const NetHandle h = listener.Accept(nullptr);
            if (h != NET_NONE) {
                served = std::make_unique<CNetStream>(h, readLimit);
            }
            return served != nullptr;
        }));
    }
    ~Pair() { NetClose(client); }
};

std::string Pattern(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
    }
    return bytes;
}

} // namespace

TEST(NetStream, HoldsAtMostItsLimitAndLosesNothingOfAFlood) {
    constexpr std::size_t LIMIT = 1000;
    Pair pair(LIMIT);
    ASSERT_NE(pair.served, nullptr);
    int ends = 0;
    std::size_t mostHeld = 0;
    QObject::connect(pair.served.get(), &CNetStream::readyRead,
                     [&] { mostHeld = std::max(mostHeld, pair.served->BytesAvailable()); });
    int resets = 0;
    QObject::connect(pair.served.get(), &CNetStream::readEnded, [&] { ++ends; });
    QObject::connect(pair.served.get(), &CNetStream::disconnected, [&] { ++resets; });

    // Far more than the limit, sent as fast as the system takes it.
    const std::string sent = Pattern(512 << 10);
    std::string_view rest = sent;
    std::string got;
    ASSERT_TRUE(WaitFor([&] {
        if (!rest.empty()) {
            const NetIo io = NetWrite(pair.client, rest.data(), rest.size());
            rest.remove_prefix(io.bytes);
            if (rest.empty()) {
                NetClose(pair.client); // the end comes after the last byte
                pair.client = NET_NONE;
            }
        }
        // The reader takes a little at a time, as the server takes lines, and the stream reads
        // on at the next turn of the event loop.
        for (std::string part; !(part = pair.served->Read(300)).empty();) {
            got += part;
        }
        return ends > 0;
    }));
    got += pair.served->Read(LIMIT);
    EXPECT_LE(mostHeld, LIMIT);
    EXPECT_EQ(got.size(), sent.size());
    EXPECT_TRUE(got == sent);
    // The peer's close looks like a half-close: the stream stays open for writing.
    EXPECT_TRUE(pair.served->IsOpen());
    EXPECT_TRUE(pair.served->ReadEnded());
    QTest::qWait(20);
    EXPECT_EQ(ends, 1);
    EXPECT_EQ(resets, 0);
}

TEST(NetStream, QueuesWhatThePeerDoesNotTakeAndSendsItAsThePeerReads) {
    Pair pair(4096);
    ASSERT_NE(pair.served, nullptr);
    int written = 0;
    QObject::connect(pair.served.get(), &CNetStream::bytesWritten, [&] { ++written; });

    const std::string sent = Pattern(8 << 20);
    pair.served->Write(sent); // returns at once, whatever the peer does
    EXPECT_GT(pair.served->BytesToWrite(), 0u);
    EXPECT_LT(pair.served->BytesToWrite(), sent.size() + 1);
    pair.served->Write("!"); // after the queued bytes, not before them

    std::string got;
    ASSERT_TRUE(WaitFor([&] {
        char buffer[65536];
        NetIo io;
        while ((io = NetRead(pair.client, buffer, sizeof buffer)).bytes > 0) {
            got.append(buffer, io.bytes);
        }
        return got.size() == sent.size() + 1;
    }));
    EXPECT_TRUE(got == sent + "!");
    EXPECT_EQ(pair.served->BytesToWrite(), 0u);
    EXPECT_GT(written, 0);
}

TEST(NetStream, AFullBufferStopsReadingUntilRoomIsMade) {
    constexpr std::size_t LIMIT = 1000;
    Pair pair(LIMIT);
    ASSERT_NE(pair.served, nullptr);
    QSocketNotifier* reading = nullptr;
    for (QSocketNotifier* n : pair.served->findChildren<QSocketNotifier*>()) {
        if (n->type() == QSocketNotifier::Read) {
            reading = n;
        }
    }
    ASSERT_NE(reading, nullptr);

    const std::string sent = Pattern(20000);
    ASSERT_EQ(NetWrite(pair.client, sent.data(), sent.size()).bytes, sent.size());
    // Full: the stream holds its limit and no longer watches the socket (which stays readable
    // and would wake the event loop at every turn).
    ASSERT_TRUE(WaitFor([&] { return pair.served->BytesAvailable() == LIMIT; }));
    QTest::qWait(20);
    EXPECT_EQ(pair.served->BytesAvailable(), LIMIT);
    EXPECT_FALSE(reading->isEnabled());

    // One byte taken makes room: it reads on, in order.
    EXPECT_EQ(pair.served->Read(1), sent.substr(0, 1));
    EXPECT_TRUE(reading->isEnabled());
    std::string got = sent.substr(0, 1);
    ASSERT_TRUE(WaitFor([&] {
        got += pair.served->Read(7);
        return got.size() == sent.size();
    }));
    EXPECT_TRUE(got == sent);
}

TEST(NetStream, AWriteThatFindsThePeerGoneEndsTheStreamAfterwardsAndOnce) {
    // A full buffer keeps the stream from reading, so the write is the first to find out.
    Pair pair(1);
    ASSERT_NE(pair.served, nullptr);
    int ends = 0;
    QObject::connect(pair.served.get(), &CNetStream::disconnected, [&] { ++ends; });
    ASSERT_EQ(NetWrite(pair.client, "ab", 2).bytes, 2u);
    ASSERT_TRUE(WaitFor([&] { return pair.served->BytesAvailable() == 1; }));

    // The peer resets the connection (it closes with unread bytes and a zero linger).
    const linger reset{1, 0};
    ASSERT_EQ(
        ::setsockopt(static_cast<int>(pair.client), SOL_SOCKET, SO_LINGER, &reset, sizeof reset),
        0);
    NetClose(pair.client);
    pair.client = NET_NONE;

    pair.served->Write(std::string(4096, 'w'));
    EXPECT_EQ(ends, 0); // not from inside the caller's Write
    EXPECT_FALSE(pair.served->IsOpen());
    ASSERT_TRUE(WaitFor([&] { return ends > 0; }));
    QTest::qWait(20);
    EXPECT_EQ(ends, 1);

    // What had arrived can still be read; writing or aborting afterwards is harmless.
    EXPECT_EQ(pair.served->Read(10), "a");
    pair.served->Write("after");
    EXPECT_EQ(pair.served->BytesToWrite(), 0u);
    pair.served->Abort();
    pair.served->Abort();
}
