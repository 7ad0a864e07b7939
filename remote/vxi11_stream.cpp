#include <algorithm>

#include "vxi11.h"

bool CVxi11Stream::Next(std::string_view* data, bool end, Line* line) {
    CRemoteLineReader::Line taken;
    if (!m_reader.Next(data, &taken)) {
        if (!end || !m_reader.HasPartial()) {
            return false;
        }
        // END terminates the message as an LF would (an overlong line, given already, just
        // ends).
        std::string_view lf("\n");
        if (!m_reader.Next(&lf, &taken)) {
            return false;
        }
    }
    *line = {std::move(taken.text), taken.overlong};
    return true;
}

void CVxi11Stream::Write(std::string_view data, bool end, std::vector<Line>* lines) {
    Line line;
    while (Next(&data, end, &line)) {
        lines->push_back(std::move(line));
    }
}

void CVxi11Stream::Answer(std::string_view response) {
    m_out.append(response);
    m_out += '\n';
    m_ends.push_back(m_out.size());
}

std::string CVxi11Stream::Read(std::size_t requestSize, int termChar, std::int32_t* reason) {
    // One read gives at most one answer: it stops at the answer's end, at termChar or at the
    // size asked for, whichever comes first.
    std::size_t n = std::min(requestSize, m_out.size());
    if (!m_ends.empty()) {
        n = std::min(n, m_ends.front());
    }
    *reason = 0;
    if (termChar >= 0) {
        const std::size_t at = m_out.find(static_cast<char>(termChar));
        if (at != std::string::npos && at < n) {
            n = at + 1;
            *reason |= VXI11_REASON_CHR;
        }
    }
    if (!m_ends.empty() && n == m_ends.front()) {
        *reason |= VXI11_REASON_END;
    }
    if (*reason == 0) {
        *reason = VXI11_REASON_REQCNT;
    }
    std::string taken = m_out.substr(0, n);
    m_out.erase(0, n);
    for (std::size_t& e : m_ends) {
        e -= n;
    }
    while (!m_ends.empty() && m_ends.front() == 0) {
        m_ends.erase(m_ends.begin());
    }
    return taken;
}

void CVxi11Stream::Clear() {
    m_reader = CRemoteLineReader();
    m_out.clear();
    m_ends.clear();
}
