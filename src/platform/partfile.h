#pragma once

#include <QString>
#include <QtGlobal>

/// A downloaded body on its way to its file: a hidden file in the target folder that receives the
/// bytes as they arrive and only takes its final name once it is whole and kept. Whatever ends
/// before that (a failure, a cancel, an answer that is no picture) removes it: the destructor does.
/// Not synced: the rename alone makes the file appear whole.
class PartFile
{
public:
    PartFile() = default;
    ~PartFile();
    PartFile(PartFile &&other) noexcept;
    PartFile &operator=(PartFile &&other) noexcept;
    PartFile(const PartFile &) = delete;
    PartFile &operator=(const PartFile &) = delete;

    /// A new, empty part file in folder ("" is the working folder). On failure the result is
    /// empty and *error says why.
    static PartFile create(const QString &folder, QString *error);

    bool isValid() const { return !m_path.isEmpty(); }
    QString path() const { return m_path; }
    qint64 size() const { return m_size; }

    /// Appends bytes; false with *error when the disk refused them.
    bool write(const char *data, qint64 length, QString *error);
    /// Ends the writing. The part stays until it is committed or removed.
    bool close(QString *error);

    enum class Commit { Done, NameTaken, Failed };
    /// Gives the part its final name. With replace false an existing file of that name is never
    /// touched (NameTaken). On Done the part is gone; otherwise it stays and *error says why.
    Commit commitAs(const QString &finalName, bool replace, QString *error);

    /// Removes the part file now.
    void remove();

    /// Removes the part files in folder that a program which is no longer running left behind.
    static void removeStale(const QString &folder);
    /// True for a name that only a part file has.
    static bool isPartName(const QString &fileName);

private:
    PartFile(const QString &path, int fd) : m_path(path), m_fd(fd) {}
    QString m_path;
    int m_fd = -1;
    qint64 m_size = 0;
};
