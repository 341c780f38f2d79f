// Windows Management Instrumentation for drivers as the host test bed declares
// it: the IRP_MJ_SYSTEM_CONTROL minor codes, registration with
// IoWMIRegistrationControl, the WMI library (WMILIB_CONTEXT and its callbacks,
// WmiSystemControl, WmiCompleteRequest) and the WNODE buffers in which WMI
// requests and their answers travel.
#pragma once

#include "nt/base.h"
#include "nt/kernel.h"

// ---------------------------------------------------------------------------
// IRP_MJ_SYSTEM_CONTROL minor codes. Parameters.WMI: ProviderId is the device
// object the request is for, DataPath the GUID, Buffer/BufferSize the WNODE.

#define IRP_MN_QUERY_ALL_DATA 0x00
#define IRP_MN_QUERY_SINGLE_INSTANCE 0x01
#define IRP_MN_CHANGE_SINGLE_INSTANCE 0x02
#define IRP_MN_CHANGE_SINGLE_ITEM 0x03
#define IRP_MN_ENABLE_EVENTS 0x04
#define IRP_MN_DISABLE_EVENTS 0x05
#define IRP_MN_ENABLE_COLLECTION 0x06
#define IRP_MN_DISABLE_COLLECTION 0x07
#define IRP_MN_REGINFO 0x08
#define IRP_MN_EXECUTE_METHOD 0x09
#define IRP_MN_REGINFO_EX 0x0B

// IoWMIRegistrationControl actions.
#define WMIREG_ACTION_REGISTER 1
#define WMIREG_ACTION_DEREGISTER 2
#define WMIREG_ACTION_REREGISTER 3
#define WMIREG_ACTION_UPDATE_GUIDS 4

// Registration flags, per GUID and for the provider as a whole.
#define WMIREG_FLAG_EXPENSIVE 0x00000001
#define WMIREG_FLAG_INSTANCE_LIST 0x00000004
#define WMIREG_FLAG_INSTANCE_BASENAME 0x00000008
#define WMIREG_FLAG_INSTANCE_PDO 0x00000020
#define WMIREG_FLAG_EVENT_ONLY_GUID 0x00000040
#define WMIREG_FLAG_REMOVE_GUID 0x00010000

// ---------------------------------------------------------------------------
// WNODE buffers. Offsets are from the start of the WNODE.

typedef struct _WNODE_HEADER {
  ULONG BufferSize;  // the whole WNODE, or the size needed (WNODE_TOO_SMALL)
  ULONG ProviderId;
  union {
    ULONGLONG HistoricalContext;
    struct {
      ULONG Version;
      ULONG Linkage;
    };
  };
  union {
    ULONG CountLost;
    HANDLE KernelHandle;
    LARGE_INTEGER TimeStamp;
  };
  GUID Guid;
  ULONG ClientContext;
  ULONG Flags;  // WNODE_FLAG_*
} WNODE_HEADER, *PWNODE_HEADER;

#define WNODE_FLAG_ALL_DATA 0x00000001
#define WNODE_FLAG_SINGLE_INSTANCE 0x00000002
#define WNODE_FLAG_SINGLE_ITEM 0x00000004
#define WNODE_FLAG_EVENT_ITEM 0x00000008
#define WNODE_FLAG_FIXED_INSTANCE_SIZE 0x00000010
#define WNODE_FLAG_TOO_SMALL 0x00000020
#define WNODE_FLAG_INSTANCES_SAME 0x00000040
#define WNODE_FLAG_STATIC_INSTANCE_NAMES 0x00000080
#define WNODE_FLAG_METHOD_ITEM 0x00008000
#define WNODE_FLAG_PDO_INSTANCE_NAMES 0x00010000

typedef struct {
  ULONG OffsetInstanceData;
  ULONG LengthInstanceData;
} OFFSETINSTANCEDATAANDLENGTH, *POFFSETINSTANCEDATAANDLENGTH;

