// The Win32 subset's files and comm API against a recording serial port: a
// tiny driver whose device (\Device\Win32Rec<n>, linked from \DosDevices\COMn)
// logs every request it gets and answers like a minimal serial port. Tests act
// as applications do: open the port by its COM name, read and write, use the
// comm functions, and check what reached the driver.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <algorithm>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <dbt.h>
#include <windows.h>

#include "kernel/internal.h"
#include "kernel/io.h"
#include "kernel/pnp.h"
#include "kernel/rootbus.h"
#include "nt/serial.h"
#include "win32/subsystem.h"
#include "world/world.h"

namespace {

using vax::sim::kTicksPerMs;

vax::WorldOptions QuietWorld() {
  vax::WorldOptions options;
  options.announce = false;
  return options;
}

std::string Hex(ULONG value) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%X", value);
  return text;
}

const char* ControlName(ULONG code) {
  struct Name {
    ULONG code;
    const char* name;
  };
#define SERIAL_NAME(name) \
  { IOCTL_SERIAL_##name, #name }
  static const Name kNames[] = {
      SERIAL_NAME(SET_BAUD_RATE),  SERIAL_NAME(SET_QUEUE_SIZE),  SERIAL_NAME(SET_LINE_CONTROL),
      SERIAL_NAME(SET_BREAK_ON),   SERIAL_NAME(SET_BREAK_OFF),   SERIAL_NAME(IMMEDIATE_CHAR),
      SERIAL_NAME(SET_TIMEOUTS),   SERIAL_NAME(GET_TIMEOUTS),    SERIAL_NAME(SET_DTR),
      SERIAL_NAME(CLR_DTR),        SERIAL_NAME(RESET_DEVICE),    SERIAL_NAME(SET_RTS),
      SERIAL_NAME(CLR_RTS),        SERIAL_NAME(SET_XOFF),        SERIAL_NAME(SET_XON),
      SERIAL_NAME(GET_WAIT_MASK),  SERIAL_NAME(SET_WAIT_MASK),   SERIAL_NAME(WAIT_ON_MASK),
      SERIAL_NAME(PURGE),          SERIAL_NAME(GET_BAUD_RATE),   SERIAL_NAME(GET_LINE_CONTROL),
      SERIAL_NAME(GET_CHARS),      SERIAL_NAME(SET_CHARS),       SERIAL_NAME(GET_HANDFLOW),
      SERIAL_NAME(SET_HANDFLOW),   SERIAL_NAME(GET_MODEMSTATUS), SERIAL_NAME(GET_COMMSTATUS),
      SERIAL_NAME(GET_PROPERTIES), SERIAL_NAME(GET_DTRRTS),
  };
#undef SERIAL_NAME
  for (const Name& name : kNames) {
    if (name.code == code)
      return name.name;
  }
  return "UNKNOWN_CONTROL";
}

// A serial port driver reduced to what the Win32 side can observe: it keeps
// the settings it is given and reports them back, parks reads until data is
// fed and event waits until events are signalled (both cancellable), and logs
// every request in order, with the values the setting controls carried.
class RecordingPort {
 public:
  RecordingPort(PDRIVER_OBJECT driver, int number, const char16_t* com_name) {
    const std::u16string device_name = u"\\Device\\Win32Rec" + std::u16string(1, u'0' + number);
    vax::kernel::UnicodeString name(device_name);
    EXPECT_EQ(STATUS_SUCCESS, IoCreateDevice(driver, sizeof(RecordingPort*), name,
                                             FILE_DEVICE_SERIAL_PORT, 0, TRUE, &device_));
    *static_cast<RecordingPort**>(device_->DeviceExtension) = this;
    device_->Flags |= DO_BUFFERED_IO;
    device_->Flags &= ~ULONG{DO_DEVICE_INITIALIZING};
    vax::kernel::UnicodeString link(u"\\DosDevices\\" + std::u16string(com_name));
    EXPECT_EQ(STATUS_SUCCESS, IoCreateSymbolicLink(link, name));
  }

  static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    return (*static_cast<RecordingPort**>(device->DeviceExtension))->Handle(irp);
  }

  PDEVICE_OBJECT device() const { return device_; }

  // Everything logged since the last call.
  std::vector<std::string> TakeLog() {
    std::vector<std::string> log;
    log.swap(log_);
    return log;
  }

  // Completes the oldest parked read with what it asks for of `data`.
  void Feed(const std::string& data, NTSTATUS status = STATUS_SUCCESS) {
    PIRP irp = Dequeue(&reads_);
    ASSERT_NE(nullptr, irp);
    const ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    const ULONG count = std::min<ULONG>(length, static_cast<ULONG>(data.size()));
    std::memcpy(irp->AssociatedIrp.SystemBuffer, data.data(), count);
    Complete(irp, status, count);
  }

  // Completes the parked event wait with `events`.
  void Signal(ULONG events) {
    PIRP irp = Dequeue(&waits_);
    ASSERT_NE(nullptr, irp);
    *static_cast<ULONG*>(irp->AssociatedIrp.SystemBuffer) = events;
    Complete(irp, STATUS_SUCCESS, sizeof(ULONG));
  }

  size_t parked_reads() const { return reads_.size(); }

  // What the port answers and how it fails; a test sets them as it needs.
  SERIAL_BAUD_RATE baud{9600};
  SERIAL_LINE_CONTROL line{STOP_BIT_1, NO_PARITY, 8};
  SERIAL_CHARS chars{0x1A, 0, 0, 0, 0x11, 0x13};
  SERIAL_HANDFLOW handflow{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 2048, 512};
  SERIAL_TIMEOUTS timeouts{};
  ULONG wait_mask = 0;
  ULONG modem_status = SERIAL_CTS_STATE | SERIAL_DSR_STATE;
  SERIAL_STATUS comm_status{};
  ULONG prov_spec2 = 0x515A5623;
  NTSTATUS create_status = STATUS_SUCCESS;
  NTSTATUS answer_status = STATUS_SUCCESS;  // of the controls that return data
  ULONG failing_control = 0;                // this control completes with failing_status
  NTSTATUS failing_status = STATUS_SUCCESS;
  bool cancel_on_cleanup = true;  // cleanup ends the parked reads and wait
  std::string written;

 private:
  static void NTAPI CancelParked(PDEVICE_OBJECT device, PIRP irp) {
    RecordingPort* port = *static_cast<RecordingPort**>(device->DeviceExtension);
    std::erase(port->reads_, irp);
    std::erase(port->waits_, irp);
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Complete(irp, STATUS_CANCELLED, 0);
  }

  static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }

  NTSTATUS Park(std::deque<PIRP>* queue, PIRP irp) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (irp->Cancel) {
      IoReleaseCancelSpinLock(irql);
      return Complete(irp, STATUS_CANCELLED, 0);
    }
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, CancelParked);
    queue->push_back(irp);
    IoReleaseCancelSpinLock(irql);
    return STATUS_PENDING;
  }

  // The oldest parked request of `queue` whose cancel routine has not run.
  PIRP Dequeue(std::deque<PIRP>* queue) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    while (!queue->empty()) {
      PIRP irp = queue->front();
      queue->pop_front();
      if (IoSetCancelRoutine(irp, nullptr) != nullptr) {
        IoReleaseCancelSpinLock(irql);
        return irp;
      }
    }
    IoReleaseCancelSpinLock(irql);
    return nullptr;
  }

  template <typename T>
  NTSTATUS Answer(PIRP irp, const T& value) {
    if (IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength <
        sizeof(T)) {
      return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
    }
    std::memcpy(irp->AssociatedIrp.SystemBuffer, &value, sizeof(T));
    return Complete(irp, answer_status, sizeof(T));
  }

  template <typename T>
  T Input(PIRP irp) {
    T value{};
    std::memcpy(&value, irp->AssociatedIrp.SystemBuffer, sizeof(T));
    return value;
  }

  NTSTATUS Control(PIRP irp) {
    const auto& parameters = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl;
    const ULONG code = parameters.IoControlCode;
    std::string entry = ControlName(code);
    switch (code) {
      case IOCTL_SERIAL_SET_BAUD_RATE:
        baud = Input<SERIAL_BAUD_RATE>(irp);
        entry += " " + std::to_string(baud.BaudRate);
        break;
      case IOCTL_SERIAL_SET_LINE_CONTROL:
        line = Input<SERIAL_LINE_CONTROL>(irp);
        entry += " stop=" + std::to_string(line.StopBits) +
                 " parity=" + std::to_string(line.Parity) +
                 " bits=" + std::to_string(line.WordLength);
        break;
      case IOCTL_SERIAL_SET_CHARS:
        chars = Input<SERIAL_CHARS>(irp);
        entry += " eof=" + Hex(chars.EofChar) + " error=" + Hex(chars.ErrorChar) +
                 " break=" + Hex(chars.BreakChar) + " event=" + Hex(chars.EventChar) +
                 " xon=" + Hex(chars.XonChar) + " xoff=" + Hex(chars.XoffChar);
        break;
      case IOCTL_SERIAL_SET_HANDFLOW:
        handflow = Input<SERIAL_HANDFLOW>(irp);
        entry += " control=" + Hex(handflow.ControlHandShake) +
                 " flow=" + Hex(handflow.FlowReplace) +
                 " xon=" + std::to_string(handflow.XonLimit) +
                 " xoff=" + std::to_string(handflow.XoffLimit);
        break;
      case IOCTL_SERIAL_SET_TIMEOUTS:
        timeouts = Input<SERIAL_TIMEOUTS>(irp);
        entry += " " + std::to_string(timeouts.ReadIntervalTimeout) + "/" +
                 std::to_string(timeouts.ReadTotalTimeoutMultiplier) + "/" +
                 std::to_string(timeouts.ReadTotalTimeoutConstant) + "/" +
                 std::to_string(timeouts.WriteTotalTimeoutMultiplier) + "/" +
                 std::to_string(timeouts.WriteTotalTimeoutConstant);
        break;
      case IOCTL_SERIAL_SET_QUEUE_SIZE: {
        const auto sizes = Input<SERIAL_QUEUE_SIZE>(irp);
        entry += " " + std::to_string(sizes.InSize) + "/" + std::to_string(sizes.OutSize);
        break;
      }
      case IOCTL_SERIAL_SET_WAIT_MASK:
        wait_mask = Input<ULONG>(irp);
        entry += " " + Hex(wait_mask);
        break;
      case IOCTL_SERIAL_PURGE:
        entry += " " + Hex(Input<ULONG>(irp));
        break;
      case IOCTL_SERIAL_IMMEDIATE_CHAR:
        entry += " " + Hex(Input<UCHAR>(irp));
        break;
      case IOCTL_SERIAL_GET_PROPERTIES:
        entry += " out=" + std::to_string(parameters.OutputBufferLength);
        break;
      default:
        break;
    }
    log_.push_back(entry);
    if (code == failing_control)
      return Complete(irp, failing_status, 0);
    switch (code) {
      case IOCTL_SERIAL_GET_BAUD_RATE:
        return Answer(irp, baud);
      case IOCTL_SERIAL_GET_LINE_CONTROL:
        return Answer(irp, line);
      case IOCTL_SERIAL_GET_CHARS:
        return Answer(irp, chars);
      case IOCTL_SERIAL_GET_HANDFLOW:
        return Answer(irp, handflow);
      case IOCTL_SERIAL_GET_TIMEOUTS:
        return Answer(irp, timeouts);
      case IOCTL_SERIAL_GET_WAIT_MASK:
        return Answer(irp, wait_mask);
      case IOCTL_SERIAL_GET_MODEMSTATUS:
        return Answer(irp, modem_status);
      case IOCTL_SERIAL_GET_COMMSTATUS:
        return Answer(irp, comm_status);
      case IOCTL_SERIAL_GET_PROPERTIES: {
        SERIAL_COMMPROP properties{};
        properties.PacketLength = sizeof(COMMPROP);
        properties.PacketVersion = 2;
        properties.ProvSpec2 = prov_spec2;
        return Answer(irp, properties);
      }
      case IOCTL_SERIAL_WAIT_ON_MASK:
        if (parameters.OutputBufferLength < sizeof(ULONG)) {
          return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        }
        return Park(&waits_, irp);
      default:
        return Complete(irp, STATUS_SUCCESS, 0);
    }
  }

  NTSTATUS Handle(PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    switch (location->MajorFunction) {
      case IRP_MJ_CREATE:
        log_.push_back("CREATE");
        return Complete(irp, create_status, 0);
      case IRP_MJ_CLEANUP:
        log_.push_back("CLEANUP");
        if (cancel_on_cleanup) {
          for (std::deque<PIRP>* queue : {&reads_, &waits_}) {
            while (PIRP parked = Dequeue(queue))
              Complete(parked, STATUS_CANCELLED, 0);
          }
        }
        return Complete(irp, STATUS_SUCCESS, 0);
      case IRP_MJ_CLOSE:
        log_.push_back("CLOSE");
        return Complete(irp, STATUS_SUCCESS, 0);
      case IRP_MJ_FLUSH_BUFFERS:
        log_.push_back("FLUSH_BUFFERS");
        return Complete(irp, STATUS_SUCCESS, 0);
      case IRP_MJ_READ:
        log_.push_back("READ " + std::to_string(location->Parameters.Read.Length));
        return Park(&reads_, irp);
      case IRP_MJ_WRITE: {
        const ULONG length = location->Parameters.Write.Length;
        log_.push_back("WRITE " + std::to_string(length));
        written.append(static_cast<const char*>(irp->AssociatedIrp.SystemBuffer), length);
        return Complete(irp, STATUS_SUCCESS, length);
      }
      case IRP_MJ_DEVICE_CONTROL:
        return Control(irp);
      default:
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
  }

  PDEVICE_OBJECT device_ = nullptr;
  std::vector<std::string> log_;
  std::deque<PIRP> reads_;  // parked; cancel spin lock
  std::deque<PIRP> waits_;  // parked WAIT_ON_MASK; cancel spin lock
};

