#include "framework.h"

#include "resource.h"

#include <QApplication>
#include <QCoreApplication>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QImageReader>
#include <QPixmap>
#include <QScreen>
#include <QSettings>

#include <QStringList>

#include <cstdint>
#include <mutex>
#include <utility>

Q_LOGGING_CATEGORY(lcMorvaneShell, "morvane.shell", QtInfoMsg)

// ---- dialog units ------------------------------------------------------------------------

int FwMulDiv(int a, int b, int c) {
    if (c == 0) {
        return -1;
    }
    const std::int64_t product = static_cast<std::int64_t>(a) * b;
    const bool negative = (product < 0) != (c < 0);
    const std::int64_t num = product < 0 ? -product : product;
    const std::int64_t den = c < 0 ? -static_cast<std::int64_t>(c) : c;
    const std::int64_t q = (num + den / 2) / den;
    return static_cast<int>(negative ? -q : q);
}

CDialogBaseUnits FwDialogBaseUnits(int lettersWidth, int height) {
    return CDialogBaseUnits{(lettersWidth / 26 + 1) / 2, height};
}

CDialogBaseUnits FwDialogBaseUnits(const QFont& font) {
    static const QString letters =
        QStringLiteral("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ");
    // A form converts the rectangle of every control through the same font: the letters are
    // measured once per font (and screen resolution), not once per control, which took a
    // noticeable part of the start-up. Only the user-interface thread lays out forms.
    static QString lastKey;
    static CDialogBaseUnits lastUnits;
    const QScreen* screen = QGuiApplication::primaryScreen();
    const QString key = font.key() + QLatin1Char('@') +
                        QString::number(screen != nullptr ? screen->logicalDotsPerInchY() : 0.0);
    if (key != lastKey) {
        const QFontMetrics fm(font);
        lastUnits = FwDialogBaseUnits(fm.horizontalAdvance(letters), fm.height());
        lastKey = key;
    }
    return lastUnits;
}

QRect DluToPixels(const CDialogBaseUnits& base, const QRect& du) {
    return QRect(FwMulDiv(du.x(), base.cx, 4), FwMulDiv(du.y(), base.cy, 8),
                 FwMulDiv(du.width(), base.cx, 4), FwMulDiv(du.height(), base.cy, 8));
}

QRect DluToPixels(const QFont& font, const QRect& du) {
    return DluToPixels(FwDialogBaseUnits(font), du);
}

QSize DluToPixels(const QFont& font, const QSize& du) {
    return DluToPixels(font, QRect(QPoint(0, 0), du)).size();
}

namespace {
// The Traditional Chinese faces, best first, that stand in for the forms' face where it is
// missing.
const QStringList TRADITIONAL_FACES = {QStringLiteral("Microsoft JhengHei"),
                                       QStringLiteral("Noto Sans CJK TC"),
                                       QStringLiteral("Noto Sans TC")};
} // namespace

void FwPreferTraditionalFaces() {
    // Characters a face lacks (the menus' and the boxes' Chinese in the default face) come
    // from the font system's first CJK face unless the face names substitutes: that is often
    // the Japanese one, whose glyph forms differ, loaded as a second face beside the
    // Traditional one the form uses. Substitutes are tried first. They are named for the
    // default face and the faces the platform theme gives the classes that show Chinese;
    // the fonts themselves stay as the theme set them.
    static const char* const CLASSES[] = {
        nullptr,       "QMenu",    "QMenuBar",          "QStatusBar",
        "QMessageBox", "QToolTip", "QAbstractItemView", "QHeaderView",
        "QLabel"};
    for (const char* className : CLASSES) {
        const QFont font =
            className != nullptr ? QApplication::font(className) : QApplication::font();
        const QString family = font.family();
        if (!family.isEmpty() && !TRADITIONAL_FACES.contains(family, Qt::CaseInsensitive) &&
            QFont::substitutes(family).isEmpty()) {
            QFont::insertSubstitutions(family, TRADITIONAL_FACES);
        }
    }
}

QFont FwTemplateFont(const QString& face, int points, int weight) {
    // Where the forms' Traditional Chinese face is missing (Linux), the font system's own
    // fallback picks the first CJK face it knows, which is often the Japanese one: its glyph
    // forms differ from the Traditional ones. Name the Traditional faces as substitutes.
    static const bool substituted = [] {
        QFont::insertSubstitutions(QStringLiteral("微軟正黑體"), TRADITIONAL_FACES);
        return true;
    }();
    (void)substituted;
    QFont font(face);
    font.setStyleHint(QFont::SansSerif);
    int dpi = 96;
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        dpi = qRound(screen->logicalDotsPerInchY());
    }
    // The platform asks for an integer character height of -MulDiv(points, dpi, 72).
    font.setPixelSize(FwMulDiv(points, dpi, 72));
    font.setWeight(static_cast<QFont::Weight>(weight));
    return font;
}

