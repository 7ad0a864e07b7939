// Listening address, allowed ranges and line splitting of the network servers.
#include "remote_net.h"

#include <algorithm>
#include <utility>

#include "monitor.h"
#include "remote.h"

const char* const REMOTE_DEFAULT_LISTEN = "127.0.0.1:5025";

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// A decimal number of at most maxDigits digits, nothing else.
bool ReadDecimal(std::string_view text, std::size_t maxDigits, unsigned* value) {
    if (text.empty() || text.size() > maxDigits) {
        return false;
    }
    for (char c : text) {
        if (!IsDigit(c)) {
            return false;
        }
    }
    *value = 0;
    for (char c : text) {
        *value = *value * 10 + static_cast<unsigned>(c - '0');
    }
    return true;
}

// Four decimal parts 0 to 255 separated by dots; a part has no leading zero (as inet_pton
// reads them: "010" would be octal to other readers).
bool ParseV4(std::string_view text, std::uint8_t* out) {
    for (int part = 0; part < 4; ++part) {
        const std::size_t dot = text.find('.');
        if ((part < 3) != (dot != std::string_view::npos)) {
            return false;
        }
        const std::string_view digits = text.substr(0, dot);
        unsigned value = 0;
        if (!ReadDecimal(digits, 3, &value) || value > 255 ||
            (digits.size() > 1 && digits.front() == '0')) {
            return false;
        }
        out[part] = static_cast<std::uint8_t>(value);
        text = part < 3 ? text.substr(dot + 1) : std::string_view();
    }
    return true;
}

// Groups of one to four hex digits separated by ":", the last two groups possibly written as an
// IPv4 address when allowV4 (the groups end the address); out receives 2 bytes per group.
// count: the groups written.
bool ParseV6Groups(std::string_view text, std::uint8_t* out, std::size_t maxGroups,
                   std::size_t* count, bool allowV4) {
    *count = 0;
    if (text.empty()) {
        return true;
    }
    for (;;) {
        const std::size_t colon = text.find(':');
        const std::string_view group = text.substr(0, colon);
        if (colon == std::string_view::npos && group.find('.') != std::string_view::npos) {
            if (!allowV4 || *count + 2 > maxGroups || !ParseV4(group, out + 2 * *count)) {
                return false;
            }
            *count += 2;
            return true;
        }
        if (group.empty() || group.size() > 4 || *count + 1 > maxGroups) {
            return false;
        }
        unsigned value = 0;
        for (char c : group) {
            const int digit = MonitorHexValue(static_cast<unsigned char>(c));
            if (digit < 0) {
                return false;
            }
            value = value * 16 + static_cast<unsigned>(digit);
        }
        out[2 * *count] = static_cast<std::uint8_t>(value >> 8);
        out[2 * *count + 1] = static_cast<std::uint8_t>(value & 0xFF);
        ++*count;
        if (colon == std::string_view::npos) {
            return true;
        }
        text = text.substr(colon + 1);
    }
}

bool ParseV6(std::string_view text, std::uint8_t* out) {
    const std::size_t gap = text.find("::");
    if (gap == std::string_view::npos) {
        std::size_t count = 0;
        return ParseV6Groups(text, out, 8, &count, true) && count == 8;
    }
    if (text.find("::", gap + 1) != std::string_view::npos) {
        return false; // one "::" at most
    }
    std::uint8_t head[16] = {};
    std::uint8_t tail[16] = {};
    std::size_t headCount = 0;
    std::size_t tailCount = 0;
    // "::" stands for at least one group of zeros; an IPv4 part can only end the address.
    if (!ParseV6Groups(text.substr(0, gap), head, 7, &headCount, false) ||
        !ParseV6Groups(text.substr(gap + 2), tail, 7 - headCount, &tailCount, true)) {
        return false;
    }
    std::fill(out, out + 16, std::uint8_t{0});
    std::copy(head, head + 2 * headCount, out);
    std::copy(tail, tail + 2 * tailCount, out + 16 - 2 * tailCount);
    return true;
}

