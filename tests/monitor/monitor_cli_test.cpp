// morvane-cli's monitor commands as a separate process on its built-in simulator: what a
// script sees on standard output, standard error and in its exit status.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace {

struct CliRun {
    int status = -1;
    std::string out;
    std::string err;
};

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// Runs `morvane-cli --port sim <args>` with the given standard input (not a terminal, so
// memory-writing commands go ahead without asking).
CliRun RunCli(const std::string& args, const std::string& input = "") {
    const std::string base = ::testing::TempDir() + "monitor_cli_" + std::to_string(::getpid());
    WriteFile(base + ".in", input);
    const std::string command = std::string("'") + MORVANE_CLI_PATH + "' --port sim " + args +
                                " <'" + base + ".in' >'" + base + ".out' 2>'" + base + ".err'";
    CliRun run;
    const int raw = std::system(command.c_str());
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    run.out = ReadFile(base + ".out");
    run.err = ReadFile(base + ".err");
    return run;
}

std::string ImageFile(std::uint32_t address, const std::vector<std::uint8_t>& data) {
    std::string bytes;
    for (std::uint32_t v : {address, static_cast<std::uint32_t>(data.size())}) {
        for (int i = 0; i < 4; ++i) {
            bytes += static_cast<char>((v >> (8 * i)) & 0xFF);
        }
    }
    bytes.append(data.begin(), data.end());
    return bytes;
}

TEST(MonitorCli, WordsDumpsAndVersionInOneScript) {
    const CliRun run = RunCli("script", "version\n"
                                        "mw 0x100 DEADbeef\n"
                                        "mr 100\n"
                                        "mc 0x100 4 0XDEADBEEF\n"
                                        "md 0000100 14\n");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "QM-TRV V1.2\n"
                       "DEADBEEF\n"
                       "match\n"
                       "00000100  DE AD BE EF 00 00 00 00  00 00 00 00 00 00 00 00  "
                       "|................|\n"
                       "00000110  00 00 00 00                                       |....|\n");
}

TEST(MonitorCli, BadNumbersAreRefusedWithAMessage) {
    struct Case {
        const char* line;
        const char* message;
    };
    const Case cases[] = {
        {"mr 1G", "ADDR: '1G' is not a hexadecimal number"},
        {"mr 0x", "ADDR: '0x' is not a hexadecimal number"},
        {"mr -1", "ADDR: '-1' is not a hexadecimal number"},
        {"mr 100000000", "ADDR: '100000000' is more than 32 bits"},
        {"mw 10 0x1FFFFFFFF", "VALUE: '0x1FFFFFFFF' is more than 32 bits"},
        {"fw 0 100 FF", "C: less than one 256-byte block; nothing sent"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        const CliRun run = RunCli("script", std::string(c.line) + "\n");
        EXPECT_EQ(run.status, 2);
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "");
    }
    // Leading zeros are fine however many there are.
    const CliRun run = RunCli("mr 0x0000000000100");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "00000000\n");
}

TEST(MonitorCli, ImageLoadedVerifiedAndSavedComesBackEqual) {
    std::vector<std::uint8_t> data(1001);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(i * 13 + 5);
    }
    const std::string in =
        ::testing::TempDir() + "monitor_cli_in_" + std::to_string(::getpid()) + ".img";
    const std::string out =
        ::testing::TempDir() + "monitor_cli_out_" + std::to_string(::getpid()) + ".img";
    WriteFile(in, ImageFile(0x3002, data));
    std::remove(out.c_str());

    const CliRun run = RunCli("script", "image-load '" + in + "' --verify\n" +
                                            "image-save 3002 3E9 '" + out + "'\n");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "loaded 1001 bytes at 00003002\nverified 1001 bytes\n"
                       "saved 1001 bytes from 00003002\n");
    EXPECT_NE(run.err.find("] 4/4 blocks "), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("KiB/s"), std::string::npos);
    EXPECT_EQ(ReadFile(out), ReadFile(in));

    // A cut image file is refused before anything is sent.
    WriteFile(in, ImageFile(0x3002, data).substr(0, 100));
    const CliRun cut = RunCli("image-load '" + in + "'");
    EXPECT_EQ(cut.status, 1);
    EXPECT_NE(cut.err.find("cannot read image file"), std::string::npos) << cut.err;
    std::remove(in.c_str());
    std::remove(out.c_str());
}

TEST(MonitorCli, FlashCommandsAndReset) {
    const CliRun run = RunCli("script", "mw 0 11223344\n"
                                        "fl 0 200 4\n"
                                        "mr 200\n"
                                        "reset\n");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "11223344\nQM-TRV MONITOR V1.2\n");
}

} // namespace
