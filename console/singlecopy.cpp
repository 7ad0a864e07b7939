#include "singlecopy.h"

#include "framework.h"
#include "singlecopy_os.h"

#include <QCryptographicHash>

namespace {

// A copy that holds the name but has a full queue of connections is given this long to take
// the request.
constexpr int CONNECT_WAIT_MS = 3000;

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

CSingleCopy::CSingleCopy(QObject* parent) : QObject(parent) {}

CSingleCopy::~CSingleCopy() {
    StopListening();
}

void CSingleCopy::StopListening() {
    if (m_pServer) {
        m_pServer->Close();
        m_pServer.reset();
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
    std::string error;
    const std::string folder = SingleCopyFolder(&error);
    if (folder.empty()) {
        qCWarning(lcMorvaneShell, "single-copy: %s", error.c_str());
        return {};
    }
    std::string path = SingleCopyEndpoint(folder, name.toStdString());
    if (path.size() > SingleCopyEndpointMax()) {
        // A socket path holds about a hundred bytes; a long folder leaves too little for the
        // name. The file then takes a short name made from the full one, which every copy
        // derives alike.
        const QByteArray digest =
            QCryptographicHash::hash(name.toUtf8(), QCryptographicHash::Sha1).toHex().left(12);
        path = SingleCopyEndpoint(folder, "Morvane-" + digest.toStdString());
    }
    return path;
}

bool CSingleCopy::AskToRaise(const QString& name) {
    if (!IsServerName(name)) {
        qCDebug(lcMorvaneShell, "single-copy: \"%s\" is no server name", qUtf8Printable(name));
        return false;
    }
    const std::string path = SocketPath(name);
    if (path.empty()) {
        return false;
    }
    std::string error;
    switch (SingleCopySendRaise(path, CONNECT_WAIT_MS, &error)) {
    case SingleCopyAsk::Asked:
        qCDebug(lcMorvaneShell, "single-copy: asked the copy on %s to raise", qUtf8Printable(name));
        return true;
    case SingleCopyAsk::Busy:
        // A copy that has not taken the connections waiting on it yet is there, only busy.
        qCWarning(lcMorvaneShell, "single-copy: the copy on %s does not answer",
                  qUtf8Printable(name));
        return true;
    case SingleCopyAsk::Stale:
        // A socket file without a listener: its copy ended without closing it.
        if (SingleCopyRemoveStale(path)) {
            qCDebug(lcMorvaneShell, "single-copy: removed the stale socket %s",
                    qUtf8Printable(name));
        }
        break;
    case SingleCopyAsk::Nobody:
        break;
    }
    qCDebug(lcMorvaneShell, "single-copy: nobody listens on %s%s%s", qUtf8Printable(name),
            error.empty() ? "" : ": ", error.c_str());
    return false;
}

CSingleCopy::ListenResult CSingleCopy::Listen(const QString& name) {
    StopListening();
    const std::string path = SocketPath(name);
    if (path.empty()) {
        return ListenResult::Failed;
    }
    auto onRaise = [this] {
        qCDebug(lcMorvaneShell, "raise-request");
        emit raiseRequested();
    };
    SingleCopyTake take = SingleCopyTake::Failed;
    std::string error;
    m_pServer = SingleCopyListen(path, onRaise, &take, &error);
    if (!m_pServer && take == SingleCopyTake::InUse) {
        // Either a copy that started at the same moment took the name first, or a copy that
        // ended left its socket file (which AskToRaise removes).
        if (AskToRaise(name)) {
            return ListenResult::AlreadyRunning;
        }
        m_pServer = SingleCopyListen(path, onRaise, &take, &error);
    }
    if (m_pServer) {
        m_strName = name;
        qCDebug(lcMorvaneShell, "single-copy: listening on %s", qUtf8Printable(name));
        return ListenResult::Listening;
    }
    qCWarning(lcMorvaneShell, "single-copy: cannot listen on %s: %s", qUtf8Printable(name),
              error.c_str());
    return ListenResult::Failed;
}

bool CSingleCopy::IsListening() const {
    return m_pServer != nullptr;
}

QString CSingleCopy::ServerName() const {
    return m_strName;
}
