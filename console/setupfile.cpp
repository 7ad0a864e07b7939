#include "setupfile.h"

#include "framework.h"
#include "profile_reader.h"

#include <QDir>
#include <QStandardPaths>

namespace fs = std::filesystem;

namespace {

fs::path ToPath(const QString& dir) {
#ifdef _WIN32
    return fs::path(dir.toStdWString());
#else
    return fs::path(QFile::encodeName(dir).toStdString());
#endif
}

std::string ToDisplay(const fs::path& path) {
#ifdef _WIN32
    return QString::fromStdWString(path.native()).toStdString();
#else
    return path.native();
#endif
}

} // namespace

fs::path SetupFileConfigFolder() {
    // AppConfigLocation is the generic configuration folder followed by the organisation and
    // the application, whatever names the running process carries (a test program has its
    // own).
    const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                           QLatin1Char('/') + QLatin1String(PROFILE_ORGANIZATION) +
                           QLatin1Char('/') + QLatin1String(PROFILE_APPLICATION);
    return ToPath(config);
}

std::vector<fs::path> SetupFileSearchPath(const QString& exeDir) {
    return {
        ProfileSetupFilePath(),
        SetupFileConfigFolder() / "setup.ini",
        ToPath(QDir::cleanPath(exeDir + QStringLiteral("/../share/morvane"))) / "setup.ini",
    };
}

int SetupFileLoadFirst(CProfileFile& profile, const std::vector<fs::path>& places) {
    for (std::size_t i = 0; i < places.size(); ++i) {
        if (profile.Load(places[i])) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

std::string SetupFilePlacesText(const std::vector<fs::path>& places) {
    std::string text = "looked in: ";
    for (std::size_t i = 0; i < places.size(); ++i) {
        text += (i == 0 ? "" : ", ") + ToDisplay(places[i]);
    }
    return text;
}
