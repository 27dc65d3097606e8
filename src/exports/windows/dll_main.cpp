// The module's entry point. Every call does all of its own work, so there is
// nothing to set up at load, tear down at unload, or track per thread.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
