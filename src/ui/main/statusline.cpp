#include "ui/main/statusline.h"

#include <QLabel>

StatusLine::StatusLine(QWidget *parent)
    : QStatusBar(parent), m_label(new QLabel(this))
{
    m_label->setTextFormat(Qt::PlainText);
    m_label->setObjectName(QStringLiteral("sbar1Text"));
    // A long message must not widen the window; it is cut at the window's edge instead.
    m_label->setMinimumWidth(1);
    m_label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    addWidget(m_label, 1);
    setSizeGripEnabled(true);
}

QString StatusLine::text() const
{
    return m_label->text();
}

void StatusLine::setText(const QString &text)
{
    m_label->setText(text);
    Q_EMIT textChanged(text);
}
