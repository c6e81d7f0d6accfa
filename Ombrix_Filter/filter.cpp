// Ombrix_Filter: registration, the communication port "\OmbrixPort" with its volume list, and the
// last-access refresh on reads.
//
// Publication of the volume table
//   The port notifications (connect, message, disconnect) and the unload run at PASSIVE_LEVEL on
//   the service's threads; OnPostRead runs on any thread that completes a read, at up to
//   DISPATCH_LEVEL. The table is guarded by a push lock:
//   - writers build a complete replacement off to the side (allocated, filled, terminated), swap
//     it in under the lock held exclusively, and free the entries they replaced after releasing
//     it. A reader therefore sees either the old table or the new one, never an entry being built
//     or freed, and never a count above the built entries;
//   - OnPostRead reads the table only under the lock held shared, and only after it has checked
//     that it runs at PASSIVE_LEVEL outside a guarded region (it needs that anyway for the name
//     and information queries). A post-read at APC_LEVEL or DISPATCH_LEVEL returns before it
//     touches the table, so the lock is never taken where push locks are not allowed;
//   - ClientPort is a single pointer, written by connect and by FltCloseClientPort, and read by
//     OnPostRead with an atomic load. The count is also stored atomically, so that OnPostRead
//     can skip the name query while the table is empty; it reads the entries only under the lock.
//
// Which reads are refreshed
//   Only reads whose post-operation callback runs at PASSIVE_LEVEL (KeAreAllApcsDisabled false),
//   whose instance is not draining, and that are not paging I/O:
//   - FltGetFileNameInformation and FltQueryInformationFile/FltSetInformationFile require
//     PASSIVE_LEVEL (the name query APC_LEVEL at most). Reads completed in a DPC (asynchronous
//     non-cached reads, some network redirector reads) arrive at DISPATCH_LEVEL and are skipped.
//     Deferring them with FltDoCompletionProcessingWhenSafe is documented as forbidden for reads
//     (it can deadlock), and the next synchronous read of the file refreshes it anyway;
//   - while an instance drains (detach, unload) no new I/O may be issued on it;
//   - paging reads (page faults on mapped files, cache manager read-ahead) run in the paging
//     path, where the name query fails and issuing new I/O can deadlock with the memory manager.
//     A file that is only ever read through a mapping is therefore not refreshed. An
//     application's cached read is not paging I/O and is refreshed; only the paging reads the
//     cache manager issues to fill the cache behind it are skipped.
//   Skipped reads are skipped silently and never altered.
#include "filter.h"

FILTER_STATE FilterState;

