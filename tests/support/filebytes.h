#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QTest>

/// A file's bytes as they are on disk; "<missing>" when it cannot be read.
inline QByteArray contents(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return "<missing>";
    return file.readAll();
}

/// Makes a file hold exactly these bytes; fails the calling test when it cannot.
inline void setContents(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}
