#include "ui/main/statusline.h"

#include <QPainter>

// The text, drawn in one line and cut at the window's edge. A new text only repaints it: it
// never changes the status bar's layout, which a run changes the text of several times an
// address.
class StatusLine::Text : public QWidget
{
public:
    explicit Text(QWidget *parent) : QWidget(parent)
    {
        setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
        setFixedHeight(fontMetrics().height());
    }
    QString text;

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setPen(palette().color(QPalette::WindowText));
        painter.drawText(rect(), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, text);
    }
};

StatusLine::StatusLine(QWidget *parent)
    : QStatusBar(parent), m_text(new Text(this))
{
    m_text->setObjectName(QStringLiteral("sbar1Text"));
    addWidget(m_text, 1);
    setSizeGripEnabled(true);
}

QString StatusLine::text() const
{
    return m_text->text;
}

void StatusLine::setText(const QString &text)
{
    m_text->text = text;
    m_text->update();
    Q_EMIT textChanged(text);
}
