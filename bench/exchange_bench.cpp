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
//   bench_exchange [ITERATIONS] [BAUD]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

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

std::vector<double> Measure(int baud, int iterations, std::size_t* replyBytes,
                            std::vector<double>* traced = nullptr) {
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
    for (int i = 0; i < iterations + 20; ++i) {
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

    const int pacedIterations = std::max(10, iterations / 10);
    const Figures paced = Percentiles(Measure(baud, pacedIterations, &bytes));
    const double wireUs = static_cast<double>(bytes) * 10.0 * 1e6 / baud;
    std::printf("paced at %d baud: median %.1f us, p99 %.1f us; wire time of %zu bytes %.1f us; "
                "ratio median %.4f, p99 %.4f (%d exchanges)\n",
                baud, paced.median, paced.p99, bytes, wireUs, paced.median / wireUs,
                paced.p99 / wireUs, pacedIterations);
    return 0;
}
