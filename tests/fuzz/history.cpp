// The address history over any file contents, box name, entry and maximum: a save changes only
// the box's lines, never leaves more than the maximum in a line it rebuilt, never adds a
// case-or-space duplicate, keeps every other line byte for byte, and the list mirrors the file.
#include "fuzzcheck.h"
#include "platform/filesystem.h"
#include "storage/bassavelist.h"
#include "storage/historybox.h"

#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

#include <cstdint>
#include <memory>

namespace {

class ListBox : public HistoryBox
{
public:
    QString Text() const override { return text; }
    void setText(const QString &t) override { text = t; }
    void Clear() override { items.clear(); text.clear(); }
    void AddItem(const QString &item) override { items.append(item); }

    QString text;
    QStringList items;
};


QString reduced(const QString &text) { return trimSpaces(text).toLower(); }

bool belongs(const QString &line, const QString &reducedName)
{
    return trimSpaces(line).startsWith(reducedName, Qt::CaseInsensitive);
}

// The list part: between the first "=" and the next one; none without a "=".
std::optional<QStringList> entriesOf(const QString &line)
{
    const qsizetype first = line.indexOf(QLatin1Char('='));
    if (first < 0)
        return std::nullopt;
    const qsizetype second = line.indexOf(QLatin1Char('='), first + 1);
    const QString list = line.mid(first + 1, second < 0 ? -1 : second - first - 1);
    return list.split(QLatin1Char(','));
}

const QString &folder()
{
    static const std::unique_ptr<QTemporaryDir> dir = [] {
        const QString shm = QStringLiteral("/dev/shm");
        return std::make_unique<QTemporaryDir>(
                QDir(shm).exists() ? shm + QStringLiteral("/seriograb-fuzz-XXXXXX") : QString());
    }();
    static const QString path = dir->path();
    return path;
}

const char *const names[] = {"cmburl1", "cmbURL1", "  CmbUrl1 ", "cmburl", "c", "other"};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzInput input(data, size);
    const unsigned choice = input.byte();
    const QString name = QString::fromLatin1(names[choice % std::size(names)]);
    const qint16 maximum = qint16(1 + (choice / std::size(names)) % 9);
    const bool fileExists = !(input.byte() & 1);
    const QString text = QString::fromUtf8(input.piece());
    const QByteArray before = input.rest();

    const QString path = folder() + QStringLiteral("/history.par");
    QFile::remove(path);
    if (fileExists) {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            std::abort();
        file.write(before);
    }

    ListBox box;
    box.text = text;
    box.items = QStringList{QStringLiteral("earlier item")};
    try {
        basSaveList::saveHistory(box, path, name, maximum);
    } catch (const FileError &e) {
        // Only a text that holds a line end may be refused, and the file stays as it was.
        FUZZ_CHECK(text.contains(QLatin1Char('\n')), QStringLiteral("saveHistory failed: %1").arg(e.message()));
        FUZZ_CHECK(QFile::exists(path) == fileExists && contentOf(path) == (fileExists ? before : QByteArray()),
                   QStringLiteral("a refused save changed the file"));
        FUZZ_CHECK(box.text == text, QStringLiteral("a refused save changed the edit text"));
        return 0;
    }
    FUZZ_CHECK(!text.contains(QLatin1Char('\n')) || trimSpaces(text).isEmpty(),
               QStringLiteral("a line end was saved into the history: %1").arg(shown(text)));
    FUZZ_CHECK(box.text == text, QStringLiteral("edit text %1 became %2").arg(shown(text), shown(box.text)));
    const QStringList files = QDir(folder()).entryList(QDir::Files | QDir::Hidden);
    FUZZ_CHECK(files.isEmpty() || files == QStringList{QStringLiteral("history.par")},
               QStringLiteral("left in the folder: %1").arg(files.join(QLatin1Char(' '))));

    if (trimSpaces(text).isEmpty()) {
        FUZZ_CHECK(QFile::exists(path) == fileExists && contentOf(path) == (fileExists ? before : QByteArray()),
                   QStringLiteral("saving a blank text touched the file"));
        FUZZ_CHECK(box.items == QStringList{QStringLiteral("earlier item")},
                   QStringLiteral("saving a blank text reloaded the list"));
        return 0;
    }

