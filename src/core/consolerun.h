#pragma once

#include "core/runview.h"
#include "core/settings.h"
#include "platform/programplace.h"

#include <QElapsedTimer>
#include <QStringList>

#include <optional>

class QSocketNotifier;
class SeriesQueue;

/// What `seriograb --get` was asked to do: the series, and the settings given on the command
/// line, put over those of the parameter file.
struct ConsoleRequest
{
    QStringList addresses;
    std::optional<QString> folder;
    std::optional<QString> header;
    std::optional<qint16> max;
    std::optional<Settings::IfExists> ifExists;
    std::optional<Settings::Keep> keep;
};

/// The series of a request run one after another with no window: the same queue and run as the
/// window's, seen through the terminal. One line a number on standard output, in the Run Log's
/// words, and each series' end report; on a terminal, a progress line on standard error. The
/// settings and history files are read, never written. Ctrl+C stops as Stop does.
class ConsoleRun : public RunView
{
public:
    /// Exit statuses: every series ended by its maximum or its end; one ended for a failure;
    /// the command line cannot be followed; interrupted by Ctrl+C.
    enum Status { Done = 0, Failed = 1, Usage = 2, Interrupted = 130 };

    /// Runs the request under the QCoreApplication that exists; returns the exit status.
    static int exec(const ConsoleRequest &request, const ProgramPlace &place);

    ~ConsoleRun() override;

    // RunView
    QString prefixText() const override { return m_prefix; }
    QString numberText() const override { return m_number; }
    QString suffixText() const override { return m_suffix; }
    void setNumberText(const QString &text) override;
    void addMsg(const QString &message) override;
    void transferState(const QString &text) override { Q_UNUSED(text) }
    void saveHistory() override {}
    bool showPicture(const QString &path) override;
    QString askNewName(const QString &message, const QString &title) override;
    void runActive(bool active) override;
    void runStarted(const QString &firstAddress, const QString &folder) override;
    void runEnded(const QString &report) override;
    void transferProgress(qint64 received, qint64 total) override;
    void savedCount(int saved) override;
    void logPass(const QString &line) override;

private:
    explicit ConsoleRun(const SeriesQueue &queue);
    void line(const QString &text);
    void showProgress();
    void clearProgress();

    const SeriesQueue &m_queue;
    QString m_prefix;
    QString m_number;
    QString m_suffix;
    bool m_active = false;
    bool m_progressShown = false;
    int m_saved = 0;
    qint64 m_received = 0;   // of the transfer being handled
    qint64 m_bytes = 0;      // of the transfers of this series handled before it
    QElapsedTimer m_clock;   // since the series began
    QElapsedTimer m_sinceDrawn;
};
