#include "translation.h"

#include "profile_reader.h"
#include "setupfile.h"

#include <QCoreApplication>
#include <QTranslator>

#include <cstdio>

namespace {

const char* const SECTION_UI = "UI";
const char* const KEY_LANGUAGE = "LANGUAGE";
const QString RESOURCE_DIR = QStringLiteral(":/i18n");

} // namespace

QString ConsoleChosenLanguage(const QString& commandLine) {
    if (!commandLine.isEmpty()) {
        return commandLine;
    }
    CProfileFile profile;
    SetupFileLoadFirst(profile, SetupFileSearchPath(QCoreApplication::applicationDirPath()));
    return QString::fromStdString(profile.GetString(SECTION_UI, KEY_LANGUAGE));
}

bool ConsoleInstallTranslator(QTranslator& translator, const QString& language) {
    QString code = language.trimmed();
    code.replace(QLatin1Char('-'), QLatin1Char('_'));
    if (code.isEmpty() || code.compare(QLatin1String("zh"), Qt::CaseInsensitive) == 0 ||
        code.compare(QLatin1String("zh_TW"), Qt::CaseInsensitive) == 0) {
        return false;
    }
    // "en_US" first as itself, then as its language alone.
    const QString base = code.section(QLatin1Char('_'), 0, 0);
    for (const QString& name : {code, base.toLower()}) {
        if (translator.load(QStringLiteral("morvane_") + name, RESOURCE_DIR)) {
            return QCoreApplication::installTranslator(&translator);
        }
    }
    std::fprintf(stderr,
                 "morvane: no translation for the language \"%s\"; the original texts "
                 "are shown\n",
                 code.toLocal8Bit().constData());
    std::fflush(stderr);
    return false;
}
