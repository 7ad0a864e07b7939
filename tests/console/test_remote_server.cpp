// The console serving the module over TCP, against the simulator: remote settings move the
// panel as clicks do, clients are admitted by address and count, and operator and remote
// commands take turns.
#include "test_morvanedlg_fixture.h"

#include "cmdline.h"
#include "remote_setup_store.h"
#include "remoteserver.h"
#include "setupfile.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTcpSocket>
#include <QTimer>

#include <filesystem>
#include <functional>

#include <sys/socket.h>

namespace {

using namespace morvanedlg_test;

const QString SWITCH_ON_CAPTION = QStringLiteral("關閉");
const QString SWITCH_OFF_CAPTION = QStringLiteral("開啟");

// Runs the event loop until done() holds (or a limit for a slow machine has passed). The loop
// wakes for the server thread's posted lines at once (QTest::qWait would sleep between them).
bool WaitFor(const std::function<bool()>& done) {
    const QDeadlineTimer limit(WAIT_MS);
    QEventLoop loop;
    QTimer look;
    QObject::connect(&look, &QTimer::timeout, &loop, [&] {
        if (done() || limit.hasExpired()) {
            loop.quit();
        }
    });
    look.start(2);
    if (!done()) {
        loop.exec();
    }
    return done();
}

class RemoteServerTest : public MorvaneDlgTest {
protected:
    void SetUp() override {
        MorvaneDlgTest::SetUp();
        WriteSimSetup();
        Open();
        ASSERT_TRUE(m_form->IsPortOpen());
        m_server = StartServer("127.0.0.1:0", {});
        ASSERT_NE(m_server, nullptr);
    }

    void TearDown() override {
        m_clients.clear();
        m_server.reset(); // before the form goes
        MorvaneDlgTest::TearDown();
    }

    std::unique_ptr<CRemoteServer> StartServer(const char* listenText,
                                               const std::vector<const char*>& ranges,
                                               std::chrono::milliseconds idle = REMOTE_IDLE_LIMIT) {
        RemoteListen listen;
        std::string error;
        EXPECT_TRUE(RemoteParseListen(listenText, &listen, &error)) << error;
        std::vector<RemoteRange> allow;
        for (const char* text : ranges) {
            allow.emplace_back();
            EXPECT_TRUE(RemoteParseRange(text, &allow.back(), &error)) << error;
        }
        auto server = std::make_unique<CRemoteServer>(*m_form, m_form->DdsClkMode());
        server->SetIdleLimit(idle);
        QString why;
        if (!server->Listen(listen, std::move(allow), &why)) {
            ADD_FAILURE() << why.toStdString();
            return nullptr;
        }
        QObject::connect(server.get(), &CRemoteServer::lineDone, [this] { ++m_linesDone; });
        return server;
    }

    QTcpSocket* Connect(const QHostAddress& to = QHostAddress::LocalHost, quint16 port = 0) {
        m_clients.push_back(std::make_unique<QTcpSocket>());
        QTcpSocket* socket = m_clients.back().get();
        socket->connectToHost(to, port != 0 ? port : m_server->Port());
        EXPECT_TRUE(socket->waitForConnected(WAIT_MS));
        return socket;
    }

    // Sends one line and waits until the server has executed it.
    void Send(QTcpSocket* socket, const QByteArray& line) {
        const int before = m_linesDone;
        socket->write(line + "\n");
        ASSERT_TRUE(WaitFor([&] { return m_linesDone > before; })) << line.constData();
    }

    // Sends a line of queries and returns the answer line without its LF.
    QString Query(QTcpSocket* socket, const QByteArray& line) {
        socket->write(line + "\n");
        EXPECT_TRUE(WaitFor([&] { return socket->canReadLine(); })) << line.constData();
        return QString::fromUtf8(socket->readLine()).trimmed();
    }

