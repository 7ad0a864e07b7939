#include "serial_port.h"

#include "diag.h"
#include "serial_backend.h"

CSerialPort::CSerialPort() = default;
CSerialPort::~CSerialPort() = default;

CSerialPort& CSerialPort::SetName(const std::string& name) {
    m_strName = name;
    return *this;
}

int CSerialPort::Open() {
    m_pBackend = serial_backend::Open(m_strName);
    if (!m_pBackend) {
        DiagPrintf("init : Open %s Error\n", m_strName.c_str());
        return 1;
    }
    m_nOpened = 1;
    const bool got = serial_backend::GetSettings(*m_pBackend, m_settings);
    m_nLastResult = got ? 1 : 0;
    if (!got) {
        DiagWrite("init : Get CommState Error\n");
    }
    return 0;
}

CSerialPort& CSerialPort::SetBaudRate(int baud) {
    m_settings.baudRate = baud;
    return *this;
}
CSerialPort& CSerialPort::SetByteSize(int bits) {
    m_settings.byteSize = bits;
    return *this;
}
CSerialPort& CSerialPort::SetParity(int parity) {
    m_settings.parity = parity;
    return *this;
}
CSerialPort& CSerialPort::SetStopBits(int stopBits) {
    m_settings.stopBits = stopBits;
    return *this;
}
CSerialPort& CSerialPort::SetEventChar(char c) {
    m_settings.eventChar = c;
    return *this;
}
CSerialPort& CSerialPort::SetOutxCtsFlow(bool on) {
    m_settings.outxCtsFlow = on;
    return *this;
}
CSerialPort& CSerialPort::SetOutxDsrFlow(bool on) {
    m_settings.outxDsrFlow = on;
    return *this;
}
CSerialPort& CSerialPort::SetDtrControl(int control) {
    m_settings.dtrControl = control;
    return *this;
}
CSerialPort& CSerialPort::SetRtsControl(int control) {
    m_settings.rtsControl = control;
    return *this;
}

bool CSerialPort::ApplySettings() {
    const bool ok = m_pBackend && serial_backend::SetSettings(*m_pBackend, m_settings);
    m_nLastResult = ok ? 1 : 0;
    return ok;
}

bool CSerialPort::ApplyTimeouts() {
    return m_pBackend && serial_backend::SetTimeouts(*m_pBackend);
}

bool CSerialPort::Purge() {
    return m_pBackend && serial_backend::Purge(*m_pBackend);
}

bool CSerialPort::SetEventMask(std::uint32_t mask) {
    return m_pBackend && serial_backend::SetEventMask(*m_pBackend, mask);
}

bool CSerialPort::ResetIoEvent() {
    return m_pBackend && serial_backend::ResetEvent(*m_pBackend);
}

bool CSerialPort::WaitPortEvent(std::uint32_t* mask) {
    m_bWaitRefused = false;
    if (!m_pBackend) {
        m_bWaitRefused = true;
        return false;
    }
    switch (serial_backend::StartEventWait(*m_pBackend, mask)) {
    case serial_backend::WaitStart::Completed:
        return true;
    case serial_backend::WaitStart::Refused:
        m_bWaitRefused = true;
        return false;
    case serial_backend::WaitStart::Pending:
        break;
    }
    return false;
}

int CSerialPort::WaitIo(int timeoutMs) {
    if (!m_pBackend) {
        return LINK_WAIT_FAILED;
    }
    return serial_backend::WaitIo(*m_pBackend, timeoutMs);
}

bool CSerialPort::IoResult(std::uint32_t* bytes) {
    std::uint32_t count = 0;
    const bool ok = m_pBackend && serial_backend::IoResult(*m_pBackend, &count);
    if (bytes) {
        *bytes = count;
    }
    return ok;
}

bool CSerialPort::ErrorAndQueueStatus(std::uint32_t* errors, std::uint32_t* queued) {
    std::uint32_t e = 0;
    std::uint32_t q = 0;
    const bool ok = m_pBackend && serial_backend::QueueStatus(*m_pBackend, &e, &q);
    return StoreQueueStatus(ok, e, q, errors, queued);
}

bool CSerialPort::ErrorAndQueueStatusAfterWait(std::uint32_t* errors, std::uint32_t* queued) {
    std::uint32_t e = 0;
    std::uint32_t q = 0;
    const bool ok = m_pBackend && serial_backend::QueueStatusAfterWait(*m_pBackend, &e, &q);
    return StoreQueueStatus(ok, e, q, errors, queued);
}

bool CSerialPort::StoreQueueStatus(bool ok, std::uint32_t e, std::uint32_t q, std::uint32_t* errors,
                                   std::uint32_t* queued) {
    if (!ok) {
        e = 0;
        q = 0;
    }
    if (errors) {
        *errors = e;
    }
    if (queued) {
        *queued = q;
    }
    return ok;
}

std::uint8_t CSerialPort::ReadByte() {
    if (!m_pBackend) {
        m_byReceive = 0xFF;
        m_nLastResult = 0;
        return m_byReceive;
    }
    switch (serial_backend::ReadOne(*m_pBackend, &m_byReceive)) {
    case serial_backend::ReadResult::Done:
        m_nBytesRead = 1;
        m_nLastResult = 1;
        return m_byReceive;
    case serial_backend::ReadResult::Pending:
        m_nBytesRead = 0;
        m_nLastResult = 0;
        return m_byReceive;
    case serial_backend::ReadResult::Failed:
        break;
    }
    m_nBytesRead = 0;
    m_nLastResult = 0;
    m_byReceive = 0xFF;
    return m_byReceive;
}

std::size_t CSerialPort::ReadBytes(std::uint8_t* buffer, std::size_t count) {
    m_nBytesRead = 0;
    m_nLastResult = 0;
    if (!m_pBackend || count == 0) {
        return 0;
    }
    serial_backend::ReadResult result = serial_backend::ReadResult::Done;
    const std::size_t got = serial_backend::ReadMany(*m_pBackend, buffer, count, &result);
    if (got > 0) {
        m_byReceive = buffer[got - 1];
        m_nBytesRead = 1;
        m_nLastResult = 1;
    }
    return got;
}

bool CSerialPort::CheckGone() {
    return !m_pBackend || serial_backend::Gone(*m_pBackend);
}

bool CSerialPort::WriteBytes(const void* data, std::size_t count) {
    const bool ok = m_pBackend && serial_backend::Write(*m_pBackend, data, count);
    m_nBytesWritten = ok ? static_cast<std::uint32_t>(count) : 0;
    m_nLastResult = ok ? 1 : 0;
    return ok;
}

bool CSerialPort::WriteByte(std::uint8_t byte) {
    return WriteBytes(&byte, 1);
}
