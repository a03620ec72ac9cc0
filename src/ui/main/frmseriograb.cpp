#include "ui/main/frmseriograb.h"

#include "core/downloadrun.h"
#include "core/runrules.h"
#include "core/storedsettings.h"
#include "platform/filesystem.h"
#include "platform/inet.h"
#include "platform/twips.h"
#include "storage/bassavelist.h"
#include "ui/dialogs/frmhelp.h"
#include "ui/dialogs/frmmore.h"
#include "ui/dialogs/frmoptions.h"
#include "ui/dialogs/frmrunlog.h"
#include "ui/dialogs/placement.h"
#include "ui/main/addresspaste.h"
#include "ui/main/desktopnotice.h"
#include "ui/main/previewfit.h"
#include "ui/main/renameprompt.h"
#include "ui/main/serieslist.h"
#include "ui/main/statusline.h"
#include "ui/main/updown.h"

#include <QAction>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMimeData>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QIcon>
#include <QEventLoop>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <exception>
#include <functional>

namespace {

const QString programCaption = QStringLiteral("Seriograb");

// Several links dropped at once are several series, one a line.
QString droppedAddress(const QMimeData &data)
{
    QStringList links;
    for (const QUrl &url : data.urls())
        links << url.toString(QUrl::FullyEncoded);
    return links.isEmpty() ? data.text() : links.join(QLatin1Char('\n'));
}

// The prefix box as the history code sees it.
class ComboHistoryBox : public HistoryBox
{
public:
    explicit ComboHistoryBox(QComboBox *box) : m_box(box) {}
    QString Text() const override { return m_box->currentText(); }
    void setText(const QString &text) override { m_box->setEditText(text); }
    void Clear() override { m_box->clear(); m_box->setEditText(QString()); }
    void AddItem(const QString &item) override { m_box->addItem(item); }

private:
    QComboBox *m_box;
};

// Nothing may escape an event handler: a failure becomes one status line.
void guarded(StatusLine *status, const std::function<void()> &fn)
{
    try {
        fn();
    } catch (const std::exception &e) {
        status->setText(QStringLiteral("Failed: ") + QString::fromStdString(e.what()));
    } catch (...) {
        status->setText(QStringLiteral("Failed for an unknown reason"));
    }
}

} // namespace

frmSeriograb::frmSeriograb(Settings &settings, const ProgramPlace &place, QWidget *parent)
    : QMainWindow(parent), m_settings(settings), m_place(place)
{
    setObjectName(QStringLiteral("frmSeriograb"));
    placement::useScreenDpi();
    setWindowTitle(programCaption);
    QIcon icon;
    icon.addFile(QStringLiteral(":/icon32.png"), QSize(32, 32));
    icon.addFile(QStringLiteral(":/icon16.png"), QSize(16, 16));
    setWindowIcon(icon);

    m_inet1 = new Inet(this);
    m_inet1->setObjectName(QStringLiteral("inet1"));

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(100);
    connect(Timer1, &QTimer::timeout, this, &frmSeriograb::timer1Tick);

    m_decoder = new PreviewDecoder(this);
    connect(m_decoder, &PreviewDecoder::decoded, this,
            [this](const QString &path, const QImage &image, const preview::Plan &plan) {
                guarded(sbar1, [&] { decodeFinished(path, image, plan); });
            });
    connect(m_decoder, &PreviewDecoder::idle, this, [this] { guarded(sbar1, [this] { releaseEndLine(); }); });

    buildControls();
    buildMenus();
    m_run = new DownloadRun(m_settings, *m_inet1, *this, m_place.dataFile(QStringLiteral("default.gif")));
    load();
}

frmSeriograb::~frmSeriograb()
{
    closeSecondaryWindows();
    delete m_run;
}

void frmSeriograb::closeSecondaryWindows()
{
    if (m_options)
        m_options->close();
    if (m_more)
        m_more->close();
    if (m_help)
        m_help->close();
    if (m_runLogWindow)
        m_runLogWindow->close();
}

