// The console's user-interface language. The Traditional Chinese texts in the code are the
// source texts; another language is a Qt Linguist translation (console/translations/
// morvane_<code>.ts), built into a .qm file that is embedded as the resource
// :/i18n/morvane_<code>.qm. Nothing is installed unless a language is asked for, and a text
// the translation lacks shows in the original.
#pragma once

#include <QString>

class QTranslator;

// The language asked for: the command line's --lang CODE when given (commandLine), otherwise
// LANGUAGE in section [UI] of the first readable setup.ini (see setupfile.h); "" when neither
// names one.
QString ConsoleChosenLanguage(const QString& commandLine);

// Loads the translation for language ("en", "en_US" and "en-GB" all find morvane_en) into
// translator and installs it in the application. Returns true when it did; false, leaving the
// original texts, for "" and for the source language zh_TW (or zh), and false with a line on
// standard error for a language without a translation.
bool ConsoleInstallTranslator(QTranslator& translator, const QString& language);
