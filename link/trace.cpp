#include "trace.h"

#include <ctime>
#include <utility>
#include <vector>

#include "numtext.h"

namespace {

struct Observer {
    int id;
    std::function<void(const LinkTraceEvent&)> fn;
};

std::vector<Observer>& Observers() {
    static std::vector<Observer> observers;
    return observers;
}

int g_nextId = 1;

} // namespace

const char* LinkTraceOutcomeName(LinkTraceOutcome outcome) {
    switch (outcome) {
    case LinkTraceOutcome::Ok:
        return "ok";
    case LinkTraceOutcome::WrongFields:
        return "fields";
    case LinkTraceOutcome::NoAnswer:
        return "no-answer";
    case LinkTraceOutcome::NoPrompt:
        return "no-prompt";
    case LinkTraceOutcome::Cancelled:
        return "cancelled";
    case LinkTraceOutcome::Stale:
        return "stale";
    case LinkTraceOutcome::ProbeOk:
        return "probe-ok";
    case LinkTraceOutcome::ProbeFailed:
        return "probe-failed";
    case LinkTraceOutcome::Opened:
        return "opened";
    case LinkTraceOutcome::OpenFailed:
        return "open-failed";
    case LinkTraceOutcome::Closed:
        return "closed";
    case LinkTraceOutcome::Gone:
        return "gone";
    case LinkTraceOutcome::StartReset:
        return "start-reset";
    case LinkTraceOutcome::StartKept:
        return "start-kept";
    }
    return "?";
}

int LinkTraceAdd(std::function<void(const LinkTraceEvent&)> observer) {
    const int id = g_nextId++;
    Observers().push_back({id, std::move(observer)});
    (void)LinkTraceEpoch(); // the transcript's time counts from the first observer at the latest
    return id;
}

void LinkTraceRemove(int id) {
    auto& list = Observers();
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (it->id == id) {
            list.erase(it);
            return;
        }
    }
}

bool LinkTraceActive() {
    return !Observers().empty();
}

void LinkTraceEmit(const LinkTraceEvent& event) {
    for (const Observer& o : Observers()) {
        o.fn(event);
    }
}

std::chrono::steady_clock::time_point LinkTraceEpoch() {
    static const std::chrono::steady_clock::time_point epoch = std::chrono::steady_clock::now();
    return epoch;
}

std::string LinkTraceEscape(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() + 8);
    for (const char ch : bytes) {
        const auto b = static_cast<unsigned char>(ch);
        switch (b) {
        case '\r':
            out += "\\r";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\\':
            out += "\\\\";
            break;
        default:
            if (b >= 0x20 && b <= 0x7E) {
                out += ch;
            } else {
                static const char HEX[] = "0123456789ABCDEF";
                out += "\\x";
                out += HEX[b >> 4];
                out += HEX[b & 15];
            }
        }
    }
    return out;
}

std::string LinkTraceHeader() {
    return "# ms\ttime\toutcome\trtt_us\tfields\tcommand\treply";
}

std::string LinkTraceFormat(const LinkTraceEvent& event) {
    using namespace std::chrono;
    const double sinceStart =
        duration_cast<microseconds>(event.end - LinkTraceEpoch()).count() / 1000.0;
    const auto rtt = duration_cast<microseconds>(event.end - event.start).count();

    const auto wall = event.wallEnd;
    const std::time_t secs = system_clock::to_time_t(wall);
    const auto ms = duration_cast<milliseconds>(wall.time_since_epoch()).count() % 1000;
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &secs);
#else
    localtime_r(&secs, &local);
#endif
    std::string line = NumFormatString(
        "%.3f\t%02d:%02d:%02d.%03d\t%s\t%lld\t", sinceStart, local.tm_hour, local.tm_min,
        local.tm_sec, static_cast<int>(ms < 0 ? 0 : ms), LinkTraceOutcomeName(event.outcome),
        static_cast<long long>(rtt < 0 ? 0 : rtt));
    line += event.fields < 0 ? std::string("-") : NumFormatString("%d", event.fields);
    line += '\t';
    line += LinkTraceEscape(event.command);
    line += '\t';
    line += LinkTraceEscape(event.reply);
    return line;
}
