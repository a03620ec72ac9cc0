#pragma once

#include <QString>
#include <QWidget>

class QLineEdit;
class QToolButton;

/// Up and down arrows that step the number in their buddy field by one, within 0 and 10000.
class UpDown : public QWidget
{
    Q_OBJECT

public:
    UpDown(QLineEdit *buddy, QWidget *parent = nullptr);

    void stepUp();
    void stepDown();

    /// The buddy's text after one step: starts from the number the text shows now, stays within
    /// 0 and 10000, and keeps the width of an all-digit text with leading zeros.
    static QString stepped(const QString &text, int delta);

private:
    QLineEdit *m_buddy;
    QToolButton *m_up;
    QToolButton *m_down;
};
