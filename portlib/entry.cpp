// The DLL entry routine. The library has no runtime library, so this is the
// image's entry point itself; it only makes sure that a notification window
// never outlives the library or the thread that made it.
#include <windows.h>

#include "notify.h"

extern "C" BOOL WINAPI DLLMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_THREAD_DETACH:
      EndNotificationForThread();
      break;
    case DLL_PROCESS_DETACH:
      // reserved is null for FreeLibrary; at process exit the library stays
      // mapped until the end and user32 must not be called any more.
      if (reserved == nullptr) {
        EndNotificationForUnload();
      }
      break;
    default:
      break;
  }
  return TRUE;
}
