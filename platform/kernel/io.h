// The I/O manager, pool, namespace and registry as the rest of the platform
// and the tests see them: what Windows keeps to itself (driver objects, the
// object namespace, requests the I/O manager issues and finishes) and what
// the checks need (allocation sites, leak reports). Drivers never include
// this: they see only the services of nt/kernel.h.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "nt/kernel.h"

namespace vax::kernel {

// ---------------------------------------------------------------------------
// Life of the I/O system

// Empties the IRP, device, driver, pool, namespace, interface and registry
// tables and the configuration record, freeing whatever is left, and recreates
// the registry's standard keys. Called when a test bed boots and again when it
// shuts down, so every test starts from an empty system. Leaks are not
// reported here: the unload check does that for each driver.
void ResetIoSystem();

// ---------------------------------------------------------------------------
// Strings. WCHAR is 16-bit on the host; these never use the C library's wide
// functions, which assume 32 bits.

std::u16string ToU16(PCUNICODE_STRING string);  // empty for NULL
std::u16string ToU16(PCWSTR string);            // up to the terminator; empty for NULL
std::string Narrow(std::u16string_view text);   // for messages; non-ASCII becomes '?'

// A UNICODE_STRING with storage of its own, for tests and platform callers.
class UnicodeString {
 public:
  // `maximum_bytes` 0 means room for the text and a terminator.
  explicit UnicodeString(std::u16string_view text, USHORT maximum_bytes = 0);
  UnicodeString(const UnicodeString&) = delete;
  UnicodeString& operator=(const UnicodeString&) = delete;

  PUNICODE_STRING get() { return &string_; }
  operator PUNICODE_STRING() { return &string_; }
  std::u16string text() const { return ToU16(&string_); }

