// CSerialPort: one serial device, opened for overlapped (non-blocking) I/O.
//
// Every operation is one operating-system call on the port's handle and returns at once or
// after the time-out it is given; nothing here owns a thread. The platform calls live in
// serial_posix.cpp and serial_win32.cpp behind serial_backend.h; this class holds what both
// have in common (the line settings to apply, the receive cell, the last results).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// Port event bits, with the values of the Win32 comm API.
constexpr std::uint32_t LINK_EV_RXCHAR = 1;  // a character was received
constexpr std::uint32_t LINK_EV_RXFLAG = 2;  // the event character was received
constexpr std::uint32_t LINK_EV_TXEMPTY = 4; // the transmit queue ran empty

// Results of WaitIo, with the values of WaitForSingleObject.
constexpr int LINK_WAIT_SIGNALLED = 0;
constexpr int LINK_WAIT_TIMEOUT = 258;
constexpr int LINK_WAIT_FAILED = -1;

// Line settings, the parts of the platform's device-control block that the link changes.
// Parity codes as in the Win32 DCB: 0 none, 1 odd, 2 even, 3 mark, 4 space.
// Stop bits: 0 one, 1 one and a half, 2 two. DTR/RTS control: 0 disabled, 1 enabled.
struct SerialSettings {
    int baudRate = 0;
    int byteSize = 0;
    int parity = 0;
    int stopBits = 0;
    bool outxCtsFlow = false;
    bool outxDsrFlow = false;
    int dtrControl = 0;
    int rtsControl = 0;
    char eventChar = 0;
};

// Platform state of an open port (handle, pending event wait, pending writes); defined by the
// backend, which also releases it.
struct SerialBackendState;
struct SerialBackendDeleter {
    void operator()(SerialBackendState* state) const;
};

class CSerialPort {
public:
    CSerialPort();
    ~CSerialPort(); // closes the handle and releases the I/O context
    CSerialPort(const CSerialPort&) = delete;
    CSerialPort& operator=(const CSerialPort&) = delete;

    // Stores the device name ("\\.\COM3" on Windows, "/dev/ttyS2" or any path on POSIX).
    // Names of any length are kept, so port numbers of 100 and above work too.
    CSerialPort& SetName(const std::string& name);
    const std::string& Name() const { return m_strName; }

    // Opens the device for reading and writing, exclusively, without blocking. On success reads
    // the driver's line settings into Settings() (printing "init : Get CommState Error\n" if
    // that fails) and creates the I/O context. Returns 0 when opened, 1 when the device could
    // not be opened (after printing "init : Open %s Error\n" with the name).
    int Open();
    bool IsOpen() const { return m_nOpened != 0; }

    // Setters of the settings block; they take effect at ApplySettings.
    CSerialPort& SetBaudRate(int baud);
    CSerialPort& SetByteSize(int bits);
    CSerialPort& SetParity(int parity);
    CSerialPort& SetStopBits(int stopBits);
    CSerialPort& SetEventChar(char c);
    CSerialPort& SetOutxCtsFlow(bool on);
    CSerialPort& SetOutxDsrFlow(bool on);
    CSerialPort& SetDtrControl(int control);
    CSerialPort& SetRtsControl(int control);
    const SerialSettings& Settings() const { return m_settings; }

    // Writes the settings block to the driver (raw 8-bit line, no echo, no line editing).
    // Modem-line control that the device refuses (a pseudo-terminal has no DTR or RTS) is not
    // counted as a failure. Returns the success flag, also kept as LastResult().
    bool ApplySettings();
    // Sets the driver's time-outs: read interval 300 ms, read multiplier 100 ms, read constant
    // 200 ms, write multiplier 100 ms, write constant 200 ms. Returns the success flag.
    bool ApplyTimeouts();
    // Aborts and clears both directions (input discarded, pending output dropped).
    bool Purge();
    // Selects the events that WaitPortEvent reports (LINK_EV_* bits).
    bool SetEventMask(std::uint32_t mask);
    // Resets the I/O context's event.
    bool ResetIoEvent();
    // Starts a wait for a port event. Returns true when an event is already there (*mask then
    // holds its bits); false when the wait is pending (or failed), in which case WaitIo waits for
    // it and *mask is written when it completes. mask must stay valid until then.
    bool WaitPortEvent(std::uint32_t* mask);
    // Waits up to timeoutMs milliseconds for the pending operation of the I/O context.
    // Returns LINK_WAIT_SIGNALLED, LINK_WAIT_TIMEOUT or LINK_WAIT_FAILED. A line that has gone
    // away (hang-up, device removed) reports LINK_WAIT_TIMEOUT at once, so that readers count it
    // as idle time instead of spinning.
    int WaitIo(int timeoutMs);
    // Result of the last completed overlapped operation, without waiting; *bytes receives its
    // byte count (may be null).
    bool IoResult(std::uint32_t* bytes);
    // The driver's error bits and queued-input count. On failure both are 0 and false is
    // returned.
    bool ErrorAndQueueStatus(std::uint32_t* errors, std::uint32_t* queued);
    // The same, called right after a port-event wait has completed: where the wait has just
    // counted the queued input (POSIX) that count is given without asking the driver again.
    // It may be lower than the driver's count by what arrived since; readers that take input
    // in batches as the waits see it use this one.
    bool ErrorAndQueueStatusAfterWait(std::uint32_t* errors, std::uint32_t* queued);
    // Reads one byte into the receive cell. Returns the byte when it was there at once, the
    // cell's previous content when the read would have to wait, 0xFF when the read failed
    // (and the cell becomes 0xFF).
    std::uint8_t ReadByte();
    // Reads up to count bytes that are queued, in one system call where the platform allows;
    // returns how many were read (fewer when no more were there or the line failed). The last
    // of them is left in the receive cell, as ReadByte would leave it.
    std::size_t ReadBytes(std::uint8_t* buffer, std::size_t count);
    // True when the open device has gone away (hang-up, end of file, an I/O error); looks
    // without reading or writing. True too when nothing is open.
    bool CheckGone();
    // Starts writing the bytes and returns without waiting; the port keeps its own copy of
    // bytes the OS has not taken yet. True when written or pending, false on failure.
    bool WriteBytes(const void* data, std::size_t count);
    bool WriteByte(std::uint8_t byte);

    // True when the last WaitPortEvent was refused as an invalid request (no open device, or a
    // driver that does not support event waits), as opposed to pending.
    bool LastWaitRefused() const { return m_bWaitRefused; }

    std::int32_t LastResult() const { return m_nLastResult; }
    std::uint32_t BytesRead() const { return m_nBytesRead; }
    std::uint32_t BytesWritten() const { return m_nBytesWritten; }

private:
    bool StoreQueueStatus(bool ok, std::uint32_t e, std::uint32_t q, std::uint32_t* errors,
                          std::uint32_t* queued);

    SerialSettings m_settings;
    std::string m_strName;
    std::uint8_t m_byReceive = 0;
    std::uint32_t m_nBytesRead = 0;
    std::uint32_t m_nBytesWritten = 0;
    std::int32_t m_nLastResult = 0;
    std::int32_t m_nOpened = 0;
    bool m_bWaitRefused = false;
    std::unique_ptr<SerialBackendState, SerialBackendDeleter> m_pBackend;
};
