#pragma once

#include <QPointer>
#include <QStringList>
#include <QWidget>

class QPlainTextEdit;

/// The run log: one line per pass of this session's runs, newest last, to read and copy.
/// A window of its own beside the main window, which stays usable; it deletes itself on close.
class frmRunLog : public QWidget
{
    Q_OBJECT

public:
    /// The most lines kept; older ones are dropped first.
    static constexpr int maxLines = 10000;

    /// Shows `lines` (the log so far) and places itself beside the main window.
    frmRunLog(const QStringList &lines, QWidget *mainWindow);
    ~frmRunLog() override;

    /// Adds a line at the end; the view follows it when it was showing the end.
    void addLine(const QString &line);

    /// The picture file a line says was saved; empty for any other line. When the text after
    /// "saved as " goes on past the file's name, the longest part of it naming a file is taken.
    static QString savedFile(const QString &line);

Q_SIGNALS:
    /// Double-click or Enter on the line of a saved picture: the file to open.
    void openRequested(const QString &path);

protected:
    void keyPressEvent(QKeyEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QPlainTextEdit *txtLog = nullptr;
};
