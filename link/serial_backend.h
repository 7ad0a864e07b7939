// The operating-system operations behind CSerialPort, declared once. serial_posix.cpp and
// serial_win32.cpp each define exactly these; CMake compiles the one for the target platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "serial_port.h"

namespace serial_backend {

using StatePtr = std::unique_ptr<SerialBackendState, SerialBackendDeleter>;

// Opens the named device for reading and writing, exclusively and without blocking.
// Null on failure.
StatePtr Open(const std::string& name);
// Reads the driver's current line settings.
bool GetSettings(SerialBackendState& s, SerialSettings& out);
// Writes the line settings (raw 8-bit line); modem-line control the device refuses is ignored.
bool SetSettings(SerialBackendState& s, const SerialSettings& settings);
// Sets the link's read and write time-outs (see CSerialPort::ApplyTimeouts).
bool SetTimeouts(SerialBackendState& s);
// Aborts and clears both directions.
bool Purge(SerialBackendState& s);
bool SetEventMask(SerialBackendState& s, std::uint32_t mask);
bool ResetEvent(SerialBackendState& s);
// Result of StartEventWait.
enum class WaitStart { Completed, Pending, Refused };
// Starts a port-event wait; *mask is written at completion (at once, or inside WaitIo).
WaitStart StartEventWait(SerialBackendState& s, std::uint32_t* mask);
// Waits for the pending operation: LINK_WAIT_SIGNALLED, LINK_WAIT_TIMEOUT or LINK_WAIT_FAILED.
int WaitIo(SerialBackendState& s, int timeoutMs);
// Result of the last overlapped operation without waiting.
bool IoResult(SerialBackendState& s, std::uint32_t* bytes);
// Error bits and queued-input count.
bool QueueStatus(SerialBackendState& s, std::uint32_t* errors, std::uint32_t* queued);
// The same right after a completed event wait, with the count that wait took where it took one.
bool QueueStatusAfterWait(SerialBackendState& s, std::uint32_t* errors, std::uint32_t* queued);
// Result of ReadOne.
enum class ReadResult { Done, Pending, Failed };
// Reads one byte into *cell without blocking.
ReadResult ReadOne(SerialBackendState& s, std::uint8_t* cell);
// Reads up to count bytes that are there without waiting into buffer; the number read. *result
// tells why it stopped short: Pending (nothing more there) or Failed (end of file or an error:
// the line is gone). Bytes come out in the order ReadOne would give them.
std::size_t ReadMany(SerialBackendState& s, std::uint8_t* buffer, std::size_t count,
                     ReadResult* result);
// True when the device has gone away (hang-up or error), seen without reading or writing.
bool Gone(SerialBackendState& s);
// Starts writing the bytes; the backend keeps what the OS has not taken yet.
bool Write(SerialBackendState& s, const void* data, std::size_t count);

} // namespace serial_backend
