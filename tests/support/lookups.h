#pragma once

#include <QString>

/// Host-name look-ups as tests need them, without asking any name server: the test program's own
/// getaddrinfo answers two kinds of made-up names itself and hands every other name on.
namespace lookups {

/// A name whose look-up fails at once: "no such host".
QString unknownHost();
/// A name whose look-up hangs until the next releaseHanging() (or 30 s).
QString hangingHost();
/// Lets go of every look-up of the hanging name under way.
void releaseHanging();
/// Look-ups of the hanging name that have begun so far.
int hangingEntered();
/// Look-ups of the hanging name that have returned so far.
int hangingReturned();

} // namespace lookups
