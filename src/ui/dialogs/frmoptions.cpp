#include "ui/dialogs/frmoptions.h"

#include "core/numbers.h"
#include "core/proxytext.h"
#include "core/runrules.h"
#include "platform/filesystem.h"
#include "platform/twips.h"
#include "storage/modpara.h"
#include "ui/dialogs/frmmore.h"
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

// The described client area, and two buttons more on the row of OK and Cancel: the Save To
// folder's Browse… and More… for the settings beyond these, ending on the frames' right edge.
constexpr int windowWidth = 7275;
constexpr int windowHeight = 3585;
constexpr int buttonWidth = 1215;
constexpr int moreLeft = 3240 + 3855 - buttonWidth;
constexpr int browseLeft = moreLeft - 120 - buttonWidth;

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
        move(placement::centredWithin(scr->geometry(), placement::outerSize(this, mainWindow), scr->availableGeometry()));

    fillFields();
    cmdOK->setFocus();
}

frmOptions::~frmOptions() = default;

void frmOptions::buildControls()
{
    Label5 = label(this, "Label5", "Save To", 240, 160, 735, 255);
    txtDir = place<QLineEdit>(this, "txtDir", 1080, 120, 6015, 375);
    txtDir->setReadOnly(true);
    drv = place<QComboBox>(this, "drv", 240, 600, 2775, 315);
    dir = place<QTreeView>(this, "dir", 240, 1080, 2775, 1665);

    Frame1 = place<QGroupBox>(this, "Frame1", 3240, 480, 3855, 1215);
    Label1 = label(Frame1, "Label1", "Header Text", 120, 240, 1095, 375);
    txtHead = place<QLineEdit>(Frame1, "txtHead", 1320, 240, 2175, 375);
    Label2 = label(Frame1, "Label2", "Max Number  of Files", 120, 720, 2415, 255);
    txtLast = place<QLineEdit>(Frame1, "txtLast", 1800, 720, 1695, 375);

    frame2 = place<QGroupBox>(this, "frame2", 3240, 1680, 3855, 975);
    Label3 = label(frame2, "Label3", "Proxy Server", 120, 240, 1455, 255);
    txtProxyIP = place<QLineEdit>(frame2, "txtProxyIP", 120, 480, 2295, 375);
    Label4 = label(frame2, "Label4", "Proxy Port", 2880, 240, 855, 255);
    txtProxyPort = place<QLineEdit>(frame2, "txtProxyPort", 2880, 480, 615, 375);

    cmdOK = place<QPushButton>(this, "cmdOK", 240, 3000, 1215, 375);
    cmdOK->setText(QStringLiteral("OK"));
    cmdCancel = place<QPushButton>(this, "cmdCancel", 1800, 3000, 1215, 375);
    cmdCancel->setText(QStringLiteral("Cancel"));
    cmdBrowse = place<QPushButton>(this, "cmdBrowse", browseLeft, 3000, buttonWidth, 375);
    cmdBrowse->setText(QStringLiteral("Browse…"));
    cmdMore = place<QPushButton>(this, "cmdMore", moreLeft, 3000, buttonWidth, 375);
    cmdMore->setText(QStringLiteral("More…"));
    // A plain window has no default button; make sure Enter in a field does not press one.
    for (QPushButton *b : {cmdOK, cmdCancel, cmdBrowse, cmdMore})
        b->setAutoDefault(false);

    // Names for a screen reader: the caption each field sits beside, and what the rest do.
    for (const auto &[w, name] : {std::pair<QWidget *, const char *>{txtDir, "Save To folder"}, {drv, "Drive"},
                                  {dir, "Folders"}, {txtHead, "Header Text"}, {txtLast, "Max Number of Files"},
                                  {txtProxyIP, "Proxy Server"}, {txtProxyPort, "Proxy Port"},
                                  {cmdBrowse, "Browse for the Save To folder"}, {cmdMore, "More options"}})
        w->setAccessibleName(QLatin1String(name));
    txtProxyPort->setAccessibleDescription(QStringLiteral("1 to 65535; empty without a proxy server"));
    cmdMore->setAccessibleDescription(QStringLiteral("Downloads, site access and proxy settings"));

    m_folders = new QFileSystemModel(this);
    m_folders->setFilter(QDir::Dirs | QDir::NoDotAndDotDot);
    m_folders->setReadOnly(true);
    dir->setModel(m_folders);
    dir->setHeaderHidden(true);
    for (int c = 1; c < m_folders->columnCount(); ++c)
        dir->hideColumn(c);
    dir->setEditTriggers(QAbstractItemView::NoEditTriggers);

    for (QWidget *w : {static_cast<QWidget *>(Label5), static_cast<QWidget *>(Frame1),
                       static_cast<QWidget *>(frame2)})
        w->setFocusPolicy(Qt::NoFocus);

    // Down the described design, then the two buttons added to it.
    const QList<QWidget *> order = {cmdOK, cmdCancel, txtDir, drv, dir, txtHead, txtLast,
                                    txtProxyIP, txtProxyPort, cmdBrowse, cmdMore};
    for (qsizetype i = 1; i < order.size(); ++i)
        setTabOrder(order.at(i - 1), order.at(i));

    connect(cmdOK, &QPushButton::clicked, this, &frmOptions::cmdOKClick);
    connect(cmdCancel, &QPushButton::clicked, this, &frmOptions::cmdCancelClick);
    connect(dir, &QTreeView::activated, this, &frmOptions::dirOpen);
    connect(cmdBrowse, &QPushButton::clicked, this, &frmOptions::cmdBrowseClick);
    connect(cmdMore, &QPushButton::clicked, this, &frmOptions::cmdMoreClick);
    // Once the user has moved the highlight or scrolled, a change on disk leaves the list as
    // the user left it: its top row, noted once the move has been carried out and laid out.
    auto userMoved = [this] {
        m_userMoved = true;
        QTimer::singleShot(0, this, [this] { noteTopRow(); });
    };
    connect(dir->selectionModel(), &QItemSelectionModel::currentChanged, this, [this, userMoved] {
        if (!m_settingFolder)
            userMoved();
    });
    connect(dir->verticalScrollBar(), &QScrollBar::actionTriggered, this, userMoved);
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
    // The model sorts the rows it has loaded a moment later, which can push the start folder
    // out of sight; it is brought back if it was in sight before. Once the user has moved, the
    // row at the top stays at the top while folders anywhere on the disk come and go.
    auto beforeChange = [this] {
        m_currentInSight = !m_userMoved
            && dir->viewport()->rect().intersects(dir->visualRect(dir->currentIndex()));
    };
    auto afterChange = [this] {
        if (m_userMoved) {
            if (m_topRow.isValid())
                dir->scrollTo(m_topRow, QAbstractItemView::PositionAtTop);
            else   // the top row itself went: keep the one that took its place
                QTimer::singleShot(0, this, [this] { noteTopRow(); });
        } else if (m_currentInSight) {
            dir->scrollTo(dir->currentIndex());
        }
    };
    connect(m_folders, &QFileSystemModel::layoutAboutToBeChanged, this, beforeChange);
    connect(m_folders, &QFileSystemModel::rowsAboutToBeInserted, this, beforeChange);
    connect(m_folders, &QFileSystemModel::rowsAboutToBeRemoved, this, beforeChange);
    connect(m_folders, &QFileSystemModel::layoutChanged, this, afterChange);
    connect(m_folders, &QFileSystemModel::rowsInserted, this, afterChange);
    connect(m_folders, &QFileSystemModel::rowsRemoved, this, afterChange);
}