// Runs `body` as an application thread (CreateThread).
HANDLE StartThread(std::function<DWORD()> body) {
  auto* owned = new std::function<DWORD()>(std::move(body));
  return CreateThread(
      nullptr, 0,
      [](LPVOID parameter) -> DWORD {
        std::unique_ptr<std::function<DWORD()>> run(
            static_cast<std::function<DWORD()>*>(parameter));
        return (*run)();
      },
      owned, 0, nullptr);
}

class Win32Io : public ::testing::Test {
 protected:
  Win32Io() : world_(QuietWorld()) {}

  static PDRIVER_OBJECT RecordingDriver() {
    PDRIVER_OBJECT driver = vax::kernel::CreateDriverObject(u"Win32Rec");
    for (PDRIVER_DISPATCH& dispatch : driver->MajorFunction)
      dispatch = RecordingPort::Dispatch;
    return driver;
  }

  RecordingPort& AddPort(const char16_t* com_name) {
    ports_.push_back(
        std::make_unique<RecordingPort>(driver_, static_cast<int>(ports_.size()), com_name));
    return *ports_.back();
  }

  // Opens COM5 as applications do and forgets the CREATE.
  HANDLE Open(DWORD flags = 0) {
    HANDLE port = CreateFileA("COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              flags, nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, port);
    com5_.TakeLog();
    return port;
  }

  vax::sim::Ticks Now() const { return vax::sim::Now(); }

  vax::World world_;
  PDRIVER_OBJECT driver_ = RecordingDriver();
  std::vector<std::unique_ptr<RecordingPort>> ports_;
  RecordingPort& com5_ = AddPort(u"COM5");
};

using Log = std::vector<std::string>;

// ---------------------------------------------------------------------------
// Names, opens and closes

TEST_F(Win32Io, NamesReachThePortThroughItsDosDevicesLink) {
  AddPort(u"COM12");
  struct Case {
    const char* name;
    DWORD error;  // 0: opens
  };
  const Case cases[] = {
      {"COM5", 0},
      {"com5", 0},
      {"COM5:", 0},
      {"\\\\.\\COM5", 0},
      {"\\\\.\\com5", 0},
      {"\\\\.\\COM12", 0},
      // Only COM1-COM9 are reserved device names; others need \\.\ .
      {"COM12", ERROR_FILE_NOT_FOUND},
      {"COM6", ERROR_FILE_NOT_FOUND},
      {"\\\\.\\COM6", ERROR_FILE_NOT_FOUND},
      {"C:\\COM5", ERROR_FILE_NOT_FOUND},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HANDLE port = CreateFileA(c.name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (c.error != 0) {
      EXPECT_EQ(INVALID_HANDLE_VALUE, port);
      EXPECT_EQ(c.error, GetLastError());
      continue;
    }
    ASSERT_NE(INVALID_HANDLE_VALUE, port);
    EXPECT_TRUE(CloseHandle(port));
  }
  HANDLE wide = CreateFileW(L"\\\\.\\COM5", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, wide);
  EXPECT_TRUE(CloseHandle(wide));
  EXPECT_EQ((Log{"CREATE", "CLEANUP", "CLOSE", "CREATE", "CLEANUP", "CLOSE", "CREATE", "CLEANUP",
                 "CLOSE", "CREATE", "CLEANUP", "CLOSE", "CREATE", "CLEANUP", "CLOSE", "CREATE",
                 "CLEANUP", "CLOSE"}),
            com5_.TakeLog());
  EXPECT_EQ((Log{"CREATE", "CLEANUP", "CLOSE"}), ports_[1]->TakeLog());
}

TEST_F(Win32Io, ExclusivePortRefusesASecondOpenUntilTheFirstIsClosed) {
  HANDLE first = Open();
  EXPECT_EQ(INVALID_HANDLE_VALUE,
            CreateFileA("\\\\.\\COM5", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  EXPECT_EQ(ERROR_ACCESS_DENIED, GetLastError());
  EXPECT_EQ(1, vax::win32::OpenFileCount(com5_.device()));
  EXPECT_TRUE(CloseHandle(first));
  EXPECT_EQ(0, vax::win32::OpenFileCount(com5_.device()));
  HANDLE second = Open();
  EXPECT_TRUE(CloseHandle(second));
  // The refused open never reached the driver.
  EXPECT_EQ((Log{"CLEANUP", "CLOSE"}), com5_.TakeLog());
}

TEST_F(Win32Io, RefusedCreateLeavesNoHandleAndMapsItsStatus) {
  com5_.create_status = STATUS_DEVICE_NOT_CONNECTED;
  EXPECT_EQ(INVALID_HANDLE_VALUE,
            CreateFileA("COM5", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  EXPECT_EQ(ERROR_DEVICE_NOT_CONNECTED, GetLastError());
  EXPECT_EQ(0, vax::win32::OpenFileCount(com5_.device()));
  com5_.create_status = STATUS_SUCCESS;
  CloseHandle(Open());
}

TEST_F(Win32Io, HandlesOfOtherKindsAreRefused) {
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DCB dcb{};
  EXPECT_FALSE(GetCommState(event, &dcb));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
  char byte;
  DWORD read;
  EXPECT_FALSE(ReadFile(nullptr, &byte, 1, &read, nullptr));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
  EXPECT_TRUE(CloseHandle(event));
  EXPECT_FALSE(CloseHandle(event));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
}

// ---------------------------------------------------------------------------
// Statuses and errors

TEST_F(Win32Io, FailedRequestsReportTheWin32ErrorOfTheirStatus) {
  struct Case {
    NTSTATUS status;
    DWORD error;
  };
  const Case cases[] = {
      {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
      {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
      {STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
      {STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
      {STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED},
      {STATUS_DEVICE_NOT_CONNECTED, ERROR_DEVICE_NOT_CONNECTED},
      {STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
      {STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
      {static_cast<NTSTATUS>(0xC0FFEE01), ERROR_MR_MID_NOT_FOUND},
  };
  HANDLE port = Open();
  com5_.failing_control = IOCTL_SERIAL_SET_BREAK_ON;
  for (const Case& c : cases) {
    SCOPED_TRACE(Hex(static_cast<ULONG>(c.status)));
    com5_.failing_status = c.status;
    SetLastError(0);
    EXPECT_FALSE(SetCommBreak(port));
    EXPECT_EQ(c.error, GetLastError());
    EXPECT_EQ(c.error, vax::win32::DosErrorFromStatus(c.status));
  }
  CloseHandle(port);
}

// A warning fails the call but, unlike an error, delivers what came back.
TEST_F(Win32Io, WarningStatusFailsTheCallYetDeliversTheData) {
  HANDLE port = Open();
  com5_.answer_status = STATUS_BUFFER_OVERFLOW;
  DWORD status = 0;
  DWORD returned = 0;
  EXPECT_FALSE(DeviceIoControl(port, IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &status,
                               sizeof(status), &returned, nullptr));
  EXPECT_EQ(ERROR_MORE_DATA, GetLastError());
  EXPECT_EQ(sizeof(status), returned);
  EXPECT_EQ(MS_CTS_ON | MS_DSR_ON, status);
  EXPECT_FALSE(GetCommModemStatus(port, &status));
  EXPECT_EQ(ERROR_MORE_DATA, GetLastError());
  CloseHandle(port);
}

TEST_F(Win32Io, ReadEndingInSerialTimeoutSucceedsWithWhatArrived) {
  HANDLE port = Open();
  char buffer[8] = {};
  DWORD read = 99;
  HANDLE reader = StartThread([&] { return ReadFile(port, buffer, 8, &read, nullptr) ? 1u : 0u; });
  Sleep(5);
  com5_.Feed("abc", STATUS_TIMEOUT);
  WaitForSingleObject(reader, INFINITE);
  DWORD ok = 0;
  GetExitCodeThread(reader, &ok);
  EXPECT_EQ(1u, ok);
  EXPECT_EQ(3u, read);
  EXPECT_EQ("abc", std::string(buffer));
  CloseHandle(reader);
  CloseHandle(port);
}

// ---------------------------------------------------------------------------
// Synchronous and overlapped I/O

TEST_F(Win32Io, SynchronousReadWaitsInVirtualTimeForItsData) {
  HANDLE port = Open();
  const vax::sim::Ticks start = Now();
  HANDLE feeder = StartThread([&] {
    Sleep(40);
    com5_.Feed("hello");
    return 0u;
  });
  char buffer[5];
  DWORD read = 0;
  ASSERT_TRUE(ReadFile(port, buffer, sizeof(buffer), &read, nullptr));
  EXPECT_EQ(5u, read);
  EXPECT_EQ("hello", std::string(buffer, read));
  EXPECT_EQ(40 * kTicksPerMs, Now() - start);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(port, "out", 3, &written, nullptr));
  EXPECT_EQ(3u, written);
  EXPECT_TRUE(FlushFileBuffers(port));
  EXPECT_EQ("out", com5_.written);
  EXPECT_EQ((Log{"READ 5", "WRITE 3", "FLUSH_BUFFERS"}), com5_.TakeLog());
  WaitForSingleObject(feeder, INFINITE);
  CloseHandle(feeder);
  CloseHandle(port);
}

// On a synchronous handle the I/O manager runs one request at a time: a
// control issued while another thread's read is parked waits for that read.
TEST_F(Win32Io, SynchronousHandleSerialisesRequestsOfTwoThreads) {
  HANDLE port = Open();
  char buffer[1];
  DWORD read = 0;
  HANDLE reader = StartThread([&] { return ReadFile(port, buffer, 1, &read, nullptr) ? 1u : 0u; });
  Sleep(1);
  DWORD status = 0;
  vax::sim::Ticks answered = 0;
  HANDLE asker = StartThread([&] {
    const BOOL ok = GetCommModemStatus(port, &status);
    answered = vax::sim::Now();
    return ok ? 1u : 0u;
  });
  Sleep(20);
  EXPECT_EQ(0, answered);
  EXPECT_EQ((Log{"READ 1"}), com5_.TakeLog());
  com5_.Feed("x");
  HANDLE both[] = {reader, asker};
  EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, both, TRUE, INFINITE));
  EXPECT_EQ((Log{"GET_MODEMSTATUS"}), com5_.TakeLog());
  EXPECT_EQ(MS_CTS_ON | MS_DSR_ON, status);
  CloseHandle(reader);
  CloseHandle(asker);
  CloseHandle(port);
}

TEST_F(Win32Io, OverlappedReadCompletesThroughItsEventAndOverlapped) {
  HANDLE port = Open(FILE_FLAG_OVERLAPPED);
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);  // cleared by the read
  char buffer[4] = {};
  DWORD read = 7;
  EXPECT_FALSE(ReadFile(port, buffer, 4, &read, &overlapped));
  EXPECT_EQ(ERROR_IO_PENDING, GetLastError());
  EXPECT_EQ(0u, read);
  EXPECT_FALSE(HasOverlappedIoCompleted(&overlapped));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(overlapped.hEvent, 0));
  EXPECT_FALSE(GetOverlappedResult(port, &overlapped, &read, FALSE));
  EXPECT_EQ(ERROR_IO_INCOMPLETE, GetLastError());

  com5_.Feed("data");
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(overlapped.hEvent, 0));
  EXPECT_TRUE(HasOverlappedIoCompleted(&overlapped));
  ASSERT_TRUE(GetOverlappedResult(port, &overlapped, &read, FALSE));
  EXPECT_EQ(4u, read);
  EXPECT_EQ("data", std::string(buffer, 4));
  CloseHandle(overlapped.hEvent);
  CloseHandle(port);
}

TEST_F(Win32Io, OverlappedRequestWithoutEventSignalsTheFileHandle) {
  HANDLE port = Open(FILE_FLAG_OVERLAPPED);
  OVERLAPPED overlapped{};
  char buffer[2];
  EXPECT_FALSE(ReadFile(port, buffer, 2, nullptr, &overlapped));
  EXPECT_EQ(ERROR_IO_PENDING, GetLastError());
  HANDLE feeder = StartThread([&] {
    Sleep(15);
    com5_.Feed("ok");
    return 0u;
  });
  const vax::sim::Ticks start = Now();
  DWORD read = 0;
  ASSERT_TRUE(GetOverlappedResult(port, &overlapped, &read, TRUE));
  EXPECT_EQ(15 * kTicksPerMs, Now() - start);
  EXPECT_EQ(2u, read);
  WaitForSingleObject(feeder, INFINITE);
  CloseHandle(feeder);
  CloseHandle(port);
}

TEST_F(Win32Io, CancelIoEndsOnlyTheCallingThreadsRequests) {
  HANDLE port = Open(FILE_FLAG_OVERLAPPED);
  OVERLAPPED mine{};
  mine.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  OVERLAPPED theirs{};
  theirs.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  char a[1], b[1];
  EXPECT_FALSE(ReadFile(port, a, 1, nullptr, &mine));
  HANDLE other = StartThread([&] {
    ReadFile(port, b, 1, nullptr, &theirs);
    // Stays alive until its read ended: thread exit would cancel it.
    WaitForSingleObject(theirs.hEvent, INFINITE);
    return 0u;
  });
  Sleep(1);
  ASSERT_EQ(2u, com5_.parked_reads());

  EXPECT_TRUE(CancelIo(port));
  DWORD read = 0;
  EXPECT_FALSE(GetOverlappedResult(port, &mine, &read, TRUE));
  EXPECT_EQ(ERROR_OPERATION_ABORTED, GetLastError());
  EXPECT_EQ(1u, com5_.parked_reads());
  EXPECT_FALSE(HasOverlappedIoCompleted(&theirs));

  com5_.Feed("z");
  EXPECT_TRUE(GetOverlappedResult(port, &theirs, &read, TRUE));
  EXPECT_EQ(1u, read);
  WaitForSingleObject(other, INFINITE);
  CloseHandle(other);
  CloseHandle(mine.hEvent);
  CloseHandle(theirs.hEvent);
  CloseHandle(port);
}

TEST_F(Win32Io, ThreadExitCancelsTheRequestsItLeftPending) {
  HANDLE port = Open(FILE_FLAG_OVERLAPPED);
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  char buffer[1];
  HANDLE thread = StartThread([&] {
    ReadFile(port, buffer, 1, nullptr, &overlapped);
    return 0u;
  });
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, INFINITE));
  DWORD read;
  EXPECT_FALSE(GetOverlappedResult(port, &overlapped, &read, TRUE));
  EXPECT_EQ(ERROR_OPERATION_ABORTED, GetLastError());
  CloseHandle(thread);
  CloseHandle(overlapped.hEvent);
  CloseHandle(port);
}

// CloseHandle sends IRP_MJ_CLEANUP, whose job is to end the handle's
// requests, and IRP_MJ_CLOSE once none is left.
TEST_F(Win32Io, CloseSendsCleanupThenCloseAfterTheLastRequestEnded) {
  for (bool cancel_on_cleanup : {true, false}) {
    SCOPED_TRACE(cancel_on_cleanup ? "cleanup ends the read" : "the read ends later");
    com5_.cancel_on_cleanup = cancel_on_cleanup;
    HANDLE port = Open(FILE_FLAG_OVERLAPPED);
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    char buffer[1];
    EXPECT_FALSE(ReadFile(port, buffer, 1, nullptr, &overlapped));
    EXPECT_TRUE(CloseHandle(port));
    if (cancel_on_cleanup) {
      EXPECT_EQ((Log{"READ 1", "CLEANUP", "CLOSE"}), com5_.TakeLog());
      EXPECT_EQ(STATUS_CANCELLED, static_cast<NTSTATUS>(overlapped.Internal));
    } else {
      EXPECT_EQ((Log{"READ 1", "CLEANUP"}), com5_.TakeLog());
      // The handle is gone but the file object is not: still exclusive.
      EXPECT_EQ(INVALID_HANDLE_VALUE,
                CreateFileA("COM5", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
      com5_.Feed("!");
      Sleep(1);
      EXPECT_EQ((Log{"CLOSE"}), com5_.TakeLog());
      EXPECT_EQ(STATUS_SUCCESS, static_cast<NTSTATUS>(overlapped.Internal));
    }
    EXPECT_EQ(0, vax::win32::OpenFileCount(com5_.device()));
    CloseHandle(overlapped.hEvent);
  }
}

// ---------------------------------------------------------------------------
// Events, waits, threads and processes

TEST_F(Win32Io, WaitsOnEventsThreadsAndProcessesRunInVirtualTime) {
  HANDLE manual = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE automatic = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  HANDLE both[] = {manual, automatic};

  vax::sim::Ticks start = Now();
  EXPECT_EQ(WAIT_TIMEOUT, WaitForMultipleObjects(2, both, FALSE, 25));
  EXPECT_EQ(25 * kTicksPerMs, Now() - start);

  SetEvent(automatic);
  EXPECT_EQ(WAIT_OBJECT_0 + 1, WaitForMultipleObjects(2, both, FALSE, INFINITE));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(automatic, 0));  // consumed by the wait
  SetEvent(manual);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(manual, 0));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(manual, 0));  // stays signalled
  ResetEvent(manual);
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(manual, 0));

  start = Now();
  HANDLE process = vax::win32::StartProcess("setup", [] {
    Sleep(300);
    return DWORD{3};
  });
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeProcess(process, &code));
  EXPECT_EQ(static_cast<DWORD>(STILL_ACTIVE), code);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process, INFINITE));
  EXPECT_EQ(300 * kTicksPerMs, Now() - start);
  EXPECT_TRUE(GetExitCodeProcess(process, &code));
  EXPECT_EQ(3u, code);
  EXPECT_FALSE(GetExitCodeThread(process, &code));  // a process handle is no thread handle

  HANDLE thread = StartThread([] { return DWORD{7}; });
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 1000));
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(7u, code);

  EXPECT_EQ(WAIT_FAILED, WaitForMultipleObjects(0, both, FALSE, 0));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
  for (HANDLE handle : {manual, automatic, process, thread})
    EXPECT_TRUE(CloseHandle(handle));
  EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(manual, 0));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
}

