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

/// Every byte value from 0 to 255, repeats times over: a body that any text handling would change.
inline QByteArray everyByteValue(int repeats)
{
    QByteArray bytes;
    bytes.reserve(repeats * 256);
    for (int r = 0; r < repeats; ++r)
        for (int b = 0; b < 256; ++b)
            bytes.append(char(b));
    return bytes;
}
