// Sockets on the user-interface thread's event loop: a listener that announces waiting
// connections, and a stream with a bounded receive buffer and a send queue. The sockets are the
// operating system's (net/netsock.h); the event loop watches them through QSocketNotifier.
#pragma once

#include "netsock.h"

#include <QObject>

#include <cstddef>
#include <string>
#include <string_view>

class QSocketNotifier;

class CNetListener : public QObject {
    Q_OBJECT

public:
    explicit CNetListener(QObject* parent = nullptr);
    ~CNetListener() override;
    CNetListener(const CNetListener&) = delete;
    CNetListener& operator=(const CNetListener&) = delete;

    // Listens for TCP clients (NetListenTcp) or on a local socket (NetListenLocal), after closing
    // what this listener had. False with *error.
    bool ListenTcp(const std::string& host, std::uint16_t port, NetError* error);
    bool ListenLocal(const std::string& path, NetError* error);
    void Close();

    bool IsListening() const { return m_handle != NET_NONE; }
    std::uint16_t Port() const;

    // The next waiting connection, non-blocking (NetAccept); NET_NONE when none waits.
    NetHandle Accept(NetPeer* peer);

signals:
    // Connections wait; take them all with Accept (the signal comes again while any waits).
    void newConnection();

private:
    void Watch(NetHandle handle);

    NetHandle m_handle = NET_NONE;
    QSocketNotifier* m_pNotifier = nullptr;
};

class CNetStream : public QObject {
    Q_OBJECT

public:
    // Takes over a connected, non-blocking socket, which it closes when destroyed. At most
    // readLimit received bytes are kept; beyond that the socket is not read (the peer's further
    // bytes wait in the system and then in the network) until Read makes room.
    CNetStream(NetHandle handle, std::size_t readLimit, QObject* parent = nullptr);
    ~CNetStream() override;
    CNetStream(const CNetStream&) = delete;
    CNetStream& operator=(const CNetStream&) = delete;

    // Received bytes not yet taken.
    std::size_t BytesAvailable() const { return m_in.size() - m_inAt; }
    // Takes up to max received bytes.
    std::string Read(std::size_t max);

    // Sends bytes: what the system takes now at once, the rest as the peer reads.
    void Write(std::string_view bytes);
    // Bytes queued and not yet taken by the system.
    std::size_t BytesToWrite() const { return m_out.size() - m_outAt; }

    // False once the connection ended (the received bytes can still be read) or was aborted.
    // A peer that only ended its sending side (a half-close) keeps the stream open for writing.
    bool IsOpen() const { return m_handle != NET_NONE && !m_bEnded; }
    // True once the peer has said it sends no more (a half-close, or a close that looks the
    // same until a write is answered by a reset).
    bool ReadEnded() const { return m_bReadEnded; }
    // Closes the connection at once, dropping what was queued; no signal follows.
    void Abort();

signals:
    // Bytes have arrived.
    void readyRead();
    // Queued bytes went out.
    void bytesWritten();
    // The peer sends no more but may still read; once, after the last readyRead.
    void readEnded();
    // The peer reset the connection, or it failed (a write found the peer gone); once, after
    // the last readyRead.
    void disconnected();

private:
    void OnReadable();
    void OnWritable();
    // The connection ended: no more reading or writing, and disconnected is emitted (once).
    void End();

    NetHandle m_handle;
    std::size_t m_readLimit;
    QSocketNotifier* m_pRead = nullptr;
    QSocketNotifier* m_pWrite = nullptr;
    std::string m_in;
    std::size_t m_inAt = 0;
    std::string m_out;
    std::size_t m_outAt = 0;
    bool m_bEnded = false;
    bool m_bReadEnded = false;
    bool m_bToldEnd = false; // disconnected was emitted
};
