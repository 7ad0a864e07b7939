// version, mr, mw, mc, md, image-load, image-save, fw, fl, fe, reset: the module's maintenance
// commands. Addresses, counts and values are hexadecimal, with or without 0x.
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli.h"
#include "comlink.h"
#include "dds.h"
#include "dds_image.h"
#include "diag.h"
#include "exchange.h"
#include "monitor.h"
#include "numtext.h"

namespace {

constexpr std::uint32_t DUMP_PIECE = 4096;          // bytes of one "MD1" dump in `md`
constexpr std::uint32_t IMAGE_SAVE_MAX = 64u << 20; // bytes `image-save` reads at most
constexpr int PROGRESS_WIDTH = 30;                  // characters of the progress bar

// Reads a hexadecimal number of at most 32 bits, with or without 0x/0X in front; leading zeros
// are allowed. Anything else (blanks, signs, other characters, no digits, a value above
// FFFFFFFF) is refused with a message naming the argument.
bool ParseHex32(CliContext& ctx, const char* what, const std::string& text, std::uint32_t& value) {
    std::size_t i = 0;
    if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        i = 2;
    }
    if (i == text.size()) {
        ctx.Fail(std::string(what) + ": '" + text + "' is not a hexadecimal number",
                 CLI_EXIT_USAGE);
        return false;
    }
    std::uint64_t v = 0;
    for (; i < text.size(); ++i) {
        const int d = MonitorHexValue(text[i]);
        if (d < 0) {
            ctx.Fail(std::string(what) + ": '" + text + "' is not a hexadecimal number",
                     CLI_EXIT_USAGE);
            return false;
        }
        v = (v << 4) | static_cast<std::uint64_t>(d);
        if (v > 0xFFFFFFFFu) {
            ctx.Fail(std::string(what) + ": '" + text + "' is more than 32 bits (FFFFFFFF at most)",
                     CLI_EXIT_USAGE);
            return false;
        }
    }
    value = static_cast<std::uint32_t>(v);
    return true;
}

std::string Hex8(std::uint32_t v) {
    return NumFormatString("%08X", static_cast<unsigned>(v));
}

// Asks before a command that changes module memory; a "no" is a failed command.
bool ConfirmWrite(CliContext& ctx, const std::string& question) {
    if (ctx.Confirm(question)) {
        return true;
    }
    ctx.Fail("not confirmed; nothing written", CLI_EXIT_DECLINED);
    return false;
}

// Sends the link's diagnostic text to standard error, as the program does by default.
void StderrSink(std::string_view text) {
    CliWriteStderr(text);
}

// Prints 16 bytes a line: the address, the bytes in hexadecimal, and the printable ones.
void PrintDumpLine(std::uint32_t address, const std::uint8_t* bytes, std::size_t count) {
    std::string line = Hex8(address) + " ";
    for (std::size_t i = 0; i < 16; ++i) {
        line += i == 8 ? "  " : " ";
        line += i < count ? NumFormatString("%02X", static_cast<unsigned>(bytes[i])) : "  ";
    }
    line += "  |";
    for (std::size_t i = 0; i < count; ++i) {
        line += bytes[i] >= 0x20 && bytes[i] < 0x7F ? static_cast<char>(bytes[i]) : '.';
    }
    line += "|\n";
    std::fputs(line.c_str(), stdout);
}

// The progress bar of `image-load` on standard error: blocks done of the total and the
// transfer rate. Fed by the "." that the MF1 transfer prints after each block.
class CProgressBar {
public:
    explicit CProgressBar(std::uint32_t totalBlocks)
        : m_total(totalBlocks), m_start(std::chrono::steady_clock::now()) {
        Draw();
    }
    void BlockDone() {
        ++m_done;
        Draw();
    }
    void Finish() { std::fputs("\n", stderr); }

private:
    void Draw() const {
        const int filled =
            m_total == 0
                ? PROGRESS_WIDTH
                : static_cast<int>(static_cast<std::uint64_t>(m_done) * PROGRESS_WIDTH / m_total);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
        const double bytesPerSecond =
            seconds > 0 ? static_cast<double>(m_done) * MONITOR_BLOCK_SIZE / seconds : 0.0;
        std::string bar(static_cast<std::size_t>(filled < PROGRESS_WIDTH ? filled : PROGRESS_WIDTH),
                        '#');
        bar.resize(PROGRESS_WIDTH, '.');
        const std::string text = NumFormatString(
            "\r[%s] %u/%u blocks %.1f KiB/s", bar.c_str(), static_cast<unsigned>(m_done),
            static_cast<unsigned>(m_total), bytesPerSecond / 1024.0);
        std::fputs(text.c_str(), stderr);
        std::fflush(stderr);
    }

