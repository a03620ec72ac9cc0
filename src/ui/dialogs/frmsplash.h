#pragma once

#include "core/settings.h"
#include "platform/programplace.h"

#include <QFrame>
#include <QPointer>

class QLabel;
class QTimer;
class frmSeriograb;

/// The start-up window: two pictures and the version for one second, then the main window.
class frmSplash : public QFrame
{
    Q_OBJECT

public:
    /// startAddress: a picture's whole address for the main window's fields; empty for none.
    frmSplash(Settings &settings, const ProgramPlace &place, const QString &startAddress = QString());
    ~frmSplash() override;

    /// The main window once the splash has opened it; null before.
    frmSeriograb *mainWindow() const;

protected:
    void keyPressEvent(QKeyEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void Timer1Tick();
    void openMainWindow();

    Settings &m_settings;
    ProgramPlace m_place;
    QString m_startAddress;

    QFrame *Frame1 = nullptr;
    QLabel *Image1 = nullptr;
    QLabel *Image2 = nullptr;
    QLabel *Label1 = nullptr;
    QTimer *Timer1 = nullptr;

    QPointer<frmSeriograb> m_main;
    bool m_opened = false;
};
