#include "transcriptwnd.h"

#include "framework.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QMetaObject>
#include <QPushButton>
#include <QSaveFile>
#include <QScrollBar>
#include <QTableView>
#include <QVBoxLayout>

#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <utility>

namespace {

const char* const WINDOW_TITLE = QT_TRANSLATE_NOOP("CTranscriptWnd", "通訊記錄");
const char* const SAVE_TEXT = QT_TRANSLATE_NOOP("CTranscriptWnd", "儲存…");
const char* const CLEAR_TEXT = QT_TRANSLATE_NOOP("CTranscriptWnd", "清除");
const char* const SAVE_FILTER =
    QT_TRANSLATE_NOOP("CTranscriptWnd", "文字檔 (*.txt *.log);;所有檔案 (*)");
const char* const HEADERS[CTranscriptModel::COLUMNS] = {
    QT_TRANSLATE_NOOP("CTranscriptWnd", "時間"),      QT_TRANSLATE_NOOP("CTranscriptWnd", "命令"),
    QT_TRANSLATE_NOOP("CTranscriptWnd", "回應"),      QT_TRANSLATE_NOOP("CTranscriptWnd", "欄位數"),
    QT_TRANSLATE_NOOP("CTranscriptWnd", "來回 (ms)"), QT_TRANSLATE_NOOP("CTranscriptWnd", "結果")};

// The window's texts in the user interface's language.
QString Tr(const char* text) {
    return QCoreApplication::translate("CTranscriptWnd", text);
}

constexpr int WINDOW_WIDTH = 900;
constexpr int WINDOW_HEIGHT = 400;

// The seven columns of a transcript line: ms since start, time, outcome, round trip in us,
// fields, command, reply.
enum LineField { F_MS, F_TIME, F_OUTCOME, F_RTT_US, F_FIELDS, F_COMMAND, F_REPLY, F_COUNT };

std::array<std::string_view, F_COUNT> SplitLine(std::string_view line) {
    std::array<std::string_view, F_COUNT> fields{};
    for (int k = 0; k < F_COUNT; ++k) {
        // The reply is the last field: it keeps any tab (there is none, tabs are escaped).
        const std::size_t tab = k + 1 < F_COUNT ? line.find('\t') : std::string_view::npos;
        fields[static_cast<std::size_t>(k)] = line.substr(0, tab);
        if (tab == std::string_view::npos) {
            break;
        }
        line.remove_prefix(tab + 1);
    }
    return fields;
}

QString ToQString(std::string_view s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

} // namespace

// ---- CTranscriptModel --------------------------------------------------------------------

CTranscriptModel::CTranscriptModel(int capacity, QObject* parent)
    : QAbstractTableModel(parent), m_capacity(capacity > 0 ? capacity : 1) {}

void CTranscriptModel::Append(std::vector<std::string> lines) {
    if (lines.empty()) {
        return;
    }
    const auto cap = static_cast<std::size_t>(m_capacity);
    if (lines.size() > cap) {
        lines.erase(lines.begin(), lines.end() - static_cast<std::ptrdiff_t>(cap));
    }
    const int k = static_cast<int>(lines.size());
    emit aboutToAppend();
    if (const int drop = m_count + k - m_capacity; drop > 0) {
        beginRemoveRows(QModelIndex(), 0, drop - 1);
        m_first = (m_first + drop) % m_capacity;
        m_count -= drop;
        endRemoveRows();
    }
    beginInsertRows(QModelIndex(), m_count, m_count + k - 1);
    for (std::string& line : lines) {
        const auto slot = static_cast<std::size_t>((m_first + m_count) % m_capacity);
        if (slot >= m_ring.size()) {
            m_ring.resize(slot + 1);
        }
        m_ring[slot] = std::move(line);
        ++m_count;
    }
    endInsertRows();
    emit appended();
}

void CTranscriptModel::Clear() {
    beginResetModel();
    std::vector<std::string>().swap(m_ring);
    m_first = 0;
    m_count = 0;
    endResetModel();
}

const std::string& CTranscriptModel::Line(int row) const {
    return m_ring[static_cast<std::size_t>((m_first + row) % m_capacity)];
}

bool CTranscriptModel::Save(const QString& path, QString* error) const {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        *error = file.errorString();
        return false;
    }
    std::string text = LinkTraceHeader() + "\n";
    for (int row = 0; row < m_count; ++row) {
        text += Line(row);
        text += '\n';
    }
    if (file.write(text.data(), static_cast<qint64>(text.size())) !=
            static_cast<qint64>(text.size()) ||
        !file.commit()) {
        *error = file.errorString();
        return false;
    }
    return true;
}

int CTranscriptModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : m_count;
}

int CTranscriptModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : COLUMNS;
}

QVariant CTranscriptModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= m_count) {
        return {};
    }
    const int column = index.column();
    if (role == Qt::TextAlignmentRole) {
        const bool number = column == COL_FIELDS || column == COL_RTT_MS;
        return QVariant::fromValue(Qt::AlignVCenter | (number ? Qt::AlignRight : Qt::AlignLeft));
    }
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole) {
        return {};
    }
    const auto f = SplitLine(Line(index.row()));
    switch (column) {
    case COL_TIME:
        return ToQString(f[F_TIME]);
    case COL_COMMAND:
        return ToQString(f[F_COMMAND]);
    case COL_REPLY:
        return ToQString(f[F_REPLY]);
    case COL_FIELDS:
        return ToQString(f[F_FIELDS]);
    case COL_RTT_MS:
        return QString::number(ToQString(f[F_RTT_US]).toLongLong() / 1000.0, 'f', 3);
    case COL_OUTCOME:
        return ToQString(f[F_OUTCOME]);
    default:
        return {};
    }
}

QVariant CTranscriptModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 &&
        section < COLUMNS) {
        return Tr(HEADERS[section]);
    }
    return QAbstractTableModel::headerData(section, orientation, role);
}

// ---- CTranscriptLog ----------------------------------------------------------------------

CTranscriptLog::CTranscriptLog(int capacity, QObject* parent) : QObject(parent), m_model(capacity) {
    m_observerId = LinkTraceAdd([this](const LinkTraceEvent& event) { Post(event); });
}

CTranscriptLog::~CTranscriptLog() {
    LinkTraceRemove(m_observerId);
    // What came after the last queued call (the port closed at the end, say) still goes to
    // the trace file; the model goes away with the log.
    if (m_traceFile != nullptr) {
        for (const LinkTraceEvent& event : m_pending) {
            std::fprintf(m_traceFile, "%s\n", LinkTraceFormat(event).c_str());
        }
        std::fclose(m_traceFile);
    }
}

bool CTranscriptLog::OpenTraceFile(const QString& path, QString* error) {
    std::FILE* f = std::fopen(QFile::encodeName(path).constData(), "wb");
    if (f == nullptr) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    if (m_traceFile != nullptr) {
        std::fclose(m_traceFile);
    }
    m_traceFile = f;
    std::fprintf(m_traceFile, "%s\n", LinkTraceHeader().c_str());
    std::fflush(m_traceFile);
    return true;
}

void CTranscriptLog::Post(const LinkTraceEvent& event) {
    bool first = false;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        first = m_pending.empty();
        m_pending.push_back(event);
    }
    // One queued call per batch: events that come while it waits ride along.
    if (first) {
        QMetaObject::invokeMethod(this, &CTranscriptLog::Flush, Qt::QueuedConnection);
    }
}

void CTranscriptLog::Flush() {
    std::vector<LinkTraceEvent> events;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        events.swap(m_pending);
    }
    if (events.empty()) {
        return;
    }
    std::vector<std::string> lines;
    lines.reserve(events.size());
    for (const LinkTraceEvent& event : events) {
        lines.push_back(LinkTraceFormat(event));
        if (m_traceFile != nullptr) {
            std::fputs(lines.back().c_str(), m_traceFile);
            std::fputc('\n', m_traceFile);
        }
    }
    if (m_traceFile != nullptr) {
        std::fflush(m_traceFile);
    }
    m_model.Append(std::move(lines));
}

