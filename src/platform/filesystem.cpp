#include "platform/filesystem.h"

#include <QFileInfo>
#include <QSaveFile>
#include <QThreadPool>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

QString quoted(const QString &path)
{
    return QLatin1Char('"') + path + QLatin1Char('"');
}

[[noreturn]] void fail(const QString &what, const QString &path, const QString &reason)
{
    throw FileError(fileErrorText(what, path, reason));
}

std::unique_ptr<QFile> openFile(const QString &path, QIODevice::OpenMode mode, const QString &what)
{
    auto file = std::make_unique<QFile>(path);
    // QFile happily "opens" a folder for reading; a folder is never a text file here.
    if (QFileInfo(path).isDir())
        fail(what, path, QStringLiteral("it is a folder"));
    if (!file->open(mode))
        fail(what, path, file->errorString());
    return file;
}

// Lines are UTF-8, but a file edited by hand may hold any bytes. A byte that starts no valid
// UTF-8 sequence becomes the lone surrogate U+DC00 + byte, which no valid text contains, and is
// written back as that byte: a line the program only copies keeps its bytes exactly.
QString decodeLine(const QByteArray &bytes)
{
    QString text;
    text.reserve(bytes.size());
    const auto *p = reinterpret_cast<const uchar *>(bytes.constData());
    const qsizetype n = bytes.size();
    for (qsizetype i = 0; i < n;) {
        const uchar b = p[i];
        if (b < 0x80) {
            text.append(QChar(b));
            ++i;
            continue;
        }
        int length = 0;
        char32_t code = 0;
        char32_t smallest = 0;
        if (b >= 0xC2 && b <= 0xDF) { length = 2; code = b & 0x1F; smallest = 0x80; }
        else if (b >= 0xE0 && b <= 0xEF) { length = 3; code = b & 0x0F; smallest = 0x800; }
        else if (b >= 0xF0 && b <= 0xF4) { length = 4; code = b & 0x07; smallest = 0x10000; }
        bool valid = length > 0 && i + length <= n;
        for (int k = 1; valid && k < length; ++k) {
            if ((p[i + k] & 0xC0) != 0x80)
                valid = false;
            else
                code = (code << 6) | (p[i + k] & 0x3F);
        }
        valid = valid && code >= smallest && code <= 0x10FFFF && !(code >= 0xD800 && code <= 0xDFFF);
        if (!valid) {
            text.append(QChar(char16_t(0xDC00 + b)));
            ++i;
            continue;
        }
        if (code >= 0x10000) {
            text.append(QChar::highSurrogate(code));
            text.append(QChar::lowSurrogate(code));
        } else {
            text.append(QChar(char16_t(code)));
        }
        i += length;
    }
    return text;
}

QByteArray encodeLine(const QString &text)
{
    QByteArray bytes;
    bytes.reserve(text.size());
    qsizetype runStart = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t u = text.at(i).unicode();
        const bool escapedByte = u >= 0xDC80 && u <= 0xDCFF
                && !(i > 0 && text.at(i - 1).isHighSurrogate());
        if (!escapedByte)
            continue;
        bytes += QStringView(text).mid(runStart, i - runStart).toUtf8();
        bytes += char(u - 0xDC00);
        runStart = i + 1;
    }
    bytes += QStringView(text).mid(runStart).toUtf8();
    return bytes;
}

} // namespace

QString inFolder(const QString &folder, const QString &name)
{
    if (folder.isEmpty())
        return name;
    if (folder.endsWith(QLatin1Char('/')))
        return folder + name;
    return folder + QLatin1Char('/') + name;
}

QString fileErrorText(const QString &what, const QString &path, const QString &reason)
{
    return what + QLatin1Char(' ') + quoted(path) + QLatin1String(": ") + reason;
}

QString folderPath(const QString &folder)
{
    return folder.isEmpty() ? QStringLiteral(".") : folder;
}

QString errnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

void syncInBackground(const QString &folder)
{
    const QByteArray path = QFile::encodeName(folderPath(folder));
    QThreadPool::globalInstance()->start([path] {
        const int fd = ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) {
            ::syncfs(fd);
            ::close(fd);
        }
    });
}

