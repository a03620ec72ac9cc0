#pragma once

#include <QStatusBar>

/// The status line: one text, replaced whole. Kept in a widget of its own so that menu hints
/// never wipe it. Its tooltip and its accessible name are the whole text.
class StatusLine : public QStatusBar
{
    Q_OBJECT

public:
    explicit StatusLine(QWidget *parent = nullptr);
    QString text() const;
    /// The text as drawn: cut to the line's width, ending in "…" when it was cut.
    QString shownText() const;
    void setText(const QString &text);
    /// While held (during a run, whose texts change many times a frame), the tooltip and the
    /// accessible name take the text when it is painted, not at every change.
    void holdDetails(bool held);

Q_SIGNALS:
    void textChanged(const QString &text);

private:
    class Text;
    Text *m_text;
};
