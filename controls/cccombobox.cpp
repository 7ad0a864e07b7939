#include "cccombobox.h"

#include <QAbstractItemView>
#include <QCursor>
#include <QEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPalette>
#include <QTimerEvent>

namespace {

// Only the user-interface thread makes and deletes brushes.
int g_liveBrushes = 0;
unsigned long long g_nextBrushSerial = 1;

// Text and background of an edit field or list, in the two states in which a control takes
// input. Disabled controls keep the style's colours.
void SetPaletteColors(QWidget* widget, const QColor& text, const QBrush& background) {
    if (!widget) {
        return;
    }
    QPalette pal = widget->palette();
    for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
        pal.setBrush(group, QPalette::Base, background);
        pal.setBrush(group, QPalette::Window, background);
        pal.setColor(group, QPalette::Text, text);
        pal.setColor(group, QPalette::WindowText, text);
    }
    // setPalette does nothing when the palette is unchanged, so calling this at every paint
    // does not cause further paints.
    widget->setPalette(pal);
}

} // namespace

CCComboBox::CSolidBrush::CSolidBrush(COLORREF cr)
    : brush(ColorFromRef(cr), Qt::SolidPattern), serial(g_nextBrushSerial++) {
    ++g_liveBrushes;
}

CCComboBox::CSolidBrush::~CSolidBrush() {
    --g_liveBrushes;
}

CCComboBox::CCComboBox(QWidget* parent) : QComboBox(parent) {
    // A drop-down combo box with an edit field: typing neither adds items nor completes them.
    // The edit field is handed over directly rather than through setEditable(true), which with
    // some styles also builds the drop-down list and its frame at once: 24 of them on the main
    // form, a tenth of the console's start-up. The list is made when it first drops down.
    auto* edit = new QLineEdit(this);
    edit->setPalette(palette());
    setLineEdit(edit);
    setInsertPolicy(QComboBox::NoInsert);
    setCompleter(nullptr);
    // Mouse moves without a pressed button reach a widget only with tracking on. Most of the
    // control is its edit field, so its moves are watched too.
    setMouseTracking(true);
    lineEdit()->setMouseTracking(true);
    lineEdit()->installEventFilter(this);

    const COLORREF face = SysColor(COLOR_BTNFACE);
    SetColors(0xFFFFFF, face, 0x000000, face);
    m_bHover = false;
    m_nTimerID = 1;
    m_nElapse = 10;
}

// m_pBkBrush goes before m_pHoverBrush: members die in reverse order of declaration.
CCComboBox::~CCComboBox() = default;

void CCComboBox::SetColors(COLORREF crText, COLORREF crBk, COLORREF crHoverText,
                           COLORREF crHoverBk) {
    m_crText = crText;
    m_crBk = crBk;
    m_crHoverText = crHoverText;
    m_crHoverBk = crHoverBk;
    m_pBkBrush.reset();
    m_pHoverBrush.reset();
    m_pBkBrush = std::make_unique<CSolidBrush>(m_crBk);
    m_pHoverBrush = std::make_unique<CSolidBrush>(m_crHoverBk);
}

void CCComboBox::SetNormalBkColor(COLORREF cr) {
    SetColors(m_crText, cr, m_crHoverText, m_crHoverBk);
}

void CCComboBox::SetHoverBkColor(COLORREF cr) {
    SetColors(m_crText, m_crBk, m_crHoverText, cr);
}

void CCComboBox::SetNormalTextColor(COLORREF cr) {
    SetColors(cr, m_crBk, m_crHoverText, m_crHoverBk);
}

void CCComboBox::SetHoverTextColor(COLORREF cr) {
    SetColors(m_crText, m_crBk, cr, m_crHoverBk);
}

unsigned long long CCComboBox::BkBrushSerial() const {
    return m_pBkBrush->serial;
}

unsigned long long CCComboBox::HoverBrushSerial() const {
    return m_pHoverBrush->serial;
}

int CCComboBox::LiveBrushCount() {
    return g_liveBrushes;
}

QPoint CCComboBox::CursorPos() const {
    return QCursor::pos();
}

void CCComboBox::ApplyColors() {
    const QColor text = ColorFromRef(m_bHover ? m_crHoverText : m_crText);
    const QBrush& background = m_bHover ? m_pHoverBrush->brush : m_pBkBrush->brush;
    SetPaletteColors(this, text, background);
    SetPaletteColors(lineEdit(), text, background);
    // The list, once it exists (a list made later takes the box's colours from it).
    if (auto* list = findChild<QAbstractItemView*>()) {
        SetPaletteColors(list, text, background);
    }
}

void CCComboBox::OnMouseMove() {
    if (m_bHover) {
        return;
    }
    m_bHover = true;
    ApplyColors();
    update();
    m_hoverTimer.start(static_cast<int>(m_nElapse), this);
}

void CCComboBox::mouseMoveEvent(QMouseEvent* event) {
    OnMouseMove();
    QComboBox::mouseMoveEvent(event);
}

void CCComboBox::timerEvent(QTimerEvent* event) {
    // Whichever timer ticked, check whether the cursor has left. QRect::contains counts the
    // right and bottom edges (x == width, y == height) as outside.
    if (!rect().contains(mapFromGlobal(CursorPos()))) {
        m_bHover = false;
        m_hoverTimer.stop();
        ApplyColors();
        update();
    }
    QComboBox::timerEvent(event);
}

void CCComboBox::paintEvent(QPaintEvent* event) {
    ApplyColors();
    QComboBox::paintEvent(event);
}

bool CCComboBox::eventFilter(QObject* watched, QEvent* event) {
    if (watched == lineEdit()) {
        if (event->type() == QEvent::MouseMove) {
            OnMouseMove();
        } else if (event->type() == QEvent::Paint) {
            ApplyColors();
        }
    }
    return QComboBox::eventFilter(watched, event);
}

void CCComboBox::showPopup() {
    (void)view(); // made now if this is its first time
    ApplyColors();
    QComboBox::showPopup();
}
