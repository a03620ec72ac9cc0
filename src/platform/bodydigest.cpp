#include "platform/bodydigest.h"

#include <QHash>

void BodyDigest::add(const char *data, qint64 length)
{
    m_length += length;
    while (length > 0) {
        if (m_pending.isEmpty() && length >= blockBytes) {
            m_chain = qHashBits(data, size_t(blockBytes), size_t(m_chain));
            data += blockBytes;
            length -= blockBytes;
            continue;
        }
        const qsizetype take = qMin<qint64>(length, blockBytes - m_pending.size());
        m_pending.append(data, take);
        data += take;
        length -= take;
        if (m_pending.size() == blockBytes) {
            m_chain = qHashBits(m_pending.constData(), size_t(blockBytes), size_t(m_chain));
            m_pending.clear();
        }
    }
}

void BodyDigest::reset()
{
    m_pending.clear();
    m_chain = 0;
    m_length = 0;
}

quint64 BodyDigest::value() const
{
    return qHashBits(m_pending.constData(), size_t(m_pending.size()), size_t(m_chain));
}