// ---------------------------------------------------------------------------
// The comm API: requests and their order

DCB BaseDcb() {
  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = CBR_9600;
  dcb.fBinary = 1;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.XonLim = 2048;
  dcb.XoffLim = 512;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  dcb.EofChar = 0x1A;
  return dcb;
}

DCB FlowDcb() {
  DCB dcb = BaseDcb();
  dcb.BaudRate = CBR_115200;
  dcb.ByteSize = 7;
  dcb.Parity = EVENPARITY;
  dcb.StopBits = TWOSTOPBITS;
  dcb.fParity = 1;
  dcb.fOutxCtsFlow = 1;
  dcb.fOutxDsrFlow = 1;
  dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
  dcb.fDsrSensitivity = 1;
  dcb.fTXContinueOnXoff = 1;
  dcb.fOutX = 1;
  dcb.fInX = 1;
  dcb.fErrorChar = 1;
  dcb.fNull = 1;
  dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
  dcb.fAbortOnError = 1;
  dcb.ErrorChar = '?';
  dcb.EvtChar = '\n';
  dcb.XonLim = 100;
  dcb.XoffLim = 200;
  return dcb;
}

DCB LinesOffDcb(WORD rts) {
  DCB dcb = BaseDcb();
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  dcb.fRtsControl = rts;
  return dcb;
}