 private:
  std::vector<WCHAR> storage_;
  UNICODE_STRING string_;
};

// ---------------------------------------------------------------------------
// Driver objects

// Creates \Driver\<service_name> with every dispatch entry failing
// STATUS_INVALID_DEVICE_REQUEST, and its service key under
// \Registry\Machine\System\CurrentControlSet\Services. nullptr if the name is
// taken.
PDRIVER_OBJECT CreateDriverObject(std::u16string_view service_name);
// Runs `entry` as the system loads a driver: PASSIVE_LEVEL, attributed to the
// driver, with the service key path as RegistryPath.
NTSTATUS CallDriverEntry(PDRIVER_OBJECT driver, PDRIVER_INITIALIZE entry);
// Runs DriverUnload (when set), then reports everything the driver still
// owns as one kLeakAtUnload violation. The driver object itself stays until
// ResetIoSystem: devices and records may still name it.
void UnloadDriver(PDRIVER_OBJECT driver);
// Everything `driver` still owns (devices, IRPs, pool, timers, DPCs, threads),
// one line per leak; empty when clean. The unload check reports this.
std::string LeakReport(PDRIVER_OBJECT driver);
void ReportDeviceLeaks(PDRIVER_OBJECT driver, std::string* report);
// The full service key path, as DriverEntry received it.
std::u16string ServiceKeyPath(PDRIVER_OBJECT driver);

// ---------------------------------------------------------------------------
// Device objects

// The device's name (\Device\...), empty if it has none.
std::u16string DeviceName(PDEVICE_OBJECT device);
// True once IoDeleteDevice ran. The pointer may no longer be dereferenced.
bool IsDeviceDeleted(PDEVICE_OBJECT device);
// The device this one is attached to (IoAttachDeviceToDeviceStack's result),
// nullptr at the bottom of a stack.
PDEVICE_OBJECT LowerDevice(PDEVICE_OBJECT device);
// The bus driver names the device instance of a PDO it reports
// ("USB\VID_0403&PID_6001\5&2A3F&0&1"); it appears in interface names and
// gives the PDO its registry keys. PDOs get "ROOT\UNKNOWN\<n>" otherwise.
// A PDO must also carry DO_BUS_ENUMERATED_DEVICE: interfaces and device
// registry keys are refused for other devices, as on Windows.
void SetDeviceInstanceId(PDEVICE_OBJECT pdo, std::u16string_view instance_id);
std::u16string DeviceInstanceId(PDEVICE_OBJECT pdo);
// Object references on device objects (ObReferenceObject and
// ObDereferenceObject route here for devices). False if `object` is not a
// device object of ours. A deleted device is freed when its last reference
// goes.
bool ReferenceDeviceObject(PVOID object);
bool DereferenceDeviceObject(PVOID object);

// ---------------------------------------------------------------------------
// Object namespace. Names are case-insensitive; \DosDevices\X, \??\X and
// \GLOBAL??\X are one name.

// Follows symbolic links from `path` to a named device, as opening a file
// does (the caller then sends requests to the top of that device's stack).
// nullptr with STATUS_OBJECT_NAME_NOT_FOUND or STATUS_OBJECT_TYPE_MISMATCH
// in `status` otherwise.
PDEVICE_OBJECT ResolveDevice(std::u16string_view path, NTSTATUS* status = nullptr);
std::optional<std::u16string> SymbolicLinkTarget(std::u16string_view link);
// The names directly in `directory` ("\DosDevices" gives "COM8", ...).
std::vector<std::u16string> ObjectNames(std::u16string_view directory);

// ---------------------------------------------------------------------------
// Device interfaces

struct DeviceInterface {
  std::u16string symbolic_link;  // \??\USB#VID_...#{guid}
  GUID class_guid;
  PDEVICE_OBJECT pdo;
  bool enabled;
};
// Arrival (enabled) and removal (disabled) of an interface, for the Win32
// subset's broadcasts. Hooks run in the thread that changed the state, after
// the change, with no kernel lock held; they must not call into a driver.
using DeviceInterfaceHook = std::function<void(const DeviceInterface& changed)>;
int AddDeviceInterfaceHook(DeviceInterfaceHook hook);
void RemoveDeviceInterfaceHook(int id);
// Registered interfaces, of one class or (nullptr) of all.
std::vector<DeviceInterface> DeviceInterfaces(const GUID* class_guid = nullptr);

// ---------------------------------------------------------------------------
// Requests the I/O manager issues on behalf of a caller (the Win32 subset, a
// test). The IRP has `device`'s StackSize locations (pass the top of the
// stack, as IoGetAttachedDeviceReference gives it, and send the IRP there),
// the next location filled, UserIosb/UserEvent set. At the final stage the
// I/O manager copies buffered output back, writes the IO_STATUS_BLOCK and
// sets the event (on success, or on an error after STATUS_PENDING), runs the
// finisher and frees the IRP and its system buffer. Returns nullptr when the
// IRP cannot be allocated.

// IRP_MJ_READ / IRP_MJ_WRITE. On a DO_BUFFERED_IO device the data goes
// through a system buffer (reads are copied back); otherwise UserBuffer.
PIRP BuildReadWriteRequest(UCHAR major_function, PDEVICE_OBJECT device, PFILE_OBJECT file,
                           PVOID buffer, ULONG length, LONGLONG byte_offset,
                           PIO_STATUS_BLOCK io_status, PKEVENT event);
// IRP_MJ_(INTERNAL_)DEVICE_CONTROL with the buffer rules of the code's method.
PIRP BuildDeviceControlRequest(ULONG io_control_code, PDEVICE_OBJECT device, PFILE_OBJECT file,
                               PVOID input, ULONG input_length, PVOID output, ULONG output_length,
                               bool internal, PIO_STATUS_BLOCK io_status, PKEVENT event);
// Any other major function (create, close, cleanup, flush, PnP, power...):
// the caller fills the rest of the next slot.
PIRP BuildRequest(UCHAR major_function, UCHAR minor_function, PDEVICE_OBJECT device,
                  PFILE_OBJECT file, PIO_STATUS_BLOCK io_status, PKEVENT event);
// Runs at the final stage of an IRP built above (or by
// IoBuildDeviceIoControlRequest) after the status block is written, just
// before the IRP is freed; with the IRP's final IoStatus.
void SetRequestFinisher(PIRP irp, std::function<void(PIRP irp)> finisher);
// Thread exit: cancels the IRPs the thread issued that are still in flight
// (IoCancelThreadIo). `thread` is the KernelThread.
void CancelThreadIo(const void* thread);
// Holds a request the I/O manager issued across an IoCancelIrp that may race
// its completion: while pinned, its final stage still runs (status block,
// event) but the IRP is freed only at the last UnpinRequest. False when the
// request is not one of the I/O manager's or has already reached its final
// stage (then there is nothing left to cancel).
bool PinRequest(PIRP irp);
void UnpinRequest(PIRP irp);

// ---------------------------------------------------------------------------
// Inspection of IRPs and pool

struct IrpInfo {
  PIRP irp;
  PDRIVER_OBJECT driver;  // charged to (allocating driver), nullptr for the platform
  std::string site;       // allocation site and thread
  bool issued_by_io_manager;
};
std::vector<IrpInfo> LiveIrps(PDRIVER_OBJECT driver = nullptr);  // nullptr: every IRP
// "IRP 0x... (IRP_MJ_READ) allocated at <site> on thread <name>".
std::string DescribeIrp(PIRP irp);

struct PoolBlock {
  PVOID address;
  SIZE_T size;
  ULONG tag;
  POOL_TYPE type;
  PDRIVER_OBJECT driver;
  std::string site;
};
std::vector<PoolBlock> PoolBlocks(PDRIVER_OBJECT driver = nullptr);  // nullptr: every block
std::optional<PoolBlock> FindPoolBlock(const void* address);
// A pool tag as it reads in memory: 'pxaV' gives "Vaxp".
std::string TagName(ULONG tag);

// ---------------------------------------------------------------------------
// Registry, for tests and the platform. Paths are absolute
// (\Registry\Machine\...), case-insensitive.

namespace registry {

constexpr std::u16string_view kServices =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";
constexpr std::u16string_view kDeviceMap = u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP";
constexpr std::u16string_view kEnum = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum";

struct Value {
  ULONG type;
  std::vector<std::uint8_t> data;
};

// Creates the key and every missing key above it.
void CreateKey(std::u16string_view path);
bool KeyExists(std::u16string_view path);
bool DeleteKey(std::u16string_view path);  // with its subkeys
// Creates the key if needed.
void SetValue(std::u16string_view path, std::u16string_view name, ULONG type,
              std::vector<std::uint8_t> data);
void SetString(std::u16string_view path, std::u16string_view name, std::u16string_view text,
               ULONG type = REG_SZ);  // stored with its terminator
void SetDword(std::u16string_view path, std::u16string_view name, ULONG value);
std::optional<Value> GetValue(std::u16string_view path, std::u16string_view name);
// REG_SZ / REG_EXPAND_SZ data up to the first terminator.
std::optional<std::u16string> GetString(std::u16string_view path, std::u16string_view name);
std::optional<ULONG> GetDword(std::u16string_view path, std::u16string_view name);
bool DeleteValue(std::u16string_view path, std::u16string_view name);
std::vector<std::u16string> ValueNames(std::u16string_view path);
// The "Device Parameters" key that IoOpenDeviceRegistryKey(PLUGPLAY_REGKEY_DEVICE) opens.
std::u16string DeviceParametersPath(PDEVICE_OBJECT pdo);

}  // namespace registry

}  // namespace vax::kernel
