#include "singlecopy.h"

#include "framework.h"

#include <QCryptographicHash>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>

namespace {

const QByteArray RAISE_REQUEST = QByteArrayLiteral("morvane:raise\n");

// A local connect either succeeds or fails at once; the limits only guard against a peer that
// stopped reading.
constexpr int CONNECT_WAIT_MS = 3000;
constexpr int WRITE_WAIT_MS = 3000;
// A peer that connects and sends nothing is dropped after this long.
constexpr int REQUEST_WAIT_MS = 5000;

// The characters a user name keeps in the server name (plain loops: the console uses no
// regular expressions otherwise, and compiling one costs start-up time and memory).
bool IsNameChar(QChar c) {
    const char16_t u = c.unicode();
    return (u >= u'A' && u <= u'Z') || (u >= u'a' && u <= u'z') || (u >= u'0' && u <= u'9') ||
           u == u'.' || u == u'_';
}

QString SanitisedUserName() {
    QString user = qEnvironmentVariable("USER");
    if (user.isEmpty()) {
        user = qEnvironmentVariable("USERNAME");
    }
    if (user.isEmpty()) {
        user = QStringLiteral("user");
    }
    for (QChar& c : user) {
        if (!IsNameChar(c)) {
            c = QLatin1Char('_');
        }
    }
    return user.left(32);
}

} // namespace

CSingleCopy::CSingleCopy(QObject* parent) : QObject(parent), m_pServer(new QLocalServer(this)) {
    connect(m_pServer, &QLocalServer::newConnection, this, &CSingleCopy::OnNewConnection);
}

CSingleCopy::~CSingleCopy() = default;

QString CSingleCopy::DefaultServerName() {
    const QByteArray digest =
        QCryptographicHash::hash(FwProfileLocation().toUtf8(), QCryptographicHash::Sha1).toHex();
    return QStringLiteral("Morvane-%1-%2")
        .arg(SanitisedUserName(), QString::fromLatin1(digest.left(12)));
}

bool CSingleCopy::IsServerName(const QString& name) {
    // "Morvane-" <1 to 32 name characters> "-" <12 lower-case hex digits>
    static const QString prefix = QStringLiteral("Morvane-");
    constexpr qsizetype DIGEST_LENGTH = 12;
    if (!name.startsWith(prefix) || name.size() < prefix.size() + 1 + 1 + DIGEST_LENGTH) {
        return false;
    }
    const qsizetype dash = name.size() - DIGEST_LENGTH - 1;
    const qsizetype userLength = dash - prefix.size();
    if (name.at(dash) != QLatin1Char('-') || userLength > 32) {
        return false;
    }
    for (qsizetype i = prefix.size(); i < dash; ++i) {
        if (!IsNameChar(name.at(i))) {
            return false;
        }
    }
    for (qsizetype i = dash + 1; i < name.size(); ++i) {
        const char16_t u = name.at(i).unicode();
        if (!((u >= u'0' && u <= u'9') || (u >= u'a' && u <= u'f'))) {
            return false;
        }
    }
    return true;
}

bool CSingleCopy::AskToRaise(const QString& name) {
    if (!IsServerName(name)) {
        qCDebug(lcMorvaneShell, "single-copy: \"%s\" is no server name", qUtf8Printable(name));
        return false;
    }
    QLocalSocket socket;
    socket.connectToServer(name);
    if (!socket.waitForConnected(CONNECT_WAIT_MS)) {
        if (socket.error() == QLocalSocket::ConnectionRefusedError) {
            // A socket file without a listener: its copy ended without closing it.
            QLocalServer::removeServer(name);
            qCDebug(lcMorvaneShell, "single-copy: removed the stale socket %s",
                    qUtf8Printable(name));
        }
        qCDebug(lcMorvaneShell, "single-copy: nobody listens on %s", qUtf8Printable(name));
        return false;
    }
    socket.write(RAISE_REQUEST);
    socket.waitForBytesWritten(WRITE_WAIT_MS);
    socket.disconnectFromServer();
    if (socket.state() != QLocalSocket::UnconnectedState) {
        socket.waitForDisconnected(WRITE_WAIT_MS);
    }
    qCDebug(lcMorvaneShell, "single-copy: asked the copy on %s to raise", qUtf8Printable(name));
    return true;
}

CSingleCopy::ListenResult CSingleCopy::Listen(const QString& name) {
    m_pServer->close();
    // No socket options: with them Qt renames its socket into place and would silently
    // replace the socket of a copy that is still running. The default mode already keeps
    // other users from connecting.
    if (m_pServer->listen(name)) {
        qCDebug(lcMorvaneShell, "single-copy: listening on %s", qUtf8Printable(name));
        return ListenResult::Listening;
    }
    if (m_pServer->serverError() == QAbstractSocket::AddressInUseError) {
        // Either a copy that started at the same moment took the name first, or a copy that
        // ended left its socket file.
        if (AskToRaise(name)) {
            return ListenResult::AlreadyRunning;
        }
        if (m_pServer->listen(name)) {
            qCDebug(lcMorvaneShell, "single-copy: listening on %s", qUtf8Printable(name));
            return ListenResult::Listening;
        }
    }
    qCWarning(lcMorvaneShell, "single-copy: cannot listen on %s: %s", qUtf8Printable(name),
              qUtf8Printable(m_pServer->errorString()));
    return ListenResult::Failed;
}

bool CSingleCopy::IsListening() const {
    return m_pServer->isListening();
}

QString CSingleCopy::ServerName() const {
    return m_pServer->serverName();
}

void CSingleCopy::OnNewConnection() {
    while (QLocalSocket* socket = m_pServer->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        auto handle = [this, socket]() {
            // Read only as much as a request can be; anything else is dropped with the
            // connection.
            if (socket->bytesAvailable() < RAISE_REQUEST.size() &&
                socket->state() == QLocalSocket::ConnectedState) {
                return;
            }
            const QByteArray request = socket->read(RAISE_REQUEST.size());
            socket->disconnect(this);
            socket->abort();
            if (request == RAISE_REQUEST) {
                qCDebug(lcMorvaneShell, "raise-request");
                emit raiseRequested();
            }
        };
        connect(socket, &QLocalSocket::readyRead, this, handle);
        connect(socket, &QLocalSocket::disconnected, this, handle);
        QTimer::singleShot(REQUEST_WAIT_MS, socket, &QLocalSocket::abort);
        if (socket->bytesAvailable() > 0) {
            handle();
        }
    }
}
