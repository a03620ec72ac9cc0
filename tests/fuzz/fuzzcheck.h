#pragma once

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>

#include <cstdio>
#include <cstdlib>

// A broken property ends the program the way a crash does, so libFuzzer keeps the input and a
// replay under CTest fails.
[[noreturn]] inline void fuzzFailure(const char *file, int line, const char *what, const QString &detail)
{
    std::fprintf(stderr, "%s:%d: property broken: %s\n%s\n", file, line, what,
                 detail.toUtf8().constData());
    std::fflush(stderr);
    std::abort();
}

#define FUZZ_CHECK(condition, detail)                                               \
    do {                                                                            \
        if (!(condition))                                                           \
            fuzzFailure(__FILE__, __LINE__, #condition, (detail));                  \
    } while (false)

// Visible form of a text for failure messages: control characters as \xNN.
inline QString shown(const QString &text)
{
    QString out = QStringLiteral("\"");
    for (QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out + QLatin1Char('"');
}

// Takes the fuzz input apart: small numbers and length-prefixed pieces from the front, the rest
// as a whole. Reading past the end gives zeros and empty pieces, never an error.
class FuzzInput
{
public:
    FuzzInput(const unsigned char *data, std::size_t size)
        : m_data(reinterpret_cast<const char *>(data)), m_size(size) {}

    unsigned byte()
    {
        return m_pos < m_size ? static_cast<unsigned char>(m_data[m_pos++]) : 0u;
    }
    QByteArray piece()
    {
        std::size_t length = byte();
        length = std::min(length, m_size - m_pos);
        const QByteArray out(m_data + m_pos, qsizetype(length));
        m_pos += length;
        return out;
    }
    QByteArray rest()
    {
        const QByteArray out(m_data + m_pos, qsizetype(m_size - m_pos));
        m_pos = m_size;
        return out;
    }

private:
    const char *m_data;
    std::size_t m_size;
    std::size_t m_pos = 0;
};

// Helpers of the properties, written apart from the program's own code so that a fault there
// cannot hide by being checked against itself.

// Raw lines: split at LF, one CR before it dropped, bytes as they are.
inline QList<QByteArray> rawLinesOf(const QByteArray &bytes)
{
    QList<QByteArray> lines;
    qsizetype start = 0;
    while (start < bytes.size()) {
        qsizetype end = bytes.indexOf('\n', start);
        const qsizetype next = end < 0 ? bytes.size() : end + 1;
        if (end < 0)
            end = bytes.size();
        QByteArray line = bytes.mid(start, end - start);
        if (line.endsWith('\r'))
            line.chop(1);
        lines.append(line);
        start = next;
    }
    return lines;
}

// A line's bytes as the program reads them: UTF-8, but a byte that starts no valid sequence
// stands as the lone surrogate U+DC00 + byte. Qt's decoder judges validity here: a sequence is
// valid when it decodes and encodes back to the same bytes.
inline QString textOf(const QByteArray &bytes)
{
    QString text;
    for (qsizetype i = 0; i < bytes.size();) {
        const uchar lead = uchar(bytes[i]);
        const qsizetype length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
        const QByteArray sequence = bytes.mid(i, length);
        const bool valid = length > 0 && sequence.size() == length && QString::fromUtf8(sequence).toUtf8() == sequence;
        text += valid ? QString::fromUtf8(sequence) : QString(QChar(char16_t(0xDC00 + lead)));
        i += valid ? length : 1;
    }
    return text;
}

inline QByteArray contentOf(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

// Stripped of the space character only, tabs kept.
inline QString trimSpaces(QString text)
{
    while (text.startsWith(QLatin1Char(' ')))
        text.remove(0, 1);
    while (text.endsWith(QLatin1Char(' ')))
        text.chop(1);
    return text;
}