void frmSeriograb::buildControls()
{
    auto *client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    setCentralWidget(client);
    // The preview area ends where the status line begins, so a change of the client area's
    // height (the first layout, a menu bar that wraps) needs a fresh fit like a resize does.
    client->installEventFilter(this);

    cmbURL1 = new QComboBox(client);
    cmbURL1->setObjectName(QStringLiteral("cmbURL1"));
    cmbURL1->setEditable(true);
    cmbURL1->setInsertPolicy(QComboBox::NoInsert);
    cmbURL1->setGeometry(twips::rect(120, 120, 3375, 315));

    txtURL2 = new QLineEdit(QStringLiteral("01"), client);
    txtURL2->setObjectName(QStringLiteral("txtURL2"));
    txtURL2->setGeometry(twips::rect(3600, 120, 780, 285));

    UpDown1 = new UpDown(txtURL2, client);
    UpDown1->setObjectName(QStringLiteral("UpDown1"));
    UpDown1->setGeometry(twips::rect(4440, 120, 195, 285));

    txtURL3 = new QLineEdit(QStringLiteral(".jpg"), client);
    txtURL3->setObjectName(QStringLiteral("txtURL3"));
    txtURL3->setGeometry(twips::rect(4680, 120, 615, 285));

    btnGet = new QPushButton(QStringLiteral("Get"), client);
    btnGet->setObjectName(QStringLiteral("btnGet"));
    btnGet->setGeometry(twips::rect(5400, 120, 1215, 375));
    btnGet->setAutoDefault(false);

    btnStop = new QPushButton(QStringLiteral("Stop"), client);
    btnStop->setObjectName(QStringLiteral("btnStop"));
    btnStop->setGeometry(twips::rect(6720, 120, 1215, 375));
    btnStop->setAutoDefault(false);

    img1 = new QLabel(client);
    img1->setObjectName(QStringLiteral("img1"));
    img1->setScaledContents(true);
    const QPixmap logo(QStringLiteral(":/logo.gif"));
    img1->setPixmap(logo);
    m_pictureSize = logo.size();
    img1->setGeometry(twips::rect(120, 600, 6975, 1845));

    sbar1 = new StatusLine(this);
    sbar1->setObjectName(QStringLiteral("sbar1"));
    setStatusBar(sbar1);

    // Beside the status line, only while a run is going: the transfer's bytes and the count
    // of pictures saved. Neither touches the status line's text.
    prgTransfer = new QProgressBar(sbar1);
    prgTransfer->setObjectName(QStringLiteral("prgTransfer"));
    prgTransfer->setRange(0, 100);
    prgTransfer->setFixedWidth(twips::toPixels(1500));
    // No taller than a line of text, so the status bar keeps its height when it shows.
    prgTransfer->setMaximumHeight(prgTransfer->fontMetrics().height() + 2);
    prgTransfer->hide();
    sbar1->addPermanentWidget(prgTransfer);
    lblSaved = new QLabel(sbar1);
    lblSaved->setObjectName(QStringLiteral("lblSaved"));
    lblSaved->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    lblSaved->setMinimumWidth(lblSaved->fontMetrics().horizontalAdvance(QStringLiteral("32767 saved")) + 4);
    lblSaved->hide();
    sbar1->addPermanentWidget(lblSaved);
    m_repaintTimer = new QTimer(this);
    m_repaintTimer->setSingleShot(true);
    connect(m_repaintTimer, &QTimer::timeout, this, [this] {
        QCoreApplication::postEvent(this, new QEvent(QEvent::UpdateRequest), Qt::LowEventPriority);
    });
    m_pictureTimer = new QTimer(this);
    m_pictureTimer->setSingleShot(true);
    m_pictureTimer->setInterval(frameMs);
    connect(m_pictureTimer, &QTimer::timeout, this, [this] { guarded(sbar1, [this] { showDuePicture(); }); });
    m_progressTimer = new QTimer(this);
    m_progressTimer->setInterval(100);
    connect(m_progressTimer, &QTimer::timeout, this, &frmSeriograb::showProgress);

    // What a screen reader says for each: the fields' captions are not on the window.
    cmbURL1->setAccessibleName(QStringLiteral("Address before the number"));
    cmbURL1->lineEdit()->setAccessibleName(cmbURL1->accessibleName());
    txtURL2->setAccessibleName(QStringLiteral("Number"));
    txtURL3->setAccessibleName(QStringLiteral("Address after the number"));
    img1->setAccessibleName(QStringLiteral("Picture"));
    img1->setAccessibleDescription(QStringLiteral("The program's logo, until a picture comes"));
    prgTransfer->setAccessibleName(QStringLiteral("Transfer progress"));
    lblSaved->setAccessibleName(QStringLiteral("Pictures saved in this run"));

    // Focus order of the design: suffix, Get, number, (status line), spinner, Stop, prefix.
    setTabOrder(txtURL3, btnGet);
    setTabOrder(btnGet, txtURL2);
    setTabOrder(txtURL2, btnStop);
    setTabOrder(btnStop, cmbURL1);

    connect(btnGet, &QPushButton::clicked, this, &frmSeriograb::btnGetClick);
    connect(btnStop, &QPushButton::clicked, this, &frmSeriograb::btnStopClick);
    // Enter in any of the three address fields is Get. Taken as a key press, not as
    // returnPressed: the prefix box hands an Enter that its field let pass back to the field,
    // which then reports returnPressed a second time.
    for (QWidget *field : {static_cast<QWidget *>(cmbURL1), static_cast<QWidget *>(cmbURL1->lineEdit()),
                           static_cast<QWidget *>(txtURL2), static_cast<QWidget *>(txtURL3)})
        field->installEventFilter(this);
    auto *paste = new AddressPaste([this] { return !isRunning(); },
                                   [this](const QString &text) { guarded(sbar1, [&] { setAddress(text); }); }, this);
    for (QWidget *field : {static_cast<QWidget *>(cmbURL1), static_cast<QWidget *>(txtURL2), static_cast<QWidget *>(txtURL3)})
        paste->watch(field);
    // A link or text dropped anywhere on the window, the fields too, is a whole address to split.
    for (QWidget *field : {static_cast<QWidget *>(cmbURL1->lineEdit()), static_cast<QWidget *>(txtURL2),
                           static_cast<QWidget *>(txtURL3)})
        field->setAcceptDrops(false);
    setAcceptDrops(true);

    m_series = new SeriesList(m_place, this);
    addDockWidget(Qt::BottomDockWidgetArea, m_series);
    connect(m_series, &SeriesList::message, this, &frmSeriograb::addMsg);
    for (QLineEdit *field : {cmbURL1->lineEdit(), txtURL2, txtURL3})
        connect(field, &QLineEdit::textEdited, this, [this] { m_series->queue().fieldsEdited(); });
}

