#include "storage/bassavelist.h"

#include "platform/filesystem.h"
#include "platform/text.h"

#include <QMetaObject>
#include <QStringList>

#include <optional>

namespace basSaveList {

namespace {

using IoMode = FileSystemObject::IoMode;

QString reduced(const QString &text)
{
    return text::spaceTrimmed(text).toLower();
}

bool belongsTo(const QString &line, const QString &reducedName)
{
    return text::spaceTrimmed(line).startsWith(reducedName, Qt::CaseInsensitive);
}

// The text between the first "=" and the next "=" (or the line's end); none without a "=".
std::optional<QString> listPart(const QString &line)
{
    const qsizetype first = line.indexOf(QLatin1Char('='));
    if (first < 0)
        return std::nullopt;
    const qsizetype second = line.indexOf(QLatin1Char('='), first + 1);
    return line.mid(first + 1, second < 0 ? -1 : second - first - 1);
}

// Puts the edit text back however the load ends: clearing the list has emptied it.
class EditTextKeeper
{
public:
    explicit EditTextKeeper(HistoryBox &box) : m_box(box), m_text(box.Text()) {}
    ~EditTextKeeper() { m_box.setText(m_text); }
    EditTextKeeper(const EditTextKeeper &) = delete;
    EditTextKeeper &operator=(const EditTextKeeper &) = delete;

private:
    HistoryBox &m_box;
    QString m_text;
};

} // namespace

void loadHistory(HistoryBox &box, const QString &path, const QString &name)
{
    EditTextKeeper keeper(box);
    box.Clear();
    const QString boxName = reduced(name);

    FileSystemObject fso;
    if (!fso.FileExists(path))
        return;
    auto in = fso.OpenTextFile(path, IoMode::ForReading, false);
    while (!in->AtEndOfStream()) {
        const QString line = in->ReadLine();
        if (!belongsTo(line, boxName))
            continue;
        // A line of the box without "=" holds no list.
        const QString list = listPart(line).value_or(QString());
        if (!list.isEmpty()) {
            for (const QString &entry : list.split(QLatin1Char(',')))
                box.AddItem(entry);
        }
        break;
    }
    in->Close();
}

bool historyContains(const QString &text, const QString &line)
{
    const std::optional<QString> list = listPart(line);
    if (!list)
        return false;
    const QString wanted = reduced(text);
    for (const QString &entry : list->split(QLatin1Char(','))) {
        if (reduced(entry) == wanted)
            return true;
    }
    return false;
}

QString trimHistory(const QString &line, qint16 maximum)
{
    const qsizetype first = line.indexOf(QLatin1Char('='));
    const QString namePart = first < 0 ? line : line.left(first);
    QStringList entries = listPart(line).value_or(QString()).split(QLatin1Char(','));
    const qsizetype keep = qMax<qsizetype>(0, maximum);
    if (entries.size() > keep)
        entries = entries.mid(entries.size() - keep);
    return namePart + QLatin1Char('=') + entries.join(QLatin1Char(','));
}

void saveHistory(HistoryBox &box, const QString &path, const QString &name, qint16 maximum)
{
    const QString text = box.Text();
    if (text::spaceTrimmed(text).isEmpty())
        return;   // nothing to record, and the list stays as it is
    storeHistory(text, path, name, maximum);
    loadHistory(box, path, name);
}

void storeHistory(const QString &text, const QString &path, const QString &name, qint16 maximum)
{
    if (text::spaceTrimmed(text).isEmpty())
        return;
    // The entry would end its line and start a stray one; the file is left as it is.
    if (text.contains(QLatin1Char('\n')))
        throw FileError(QStringLiteral("Cannot store the address in \"%1\": it holds a line break")
                                .arg(path));
    const QString boxName = reduced(name);

    FileSystemObject fso;
    fso.RewriteTextFile(path, [&](TextStream &out) {
        bool seen = false;
        if (fso.FileExists(path)) {
            auto in = fso.OpenTextFile(path, IoMode::ForReading, false);
            while (!in->AtEndOfStream()) {
                QString line = in->ReadLine();
                if (belongsTo(line, boxName)) {
                    seen = true;
                    const std::optional<QString> list = listPart(line);
                    if (!list) {
                        line = boxName + QLatin1Char('=') + text;
                    } else if (!historyContains(text, line)) {
                        // Rebuilt from the list part, so the new entry lands in the list even
                        // when the line carries text after a second "=".
                        const QString namePart = line.left(line.indexOf(QLatin1Char('=')));
                        const QString entries =
                            list->isEmpty() ? text : *list + QLatin1Char(',') + text;
                        line = trimHistory(namePart + QLatin1Char('=') + entries, maximum);
                    }
                }
                out.WriteLine(line);
            }
            in->Close();
        }
        if (!seen)
            out.WriteLine(boxName + QLatin1Char('=') + text);
    });
}

HistoryWriter::~HistoryWriter()
{
    wait();
}

void HistoryWriter::start(const QString &text, const QString &path, const QString &name, qint16 maximum,
                          QObject *context, std::function<void()> done)
{
    wait();
    m_failure.clear();
    m_write = std::async(std::launch::async, [=]() -> QString {
        QString failure;
        try {
            storeHistory(text, path, name, maximum);
        } catch (const FileError &e) {
            failure = e.message();
        } catch (const std::exception &e) {
            failure = QString::fromLocal8Bit(e.what());
        }
        // Posted, so it runs on the context's thread; dropped when the context goes first.
        if (context && done)
            QMetaObject::invokeMethod(context, done, Qt::QueuedConnection);
        return failure;
    });
}

QString HistoryWriter::wait()
{
    if (m_write.valid())
        m_failure = m_write.get();
    return m_failure;
}

} // namespace basSaveList
