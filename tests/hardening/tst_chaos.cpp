#include "core/downloadrun.h"
#include "chaosseries.h"
#include "filebytes.h"
#include "runreport.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace {

// The window as the run sees it: the three fields, the last message and the Run Log.
class LogView : public RunView
{
public:
    QString prefix, number, message;
    QStringList log;

    QString prefixText() const override { return prefix; }
    QString numberText() const override { return number; }
    QString suffixText() const override { return QStringLiteral(".jpg"); }
    void setNumberText(const QString &text) override { number = text; }
    void addMsg(const QString &text) override { message = text; }
    void transferState(const QString &) override {}
    void saveHistory() override {}
    bool showPicture(const QString &) override { return true; }
    QString askNewName(const QString &, const QString &) override { return QString(); }
    void logPass(const QString &line) override { log << line; }
};

qint64 fromEnvironment(const char *name, qint64 fallback)
{
    bool ok = false;
    const qint64 value = qEnvironmentVariable(name).toLongLong(&ok);
    return ok ? value : fallback;
}

int countIn(const QString &report, const QString &what)
{
    const QRegularExpressionMatch m = QRegularExpression(QStringLiteral("(\\d+) ") + what).match(report);
    return m.hasMatch() ? m.captured(1).toInt() : 0;
}

} // namespace

/// A whole run against a server that bends HTTP in every way a seed picks. Whatever it sends,
/// a saved file is the picture, every number has one outcome, and the end report tells the truth.
/// SEED and NUMBERS in the environment run it longer (`make chaos`).
class TestChaos : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void invariantsHold()
    {
        const quint64 seed = quint64(fromEnvironment("SEED", 20261209));
        const int numbers = int(qBound(qint64(1), fromEnvironment("NUMBERS", 400), qint64(32767)));
        QTemporaryDir dir;
        ScriptedServer server;
        ChaosSeries series(server, seed);
        Settings settings;
        settings.localFolder = dir.path();
        settings.lastFile = qint16(numbers);
        settings.transfers = Settings::maxTransfers;
        Inet inet;
        inet.setStallTimeout(1000);
        LogView view;
        view.prefix = series.prefix();
        const int width = int(QString::number(numbers).size());
        view.number = QStringLiteral("%1").arg(1, width, 10, QLatin1Char('0'));
        DownloadRun run(settings, inet, view, dir.filePath(QStringLiteral("default.gif")));
        run.run();

        QStringList broken;
        auto breaks = [&](int n, const QString &what) {
            broken << QStringLiteral("seed %1 number %2 (%3): %4").arg(seed).arg(n).arg(series.tries(n).join(QLatin1String(", ")), what);
        };
        QHash<int, QStringList> outcomes;
        for (const QString &line : std::as_const(view.log)) {
            if (line.startsWith(QLatin1String("== ")))
                continue;   // the run's own lines, such as the pace it found
            outcomes[line.section(QLatin1Char(' '), 0, 0).toInt()] << line.section(QStringLiteral("  "), 2);
        }
        int reached = 0;
        int saved = 0, failed = 0;
        QStringList files;
        for (int n = 1; n <= numbers && outcomes.contains(n); reached = n++) {
            const QStringList said = outcomes.value(n);
            const QString name = QStringLiteral("pic%1.jpg").arg(n, width, 10, QLatin1Char('0'));
            if (said.size() != 1) {
                breaks(n, QStringLiteral("logged %1 times: %2").arg(said.size()).arg(said.join(QLatin1String(" | "))));
                continue;
            }
            if (said.first().startsWith(QLatin1String("saved as "))) {
                ++saved;
                files << name;
                if (!series.versions(n).contains(contents(dir.filePath(name))))
                    breaks(n, QStringLiteral("saved %1 bytes that are no version of the picture").arg(contents(dir.filePath(name)).size()));
            } else if (said.first().startsWith(QLatin1String("failed"))) {
                ++failed;
            } else {
                // Every number is a picture and the folder takes files: nothing else is true.
                breaks(n, QStringLiteral("logged as \"%1\"").arg(said.first()));
            }
        }
        if (outcomes.size() != reached)
            broken << QStringLiteral("seed %1: the Run Log names numbers past %2 or out of order").arg(seed).arg(reached);

        const QString end = endText(view.message);
        const int maxMisses = settings.maxMisses;
        auto lastFailed = [&] {
            for (int n = reached; n > reached - maxMisses; --n)
                if (n < 1 || !outcomes.value(n).value(0).startsWith(QLatin1String("failed")))
                    return false;
            return true;
        };
        const bool trueEnd = reached == numbers
            ? end == QStringLiteral("Completed downloading maximum number if files (%1)").arg(numbers)
            : end.startsWith(QLatin1String("Downloading Stopped because the server keeps failing")) && lastFailed();
        if (!trueEnd)
            broken << QStringLiteral("seed %1: the run ended after number %2 of %3 with \"%4\"; its last line: \"%5\" (%6)")
                              .arg(seed).arg(reached).arg(numbers)
                              .arg(view.message, view.log.value(view.log.size() - 1), series.tries(reached).join(QLatin1String(", ")));
        if (countIn(view.message, QStringLiteral("saved")) != saved || countIn(view.message, QStringLiteral("failed")) != failed)
            broken << QStringLiteral("seed %1: the report \"%2\" does not count %3 saved, %4 failed").arg(seed).arg(view.message).arg(saved).arg(failed);
        files.sort();
        if (entries(dir.path()) != files)
            broken << QStringLiteral("seed %1: the folder holds more or less than the pictures saved: %2")
                              .arg(seed).arg(QSet<QString>(entries(dir.path()).begin(), entries(dir.path()).end())
                                                 .subtract(QSet<QString>(files.begin(), files.end())).values().join(QLatin1Char(' ')));

        const QMap<QString, int> counts = series.counts();
        QStringList met;
        for (auto it = counts.begin(); it != counts.end(); ++it)
            met << QStringLiteral("%1 %2").arg(it.value()).arg(it.key());
        qInfo().noquote() << QStringLiteral("seed %1, %2 numbers: %3 saved, %4 failed, %5 requests (%6); \"%7\"")
                                     .arg(seed).arg(numbers).arg(saved).arg(failed).arg(server.requests().size())
                                     .arg(met.join(QLatin1String(", ")), view.message);
        // Grouped by what broke, digits aside, with the first few of each group.
        QMap<QString, QStringList> kinds;
        for (const QString &line : std::as_const(broken))
            kinds[line.section(QStringLiteral("): "), -1).section(QStringLiteral(" ("), 0, 0).left(60).replace(QRegularExpression(QStringLiteral("\\d+")), QStringLiteral("#"))] << line;
        QString summary;
        for (auto it = kinds.begin(); it != kinds.end(); ++it)
            summary += QStringLiteral("\n%1 x %2 ...\n  ").arg(it->size()).arg(it.key()) + it->mid(0, 3).join(QStringLiteral("\n  "));
        QVERIFY2(broken.isEmpty(), qPrintable(QString::number(broken.size()) + QStringLiteral(" broken:") + summary));
        QCOMPARE(counts.size(), numbers >= 400 ? ChaosSeries::behaviours().size() : counts.size());
    }
};

QTEST_GUILESS_MAIN(TestChaos)
#include "tst_chaos.moc"