// An address as text: IPv4 dotted, IPv6 in lower-case hex groups without leading zeros, the
// longest run of two or more zero groups (the first of equal runs) written "::".
std::string AddressText(const RemoteAddress& a) {
    std::string out;
    if (!a.v6) {
        for (int i = 0; i < 4; ++i) {
            if (i > 0) {
                out += '.';
            }
            out += std::to_string(a.bytes[i]);
        }
        return out;
    }
    unsigned groups[8];
    for (int i = 0; i < 8; ++i) {
        groups[i] = static_cast<unsigned>(a.bytes[2 * i] << 8 | a.bytes[2 * i + 1]);
    }
    int bestStart = -1, bestLength = 1;
    for (int i = 0; i < 8;) {
        int j = i;
        while (j < 8 && groups[j] == 0) {
            ++j;
        }
        if (j - i > bestLength) {
            bestStart = i;
            bestLength = j - i;
        }
        i = j > i ? j : i + 1;
    }
    static const char HEX[] = "0123456789abcdef";
    for (int i = 0; i < 8; ++i) {
        if (i == bestStart) {
            out += "::";
            i += bestLength - 1;
            continue;
        }
        if (!out.empty() && out.back() != ':') {
            out += ':';
        }
        std::string group;
        for (unsigned g = groups[i]; g != 0 || group.empty(); g >>= 4) {
            group.insert(group.begin(), HEX[g & 0xF]);
        }
        out += group;
    }
    return out;
}

} // namespace

bool RemoteParseAddress(std::string_view text, RemoteAddress* address, bool allowScope) {
    RemoteAddress a;
    if (text.find(':') == std::string_view::npos) {
        if (!ParseV4(text, a.bytes.data())) {
            return false;
        }
    } else {
        a.v6 = true;
        const std::size_t percent = text.find('%');
        if (percent != std::string_view::npos) {
            if (!allowScope || percent + 1 >= text.size()) {
                return false;
            }
            text = text.substr(0, percent);
        }
        if (!ParseV6(text, a.bytes.data())) {
            return false;
        }
    }
    *address = a;
    return true;
}

RemoteAddress RemotePlainAddress(const RemoteAddress& address) {
    if (!address.v6) {
        return address;
    }
    for (int i = 0; i < 10; ++i) {
        if (address.bytes[i] != 0) {
            return address;
        }
    }
    if (address.bytes[10] != 0xFF || address.bytes[11] != 0xFF) {
        return address;
    }
    RemoteAddress v4;
    std::copy(address.bytes.begin() + 12, address.bytes.end(), v4.bytes.begin());
    return v4;
}

bool RemoteIsLoopback(const RemoteAddress& address) {
    if (!address.v6) {
        return address.bytes[0] == 127;
    }
    for (int i = 0; i < 15; ++i) {
        if (address.bytes[i] != 0) {
            return false;
        }
    }
    return address.bytes[15] == 1;
}

bool RemoteParseRange(std::string_view text, RemoteRange* range, std::string* error) {
    const std::size_t slash = text.find('/');
    RemoteAddress net;
    if (!RemoteParseAddress(text.substr(0, slash), &net)) {
        // Appended piece by piece: gcc 12's -Wrestrict misreads "literal" + std::string at -O3.
        std::string message = "'";
        message.append(text);
        message.append("' is not an address range such as 192.168.1.0/24");
        *error = std::move(message);
        return false;
    }
    net = RemotePlainAddress(net);
    const unsigned maxPrefix = net.v6 ? 128 : 32;
    unsigned prefix = maxPrefix;
    if (slash != std::string_view::npos &&
        (!ReadDecimal(text.substr(slash + 1), 3, &prefix) || prefix > maxPrefix)) {
        *error = "the prefix length of '" + std::string(text) + "' is not 0 to " +
                 std::to_string(maxPrefix);
        return false;
    }
    // A range names its network: bits after the prefix would be a host's, most likely a
    // mistyped range ("192.168.1.77/24" for 192.168.1.0/24).
    RemoteAddress network = net;
    for (std::size_t i = 0; i < network.bytes.size(); ++i) {
        const int kept = static_cast<int>(prefix) - static_cast<int>(8 * i);
        const unsigned mask = kept >= 8 ? 0xFFu : kept <= 0 ? 0u : (0xFFu << (8 - kept)) & 0xFFu;
        network.bytes[i] = static_cast<std::uint8_t>(network.bytes[i] & mask);
    }
    if (network != net) {
        // Appended piece by piece: GCC 12 at -O3 takes "x" + std::string for an overlapping copy
        // (-Wrestrict).
        std::string message = "'";
        message += text;
        message += "' has host bits set (the range is ";
        message += AddressText(network);
        message += '/';
        message += std::to_string(prefix);
        message += ')';
        *error = std::move(message);
        return false;
    }
    range->net = net;
    range->prefix = static_cast<int>(prefix);
    return true;
}