void frmSeriograb::buildMenus()
{
    QMenuBar *bar = menuBar();

    QMenu *opr = bar->addMenu(QStringLiteral("Operations"));
    opr->setObjectName(QStringLiteral("opr"));
    QAction *get = opr->addAction(QStringLiteral("Get Files"));
    get->setObjectName(QStringLiteral("get"));
    QAction *stp = opr->addAction(QStringLiteral("Stop Downloading"));
    stp->setObjectName(QStringLiteral("stp"));
    QAction *runLog = opr->addAction(QStringLiteral("Run Log"));
    runLog->setObjectName(QStringLiteral("runLog"));
    m_paste = opr->addAction(QStringLiteral("Paste Address"));
    m_paste->setObjectName(QStringLiteral("pasteAddress"));
    m_paste->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_V));
    QAction *openList = opr->addAction(QStringLiteral("Open Address List…"));
    openList->setObjectName(QStringLiteral("openList"));
    QAction *openFolder = opr->addAction(QStringLiteral("Open Folder"));
    openFolder->setObjectName(QStringLiteral("openFolder"));
    QAction *sep1 = opr->addSeparator();
    sep1->setObjectName(QStringLiteral("sep1"));
    QAction *exit = opr->addAction(QStringLiteral("Exit"));
    exit->setObjectName(QStringLiteral("exit"));

    QMenu *op0 = bar->addMenu(QStringLiteral("Options"));
    op0->setObjectName(QStringLiteral("op0"));
    QAction *opt = op0->addAction(QStringLiteral("Options"));
    opt->setObjectName(QStringLiteral("opt"));
    QAction *more = op0->addAction(QStringLiteral("More Options…"));
    more->setObjectName(QStringLiteral("more"));
    m_mul = op0->addAction(QStringLiteral("Multiple Downloads - ON"));
    m_mul->setObjectName(QStringLiteral("mul"));

    QAction *hlp = bar->addAction(QStringLiteral("Help"));
    hlp->setObjectName(QStringLiteral("hlp"));

    connect(get, &QAction::triggered, this, &frmSeriograb::btnGetClick);
    connect(stp, &QAction::triggered, this, &frmSeriograb::btnStopClick);
    connect(runLog, &QAction::triggered, this, &frmSeriograb::runLogClick);
    connect(m_paste, &QAction::triggered, this, &frmSeriograb::pasteAddressClick);
    connect(openList, &QAction::triggered, this, [this] {
        guarded(sbar1, [this] {
            if (const QString list = m_series->openList(); !list.isEmpty())
                setAddress(list);
        });
    });
    connect(openFolder, &QAction::triggered, this, &frmSeriograb::openFolderClick);
    connect(exit, &QAction::triggered, this, &QWidget::close);
    connect(opt, &QAction::triggered, this, &frmSeriograb::optClick);
    connect(more, &QAction::triggered, this, &frmSeriograb::moreClick);
    connect(m_mul, &QAction::triggered, this, &frmSeriograb::mulClick);
    connect(hlp, &QAction::triggered, this, &frmSeriograb::hlpClick);
}

