#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>

class QGroupBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;

/// The help window: a banner and the fixed help text. It disables the main window while it
/// is open and enables it again however it is closed; it deletes itself on close.
class frmHelp : public QWidget
{
    Q_OBJECT

public:
    explicit frmHelp(QWidget *mainWindow);
    ~frmHelp() override;

    /// The help text, lines joined by CR LF, beginning with an empty line.
    static QString helpText();

    void btnOKClick();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void enableMainWindow();

    QPointer<QWidget> m_mainWindow;

    QLabel *Image1 = nullptr;
    QGroupBox *Frame1 = nullptr;
    QPlainTextEdit *Text1 = nullptr;
    QPushButton *btnOK = nullptr;
};
