#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

#include <atomic>
#include <cstddef>

// The sanitizer runtime's hooks into its heap, present only in a sanitized build.
extern "C" {
int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void *, std::size_t),
                                              void (*)(const volatile void *)) __attribute__((weak));
std::size_t __sanitizer_get_allocated_size(const volatile void *) __attribute__((weak));
}

/// Growth of the process's peak memory from its making on. Normally the kernel's high-water
/// mark of the resident size (VmHWM), reset to the present size first. In a build with
/// AddressSanitizer the heap's own count of live bytes instead: the resident size there also
/// holds the sanitizer's shadow and the freed memory it keeps back for a while, which rise and
/// fall with what earlier code did.
class PeakGrowth
{
public:
    PeakGrowth()
    {
        if (heapCounted()) {
            m_start = s_live.load();
            s_peak = m_start;
            m_valid = true;
            return;
        }
        QFile reset(QStringLiteral("/proc/self/clear_refs"));
        m_valid = reset.open(QIODevice::WriteOnly) && reset.write("5") == 1;
        reset.close();
        m_start = field("VmRSS:");
        m_valid = m_valid && m_start > 0;
    }
    /// False when the kernel lets the process neither read nor reset its peak.
    bool isValid() const { return m_valid; }
    qint64 bytes() const { return heapCounted() ? s_peak.load() - m_start : field("VmHWM:") - m_start; }

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

    static void allocated(const volatile void *, std::size_t size)
    {
        const qint64 now = s_live += qint64(size);
        qint64 peak = s_peak.load();
        while (now > peak && !s_peak.compare_exchange_weak(peak, now)) {
        }
    }
    static void freed(const volatile void *pointer) { s_live -= qint64(__sanitizer_get_allocated_size(pointer)); }
    static bool heapCounted()
    {
        static const bool hooked = __sanitizer_install_malloc_and_free_hooks && __sanitizer_get_allocated_size
                                   && __sanitizer_install_malloc_and_free_hooks(allocated, freed) != 0;
        return hooked;
    }

    static inline std::atomic<qint64> s_live{0};   // since the hooks went in
    static inline std::atomic<qint64> s_peak{0};
    bool m_valid = false;
    qint64 m_start = 0;
};