void frmSeriograb::load()
{
    QStringList problems = readSettings(m_place, m_settings);
    // The proxy password lives in the desktop's keyring, never in the settings file.
    if (const QString problem = readProxyPassword(m_settings); !problem.isEmpty())
        problems << problem;

    try {
        ComboHistoryBox box(cmbURL1);
        basSaveList::loadHistory(box, m_place.currentSettingsFile(m_place.historyFileName()), QStringLiteral("cmbURL1"));
    } catch (const std::exception &e) {
        problems << QStringLiteral("address history could not be read (%1)").arg(QString::fromStdString(e.what()));
    }

    setOuterSize(outerWidthTwips(), 4000);
    setOuterSize(7700, 4000);
    resizeHandling();

    m_helpFile = m_place.dataFile(QStringLiteral("Seriograb.hlp"));

    // Say so at once when settings and history cannot be kept anywhere.
    if (!m_place.canKeepSettings()) {
        problems << (m_place.userFolder.isEmpty()
                         ? QStringLiteral("the program folder %1 cannot be written, so settings and history will not be kept")
                                   .arg(m_place.folder)
                         : QStringLiteral("neither the program folder %1 nor %2 can be written, so settings and history "
                                          "will not be kept").arg(m_place.folder, m_place.userFolder));
    }

    if (!problems.isEmpty()) {
        QString line = problems.join(QStringLiteral("; "));
        line[0] = line[0].toUpper();
        sbar1->setText(line);
        m_startupNote = line;
    }
    const QString queued = m_series->restore([this](const runrules::AddressParts &parts) { putInFields(parts); });
    if (!queued.isEmpty())
        sbar1->setText(m_startupNote.isEmpty() ? queued : m_startupNote + QStringLiteral(" - ") + queued);
}

// --- commands

void frmSeriograb::btnGetClick()
{
    if (m_run->isRunning() || m_closeRequested)
        return;
    guarded(sbar1, [this] {
        m_series->run(*m_run, *this, [this](const runrules::AddressParts &parts) { putInFields(parts); });
    });
    if (m_closeRequested)
        QTimer::singleShot(0, this, &QWidget::close);
}

void frmSeriograb::btnStopClick()
{
    if (m_prompt)
        m_prompt->reject();
    m_series->queue().hold();
    m_run->stop();
}

void frmSeriograb::mulClick()
{
    if (m_settings.multipleDownloads == Settings::True) {
        m_settings.multipleDownloads = Settings::False;
        m_mul->setText(QStringLiteral("Multiple Downloads - OFF"));
    } else {
        m_settings.multipleDownloads = Settings::True;
        m_mul->setText(QStringLiteral("Multiple Downloads - ON"));
    }
}

void frmSeriograb::optClick()
{
    guarded(sbar1, [this] {
        if (m_options)
            return;
        setEnabled(false);
        m_options = new frmOptions(m_settings, m_place, this);
        // A run keeps the settings of its Get: say so, or the new folder would look ignored.
        connect(m_options, &frmOptions::applied, this, [this] {
            if (isRunning())
                addMsg(QStringLiteral("Options saved: the maximum number of files applies to this run now, "
                                      "everything else from the next run"));
        });
        m_options->show();
    });
}

// The same settings as Options' More… button, stored when their own OK is pressed.
void frmSeriograb::moreClick()
{
    guarded(sbar1, [this] {
        if (m_options || m_more)
            return;
        setEnabled(false);
        m_more = new frmMore(m_settings, this);
        connect(m_more, &frmMore::accepted, this, [this](const SettingsChange &change) {
            storeSettings(m_more, m_more->windowTitle(), m_settings, m_place, change);
        });
        m_more->show();
    });
}

void frmSeriograb::hlpClick()
{
    guarded(sbar1, [this] {
        if (m_help)
            return;
        m_help = new frmHelp(this);
        m_help->show();
    });
}

// The log is no dialog: the main window stays usable beside it, during a run too.
void frmSeriograb::runLogClick()
{
    guarded(sbar1, [this] {
        if (!m_runLogWindow) {
            m_runLogWindow = new frmRunLog(m_runLog, this, m_runLogPlace);
            connect(m_runLogWindow, &frmRunLog::closing, this, [this](const QRect &place) { m_runLogPlace = place; });
            connect(m_runLogWindow, &frmRunLog::openRequested, this, [this](const QString &path) {
                guarded(sbar1, [&] { openInDesktop(path); });
            });
        }
        m_runLogWindow->show();
        m_runLogWindow->raise();
        m_runLogWindow->activateWindow();
    });
}

void frmSeriograb::pasteAddressClick()
{
    guarded(sbar1, [this] {
        const QString text = QGuiApplication::clipboard()->text();
        if (SeriesQueue::addressesIn(text).isEmpty())
            addMsg(QStringLiteral("Paste Address: the clipboard holds no address"));
        else
            setAddress(text);
    });
}

void frmSeriograb::setAddress(const QString &text)
{
    // The run reads the fields back as it steps the number.
    if (isRunning())
        return;
    const runrules::AddressParts parts = runrules::splitAddress(m_series->take(text));
    putInFields(parts);
    QString line = parts.number.isEmpty()
            ? QStringLiteral("No number found in the address: it is all in the prefix box, to be split by hand")
            : QStringLiteral("The address is split at its number %1: press Get to start").arg(parts.number);
    if (!m_startupNote.isEmpty())
        line = m_startupNote + QStringLiteral(" - ") + line;
    m_startupNote.clear();
    if (const qsizetype more = m_series->queue().waitingBesideFields(); more > 0)
        line += QStringLiteral(" - %1 more series wait in the Series list").arg(more);
    addMsg(line);
}

