#pragma once

#include <QString>
#include <QtGlobal>

/// What the download run needs of the main window.
class RunView
{
public:
    virtual ~RunView() = default;

    virtual QString prefixText() const = 0;   // cmbURL1's edit text
    virtual QString numberText() const = 0;   // txtURL2
    virtual QString suffixText() const = 0;   // txtURL3
    virtual void setNumberText(const QString &text) = 0;

    /// Shows a message in the status line (and in the caption while minimised).
    virtual void addMsg(const QString &message) = 0;
    /// Shows a state of the transfer being handled in the status line alone (not the caption).
    virtual void transferState(const QString &text) = 0;

    /// Records the prefix box's text in the address history and reloads its list. Throws
    /// FileError when the history file cannot be written; a view that writes it beside the run
    /// says so through historyFailure() instead.
    virtual void saveHistory() = 0;
    /// Waits for a history write that saveHistory left going; why it failed, or "".
    virtual QString historyFailure() { return QString(); }

    /// Shows the picture file in the preview, fitted; false when it is no picture the preview can
    /// show (the preview then keeps its previous picture, but is fitted all the same). The
    /// picture may be decoded after the call returns, or not at all when a newer one overtakes
    /// it; a picture found too costly to decode only then says so in the status line. During a
    /// run even the look at the file may wait (for the frame's end): the call then says true.
    virtual bool showPicture(const QString &path) = 0;

    /// The modal rename prompt: message, title, empty default; Cancel gives "".
    virtual QString askNewName(const QString &message, const QString &title) = 0;
    /// Asked after askNewName gave no name: true when the user chose to skip every file that
    /// exists already for the rest of this run.
    virtual bool skipTheRest() { return false; }

    // What the run tells the window besides its messages; a view may ignore any of it.

    /// A run has started (true) or ended (false): the progress shows only in between.
    virtual void runActive(bool active) { Q_UNUSED(active) }
    /// A run begins with this address, saving into this folder (a full path).
    virtual void runStarted(const QString &firstAddress, const QString &folder) { Q_UNUSED(firstAddress) Q_UNUSED(folder) }
    /// A run has ended; report is its end report, as the status line shows it.
    virtual void runEnded(const QString &report) { Q_UNUSED(report) }
    /// Bytes of the transfer of the pass being handled, against its declared length (-1: unknown).
    virtual void transferProgress(qint64 received, qint64 total) { Q_UNUSED(received) Q_UNUSED(total) }
    /// Pictures saved so far in this run.
    virtual void savedCount(int saved) { Q_UNUSED(saved) }
    /// One line for the run log: a pass's number, address and outcome.
    virtual void logPass(const QString &line) { Q_UNUSED(line) }
};