namespace {

const WCHAR VolumePrefixText[] = KS_TEXT("Device\\HarddiskVolume");
const WCHAR PortNameText[] = KS_TEXT("\\OmbrixPort");

// Longest volume number the 8-unit scratch text holds (VolumeNumberMaxDigits digits).
const ULONG VolumeNumberLimit = 9999999;

UNICODE_STRING ConstantString(const WCHAR *text, USHORT bytes)
{
    UNICODE_STRING s;
    s.Length = (USHORT)(bytes - sizeof(WCHAR));
    s.MaximumLength = bytes;
    s.Buffer = const_cast<PWCH>(text);
    return s;
}

// Frees the entry buffers of a table that no reader can reach any more.
void TableFreeEntries(VOLUME_TABLE *table)
{
    for (ULONG i = 0; i < table->Count; ++i) {
        if (table->Entries[i].Buffer != nullptr) {
            ExFreePoolWithTag(table->Entries[i].Buffer, FILTER_POOL_TAG);
            table->Entries[i].Buffer = nullptr;
        }
    }
    table->Count = 0;
}

// Swaps *replacement into VolumeTable under the exclusive lock; *replacement receives the
// entries that were published before, for the caller to free outside the lock. With
// forClient set, publishes only while a client is connected and returns false otherwise: a
// message still being handled when its client's handle is closed must not leave a table behind
// the disconnect (the disconnect clears ClientPort before it takes the lock).
bool TablePublish(VOLUME_TABLE *replacement, bool forClient)
{
    VOLUME_TABLE *table = &FilterState.VolumeTable;
    FltAcquirePushLockExclusive(&FilterState.TableLock);
    if (forClient && __atomic_load_n(&FilterState.ClientPort, __ATOMIC_ACQUIRE) == nullptr) {
        FltReleasePushLock(&FilterState.TableLock);
        return false;
    }
    const ULONG used = table->Count > replacement->Count ? table->Count : replacement->Count;
    for (ULONG i = 0; i < used; ++i) { // swapped in place: two tables would not fit a small kernel frame
        const UNICODE_STRING entry = table->Entries[i];
        table->Entries[i] = replacement->Entries[i];
        replacement->Entries[i] = entry;
    }
    const ULONG count = table->Count;
    __atomic_store_n(&table->Count, replacement->Count, __ATOMIC_RELAXED); // also read outside the lock
    replacement->Count = count;
    for (ULONG i = table->Count; i < used; ++i) { // nothing stale past the count
        table->Entries[i].Length = 0;
        table->Entries[i].MaximumLength = 0;
        table->Entries[i].Buffer = nullptr;
    }
    FltReleasePushLock(&FilterState.TableLock);
    return true;
}

// Empties the table and frees its entries.
void TableClear()
{
    VOLUME_TABLE empty;
    empty.Count = 0;
    TablePublish(&empty, false);
    TableFreeEntries(&empty);
}

// Whether the file name lies on a watched volume: whether some entry's text occurs anywhere
// within the name. Every entry is VolumePrefixText followed by the volume's digits, so an entry
// occurs exactly where the prefix occurs followed by its digits: the name is scanned once for
// the prefix, and only the digits are compared per entry (one pass over the name instead of
// one per entry). The name is a counted string that need not be terminated: nothing past its
// Length is read. PASSIVE_LEVEL only (takes the push lock).
bool IsOnWatchedVolume(const UNICODE_STRING *name)
{
    const ULONG prefixChars = sizeof(VolumePrefixText) / sizeof(WCHAR) - 1;
    const ULONG nameChars = name->Length / sizeof(WCHAR);
    const WCHAR *text = name->Buffer;
    bool found = false;
    FltAcquirePushLockShared(&FilterState.TableLock);
    const VOLUME_TABLE *table = &FilterState.VolumeTable;
    for (ULONG start = 0; table->Count != 0 && start + prefixChars <= nameChars && !found; ++start) {
        ULONG i = 0;
        while (i < prefixChars && text[start + i] == VolumePrefixText[i]) {
            ++i;
        }
        if (i != prefixChars) {
            continue;
        }
        const ULONG rest = start + prefixChars;
        for (ULONG e = 0; e < table->Count && !found; ++e) {
            const WCHAR *digits = table->Entries[e].Buffer + prefixChars;
            const ULONG digitChars = table->Entries[e].Length / sizeof(WCHAR) - prefixChars;
            if (digitChars > nameChars - rest) {
                continue;
            }
            ULONG d = 0;
            while (d < digitChars && text[rest + d] == digits[d]) {
                ++d;
            }
            found = d == digitChars;
        }
    }
    FltReleasePushLock(&FilterState.TableLock);
    return found;
}

// Whether this completed read may issue the name query and the information query and set
// (see "Which reads are refreshed" above).
bool ReadAllowsRefresh(const FLT_CALLBACK_DATA *data, FLT_POST_OPERATION_FLAGS flags)
{
    if ((flags & FLTFL_POST_OPERATION_DRAINING) != 0) {
        return false;
    }
    if ((data->Flags & FLTFL_CALLBACK_DATA_IRP_OPERATION) != 0 &&
        (data->Iopb->IrpFlags & (IRP_PAGING_IO | IRP_SYNCHRONOUS_PAGING_IO)) != 0) {
        return false;
    }
    return !KeAreAllApcsDisabled();
}

// Whether a stored last-access time is due: more than one hour old, or in the future.
bool LastAccessIsStale(LONGLONG now, LONGLONG lastAccess)
{
    if (now < lastAccess) {
        return true;
    }
    // now >= lastAccess, so the unsigned difference is exact even across the whole range.
    return (ULONGLONG)now - (ULONGLONG)lastAccess > (ULONGLONG)LastAccessRefreshInterval;
}

// Builds the entry "Device\HarddiskVolume<number>" on a fresh pool buffer.
NTSTATUS BuildEntry(ULONG number, UNICODE_STRING *scratch, UNICODE_STRING *entry)
{
    scratch->Length = 0;
    NTSTATUS status = RtlIntegerToUnicodeString(number, 0, scratch);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PWCH buffer = static_cast<PWCH>(ExAllocatePoolWithTag(NonPagedPool, VolumeEntryBufferSize, FILTER_POOL_TAG));
    if (buffer == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    entry->Buffer = buffer;
    entry->Length = 0;
    entry->MaximumLength = VolumeEntryCapacity;
    const UNICODE_STRING prefix = ConstantString(VolumePrefixText, sizeof(VolumePrefixText));
    status = RtlAppendUnicodeStringToString(entry, &prefix);
    if (NT_SUCCESS(status)) {
        status = RtlAppendUnicodeStringToString(entry, scratch);
    }
    if (NT_SUCCESS(status)) {
        // The capacity leaves room for the terminator.
        entry->Buffer[entry->Length / sizeof(WCHAR)] = 0;
    }
    return status;
}

// Creates "\OmbrixPort" (one connection, administrators and system only). A failure leaves
// ServerPort empty: the driver filters anyway and no client can connect.
void CreateServerPort()
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    NTSTATUS status = FltBuildDefaultSecurityDescriptor(&descriptor, FLT_PORT_ALL_ACCESS);
    if (!NT_SUCCESS(status)) {
        return;
    }
    UNICODE_STRING name = ConstantString(PortNameText, sizeof(PortNameText));
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, descriptor);
    PFLT_PORT port = nullptr;
    status = FltCreateCommunicationPort(FilterState.FilterHandle, &port, &attributes, nullptr, OnPortConnect,
                                        OnPortDisconnect, OnPortMessage, 1);
    FltFreeSecurityDescriptor(descriptor);
    FilterState.ServerPort = NT_SUCCESS(status) ? port : nullptr;
}