    std::uint32_t m_total;
    std::uint32_t m_done = 0;
    std::chrono::steady_clock::time_point m_start;
};

// Reads a whole image file into data. False with a message when it cannot.
bool ReadImageFile(CliContext& ctx, const std::string& path, DdsImage& image,
                   std::vector<std::uint8_t>& data) {
    if (DdsImageReadHeader(path.c_str(), &image) != DDS_OK) {
        ctx.Fail("cannot read image file " + path, CLI_EXIT_OPEN);
        return false;
    }
    data.assign(image.length, 0);
    image.data = data.data();
    image.capacity = image.length;
    if (DdsImageRead(path.c_str(), &image) != DDS_OK) {
        ctx.Fail("cannot read image file " + path, CLI_EXIT_OPEN);
        return false;
    }
    return true;
}

// Loads an image record with the progress bar; false with a message when nothing came back.
bool LoadWithProgress(CliContext& ctx, const DdsImage& image) {
    const std::uint32_t blocks = (image.length + MONITOR_BLOCK_SIZE - 1) / MONITOR_BLOCK_SIZE;
    CProgressBar bar(blocks);
    DiagSetSink([&bar](std::string_view text) {
        for (char c : text) {
            if (c == '.') {
                bar.BlockDone();
            } else {
                std::fputc(c, stderr);
            }
        }
    });
    const std::uint32_t r = DdsImageLoadRecord(&image);
    DiagSetSink(StderrSink);
    bar.Finish();
    if (r == DDS_E_FILE || r == DDS_E_VALUE) {
        ctx.Fail(NumFormatString("image refused: %s", DdsResultName(r)), CLI_EXIT_USAGE);
        return false;
    }
    if (image.length > 0 && r == 0) {
        ctx.Fail("no reply from the module to the last block", CLI_EXIT_MODULE);
        return false;
    }
    return true;
}

bool Verify(CliContext& ctx, const DdsImage& image) {
    std::vector<std::uint8_t> back(image.length);
    DdsImage read;
    read.data = back.data();
    read.capacity = image.length;
    if (DdsImageFetch(image.address, image.length, &read) != DDS_OK) {
        ctx.Fail(NumFormatString("verify: the module returned %u of %u bytes",
                                 static_cast<unsigned>(read.length),
                                 static_cast<unsigned>(image.length)),
                 CLI_EXIT_MODULE);
        return false;
    }
    for (std::uint32_t i = 0; i < image.length; ++i) {
        if (back[i] != image.data[i]) {
            ctx.Fail(NumFormatString("verify failed at address %08X: wrote %02X, read %02X",
                                     static_cast<unsigned>(image.address + i),
                                     static_cast<unsigned>(image.data[i]),
                                     static_cast<unsigned>(back[i])),
                     CLI_EXIT_MODULE);
            return false;
        }
    }
    std::printf("verified %u bytes\n", static_cast<unsigned>(image.length));
    return true;
}

// Reads what the module sends after a reset (banner and prompts) and prints its non-empty
// lines other than the echo. False when nothing came back.
bool ReadResetAnswer() {
    std::string text;
    int prompts = 0;
    // "R" and the two extra terminators each end with a prompt.
    while (prompts < 3) {
        char reply[REPLY_TEXT_SIZE];
        const std::size_t got = ReadReply(reply, sizeof reply);
        if (got == 0) {
            break;
        }
        text.append(reply, got);
        for (std::size_t i = 0; i < got; ++i) {
            prompts += reply[i] == '>' ? 1 : 0;
        }
    }
    std::string line;
    bool echoSeen = false;
    for (char c : text) {
        if (c == '\r' || c == '>') {
            continue;
        }
        if (c != '\n') {
            line += c;
            continue;
        }
        if (!echoSeen && line == "R") {
            echoSeen = true;
        } else if (!line.empty()) {
            std::printf("%s\n", line.c_str());
        }
        line.clear();
    }
    return !text.empty();
}

struct HexArgs {
    std::string a, b, c;
    int pauseMs = 0;
    bool verify = false;
    std::string file;
};

} // namespace

