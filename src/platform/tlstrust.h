#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <memory>

class QTemporaryDir;

/// The certificates TLS transfers trust: the system's bundle and the extra CA file of the
/// settings, as one file that libcurl loads into a certificate store once and keeps on the multi
/// handle. prepare() builds that store ahead of the first HTTPS transfer, so a Get does not pay
/// for it.
class TlsTrust
{
public:
    TlsTrust();
    ~TlsTrust();
    TlsTrust(const TlsTrust &) = delete;
    TlsTrust &operator=(const TlsTrust &) = delete;

    /// Makes the trust for this extra CA file ("" for none) the one apply() gives, and, with
    /// mayLoad (no transfer on the multi handle), has libcurl load it now. Nothing is done again
    /// while neither file changed. The result is empty, or why the extra file cannot be used.
    QString prepare(void *multi, const QString &extraCaFile, bool mayLoad);
    /// Sets the certificate options of a transfer; what libcurl returns.
    int apply(void *easy) const;

private:
    struct Source
    {
        QString path;
        qint64 size = -1;
        QDateTime modified;
        bool operator==(const Source &) const = default;
    };
    static Source sourceOf(const QString &path);
    void load(void *multi) const;

    QString m_systemBundle;            // libcurl's own CA file; "" where it has none
    Source m_system;
    Source m_extra;
    bool m_prepared = false;
    QByteArray m_caFile;               // what transfers load; "" for libcurl's defaults
    bool m_cacheable = false;          // a CA file alone, no folder: libcurl keeps its store
    bool m_loaded = false;             // libcurl holds the store of m_caFile
    std::unique_ptr<QTemporaryDir> m_dir;
};
