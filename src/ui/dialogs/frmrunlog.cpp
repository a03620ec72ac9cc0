#include "ui/dialogs/frmrunlog.h"

#include "platform/twips.h"
#include "ui/dialogs/placement.h"
#include "ui/dialogs/runlogmodel.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QScreen>
#include <QScrollBar>
#include <QSortFilterProxyModel>
#include <QStyledItemDelegate>
#include <QTableView>
#include <QVBoxLayout>

namespace {

// Beside the main window, never over it: on the side with the most room, right, left, below or
// above, made smaller to fit there when it must (down to `least`); over it only when no side
// has room even for that.
QRect besideMainWindow(const QWidget *mainWindow, QSize outer, QSize least, const QRect &screen)
{
    const QRect main = mainWindow->frameGeometry();
    const int gap = 8;
    const QRect rooms[] = {QRect(QPoint(main.right() + 1 + gap, screen.top()), screen.bottomRight()),
                           QRect(screen.topLeft(), QPoint(main.left() - 1 - gap, screen.bottom())),
                           QRect(QPoint(screen.left(), main.bottom() + 1 + gap), screen.bottomRight()),
                           QRect(screen.topLeft(), QPoint(screen.right(), main.top() - 1 - gap))};
    QRect best;
    for (int side = 0; side < 4; ++side) {
        const QRect &room = rooms[side];
        const QSize size = outer.boundedTo(room.size());
        if (size.width() < least.width() || size.height() < least.height())
            continue;
        if (best.isValid() && size.width() * size.height() <= best.width() * best.height())
            continue;
        // Level with the main window's top or left edge, as far as the room allows.
        QPoint at = side < 2 ? QPoint(side == 0 ? room.left() : room.right() + 1 - size.width(), main.top())
                             : QPoint(main.left(), side == 2 ? room.top() : room.bottom() + 1 - size.height());
        best = placement::whollyIn(room, QRect(at, size));
    }
    return best.isValid() ? best : placement::whollyIn(screen, QRect(placement::centredIn(main, outer), outer));
}

// Passes keep to one line, addresses shortened in the middle; a run's start and end wrap.
class RowDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem *option, const QModelIndex &index) const override
    {
        QStyledItemDelegate::initStyleOption(option, index);
        if (index.data(RunLogModel::WholeRowRole).toBool())
            option->features |= QStyleOptionViewItem::WrapText;
        else if (index.column() == RunLogModel::Address)
            option->textElideMode = Qt::ElideMiddle;
    }
};

// "Show only what went wrong": the passes that failed, saved nothing or found no picture, under
// their run's start and end rows.
class WentWrongFilter : public QSortFilterProxyModel
{
public:
    using QSortFilterProxyModel::QSortFilterProxyModel;
    void setOnlyWrong(bool only)
    {
        m_only = only;
        invalidateFilter();
    }

protected:
    bool filterAcceptsRow(int row, const QModelIndex &parent) const override
    {
        if (!m_only)
            return true;
        const QModelIndex index = sourceModel()->index(row, 0, parent);
        return index.data(RunLogModel::WholeRowRole).toBool() || index.data(RunLogModel::WentWrongRole).toBool();
    }

private:
    bool m_only = false;
};

} // namespace

