#pragma once

#include "platform/bodydigest.h"

#include <QHash>
#include <QtGlobal>

#include <optional>

/// The bodies a run has had so far, each as its length and digest only, so that a site which
/// answers every missing number with the same placeholder picture is seen for what it does.
/// Memory stays small however long the run: a few dozen bytes per answer.
class RepeatedPictures
{
public:
    void clear() { m_seen.clear(); }
    /// The pass whose body was the same as this one; empty for a body not had before, which is
    /// recorded as this pass's.
    std::optional<qint32> earlierPass(const BodyDigest &body, qint32 passNumber);

private:
    struct Key
    {
        qint64 length;
        quint64 digest;
        friend bool operator==(const Key &a, const Key &b) { return a.length == b.length && a.digest == b.digest; }
        friend size_t qHash(const Key &key, size_t seed) { return qHashMulti(seed, key.length, key.digest); }
    };
    QHash<Key, qint32> m_seen;
};
