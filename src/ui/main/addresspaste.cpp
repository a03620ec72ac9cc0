#include "ui/main/addresspaste.h"

#include "core/runrules.h"

#include <QAction>
#include <QClipboard>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>

// The line edit's own Paste, known by the words Qt gives it (in the user's language).
QAction *AddressPaste::pasteAction(const QMenu *menu)
{
    const QString paste = QCoreApplication::translate("QLineEdit", "&Paste");
    for (QAction *action : menu->actions())
        if (action->text().section(QLatin1Char('\t'), 0, 0) == paste)
            return action;
    return nullptr;
}

AddressPaste::AddressPaste(std::function<bool()> splitting, std::function<void(const QString &)> split,
                           QObject *parent)
    : QObject(parent), m_splitting(std::move(splitting)), m_split(std::move(split))
{
}

void AddressPaste::watch(QWidget *field)
{
    field->installEventFilter(this);
    if (auto *box = qobject_cast<QComboBox *>(field); box && box->lineEdit())
        box->lineEdit()->installEventFilter(this);
}

bool AddressPaste::isWholeAddress(const QString &text)
{
    for (const QString &line : text.split(QLatin1Char('\n'))) {
        const QString address = line.trimmed();
        if (!address.isEmpty() && !address.startsWith(QLatin1Char('#')))
            return runrules::isWebAddress(address);
    }
    return false;
}

bool AddressPaste::take(const QString &text)
{
    if (!m_splitting() || !isWholeAddress(text))
        return false;
    m_split(text);
    return true;
}

bool AddressPaste::eventFilter(QObject *watched, QEvent *event)
{
    QClipboard *clipboard = QGuiApplication::clipboard();
    switch (event->type()) {
    case QEvent::KeyPress:
        if (static_cast<QKeyEvent *>(event)->matches(QKeySequence::Paste))
            return take(clipboard->text());
        break;
    case QEvent::MouseButtonRelease:
        if (static_cast<QMouseEvent *>(event)->button() == Qt::MiddleButton && clipboard->supportsSelection()
            && qobject_cast<QLineEdit *>(watched))
            return take(clipboard->text(QClipboard::Selection));
        break;
    case QEvent::ContextMenu: {
        auto *edit = qobject_cast<QLineEdit *>(watched);
        if (!edit || !m_splitting() || !isWholeAddress(clipboard->text()))
            break;
        // The field's own menu, with its Paste splitting the address.
        QMenu *menu = edit->createStandardContextMenu();
        menu->setAttribute(Qt::WA_DeleteOnClose);
        if (QAction *paste = pasteAction(menu)) {
            disconnect(paste, &QAction::triggered, nullptr, nullptr);
            connect(paste, &QAction::triggered, this, [this] { take(QGuiApplication::clipboard()->text()); });
        }
        menu->popup(static_cast<QContextMenuEvent *>(event)->globalPos());
        return true;
    }
    default:
        break;
    }
    return false;
}
