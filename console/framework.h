// The small layer that every form and dialog of the console stands on.
//
// - Forms are laid out in dialog units, converted to pixels through the form font exactly the
//   way the dialog templates they come from were: baseX is the average width of the letters
//   a-z A-Z, baseY the font height, x = du * baseX / 4 and y = du * baseY / 8 rounded like
//   MulDiv. Position and size of a control are converted separately, as a template's controls
//   are created.
// - Every control of a form carries its decimal id as objectName; GetDlgItem finds it.
// - All message boxes go through MorvaneMessageBox, so that tests can record them (and choose
//   the answer) instead of blocking on a modal loop.
#pragma once

#include "profile_reader.h"

#include <QFont>
#include <QIcon>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QRect>
#include <QString>
#include <QWidget>

#include <functional>
#include <vector>

// Trace lines of the shell: warnings (a bar that could not be created) are always shown,
// debug lines (single-copy traffic) when QT_LOGGING_RULES="morvane.shell.debug=true".
Q_DECLARE_LOGGING_CATEGORY(lcMorvaneShell)

// ---- dialog units ------------------------------------------------------------------------

// a * b / c in 64 bits, rounded half away from zero; -1 when c is 0 (the platform's MulDiv).
int FwMulDiv(int a, int b, int c);

// Horizontal and vertical dialog base units of a font, in pixels.
struct CDialogBaseUnits {
    int cx = 0;
    int cy = 0;
};

// Base units from the advance of the 52-letter string a-z A-Z and the font height:
// cx = (lettersWidth / 26 + 1) / 2, cy = height (integer arithmetic, as the platform does).
CDialogBaseUnits FwDialogBaseUnits(int lettersWidth, int height);

// Base units of a font as it resolves on this system.
CDialogBaseUnits FwDialogBaseUnits(const QFont& font);

// Dialog-unit rectangle (x, y, width, height) to pixels; each of the four is mapped alone.
QRect DluToPixels(const CDialogBaseUnits& base, const QRect& du);
QRect DluToPixels(const QFont& font, const QRect& du);
QSize DluToPixels(const QFont& font, const QSize& du);

// The font of a form template: the face asked by name (fontconfig substitutes a face that is
// not installed), its point size turned into a whole pixel height at the screen's logical DPI
// as the platform does, and the weight on the 100-900 scale.
QFont FwTemplateFont(const QString& face, int points, int weight = 400);

// Names the Traditional Chinese faces as the first fallbacks of the application's faces, so
// that Chinese in the default font comes from them. Call once, after the application object
// exists and before any widget.
void FwPreferTraditionalFaces();

// ---- control ids -------------------------------------------------------------------------

// Gives a control its id and its place in dialog units of the form font.
void FwPlaceControl(QWidget* control, int id, const QFont& font, const QRect& du);

// The id a control carries, or -1 when it carries none.
int GetDlgCtrlID(const QWidget* control);

// The descendant of form that carries id, or nullptr.
QWidget* GetDlgItem(const QWidget* form, int id);

// The same, as type T (nullptr when the control is of another type).
template <class T> T* GetDlgItem(const QWidget* form, int id) {
    return dynamic_cast<T*>(GetDlgItem(form, id));
}

// ---- message boxes -----------------------------------------------------------------------

struct CMessageBoxRequest {
    QWidget* owner = nullptr;
    QString caption;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons = QMessageBox::Ok;
};

using MessageBoxHook = std::function<QMessageBox::StandardButton(const CMessageBoxRequest&)>;

// Installs a hook that answers message boxes in place of the modal box; returns the previous
// hook. An empty hook restores the real box.
MessageBoxHook MorvaneSetMessageBoxHook(MessageBoxHook hook);

// Shows a modal message box owned by owner (the active window when null) and returns the
// button that closed it. caption empty: the application name.
QMessageBox::StandardButton
MorvaneMessageBox(QWidget* owner, const QString& caption, const QString& text,
                  QMessageBox::Icon icon, QMessageBox::StandardButtons buttons = QMessageBox::Ok);

// Records every message box while it lives and answers each with the chosen button; restores
// the previous hook when destroyed. For tests.
class CMessageBoxRecorder {
public:
    explicit CMessageBoxRecorder(QMessageBox::StandardButton answer = QMessageBox::Ok);
    ~CMessageBoxRecorder();
    CMessageBoxRecorder(const CMessageBoxRecorder&) = delete;
    CMessageBoxRecorder& operator=(const CMessageBoxRecorder&) = delete;

    void SetAnswer(QMessageBox::StandardButton answer) { m_answer = answer; }
    const std::vector<CMessageBoxRequest>& Records() const { return m_records; }
    void Clear() { m_records.clear(); }

private:
    MessageBoxHook m_prevHook;
    QMessageBox::StandardButton m_answer;
    std::vector<CMessageBoxRequest> m_records;
};

// ---- profile -----------------------------------------------------------------------------

// The profile is QSettings("Halvorn", "Morvane"): the registry key Software\Halvorn\Morvane of
// the current user on Windows, $XDG_CONFIG_HOME/Halvorn/Morvane.conf (~/.config when unset) on
// Linux (the names: PROFILE_ORGANIZATION and PROFILE_APPLICATION). Tests move it by setting
// XDG_CONFIG_HOME before the first use.

// The string of entry in section, or def when there is none.
QString FwGetProfileString(const QString& section, const QString& entry, const QString& def);
// Writes the string of entry in section at once. Returns false when it could not be stored.
bool FwWriteProfileString(const QString& section, const QString& entry, const QString& value);
// Where the profile lives (a file path, or the registry path on Windows).
QString FwProfileLocation();

// ---- resources ---------------------------------------------------------------------------

// The application and frame icon (icon 128), in 16, 32 and 48 pixels.
QIcon MorvaneAppIcon();
// A PNG image of the resources (or any PNG file) as a pixmap; null when it cannot be read.
QPixmap MorvaneLoadPng(const QString& path);
