// CExchangeRunner: runs the console's exchanges with the module on one worker thread while the
// user-interface thread waits in a local event loop that keeps painting and answering the
// desktop (and the accessibility bus), but takes no user input.
//
// Ownership of the link's and DDS control's process-wide records (ComLink, DdsChannelTable,
// DdsModuleClocks, the diagnostic sink and the transcript observers): they belong to the worker
// from the moment RunExchange hands it the work until the work has returned, and to the
// user-interface thread at every other time. The hand-over goes through the runner's mutex in
// both directions (the job is stored under it, and its completion is noted under it), so every
// write made on one side before the hand-over is seen by the other side after it; link/ and
// dds/ need no locks of their own. Nothing on the user-interface thread may touch those records
// while IsRunning() is true.
//
// While an exchange runs:
// - mouse, keyboard, wheel, touch, shortcut and context-menu events of the whole application
//   are swallowed (they are not queued for later either), except Esc, which cancels the wait;
// - from BUSY_DELAY_MS on the cursor is busy and busyChanged(true) is emitted (the form then
//   shows its waiting text); busyChanged(false) follows when the wait ends.
// Widgets can still be driven programmatically (an accessibility action calls click()
// directly); handlers guard against that with IsRunning().
//
// Cancel (Esc, or the form when its window is closed) asks the link's reader to give up at its
// next cycle, as on its idle limit; RunExchange then returns as soon as the work has returned.
#pragma once

#include <QObject>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

class QEventLoop;

class CExchangeRunner : public QObject {
    Q_OBJECT

public:
    // From this far into a wait the cursor is busy and busyChanged(true) is emitted.
    static constexpr int BUSY_DELAY_MS = 300;

    explicit CExchangeRunner(QObject* parent = nullptr);
    // Ends the worker thread (cancelling an exchange that still runs, which cannot happen
    // unless the runner is destroyed from inside its own wait).
    ~CExchangeRunner() override;
    CExchangeRunner(const CExchangeRunner&) = delete;
    CExchangeRunner& operator=(const CExchangeRunner&) = delete;

    // Clears the link's cancel request, runs work on the worker thread and returns once work
    // has returned; meanwhile the calling (user-interface) thread processes its events except
    // user input. True when work ran; false, without running it, when an exchange is already
    // running (a re-entrant call from inside the wait).
    bool RunExchange(std::function<void()> work);

    // True from the start to the end of RunExchange's wait.
    bool IsRunning() const { return m_bRunning; }

    // Asks the running exchange (if any) to give up at the reader's next cycle.
    void Cancel();
    // True when Cancel was called during the last (or the running) exchange.
    bool WasCancelled() const { return m_bCancelled; }

signals:
    // true once a wait has lasted BUSY_DELAY_MS; false when that wait ends.
    void busyChanged(bool busy);
    // An exchange has ended and the records are the user-interface thread's again (emitted as
    // RunExchange returns, while its caller has not yet gone on).
    void exchangeEnded();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void WorkerLoop();
    bool JobDone();

    std::thread m_worker;
    std::mutex m_mutex;
    std::condition_variable m_wake; // a job or the quit request for the worker
    std::condition_variable m_done; // the job has returned
    std::function<void()> m_job;    // guarded by m_mutex
    bool m_bJobDone = false;        // guarded by m_mutex
    bool m_bQuit = false;           // guarded by m_mutex

    // User-interface thread only.
    bool m_bRunning = false;
    bool m_bCancelled = false;
    QEventLoop* m_pLoop = nullptr;
};
