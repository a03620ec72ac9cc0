#include "ui/main/serieslist.h"

#include "platform/filesystem.h"
#include "ui/main/desktopnotice.h"

#include <QElapsedTimer>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMainWindow>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

const QString queueFileName = QStringLiteral("queue.par");

QPushButton *button(const QString &text, const char *name, QWidget *parent)
{
    auto *b = new QPushButton(text, parent);
    b->setObjectName(QLatin1String(name));
    b->setAutoDefault(false);
    return b;
}

} // namespace

SeriesList::SeriesList(const ProgramPlace &place, QWidget *parent)
    : QDockWidget(QStringLiteral("Series"), parent), m_place(place)
{
    setObjectName(QStringLiteral("serieslist"));
    setFeatures(QDockWidget::DockWidgetMovable | QDockWidget::DockWidgetFloatable);
    auto *inside = new QWidget(this);
    lstSeries = new QTreeWidget(inside);
    lstSeries->setObjectName(QStringLiteral("lstSeries"));
    lstSeries->setHeaderLabels({QStringLiteral("Address"), QStringLiteral("State")});
    lstSeries->setRootIsDecorated(false);
    lstSeries->setUniformRowHeights(true);
    lstSeries->header()->setStretchLastSection(true);
    lstSeries->installEventFilter(this);
    btnUp = button(QStringLiteral("Up"), "btnUp", inside);
    btnDown = button(QStringLiteral("Down"), "btnDown", inside);
    btnRemove = button(QStringLiteral("Remove"), "btnRemove", inside);
    auto *buttons = new QVBoxLayout;
    for (QPushButton *b : {btnUp, btnDown, btnRemove})
        buttons->addWidget(b);
    buttons->addStretch();
    auto *row = new QHBoxLayout(inside);
    row->setContentsMargins(4, 0, 4, 4);
    row->addWidget(lstSeries, 1);
    row->addLayout(buttons);
    setWidget(inside);
    hide();

    auto moveBy = [this](int by) {
        const qsizetype at = selected();
        m_queue.move(at, by);
        if (at >= 0 && at + by >= 0 && at + by < lstSeries->topLevelItemCount())
            lstSeries->setCurrentItem(lstSeries->topLevelItem(int(at + by)));
    };
    connect(btnUp, &QPushButton::clicked, this, [moveBy] { moveBy(-1); });
    connect(btnDown, &QPushButton::clicked, this, [moveBy] { moveBy(1); });
    connect(btnRemove, &QPushButton::clicked, this, [this] { m_queue.remove(selected()); });
    connect(&m_queue, &SeriesQueue::changed, this, [this] {
        refresh();
        save();
    });
}

QString SeriesList::statusPrefix() const
{
    const QString position = m_queue.position();
    return position.isEmpty() ? QString() : position + QStringLiteral(" - ");
}

QString SeriesList::restore(const PutInFields &putInFields)
{
    try {
        const QSignalBlocker quiet(m_queue);   // read back, not changed: nothing to write
        m_queue.load(m_place.settingsFile(queueFileName));
    } catch (const FileError &e) {
        return QStringLiteral("The queue of series could not be read: ") + e.message();
    }
    refresh();
    const qsizetype count = m_queue.series().size();
    if (count == 0)
        return QString();
    putInFields(runrules::splitAddress(m_queue.series().constFirst().address));
    m_queue.setFieldsSeries(m_queue.series().constFirst().id);
    return QStringLiteral("%1 series wait from the last session, the first in the fields: press Get to fetch them")
            .arg(count);
}

QString SeriesList::take(const QString &text)
{
    const QStringList addresses = SeriesQueue::addressesIn(text);
    m_queue.clearDone();
    m_queue.setFieldsSeries(-1);
    // One address is the fields' alone; of several, the first is listed too, in the fields.
    if (addresses.size() > 1) {
        m_queue.add(addresses);
        m_queue.setFieldsSeries(m_queue.series().at(m_queue.series().size() - addresses.size()).id);
    }
    return addresses.value(0);
}

