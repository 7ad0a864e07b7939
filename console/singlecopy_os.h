// The operating system's part of the single-copy rule: where the running copy listens, and how a
// later copy reaches it. singlecopy_posix.cpp and singlecopy_win32.cpp each define exactly these.
//
// POSIX: a Unix-domain socket in a folder that only this user can enter ($XDG_RUNTIME_DIR, else
// a folder of ours with mode 0700 in the temporary folder), accepting only peers of this user.
// Windows: a named mutex in the session's namespace ("Local\<name>"), which the system releases
// when the copy ends however it ends, and a named pipe that takes the raise requests; both are
// in every Windows (and in Wine).
#pragma once

#include <QObject>

#include <functional>
#include <memory>
#include <string>

// What a later copy writes to the running one.
inline constexpr char SINGLE_COPY_REQUEST[] = "morvane:raise\n";
inline constexpr std::size_t SINGLE_COPY_REQUEST_SIZE = sizeof(SINGLE_COPY_REQUEST) - 1;
// A peer that connects and sends nothing is dropped after this long.
inline constexpr int SINGLE_COPY_REQUEST_WAIT_MS = 5000;
// Connections that have not sent their request yet; more are closed at once.
inline constexpr int SINGLE_COPY_PENDING_MAX = 4;

// The longest endpoint (socket path) the system takes, in bytes.
std::size_t SingleCopyEndpointMax();

// The folder the endpoints of this user live in; empty with *error set when there is no folder
// that only this user can enter.
std::string SingleCopyFolder(std::string* error);

// The endpoint for a file name in folder: a socket path, or a pipe name.
std::string SingleCopyEndpoint(const std::string& folder, const std::string& fileName);

enum class SingleCopyTake {
    Taken, // this copy listens
    InUse, // another copy (or a file a copy left) holds the endpoint
    Failed,
};

// A listening endpoint. Closing it (or destroying it) removes what it made.
class CSingleCopyListener : public QObject {
public:
    using QObject::QObject;
    virtual void Close() = 0;
};

// Starts listening on endpoint; onRaise runs on the calling thread's event loop for each raise
// request. Returns nullptr with *result InUse or Failed (then *error says why).
std::unique_ptr<CSingleCopyListener> SingleCopyListen(const std::string& endpoint,
                                                      std::function<void()> onRaise,
                                                      SingleCopyTake* result, std::string* error);

enum class SingleCopyAsk {
    Asked,  // the request was handed to the running copy
    Busy,   // a copy holds the name but took no request within waitMs
    Nobody, // no copy holds the name
    Stale,  // only a socket file of a copy that ended is there (POSIX)
};

// Sends the raise request to the copy on endpoint, waiting at most waitMs for it to take it.
SingleCopyAsk SingleCopySendRaise(const std::string& endpoint, int waitMs, std::string* error);

// Removes a stale endpoint if it is this user's (POSIX: the socket file); true when removed.
bool SingleCopyRemoveStale(const std::string& endpoint);
