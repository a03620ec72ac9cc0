#pragma once

#include <QAbstractTableModel>
#include <QStringList>
#include <QTimer>
#include <QVector>

/// The Run Log's lines as a table: number, address, what happened, file. A line that is no pass
/// (a run's start, its end report, a note) is one whole row. Lines added within one frame arrive
/// in the view as one insertion, and the oldest rows go beyond `maxRows`.
class RunLogModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column { Number, Address, Happened, File, Columns };
    enum Role {
        LineRole = Qt::UserRole,   // the log line as written
        WholeRowRole,              // true for a line that is no pass
        WentWrongRole,             // true for a pass that failed, saved nothing or found no picture
        FileRole,                  // the saved picture's full path, or ""
    };

    RunLogModel(const QStringList &lines, int maxRows, QObject *parent = nullptr);

    /// Queues a line; it shows at the frame's end (or at flush()).
    void addLine(const QString &line);
    void flush();

    /// The picture file a line says was saved; empty for any other line. When the text after
    /// "saved as " goes on past the file's name, the longest part of it naming a file is taken.
    static QString savedFile(const QString &line);

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    struct Row
    {
        QString line;
        QString number, address, happened, file;
        bool whole = false;
        bool wrong = false;
    };
    static Row parse(const QString &line);

    QVector<Row> m_rows;
    QStringList m_pending;
    int m_maxRows;
    QTimer m_flush;
};
