#include "platform/partfile.h"

#include "platform/filesystem.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// ".seriograb-<process id>-<counter>.part": hidden, and the process id tells a part file that a
// running program is still writing from one a crash left behind.
const QRegularExpression partName(QStringLiteral("^\\.seriograb-(\\d+)-\\d+\\.part$"));

QString saveError(const QString &path, const QString &reason)
{
    return fileErrorText(QStringLiteral("Cannot save"), path, reason);
}

bool processGone(qint64 pid)
{
    if (pid <= 0 || pid == qint64(::getpid()))
        return false;
    return ::kill(pid_t(pid), 0) == -1 && errno == ESRCH;
}

// The final name without replacing a file of that name; -1 with errno EEXIST when it is taken.
int renameNoReplace(const QByteArray &from, const QByteArray &to)
{
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return -1;
    // A file system without that rename: a hard link fails just as atomically on a taken name.
    if (::link(from.constData(), to.constData()) == 0) {
        ::unlink(from.constData());
        return 0;
    }
    if (errno == EEXIST)
        return -1;
    // Nor links: look, then rename (a name taken in between would be replaced).
    struct stat st;
    if (::lstat(to.constData(), &st) == 0) {
        errno = EEXIST;
        return -1;
    }
    return ::rename(from.constData(), to.constData());
}

} // namespace

PartFile::~PartFile()
{
    remove();
}

PartFile::PartFile(PartFile &&other) noexcept
    : m_path(std::exchange(other.m_path, QString())), m_fd(std::exchange(other.m_fd, -1)),
      m_size(std::exchange(other.m_size, 0))
{
}

PartFile &PartFile::operator=(PartFile &&other) noexcept
{
    if (this != &other) {
        remove();
        m_path = std::exchange(other.m_path, QString());
        m_fd = std::exchange(other.m_fd, -1);
        m_size = std::exchange(other.m_size, 0);
    }
    return *this;
}

PartFile PartFile::create(const QString &folder, QString *error)
{
    static quint64 counter = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        static const qint64 pid = ::getpid();
        const QString path = inFolder(folder, QStringLiteral(".seriograb-%1-%2.part").arg(pid).arg(++counter));
        const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0)
            return PartFile(path, fd);
        if (errno != EEXIST) {
            *error = errnoText(errno);
            return PartFile();
        }
    }
    *error = QStringLiteral("no free name for a part file");
    return PartFile();
}

bool PartFile::write(const char *data, qint64 length, QString *error)
{
    while (length > 0) {
        const ssize_t n = ::write(m_fd, data, size_t(length));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            *error = errnoText(errno);
            return false;
        }
        data += n;
        length -= n;
        m_size += n;
    }
    return true;
}

bool PartFile::close(QString *error)
{
    if (m_fd < 0)
        return true;
    const int fd = std::exchange(m_fd, -1);
    if (::close(fd) != 0 && errno != EINTR) {
        *error = errnoText(errno);
        return false;
    }
    return true;
}

PartFile::Commit PartFile::commitAs(const QString &finalName, bool replace, QString *error)
{
    QString closeError;
    if (!close(&closeError)) {
        *error = saveError(finalName, closeError);
        return Commit::Failed;
    }
    const QFileInfo target(finalName);
    const QByteArray from = QFile::encodeName(m_path);
    const QByteArray to = QFile::encodeName(finalName);
    const int result = replace ? ::rename(from.constData(), to.constData()) : renameNoReplace(from, to);
    if (result == 0) {
        m_path.clear();
        m_size = 0;
        return Commit::Done;
    }
    const int why = errno;
    // A name that is a folder (the address ended in "/" or ".."), is no name to be had.
    if ((why == EEXIST || why == EISDIR) && target.isDir()) {
        *error = saveError(finalName, QStringLiteral("it is a folder"));
        return Commit::Failed;
    }
    if (why == EEXIST && !replace)
        return Commit::NameTaken;
    if (why == EXDEV) {
        // The target folder moved to another file system since the transfer began: copy the
        // bytes into a part file beside the final name, and give that one the name.
        QString reason;
        PartFile near = create(target.path(), &reason);
        QFile source(m_path);
        if (near.isValid() && source.open(QIODevice::ReadOnly)) {
            bool copied = true;
            while (copied && !source.atEnd()) {
                const QByteArray chunk = source.read(1 << 20);
                copied = !chunk.isEmpty() && near.write(chunk.constData(), chunk.size(), &reason);
            }
            if (copied) {
                const Commit done = near.commitAs(finalName, replace, error);
                if (done == Commit::Done)
                    remove();
                return done;
            }
        }
        *error = saveError(finalName, reason.isEmpty() ? source.errorString() : reason);
        return Commit::Failed;
    }
    *error = saveError(finalName, errnoText(why));
    return Commit::Failed;
}

void PartFile::remove()
{
    if (m_fd >= 0)
        ::close(std::exchange(m_fd, -1));
    if (!m_path.isEmpty())
        ::unlink(QFile::encodeName(std::exchange(m_path, QString())).constData());
    m_size = 0;
}

bool PartFile::isPartName(const QString &fileName)
{
    return partName.match(fileName).hasMatch();
}

void PartFile::removeStale(const QString &folder)
{
    const QDir dir(folder.isEmpty() ? QStringLiteral(".") : folder);
    const QStringList names = dir.entryList({QStringLiteral(".seriograb-*.part")},
                                            QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &name : names) {
        const QRegularExpressionMatch m = partName.match(name);
        if (m.hasMatch() && processGone(m.captured(1).toLongLong()))
            ::unlink(QFile::encodeName(dir.filePath(name)).constData());
    }
}
