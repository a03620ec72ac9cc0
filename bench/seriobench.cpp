// Seriograb against curl on the same series, served by real nginx on loopback.
//
//   seriobench [--quick] [--data FOLDER] [--report FILE]
//                                        the whole benchmark; prints one table and the probes,
//                                        and writes them to FILE as well
//              [--only a,b,...] [--repeats N] [--compare OTHER_SERIOBENCH]
//                                        some workloads alone; N rounds each; another build's
//                                        benchmark runs our side too, turn about with this one
//   seriobench [--quick] --serve           prepares the series and serves them until ended
//   seriobench --run PROGRAMFOLDER PREFIX NUMBER
//                                        one run through the main window in a process of its
//                                        own, so its peak resident memory is the run's alone
//
// Every run, ours and curl's, writes into a fresh folder whose files are then compared byte for
// byte with the served ones; a run that leaves a wrong, missing or extra file stops the benchmark.

#include "core/settings.h"
#include "fixtures.h"
#include "platform/filesystem.h"
#include "platform/inet.h"
#include "platform/programplace.h"
#include "runreport.h"
#include "scriptedserver.h"
#include "ui/main/frmseriograb.h"
#include "ui/main/statusline.h"
#include "faultserver.h"
#include "tlsnginx.h"
#include "wiretap.h"

#include <QApplication>
#include <QBuffer>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QLabel>
#include <QLineEdit>
#include <QMap>
#include <QPainter>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryFile>
#include <QTest>
#include <QTextStream>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

