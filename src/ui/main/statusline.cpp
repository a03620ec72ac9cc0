#include "ui/main/statusline.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QPainter>

// The text, drawn in one line; a text wider than the line ends in "…", and its tooltip holds
// it whole. A new text only repaints it: it never changes the status bar's layout, which a run
// changes the text of several times an address.
class StatusLine::Text : public QWidget
{
public:
    explicit Text(QWidget *parent) : QWidget(parent)
    {
        setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
        setFixedHeight(fontMetrics().height());
    }
    QString text;
    bool held = false;
    bool detailsDue = false;   // the tooltip and accessible name lag behind the text

    void applyDetails()
    {
        detailsDue = false;
        setToolTip(text);
        // Sends the name-changed event a label sends when its text changes.
        setAccessibleName(text);
    }

    QString shown() const
    {
        return fontMetrics().elidedText(text, Qt::ElideRight, width(), Qt::TextSingleLine);
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        if (detailsDue)
            applyDetails();
        QPainter painter(this);
        painter.setPen(palette().color(QPalette::WindowText));
        painter.drawText(rect(), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, shown());
    }
};

namespace {

// Assistive technology reads the text as a label's: static text whose name is the text.
QAccessibleInterface *textAccessible(const QString &className, QObject *object)
{
    if (className == QLatin1String("QWidget") && object && object->objectName() == QLatin1String("sbar1Text"))
        return new QAccessibleWidget(static_cast<QWidget *>(object), QAccessible::StaticText);
    return nullptr;
}

} // namespace

StatusLine::StatusLine(QWidget *parent)
    : QStatusBar(parent), m_text(new Text(this))
{
    static const bool installed = [] {
        QAccessible::installFactory(textAccessible);
        return true;
    }();
    Q_UNUSED(installed)
    m_text->setObjectName(QStringLiteral("sbar1Text"));
    addWidget(m_text, 1);
    setSizeGripEnabled(true);
}

QString StatusLine::text() const
{
    return m_text->text;
}

QString StatusLine::shownText() const
{
    return m_text->shown();
}

void StatusLine::setText(const QString &text)
{
    m_text->text = text;
    m_text->detailsDue = true;
    if (!m_text->held)
        m_text->applyDetails();
    m_text->update();
    Q_EMIT textChanged(text);
}

void StatusLine::holdDetails(bool held)
{
    m_text->held = held;
    if (!held && m_text->detailsDue)
        m_text->applyDetails();
}
