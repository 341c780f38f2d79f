// Identification: a port is Vaxport's when its communications properties carry
// one of the two identification words in dwProvSpec2. The library reaches the
// driver only through the ordinary comm API, as any application would.
#include <windows.h>

#include "qz719pt.h"

namespace {

// The word Vaxport reports, and an older word still accepted.
constexpr DWORD kVaxportWord = 0x515A5623;
constexpr DWORD kCompatibleWord = 0x515A5612;

// The request block the driver fills: 64 bytes, the size of SERIAL_COMMPROP.
static_assert(sizeof(COMMPROP) == 64, "COMMPROP must be the 64-byte system layout");

}  // namespace

extern "C" LONG WINAPI QZ719PtGetVersion(void) {
  return QZ719PT_VERSION;
}

extern "C" BOOL WINAPI QZ719PtHandleIsQZ719(HANDLE Port) {
  if (Port == nullptr || Port == INVALID_HANDLE_VALUE) {
    return FALSE;
  }
  // wPacketLength is valid already (COMMPROP_INITIALIZED says so), and
  // dwProvSpec2 starts at 0 so that a provider that leaves it alone reads as
  // not ours.
  COMMPROP properties = {};
  properties.wPacketLength = sizeof(properties);
  properties.dwProvSpec1 = COMMPROP_INITIALIZED;
  properties.dwProvSpec2 = 0;
  if (!GetCommProperties(Port, &properties)) {
    return FALSE;
  }
  return properties.dwProvSpec2 == kVaxportWord || properties.dwProvSpec2 == kCompatibleWord;
}

extern "C" BOOL WINAPI QZ719PtNameIsQZ719(LPCSTR DeviceName) {
  if (DeviceName == nullptr) {
    return FALSE;
  }
  // An ordinary open: for a Vaxport port it fails while another program holds
  // the port, since the driver admits one open at a time.
  HANDLE port =
      CreateFileA(DeviceName, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (port == INVALID_HANDLE_VALUE) {
    return FALSE;
  }
  const BOOL ours = QZ719PtHandleIsQZ719(port);
  CloseHandle(port);
  return ours ? TRUE : FALSE;
}
