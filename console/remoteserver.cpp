// The console's SCPI server: the form as the engine's module, and the sockets on the
// user-interface thread's event loop.
#include "remoteserver.h"

#include "cccombobox.h"
#include "cmdline.h"
#include "mainfrm.h"
#include "monitor.h"
#include "morvanedlg.h"
#include "numtext.h"
#include "profile_reader.h"
#include "setupfile.h"

#include <QApplication>
#include <QCheckBox>
#include <QPushButton>

#include <algorithm>
#include <iterator>
#include <limits>

namespace {

const char* const SECTION_REMOTE = "REMOTE";
const char* const KEY_LISTEN = "LISTEN";
const char* const KEY_ALLOW = "ALLOW";
const char* const KEY_VXI11 = "VXI11";

// While a message box of a handler holds the queue up, it is looked at again this often.
constexpr int RETRY_MS = 50;

constexpr double HZ_PER_MHZ = 1000000.0;
constexpr double PERCENT_PER_FULL_SCALE = 100.0;

// The channel indexes whose rows are hidden: no row of the panel shows them.
bool HasRow(int c) {
    return c < 4 || c > 7;
}

// The shortest plain decimal text that reads back as value ("12.5", "0.001").
QString NumberText(double value) {
    return QString::fromStdString(NumTextShortest(value));
}

// Sets a box's text unless the text it holds already gives the module the same word (the box
// keeps "12.5" for the 12.499999997 Hz that the table holds of it).
template <class Word>
void ShowValue(CCComboBox* box, double value, double (*read)(const QString&), Word word) {
    const QString current = box->currentText();
    if (!current.isEmpty() && word(read(current)) == word(value)) {
        return;
    }
    box->setEditText(NumberText(value));
}

double ReadMHz(const QString& text) {
    return CMorvaneDlg::FreqTextToMHz(text);
}

double ReadNumber(const QString& text) {
    return NumTextToDouble(text.toStdString());
}

bool SameRow(const DdsChannelState& a, const DdsChannelState& b) {
    return a.on == b.on && a.freqHz == b.freqHz && a.phaseDeg == b.phaseDeg &&
           a.amplitude == b.amplitude;
}

} // namespace

// ---- the form as the module ----------------------------------------------------------------

CConsoleRemoteModule::CConsoleRemoteModule(CMorvaneDlg& form) : m_form(&form) {}

bool CConsoleRemoteModule::Ready() {
    return m_form != nullptr && m_form->m_bPortOpen && !m_form->m_bCloseAfterExchange &&
           !m_form->m_exchange.IsRunning() && !m_form->CheckPortGone();
}

bool CConsoleRemoteModule::Run(std::function<void()> work) {
    return Ready() && m_form->RunExchange(std::move(work));
}

std::uint32_t CConsoleRemoteModule::SetChannel(int channel, double freqHz, double phaseDeg,
                                               double amplitude, int single) {
    if (channel < 0 || channel >= DDS_CHANNELS) {
        return DDS_E_CHANNEL;
    }
    if (!Ready()) {
        return DDS_E_REPLY;
    }
    if (!HasRow(channel)) {
        std::uint32_t result = DDS_E_REPLY;
        (void)Run([&result, channel, freqHz, phaseDeg, amplitude, single] {
            result = DdsSetChannel(channel, freqHz, phaseDeg, amplitude, single);
        });
        return result;
    }
    CMorvaneDlg& form = *m_form;
    // The mode boxes say which mode the send uses (both unchecked: multiple, without the
    // update button); their handlers keep them exclusive.
    if (single != 0) {
        form.m_chkSingle->setChecked(true);
    } else if (form.m_chkSingle->isChecked()) {
        form.m_chkMultiple->setChecked(true);
    }
    const bool on = freqHz > 0.0;
    if (on) {
        ShowValue(form.m_cbFreq[channel], freqHz / HZ_PER_MHZ, ReadMHz,
                  [](double mhz) { return FreqToWord(mhz * HZ_PER_MHZ); });
    }
    ShowValue(form.m_cbAmp[channel], amplitude * PERCENT_PER_FULL_SCALE, ReadNumber,
              [](double percent) { return AmpToWord(percent / PERCENT_PER_FULL_SCALE); });
    ShowValue(form.m_cbPhase[channel], phaseDeg, ReadNumber,
              [](double degrees) { return PhaseToWord(degrees); });
    if (form.IsChannelOn(channel) != on) {
        (void)form.ToggleChannel(channel);
    }
    form.m_nLastSendResult = DDS_E_REPLY;
    form.m_bRemoteSend = true;
    (void)form.SendChannel(channel, on);
    form.m_bRemoteSend = false;
    return form.m_nLastSendResult;
}