const Log kGetState = {"GET_BAUD_RATE", "GET_LINE_CONTROL", "GET_CHARS", "GET_HANDFLOW"};

Log Then(Log first, const Log& more) {
  first.insert(first.end(), more.begin(), more.end());
  return first;
}

TEST_F(Win32Io, CommFunctionsIssueTheSerialControlsWindowsIssues) {
  struct Case {
    const char* what;
    std::function<BOOL(HANDLE)> call;
    Log requests;
  };
  const Case cases[] = {
      {"SetCommState 9600 8N1, DTR and RTS on",
       [](HANDLE port) {
         DCB dcb = BaseDcb();
         return SetCommState(port, &dcb);
       },
       Then(kGetState,
            {"SET_BAUD_RATE 9600", "SET_RTS", "SET_DTR", "SET_LINE_CONTROL stop=0 parity=0 bits=8",
             "SET_CHARS eof=0x1A error=0x0 break=0x0 event=0x0 xon=0x11 xoff=0x13",
             "SET_HANDFLOW control=0x1 flow=0x40 xon=2048 xoff=512"})},
      {"SetCommState 115200 7E2 with every flow control",
       [](HANDLE port) {
         DCB dcb = FlowDcb();
         return SetCommState(port, &dcb);
       },
       Then(kGetState, {"SET_BAUD_RATE 115200", "SET_LINE_CONTROL stop=2 parity=2 bits=7",
                        "SET_CHARS eof=0x1A error=0x3F break=0x0 event=0xA xon=0x11 xoff=0x13",
                        "SET_HANDFLOW control=0x8000005A flow=0x8000008F xon=100 xoff=200"})},
      {"SetCommState with DTR off and RTS toggling",
       [](HANDLE port) {
         DCB dcb = LinesOffDcb(RTS_CONTROL_TOGGLE);
         return SetCommState(port, &dcb);
       },
       Then(kGetState, {"SET_BAUD_RATE 9600", "CLR_DTR", "SET_LINE_CONTROL stop=0 parity=0 bits=8",
                        "SET_CHARS eof=0x1A error=0x0 break=0x0 event=0x0 xon=0x11 xoff=0x13",
                        "SET_HANDFLOW control=0x0 flow=0xC0 xon=2048 xoff=512"})},
      {"SetCommState with DTR and RTS off",
       [](HANDLE port) {
         DCB dcb = LinesOffDcb(RTS_CONTROL_DISABLE);
         return SetCommState(port, &dcb);
       },
       Then(kGetState,
            {"SET_BAUD_RATE 9600", "CLR_RTS", "CLR_DTR", "SET_LINE_CONTROL stop=0 parity=0 bits=8",
             "SET_CHARS eof=0x1A error=0x0 break=0x0 event=0x0 xon=0x11 xoff=0x13",
             "SET_HANDFLOW control=0x0 flow=0x0 xon=2048 xoff=512"})},
      {"GetCommState",
       [](HANDLE port) {
         DCB dcb;
         return GetCommState(port, &dcb);
       },
       kGetState},
      {"SetCommTimeouts returning at once",
       [](HANDLE port) {
         COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 0};
         return SetCommTimeouts(port, &timeouts);
       },
       {"SET_TIMEOUTS 4294967295/0/0/0/0"}},
      {"SetCommTimeouts with totals",
       [](HANDLE port) {
         COMMTIMEOUTS timeouts{20, 5, 1000, 10, 500};
         return SetCommTimeouts(port, &timeouts);
       },
       {"SET_TIMEOUTS 20/5/1000/10/500"}},
      {"GetCommTimeouts",
       [](HANDLE port) {
         COMMTIMEOUTS timeouts;
         return GetCommTimeouts(port, &timeouts);
       },
       {"GET_TIMEOUTS"}},
      {"SetupComm",
       [](HANDLE port) { return SetupComm(port, 4096, 1024); },
       {"SET_QUEUE_SIZE 4096/1024"}},
      {"GetCommProperties",
       [](HANDLE port) {
         COMMPROP properties{};
         return GetCommProperties(port, &properties);
       },
       {"GET_PROPERTIES out=64"}},
      {"GetCommProperties offering room for provider characters",
       [](HANDLE port) {
         unsigned char room[96] = {};
         auto* properties = reinterpret_cast<COMMPROP*>(room);
         properties->wPacketLength = sizeof(room);
         properties->dwProvSpec1 = COMMPROP_INITIALIZED;
         return GetCommProperties(port, properties);
       },
       {"GET_PROPERTIES out=96"}},
      {"SetCommMask",
       [](HANDLE port) { return SetCommMask(port, EV_RXCHAR | EV_CTS); },
       {"SET_WAIT_MASK 0x9"}},
      {"GetCommMask",
       [](HANDLE port) {
         DWORD mask;
         return GetCommMask(port, &mask);
       },
       {"GET_WAIT_MASK"}},
      {"ClearCommError",
       [](HANDLE port) { return ClearCommError(port, nullptr, nullptr); },
       {"GET_COMMSTATUS"}},
      {"PurgeComm",
       [](HANDLE port) { return PurgeComm(port, PURGE_TXABORT | PURGE_RXCLEAR); },
       {"PURGE 0x9"}},
      {"GetCommModemStatus",
       [](HANDLE port) {
         DWORD status;
         return GetCommModemStatus(port, &status);
       },
       {"GET_MODEMSTATUS"}},
      {"TransmitCommChar",
       [](HANDLE port) { return TransmitCommChar(port, 'A'); },
       {"IMMEDIATE_CHAR 0x41"}},
      {"SetCommBreak", [](HANDLE port) { return SetCommBreak(port); }, {"SET_BREAK_ON"}},
      {"ClearCommBreak", [](HANDLE port) { return ClearCommBreak(port); }, {"SET_BREAK_OFF"}},
  };
  HANDLE port = Open();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_TRUE(c.call(port));
    EXPECT_EQ(c.requests, com5_.TakeLog());
  }
  CloseHandle(port);
}

