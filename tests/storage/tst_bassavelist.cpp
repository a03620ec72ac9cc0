#include "filebytes.h"
#include "platform/filesystem.h"
#include "storage/bassavelist.h"
#include "storage/modpara.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <memory>

using namespace basSaveList;

namespace {

// An editable list box reduced to what the history code uses.
class ListBox : public HistoryBox
{
public:
    QString text;
    QStringList items;

    QString Text() const override { return text; }
    void setText(const QString &t) override { text = t; }
    void Clear() override
    {
        items.clear();
        text.clear();
    }
    void AddItem(const QString &item) override { items << item; }
};

} // namespace

class TestBasSaveList : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<QTemporaryDir> m_workDir;
    QString m_oldWorkDir;
    QString m_history;
    ListBox m_box;

    void save(const QString &typed)
    {
        m_box.text = typed;
        saveHistory(m_box, m_history, "cmburl1", 5);
    }
    QStringList folderEntries() const { return entries(m_dir->path()); }

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_workDir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid() && m_workDir->isValid());
        m_history = m_dir->filePath("history.par");
        m_box = ListBox();
        // A user's own file named like a scratch file, in the folder the program runs in.
        m_oldWorkDir = QDir::currentPath();
        QVERIFY(QDir::setCurrent(m_workDir->path()));
        setContents(m_workDir->filePath("tmp"), "the user's own file");
    }
    void cleanup()
    {
        QCOMPARE(contents(m_workDir->filePath("tmp")), QByteArray("the user's own file"));
        QCOMPARE(entries(m_workDir->path()), QStringList{"tmp"});
        QDir::setCurrent(m_oldWorkDir);
        m_dir.reset();
        m_workDir.reset();
    }

    void loadWithoutFile()
    {
        m_box.text = "http://typed/";
        m_box.items = QStringList{"stale"};
        loadHistory(m_box, m_history, "cmbURL1");
        QCOMPARE(m_box.items, QStringList());
        QCOMPARE(m_box.text, QStringLiteral("http://typed/"));
        QVERIFY(!QFile::exists(m_history));
    }

    void firstSaveCreatesTheFile()
    {
        save("http://a.example/pics/");
        QCOMPARE(contents(m_history), QByteArray("cmburl1=http://a.example/pics/\r\n"));
        QCOMPARE(m_box.items, QStringList{"http://a.example/pics/"});
        QCOMPARE(m_box.text, QStringLiteral("http://a.example/pics/"));
        QCOMPARE(folderEntries(), QStringList{"history.par"});
    }

    void keepsTheNewestFive()
    {
        for (const char *entry : {"A", "B", "C", "D", "E"})
            save(QString::fromLatin1(entry));
        QCOMPARE(contents(m_history), QByteArray("cmburl1=A,B,C,D,E\r\n"));
        save("F");
        QCOMPARE(contents(m_history), QByteArray("cmburl1=B,C,D,E,F\r\n"));
        QCOMPARE(m_box.items, (QStringList{"B", "C", "D", "E", "F"}));
        QCOMPARE(m_box.text, QStringLiteral("F"));
        QCOMPARE(folderEntries(), QStringList{"history.par"});
    }

    void knownEntryChangesNothing_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::newRow("same") << "http://b/";
        QTest::newRow("other case") << "HTTP://B/";
        QTest::newRow("spaces around") << "  http://b/ ";
        QTest::newRow("stored with spaces") << "http://c/";
    }
    void knownEntryChangesNothing()
    {
        QFETCH(QString, typed);
        const QByteArray before = "cmburl1=http://a/,Http://B/, http://c/  \r\n";
        setContents(m_history, before);
        save(typed);
        QCOMPARE(contents(m_history), before);
        QCOMPARE(m_box.items, (QStringList{"http://a/", "Http://B/", " http://c/  "}));
        QCOMPARE(m_box.text, typed);
    }

    void blankTextDoesNothing_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::newRow("empty") << "";
        QTest::newRow("spaces") << "   ";
    }
    void blankTextDoesNothing()
    {
        QFETCH(QString, typed);
        setContents(m_history, "cmburl1=a\n");
        m_box.items = QStringList{"not reloaded"};
        save(typed);
        QCOMPARE(contents(m_history), QByteArray("cmburl1=a\n"));
        QCOMPARE(m_box.items, QStringList{"not reloaded"});
        QCOMPARE(m_box.text, typed);

        QFile::remove(m_history);
        save(typed);
        QVERIFY(!QFile::exists(m_history));
    }

    void entryKeptAsTyped()
    {
        save("  http://Site.example/  ");
        QCOMPARE(contents(m_history), QByteArray("cmburl1=  http://Site.example/  \r\n"));
        save("http://b/");
        QCOMPARE(contents(m_history), QByteArray("cmburl1=  http://Site.example/  ,http://b/\r\n"));
        QCOMPARE(m_box.items, (QStringList{"  http://Site.example/  ", "http://b/"}));
    }

    void otherLinesStayInPlace_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QByteArray>("after");
        QTest::newRow("box line between")
            << QByteArray("first=x,y\r\ncmburl1=a\r\nlast=z=q\r\n")
            << QByteArray("first=x,y\r\ncmburl1=a,new\r\nlast=z=q\r\n");
        QTest::newRow("box line missing")
            << QByteArray("first=x,y\r\n[odd line]\r\n\r\n")
            << QByteArray("first=x,y\r\n[odd line]\r\n\r\ncmburl1=new\r\n");
        QTest::newRow("box line in other case, spaces before")
            << QByteArray("  CmbURL1=a\r\nother=b\r\n")
            << QByteArray("  CmbURL1=a,new\r\nother=b\r\n");
        QTest::newRow("box line without =")
            << QByteArray("x=1\r\ncmburl1 a,b\r\n")
            << QByteArray("x=1\r\ncmburl1=new\r\n");
        QTest::newRow("box line with empty list")
            << QByteArray("cmburl1=\r\n")
            << QByteArray("cmburl1=new\r\n");
        QTest::newRow("text after a second =")
            << QByteArray("cmburl1=a,b=lost\r\n")
            << QByteArray("cmburl1=a,b,new\r\n");
        QTest::newRow("LF line ends")
            << QByteArray("first=x\ncmburl1=a\n")
            << QByteArray("first=x\r\ncmburl1=a,new\r\n");
    }
    void otherLinesStayInPlace()
    {
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, after);
        setContents(m_history, before);
        save("new");
        QCOMPARE(contents(m_history), after);
        QCOMPARE(m_box.items.last(), QStringLiteral("new"));
        QCOMPARE(folderEntries(), QStringList{"history.par"});
    }

    void load_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QStringList>("items");
        QTest::newRow("name in any case")
            << QByteArray("cmburl1=a,b\r\n") << " cmbURL1 " << QStringList{"a", "b"};
        QTest::newRow("first line of the box wins")
            << QByteArray("other=x\r\nCMBURL1=a\r\ncmburl1=b\r\n") << "cmbURL1" << QStringList{"a"};
        QTest::newRow("entries as stored")
            << QByteArray("cmburl1= a ,B\r\n") << "cmbURL1" << QStringList{" a ", "B"};
        QTest::newRow("list ends at a second =")
            << QByteArray("cmburl1=a,b=c,d\r\n") << "cmbURL1" << QStringList{"a", "b"};
        QTest::newRow("empty list") << QByteArray("cmburl1=\r\n") << "cmbURL1" << QStringList();
        QTest::newRow("no = on the line") << QByteArray("cmburl1 a,b\r\n") << "cmbURL1" << QStringList();
        QTest::newRow("no line for the box") << QByteArray("other=a\r\n") << "cmbURL1" << QStringList();
        QTest::newRow("empty file") << QByteArray() << "cmbURL1" << QStringList();
    }
    void load()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, name);
        QFETCH(QStringList, items);
        setContents(m_history, file);
        m_box.text = "typed";
        m_box.items = QStringList{"stale"};
        loadHistory(m_box, m_history, name);
        QCOMPARE(m_box.items, items);
        QCOMPARE(m_box.text, QStringLiteral("typed"));
        QCOMPARE(contents(m_history), file);
    }

    void commaSplitsAndEqualsCuts()
    {
        save("http://a/,b");
        QCOMPARE(m_box.items, (QStringList{"http://a/", "b"}));
        QCOMPARE(m_box.text, QStringLiteral("http://a/,b"));
        save("http://c/?x=1&y=2");
        QCOMPARE(contents(m_history), QByteArray("cmburl1=http://a/,b,http://c/?x\r\n"));
        QCOMPARE(m_box.items, (QStringList{"http://a/", "b", "http://c/?x"}));
        QCOMPARE(m_box.text, QStringLiteral("http://c/?x=1&y=2"));
    }

    void historyContains_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("line");
        QTest::addColumn<bool>("contained");
        QTest::newRow("exact") << "b" << "n=a,b,c" << true;
        QTest::newRow("case") << "B" << "n=a,b,c" << true;
        QTest::newRow("spaces on both sides") << " b " << "n=a,  B ,c" << true;
        QTest::newRow("tab is not a space") << "\tb" << "n=a,b" << false;
        QTest::newRow("part of an entry") << "b" << "n=ab" << false;
        QTest::newRow("name part is no entry") << "n" << "n=a" << false;
        QTest::newRow("behind a second =") << "c" << "n=a=c" << false;
        QTest::newRow("no =") << "a" << "n a" << false;
    }
    void historyContains()
    {
        QFETCH(QString, text);
        QFETCH(QString, line);
        QFETCH(bool, contained);
        QCOMPARE(basSaveList::historyContains(text, line), contained);
    }

    void trimHistory_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<int>("maximum");
        QTest::addColumn<QString>("trimmed");
        QTest::newRow("under the limit") << "n=a,b" << 5 << "n=a,b";
        QTest::newRow("at the limit") << "n=a,b,c" << 3 << "n=a,b,c";
        QTest::newRow("over: newest kept") << "n=a,b,c,d" << 2 << "n=c,d";
        QTest::newRow("entries unchanged") << " N = a , b " << 1 << " N = b ";
        QTest::newRow("second = dropped") << "n=a,b=c" << 5 << "n=a,b";
        QTest::newRow("zero") << "n=a" << 0 << "n=";
    }
    void trimHistory()
    {
        QFETCH(QString, line);
        QFETCH(int, maximum);
        QFETCH(QString, trimmed);
        QCOMPARE(basSaveList::trimHistory(line, qint16(maximum)), trimmed);
    }

    // A rewrite never goes through another settings file, nor empties the one it replaces, and
    // settings and history never share a file, whatever the executable is called.
    void executableNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("historyFile");
        for (const char *name : {"seriograb", "temp", "history", "History"})
            QTest::newRow(name) << name << (QString(name).toLower() == "history" ? "urlhistory.par" : "history.par");
    }
    void executableNames()
    {
        QFETCH(QString, name);
        QFETCH(QString, historyFile);
        const ProgramPlace place{m_dir->path(), name, QString(), QString()};
        m_history = place.settingsFile(place.historyFileName());
        setContents(place.parameterFile(), "[LASTFILE]\r\n20\r\n[PROXYIP]\r\nh\r\n");
        modPara::writePara(place, "lastFile", "21");
        save("http://a/");
        modPara::writePara(place, "proxyIP", "k");
        save("http://b/");
        QCOMPARE(contents(place.parameterFile()), QByteArray("[LASTFILE]\r\n21\r\n[PROXYIP]\r\nk\r\n"));
        QCOMPARE(contents(m_dir->filePath(historyFile)), QByteArray("cmburl1=http://a/,http://b/\r\n"));
        QCOMPARE(folderEntries().size(), 2);
    }

    // Writes follow one another in the order begun, and each tells its context on that
    // context's own thread once the file holds it.
    void writerKeepsOrderAndTellsItsThread()
    {
        QObject context;
        QList<QByteArray> seen;
        bool otherThread = false;
        {
            HistoryWriter writer;
            for (const char *entry : {"http://a/", "http://b/", "http://c/"}) {
                writer.start(entry, m_history, "cmburl1", 5, &context, [&] {
                    otherThread = otherThread || QThread::currentThread() != context.thread();
                    seen << contents(m_history);
                });
            }
            QCOMPARE(writer.wait(), QString());
        }
        QCOMPARE(contents(m_history), QByteArray("cmburl1=http://a/,http://b/,http://c/\r\n"));
        QTRY_COMPARE(seen.size(), 3);
        QVERIFY(!otherThread);
    }

    void failedSaveLeavesNoScratch_data()
    {
        QTest::addColumn<QString>("historyPath"); // below the temporary folder
        QTest::newRow("folder is a regular file") << "plain/history.par";
        QTest::newRow("folder missing") << "gone/history.par";
        QTest::newRow("history file is a folder") << "history.par";
    }
    void failedSaveLeavesNoScratch()
    {
        QFETCH(QString, historyPath);
        setContents(m_dir->filePath("plain"), "user data");
        QVERIFY(QDir(m_dir->path()).mkpath("history.par/inside"));
        const QStringList before = folderEntries();
        m_history = m_dir->filePath(historyPath);

        m_box.text = "http://typed/";
        m_box.items = QStringList{"kept"};
        QVERIFY_THROWS_EXCEPTION(FileError, saveHistory(m_box, m_history, "cmbURL1", 5));
        QCOMPARE(m_box.text, QStringLiteral("http://typed/"));
        QCOMPARE(folderEntries(), before);
        // Written beside the caller, the failure comes back from wait() instead.
        HistoryWriter writer;
        writer.start("http://typed/", m_history, "cmbURL1", 5, nullptr, nullptr);
        QVERIFY(writer.wait().contains(m_history));
        QCOMPARE(folderEntries(), before);
        QCOMPARE(contents(m_dir->filePath("plain")), QByteArray("user data"));
        QVERIFY(QFileInfo(m_dir->filePath("history.par/inside")).isDir());
    }
};

QTEST_GUILESS_MAIN(TestBasSaveList)
#include "tst_bassavelist.moc"
