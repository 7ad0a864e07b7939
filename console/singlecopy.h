// One copy of the console at a time.
//
// The running copy listens under a name of its own, which the application stores in the profile
// as "Class Name": on POSIX a local socket in a folder only this user can enter, on Windows a
// named mutex and a named pipe (singlecopy_os.h). A copy that starts later reads the stored name,
// connects, sends a raise request and ends; the running copy restores and activates its window. A
// stored name that nobody listens under (first start, a copy that ended, a copy that crashed and
// left its socket file behind) is no running copy.
#pragma once

#include <QObject>
#include <QString>

#include <memory>
#include <string>

class CSingleCopyListener;

class CSingleCopy : public QObject {
    Q_OBJECT

public:
    enum class ListenResult {
        Listening,      // this copy now takes the raise requests
        AlreadyRunning, // another copy listens under the name and was asked to raise
        Failed,         // the name could not be taken; the copy runs without the guard
    };

    explicit CSingleCopy(QObject* parent = nullptr);
    ~CSingleCopy() override;

    // The name this user's copy listens under: "Morvane-" with the user name and a digest of
    // the profile file, so copies with different profiles (tests) do not meet.
    static QString DefaultServerName();

    // True for names of the form DefaultServerName gives. Other names, whatever the profile
    // holds, are never contacted and never removed.
    static bool IsServerName(const QString& name);

    // When a copy listens under name: sends it the raise request and returns true (true too for
    // a copy that takes no connections for seconds). Otherwise returns false, after removing a
    // socket file that a copy which ended left behind.
    static bool AskToRaise(const QString& name);

    // Where a copy listens under name: on POSIX the socket file in this user's private folder,
    // under name or under a short name made from it when the folder leaves too little room; on
    // Windows the pipe's name. Empty when there is no private folder.
    static std::string SocketPath(const QString& name);

    // Starts listening under name.
    ListenResult Listen(const QString& name);

    bool IsListening() const;
    QString ServerName() const;

signals:
    // Another copy asked this one to show its window.
    void raiseRequested();

private:
    // Closes the listener and removes its socket file.
    void StopListening();

    std::unique_ptr<CSingleCopyListener> m_pServer;
    QString m_strName; // listened under
};
