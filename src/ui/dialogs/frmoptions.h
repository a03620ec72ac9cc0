#pragma once

#include "core/settings.h"
#include "ui/dialogs/frmmore.h"
#include "platform/programplace.h"

#include <QPersistentModelIndex>
#include <QPointer>
#include <QWidget>
#include <optional>

class QComboBox;
class QFileSystemModel;
class QGroupBox;
class QLabel;
class QLineEdit;
class QModelIndex;
class QPushButton;
class QTreeView;

/// The Options dialog: shows the settings, and on OK sets and stores them.
/// It has no parent widget, deletes itself on close and enables the main window again
/// however it is closed; the caller disables the main window before showing it.
class frmOptions : public QWidget
{
    Q_OBJECT

public:
    frmOptions(Settings &settings, const ProgramPlace &place, QWidget *mainWindow);
    ~frmOptions() override;

    void cmdOKClick();
    void cmdCancelClick();

Q_SIGNALS:
    /// OK has put the new settings in use.
    void applied();

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void buildControls();
    void fitCaptions();
    void fillFields();
    void fillDrives();
    void drvChange(int index);
    void dirOpen(const QModelIndex &index);
    void setFolder(const QString &path);
    void noteTopRow();
    void cmdBrowseClick();
    void cmdMoreClick();
    void refuse(QLineEdit *field, const QString &message);
    void enableMainWindow();

    Settings &m_settings;
    ProgramPlace m_place;
    QPointer<QWidget> m_mainWindow;

    QLabel *Label5 = nullptr;
    QLineEdit *txtDir = nullptr;
    QPushButton *cmdBrowse = nullptr;
    QComboBox *drv = nullptr;
    QTreeView *dir = nullptr;
    QGroupBox *Frame1 = nullptr;
    QLabel *Label1 = nullptr;
    QLineEdit *txtHead = nullptr;
    QLabel *Label2 = nullptr;
    QLineEdit *txtLast = nullptr;
    QGroupBox *frame2 = nullptr;
    QLabel *Label3 = nullptr;
    QLineEdit *txtProxyIP = nullptr;
    QLabel *Label4 = nullptr;
    QLineEdit *txtProxyPort = nullptr;
    QPushButton *cmdOK = nullptr;
    QPushButton *cmdCancel = nullptr;
    QPushButton *cmdMore = nullptr;
    QPointer<frmMore> m_more;
    SettingsChange m_moreChange;   // what More's OK decided, stored with this dialog's OK

    QFileSystemModel *m_folders = nullptr;
    QString m_folder;           // the folder list's current folder
    bool m_revealPending = false;
    bool m_settingFolder = false;    // the dialog itself moves the folder list's highlight
    bool m_userMoved = false;        // the user moved the highlight or scrolled since: leave the list be
    bool m_currentInSight = false;   // the current folder was in view before the rows were sorted
    QPersistentModelIndex m_topRow;  // the top row the user left, kept there while rows change
    int m_drive = -1;           // index in drv of the drive the folder list is on
};
