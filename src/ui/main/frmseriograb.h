#pragma once

#include "core/runview.h"
#include "core/settings.h"
#include "platform/programplace.h"
#include "storage/bassavelist.h"

#include "ui/main/preview.h"

#include <QElapsedTimer>
#include <QMainWindow>
#include <QPointer>
#include <QStringList>

#include <functional>

class QAction;
class QComboBox;
class QDragEnterEvent;
class QDropEvent;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTimer;
class Inet;
class DownloadRun;
class StatusLine;
class UpDown;
class frmOptions;
class frmMore;
class frmHelp;
class RenamePrompt;
class frmRunLog;
class SeriesList;
namespace runrules {
struct AddressParts;
}

/// The main window: three address fields, Get and Stop, the menus, the preview and the status line.
class frmSeriograb : public QMainWindow, public RunView
{
    Q_OBJECT

public:
    /// Builds the window and runs its start-up: settings, history list, size, help file.
    frmSeriograb(Settings &settings, const ProgramPlace &place, QWidget *parent = nullptr);
    ~frmSeriograb() override;

    // Commands, as the buttons and menu items call them.
    void btnGetClick();
    void btnStopClick();
    void mulClick();
    void optClick();
    void moreClick();
    void hlpClick();
    void runLogClick();
    void pasteAddressClick();
    void openFolderClick();

    /// Fills the three address fields from a picture's whole address (the first line of the
    /// text), split at its number; the status line says how. Further lines wait in the queue
    /// of series. Nothing starts until Get.
    void setAddress(const QString &text);

    /// Sizes, centres and shows the preview inside the area between address row and status line.
    void fitPreview();

    /// The help file registered at start-up.
    QString helpFile() const { return m_helpFile; }
    bool isRunning() const;
    /// True while a picture handed to showPicture still waits to be decoded for the preview.
    bool isDecodingPreview() const;
    Inet &inet() { return *m_inet1; }

    // RunView
    QString prefixText() const override;
    QString numberText() const override;
    QString suffixText() const override;
    void setNumberText(const QString &text) override;
    void addMsg(const QString &message) override;
    void transferState(const QString &text) override;
    void saveHistory() override;
    QString historyFailure() override;
    bool showPicture(const QString &path) override;
    QString askNewName(const QString &message, const QString &title) override;
    bool skipTheRest() override;
    void runActive(bool active) override;
    void runStarted(const QString &firstAddress, const QString &folder) override;
    void runEnded(const QString &report) override;
    void transferProgress(qint64 received, qint64 total) override;
    void savedCount(int saved) override;
    void logPass(const QString &line) override;

protected:
    bool event(QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void changeEvent(QEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    void buildControls();
    void buildMenus();
    void load();
    void resizeHandling();
    void timer1Tick();
    void reloadHistory();
    void setOuterSize(int widthTwips, int heightTwips);
    int outerWidthTwips() const;
    int outerHeightTwips() const;
    void centreOnScreen();
    QRect previewArea() const;
    std::function<QSize(QSize)> decodeSize() const;
    void decodeFinished(const QString &path, const QImage &image, const preview::Plan &plan);
    void showDuePicture();
    void showProgress();
    void previewNote(const QString &note, const QString &path);
    void releaseEndLine();
    void openInDesktop(const QString &path);
    void closeSecondaryWindows();
    void putInFields(const runrules::AddressParts &parts);

    Settings &m_settings;
    ProgramPlace m_place;
    QString m_helpFile;

    QComboBox *cmbURL1 = nullptr;
    QLineEdit *txtURL2 = nullptr;
    UpDown *UpDown1 = nullptr;
    QLineEdit *txtURL3 = nullptr;
    QPushButton *btnGet = nullptr;
    QPushButton *btnStop = nullptr;
    QLabel *img1 = nullptr;
    StatusLine *sbar1 = nullptr;
    Inet *m_inet1 = nullptr;
    QTimer *Timer1 = nullptr;
    QAction *m_mul = nullptr;
    QAction *m_paste = nullptr;
    QProgressBar *prgTransfer = nullptr;
    QLabel *lblSaved = nullptr;

    // What the run reported last; shown by a timer, since a large transfer reports far more
    // often than a person can read and a progress bar repaints at once.
    QTimer *m_progressTimer = nullptr;
    qint64 m_received = 0;
    qint64 m_total = -1;
    int m_saved = 0;
    bool m_bytesChanged = false;
    bool m_savedChanged = false;
    static constexpr int frameMs = 16;
    static constexpr int trustAfterShowMs = 100;
    QElapsedTimer m_sinceRepaint;   // during a run, repaints come at most once a frame
    // Pictures a run handed to the preview since the last frame, newest last.
    static constexpr qsizetype maxPicturesDue = 64;
    QStringList m_picturesDue;
    QTimer *m_pictureTimer = nullptr;
    QTimer *m_repaintTimer = nullptr;
    basSaveList::HistoryWriter m_historyWriter;   // the address history, written beside the run
    QStringList m_runLog;       // this session's passes, newest last, at most frmRunLog::maxLines
    QElapsedTimer m_runClock;   // since the run began
    // The end report is the run's last word in the status line: a preview note that comes
    // later goes into the Run Log, before the report's own line while the preview still works.
    bool m_reportStands = false;
    QString m_heldEndLine;
    QString m_startupNote;      // what the start-up found wrong, until something else is said

    QSize m_pictureSize;        // the preview picture's own size in pixels
    PreviewDecoder *m_decoder = nullptr;
    QString m_picturePath;      // set while the preview holds fewer pixels than the picture
    int recordedWidth = 0;      // twips, as recorded by the last resize handling
    int recordedHeight = 0;
    QSize m_recordedClientSize;
    DownloadRun *m_run = nullptr;
    SeriesList *m_series = nullptr;   // the queue of series that Get runs after the fields' own
    bool m_closeRequested = false;
    bool m_shownOnce = false;
    QPointer<frmOptions> m_options;
    QPointer<frmMore> m_more;
    QPointer<frmHelp> m_help;
    QPointer<RenamePrompt> m_prompt;
    bool m_skipTheRest = false;   // the last rename prompt asked to skip existing files from now on
    QPointer<frmRunLog> m_runLogWindow;
    QRect m_runLogPlace;        // where the Run Log was when last closed
};
