#pragma once

// What the window tests share: a program folder and a target folder in a temporary folder, the
// main window made as the splash makes it, the user's hands on it, and the clean-up after it.

#include "core/settings.h"
#include "platform/programplace.h"
#include "ui/main/frmseriograb.h"
#include "runreport.h"
#include "ui/main/renameprompt.h"
#include "ui/main/statusline.h"
#include "filebytes.h"

#include <QAction>
#include <QApplication>
#include <QBuffer>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QImageWriter>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>
#include <memory>

namespace harness {

/// A real picture in the given format ("JPEG", progressive or not, or "GIF").
inline QByteArray picture(const char *format, QColor colour = Qt::darkCyan, QSize size = QSize(40, 30),
                          bool progressive = false)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(colour);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    writer.setProgressiveScanWrite(progressive);
    writer.write(image);
    return bytes;
}

inline StatusLine *statusLine(frmSeriograb *w) { return w->findChild<StatusLine *>(QStringLiteral("sbar1")); }
inline QString status(frmSeriograb *w) { return statusLine(w)->text(); }
inline QLineEdit *field(frmSeriograb *w, const char *name) { return w->findChild<QLineEdit *>(QLatin1String(name)); }
inline QString number(frmSeriograb *w) { return field(w, "txtURL2")->text(); }
inline void click(frmSeriograb *w, const char *button)
{
    QTest::mouseClick(w->findChild<QPushButton *>(QLatin1String(button)), Qt::LeftButton);
}
inline void trigger(QWidget *w, const char *action) { w->findChild<QAction *>(QLatin1String(action))->trigger(); }

/// Handles every modal dialog of type Dialog that comes up (each runs its own event loop), counting
/// them, so a test that expects none checks the count and is never left hanging on one.
template<class Dialog>
class ModalHandler : public QObject
{
public:
    explicit ModalHandler(std::function<void(Dialog *)> handle, QObject *parent = nullptr) : QObject(parent)
    {
        m_timer.setInterval(20);
        QObject::connect(&m_timer, &QTimer::timeout, this, [this, handle] {
            auto *dialog = qobject_cast<Dialog *>(QApplication::activeModalWidget());
            for (QWidget *w : QApplication::topLevelWidgets())   // a dialog that waits without being modal
                if (!dialog && w->isVisible())
                    dialog = qobject_cast<Dialog *>(w);
            if (dialog) {
                ++count;
                handle(dialog);
            }
        });
        m_timer.start();
    }
    int count = 0;

private:
    QTimer m_timer;
};

/// Answers every rename prompt with the given text (a null text presses Cancel), its check box
/// ticked when `skipTheRest` says so.
class PromptAnswerer : public ModalHandler<RenamePrompt>
{
public:
    explicit PromptAnswerer(const QString &answer, bool skipTheRest = false, QObject *parent = nullptr)
        : ModalHandler([this, answer, skipTheRest](RenamePrompt *prompt) {
              titles << prompt->windowTitle();
              QVERIFY(!prompt->skipsTheRest());
              prompt->setSkipsTheRest(skipTheRest);
              if (onPrompt)
                  onPrompt(prompt);
              if (!prompt->isVisible())
                  return;
              if (answer.isNull()) {
                  prompt->reject();
                  return;
              }
              prompt->setTextValue(answer);
              prompt->accept();
          }, parent)
    {
    }
    QStringList titles;
    std::function<void(RenamePrompt *)> onPrompt;
};

/// Presses OK in every message box, keeping the last one's text.
class MessageBoxCloser : public ModalHandler<QMessageBox>
{
public:
    explicit MessageBoxCloser(QObject *parent = nullptr)
        : ModalHandler([this](QMessageBox *box) {
              text = box->text();
              box->done(QMessageBox::Ok);
          }, parent)
    {
    }
    QString text;
};

/// A program folder and a target folder "out" in a fresh temporary folder.
class Folders
{
public:
    Folders()
    {
        place.folder = dir.filePath(QStringLiteral("program"));
        place.name = QStringLiteral("seriograb");
        QDir().mkpath(place.folder);
        out = dir.filePath(QStringLiteral("out"));
        QDir().mkpath(out);
    }
    QString outFile(const QString &name) const { return out + QLatin1Char('/') + name; }
    /// A parameter file naming `out` as the target folder, with more blocks after it.
    bool writeParameters(const QByteArray &extra = QByteArray()) const
    {
        return writeFile(place.parameterFile(), "[LOCALFOLDER]\r\n" + out.toUtf8() + "\r\n" + extra);
    }

    QTemporaryDir dir;
    ProgramPlace place;
    QString out;
};

/// The main window as the program shows it, with the address fields filled in.
inline frmSeriograb *makeWindow(Settings &settings, const ProgramPlace &place, const QString &prefix,
                                const QString &number = QStringLiteral("01"),
                                const QString &suffix = QStringLiteral(".jpg"))
{
    auto *w = new frmSeriograb(settings, place);
    w->setAttribute(Qt::WA_DeleteOnClose);
    w->findChild<QComboBox *>(QStringLiteral("cmbURL1"))->setEditText(prefix);
    field(w, "txtURL2")->setText(number);
    field(w, "txtURL3")->setText(suffix);
    w->show();
    return w;
}

/// The visible top-level window of that name; null when there is none.
inline QWidget *openWindow(const char *name)
{
    for (QWidget *w : QApplication::topLevelWidgets())
        if (w->isVisible() && w->objectName() == QLatin1String(name))
            return w;
    return nullptr;
}

/// Deletes every window a test left open. Only windows of their own: a combo box's popup is a
/// top-level widget too, and deleting it apart from its box would leave the box pointing at it.
inline void closeAllWindows()
{
    QList<QPointer<QWidget>> windows;
    for (QWidget *w : QApplication::topLevelWidgets())
        if (!w->parentWidget())
            windows << w;
    for (const QPointer<QWidget> &w : windows)
        delete w.data();
}

} // namespace harness
