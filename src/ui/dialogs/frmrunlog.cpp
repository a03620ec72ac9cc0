#include "ui/dialogs/frmrunlog.h"

#include "platform/twips.h"
#include "ui/dialogs/placement.h"

#include <QFileInfo>
#include <QFontDatabase>
#include <QMouseEvent>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QScreen>
#include <QTextBlock>
#include <QVBoxLayout>

namespace {

// Right of the main window when the screen has room there, else below it, else over it.
QPoint besideMainWindow(const QWidget *mainWindow, QSize outer, const QRect &screen)
{
    const QRect main = mainWindow->frameGeometry();
    const int gap = 8;
    const QRect right(QPoint(main.right() + 1 + gap, main.top()), outer);
    if (screen.contains(right))
        return right.topLeft();
    const QRect below(QPoint(main.left(), main.bottom() + 1 + gap), outer);
    if (screen.contains(below))
        return below.topLeft();
    return placement::centredIn(main, outer);
}

} // namespace

frmRunLog::frmRunLog(const QStringList &lines, QWidget *mainWindow)
    : QWidget(nullptr, Qt::Window)
{
    setObjectName(QStringLiteral("frmRunLog"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("Run Log"));
    if (mainWindow)
        setWindowIcon(mainWindow->windowIcon());
    resize(twips::toPixels(9000), twips::toPixels(4500));

    txtLog = new QPlainTextEdit(this);
    txtLog->setObjectName(QStringLiteral("txtLog"));
    txtLog->setReadOnly(true);
    // A cursor for the keyboard, so lines can be selected and copied without a mouse.
    txtLog->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    // One pass a line, addresses whole: lines are not wrapped, and the numbers line up.
    txtLog->setLineWrapMode(QPlainTextEdit::NoWrap);
    txtLog->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    txtLog->setMaximumBlockCount(maxLines);
    txtLog->setPlainText(lines.join(QLatin1Char('\n')));
    // The newest line in sight, from its start: the number and address come first.
    txtLog->moveCursor(QTextCursor::End);
    txtLog->moveCursor(QTextCursor::StartOfLine);

    // Double-click or Enter opens a saved picture instead of selecting a word or moving on.
    txtLog->installEventFilter(this);
    txtLog->viewport()->installEventFilter(this);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(txtLog);

    placement::stayWithMainWindow(this, mainWindow);
    const QSize outer = placement::outerSize(this, mainWindow);
    const QScreen *scr = mainWindow && mainWindow->screen() ? mainWindow->screen() : screen();
    if (mainWindow && mainWindow->isVisible() && scr)
        move(besideMainWindow(mainWindow, outer, scr->availableGeometry()));
    else if (scr)
        move(placement::centredIn(scr->availableGeometry(), outer));
}

frmRunLog::~frmRunLog() = default;

void frmRunLog::addLine(const QString &line)
{
    txtLog->appendPlainText(line);
}

QString frmRunLog::savedFile(const QString &line)
{
    const QLatin1String mark("  saved as ");
    const qsizetype at = line.indexOf(mark);
    if (at < 0)
        return QString();
    const QString rest = line.mid(at + mark.size());
    for (qsizetype end = rest.size(); end > 0; end = rest.lastIndexOf(QLatin1Char(' '), end - 1)) {
        if (QFileInfo(rest.left(end)).isFile())
            return rest.left(end);
    }
    return rest;   // gone since: opening it says so
}

bool frmRunLog::eventFilter(QObject *watched, QEvent *event)
{
    QString line;
    if (watched == txtLog->viewport() && event->type() == QEvent::MouseButtonDblClick) {
        line = txtLog->cursorForPosition(static_cast<QMouseEvent *>(event)->position().toPoint()).block().text();
    } else if (watched == txtLog && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter)
            line = txtLog->textCursor().block().text();
    }
    const QString file = savedFile(line);
    if (file.isEmpty())
        return QWidget::eventFilter(watched, event);
    Q_EMIT openRequested(file);
    return true;
}

void frmRunLog::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}