std::uint32_t CConsoleRemoteModule::Update() {
    std::uint32_t result = DDS_E_REPLY;
    if (!Run([&result] { result = DdsUpdate(); })) {
        return DDS_E_REPLY;
    }
    m_form->m_btnUpdate->setEnabled(false);
    return result;
}

std::uint32_t CConsoleRemoteModule::Init(int clockMode) {
    std::uint32_t result = DDS_E_REPLY;
    if (!Run([&result, clockMode] { result = DdsInit(clockMode); })) {
        return DDS_E_REPLY;
    }
    if (result == DDS_OK) {
        // Every channel now runs at the initial frequency: the rows say so.
        for (int c = 0; c < DDS_CHANNELS; ++c) {
            if (HasRow(c)) {
                ShowTableRow(c);
            }
        }
    }
    return result;
}

void CConsoleRemoteModule::ShowTableRow(int c) {
    CMorvaneDlg& form = *m_form;
    const DdsChannelState& row = DdsChannelTable[c];
    form.m_cbFreq[c]->setEditText(NumberText(row.freqHz / HZ_PER_MHZ));
    form.m_cbAmp[c]->setEditText(NumberText(row.amplitude * PERCENT_PER_FULL_SCALE));
    form.m_cbPhase[c]->setEditText(NumberText(row.phaseDeg));
    if (form.IsChannelOn(c) != (row.on != 0)) {
        (void)form.ToggleChannel(c);
    }
}

std::uint32_t CConsoleRemoteModule::ReadClocks(DdsModuleClocksRecord* clocks) {
    std::uint32_t result = DDS_E_REPLY;
    DdsModuleClocksRecord read;
    if (!Run([&result, &read] { result = DdsReadClocks(&read); })) {
        return DDS_E_REPLY;
    }
    *clocks = read;
    return result;
}

bool CConsoleRemoteModule::Version(ModuleVersion* version) {
    int result = -1;
    if (!Run([&result] { result = MonitorV(); }) || result != 0) {
        return false;
    }
    *version = ComLink.version;
    return true;
}

bool CConsoleRemoteModule::Probe() {
    bool answered = false;
    return Run([&answered] { answered = LinkProbe(); }) && answered;
}

// ---- the server ----------------------------------------------------------------------------

CRemoteServer::CRemoteServer(CMorvaneDlg& form, int clockMode, QObject* parent)
    : QObject(parent), m_form(&form), m_module(form), m_engine(m_module, clockMode),
      m_setups(SetupFileConfigFolder()) {
    std::copy(std::begin(DdsChannelTable), std::end(DdsChannelTable), std::begin(m_seen));
    if (!m_setups.Folder().empty()) {
        m_engine.SetSetupStore(&m_setups);
    }
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, &CRemoteServer::RunNext);
    // Lines that arrived during an exchange run after it, once its handler has finished.
    connect(&form.Exchange(), &CExchangeRunner::exchangeEnded, this, &CRemoteServer::Schedule);
    if (CMainFrame* frame = form.GetParentFrame()) {
        connect(frame, &CMainFrame::frameClosed, this, &CRemoteServer::Stop);
    }
}

CRemoteServer::~CRemoteServer() {
    Stop();
}

bool CRemoteServer::Listen(const RemoteListen& listen, std::vector<RemoteRange> allow,
                           QString* error) {
    const QString host = QString::fromStdString(listen.host);
    if (!RemoteIsLoopback(listen.address) && allow.empty()) {
        *error = QStringLiteral("listening on %1 (not a loopback address) needs at least one "
                                "allowed range (--allow, or ALLOW= in [REMOTE] of setup.ini)")
                     .arg(host);
        return false;
    }
    Stop();
    IInstrumentRunner& runner = *this;
    m_server = std::make_unique<CInstrumentServer>(m_engine, runner, std::move(allow), m_limits);
    std::string why;
    if (!m_server->Listen(listen, &why)) {
        *error = QStringLiteral("cannot listen on %1: %2")
                     .arg(QString::fromStdString(
                              RemoteEndpointText(listen.host, listen.address.v6, listen.port)),
                          QString::fromStdString(why));
        m_server.reset();
        return false;
    }
    m_strEndpoint = QString::fromStdString(
        RemoteEndpointText(listen.host, listen.address.v6, m_server->Port()));
    return true;
}

bool CRemoteServer::StartVxi11(QString* error) {
    std::string why = "the server does not listen";
    if (m_server && m_server->StartVxi11(&why)) {
        return true;
    }
    *error = QString::fromStdString(why);
    return false;
}

QString CRemoteServer::EndpointText() const {
    return m_strEndpoint;
}

