// The transcript of this run (通訊記錄): every exchange of the link and every change of the
// port, as the lines that morvane-cli's --trace writes, kept for a window and, with
// `morvane --trace FILE`, written to a file from start-up on.
//
//   CTranscriptModel  the last CAPACITY lines in a ring buffer, one row per line, with the
//                     window's columns (time, command, reply, fields, round trip ms, outcome)
//   CTranscriptLog    the link observer: takes events on whatever thread made the exchange
//                     and hands them to its own (the UI) thread with one queued call per batch,
//                     where they become lines for the model and the trace file
//   CTranscriptWnd    the non-modal window: the list, which follows the newest line unless
//                     the operator scrolled up, and the save and clear buttons
#pragma once

#include "trace.h"

#include <QAbstractTableModel>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

class QTableView;

class CTranscriptModel : public QAbstractTableModel {
    Q_OBJECT

public:
    static constexpr int CAPACITY = 10000;
    enum Column { COL_TIME, COL_COMMAND, COL_REPLY, COL_FIELDS, COL_RTT_MS, COL_OUTCOME, COLUMNS };

    explicit CTranscriptModel(int capacity = CAPACITY, QObject* parent = nullptr);

    // Appends transcript lines; the oldest ones drop off beyond the capacity.
    void Append(std::vector<std::string> lines);
    void Clear();
    // The transcript line of a row (0: the oldest kept).
    const std::string& Line(int row) const;
    int Capacity() const { return m_capacity; }
    // Writes the header and the kept lines; false with a reason when the file cannot be written.
    bool Save(const QString& path, QString* error) const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    // (the row signals follow the usual model rules; these two frame one Append as a whole)
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

signals:
    // Before and after each Append (which may remove old rows and insert new ones).
    void aboutToAppend();
    void appended();

private:
    int m_capacity;
    std::vector<std::string> m_ring; // grows to the capacity, then wraps
    int m_first = 0;                 // slot of row 0
    int m_count = 0;
};

class CTranscriptLog : public QObject {
    Q_OBJECT

public:
    // Registers with the link; call on the thread that owns the link while no exchange runs.
    explicit CTranscriptLog(int capacity = CTranscriptModel::CAPACITY, QObject* parent = nullptr);
    // Unregisters and writes what is still pending to the trace file.
    ~CTranscriptLog() override;
    CTranscriptLog(const CTranscriptLog&) = delete;
    CTranscriptLog& operator=(const CTranscriptLog&) = delete;

    // Starts writing the lines (after the header) to path, replacing the file. False with a
    // reason when it cannot be created.
    bool OpenTraceFile(const QString& path, QString* error);
    CTranscriptModel* Model() { return &m_model; }
    // Takes the pending events into the model and the trace file now (the queued call does
    // this on its own; tests call it to be sure).
    void Flush();

private:
    void Post(const LinkTraceEvent& event); // any thread

    CTranscriptModel m_model;
    int m_observerId = 0;
    std::FILE* m_traceFile = nullptr;
    std::mutex m_mutex;
    std::vector<LinkTraceEvent> m_pending; // guarded by m_mutex
};

class CTranscriptWnd : public QWidget {
    Q_OBJECT

public:
    // Shows log, which must outlive the window. The window is made on first use; the log
    // records from start-up whether or not it is ever shown.
    explicit CTranscriptWnd(CTranscriptLog* log, QWidget* parent = nullptr);
    ~CTranscriptWnd() override;
    CTranscriptWnd(const CTranscriptWnd&) = delete;
    CTranscriptWnd& operator=(const CTranscriptWnd&) = delete;

    CTranscriptLog* Log() { return m_log; }
    QTableView* View() const { return m_view; }
    // Shows the window and brings it to the front.
    void ShowAndRaise();
    // Saves the transcript to path (the save button asks for it); a box says why it failed.
    bool SaveTo(const QString& path);

private:
    void OnSave();
    void OnAppended();

    QPointer<CTranscriptLog> m_log; // may go first when both belong to one parent
    QTableView* m_view = nullptr;
    bool m_bFollow = true;
};
