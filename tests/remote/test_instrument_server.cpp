// The instrument server with a runner the test drives by hand, so that a line can be held
// "running" as long as a slow module would hold it: idle rules, turns and stopping with lines
// in every stage, on 127.0.0.1.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include <asio.hpp>
#include <gtest/gtest.h>

#include "fake_remote_module.h"
#include "instrument_server.h"

namespace {

using namespace std::chrono_literals;
using asio::ip::tcp;

// Keeps the server's jobs until the test runs them.
class CHeldRunner final : public IInstrumentRunner {
public:
    void Post(std::function<void()> job) override {
        std::lock_guard lock(m_mutex);
        m_jobs.push_back(std::move(job));
        m_posted.notify_all();
    }
    void CancelRunning() override {}
    // Runs the next job, waiting up to a limit for the server to post one.
    bool RunOne() {
        std::unique_lock lock(m_mutex);
        if (!m_posted.wait_for(lock, 10s, [this] { return !m_jobs.empty(); })) {
            return false;
        }
        std::function<void()> job = std::move(m_jobs.front());
        m_jobs.pop_front();
        lock.unlock();
        job();
        return true;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_posted;
    std::deque<std::function<void()>> m_jobs;
};

class InstrumentServerTest : public ::testing::Test {
protected:
    void Start(InstrumentLimits limits) {
        m_server = std::make_unique<CInstrumentServer>(m_engine, m_runner,
                                                       std::vector<RemoteRange>{}, limits);
        RemoteListen listen;
        std::string error;
        ASSERT_TRUE(RemoteParseListen("127.0.0.1:0", &listen, &error));
        ASSERT_TRUE(m_server->Listen(listen, &error)) << error;
    }

    tcp::socket Connect(const std::string& send = {}) {
        tcp::socket s(m_io);
        s.connect({asio::ip::make_address("127.0.0.1"), m_server->Port()});
        asio::write(s, asio::buffer(send));
        s.non_blocking(true);
        return s;
    }

    // What the server sent until within, and whether it closed the connection meanwhile.
    static std::string Receive(tcp::socket& s, std::chrono::milliseconds within, bool* closed) {
        std::string got;
        *closed = false;
        const auto end = std::chrono::steady_clock::now() + within;
        while (std::chrono::steady_clock::now() < end && !*closed) {
            char buffer[256];
            asio::error_code ec;
            const std::size_t n = s.read_some(asio::buffer(buffer), ec);
            got.append(buffer, n);
            *closed = ec && ec != asio::error::would_block;
            if (ec == asio::error::would_block) {
                std::this_thread::sleep_for(5ms);
            }
        }
        return got;
    }

    CFakeRemoteModule m_module;
    CRemoteEngine m_engine{m_module, 2};
    CHeldRunner m_runner;
    std::unique_ptr<CInstrumentServer> m_server;
    asio::io_context m_io;
};

// The idle rule counts the client's own silence only: one whose line the module takes long over
// is kept, and so is one whose line the server has not read yet because the queues are full; a
// silent one is closed.
TEST_F(InstrumentServerTest, AClientWaitingForTheServerIsNotIdle) {
    InstrumentLimits limits;
    limits.idle = 200ms;
    limits.queueLines = 1;
    Start(limits);
    tcp::socket waiting = Connect("*OPC?\n*OPC?\n"); // one line runs, one fills the queues
    std::this_thread::sleep_for(50ms);
    tcp::socket heldBack = Connect("*OPC?\n");
    tcp::socket silent = Connect();
    bool closed = false;
    EXPECT_EQ(Receive(silent, 3s, &closed), "");
    EXPECT_TRUE(closed) << "the silent client was not closed";
    for (tcp::socket* s : {&waiting, &heldBack}) {
        EXPECT_EQ(Receive(*s, 600ms, &closed), ""); // three idle limits long
        EXPECT_FALSE(closed);
    }
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(m_runner.RunOne());
    }
    EXPECT_EQ(Receive(waiting, 1s, &closed), "1\n1\n");
    EXPECT_EQ(Receive(heldBack, 1s, &closed), "1\n");
}

// Clients with lines take turns: a second client's line runs after one line of the first, not
// after all of them.
TEST_F(InstrumentServerTest, ClientsTakeTurnsOneLineEach) {
    Start({});
    tcp::socket flood = Connect("*OPC?\n*OPC?\n*OPC?\n*OPC?\n");
    ASSERT_TRUE(m_runner.RunOne()); // the flood's first line; its second is handed over next
    tcp::socket other = Connect("*OPC?\n");
    std::this_thread::sleep_for(100ms); // the other line is queued before the flood's third
    ASSERT_TRUE(m_runner.RunOne());
    ASSERT_TRUE(m_runner.RunOne());
    bool closed = false;
    EXPECT_EQ(Receive(other, 1s, &closed), "1\n");
    EXPECT_EQ(Receive(flood, 200ms, &closed), "1\n1\n");
}

// Stopping with one line handed over and others queued: the handed-over job, run late, does
// nothing, and the engine may go right after Stop (the sanitizers see any late use of it).
TEST_F(InstrumentServerTest, AJobRunAfterStopDoesNothing) {
    Start({});
    m_module.clocks = m_module.readout;
    tcp::socket client = Connect("SOUR1:FREQ 1000\nSOUR1:FREQ 2000\n");
    std::this_thread::sleep_for(100ms);
    m_server->Stop();
    const std::size_t calls = m_module.calls.size();
    ASSERT_TRUE(m_runner.RunOne());
    EXPECT_EQ(m_module.calls.size(), calls);
    bool closed = false;
    (void)Receive(client, 1s, &closed);
    EXPECT_TRUE(closed);
    m_server.reset();
}

} // namespace
