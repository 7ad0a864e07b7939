// The network server against the direct exchange, both on the unpaced module simulator
// (qmtrv-sim in a process of its own).
//
// 1. Direct: DdsSetChannel on the simulator's pseudo-terminal (one set command and its reply).
// 2. Served: morvane-cli serve on the same simulator; one client sends a setting and a query
//    on one line ("SOUR1:FREQ f;FREQ?") and waits for the answer. Target: median under 2x the
//    direct exchange.
// 3. Load: 8 clients at once, 1000 settings each on a channel of their own, sent without
//    waiting, then "*OPC?;SYST:ERR?": every client must read `1;0,"No error"`, and the simulator
//    must have handled exactly 8000 commands more.
//
//   bench_remote [ITERATIONS]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "comlink.h"
#include "dds.h"
#include "diag.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double P99(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, v.size() * 99 / 100)];
}

[[noreturn]] void Die(const char* what) {
    std::fprintf(stderr, "bench_remote: %s\n", what);
    std::exit(1);
}

// A client connection with a line reader.
class CClient {
public:
    explicit CClient(int port) {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (m_fd < 0 || ::connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            Die("cannot connect to the server");
        }
        int one = 1;
        ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    ~CClient() { ::close(m_fd); }
    void Send(const std::string& text) {
        std::size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = ::send(m_fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
            if (n <= 0) {
                Die("send failed");
            }
            done += static_cast<std::size_t>(n);
        }
    }
    std::string ReadLine() {
        for (;;) {
            const std::size_t lf = m_buffer.find('\n');
            if (lf != std::string::npos) {
                std::string line = m_buffer.substr(0, lf);
                m_buffer.erase(0, lf + 1);
                return line;
            }
            char chunk[4096];
            const ssize_t n = ::recv(m_fd, chunk, sizeof chunk, 0);
            if (n <= 0) {
                Die("the server closed the connection");
            }
            m_buffer.append(chunk, static_cast<std::size_t>(n));
        }
    }

private:
    int m_fd = -1;
    std::string m_buffer;
};

// Starts a program with its standard output on a pipe; returns its pid and the first line it
// prints.
pid_t Spawn(std::vector<std::string> args, std::string& firstLine) {
    int out[2];
    if (::pipe(out) != 0) {
        Die("pipe");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    // Diagnostic lines ("... Open Success!") would interleave with the figures.
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        Die("cannot start a program");
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    firstLine.clear();
    char c = 0;
    while (::read(out[0], &c, 1) == 1 && c != '\n') {
        firstLine += c;
    }
    ::close(out[0]);
    return pid;
}

void Stop(pid_t pid) {
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
}

// The "commands N" line of qmtrv-sim's state file (-1 while there is none).
long CommandsInStateFile(const std::string& path) {
    std::ifstream in(path);
    std::string word;
    long n = -1;
    in >> word >> n;
    return word == "commands" ? n : -1;
}

// Waits (up to 30 s) until the simulator has handled at least `count` commands; returns its
// count.
long WaitForCommands(const std::string& path, long count) {
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    long n = CommandsInStateFile(path);
    while (n < count && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        n = CommandsInStateFile(path);
    }
    return n;
}

} // namespace

int main(int argc, char** argv) {
    const int iterations = argc > 1 ? std::max(10, std::atoi(argv[1])) : 2000;
    DiagSetSink([](std::string_view) {});

    // The simulator runs in a process of its own, so that the direct exchange and the served
    // one cross the same process boundary to the module.
    char stateDir[] = "/tmp/bench_remote.XXXXXX";
    if (!::mkdtemp(stateDir)) {
        Die("mkdtemp");
    }
    const std::string statePath = std::string(stateDir) + "/state";
    std::string device;
    const pid_t sim = Spawn({QMTRV_SIM_PATH, "--state-file", statePath}, device);

    // 1. Direct.
    if (OpenComDevice(device, 115200, 'N', 13) != LINK_OPEN_OK || DdsInit(2) != DDS_OK) {
        Die("the simulator did not answer");
    }
    std::vector<double> direct;
    for (int i = 0; i < iterations + 20; ++i) {
        const auto t0 = Clock::now();
        const std::uint32_t r = DdsSetChannel(0, 1e6 + i, 0.0, 0.5, 1);
        const auto t1 = Clock::now();
        if (r != DDS_OK) {
            Die("direct set failed");
        }
        if (i >= 20) {
            direct.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        }
    }
    CloseComPort();

    // 2. Served: a setting and a query, one round trip.
    std::string serving;
    const pid_t server =
        Spawn({MORVANE_CLI_PATH, "--port", device, "serve", "--listen", "127.0.0.1:0"}, serving);
    const std::size_t colon = serving.rfind(':');
    if (serving.rfind("serving ", 0) != 0 || colon == std::string::npos) {
        Die("serve did not start");
    }
    const int port = std::atoi(serving.c_str() + colon + 1);
    std::vector<double> served, query;
    {
        CClient c(port);
        c.Send("*RST;*OPC?\n");
        if (c.ReadLine() != "1") {
            Die("*RST failed");
        }
        for (int i = 0; i < iterations + 20; ++i) {
            const std::string line = "SOUR1:FREQ " + std::to_string(1000000 + i) + ";FREQ?\n";
            const auto t0 = Clock::now();
            c.Send(line);
            const std::string answer = c.ReadLine();
            const auto t1 = Clock::now();
            if (answer.empty()) {
                Die("no answer");
            }
            if (i >= 20) {
                served.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
            }
        }
        // The server's own share: a line that needs no module exchange.
        for (int i = 0; i < iterations + 20; ++i) {
            const auto t0 = Clock::now();
            c.Send("*OPC?\n");
            c.ReadLine();
            const auto t1 = Clock::now();
            if (i >= 20) {
                query.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
            }
        }
    }
    std::printf("direct set exchange: median %.1f us, p99 %.1f us (%d exchanges)\n", Median(direct),
                P99(direct), iterations);
    std::printf("served setting + query: median %.1f us, p99 %.1f us; ratio of medians %.2f "
                "(target under 2)\n",
                Median(served), P99(served), Median(served) / Median(direct));
    std::printf("served query without an exchange (*OPC?): median %.1f us, p99 %.1f us\n",
                Median(query), P99(query));

    // 3. Load: 8 clients of 1000 settings.
    constexpr int CLIENTS = 8;
    constexpr int SETTINGS = 1000;
    const long before = WaitForCommands(statePath, 0);
    std::atomic<int> failures{0};
    const auto t0 = Clock::now();
    std::vector<std::thread> threads;
    for (int k = 0; k < CLIENTS; ++k) {
        threads.emplace_back([k, port, &failures] {
            CClient c(port);
            std::string lines;
            for (int i = 0; i < SETTINGS; ++i) {
                lines += "SOUR" + std::to_string(k + 1) + ":FREQ " +
                         std::to_string((k + 1) * 1000000 + i) + "\n";
            }
            c.Send(lines + "*OPC?;SYST:ERR?\n");
            if (c.ReadLine() != "1;0,\"No error\"") {
                ++failures;
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    const long handled = WaitForCommands(statePath, before + CLIENTS * SETTINGS) - before;
    std::printf("%d clients x %d settings: %.2f s, %.0f settings/s, %.1f us each; commands "
                "handled %ld (expected %d), clients with an error %d\n",
                CLIENTS, SETTINGS, seconds, CLIENTS * SETTINGS / seconds,
                seconds * 1e6 / (CLIENTS * SETTINGS), handled, CLIENTS * SETTINGS, failures.load());

    Stop(server);
    Stop(sim);
    std::remove(statePath.c_str());
    ::rmdir(stateDir);
    return failures.load() == 0 && handled == CLIENTS * SETTINGS ? 0 : 1;
}
