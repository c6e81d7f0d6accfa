// What Windows defines, as the simulated kernel knows it: every flag, status, enumeration value
// and size it acts on, transcribed from Microsoft's driver documentation (learn.microsoft.com,
// the page named over each group; the numbers are those of the WDK headers the pages document).
// The simulation takes no value from the driver's declarations (os/kernel/fltmgr.h) nor from the
// host's stand-ins for the platform headers (ntvalues.h); a host test compares those with this table.
#pragma once

#include <cstdint>

namespace fltsim::doc {

// FLT_CALLBACK_DATA, Flags: exactly one of the first three is set by the Filter Manager.
constexpr uint32_t CallbackDataIrpOperation = 0x00000001;
constexpr uint32_t CallbackDataFastIoOperation = 0x00000002;
constexpr uint32_t CallbackDataFsFilterOperation = 0x00000004;
// PFLT_POST_OPERATION_CALLBACK, Flags.
constexpr uint32_t PostOperationDraining = 0x00000001;
// FLT_PREOP_CALLBACK_STATUS.
constexpr int PreopSuccessWithCallback = 0;
constexpr int PreopSuccessNoCallback = 1;
constexpr int PreopPending = 2;
constexpr int PreopDisallowFastIo = 3;
constexpr int PreopComplete = 4;
constexpr int PreopSynchronize = 5;
// FLT_POSTOP_CALLBACK_STATUS.
constexpr int PostopFinishedProcessing = 0;
constexpr int PostopMoreProcessingRequired = 1;
// FLT_SET_CONTEXT_OPERATION (FltSetStreamContext, FltSetInstanceContext).
constexpr int SetContextReplaceIfExists = 0;
constexpr int SetContextKeepIfExists = 1;
// FLT_CONTEXT_REGISTRATION, ContextType.
constexpr uint16_t InstanceContext = 0x0002;
constexpr uint16_t StreamContext = 0x0008;
constexpr uint16_t ContextEnd = 0xffff;
// FLT_REGISTRATION: Version, and Size for each version on a 64-bit system (0x0201 added the
// transaction callback, 0x0202 the normalize-ex callback, 0x0203 the section callback).
constexpr uint16_t RegistrationVersion0202 = 0x0202;
constexpr uint16_t RegistrationSize[4] = {88, 96, 104, 112}; // versions 0x0200 .. 0x0203
// FLT_OPERATION_REGISTRATION, MajorFunction (IRP_MJ_*), and the end of the list.
constexpr uint8_t IrpMjRead = 0x03;
constexpr uint8_t IrpMjCleanup = 0x12;
constexpr uint8_t IrpMjOperationEnd = 0x80;
// FLT_FILESYSTEM_TYPE (PFLT_INSTANCE_SETUP_CALLBACK).
constexpr int FsTypeUnknown = 0;
constexpr int FsTypeRaw = 1;
constexpr int FsTypeNtfs = 2;
constexpr int FsTypeFat = 3;
// PFLT_INSTANCE_SETUP_CALLBACK, Flags; VolumeDeviceType FILE_DEVICE_DISK_FILE_SYSTEM.
constexpr uint32_t InstanceSetupAutomaticAttachment = 0x00000001;
constexpr uint32_t InstanceSetupNewlyMountedVolume = 0x00000004;
constexpr uint32_t FileDeviceDiskFileSystem = 0x00000008;
// PFLT_INSTANCE_TEARDOWN_CALLBACK, Reason.
constexpr uint32_t InstanceTeardownFilterUnload = 0x00000002;
constexpr uint32_t InstanceTeardownVolumeDismount = 0x00000008;
// FltBuildDefaultSecurityDescriptor, FLT_PORT_ALL_ACCESS; ACCESS_MASK, STANDARD_RIGHTS_ALL.
constexpr uint32_t PortConnect = 0x0001;
constexpr uint32_t PortAllAccess = 0x001F0001;
constexpr uint32_t StandardRightsAll = 0x001F0000;

// IRP, Flags (as FLT_IO_PARAMETER_BLOCK.IrpFlags carries them).
constexpr uint32_t IrpNocache = 0x00000001;
constexpr uint32_t IrpPagingIo = 0x00000002;
constexpr uint32_t IrpSynchronousApi = 0x00000004;
constexpr uint32_t IrpSynchronousPagingIo = 0x00000040;
// FILE_OBJECT, Flags.
constexpr uint32_t FoSynchronousIo = 0x00000002;
constexpr uint32_t FoStreamFile = 0x00000100;
constexpr uint32_t FoCleanupComplete = 0x00004000;
// IRQL (Managing Hardware Priorities).
constexpr uint8_t PassiveLevel = 0;
constexpr uint8_t ApcLevel = 1;
constexpr uint8_t DispatchLevel = 2;
// POOL_TYPE.
constexpr int PoolNonPaged = 0;
constexpr int PoolPaged = 1;
constexpr int PoolNonPagedNx = 512;
// FILE_INFORMATION_CLASS, and the size of FILE_BASIC_INFORMATION.
constexpr int InfoClassFileBasic = 4;
constexpr uint32_t FileBasicInformationSize = 40;
// RTL_OSVERSIONINFOW, dwOSVersionInfoSize.
constexpr uint32_t OsVersionInfoSize = 276;
// OBJECT_ATTRIBUTES, Attributes.
constexpr uint32_t ObjCaseInsensitive = 0x00000040;
constexpr uint32_t ObjKernelHandle = 0x00000200;
// KeInitializeEvent, KeWaitForSingleObject, FltQueueGenericWorkItem.
constexpr int EventNotification = 0;
constexpr int EventSynchronization = 1;
constexpr int WaitExecutive = 0;
constexpr int ModeKernel = 0;
constexpr int WorkQueueCritical = 0;
constexpr int WorkQueueDelayed = 1;
// Security descriptors, ACLs, ACEs and SIDs (SECURITY_DESCRIPTOR_CONTROL, ACE_HEADER, SID).
constexpr uint8_t SecurityDescriptorRevision = 1;
constexpr uint8_t AclRevision = 2;
constexpr uint8_t SidRevision = 1;
constexpr uint8_t SecurityNtAuthority[6] = {0, 0, 0, 0, 0, 5};
constexpr uint32_t SecurityLocalSystemRid = 0x00000012;
constexpr uint8_t AccessAllowedAceType = 0x0;
constexpr uint8_t AccessDeniedAceType = 0x1;
constexpr uint16_t SeDaclPresent = 0x0004;
constexpr uint16_t SeDaclDefaulted = 0x0008;
constexpr uint16_t SeSelfRelative = 0x8000;

// NTSTATUS values ([MS-ERREF] 2.3.1).
constexpr int32_t StatusSuccess = 0x00000000;
constexpr int32_t StatusBufferOverflow = int32_t(0x80000005);
constexpr int32_t StatusUnsuccessful = int32_t(0xC0000001);
constexpr int32_t StatusInfoLengthMismatch = int32_t(0xC0000004);
constexpr int32_t StatusAccessViolation = int32_t(0xC0000005);
constexpr int32_t StatusInvalidParameter = int32_t(0xC000000D);
constexpr int32_t StatusAccessDenied = int32_t(0xC0000022);
constexpr int32_t StatusBufferTooSmall = int32_t(0xC0000023);
constexpr int32_t StatusObjectNameNotFound = int32_t(0xC0000034);
constexpr int32_t StatusObjectNameCollision = int32_t(0xC0000035);
constexpr int32_t StatusPortDisconnected = int32_t(0xC0000037);
constexpr int32_t StatusUnknownRevision = int32_t(0xC0000058);
constexpr int32_t StatusRevisionMismatch = int32_t(0xC0000059);
constexpr int32_t StatusInvalidSid = int32_t(0xC0000078);
constexpr int32_t StatusInvalidSecurityDescr = int32_t(0xC0000079);
constexpr int32_t StatusAllottedSpaceExceeded = int32_t(0xC0000099);
constexpr int32_t StatusInsufficientResources = int32_t(0xC000009A);
constexpr int32_t StatusNotSupported = int32_t(0xC00000BB);
constexpr int32_t StatusFileClosed = int32_t(0xC0000128);
constexpr int32_t StatusNotFound = int32_t(0xC0000225);
constexpr int32_t StatusConnectionCountLimit = int32_t(0xC0000246);
constexpr int32_t StatusVolumeDismounted = int32_t(0xC000026E);
constexpr int32_t StatusFltContextAlreadyDefined = int32_t(0xC01C0002);
constexpr int32_t StatusFltDeletingObject = int32_t(0xC01C000B);
constexpr int32_t StatusFltInstanceAltitudeCollision = int32_t(0xC01C0011);

} // namespace fltsim::doc
