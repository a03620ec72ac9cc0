#include "core/repeats.h"

std::optional<qint32> RepeatedPictures::earlierPass(const BodyDigest &body, qint32 passNumber)
{
    const Key key{body.length(), body.value()};
    if (const auto found = m_seen.constFind(key); found != m_seen.cend())
        return *found;
    m_seen.insert(key, passNumber);
    return std::nullopt;
}
