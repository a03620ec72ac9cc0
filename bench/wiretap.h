#pragma once

#include <QtGlobal>

/// What this process sent and received on its sockets since arm(), as libcurl does it: the
/// benchmark's child defines send(), recv() and connect() itself, ahead of the C library, and
/// notes the moment of the first request and of the last byte that came in. Times are
/// CLOCK_MONOTONIC nanoseconds, as QElapsedTimer counts them; 0: not yet.
namespace wiretap {

void arm();
qint64 firstSendNs();
qint64 lastReceiveNs();
/// Connections this process opened since arm().
int connections();
/// Bytes received since arm().
qint64 receivedBytes();
qint64 nowNs();

} // namespace wiretap