void frmOptions::noteTopRow()
{
    if (!m_userMoved)
        return;
    if (const QModelIndex top = dir->indexAt(QPoint(1, 1)); top.isValid())
        m_topRow = top;
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
        {Label3, Label3->width()},
        {Label4, Frame1->width() - Label4->x()},
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
    txtProxyIP->setText(m_settings.proxyIP);
    txtProxyPort->setText(m_settings.proxyPort == 0 ? QString()
                                                    : numbers::decimalText(m_settings.proxyPort));
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

// The settings beyond these, in a dialog of their own. Its OK hands them back; they are
// stored with this dialog's own on OK here, and dropped with them on Cancel.
void frmOptions::cmdMoreClick()
{
    if (m_more)
        return;
    Settings shown = m_settings;
    m_moreChange.applyTo(shown);
    setEnabled(false);
    m_more = new frmMore(shown, this);
    connect(m_more, &frmMore::accepted, this, [this](const SettingsChange &change) { m_moreChange = change; });
    m_more->show();
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
    m_topRow = QPersistentModelIndex();
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

// Every field is checked before anything is set, so a refused field never leaves the
// settings half-changed. The described five keys keep their order in the file; the More
// dialog's follow.
void frmOptions::cmdOKClick()
{
    if (txtHead->text().contains(QLatin1Char('/'))) {
        refuse(txtHead, QStringLiteral("Header Text: \"/\" cannot be part of it. It would name a folder, and "
                                       "no picture could be saved."));
        return;
    }
    // A negative maximum would end a run after its first file.
    const std::optional<qint32> last = numbers::strictNumberWithin(txtLast->text(), 0, 32767);
    if (!last) {
        refuse(txtLast, QStringLiteral("Max Number of Files: please enter a whole number "
                                       "from 0 to 32767."));
        return;
    }
    // A proxy typed or pasted whole goes into its fields; a password never stays in the field.
    const std::optional<ProxyText> typed = ProxyText::split(txtProxyIP->text());
    if (!typed) {
        refuse(txtProxyIP, QStringLiteral("Proxy Server: please enter the proxy's name or address, such as "
                                          "proxy.example.org, 127.0.0.1:3128, socks5://127.0.0.1:1080 or "
                                          "user@proxy.example.org, or leave it empty for none."));
        return;
    }
    txtProxyIP->setText(typed->host);
    if (typed->port > 0)
        txtProxyPort->setText(QString::number(typed->port));
    // The port is read as ever (letters alone mean 0, "no port"), but must be a port.
    const std::optional<qint32> port = numbers::leadingNumberWithin(txtProxyPort->text(), 0, 65535);
    if (!port) {
        refuse(txtProxyPort, QStringLiteral("Proxy Port: please enter a port from 1 to 65535, "
                                            "or leave the field empty."));
        return;
    }
    // The run goes through the proxy whenever a server is named; without a port every
    // transfer would fail.
    if (*port == 0 && !txtProxyIP->text().isEmpty()) {
        refuse(txtProxyPort, QStringLiteral("Proxy Port: the proxy server needs its port, a number "
                                            "from 1 to 65535. To connect without a proxy, leave "
                                            "Proxy Server empty."));
        return;
    }

    SettingsChange change;
    const QString folder = txtDir->text(), head = txtHead->text(), proxy = txtProxyIP->text();
    const auto lastFile = qint16(*last);
    const qint32 proxyPort = *port;
    change.apply = {[=](Settings &s) {
        s.localFolder = folder;
        s.headerText = head;
        s.lastFile = lastFile;
        s.proxyIP = proxy;
        s.proxyPort = proxyPort;
    }};
    change.stored = {{QStringLiteral("localFolder"), folder},
                     {QStringLiteral("headerText"), head},
                     {QStringLiteral("lastFile"), txtLast->text()},
                     {QStringLiteral("proxyIP"), proxy},
                     {QStringLiteral("proxyPort"), txtProxyPort->text()}};
    change.add(m_moreChange);
    // What the typed proxy names is newer than what More Options showed.
    auto store = [&change](const QString &key, const QString &text) {
        change.stored.removeIf([&key](const std::pair<QString, QString> &kept) { return kept.first == key; });
        change.stored.append({key, text});
    };
    if (const std::optional<Settings::ProxyType> type = typed->type) {
        change.apply.append([type](Settings &s) { s.proxyType = *type; });
        store(QStringLiteral("proxyType"), Settings::proxyTypeText(*type));
    }
    if (const QString user = typed->user; !user.isEmpty()) {
        change.apply.append([user](Settings &s) { s.proxyUser = user; });
        store(QStringLiteral("proxyUser"), user);
    }
    if (const std::optional<QString> password = typed->password)
        change.apply.append([password](Settings &s) { s.proxyPassword = *password; });
    storeSettings(this, messageTitle(), m_settings, m_place, change);
    emit applied();
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
    if (m_more)
        m_more->close();
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
