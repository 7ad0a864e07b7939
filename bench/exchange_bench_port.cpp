// Latency of one command exchange against a module on a serial port in another process:
// "dds a 1999999a 1000 400 1" and its reply, through the real serial code path. On Windows the
// port is a COM port (under Wine: qmtrv-sim's pseudo-terminal mapped to one); on POSIX any
// device path, such as the slave path qmtrv-sim prints.
//
// The module at the far end decides the pacing (qmtrv-sim --baud). Given that baud rate, the
// figures are also compared with the wire time of the bytes the module sent (10 bits a byte).
//
//   bench_exchange_port PORT [ITERATIONS] [BAUD]
//   bench_exchange_port COM5 2000          (unpaced module)
//   bench_exchange_port COM6 200 115200    (module paced at 115200 baud)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "comlink.h"
#include "diag.h"
#include "exchange.h"
#include "numtext.h"

namespace {

constexpr const char* COMMAND = "dds a 1999999a 1000 400 1";
constexpr int WARM_UP = 20; // the first exchanges warm caches and the scheduler up

double Percentile(const std::vector<double>& sorted, int percent) {
    const std::size_t i = (sorted.size() * static_cast<std::size_t>(percent)) / 100;
    return sorted[std::min(sorted.size() - 1, i)];
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_exchange_port PORT [ITERATIONS] [BAUD]\n");
        return 2;
    }
    const std::string port = argv[1];
    const int iterations = argc > 2 ? std::max(10, NumTextToInt(argv[2])) : 2000;
    const int baud = argc > 3 ? std::max(0, NumTextToInt(argv[3])) : 0;
    DiagSetSink([](std::string_view) {});

    if (OpenComDevice(port, baud > 0 ? baud : 115200, 'N', 13) != LINK_OPEN_OK) {
        std::fprintf(stderr, "bench_exchange_port: no module answered the probe on %s\n",
                     port.c_str());
        return 1;
    }
    std::vector<double> us;
    us.reserve(static_cast<std::size_t>(iterations));
    ReplyField fields[REPLY_FIELD_COUNT];
    for (int i = 0; i < iterations + WARM_UP; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        const int n = SendCommand(COMMAND, fields);
        const auto t1 = std::chrono::steady_clock::now();
        if (n != 2) {
            std::fprintf(stderr, "bench_exchange_port: unexpected reply: %d fields\n", n);
            CloseComPort();
            return 1;
        }
        if (i >= WARM_UP) {
            us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        }
    }
    CloseComPort();
    std::sort(us.begin(), us.end());
    const double median = Percentile(us, 50);
    const double p99 = Percentile(us, 99);
    std::printf("%s: median %.1f us, p99 %.1f us (%d exchanges)", port.c_str(), median, p99,
                iterations);
    if (baud > 0) {
        // Echo, CR LF, the answer line and the prompt, as the module sends them.
        const std::size_t bytes =
            std::string(COMMAND).size() + 2 + std::string("OK\r\n").size() + 1;
        const double wireUs = static_cast<double>(bytes) * 10.0 * 1e6 / baud;
        std::printf("; at %d baud the wire time of %zu bytes is %.1f us: ratio median %.3f, "
                    "p99 %.3f",
                    baud, bytes, wireUs, median / wireUs, p99 / wireUs);
    }
    std::printf("\n");
    return 0;
}