const FLT_CONTEXT_REGISTRATION FilterContexts[] = {
    {FLT_CONTEXT_END, 0, nullptr, 0, 0, nullptr, nullptr, nullptr},
};

// Flags 0: cached and paging reads alike are delivered (OnPostRead itself skips paging reads).
const FLT_OPERATION_REGISTRATION FilterCallbacks[] = {
    {IRP_MJ_READ, 0, nullptr, OnPostRead, nullptr},
    {IRP_MJ_OPERATION_END, 0, nullptr, nullptr, nullptr},
};

} // namespace

// Flags 0, so the filter can be stopped and unloaded on request. No instance callbacks: the
// filter attaches to every volume the Filter Manager offers.
extern "C" const FLT_REGISTRATION FilterRegistration = {
    sizeof(FLT_REGISTRATION),
    FLT_REGISTRATION_VERSION_0202,
    0,
    FilterContexts,
    FilterCallbacks,
    FilterUnload,
    nullptr, nullptr, nullptr, nullptr, // instance setup, query teardown, teardown start, complete
    nullptr, nullptr, nullptr,          // generate, normalize, normalize context cleanup
    nullptr,                            // transaction notification
    nullptr,                            // normalize ex
};

// Registers, creates the port and starts filtering. Returns the registration's or the start's
// failure status, STATUS_SUCCESS otherwise. PASSIVE_LEVEL.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    (void)RegistryPath;
    FilterState.FilterHandle = nullptr;
    FilterState.ServerPort = nullptr;
    FilterState.ClientPort = nullptr;
    FilterState.VolumeTable.Count = 0;
    FltInitializePushLock(&FilterState.TableLock);

    NTSTATUS status = FltRegisterFilter(DriverObject, &FilterRegistration, &FilterState.FilterHandle);
    if (!NT_SUCCESS(status)) {
        FltDeletePushLock(&FilterState.TableLock);
        return status;
    }
    CreateServerPort();
    status = FltStartFiltering(FilterState.FilterHandle);
    if (!NT_SUCCESS(status)) {
        if (FilterState.ServerPort != nullptr) {
            FltCloseCommunicationPort(FilterState.ServerPort);
            FilterState.ServerPort = nullptr;
        }
        FltUnregisterFilter(FilterState.FilterHandle);
        FilterState.FilterHandle = nullptr;
        FltDeletePushLock(&FilterState.TableLock);
        return status;
    }
    return STATUS_SUCCESS;
}