// ---- CTranscriptWnd ----------------------------------------------------------------------

CTranscriptWnd::CTranscriptWnd(CTranscriptLog* log, QWidget* parent)
    : QWidget(parent, Qt::Window), m_log(log) {
    setWindowTitle(Tr(WINDOW_TITLE));
    setObjectName(QStringLiteral("transcript"));
    resize(WINDOW_WIDTH, WINDOW_HEIGHT);

    m_view = new QTableView(this);
    m_view->setModel(m_log->Model());
    m_view->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_view->setWordWrap(false);
    m_view->verticalHeader()->hide();
    // Rows of one height: the view need not measure 10 000 of them.
    m_view->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_view->verticalHeader()->setDefaultSectionSize(m_view->fontMetrics().height() + 4);
    m_view->horizontalHeader()->setStretchLastSection(true);
    m_view->setColumnWidth(CTranscriptModel::COL_TIME, 100);
    m_view->setColumnWidth(CTranscriptModel::COL_COMMAND, 220);
    m_view->setColumnWidth(CTranscriptModel::COL_REPLY, 300);
    m_view->setAccessibleName(Tr(WINDOW_TITLE));

    auto* save = new QPushButton(Tr(SAVE_TEXT), this);
    save->setObjectName(QStringLiteral("save"));
    auto* clear = new QPushButton(Tr(CLEAR_TEXT), this);
    clear->setObjectName(QStringLiteral("clear"));
    connect(save, &QPushButton::clicked, this, &CTranscriptWnd::OnSave);
    connect(clear, &QPushButton::clicked, m_log->Model(), &CTranscriptModel::Clear);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(save);
    buttons->addWidget(clear);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_view, 1);
    layout->addLayout(buttons);

    // The list follows the newest line while it shows the bottom; once the operator scrolls
    // up it stays where it is until they scroll back down.
    CTranscriptModel* model = m_log->Model();
    // (Judged before the oldest lines drop off, which moves the scroll bar.)
    connect(model, &CTranscriptModel::aboutToAppend, this, [this] {
        const QScrollBar* bar = m_view->verticalScrollBar();
        m_bFollow = bar->value() >= bar->maximum();
    });
    connect(model, &CTranscriptModel::appended, this, &CTranscriptWnd::OnAppended);
}

CTranscriptWnd::~CTranscriptWnd() {
    // No more calls from the log into this part of the window.
    if (m_log != nullptr) {
        disconnect(m_log->Model(), nullptr, this, nullptr);
    }
}

void CTranscriptWnd::ShowAndRaise() {
    show();
    raise();
    activateWindow();
    m_view->scrollToBottom();
}

void CTranscriptWnd::OnAppended() {
    // A hidden list is laid out when it is shown (ShowAndRaise scrolls to the end then).
    if (m_bFollow && isVisible()) {
        m_view->scrollToBottom();
    }
}

void CTranscriptWnd::OnSave() {
    const QString path =
        QFileDialog::getSaveFileName(this, Tr(WINDOW_TITLE), QDir::currentPath(), Tr(SAVE_FILTER));
    if (!path.isEmpty()) {
        (void)SaveTo(path);
    }
}

bool CTranscriptWnd::SaveTo(const QString& path) {
    m_log->Flush();
    QString error;
    if (m_log->Model()->Save(path, &error)) {
        return true;
    }
    MorvaneMessageBox(this, Tr(WINDOW_TITLE),
                      QCoreApplication::translate("CTranscriptWnd", "無法儲存 %1\n%2")
                          .arg(QDir::toNativeSeparators(path), error),
                      QMessageBox::Warning, QMessageBox::Ok);
    return false;
}
