#include "core/settings.h"
#include "platform/programplace.h"
#include "ui/dialogs/frmsplash.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>
#include <variant>

namespace {

// Exit status of a command line the program cannot read.
constexpr int usageError = 2;

void print(FILE *stream, const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fflush(stream);
}

// Qt aborts a program whose X11 or Wayland plug-in finds no display; a platform chosen by name
// (offscreen, vnc...) is left to Qt.
bool displayMissing(QString platform, bool displayGiven)
{
    if (platform.isEmpty())
        platform = qEnvironmentVariable("QT_QPA_PLATFORM");
    if (!platform.isEmpty() && !platform.startsWith(QLatin1String("xcb")) && !platform.startsWith(QLatin1String("wayland")))
        return false;
    return !displayGiven && qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

// Reads the command line before any window system is reached, so --help, --version and a
// wrong option are answered without a display. The address to start with (empty for none), or
// the exit status when the program is to end at once.
std::variant<QString, int> readCommandLine(int argc, char *argv[])
{
    QCoreApplication reader(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Fetches a numbered series of pictures. A picture's whole ADDRESS is split into the "
                       "prefix, number and suffix fields; nothing is fetched until Get is pressed."));
    // Qt's own window-system options keep working; -platform reads as one option, not as -p -l ...
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Displays this help."));
    parser.addOption(help);
    const QCommandLineOption version(QStringList{QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Displays version information."));
    parser.addOption(version);
    parser.addPositionalArgument(QStringLiteral("ADDRESS"),
                                 QStringLiteral("A picture's whole address, such as "
                                                "https://example.org/gallery/img_0042.jpg"),
                                 QStringLiteral("[ADDRESS]"));
    for (const char *name : {"platform", "platformpluginpath", "platformtheme", "plugin", "qwindowgeometry",
                             "qwindowicon", "qwindowtitle", "session", "style", "stylesheet", "display",
                             "geometry", "title", "name"}) {
        QCommandLineOption qt(QLatin1String(name), QString(), QStringLiteral("value"));
        qt.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(qt);
    }
    for (const char *name : {"reverse", "widgetcount", "nograb", "dograb", "sync"}) {
        QCommandLineOption qt{QLatin1String(name)};
        qt.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(qt);
    }

    QString problem;
    if (!parser.parse(QCoreApplication::arguments()))
        problem = parser.errorText();
    else if (parser.positionalArguments().size() > 1)
        problem = QStringLiteral("Only one ADDRESS may be given.");
    if (!problem.isEmpty()) {
        print(stderr, problem + QStringLiteral("\n\n") + parser.helpText());
        return usageError;
    }
    if (parser.isSet(help)) {
        print(stdout, parser.helpText());
        return 0;
    }
    if (parser.isSet(version)) {
        print(stdout, QStringLiteral("seriograb " SERIOGRAB_VERSION "\n"));
        return 0;
    }
    if (displayMissing(parser.value(QStringLiteral("platform")), parser.isSet(QStringLiteral("display")))) {
        print(stderr, QStringLiteral("Seriograb needs a graphical display (DISPLAY or WAYLAND_DISPLAY is not set)\n"));
        return 1;
    }
    return parser.positionalArguments().value(0);
}

} // namespace

int main(int argc, char *argv[])
{
    const std::variant<QString, int> command = readCommandLine(argc, argv);
    if (const int *status = std::get_if<int>(&command))
        return *status;

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Seriograb"));

    // Owned here and lent to the windows for the program's whole life.
    Settings settings;
    const ProgramPlace place = ProgramPlace::current();

    auto *splash = new frmSplash(settings, place, std::get<QString>(command));
    splash->show();
    return app.exec();
}
