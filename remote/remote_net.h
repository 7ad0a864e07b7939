// The parts of a network server that need no socket library: the listening address, the allowed
// address ranges and the splitting of the byte stream into lines. The tool's asio server and the
// console's Qt server both use them, so that both read the same texts and admit the same clients.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The port a server listens on when none is given.
constexpr std::uint16_t REMOTE_DEFAULT_PORT = 5025;
// "127.0.0.1:5025": the listening address when none is given (this machine only).
extern const char* const REMOTE_DEFAULT_LISTEN;
// Clients served at once; the next one is closed at once.
constexpr int REMOTE_MAX_CLIENTS = 8;
// A client that sends nothing for this long is closed.
constexpr std::chrono::minutes REMOTE_IDLE_LIMIT{10};

// An IP address as its bytes in network order: 4 for IPv4 (the rest 0), 16 for IPv6.
struct RemoteAddress {
    bool v6 = false;
    std::array<std::uint8_t, 16> bytes{};

    bool operator==(const RemoteAddress&) const = default;
};

// A numeric IPv4 ("192.168.1.7", four decimal parts without leading zeros) or IPv6 address
// ("fd00::1", "::ffff:10.0.0.1"; an IPv4 part only as the last 32 bits). With allowScope, an IPv6
// address may end in "%zone" (a link-local address's interface), which is left out of the bytes.
// False for anything else (host names included).
bool RemoteParseAddress(std::string_view text, RemoteAddress* address, bool allowScope = false);

// An IPv4-mapped IPv6 address (how a dual-stack listener sees IPv4 clients) as the IPv4 address
// it carries; any other address as it is.
RemoteAddress RemotePlainAddress(const RemoteAddress& address);

// 127.0.0.0/8 or ::1 (taken as it is: a mapped address is not unwrapped here).
bool RemoteIsLoopback(const RemoteAddress& address);

// A range of addresses: those whose first prefix bits are those of net.
struct RemoteRange {
    RemoteAddress net;
    int prefix = 0;
};

// "192.168.1.0/24", "10.0.0.5" (one host), "fd00::/8"; a mapped IPv6 address counts as the IPv4
// address it carries. False with *error saying what is wrong (without naming an option):
// "'ten' is not an address range such as 192.168.1.0/24", "the prefix length of '10.0.0.0/33'
// is not 0 to 32", "'192.168.1.77/24' has host bits set (the range is 192.168.1.0/24)".
bool RemoteParseRange(std::string_view text, RemoteRange* range, std::string* error);

// True when client (a mapped address counts as its IPv4 address) lies in range.
bool RemoteInRange(const RemoteAddress& client, const RemoteRange& range);

// Whether a server admits client: loopback clients always, others when they lie in one of
// ranges.
bool RemoteAllowed(const RemoteAddress& client, const std::vector<RemoteRange>& ranges);

// What to listen on.
struct RemoteListen {
    std::string host; // the address as written, without brackets ("::1", "fe80::1%eth0")
    RemoteAddress address;
    std::uint16_t port = REMOTE_DEFAULT_PORT; // 0: the system picks one
};

// "127.0.0.1:5025", "0.0.0.0:5025", "[::1]:5025", "[::]:0": a numeric address and a port 0 to
// 65535. False with *error: "'localhost:5025' is not ADDR:PORT with a numeric address (such as
// 127.0.0.1:5025 or [::1]:5025)".
bool RemoteParseListen(std::string_view text, RemoteListen* listen, std::string* error);
// That message for text.
std::string RemoteListenFormatError(std::string_view text);

// "127.0.0.1:5025", "[::1]:5025": an address and port as a listening line shows them.
std::string RemoteEndpointText(std::string_view host, bool v6, std::uint16_t port);

// Splits a client's bytes into lines ended by LF. A line longer than REMOTE_LINE_MAX bytes is
// given once as overlong, as soon as it is too long, and its bytes up to its LF are dropped.
class CRemoteLineReader {
public:
    struct Line {
        std::string text; // without the LF
        bool overlong = false;
    };

    // Takes bytes from the front of *data until a line is complete (or found too long): true
    // with *line set and *data holding the bytes after it. False when *data ran out first; the
    // bytes taken wait for the rest of their line.
    bool Next(std::string_view* data, Line* line);

    // True while bytes of an unfinished line are held.
    bool HasPartial() const { return !m_partial.empty() || m_discarding; }

private:
    std::string m_partial;
    bool m_discarding = false; // inside a line that was too long
};
