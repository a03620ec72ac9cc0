#include "platform/programplace.h"

#include "platform/filesystem.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <unistd.h>

namespace {

// Whether this process may create files in the folder; with mayCreate, a missing folder counts
// when its nearest existing parent may be written.
bool canWriteInto(const QString &folder, bool mayCreate)
{
    QString path = QDir::cleanPath(QFileInfo(folder).absoluteFilePath());
    while (mayCreate && !QFileInfo::exists(path) && !QFileInfo(path).isSymLink()) {
        const QString parent = QFileInfo(path).path();
        if (parent == path)
            break;
        path = parent;
    }
    return QFileInfo(path).isDir()
        && ::faccessat(AT_FDCWD, QFile::encodeName(path).constData(), W_OK | X_OK, AT_EACCESS) == 0;
}

} // namespace

ProgramPlace ProgramPlace::current()
{
    ProgramPlace p;
    p.folder = QCoreApplication::applicationDirPath();
    p.name = QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
    p.userFolder = userSettingsFolder();
    // Relative, so an install works wherever its prefix is; in the build tree nothing is there.
    p.dataFolder = QDir::cleanPath(p.folder + QStringLiteral("/" SERIOGRAB_DATA_FROM_PROGRAM));
    return p;
}

QString ProgramPlace::userSettingsFolder()
{
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    // A relative XDG_CONFIG_HOME is not to be used, by the desktop's own rules for it.
    if (base.isEmpty() || QDir::isRelativePath(base))
        base = QDir::homePath() + QStringLiteral("/.config");
    return base + QStringLiteral("/seriograb");
}

QString ProgramPlace::file(const QString &fileName) const
{
    return folder + QLatin1Char('/') + fileName;
}

QString ProgramPlace::dataFile(const QString &fileName) const
{
    const QString beside = file(fileName);
    if (dataFolder.isEmpty() || QFileInfo::exists(beside))
        return beside;
    const QString installed = dataFolder + QLatin1Char('/') + fileName;
    return QFileInfo::exists(installed) ? installed : beside;
}

QString ProgramPlace::parameterFileName() const
{
    return name + QLatin1String(".par");
}

QString ProgramPlace::historyFileName() const
{
    const QString usual = QStringLiteral("history.par");
    // Compared without case, as the folder may lie on a file system that ignores it.
    return parameterFileName().compare(usual, Qt::CaseInsensitive) == 0 ? QStringLiteral("urlhistory.par") : usual;
}

bool ProgramPlace::isInstalled() const
{
    const QString marker = QStringLiteral("default.gif");
    return !dataFolder.isEmpty() && !QFileInfo::exists(file(marker))
        && QFileInfo::exists(dataFolder + QLatin1Char('/') + marker);
}

QString ProgramPlace::settingsFolder() const
{
    if (userFolder.isEmpty() || (!isInstalled() && canWriteInto(folder, false)))
        return folder;
    return userFolder;
}

bool ProgramPlace::canKeepSettings() const
{
    const QString kept = settingsFolder();
    return canWriteInto(kept, kept != folder);
}

QString ProgramPlace::settingsFile(const QString &fileName) const
{
    return settingsFolder() + QLatin1Char('/') + fileName;
}

QString ProgramPlace::currentSettingsFile(const QString &fileName) const
{
    const QString kept = settingsFile(fileName);
    const QString given = dataFile(fileName);
    if (given != kept && !QFileInfo::exists(kept) && QFileInfo(given).isFile())
        return given;
    return kept;
}

QString ProgramPlace::prepareSettingsFile(const QString &fileName) const
{
    const QString kept = settingsFile(fileName);
    if (kept != file(fileName) && !QDir().mkpath(settingsFolder()))
        throw FileError(QStringLiteral("Cannot create the settings folder \"%1\"").arg(settingsFolder()));
    const QString source = currentSettingsFile(fileName);
    if (source != kept)
        FileSystemObject().CopyFile(source, kept);
    return kept;
}

QString ProgramPlace::parameterFile() const
{
    return currentSettingsFile(parameterFileName());
}
