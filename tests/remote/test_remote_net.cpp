// The servers' listening address, allowed ranges and line splitting.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "remote.h"
#include "remote_net.h"

namespace {

TEST(RemoteNet, ListenAddresses) {
    struct Case {
        const char* text;
        bool ok;
        const char* host;
        unsigned port;
        bool loopback;
    };
    const Case cases[] = {
        {"127.0.0.1:5025", true, "127.0.0.1", 5025, true},
        {"0.0.0.0:0", true, "0.0.0.0", 0, false},
        {"[::1]:65535", true, "::1", 65535, true},
        {"[::]:5025", true, "::", 5025, false},
        {"[fe80::1%eth0]:5025", true, "fe80::1%eth0", 5025, false},
        {"[::ffff:127.0.0.1]:1", true, "::ffff:127.0.0.1", 1, false}, // loopback only unwrapped
        {"localhost:5025", false, "", 0, false},
        {"127.0.0.1:70000", false, "", 0, false},
        {"127.0.0.1:", false, "", 0, false},
        {"127.0.0.1:+5", false, "", 0, false},
        {"127.0.0.1", false, "", 0, false},
        {"::1:5025", false, "", 0, false}, // IPv6 needs its brackets
        {"[::1]5025", false, "", 0, false},
        {"[::1:5025", false, "", 0, false},
        {"127.0.0.01:5025", false, "", 0, false},
        {"1.2.3:5025", false, "", 0, false},
        {"[1.2.3.4::]:5025", false, "", 0, false},
        {"", false, "", 0, false},
    };
    for (const Case& c : cases) {
        RemoteListen listen;
        std::string error;
        ASSERT_EQ(RemoteParseListen(c.text, &listen, &error), c.ok) << c.text;
        if (!c.ok) {
            EXPECT_EQ(error, "'" + std::string(c.text) +
                                 "' is not ADDR:PORT with a numeric address (such as "
                                 "127.0.0.1:5025 or [::1]:5025)");
            continue;
        }
        EXPECT_EQ(error, "");
        EXPECT_EQ(listen.host, c.host);
        EXPECT_EQ(listen.port, c.port);
        EXPECT_EQ(RemoteIsLoopback(listen.address), c.loopback) << c.text;
    }
    EXPECT_EQ(RemoteEndpointText("::1", true, 5025), "[::1]:5025");
    EXPECT_EQ(RemoteEndpointText("127.0.0.1", false, 80), "127.0.0.1:80");
}

TEST(RemoteNet, AllowedRanges) {
    struct Case {
        const char* range;
        const char* client;
        bool in;
    };
    const Case cases[] = {
        {"192.168.1.0/24", "192.168.1.77", true},
        {"192.168.1.0/24", "192.168.2.77", false},
        {"192.168.1.0/24", "::ffff:192.168.1.5", true}, // a dual-stack listener's IPv4 client
        {"10.0.0.5", "10.0.0.5", true},
        {"10.0.0.5", "10.0.0.4", false},
        {"10.0.0.0/9", "10.127.255.255", true},
        {"10.0.0.0/9", "10.128.0.0", false},
        {"0.0.0.0/0", "203.0.113.9", true},
        {"0.0.0.0/0", "2001:db8::1", false}, // the families never mix
        {"fd00::/8", "fd12::1", true},
        {"fd00::/8", "fe80::1", false},
        {"::ffff:10.0.0.0/8", "10.9.9.9", true}, // a mapped range counts as IPv4
        {"1:2:3:4:5:6:7::/128", "1:2:3:4:5:6:7:0", true},
        {"::1:2/127", "0:0:0:0:0:0:1:3", true},
        {"::1:2/127", "::1:0", false},
    };
    for (const Case& c : cases) {
        RemoteRange range;
        std::string error;
        ASSERT_TRUE(RemoteParseRange(c.range, &range, &error)) << c.range << ": " << error;
        RemoteAddress client;
        ASSERT_TRUE(RemoteParseAddress(c.client, &client)) << c.client;
        EXPECT_EQ(RemoteInRange(client, range), c.in) << c.range << " " << c.client;
        EXPECT_EQ(RemoteAllowed(client, {range}), c.in) << c.range << " " << c.client;
    }

    const struct {
        const char* text;
        const char* error;
    } bad[] = {
        {"ten", "'ten' is not an address range such as 192.168.1.0/24"},
        {"10.0.0.0/33", "the prefix length of '10.0.0.0/33' is not 0 to 32"},
        {"fd00::/129", "the prefix length of 'fd00::/129' is not 0 to 128"},
        {"::ffff:10.0.0.0/104", "the prefix length of '::ffff:10.0.0.0/104' is not 0 to 32"},
        {"10.0.0.0/", "the prefix length of '10.0.0.0/' is not 0 to 32"},
        {"10.0.0.0/-1", "the prefix length of '10.0.0.0/-1' is not 0 to 32"},
        {"/8", "'/8' is not an address range such as 192.168.1.0/24"},
        {"1::2::3", "'1::2::3' is not an address range such as 192.168.1.0/24"},
        {"1:2:3:4:5:6:7:8::", "'1:2:3:4:5:6:7:8::' is not an address range such as "
                              "192.168.1.0/24"},
        {"12345::", "'12345::' is not an address range such as 192.168.1.0/24"},
        {"::1%lo", "'::1%lo' is not an address range such as 192.168.1.0/24"},
        // An IPv4 address inside IPv6 only as its last 32 bits.
        {"1.2.3.4::/16", "'1.2.3.4::/16' is not an address range such as 192.168.1.0/24"},
        // A range says its network: bits after the prefix are a host's, a mistake.
        {"192.168.1.77/24", "'192.168.1.77/24' has host bits set (the range is 192.168.1.0/24)"},
        {"::ffff:10.1.0.0/8", "'::ffff:10.1.0.0/8' has host bits set (the range is 10.0.0.0/8)"},
        {"fd00:0:0:1::1/48", "'fd00:0:0:1::1/48' has host bits set (the range is fd00::/48)"},
        {"1:0:0:2:0:0:0:ff/80",
         "'1:0:0:2:0:0:0:ff/80' has host bits set (the range is 1:0:0:2::/80)"},
        {"1:0:0:2:0:0:0:ff/16", "'1:0:0:2:0:0:0:ff/16' has host bits set (the range is 1::/16)"},
    };
    for (const auto& b : bad) {
        RemoteRange range;
        std::string error;
        EXPECT_FALSE(RemoteParseRange(b.text, &range, &error)) << b.text;
        EXPECT_EQ(error, b.error);
    }

    // Loopback clients need no range; others need one.
    RemoteAddress a;
    ASSERT_TRUE(RemoteParseAddress("::ffff:127.0.0.1", &a));
    EXPECT_TRUE(RemoteAllowed(a, {}));
    ASSERT_TRUE(RemoteParseAddress("::1", &a));
    EXPECT_TRUE(RemoteAllowed(a, {}));
    ASSERT_TRUE(RemoteParseAddress("192.168.1.1", &a));
    EXPECT_FALSE(RemoteAllowed(a, {}));
}

// Lines come whole however the bytes are cut; a line over the limit is given once, as soon as it
// is too long, and the reader goes on with the next line.
TEST(RemoteNet, LineReader) {
    const std::string longLine(REMOTE_LINE_MAX + 10, 'x');
    const std::string exact(REMOTE_LINE_MAX, 'y');
    const std::string stream = "*IDN?\r\n\nA;B\n" + longLine + "\n" + exact + "\nlast\npart";
    for (std::size_t cut : {std::size_t{1}, std::size_t{3}, std::size_t{4096}, stream.size()}) {
        CRemoteLineReader reader;
        std::vector<CRemoteLineReader::Line> lines;
        for (std::size_t at = 0; at < stream.size(); at += cut) {
            std::string_view chunk = std::string_view(stream).substr(at, cut);
            CRemoteLineReader::Line line;
            while (reader.Next(&chunk, &line)) {
                lines.push_back(line);
            }
            EXPECT_TRUE(chunk.empty());
        }
        ASSERT_EQ(lines.size(), 6u) << cut;
        EXPECT_EQ(lines[0].text, "*IDN?\r"); // the engine drops the CR
        EXPECT_EQ(lines[1].text, "");
        EXPECT_EQ(lines[2].text, "A;B");
        EXPECT_TRUE(lines[3].overlong);
        EXPECT_EQ(lines[3].text, "");
        EXPECT_FALSE(lines[4].overlong);
        EXPECT_EQ(lines[4].text, exact);
        EXPECT_EQ(lines[5].text, "last");
        EXPECT_TRUE(reader.HasPartial());
    }
}

} // namespace
