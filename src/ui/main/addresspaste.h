#pragma once

#include <QObject>
#include <functional>

class QAction;
class QMenu;
class QWidget;

/// Watches the address fields: a whole web address pasted into any of them (Ctrl+V or
/// Shift+Insert, the context menu's Paste, a middle click) goes to `split` instead of into the
/// field, as Paste Address does. Any other text is pasted as usual, and so is everything while
/// `splitting` says no.
class AddressPaste : public QObject
{
public:
    AddressPaste(std::function<bool()> splitting, std::function<void(const QString &)> split, QObject *parent);

    /// A line edit, or an editable combo box (its key presses reach its line edit past the filter).
    void watch(QWidget *field);

    /// True when the text's first address line is an http or https address.
    static bool isWholeAddress(const QString &text);

    /// The Paste item of a line edit's standard context menu.
    static QAction *pasteAction(const QMenu *menu);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    bool take(const QString &text);

    std::function<bool()> m_splitting;
    std::function<void(const QString &)> m_split;
};
