// The single-copy endpoint on Windows: a named mutex and a named pipe.
//
// The mutex ("Local\<name>", this logon session's namespace) says that a copy runs; the system
// releases it when the copy ends, crashed or not, so nothing stale is ever left behind. The pipe
// ("\\.\pipe\<name>", one instance, inbound only, local clients only) takes the raise requests.
// Its default security lets only this user, administrators and the system write to it. Both
// work on every Windows and under Wine, which has no Unix-domain sockets.
#include "singlecopy_os.h"

#include <QTimer>
#include <QWinEventNotifier>

#include <windows.h>

#include <chrono>
#include <thread>

namespace {

std::wstring Wide(const std::string& text) {
    if (text.empty()) {
        return {};
    }
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
    return wide;
}

std::string SystemText(DWORD error) {
    wchar_t* buffer = nullptr;
    const DWORD n = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::string text = "error " + std::to_string(error);
    if (n > 0 && buffer != nullptr) {
        const QString message = QString::fromWCharArray(buffer, static_cast<qsizetype>(n));
        text = message.trimmed().toStdString();
    }
    LocalFree(buffer);
    return text;
}

constexpr char PIPE_PREFIX[] = "\\\\.\\pipe\\";

// The mutex's name for a pipe's name.
std::wstring MutexName(const std::string& endpoint) {
    return L"Local\\" + Wide(endpoint.substr(sizeof(PIPE_PREFIX) - 1));
}

bool MutexExists(const std::string& endpoint) {
    HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, MutexName(endpoint).c_str());
    if (mutex == nullptr) {
        return false;
    }
    CloseHandle(mutex);
    return true;
}

// The pipe server: waits for one client at a time (ConnectNamedPipe, overlapped), reads its
// request (overlapped), then disconnects it and waits for the next. The event loop learns of
// both completions through the overlapped event.
class CPipeListener : public CSingleCopyListener {
public:
    CPipeListener(HANDLE mutex, HANDLE pipe, std::function<void()> onRaise)
        : m_mutex(mutex), m_pipe(pipe), m_onRaise(std::move(onRaise)) {
        m_overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        m_notifier = new QWinEventNotifier(m_overlapped.hEvent, this);
        connect(m_notifier, &QWinEventNotifier::activated, this, [this] { OnEvent(); });
        m_limit = new QTimer(this);
        m_limit->setSingleShot(true);
        connect(m_limit, &QTimer::timeout, this, [this] {
            // A client that connected and sent nothing: drop it.
            if (m_state == State::Reading) {
                CancelIo(m_pipe);
                DWORD n = 0;
                GetOverlappedResult(m_pipe, &m_overlapped, &n, TRUE);
                Restart();
            }
        });
        Restart();
    }
    ~CPipeListener() override { Close(); }

    void Close() override {
        if (m_pipe == INVALID_HANDLE_VALUE) {
            return;
        }
        m_notifier->setEnabled(false);
        m_limit->stop();
        CancelIo(m_pipe);
        DWORD n = 0;
        GetOverlappedResult(m_pipe, &m_overlapped, &n, TRUE);
        CloseHandle(m_pipe);
        m_pipe = INVALID_HANDLE_VALUE;
        CloseHandle(m_overlapped.hEvent);
        CloseHandle(m_mutex);
    }

private:
    enum class State { Connecting, Reading, Idle };

    // Waits for the next client.
    void Restart() {
        DisconnectNamedPipe(m_pipe);
        m_request.clear();
        m_state = State::Connecting;
        const BOOL connected = ConnectNamedPipe(m_pipe, &m_overlapped);
        const DWORD e = connected ? ERROR_SUCCESS : GetLastError();
        if (connected || e == ERROR_PIPE_CONNECTED) {
            // The client came between creating the pipe and this call: the overlapped record
            // took no part, so the event handler must not ask it.
            m_connectedAtOnce = true;
            SetEvent(m_overlapped.hEvent);
        } else if (e != ERROR_IO_PENDING) {
            m_state = State::Idle;
            QTimer::singleShot(100, this, [this] {
                if (m_pipe != INVALID_HANDLE_VALUE) {
                    Restart();
                }
            });
        }
    }

    void StartRead() {
        m_state = State::Reading;
        m_limit->start(SINGLE_COPY_REQUEST_WAIT_MS);
        const DWORD want = static_cast<DWORD>(SINGLE_COPY_REQUEST_SIZE - m_request.size());
        if (!ReadFile(m_pipe, m_buffer, want, nullptr, &m_overlapped) &&
            GetLastError() != ERROR_IO_PENDING) {
            m_limit->stop();
            Restart();
        }
    }

