// A native sti.dll standing in for the still-image service. Wine loads it in place
// of its own when it lies beside the executable (only ever in the simulator's
// prefix, never beside the shipped program). Its devices are those of the
// simulated installation: the imaging-device class keys, with per-device values
// that make a driver fail. Every request a simulated driver receives is appended
// to a journal file that tests and the demo read.
#include "sim/stisim/installation.h"

extern "C" HRESULT WINAPI StiCreateInstanceW(HINSTANCE hInst, DWORD dwVer, IStillImageW** ppSti, LPUNKNOWN punkOuter)
{
    // Each pass opens the service anew and sees the installation as it is now.
    stisim::ServeTheInstallation();
    return stisim::StiCreateInstanceW(hInst, dwVer, ppSti, punkOuter);
}
