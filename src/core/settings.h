#pragma once

#include <QString>
#include <QtGlobal>

/// The program-wide settings and run flags: one instance, owned by main(), lent to the windows.
struct Settings
{
    static constexpr qint16 True = -1;
    static constexpr qint16 False = 0;

    QString headerText;       // put before every saved file name
    QString localFolder;      // folder that receives the files
    qint16 lastFile = 0;      // maximum passes in one run
    QString proxyIP;
    qint16 proxyPort = 0;
    qint16 multipleDownloads = True;
    qint16 stopRequested = False;
    QString historyPath;      // program folder + "/history.par"
};
