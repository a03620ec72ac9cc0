#pragma once

#include <QFile>

#include <atomic>
#include <cstddef>

// The sanitizer runtime's hooks into its heap, present only in a sanitized build.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void *, std::size_t),
                                                         void (*)(const volatile void *)) __attribute__((weak));
extern "C" std::size_t __sanitizer_get_allocated_size(const volatile void *) __attribute__((weak));

/// Growth of the process's peak memory from its making on: the kernel's high-water mark (VmHWM),
/// reset to the present size first; under AddressSanitizer, whose shadow and held-back freed
/// memory make the resident size follow earlier code, the heap's count of live bytes.
class PeakGrowth
{
public:
    PeakGrowth()
    {
        QFile reset(QStringLiteral("/proc/self/clear_refs"));
        const bool wasReset = !heapCounted() && reset.open(QIODevice::WriteOnly) && reset.write("5") == 1;
        reset.close();
        s_peak = s_live.load();
        m_start = heapCounted() ? s_live.load() : field("VmRSS:");
        m_valid = heapCounted() || (wasReset && m_start > 0);
    }
    bool valid() const { return m_valid; }
    qint64 bytes() const { return (heapCounted() ? s_peak.load() : field("VmHWM:")) - m_start; }

private:
    static qint64 field(const char *name)
    {
        QFile status(QStringLiteral("/proc/self/status"));
        const QList<QByteArray> lines = status.open(QIODevice::ReadOnly) ? status.readAll().split('\n') : QList<QByteArray>();
        for (const QByteArray &line : lines) {
            if (line.startsWith(name))
                return line.mid(qstrlen(name)).trimmed().split(' ').first().toLongLong() * 1024;
        }
        return -1;
    }
    static void allocated(const volatile void *, std::size_t size)
    {
        const qint64 now = s_live += qint64(size);
        for (qint64 peak = s_peak; now > peak && !s_peak.compare_exchange_weak(peak, now);) {
        }
    }
    static void freed(const volatile void *p) { s_live -= qint64(__sanitizer_get_allocated_size(p)); }
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
