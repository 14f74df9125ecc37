// The library's attach hook: builds the constant digit tables once, before
// any export can be called.
#include "pixels/digits.h"

#if defined(_WIN32) && defined(PXCM_DLL)
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) BuildDigitTables();
    return TRUE;
}
#else
__attribute__((constructor)) static void AttachLibrary() { BuildDigitTables(); }
#endif
