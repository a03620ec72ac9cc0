// Seriograb against curl on the same series, served by real nginx on loopback.
//
//   seriobench [--quick] [--data FOLDER] [--report FILE]
//                                        the whole benchmark; prints one table and the probes,
//                                        and writes them to FILE as well
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
#include <csignal>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

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

int runChild(const QStringList &args)
{
    Window win(args.value(0));
    win.fill(args.value(1), args.value(2));
    win.showAndSettle();
    const qint64 before = procStatusKb("VmRSS:");
    QElapsedTimer t;
    t.start();
    win.click("btnGet");   // returns when the run has ended and its report is shown
    const qint64 reportNs = t.nsecsElapsed();
    waitForPreview(win.w.get());  // and the last picture is in the window
    const qint64 ns = t.nsecsElapsed();
    out << "RESULT " << ns << ' ' << procStatusKb("VmHWM:") << ' ' << before << ' ' << reportNs << ' '
        << win.status()->text() << Qt::endl;
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

struct Bench
{
    QString self;
    QString root;         // served folder
    QString scratch;      // run folders
    QString defaultGif;
    NginxFixture *nginx = nullptr;
    quint16 relayPort = 0;
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

    struct Ours { double ms; qint64 peakKb; qint64 startKb; double reportMs; QString report; };

    // The served address of a path: straight from nginx, or through the relay when it is set.
    QString url(const QString &path) const
    {
        return relayPort ? QStringLiteral("http://127.0.0.1:%1%2").arg(relayPort).arg(path) : nginx->url(path);
    }

    Ours runOurs(const Workload &w, const QString &outFolder)
    {
        const QString program = programFolder(outFolder, w.count);
        QProcess p;
        p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p.start(self, {QStringLiteral("--run"), program, url(QLatin1Char('/') + w.key + QStringLiteral("/pic")),
                       QStringLiteral("%1").arg(1, w.width, 10, QLatin1Char('0'))});
        if (!p.waitForFinished(300000))
            die(QStringLiteral("our run of %1 did not end within 5 minutes").arg(w.key));
        const QString text = QString::fromUtf8(p.readAllStandardOutput());
        const qsizetype at = text.indexOf(QStringLiteral("RESULT "));
        if (at < 0)
            die(QStringLiteral("our run of %1 gave no result: %2").arg(w.key, text));
        const QStringList parts = text.mid(at + 7).trimmed().split(QLatin1Char(' '));
        return {parts.value(0).toDouble() / 1e6, parts.value(1).toLongLong(), parts.value(2).toLongLong(),
                parts.value(3).toDouble() / 1e6, parts.mid(4).join(QLatin1Char(' '))};
    }

    double runCurl(const Workload &w, const QString &outFolder, const QStringList &options = {})
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
        if (!p.waitForFinished(300000))
            die(QStringLiteral("curl on %1 did not end within 5 minutes").arg(w.key));
        const double elapsed = t.nsecsElapsed() / 1e6;
        const bool allServed = w.present.size() == w.count;
        if (p.exitStatus() != QProcess::NormalExit || (allServed && p.exitCode() != 0))
            die(QStringLiteral("curl on %1 failed with %2").arg(w.key).arg(p.exitCode()));
        return elapsed;
    }

    struct Row
    {
        QString title;
        int files;
        qint64 bytes;
        double ours;
        double theirs;        // curl, one at a time
        double parallel;      // curl -Z --parallel-max 4; 0 when not run
        double oursReport;    // ours until the end report, before the last picture is shown
        qint64 peakKb;
        qint64 startKb;
    };

    // Our run and curl's alternate, each first in turn; with `parallel` curl also runs four
    // transfers at a time.
    Row measure(const Workload &w, bool parallel = false)
    {
        QList<double> ours, oursReport, theirs, theirsParallel;
        qint64 peak = 0, start = 0;
        const QString served = root + QLatin1Char('/') + w.key;
        const QString expectedReport = QStringLiteral("Completed downloading maximum number if files (%1)").arg(w.count);
        const int sides = parallel ? 3 : 2;
        for (int rep = 0; rep < w.repeats; ++rep) {
            for (int turn = 0; turn < sides; ++turn) {
                const int side = (rep + turn) % sides;   // 0: ours, 1: curl, 2: curl -Z
                const QString outFolder = freshFolder(side == 0 ? QStringLiteral("ours") : QStringLiteral("curl"));
                if (side == 0) {
                    const Ours r = runOurs(w, outFolder);
                    if (endText(r.report) != expectedReport)
                        die(QStringLiteral("our run of %1 ended with \"%2\"").arg(w.key, r.report));
                    ours << r.ms;
                    oursReport << r.reportMs;
                    peak = qMax(peak, r.peakKb);
                    start = qMax(start, r.startKb);
                } else if (side == 1) {
                    theirs << runCurl(w, outFolder);
                } else {
                    theirsParallel << runCurl(w, outFolder, {QStringLiteral("-Z"), QStringLiteral("--parallel-max"),
                                                             QStringLiteral("4")});
                }
                const QString wrong = compareFolder(outFolder, served, w.present);
                if (!wrong.isEmpty())
                    die(QStringLiteral("%1 run of %2 is wrong: %3").arg(side == 0 ? "our" : "curl's", w.key, wrong));
                // On ext4 without a journal, every new file skips the inodes freed in the last
                // half minute, at a cost per inode: deleting a thousand files here would slow the
                // next runs' file creation. Folders of a few large files go at once (their pages
                // would otherwise be written back while later runs sync); the rest at the end.
                if (w.present.size() <= 100)
                    QDir(outFolder).removeRecursively();
            }
            out << '.' << Qt::flush;
        }
        return {w.title, int(w.present.size()), w.bytes, median(ours), median(theirs),
                parallel ? median(theirsParallel) : 0.0, median(oursReport), peak, start};
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

// The parts of a run, each timed alone over a workload's files: the transfer control fetching
// them one at a time into part files, giving each part its name as a run does, and the window
// previewing them (with its repaint).
struct Parts { double transfer; double save; double preview; };

Parts partsOf(const QString &scratch, const QString &urlFolder, const QStringList &names)
{
    Parts parts{};
    const QString outFolder = scratch + QStringLiteral("/parts-out-") + QFileInfo(urlFolder.chopped(1)).fileName();
    QDir().mkpath(outFolder);
    Inet inet;
    const Inet::Keep keep{outFolder, [](const QString &) { return true; }};
    std::vector<PartFile> kept;
    QElapsedTimer t;
    t.start();
    for (const QString &name : names) {
        if (!inet.OpenURL(urlFolder + name, keep))
            die(QStringLiteral("the transfer control could not fetch %1").arg(urlFolder + name));
        kept.push_back(inet.takePart());
    }
    parts.transfer = t.nsecsElapsed() / 1e6;

    t.start();
    for (qsizetype i = 0; i < names.size(); ++i) {
        QString why;
        if (kept[i].commitAs(outFolder + QLatin1Char('/') + names[i], false, &why) != PartFile::Commit::Done)
            die(QStringLiteral("cannot name %1: %2").arg(names[i], why));
    }
    parts.save = t.nsecsElapsed() / 1e6;

    const QString folder = scratch + QStringLiteral("/parts-program");
    QDir().mkpath(folder);
    Window win(folder);
    win.showAndSettle();
    t.start();
    for (const QString &name : names) {
        win.w->showPicture(outFolder + QLatin1Char('/') + name);
        QCoreApplication::processEvents();
    }
    waitForPreview(win.w.get());
    parts.preview = t.nsecsElapsed() / 1e6;
    return parts;
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

private:
    void accept()
    {
        while (QTcpSocket *client = m_server.nextPendingConnection()) {
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

    QElapsedTimer total;
    total.start();
    const QString loadAtStart = loadAverage();
    out << "Preparing the series in " << b.root << " ..." << Qt::flush;
    QList<Workload> loads;
    const int scale = quick ? 10 : 1;
    {
        Workload w{QStringLiteral("small"), QStringLiteral("(a) small JPEGs"), 1000 / scale, 4, {}, 0, quick ? 2 : 5};
        prepare(b.root, w, [](int n) { return jpeg(makePicture(QSize(320, 240), n, 10), 85); }, [](int) { return true; });
        loads << w;
    }
    {
        Workload w{QStringLiteral("large"), QStringLiteral("(b) 4000x3000 JPEGs"), quick ? 4 : 40, 2, {}, 0, quick ? 2 : 5};
        QImage base = makePicture(QSize(4000, 3000), 0, 14);
        prepare(b.root, w, [&base](int n) {
            QImage image = base;
            QPainter p(&image);
            p.fillRect(QRect((n * 97) % 3600, 0, 400, 3000), QColor::fromHsv((n * 47) % 360, 160, 150));
            p.end();
            return jpeg(image, 90);
        }, [](int) { return true; });
        loads << w;
    }
    {
        const qint64 size = quick ? qint64(30) << 20 : qint64(300) << 20;
        Workload w{QStringLiteral("huge"), QStringLiteral("(c) one %1 MiB JPEG body").arg(size >> 20), 1, 1, {}, 0, quick ? 1 : 3};
        prepare(b.root, w, [size](int) { return hugeBody(size); }, [](int) { return true; });
        loads << w;
    }
    {
        Workload w{QStringLiteral("mixed"), QStringLiteral("(d) every third a 404 page"), 300 / scale, 3, {}, 0, quick ? 2 : 5};
        prepare(b.root, w, [](int n) { return jpeg(makePicture(QSize(320, 240), n + 5000, 10), 85); },
                [](int n) { return n % 3 != 0; });
        loads << w;
    }
    say(QStringLiteral(" done (%1 s)").arg(total.elapsed() / 1000.0, 0, 'f', 1));

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

    QList<Bench::Row> rows;
    for (const Workload &w : loads) {
        out << "Running " << w.title << " (" << w.repeats << " x 2 runs) " << Qt::flush;
        rows << b.measure(w);
        say(QStringLiteral(" %1 ms / %2 ms").arg(ms(rows.last().ours), ms(rows.last().theirs)));
    }
    {
        // (e): the start of the small series from a server 20 ms away each way, where round
        // trips and not bandwidth bound a run.
        Workload far = loads[0];
        far.title = QStringLiteral("(e) small JPEGs, 20 ms away");
        far.count = quick ? 40 : 200;
        far.present = loads[0].present.mid(0, far.count);
        far.bytes = 0;
        for (const QString &name : std::as_const(far.present))
            far.bytes += QFileInfo(b.root + QStringLiteral("/small/") + name).size();
        far.repeats = quick ? 1 : 3;
        QThread relayThread;
        auto *relay = new DelayRelay(nginx.port(), 20);
        relay->moveToThread(&relayThread);
        relayThread.start();
        QMetaObject::invokeMethod(relay, [&] { b.relayPort = relay->listen(); }, Qt::BlockingQueuedConnection);
        if (b.relayPort == 0)
            die(QStringLiteral("the relay could not listen"));
        out << "Running " << far.title << " (" << far.repeats << " x 3 runs) " << Qt::flush;
        rows << b.measure(far, true);
        say(QStringLiteral(" %1 ms / %2 ms / %3 ms").arg(ms(rows.last().ours), ms(rows.last().theirs), ms(rows.last().parallel)));
        b.relayPort = 0;
        QMetaObject::invokeMethod(relay, [relay] { delete relay; }, Qt::BlockingQueuedConnection);
        relayThread.quit();
        relayThread.wait();
    }

    out << "Probing stop, preview and load ..." << Qt::flush;
    const QList<double> stops = stopLatencies(b.scratch, 15);
    const QString large = b.root + QStringLiteral("/large/") + loads[1].present.value(0);
    const PreviewTimes preview = previewTimes(b.scratch, large, 9);
    const QList<double> loadsMs = loadTimes(b.scratch, 15);
    QList<Parts> parts;
    for (int i : {0, 1, 3}) {
        const Workload &w = loads[i];
        parts << partsOf(b.scratch, nginx.url(QLatin1Char('/') + w.key + QLatin1Char('/')), w.present);
    }
    say(QStringLiteral(" done"));

    QStringList report;
    report << QStringLiteral("| Workload | Files | Bytes | Seriograb median | curl median | Ratio | Seriograb peak RSS |")
           << QStringLiteral("|---|---:|---:|---:|---:|---:|---:|");
    for (const Bench::Row &r : rows) {
        report << QStringLiteral("| %1 | %2 | %3 | %4 ms | %5 ms | %6 | %7 |")
                      .arg(r.title).arg(r.files).arg(mib(r.bytes), ms(r.ours), ms(r.theirs))
                      .arg(r.ours / r.theirs, 0, 'f', 2)
                      .arg(mib(r.peakKb * 1024));
    }
    const Bench::Row &huge = rows[2];
    const Bench::Row &far = rows[4];
    report << QString()
           << QStringLiteral("- (e) against `curl -Z --parallel-max 4` on the same relay: %1 ms against %2 ms, ratio %3.")
                  .arg(ms(far.ours), ms(far.parallel)).arg(far.ours / far.parallel, 0, 'f', 2)
           << QStringLiteral("- Ours until the end report alone, before the last picture is in the preview: "
                             "(a) %1 ms, (b) %2 ms, (c) %3 ms, (d) %4 ms, (e) %5 ms.")
                  .arg(ms(rows[0].oursReport), ms(rows[1].oursReport), ms(rows[2].oursReport),
                       ms(rows[3].oursReport), ms(rows[4].oursReport))
           << QStringLiteral("- Peak RSS for (c): %1 = the idle window %2 + %3, for a body of %4.")
                  .arg(mib(huge.peakKb * 1024), mib(huge.startKb * 1024), mib((huge.peakKb - huge.startKb) * 1024),
                       mib(huge.bytes))
           << QStringLiteral("- Stop during a stalled transfer to the end report: median %1 ms, worst %2 ms (%3 stops).")
                  .arg(ms(median(stops)), ms(*std::max_element(stops.begin(), stops.end()))).arg(stops.size())
           << QStringLiteral("- Preview of a 4000x3000 JPEG (%1 MiB) on a %2x%3 screen: the window's scaled decode %4 ms "
                             "(decoded to %5x%6), a full decode %7 ms.")
                  .arg(double(QFileInfo(large).size()) / (1 << 20), 0, 'f', 1)
                  .arg(preview.screen.width()).arg(preview.screen.height())
                  .arg(ms(preview.scaled)).arg(preview.shown.width()).arg(preview.shown.height()).arg(ms(preview.full))
           << QStringLiteral("- The parts of a run, each timed alone over the same files: transfer control alone "
                             "(a) %1 ms, (b) %2 ms, (d) %3 ms; naming the part files as a run does (a) %4 ms, "
                             "(b) %5 ms, (d) %6 ms; preview with repaint (a) %7 ms, (b) %8 ms, (d) %9 ms.")
                  .arg(ms(parts[0].transfer), ms(parts[1].transfer), ms(parts[2].transfer),
                       ms(parts[0].save), ms(parts[1].save), ms(parts[2].save),
                       ms(parts[0].preview), ms(parts[1].preview), ms(parts[2].preview))
           << QStringLiteral("- Main window load with a parameter file and a 5-entry history: median %1 ms.").arg(ms(median(loadsMs)))
           << QStringLiteral("- curl start-up plus one small request: median %1 ms.").arg(ms(median(curlStart)))
           << QStringLiteral("- Medians over %1 alternating runs per side; every run's folder compared byte for byte "
                             "with the served files. Whole benchmark %2 s.")
                  .arg(quick ? QStringLiteral("2") : QStringLiteral("5 (3 for (c) and (e))"))
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
