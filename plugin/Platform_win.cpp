// Windows only: the load notification switches off per-thread attach and detach notifications.
// Elsewhere the library needs no load-time code.
#if defined(_WIN32)
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
    return TRUE;
}
#endif
