#include "platform/partfile.h"

#include "filebytes.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// A second program writing a part file: it holds the file's lock until it is told to end.
class OtherWriter
{
public:
    explicit OtherWriter(const QString &path)
    {
        int ready[2];
        if (::pipe(m_quit) != 0 || ::pipe(ready) != 0)
            return;
        m_pid = ::fork();
        if (m_pid == 0) {
            const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT, 0666);
            struct flock lock = {};
            lock.l_type = F_WRLCK;
            lock.l_whence = SEEK_SET;
            const char answer = fd >= 0 && ::fcntl(fd, F_OFD_SETLK, &lock) == 0 ? 'y' : 'n';
            (void)!::write(ready[1], &answer, 1);
            char byte;
            (void)!::read(m_quit[0], &byte, 1);
            ::_exit(0);
        }
        char answer = 'n';
        m_locked = m_pid > 0 && ::read(ready[0], &answer, 1) == 1 && answer == 'y';
        ::close(ready[0]);
        ::close(ready[1]);
    }
    ~OtherWriter()
    {
        if (m_pid > 0) {
            (void)!::write(m_quit[1], "q", 1);
            ::waitpid(m_pid, nullptr, 0);
        }
        ::close(m_quit[0]);
        ::close(m_quit[1]);
    }
    bool locked() const { return m_locked; }

private:
    int m_quit[2] = {-1, -1};
    pid_t m_pid = -1;
    bool m_locked = false;
};

} // namespace

class TestPartFile : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // The digest follows the bytes, not how the network cut them up, and starts again when the
    // part is emptied for a restart; one byte changed is another body.
    void digest_data()
    {
        QTest::addColumn<QList<int>>("cuts");   // the pieces written; 0: a false start, then a restart
        QTest::newRow("odd pieces across blocks") << QList<int>{1, 8191, 8193, 3, 23612};
        QTest::newRow("after a restart") << QList<int>{0, 20000, 20000};
    }

    void digest()
    {
        QFETCH(QList<int>, cuts);
        QTemporaryDir dir;
        PartFile::Failure why;
        QByteArray body(40000, '\0');
        for (int i = 0; i < body.size(); ++i)
            body[i] = char(i * 31 + i / 7);
        PartFile whole = PartFile::create(dir.path(), &why), cut = PartFile::create(dir.path(), &why);
        QVERIFY(whole.write(body.constData(), body.size(), &why));
        qsizetype at = 0;
        for (const int n : cuts) {
            QVERIFY(n > 0 ? cut.write(body.constData() + at, n, &why) : cut.write("false", 5, &why) && cut.restart(&why));
            at += n;
        }
        QCOMPARE(cut.digest().length(), whole.digest().length());
        QCOMPARE(cut.digest().value(), whole.digest().value());
        body[39999] = char(body[39999] + 1);
        QVERIFY(cut.restart(&why) && cut.write(body.constData(), body.size(), &why));
        QVERIFY(cut.digest().value() != whole.digest().value());
    }

    void commit_data()
    {
        QTest::addColumn<QString>("existing");   // what the final name is before the commit
        QTest::addColumn<int>("result");
        QTest::addColumn<bool>("elsewhere");     // the target folder is on another file system
        QTest::newRow("a free name") << "" << int(PartFile::Commit::Done) << false;
        QTest::newRow("a taken name is never replaced") << "file" << int(PartFile::Commit::NameTaken) << false;
        QTest::newRow("a name that is a folder") << "folder" << int(PartFile::Commit::Failed) << false;
        QTest::newRow("another file system") << "" << int(PartFile::Commit::Done) << true;
    }

    // A part file takes its final name whole, or not at all; an existing file of that name is
    // left as it was, and a part that did not take its name stays until it is removed.
    void commit()
    {
        QFETCH(QString, existing);
        QFETCH(int, result);
        QFETCH(bool, elsewhere);
        QTemporaryDir dir;
        // /dev/shm is a file system of its own on Linux; the part starts there.
        QTemporaryDir other(QStringLiteral("/dev/shm/tst_partfile-XXXXXX"));
        struct stat a = {}, b = {};
        if (elsewhere && (!other.isValid() || ::stat(QFile::encodeName(dir.path()).constData(), &a) != 0
                          || ::stat(QFile::encodeName(other.path()).constData(), &b) != 0 || a.st_dev == b.st_dev))
            QSKIP("no second file system to move to");
        const QString finalName = dir.filePath(QStringLiteral("pic01.jpg"));
        if (existing == QLatin1String("file")) {
            setContents(finalName, "older and longer");
        } else if (existing == QLatin1String("folder")) {
            QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("pic01.jpg")));
        }

        PartFile::Failure failure;
        PartFile part = PartFile::create(elsewhere ? other.path() : dir.path(), &failure);
        QVERIFY2(part.isValid(), qPrintable(failure.text));
        QVERIFY(PartFile::isPartName(QFileInfo(part.path()).fileName()));
        QVERIFY(part.write("new", 3, &failure));
        const QString partPath = part.path();

        QCOMPARE(int(part.commitAs(finalName, &failure)), result);
        if (result == int(PartFile::Commit::Done)) {
            QCOMPARE(contents(finalName), QByteArray("new"));
            QVERIFY(!part.isValid());
        } else {
            QVERIFY(QFile::exists(partPath));
            if (existing == QLatin1String("file"))
                QCOMPARE(contents(finalName), QByteArray("older and longer"));
            part.remove();
        }
        QVERIFY(!QFile::exists(partPath));
        QCOMPARE(entries(other.path()), QStringList());
        QCOMPARE(entries(dir.path()), QStringList{QStringLiteral("pic01.jpg")});
    }

    void cleanUp_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("lockedElsewhere");
        QTest::addColumn<bool>("stays");
        QTest::newRow("left behind") << ".seriograb-12345-1.part" << false << false;
        QTest::newRow("still written by another program") << ".seriograb-12345-2.part" << true << true;
        QTest::newRow("not a part file") << ".seriograb-notes.part" << false << true;
    }

    // The clean-up takes only part files that nobody writes any more, whatever their process
    // number says: a writer on another machine has a number this one does not know.
    void cleanUp()
    {
        QFETCH(QString, name);
        QFETCH(bool, lockedElsewhere);
        QFETCH(bool, stays);
        QTemporaryDir dir;
        const QString path = dir.filePath(name);
        setContents(path, QByteArray());
        std::unique_ptr<OtherWriter> writer;
        if (lockedElsewhere) {
            writer = std::make_unique<OtherWriter>(path);
            QVERIFY(writer->locked());
        }
        PartFile::Failure failure;
        PartFile ours = PartFile::create(dir.path(), &failure);   // this program's own, in use
        QVERIFY(ours.isValid());

        PartFile::removeStale(dir.path());
        QCOMPARE(QFile::exists(path), stays);
        QVERIFY(QFile::exists(ours.path()));
    }
};

QTEST_GUILESS_MAIN(TestPartFile)
#include "tst_partfile.moc"
