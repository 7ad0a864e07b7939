// probe, send and ports: the link itself, and finding the device.
#include <cstdio>
#include <memory>

#include <CLI/CLI.hpp>

#include "cli.h"
#include "cli_platform.h"
#include "comlink.h"
#include "exchange.h"

void CliAddLinkCommands(CLI::App& app, CliContext& ctx) {
    app.add_subcommand("probe", "Open the port with the probe and print the result (0 the module "
                                "answered, 1 the port did not open, 2 no answer)")
        ->callback([&ctx] {
            ctx.openResult = -1;
            ctx.EnsurePort();
            if (ctx.openResult >= 0) {
                std::printf("%d\n", ctx.openResult);
            }
        });

    auto text = std::make_shared<std::string>();
    CLI::App* send = app.add_subcommand(
        "send", "Send one command line; print the reply field count, then each field");
    send->add_option("TEXT", *text, "The command text, without line end")->required();
    send->preparse_callback([text](std::size_t) { text->clear(); });
    send->callback([&ctx, text] {
        if (!ctx.EnsurePort()) {
            return;
        }
        ReplyField fields[REPLY_FIELD_COUNT];
        const int n = SendCommand(text->c_str(), fields);
        std::printf("%d\n", n);
        for (int i = 0; i < n; ++i) {
            std::printf("%s\n", fields[i]);
        }
        if (n == 0) {
            ctx.Fail("no answer to '" + *text + "'", CLI_EXIT_MODULE);
        }
    });

    app.add_subcommand("ports", "List the serial devices of this machine, one a line: the device, "
                                "a stable name where the system has one, what it is")
        ->callback([] {
            const std::vector<CliPortEntry> ports = CliListPorts();
            if (ports.empty()) {
                std::fflush(stdout);
                CliWriteStderr("morvane-cli: no serial devices found\n");
                return;
            }
            for (const CliPortEntry& port : ports) {
                std::string line = port.device;
                for (const std::string* column : {&port.stableName, &port.description}) {
                    line += "\t" + (column->empty() ? std::string("-") : *column);
                }
                std::printf("%s\n", line.c_str());
            }
        });
}
