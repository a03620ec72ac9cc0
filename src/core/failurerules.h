#pragma once

#include "platform/inet.h"
#include "platform/partfile.h"

#include <QString>

/// What a failure means for a run: the one place that says which failures end it.
namespace failurerules {

struct Verdict
{
    enum class Kind {
        Number,          // only this number failed
        ServerFailing,   // this number failed for the server's reasons (5xx, time-outs, resets)
        EndsRun,         // no later number could fare better: the run ends now
    };
    Kind kind = Kind::Number;
    QString reason;      // for EndsRun: why, in words a user can act on, for "Downloading Stopped because "
};

/// A transfer that failed. Only a failure of the address asked for (its own first hop, or the
/// proxy every hop goes through) that would hold for every number ends the run; the same
/// failure on a redirect's target is that number's alone.
Verdict ofTransfer(const Inet::Answer &answer);
/// A picture whose file could not be written into folder: the run ends when the folder itself is
/// missing, may not be written or is full; a name of this one file that cannot be had is no such
/// failure.
Verdict ofFile(const PartFile::Failure &failure, const QString &folder);

} // namespace failurerules
