// The start options put into the window as the technician would: controls set and clicked in the
// order a person would, once the window is shown. And the reverse, for saving a profile.
#pragma once

#include "StartOptions.h"

class TBaseform;

// Selects the port and the rate, ticks Treat and Screen, clicks the mode (which opens the port),
// fills in the UDP port and the "To Sock" target, hands the bind address and the allow-list to
// the endpoint, then ticks Activation. What fails shows as it would after the same clicks.
void ApplyStartOptions(TBaseform& AForm, const TStartOptions& AOptions);

// The window's port, rate, mode, Treat, Screen, UDP port and "To Sock" target, as a profile
// holds them (for "Save profile…": WriteStartProfile(StartProfilePath(VaConfigDir(), name), ...)).
TStartOptions CurrentStartOptions(const TBaseform& AForm);

// "Save profile…" in the log's menu: asks for a name and writes the window's current start
// state as that profile; a bad name or a failed write is said in a box.
void AttachProfileSaving(TBaseform& AForm);
