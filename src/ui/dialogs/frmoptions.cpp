#include "ui/dialogs/frmoptions.h"

#include "core/numbers.h"
#include "core/runrules.h"
#include "platform/filesystem.h"
#include "platform/twips.h"
#include "storage/modpara.h"
#include "ui/dialogs/placement.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QFontMetrics>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScopeGuard>
#include <QScreen>
#include <QScrollBar>
#include <QKeyEvent>
#include <QSignalBlocker>
#include <QStorageInfo>
#include <QTimer>
#include <QTreeView>

namespace {

template <typename W>
W *place(QWidget *container, const char *name, int left, int top, int width, int height)
{
    auto *w = new W(container);
    w->setObjectName(QLatin1String(name));
    w->setGeometry(twips::rect(left, top, width, height));
    return w;
}

QLabel *label(QWidget *container, const char *name, const char *caption,
              int left, int top, int width, int height)
{
    auto *l = place<QLabel>(container, name, left, top, width, height);
    l->setText(QLatin1String(caption));
    return l;
}

QString messageTitle() { return QStringLiteral("Options"); }

// Frame1 holds two more rows than in its first design (misses in a row, an existing file);
// the proxy frame below it moves down by as much, and the window grows to keep the margin
// under it that the buttons had.
constexpr int addedRows = 2 * 480;
constexpr int windowHeight = 1680 + addedRows + 975 + 210;

// The download settings have a frame of their own to the right of the first design, as tall
// as Frame1 and frame2 together, with the margins the first design keeps: the folder list's
// gap to the frames before it, the frames' right margin after it.
constexpr int downloadsLeft = 3240 + 3855 + 225;
constexpr int downloadsWidth = 5700;
constexpr int windowWidth = downloadsLeft + downloadsWidth + 180;
// Its rows: captions on the left; fields, lists and buttons ending on one right edge, as in Frame1.
constexpr int rowTop = 300;
constexpr int rowPitch = 390;
constexpr int rowHeight = 345;
constexpr int fieldLeft = 2160;
constexpr int rightEdge = downloadsWidth - 120;
constexpr int numberWidth = 735;
constexpr int buttonWidth = 1215;
constexpr int row(int n) { return rowTop + n * rowPitch; }

enum RefererChoice { RefererNone, RefererFolder, RefererFixed };

} // namespace

