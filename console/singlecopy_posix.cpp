// The single-copy endpoint on POSIX: a Unix-domain socket in a folder only this user can enter.
//
// The shared temporary folder is no place for it: another local user could make a file under
// the predictable name first, and every start of the console would then find the name taken.
// So the socket lives in $XDG_RUNTIME_DIR (made by the login for this user alone) or else in
// <tmp>/morvane-<uid>, made with mode 0700; a folder that is not this user's, or that others may
// enter, is not used. Connections from processes of other users are closed unread.
#include "singlecopy_os.h"

#include <QDir>
#include <QFile>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <thread>

namespace {

std::string SystemText(int error) {
    return std::strerror(error);
}

// True when path is a folder (not a link to one) of this user that nobody else may enter.
bool IsPrivateFolder(const std::string& path, std::string* why) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) {
        *why = path + ": " + SystemText(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        *why = path + " is not a folder";
        return false;
    }
    if (st.st_uid != geteuid()) {
        *why = path + " belongs to another user";
        return false;
    }
    if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        *why = path + " may be entered by other users";
        return false;
    }
    return true;
}

bool FillAddress(const std::string& path, sockaddr_un* address) {
    std::memset(address, 0, sizeof(*address));
    address->sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(address->sun_path)) {
        return false;
    }
    std::memcpy(address->sun_path, path.data(), path.size());
    return true;
}

// The user id of the peer of a connected local socket; false when the system does not say.
bool PeerUid(int fd, uid_t* uid) {
#if defined(SO_PEERCRED)
    struct ucred cred {};
    socklen_t length = sizeof(cred);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0) {
        return false;
    }
    *uid = cred.uid;
    return true;
#else
    gid_t gid = 0;
    return getpeereid(fd, uid, &gid) == 0;
#endif
}

// Descriptors of ours are not inherited by programs the console starts, and never block.
void MakeNonBlocking(int fd) {
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

int LocalSocket() {
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd >= 0) {
        MakeNonBlocking(fd);
    }
    return fd;
}

// One accepted connection that has not sent its request yet.
struct Pending {
    int fd = -1;
    std::string request;
    QSocketNotifier* notifier = nullptr;
    QTimer* limit = nullptr;
};

class CPosixListener : public CSingleCopyListener {
public:
    CPosixListener(int fd, std::string path, std::function<void()> onRaise)
        : m_fd(fd), m_path(std::move(path)), m_onRaise(std::move(onRaise)),
          m_notifier(new QSocketNotifier(fd, QSocketNotifier::Read, this)) {
        connect(m_notifier, &QSocketNotifier::activated, this, [this] { OnAcceptable(); });
    }
    ~CPosixListener() override { Close(); }

    void Close() override {
        if (m_fd < 0) {
            return;
        }
        // The socket file goes first, so the next copy finds no file at all, and a copy that
        // starts meanwhile and makes its own file does not lose it to this one.
        unlink(m_path.c_str());
        m_notifier->setEnabled(false);
        ::close(m_fd);
        m_fd = -1;
        while (!m_pending.empty()) {
            Drop(m_pending.begin()->first);
        }
    }

private:
    void OnAcceptable() {
        for (;;) {
            const int fd = accept(m_fd, nullptr, nullptr);
            if (fd < 0) {
                if (errno == EINTR) {
                    continue;
                }
                if (errno != EAGAIN && errno != EWOULDBLOCK) {
                    // Out of descriptors, say: rest a moment instead of being woken at once
                    // again for the same connection.
                    m_notifier->setEnabled(false);
                    QTimer::singleShot(100, this, [this] {
                        if (m_fd >= 0) {
                            m_notifier->setEnabled(true);
                        }
                    });
                }
                return;
            }
            uid_t uid = 0;
            if (!PeerUid(fd, &uid) || uid != geteuid() ||
                static_cast<int>(m_pending.size()) >= SINGLE_COPY_PENDING_MAX) {
                ::close(fd);
                continue;
            }
            MakeNonBlocking(fd);
            Pending& p = m_pending[fd];
            p.fd = fd;
            p.notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
            connect(p.notifier, &QSocketNotifier::activated, this, [this, fd] { OnReadable(fd); });
            p.limit = new QTimer(this);
            p.limit->setSingleShot(true);
            connect(p.limit, &QTimer::timeout, this, [this, fd] { Drop(fd); });
            p.limit->start(SINGLE_COPY_REQUEST_WAIT_MS);
        }
    }

