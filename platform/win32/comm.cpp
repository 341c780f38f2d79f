// The communications functions: each becomes the serial I/O controls Windows
// sends for it, in the same order, with the same buffers. A port driver sees
// exactly the requests it would see under the real API.
#include "nt/serial.h"
#include "win32/state.h"

using namespace vax::win32::internal;

namespace {

static_assert(sizeof(COMMPROP) == 64, "COMMPROP is the 64-byte SERIAL_COMMPROP");
static_assert(sizeof(COMMTIMEOUTS) == sizeof(SERIAL_TIMEOUTS),
              "COMMTIMEOUTS travels as SERIAL_TIMEOUTS");

BOOL Control(HANDLE handle, ULONG code, const void* input = nullptr, ULONG input_length = 0,
             void* output = nullptr, ULONG output_length = 0) {
  return SyncDeviceControl(handle, code, input, input_length, output, output_length, nullptr);
}

// The four settings a DCB is made of, as the port reports them.
struct PortSettings {
  SERIAL_BAUD_RATE baud{};
  SERIAL_LINE_CONTROL line{};
  SERIAL_CHARS chars{};
  SERIAL_HANDFLOW handflow{};
};

BOOL ReadSettings(HANDLE handle, PortSettings* settings) {
  return Control(handle, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &settings->baud,
                 sizeof(settings->baud)) &&
         Control(handle, IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0, &settings->line,
                 sizeof(settings->line)) &&
         Control(handle, IOCTL_SERIAL_GET_CHARS, nullptr, 0, &settings->chars,
                 sizeof(settings->chars)) &&
         Control(handle, IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &settings->handflow,
                 sizeof(settings->handflow));
}

bool Has(ULONG bits, ULONG flag) {
  return (bits & flag) != 0;
}

void FillDcb(const PortSettings& settings, DCB* dcb) {
  *dcb = DCB{};
  dcb->DCBlength = sizeof(DCB);
  dcb->BaudRate = settings.baud.BaudRate;
  dcb->ByteSize = settings.line.WordLength;
  dcb->Parity = settings.line.Parity;
  dcb->StopBits = settings.line.StopBits;
  // Windows ports are always binary; parity checking is on whenever the line
  // carries a parity bit.
  dcb->fBinary = 1;
  dcb->fParity = settings.line.Parity != NO_PARITY;

  const ULONG control = settings.handflow.ControlHandShake;
  dcb->fOutxCtsFlow = Has(control, SERIAL_CTS_HANDSHAKE);
  dcb->fOutxDsrFlow = Has(control, SERIAL_DSR_HANDSHAKE);
  switch (control & SERIAL_DTR_MASK) {
    case SERIAL_DTR_CONTROL:
      dcb->fDtrControl = DTR_CONTROL_ENABLE;
      break;
    case SERIAL_DTR_HANDSHAKE:
      dcb->fDtrControl = DTR_CONTROL_HANDSHAKE;
      break;
    default:
      dcb->fDtrControl = DTR_CONTROL_DISABLE;
      break;
  }
  dcb->fDsrSensitivity = Has(control, SERIAL_DSR_SENSITIVITY);
  dcb->fAbortOnError = Has(control, SERIAL_ERROR_ABORT);

  const ULONG flow = settings.handflow.FlowReplace;
  dcb->fOutX = Has(flow, SERIAL_AUTO_TRANSMIT);
  dcb->fInX = Has(flow, SERIAL_AUTO_RECEIVE);
  dcb->fErrorChar = Has(flow, SERIAL_ERROR_CHAR);
  dcb->fNull = Has(flow, SERIAL_NULL_STRIPPING);
  dcb->fTXContinueOnXoff = Has(flow, SERIAL_XOFF_CONTINUE);
  switch (flow & SERIAL_RTS_MASK) {
    case SERIAL_RTS_CONTROL:
      dcb->fRtsControl = RTS_CONTROL_ENABLE;
      break;
    case SERIAL_RTS_HANDSHAKE:
      dcb->fRtsControl = RTS_CONTROL_HANDSHAKE;
      break;
    case SERIAL_TRANSMIT_TOGGLE:
      dcb->fRtsControl = RTS_CONTROL_TOGGLE;
      break;
    default:
      dcb->fRtsControl = RTS_CONTROL_DISABLE;
      break;
  }
  dcb->XonLim = static_cast<WORD>(settings.handflow.XonLimit);
  dcb->XoffLim = static_cast<WORD>(settings.handflow.XoffLimit);

  dcb->XonChar = static_cast<char>(settings.chars.XonChar);
  dcb->XoffChar = static_cast<char>(settings.chars.XoffChar);
  dcb->ErrorChar = static_cast<char>(settings.chars.ErrorChar);
  dcb->EofChar = static_cast<char>(settings.chars.EofChar);
  dcb->EvtChar = static_cast<char>(settings.chars.EventChar);
}

SERIAL_HANDFLOW HandFlowOf(const DCB& dcb) {
  SERIAL_HANDFLOW handflow{};
  ULONG control = 0;
  if (dcb.fOutxCtsFlow)
    control |= SERIAL_CTS_HANDSHAKE;
  if (dcb.fOutxDsrFlow)
    control |= SERIAL_DSR_HANDSHAKE;
  if (dcb.fDtrControl == DTR_CONTROL_ENABLE)
    control |= SERIAL_DTR_CONTROL;
  if (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE)
    control |= SERIAL_DTR_HANDSHAKE;
  if (dcb.fDsrSensitivity)
    control |= SERIAL_DSR_SENSITIVITY;
  if (dcb.fAbortOnError)
    control |= SERIAL_ERROR_ABORT;
  ULONG flow = 0;
  if (dcb.fOutX)
    flow |= SERIAL_AUTO_TRANSMIT;
  if (dcb.fInX)
    flow |= SERIAL_AUTO_RECEIVE;
  if (dcb.fErrorChar)
    flow |= SERIAL_ERROR_CHAR;
  if (dcb.fNull)
    flow |= SERIAL_NULL_STRIPPING;
  if (dcb.fRtsControl == RTS_CONTROL_ENABLE)
    flow |= SERIAL_RTS_CONTROL;
  if (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE)
    flow |= SERIAL_RTS_HANDSHAKE;
  if (dcb.fRtsControl == RTS_CONTROL_TOGGLE)
    flow |= SERIAL_TRANSMIT_TOGGLE;
  if (dcb.fTXContinueOnXoff)
    flow |= SERIAL_XOFF_CONTINUE;
  handflow.ControlHandShake = control;
  handflow.FlowReplace = flow;
  handflow.XonLimit = dcb.XonLim;
  handflow.XoffLimit = dcb.XoffLim;
  return handflow;
}

struct Escape {
  DWORD function;
  ULONG code;
};

constexpr Escape kEscapes[] = {
    {SETXOFF, IOCTL_SERIAL_SET_XOFF},       {SETXON, IOCTL_SERIAL_SET_XON},
    {SETRTS, IOCTL_SERIAL_SET_RTS},         {CLRRTS, IOCTL_SERIAL_CLR_RTS},
    {SETDTR, IOCTL_SERIAL_SET_DTR},         {CLRDTR, IOCTL_SERIAL_CLR_DTR},
    {RESETDEV, IOCTL_SERIAL_RESET_DEVICE},  {SETBREAK, IOCTL_SERIAL_SET_BREAK_ON},
    {CLRBREAK, IOCTL_SERIAL_SET_BREAK_OFF},
};

struct ErrorBit {
  ULONG serial;
  DWORD comm;
};

constexpr ErrorBit kErrorBits[] = {
    {SERIAL_ERROR_BREAK, CE_BREAK},     {SERIAL_ERROR_FRAMING, CE_FRAME},
    {SERIAL_ERROR_OVERRUN, CE_OVERRUN}, {SERIAL_ERROR_QUEUEOVERRUN, CE_RXOVER},
    {SERIAL_ERROR_PARITY, CE_RXPARITY},
};

}  // namespace