// ---- control ids -------------------------------------------------------------------------

void FwPlaceControl(QWidget* control, int id, const QFont& font, const QRect& du) {
    control->setObjectName(QString::number(id));
    control->setGeometry(DluToPixels(font, du));
}

int GetDlgCtrlID(const QWidget* control) {
    if (control == nullptr) {
        return -1;
    }
    bool ok = false;
    const int id = control->objectName().toInt(&ok, 10);
    return ok ? id : -1;
}

QWidget* GetDlgItem(const QWidget* form, int id) {
    if (form == nullptr) {
        return nullptr;
    }
    return form->findChild<QWidget*>(QString::number(id));
}

// ---- message boxes -----------------------------------------------------------------------

namespace {

MessageBoxHook& CurrentHook() {
    static MessageBoxHook hook;
    return hook;
}

} // namespace

MessageBoxHook MorvaneSetMessageBoxHook(MessageBoxHook hook) {
    return std::exchange(CurrentHook(), std::move(hook));
}

QMessageBox::StandardButton MorvaneMessageBox(QWidget* owner, const QString& caption,
                                              const QString& text, QMessageBox::Icon icon,
                                              QMessageBox::StandardButtons buttons) {
    CMessageBoxRequest request;
    request.owner = owner;
    request.caption = caption.isEmpty() ? QString::fromLatin1(IDS_APP_NAME) : caption;
    request.text = text;
    request.icon = icon;
    request.buttons = buttons;
    if (const MessageBoxHook& hook = CurrentHook()) {
        return hook(request);
    }

    QWidget* parent = owner != nullptr ? owner : QApplication::activeWindow();
    QMessageBox box(icon, request.caption, text, buttons, parent);
    // Texts carry file and device names: shown as they are, never guessed to be rich text.
    box.setTextFormat(Qt::PlainText);
    const int result = box.exec();
    return static_cast<QMessageBox::StandardButton>(result);
}

CMessageBoxRecorder::CMessageBoxRecorder(QMessageBox::StandardButton answer) : m_answer(answer) {
    m_prevHook = MorvaneSetMessageBoxHook([this](const CMessageBoxRequest& request) {
        m_records.push_back(request);
        return m_answer;
    });
}

CMessageBoxRecorder::~CMessageBoxRecorder() {
    MorvaneSetMessageBoxHook(std::move(m_prevHook));
}

// ---- profile -----------------------------------------------------------------------------

QString FwGetProfileString(const QString& section, const QString& entry, const QString& def) {
    QSettings profile(QString::fromLatin1(PROFILE_ORGANIZATION),
                      QString::fromLatin1(PROFILE_APPLICATION));
    profile.beginGroup(section);
    const QVariant value = profile.value(entry);
    return value.isValid() ? value.toString() : def;
}

bool FwWriteProfileString(const QString& section, const QString& entry, const QString& value) {
    QSettings profile(QString::fromLatin1(PROFILE_ORGANIZATION),
                      QString::fromLatin1(PROFILE_APPLICATION));
    profile.beginGroup(section);
    profile.setValue(entry, value);
    profile.endGroup();
    profile.sync();
    return profile.status() == QSettings::NoError;
}

QString FwProfileLocation() {
    const QSettings profile(QString::fromLatin1(PROFILE_ORGANIZATION),
                            QString::fromLatin1(PROFILE_APPLICATION));
    return profile.fileName();
}

// ---- resources ---------------------------------------------------------------------------

// Q_INIT_RESOURCE must be used outside any namespace; the resources sit in a static library,
// whose initialiser the linker would otherwise drop.
static void InitMorvaneResources() {
    Q_INIT_RESOURCE(morvane);
}

QIcon MorvaneAppIcon() {
    static std::once_flag once;
    std::call_once(once, InitMorvaneResources);
    QIcon icon;
    icon.addPixmap(MorvaneLoadPng(QStringLiteral(":/morvane/icon16.png")));
    icon.addPixmap(MorvaneLoadPng(QStringLiteral(":/morvane/icon32.png")));
    icon.addPixmap(MorvaneLoadPng(QStringLiteral(":/morvane/icon48.png")));
    return icon;
}

QPixmap MorvaneLoadPng(const QString& path) {
    // Told the format and not to guess it, the reader goes straight to Qt's own PNG decoder.
    // Left to guess (as QPixmap(path) and QIcon::addFile do), it first loads every installed
    // image-format plugin (GIF, ICO, JPEG with its library, ...) to ask each whether it reads
    // PNG: several milliseconds of start-up and their memory, for the same pixels.
    QImageReader reader(path, "png");
    reader.setAutoDetectImageFormat(false);
    return QPixmap::fromImage(reader.read());
}
