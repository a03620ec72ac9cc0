#include "ui/dialogs/frmsplash.h"

#include "platform/twips.h"
#include "ui/dialogs/placement.h"
#include "ui/main/frmseriograb.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPixmap>
#include <QScreen>
#include <QTimer>

frmSplash::frmSplash(Settings &settings, const ProgramPlace &place, const QString &startAddress)
    : QFrame(nullptr, Qt::SplashScreen | Qt::FramelessWindowHint),
      m_settings(settings), m_place(place), m_startAddress(startAddress)
{
    setObjectName(QStringLiteral("frmSplash"));
    placement::useScreenDpi();
    setAttribute(Qt::WA_DeleteOnClose);
    setFixedSize(twips::toPixels(6765), twips::toPixels(3840));
    // Without a title bar the window draws its own raised border.
    setFrameStyle(QFrame::Panel | QFrame::Raised);
    setLineWidth(2);
    setFocusPolicy(Qt::StrongFocus);
    setWindowIcon(QIcon(QStringLiteral(":/icon32.png")));

    Frame1 = new QFrame(this);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    Frame1->setFrameStyle(QFrame::Box | QFrame::Sunken);
    Frame1->setGeometry(twips::rect(150, 60, 6465, 3675));
    Frame1->installEventFilter(this);

    // Both pictures are shown at their own size, from the control's top left corner.
    Image1 = new QLabel(Frame1);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setGeometry(twips::rect(240, 360, 3750, 1800));
    Image1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Image1->setPixmap(QPixmap(QStringLiteral(":/logo.gif")));

    Image2 = new QLabel(Frame1);
    Image2->setObjectName(QStringLiteral("Image2"));
    Image2->setGeometry(twips::rect(4320, 2160, 2130, 1500));
    Image2->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Image2->setPixmap(QPixmap(QStringLiteral(":/splash2.gif")));

    Label1 = new QLabel(QStringLiteral("Version 1.10"), Frame1);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(twips::rect(120, 3360, 1335, 255));

    Timer1 = new QTimer(Frame1);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setSingleShot(true);
    Timer1->setInterval(1000);
    connect(Timer1, &QTimer::timeout, this, &frmSplash::Timer1Tick);

    if (const QScreen *scr = screen())
        move(placement::centredIn(scr->geometry(), frameGeometry().size()));

    Timer1->start();
}

frmSplash::~frmSplash() = default;

frmSeriograb *frmSplash::mainWindow() const
{
    return m_main.data();
}

void frmSplash::Timer1Tick()
{
    openMainWindow();
}

void frmSplash::keyPressEvent(QKeyEvent *event)
{
    event->accept();
    openMainWindow();
}

// Only a click on the frame itself counts; the pictures and the label sit on top of it.
bool frmSplash::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == Frame1 && event->type() == QEvent::MouseButtonPress) {
        const auto *mouse = static_cast<QMouseEvent *>(event);
        if (!Frame1->childAt(mouse->position().toPoint())) {
            openMainWindow();
            return true;
        }
    }
    return QFrame::eventFilter(watched, event);
}

// The main window is built (its start-up runs) and shown while the splash is still on
// screen, so there is never a moment without a window.
void frmSplash::openMainWindow()
{
    if (m_opened)
        return;
    m_opened = true;
    Timer1->stop();
    try {
        m_main = new frmSeriograb(m_settings, m_place);
        m_main->setAttribute(Qt::WA_DeleteOnClose);
        if (!m_startAddress.isEmpty())
            m_main->setAddress(m_startAddress);
        m_main->show();
    } catch (const std::exception &e) {
        delete m_main;
        QMessageBox::critical(this, QStringLiteral("Seriograb"),
                              QStringLiteral("The program could not start:\n%1")
                                  .arg(QString::fromLocal8Bit(e.what())));
    }
    close();
}
