// Latency of one command exchange against the module simulator on a pseudo-terminal:
// "dds a 1999999a 1000 400 1" and its reply, through the real serial code path.
//
// Unpaced, the figure is the link's own overhead (write, event wait, one-byte reads, split).
// Paced at a baud rate, it is compared with the wire time of the bytes the simulator sent
// (10 bits a byte): a ratio near 1.0 means the reader adds nothing a person would notice.
//
// With a transcript observer registered (as the console and --trace register one), the unpaced
// figure is measured again: recording should cost the exchange nothing measurable.
//
// The unpaced figure is also set beside a bare round trip of the same bytes over a
// pseudo-terminal (two writes, a poll, the reads; the far end answers in one write), in
// alternating blocks: the floor this machine sets under any exchange over a pseudo-terminal at
// that moment. Shared virtual machines move it by half or more from one minute to the next.
//
//   bench_exchange [ITERATIONS] [BAUD]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "comlink.h"
#include "diag.h"
#include "exchange.h"
#include "pty_simulator.h"
#include "trace.h"

namespace {

constexpr const char* COMMAND = "dds a 1999999a 1000 400 1";

struct Figures {
    double median = 0;
    double p99 = 0;
};

Figures Percentiles(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    Figures f;
    f.median = v[v.size() / 2];
    f.p99 = v[std::min(v.size() - 1, (v.size() * 99) / 100)];
    return f;
}

// Runs the exchange `iterations` times against a simulator paced at `baud` (0 = unpaced).
// Returns the durations in microseconds; *replyBytes receives the bytes of one reply.
// With traced given, blocks of BLOCK exchanges alternate between no transcript observer (the
// returned figures) and a registered one (into *traced), so that both see the same load of a
// shared machine.
constexpr int BLOCK = 50;

// What the console's transcript does on the exchange's thread: copy the event under a lock
// for its UI thread to format later (here the batch is simply dropped now and then).
struct TranscriptSink {
    std::mutex mutex;
    std::vector<LinkTraceEvent> pending;
    void Take(const LinkTraceEvent& event) {
        const std::lock_guard<std::mutex> lock(mutex);
        pending.push_back(event);
        if (pending.size() >= 256) {
            pending.clear();
        }
    }
};

// The bare round trip: a pseudo-terminal of its own, the far end a thread that answers every CR
// with the reply in one write.
class CBarePty {
public:
    CBarePty() {
        m_master = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0) {
            return;
        }
        const char* name = ::ptsname(m_master);
        m_slave = name != nullptr ? ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK) : -1;
        termios t{};
        if (m_slave < 0 || ::tcgetattr(m_slave, &t) != 0) {
            return;
        }
        ::cfmakeraw(&t);
        (void)::tcsetattr(m_slave, TCSANOW, &t);
        m_far = std::thread([this] { Answer(); });
    }
    ~CBarePty() {
        m_stop = true;
        if (m_slave >= 0) {
            ::close(m_slave); // the far end's read then fails and it ends
        }
        if (m_far.joinable()) {
            m_far.join();
        }
        if (m_master >= 0) {
            ::close(m_master);
        }
    }
    CBarePty(const CBarePty&) = delete;
    CBarePty& operator=(const CBarePty&) = delete;

    bool Ready() const { return m_far.joinable(); }

    // One round trip in microseconds, or a negative value when the far end went away.
    double RoundTripUs() {
        const auto t0 = std::chrono::steady_clock::now();
        const std::size_t length = std::strlen(COMMAND);
        if (::write(m_slave, COMMAND, length) != static_cast<ssize_t>(length) ||
            ::write(m_slave, "\r", 1) != 1) {
            return -1;
        }
        std::size_t got = 0;
        char buffer[256];
        while (got < m_reply.size()) {
            pollfd p{m_slave, POLLIN, 0};
            if (::poll(&p, 1, 1000) <= 0) {
                return -1;
            }
            const ssize_t n = ::read(m_slave, buffer, sizeof buffer);
            if (n <= 0) {
                return -1;
            }
            got += static_cast<std::size_t>(n);
        }
        return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0)
            .count();
    }

private:
    void Answer() {
        char buffer[256];
        while (!m_stop) {
            pollfd p{m_master, POLLIN, 0};
            if (::poll(&p, 1, 100) < 0) {
                return;
            }
            const ssize_t n = ::read(m_master, buffer, sizeof buffer);
            if (n < 0 && errno == EAGAIN) {
                continue;
            }
            if (n <= 0) {
                return;
            }
            if (std::memchr(buffer, '\r', static_cast<std::size_t>(n)) != nullptr &&
                ::write(m_master, m_reply.data(), m_reply.size()) !=
                    static_cast<ssize_t>(m_reply.size())) {
                return;
            }
        }
    }

    int m_master = -1;
    int m_slave = -1;
    std::atomic<bool> m_stop{false};
    const std::string m_reply = std::string(COMMAND) + "\r\nOK\r\n>";
    std::thread m_far;
};

