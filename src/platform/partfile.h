#pragma once

#include "platform/bodydigest.h"

#include <QString>
#include <QtGlobal>

/// A downloaded body on its way to its file: a hidden file in the target folder that receives the
/// bytes as they arrive and only takes its final name once it is whole and kept. Whatever ends
/// before that (a failure, a cancel, an answer that is no picture) removes it: the destructor does.
/// While it exists its writer holds a lock on it, so a clean-up by another program (on this
/// machine or another one sharing the folder) never takes a part file that is still in use.
/// Not synced: the rename alone makes the file appear whole.
class PartFile
{
public:
    /// Why an operation failed: the system's words (no file name), and its errno value (0 for
    /// our own reasons).
    struct Failure
    {
        QString text;
        int code = 0;
    };

    PartFile() = default;
    ~PartFile();
    PartFile(PartFile &&other) noexcept;
    PartFile &operator=(PartFile &&other) noexcept;
    PartFile(const PartFile &) = delete;
    PartFile &operator=(const PartFile &) = delete;

    /// A new, empty, locked part file in folder ("" is the working folder). On failure the result
    /// is empty and *failure says why.
    static PartFile create(const QString &folder, Failure *failure);

    bool isValid() const { return !m_path.isEmpty(); }
    QString path() const { return m_path; }
    qint64 size() const { return m_size; }
    /// The digest of the bytes written since the part was made or last restarted.
    const BodyDigest &digest() const { return m_digest; }

    /// Appends bytes; false with *failure when the disk refused them.
    bool write(const char *data, qint64 length, Failure *failure);
    /// Empties the part to receive a body afresh.
    bool restart(Failure *failure);

    enum class Commit { Done, NameTaken, Failed };
    /// Gives the part its final name; an existing file of that name is never touched (NameTaken).
    /// On Done the part is gone; otherwise it stays and *failure says why.
    Commit commitAs(const QString &finalName, Failure *failure);

    /// Removes the part file now.
    void remove();

    /// Removes the part files in folder that nobody is writing any more: those whose lock can be
    /// taken, or, where the file system has no locks, those untouched for a day.
    static void removeStale(const QString &folder);
    /// True for a name that only a part file has.
    static bool isPartName(const QString &fileName);

private:
    PartFile(const QString &path, int fd) : m_path(path), m_fd(fd) {}
    QString m_path;
    int m_fd = -1;
    qint64 m_size = 0;
    BodyDigest m_digest;
};
