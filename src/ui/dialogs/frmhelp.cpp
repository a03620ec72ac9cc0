#include "ui/dialogs/frmhelp.h"

#include "platform/twips.h"
#include "ui/dialogs/placement.h"

#include <QCloseEvent>
#include <QGroupBox>
#include <QLabel>
#include <QPalette>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QStringList>

QString frmHelp::helpText()
{
    const QString host = QStringLiteral("www.example.com");
    const QString otherHost = QStringLiteral("www.example.org");
    const QStringList lines = {
        QString(),
        QStringLiteral("This is a freeware product. At the moment there is ")
            + QStringLiteral("no help file. I will integrate a help file when I have ")
            + QStringLiteral("time. But I think everything is self explanatory. "),
        QString(),
        QStringLiteral("This software is helpful to download images ")
            + QStringLiteral("(gif and jpg) which has a sequential naming system eg."),
        QString(),
        host + QStringLiteral("/home/images/pic01.jpg"),
        host + QStringLiteral("/home/images/pic02.jpg"),
        QString(),
        QStringLiteral("and so on"),
        QString(),
        QStringLiteral("fill the 3 text boxes in this way"),
        QStringLiteral("text box 1 : ") + otherHost + QStringLiteral("/home/images/pic"),
        QStringLiteral("text box 2 : 01"),
        QStringLiteral("text box 3 : .jpg"),
        QString(),
        QStringLiteral("The number in the textbox will increment after each file"),
        QString(),
        QStringLiteral("Please forward your comments and questions to ")
            + QStringLiteral("seriograb@example.org"),
    };
    return lines.join(QStringLiteral("\r\n"));
}

frmHelp::frmHelp(QWidget *mainWindow)
    : QWidget(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                           | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      m_mainWindow(mainWindow)
{
    setObjectName(QStringLiteral("frmHelp"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("Help"));
    setFixedSize(twips::toPixels(6150), twips::toPixels(4575));
    if (mainWindow)
        setWindowIcon(mainWindow->windowIcon());

    Image1 = new QLabel(this);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setGeometry(twips::rect(600, 120, 4710, 930));
    Image1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Image1->setPixmap(QPixmap(QStringLiteral(":/helpbanner.gif")));

    Frame1 = new QGroupBox(this);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    Frame1->setGeometry(twips::rect(120, 960, 5775, 2775));
    Frame1->setFocusPolicy(Qt::NoFocus);

    Text1 = new QPlainTextEdit(Frame1);
    Text1->setObjectName(QStringLiteral("Text1"));
    Text1->setGeometry(twips::rect(120, 240, 5535, 2295));
    Text1->setReadOnly(true);
    Text1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Text1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    // Keyboard focus and a text cursor, so the text can be scrolled and copied by keys.
    Text1->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    QPalette pal = Text1->palette();
    pal.setColor(QPalette::Base, pal.color(QPalette::ToolTipBase));
    pal.setColor(QPalette::Text, pal.color(QPalette::ToolTipText));
    Text1->setPalette(pal);

    btnOK = new QPushButton(QStringLiteral("OK"), this);
    btnOK->setObjectName(QStringLiteral("btnOK"));
    btnOK->setGeometry(twips::rect(4680, 3960, 1215, 375));
    btnOK->setAutoDefault(false);
    connect(btnOK, &QPushButton::clicked, this, &frmHelp::btnOKClick);

    setTabOrder(Text1, btnOK);

    Text1->setPlainText(helpText());
    if (mainWindow)
        mainWindow->setEnabled(false);

    placement::stayWithMainWindow(this, mainWindow);
    const QSize outer = placement::outerSize(this, mainWindow);
    const QScreen *scr = mainWindow && mainWindow->screen() ? mainWindow->screen() : screen();
    if (scr && mainWindow && mainWindow->isVisible())
        move(placement::centredWithin(mainWindow->frameGeometry(), outer, scr->availableGeometry()));
    else if (scr)
        move(placement::centredWithin(scr->geometry(), outer, scr->availableGeometry()));

    Text1->setFocus();
}

frmHelp::~frmHelp() = default;

void frmHelp::btnOKClick()
{
    close();
}

void frmHelp::closeEvent(QCloseEvent *event)
{
    event->accept();
    hide();
    enableMainWindow();
}

void frmHelp::enableMainWindow()
{
    if (m_mainWindow && !m_mainWindow->isEnabled()) {
        m_mainWindow->setEnabled(true);
        if (m_mainWindow->isVisible())
            m_mainWindow->activateWindow();
    }
}
