#include <windows.h>

#include "host/bgtask.h"

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE, LPSTR pszCmdLine, int)
{
    return CBgTask::Run(hInstance, pszCmdLine);
}
