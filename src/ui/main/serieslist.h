#pragma once

#include "core/seriesqueue.h"
#include "platform/programplace.h"

#include <QDockWidget>

#include <functional>

class QPushButton;
class QTreeWidget;

/// The "Series" list under the main window's preview: the series waiting their turn, the one
/// running and how the others ended, to reorder and remove. Shown while it lists any; it keeps
/// the queue in queue.par beside the settings, so a new session offers it back.
class SeriesList : public QDockWidget
{
    Q_OBJECT

public:
    using PutInFields = std::function<void(const runrules::AddressParts &)>;

    SeriesList(const ProgramPlace &place, QWidget *parent);

    SeriesQueue &queue() { return m_queue; }
    /// "Series 2 of 5 - " while a queue runs, to go before the status line's texts; else "".
    QString statusPrefix() const;

    /// The queue of the last session back, its first series in the fields; what to say of it,
    /// or "" when there was none.
    QString restore(const PutInFields &putInFields);
    /// The addresses of a pasted, dropped or given text: the first is returned, for the fields;
    /// the others wait in the queue. Series that ran before leave the list.
    QString take(const QString &text);
    /// Operations -> Open Address List...: the addresses of a text file with one a line, for
    /// take(); during a queue's run they join it at once, and "" is returned.
    QString openList();
    /// Get: the fields' series and the queue after it; a queue's own end report goes to the
    /// view's status line and log, and on the desktop when it took long and the window is out of sight.
    void run(DownloadRun &run, RunView &view, const PutInFields &putInFields);

Q_SIGNALS:
    /// A line for the status line.
    void message(const QString &text);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void refresh();
    void save();
    qsizetype selected() const;

    ProgramPlace m_place;
    SeriesQueue m_queue;
    QTreeWidget *lstSeries = nullptr;
    QPushButton *btnUp = nullptr;
    QPushButton *btnDown = nullptr;
    QPushButton *btnRemove = nullptr;
};