void frmSeriograb::putInFields(const runrules::AddressParts &parts)
{
    cmbURL1->setEditText(parts.prefix);
    txtURL2->setText(parts.number);
    txtURL3->setText(parts.suffix);
}

void frmSeriograb::dragEnterEvent(QDragEnterEvent *event)
{
    if (!isRunning() && (event->mimeData()->hasUrls() || event->mimeData()->hasText()))
        event->acceptProposedAction();
}

void frmSeriograb::dropEvent(QDropEvent *event)
{
    guarded(sbar1, [&] {
        const QString address = droppedAddress(*event->mimeData());
        if (SeriesQueue::addressesIn(address).isEmpty() || isRunning())
            return;
        setAddress(address);
        event->acceptProposedAction();
    });
}

// The target folder as a run would save into it: the working folder when none is set.
void frmSeriograb::openFolderClick()
{
    guarded(sbar1, [this] {
        openInDesktop(QFileInfo(folderPath(m_settings.localFolder)).absoluteFilePath());
    });
}

// Opens a file or folder as the desktop does: with xdg-open, which hands it to the file
// manager or the default viewer. Not waited for: a viewer may stay open for long. When
// xdg-open finds no program for it, the status line says so with xdg-open's own words.
void frmSeriograb::openInDesktop(const QString &path)
{
    if (!QFileInfo::exists(path)) {
        addMsg(QStringLiteral("Cannot open %1: it does not exist").arg(path));
        return;
    }
    const QString opener = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
    if (opener.isEmpty()) {
        addMsg(QStringLiteral("Cannot open %1: xdg-open, which opens files on this desktop, is not installed").arg(path));
        return;
    }
    auto *process = new QProcess(this);
    process->setProcessChannelMode(QProcess::ForwardedOutputChannel);
    connect(process, &QProcess::finished, this, [this, process, path](int code, QProcess::ExitStatus how) {
        guarded(sbar1, [&] {
            process->deleteLater();
            if (how == QProcess::NormalExit && code == 0)
                return;
            QString said;
            for (const QString &line : QString::fromLocal8Bit(process->readAllStandardError()).split(QLatin1Char('\n')))
                if (!line.trimmed().isEmpty())
                    said = line.trimmed();
            said.remove(QRegularExpression(QStringLiteral("^xdg-open:\\s*")));
            if (said.isEmpty())
                said = QStringLiteral("exit status %1").arg(code);
            addMsg(QStringLiteral("No program could open %1 (xdg-open: %2)").arg(path, said));
        });
    });
    connect(process, &QProcess::errorOccurred, this, [this, process, opener, path](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        process->deleteLater();
        addMsg(QStringLiteral("Cannot open %1: %2 could not be started").arg(path, opener));
    });
    process->start(opener, {path});
}

bool frmSeriograb::isRunning() const
{
    return m_run && m_run->isRunning();
}

// --- the run's view of the window

QString frmSeriograb::prefixText() const { return cmbURL1->currentText(); }
QString frmSeriograb::numberText() const { return txtURL2->text(); }
QString frmSeriograb::suffixText() const { return txtURL3->text(); }
void frmSeriograb::setNumberText(const QString &text) { txtURL2->setText(text); }

void frmSeriograb::addMsg(const QString &text)
{
    const QString message = m_series->statusPrefix() + text;
    sbar1->setText(message);
    if (isMinimized())
        setWindowTitle(message);
    else if (windowTitle() != programCaption)
        setWindowTitle(programCaption);
}

// The rewrite and its sync to disk take longer than sending the run's first requests: they go
// on beside the run, and the list is reloaded when the file is written.
void frmSeriograb::saveHistory()
{
    m_settings.historyPath = m_place.prepareSettingsFile(m_place.historyFileName());
    m_historyWriter.start(cmbURL1->currentText(), m_settings.historyPath, QStringLiteral("cmburl1"), 5, this,
                          [this] { guarded(sbar1, [this] { reloadHistory(); }); });
}

QString frmSeriograb::historyFailure()
{
    const QString why = m_historyWriter.wait();
    try {
        reloadHistory();
    } catch (const FileError &e) {
        return why.isEmpty() ? e.message() : why;
    }
    return why;
}

void frmSeriograb::reloadHistory()
{
    ComboHistoryBox box(cmbURL1);
    basSaveList::loadHistory(box, m_settings.historyPath, QStringLiteral("cmburl1"));
}

