// How the simulator's paced output arrives at a reader: a raw client on the slave side writes
// "dds a 1999999a 1000 400 1" with its terminator and takes every byte as soon as poll reports
// it, noting the moment of each read. On a real line at the given baud rate the first byte comes
// one byte time after the terminator, each later byte one byte time after the one before, and a
// reader that keeps up gets them one at a time.
//
//   bench_sim_pacing [REPLIES] [BAUD]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "pty_simulator.h"

namespace {

using SteadyClock = std::chrono::steady_clock;
constexpr const char* COMMAND = "dds a 1999999a 1000 400 1\r";

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

double Us(SteadyClock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

} // namespace

int main(int argc, char** argv) {
    const int replies = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
    const int baud = argc > 2 ? std::max(1, std::atoi(argv[2])) : 115200;
    SimOptions options;
    options.baud = baud;
    CPtySimulator sim(options);
    if (!sim.Start()) {
        std::fprintf(stderr, "bench_sim_pacing: cannot start the simulator\n");
        return 1;
    }
    const int fd = ::open(sim.SlavePath().c_str(), O_RDWR | O_NOCTTY);
    termios tio{};
    if (fd < 0 || tcgetattr(fd, &tio) != 0) {
        std::fprintf(stderr, "bench_sim_pacing: cannot open %s\n", sim.SlavePath().c_str());
        return 1;
    }
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);

    const double byteUs = 10.0 * 1e6 / baud;
    std::vector<double> first, gaps, last;
    std::size_t reads = 0, bytes = 0, biggest = 0;
    const std::string command = COMMAND;
    for (int r = 0; r < replies; ++r) {
        if (::write(fd, command.data(), command.size()) != static_cast<ssize_t>(command.size())) {
            std::fprintf(stderr, "bench_sim_pacing: write failed\n");
            return 1;
        }
        const auto sent = SteadyClock::now();
        auto previous = sent;
        std::string reply;
        while (reply.empty() || reply.back() != '>') {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 2000) <= 0) {
                std::fprintf(stderr, "bench_sim_pacing: no reply\n");
                return 1;
            }
            char buf[256];
            const ssize_t n = ::read(fd, buf, sizeof buf);
            const auto now = SteadyClock::now();
            if (n <= 0) {
                std::fprintf(stderr, "bench_sim_pacing: read failed\n");
                return 1;
            }
            if (reply.empty()) {
                first.push_back(Us(now - sent));
            } else {
                gaps.push_back(Us(now - previous) / static_cast<double>(n));
            }
            previous = now;
            reply.append(buf, static_cast<std::size_t>(n));
            ++reads;
            biggest = std::max(biggest, static_cast<std::size_t>(n));
        }
        bytes += reply.size();
        last.push_back(Us(previous - sent) / (static_cast<double>(reply.size()) * byteUs));
    }
    ::close(fd);
    std::printf("paced at %d baud, byte time %.1f us, %d replies of %zu bytes: first byte after "
                "%.1f us (median), then one every %.1f us (median); %.2f bytes a read, at most "
                "%zu; last byte ÷ wire time %.4f (median)\n",
                baud, byteUs, replies, bytes / static_cast<std::size_t>(replies), Median(first),
                Median(gaps), static_cast<double>(bytes) / static_cast<double>(reads), biggest,
                Median(last));
    return 0;
}
