#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

/// Growth of the process's peak resident memory from its making on: the kernel's high-water
/// mark (VmHWM), reset to the present size first, so what was held before does not hide it.
class PeakGrowth
{
public:
    PeakGrowth()
    {
        QFile reset(QStringLiteral("/proc/self/clear_refs"));
        m_reset = reset.open(QIODevice::WriteOnly) && reset.write("5") == 1;
        reset.close();
        m_start = field("VmRSS:");
    }
    /// False when the kernel lets the process neither read nor reset its peak.
    bool isValid() const { return m_reset && m_start > 0; }
    qint64 bytes() const { return field("VmHWM:") - m_start; }

    /// What a process that holds `bytes` grows by: in a build with AddressSanitizer one eighth
    /// more, the sanitizer's shadow of them.
    static constexpr qint64 withShadow(qint64 bytes)
    {
#if defined(__SANITIZE_ADDRESS__)
        return bytes + bytes / 8;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
        return bytes + bytes / 8;
#else
        return bytes;
#endif
#else
        return bytes;
#endif
    }

private:
    static qint64 field(const char *name)
    {
        QFile status(QStringLiteral("/proc/self/status"));
        if (!status.open(QIODevice::ReadOnly))
            return -1;
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith(name))
                return line.mid(qstrlen(name)).trimmed().split(' ').first().toLongLong() * 1024;
        }
        return -1;
    }
    bool m_reset = false;
    qint64 m_start = 0;
};