    void OnEvent() {
        if (m_state == State::Connecting && m_connectedAtOnce) {
            m_connectedAtOnce = false;
            ResetEvent(m_overlapped.hEvent);
            StartRead();
            return;
        }
        DWORD n = 0;
        const BOOL ok = GetOverlappedResult(m_pipe, &m_overlapped, &n, FALSE);
        if (!ok && GetLastError() == ERROR_IO_INCOMPLETE) {
            return;
        }
        ResetEvent(m_overlapped.hEvent);
        if (m_state == State::Connecting) {
            if (ok || GetLastError() == ERROR_PIPE_CONNECTED) {
                StartRead();
            } else {
                Restart();
            }
            return;
        }
        if (m_state != State::Reading) {
            return;
        }
        if (ok && n > 0) {
            m_request.append(m_buffer, n);
            if (m_request.size() < SINGLE_COPY_REQUEST_SIZE) {
                StartRead();
                return;
            }
        }
        m_limit->stop();
        const bool raise = m_request == SINGLE_COPY_REQUEST;
        Restart();
        if (raise) {
            m_onRaise();
        }
    }

    HANDLE m_mutex;
    HANDLE m_pipe;
    std::function<void()> m_onRaise;
    OVERLAPPED m_overlapped{};
    QWinEventNotifier* m_notifier = nullptr;
    QTimer* m_limit = nullptr;
    State m_state = State::Idle;
    bool m_connectedAtOnce = false;
    char m_buffer[SINGLE_COPY_REQUEST_SIZE] = {};
    std::string m_request;
};

} // namespace

std::size_t SingleCopyEndpointMax() {
    return 256; // a pipe name's limit, in characters
}

std::string SingleCopyFolder(std::string* /*error*/) {
    return PIPE_PREFIX; // pipe names are one flat namespace
}

std::string SingleCopyEndpoint(const std::string& folder, const std::string& fileName) {
    return folder + fileName;
}

std::unique_ptr<CSingleCopyListener> SingleCopyListen(const std::string& endpoint,
                                                      std::function<void()> onRaise,
                                                      SingleCopyTake* result, std::string* error) {
    *result = SingleCopyTake::Failed;
    HANDLE mutex = CreateMutexW(nullptr, FALSE, MutexName(endpoint).c_str());
    if (mutex == nullptr) {
        *error = SystemText(GetLastError());
        return nullptr;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        *result = SingleCopyTake::InUse;
        *error = "another copy holds the name";
        return nullptr;
    }
    HANDLE pipe = CreateNamedPipeW(
        Wide(endpoint).c_str(),
        PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0, 64, 0,
        nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
        const DWORD e = GetLastError();
        CloseHandle(mutex);
        *result = (e == ERROR_ACCESS_DENIED || e == ERROR_PIPE_BUSY) ? SingleCopyTake::InUse
                                                                     : SingleCopyTake::Failed;
        *error = SystemText(e);
        return nullptr;
    }
    *result = SingleCopyTake::Taken;
    return std::make_unique<CPipeListener>(mutex, pipe, std::move(onRaise));
}

SingleCopyAsk SingleCopySendRaise(const std::string& endpoint, int waitMs, std::string* error) {
    const std::wstring name = Wide(endpoint);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    auto left = [&deadline] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   deadline - std::chrono::steady_clock::now())
            .count();
    };
    HANDLE pipe = INVALID_HANDLE_VALUE;
    for (;;) {
        pipe = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) {
            break;
        }
        const DWORD e = GetLastError();
        if (e == ERROR_PIPE_BUSY) {
            // The one instance serves another client: wait for it to be free.
            if (left() <= 0) {
                return SingleCopyAsk::Busy;
            }
            WaitNamedPipeW(name.c_str(), static_cast<DWORD>(left()));
            continue;
        }
        if (e == ERROR_FILE_NOT_FOUND && MutexExists(endpoint)) {
            // A copy holds the name but has no pipe instance this moment (it is starting, or
            // between two clients).
            if (left() <= 0) {
                return SingleCopyAsk::Busy;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            continue;
        }
        *error = SystemText(e);
        return SingleCopyAsk::Nobody;
    }
    DWORD written = 0;
    const BOOL ok =
        WriteFile(pipe, SINGLE_COPY_REQUEST, SINGLE_COPY_REQUEST_SIZE, &written, nullptr);
    // The bytes stay readable in the pipe after this end closes; no flush, which would wait for a
    // copy that may not be reading.
    CloseHandle(pipe);
    return ok && written == SINGLE_COPY_REQUEST_SIZE ? SingleCopyAsk::Asked : SingleCopyAsk::Busy;
}

bool SingleCopyRemoveStale(const std::string& /*endpoint*/) {
    return false; // the system removes the mutex and the pipe with their copy
}
