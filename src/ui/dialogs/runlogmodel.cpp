#include "ui/dialogs/runlogmodel.h"

#include <QFileInfo>

RunLogModel::RunLogModel(const QStringList &lines, int maxRows, QObject *parent)
    : QAbstractTableModel(parent), m_maxRows(maxRows)
{
    const qsizetype first = qMax<qsizetype>(0, lines.size() - maxRows);
    m_rows.reserve(lines.size() - first);
    for (qsizetype i = first; i < lines.size(); ++i)
        m_rows.append(parse(lines.at(i)));
    // A run turns the event loop for every answer, a line or two a turn: a frame's lines at once
    // cost the table one insertion and one scroll instead of one each.
    m_flush.setSingleShot(true);
    m_flush.setInterval(16);
    connect(&m_flush, &QTimer::timeout, this, &RunLogModel::flush);
}

void RunLogModel::addLine(const QString &line)
{
    m_pending.append(line);
    if (!m_flush.isActive())
        m_flush.start();
}

void RunLogModel::flush()
{
    m_flush.stop();
    if (m_pending.isEmpty())
        return;
    if (m_pending.size() > m_maxRows)
        m_pending = m_pending.mid(m_pending.size() - m_maxRows);
    const int over = int(m_rows.size() + m_pending.size()) - m_maxRows;
    if (over > 0) {
        beginRemoveRows({}, 0, over - 1);
        m_rows.remove(0, over);
        endRemoveRows();
    }
    const int at = int(m_rows.size());
    beginInsertRows({}, at, at + int(m_pending.size()) - 1);
    for (const QString &line : std::as_const(m_pending))
        m_rows.append(parse(line));
    m_pending.clear();
    endInsertRows();
}

// A pass is written as "NUMBER  ADDRESS  WHAT HAPPENED"; anything else is a line of its own.
RunLogModel::Row RunLogModel::parse(const QString &line)
{
    Row row;
    row.line = line;
    const QLatin1String gap("  ");
    const qsizetype afterNumber = line.indexOf(gap);
    const qsizetype afterAddress = afterNumber < 0 ? -1 : line.indexOf(gap, afterNumber + 2);
    if (line.startsWith(QLatin1String("==")) || afterAddress < 0 || line.left(afterNumber).contains(QLatin1Char(' '))) {
        row.whole = true;
        return row;
    }
    row.number = line.left(afterNumber);
    row.address = line.mid(afterNumber + 2, afterAddress - afterNumber - 2);
    row.happened = line.mid(afterAddress + 2);
    row.file = savedFile(line);
    if (!row.file.isEmpty())
        row.happened = QStringLiteral("saved") + row.happened.mid(QLatin1String("saved as ").size() + row.file.size());
    for (const char *wrong : {"failed", "not saved", "no picture"})
        row.wrong = row.wrong || row.happened.startsWith(QLatin1String(wrong));
    return row;
}

QString RunLogModel::savedFile(const QString &line)
{
    const QLatin1String mark("  saved as ");
    const qsizetype at = line.indexOf(mark);
    if (at < 0)
        return QString();
    const QString rest = line.mid(at + mark.size());
    for (qsizetype end = rest.size(); end > 0; end = rest.lastIndexOf(QLatin1Char(' '), end - 1)) {
        if (QFileInfo(rest.left(end)).isFile())
            return rest.left(end);
    }
    return rest;   // gone since: opening it says so
}

int RunLogModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

int RunLogModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : Columns;
}

QVariant RunLogModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_rows.size())
        return {};
    const Row &row = m_rows.at(index.row());
    switch (role) {
    case Qt::DisplayRole:
        if (row.whole)
            return index.column() == 0 ? row.line : QString();
        switch (index.column()) {
        case Number:
            return row.number;
        case Address:
            return row.address;
        case Happened:
            return row.happened;
        case File:
            return QFileInfo(row.file).fileName();
        }
        return {};
    case Qt::ToolTipRole:
        if (row.whole || index.column() == Happened)
            return row.whole ? row.line : row.happened;
        return index.column() == File ? row.file : index.column() == Address ? row.address : QVariant();
    case LineRole:
        return row.line;
    case WholeRowRole:
        return row.whole;
    case WentWrongRole:
        return row.wrong;
    case FileRole:
        return row.file;
    default:
        return {};
    }
}

QVariant RunLogModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case Number:
        return QStringLiteral("Number");
    case Address:
        return QStringLiteral("Address");
    case Happened:
        return QStringLiteral("What happened");
    case File:
        return QStringLiteral("File");
    }
    return {};
}
