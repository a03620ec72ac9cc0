#pragma once

#include <QPointer>
#include <QRect>
#include <QStringList>
#include <QWidget>

class QCheckBox;
class QModelIndex;
class QSortFilterProxyModel;
class QTableView;
class RunLogModel;

/// The run log: a table of this session's passes (number, address, what happened, file), each
/// run's start and end report on rows of their own. A window of its own beside the main window,
/// which stays usable; it deletes itself on close.
class frmRunLog : public QWidget
{
    Q_OBJECT

public:
    /// The most lines kept; older ones are dropped first.
    static constexpr int maxLines = 10000;

    /// Shows `lines` (the log so far). Opens at `place` (its frame's place and size, as it was
    /// when last closed) when that is set and lies on the main window's screen, else beside the
    /// main window.
    frmRunLog(const QStringList &lines, QWidget *mainWindow, const QRect &place = {});
    ~frmRunLog() override;

    /// Adds a line at the end; the view follows it when it was showing the end.
    void addLine(const QString &line);

    /// The picture file a line says was saved; empty for any other line.
    static QString savedFile(const QString &line);

    /// The log lines of the rows shown, top to bottom.
    QStringList shownLines() const;

Q_SIGNALS:
    /// Double-click or Enter on the row of a saved picture: the file to open.
    void openRequested(const QString &path);
    /// The window closes; its frame's place and size, to open there next time.
    void closing(const QRect &place);

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void fitWholeRows(int first, int last);
    void copyRows();
    void open(const QModelIndex &index);

    RunLogModel *m_model = nullptr;
    QSortFilterProxyModel *m_shown = nullptr;
    QTableView *tblLog = nullptr;
    QCheckBox *chkWrongOnly = nullptr;
    bool m_following = true;
};
