#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QTest>

/// A file's bytes as they are on disk; "<missing>" when it cannot be read.
inline QByteArray contents(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return "<missing>";
    return file.readAll();
}

/// Makes a file hold exactly these bytes; false when it cannot.
inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

/// writeFile() that fails the calling test when it cannot.
inline void setContents(const QString &path, const QByteArray &bytes)
{
    QVERIFY2(writeFile(path, bytes), qPrintable(path));
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

/// Bytes that look random and are the same on every run: a body no parser makes sense of.
inline QByteArray noise(int size)
{
    QByteArray bytes;
    bytes.reserve(size);
    quint32 x = 2463534242u;   // xorshift32
    for (int i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        bytes.append(char(x & 0xff));
    }
    return bytes;
}

/// Every entry of a folder by name, hidden ones too, so a left-over part or scratch file shows.
inline QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}
