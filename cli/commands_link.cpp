// probe and send: the link itself.
#include <cstdio>
#include <memory>

#include <CLI/CLI.hpp>

#include "cli.h"
#include "comlink.h"
#include "exchange.h"

void CliAddLinkCommands(CLI::App& app, CliContext& ctx) {
    app.add_subcommand("probe", "Open the port with the probe and print the result (0 open, 1 "
                                "failed to open, 2 no answer); exit with it")
        ->callback([&ctx] {
            const int r = OpenComDevice(ctx.device, ctx.baud, 'N', 13, true);
            std::printf("%d\n", r);
            ctx.portReady = r == LINK_OPEN_OK;
            if (r != LINK_OPEN_OK && ctx.status == 0) {
                ctx.status = r;
            }
        });

    auto text = std::make_shared<std::string>();
    CLI::App* send = app.add_subcommand(
        "send", "Send one command line; print the reply field count, then each field");
    send->add_option("TEXT", *text, "The command text, without line end")->required();
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
    });
}
