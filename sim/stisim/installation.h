#pragma once
// The simulated installation as the simulator's hosts (the native sti.dll in the
// task's process, the WIA service stand-in in its own) serve it: the devices are
// the imaging-device class keys, with per-device values that make a driver fail,
// and every call a simulated object receives goes to one journal file.
#include "sim/stisim/stisim.h"

namespace stisim {

// Forgets the earlier configuration and serves the installation as it is now:
// every class key as a still-image device, and those whose description names a
// WIA driver also as WIA devices under their internal name.
void ServeTheInstallation();

// Appends one line to the journal file: device, call, code, SID text as
// received, and the program whose process received the call.
void AppendToJournal(const JournalEntry& entry);

} // namespace stisim
