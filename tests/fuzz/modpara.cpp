// The parameter file over any file contents, key and value: a write keeps the file in two-line
// blocks, changes exactly the lines the rules say (the first block's value line, or a new block
// at the end), and the written value reads back.
#include "fuzzcheck.h"
#include "platform/filesystem.h"
#include "platform/programplace.h"
#include "storage/modpara.h"

#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

#include <cstdint>
#include <memory>

namespace {

const QString &folder();

// Lines as the program reads them, as text.
QStringList linesOf(const QByteArray &bytes)
{
    QStringList lines;
    for (const QByteArray &line : rawLinesOf(bytes))
        lines.append(textOf(line));
    return lines;
}

// Nothing but the parameter file is left in the folder: no scratch file, whatever its name.
bool onlyTheFileLeft()
{
    return QDir(folder()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)
        == QStringList{QStringLiteral("seriograb.par")};
}


// Index of the first header of the key in the two-line walk; -1 when the key is missing.
qsizetype blockOf(const QStringList &lines, const QString &header)
{
    for (qsizetype i = 0; i < lines.size(); i += 2) {
        if (lines[i] == header)
            return i;
    }
    return -1;
}

QString describe(const QStringList &lines)
{
    QStringList shownLines;
    for (const QString &line : lines)
        shownLines.append(shown(line));
    return shownLines.join(QLatin1Char('\n'));
}

const QString &folder()
{
    // Memory-backed when possible: every rewrite syncs its file to disk.
    static const std::unique_ptr<QTemporaryDir> dir = [] {
        const QString shm = QStringLiteral("/dev/shm");
        auto d = std::make_unique<QTemporaryDir>(
                QDir(shm).exists() ? shm + QStringLiteral("/seriograb-fuzz-XXXXXX") : QString());
        return d;
    }();
    static const QString path = dir->path();
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzInput input(data, size);
    const QString key = QString::fromUtf8(input.piece());
    const QString value = QString::fromUtf8(input.piece());
    const QByteArray before = input.rest();

    const ProgramPlace place{folder(), QStringLiteral("seriograb"), QString(), QString()};
    const QString path = place.parameterFile();
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            std::abort();
        file.write(before);
    }

    const QStringList oldLines = linesOf(before);
    const QString header = modPara::headerLine(key);
    const qsizetype block = blockOf(oldLines, header);

    // What the rules make of the file: the first block's value replaced as given, or a new block
    // with the value trimmed of spaces at the end; a header left without a value gets an empty one.
    QStringList expected = oldLines;
    QString stored = value;
    if (block < 0) {
        if (expected.size() % 2 != 0)
            expected.append(QString());
        stored = trimSpaces(value);
        expected << header << stored;
    } else {
        if (block + 1 < expected.size())
            expected[block + 1] = value;
        else
            expected.append(value);
        if (expected.size() % 2 != 0)
            expected.append(QString());
    }

    // The read before the write: the value line of the key's first block in the two-line walk;
    // "" when there is none or nothing follows the header.
    {
        const QString expectedRead = block < 0 || block + 1 >= oldLines.size() ? QString() : oldLines[block + 1];
        const QString read = modPara::readPara(place, key);
        FUZZ_CHECK(read == expectedRead, QStringLiteral("readPara(%1) gave %2, the file holds %3")
                                                 .arg(shown(key), shown(read), shown(expectedRead)));
        FUZZ_CHECK(contentOf(path) == before, QStringLiteral("readPara changed the file"));
    }

    const bool lineBreak = key.contains(QLatin1Char('\n')) || value.contains(QLatin1Char('\n'));
    try {
        modPara::writePara(place, key, value);
    } catch (const FileError &e) {
        // A text that holds a line end cannot be one line of the file; refusing it is the only
        // failure allowed here, and it leaves the file as it was.
        FUZZ_CHECK(lineBreak, QStringLiteral("writePara failed: %1").arg(e.message()));
        FUZZ_CHECK(contentOf(path) == before, QStringLiteral("a refused write changed the file"));
        FUZZ_CHECK(onlyTheFileLeft(), QStringLiteral("a scratch file was left behind"));
        return 0;
    }
    FUZZ_CHECK(!lineBreak, QStringLiteral("a line end was written into the file: key %1, value %2")
                                   .arg(shown(key), shown(value)));
    FUZZ_CHECK(onlyTheFileLeft(), QStringLiteral("a scratch file was left behind"));

    const QStringList newLines = linesOf(contentOf(path));
    FUZZ_CHECK(newLines.size() % 2 == 0,
               QStringLiteral("odd number of lines after writing %1:\n%2").arg(shown(key), describe(newLines)));
    FUZZ_CHECK(newLines == expected,
               QStringLiteral("key %1 value %2\nbefore:\n%3\nafter:\n%4\nexpected:\n%5")
                       .arg(shown(key), shown(value), describe(oldLines), describe(newLines),
                            describe(expected)));

    // The written value always reads back, whatever the other lines hold.
    const QString reread = modPara::readPara(place, key);
    FUZZ_CHECK(reread == stored, QStringLiteral("wrote %1 under %2, read back %3")
                                         .arg(shown(stored), shown(key), shown(reread)));
    return 0;
}