// Every instance of a block. With WNODE_FLAG_FIXED_INSTANCE_SIZE all
// instances share FixedInstanceSize; otherwise one offset/length pair per
// instance.
typedef struct tagWNODE_ALL_DATA {
  struct _WNODE_HEADER WnodeHeader;
  ULONG DataBlockOffset;
  ULONG InstanceCount;
  ULONG OffsetInstanceNameOffsets;
  union {
    ULONG FixedInstanceSize;
    OFFSETINSTANCEDATAANDLENGTH OffsetInstanceDataAndLength[1];
  };
} WNODE_ALL_DATA, *PWNODE_ALL_DATA;

typedef struct tagWNODE_SINGLE_INSTANCE {
  struct _WNODE_HEADER WnodeHeader;
  ULONG OffsetInstanceName;
  ULONG InstanceIndex;
  ULONG DataBlockOffset;
  ULONG SizeDataBlock;
  UCHAR VariableData[];
} WNODE_SINGLE_INSTANCE, *PWNODE_SINGLE_INSTANCE;

typedef struct tagWNODE_SINGLE_ITEM {
  struct _WNODE_HEADER WnodeHeader;
  ULONG OffsetInstanceName;
  ULONG InstanceIndex;
  ULONG ItemId;
  ULONG DataBlockOffset;
  ULONG SizeDataItem;
  UCHAR VariableData[];
} WNODE_SINGLE_ITEM, *PWNODE_SINGLE_ITEM;

// The answer when the caller's buffer is too small for the data.
typedef struct tagWNODE_TOO_SMALL {
  struct _WNODE_HEADER WnodeHeader;
  ULONG SizeNeeded;
} WNODE_TOO_SMALL, *PWNODE_TOO_SMALL;

// IRP_MN_REGINFO answer: the provider's GUIDs.
typedef struct {
  GUID Guid;
  ULONG Flags;  // WMIREG_FLAG_*
  ULONG InstanceCount;
  union {
    ULONG InstanceNameList;
    ULONG BaseNameOffset;
    ULONG_PTR Pdo;
    ULONG_PTR InstanceInfo;
  };
} WMIREGGUIDW, *PWMIREGGUIDW;

typedef struct {
  ULONG BufferSize;
  ULONG NextWmiRegInfo;
  ULONG RegistryPath;     // offset of a counted UTF-16 string
  ULONG MofResourceName;  // offset of a counted UTF-16 string, 0 for none
  ULONG GuidCount;
  WMIREGGUIDW WmiRegGuid[];
} WMIREGINFOW, *PWMIREGINFOW;

typedef WMIREGGUIDW WMIREGGUID;
typedef PWMIREGGUIDW PWMIREGGUID;
typedef WMIREGINFOW WMIREGINFO;
typedef PWMIREGINFOW PWMIREGINFO;

// ---------------------------------------------------------------------------
// The WMI library

typedef enum _WMIENABLEDISABLECONTROL {
  WmiEventControl,
  WmiDataBlockControl
} WMIENABLEDISABLECONTROL,
    *PWMIENABLEDISABLECONTROL;

// What WmiSystemControl did with the request.
typedef enum _SYSCTL_IRP_DISPOSITION {
  IrpProcessed,     // a callback completed it, or will through WmiCompleteRequest
  IrpNotCompleted,  // its status is set; the driver completes it
  IrpNotWmi,        // not a WMI minor code: the driver forwards it
  IrpForward        // meant for another provider: the driver forwards it
} SYSCTL_IRP_DISPOSITION,
    *PSYSCTL_IRP_DISPOSITION;

// One data block the driver provides. Its index in the list is the GuidIndex
// the callbacks receive.
typedef struct _WMIGUIDREGINFO {
  LPCGUID Guid;
  ULONG InstanceCount;
  ULONG Flags;
} WMIGUIDREGINFO, *PWMIGUIDREGINFO;