bool frmSeriograb::showPicture(const QString &path)
{
    // During a run pictures can come far faster than anyone looks at them: they wait for the
    // frame's end, and only the newest of them that is a picture at first sight is handed to the
    // decoder, which says so when the preview cannot show it.
    if (isRunning()) {
        if (m_picturesDue.isEmpty() || m_picturesDue.constLast() != path)
            m_picturesDue.append(path);
        if (m_picturesDue.size() >= maxPicturesDue)
            showDuePicture();
        else if (!m_pictureTimer->isActive())
            m_pictureTimer->start();
        return true;
    }
    preview::Plan plan;
    QFile file(path);
    if (file.open(QIODevice::ReadOnly))
        plan = preview::plan(file, QSize(), preview::Check::HeaderOnly);
    if (!plan.decodable()) {
        // A picture too costly to decode keeps the preview as it is; the line says why.
        if (!plan.refusal.isEmpty())
            previewNote(plan.refusal, path);
        fitPreview();
        return false;
    }
    // Decoding is the slow part of showing a large picture, so it runs beside the next
    // transfer; a picture overtaken by a newer one before its turn is not decoded at all.
    m_decoder->request(path, decodeSize());
    return true;
}

// The newest picture due that is a picture at first sight overtakes the one waiting for the
// decoder; when none is, the preview keeps its picture, fitted all the same.
void frmSeriograb::showDuePicture()
{
    m_pictureTimer->stop();
    const QStringList due = std::exchange(m_picturesDue, {});
    for (qsizetype i = due.size() - 1; i >= 0; --i) {
        QFile file(due.at(i));
        const QByteArray start = file.open(QIODevice::ReadOnly) ? file.read(12) : QByteArray();
        if (!preview::formatOf(start).isEmpty()) {
            m_decoder->request(due.at(i), decodeSize());
            return;
        }
    }
    if (!due.isEmpty())
        fitPreview();
}

bool frmSeriograb::isDecodingPreview() const
{
    return !m_picturesDue.isEmpty() || m_decoder->isBusy();
}

void frmSeriograb::decodeFinished(const QString &path, const QImage &image, const preview::Plan &plan)
{
    if (!image.isNull()) {
        img1->setPixmap(QPixmap::fromImage(image));
        img1->setAccessibleDescription(QFileInfo(path).fileName());
        m_pictureSize = plan.full;
        // Decoded smaller than it is: a larger preview later decodes it again.
        m_picturePath = image.size() == plan.full ? QString() : path;
    } else {
        if (!plan.refusal.isEmpty())
            previewNote(plan.refusal, path);
        if (path == m_picturePath)
            m_picturePath.clear();   // gone or changed since: no more decodes of it
    }
    fitPreview();
}

// The pixels worth decoding for a picture of a given size, as the preview is laid out now:
// values only, so the decoder's thread can work it out for a picture it has yet to look at.
std::function<QSize(QSize)> frmSeriograb::decodeSize() const
{
    const QRect area = previewArea();
    const qreal dpr = devicePixelRatio();
    QSize screenPixels(1920, 1200);
    if (const QScreen *s = screen())
        screenPixels = s->size() * s->devicePixelRatio();
    return [area, dpr, screenPixels](QSize full) {
        if (full.isEmpty())
            return QSize();
        // Without a preview area yet, as much as the screen shows.
        if (area.width() <= 0 || area.height() <= 0)
            return full.scaled(screenPixels, Qt::KeepAspectRatio).expandedTo(QSize(1, 1));
        const QSize him = previewfit::himetric(full);
        const PreviewRect r = previewfit::fit(twips::fromPixels(area.width()), twips::fromPixels(area.height()),
                                              him.width(), him.height());
        return (twips::rect(r.left, r.top, r.width, r.height).size() * dpr).expandedTo(QSize(1, 1));
    };
}

// The run waits here as it waits for a transfer: the window stays usable, and Stop answers the
// prompt with Cancel before it stops the run.
QString frmSeriograb::askNewName(const QString &message, const QString &title)
{
    m_skipTheRest = false;
    QPointer<RenamePrompt> prompt = new RenamePrompt(message, title, this);
    m_prompt = prompt;
    QEventLoop wait;
    connect(prompt, &QDialog::finished, &wait, &QEventLoop::quit);
    prompt->show();
    wait.exec();
    if (!prompt)
        return QString();
    const bool ok = prompt->result() == QDialog::Accepted;
    const QString answer = ok ? prompt->textValue() : QString();
    m_skipTheRest = prompt->skipsTheRest() && answer.isEmpty();
    delete prompt;
    return answer;
}

bool frmSeriograb::skipTheRest()
{
    return m_skipTheRest;
}