    void OnReadable(int fd) {
        auto it = m_pending.find(fd);
        if (it == m_pending.end()) {
            return;
        }
        Pending& p = it->second;
        char buffer[SINGLE_COPY_REQUEST_SIZE];
        const std::size_t want = SINGLE_COPY_REQUEST_SIZE - p.request.size();
        const ssize_t n = ::read(fd, buffer, want);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            return;
        }
        if (n > 0) {
            p.request.append(buffer, static_cast<std::size_t>(n));
            if (p.request.size() < SINGLE_COPY_REQUEST_SIZE) {
                return;
            }
        }
        // A whole request, the end of the stream or an error: this connection is done.
        const bool raise = p.request == SINGLE_COPY_REQUEST;
        Drop(fd);
        if (raise) {
            m_onRaise();
        }
    }

    void Drop(int fd) {
        auto it = m_pending.find(fd);
        if (it == m_pending.end()) {
            return;
        }
        it->second.notifier->setEnabled(false);
        it->second.notifier->deleteLater();
        it->second.limit->stop();
        it->second.limit->deleteLater();
        ::close(fd);
        m_pending.erase(it);
    }

    int m_fd;
    std::string m_path;
    std::function<void()> m_onRaise;
    QSocketNotifier* m_notifier;
    std::map<int, Pending> m_pending;
};

} // namespace

std::size_t SingleCopyEndpointMax() {
    return sizeof(sockaddr_un{}.sun_path) - 1;
}

std::string SingleCopyFolder(std::string* error) {
    std::string why;
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && IsPrivateFolder(runtime.toStdString(), &why)) {
        return runtime.toStdString();
    }
    const std::string folder =
        QFile::encodeName(QDir::tempPath()).toStdString() + "/morvane-" + std::to_string(geteuid());
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        *error = "cannot make " + folder + ": " + SystemText(errno);
        return {};
    }
    if (!IsPrivateFolder(folder, &why)) {
        *error = why;
        return {};
    }
    return folder;
}

std::string SingleCopyEndpoint(const std::string& folder, const std::string& fileName) {
    return folder + "/" + fileName;
}

std::unique_ptr<CSingleCopyListener> SingleCopyListen(const std::string& endpoint,
                                                      std::function<void()> onRaise,
                                                      SingleCopyTake* result, std::string* error) {
    *result = SingleCopyTake::Failed;
    sockaddr_un address{};
    if (!FillAddress(endpoint, &address)) {
        *error = "the socket path is too long";
        return nullptr;
    }
    const int fd = LocalSocket();
    if (fd < 0) {
        *error = SystemText(errno);
        return nullptr;
    }
    // The file gets the default mode; the folder already keeps other users out.
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        const int e = errno;
        ::close(fd);
        *result = e == EADDRINUSE ? SingleCopyTake::InUse : SingleCopyTake::Failed;
        *error = SystemText(e);
        return nullptr;
    }
    // A short queue: a raise request is one small write, and a flood of connections must not
    // pile up in the kernel on this copy's behalf.
    if (listen(fd, SINGLE_COPY_PENDING_MAX) != 0) {
        *error = SystemText(errno);
        unlink(endpoint.c_str());
        ::close(fd);
        return nullptr;
    }
    *result = SingleCopyTake::Taken;
    return std::make_unique<CPosixListener>(fd, endpoint, std::move(onRaise));
}

SingleCopyAsk SingleCopySendRaise(const std::string& endpoint, int waitMs, std::string* error) {
    sockaddr_un address{};
    if (!FillAddress(endpoint, &address)) {
        *error = "the socket path is too long";
        return SingleCopyAsk::Nobody;
    }
    // Only a socket of this user is contacted (or removed when stale).
    struct stat st {};
    if (lstat(endpoint.c_str(), &st) != 0) {
        return SingleCopyAsk::Nobody;
    }
    if (!S_ISSOCK(st.st_mode) || st.st_uid != geteuid()) {
        *error = endpoint + " is not a socket of this user";
        return SingleCopyAsk::Nobody;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    int fd = -1;
    for (;;) {
        fd = LocalSocket();
        if (fd < 0) {
            *error = SystemText(errno);
            return SingleCopyAsk::Nobody;
        }
        if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) {
            break;
        }
        const int e = errno;
        ::close(fd);
        if (e == ECONNREFUSED) {
            return SingleCopyAsk::Stale;
        }
        if (e != EAGAIN && e != EINPROGRESS && e != EINTR) {
            *error = SystemText(e);
            return SingleCopyAsk::Nobody;
        }
        // The running copy's queue is full: it is there, only busy.
        if (std::chrono::steady_clock::now() >= deadline) {
            return SingleCopyAsk::Busy;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::size_t sent = 0;
    while (sent < SINGLE_COPY_REQUEST_SIZE) {
        const ssize_t n = send(fd, SINGLE_COPY_REQUEST + sent, SINGLE_COPY_REQUEST_SIZE - sent,
#ifdef MSG_NOSIGNAL
                               MSG_NOSIGNAL
#else
                               0
#endif
        );
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{fd, POLLOUT, 0};
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() > 0 && poll(&p, 1, static_cast<int>(left.count())) > 0) {
                continue;
            }
        }
        break;
    }
    ::close(fd);
    return sent == SINGLE_COPY_REQUEST_SIZE ? SingleCopyAsk::Asked : SingleCopyAsk::Busy;
}

bool SingleCopyRemoveStale(const std::string& endpoint) {
    struct stat st {};
    if (lstat(endpoint.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode) || st.st_uid != geteuid()) {
        return false;
    }
    return unlink(endpoint.c_str()) == 0;
}
