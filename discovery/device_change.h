#pragma once
// Follows the drivers' "DeviceChange" values: 1 when a discovery pass is due.
#include <windows.h>

#include "common/owners.h"

// Watches the drivers' keys for a value written, and the key above them for a
// driver's key that comes or goes, all on one event; a watch fires once and is
// set again after each change.
class DeviceChangeWatch {
public:
    // True when something may have changed since the last call: at the first
    // call, after a change, and on every call while a key cannot be watched.
    // The watches are set again before the answer, so that a change made while
    // the values are read is seen by the next call.
    bool TakeChange();

private:
    bool Arm();

    bgt::UniqueHandle m_hChanged;
    bgt::UniqueHKey m_hTwain;
    bgt::UniqueHKey m_hWia;
    bgt::UniqueHKey m_hAbove;
    bool m_bArmed = false;
};

// Reads and resets the values only when the watch answers that something may
// have changed; otherwise answers 0 without opening a key.
int CheckDeviceChange(DeviceChangeWatch& watch);