void frmSeriograb::runActive(bool active)
{
    m_received = 0;
    m_total = 0;
    m_saved = 0;
    m_bytesChanged = false;
    m_savedChanged = false;
    m_paste->setEnabled(!active);
    if (active) {
        // The first repaint of a run waits a frame like the others, so the run's first requests
        // are on the wire before the window paints its progress.
        m_sinceRepaint.restart();
        m_progressTimer->start();
        prgTransfer->setRange(0, 100);
        prgTransfer->setValue(0);
        lblSaved->setText(QStringLiteral("0 saved"));
    } else {
        m_progressTimer->stop();
        showDuePicture();
        m_decoder->flush();
    }
    sbar1->holdDetails(active);
    m_decoder->setGentle(active);
    prgTransfer->setVisible(active);
    lblSaved->setVisible(active);
}

void frmSeriograb::transferProgress(qint64 received, qint64 total)
{
    m_received = received;
    m_total = total;
    m_bytesChanged = true;
}

void frmSeriograb::savedCount(int saved)
{
    m_saved = saved;
    m_savedChanged = true;
}

void frmSeriograb::showProgress()
{
    if (m_bytesChanged && m_total < 0 && m_received > 0) {
        prgTransfer->setRange(0, 0);   // bytes coming without a declared length: a busy bar
    } else if (m_bytesChanged && m_total < 0) {
        // No answer yet, so no length to go by. The busy bar's animation repaints all the
        // while, which for a series of small answers costs more than the answers.
        prgTransfer->setRange(0, 100);
        prgTransfer->setValue(0);
    } else if (m_bytesChanged) {
        prgTransfer->setRange(0, 100);
        // A declared length of 0 is a whole answer already.
        const double part = m_total > 0 ? double(qBound<qint64>(0, m_received, m_total)) / double(m_total) : 1.0;
        prgTransfer->setValue(int(part * 100.0));
    }
    if (m_savedChanged)
        lblSaved->setText(QStringLiteral("%1 saved").arg(m_saved));
    m_bytesChanged = false;
    m_savedChanged = false;
}

void frmSeriograb::runStarted(const QString &firstAddress, const QString &folder)
{
    releaseEndLine();
    m_reportStands = false;
    m_startupNote.clear();
    m_runClock.start();
    if (!m_runLog.isEmpty())
        logPass(QString());   // runs are set apart
    logPass(runLogHeader(m_series->queue().position(), firstAddress, folder));
}

void frmSeriograb::runEnded(const QString &report)
{
    m_reportStands = true;
    m_heldEndLine = QStringLiteral("== ") + report;
    showDuePicture();
    if (!m_decoder->isBusy())
        releaseEndLine();
    // A queue of series says so once, at its end.
    if (m_runClock.isValid() && m_runClock.elapsed() > desktopnotice::afterMs && !isActiveWindow()
        && !m_series->queue().isRunning())
        desktopnotice::notify(programCaption, report);
}

void frmSeriograb::releaseEndLine()
{
    if (m_heldEndLine.isEmpty())
        return;
    logPass(m_heldEndLine);
    m_heldEndLine.clear();
}

// A line of the preview's own: in the status line during a run, in the Run Log once the end
// report stands there.
void frmSeriograb::previewNote(const QString &note, const QString &path)
{
    if (m_reportStands)
        logPass(QStringLiteral("%1 (%2)").arg(note, path));
    else
        addMsg(note);
}

void frmSeriograb::logPass(const QString &line)
{
    m_runLog.append(line);
    if (m_runLog.size() > frmRunLog::maxLines)
        m_runLog.removeFirst();
    if (m_runLogWindow)
        m_runLogWindow->addLine(line);
}

// The transfer's states show in the status line only; the caption keeps the run's last message.
void frmSeriograb::transferState(const QString &text)
{
    sbar1->setText(m_series->statusPrefix() + text);
}

// --- preview fitting and size handling

int frmSeriograb::outerWidthTwips() const { return twips::fromPixels(frameGeometry().width()); }
int frmSeriograb::outerHeightTwips() const { return twips::fromPixels(frameGeometry().height()); }

void frmSeriograb::setOuterSize(int widthTwips, int heightTwips)
{
    const int frameW = frameGeometry().width() - width();
    const int frameH = frameGeometry().height() - height();
    resize(twips::toPixels(widthTwips) - frameW, twips::toPixels(heightTwips) - frameH);
}

QRect frmSeriograb::previewArea() const
{
    const int statusTop = twips::fromPixels(centralWidget()->height());
    return twips::rect(previewfit::areaLeft, previewfit::areaTop, outerWidthTwips() - 300,
                     statusTop - previewfit::areaTop);
}