// With floor given, blocks alternate in the same way between the link and the bare round trip
// (into *floor).
std::vector<double> Measure(int baud, int iterations, std::size_t* replyBytes,
                            std::vector<double>* traced = nullptr,
                            std::vector<double>* floor = nullptr) {
    SimOptions options;
    options.baud = baud;
    CPtySimulator sim(options);
    if (!sim.Start()) {
        std::fprintf(stderr, "cannot start the simulator\n");
        std::exit(1);
    }
    if (OpenComDevice(sim.SlavePath(), baud > 0 ? baud : 115200, 'N', 13) != LINK_OPEN_OK) {
        std::fprintf(stderr, "the simulator did not answer the probe\n");
        std::exit(1);
    }
    std::vector<double> us;
    us.reserve(static_cast<std::size_t>(iterations));
    ReplyField fields[REPLY_FIELD_COUNT];
    TranscriptSink sink;
    int observer = 0;
    std::unique_ptr<CBarePty> bare;
    if (floor != nullptr) {
        bare = std::make_unique<CBarePty>();
        if (!bare->Ready()) {
            std::fprintf(stderr, "cannot make a pseudo-terminal for the bare round trip\n");
            std::exit(1);
        }
    }
    for (int i = 0; i < iterations + 20; ++i) {
        if (floor != nullptr && (i / BLOCK) % 2 == 1) {
            const double d = bare->RoundTripUs();
            if (d < 0) {
                std::fprintf(stderr, "the bare round trip failed\n");
                std::exit(1);
            }
            if (i >= 20) {
                floor->push_back(d);
            }
            continue;
        }
        const bool traceBlock = traced != nullptr && (i / BLOCK) % 2 == 1;
        if (traceBlock && observer == 0) {
            observer = LinkTraceAdd([&sink](const LinkTraceEvent& e) { sink.Take(e); });
        } else if (!traceBlock && observer != 0) {
            LinkTraceRemove(observer);
            observer = 0;
        }
        const auto t0 = std::chrono::steady_clock::now();
        const int n = SendCommand(COMMAND, fields);
        const auto t1 = std::chrono::steady_clock::now();
        if (n != 2) {
            std::fprintf(stderr, "unexpected reply: %d fields\n", n);
            std::exit(1);
        }
        if (i >= 20) { // the first exchanges warm caches and the scheduler up
            const double d = std::chrono::duration<double, std::micro>(t1 - t0).count();
            (traceBlock ? *traced : us).push_back(d);
        }
    }
    if (observer != 0) {
        LinkTraceRemove(observer);
    }
    CloseComPort();
    // Echo, CR LF, the answer line and the prompt, as the simulator sends them.
    *replyBytes = std::string(COMMAND).size() + 2 + std::string("OK\r\n").size() + 1;
    return us;
}

} // namespace

int main(int argc, char** argv) {
    const int iterations = argc > 1 ? std::max(10, std::atoi(argv[1])) : 2000;
    const int baud = argc > 2 ? std::atoi(argv[2]) : 115200;
    DiagSetSink([](std::string_view) {});

    std::size_t bytes = 0;
    const Figures unpaced = Percentiles(Measure(0, iterations, &bytes));
    std::printf("unpaced: median %.1f us, p99 %.1f us (%d exchanges)\n", unpaced.median,
                unpaced.p99, iterations);

    std::vector<double> tracedUs;
    const Figures plain = Percentiles(Measure(0, iterations, &bytes, &tracedUs));
    const Figures traced = Percentiles(tracedUs);
    std::printf("unpaced, alternating blocks of %d: without a transcript observer median %.1f us, "
                "p99 %.1f us; with one median %.1f us, p99 %.1f us; ratio of medians %.4f\n",
                BLOCK, plain.median, plain.p99, traced.median, traced.p99,
                traced.median / plain.median);

    std::vector<double> floorUs;
    const Figures link = Percentiles(Measure(0, iterations, &bytes, nullptr, &floorUs));
    const Figures floor = Percentiles(floorUs);
    std::printf("unpaced, alternating blocks of %d: the link median %.1f us; a bare pty round trip "
                "of the same bytes median %.1f us; ratio of medians %.3f\n",
                BLOCK, link.median, floor.median, link.median / floor.median);

    const int pacedIterations = std::max(10, iterations / 10);
    const Figures paced = Percentiles(Measure(baud, pacedIterations, &bytes));
    const double wireUs = static_cast<double>(bytes) * 10.0 * 1e6 / baud;
    std::printf("paced at %d baud: median %.1f us, p99 %.1f us; wire time of %zu bytes %.1f us; "
                "ratio median %.4f, p99 %.4f (%d exchanges)\n",
                baud, paced.median, paced.p99, bytes, wireUs, paced.median / wireUs,
                paced.p99 / wireUs, pacedIterations);
    return 0;
}
