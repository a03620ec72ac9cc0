#include "filebytes.h"
#include "platform/filesystem.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

class TestFileSystem : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString path(const QString &name) const { return m_dir->filePath(name); }

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
    }
    void cleanup() { m_dir.reset(); }

    void writeLineEndsWithCrLf()
    {
        FileSystemObject fso;
        auto out = fso.CreateTextFile(path("a.txt"), true);
        out->WriteLine(QStringLiteral("[HEADERTEXT]"));
        out->WriteLine(QString());
        out->WriteLine(QStringLiteral("Bilder/Ära"));
        out->Close();
        QCOMPARE(contents(path("a.txt")), QByteArray("[HEADERTEXT]\r\n\r\nBilder/\xc3\x84ra\r\n"));
    }

    // A line read and written back keeps its bytes, whether or not they are valid UTF-8.
    void linesKeepTheirBytes_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::newRow("UTF-8 text") << QByteArray("Bilder/\xc3\x84ra \xf0\x9f\x93\xb7");
        QTest::newRow("Latin-1 byte") << QByteArray("caf\xe9");
        QTest::newRow("lone continuation bytes") << QByteArray("\x80\xbf-\xff\xfe");
        QTest::newRow("cut sequence") << QByteArray("a\xe2\x82");
        QTest::newRow("overlong slash") << QByteArray("\xc0\xaf");
        QTest::newRow("encoded surrogate") << QByteArray("\xed\xa0\x80");
        QTest::newRow("beyond U+10FFFF") << QByteArray("\xf4\x90\x80\x80");
        QTest::newRow("pair whose low half looks escaped") << QByteArray("\xf0\x90\x82\x80\x80");
        QTest::newRow("control bytes and NUL") << QByteArray("a\x00b\x1b", 4);
    }

    void linesKeepTheirBytes()
    {
        QFETCH(QByteArray, line);
        setContents(path("in.txt"), line + "\r\n");
        FileSystemObject fso;
        auto in = fso.OpenTextFile(path("in.txt"), FileSystemObject::IoMode::ForReading, false);
        const QString text = in->ReadLine();
        in->Close();
        auto out = fso.CreateTextFile(path("out.txt"), true);
        out->WriteLine(text);
        out->Close();
        QCOMPARE(contents(path("out.txt")), line + "\r\n");
    }

    void readLine_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("lines");

        QTest::newRow("empty file") << QByteArray() << QStringList();
        QTest::newRow("CR LF") << QByteArray("a\r\nb\r\n") << QStringList{"a", "b"};
        QTest::newRow("LF") << QByteArray("a\nb\n") << QStringList{"a", "b"};
        QTest::newRow("mixed") << QByteArray("a\nb\r\nc") << QStringList{"a", "b", "c"};
        QTest::newRow("blank lines") << QByteArray("\r\n\n") << QStringList{"", ""};
        QTest::newRow("no line end at the end") << QByteArray("a\r\nb") << QStringList{"a", "b"};
        QTest::newRow("lone CR at the end") << QByteArray("a\r") << QStringList{"a"};
        QTest::newRow("only one CR removed") << QByteArray("a\r\r\n") << QStringList{"a\r"};
        QTest::newRow("CR inside kept") << QByteArray("a\rb\n") << QStringList{"a\rb"};
        QTest::newRow("UTF-8") << QByteArray("\xc3\xa4\xe2\x82\xac\r\n") << QStringList{"ä€"};
    }
    void readLine()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, lines);
        setContents(path("r.txt"), bytes);

        FileSystemObject fso;
        auto in = fso.OpenTextFile(path("r.txt"), FileSystemObject::IoMode::ForReading, false);
        QStringList read;
        while (!in->AtEndOfStream())
            read << in->ReadLine();
        QCOMPARE(read, lines);
        QVERIFY_THROWS_EXCEPTION(FileError, in->ReadLine());
        in->Close();
    }

    void openForReading()
    {
        FileSystemObject fso;
        const QString missing = path("missing.txt");
        try {
            fso.OpenTextFile(missing, FileSystemObject::IoMode::ForReading, false);
            QFAIL("opening a missing file must fail");
        } catch (const FileError &e) {
            QVERIFY2(e.message().contains(missing), qPrintable(e.message()));
        }
        QVERIFY(!QFile::exists(missing));

        auto in = fso.OpenTextFile(missing, FileSystemObject::IoMode::ForReading, true);
        QVERIFY(in->AtEndOfStream());
        in->Close();
        QVERIFY(fso.FileExists(missing));
        QCOMPARE(contents(missing), QByteArray());

        // Reading with create never empties a file that is there.
        setContents(missing, "kept\r\n");
        fso.OpenTextFile(missing, FileSystemObject::IoMode::ForReading, true)->Close();
        QCOMPARE(contents(missing), QByteArray("kept\r\n"));
    }

    void appendStartsOnAFreshLine_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QByteArray>("after");

        QTest::newRow("missing file") << QByteArray("<missing>") << QByteArray("new\r\n");
        QTest::newRow("empty") << QByteArray() << QByteArray("new\r\n");
        QTest::newRow("finished line") << QByteArray("old\r\n") << QByteArray("old\r\nnew\r\n");
        QTest::newRow("LF line") << QByteArray("old\n") << QByteArray("old\nnew\r\n");
        QTest::newRow("unfinished line") << QByteArray("old") << QByteArray("old\r\nnew\r\n");
    }
    void appendStartsOnAFreshLine()
    {
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, after);
        if (before != "<missing>")
            setContents(path("a.txt"), before);

        FileSystemObject fso;
        auto out = fso.OpenTextFile(path("a.txt"), FileSystemObject::IoMode::ForAppending, true);
        out->WriteLine(QStringLiteral("new"));
        out->Close();
        QCOMPARE(contents(path("a.txt")), after);
    }

    void createTextFileHonoursOverwrite()
    {
        FileSystemObject fso;
        setContents(path("c.txt"), "old\r\n");
        QVERIFY_THROWS_EXCEPTION(FileError, fso.CreateTextFile(path("c.txt"), false));
        QCOMPARE(contents(path("c.txt")), QByteArray("old\r\n"));
        fso.CreateTextFile(path("c.txt"), true)->Close();
        QCOMPARE(contents(path("c.txt")), QByteArray());
    }

    void replaceFileSwapsInOneStep()
    {
        FileSystemObject fso;
        setContents(path("new"), "new body");
        setContents(path("old"), "a longer old body");
        fso.ReplaceFile(path("new"), path("old"));
        QCOMPARE(contents(path("old")), QByteArray("new body"));
        QVERIFY(!QFile::exists(path("new")));

        // A folder in the way: nothing moves.
        setContents(path("new"), "new body");
        QVERIFY(QDir(m_dir->path()).mkpath("folder/inside"));
        QVERIFY_THROWS_EXCEPTION(FileError, fso.ReplaceFile(path("new"), path("folder")));
        QCOMPARE(contents(path("new")), QByteArray("new body"));
        QVERIFY(QFileInfo(path("folder/inside")).isDir());
    }

    void moveCopyDelete()
    {
        FileSystemObject fso;
        setContents(path("a"), "A");
        setContents(path("b"), "B");
        QVERIFY_THROWS_EXCEPTION(FileError, fso.MoveFile(path("a"), path("b")));
        QCOMPARE(contents(path("a")), QByteArray("A"));
        QCOMPARE(contents(path("b")), QByteArray("B"));

        fso.CopyFile(path("a"), path("b"));
        QCOMPARE(contents(path("b")), QByteArray("A"));
        QCOMPARE(contents(path("a")), QByteArray("A"));

        fso.MoveFile(path("a"), path("c"));
        QVERIFY(!QFile::exists(path("a")));
        QCOMPARE(contents(path("c")), QByteArray("A"));

        QVERIFY(QFile::setPermissions(path("c"), QFileDevice::ReadOwner));
        fso.DeleteFile(path("c"));
        QVERIFY(!QFile::exists(path("c")));
        QVERIFY_THROWS_EXCEPTION(FileError, fso.DeleteFile(path("c")));
    }

    void writeBinaryFileReplacesTheWholeBody()
    {
        FileSystemObject fso;
        setContents(path("pic.gif"), QByteArray(1000, 'x'));
        const QByteArray body("GIF89a\0\1\2", 9);
        fso.WriteBinaryFile(path("pic.gif"), body);
        QCOMPARE(contents(path("pic.gif")), body);
    }

    void writeBinaryFileFailsWithoutATrace_data()
    {
        QTest::addColumn<QString>("target");
        QTest::newRow("folder is a regular file") << "plain/pic.gif";
        QTest::newRow("folder missing") << "nowhere/pic.gif";
        QTest::newRow("target is a folder") << "folder";
    }
    void writeBinaryFileFailsWithoutATrace()
    {
        QFETCH(QString, target);
        setContents(path("plain"), "user data");
        QVERIFY(QDir(m_dir->path()).mkpath("folder/inside"));
        const QStringList before = entries(m_dir->path());

        FileSystemObject fso;
        try {
            fso.WriteBinaryFile(path(target), QByteArray("body"));
            QFAIL("the write must fail");
        } catch (const FileError &e) {
            QVERIFY2(e.message().contains(path(target)), qPrintable(e.message()));
        }
        QCOMPARE(contents(path("plain")), QByteArray("user data"));
        QVERIFY(QFileInfo(path("folder/inside")).isDir());
        QCOMPARE(entries(m_dir->path()), before);
    }
};

QTEST_GUILESS_MAIN(TestFileSystem)
#include "tst_filesystem.moc"