frmOptions::frmOptions(Settings &settings, const ProgramPlace &place, QWidget *mainWindow)
    : QWidget(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                           | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      m_settings(settings), m_place(place), m_mainWindow(mainWindow)
{
    setObjectName(QStringLiteral("frmOptions"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("Options"));
    setFixedSize(twips::toPixels(windowWidth), twips::toPixels(windowHeight));
    if (mainWindow)
        setWindowIcon(mainWindow->windowIcon());

    buildControls();
    fitCaptions();
    fillDrives();

    placement::stayWithMainWindow(this, mainWindow);
    const QScreen *scr = mainWindow && mainWindow->screen() ? mainWindow->screen() : screen();
    if (scr)
        move(placement::centredIn(scr->geometry(), placement::outerSize(this, mainWindow)));

    fillFields();
    cmdOK->setFocus();
}

frmOptions::~frmOptions() = default;

void frmOptions::buildControls()
{
    Label5 = label(this, "Label5", "Save To", 240, 160, 735, 255);
    txtDir = place<QLineEdit>(this, "txtDir", 1080, 120, 6015, 375);
    txtDir->setReadOnly(true);
    cmdBrowse = place<QPushButton>(this, "cmdBrowse", downloadsLeft, 120, buttonWidth, 375);
    cmdBrowse->setText(QStringLiteral("Browse…"));
    drv = place<QComboBox>(this, "drv", 240, 600, 2775, 315);
    dir = place<QTreeView>(this, "dir", 240, 1080, 2775, 1665);

    Frame1 = place<QGroupBox>(this, "Frame1", 3240, 480, 3855, 1215 + addedRows);
    Label1 = label(Frame1, "Label1", "Header Text", 120, 240, 1095, 375);
    txtHead = place<QLineEdit>(Frame1, "txtHead", 1320, 240, 2175, 375);
    Label2 = label(Frame1, "Label2", "Max Number  of Files", 120, 720, 2415, 255);
    txtLast = place<QLineEdit>(Frame1, "txtLast", 1800, 720, 1695, 375);
    Label6 = label(Frame1, "Label6", "Stop after misses in a row", 120, 1200, 2535, 255);
    txtMaxMisses = place<QLineEdit>(Frame1, "txtMaxMisses", 2760, 1200, 735, 375);
    Label7 = label(Frame1, "Label7", "If the file exists", 120, 1680, 1815, 255);
    cmbIfExists = place<QComboBox>(Frame1, "cmbIfExists", 2040, 1680, 1455, 375);
    cmbIfExists->addItem(QStringLiteral("Ask"), int(Settings::IfExists::Ask));
    cmbIfExists->addItem(QStringLiteral("Skip"), int(Settings::IfExists::Skip));
    cmbIfExists->addItem(QStringLiteral("Keep both"), int(Settings::IfExists::Number));

    frame2 = place<QGroupBox>(this, "frame2", 3240, 1680 + addedRows, 3855, 975);
    Label3 = label(frame2, "Label3", "Proxy Server", 120, 240, 1455, 255);
    txtProxyIP = place<QLineEdit>(frame2, "txtProxyIP", 120, 480, 2295, 375);
    Label4 = label(frame2, "Label4", "Proxy Port", 2880, 240, 855, 255);
    txtProxyPort = place<QLineEdit>(frame2, "txtProxyPort", 2880, 480, 615, 375);

    fraDownloads = place<QGroupBox>(this, "fraDownloads", downloadsLeft, 480, downloadsWidth,
                                             1680 + addedRows + 975 - 480);
    fraDownloads->setTitle(QStringLiteral("Downloads"));
    auto caption = [this](const char *name, const char *text, int n, int width) {
        return label(fraDownloads, name, text, 120, row(n) + (rowHeight - 255) / 2, width, 255);
    };
    Label8 = caption("Label8", "Retries", 0, 1980);
    txtRetries = place<QLineEdit>(fraDownloads, "txtRetries", rightEdge - numberWidth, row(0), numberWidth, rowHeight);
    Label9 = caption("Label9", "Pause between requests (ms)", 1, 3000);
    txtPause = place<QLineEdit>(fraDownloads, "txtPause", rightEdge - numberWidth, row(1), numberWidth, rowHeight);
    Label10 = caption("Label10", "Keep pictures", 2, 1980);
    cmbKeep = place<QComboBox>(fraDownloads, "cmbKeep", fieldLeft, row(2), rightEdge - fieldLeft, rowHeight);
    cmbKeep->addItem(QStringLiteral("GIF and JPEG"), int(Settings::Keep::GifJpeg));
    cmbKeep->addItem(QStringLiteral("GIF, JPEG, PNG and WebP"), int(Settings::Keep::All));
    Label11 = caption("Label11", "Send Referer", 3, 1980);
    cmbReferer = place<QComboBox>(fraDownloads, "cmbReferer", fieldLeft, row(3), rightEdge - fieldLeft, rowHeight);
    cmbReferer->addItem(QStringLiteral("None"), RefererNone);
    cmbReferer->addItem(QStringLiteral("The address's folder"), RefererFolder);
    cmbReferer->addItem(QStringLiteral("A fixed address"), RefererFixed);
    txtReferer = place<QLineEdit>(fraDownloads, "txtReferer", fieldLeft, row(4), rightEdge - fieldLeft, rowHeight);
    txtReferer->setPlaceholderText(QStringLiteral("https://"));
    txtReferer->setEnabled(false);
    const int fileWidth = rightEdge - buttonWidth - 60 - fieldLeft;
    Label12 = caption("Label12", "Cookies file", 5, 1980);
    txtCookies = place<QLineEdit>(fraDownloads, "txtCookies", fieldLeft, row(5), fileWidth, rowHeight);
    cmdCookies = place<QPushButton>(fraDownloads, "cmdCookies", rightEdge - buttonWidth, row(5), buttonWidth, rowHeight);
    cmdCookies->setText(QStringLiteral("Browse…"));
    Label13 = caption("Label13", "Extra CA certificates", 6, 1980);
    txtCaFile = place<QLineEdit>(fraDownloads, "txtCaFile", fieldLeft, row(6), fileWidth, rowHeight);
    cmdCaFile = place<QPushButton>(fraDownloads, "cmdCaFile", rightEdge - buttonWidth, row(6), buttonWidth, rowHeight);
    cmdCaFile->setText(QStringLiteral("Browse…"));

    cmdOK = place<QPushButton>(this, "cmdOK", 240, 3000, 1215, 375);
    cmdOK->setText(QStringLiteral("OK"));
    cmdCancel = place<QPushButton>(this, "cmdCancel", 1800, 3000, 1215, 375);
    cmdCancel->setText(QStringLiteral("Cancel"));
    // A plain window has no default button; make sure Enter in a field does not press one.
    for (QPushButton *b : {cmdOK, cmdCancel, cmdBrowse, cmdCookies, cmdCaFile})
        b->setAutoDefault(false);

    m_folders = new QFileSystemModel(this);
    m_folders->setFilter(QDir::Dirs | QDir::NoDotAndDotDot);
    m_folders->setReadOnly(true);
    dir->setModel(m_folders);
    dir->setHeaderHidden(true);
    for (int c = 1; c < m_folders->columnCount(); ++c)
        dir->hideColumn(c);
    dir->setEditTriggers(QAbstractItemView::NoEditTriggers);

    for (QWidget *w : {static_cast<QWidget *>(Label5), static_cast<QWidget *>(Frame1),
                       static_cast<QWidget *>(frame2), static_cast<QWidget *>(fraDownloads)})
        w->setFocusPolicy(Qt::NoFocus);

    // Down the first design, then down the download settings.
    const QList<QWidget *> order = {cmdOK, cmdCancel, txtDir, cmdBrowse, drv, dir, txtHead, txtLast,
                                    txtMaxMisses, cmbIfExists, txtProxyIP, txtProxyPort, txtRetries, txtPause,
                                    cmbKeep, cmbReferer, txtReferer, txtCookies, cmdCookies, txtCaFile, cmdCaFile};
    for (qsizetype i = 1; i < order.size(); ++i)
        setTabOrder(order.at(i - 1), order.at(i));

    connect(cmdOK, &QPushButton::clicked, this, &frmOptions::cmdOKClick);
    connect(cmdCancel, &QPushButton::clicked, this, &frmOptions::cmdCancelClick);
    connect(dir, &QTreeView::activated, this, &frmOptions::dirOpen);
    connect(cmdBrowse, &QPushButton::clicked, this, &frmOptions::cmdBrowseClick);
    connect(cmdCookies, &QPushButton::clicked, this, [this] {
        browseFile(txtCookies, QStringLiteral("Cookies file"), QStringLiteral("Cookies files (*.txt);;All files (*)"));
    });
    connect(cmdCaFile, &QPushButton::clicked, this, [this] {
        browseFile(txtCaFile, QStringLiteral("Extra CA certificates"),
                   QStringLiteral("PEM certificates (*.pem *.crt);;All files (*)"));
    });
    connect(cmbReferer, &QComboBox::currentIndexChanged, this,
            [this] { txtReferer->setEnabled(cmbReferer->currentData().toInt() == RefererFixed); });
    connect(cmbReferer, &QComboBox::activated, this, [this] {
        if (txtReferer->isEnabled())
            txtReferer->setFocus();
    });
    // Once the user has moved the highlight or scrolled, a change on disk leaves the list as
    // the user left it.
    connect(dir->selectionModel(), &QItemSelectionModel::currentChanged, this, [this] {
        if (!m_settingFolder)
            m_userMoved = true;
    });
    connect(dir->verticalScrollBar(), &QScrollBar::actionTriggered, this, [this] { m_userMoved = true; });
    // Folders load in the background; the current one can only be shown once its parents'
    // rows have arrived, so it is shown again whenever rows arrive above it.
    auto revealAbove = [this](const QString &path) {
        const QString prefix = path.endsWith(QLatin1Char('/')) ? path : path + QLatin1Char('/');
        if (m_revealPending || m_userMoved || !(m_folder == path || m_folder.startsWith(prefix)))
            return;
        m_revealPending = true;
        QTimer::singleShot(0, this, [this] {
            m_revealPending = false;
            if (!m_userMoved)
                setFolder(m_folder);
        });
    };
    connect(m_folders, &QFileSystemModel::directoryLoaded, this, revealAbove);
    connect(m_folders, &QFileSystemModel::rowsInserted, this,
            [this, revealAbove](const QModelIndex &parent) {
                revealAbove(m_folders->filePath(parent));
            });
    // The model sorts the rows it has loaded a moment later, which can push the current folder
    // out of sight; it is brought back if it was in sight before.
    connect(m_folders, &QFileSystemModel::layoutAboutToBeChanged, this, [this] {
        m_currentInSight = dir->viewport()->rect().intersects(dir->visualRect(dir->currentIndex()));
    });
    connect(m_folders, &QFileSystemModel::layoutChanged, this, [this] {
        if (m_currentInSight)
            dir->scrollTo(dir->currentIndex());
    });
}

// The captions were laid out for a narrower font than most desktops use; rather than let a
// field cover "Max Number  of Files", the dialog's font is made just small enough for every
// caption to fit the room its layout gives it.
void frmOptions::fitCaptions()
{
    const QList<QPair<QLabel *, int>> rooms = {
        {Label5, txtDir->x() - Label5->x()},
        {Label1, txtHead->x() - Label1->x()},
        {Label2, txtLast->x() - Label2->x()},
        {Label6, txtMaxMisses->x() - Label6->x()},
        {Label7, cmbIfExists->x() - Label7->x()},
        {Label3, Label3->width()},
        {Label4, Frame1->width() - Label4->x()},
        {Label8, txtRetries->x() - Label8->x()},
        {Label9, txtPause->x() - Label9->x()},
        {Label10, cmbKeep->x() - Label10->x()},
        {Label11, cmbReferer->x() - Label11->x()},
        {Label12, txtCookies->x() - Label12->x()},
        {Label13, txtCaFile->x() - Label13->x()},
    };
    QFont f = font();
    const qreal minimum = 6.0;
    auto fits = [&rooms](const QFont &font) {
        const QFontMetrics metrics(font);
        for (const auto &[label, room] : rooms)
            if (metrics.horizontalAdvance(label->text()) + 2 > room)
                return false;
        return true;
    };
    if (f.pointSizeF() <= 0)
        return;
    while (!fits(f) && f.pointSizeF() - 0.5 >= minimum)
        f.setPointSizeF(f.pointSizeF() - 0.5);
    setFont(f);
}

void frmOptions::fillFields()
{
    txtDir->setText(m_settings.localFolder);
    txtHead->setText(m_settings.headerText);
    txtLast->setText(numbers::decimalText(m_settings.lastFile));
    txtMaxMisses->setText(numbers::decimalText(m_settings.maxMisses));
    cmbIfExists->setCurrentIndex(cmbIfExists->findData(int(m_settings.ifExists)));
    txtProxyIP->setText(m_settings.proxyIP);
    txtProxyPort->setText(m_settings.proxyPort == 0 ? QString()
                                                    : numbers::decimalText(m_settings.proxyPort));
    txtRetries->setText(numbers::decimalText(m_settings.retries));
    txtPause->setText(numbers::decimalText(m_settings.pauseMs));
    cmbKeep->setCurrentIndex(cmbKeep->findData(int(m_settings.keep)));
    if (m_settings.referer.isEmpty()) {
        cmbReferer->setCurrentIndex(cmbReferer->findData(RefererNone));
    } else if (m_settings.referer == QLatin1String("*")) {
        cmbReferer->setCurrentIndex(cmbReferer->findData(RefererFolder));
    } else {
        cmbReferer->setCurrentIndex(cmbReferer->findData(RefererFixed));
        txtReferer->setText(m_settings.referer);
    }
    txtCookies->setText(m_settings.cookiesFile);
    txtCaFile->setText(m_settings.caFile);
}

// The drive list holds the mounted, ready file-system roots, "/" first. It and the folder list
// open on the process's current folder, not on localFolder.
void frmOptions::fillDrives()
{
    QStringList roots;
    for (const QStorageInfo &volume : QStorageInfo::mountedVolumes()) {
        const QString root = volume.rootPath();
        if (volume.isValid() && volume.isReady() && root != QLatin1String("/")
            && QFileInfo(root).isDir() && !roots.contains(root))
            roots.append(root);
    }
    roots.sort();
    roots.prepend(QStringLiteral("/"));

    const QString current = QDir::currentPath();
    const QString currentRoot = QStorageInfo(current).rootPath();
    {
        const QSignalBlocker block(drv);
        drv->addItems(roots);
        m_drive = qMax(0, roots.indexOf(currentRoot));
        drv->setCurrentIndex(m_drive);
    }
    m_folders->setRootPath(roots.at(m_drive));
    dir->setRootIndex(m_folders->index(roots.at(m_drive)));
    setFolder(current);
    connect(drv, &QComboBox::currentIndexChanged, this, &frmOptions::drvChange);
}

void frmOptions::drvChange(int index)
{
    if (index < 0 || index == m_drive)
        return;
    const QString root = drv->itemText(index);
    const QFileInfo info(root);
    if (!info.isDir() || !info.isReadable() || !QStorageInfo(root).isReady()
        || !QDir(root).exists()) {
        {
            const QSignalBlocker block(drv);
            drv->setCurrentIndex(m_drive);
        }
        QMessageBox::warning(this, messageTitle(),
                             QStringLiteral("The drive %1 cannot be read; the folder list stays "
                                            "on %2.").arg(root, drv->itemText(m_drive)));
        return;
    }
    m_drive = index;
    m_folders->setRootPath(root);
    dir->setRootIndex(m_folders->index(root));
    setFolder(root);
    txtDir->setText(root);
}

// The standard folder dialog, with its button for a new folder, from the Save To folder; the
// folder chosen there is a folder change like one opened in the list, which follows it.
void frmOptions::cmdBrowseClick()
{
    const QString start = QFileInfo(txtDir->text()).isDir() ? txtDir->text() : QDir::currentPath();
    const QString chosen = QFileDialog::getExistingDirectory(this, QStringLiteral("Save To"), start);
    if (chosen.isEmpty())
        return;
    const int drive = drv->findText(QStorageInfo(chosen).rootPath());
    if (drive >= 0 && drive != m_drive) {
        const QSignalBlocker block(drv);
        drv->setCurrentIndex(drive);
        m_drive = drive;
        m_folders->setRootPath(drv->itemText(drive));
        dir->setRootIndex(m_folders->index(drv->itemText(drive)));
    }
    setFolder(chosen);
    txtDir->setText(chosen);
}

void frmOptions::browseFile(QLineEdit *field, const QString &title, const QString &filter)
{
    const QString chosen = QFileDialog::getOpenFileName(this, title, QFileInfo(field->text()).path(), filter);
    if (!chosen.isEmpty())
        field->setText(chosen);
}

void frmOptions::dirOpen(const QModelIndex &index)
{
    if (!index.isValid())
        return;
    const QString path = m_folders->filePath(index);
    setFolder(path);
    txtDir->setText(path);
}

// Shows `path` as the folder list's current folder: its ancestors opened, itself selected.
void frmOptions::setFolder(const QString &path)
{
    m_folder = path;
    m_userMoved = false;
    const QModelIndex target = m_folders->index(path);
    if (!target.isValid())
        return;
    m_settingFolder = true;
    const auto done = qScopeGuard([this] { m_settingFolder = false; });
    QList<QModelIndex> chain;
    for (QModelIndex i = target; i.isValid() && i != dir->rootIndex(); i = i.parent())
        chain.prepend(i);
    for (const QModelIndex &i : chain)
        dir->expand(i);
    if (target != dir->rootIndex()) {
        dir->setCurrentIndex(target);
        dir->scrollTo(target);
    }
}

void frmOptions::refuse(QLineEdit *field, const QString &message)
{
    QMessageBox::warning(this, messageTitle(), message);
    field->setFocus();
    field->selectAll();
}

std::optional<frmOptions::Numbers> frmOptions::validate()
{
    if (txtHead->text().contains(QLatin1Char('/'))) {
        refuse(txtHead, QStringLiteral("Header Text: \"/\" cannot be part of it. It would name a folder, and "
                                       "no picture could be saved."));
        return std::nullopt;
    }
    const std::optional<qint16> last = numbers::strictNumber16(txtLast->text());
    if (!last) {
        refuse(txtLast, QStringLiteral("Max Number of Files: please enter a whole number "
                                       "from -32768 to 32767."));
        return std::nullopt;
    }
    const std::optional<qint32> misses = numbers::strictNumberWithin(txtMaxMisses->text(), 0, Settings::highestMaxMisses);
    if (!misses) {
        refuse(txtMaxMisses, QStringLiteral("Stop after misses in a row: please enter a whole number "
                                            "from 0 to %1 (0: a run never stops for misses).")
                                 .arg(Settings::highestMaxMisses));
        return std::nullopt;
    }
    // The port is read as ever (letters alone mean 0, "no port"), but must be a port.
    const std::optional<qint32> port = numbers::leadingNumberWithin(txtProxyPort->text(), 0, 65535);
    if (!port) {
        refuse(txtProxyPort, QStringLiteral("Proxy Port: please enter a port from 1 to 65535, "
                                            "or leave the field empty."));
        return std::nullopt;
    }
    // The run goes through the proxy whenever a server is named; without a port every
    // transfer would fail.
    if (*port == 0 && !txtProxyIP->text().isEmpty()) {
        refuse(txtProxyPort, QStringLiteral("Proxy Port: the proxy server needs its port, a number "
                                            "from 1 to 65535. To connect without a proxy, leave "
                                            "Proxy Server empty."));
        return std::nullopt;
    }
    const std::optional<qint32> retries = numbers::strictNumberWithin(txtRetries->text(), 0, Settings::maxRetries);
    if (!retries) {
        refuse(txtRetries, QStringLiteral("Retries: please enter a whole number from 0 to %1.").arg(Settings::maxRetries));
        return std::nullopt;
    }
    const std::optional<qint32> pause = numbers::strictNumberWithin(txtPause->text(), 0, Settings::maxPauseMs);
    if (!pause) {
        refuse(txtPause, QStringLiteral("Pause between requests (ms): please enter a whole number from 0 to %1.")
                                 .arg(Settings::maxPauseMs));
        return std::nullopt;
    }
    QString referer;
    switch (cmbReferer->currentData().toInt()) {
    case RefererFolder:
        referer = QStringLiteral("*");
        break;
    case RefererFixed:
        referer = txtReferer->text().trimmed();
        if (!runrules::isWebAddress(referer)) {
            refuse(txtReferer, QStringLiteral("Send Referer: please enter an http or https address, such as "
                                              "https://example.org/gallery/, or choose None."));
            return std::nullopt;
        }
        break;
    default:
        break;
    }
    return Numbers{*last, *misses, *port, *retries, *pause, referer};
}

// Every field is checked before anything is set, so a refused field never leaves the
// settings half-changed. The first five keys keep their order in the file; newer ones follow.
void frmOptions::cmdOKClick()
{
    const std::optional<Numbers> checked = validate();
    if (!checked)
        return;
    const auto ifExists = Settings::IfExists(cmbIfExists->currentData().toInt());
    const auto keep = Settings::Keep(cmbKeep->currentData().toInt());

    m_settings.localFolder = txtDir->text();
    m_settings.headerText = txtHead->text();
    m_settings.lastFile = checked->lastFile;
    m_settings.proxyIP = txtProxyIP->text();
    m_settings.proxyPort = checked->proxyPort;
    m_settings.maxMisses = checked->maxMisses;
    m_settings.ifExists = ifExists;
    m_settings.retries = checked->retries;
    m_settings.pauseMs = checked->pauseMs;
    m_settings.referer = checked->referer;
    m_settings.cookiesFile = txtCookies->text();
    m_settings.keep = keep;
    m_settings.caFile = txtCaFile->text();
    emit applied();

    try {
        // One rewrite for all of them: the file holds the old settings or the new ones.
        modPara::writeParas(m_place, {{QStringLiteral("localFolder"), txtDir->text()},
                                      {QStringLiteral("headerText"), txtHead->text()},
                                      {QStringLiteral("lastFile"), txtLast->text()},
                                      {QStringLiteral("proxyIP"), txtProxyIP->text()},
                                      {QStringLiteral("proxyPort"), txtProxyPort->text()},
                                      {QStringLiteral("maxMisses"), txtMaxMisses->text()},
                                      {QStringLiteral("ifExists"), Settings::ifExistsText(ifExists)},
                                      {QStringLiteral("retries"), txtRetries->text()},
                                      {QStringLiteral("pause"), txtPause->text()},
                                      {QStringLiteral("referer"), checked->referer},
                                      {QStringLiteral("cookies"), txtCookies->text()},
                                      {QStringLiteral("keep"), Settings::keepText(keep)},
                                      {QStringLiteral("caFile"), txtCaFile->text()}});
    } catch (const std::exception &e) {
        QMessageBox::warning(this, messageTitle(),
                             QStringLiteral("The settings are in use now, but they could not "
                                            "be stored for the next start:\n%1")
                                 .arg(QString::fromStdString(e.what())));
    }
    close();
}

void frmOptions::cmdCancelClick()
{
    close();
}

// Esc presses the cancel button wherever the focus is (the fields pass it on to the window).
void frmOptions::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        cmdCancel->click();
        return;
    }
    QWidget::keyPressEvent(event);
}

void frmOptions::closeEvent(QCloseEvent *event)
{
    event->accept();
    hide();
    enableMainWindow();
}

void frmOptions::enableMainWindow()
{
    if (m_mainWindow && !m_mainWindow->isEnabled()) {
        m_mainWindow->setEnabled(true);
        if (m_mainWindow->isVisible())
            m_mainWindow->activateWindow();
    }
}