TEST_F(Win32Io, EscapeCommFunctionMapsEachCodeToOneControl) {
  struct Case {
    DWORD function;
    const char* request;
  };
  const Case cases[] = {
      {SETXOFF, "SET_XOFF"},      {SETXON, "SET_XON"},        {SETRTS, "SET_RTS"},
      {CLRRTS, "CLR_RTS"},        {SETDTR, "SET_DTR"},        {CLRDTR, "CLR_DTR"},
      {RESETDEV, "RESET_DEVICE"}, {SETBREAK, "SET_BREAK_ON"}, {CLRBREAK, "SET_BREAK_OFF"},
  };
  HANDLE port = Open(FILE_FLAG_OVERLAPPED);  // the comm functions wait on any handle
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    EXPECT_TRUE(EscapeCommFunction(port, c.function));
    EXPECT_EQ(Log{c.request}, com5_.TakeLog());
  }
  for (DWORD unknown : {0u, 10u, 0x100u}) {
    EXPECT_FALSE(EscapeCommFunction(port, unknown));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
  }
  EXPECT_EQ(Log{}, com5_.TakeLog());
  CloseHandle(port);
}

TEST_F(Win32Io, SetCommStateStopsAtTheFirstRefusedControl) {
  HANDLE port = Open();
  com5_.failing_control = IOCTL_SERIAL_SET_LINE_CONTROL;
  com5_.failing_status = STATUS_INVALID_PARAMETER;
  DCB dcb = BaseDcb();
  dcb.ByteSize = 9;
  EXPECT_FALSE(SetCommState(port, &dcb));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
  EXPECT_EQ(Then(kGetState, {"SET_BAUD_RATE 9600", "SET_RTS", "SET_DTR",
                             "SET_LINE_CONTROL stop=0 parity=0 bits=9"}),
            com5_.TakeLog());

  com5_.failing_control = IOCTL_SERIAL_GET_CHARS;
  EXPECT_FALSE(SetCommState(port, &dcb));
  EXPECT_EQ((Log{"GET_BAUD_RATE", "GET_LINE_CONTROL", "GET_CHARS"}), com5_.TakeLog());
  CloseHandle(port);
}