TextStream::TextStream(std::unique_ptr<QFile> file)
    : m_file(std::move(file))
{
}

TextStream::~TextStream()
{
    if (m_file)
        m_file->close();
}

QString TextStream::ReadLine()
{
    if (!m_file)
        throw FileError(QStringLiteral("Cannot read: the stream is closed"));
    if (m_file->atEnd())
        fail(QStringLiteral("Cannot read past the end of"), m_file->fileName(),
             QStringLiteral("no line is left"));
    QByteArray line = m_file->readLine();
    if (line.isEmpty() && m_file->error() != QFileDevice::NoError)
        fail(QStringLiteral("Cannot read"), m_file->fileName(), m_file->errorString());
    if (line.endsWith('\n'))
        line.chop(1);
    if (line.endsWith('\r'))
        line.chop(1);
    return decodeLine(line);
}

void TextStream::WriteLine(const QString &text)
{
    if (!m_file)
        throw FileError(QStringLiteral("Cannot write: the stream is closed"));
    QByteArray bytes;
    if (m_needsLineEnd) {
        // Appending to a file whose last line has no line end: finish that line first, so the
        // new text starts a line of its own. A last line ending in a bare CR needs only the LF,
        // or the CR would become part of that line.
        bytes = m_endsInCarriageReturn ? QByteArray("\n") : QByteArray("\r\n");
        m_needsLineEnd = false;
    }
    bytes += encodeLine(text);
    bytes += "\r\n";
    if (m_file->write(bytes) != bytes.size())
        fail(QStringLiteral("Cannot write to"), m_file->fileName(), m_file->errorString());
}

bool TextStream::AtEndOfStream()
{
    if (!m_file)
        return true;
    return !m_file->isReadable() || m_file->atEnd();
}

void TextStream::Close()
{
    if (!m_file)
        return;
    std::unique_ptr<QFile> file = std::move(m_file);
    if (file->isWritable()) {
        // The file may be renamed over a settings file next; its content must be on disk first.
        if (!file->flush())
            fail(QStringLiteral("Cannot write to"), file->fileName(), file->errorString());
        if (::fsync(file->handle()) != 0) {
            const int error = errno;
            if (error != EINVAL && error != EROFS)
                fail(QStringLiteral("Cannot write to"), file->fileName(), errnoText(error));
        }
    }
    file->close();
}

bool FileSystemObject::FileExists(const QString &path) const
{
    return QFileInfo(path).isFile();
}

std::unique_ptr<TextStream> FileSystemObject::OpenTextFile(const QString &path, IoMode mode, bool create)
{
    switch (mode) {
    case IoMode::ForReading: {
        if (create && !QFileInfo::exists(path)) {
            // Append mode creates the file without emptying one that appeared meanwhile.
            openFile(path, QIODevice::WriteOnly | QIODevice::Append,
                     QStringLiteral("Cannot create"))->close();
        }
        return std::unique_ptr<TextStream>(new TextStream(
            openFile(path, QIODevice::ReadOnly, QStringLiteral("Cannot open for reading"))));
    }
    case IoMode::ForWriting:
        return std::unique_ptr<TextStream>(new TextStream(
            openFile(path, QIODevice::WriteOnly | QIODevice::Truncate,
                     QStringLiteral("Cannot open for writing"))));
    case IoMode::ForAppending: {
        bool unfinishedLine = false;
        bool endsInCarriageReturn = false;
        QFile probe(path);
        if (probe.size() > 0 && probe.open(QIODevice::ReadOnly) && probe.seek(probe.size() - 1)) {
            char last = 0;
            unfinishedLine = probe.getChar(&last) && last != '\n';
            endsInCarriageReturn = last == '\r';
        }
        probe.close();
        auto stream = std::unique_ptr<TextStream>(new TextStream(
            openFile(path, QIODevice::WriteOnly | QIODevice::Append,
                     QStringLiteral("Cannot open for appending"))));
        stream->m_needsLineEnd = unfinishedLine;
        stream->m_endsInCarriageReturn = unfinishedLine && endsInCarriageReturn;
        return stream;
    }
    }
    fail(QStringLiteral("Cannot open"), path, QStringLiteral("unknown mode"));
}