bool RemoteInRange(const RemoteAddress& client, const RemoteRange& range) {
    const RemoteAddress a = RemotePlainAddress(client);
    if (a.v6 != range.net.v6) {
        return false;
    }
    int bits = range.prefix;
    for (std::size_t i = 0; i < a.bytes.size() && bits > 0; ++i, bits -= 8) {
        const unsigned mask = bits >= 8 ? 0xFFu : (0xFFu << (8 - bits)) & 0xFFu;
        if ((a.bytes[i] & mask) != (range.net.bytes[i] & mask)) {
            return false;
        }
    }
    return true;
}

bool RemoteAllowed(const RemoteAddress& client, const std::vector<RemoteRange>& ranges) {
    if (RemoteIsLoopback(RemotePlainAddress(client))) {
        return true;
    }
    for (const RemoteRange& r : ranges) {
        if (RemoteInRange(client, r)) {
            return true;
        }
    }
    return false;
}

bool RemoteParseListen(std::string_view text, RemoteListen* listen, std::string* error) {
    *error = RemoteListenFormatError(text);
    std::string_view host;
    std::string_view port;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            return false;
        }
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        const std::size_t colon = text.rfind(':');
        if (colon == std::string_view::npos || text.find(':') != colon) {
            return false;
        }
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    unsigned number = 0;
    RemoteAddress address;
    if (!ReadDecimal(port, 5, &number) || number > 65535 ||
        !RemoteParseAddress(host, &address, true)) {
        return false;
    }
    listen->host = std::string(host);
    listen->address = address;
    listen->port = static_cast<std::uint16_t>(number);
    error->clear();
    return true;
}

std::string RemoteListenFormatError(std::string_view text) {
    std::string message = "'";
    message.append(text);
    message.append(
        "' is not ADDR:PORT with a numeric address (such as 127.0.0.1:5025 or [::1]:5025)");
    return message;
}

std::string RemoteEndpointText(std::string_view host, bool v6, std::uint16_t port) {
    std::string text = v6 ? "[" : "";
    text.append(host);
    text.append(v6 ? "]:" : ":");
    text.append(std::to_string(port));
    return text;
}

bool CRemoteLineReader::Next(std::string_view* data, Line* line) {
    std::size_t i = 0;
    for (; i < data->size(); ++i) {
        const char c = (*data)[i];
        if (c == '\n') {
            const bool wasDiscarding = m_discarding;
            m_discarding = false;
            if (!wasDiscarding) {
                line->text = std::move(m_partial);
                line->overlong = false;
                m_partial.clear();
                *data = data->substr(i + 1);
                return true;
            }
            continue;
        }
        if (m_discarding) {
            continue;
        }
        if (m_partial.size() >= REMOTE_LINE_MAX) {
            // Too long: given now as overlong; the rest of it up to its LF is dropped.
            m_partial.clear();
            m_discarding = true;
            line->text.clear();
            line->overlong = true;
            *data = data->substr(i + 1);
            return true;
        }
        m_partial += c;
    }
    *data = std::string_view();
    return false;
}