frmRunLog::frmRunLog(const QStringList &lines, QWidget *mainWindow, const QRect &place)
    : QWidget(nullptr, Qt::Window)
{
    setObjectName(QStringLiteral("frmRunLog"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("Run Log"));
    if (mainWindow)
        setWindowIcon(mainWindow->windowIcon());
    resize(twips::toPixels(9000), twips::toPixels(4500));

    m_model = new RunLogModel(lines, maxLines, this);
    auto *filter = new WentWrongFilter(this);
    m_shown = filter;
    m_shown->setSourceModel(m_model);

    chkWrongOnly = new QCheckBox(QStringLiteral("Show only what went wrong"), this);
    chkWrongOnly->setObjectName(QStringLiteral("chkWrongOnly"));
    tblLog = new QTableView(this);
    tblLog->setObjectName(QStringLiteral("tblLog"));
    tblLog->setAccessibleName(QStringLiteral("Run Log"));
    tblLog->setModel(m_shown);
    tblLog->setItemDelegate(new RowDelegate(tblLog));
    tblLog->setWordWrap(false);
    tblLog->setShowGrid(false);
    tblLog->setSelectionBehavior(QAbstractItemView::SelectRows);
    tblLog->setSelectionMode(QAbstractItemView::ExtendedSelection);
    tblLog->setEditTriggers(QAbstractItemView::NoEditTriggers);
    tblLog->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    // Every pass row as high as the next: adding one lays out nothing else.
    tblLog->verticalHeader()->hide();
    tblLog->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    tblLog->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
    QHeaderView *columns = tblLog->horizontalHeader();
    columns->setSectionResizeMode(QHeaderView::Interactive);
    columns->setStretchLastSection(true);
    // The columns share the window's width at first: nothing to scroll sideways for.
    const int number = fontMetrics().horizontalAdvance(QStringLiteral("Number")) + 24;
    columns->resizeSection(RunLogModel::Number, number);
    columns->resizeSection(RunLogModel::Address, (width() - number) * 3 / 8);
    columns->resizeSection(RunLogModel::Happened, (width() - number) * 3 / 8);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->addWidget(chkWrongOnly);
    layout->addWidget(tblLog, 1);

    connect(chkWrongOnly, &QCheckBox::toggled, this, [this, filter](bool only) {
        filter->setOnlyWrong(only);
        fitWholeRows(0, m_shown->rowCount() - 1);
    });
    connect(tblLog, &QTableView::doubleClicked, this, &frmRunLog::open);
    connect(m_shown, &QAbstractItemModel::rowsInserted, this,
            [this](const QModelIndex &, int first, int last) { fitWholeRows(first, last); });
    connect(columns, &QHeaderView::sectionResized, this, [this] { fitWholeRows(0, m_shown->rowCount() - 1); });
    connect(m_shown, &QAbstractItemModel::layoutChanged, this, [this] { fitWholeRows(0, m_shown->rowCount() - 1); });
    connect(m_shown, &QAbstractItemModel::modelReset, this, [this] { fitWholeRows(0, m_shown->rowCount() - 1); });
    connect(tblLog->verticalScrollBar(), &QScrollBar::valueChanged, this, [this](int value) {
        m_following = value == tblLog->verticalScrollBar()->maximum();
    });
    connect(tblLog->verticalScrollBar(), &QScrollBar::rangeChanged, this, [this](int, int maximum) {
        if (m_following)
            tblLog->verticalScrollBar()->setValue(maximum);
    });
    tblLog->installEventFilter(this);
    tblLog->viewport()->installEventFilter(this);
    fitWholeRows(0, m_shown->rowCount() - 1);
    tblLog->scrollToBottom();

    placement::stayWithMainWindow(this, mainWindow);
    const QSize outer = placement::outerSize(this, mainWindow);
    const QScreen *scr = mainWindow && mainWindow->screen() ? mainWindow->screen() : screen();
    if (!scr)
        return;
    const QRect area = scr->availableGeometry();
    if (place.isValid() && area.contains(place)) {
        resize(place.size() - (outer - size()));
        move(place.topLeft());
    } else if (mainWindow && mainWindow->isVisible()) {
        const QSize frame = outer - size();
        const QRect beside = besideMainWindow(mainWindow, outer, minimumSizeHint().expandedTo(QSize(240, 120)) + frame, area);
        resize(beside.size() - frame);
        move(beside.topLeft());
    } else {
        move(placement::centredIn(area, outer));
    }
}

frmRunLog::~frmRunLog() = default;

void frmRunLog::addLine(const QString &line)
{
    m_model->addLine(line);
}

QString frmRunLog::savedFile(const QString &line)
{
    return RunLogModel::savedFile(line);
}

QStringList frmRunLog::shownLines() const
{
    m_model->flush();
    QStringList lines;
    for (int r = 0; r < m_shown->rowCount(); ++r)
        lines << m_shown->index(r, 0).data(RunLogModel::LineRole).toString();
    return lines;
}

// A row that is no pass spans the table and is as high as its wrapped text.
void frmRunLog::fitWholeRows(int first, int last)
{
    // It wraps at the width of the columns it spans.
    const int width = qMax(40, tblLog->horizontalHeader()->length() - 8);
    for (int r = first; r <= last; ++r) {
        const QModelIndex index = m_shown->index(r, 0);
        if (!index.data(RunLogModel::WholeRowRole).toBool()) {
            if (tblLog->columnSpan(r, 0) > 1)
                tblLog->setSpan(r, 0, 1, 1);
            if (tblLog->rowHeight(r) != tblLog->verticalHeader()->defaultSectionSize())
                tblLog->setRowHeight(r, tblLog->verticalHeader()->defaultSectionSize());
            continue;
        }
        if (tblLog->columnSpan(r, 0) != RunLogModel::Columns)
            tblLog->setSpan(r, 0, 1, RunLogModel::Columns);
        const QRect text = fontMetrics().boundingRect(QRect(0, 0, width, 100000), Qt::TextWordWrap,
                                                      index.data(Qt::DisplayRole).toString());
        tblLog->setRowHeight(r, qMax(tblLog->verticalHeader()->defaultSectionSize(), text.height() + 6));
    }
}

void frmRunLog::copyRows()
{
    QModelIndexList rows = tblLog->selectionModel()->selectedRows();
    std::sort(rows.begin(), rows.end());
    QStringList text;
    for (const QModelIndex &row : std::as_const(rows)) {
        if (row.data(RunLogModel::WholeRowRole).toBool()) {
            text << row.data(RunLogModel::LineRole).toString();
            continue;
        }
        QStringList cells;
        for (int c = 0; c < RunLogModel::Columns; ++c)
            cells << (c == RunLogModel::File ? row.data(RunLogModel::FileRole).toString()
                                             : m_shown->index(row.row(), c).data().toString());
        text << cells.join(QLatin1Char('\t'));
    }
    QGuiApplication::clipboard()->setText(text.join(QLatin1Char('\n')) + QLatin1Char('\n'));
}

void frmRunLog::open(const QModelIndex &index)
{
    const QString file = index.siblingAtColumn(0).data(RunLogModel::FileRole).toString();
    if (!file.isEmpty())
        Q_EMIT openRequested(file);
}

bool frmRunLog::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == tblLog && event->type() == QEvent::KeyPress) {
        auto *key = static_cast<QKeyEvent *>(event);
        if (key->matches(QKeySequence::Copy)) {
            copyRows();
            return true;
        }
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            open(tblLog->currentIndex());
            return true;
        }
    }
    if (watched == tblLog->viewport() && event->type() == QEvent::Resize)
        fitWholeRows(0, m_shown->rowCount() - 1);
    return QWidget::eventFilter(watched, event);
}

void frmRunLog::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

void frmRunLog::closeEvent(QCloseEvent *event)
{
    Q_EMIT closing(frameGeometry());
    QWidget::closeEvent(event);
}