namespace {

QTextStream out(stdout);

volatile std::sig_atomic_t stopServing = 0;
void onSignal(int) { stopServing = 1; }

[[noreturn]] void die(const QString &why)
{
    out << "\nseriobench: " << why << Qt::endl;
    std::exit(1);
}

void say(const QString &line) { out << line << Qt::endl; }

// CPU time used so far by the calling thread, or by the whole process, in ns.
qint64 cpuNs(clockid_t clock)
{
    timespec t{};
    clock_gettime(clock, &t);
    return qint64(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// Of the calling thread's CPU so far, the part in user space (the program and its libraries, not
// the kernel's file system and sockets), in ns.
qint64 threadUserNs()
{
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return qint64(usage.ru_utime.tv_sec) * 1000000000 + qint64(usage.ru_utime.tv_usec) * 1000;
}

// Peak and current resident memory of this process in KiB, from /proc/self/status.
qint64 procStatusKb(const char *field)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(qstrlen(field)).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

double median(QList<double> v)
{
    if (v.isEmpty())
        return 0;
    std::sort(v.begin(), v.end());
    const qsizetype n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

QString ms(double value) { return QString::number(value, 'f', value < 10 ? 2 : 1); }

QString mib(qint64 bytes) { return QString::number(double(bytes) / (1024.0 * 1024.0), 'f', 1) + QStringLiteral(" MiB"); }

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

// --- the served series

// A cheap, repeatable noise source, so the pictures do not compress to nothing.
struct Noise
{
    quint64 s;
    explicit Noise(quint64 seed) : s(seed * 0x9E3779B97F4A7C15ull + 1) {}
    quint32 next()
    {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return quint32(s);
    }
};

// A picture with grain, a colour of its own and its number as bars, so each file differs.
QImage makePicture(QSize size, int n, int grain)
{
    QImage image(size, QImage::Format_RGB32);
    Noise noise(quint64(n) + 7);
    const QColor base = QColor::fromHsv((n * 47) % 360, 110, 190);
    for (int y = 0; y < size.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        const int shade = (y * 60) / size.height();
        for (int x = 0; x < size.width(); ++x) {
            const quint32 r = noise.next();
            const int d = int(r % quint32(2 * grain + 1)) - grain;
            line[x] = qRgb(qBound(0, base.red() - shade + d, 255), qBound(0, base.green() + d, 255),
                           qBound(0, base.blue() + shade + d, 255));
        }
    }
    QPainter p(&image);
    const int bar = qMax(2, size.width() / 40);
    for (int bit = 0; bit < 11; ++bit) {
        if (n & (1 << bit))
            p.fillRect(QRect(bar + bit * 2 * bar, size.height() / 4, bar, size.height() / 2), Qt::white);
    }
    return image;
}

struct Workload
{
    QString key;          // folder under the served root, and the workload's name in the table
    QString title;
    int count = 0;        // numbers asked for
    int width = 0;        // digits of the number
    QStringList present;  // served file names (a missing number gets nginx's 404 page)
    qint64 bytes = 0;
    int repeats = 0;
};

QString numbered(int n, int width) { return QStringLiteral("pic%1.jpg").arg(n, width, 10, QLatin1Char('0')); }

// Writes a workload's files unless a complete copy is there from an earlier run.
void prepare(const QString &root, Workload &w, const std::function<QByteArray(int)> &make,
             const std::function<bool(int)> &served)
{
    const QString folder = root + QLatin1Char('/') + w.key;
    const QString marker = folder + QStringLiteral("/.complete");
    const bool reuse = QFile::exists(marker);
    if (!reuse) {
        QDir(folder).removeRecursively();
        QDir().mkpath(folder);
    }
    for (int n = 1; n <= w.count; ++n) {
        if (!served(n))
            continue;
        const QString name = numbered(n, w.width);
        const QString path = folder + QLatin1Char('/') + name;
        if (!reuse && !writeFile(path, make(n)))
            die(QStringLiteral("cannot write %1").arg(path));
        w.present << name;
        w.bytes += QFileInfo(path).size();
    }
    if (!reuse)
        writeFile(marker, "done\n");
}

QByteArray jpeg(const QImage &image, int quality)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG", quality);
    return bytes;
}

// A real JPEG picture followed by filler up to the full size: a JPEG-typed body that decoders read
// as the picture in front.
QByteArray hugeBody(qint64 size)
{
    QByteArray bytes = jpeg(makePicture(QSize(1600, 1200), 1, 20), 85);
    const qsizetype head = bytes.size();
    bytes.resize(size);
    Noise noise(99);
    auto *words = reinterpret_cast<quint32 *>(bytes.data() + ((head + 3) & ~qsizetype(3)));
    const qsizetype count = (size - ((head + 3) & ~qsizetype(3))) / 4;
    for (qsizetype i = 0; i < count; ++i)
        words[i] = noise.next();
    return bytes;
}

// --- comparing a run's folder with the served files

QString compareFolder(const QString &outFolder, const QString &servedFolder, const QStringList &expected)
{
    QStringList found = QDir(outFolder).entryList(QDir::Files | QDir::Hidden);
    found.sort();
    QStringList wanted = expected;
    wanted.sort();
    if (found != wanted) {
        QStringList extra, missing;
        for (const QString &f : found)
            if (!wanted.contains(f))
                extra << f;
        for (const QString &f : wanted)
            if (!found.contains(f))
                missing << f;
        return QStringLiteral("%1 files instead of %2; extra: %3; missing: %4")
            .arg(found.size()).arg(wanted.size())
            .arg(extra.mid(0, 5).join(QLatin1Char(' ')), missing.mid(0, 5).join(QLatin1Char(' ')));
    }
    for (const QString &name : wanted) {
        QFile a(outFolder + QLatin1Char('/') + name);
        QFile b(servedFolder + QLatin1Char('/') + name);
        if (!a.open(QIODevice::ReadOnly) || !b.open(QIODevice::ReadOnly))
            return QStringLiteral("cannot read %1").arg(name);
        if (a.size() != b.size())
            return QStringLiteral("%1 has %2 bytes instead of %3").arg(name).arg(a.size()).arg(b.size());
        while (!a.atEnd()) {
            if (a.read(1 << 22) != b.read(1 << 22))
                return QStringLiteral("%1 differs from the served file").arg(name);
        }
    }
    return QString();
}

// --- one run through the main window (child process)

struct Window
{
    Settings settings;
    ProgramPlace place;
    std::unique_ptr<frmSeriograb> w;

    explicit Window(const QString &folder)
    {
        place.folder = folder;
        place.name = QStringLiteral("seriograb");
        w = std::make_unique<frmSeriograb>(settings, place);
    }
    StatusLine *status() const { return w->findChild<StatusLine *>(QStringLiteral("sbar1")); }
    void fill(const QString &prefix, const QString &number)
    {
        w->findChild<QComboBox *>(QStringLiteral("cmbURL1"))->setEditText(prefix);
        w->findChild<QLineEdit *>(QStringLiteral("txtURL2"))->setText(number);
    }
    void click(const char *name)
    {
        QTest::mouseClick(w->findChild<QPushButton *>(QLatin1String(name)), Qt::LeftButton);
    }
    void showAndSettle()
    {
        w->show();
        // Let the start-up's deferred sizing and the first fit happen before anything is timed.
        QEventLoop loop;
        QTimer::singleShot(250, &loop, &QEventLoop::quit);
        loop.exec();
    }
};

// The preview decodes beside the run; a timing of it ends when the picture is in the window.
void waitForPreview(frmSeriograb *w)
{
    while (w->isDecodingPreview())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
}

// One run through the window, timed in its parts: from the click on Get to the first bytes on
// the wire, to the last byte received, to the end report in the status line, and to the last
// picture in the preview. The "Opening :" line of every pass dates the passes, so the cost of a
// pass early in a long run can be set against one late in it.
int runChild(const QStringList &args)
{
    Window win(args.value(0));
    const qsizetype caAt = args.indexOf(QStringLiteral("--cafile"));
    if (caAt >= 0)
        win.settings.caFile = args.value(caAt + 1);
    win.fill(args.value(1), args.value(2));
    win.showAndSettle();
    const qint64 before = procStatusKb("VmRSS:");
    std::vector<qint64> opened;
    qint64 reportAt = 0;
    QObject::connect(win.status(), &StatusLine::textChanged, win.w.get(), [&](const QString &text) {
        if (text.startsWith(QLatin1String("Opening :")))
            opened.push_back(wiretap::nowNs());
        else if (reportAt == 0 && text.contains(QLatin1String(" saved, ")) && text.contains(QLatin1String(" - ")))
            reportAt = wiretap::nowNs();
    });
    opened.reserve(32768);
    wiretap::arm();
    // The window's thread is the one that runs it, and drives the transfers too.
    const qint64 threadAtClick = cpuNs(CLOCK_THREAD_CPUTIME_ID);
    const qint64 userAtClick = threadUserNs();
    const qint64 processAtClick = cpuNs(CLOCK_PROCESS_CPUTIME_ID);
    const qint64 click = wiretap::nowNs();
    win.click("btnGet");   // returns when the run has ended and its report is shown
    if (reportAt == 0)
        reportAt = wiretap::nowNs();
    waitForPreview(win.w.get());  // and the last picture is in the window
    const qint64 shown = wiretap::nowNs();
    const qint64 threadCpu = cpuNs(CLOCK_THREAD_CPUTIME_ID) - threadAtClick;
    const qint64 threadUser = threadUserNs() - userAtClick;
    const qint64 processCpu = cpuNs(CLOCK_PROCESS_CPUTIME_ID) - processAtClick;
    const qint64 first = wiretap::firstSendNs() ? wiretap::firstSendNs() : click;
    const qint64 last = wiretap::lastReceiveNs() ? wiretap::lastReceiveNs() : first;
    // Time per pass over the first and the last quarter of the passes.
    const qsizetype n = qsizetype(opened.size());
    const qsizetype quarter = n / 4;
    double q1 = 0, q4 = 0;
    if (quarter > 0) {
        q1 = double(opened[size_t(quarter)] - opened[0]) / double(quarter);
        q4 = double(reportAt - opened[size_t(n - quarter)]) / double(quarter);
    }
    out << "RESULT total=" << (shown - click) << " hwm=" << procStatusKb("VmHWM:") << " idle=" << before
        << " report=" << (reportAt - click) << " first=" << (first - click) << " last=" << (last - click)
        << " connections=" << wiretap::connections() << " q1=" << q1 << " q4=" << q4
        << " threadcpu=" << threadCpu << " threaduser=" << threadUser << " processcpu=" << processCpu
        << " pace=" << win.w->inet().paceOf(args.value(1)).replace(QLatin1Char(' '), QLatin1Char('_'))
        << " status=" << win.status()->text() << Qt::endl;
    return 0;
}

// Cores, processor and the disk that holds the runs' folders, for reading the numbers.
QString machine(const QString &folder)
{
    QString cpu;
    QFile info(QStringLiteral("/proc/cpuinfo"));
    if (info.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : info.readAll().split('\n')) {
            if (line.startsWith("model name")) {
                cpu = QString::fromUtf8(line.mid(line.indexOf(':') + 1).trimmed());
                break;
            }
        }
    }
    const QStorageInfo storage(folder);
    QString disk = QString::fromUtf8(storage.device()) + QLatin1Char(' ') + QString::fromUtf8(storage.fileSystemType());
    const QString block = QFileInfo(QString::fromUtf8(storage.device())).fileName();
    QFile rotational(QStringLiteral("/sys/block/%1/queue/rotational").arg(block));
    if (rotational.open(QIODevice::ReadOnly))
        disk += rotational.readAll().trimmed() == "1" ? QStringLiteral(", reported as rotational")
                                                      : QStringLiteral(", reported as solid-state");
    return QStringLiteral("%1 cores (%2), %3 GiB memory, disk %4")
        .arg(QThread::idealThreadCount())
        .arg(cpu.isEmpty() ? QStringLiteral("unknown processor") : cpu)
        .arg(double(sysconf(_SC_PHYS_PAGES)) * double(sysconf(_SC_PAGESIZE)) / double(1 << 30), 0, 'f', 0)
        .arg(disk);
}

// The one-minute load average: other work on the machine stretches every wall time here.
QString loadAverage()
{
    QFile f(QStringLiteral("/proc/loadavg"));
    return f.open(QIODevice::ReadOnly) ? QString::fromLatin1(f.readAll().split(' ').value(0)) : QStringLiteral("?");
}

// --- the parent

// A run's folder against the served files: pictures there byte for byte, and files that should
// not be there (a wrong or partial picture, a part file left behind).
struct Tally { int exact = 0; int wrong = 0; };

Tally tally(const QString &outFolder, const QString &servedFolder, const QStringList &expected)
{
    Tally t;
    const QStringList found = QDir(outFolder).entryList(QDir::Files | QDir::Hidden);
    for (const QString &name : found) {
        bool same = false;
        if (expected.contains(name)) {
            QFile a(outFolder + QLatin1Char('/') + name);
            QFile b(servedFolder + QLatin1Char('/') + name);
            same = a.open(QIODevice::ReadOnly) && b.open(QIODevice::ReadOnly) && a.readAll() == b.readAll();
        }
        ++(same ? t.exact : t.wrong);
    }
    return t;
}

// How a workload is run: which of curl's ways it is set against, and what else its runs need.
struct Plan
{
    bool serial = true;                 // curl, one transfer at a time
    bool parallel = false;              // curl -Z --parallel-max 4
    QStringList curlOptions;            // for every curl run (a CA, --retry)
    QString caFile;                     // our [CAFILE]
    bool exact = true;                  // every run must save every served file byte for byte
    std::function<void()> beforeRun;    // the fault server forgets what it was asked, say
    std::function<QString()> afterRun;  // what the servers saw of the run, for the report
};

// The sides of a comparison: our run, curl one at a time, curl -Z --parallel-max 4.
// With --compare, another build of the benchmark runs our side too, turn about with this one.
enum Side { Ours = 0, Serial = 1, Parallel = 2, Other = 3, Sides = 4 };

struct Bench
{
    QString self;
    QString other;        // another build's seriobench for the Other side; "" none
    QString root;         // served folder
    QString scratch;      // run folders
    QString defaultGif;
    NginxFixture *nginx = nullptr;
    QString base;         // the served root's address; the plain nginx when empty
    QString curl;
    int runCounter = 0;

    QString freshFolder(const QString &what)
    {
        const QString path = scratch + QStringLiteral("/%1-%2").arg(what).arg(++runCounter);
        QDir(path).removeRecursively();
        if (!QDir().mkpath(path))
            die(QStringLiteral("cannot make %1").arg(path));
        return path;
    }

    // A program folder as an installed program has it: the parameter file and default.gif.
    QString programFolder(const QString &outFolder, int lastFile)
    {
        const QString folder = freshFolder(QStringLiteral("program"));
        QFile::copy(defaultGif, folder + QStringLiteral("/default.gif"));
        writeFile(folder + QStringLiteral("/seriograb.par"),
                  "[LOCALFOLDER]\r\n" + outFolder.toUtf8() + "\r\n[LASTFILE]\r\n"
                      + QByteArray::number(lastFile) + "\r\n");
        return folder;
    }

    struct Result
    {
        double ms = 0;          // click to the last picture in the preview
        double reportMs = 0;    // click to the end report
        double firstMs = 0;     // click to the first bytes on the wire
        double lastMs = 0;      // click to the last byte received
        qint64 peakKb = 0;
        qint64 startKb = 0;
        int connections = 0;
        double q1 = 0;          // ns a pass in the first quarter of the passes
        double q4 = 0;          // and in the last
        double threadCpuMs = 0; // CPU of the window's thread from the click to the last picture shown
        double threadUserMs = 0;   // of it in user space
        double processCpuMs = 0;   // of the whole process
        QString report;
        QString pace;           // what the run's host was given
    };

    QString url(const QString &path) const { return (base.isEmpty() ? nginx->url(QString()) : base) + path; }

    Result runOurs(const Workload &w, const QString &outFolder, const Plan &plan, const QString &binary)
    {
        const QString program = programFolder(outFolder, w.count);
        QStringList args{QStringLiteral("--run"), program, url(QLatin1Char('/') + w.key + QStringLiteral("/pic")),
                         QStringLiteral("%1").arg(1, w.width, 10, QLatin1Char('0'))};
        if (!plan.caFile.isEmpty())
            args << QStringLiteral("--cafile") << plan.caFile;
        QProcess p;
        p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p.start(binary, args);
        if (!p.waitForFinished(600000))
            die(QStringLiteral("our run of %1 did not end within 10 minutes").arg(w.key));
        const QString text = QString::fromUtf8(p.readAllStandardOutput());
        const qsizetype at = text.indexOf(QStringLiteral("RESULT "));
        if (at < 0)
            die(QStringLiteral("our run of %1 gave no result: %2").arg(w.key, text));
        const QString line = text.mid(at + 7).trimmed();
        const qsizetype statusAt = line.indexOf(QStringLiteral("status="));
        QHash<QString, double> v;
        Result r;
        for (const QString &pair : line.left(statusAt).split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
            v.insert(pair.section(QLatin1Char('='), 0, 0), pair.section(QLatin1Char('='), 1).toDouble());
            if (pair.startsWith(QLatin1String("pace=")))
                r.pace = pair.mid(5).replace(QLatin1Char('_'), QLatin1Char(' '));
        }
        r.ms = v.value(QStringLiteral("total")) / 1e6;
        r.reportMs = v.value(QStringLiteral("report")) / 1e6;
        r.firstMs = v.value(QStringLiteral("first")) / 1e6;
        r.lastMs = v.value(QStringLiteral("last")) / 1e6;
        r.peakKb = qint64(v.value(QStringLiteral("hwm")));
        r.startKb = qint64(v.value(QStringLiteral("idle")));
        r.connections = int(v.value(QStringLiteral("connections")));
        r.q1 = v.value(QStringLiteral("q1"));
        r.q4 = v.value(QStringLiteral("q4"));
        r.threadCpuMs = v.value(QStringLiteral("threadcpu")) / 1e6;
        r.threadUserMs = v.value(QStringLiteral("threaduser")) / 1e6;
        r.processCpuMs = v.value(QStringLiteral("processcpu")) / 1e6;
        r.report = statusAt < 0 ? QString() : line.mid(statusAt + 7);
        return r;
    }

    double runCurl(const Workload &w, const QString &outFolder, const QStringList &options, bool mustSucceed)
    {
        const QString glob = url(QStringLiteral("/%1/pic[%2-%3].jpg")
                                     .arg(w.key)
                                     .arg(1, w.width, 10, QLatin1Char('0'))
                                     .arg(w.count, w.width, 10, QLatin1Char('0')));
        QProcess p;
        p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QElapsedTimer t;
        t.start();
        // -f keeps error pages out of the folder, as our content check does.
        p.start(curl, options + QStringList{QStringLiteral("-s"), QStringLiteral("--no-progress-meter"),
                                           QStringLiteral("-f"), QStringLiteral("-o"),
                                           outFolder + QStringLiteral("/pic#1.jpg"), glob});
        if (!p.waitForFinished(600000))
            die(QStringLiteral("curl on %1 did not end within 10 minutes").arg(w.key));
        const double elapsed = t.nsecsElapsed() / 1e6;
        const bool allServed = w.present.size() == w.count;
        if (p.exitStatus() != QProcess::NormalExit || (mustSucceed && allServed && p.exitCode() != 0))
            die(QStringLiteral("curl on %1 failed with %2").arg(w.key).arg(p.exitCode()));
        return elapsed;
    }

    struct Row
    {
        QString title;
        int files = 0;
        qint64 bytes = 0;
        double side[Sides] = {};  // medians: ours to the last picture shown, curl, curl -Z
        QList<double> runs[Sides];   // each run's time, in the order they ran
        double oursReport = 0;    // ours until the end report, before the last picture is shown
        double first = 0;         // the parts of our run: click to the first bytes on the wire,
        double transfer = 0;      // to the last byte received,
        double toReport = 0;      // to the end report,
        double preview = 0;       // and on to the last picture in the preview
        double q1 = 0;            // ms a pass over the first and the last quarter of the passes
        double q4 = 0;
        double otherParts[4] = {};   // the other build's first, transfer, toReport, preview
        QList<double> threadCpu;     // ms of the window's thread's CPU an address, each run
        QList<double> threadUser;    // of it in user space
        QList<double> processCpu;    // and of the whole process's
        QList<double> otherThreadCpu;
        QList<double> otherThreadUser;
        int connections = 0;      // our connections in the last run
        qint64 peakKb = 0;
        qint64 startKb = 0;
        QList<Tally> tallies[Sides];
        QString endText;          // ours, of the last run
        QString pace;             // the pace our last run's host was given
        QString notes[Sides];     // what the servers saw of each side's last run

        double ratio(Side against) const { return side[against] > 0 ? side[Ours] / side[against] : 0; }
    };

    // Our run and curl's alternate, each first in turn, into fresh folders checked byte for byte.
    Row measure(const Workload &w, const Plan &plan = Plan())
    {
        QList<double> times[Sides], report, first, transfer, toReport, preview, q1, q4, otherParts[4];
        Row row;
        const QString served = root + QLatin1Char('/') + w.key;
        const QString expectedReport = QStringLiteral("Completed downloading maximum number if files (%1)").arg(w.count);
        QList<Side> sides{Ours};
        if (plan.serial)
            sides << Serial;
        if (plan.parallel)
            sides << Parallel;
        if (!other.isEmpty())
            sides << Other;
        for (int rep = 0; rep < w.repeats; ++rep) {
            for (qsizetype turn = 0; turn < sides.size(); ++turn) {
                const Side side = sides[(rep + turn) % sides.size()];
                const QString outFolder = freshFolder(side == Ours ? QStringLiteral("ours") : QStringLiteral("curl"));
                if (plan.beforeRun)
                    plan.beforeRun();
                if (side == Other) {
                    const Result r = runOurs(w, outFolder, plan, other);
                    times[Other] << r.ms;
                    otherParts[0] << r.firstMs;
                    otherParts[1] << r.lastMs - r.firstMs;
                    otherParts[2] << r.reportMs - r.lastMs;
                    otherParts[3] << r.ms - r.reportMs;
                    row.otherThreadCpu << r.threadCpuMs / w.count;
                    row.otherThreadUser << r.threadUserMs / w.count;
                } else if (side == Ours) {
                    const Result r = runOurs(w, outFolder, plan, self);
                    row.endText = endText(r.report);
                    row.pace = r.pace;
                    if (plan.exact && row.endText != expectedReport)
                        die(QStringLiteral("our run of %1 ended with \"%2\"").arg(w.key, r.report));
                    times[Ours] << r.ms;
                    report << r.reportMs;
                    first << r.firstMs;
                    transfer << r.lastMs - r.firstMs;
                    toReport << r.reportMs - r.lastMs;
                    preview << r.ms - r.reportMs;
                    q1 << r.q1 / 1e6;
                    q4 << r.q4 / 1e6;
                    row.threadCpu << r.threadCpuMs / w.count;
                    row.threadUser << r.threadUserMs / w.count;
                    row.processCpu << r.processCpuMs / w.count;
                    row.connections = r.connections;
                    row.peakKb = qMax(row.peakKb, r.peakKb);
                    row.startKb = qMax(row.startKb, r.startKb);
                } else {
                    QStringList options = plan.curlOptions;
                    if (side == Parallel)
                        options << QStringLiteral("-Z") << QStringLiteral("--parallel-max") << QStringLiteral("4");
                    times[side] << runCurl(w, outFolder, options, plan.exact);
                }
                if (plan.afterRun)
                    row.notes[side] = plan.afterRun();
                if (plan.exact) {
                    const QString wrong = compareFolder(outFolder, served, w.present);
                    if (!wrong.isEmpty())
                        die(QStringLiteral("%1 run of %2 is wrong: %3").arg(side == Ours || side == Other ? "our" : "curl's", w.key, wrong));
                } else {
                    row.tallies[side] << tally(outFolder, served, w.present);
                }
                // On ext4 without a journal, every new file skips the inodes freed in the last
                // half minute, at a cost per inode: deleting a thousand files here would slow the
                // next runs' file creation. Folders of a few large files go at once (their pages
                // would otherwise be written back while later runs sync); the rest at the end.
                if (w.present.size() <= 100)
                    QDir(outFolder).removeRecursively();
            }
            out << '.' << Qt::flush;
        }
        row.title = w.title;
        row.files = int(w.present.size());
        row.bytes = w.bytes;
        for (const Side side : sides) {
            row.side[side] = median(times[side]);
            row.runs[side] = times[side];
        }
        row.oursReport = median(report);
        for (int i = 0; i < 4; ++i)
            row.otherParts[i] = median(otherParts[i]);
        row.first = median(first);
        row.transfer = median(transfer);
        row.toReport = median(toReport);
        row.preview = median(preview);
        row.q1 = median(q1);
        row.q4 = median(q4);
        return row;
    }
};

// Time from a click on Stop, while a transfer is stalled, to the end report.
QList<double> stopLatencies(const QString &scratch, int repeats)
{
    ScriptedServer server;
    Response stall = Response::ok(QByteArray(200000, 's'), "image/jpeg");
    stall.stallAfter = 1000;
    server.route(QStringLiteral("/stall/pic01.jpg"), stall);
    const QString folder = scratch + QStringLiteral("/stop-program");
    QDir().mkpath(folder);
    QDir().mkpath(scratch + QStringLiteral("/stop-out"));
    writeFile(folder + QStringLiteral("/seriograb.par"),
              "[LOCALFOLDER]\r\n" + scratch.toUtf8() + "/stop-out\r\n[LASTFILE]\r\n5\r\n");
    QFile::copy(QStringLiteral(SERIOGRAB_SOURCE_DIR "/resources/default.gif"), folder + QStringLiteral("/default.gif"));
    Window win(folder);
    win.showAndSettle();
    QList<double> result;
    QElapsedTimer sinceStop;
    double last = -1;
    QObject::connect(win.status(), &StatusLine::textChanged, win.w.get(), [&](const QString &text) {
        if (text == QLatin1String("Host Resoved")) {
            // The head and the first bytes arrive, then the line goes quiet: stop it then.
            QTimer::singleShot(150, win.w.get(), [&] {
                sinceStop.start();
                win.click("btnStop");
            });
        } else if (endText(text) == QLatin1String("User Terminated Download Process") && sinceStop.isValid()) {
            last = sinceStop.nsecsElapsed() / 1e6;
        }
    });
    for (int i = 0; i < repeats; ++i) {
        win.fill(server.url(QStringLiteral("/stall/pic")), QStringLiteral("01"));
        last = -1;
        sinceStop.invalidate();
        win.click("btnGet");
        if (last < 0)
            die(QStringLiteral("the stop probe did not end with the user's stop: ") + win.status()->text());
        result << last;
    }
    return result;
}

// --- a distant server, on loopback

// Holds every chunk for a while in each direction before passing it on, as a server far away
// would: a transfer costs round trips, not bandwidth. Runs in a thread of its own, since the
// benchmark blocks its own thread while curl runs.
class DelayRelay : public QObject
{
public:
    DelayRelay(quint16 target, int delayMs) : m_target(target), m_delay(delayMs) {}

    quint16 listen()
    {
        connect(&m_server, &QTcpServer::newConnection, this, &DelayRelay::accept);
        return m_server.listen(QHostAddress::LocalHost, 0) ? m_server.serverPort() : 0;
    }
    /// Connections accepted since the last call.
    int takeConnections() { return m_accepted.exchange(0); }
    /// The most connections open at once since the last call.
    int takeMostOpen() { return m_mostOpen.exchange(m_open); }

private:
    void accept()
    {
        while (QTcpSocket *client = m_server.nextPendingConnection()) {
            ++m_accepted;
            m_mostOpen = qMax(m_mostOpen.load(), ++m_open);
            connect(client, &QTcpSocket::disconnected, this, [this] { --m_open; });
            auto *upstream = new QTcpSocket(client);
            upstream->connectToHost(QHostAddress::LocalHost, m_target);
            pipe(client, upstream);
            pipe(upstream, client);
            connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
        }
    }

    // Everything `from` receives reaches `to` m_delay ms later, in order; so does its end.
    void pipe(QTcpSocket *from, QTcpSocket *to)
    {
        QPointer<QTcpSocket> target(to);
        connect(from, &QTcpSocket::readyRead, this, [this, from, target] {
            const QByteArray chunk = from->readAll();
            QTimer::singleShot(m_delay, Qt::PreciseTimer, this, [target, chunk] {
                if (target)
                    target->write(chunk);
            });
        });
        connect(from, &QTcpSocket::disconnected, this, [this, target] {
            QTimer::singleShot(m_delay, Qt::PreciseTimer, this, [target] {
                if (target)
                    target->disconnectFromHost();
            });
        });
    }

    QTcpServer m_server{this};
    quint16 m_target;
    int m_delay;
    std::atomic<int> m_accepted{0};
    std::atomic<int> m_open{0};
    std::atomic<int> m_mostOpen{0};
};

// A relay on a thread of its own for as long as it is in scope.
class RelayThread
{
public:
    RelayThread(quint16 target, int delayMs) : m_relay(new DelayRelay(target, delayMs))
    {
        m_relay->moveToThread(&m_thread);
        m_thread.start();
        QMetaObject::invokeMethod(m_relay, [this] { m_port = m_relay->listen(); }, Qt::BlockingQueuedConnection);
        if (m_port == 0)
            die(QStringLiteral("the relay could not listen"));
    }
    ~RelayThread()
    {
        QMetaObject::invokeMethod(m_relay, [this] { delete m_relay; }, Qt::BlockingQueuedConnection);
        m_thread.quit();
        m_thread.wait();
    }
    quint16 port() const { return m_port; }
    int takeConnections() { return m_relay->takeConnections(); }
    int takeMostOpen() { return m_relay->takeMostOpen(); }

private:
    QThread m_thread;
    DelayRelay *m_relay;
    quint16 m_port = 0;
};

struct PreviewTimes { double scaled; double full; QSize shown; QSize screen; };

// Decoding and fitting one large picture: the window's own way, and a full decode for comparison.
PreviewTimes previewTimes(const QString &scratch, const QString &picture, int repeats)
{
    const QString folder = scratch + QStringLiteral("/preview-program");
    QDir().mkpath(folder);
    Window win(folder);
    win.showAndSettle();
    auto *img1 = win.w->findChild<QLabel *>(QStringLiteral("img1"));
    QList<double> scaled, full;
    for (int i = 0; i < repeats; ++i) {
        QElapsedTimer t;
        t.start();
        if (!win.w->showPicture(picture))
            die(QStringLiteral("the window could not show %1").arg(picture));
        waitForPreview(win.w.get());
        scaled << t.nsecsElapsed() / 1e6;

        t.start();
        QImageReader reader(picture);
        const QImage image = reader.read();
        img1->setPixmap(QPixmap::fromImage(image));
        win.w->fitPreview();
        full << t.nsecsElapsed() / 1e6;
    }
    win.w->showPicture(picture);
    waitForPreview(win.w.get());
    const QScreen *s = win.w->screen();
    return {median(scaled), median(full), img1->pixmap().size(), s ? s->size() : QSize()};
}

// Building the window with a parameter file and a full address history present.
QList<double> loadTimes(const QString &scratch, int repeats)
{
    const QString folder = scratch + QStringLiteral("/load-program");
    QDir().mkpath(folder);
    writeFile(folder + QStringLiteral("/seriograb.par"),
              "[HEADERTEXT]\r\nshot-\r\n[LOCALFOLDER]\r\n" + scratch.toUtf8()
                  + "\r\n[LASTFILE]\r\n250\r\n[PROXYIP]\r\n\r\n[PROXYPORT]\r\n0\r\n");
    QByteArray history = "cmburl1=";
    for (int i = 1; i <= 5; ++i)
        history += (i > 1 ? "," : "") + QByteArray("http://pictures.example/album") + QByteArray::number(i) + "/pic";
    writeFile(folder + QStringLiteral("/history.par"), history + "\r\n");
    QList<double> result;
    for (int i = 0; i < repeats; ++i) {
        QElapsedTimer t;
        t.start();
        Window win(folder);
        win.w->show();
        QCoreApplication::processEvents();
        result << t.nsecsElapsed() / 1e6;
        if (win.w->findChild<QComboBox *>(QStringLiteral("cmbURL1"))->count() != 5)
            die(QStringLiteral("the window did not load its address history"));
    }
    return result;
}

int runBench(const QStringList &args)
{
    const bool quick = args.contains(QStringLiteral("--quick"));
    Bench b;
    b.self = QCoreApplication::applicationFilePath();
    b.curl = findTool(QStringLiteral("curl"));
    if (b.curl.isEmpty())
        die(QStringLiteral("curl is not installed (make deps installs it)"));
    const qsizetype dataAt = args.indexOf(QStringLiteral("--data"));
    const QString data = dataAt >= 0 ? args.value(dataAt + 1)
                                     : QCoreApplication::applicationDirPath() + QStringLiteral("/bench-data");
    b.root = QDir(data).absolutePath() + (quick ? QStringLiteral("/quick") : QStringLiteral("/full"));
    QDir().mkpath(data);
    QTemporaryDir scratchDir(QDir(data).absolutePath() + QStringLiteral("/runs-XXXXXX"));
    if (!scratchDir.isValid())
        die(QStringLiteral("cannot make a scratch folder under %1").arg(data));
    b.scratch = scratchDir.path();
    b.defaultGif = QStringLiteral(SERIOGRAB_SOURCE_DIR "/resources/default.gif");

    // --only a,b,...: those workloads alone (and no probes), for working on one of them.
    const qsizetype onlyAt = args.indexOf(QStringLiteral("--only"));
    const QStringList only = onlyAt >= 0 ? args.value(onlyAt + 1).split(QLatin1Char(',')) : QStringList();
    auto wanted = [&only](const char *letter) { return only.isEmpty() || only.contains(QLatin1String(letter)); };
    const qsizetype compareAt = args.indexOf(QStringLiteral("--compare"));
    if (compareAt >= 0)
        b.other = QFileInfo(args.value(compareAt + 1)).absoluteFilePath();
    const qsizetype repeatsAt = args.indexOf(QStringLiteral("--repeats"));
    const int repeats = repeatsAt >= 0 ? args.value(repeatsAt + 1).toInt() : 0;
    auto times = [&](int full) { return repeats > 0 ? repeats : quick ? qMin(full, 2) : full; };

    QElapsedTimer total;
    total.start();
    const QString loadAtStart = loadAverage();
    out << "Preparing the series in " << b.root << " ..." << Qt::flush;
    const int scale = quick ? 10 : 1;
    Workload small{QStringLiteral("small"), QStringLiteral("(a) small JPEGs"), 1000 / scale, 4, {}, 0, times(5)};
    prepare(b.root, small, [](int n) { return jpeg(makePicture(QSize(320, 240), n, 10), 85); }, [](int) { return true; });
    Workload large{QStringLiteral("large"), QStringLiteral("(b) 2600x1950 JPEGs"), quick ? 4 : 30, 2, {}, 0, times(5)};
    if (wanted("b")) {
        QImage base = makePicture(QSize(2600, 1950), 0, 14);
        prepare(b.root, large, [&base](int n) {
            QImage image = base;
            QPainter p(&image);
            p.fillRect(QRect((n * 97) % 2300, 0, 300, 1950), QColor::fromHsv((n * 47) % 360, 160, 150));
            p.end();
            return jpeg(image, 90);
        }, [](int) { return true; });
    }
    const qint64 hugeSize = quick ? qint64(30) << 20 : qint64(300) << 20;
    Workload huge{QStringLiteral("huge"), QStringLiteral("(c) one %1 MiB JPEG body").arg(hugeSize >> 20), 1, 1, {}, 0, times(3)};
    if (wanted("c"))
        prepare(b.root, huge, [hugeSize](int) { return hugeBody(hugeSize); }, [](int) { return true; });
    Workload mixed{QStringLiteral("mixed"), QStringLiteral("(d) every third a 404 page"), 300 / scale, 3, {}, 0, times(5)};
    if (wanted("d"))
        prepare(b.root, mixed, [](int n) { return jpeg(makePicture(QSize(320, 240), n + 5000, 10), 85); },
                [](int n) { return n % 3 != 0; });
    // (g): one long run into one folder, of pictures small enough that the run's own cost per
    // picture, not the bytes, is what is measured.
    Workload scaleLoad{QStringLiteral("scale"), QStringLiteral("(g) %1 small JPEGs in one folder").arg(quick ? QStringLiteral("2,000") : QStringLiteral("20,000")),
                       quick ? 2000 : 20000, 5, {}, 0, times(3)};
    if (wanted("g"))
        prepare(b.root, scaleLoad, [](int n) { return jpeg(makePicture(QSize(96, 72), n, 6), 80); },
                [](int) { return true; });
    say(QStringLiteral(" done (%1 s)").arg(total.elapsed() / 1000.0, 0, 'f', 1));

    // The first of the small series: the distant, the flaky and the HTTPS workloads use these.
    auto firstOfSmall = [&](const char *title, int count, int reps) {
        Workload w = small;
        w.title = QLatin1String(title);
        w.count = quick ? count / 5 : count;
        w.present = small.present.mid(0, w.count);
        w.bytes = 0;
        for (const QString &name : std::as_const(w.present))
            w.bytes += QFileInfo(b.root + QStringLiteral("/small/") + name).size();
        w.repeats = times(reps);
        return w;
    };

    NginxFixture nginx(b.root);
    if (nginx.binary().isEmpty())
        die(QStringLiteral("nginx is not installed (make deps installs it)"));
    if (!nginx.start())
        die(nginx.errorText());
    b.nginx = &nginx;

    if (args.contains(QStringLiteral("--serve"))) {
        // For profiling one side by hand: the series stay served until this program is ended.
        say(QStringLiteral("Serving %1 at %2").arg(b.root, nginx.url(QStringLiteral("/"))));
        std::signal(SIGINT, onSignal);
        std::signal(SIGTERM, onSignal);
        while (!stopServing)
            QThread::msleep(200);
        return 0;
    }

    // What curl spends on starting and one tiny request, for reading its times.
    QList<double> curlStart;
    for (int i = 0; i < 5; ++i) {
        QProcess p;
        QElapsedTimer t;
        t.start();
        p.start(b.curl, {QStringLiteral("-s"), QStringLiteral("-o"), QStringLiteral("/dev/null"),
                         nginx.url(QStringLiteral("/small/") + numbered(1, 4))});
        p.waitForFinished();
        curlStart << t.nsecsElapsed() / 1e6;
    }

    QMap<QString, Bench::Row> rows;   // by workload letter
    auto run = [&](const char *letter, const Workload &w, const Plan &plan) {
        out << "Running " << w.title << " (" << w.repeats << " rounds) " << Qt::flush;
        const Bench::Row r = b.measure(w, plan);
        rows.insert(QLatin1String(letter), r);
        say(QStringLiteral(" ours %1 ms, curl %2 ms, curl -Z %3 ms")
                .arg(ms(r.side[Ours]), ms(r.side[Serial]), ms(r.side[Parallel])));
    };
    if (wanted("a"))
        run("a", small, Plan());
    if (wanted("b"))
        run("b", large, Plan());
    if (wanted("c"))
        run("c", huge, Plan());
    if (wanted("d"))
        run("d", mixed, Plan());
    if (wanted("g"))
        run("g", scaleLoad, Plan());

    // (e): the start of the small series from a server 20 ms away each way, where round trips
    // and not bandwidth bound a run.
    if (wanted("e")) {
        RelayThread relay(nginx.port(), 20);
        b.base = QStringLiteral("http://127.0.0.1:%1").arg(relay.port());
        Plan plan;
        plan.parallel = true;
        plan.beforeRun = [&relay] { relay.takeConnections(); relay.takeMostOpen(); };
        plan.afterRun = [&relay] {
            return QStringLiteral("%1 connection(s), at most %2 at once").arg(relay.takeConnections()).arg(relay.takeMostOpen());
        };
        run("e", firstOfSmall("(e) small JPEGs, 20 ms away", 200, 3), plan);
        b.base.clear();
    }

    // (f): a server that fails one first request in five, and breaks one picture in twenty off
    // at 90 % with Range offered.
    int faultRequests = 0, faultsMet = 0, rangesAsked = 0;
    if (wanted("f")) {
        Workload flaky = firstOfSmall("(f) small JPEGs, a flaky server", 200, 3);
        QThread thread;
        auto *server = new FaultServer(b.root);
        server->moveToThread(&thread);
        thread.start();
        quint16 port = 0;
        QMetaObject::invokeMethod(server, [&] { port = server->listen(); }, Qt::BlockingQueuedConnection);
        if (port == 0)
            die(QStringLiteral("the flaky server could not listen"));
        b.base = QStringLiteral("http://127.0.0.1:%1").arg(port);
        Plan plan;
        plan.serial = false;
        plan.parallel = true;
        plan.exact = false;
        plan.curlOptions = {QStringLiteral("--retry"), QStringLiteral("3")};
        plan.beforeRun = [server] { QMetaObject::invokeMethod(server, [server] { server->reset(); }, Qt::BlockingQueuedConnection); };
        plan.afterRun = [&, server] {
            faultRequests = server->requests();
            faultsMet = server->faults();
            rangesAsked = server->rangeRequests();
            return QStringLiteral("%1 requests, %2 failed on purpose, %3 Range requests; its busy answers asked "
                                  "for %4 s of waiting in all, and %5 requests came within the second one asked "
                                  "to wait; at most %6 connections at once")
                .arg(faultRequests).arg(faultsMet).arg(rangesAsked)
                .arg(double(server->heldMs()) / 1000, 0, 'f', 1)
                .arg(server->requestsWhileHeld()).arg(server->mostOpen());
        };
        run("f", flaky, plan);
        b.base.clear();
        QMetaObject::invokeMethod(server, [server] { delete server; }, Qt::BlockingQueuedConnection);
        thread.quit();
        thread.wait();
    }

    // (h): the small series over HTTPS from a server 20 ms away, with HTTP/2 where offered and
    // with HTTP/1.1 alone; the benchmark's own CA is trusted through [CAFILE] and --cacert.
    if (wanted("h") || wanted("h1") || wanted("h2")) {
        const QString certs = QDir(data).absolutePath() + QStringLiteral("/certs");
        const QString why = makeCertificates(certs);
        if (!why.isEmpty())
            die(why);
        TlsNginx tls(b.root, certs);
        if (!tls.start())
            die(tls.errorText());
        const QString ca = certs + QStringLiteral("/ca.pem");
        struct Variant { const char *letter; bool http2; int delayMs; const char *title; };
        for (const Variant &v : {Variant{"h", true, 20, "(h) small JPEGs over HTTPS, HTTP/2 offered, 20 ms away"},
                                 Variant{"h1", false, 20, "(h) the same with HTTP/1.1 alone"},
                                 Variant{"h2", true, 50, "(h2) small JPEGs over HTTPS, HTTP/2 offered, 50 ms away"}}) {
            if (!wanted(v.letter) && !wanted("h"))
                continue;
            RelayThread relay(v.http2 ? tls.port() : tls.http1Port(), v.delayMs);
            b.base = QStringLiteral("https://127.0.0.1:%1").arg(relay.port());
            qint64 logAt = 0;
            Plan plan;
            plan.serial = false;
            plan.parallel = true;
            plan.caFile = ca;
            plan.curlOptions = {QStringLiteral("--cacert"), ca};
            plan.beforeRun = [&] { logAt = tls.logSize(); relay.takeConnections(); relay.takeMostOpen(); };
            plan.afterRun = [&] {
                const int made = relay.takeConnections();
                const int mostOpen = relay.takeMostOpen();
                QThread::msleep(50);   // nginx writes its log line as the request ends
                // Requests that reach the server within one round trip were in flight together.
                const TlsNginx::Connections seen = tls.connectionsSince(logAt, 2 * v.delayMs);
                return QStringLiteral("%1 connection(s) (at most %2 at once), %3 TLS handshake(s) (%4 resumed), %5, "
                                      "at most %6 requests in one round trip")
                    .arg(made).arg(mostOpen).arg(made).arg(seen.resumed).arg(seen.protocols).arg(seen.mostInWindow);
            };
            run(v.letter, firstOfSmall(v.title, 200, 3), plan);
        }
        b.base.clear();
    }

    QList<double> stops, loadsMs;
    PreviewTimes preview{};
    const QString largeFile = b.root + QStringLiteral("/large/") + large.present.value(0);
    if (only.isEmpty()) {
        out << "Probing stop, preview and load ..." << Qt::flush;
        stops = stopLatencies(b.scratch, 15);
        preview = previewTimes(b.scratch, largeFile, 9);
        loadsMs = loadTimes(b.scratch, 15);
        say(QStringLiteral(" done"));
    }

    QStringList report;
    report << QStringLiteral("| Workload | Files | Bytes | Seriograb | curl | Ratio | curl -Z --parallel-max 4 | Ratio | Seriograb peak RSS |")
           << QStringLiteral("|---|---:|---:|---:|---:|---:|---:|---:|---:|");
    auto cell = [](double value) { return value > 0 ? ms(value) + QStringLiteral(" ms") : QStringLiteral("-"); };
    auto ratio = [](double value) { return value > 0 ? QString::number(value, 'f', 2) : QStringLiteral("-"); };
    // A table after the first: its own paragraph saying what it shows, then its head.
    auto table = [&report](const QString &intro, const QString &head, const QString &rule) {
        report << QString() << intro << QString() << head << rule;
    };
    for (auto it = rows.cbegin(); it != rows.cend(); ++it) {
        const Bench::Row &r = it.value();
        report << QStringLiteral("| %1 | %2 | %3 | %4 | %5 | %6 | %7 | %8 | %9 |")
                      .arg(r.title).arg(r.files).arg(mib(r.bytes), cell(r.side[Ours]), cell(r.side[Serial]),
                                                     ratio(r.ratio(Serial)), cell(r.side[Parallel]),
                                                     ratio(r.ratio(Parallel)), mib(r.peakKb * 1024));
    }
    table(QStringLiteral("The parts of our run (medians): from the click on Get to the first bytes of a request "
                         "on the wire, on to the last byte received, on to the end report, and on to the last "
                         "picture in the preview."),
          QStringLiteral("| Workload | Click to first request | First request to last byte | Last byte to end report | End report to preview | Our connections | Pace found |"),
          QStringLiteral("|---|---:|---:|---:|---:|---:|---|"));
    for (auto it = rows.cbegin(); it != rows.cend(); ++it) {
        const Bench::Row &r = it.value();
        report << QStringLiteral("| %1 | %2 ms | %3 ms | %4 ms | %5 ms | %6 | %7 |")
                      .arg(r.title, ms(r.first), ms(r.transfer), ms(r.toReport), ms(r.preview))
                      .arg(r.connections)
                      .arg(r.pace.isEmpty() ? QStringLiteral("-") : r.pace);
    }
    // CPU an address asked for, from the click to the last picture shown: the window's thread
    // (which drives the transfers as well) and the whole process with its helper threads.
    auto spread = [](const QList<double> &v) {
        if (v.isEmpty())
            return QStringLiteral("-");
        const auto [low, high] = std::minmax_element(v.begin(), v.end());
        return QStringLiteral("%1 ms (%2 to %3)").arg(QString::number(median(v), 'f', 3),
                                                     QString::number(*low, 'f', 3), QString::number(*high, 'f', 3));
    };
    table(QStringLiteral("CPU an address, from the click to the last picture shown (median, and the range of the runs):"),
          QStringLiteral("| Workload | Window's thread | Of it in user space | Whole process | Other build's window thread | Of it in user space |"),
          QStringLiteral("|---|---:|---:|---:|---:|---:|"));
    for (auto it = rows.cbegin(); it != rows.cend(); ++it) {
        const Bench::Row &r = it.value();
        report << QStringLiteral("| %1 | %2 | %3 | %4 | %5 | %6 |")
                      .arg(r.title, spread(r.threadCpu), spread(r.threadUser), spread(r.processCpu),
                           spread(r.otherThreadCpu), spread(r.otherThreadUser));
    }
    if (!b.other.isEmpty()) {
        table(QStringLiteral("Against the other build (`--compare %1`), turn about in the same runs: this build, "
                             "then the other, to the last picture shown; and the other's parts as above.")
                  .arg(QFileInfo(b.other).fileName()),
              QStringLiteral("| Workload | This build | Other build | Ratio | Other: click to first request | First request to last byte | Last byte to end report | End report to preview |"),
              QStringLiteral("|---|---:|---:|---:|---:|---:|---:|---:|"));
        for (auto it = rows.cbegin(); it != rows.cend(); ++it) {
            const Bench::Row &r = it.value();
            report << QStringLiteral("| %1 | %2 ms | %3 ms | %4 | %5 ms | %6 ms | %7 ms | %8 ms |")
                          .arg(r.title, ms(r.side[Ours]), ms(r.side[Other]), ratio(r.ratio(Other)),
                               ms(r.otherParts[0]), ms(r.otherParts[1]), ms(r.otherParts[2]), ms(r.otherParts[3]));
        }
    }
    report << QString();
    // Each run, for the spread behind the medians.
    static const char *sideNames[Sides] = {"Seriograb", "curl", "curl -Z --parallel-max 4", "the other build"};
    for (auto it = rows.cbegin(); it != rows.cend(); ++it) {
        QStringList sides;
        for (int side = 0; side < Sides; ++side) {
            QStringList each;
            for (const double t : it.value().runs[side])
                each << ms(t);
            if (!each.isEmpty())
                sides << QStringLiteral("%1 %2 ms").arg(QLatin1String(sideNames[side]), each.join(QStringLiteral(", ")));
        }
        report << QStringLiteral("- %1, each run: %2.").arg(it.value().title, sides.join(QStringLiteral("; ")));
    }
    if (rows.contains(QStringLiteral("c"))) {
        const Bench::Row &r = rows[QStringLiteral("c")];
        report << QStringLiteral("- Peak RSS for (c): %1 = the idle window %2 + %3, for a body of %4.")
                      .arg(mib(r.peakKb * 1024), mib(r.startKb * 1024), mib((r.peakKb - r.startKb) * 1024), mib(r.bytes));
    }
    if (rows.contains(QStringLiteral("g"))) {
        const Bench::Row &r = rows[QStringLiteral("g")];
        report << QStringLiteral("- (g): %1 ms a picture over the first quarter of the run, %2 ms over the last "
                                 "(%3 x); peak RSS %4 = the idle window %5 + %6.")
                      .arg(QString::number(r.q1, 'f', 3), QString::number(r.q4, 'f', 3))
                      .arg(r.q1 > 0 ? r.q4 / r.q1 : 0, 0, 'f', 2)
                      .arg(mib(r.peakKb * 1024), mib(r.startKb * 1024), mib((r.peakKb - r.startKb) * 1024));
    }
    if (rows.contains(QStringLiteral("f"))) {
        const Bench::Row &r = rows[QStringLiteral("f")];
        auto counts = [&r](Side side) {
            QStringList each;
            for (const Tally &t : r.tallies[side])
                each << (t.wrong ? QStringLiteral("%1 (and %2 wrong files)").arg(t.exact).arg(t.wrong)
                                 : QString::number(t.exact));
            return each.join(QStringLiteral(", "));
        };
        report << QStringLiteral("- (f): saved byte for byte of %1 in each run: Seriograb %2, ending \"%3\"; "
                                 "`curl --retry 3 -Z --parallel-max 4` %4. The server saw, in our last run: %5; "
                                 "in curl's: %6.")
                      .arg(r.files).arg(counts(Ours), r.endText, counts(Parallel), r.notes[Ours], r.notes[Parallel]);
    }
    for (const char *letter : {"e", "h", "h1", "h2"}) {
        if (!rows.contains(QLatin1String(letter)))
            continue;
        const Bench::Row &r = rows[QLatin1String(letter)];
        report << QStringLiteral("- %1: Seriograb made %2; `curl -Z --parallel-max 4` made %3.")
                      .arg(r.title, r.notes[Ours], r.notes[Parallel]);
    }
    if (rows.contains(QStringLiteral("h")) && rows.contains(QStringLiteral("h1")))
        report << QStringLiteral("- (h) with HTTP/2 offered against HTTP/1.1 alone on the same relay: ours %1 ms against "
                                 "%2 ms, curl -Z %3 ms against %4 ms.")
                      .arg(ms(rows[QStringLiteral("h")].side[Ours]), ms(rows[QStringLiteral("h1")].side[Ours]),
                           ms(rows[QStringLiteral("h")].side[Parallel]), ms(rows[QStringLiteral("h1")].side[Parallel]));
    if (only.isEmpty()) {
        report << QStringLiteral("- Stop during a stalled transfer to the end report: median %1 ms, worst %2 ms (%3 stops).")
                      .arg(ms(median(stops)), ms(*std::max_element(stops.begin(), stops.end()))).arg(stops.size())
               << QStringLiteral("- Preview of a 2600x1950 JPEG (%1 MiB) on a %2x%3 screen: the window's scaled decode %4 ms "
                                 "(decoded to %5x%6), a full decode %7 ms.")
                      .arg(double(QFileInfo(largeFile).size()) / (1 << 20), 0, 'f', 1)
                      .arg(preview.screen.width()).arg(preview.screen.height())
                      .arg(ms(preview.scaled)).arg(preview.shown.width()).arg(preview.shown.height()).arg(ms(preview.full))
               << QStringLiteral("- Main window load with a parameter file and a 5-entry history: median %1 ms.").arg(ms(median(loadsMs)));
    }
    report << QStringLiteral("- curl start-up plus one small request: median %1 ms.").arg(ms(median(curlStart)))
           << QStringLiteral("- Medians over %1 alternating runs per side; every run's folder compared byte for byte "
                             "with the served files. Whole benchmark %2 s.")
                  .arg(repeats > 0 ? QString::number(repeats)
                                   : quick ? QStringLiteral("2") : QStringLiteral("5 (3 for (c), (e) to (h))"))
                  .arg(total.elapsed() / 1000.0, 0, 'f', 0)
           << QStringLiteral("- Machine: %1; load average %2 at the start, %3 at the end.")
                  .arg(machine(data), loadAtStart, loadAverage());
    say(QString());
    for (const QString &line : report)
        say(line);
    const qsizetype reportAt = args.indexOf(QStringLiteral("--report"));
    if (reportAt >= 0 && !writeFile(args.value(reportAt + 1), report.join(QLatin1Char('\n')).toUtf8() + '\n'))
        die(QStringLiteral("cannot write the report to %1").arg(args.value(reportAt + 1)));
    return 0;
}

} // namespace

// The offscreen platform warns about window-manager hints at every window; nothing to act on.
void quietHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (message.contains(QLatin1String("propagateSizeHints")))
        return;
    qt_message_output(type, context, message);
}

int main(int argc, char **argv)
{
    qInstallMessageHandler(quietHandler);
    // A common desktop screen rather than the offscreen default, since the preview decodes
    // pictures down to the screen's size. The children of this process read the same file.
    QTemporaryFile screenConfig(QDir::temp().filePath(QStringLiteral("seriobench-screen-XXXXXX.json")));
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if ((platform.isEmpty() || platform == "offscreen") && screenConfig.open()) {
        screenConfig.write(R"({"screens": [{"name": "bench", "x": 0, "y": 0, "width": 1920, "height": 1080,)"
                           R"( "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1}]})");
        screenConfig.flush();
        qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" + screenConfig.fileName().toLocal8Bit());
    }
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
        // Qt would pick the same folder, with a warning in every child's output.
        const QString runtime = QDir::temp().filePath(QStringLiteral("runtime-%1").arg(::getuid()));
        QDir().mkpath(runtime);
        QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv("XDG_RUNTIME_DIR", runtime.toLocal8Bit());
    }
    QApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    if (args.value(0) == QLatin1String("--run"))
        return runChild(args.mid(1));
    return runBench(args);
}
