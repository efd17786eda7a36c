// Stand-in until the device-change check lands: due once, at the first tick.
#include "discovery/device_change.h"

int CheckDeviceChange()
{
    static int s_bFirst = 1;
    int r = s_bFirst;
    s_bFirst = 0;
    return r;
}
