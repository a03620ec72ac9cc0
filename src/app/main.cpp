#include "core/settings.h"
#include "platform/programplace.h"
#include "ui/dialogs/frmsplash.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Seriograb"));

    // Owned here and lent to the windows for the program's whole life.
    Settings settings;
    const ProgramPlace place = ProgramPlace::current();

    auto *splash = new frmSplash(settings, place);
    splash->show();
    return app.exec();
}