// What SetCommState gives the port, GetCommState reads back into the same
// DCB: every flow-control field survives the trip through SERIAL_HANDFLOW.
TEST_F(Win32Io, DcbSurvivesTheRoundTripThroughThePort) {
  HANDLE port = Open();
  for (const DCB& sent :
       {BaseDcb(), FlowDcb(), LinesOffDcb(RTS_CONTROL_TOGGLE), LinesOffDcb(RTS_CONTROL_DISABLE)}) {
    DCB dcb = sent;
    ASSERT_TRUE(SetCommState(port, &dcb));
    DCB back;
    std::memset(&back, 0xFF, sizeof(back));
    ASSERT_TRUE(GetCommState(port, &back));
    EXPECT_EQ(sizeof(DCB), back.DCBlength);
    EXPECT_EQ(sent.BaudRate, back.BaudRate);
    EXPECT_EQ(1u, back.fBinary);
    EXPECT_EQ(sent.Parity != NOPARITY, back.fParity != 0);
    EXPECT_EQ(sent.fOutxCtsFlow, back.fOutxCtsFlow);
    EXPECT_EQ(sent.fOutxDsrFlow, back.fOutxDsrFlow);
    EXPECT_EQ(sent.fDtrControl, back.fDtrControl);
    EXPECT_EQ(sent.fDsrSensitivity, back.fDsrSensitivity);
    EXPECT_EQ(sent.fTXContinueOnXoff, back.fTXContinueOnXoff);
    EXPECT_EQ(sent.fOutX, back.fOutX);
    EXPECT_EQ(sent.fInX, back.fInX);
    EXPECT_EQ(sent.fErrorChar, back.fErrorChar);
    EXPECT_EQ(sent.fNull, back.fNull);
    EXPECT_EQ(sent.fRtsControl, back.fRtsControl);
    EXPECT_EQ(sent.fAbortOnError, back.fAbortOnError);
    EXPECT_EQ(0u, back.fDummy2);
    EXPECT_EQ(sent.XonLim, back.XonLim);
    EXPECT_EQ(sent.XoffLim, back.XoffLim);
    EXPECT_EQ(sent.ByteSize, back.ByteSize);
    EXPECT_EQ(sent.Parity, back.Parity);
    EXPECT_EQ(sent.StopBits, back.StopBits);
    EXPECT_EQ(sent.XonChar, back.XonChar);
    EXPECT_EQ(sent.XoffChar, back.XoffChar);
    EXPECT_EQ(sent.ErrorChar, back.ErrorChar);
    EXPECT_EQ(sent.EofChar, back.EofChar);
    EXPECT_EQ(sent.EvtChar, back.EvtChar);
  }
  CloseHandle(port);
}

