#include "core/settings.h"
#include "platform/programplace.h"
#include "ui/main/frmseriograb.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Seriograb"));

    Settings settings;
    const ProgramPlace place = ProgramPlace::current();
    auto *window = new frmSeriograb(settings, place);
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->show();
    return app.exec();
}
