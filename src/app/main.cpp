#include "core/consolerun.h"
#include "core/seriesqueue.h"
#include "core/settings.h"
#include "platform/filesystem.h"
#include "platform/programplace.h"
#include "ui/dialogs/frmsplash.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>
#include <variant>

namespace {

// Exit status of a command line the program cannot read.
constexpr int usageError = ConsoleRun::Usage;

// What the command line asks for: the window, handed the addresses (one a line; empty for
// none), a run without a window, or an exit status at once.
using Command = std::variant<QString, ConsoleRequest, int>;

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

// Reads the command line before any window system is reached, so --help, --version, a wrong
// option and a run without a window need no display.
Command readCommandLine(int argc, char *argv[])
{
    QCoreApplication reader(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Fetches numbered series of pictures. A picture's whole ADDRESS is split into the "
                       "prefix, number and suffix fields, and further ones wait in the Series list; nothing is "
                       "fetched until Get is pressed. With --get, every series is fetched without a window."));
    // Qt's own window-system options keep working; -platform reads as one option, not as -p -l ...
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Displays this help."));
    parser.addOption(help);
    const QCommandLineOption version(QStringList{QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Displays version information."));
    parser.addOption(version);
    const QCommandLineOption get(QStringLiteral("get"),
                                 QStringLiteral("Fetches the series one after another without a window, printing a "
                                                "line a number; exit status 0: all ended by their maximum or their "
                                                "end, 1: one ended for a failure, 130: Ctrl+C."));
    const QCommandLineOption list(QStringLiteral("list"),
                                  QStringLiteral("Series from FILE too, one address a line (blank lines and lines "
                                                 "starting with # skipped)."),
                                  QStringLiteral("FILE"));
    const QCommandLineOption folder(QStringLiteral("folder"), QStringLiteral("With --get: the folder to save into."),
                                    QStringLiteral("DIR"));
    const QCommandLineOption header(QStringLiteral("header"),
                                    QStringLiteral("With --get: the text put before every file name."),
                                    QStringLiteral("TEXT"));
    const QCommandLineOption max(QStringLiteral("max"),
                                 QStringLiteral("With --get: the most files a series fetches, 1 to 32767 (0: 9999)."),
                                 QStringLiteral("N"));
    const QCommandLineOption ifExists(QStringLiteral("if-exists"),
                                      QStringLiteral("With --get: a file that exists is asked about (on a terminal "
                                                     "only), skipped, or kept beside as NAME_1.EXT."),
                                      QStringLiteral("ask|skip|number"));
    const QCommandLineOption keep(QStringLiteral("keep"),
                                  QStringLiteral("With --get: keep GIF and JPEG pictures, or PNG and WebP too."),
                                  QStringLiteral("gifjpeg|all"));
    for (const QCommandLineOption &option : {get, list, folder, header, max, ifExists, keep})
        parser.addOption(option);
    parser.addPositionalArgument(QStringLiteral("ADDRESS"),
                                 QStringLiteral("A picture's whole address, such as "
                                                "https://example.org/gallery/img_0042.jpg: one series each."),
                                 QStringLiteral("[ADDRESS...]"));
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
    ConsoleRequest request;
    if (!parser.parse(QCoreApplication::arguments()))
        problem = parser.errorText();
    if (problem.isEmpty() && !parser.isSet(help) && !parser.isSet(version)) {
        request.addresses = parser.positionalArguments();
        if (parser.isSet(list)) {
            try {
                request.addresses += SeriesQueue::readList(parser.value(list));
            } catch (const FileError &e) {
                problem = e.message() + QLatin1Char('.');
            }
        }
        if (parser.isSet(folder))
            request.folder = parser.value(folder);
        if (parser.isSet(header))
            request.header = parser.value(header);
        if (parser.isSet(max)) {
            bool ok = false;
            const int n = parser.value(max).toInt(&ok);
            if (!ok || n < 0 || n > 32767)
                problem = QStringLiteral("--max takes a whole number from 0 to 32767.");
            request.max = qint16(n);
        }
        if (parser.isSet(ifExists)) {
            request.ifExists = Settings::ifExistsFromText(parser.value(ifExists));
            if (!request.ifExists)
                problem = QStringLiteral("--if-exists takes ask, skip or number.");
        }
        if (parser.isSet(keep)) {
            request.keep = Settings::keepFromText(parser.value(keep));
            if (!request.keep)
                problem = QStringLiteral("--keep takes gifjpeg or all.");
        }
        const bool settingGiven = request.folder || request.header || request.max || request.ifExists || request.keep;
        if (!parser.isSet(get) && settingGiven)
            problem = QStringLiteral("--folder, --header, --max, --if-exists and --keep go with --get.");
        else if (parser.isSet(get) && request.addresses.isEmpty() && problem.isEmpty())
            problem = QStringLiteral("--get needs an ADDRESS or a --list FILE.");
    }
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
    if (parser.isSet(get))
        return request;
    if (displayMissing(parser.value(QStringLiteral("platform")), parser.isSet(QStringLiteral("display")))) {
        print(stderr, QStringLiteral("Seriograb needs a graphical display (DISPLAY or WAYLAND_DISPLAY is not set)\n"));
        return 1;
    }
    return request.addresses.join(QLatin1Char('\n'));
}

} // namespace

int main(int argc, char *argv[])
{
    const Command command = readCommandLine(argc, argv);
    if (const int *status = std::get_if<int>(&command))
        return *status;
    if (const ConsoleRequest *request = std::get_if<ConsoleRequest>(&command)) {
        QCoreApplication app(argc, argv);
        QCoreApplication::setApplicationName(QStringLiteral("Seriograb"));
        return ConsoleRun::exec(*request, ProgramPlace::current());
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Seriograb"));

    // Owned here and lent to the windows for the program's whole life.
    Settings settings;
    const ProgramPlace place = ProgramPlace::current();

    auto *splash = new frmSplash(settings, place, std::get<QString>(command));
    splash->show();
    return app.exec();
}