TEST_F(Win32Io, ClearCommErrorTranslatesErrorsAndHoldReasons) {
  struct Case {
    ULONG errors;
    ULONG holds;
    DWORD comm_errors;
    COMSTAT stat;
  };
  const Case cases[] = {
      {SERIAL_ERROR_BREAK | SERIAL_ERROR_FRAMING,
       SERIAL_TX_WAITING_FOR_CTS | SERIAL_TX_WAITING_FOR_DCD | SERIAL_TX_WAITING_XOFF_SENT,
       CE_BREAK | CE_FRAME,
       {1, 0, 1, 0, 1, 0, 0, 0, 0, 0}},
      {SERIAL_ERROR_OVERRUN | SERIAL_ERROR_QUEUEOVERRUN | SERIAL_ERROR_PARITY,
       SERIAL_TX_WAITING_FOR_DSR | SERIAL_TX_WAITING_FOR_XON | SERIAL_TX_WAITING_ON_BREAK,
       CE_OVERRUN | CE_RXOVER | CE_RXPARITY,
       {0, 1, 0, 1, 0, 0, 0, 0, 0, 0}},
  };
  HANDLE port = Open();
  for (const Case& c : cases) {
    SCOPED_TRACE(Hex(c.errors));
    com5_.comm_status = SERIAL_STATUS{c.errors, c.holds, 17, 4, TRUE, FALSE};
    DWORD errors = 0;
    COMSTAT stat;
    std::memset(&stat, 0xFF, sizeof(stat));
    ASSERT_TRUE(ClearCommError(port, &errors, &stat));
    EXPECT_EQ(c.comm_errors, errors);
    EXPECT_EQ(c.stat.fCtsHold, stat.fCtsHold);
    EXPECT_EQ(c.stat.fDsrHold, stat.fDsrHold);
    EXPECT_EQ(c.stat.fRlsdHold, stat.fRlsdHold);
    EXPECT_EQ(c.stat.fXoffHold, stat.fXoffHold);
    EXPECT_EQ(c.stat.fXoffSent, stat.fXoffSent);
    EXPECT_EQ(1u, stat.fEof);
    EXPECT_EQ(0u, stat.fTxim);
    EXPECT_EQ(0u, stat.fReserved);
    EXPECT_EQ(17u, stat.cbInQue);
    EXPECT_EQ(4u, stat.cbOutQue);
  }
  CloseHandle(port);
}

TEST_F(Win32Io, GetCommPropertiesReturnsWhatThePortFilled) {
  HANDLE port = Open();
  COMMPROP properties{};
  properties.wPacketLength = sizeof(properties);
  properties.dwProvSpec1 = COMMPROP_INITIALIZED;
  ASSERT_TRUE(GetCommProperties(port, &properties));
  EXPECT_EQ(64, properties.wPacketLength);
  EXPECT_EQ(2, properties.wPacketVersion);
  EXPECT_EQ(0x515A5623u, properties.dwProvSpec2);
  CloseHandle(port);
}

TEST_F(Win32Io, WaitCommEventWaitsSynchronouslyOrOverlapped) {
  // Overlapped: the events land in the caller's mask when the wait ends.
  HANDLE port = Open(FILE_FLAG_OVERLAPPED);
  ASSERT_TRUE(SetCommMask(port, EV_RXCHAR | EV_BREAK));
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD events = 0;
  EXPECT_FALSE(WaitCommEvent(port, &events, &overlapped));
  EXPECT_EQ(ERROR_IO_PENDING, GetLastError());
  com5_.Signal(EV_BREAK);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(overlapped.hEvent, 0));
  EXPECT_EQ(static_cast<DWORD>(EV_BREAK), events);
  DWORD returned = 0;
  EXPECT_TRUE(GetOverlappedResult(port, &overlapped, &returned, FALSE));
  EXPECT_EQ(sizeof(DWORD), returned);
  CloseHandle(overlapped.hEvent);
  CloseHandle(port);
  EXPECT_EQ((Log{"SET_WAIT_MASK 0x41", "WAIT_ON_MASK", "CLEANUP", "CLOSE"}), com5_.TakeLog());

  // Synchronous: the call returns when the port reports an event.
  port = Open();
  DWORD sync_events = 0;
  HANDLE waiter = StartThread([&] { return WaitCommEvent(port, &sync_events, nullptr) ? 1u : 0u; });
  Sleep(10);
  com5_.Signal(EV_RXCHAR);
  DWORD ok = 0;
  WaitForSingleObject(waiter, INFINITE);
  GetExitCodeThread(waiter, &ok);
  EXPECT_EQ(1u, ok);
  EXPECT_EQ(static_cast<DWORD>(EV_RXCHAR), sync_events);
  CloseHandle(waiter);
  CloseHandle(port);
}

// ---------------------------------------------------------------------------
// An application at work: it opens the port by its COM name, reads with
// overlapped requests (one completes, one it cancels), and learns through a
// window of its own that another port has arrived.

struct AppRecord {
  std::string first_read;
  DWORD cancelled_error = 0;
  std::vector<std::string> arrivals;
};

AppRecord* app_record = nullptr;

LRESULT CALLBACK AppWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_DEVICECHANGE && wparam == DBT_DEVICEARRIVAL) {
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lparam);
    if (header->dbch_devicetype == DBT_DEVTYP_PORT) {
      app_record->arrivals.push_back(
          reinterpret_cast<const DEV_BROADCAST_PORT_A*>(lparam)->dbcp_name);
      PostQuitMessage(0);
    }
    return TRUE;
  }
  return DefWindowProcA(window, message, wparam, lparam);
}

TEST_F(Win32Io, ApplicationReadsCancelsAndHearsOfANewPort) {
  AppRecord record;
  app_record = &record;
  HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE app = StartThread([&] {
    HANDLE port = CreateFileA("COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE)
      return 1u;
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    char buffer[16] = {};
    DWORD read = 0;
    if (ReadFile(port, buffer, 5, &read, &overlapped) || GetLastError() != ERROR_IO_PENDING) {
      return 2u;
    }
    if (!GetOverlappedResult(port, &overlapped, &read, TRUE))
      return 3u;
    record.first_read.assign(buffer, read);

    ReadFile(port, buffer, 5, &read, &overlapped);
    Sleep(10);
    CancelIo(port);
    if (GetOverlappedResult(port, &overlapped, &read, TRUE))
      return 4u;
    record.cancelled_error = GetLastError();
    CloseHandle(overlapped.hEvent);
    CloseHandle(port);

    WNDCLASSA window_class{};
    window_class.lpfnWndProc = AppWindowProc;
    window_class.hInstance = GetModuleHandleA(nullptr);
    window_class.lpszClassName = "Win32IoApp";
    if (RegisterClassA(&window_class) == 0)
      return 5u;
    HWND window = CreateWindowExA(0, "Win32IoApp", "app", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                  window_class.hInstance, nullptr);
    if (window == nullptr)
      return 6u;
    SetEvent(ready);
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0)
      DispatchMessageA(&message);
    DestroyWindow(window);
    UnregisterClassA("Win32IoApp", window_class.hInstance);
    return 0u;
  });

  Sleep(5);
  com5_.Feed("hello");
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ready, 1000));
  EXPECT_EQ((Log{"CREATE", "READ 5", "READ 5", "CLEANUP", "CLOSE"}), com5_.TakeLog());

  // A port arrives: its driver enables the COM port interface.
  vax::kernel::RootDevice* arriving = vax::kernel::CreateRootDevice(u"ROOT\\WIN32PORT");
  vax::kernel::registry::SetString(vax::kernel::registry::DeviceParametersPath(arriving->pdo),
                                   u"PortName", u"COM9");
  UNICODE_STRING link{};
  ASSERT_EQ(STATUS_SUCCESS,
            IoRegisterDeviceInterface(arriving->pdo, &GUID_DEVINTERFACE_COMPORT, nullptr, &link));
  ASSERT_EQ(STATUS_SUCCESS, IoSetDeviceInterfaceState(&link, TRUE));
  RtlFreeUnicodeString(&link);

  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(app, 1000));
  DWORD code = 99;
  GetExitCodeThread(app, &code);
  EXPECT_EQ(0u, code);
  EXPECT_EQ("hello", record.first_read);
  EXPECT_EQ(static_cast<DWORD>(ERROR_OPERATION_ABORTED), record.cancelled_error);
  EXPECT_EQ(std::vector<std::string>{"COM9"}, record.arrivals);
  CloseHandle(app);
  CloseHandle(ready);
  app_record = nullptr;
}

