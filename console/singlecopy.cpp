#include "singlecopy.h"

#include "framework.h"

#include "netnotify.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QThread>
#include <QTimer>

namespace {

const QByteArray RAISE_REQUEST = QByteArrayLiteral("morvane:raise\n");

// A local connect succeeds or fails at once unless the running copy has a full queue of
// connections; then it is tried again for a while. The write limit guards against a copy that
// stopped reading.
constexpr int CONNECT_WAIT_MS = 3000;
constexpr int CONNECT_RETRY_MS = 20;
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

CSingleCopy::CSingleCopy(QObject* parent) : QObject(parent), m_pServer(new CNetListener(this)) {
    connect(m_pServer, &CNetListener::newConnection, this, &CSingleCopy::OnNewConnection);
}

CSingleCopy::~CSingleCopy() {
    StopListening();
}

void CSingleCopy::StopListening() {
    if (m_pServer->IsListening()) {
        // The socket file goes first, so the next copy finds no file at all, and a copy that
        // starts meanwhile and makes its own file does not lose it to this one.
        NetRemoveLocal(SocketPath(m_strName));
        m_pServer->Close();
    }
    m_strName.clear();
}

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

std::string CSingleCopy::SocketPath(const QString& name) {
    // UTF-8: the file system's encoding here, and what Winsock reads local socket paths as.
    const QString folder = QDir::tempPath() + QLatin1Char('/');
    std::string path = QDir::toNativeSeparators(folder + name).toUtf8().toStdString();
    if (path.size() > NetLocalPathMax()) {
        // A socket path holds about a hundred bytes; a long temporary folder (a long user name
        // on Windows) leaves too little for the name. The file then takes a short name made
        // from the full one, which every copy derives alike.
        const QByteArray digest =
            QCryptographicHash::hash(name.toUtf8(), QCryptographicHash::Sha1).toHex().left(12);
        path = QDir::toNativeSeparators(folder + QStringLiteral("Morvane-") +
                                        QString::fromLatin1(digest))
                   .toUtf8()
                   .toStdString();
    }
    return path;
}

bool CSingleCopy::AskToRaise(const QString& name) {
    if (!IsServerName(name)) {
        qCDebug(lcMorvaneShell, "single-copy: \"%s\" is no server name", qUtf8Printable(name));
        return false;
    }
    const std::string path = SocketPath(name);
    NetError error;
    NetHandle socket = NetConnectLocal(path, &error);
    // A copy that has not taken the connections waiting on it yet is there, only busy.
    QDeadlineTimer busyLimit(CONNECT_WAIT_MS);
    while (socket == NET_NONE && error.status == NetStatus::WouldBlock) {
        if (busyLimit.hasExpired()) {
            qCWarning(lcMorvaneShell, "single-copy: the copy on %s does not answer",
                      qUtf8Printable(name));
            return true;
        }
        QThread::msleep(CONNECT_RETRY_MS);
        socket = NetConnectLocal(path, &error);
    }
    if (socket == NET_NONE) {
        if (error.status == NetStatus::Refused) {
            // A socket file without a listener: its copy ended without closing it.
            NetRemoveLocal(path);
            qCDebug(lcMorvaneShell, "single-copy: removed the stale socket %s",
                    qUtf8Printable(name));
        }
        qCDebug(lcMorvaneShell, "single-copy: nobody listens on %s", qUtf8Printable(name));
        return false;
    }
    std::string_view request(RAISE_REQUEST.constData(),
                             static_cast<std::size_t>(RAISE_REQUEST.size()));
    while (!request.empty()) {
        const NetIo io = NetWrite(socket, request.data(), request.size());
        if (io.bytes > 0) {
            request.remove_prefix(io.bytes);
        } else if (io.status != NetStatus::WouldBlock || !NetWait(socket, true, WRITE_WAIT_MS)) {
            break;
        }
    }
    NetClose(socket);
    qCDebug(lcMorvaneShell, "single-copy: asked the copy on %s to raise", qUtf8Printable(name));
    return true;
}

CSingleCopy::ListenResult CSingleCopy::Listen(const QString& name) {
    StopListening();
    const std::string path = SocketPath(name);
    // The socket file gets the default mode, which already keeps other users from connecting.
    // A file that is there is never replaced while a copy may still listen on it.
    NetError error;
    if (!m_pServer->ListenLocal(path, &error) && error.status == NetStatus::InUse) {
        // Either a copy that started at the same moment took the name first, or a copy that
        // ended left its socket file (which AskToRaise removes).
        if (AskToRaise(name)) {
            return ListenResult::AlreadyRunning;
        }
        (void)m_pServer->ListenLocal(path, &error);
    }
    if (m_pServer->IsListening()) {
        m_strName = name;
        qCDebug(lcMorvaneShell, "single-copy: listening on %s", qUtf8Printable(name));
        return ListenResult::Listening;
    }
    qCWarning(lcMorvaneShell, "single-copy: cannot listen on %s: %s", qUtf8Printable(name),
              error.text.c_str());
    return ListenResult::Failed;
}

bool CSingleCopy::IsListening() const {
    return m_pServer->IsListening();
}

QString CSingleCopy::ServerName() const {
    return m_strName;
}

void CSingleCopy::OnNewConnection() {
    for (NetHandle handle; (handle = m_pServer->Accept(nullptr)) != NET_NONE;) {
        auto* socket = new CNetStream(handle, static_cast<std::size_t>(RAISE_REQUEST.size()), this);
        auto take = [this, socket]() {
            // Read only as much as a request can be; anything else is dropped with the
            // connection.
            if (socket->BytesAvailable() < static_cast<std::size_t>(RAISE_REQUEST.size()) &&
                socket->IsOpen()) {
                return;
            }
            const std::string request =
                socket->Read(static_cast<std::size_t>(RAISE_REQUEST.size()));
            socket->disconnect(this);
            socket->Abort();
            socket->deleteLater();
            if (request == RAISE_REQUEST.toStdString()) {
                qCDebug(lcMorvaneShell, "raise-request");
                emit raiseRequested();
            }
        };
        connect(socket, &CNetStream::readyRead, this, take);
        connect(socket, &CNetStream::disconnected, this, take);
        QTimer::singleShot(REQUEST_WAIT_MS, socket, [socket] {
            socket->Abort();
            socket->deleteLater();
        });
    }
}
