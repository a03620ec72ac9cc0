#include "storage/modpara.h"

#include "platform/filesystem.h"
#include "platform/text.h"


namespace modPara {

namespace {

using IoMode = FileSystemObject::IoMode;

// Number of lines in the file; 0 when it does not exist.
qsizetype lineCount(FileSystemObject &fso, const QString &path)
{
    if (!fso.FileExists(path))
        return 0;
    auto in = fso.OpenTextFile(path, IoMode::ForReading, false);
    qsizetype count = 0;
    while (!in->AtEndOfStream()) {
        in->ReadLine();
        ++count;
    }
    in->Close();
    return count;
}

} // namespace

QString headerLine(const QString &key)
{
    return QLatin1Char('[') + text::spaceTrimmed(key.toUpper()) + QLatin1Char(']');
}

bool paraMissing(const ProgramPlace &place, const QString &key)
{
    FileSystemObject fso;
    const QString header = headerLine(key);
    QString path = place.parameterFile();
    // The first start: an empty file, made where the settings will be kept.
    if (!fso.FileExists(path))
        path = place.prepareSettingsFile(place.parameterFileName());
    auto in = fso.OpenTextFile(path, IoMode::ForReading, true);
    for (;;) {
        if (in->AtEndOfStream()) {
            in->Close();
            return true;
        }
        if (in->ReadLine() == header) {
            in->Close();
            return false;
        }
        // The value of the block just passed; a header on the last line simply ends the walk.
        if (!in->AtEndOfStream())
            in->ReadLine();
    }
}

QString readPara(const ProgramPlace &place, const QString &key)
{
    if (paraMissing(place, key))
        return QString();

    FileSystemObject fso;
    const QString header = headerLine(key);
    auto in = fso.OpenTextFile(place.parameterFile(), IoMode::ForReading, false);
    QString value;
    // Block by block, as the existence test and the rewrite walk the file: a value line that
    // happens to read like a header (a header text of "[LASTFILE]") is a value, not a header.
    while (!in->AtEndOfStream()) {
        const bool isHeader = in->ReadLine() == header;
        // A header on the very last line holds an empty value.
        const QString line = in->AtEndOfStream() ? QString() : in->ReadLine();
        if (isHeader) {
            value = line;
            break;
        }
    }
    in->Close();
    return value;
}

QHash<QString, QString> readParas(const ProgramPlace &place, const QStringList &keys)
{
    QHash<QString, QString> keyOf;   // by header line
    for (const QString &key : keys)
        keyOf.insert(headerLine(key), key);
    FileSystemObject fso;
    QString path = place.parameterFile();
    if (!fso.FileExists(path))
        path = place.prepareSettingsFile(place.parameterFileName());
    auto in = fso.OpenTextFile(path, IoMode::ForReading, true);
    QHash<QString, QString> values;
    // Block by block, as readPara walks the file; the first block of a key holds its value.
    while (!in->AtEndOfStream() && values.size() < keyOf.size()) {
        const auto key = keyOf.constFind(in->ReadLine());
        const QString line = in->AtEndOfStream() ? QString() : in->ReadLine();
        if (key != keyOf.cend() && !values.contains(*key))
            values.insert(*key, line);
    }
    in->Close();
    return values;
}

void appendPara(const ProgramPlace &place, const QString &key, const QString &value)
{
    FileSystemObject fso;
    const QString path = place.prepareSettingsFile(place.parameterFileName());
    // A file ending in a header without its value line would pair the new header with that
    // header's missing value; give it an empty value first so the blocks stay in step.
    const bool unpaired = lineCount(fso, path) % 2 != 0;
    auto out = fso.OpenTextFile(path, IoMode::ForAppending, true);
    if (unpaired)
        out->WriteLine(QString());
    out->WriteLine(headerLine(key));
    out->WriteLine(text::spaceTrimmed(value));
    out->Close();
}

void replacePara(const ProgramPlace &place, const QString &key, const QString &value)
{
    FileSystemObject fso;
    const QString path = place.prepareSettingsFile(place.parameterFileName());
    const QString header = headerLine(key);

    fso.RewriteTextFile(path, [&](TextStream &out) {
        auto in = fso.OpenTextFile(path, IoMode::ForReading, false);
        qsizetype written = 0;
        auto copyLine = [&](const QString &line) {
            out.WriteLine(line);
            ++written;
        };

        while (!in->AtEndOfStream()) {
            const QString line = in->ReadLine();
            copyLine(line);
            if (line == header) {
                copyLine(value);
                if (!in->AtEndOfStream())
                    in->ReadLine(); // the old value
                break;
            }
            if (!in->AtEndOfStream())
                copyLine(in->ReadLine());
        }
        // Later blocks, a second block of the same key among them, are copied as they are.
        while (!in->AtEndOfStream())
            copyLine(in->ReadLine());
        // A trailing header without its value gets an empty one, so the file stays in pairs.
        if (written % 2 != 0)
            copyLine(QString());
        in->Close();
    });
}

namespace {

// A line end inside the key or the value would split its block and put every later block out
// of step, so such a text is refused before the file is touched.
void refuseLineBreaks(const ProgramPlace &place, const QString &key, const QString &value)
{
    if (key.contains(QLatin1Char('\n')) || value.contains(QLatin1Char('\n')))
        throw FileError(QStringLiteral("Cannot store %1 in \"%2\": it holds a line break")
                                .arg(key.contains(QLatin1Char('\n')) ? QStringLiteral("a key")
                                                                      : QStringLiteral("the value of ") + key,
                                     place.parameterFile()));
}

} // namespace

void writePara(const ProgramPlace &place, const QString &key, const QString &value)
{
    refuseLineBreaks(place, key, value);
    if (paraMissing(place, key))
        appendPara(place, key, value);
    else
        replacePara(place, key, value);
}

void writeParas(const ProgramPlace &place, const QList<std::pair<QString, QString>> &values)
{
    QHash<QString, qsizetype> indexOf;   // by header line
    for (qsizetype i = 0; i < values.size(); ++i) {
        refuseLineBreaks(place, values[i].first, values[i].second);
        indexOf.insert(headerLine(values[i].first), i);
    }
    FileSystemObject fso;
    const QString path = place.prepareSettingsFile(place.parameterFileName());

    fso.RewriteTextFile(path, [&](TextStream &out) {
        QList<bool> stored(values.size(), false);
        qsizetype written = 0;
        auto copyLine = [&](const QString &line) {
            out.WriteLine(line);
            ++written;
        };
        if (fso.FileExists(path)) {
            auto in = fso.OpenTextFile(path, IoMode::ForReading, false);
            // Block by block, as the reads walk the file: the first block of a key takes its
            // value as given, and every other line is copied as it is.
            while (!in->AtEndOfStream()) {
                const QString line = in->ReadLine();
                copyLine(line);
                const bool atEnd = in->AtEndOfStream();
                const auto found = indexOf.constFind(line);
                if (found != indexOf.cend() && !stored[*found]) {
                    stored[*found] = true;
                    copyLine(values[*found].second);
                    if (!atEnd)
                        in->ReadLine();   // the old value
                } else if (!atEnd) {
                    copyLine(in->ReadLine());
                }
            }
            in->Close();
        }
        // A trailing header without its value gets an empty one, so the new blocks stay in step.
        if (written % 2 != 0)
            copyLine(QString());
        for (qsizetype i = 0; i < values.size(); ++i) {
            if (!stored[i]) {
                copyLine(headerLine(values[i].first));
                copyLine(text::spaceTrimmed(values[i].second));
            }
        }
    });
}

} // namespace modPara
