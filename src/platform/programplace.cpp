#include "platform/programplace.h"

#include <QCoreApplication>
#include <QFileInfo>

ProgramPlace ProgramPlace::current()
{
    ProgramPlace p;
    p.folder = QCoreApplication::applicationDirPath();
    p.name = QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
    return p;
}

QString ProgramPlace::file(const QString &fileName) const
{
    return folder + QLatin1Char('/') + fileName;
}

QString ProgramPlace::parameterFile() const
{
    return file(name + QLatin1String(".par"));
}