    const QString boxName = reduced(name);
    const QList<QByteArray> oldLines = fileExists ? rawLinesOf(before) : QList<QByteArray>();
    const QList<QByteArray> newLines = rawLinesOf(contentOf(path));
    bool seen = false;
    for (const QByteArray &raw : oldLines)
        seen = seen || belongs(textOf(raw), boxName);
    FUZZ_CHECK(newLines.size() == oldLines.size() + (seen ? 0 : 1),
               QStringLiteral("%1 lines became %2").arg(oldLines.size()).arg(newLines.size()));

    const bool plainEntry = !text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('='));
    for (qsizetype i = 0; i < oldLines.size(); ++i) {
        const QString oldLine = textOf(oldLines[i]);
        const QString newLine = textOf(newLines[i]);
        if (!belongs(oldLine, boxName)) {
            FUZZ_CHECK(newLines[i] == oldLines[i],
                       QStringLiteral("line %1 of another box changed: %2 became %3")
                               .arg(i + 1).arg(shown(oldLine), shown(newLine)));
            continue;
        }
        const std::optional<QStringList> oldEntries = entriesOf(oldLine);
        if (!oldEntries) {
            FUZZ_CHECK(newLine == boxName + QLatin1Char('=') + text,
                       QStringLiteral("line without \"=\" %1 became %2").arg(shown(oldLine), shown(newLine)));
            continue;
        }
        bool present = false;
        for (const QString &entry : *oldEntries)
            present = present || reduced(entry) == reduced(text);
        if (present) {
            FUZZ_CHECK(newLine == oldLine, QStringLiteral("%1 was already stored, yet %2 became %3")
                                                   .arg(shown(text), shown(oldLine), shown(newLine)));
            continue;
        }
        const std::optional<QStringList> newEntries = entriesOf(newLine);
        FUZZ_CHECK(newEntries && newEntries->size() <= maximum,
                   QStringLiteral("rebuilt line %1 holds more than %2 entries").arg(shown(newLine)).arg(maximum));
        FUZZ_CHECK(newLine.left(newLine.indexOf(QLatin1Char('=')))
                           == oldLine.left(oldLine.indexOf(QLatin1Char('='))),
                   QStringLiteral("the name part of %1 changed: %2").arg(shown(oldLine), shown(newLine)));
        if (plainEntry) {
            FUZZ_CHECK(newEntries->last() == text,
                       QStringLiteral("%1 is not the newest entry of %2").arg(shown(text), shown(newLine)));
            // The entries kept are the newest of the old ones, in their order.
            QStringList kept = *oldEntries;
            if (kept.size() == 1 && kept.first().isEmpty())
                kept.clear();
            kept.append(text);
            FUZZ_CHECK(*newEntries == kept.mid(kept.size() - newEntries->size()),
                       QStringLiteral("%1 plus %2 became %3").arg(shown(oldLine), shown(text), shown(newLine)));
            FUZZ_CHECK(newEntries->size() == qMin<qsizetype>(kept.size(), maximum),
                       QStringLiteral("%1 plus %2 kept too few: %3").arg(shown(oldLine), shown(text), shown(newLine)));
            int same = 0;
            for (const QString &entry : *newEntries)
                same += reduced(entry) == reduced(text) ? 1 : 0;
            FUZZ_CHECK(same == 1, QStringLiteral("%1 stands %2 times in %3").arg(shown(text)).arg(same).arg(shown(newLine)));
        }
    }
    if (!seen) {
        FUZZ_CHECK(textOf(newLines.last()) == boxName + QLatin1Char('=') + text,
                   QStringLiteral("new line for the box is %1").arg(shown(textOf(newLines.last()))));
    }

    // The list shows the first line of the box as it now stands.
    QStringList listed;
    for (const QByteArray &raw : newLines) {
        const QString line = textOf(raw);
        if (!belongs(line, boxName))
            continue;
        const QStringList entries = entriesOf(line).value_or(QStringList());
        if (!(entries.size() == 1 && entries.first().isEmpty()))
            listed = entries;
        break;
    }
    FUZZ_CHECK(box.items == listed, QStringLiteral("the list shows %1, the file holds %2")
                                            .arg(box.items.join(QLatin1Char('|')), listed.join(QLatin1Char('|'))));
    return 0;
}
