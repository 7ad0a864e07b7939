#include "netnotify.h"

#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>

namespace {

// Bytes taken from a socket with one read.
constexpr std::size_t READ_CHUNK = 4096;
// How long a listener whose connection could not be taken waits before it tries again.
constexpr int ACCEPT_REST_MS = 100;

} // namespace

// ---- listener ------------------------------------------------------------------------------

CNetListener::CNetListener(QObject* parent) : QObject(parent) {}

CNetListener::~CNetListener() {
    Close();
}

bool CNetListener::ListenTcp(const std::string& host, std::uint16_t port, NetError* error) {
    Close();
    Watch(NetListenTcp(host, port, error));
    return IsListening();
}

bool CNetListener::ListenLocal(const std::string& path, NetError* error) {
    Close();
    Watch(NetListenLocal(path, error));
    return IsListening();
}

void CNetListener::Watch(NetHandle handle) {
    m_handle = handle;
    if (handle == NET_NONE) {
        return;
    }
    m_pNotifier = new QSocketNotifier(handle, QSocketNotifier::Read, this);
    connect(m_pNotifier, &QSocketNotifier::activated, this, &CNetListener::newConnection);
}

void CNetListener::Close() {
    delete m_pNotifier;
    m_pNotifier = nullptr;
    NetClose(m_handle);
    m_handle = NET_NONE;
}

std::uint16_t CNetListener::Port() const {
    return IsListening() ? NetListenerPort(m_handle) : 0;
}

NetHandle CNetListener::Accept(NetPeer* peer) {
    if (!IsListening()) {
        return NET_NONE;
    }
    NetError error;
    const NetHandle handle = NetAccept(m_handle, peer, &error);
    if (handle == NET_NONE && error.status != NetStatus::WouldBlock && m_pNotifier != nullptr) {
        // The system cannot take the connection now (out of descriptors, say): the listener
        // stays readable, and would be reported so at every turn of the event loop. It rests
        // a while instead.
        m_pNotifier->setEnabled(false);
        QTimer::singleShot(ACCEPT_REST_MS, m_pNotifier, [n = m_pNotifier] { n->setEnabled(true); });
    }
    return handle;
}

// ---- stream --------------------------------------------------------------------------------

CNetStream::CNetStream(NetHandle handle, std::size_t readLimit, QObject* parent)
    : QObject(parent), m_handle(handle), m_readLimit(readLimit < 1 ? 1 : readLimit) {
    m_pRead = new QSocketNotifier(handle, QSocketNotifier::Read, this);
    m_pWrite = new QSocketNotifier(handle, QSocketNotifier::Write, this);
    m_pWrite->setEnabled(false);
    connect(m_pRead, &QSocketNotifier::activated, this, &CNetStream::OnReadable);
    connect(m_pWrite, &QSocketNotifier::activated, this, &CNetStream::OnWritable);
}

CNetStream::~CNetStream() {
    Abort();
}

std::string CNetStream::Read(std::size_t max) {
    const std::size_t n = std::min(max, BytesAvailable());
    std::string bytes = m_in.substr(m_inAt, n);
    m_inAt += n;
    // The bytes taken leave the buffer once they are as many as those kept, so that a reader
    // which never takes everything does not hold all it ever received.
    if (m_inAt >= m_in.size() - m_inAt) {
        m_in.erase(0, m_inAt);
        m_inAt = 0;
    }
    // Room again: the socket is read on.
    if (IsOpen() && !m_bReadEnded && BytesAvailable() < m_readLimit) {
        m_pRead->setEnabled(true);
    }
    return bytes;
}

void CNetStream::Write(std::string_view bytes) {
    if (!IsOpen() || bytes.empty()) {
        return;
    }
    if (BytesToWrite() == 0) {
        // Nothing waits before these bytes: the system takes what it can at once.
        const NetIo io = NetWrite(m_handle, bytes.data(), bytes.size());
        if (io.status != NetStatus::Ok && io.status != NetStatus::WouldBlock) {
            // The caller is in the middle of its work: it hears of the end afterwards.
            m_bEnded = true;
            m_pRead->setEnabled(false);
            QMetaObject::invokeMethod(this, &CNetStream::End, Qt::QueuedConnection);
            return;
        }
        bytes.remove_prefix(io.bytes);
        if (bytes.empty()) {
            return;
        }
        m_out.clear();
        m_outAt = 0;
    }
    m_out.append(bytes);
    m_pWrite->setEnabled(true);
}

void CNetStream::Abort() {
    if (m_handle == NET_NONE) {
        return;
    }
    delete m_pRead;
    delete m_pWrite;
    m_pRead = nullptr;
    m_pWrite = nullptr;
    NetClose(m_handle);
    m_handle = NET_NONE;
    m_out.clear();
    m_outAt = 0;
}

void CNetStream::OnReadable() {
    bool arrived = false;
    bool ended = false;
    bool peerDone = false;
    while (BytesAvailable() < m_readLimit) {
        char chunk[READ_CHUNK];
        const NetIo io =
            NetRead(m_handle, chunk, std::min(sizeof chunk, m_readLimit - BytesAvailable()));
        if (io.bytes > 0) {
            m_in.append(chunk, io.bytes);
            arrived = true;
            continue;
        }
        // The peer's end of its sending is no end of the connection: it may still read.
        peerDone = io.status == NetStatus::Closed;
        ended = io.status != NetStatus::WouldBlock && !peerDone;
        break;
    }
    m_bReadEnded = m_bReadEnded || peerDone;
    // Full: the socket waits until Read makes room (the event loop would report it readable
    // at every turn otherwise, as it would a socket whose peer sends no more).
    m_pRead->setEnabled(!ended && !m_bReadEnded && BytesAvailable() < m_readLimit);
    QPointer<CNetStream> self(this);
    if (arrived) {
        emit readyRead();
    }
    if (peerDone && self != nullptr && m_handle != NET_NONE) {
        emit readEnded();
    }
    if (ended && self != nullptr) {
        End();
    }
}

void CNetStream::OnWritable() {
    while (BytesToWrite() > 0) {
        const NetIo io = NetWrite(m_handle, m_out.data() + m_outAt, BytesToWrite());
        if (io.bytes > 0) {
            m_outAt += io.bytes;
            continue;
        }
        if (io.status != NetStatus::WouldBlock) {
            End();
            return;
        }
        break;
    }
    // Sent bytes leave the queue once they are as many as those waiting (a peer that reads
    // steadily but slowly keeps the queue short instead of growing).
    if (m_outAt >= BytesToWrite()) {
        m_out.erase(0, m_outAt);
        m_outAt = 0;
    }
    if (BytesToWrite() == 0) {
        m_pWrite->setEnabled(false);
    }
    emit bytesWritten();
}

void CNetStream::End() {
    if (m_handle == NET_NONE || m_bToldEnd) {
        return; // aborted meanwhile, or told already
    }
    m_bEnded = true;
    m_bToldEnd = true;
    m_pRead->setEnabled(false);
    m_pWrite->setEnabled(false);
    m_out.clear();
    m_outAt = 0;
    emit disconnected();
}
