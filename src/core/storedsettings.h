#pragma once

#include "core/settings.h"
#include "platform/programplace.h"

#include <QStringList>

/// Whether a reading makes an empty parameter file where there is none, as the window's
/// start-up does, or leaves the disk as it is.
enum class Missing { Create, LeaveAlone };

/// Reads every setting from the parameter file where the place keeps it, as a start-up does:
/// a value out of range keeps its default, a lastFile of 0 becomes 9999, Multiple Downloads is
/// on. What was found wrong, one clause each; empty when nothing was.
QStringList readSettings(const ProgramPlace &place, Settings &settings, Missing missing = Missing::Create);

/// The proxy password from the desktop's keyring, where the window keeps it, when a proxy user
/// is set; the problem's clause when no keyring answered, empty otherwise.
QString readProxyPassword(Settings &settings);