typedef NTSTATUS NTAPI WMI_QUERY_REGINFO_CALLBACK(PDEVICE_OBJECT DeviceObject, PULONG RegFlags,
                                                  PUNICODE_STRING InstanceName,
                                                  PUNICODE_STRING* RegistryPath,
                                                  PUNICODE_STRING MofResourceName,
                                                  PDEVICE_OBJECT* Pdo);
typedef WMI_QUERY_REGINFO_CALLBACK* PWMI_QUERY_REGINFO;

typedef NTSTATUS NTAPI WMI_QUERY_DATABLOCK_CALLBACK(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                                    ULONG GuidIndex, ULONG InstanceIndex,
                                                    ULONG InstanceCount, PULONG InstanceLengthArray,
                                                    ULONG BufferAvail, PUCHAR Buffer);
typedef WMI_QUERY_DATABLOCK_CALLBACK* PWMI_QUERY_DATABLOCK;

typedef NTSTATUS NTAPI WMI_SET_DATABLOCK_CALLBACK(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                                  ULONG GuidIndex, ULONG InstanceIndex,
                                                  ULONG BufferSize, PUCHAR Buffer);
typedef WMI_SET_DATABLOCK_CALLBACK* PWMI_SET_DATABLOCK;

typedef NTSTATUS NTAPI WMI_SET_DATAITEM_CALLBACK(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                                 ULONG GuidIndex, ULONG InstanceIndex,
                                                 ULONG DataItemId, ULONG BufferSize, PUCHAR Buffer);
typedef WMI_SET_DATAITEM_CALLBACK* PWMI_SET_DATAITEM;

typedef NTSTATUS NTAPI WMI_EXECUTE_METHOD_CALLBACK(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                                   ULONG GuidIndex, ULONG InstanceIndex,
                                                   ULONG MethodId, ULONG InBufferSize,
                                                   ULONG OutBufferSize, PUCHAR Buffer);
typedef WMI_EXECUTE_METHOD_CALLBACK* PWMI_EXECUTE_METHOD;

typedef NTSTATUS NTAPI WMI_FUNCTION_CONTROL_CALLBACK(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                                     ULONG GuidIndex,
                                                     WMIENABLEDISABLECONTROL Function,
                                                     BOOLEAN Enable);
typedef WMI_FUNCTION_CONTROL_CALLBACK* PWMI_FUNCTION_CONTROL;

// A NULL callback means the request it would serve is refused by the library.
typedef struct _WMILIB_CONTEXT {
  ULONG GuidCount;
  PWMIGUIDREGINFO GuidList;
  PWMI_QUERY_REGINFO QueryWmiRegInfo;
  PWMI_QUERY_DATABLOCK QueryWmiDataBlock;
  PWMI_SET_DATABLOCK SetWmiDataBlock;
  PWMI_SET_DATAITEM SetWmiDataItem;
  PWMI_EXECUTE_METHOD ExecuteWmiMethod;
  PWMI_FUNCTION_CONTROL WmiFunctionControl;
} WMILIB_CONTEXT, *PWMILIB_CONTEXT;

#ifdef __cplusplus
extern "C" {
#endif

NTSTATUS NTAPI IoWMIRegistrationControl(PDEVICE_OBJECT DeviceObject, ULONG Action);

NTSTATUS NTAPI WmiSystemControl(PWMILIB_CONTEXT WmiLibInfo, PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                PSYSCTL_IRP_DISPOSITION IrpDisposition);

// Completes a request a callback received. With STATUS_BUFFER_TOO_SMALL,
// BufferUsed is the size the data needs.
NTSTATUS NTAPI WmiCompleteRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status,
                                  ULONG BufferUsed, CCHAR PriorityBoost);

NTSTATUS NTAPI WmiFireEvent(PDEVICE_OBJECT DeviceObject, LPCGUID Guid, ULONG InstanceIndex,
                            ULONG EventDataSize, PVOID EventData);

#ifdef __cplusplus
}  // extern "C"
#endif
