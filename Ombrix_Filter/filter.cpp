// Ombrix_Filter: registration, the communication port "\OmbrixPort" with its volume list, and the
// last-access refresh on reads.
//
// Publication of the volume table
//   The port notifications (connect, message, disconnect) and the unload run at PASSIVE_LEVEL on
//   the service's threads; the read callbacks run on any thread that reads, the post-read at up
//   to DISPATCH_LEVEL, the work items in system threads. The table is guarded by a push lock:
//   - writers build a complete replacement off to the side (allocated, filled, terminated), swap
//     it in under the lock held exclusively, and free the entries they replaced after releasing
//     it. A reader therefore sees either the old table or the new one, never an entry being built
//     or freed, and never a count above the built entries. Each swap also moves the table's
//     generation on, which voids every stream verdict reached under the old table;
//   - the entries are read only by a check, under the lock held shared, and a check runs only at
//     PASSIVE_LEVEL (it needs that anyway for the name and information queries), so the lock is
//     never taken where push locks are not allowed;
//   - ClientPort is a single pointer, written by connect and by FltCloseClientPort, and read with
//     an atomic load. The count and the generation are also stored atomically, so that a read can
//     be let through without the lock while the table is empty or the stream's verdict holds.
//
// Where the refresh runs, and the platform rules that decide it
//   The name query, the information query and the set may not run just anywhere a read is
//   seen:
//   R1 FltGetFileNameInformation with FLT_FILE_NAME_QUERY_DEFAULT does nothing while the
//      thread's top-level IRP is set, and never works for paging I/O. The post-read of an IRP
//      read that is not synchronized runs inside the file system's completion, top-level IRP
//      set (FltGetFileNameInformation reference, "FLT_FILE_NAME_QUERY_DEFAULT").
//   R2 That post-read runs at up to DISPATCH_LEVEL in an arbitrary thread; the name query wants
//      APC_LEVEL at most, FltQueryInformationFile and FltSetInformationFile PASSIVE_LEVEL
//      ("Writing Postoperation Callback Routines"; the routines' IRQL requirements).
//   R3 Returning FLT_PREOP_SYNCHRONIZE for an IRP-based read makes the Filter Manager call the
//      post-read in the pre-read's thread at IRQL <= APC_LEVEL once the file system is done;
//      it must not be returned for asynchronous reads (check FltIsOperationSynchronous), and a
//      draining filter is not synchronized back. For fast I/O the post-read runs at
//      PASSIVE_LEVEL in the issuing thread ("Returning FLT_PREOP_SYNCHRONIZE").
//   R4 Issuing I/O from the paging path recurses into the file system and the memory manager
//      and can deadlock; so can a set on the stream from inside the completion of a read on it,
//      where the file system holds that stream's resources.
//   R5 Once the handle's cleanup has run, queries and sets through its file object fail with
//      STATUS_FILE_CLOSED; paging reads through it go on as long as the file stays mapped.
//   R6 Pre-operation callbacks run at IRQL <= APC_LEVEL; stream contexts can be looked up and
//      set there (FltGetStreamContext, FltSetStreamContext: <= APC_LEVEL) and are shared by all
//      file objects of the stream; FltReleaseContext and the generic work item routines
//      (FltAllocateGenericWorkItem, FltQueueGenericWorkItem) work at up to DISPATCH_LEVEL, and
//      the work item runs later in a system thread at PASSIVE_LEVEL.
//   Hence:
//   - OnPreRead decides. With no client, or an empty table, it asks for nothing. Otherwise it
//     looks up the stream context: a stream checked within the hour under the current table
//     (refreshed, found fresh, or not on a watched volume) asks for nothing more - no name, no
//     information query. Every other read is to be checked:
//       * a synchronous IRP read returns FLT_PREOP_SYNCHRONIZE (R3), so OnPostRead runs outside
//         the completion, in the reader's thread, where the checks are allowed (R1, R2, R4);
//       * a fast I/O read gets a post-read, which runs at PASSIVE_LEVEL in the reader's thread;
//       * an asynchronous IRP read gets a post-read too, which may land at DISPATCH_LEVEL
//         inside the completion: it is deferred (below);
//       * a paging read (a mapped file, a program's image, the cache manager's own reads) is
//         deferred straight from the pre-read: nothing is asked of the file system there (R4).
//   - OnPostRead checks on the spot when it runs synchronized or after fast I/O, at
//     PASSIVE_LEVEL with no top-level IRP and not draining; otherwise it defers.
//   - Deferring marks the stream Pending and queues one generic work item per stream, holding a
//     reference on the file object, the instance and the context. The work item runs at
//     PASSIVE_LEVEL in a system thread, outside any file-system call, and asks through
//     FltGetFileNameInformationUnsafe and the referenced file object. If that handle has been
//     cleaned up meanwhile (R5) the stream stays Pending, and OnPreCleanup - the pre-cleanup of
//     any handle on the stream, where the file object is still open, at PASSIVE_LEVEL - checks
//     it then; so does the next non-paging read.
//   - Unload stops new deferrals, waits for the queued work items (a count of them and an
//     event: Wine's kernel leaves the rundown-protection routines unimplemented) and only then
//     unregisters; queued items that run after the stop do nothing. The Filter Manager frees
//     the stream contexts when the instances go.
//   The read itself is never failed or altered; a synchronized one waits for at most one check
//   of its stream, and nothing else waits on anything that is not sure to come.
//
// Cost
//   A check costs one name query and one information query (plus the set when due). Its
//   verdict is kept in the stream context until the stored time is next due (the last-access
//   time plus the interval), or an hour for a refreshed or unwatched stream, or until the table
//   changes. A failed check is not repeated within the hour either. Only one check per stream
//   runs at a time; concurrent readers of the same stream ask for nothing.
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
    ULONG generation = FilterState.TableGeneration + 1;
    if (generation == 0) {
        generation = 1; // 0 marks a stream with no verdict yet
    }
    __atomic_store_n(&FilterState.TableGeneration, generation, __ATOMIC_RELEASE); // every verdict so far is void
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
// Length is read. *generation receives the table's generation the answer belongs to.
// PASSIVE_LEVEL only (takes the push lock).
bool IsOnWatchedVolume(const UNICODE_STRING *name, ULONG *generation)
{
    const ULONG prefixChars = sizeof(VolumePrefixText) / sizeof(WCHAR) - 1;
    const ULONG nameChars = name->Length / sizeof(WCHAR);
    const WCHAR *text = name->Buffer;
    bool found = false;
    FltAcquirePushLockShared(&FilterState.TableLock);
    *generation = FilterState.TableGeneration;
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
    PWCH buffer = static_cast<PWCH>(ExAllocatePoolWithTag(FILTER_POOL_TYPE, VolumeEntryBufferSize, FILTER_POOL_TAG));
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

// ---- stream verdicts

// Stream times are kept in units of 2^26 x 100 ns (about 6.7 s): 32 bits last some 9,000 years.
const unsigned StreamClockShift = 26;

ULONG CoarseTime(LONGLONG time)
{
    if (time <= 0) {
        return 0;
    }
    const ULONGLONG coarse = (ULONGLONG)time >> StreamClockShift;
    return coarse > 0xFFFFFFFFull ? 0xFFFFFFFFu : (ULONG)coarse;
}

bool ClientConnected()
{
    return __atomic_load_n(&FilterState.ClientPort, __ATOMIC_ACQUIRE) != nullptr &&
           __atomic_load_n(&FilterState.VolumeTable.Count, __ATOMIC_RELAXED) != 0;
}

// Whether the stream's verdict still holds: reached under the current table, and its quiet time
// not yet over. Rounding the quiet time down makes a check come a few seconds early at most.
bool VerdictHolds(const STREAM_CONTEXT *context)
{
    const ULONG generation = __atomic_load_n(&FilterState.TableGeneration, __ATOMIC_ACQUIRE);
    if (__atomic_load_n(&context->Generation, __ATOMIC_ACQUIRE) != generation) {
        return false;
    }
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    return CoarseTime(now.QuadPart) < __atomic_load_n(&context->QuietUntil, __ATOMIC_RELAXED);
}

// Records a verdict: no check before quietUntil unless the table changes.
void SettleStream(STREAM_CONTEXT *context, ULONG generation, LONGLONG quietUntil, bool stillPending)
{
    __atomic_store_n(&context->QuietUntil, CoarseTime(quietUntil), __ATOMIC_RELAXED);
    __atomic_store_n(&context->Generation, generation, __ATOMIC_RELEASE);
    __atomic_store_n(&context->Pending, stillPending ? 1 : 0, __ATOMIC_RELEASE);
}

// The stream context of the file object's stream, created on first use; null where the file
// system keeps no stream contexts or memory is short (the read then goes unchecked).
// <= APC_LEVEL. The caller releases the result.
STREAM_CONTEXT *StreamContextOf(PCFLT_RELATED_OBJECTS objects)
{
    PFLT_CONTEXT found = nullptr;
    if (NT_SUCCESS(FltGetStreamContext(objects->Instance, objects->FileObject, &found))) {
        return static_cast<STREAM_CONTEXT *>(found);
    }
    PFLT_CONTEXT created = nullptr;
    if (!NT_SUCCESS(FltAllocateContext(FilterState.FilterHandle, FLT_STREAM_CONTEXT, sizeof(STREAM_CONTEXT),
                                       FILTER_POOL_TYPE, &created))) {
        return nullptr;
    }
    STREAM_CONTEXT *context = static_cast<STREAM_CONTEXT *>(created);
    context->Generation = 0;
    context->QuietUntil = 0;
    context->Pending = 0;
    context->Busy = 0;
    context->WorkQueued = 0;
    context->WorkFile = nullptr;
    context->WorkItem = nullptr;
    PFLT_CONTEXT existing = nullptr;
    const NTSTATUS status =
        FltSetStreamContext(objects->Instance, objects->FileObject, FLT_SET_CONTEXT_KEEP_IF_EXISTS, created, &existing);
    if (NT_SUCCESS(status)) {
        return context; // the stream holds one reference, the allocation's is the caller's
    }
    FltReleaseContext(created); // never set: this frees it
    if (status == STATUS_FLT_CONTEXT_ALREADY_DEFINED && existing != nullptr) {
        return static_cast<STREAM_CONTEXT *>(existing); // another reader set one first
    }
    return nullptr;
}

// How a check asks for the file's name.
struct NameSource {
    PFLT_CALLBACK_DATA Data; // the operation's callback data, or null: ask through the file object
    PFILE_OBJECT FileObject;
    PFLT_INSTANCE Instance;
};

// The check itself: name, volume test, information query, and the set when due. Only where R1,
// R2 and R4 allow all three: PASSIVE_LEVEL, no top-level IRP, outside the paging path and the
// completion. Returns false when the file object could not be asked (closed, or the query
// failed), true when a verdict was reached (whatever the set returned).
bool CheckStream(STREAM_CONTEXT *context, const NameSource &source, bool deferred)
{
    LONG idle = 0;
    if (!__atomic_compare_exchange_n(&context->Busy, &idle, 1, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
        return true; // another thread is checking this stream right now: its verdict covers us
    }
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    ULONG generation = __atomic_load_n(&FilterState.TableGeneration, __ATOMIC_ACQUIRE);
    PFLT_FILE_NAME_INFORMATION nameInfo = nullptr;
    const FLT_FILE_NAME_OPTIONS options = FLT_FILE_NAME_NORMALIZED | FLT_FILE_NAME_QUERY_DEFAULT;
    NTSTATUS status = source.Data != nullptr
                          ? FltGetFileNameInformation(source.Data, options, &nameInfo)
                          : FltGetFileNameInformationUnsafe(source.FileObject, source.Instance, options, &nameInfo);
    bool reached = false;
    if (NT_SUCCESS(status)) {
        const bool watched = IsOnWatchedVolume(&nameInfo->Name, &generation);
        FltReleaseFileNameInformation(nameInfo);
        if (!watched) {
            SettleStream(context, generation, now.QuadPart + LastAccessRefreshInterval, false);
            reached = true;
        } else {
            FILE_BASIC_INFORMATION basic;
            ULONG returned = 0;
            status = FltQueryInformationFile(source.Instance, source.FileObject, &basic, sizeof(basic),
                                             FileBasicInformation, &returned);
            if (NT_SUCCESS(status)) {
                LONGLONG quietUntil = now.QuadPart + LastAccessRefreshInterval;
                if (LastAccessIsStale(now.QuadPart, basic.LastAccessTime.QuadPart)) {
                    // Only the last-access time: 0 leaves the other times and the attributes
                    // alone. Writing back the values just read would mark them as set by the
                    // caller on this handle, so that the file system stopped updating the
                    // last-write time for later writes through it, and could put back older
                    // times over a concurrent writer's.
                    FILE_BASIC_INFORMATION update;
                    update.CreationTime.QuadPart = 0;
                    update.LastAccessTime = now;
                    update.LastWriteTime.QuadPart = 0;
                    update.ChangeTime.QuadPart = 0;
                    update.FileAttributes = 0;
                    (void)FltSetInformationFile(source.Instance, source.FileObject, &update, sizeof(update),
                                                FileBasicInformation);
                } else {
                    quietUntil = basic.LastAccessTime.QuadPart + LastAccessRefreshInterval; // next due
                }
                SettleStream(context, generation, quietUntil, false);
                reached = true;
            }
        }
    }
    if (!reached) {
        // Not repeated within the hour; a stream owed a deferred check stays owed to the next
        // handle's cleanup or non-paging read, which can ask through a file object still open.
        SettleStream(context, generation, now.QuadPart + LastAccessRefreshInterval, deferred);
    }
    __atomic_store_n(&context->Busy, 0, __ATOMIC_RELEASE);
    return reached;
}

// Whether the calling thread may check on the spot (R1, R2, R4).
bool MayCheckHere()
{
    return !KeAreAllApcsDisabled() && IoGetTopLevelIrp() == nullptr;
}

VOID FLTAPI CheckWorker(PFLT_GENERIC_WORKITEM workItem, PVOID fltObject, PVOID workContext);

// Counts a work item about to be queued, unless unload has dropped the count's bias already.
// Callable at up to DISPATCH_LEVEL.
bool WorkBegin()
{
    LONG count = __atomic_load_n(&FilterState.WorkCount, __ATOMIC_RELAXED);
    do {
        if (count == 0) {
            return false;
        }
    } while (!__atomic_compare_exchange_n(&FilterState.WorkCount, &count, count + 1, true, __ATOMIC_ACQUIRE,
                                          __ATOMIC_RELAXED));
    return true;
}

// Drops a work item's count; the last one lets a waiting unload go on.
void WorkEnd()
{
    if (__atomic_sub_fetch(&FilterState.WorkCount, 1, __ATOMIC_ACQ_REL) == 0) {
        KeSetEvent(&FilterState.WorkDone, 0, FALSE);
    }
}

// Hands the stream's check to a work item (R6). Callable at up to DISPATCH_LEVEL. At most one
// work item per stream is queued; the stream stays Pending until a check succeeds.
void DeferCheck(STREAM_CONTEXT *context, PCFLT_RELATED_OBJECTS objects)
{
    __atomic_store_n(&context->Pending, 1, __ATOMIC_RELEASE);
    LONG idle = 0;
    if (!__atomic_compare_exchange_n(&context->WorkQueued, &idle, 1, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
        return;
    }
    bool queued = false;
    if (__atomic_load_n(&FilterState.Stopping, __ATOMIC_ACQUIRE) == 0 && WorkBegin()) {
        PFLT_GENERIC_WORKITEM item = FltAllocateGenericWorkItem();
        if (item != nullptr && NT_SUCCESS(FltObjectReference(objects->Instance))) {
            ObReferenceObject(objects->FileObject);
            FltReferenceContext(context);
            context->WorkFile = objects->FileObject;
            context->WorkItem = item;
            queued = NT_SUCCESS(FltQueueGenericWorkItem(item, objects->Instance, CheckWorker, DelayedWorkQueue, context));
            if (!queued) {
                context->WorkFile = nullptr;
                context->WorkItem = nullptr;
                FltReleaseContext(context);
                ObDereferenceObject(objects->FileObject);
                FltObjectDereference(objects->Instance);
            }
        }
        if (!queued) {
            if (item != nullptr) {
                FltFreeGenericWorkItem(item);
            }
            WorkEnd();
        }
    }
    if (!queued) {
        __atomic_store_n(&context->WorkQueued, 0, __ATOMIC_RELEASE);
    }
}

// The deferred check, in a system thread at PASSIVE_LEVEL. After unload has begun, or once the
// client is gone, or when a cleanup or a read has checked the stream meanwhile, it only lets go.
VOID FLTAPI CheckWorker(PFLT_GENERIC_WORKITEM workItem, PVOID fltObject, PVOID workContext)
{
    STREAM_CONTEXT *context = static_cast<STREAM_CONTEXT *>(workContext);
    PFLT_INSTANCE instance = static_cast<PFLT_INSTANCE>(fltObject);
    PFILE_OBJECT file = context->WorkFile;
    context->WorkFile = nullptr;
    context->WorkItem = nullptr;
    if (__atomic_load_n(&FilterState.Stopping, __ATOMIC_ACQUIRE) == 0 && ClientConnected() &&
        __atomic_load_n(&context->Pending, __ATOMIC_ACQUIRE) != 0) {
        const NameSource source = {nullptr, file, instance};
        (void)CheckStream(context, source, true);
    }
    ObDereferenceObject(file);
    FltFreeGenericWorkItem(workItem);
    __atomic_store_n(&context->WorkQueued, 0, __ATOMIC_RELEASE);
    FltReleaseContext(context);
    WorkEnd();
    // Last: an unload that WorkEnd let go on cannot finish unregistering (the instance's
    // teardown waits for this reference) before the routine is all but done.
    FltObjectDereference(instance);
}

const FLT_CONTEXT_REGISTRATION FilterContexts[] = {
    {FLT_STREAM_CONTEXT, 0, nullptr, sizeof(STREAM_CONTEXT), FILTER_POOL_TAG, nullptr, nullptr, nullptr},
    {FLT_CONTEXT_END, 0, nullptr, 0, 0, nullptr, nullptr, nullptr},
};

// Flags 0: cached and paging reads alike are delivered (OnPreRead sorts them). The pre-cleanup
// gives a stream owed a deferred check its last chance through a file object still open.
const FLT_OPERATION_REGISTRATION FilterCallbacks[] = {
    {IRP_MJ_READ, 0, OnPreRead, OnPostRead, nullptr},
    {IRP_MJ_CLEANUP, 0, OnPreCleanup, nullptr, nullptr},
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
    FilterState.TableGeneration = 1;
    FilterState.Stopping = 0;
    FilterState.WorkCount = 1;
    KeInitializeEvent(&FilterState.WorkDone, NotificationEvent, FALSE);
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

// Stops new deferred checks and waits for the queued ones (which then do nothing), stops new
// connections, unregisters (the Filter Manager disconnects a connected client, waits for running
// callbacks and frees the stream contexts), then frees whatever table is left. Never refuses.
// PASSIVE_LEVEL.
extern "C" NTSTATUS FLTAPI FilterUnload(FLT_FILTER_UNLOAD_FLAGS Flags)
{
    (void)Flags;
    __atomic_store_n(&FilterState.Stopping, 1, __ATOMIC_RELEASE);
    if (__atomic_sub_fetch(&FilterState.WorkCount, 1, __ATOMIC_ACQ_REL) != 0) {
        (void)KeWaitForSingleObject(&FilterState.WorkDone, Executive, KernelMode, FALSE, nullptr);
    }
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
    scratch.Buffer = static_cast<PWCH>(ExAllocatePoolWithTag(FILTER_POOL_TYPE, 32, FILTER_POOL_TAG));
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

// Decides what a read needs (see "Where the refresh runs"): nothing while no client is
// connected or the stream's verdict holds; a deferred check for a paging read; otherwise a
// post-read, synchronized for synchronous IRP reads. The stream context, when there is one,
// passes to the post-read as its completion context. <= APC_LEVEL.
extern "C" FLT_PREOP_CALLBACK_STATUS FLTAPI OnPreRead(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                                                      PVOID *CompletionContext)
{
    *CompletionContext = nullptr;
    if (!ClientConnected()) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    STREAM_CONTEXT *context = StreamContextOf(FltObjects);
    if (context == nullptr) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    const bool irp = (Data->Flags & FLTFL_CALLBACK_DATA_IRP_OPERATION) != 0;
    const bool paging = irp && (Data->Iopb->IrpFlags & (IRP_PAGING_IO | IRP_SYNCHRONOUS_PAGING_IO)) != 0;
    // A stream owed a deferred check is checked by the next read that can ask; paging reads
    // cannot, and wait out the quiet time like any other.
    if (VerdictHolds(context) && (paging || __atomic_load_n(&context->Pending, __ATOMIC_ACQUIRE) == 0)) {
        FltReleaseContext(context);
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    if (paging) {
        DeferCheck(context, FltObjects);
        FltReleaseContext(context);
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    *CompletionContext = context;
    return irp && FltIsOperationSynchronous(Data) ? FLT_PREOP_SYNCHRONIZE : FLT_PREOP_SUCCESS_WITH_CALLBACK;
}

// Checks the stream where that is allowed - a synchronized IRP read or a fast I/O read, at
// PASSIVE_LEVEL with no top-level IRP - and defers the check otherwise. Never alters the read;
// every failure ends the check silently. Runs at up to DISPATCH_LEVEL.
extern "C" FLT_POSTOP_CALLBACK_STATUS FLTAPI OnPostRead(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                                                        PVOID CompletionContext, FLT_POST_OPERATION_FLAGS Flags)
{
    STREAM_CONTEXT *context = static_cast<STREAM_CONTEXT *>(CompletionContext);
    if (context == nullptr) {
        return FLT_POSTOP_FINISHED_PROCESSING;
    }
    // While the instance drains no new I/O may be issued, and the read is not synchronized back.
    if ((Flags & FLTFL_POST_OPERATION_DRAINING) == 0 && ClientConnected()) {
        const bool fastIo = (Data->Flags & FLTFL_CALLBACK_DATA_FAST_IO_OPERATION) != 0;
        // FltIsOperationSynchronous gives the same answer as in the pre-read: synchronized.
        const bool synchronized = !fastIo && FltIsOperationSynchronous(Data);
        if ((fastIo || synchronized) && MayCheckHere()) {
            const NameSource source = {Data, FltObjects->FileObject, FltObjects->Instance};
            (void)CheckStream(context, source, false);
        } else {
            DeferCheck(context, FltObjects);
        }
    }
    FltReleaseContext(context);
    return FLT_POSTOP_FINISHED_PROCESSING;
}

// A handle on a stream owed a deferred check is closing: its file object is still open here,
// at PASSIVE_LEVEL outside the file system, so the check runs now (R5). <= APC_LEVEL.
extern "C" FLT_PREOP_CALLBACK_STATUS FLTAPI OnPreCleanup(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                                                         PVOID *CompletionContext)
{
    *CompletionContext = nullptr;
    if (!ClientConnected()) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    PFLT_CONTEXT found = nullptr;
    if (!NT_SUCCESS(FltGetStreamContext(FltObjects->Instance, FltObjects->FileObject, &found))) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    STREAM_CONTEXT *context = static_cast<STREAM_CONTEXT *>(found);
    if (__atomic_load_n(&context->Pending, __ATOMIC_ACQUIRE) != 0 && MayCheckHere()) {
        const NameSource source = {Data, FltObjects->FileObject, FltObjects->Instance};
        (void)CheckStream(context, source, false);
    }
    FltReleaseContext(context);
    return FLT_PREOP_SUCCESS_NO_CALLBACK;
}
