// The transcript of the link: every exchange, probe, give-up, dropped late reply and every
// change of the port (opened, closed, gone) as one event, handed to the registered observers
// on the thread that made the exchange.
//
// One formatter turns an event into the transcript line that morvane-cli's --trace, the
// console's --trace and the console's transcript window all show and save:
//
//   <ms since start>\t<hh:mm:ss.mmm>\t<outcome>\t<round trip us>\t<fields>\t<command>\t<reply>
//
// ms since start: milliseconds since the first event of the process (LinkTraceEpoch), three
//   decimals. hh:mm:ss.mmm: local wall-clock time of the event's end.
// outcome: one word of LinkTraceOutcomeName. round trip: microseconds from the first byte
//   written to the end of the reply (0 for port events). fields: the reply's field count, or
//   "-" where there is none. command and reply: the bytes as sent and received, with CR, LF,
//   TAB and backslash written as \r \n \t \\ and every other byte outside 0x20..0x7E as \xHH;
//   for port events the command column holds the device and the reply column is empty.
// Lines starting with "#" are comments (the header that LinkTraceHeader gives).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

enum class LinkTraceOutcome {
    Ok,          // the reply ended with the prompt (and had the expected field count)
    WrongFields, // the reply ended with the prompt but had another field count than expected
    NoAnswer,    // nothing came back before the silent limit
    NoPrompt,    // bytes came back but no prompt before the silent limit or the byte limit
    Cancelled,   // the operator or the host cancelled the wait
    Stale,       // a late reply to an earlier command, dropped
    ProbeOk,     // the probe got CR, LF and a third byte
    ProbeFailed, // the probe did not
    Opened,      // the port was opened (command column: the device)
    OpenFailed,  // the port could not be opened
    Closed,      // the port was closed
    Gone,        // the device went away while open
    StartReset,  // a host's open reset the module ("DI"); command column: the device
    StartKept,   // a host's open kept the module's outputs (clocks read with "u0")
};

// "ok", "fields", "no-answer", "no-prompt", "cancelled", "stale", "probe-ok", "probe-failed",
// "opened", "open-failed", "closed", "gone", "start-reset", "start-kept".
const char* LinkTraceOutcomeName(LinkTraceOutcome outcome);

struct LinkTraceEvent {
    LinkTraceOutcome outcome = LinkTraceOutcome::Ok;
    std::string command;                           // as sent, without the terminator
    std::string reply;                             // the bytes read for it
    int fields = -1;                               // field count, -1 where none was split
    std::chrono::steady_clock::time_point start;   // first byte written (or the event itself)
    std::chrono::steady_clock::time_point end;     // reply ended (or the event itself)
    std::chrono::system_clock::time_point wallEnd; // wall-clock time of end
};

// Registers an observer; returns an id for LinkTraceRemove. Observers are called in the order
// they were added, on the thread of the exchange, and must not call into the link. Adding and
// removing is for the owner of the link (not during an exchange).
int LinkTraceAdd(std::function<void(const LinkTraceEvent&)> observer);
void LinkTraceRemove(int id);
// True when at least one observer is registered. The link builds events only then, so that a
// transcript nobody reads costs nothing.
bool LinkTraceActive();
// Hands an event to every observer (used by the link and by hosts that add port events).
void LinkTraceEmit(const LinkTraceEvent& event);

// The instant "ms since start" counts from: fixed at the first call.
std::chrono::steady_clock::time_point LinkTraceEpoch();

// The transcript line of an event, without the line end.
std::string LinkTraceFormat(const LinkTraceEvent& event);
// The comment line that names the columns, without the line end.
std::string LinkTraceHeader();
// Escapes bytes as the transcript shows them (\r \n \t \\ \xHH).
std::string LinkTraceEscape(std::string_view bytes);
