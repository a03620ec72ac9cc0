#pragma once

#include <QByteArray>
#include <QtGlobal>

/// A 64-bit digest of a body and its length, taken as the bytes pass by, so that two bodies can
/// be told apart without reading either again. The bytes are hashed in fixed blocks, so how the
/// network cut them up does not change the digest. Not cryptographic: equal within one process.
class BodyDigest
{
public:
    void add(const char *data, qint64 length);
    void reset();

    qint64 length() const { return m_length; }
    /// The digest of the bytes added since the last reset.
    quint64 value() const;

private:
    static constexpr qsizetype blockBytes = 8192;
    QByteArray m_pending;   // the start of the next block
    quint64 m_chain = 0;
    qint64 m_length = 0;
};