void CRemoteServer::Stop() {
    if (m_server) {
        m_server->Stop(); // cancels the exchange of a line that runs (CancelRunning)
    }
    m_retry.stop();
    m_jobs.clear();
}

void CRemoteServer::Post(std::function<void()> job) {
    // From the server's thread: the job joins the queue on the user-interface thread. A job
    // still on its way when this object goes is dropped with the event.
    QMetaObject::invokeMethod(
        this,
        [this, job = std::move(job)]() mutable {
            m_jobs.push_back(std::move(job));
            RunNext();
        },
        Qt::QueuedConnection);
}

void CRemoteServer::CancelRunning() {
    if (m_bExecuting && m_form != nullptr) {
        m_form->Exchange().Cancel();
    }
}

void CRemoteServer::Schedule() {
    if (m_bScheduled || m_jobs.empty()) {
        return;
    }
    m_bScheduled = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_bScheduled = false;
            RunNext();
        },
        Qt::QueuedConnection);
}

void CRemoteServer::FollowOperator() {
    for (int c = 0; c < DDS_CHANNELS; ++c) {
        if (!SameRow(DdsChannelTable[c], m_seen[c])) {
            m_engine.FollowChannel(c);
            m_seen[c] = DdsChannelTable[c];
        }
    }
}

void CRemoteServer::RunNext() {
    if (m_bExecuting || m_jobs.empty() || m_form == nullptr) {
        return;
    }
    // An exchange that runs ends with exchangeEnded, which schedules the next turn. A message
    // box of a handler has the handler waiting behind it: looked at again shortly.
    if (m_form->Exchange().IsRunning()) {
        return;
    }
    if (QApplication::activeModalWidget() != nullptr) {
        m_retry.start(RETRY_MS);
        return;
    }
    const std::function<void()> job = std::move(m_jobs.front());
    m_jobs.pop_front();
    FollowOperator();
    m_bExecuting = true;
    job();
    m_bExecuting = false;
    std::copy(std::begin(DdsChannelTable), std::end(DdsChannelTable), std::begin(m_seen));
    emit lineDone();
    Schedule();
}

// ---- start-up ------------------------------------------------------------------------------

std::unique_ptr<CRemoteServer> ConsoleStartRemote(CMorvaneDlg& form, const CCommandLineInfo& info,
                                                  QString* error) {
    error->clear();
    CProfileFile profile;
    (void)SetupFileLoadFirst(profile, SetupFileSearchPath(QCoreApplication::applicationDirPath()));
    const std::string listenKey = profile.GetString(SECTION_REMOTE, KEY_LISTEN);
    if (!info.m_bServe && listenKey.empty()) {
        return nullptr;
    }

    std::string text = info.m_strServe.toStdString();
    std::string source = "--serve";
    if (text.empty() && !listenKey.empty()) {
        text = listenKey;
        source = "LISTEN= in [REMOTE] of setup.ini";
    }
    if (text.empty()) {
        text = REMOTE_DEFAULT_LISTEN;
    }
    RemoteListen listen;
    std::string why;
    if (!RemoteParseListen(text, &listen, &why)) {
        *error = QString::fromStdString(source + ": " + why);
        return nullptr;
    }

    std::vector<RemoteRange> allow;
    auto addRange = [&](const std::string& range, const char* from) {
        RemoteRange r;
        if (!RemoteParseRange(range, &r, &why)) {
            *error = QString::fromStdString(std::string(from) + ": " + why);
            return false;
        }
        allow.push_back(r);
        return true;
    };
    for (const QString& range : info.m_allow) {
        if (!addRange(range.toStdString(), "--allow")) {
            return nullptr;
        }
    }
    // ALLOW=192.168.1.0/24, 10.0.0.5: blanks around the ranges do not count.
    for (const QString& range : QString::fromStdString(profile.GetString(SECTION_REMOTE, KEY_ALLOW))
                                    .split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QString trimmed = range.trimmed();
        if (!trimmed.isEmpty() &&
            !addRange(trimmed.toStdString(), "ALLOW= in [REMOTE] of setup.ini")) {
            return nullptr;
        }
    }

    auto server = std::make_unique<CRemoteServer>(form, form.DdsClkMode());
    // VXI-11 too where the build has it, unless the command line or VXI11=0 says raw only.
    server->SetWantsVxi11(
        CInstrumentServer::HasVxi11() && !info.m_bNoVxi11 &&
        QString::fromStdString(profile.GetString(SECTION_REMOTE, KEY_VXI11)).trimmed() !=
            QLatin1String("0"));
    if (!server->Listen(listen, std::move(allow), error)) {
        return nullptr;
    }
    return server;
}
