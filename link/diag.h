// Diagnostic output of the device link and DDS control.
//
// The link and the DDS layer report through short lines ("T", "COM3 Open Success!\n", ...)
// rather than exceptions. They all go through one sink, standard output by default, so that a
// program can send them elsewhere (the command-line tool sends them to standard error, tests
// capture them).
#pragma once

#include <functional>
#include <string_view>

// Replaces the sink. An empty function restores the default (standard output, flushed).
void DiagSetSink(std::function<void(std::string_view)> sink);

// Formats like printf under the "C" numeric locale and hands the text to the sink.
void DiagPrintf(const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Hands a text to the sink unchanged.
void DiagWrite(std::string_view text);

// Makes the process survive writes to a closed pipe or socket: SIGPIPE is ignored (POSIX), so a
// failed write returns an error instead of ending the process. Every program of the project
// calls it first thing; the default sink ignores failed writes.
void DiagIgnoreBrokenPipe();
