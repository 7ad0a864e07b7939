// The qmtrv-sim program end to end: started as a separate process, talked to over its
// pseudo-terminal, stopped with a signal.
#include "raw_client.h"

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

using namespace std::chrono_literals;

namespace {

// One run of the program with its standard output and error on pipes.
class CSimProcess {
public:
    explicit CSimProcess(const std::vector<std::string>& args) {
        int out[2], err[2];
        if (pipe(out) != 0 || pipe(err) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        posix_spawn_file_actions_addclose(&actions, err[0]);
        std::vector<std::string> all = {QMTRV_SIM_PATH};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : all)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&m_pid, QMTRV_SIM_PATH, &actions, nullptr, argv.data(), environ) != 0)
            m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        ::close(err[1]);
        m_out = out[0];
        m_err = err[0];
    }

    ~CSimProcess() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            Wait();
        }
        ::close(m_out);
        ::close(m_err);
    }

    bool Started() const { return m_pid > 0; }

    // The first line of standard output, without its line end.
    std::string FirstLine() {
        std::string text;
        while (text.find('\n') == std::string::npos && ReadSome(m_out, text)) {
        }
        return text.substr(0, text.find('\n'));
    }

    // Everything on a stream until the process closes it.
    std::string ReadAll(bool errorStream) {
        std::string text;
        while (ReadSome(errorStream ? m_err : m_out, text)) {
        }
        return text;
    }

    void Signal(int signal) { kill(m_pid, signal); }

    // The wait status of the process, or -1 if it does not end within the guard time.
    int Wait() {
        const auto end = std::chrono::steady_clock::now() + CRawClient::GUARD;
        int status = 0;
        while (std::chrono::steady_clock::now() < end) {
            const pid_t r = waitpid(m_pid, &status, WNOHANG);
            if (r == m_pid) {
                m_pid = -1;
                return status;
            }
            std::this_thread::sleep_for(10ms);
        }
        return -1;
    }

private:
    static bool ReadSome(int fd, std::string& text) {
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, static_cast<int>(CRawClient::GUARD.count())) <= 0)
            return false;
        char buf[512];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0)
            return false;
        text.append(buf, static_cast<std::size_t>(n));
        return true;
    }

    pid_t m_pid = -1;
    int m_out = -1, m_err = -1;
};

bool ExitedWith(int status, int code) {
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == code;
}

TEST(QmtrvSim, ServesUntilSigterm) {
    CSimProcess sim({});
    ASSERT_TRUE(sim.Started());
    const std::string path = sim.FirstLine();
    ASSERT_EQ(path.rfind("/dev/", 0), 0u) << path;
    {
        CRawClient client(path);
        ASSERT_GE(client.Fd(), 0);
        ASSERT_TRUE(client.Write("\rV\r"));
        EXPECT_EQ(client.ReadUntil("V1.2\r\n>"), "\r\n>V\r\nQM-TRV V1.2\r\n>");
    }
    sim.Signal(SIGTERM);
    EXPECT_TRUE(ExitedWith(sim.Wait(), 0));
}

TEST(QmtrvSim, SigintWithAClientAttachedAndLinkRemoved) {
    char dirTemplate[] = "/tmp/qmtrv-sim-test-XXXXXX";
    ASSERT_NE(mkdtemp(dirTemplate), nullptr);
    const std::filesystem::path link = std::filesystem::path(dirTemplate) / "module";
    {
        CSimProcess sim({"--link", link.string(), "--baud", "115200"});
        const std::string path = sim.FirstLine();
        ASSERT_FALSE(path.empty());
        EXPECT_EQ(std::filesystem::read_symlink(link).string(), path);
        CRawClient client(link.string());
        ASSERT_TRUE(client.Write("u0\r"));
        EXPECT_EQ(client.ReadReply(), "u0\r\nFXTL=10.000000,FREF=100.000000,FDDS=100.000000\r\n>");
        sim.Signal(SIGINT);
        EXPECT_TRUE(ExitedWith(sim.Wait(), 0));
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
    }
    std::filesystem::remove_all(dirTemplate);
}

TEST(QmtrvSim, FaultOptionReachesTheModule) {
    CSimProcess sim({"--fault", "hangup-after", "--hangup-after", "1"});
    CRawClient client(sim.FirstLine());
    ASSERT_GE(client.Fd(), 0);
    ASSERT_TRUE(client.Write("V\r"));
    EXPECT_EQ(client.ReadReply(), "V\r\nQM-TRV V1.2\r\n>");
    ASSERT_TRUE(client.Write("V\r"));
    EXPECT_EQ(client.ReadUntil("V\r\n"), "V\r\n");
    EXPECT_NE(client.PollEvents(5000) & (POLLHUP | POLLERR), 0);
    sim.Signal(SIGTERM);
    EXPECT_TRUE(ExitedWith(sim.Wait(), 0)); // a hung-up simulator still stops cleanly
}

TEST(QmtrvSim, HelpExitsZero) {
    CSimProcess sim({"--help"});
    EXPECT_NE(sim.ReadAll(false).find("--fault"), std::string::npos);
    EXPECT_TRUE(ExitedWith(sim.Wait(), 0));
}

class QmtrvSimBadArguments : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(QmtrvSimBadArguments, OneLineOnStderrAndNonZeroExit) {
    CSimProcess sim(GetParam());
    const std::string out = sim.ReadAll(false);
    const std::string err = sim.ReadAll(true);
    const int status = sim.Wait();
    ASSERT_NE(status, -1);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0);
    EXPECT_EQ(out, "");
    ASSERT_FALSE(err.empty());
    EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
}

INSTANTIATE_TEST_SUITE_P(
    Table, QmtrvSimBadArguments,
    ::testing::Values(std::vector<std::string>{"--baud", "-5"},
                      std::vector<std::string>{"--baud", "abc"}, std::vector<std::string>{"--baud"},
                      std::vector<std::string>{"--fault", "bogus"},
                      std::vector<std::string>{"--hangup-after", "-1"},
                      std::vector<std::string>{"--slow-ms", "x"},
                      std::vector<std::string>{"--seed", "-1"},
                      std::vector<std::string>{"--fault", "slow", "--hangup-after", "2"},
                      std::vector<std::string>{"--bogus"}, std::vector<std::string>{"extra"},
                      std::vector<std::string>{"--link", "/nonexistent-dir/module"}),
    [](const auto& info) {
        std::string name;
        for (const std::string& arg : info.param)
            for (char c : arg)
                name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        return name + "_" + std::to_string(info.index);
    });

} // namespace