// Stops new connections, unregisters (the Filter Manager disconnects a connected client and
// waits for running callbacks), then frees whatever table is left. Never refuses. PASSIVE_LEVEL.
extern "C" NTSTATUS FLTAPI FilterUnload(FLT_FILTER_UNLOAD_FLAGS Flags)
{
    (void)Flags;
    if (FilterState.ServerPort != nullptr) {
        FltCloseCommunicationPort(FilterState.ServerPort);
        FilterState.ServerPort = nullptr;
    }
    FltUnregisterFilter(FilterState.FilterHandle);
    FilterState.FilterHandle = nullptr;
    TableClear();
    FltDeletePushLock(&FilterState.TableLock);
    return STATUS_SUCCESS;
}

// Accepts every connection (the port allows one at a time) and records its client port.
// PASSIVE_LEVEL, in the connecting thread.
extern "C" NTSTATUS FLTAPI OnPortConnect(PFLT_PORT ClientPort, PVOID ServerPortCookie, PVOID ConnectionContext,
                                         ULONG SizeOfContext, PVOID *ConnectionCookie)
{
    (void)ServerPortCookie;
    (void)ConnectionContext;
    (void)SizeOfContext;
    (void)ConnectionCookie;
    __atomic_store_n(&FilterState.ClientPort, ClientPort, __ATOMIC_RELEASE);
    DbgPrint("[Filter] Port Connect");
    return STATUS_SUCCESS;
}

// Closes the client port and empties the table. PASSIVE_LEVEL.
extern "C" VOID FLTAPI OnPortDisconnect(PVOID ConnectionCookie)
{
    (void)ConnectionCookie;
    FltCloseClientPort(FilterState.FilterHandle, &FilterState.ClientPort);
    TableClear();
    DbgPrint("[Filter] Port Disconnect");
}