std::unique_ptr<TextStream> FileSystemObject::CreateTextFile(const QString &path, bool overwrite)
{
    if (!overwrite && QFileInfo::exists(path))
        fail(QStringLiteral("Cannot create"), path, QStringLiteral("it exists already"));
    const QIODevice::OpenMode mode = overwrite ? QIODevice::WriteOnly | QIODevice::Truncate
                                               : QIODevice::WriteOnly | QIODevice::NewOnly;
    return std::unique_ptr<TextStream>(
        new TextStream(openFile(path, mode, QStringLiteral("Cannot create"))));
}

void FileSystemObject::CopyFile(const QString &source, const QString &destination)
{
    auto in = openFile(source, QIODevice::ReadOnly, QStringLiteral("Cannot open for copying"));
    QSaveFile out(destination);
    if (QFileInfo(destination).isDir())
        fail(QStringLiteral("Cannot copy onto"), destination, QStringLiteral("it is a folder"));
    if (!out.open(QIODevice::WriteOnly))
        fail(QStringLiteral("Cannot copy onto"), destination, out.errorString());
    char buffer[64 * 1024];
    for (;;) {
        const qint64 got = in->read(buffer, sizeof buffer);
        if (got < 0)
            fail(QStringLiteral("Cannot read"), source, in->errorString());
        if (got == 0)
            break;
        if (out.write(buffer, got) != got)
            fail(QStringLiteral("Cannot copy onto"), destination, out.errorString());
    }
    if (!out.commit())
        fail(QStringLiteral("Cannot copy onto"), destination, out.errorString());
}

void FileSystemObject::DeleteFile(const QString &path)
{
    const QFileInfo info(path);
    if (info.isDir())
        fail(QStringLiteral("Cannot delete"), path, QStringLiteral("it is a folder"));
    if (!info.exists() && !info.isSymLink())
        fail(QStringLiteral("Cannot delete"), path, QStringLiteral("no such file"));
    QFile file(path);
    // Removing a name needs no write permission on the file itself, so a read-only file goes too.
    if (!file.remove())
        fail(QStringLiteral("Cannot delete"), path, file.errorString());
}

void FileSystemObject::MoveFile(const QString &source, const QString &destination)
{
    if (QFileInfo::exists(destination) || QFileInfo(destination).isSymLink())
        fail(QStringLiteral("Cannot move") + QLatin1Char(' ') + quoted(source) + QLatin1String(" to"),
             destination, QStringLiteral("it exists already"));
    QFile file(source);
    if (!file.rename(destination))
        fail(QStringLiteral("Cannot move") + QLatin1Char(' ') + quoted(source) + QLatin1String(" to"),
             destination, file.errorString());
}

void FileSystemObject::ReplaceFile(const QString &source, const QString &destination)
{
    if (std::rename(QFile::encodeName(source).constData(),
                    QFile::encodeName(destination).constData()) != 0) {
        const int error = errno;
        fail(QStringLiteral("Cannot rename") + QLatin1Char(' ') + quoted(source) + QLatin1String(" to"),
             destination, errnoText(error));
    }
}

QString FileSystemObject::scratchFile(const QString &path)
{
    return path + QLatin1String(".tmp");
}

void FileSystemObject::RewriteTextFile(const QString &path, const std::function<void(TextStream &out)> &write)
{
    const QString scratch = scratchFile(path);
    bool scratchMade = false;
    try {
        auto out = OpenTextFile(scratch, IoMode::ForWriting, true);
        scratchMade = true;
        write(*out);
        out->Close();
        // One rename: the file is either the old one or the new one, never missing or half.
        ReplaceFile(scratch, path);
    } catch (const FileError &) {
        if (scratchMade)
            QFile::remove(scratch);
        throw;
    }
}

void FileSystemObject::WriteBinaryFile(const QString &path, const QByteArray &bytes)
{
    if (QFileInfo(path).isDir())
        fail(QStringLiteral("Cannot save"), path, QStringLiteral("it is a folder"));
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        fail(QStringLiteral("Cannot save"), path, file.errorString());
    if (file.write(bytes) != bytes.size())
        fail(QStringLiteral("Cannot save"), path, file.errorString());
    if (!file.commit())
        fail(QStringLiteral("Cannot save"), path, file.errorString());
}
