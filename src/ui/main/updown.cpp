#include "ui/main/updown.h"

#include "core/numbers.h"
#include "core/runrules.h"

#include <QLineEdit>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>

UpDown::UpDown(QLineEdit *buddy, QWidget *parent)
    : QWidget(parent), m_buddy(buddy), m_up(new QToolButton(this)), m_down(new QToolButton(this))
{
    m_up->setArrowType(Qt::UpArrow);
    m_down->setArrowType(Qt::DownArrow);
    for (QToolButton *b : {m_up, m_down}) {
        b->setAutoRepeat(true);
        b->setFocusPolicy(Qt::NoFocus);
        b->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
        b->setIconSize(QSize(7, 7));
    }
    m_up->setObjectName(QStringLiteral("UpDown1Up"));
    m_down->setObjectName(QStringLiteral("UpDown1Down"));
    m_up->setAccessibleName(QStringLiteral("Next number"));
    m_down->setAccessibleName(QStringLiteral("Previous number"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(m_up);
    layout->addWidget(m_down);
    connect(m_up, &QToolButton::clicked, this, &UpDown::stepUp);
    connect(m_down, &QToolButton::clicked, this, &UpDown::stepDown);
}

void UpDown::stepUp()
{
    m_buddy->setText(stepped(m_buddy->text(), 1));
}

void UpDown::stepDown()
{
    m_buddy->setText(stepped(m_buddy->text(), -1));
}

QString UpDown::stepped(const QString &text, int delta)
{
    const double current = numbers::roundHalfEven(numbers::leadingNumberValue(text));
    const double next = std::clamp(current + delta, 0.0, 10000.0);
    const QString trimmed = text.trimmed();
    const bool allDigits = !trimmed.isEmpty()
            && std::all_of(trimmed.begin(), trimmed.end(), [](QChar c) { return c.isDigit(); });
    return runrules::formatNumber(qint32(next), allDigits ? int(trimmed.size()) : 0);
}
