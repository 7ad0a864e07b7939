#include "exchangerunner.h"

#include "exchange.h"

#include <QApplication>
#include <QCursor>
#include <QEvent>
#include <QEventLoop>
#include <QKeyEvent>
#include <QTimer>

#include <utility>

namespace {

// The events an operator causes with mouse, keyboard, pen or touch. Painting, resizing, timers,
// window activation, close requests and accessibility queries are not among them.
bool IsUserInput(QEvent::Type type) {
    switch (type) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::NonClientAreaMouseButtonPress:
    case QEvent::NonClientAreaMouseButtonRelease:
    case QEvent::NonClientAreaMouseButtonDblClick:
    case QEvent::Wheel:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::ContextMenu:
    case QEvent::InputMethod:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TouchCancel:
    case QEvent::TabletPress:
    case QEvent::TabletRelease:
    case QEvent::TabletMove:
        return true;
    default:
        return false;
    }
}

} // namespace

CExchangeRunner::CExchangeRunner(QObject* parent) : QObject(parent) {}

CExchangeRunner::~CExchangeRunner() {
    if (!m_worker.joinable()) {
        return;
    }
    if (m_bRunning) {
        LinkRequestCancel(); // destroyed from inside its own wait: end the work quickly
    }
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_bQuit = true;
    }
    m_wake.notify_one();
    m_worker.join();
}

void CExchangeRunner::WorkerLoop() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_job || m_bQuit; });
        if (!m_job) {
            return; // told to quit with nothing left to do
        }
        std::function<void()> job = std::move(m_job);
        m_job = nullptr;
        lock.unlock();
        job();
        job = nullptr; // whatever the work captured goes before the hand-back
        lock.lock();
        m_bJobDone = true;
        m_done.notify_all();
        // Wakes the waiting loop; dropped if the runner is gone by then.
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (m_pLoop != nullptr) {
                    m_pLoop->quit();
                }
            },
            Qt::QueuedConnection);
    }
}

bool CExchangeRunner::JobDone() {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_bJobDone;
}

bool CExchangeRunner::RunExchange(std::function<void()> work) {
    if (m_bRunning || !work) {
        return false;
    }
    m_bRunning = true;
    m_bCancelled = false;
    LinkClearCancel();
    if (!m_worker.joinable()) {
        m_worker = std::thread([this] { WorkerLoop(); });
    }
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_bJobDone = false;
        m_job = std::move(work);
    }
    m_wake.notify_one();

    qApp->installEventFilter(this);
    bool busy = false;
    QTimer busyTimer;
    busyTimer.setSingleShot(true);
    connect(&busyTimer, &QTimer::timeout, this, [this, &busy] {
        busy = true;
        QApplication::setOverrideCursor(QCursor(Qt::BusyCursor));
        emit busyChanged(true);
    });
    busyTimer.start(BUSY_DELAY_MS);

    QEventLoop loop;
    m_pLoop = &loop;
    // An application quit ends every event loop of the thread, and a loop started after it
    // returns at once (-1). The worker owns the link until its work has returned, so the wait
    // goes on regardless: after a quit the work is cancelled and waited for without a loop
    // (the reader gives up within one cycle).
    while (!JobDone()) {
        if (loop.exec() == -1) {
            Cancel();
            std::unique_lock<std::mutex> lock(m_mutex);
            m_done.wait(lock, [this] { return m_bJobDone; });
        }
    }
    m_pLoop = nullptr;

    busyTimer.stop();
    qApp->removeEventFilter(this);
    if (busy) {
        QApplication::restoreOverrideCursor();
    }
    m_bRunning = false;
    if (busy) {
        emit busyChanged(false);
    }
    emit exchangeEnded();
    return true;
}

void CExchangeRunner::Cancel() {
    if (!m_bRunning) {
        return;
    }
    m_bCancelled = true;
    LinkRequestCancel();
}

bool CExchangeRunner::eventFilter(QObject* watched, QEvent* event) {
    if (!m_bRunning || !IsUserInput(event->type())) {
        return QObject::eventFilter(watched, event);
    }
    if (event->type() == QEvent::ShortcutOverride) {
        // Accepted: no shortcut of the frame fires; the key comes as a key press, swallowed
        // below.
        event->accept();
        return true;
    }
    if (event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
        Cancel();
    }
    return true;
}