// ---------------------------------------------------------------------------
// A port the PnP manager starts and removes: a function driver over a root
// bus PDO, \Device\Win32Pnp linked from \DosDevices\COM3, whose COM port
// interface is enabled while it is started. A handle open on it holds its
// removal back until the application closes it.

namespace pnp_port {

struct Extension {
  PDEVICE_OBJECT lower;
  UNICODE_STRING interface_link;
};

Log* log = nullptr;

NTSTATUS NTAPI StartDone(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
  auto* extension = static_cast<Extension*>(device->DeviceExtension);
  switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      // The bus starts first; the port is usable once it has.
      KEVENT done;
      KeInitializeEvent(&done, NotificationEvent, FALSE);
      IoCopyCurrentIrpStackLocationToNext(irp);
      IoSetCompletionRoutine(irp, StartDone, &done, TRUE, TRUE, TRUE);
      if (IoCallDriver(extension->lower, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
      }
      const NTSTATUS status = irp->IoStatus.Status;
      if (NT_SUCCESS(status))
        IoSetDeviceInterfaceState(&extension->interface_link, TRUE);
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return status;
    }
    case IRP_MN_SURPRISE_REMOVAL:
      IoSetDeviceInterfaceState(&extension->interface_link, FALSE);
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    case IRP_MN_REMOVE_DEVICE: {
      log->push_back("REMOVE_DEVICE");
      IoSetDeviceInterfaceState(&extension->interface_link, FALSE);
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoSkipCurrentIrpStackLocation(irp);
      const NTSTATUS status = IoCallDriver(extension->lower, irp);
      RtlFreeUnicodeString(&extension->interface_link);
      vax::kernel::UnicodeString link(u"\\DosDevices\\COM3");
      IoDeleteSymbolicLink(link);
      IoDetachDevice(extension->lower);
      IoDeleteDevice(device);
      return status;
    }
    default:
      break;
  }
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(extension->lower, irp);
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(static_cast<Extension*>(device->DeviceExtension)->lower, irp);
}

NTSTATUS NTAPI DispatchOpenClose(PDEVICE_OBJECT, PIRP irp) {
  const UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
  log->push_back(major == IRP_MJ_CREATE ? "CREATE" : major == IRP_MJ_CLEANUP ? "CLEANUP" : "CLOSE");
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  vax::kernel::UnicodeString name(u"\\Device\\Win32Pnp");
  PDEVICE_OBJECT fdo = nullptr;
  NTSTATUS status =
      IoCreateDevice(driver, sizeof(Extension), name, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &fdo);
  if (!NT_SUCCESS(status))
    return status;
  auto* extension = static_cast<Extension*>(fdo->DeviceExtension);
  extension->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  vax::kernel::UnicodeString link(u"\\DosDevices\\COM3");
  IoCreateSymbolicLink(link, name);
  IoRegisterDeviceInterface(pdo, &GUID_DEVINTERFACE_COMPORT, nullptr, &extension->interface_link);
  fdo->Flags |= DO_BUFFERED_IO;
  fdo->Flags &= ~ULONG{DO_DEVICE_INITIALIZING};
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->DriverExtension->AddDevice = AddDevice;
  driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}) {
    driver->MajorFunction[major] = DispatchOpenClose;
  }
  return STATUS_SUCCESS;
}

std::vector<std::string>* broadcasts = nullptr;

LRESULT CALLBACK NotifyProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_DEVICECHANGE) {
    const auto* port = reinterpret_cast<const DEV_BROADCAST_PORT_A*>(lparam);
    broadcasts->push_back(std::string(wparam == DBT_DEVICEARRIVAL ? "+" : "-") + port->dbcp_name);
    return TRUE;
  }
  return DefWindowProcA(window, message, wparam, lparam);
}

}  // namespace pnp_port

TEST_F(Win32Io, OpenHandleHoldsTheRemovalOfAnUnpluggedPortUntilItIsClosed) {
  Log driver_log;
  std::vector<std::string> broadcasts;
  pnp_port::log = &driver_log;
  pnp_port::broadcasts = &broadcasts;
  WNDCLASSA window_class{};
  window_class.lpfnWndProc = pnp_port::NotifyProc;
  window_class.hInstance = GetModuleHandleA(nullptr);
  window_class.lpszClassName = "PortNotify";
  ASSERT_NE(0, RegisterClassA(&window_class));
  ASSERT_NE(nullptr, CreateWindowExA(0, "PortNotify", "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                     window_class.hInstance, nullptr));
  const auto pump = [] {
    for (int turn = 0; turn < 5; ++turn) {
      MSG message;
      while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE))
        DispatchMessageA(&message);
      Sleep(1);
    }
  };

  vax::kernel::LoadedDriver* driver = vax::kernel::LoadDriver(u"Win32Pnp", pnp_port::DriverEntry);
  ASSERT_NE(nullptr, driver);
  vax::kernel::BindFunctionDriver(u"ROOT\\WIN32PNP", driver);
  vax::kernel::RootDevice* device = vax::kernel::CreateRootDevice(u"ROOT\\WIN32PNP");
  vax::kernel::registry::SetString(vax::kernel::registry::DeviceParametersPath(device->pdo),
                                   u"PortName", u"COM3");
  ASSERT_EQ(STATUS_SUCCESS, vax::kernel::PlugRootDevice(device));
  pump();
  EXPECT_EQ(std::vector<std::string>{"+COM3"}, broadcasts);

  HANDLE port = CreateFileA("COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, port);
  vax::kernel::UnplugRootDevice(device);
  pump();
  EXPECT_EQ((std::vector<std::string>{"+COM3", "-COM3"}), broadcasts);
  EXPECT_EQ(vax::kernel::PnpState::kSurpriseRemoved, vax::kernel::DevicePnpState(device->pdo));
  EXPECT_EQ(Log{"CREATE"}, driver_log);

  EXPECT_TRUE(CloseHandle(port));
  EXPECT_EQ((Log{"CREATE", "CLEANUP", "CLOSE", "REMOVE_DEVICE"}), driver_log);
  EXPECT_TRUE(device->deleted);
  EXPECT_EQ(INVALID_HANDLE_VALUE,
            CreateFileA("COM3", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetLastError());
  vax::kernel::UnloadDriver(driver);
}

}  // namespace
