#include "platform/partfile.h"

#include "platform/filesystem.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// ".seriograb-<process id>-<counter>.part": hidden, and unique to its writer.
const QRegularExpression partName(QStringLiteral("^\\.seriograb-(\\d+)-\\d+\\.part$"));

// Part files older than this are taken as left behind where the file system cannot lock.
constexpr qint64 unlockableAgeSeconds = 24 * 3600;

// An open-file-description lock on the whole file: held for as long as this descriptor is open,
// and refused to every other open of the file, in this process or any other, on any machine
// that shares the file system's locks. 0, or the errno value.
int lockWhole(int fd)
{
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    return ::fcntl(fd, F_OFD_SETLK, &lock) == 0 ? 0 : errno;
}

bool lockRefused(int error) { return error == EAGAIN || error == EACCES; }

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
      m_size(std::exchange(other.m_size, 0)), m_digest(std::exchange(other.m_digest, BodyDigest()))
{
}

PartFile &PartFile::operator=(PartFile &&other) noexcept
{
    if (this != &other) {
        remove();
        m_path = std::exchange(other.m_path, QString());
        m_fd = std::exchange(other.m_fd, -1);
        m_size = std::exchange(other.m_size, 0);
        m_digest = std::exchange(other.m_digest, BodyDigest());
    }
    return *this;
}

PartFile PartFile::create(const QString &folder, Failure *failure)
{
    static quint64 counter = 0;
    static const qint64 pid = ::getpid();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QString path = inFolder(folder, QStringLiteral(".seriograb-%1-%2.part").arg(pid).arg(++counter));
        const QByteArray name = QFile::encodeName(path);
        const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            *failure = Failure{errnoText(errno), errno};
            return PartFile();
        }
        // Where locks are not to be had, the file goes unlocked and only its age protects it.
        const int locked = lockWhole(fd);
        struct stat st;
        // A clean-up elsewhere may have taken the new file between its making and its lock.
        if (lockRefused(locked) || (::fstat(fd, &st) == 0 && st.st_nlink == 0)) {
            ::close(fd);
            continue;
        }
        return PartFile(path, fd);
    }
    *failure = Failure{QStringLiteral("no free name for a part file"), 0};
    return PartFile();
}

bool PartFile::write(const char *data, qint64 length, Failure *failure)
{
    while (length > 0) {
        const ssize_t n = ::write(m_fd, data, size_t(length));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            *failure = Failure{errnoText(errno), errno};
            return false;
        }
        m_digest.add(data, n);
        data += n;
        length -= n;
        m_size += n;
    }
    return true;
}

bool PartFile::restart(Failure *failure)
{
    if (::ftruncate(m_fd, 0) != 0 || ::lseek(m_fd, 0, SEEK_SET) != 0) {
        *failure = Failure{errnoText(errno), errno};
        return false;
    }
    m_size = 0;
    m_digest.reset();
    return true;
}

PartFile::Commit PartFile::commitAs(const QString &finalName, Failure *failure)
{
    // A file system that writes late (NFS) reports a failed write when a descriptor closes;
    // closing a duplicate asks it now and keeps the lock, which belongs to the original.
    const int probe = ::dup(m_fd);
    if (probe < 0 || (::close(probe) != 0 && errno != EINTR)) {
        *failure = Failure{errnoText(errno), errno};
        return Commit::Failed;
    }
    const QFileInfo target(finalName);
    const QByteArray from = QFile::encodeName(m_path);
    const QByteArray to = QFile::encodeName(finalName);
    if (renameNoReplace(from, to) == 0) {
        ::close(std::exchange(m_fd, -1));
        m_path.clear();
        m_size = 0;
        return Commit::Done;
    }
    const int why = errno;
    // A name that is a folder (the address ended in "/" or ".."), is no name to be had.
    if ((why == EEXIST || why == EISDIR) && target.isDir()) {
        *failure = Failure{QStringLiteral("it is a folder"), 0};
        return Commit::Failed;
    }
    if (why == EEXIST)
        return Commit::NameTaken;
    if (why == EXDEV) {
        // The target folder moved to another file system since the transfer began: copy the
        // bytes into a part file beside the final name, and give that one the name.
        Failure reason;
        PartFile near = create(target.path(), &reason);
        QFile source(m_path);
        if (near.isValid() && source.open(QIODevice::ReadOnly)) {
            bool copied = true;
            while (copied && !source.atEnd()) {
                const QByteArray chunk = source.read(1 << 20);
                copied = !chunk.isEmpty() && near.write(chunk.constData(), chunk.size(), &reason);
            }
            if (copied) {
                const Commit done = near.commitAs(finalName, failure);
                if (done == Commit::Done)
                    remove();
                return done;
            }
        }
        *failure = reason.text.isEmpty() ? Failure{source.errorString(), 0} : reason;
        return Commit::Failed;
    }
    *failure = Failure{errnoText(why), why};
    return Commit::Failed;
}

void PartFile::remove()
{
    // Unlinked before the descriptor goes, so the lock covers the file to its end.
    if (!m_path.isEmpty())
        ::unlink(QFile::encodeName(std::exchange(m_path, QString())).constData());
    if (m_fd >= 0)
        ::close(std::exchange(m_fd, -1));
    m_size = 0;
}

bool PartFile::isPartName(const QString &fileName)
{
    return partName.match(fileName).hasMatch();
}

void PartFile::removeStale(const QString &folder)
{
    const QDir dir(folderPath(folder));
    const QStringList names = dir.entryList({QStringLiteral(".seriograb-*.part")},
                                            QDir::Files | QDir::Hidden | QDir::System);
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    for (const QString &name : names) {
        if (!isPartName(name))
            continue;
        const QByteArray path = QFile::encodeName(dir.filePath(name));
        // A part file this program may not open for writing is not its to judge.
        const int fd = ::open(path.constData(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd < 0)
            continue;
        struct stat st;
        const int locked = lockWhole(fd);
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
            if (locked == 0 || (!lockRefused(locked) && now - qint64(st.st_mtime) > unlockableAgeSeconds))
                ::unlink(path.constData());
        }
        ::close(fd);
    }
}