extern "C" {

BOOL WINAPI GetCommProperties(HANDLE hFile, LPCOMMPROP lpCommProp) {
  if (lpCommProp == nullptr)
    return Fail(ERROR_INVALID_PARAMETER);
  // A caller that marks the block initialised may offer room for provider
  // characters beyond the fixed 64 bytes.
  ULONG length = sizeof(COMMPROP);
  if (lpCommProp->dwProvSpec1 == COMMPROP_INITIALIZED && lpCommProp->wPacketLength > length) {
    length = lpCommProp->wPacketLength;
  }
  return Control(hFile, IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, lpCommProp, length);
}

BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB) {
  if (lpDCB == nullptr)
    return Fail(ERROR_INVALID_PARAMETER);
  PortSettings settings;
  if (!ReadSettings(hFile, &settings))
    return FALSE;
  FillDcb(settings, lpDCB);
  return TRUE;
}

BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB) {
  if (lpDCB == nullptr)
    return Fail(ERROR_INVALID_PARAMETER);
  const DCB& dcb = *lpDCB;
  // The current settings come first, as Windows reads them before changing
  // anything. The first request that fails ends the change: what was set
  // before it stays set.
  PortSettings current;
  if (!ReadSettings(hFile, &current))
    return FALSE;

  const SERIAL_BAUD_RATE baud{dcb.BaudRate};
  if (!Control(hFile, IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof(baud)))
    return FALSE;
  if (dcb.fRtsControl == RTS_CONTROL_ENABLE && !Control(hFile, IOCTL_SERIAL_SET_RTS))
    return FALSE;
  if (dcb.fRtsControl == RTS_CONTROL_DISABLE && !Control(hFile, IOCTL_SERIAL_CLR_RTS))
    return FALSE;
  if (dcb.fDtrControl == DTR_CONTROL_ENABLE && !Control(hFile, IOCTL_SERIAL_SET_DTR))
    return FALSE;
  if (dcb.fDtrControl == DTR_CONTROL_DISABLE && !Control(hFile, IOCTL_SERIAL_CLR_DTR))
    return FALSE;
  const SERIAL_LINE_CONTROL line{dcb.StopBits, dcb.Parity, dcb.ByteSize};
  if (!Control(hFile, IOCTL_SERIAL_SET_LINE_CONTROL, &line, sizeof(line)))
    return FALSE;
  const SERIAL_CHARS chars{static_cast<UCHAR>(dcb.EofChar),
                           static_cast<UCHAR>(dcb.ErrorChar),
                           0,
                           static_cast<UCHAR>(dcb.EvtChar),
                           static_cast<UCHAR>(dcb.XonChar),
                           static_cast<UCHAR>(dcb.XoffChar)};
  if (!Control(hFile, IOCTL_SERIAL_SET_CHARS, &chars, sizeof(chars)))
    return FALSE;
  const SERIAL_HANDFLOW handflow = HandFlowOf(dcb);
  return Control(hFile, IOCTL_SERIAL_SET_HANDFLOW, &handflow, sizeof(handflow));
}

BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
  if (lpCommTimeouts == nullptr)
    return Fail(ERROR_INVALID_PARAMETER);
  return Control(hFile, IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, lpCommTimeouts,
                 sizeof(SERIAL_TIMEOUTS));
}

BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
  if (lpCommTimeouts == nullptr)
    return Fail(ERROR_INVALID_PARAMETER);
  return Control(hFile, IOCTL_SERIAL_SET_TIMEOUTS, lpCommTimeouts, sizeof(SERIAL_TIMEOUTS));
}

BOOL WINAPI GetCommMask(HANDLE hFile, LPDWORD lpEvtMask) {
  if (lpEvtMask == nullptr)
    return Fail(ERROR_INVALID_PARAMETER);
  return Control(hFile, IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, lpEvtMask, sizeof(ULONG));
}

BOOL WINAPI SetCommMask(HANDLE hFile, DWORD dwEvtMask) {
  const ULONG mask = dwEvtMask;
  return Control(hFile, IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof(mask));
}

BOOL WINAPI WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped) {
  // A device control like any other: overlapped on an overlapped handle, the
  // events written to lpEvtMask when the wait ends.
  DWORD returned = 0;
  return DeviceIoControl(hFile, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, lpEvtMask, sizeof(ULONG),
                         &returned, lpOverlapped);
}

BOOL WINAPI ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat) {
  SERIAL_STATUS status{};
  if (!Control(hFile, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof(status))) {
    return FALSE;
  }
  if (lpErrors != nullptr) {
    DWORD errors = 0;
    for (const ErrorBit& bit : kErrorBits) {
      if (Has(status.Errors, bit.serial))
        errors |= bit.comm;
    }
    *lpErrors = errors;
  }
  if (lpStat != nullptr) {
    *lpStat = COMSTAT{};
    lpStat->fCtsHold = Has(status.HoldReasons, SERIAL_TX_WAITING_FOR_CTS);
    lpStat->fDsrHold = Has(status.HoldReasons, SERIAL_TX_WAITING_FOR_DSR);
    lpStat->fRlsdHold = Has(status.HoldReasons, SERIAL_TX_WAITING_FOR_DCD);
    lpStat->fXoffHold = Has(status.HoldReasons, SERIAL_TX_WAITING_FOR_XON);
    lpStat->fXoffSent = Has(status.HoldReasons, SERIAL_TX_WAITING_XOFF_SENT);
    lpStat->fEof = status.EofReceived != 0;
    lpStat->fTxim = status.WaitForImmediate != 0;
    lpStat->cbInQue = status.AmountInInQueue;
    lpStat->cbOutQue = status.AmountInOutQueue;
  }
  return TRUE;
}

BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags) {
  const ULONG flags = dwFlags;
  return Control(hFile, IOCTL_SERIAL_PURGE, &flags, sizeof(flags));
}

BOOL WINAPI EscapeCommFunction(HANDLE hFile, DWORD dwFunc) {
  for (const Escape& escape : kEscapes) {
    if (escape.function == dwFunc)
      return Control(hFile, escape.code);
  }
  return Fail(ERROR_INVALID_PARAMETER);
}

BOOL WINAPI GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat) {
  if (lpModemStat == nullptr)
    return Fail(ERROR_INVALID_PARAMETER);
  return Control(hFile, IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, lpModemStat, sizeof(ULONG));
}

BOOL WINAPI TransmitCommChar(HANDLE hFile, char cChar) {
  const UCHAR character = static_cast<UCHAR>(cChar);
  return Control(hFile, IOCTL_SERIAL_IMMEDIATE_CHAR, &character, sizeof(character));
}

BOOL WINAPI SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue) {
  const SERIAL_QUEUE_SIZE sizes{dwInQueue, dwOutQueue};
  return Control(hFile, IOCTL_SERIAL_SET_QUEUE_SIZE, &sizes, sizeof(sizes));
}

BOOL WINAPI SetCommBreak(HANDLE hFile) {
  return Control(hFile, IOCTL_SERIAL_SET_BREAK_ON);
}

BOOL WINAPI ClearCommBreak(HANDLE hFile) {
  return Control(hFile, IOCTL_SERIAL_SET_BREAK_OFF);
}

}  // extern "C"
