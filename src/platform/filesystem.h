#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <stdexcept>

/// folder + "/" + name; with an empty folder the bare name, relative to the working directory,
/// so a file never lands at the file-system root.
QString inFolder(const QString &folder, const QString &name);
/// How a failed file operation reads: what was tried, the quoted path, and why.
QString fileErrorText(const QString &what, const QString &path, const QString &reason);
/// The folder a setting names as a path to use: "." (the working folder) when it names none.
QString folderPath(const QString &folder);
/// The system's words for an errno value.
QString errnoText(int error);
/// Puts everything written to folder's file system on disk (syncfs), on a thread of its own, so
/// the caller does not wait; the program does not end before it is done.
void syncInBackground(const QString &folder);

/// A file-system operation that failed; what() and message() say which file and why.
class FileError : public std::runtime_error
{
public:
    explicit FileError(const QString &message)
        : std::runtime_error(message.toStdString()), m_message(message) {}
    const QString &message() const { return m_message; }

private:
    QString m_message;
};

/// A line-oriented text stream over one open file, in the system locale's encoding (UTF-8).
/// Lines are written with CR LF; reading accepts CR LF and LF alike.
class TextStream
{
public:
    ~TextStream();
    TextStream(const TextStream &) = delete;
    TextStream &operator=(const TextStream &) = delete;

    /// The next line without its line end. Throws FileError past the end.
    QString ReadLine();
    /// Writes text and CR LF. Throws FileError on a failed write.
    void WriteLine(const QString &text);
    bool AtEndOfStream();
    /// Flushes and releases the file. Throws FileError when the flush fails.
    void Close();

private:
    friend class FileSystemObject;
    explicit TextStream(std::unique_ptr<QFile> file);
    std::unique_ptr<QFile> m_file;
    bool m_needsLineEnd = false; // appending after a last line that has no line end
    bool m_endsInCarriageReturn = false; // ... and that last line ends in a bare CR
};

/// The file operations the settings files and downloads rely on. Every failure throws FileError.
class FileSystemObject
{
public:
    enum class IoMode { ForReading = 1, ForWriting = 2, ForAppending = 8 };

    bool FileExists(const QString &path) const;
    /// ForReading (create=false: the file must exist; create=true: an empty one is made if missing),
    /// ForWriting (created or emptied), ForAppending (created when missing; when the last line
    /// has no line end, the first written line starts on a line of its own).
    std::unique_ptr<TextStream> OpenTextFile(const QString &path, IoMode mode, bool create);
    /// Creates the file, or empties it when overwrite is true; with overwrite false an existing
    /// file is an error.
    std::unique_ptr<TextStream> CreateTextFile(const QString &path, bool overwrite);
    void CopyFile(const QString &source, const QString &destination);
    void DeleteFile(const QString &path);
    /// Renames source to destination; destination must not exist.
    void MoveFile(const QString &source, const QString &destination);
    /// Renames source over destination in one atomic step, replacing it.
    void ReplaceFile(const QString &source, const QString &destination);
    /// Rewrites path through its scratch file: `write` fills the scratch file, which then
    /// replaces path in one rename. On any failure path is left as it was and the scratch file
    /// is removed.
    void RewriteTextFile(const QString &path, const std::function<void(TextStream &out)> &write);
    /// The scratch file of a rewrite of path: beside it, so the rename stays on one file system,
    /// and named after it, so it is never the file it replaces nor the scratch file of another.
    static QString scratchFile(const QString &path);
    /// Writes bytes as the whole new content of path: the file ends up holding exactly these
    /// bytes, or is left as it was.
    void WriteBinaryFile(const QString &path, const QByteArray &bytes);
};