    // Closes socket with a reset (a zero linger), as a client that is gone for good.
    static void Reset(QTcpSocket* socket) {
        const linger reset{1, 0};
        ASSERT_EQ(::setsockopt(static_cast<int>(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER,
                               &reset, sizeof reset),
                  0);
        socket->abort();
    }

    // True once the server has closed socket, having sent it nothing.
    bool ClosedWithoutAByte(QTcpSocket* socket) {
        return WaitFor([&] { return socket->state() == QAbstractSocket::UnconnectedState; }) &&
               socket->readAll().isEmpty();
    }

    std::unique_ptr<CRemoteServer> m_server;
    std::vector<std::unique_ptr<QTcpSocket>> m_clients;
    int m_linesDone = 0;
};

TEST_F(RemoteServerTest, RemoteSettingsMoveThePanelAsClicksDo) {
    QTcpSocket* client = Connect();
    // After the port's initialise command every channel is on: the setting is sent at once,
    // through the row's send, and the row shows it.
    Send(client, "SOUR1:FREQ 12.5MHZ;:OUTP1 ON");
    EXPECT_EQ(Freq(0)->currentText(), QStringLiteral("12.5"));
    EXPECT_EQ(Amp(0)->currentText(), QStringLiteral("0"));
    EXPECT_EQ(Phase(0)->currentText(), QStringLiteral("0"));
    EXPECT_EQ(Switch(0)->text(), SWITCH_ON_CAPTION);
    EXPECT_TRUE(LedShowsLit(0));
    EXPECT_EQ(Pane(), QStringLiteral(
                          "單個通道設定 : CH[1] Freq=[12.5000]MHz  Phase=[0.0]°  Amp=[0.000]\n"));
    EXPECT_EQ(m_sim.Channel(0).freqWord, 0x20000000u);
    EXPECT_TRUE(DdsChannelTable[0].on);
    EXPECT_TRUE(Boxes().empty());

    // Channel 9 is the row labelled CH5; its frequency box keeps the preset text that gives the
    // same word. Multiple mode checks its box and enables the update button.
    Send(client, "SYST:MODE MULT;:SOUR9:AMPL 50;PHAS 90");
    EXPECT_EQ(Freq(8)->currentText(), QStringLiteral("10"));
    EXPECT_EQ(Amp(8)->currentText(), QStringLiteral("50"));
    EXPECT_EQ(Phase(8)->currentText(), QStringLiteral("90"));
    EXPECT_EQ(Switch(8)->text(), SWITCH_ON_CAPTION);
    EXPECT_TRUE(Multiple()->isChecked());
    EXPECT_FALSE(Single()->isChecked());
    EXPECT_TRUE(Update()->isEnabled());
    EXPECT_EQ(m_sim.PendingChannel(8).ampWord, 0x200u);
    Send(client, "SYST:UPD");
    EXPECT_FALSE(Update()->isEnabled());
    EXPECT_EQ(m_sim.Channel(8).ampWord, 0x200u);
    EXPECT_EQ(Query(client, "SOUR1:FREQ?;SOUR9:AMPL?;SOUR9:PHAS?;OUTP9?"),
              QStringLiteral("12500000;50;90;1"));

    // Channels 5 to 8 have no row: sent, the hidden rows untouched.
    Send(client, "SYST:MODE SING;:SOUR5:FREQ 1MHZ");
    EXPECT_EQ(m_sim.Channel(4).freqWord, static_cast<std::uint32_t>(FreqToWord(1e6)));
    EXPECT_EQ(Freq(4)->currentText(), QStringLiteral("10"));
    EXPECT_EQ(Switch(4)->text(), SWITCH_OFF_CAPTION);

    Send(client, "OUTP1 OFF");
    EXPECT_EQ(Switch(0)->text(), SWITCH_OFF_CAPTION);
    EXPECT_TRUE(LedShowsDark(0));
    EXPECT_FALSE(m_sim.Channel(0).on);
    EXPECT_EQ(Pane(),
              QStringLiteral("單個通道設定 : CH[1] Freq=[0.0000]MHz  Phase=[0.0]°  Amp=[0.000]\n"));

    // The operator's own send: the engine's kept values follow it.
    SetRow(1, QStringLiteral("20"), QStringLiteral("25"), QStringLiteral("180"));
    Click(Switch(1)); // on at 20 MHz
    const QStringList applied = Query(client, "SOUR2:APPL?;:OUTP2?").split(u',');
    ASSERT_EQ(applied.size(), 3);
    EXPECT_NEAR(applied[0].toDouble(), 20e6, 0.1); // as the frequency word reproduces it
    EXPECT_EQ(applied[1].toStdString(), "25");
    EXPECT_EQ(applied[2].toStdString(), "180;1");

    // *RST: every row shows the initial setting, running.
    Send(client, "*RST");
    for (int c : {0, 1, 8}) {
        EXPECT_EQ(Freq(c)->currentText(), QStringLiteral("10")) << c;
        EXPECT_EQ(Amp(c)->currentText(), QStringLiteral("0")) << c;
        EXPECT_EQ(Switch(c)->text(), SWITCH_ON_CAPTION) << c;
        EXPECT_TRUE(LedShowsLit(c)) << c;
    }

    // With the port closed a setting reaches nothing and says so.
    Command(ID_PORT_CLOSE);
    const std::size_t commands = m_sim.CommandCount();
    Send(client, "OUTP3 OFF");
    EXPECT_TRUE(Query(client, "SYST:ERR?").startsWith(QStringLiteral("-240,")));
    EXPECT_EQ(m_sim.CommandCount(), commands);
    EXPECT_TRUE(Boxes().empty());
}

// *SAV and *RCL keep their setups in the user's configuration folder, the one morvane-cli uses
// too; a recalled setting moves the panel as any remote setting does.
TEST_F(RemoteServerTest, SavedSetupsLiveInTheConfigurationFolder) {
    ASSERT_EQ(SetupFileConfigFolder(), RemoteConfigFolder());
    QTcpSocket* client = Connect();
    Send(client, "SOUR9:APPL 12.5MHZ,50,90;*SAV 2");
    EXPECT_TRUE(std::filesystem::is_regular_file(SetupFileConfigFolder() / "setup-2.ini"));
    Send(client, "SOUR9:FREQ 20MHZ");
    EXPECT_EQ(Freq(8)->currentText(), QStringLiteral("20"));
    Send(client, "*RCL 2");
    EXPECT_EQ(Freq(8)->currentText(), QStringLiteral("12.5"));
    EXPECT_EQ(Query(client, "SYST:ERR?"), QStringLiteral("0,\"No error\""));
}

// After an open without a reset (INIT=0) no row is known: a query of one is an error, not the
// table's guess, until the operator (or a client) has sent it.
TEST_F(RemoteServerTest, RowsOfAnOpenWithoutResetAreQueriedAsErrorsUntilSent) {
    Command(ID_PORT_CLOSE);
    WriteSetup(ReplaceLine(SetupText(m_sim.SlavePath()), "MODE=2\n", "MODE=2\nINIT=0\n"));
    Command(ID_PORT_OPEN);
    ASSERT_TRUE(m_form->IsPortOpen());
    QTcpSocket* client = Connect();
    for (const QByteArray query : {"SOUR1:FREQ?", "OUTP1?"}) {
        Send(client, query);
        EXPECT_TRUE(Query(client, "SYST:ERR?").startsWith(QStringLiteral("-230,"))) << query.data();
    }
    Click(Switch(0));
    const QString answer = Query(client, "SOUR1:FREQ?;:OUTP1?");
    EXPECT_TRUE(answer.startsWith(QStringLiteral("10000000.")) && answer.endsWith(u";1"))
        << answer.toStdString();
    EXPECT_TRUE(Query(client, "SYST:ERR?").startsWith(QStringLiteral("0,")));
}

TEST_F(RemoteServerTest, ClientsAreAdmittedByAddressAndCount) {
    // Eight clients are served, the ninth is closed at once.
    std::vector<QTcpSocket*> served;
    for (int i = 0; i < REMOTE_MAX_CLIENTS; ++i) {
        served.push_back(Connect());
        EXPECT_EQ(Query(served.back(), "*OPC?"), QStringLiteral("1")) << i;
    }
    EXPECT_TRUE(ClosedWithoutAByte(Connect()));
    EXPECT_TRUE(WaitFor([&] { return m_server->ClientCount() == REMOTE_MAX_CLIENTS; }));

    // A line over the limit is answered in the queue and the connection goes on.
    QTcpSocket* client = served.front();
    client->write(QByteArray(REMOTE_LINE_MAX + 100, 'x') + "\n");
    EXPECT_TRUE(Query(client, "SYST:ERR?")
                    .startsWith(QStringLiteral("-100,\"Command error; line longer than 4096")));

    // A client that goes away frees its place; a silent one is closed after the idle limit.
    m_clients.front()->abort();
    EXPECT_TRUE(WaitFor([&] { return m_server->ClientCount() == REMOTE_MAX_CLIENTS - 1; }));
    m_clients.clear();
    m_server.reset();
    m_server = StartServer("127.0.0.1:0", {}, std::chrono::milliseconds(100));
    QTcpSocket* silent = Connect();
    EXPECT_TRUE(ClosedWithoutAByte(silent));

    // A non-loopback listening address needs a range.
    m_server.reset();
    RemoteListen anyAddress;
    std::string error;
    ASSERT_TRUE(RemoteParseListen("0.0.0.0:0", &anyAddress, &error));
    CRemoteServer open(*m_form, 2);
    QString why;
    EXPECT_FALSE(open.Listen(anyAddress, {}, &why));
    EXPECT_TRUE(why.contains(QStringLiteral("--allow"))) << why.toStdString();

    // Tests talk over loopback only: which other clients a range admits is the admission
    // rule's own test (test_remote_net); here a foreign range leaves loopback served.
    m_server = StartServer("127.0.0.1:0", {"192.0.2.0/24"});
    ASSERT_NE(m_server, nullptr);
    EXPECT_EQ(Query(Connect(), "*OPC?"), QStringLiteral("1"));
}

// An operator's click and a client's line: the line that arrives during the click's exchange
// waits for it, then runs; its client may be gone by then.
TEST_F(RemoteServerTest, OperatorAndRemoteCommandsTakeTurns) {
    QTcpSocket* client = Connect();
    ASSERT_EQ(Query(client, "*OPC?"), QStringLiteral("1"));
    m_sim.SetFault(SimFault::Slow, 300);
    m_sim.ClearReceived();

    bool queuedDuringExchange = false;
    bool ranDuringExchange = true;
    QTimer::singleShot(0, [&] {
        // Inside the operator's exchange.
        client->write("SOUR1:FREQ 12.5MHZ\n");
        client->flush();
        (void)WaitFor([&] { return m_server->QueuedLines() == 1; });
        queuedDuringExchange = m_form->Exchange().IsRunning() && m_server->QueuedLines() == 1;
        client->abort(); // the client closes before its line runs: it looks like a half-close
        QTest::qWait(20);
        ranDuringExchange = m_linesDone > 1 || !m_form->Exchange().IsRunning();
    });
    SetRow(1, QStringLiteral("20"), QStringLiteral("25"), QStringLiteral("180"));
    Click(Switch(1));
    EXPECT_TRUE(queuedDuringExchange);
    EXPECT_FALSE(ranDuringExchange);
    ASSERT_TRUE(WaitFor([&] { return m_linesDone == 2; }));

    const std::string received = m_sim.Received();
    const std::size_t operatorAt = received.find("dds 1 ");
    const std::size_t remoteAt = received.find("dds 0 20000000");
    ASSERT_NE(operatorAt, std::string::npos);
    ASSERT_NE(remoteAt, std::string::npos);
    EXPECT_LT(operatorAt, remoteAt);
    EXPECT_EQ(Switch(1)->text(), SWITCH_ON_CAPTION);
    EXPECT_EQ(Freq(0)->currentText(), QStringLiteral("12.5"));
    EXPECT_EQ(m_sim.Channel(0).freqWord, 0x20000000u);
    EXPECT_EQ(Pane(), QStringLiteral(
                          "單個通道設定 : CH[1] Freq=[12.5000]MHz  Phase=[0.0]°  Amp=[0.000]\n"));
    EXPECT_TRUE(WaitFor([&] { return m_server->ClientCount() == 0; }));
}

// --serve takes an optional ADDR:PORT; --allow a range; setup.ini's [REMOTE] serves without
// either.
TEST_F(RemoteServerTest, CommandLineAndSetupFile) {
    struct Case {
        QStringList args;
        int exitCode;
        bool serve;
        QString address;
    };
    const Case cases[] = {
        {{QStringLiteral("--serve")}, -1, true, QString()},
        {{QStringLiteral("--serve"), QStringLiteral("[::1]:5025")},
         -1,
         true,
         QStringLiteral("[::1]:5025")},
        {{QStringLiteral("--serve"), QStringLiteral("--simulate")}, -1, true, QString()},
        {{QStringLiteral("--serve=0.0.0.0:6000"), QStringLiteral("--allow"),
          QStringLiteral("10.0.0.0/8")},
         -1,
         true,
         QStringLiteral("0.0.0.0:6000")},
        {{QStringLiteral("--serve=localhost:5025")}, 1, true, QString()},
        {{QStringLiteral("--allow"), QStringLiteral("ten")}, 1, false, QString()},
        {{}, -1, false, QString()},
    };
    for (const Case& c : cases) {
        const ConsoleArguments read =
            ConsoleReadArguments(QStringList{QStringLiteral("morvane")} + c.args);
        const std::string name = c.args.join(u' ').toStdString();
        EXPECT_EQ(read.exitCode, c.exitCode) << name;
        if (c.exitCode < 0) {
            EXPECT_EQ(read.info.m_bServe, c.serve) << name;
            EXPECT_EQ(read.info.m_strServe, c.address) << name;
        } else {
            EXPECT_TRUE(read.err.contains(c.args.first().section(u'=', 0, 0))) << name;
        }
    }
    EXPECT_TRUE(ConsoleHelpText().contains(QStringLiteral("--serve [ADDR:PORT]")));

    m_server.reset();
    QString error;
    EXPECT_EQ(ConsoleStartRemote(*m_form, CCommandLineInfo{}, &error), nullptr);
    EXPECT_TRUE(error.isEmpty());

    WriteSetup(SetupText(SimDevice()) + "\n[REMOTE]\nLISTEN=0.0.0.0:0\nALLOW=10.0.0.0/8, ten\n");
    EXPECT_EQ(ConsoleStartRemote(*m_form, CCommandLineInfo{}, &error), nullptr);
    EXPECT_EQ(error.toStdString(), "ALLOW= in [REMOTE] of setup.ini: 'ten' is not an address "
                                   "range such as 192.168.1.0/24");

    WriteSetup(SetupText(SimDevice()) + "\n[REMOTE]\nLISTEN=0.0.0.0:0\nALLOW=10.0.0.0/8\n");
    m_server = ConsoleStartRemote(*m_form, CCommandLineInfo{}, &error);
    ASSERT_NE(m_server, nullptr) << error.toStdString();
    EXPECT_TRUE(m_server->EndpointText().startsWith(QStringLiteral("0.0.0.0:")));
    EXPECT_EQ(Query(Connect(), "*IDN?").section(u',', 0, 1), QStringLiteral("Halvorn,QM-TRV"));
}

} // namespace

// A client that sends thousands of lines in one go, and reads its answers only at the end, has
// every line answered in order; another client is served meanwhile.
TEST_F(RemoteServerTest, AClientSendingWithoutPauseIsServedInOrderAndHoldsBackOnlyItself) {
    constexpr int LINES = 3000;
    QTcpSocket* flood = Connect();
    QByteArray burst;
    for (int i = 0; i < LINES; ++i) {
        // A numbered mistake and the query that reports it: the answers show the order the
        // lines ran in.
        burst += "NOPE" + QByteArray::number(i) + "\nSYST:ERR?\n";
    }
    flood->write(burst);
    QTcpSocket* other = Connect();
    EXPECT_EQ(Query(other, "*OPC?"), QStringLiteral("1"));
    // The other client had its answer while the flood was still being worked through.
    EXPECT_LT(flood->peek(flood->bytesAvailable()).count('\n'), LINES);

    QList<QByteArray> answers;
    QByteArray pending;
    EXPECT_TRUE(WaitFor([&] {
        pending += flood->readAll();
        return pending.count('\n') >= LINES;
    }));
    answers = pending.split('\n');
    ASSERT_GE(answers.size(), LINES);
    for (int i = 0; i < LINES; ++i) {
        ASSERT_TRUE(answers.at(i).startsWith("-113,") &&
                    answers.at(i).contains("'NOPE" + QByteArray::number(i) + "'"))
            << "line " << i << ": " << answers.at(i).constData();
    }
    EXPECT_EQ(m_server->QueuedLines(), 0);
    EXPECT_EQ(Query(flood, "*OPC?"), QStringLiteral("1"));
}

// The work clients can line up is bounded: all queues together, the module commands of one
// line, and the lines of a client that is gone, which are dropped.
TEST_F(RemoteServerTest, TheQueuedWorkOfAllClientsIsBounded) {
    QTcpSocket* client = Connect();
    const std::size_t before = m_sim.CommandCount();
    Send(client, QByteArray("SYST:UPD;").repeated(20) + "*OPC?");
    EXPECT_EQ(m_sim.CommandCount() - before, CRemoteServer::LINE_EXCHANGES_MAX);
    EXPECT_TRUE(Query(client, "SYST:ERR?").startsWith(QStringLiteral("-223,\"Too much data;")));

    // Eight clients flood a slow module, then reset their connections.
    m_sim.SetFault(SimFault::Slow, 5);
    std::vector<QTcpSocket*> flood{client};
    while (flood.size() < static_cast<std::size_t>(REMOTE_MAX_CLIENTS)) {
        flood.push_back(Connect());
    }
    int most = 0;
    QObject::connect(m_server.get(), &CRemoteServer::lineDone,
                     [&] { most = std::max(most, m_server->QueuedLines()); });
    for (QTcpSocket* c : flood) {
        c->write(QByteArray("SYST:UPD\n").repeated(100));
    }
    ASSERT_TRUE(WaitFor([&] { return m_linesDone > 150; }));
    EXPECT_LE(most, static_cast<int>(CRemoteServer::QUEUE_LINES_MAX));
    for (QTcpSocket* c : flood) {
        Reset(c);
    }
    ASSERT_TRUE(WaitFor([&] { return m_server->ClientCount() == 0; }));
    const int done = m_linesDone;
    QTest::qWait(100);
    EXPECT_LE(m_linesDone - done, 1); // at most the one that was running
}

// Lines come whole however packets split them; a client that stops sending after its last line
// (a half-close, as "nc -N" does) has every line run and answered, then is closed.
TEST_F(RemoteServerTest, LinesAreAnsweredAcrossPacketsAndAfterAHalfClose) {
    QTcpSocket* client = Connect();
    for (const char* part : {"*ID", "N?;*OP", "C?"}) {
        client->write(part);
        ASSERT_TRUE(client->waitForBytesWritten(WAIT_MS));
        QTest::qWait(20);
    }
    EXPECT_EQ(Query(client, "").section(u',', 0, 1), QStringLiteral("Halvorn,QM-TRV"));

    m_sim.SetFault(SimFault::Slow, 100);
    client->write("*CLS\nSOUR1:FREQ 1MHZ\nBOGUS\n*ESR?\nSYST:ERR?\n");
    ASSERT_TRUE(client->waitForBytesWritten(WAIT_MS));
    ASSERT_EQ(::shutdown(static_cast<int>(client->socketDescriptor()), SHUT_WR), 0);
    QByteArray answers;
    EXPECT_TRUE(WaitFor([&] {
        answers += client->readAll();
        return client->state() == QAbstractSocket::UnconnectedState;
    }));
    EXPECT_TRUE(answers.startsWith("32\n-113,")) << answers.constData();
    EXPECT_EQ(answers.count('\n'), 2);
    EXPECT_EQ(m_sim.Channel(0).freqWord, static_cast<std::uint32_t>(FreqToWord(1e6)));
}

// "[::]" serves IPv4 clients too.
TEST_F(RemoteServerTest, AnyIPv6AddressServesIPv4Clients) {
    m_server.reset();
    m_server = StartServer("[::]:0", {"10.0.0.0/8"});
    ASSERT_NE(m_server, nullptr);
    QTcpSocket v6;
    v6.connectToHost(QHostAddress::LocalHostIPv6, m_server->Port());
    if (!v6.waitForConnected(WAIT_MS)) {
        GTEST_SKIP() << "no IPv6 loopback here";
    }
    EXPECT_EQ(Query(Connect(QHostAddress::LocalHost), "*OPC?"), QStringLiteral("1"));
}