// Rebuilds the table from a VolumeListMessage. The message lives in the sender's memory: it is
// captured once into a kernel buffer (probed, read under exception protection, bounded by the
// input length) and validated on that copy. A malformed message (shorter than 4 + 4 * count
// bytes, a count above VolumeTableCapacity, a number of more than 7 digits) is refused with
// STATUS_INVALID_PARAMETER and leaves the table as it was; so does a failed allocation. A
// second message on one connection replaces and frees the earlier entries. A message that is
// still being handled when its client disconnects is dropped. No output.
extern "C" NTSTATUS FLTAPI OnPortMessage(PVOID PortCookie, PVOID InputBuffer, ULONG InputBufferLength,
                                         PVOID OutputBuffer, ULONG OutputBufferLength,
                                         PULONG ReturnOutputBufferLength)
{
    (void)PortCookie;
    (void)OutputBuffer;
    (void)OutputBufferLength;
    if (ReturnOutputBufferLength != nullptr) {
        *ReturnOutputBufferLength = 0;
    }

    ULONG message[1 + VolumeTableCapacity];
    if (InputBuffer == nullptr || InputBufferLength < sizeof(ULONG)) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG captured = InputBufferLength < sizeof(message) ? InputBufferLength : (ULONG)sizeof(message);
    NTSTATUS status = KsCaptureBuffer(message, InputBuffer, captured);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const ULONG count = message[0];
    if (count > VolumeTableCapacity || captured < sizeof(ULONG) * (1 + count)) {
        return STATUS_INVALID_PARAMETER;
    }
    for (ULONG i = 0; i < count; ++i) {
        if (message[1 + i] > VolumeNumberLimit) {
            return STATUS_INVALID_PARAMETER;
        }
    }

    // Scratch text for one number: 8 units including the terminator.
    UNICODE_STRING scratch;
    scratch.Buffer = static_cast<PWCH>(ExAllocatePoolWithTag(NonPagedPool, 32, FILTER_POOL_TAG));
    if (scratch.Buffer == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    scratch.Length = 0;
    scratch.MaximumLength = 16;

    VOLUME_TABLE replacement;
    replacement.Count = 0;
    status = STATUS_SUCCESS;
    while (replacement.Count < count && NT_SUCCESS(status)) {
        UNICODE_STRING *entry = &replacement.Entries[replacement.Count];
        entry->Buffer = nullptr;
        status = BuildEntry(message[1 + replacement.Count], &scratch, entry);
        if (entry->Buffer != nullptr) {
            ++replacement.Count; // counted even when failed, so that its buffer is freed below
        }
    }
    ExFreePoolWithTag(scratch.Buffer, FILTER_POOL_TAG);
    if (NT_SUCCESS(status) && !TablePublish(&replacement, true)) { // replacement now holds the earlier entries
        status = STATUS_PORT_DISCONNECTED;
    }
    TableFreeEntries(&replacement);
    return status;
}

// Refreshes the last-access time of a file read on a watched volume while the service is
// connected, when the stored time is more than an hour old or in the future. Never alters the
// read; every failure ends the callback silently. Runs at up to DISPATCH_LEVEL.
extern "C" FLT_POSTOP_CALLBACK_STATUS FLTAPI OnPostRead(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                                                        PVOID CompletionContext, FLT_POST_OPERATION_FLAGS Flags)
{
    (void)CompletionContext;
    if (__atomic_load_n(&FilterState.ClientPort, __ATOMIC_ACQUIRE) == nullptr) {
        return FLT_POSTOP_FINISHED_PROCESSING;
    }
    // An empty table matches nothing: spare the name query (the count is looked at again under
    // the lock before any entry is read).
    if (__atomic_load_n(&FilterState.VolumeTable.Count, __ATOMIC_RELAXED) == 0) {
        return FLT_POSTOP_FINISHED_PROCESSING;
    }
    if (!ReadAllowsRefresh(Data, Flags)) {
        return FLT_POSTOP_FINISHED_PROCESSING;
    }
    PFLT_FILE_NAME_INFORMATION nameInfo = nullptr;
    NTSTATUS status = FltGetFileNameInformation(Data, FLT_FILE_NAME_NORMALIZED | FLT_FILE_NAME_QUERY_DEFAULT, &nameInfo);
    if (!NT_SUCCESS(status)) {
        return FLT_POSTOP_FINISHED_PROCESSING;
    }
    if (IsOnWatchedVolume(&nameInfo->Name)) {
        LARGE_INTEGER now;
        KeQuerySystemTime(&now);
        FILE_BASIC_INFORMATION basic;
        ULONG returned = 0;
        status = FltQueryInformationFile(FltObjects->Instance, FltObjects->FileObject, &basic, sizeof(basic),
                                         FileBasicInformation, &returned);
        if (NT_SUCCESS(status) && LastAccessIsStale(now.QuadPart, basic.LastAccessTime.QuadPart)) {
            // The other four fields go back exactly as queried.
            basic.LastAccessTime = now;
            (void)FltSetInformationFile(FltObjects->Instance, FltObjects->FileObject, &basic, sizeof(basic),
                                        FileBasicInformation);
        }
    }
    FltReleaseFileNameInformation(nameInfo);
    return FLT_POSTOP_FINISHED_PROCESSING;
}
