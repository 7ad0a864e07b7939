// The English user interface: --lang en (or LANGUAGE in [UI] of setup.ini) puts the English
// texts in place of the original ones, and the committed translation covers every source text
// of the console with the same placeholders.
#include "test_morvanedlg_fixture.h"

#include "cmdline.h"
#include "translation.h"

#include <QMenuBar>
#include <QProcess>
#include <QRegularExpression>
#include <QTranslator>
#include <QXmlStreamReader>

#include <map>
#include <tuple>

namespace morvanedlg_test {
namespace {

class TranslationTest : public MorvaneDlgTest {
protected:
    void TearDown() override {
        MorvaneDlgTest::TearDown();
        QCoreApplication::removeTranslator(&m_translator);
    }
    QTranslator m_translator;
};

TEST_F(TranslationTest, LangEnShowsEnglishMenusStatusTextsAndBoxes) {
    // The command line asks first; setup.ini's [UI] LANGUAGE when it does not.
    WriteSetup(SetupText(SimDevice()) + "\n[UI]\nLANGUAGE=en\n");
    const ConsoleArguments arguments = ConsoleReadArguments(
        {QStringLiteral("morvane"), QStringLiteral("--lang"), QStringLiteral("en_US")});
    ASSERT_EQ(arguments.exitCode, ConsoleArguments::CONTINUE_STARTUP);
    EXPECT_EQ(ConsoleChosenLanguage(arguments.info.m_strLanguage), QStringLiteral("en_US"));
    EXPECT_EQ(ConsoleChosenLanguage(QString()), QStringLiteral("en"));
    // The original language and an unknown one install nothing.
    QTranslator unused;
    EXPECT_FALSE(ConsoleInstallTranslator(unused, QStringLiteral("zh_TW")));
    EXPECT_FALSE(ConsoleInstallTranslator(unused, QStringLiteral("xx")));
    ASSERT_TRUE(ConsoleInstallTranslator(m_translator, arguments.info.m_strLanguage));

    Open();
    ASSERT_TRUE(m_form->IsPortOpen());
    QStringList top;
    for (const QAction* action : m_frame->menuBar()->actions()) {
        top << action->text();
    }
    EXPECT_EQ(top, QStringList({QStringLiteral("&File"), QStringLiteral("&Options"),
                                QStringLiteral("&Help")}));
    EXPECT_EQ(m_frame->FindCommand(ID_PORT_OPEN)->text(), QStringLiteral("&Open serial port"));
    EXPECT_EQ(m_frame->FindCommand(ID_TRANSCRIPT)->text(), QStringLiteral("&Transcript…"));
    const QString device = QString::fromStdString(m_sim.SlavePath());
    EXPECT_EQ(Pane(), QStringLiteral(" Status : [RS232] Port[ %1 ] opened").arg(device));
    EXPECT_EQ(Freq(0)->accessibleName(), QStringLiteral("CH1 frequency"));
    EXPECT_EQ(Led(0)->accessibleName(), QStringLiteral("CH1 output off"));
    EXPECT_EQ(Switch(0)->text(), QStringLiteral("On"));
    ExpectCaptionsHoldTheirTexts(m_form); // "Freq" and "Amp" are wider than 頻率 and 振幅

    // A set: the translated printf format keeps its conversions.
    SetRow(0, QStringLiteral("10"), QStringLiteral("50"), QStringLiteral("0"));
    Click(Switch(0));
    EXPECT_EQ(Pane(), QStringLiteral("Single channel : CH[1] Freq=[10.0000]MHz  "
                                     "Phase=[0.0]°  Amp=[0.500]\n"));
    EXPECT_EQ(Led(0)->accessibleName(), QStringLiteral("CH1 output on"));
    // A refused set: its box and its reason.
    SetRow(1, QStringLiteral("10"), QStringLiteral("150"), QStringLiteral("0"));
    Click(Switch(1));
    ASSERT_FALSE(Boxes().empty());
    EXPECT_EQ(Boxes().back().caption, QStringLiteral("Set failed"));
    EXPECT_EQ(Boxes().back().text,
              QStringLiteral("Setting the parameters of channel [CH2] failed !            "));
    EXPECT_EQ(Pane(), QStringLiteral("Set failed : CH[2] amplitude out of range (0 - 100 %)"));
}

// ---- the translation file ----------------------------------------------------------------

using MessageKey = std::tuple<QString, QString, QString>; // context, source, comment

struct TsMessage {
    QString translation;
    QString type; // "unfinished", "vanished", "obsolete" or ""
};

std::map<MessageKey, TsMessage> ReadTs(const QString& path, QString* error) {
    std::map<MessageKey, TsMessage> messages;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read ") + path;
        return messages;
    }
    QXmlStreamReader xml(&file);
    QString context;
    QString source;
    QString comment;
    TsMessage message;
    while (xml.readNext() != QXmlStreamReader::EndDocument && !xml.hasError()) {
        if (xml.isEndElement() && xml.name() == QLatin1String("message")) {
            messages[{context, source, comment}] = message;
        }
        if (!xml.isStartElement()) {
            continue;
        }
        if (xml.name() == QLatin1String("name")) {
            context = xml.readElementText();
        } else if (xml.name() == QLatin1String("message")) {
            source.clear();
            comment.clear();
            message = {};
        } else if (xml.name() == QLatin1String("source")) {
            source = xml.readElementText();
        } else if (xml.name() == QLatin1String("comment")) {
            comment = xml.readElementText();
        } else if (xml.name() == QLatin1String("translation")) {
            message.type = xml.attributes().value(QLatin1String("type")).toString();
            message.translation = xml.readElementText();
        }
    }
    if (xml.hasError()) {
        *error = xml.errorString();
    }
    return messages;
}

// The placeholders of a text in order: printf conversions (%d, %.4f, %s) and QString::arg's
// %1, %2; "%)" and "% " are plain percent signs.
QStringList Placeholders(const QString& text) {
    static const QRegularExpression placeholder(
        QStringLiteral("%(?:[-+ #0]*[0-9]*(?:\\.[0-9]+)?[diouxXeEfgGcs]|[1-9])"));
    QStringList found;
    for (auto it = placeholder.globalMatch(text); it.hasNext();) {
        found << it.next().captured();
    }
    return found;
}

TEST(TranslationFile, EveryMessageHasAFinishedTranslationWithTheSamePlaceholders) {
    QString error;
    const auto messages = ReadTs(QStringLiteral(MORVANE_TS_EN), &error);
    ASSERT_TRUE(error.isEmpty()) << error.toStdString();
    ASSERT_GT(messages.size(), 50u);
    for (const auto& [key, message] : messages) {
        const QString& source = std::get<1>(key);
        SCOPED_TRACE(source.toStdString());
        EXPECT_TRUE(message.type.isEmpty()) << message.type.toStdString();
        EXPECT_FALSE(message.translation.isEmpty());
        EXPECT_EQ(Placeholders(message.translation).join(QLatin1Char(' ')).toStdString(),
                  Placeholders(source).join(QLatin1Char(' ')).toStdString());
    }
}

TEST(TranslationFile, LupdateFindsNoSourceTextMissingFromTheTranslation) {
    const QString lupdate = QStringLiteral(MORVANE_LUPDATE);
    if (lupdate.isEmpty() || !QFile::exists(lupdate)) {
        GTEST_SKIP() << "lupdate is not installed";
    }
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString extracted = dir.filePath(QStringLiteral("extracted.ts"));
    QProcess process;
    process.start(lupdate,
                  {QStringLiteral("-silent"), QStringLiteral("-no-obsolete"),
                   QStringLiteral("-extensions"), QStringLiteral("cpp,h"),
                   QStringLiteral(MORVANE_CONSOLE_SOURCE_DIR), QStringLiteral("-ts"), extracted});
    ASSERT_TRUE(process.waitForFinished(120000)) << "lupdate did not end";
    ASSERT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();

    QString error;
    const auto found = ReadTs(extracted, &error);
    ASSERT_TRUE(error.isEmpty()) << error.toStdString();
    const auto committed = ReadTs(QStringLiteral(MORVANE_TS_EN), &error);
    ASSERT_TRUE(error.isEmpty()) << error.toStdString();
    ASSERT_FALSE(found.empty());
    QStringList untranslated;
    for (const auto& entry : found) {
        if (committed.count(entry.first) == 0) {
            untranslated << std::get<0>(entry.first) + QStringLiteral(": ") +
                                std::get<1>(entry.first);
        }
    }
    EXPECT_TRUE(untranslated.isEmpty())
        << "not in morvane_en.ts (run the target update_translations, then translate):\n"
        << untranslated.join(QLatin1Char('\n')).toStdString();
}

} // namespace
} // namespace morvanedlg_test