QString SeriesList::openList()
{
    const QString path = QFileDialog::getOpenFileName(window(), QStringLiteral("Open Address List"), QString(),
                                                      QStringLiteral("Address lists (*.txt *.lst);;All files (*)"));
    if (path.isEmpty())
        return QString();
    QStringList addresses;
    try {
        addresses = SeriesQueue::readList(path);
    } catch (const FileError &e) {
        emit message(e.message());
        return QString();
    }
    if (addresses.isEmpty()) {
        emit message(QStringLiteral("The list %1 holds no address").arg(path));
        return QString();
    }
    if (!m_queue.isRunning())
        return addresses.join(QLatin1Char('\n'));
    m_queue.add(addresses);
    emit message(QStringLiteral("%1 series from %2 wait in the Series list").arg(addresses.size()).arg(path));
    return QString();
}

void SeriesList::run(DownloadRun &run, RunView &view, const PutInFields &putInFields)
{
    QElapsedTimer clock;
    clock.start();
    const SeriesQueue::Result result = m_queue.run(run, view, putInFields, true);
    if (result.report.isEmpty())
        return;
    view.addMsg(result.report);
    view.logPass(QStringLiteral("== ") + result.report);
    if (clock.elapsed() > desktopnotice::afterMs && !window()->isActiveWindow())
        desktopnotice::notify(QStringLiteral("Seriograb"), result.report);
}

bool SeriesList::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == lstSeries && event->type() == QEvent::KeyPress
        && static_cast<QKeyEvent *>(event)->key() == Qt::Key_Delete) {
        m_queue.remove(selected());
        return true;
    }
    return QDockWidget::eventFilter(watched, event);
}

qsizetype SeriesList::selected() const
{
    return lstSeries->currentItem() ? lstSeries->indexOfTopLevelItem(lstSeries->currentItem()) : -1;
}

void SeriesList::refresh()
{
    const qsizetype current = selected();
    lstSeries->clear();
    for (const SeriesQueue::Series &s : m_queue.series()) {
        QString state = SeriesQueue::stateText(s.state);
        if (!s.report.isEmpty())
            state += QStringLiteral(": ") + s.report;
        auto *item = new QTreeWidgetItem(lstSeries, {s.address, state});
        item->setToolTip(0, s.address);
        item->setToolTip(1, state);
    }
    if (current >= 0 && current < lstSeries->topLevelItemCount())
        lstSeries->setCurrentItem(lstSeries->topLevelItem(int(current)));

    const bool show = !m_queue.series().isEmpty();
    if (show && !isVisible()) {
        // The list takes room from the preview, as much as its buttons need: the window grows
        // by it, unless it fills the screen.
        auto *main = qobject_cast<QMainWindow *>(parentWidget());
        setVisible(true);
        const int height = 3 * btnUp->sizeHint().height() + 2 * fontMetrics().height() + 24;
        if (main) {
            main->resizeDocks({this}, {height}, Qt::Vertical);
            if (!(main->windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen)))
                main->resize(main->width(), main->height() + height);
        }
    } else if (!show && isVisible()) {
        setVisible(false);
    }
    // Addresses as wide as they are, up to about half the window: the states need room too.
    lstSeries->resizeColumnToContents(0);
    lstSeries->setColumnWidth(0, qMin(lstSeries->columnWidth(0), window()->width() / 2));
}

void SeriesList::save()
{
    const QString path = m_place.settingsFile(queueFileName);
    if (!m_place.canKeepSettings() || (m_queue.series().isEmpty() && !QFileInfo::exists(path)))
        return;
    try {
        m_queue.save(m_place.prepareSettingsFile(queueFileName));
    } catch (const FileError &e) {
        emit message(QStringLiteral("The queue of series could not be kept: ") + e.message());
    }
}