void CliAddMonitorCommands(CLI::App& app, CliContext& ctx) {
    app.add_subcommand("version", "Ask the module for its name and version (V)")->callback([&ctx] {
        if (!ctx.EnsurePort()) {
            return;
        }
        if (MonitorV() != 0) {
            ctx.Fail("the module did not report its version", CLI_EXIT_MODULE);
            return;
        }
        const ModuleVersion& v = ComLink.version;
        std::printf("%s V%d.%d\n", v.name, static_cast<int>(v.major), static_cast<int>(v.minor));
    });

    auto mr = std::make_shared<HexArgs>();
    CLI::App* mrCmd = app.add_subcommand("mr", "Read one 32-bit word of module memory (MR)");
    mrCmd->add_option("ADDR", mr->a, "Address (hexadecimal)")->required();
    // One parser serves every script line: each use starts from the defaults.
    mrCmd->preparse_callback([mr](std::size_t) { *mr = HexArgs{}; });
    mrCmd->callback([&ctx, mr] {
        std::uint32_t address = 0;
        if (!ParseHex32(ctx, "ADDR", mr->a, address) || !ctx.EnsurePort()) {
            return;
        }
        bool ok = false;
        const std::uint32_t value = MonitorMR(address, &ok);
        if (!ok) {
            ctx.Fail("no value read at " + Hex8(address), CLI_EXIT_MODULE);
            return;
        }
        std::printf("%s\n", Hex8(value).c_str());
    });

    auto mw = std::make_shared<HexArgs>();
    CLI::App* mwCmd = app.add_subcommand("mw", "Write one 32-bit word of module memory (MW)");
    mwCmd->add_option("ADDR", mw->a, "Address (hexadecimal)")->required();
    mwCmd->add_option("VALUE", mw->b, "Value (hexadecimal)")->required();
    // One parser serves every script line: each use starts from the defaults.
    mwCmd->preparse_callback([mw](std::size_t) { *mw = HexArgs{}; });
    mwCmd->callback([&ctx, mw] {
        std::uint32_t address = 0;
        std::uint32_t value = 0;
        if (!ParseHex32(ctx, "ADDR", mw->a, address) || !ParseHex32(ctx, "VALUE", mw->b, value) ||
            !ConfirmWrite(ctx, "Write " + Hex8(value) + " at " + Hex8(address) + "?") ||
            !ctx.EnsurePort()) {
            return;
        }
        if (MonitorMW(address, value) != 1) {
            ctx.Fail("the module did not acknowledge the write", CLI_EXIT_MODULE);
        }
    });

    auto mc = std::make_shared<HexArgs>();
    CLI::App* mcCmd = app.add_subcommand(
        "mc", "Compare the sum of the big-endian words of B bytes from A with EXPECTED (MC); "
              "print match or mismatch");
    mcCmd->add_option("A", mc->a, "Start address (hexadecimal)")->required();
    mcCmd->add_option("B", mc->b, "Byte count (hexadecimal)")->required();
    mcCmd->add_option("EXPECTED", mc->c, "Expected sum (hexadecimal)")->required();
    mcCmd->add_option("--pause", mc->pauseMs, "Wait before reading the answer, in ms")
        ->capture_default_str()
        ->check(CLI::Range(0, 600000));
    // One parser serves every script line: each use starts from the defaults.
    mcCmd->preparse_callback([mc](std::size_t) { *mc = HexArgs{}; });
    mcCmd->callback([&ctx, mc] {
        std::uint32_t a = 0;
        std::uint32_t b = 0;
        std::uint32_t expected = 0;
        if (!ParseHex32(ctx, "A", mc->a, a) || !ParseHex32(ctx, "B", mc->b, b) ||
            !ParseHex32(ctx, "EXPECTED", mc->c, expected) || !ctx.EnsurePort()) {
            return;
        }
        switch (MonitorMC(a, b, expected, mc->pauseMs)) {
        case 0:
            std::printf("match\n");
            break;
        case 2:
            std::printf("mismatch\n");
            ctx.Fail("the sum differs from " + Hex8(expected), CLI_EXIT_MODULE);
            break;
        case 1:
            ctx.Fail("the module answered with its echo alone", CLI_EXIT_MODULE);
            break;
        default:
            ctx.Fail("the module answered with an error or not at all", CLI_EXIT_MODULE);
            break;
        }
    });

    auto md = std::make_shared<HexArgs>();
    CLI::App* mdCmd =
        app.add_subcommand("md", "Dump COUNT bytes of module memory from ADDR, 16 a line (MD1)");
    mdCmd->add_option("ADDR", md->a, "Address (hexadecimal)")->required();
    mdCmd->add_option("COUNT", md->b, "Byte count (hexadecimal)")->required();
    // One parser serves every script line: each use starts from the defaults.
    mdCmd->preparse_callback([md](std::size_t) { *md = HexArgs{}; });
    mdCmd->callback([&ctx, md] {
        std::uint32_t address = 0;
        std::uint32_t count = 0;
        if (!ParseHex32(ctx, "ADDR", md->a, address) || !ParseHex32(ctx, "COUNT", md->b, count) ||
            !ctx.EnsurePort()) {
            return;
        }
        std::vector<std::uint8_t> piece(DUMP_PIECE);
        std::uint32_t done = 0;
        while (done < count) {
            const std::uint32_t want = count - done < DUMP_PIECE ? count - done : DUMP_PIECE;
            // The module dumps whole lines of 16 bytes: ask for the count rounded up.
            const std::uint32_t asked = (want + 15) & ~15u;
            const int got = MonitorMD1Bytes(address + done, asked, piece.data());
            const std::uint32_t take =
                static_cast<std::uint32_t>(got) < want ? static_cast<std::uint32_t>(got) : want;
            for (std::uint32_t i = 0; i < take; i += 16) {
                const std::uint32_t n = take - i < 16 ? take - i : 16;
                PrintDumpLine(address + done + i, piece.data() + i, n);
            }
            done += take;
            if (take < want) {
                ctx.Fail(NumFormatString("the module returned %u of %u bytes",
                                         static_cast<unsigned>(done), static_cast<unsigned>(count)),
                         CLI_EXIT_MODULE);
                return;
            }
        }
    });

    auto load = std::make_shared<HexArgs>();
    CLI::App* loadCmd = app.add_subcommand(
        "image-load", "Load an image file into module memory at its load address (MF1)");
    loadCmd->add_option("FILE", load->file, "Image file")->required();
    loadCmd->add_flag("--verify", load->verify, "Read the memory back and compare");
    // One parser serves every script line: each use starts from the defaults.
    loadCmd->preparse_callback([load](std::size_t) { *load = HexArgs{}; });
    loadCmd->callback([&ctx, load] {
        DdsImage image;
        std::vector<std::uint8_t> data;
        if (!ReadImageFile(ctx, load->file, image, data) ||
            !ConfirmWrite(ctx, NumFormatString("Load %u bytes at %08X into module memory?",
                                               static_cast<unsigned>(image.length),
                                               static_cast<unsigned>(image.address))) ||
            !ctx.EnsurePort() || !LoadWithProgress(ctx, image)) {
            return;
        }
        std::printf("loaded %u bytes at %s\n", static_cast<unsigned>(image.length),
                    Hex8(image.address).c_str());
        if (load->verify) {
            Verify(ctx, image);
        }
    });

    auto save = std::make_shared<HexArgs>();
    CLI::App* saveCmd = app.add_subcommand(
        "image-save", "Save COUNT bytes of module memory from ADDR into an image file (MD1)");
    saveCmd->add_option("ADDR", save->a, "Load address (hexadecimal)")->required();
    saveCmd->add_option("COUNT", save->b, "Byte count (hexadecimal)")->required();
    saveCmd->add_option("FILE", save->file, "Image file to write")->required();
    // One parser serves every script line: each use starts from the defaults.
    saveCmd->preparse_callback([save](std::size_t) { *save = HexArgs{}; });
    saveCmd->callback([&ctx, save] {
        std::uint32_t address = 0;
        std::uint32_t count = 0;
        if (!ParseHex32(ctx, "ADDR", save->a, address) ||
            !ParseHex32(ctx, "COUNT", save->b, count)) {
            return;
        }
        if (count > IMAGE_SAVE_MAX) {
            ctx.Fail("COUNT: at most " + Hex8(IMAGE_SAVE_MAX) + " bytes", CLI_EXIT_USAGE);
            return;
        }
        // The file is created before the module is read, so that an unwritable path fails at
        // once instead of after the whole transfer; a file made here goes again on failure.
        std::error_code ec;
        const bool existed = std::filesystem::exists(save->file, ec);
        if (FILE* probe = std::fopen(save->file.c_str(), "ab"); probe != nullptr) {
            std::fclose(probe);
        } else {
            ctx.Fail("cannot create image file " + save->file + ": " + std::strerror(errno),
                     CLI_EXIT_OPEN);
            return;
        }
        const auto removeNew = [&] {
            if (!existed) {
                std::filesystem::remove(save->file, ec);
            }
        };
        if (!ctx.EnsurePort()) {
            removeNew();
            return;
        }
        std::vector<std::uint8_t> data(count);
        DdsImage image;
        image.data = data.data();
        image.capacity = count;
        if (DdsImageFetch(address, count, &image) != DDS_OK) {
            ctx.Fail(NumFormatString("the module returned %u of %u bytes; nothing saved",
                                     static_cast<unsigned>(image.length),
                                     static_cast<unsigned>(count)),
                     CLI_EXIT_MODULE);
            removeNew();
            return;
        }
        if (DdsImageWrite(save->file.c_str(), &image) != DDS_OK) {
            ctx.Fail("cannot write image file " + save->file, CLI_EXIT_OPEN);
            return;
        }
        std::printf("saved %u bytes from %s\n", static_cast<unsigned>(count),
                    Hex8(address).c_str());
    });

    auto fw = std::make_shared<HexArgs>();
    CLI::App* fwCmd = app.add_subcommand(
        "fw", "Flash write: copy C bytes from B to A, C cut to whole 256-byte blocks (FW)");
    fwCmd->add_option("A", fw->a, "Target address (hexadecimal)")->required();
    fwCmd->add_option("B", fw->b, "Source address (hexadecimal)")->required();
    fwCmd->add_option("C", fw->c, "Byte count (hexadecimal)")->required();
    // One parser serves every script line: each use starts from the defaults.
    fwCmd->preparse_callback([fw](std::size_t) { *fw = HexArgs{}; });
    fwCmd->callback([&ctx, fw] {
        std::uint32_t a = 0;
        std::uint32_t b = 0;
        std::uint32_t c = 0;
        if (!ParseHex32(ctx, "A", fw->a, a) || !ParseHex32(ctx, "B", fw->b, b) ||
            !ParseHex32(ctx, "C", fw->c, c)) {
            return;
        }
        if ((c & ~0xFFu) == 0) {
            ctx.Fail("C: less than one 256-byte block; nothing sent", CLI_EXIT_USAGE);
            return;
        }
        if (!ConfirmWrite(ctx,
                          "Write " + Hex8(c & ~0xFFu) + " bytes of flash at " + Hex8(a) + "?") ||
            !ctx.EnsurePort()) {
            return;
        }
        if (MonitorFW(a, b, c) != 0) {
            ctx.Fail("no reply from the module", CLI_EXIT_MODULE);
        }
    });

    auto fl = std::make_shared<HexArgs>();
    CLI::App* flCmd = app.add_subcommand("fl", "Flash load: copy C bytes from A to B (FL)");
    flCmd->add_option("A", fl->a, "Source address (hexadecimal)")->required();
    flCmd->add_option("B", fl->b, "Target address (hexadecimal)")->required();
    flCmd->add_option("C", fl->c, "Byte count (hexadecimal)")->required();
    // One parser serves every script line: each use starts from the defaults.
    flCmd->preparse_callback([fl](std::size_t) { *fl = HexArgs{}; });
    flCmd->callback([&ctx, fl] {
        std::uint32_t a = 0;
        std::uint32_t b = 0;
        std::uint32_t c = 0;
        if (!ParseHex32(ctx, "A", fl->a, a) || !ParseHex32(ctx, "B", fl->b, b) ||
            !ParseHex32(ctx, "C", fl->c, c) || !ctx.EnsurePort()) {
            return;
        }
        if (MonitorFL(a, b, c) != 0) {
            ctx.Fail("no reply from the module", CLI_EXIT_MODULE);
        }
    });

    auto fe = std::make_shared<HexArgs>();
    CLI::App* feCmd = app.add_subcommand("fe", "Erase the flash sector that holds A (FE)");
    feCmd->add_option("A", fe->a, "Address in the sector (hexadecimal)")->required();
    // One parser serves every script line: each use starts from the defaults.
    feCmd->preparse_callback([fe](std::size_t) { *fe = HexArgs{}; });
    feCmd->callback([&ctx, fe] {
        std::uint32_t a = 0;
        if (!ParseHex32(ctx, "A", fe->a, a) ||
            !ConfirmWrite(ctx, "Erase the flash sector at " + Hex8(a) + "?") || !ctx.EnsurePort()) {
            return;
        }
        MonitorFE(a);
    });

    app.add_subcommand("reset", "Reset the module's monitor (R); print its banner")
        ->callback([&ctx] {
            if (!ctx.EnsurePort()) {
                return;
            }
            MonitorR();
            if (!ReadResetAnswer()) {
                ctx.Fail("no answer to the reset", CLI_EXIT_MODULE);
            }
        });
}
