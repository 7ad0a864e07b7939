// The options menu's additions: channel setup files on the panel (load, apply, refuse), the
// transcript window and its model, and the accessible names of boxes, lamps and status pane.
#include "test_morvanedlg_fixture.h"

#include "channel_setup.h"
#include "trace.h"
#include "transcriptwnd.h"

#include <QAccessible>
#include <QLineEdit>
#include <QScrollBar>
#include <QTableView>

#include <thread>
#include <utility>

namespace morvanedlg_test {
namespace {

QString Cell(const CTranscriptModel* model, int row, int column) {
    return model->data(model->index(row, column)).toString();
}

// The row of the last line with that outcome, or -1.
int LastRowWith(const CTranscriptModel* model, const QString& outcome) {
    for (int row = model->rowCount() - 1; row >= 0; --row) {
        if (Cell(model, row, CTranscriptModel::COL_OUTCOME) == outcome) {
            return row;
        }
    }
    return -1;
}

QString AccessibleName(QWidget* widget) {
    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(widget);
    return iface != nullptr ? iface->text(QAccessible::Name) : QStringLiteral("<none>");
}

// A box's name as the Linux accessibility bus gives it: that of its labelled-by relation's
// target (the bus names an editable combo box by its text).
QString AccessibleBoxName(QWidget* box) {
    QStringList names;
    for (const auto& [label, relation] :
         QAccessible::queryAccessibleInterface(box)->relations(QAccessible::Label)) {
        names << label->text(QAccessible::Name);
    }
    return names.join(u'|');
}

LinkTraceEvent MadeEvent(LinkTraceOutcome outcome, const char* command, const char* reply,
                         int fields, int rttUs) {
    LinkTraceEvent e;
    e.outcome = outcome;
    e.command = command;
    e.reply = reply;
    e.fields = fields;
    e.end = std::chrono::steady_clock::now();
    e.start = e.end - std::chrono::microseconds(rttUs);
    e.wallEnd = std::chrono::system_clock::now();
    return e;
}

using ChannelsTranscriptTest = MorvaneDlgTest;

TEST_F(ChannelsTranscriptTest, TranscriptShowsExchangesFromTheLinkOnAnyThread) {
    WriteSimSetup();
    Open();
    ASSERT_TRUE(m_form->IsPortOpen());
    ASSERT_EQ(m_form->TranscriptWindow(), nullptr); // made on first use
    CTranscriptLog* log = m_form->TranscriptLog();
    ASSERT_NE(log, nullptr);
    Click(Switch(0)); // a normal exchange: "dds 0 ..." and its two-field reply
    QCoreApplication::processEvents();
    const CTranscriptModel* model = log->Model();

    using C = CTranscriptModel;
    const int opened = LastRowWith(model, QStringLiteral("opened"));
    ASSERT_GE(opened, 0);
    EXPECT_EQ(Cell(model, opened, C::COL_COMMAND).toStdString(), SimDevice());
    const int ok = LastRowWith(model, QStringLiteral("ok"));
    ASSERT_GT(ok, opened);
    EXPECT_TRUE(Cell(model, ok, C::COL_COMMAND).startsWith(QStringLiteral("dds 0 ")));
    EXPECT_TRUE(Cell(model, ok, C::COL_REPLY).endsWith(QStringLiteral("\\r\\n>")));
    EXPECT_EQ(Cell(model, ok, C::COL_FIELDS), QStringLiteral("2"));
    EXPECT_TRUE(
        QTime::fromString(Cell(model, ok, C::COL_TIME), QStringLiteral("hh:mm:ss.zzz")).isValid());

    // A silent and a stale exchange, handed over by a thread of their own (as a worker would).
    std::thread worker([] {
        LinkTraceEmit(MadeEvent(LinkTraceOutcome::NoAnswer, "dds 1 0 0 0 1", "", -1, 20400000));
        LinkTraceEmit(MadeEvent(LinkTraceOutcome::Stale, "u0", "OK\r\n>", -1, 1500));
    });
    worker.join();
    const int before = model->rowCount();
    QCoreApplication::processEvents();
    ASSERT_EQ(model->rowCount(), before + 2);
    struct Row {
        int row;
        const char* command;
        const char* reply;
        const char* fields;
        const char* rttMs;
        const char* outcome;
    } rows[] = {
        {before, "dds 1 0 0 0 1", "", "-", "20400.000", "no-answer"},
        {before + 1, "u0", "OK\\r\\n>", "-", "1.500", "stale"},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(Cell(model, r.row, C::COL_COMMAND), QString::fromUtf8(r.command));
        EXPECT_EQ(Cell(model, r.row, C::COL_REPLY), QString::fromUtf8(r.reply));
        EXPECT_EQ(Cell(model, r.row, C::COL_FIELDS), QString::fromUtf8(r.fields));
        EXPECT_EQ(Cell(model, r.row, C::COL_RTT_MS), QString::fromUtf8(r.rttMs));
        EXPECT_EQ(Cell(model, r.row, C::COL_OUTCOME), QString::fromUtf8(r.outcome));
    }

    // The menu command shows the window; save writes the header and the very lines kept, and
    // a trace file gets the same lines.
    Command(ID_TRANSCRIPT);
    CTranscriptWnd* wnd = m_form->TranscriptWindow();
    ASSERT_NE(wnd, nullptr);
    EXPECT_TRUE(wnd->isVisible());
    EXPECT_EQ(wnd->View()->model()->rowCount(), model->rowCount()); // what came before it
    const QString saved = QDir(m_work.path()).filePath(QStringLiteral("saved.txt"));
    ASSERT_TRUE(wnd->SaveTo(saved));
    QFile file(saved);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    ASSERT_EQ(lines.size(), model->rowCount() + 2); // header, lines, the empty end
    EXPECT_EQ(lines.front().toStdString(), LinkTraceHeader());
    EXPECT_EQ(lines.at(before + 2).toStdString(), model->Line(before + 1));
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(ChannelsTranscriptTest, TranscriptKeepsTheLast10000AndFollowsUnlessScrolledUp) {
    CTranscriptLog log;
    CTranscriptWnd wnd(&log);
    wnd.show();
    CTranscriptModel* model = wnd.Log()->Model();
    ASSERT_EQ(model->Capacity(), 10000);
    int next = 0;
    auto append = [&](int n) {
        std::vector<std::string> lines;
        for (int k = 0; k < n; ++k, ++next) {
            lines.push_back("0\t00:00:00.000\tok\t0\t2\tcmd " + std::to_string(next) + "\tr");
        }
        model->Append(std::move(lines));
        QCoreApplication::processEvents();
    };
    append(9990);
    QScrollBar* bar = wnd.View()->verticalScrollBar();
    EXPECT_EQ(bar->value(), bar->maximum());
    append(15); // over the bound in one batch: the oldest drop off
    EXPECT_EQ(model->rowCount(), 10000);
    EXPECT_EQ(model->Line(0), "0\t00:00:00.000\tok\t0\t2\tcmd 5\tr");
    EXPECT_EQ(Cell(model, 9999, CTranscriptModel::COL_COMMAND), QStringLiteral("cmd 10004"));
    EXPECT_EQ(bar->value(), bar->maximum());
    append(20005); // a batch larger than the bound keeps its newest lines
    EXPECT_EQ(Cell(model, 0, CTranscriptModel::COL_COMMAND), QStringLiteral("cmd 20010"));

    bar->setValue(0); // the operator scrolled up: the list stays there
    append(3);
    EXPECT_EQ(bar->value(), 0);
    bar->setValue(bar->maximum());
    append(3);
    EXPECT_EQ(bar->value(), bar->maximum());

    model->Clear();
    EXPECT_EQ(model->rowCount(), 0);
    append(2);
    EXPECT_EQ(Cell(model, 1, CTranscriptModel::COL_COMMAND), QStringLiteral("cmd 30017"));
}

// ---- channel setups ----------------------------------------------------------------------

TEST_F(ChannelsTranscriptTest, LoadAppliesRowsInOrderWithOneUpdateAndOneSummaryBox) {
    WriteSimSetup();
    Open();
    ASSERT_TRUE(m_form->IsPortOpen());
    Click(Switch(1)); // CH2 on now, off in the file: sent off
    Click(Switch(9)); // CH6 on now, no ON in the file: stays on, sent with its new values
    SetRow(10, QStringLiteral("77"), QString(), QString()); // CH7: off in both, left alone
    Single()->setChecked(true);

    const QString path = QDir(m_work.path()).filePath(QStringLiteral("apply.ini"));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("[MODE]\nMULTI=1\n"
               "[CH1]\nFREQ=12.5\nAMP=50\nPHASE=45\nON=1\n"
               "[CH2]\nON=0\n"
               "[CH3]\nAMP=500\nON=1\n" // refused by DDS control: reported at the end
               "[CH5]\nAMP=300\nON=1\n" // channel 9, refused too
               "[CH6]\nFREQ=20\n"
               "[CH7]\nON=0\n"
               "[IDX5]\nFREQ=3\nON=0\n"); // kept by the server's *SAV: ignored here
    file.close();

    std::vector<std::string> sent;
    const int observer = LinkTraceAdd([&sent](const LinkTraceEvent& e) {
        if (e.outcome == LinkTraceOutcome::Ok || e.outcome == LinkTraceOutcome::WrongFields) {
            sent.push_back(e.command);
        }
    });
    const std::size_t boxesBefore = Boxes().size();
    EXPECT_TRUE(m_form->LoadChannelSetup(path));
    LinkTraceRemove(observer);

    // Boxes and mode filled; keys the file lacks keep their boxes.
    EXPECT_EQ(Freq(0)->currentText(), QStringLiteral("12.5"));
    EXPECT_EQ(Phase(0)->currentText(), QStringLiteral("45"));
    EXPECT_EQ(Freq(9)->currentText(), QStringLiteral("20"));
    EXPECT_EQ(Freq(10)->currentText(), QStringLiteral("77"));
    EXPECT_TRUE(Multiple()->isChecked());
    EXPECT_FALSE(Single()->isChecked());

    // Top to bottom, then one update; the refused rows send nothing.
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[0].rfind("dds 0 ", 0), 0u) << sent[0];
    EXPECT_EQ(sent[1].rfind("dds 1 ", 0), 0u) << sent[1];
    EXPECT_EQ(sent[2].rfind("dds 9 ", 0), 0u) << sent[2];
    EXPECT_EQ(sent[3], "DDU");
    EXPECT_FALSE(Update()->isEnabled());

    // Switches, lamps and their accessible names as clicks leave them.
    struct Row {
        int c;
        bool on;
        const char* ledName;
    } rows[] = {{0, true, "CH1 輸出 開"},  {1, false, "CH2 輸出 關"}, {2, true, "CH3 輸出 開"},
                {8, true, "CH5 輸出 開"},  {9, true, "CH6 輸出 開"},  {10, false, "CH7 輸出 關"},
                {11, false, "CH8 輸出 關"}};
    for (const Row& r : rows) {
        EXPECT_EQ(m_form->IsChannelOn(r.c), r.on) << r.c;
        EXPECT_EQ(LedShowsLit(r.c), r.on) << r.c;
        EXPECT_EQ(Led(r.c)->accessibleName(), QString::fromUtf8(r.ledName));
    }
    EXPECT_TRUE(m_sim.Channel(0).on);
    EXPECT_FALSE(m_sim.Channel(1).on);

    // One box for both failed rows.
    ASSERT_EQ(Boxes().size(), boxesBefore + 1);
    EXPECT_EQ(Boxes().back().text, QStringLiteral("通道 [CH3] [CH9] 設定參數工作異常 !"));

    // Names as a screen reader gets them through the accessibility interfaces: every box its
    // row and quantity (on Linux through its label, the bus naming the box by its text), on
    // its edit field too; the lamps their row and state; the status pane its text.
    for (const auto& [box, name] : {std::pair{Freq(0), "CH1 頻率"}, std::pair{Amp(9), "CH6 振幅"},
                                    std::pair{Phase(11), "CH8 相位"}}) {
        EXPECT_EQ(AccessibleBoxName(box), QString::fromUtf8(name));
        EXPECT_EQ(AccessibleName(box->lineEdit()), QString::fromUtf8(name));
    }
    EXPECT_EQ(AccessibleName(Led(0)), QStringLiteral("CH1 輸出 開"));
    EXPECT_EQ(AccessibleName(Led(1)), QStringLiteral("CH2 輸出 關"));
    EXPECT_EQ(AccessibleName(m_frame->GetPane(0)), m_frame->GetPane(0)->text());
}

TEST_F(ChannelsTranscriptTest, SaveLoadRoundTripAndRefusedFilesChangeNothing) {
    WriteSimSetup();
    Open();
    Click(Switch(8));
    SetRow(0, QStringLiteral(" 10.5 "), QStringLiteral("'50'"), QString());
    Multiple()->setChecked(true);
    Single()->setChecked(false);
    const QString path = QDir(m_work.path()).filePath(QStringLiteral("saved.ini"));
    ASSERT_TRUE(m_form->SaveChannelSetup(path));
    Command(ID_PORT_CLOSE); // with the port closed a load only fills the panel

    SetRow(0, QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("3"));
    Single()->setChecked(true);
    Multiple()->setChecked(false);
    ASSERT_TRUE(m_form->LoadChannelSetup(path));
    EXPECT_EQ(Freq(0)->currentText(), QStringLiteral(" 10.5 "));
    EXPECT_EQ(Amp(0)->currentText(), QStringLiteral("'50'"));
    EXPECT_EQ(Phase(0)->currentText(), QString());
    EXPECT_TRUE(Multiple()->isChecked());
    EXPECT_TRUE(m_form->IsChannelOn(8)); // nothing sent, nothing switched

    // Files that are not setup files are refused with a box that says why.
    const struct {
        const char* name;
        const char* bytes; // nullptr: no such file
        const char* why;
    } bad[] = {
        {"missing.ini", nullptr, "無法讀取"},
        {"setup.ini", nullptr, "不是通道設定檔"}, // the console's own setup file
        {"flag.ini", "[CH2]\nFREQ=5\nON=2\n", "[CH2] ON=2"},
    };
    for (const auto& b : bad) {
        const QString file = QDir(m_work.path()).filePath(QString::fromUtf8(b.name));
        if (b.bytes != nullptr) {
            QFile f(file);
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write(b.bytes);
        }
        const std::size_t before = Boxes().size();
        EXPECT_FALSE(m_form->LoadChannelSetup(file)) << b.name;
        ASSERT_EQ(Boxes().size(), before + 1) << b.name;
        EXPECT_TRUE(Boxes().back().text.contains(QString::fromUtf8(b.why)))
            << Boxes().back().text.toStdString();
        EXPECT_EQ(Freq(1)->currentText(), QStringLiteral("10")) << b.name; // unchanged
    }
    const std::size_t before = Boxes().size();
    EXPECT_FALSE(
        m_form->SaveChannelSetup(QDir(m_work.path()).filePath(QStringLiteral("no/x.ini"))));
    EXPECT_EQ(Boxes().size(), before + 1);
}

} // namespace
} // namespace morvanedlg_test