// The preview's size in device pixels for a picture of the given size, as fitPreview would lay
// it out now; empty while there is no area to fit into.
void frmSeriograb::fitPreview()
{
    const QRect area = previewArea();
    if (area.width() <= 0 || area.height() <= 0 || m_pictureSize.isEmpty())
        return;   // nothing to fit into (minimised); the next fit lays it out afresh

    img1->hide();
    img1->setGeometry(area);
    const int areaHeight = twips::fromPixels(img1->height());
    const int areaWidth = twips::fromPixels(img1->width());
    const QSize him = previewfit::himetric(m_pictureSize);
    const PreviewRect r = previewfit::fit(areaWidth, areaHeight, him.width(), him.height());
    img1->setGeometry(twips::rect(r.left, r.top, r.width, r.height));

    // Grown past the pixels decoded for it: decode the picture again for the new size, beside
    // the window; a newer picture on its way makes that needless.
    const QSize shown = img1->size() * devicePixelRatio();
    const QSize decoded = img1->pixmap().size();
    if (!m_picturePath.isEmpty() && !m_decoder->isBusy()
        && (shown.width() > decoded.width() || shown.height() > decoded.height()))
        m_decoder->request(m_picturePath, decodeSize());
    img1->show();
}

void frmSeriograb::resizeHandling()
{
    Timer1->stop();
    if (isMinimized())
        return;
    if (outerHeightTwips() < 2100)
        setOuterSize(outerWidthTwips(), 2100);
    if (outerWidthTwips() < 8300)
        setOuterSize(8300, outerHeightTwips());
    recordedHeight = outerHeightTwips();
    recordedWidth = outerWidthTwips();
    m_recordedClientSize = size();
    Timer1->start();
}

void frmSeriograb::timer1Tick()
{
    // The window manager may add its frame after the last size change without a size event of
    // its own; a window whose inner size has not moved has still stopped changing size.
    if (size() == m_recordedClientSize) {
        recordedWidth = outerWidthTwips();
        recordedHeight = outerHeightTwips();
    }
    if (outerWidthTwips() == recordedWidth && outerHeightTwips() == recordedHeight) {
        guarded(sbar1, [this] { fitPreview(); });
        Timer1->stop();
    }
}

bool frmSeriograb::event(QEvent *event)
{
    // A run through a series of small answers changes the status line, the number and the
    // progress many times a frame; repainting the window for each took more time than the
    // answers themselves. During a run the window is repainted at most once a frame.
    if (event->type() == QEvent::UpdateRequest && isRunning()) {
        if (m_sinceRepaint.isValid() && m_sinceRepaint.elapsed() < frameMs) {
            if (!m_repaintTimer->isActive())
                m_repaintTimer->start(frameMs - int(m_sinceRepaint.elapsed()));
            return true;
        }
        m_sinceRepaint.restart();
    }
    return QMainWindow::event(event);
}

void frmSeriograb::resizeEvent(QResizeEvent *event)
{
    QMainWindow::resizeEvent(event);
    guarded(sbar1, [this] { resizeHandling(); });
}

bool frmSeriograb::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::KeyPress && watched != centralWidget()) {
        const auto *key = static_cast<QKeyEvent *>(event);
        if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter)
            && (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
            btnGetClick();
            return true;
        }
    }
    if (watched == centralWidget() && event->type() == QEvent::Resize && isVisible())
        guarded(sbar1, [this] { resizeHandling(); });
    return QMainWindow::eventFilter(watched, event);
}

void frmSeriograb::changeEvent(QEvent *event)
{
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange)
        guarded(sbar1, [this] { resizeHandling(); });
}

void frmSeriograb::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    if (m_shownOnce)
        return;
    m_shownOnce = true;
    txtURL3->setFocus();   // first in the focus order
    centreOnScreen();
    // The window manager's frame is known only once the window is up; the design size is the
    // outer size, so apply it again then.
    QTimer::singleShot(0, this, [this] {
        if (frameGeometry().size() != size()) {
            setOuterSize(8300, 4000);
            centreOnScreen();
        }
    });
    // The certificates HTTPS trusts take libcurl some 30 ms to load: not on the first Get, nor
    // before the window's first frame, but once it is on screen and long before a first click.
    QTimer::singleShot(trustAfterShowMs, m_inet1, [this] { guarded(sbar1, [this] { m_inet1->prepareTls(m_settings.caFile); }); });
}

void frmSeriograb::centreOnScreen()
{
    if (const QScreen *s = screen()) {
        const QRect avail = s->availableGeometry();
        QRect frame = frameGeometry();
        frame.moveCenter(avail.center());
        move(placement::whollyIn(avail, frame).topLeft());
    }
}

void frmSeriograb::closeEvent(QCloseEvent *event)
{
    if (m_run && m_run->isRunning()) {
        // The run is still on the stack: let it end after its pass, then close.
        m_closeRequested = true;
        m_series->queue().hold();
        m_run->stop();
        event->ignore();
        return;
    }
    closeSecondaryWindows();
    QMainWindow::closeEvent(event);
}
