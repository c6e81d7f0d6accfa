// Ombrix_Filter: registration, the communication port "\OmbrixPort" with its volume list, and the
// last-access refresh on reads.
//
// Publication of the volume table
//   The port notifications (connect, message, disconnect), the instance setup and teardown and
//   the unload run at PASSIVE_LEVEL; the read callbacks run on any thread that reads, the
//   post-read at up to DISPATCH_LEVEL, the work items in system threads. The table, and the list
//   of instances, are guarded by a push lock:
//   - writers build a complete replacement off to the side (allocated, filled, terminated), swap
//     it in under the lock held exclusively, give every instance its verdict under the new table
//     there, and free the entries they replaced after releasing it. Each swap also moves the
//     table's generation on, which voids every stream verdict reached under the old table;
//   - the entries are read only under the lock (a new list, an instance being set up), at
//     PASSIVE_LEVEL; reads see only each instance's verdict, an atomic flag in its context;
//   - ClientPort is a single pointer, written by connect and disconnect under the lock, and read
//     with an atomic load. Each connection has its own cookie: a message is published only for
//     the connection that sent it, and the disconnect empties the table and takes ClientPort
//     under the lock before it closes the port, so that a new connection, which the closed port
//     lets in, finds the table of its own. The count and the generation are also stored
//     atomically, so that a read can be let through without the lock while the table is empty or
//     the stream's verdict holds.
//
// Which volumes
//   Each instance keeps its volume's name (FltGetVolumeName at instance setup) and whether the
//   list names it: the volume's whole device name must be "\" followed by an entry's text. The
//   volume of every file read through an instance is that instance's volume, so no file name is
//   asked for. A read through an instance whose volume is not listed costs no query, no work item
//   and no stream context.
//
// Where the refresh runs, and the platform rules that decide it
//   The information query and the set may not run just anywhere a read is seen:
//   R1 The post-read of an IRP read that is not synchronized runs inside the file system's
//      completion, with the thread's top-level IRP set.
//   R2 That post-read runs at up to DISPATCH_LEVEL in an arbitrary thread; FltQueryInformationFile
//      and FltSetInformationFile want PASSIVE_LEVEL ("Writing Postoperation Callback Routines";
//      the routines' IRQL requirements).
//   R3 Returning FLT_PREOP_SYNCHRONIZE for an IRP-based read makes the Filter Manager call the
//      post-read in the pre-read's thread at IRQL <= APC_LEVEL once the file system is done;
//      it must not be returned for asynchronous reads (check FltIsOperationSynchronous), and a
//      draining filter is not synchronized back. Fast I/O comes at PASSIVE_LEVEL, its post-read
//      in the issuing thread ("Returning FLT_PREOP_SYNCHRONIZE").
//   R4 Issuing I/O from the paging path recurses into the file system and the memory manager
//      and can deadlock, and so can waiting there; so can I/O from inside a read's completion,
//      where the file system holds the stream's resources.
//   R5 Once a handle's cleanup has run (FO_CLEANUP_COMPLETE), whether a query or set through its
//      file object fails is up to the file system (NTFS: STATUS_FILE_CLOSED; FAT lets them
//      through); paging reads through it go on as long as the file stays mapped. The file
//      systems' own stream file objects (FO_STREAM_FILE: metadata, directory indexes) never had
//      a caller's handle, and the paging file is the memory manager's. None of these is worked
//      through, neither before queuing nor in the work item.
//   R6 Pre-operation callbacks run at IRQL <= APC_LEVEL; stream and instance contexts can be
//      looked up and set there (FltGetStreamContext, FltSetStreamContext, FltGetInstanceContext:
//      <= APC_LEVEL) and stream contexts are shared by all file objects of the stream;
//      FltReleaseContext and the generic work item routines work at up to DISPATCH_LEVEL, and the
//      work item runs later in a system thread at PASSIVE_LEVEL.
//   Hence:
//   - OnPreRead decides. With no client, or an empty table, it asks for nothing; nor for a
//     stream file object or the paging file, before any context is looked up. A stream checked
//     within the hour under the current table asks for nothing more. Otherwise the instance's
//     verdict decides whether there is anything to do, and every other read is to be checked:
//       * a synchronous IRP read returns FLT_PREOP_SYNCHRONIZE (R3), so OnPostRead runs outside
//         the completion, in the reader's thread, where the checks are allowed (R1, R2, R4);
//       * a fast I/O read gets a post-read, which runs at PASSIVE_LEVEL in the reader's thread;
//       * an asynchronous IRP read gets a post-read too, which may land at DISPATCH_LEVEL
//         inside the completion: it is deferred (below);
//       * a paging read (a mapped file, a program's image, the cache manager's own reads) is
//         deferred straight from the pre-read: nothing is asked of the file system there (R4).
//   - OnPostRead checks on the spot when the pre-read said (in the completion context) that it
//     runs back in the reader's thread - synchronized, or after fast I/O - at PASSIVE_LEVEL with
//     no top-level IRP and not draining; otherwise it defers. It never guesses from the flags
//     again: a read the pre-read did not synchronize may complete anywhere, even at
//     PASSIVE_LEVEL with no top-level IRP in a lower filter's worker, inside the completion.
//   - Deferring marks the stream Pending and, unless the file object's handle is closed (R5),
//     queues one generic work item per stream, holding a reference on the file object, the
//     instance and the context. The work item runs at PASSIVE_LEVEL in a system thread, outside
//     any file-system call, and asks through the referenced file object unless its handle has
//     been closed meanwhile (R5). A stream left Pending is checked by OnPreCleanup - the
//     pre-cleanup of any handle on the stream, where the file object is still open, at
//     PASSIVE_LEVEL - or by the next non-paging read, a later open's.
//   - Unload stops new deferrals, waits for the queued work items (a count of them and an
//     event: Wine's kernel leaves the rundown-protection routines unimplemented) and only then
//     unregisters; queued items that run after the stop do nothing. The Filter Manager frees
//     the stream and instance contexts when the instances go.
//   The read itself is never failed or altered; a synchronized one waits for at most one check
//   of its stream, and nothing else waits on anything that is not sure to come.
//
// Cost
//   A check costs one information query (plus the set when due). Its verdict is kept in the
//   stream context until the stored time is next due (the last-access time plus the interval),
//   or an hour for a refreshed stream, or until the table changes. A failed check is not
//   repeated within the hour either. Only one check per stream runs at a time; concurrent
//   readers of the same stream ask for nothing.
//
// Pool
//   NonPagedPoolNx from Windows 8 on, NonPagedPool before: Windows 7 does not know the former.
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

WCHAR Upcase(WCHAR c)
{
    return c >= KS_TEXT('a') && c <= KS_TEXT('z') ? (WCHAR)(c - (KS_TEXT('a') - KS_TEXT('A'))) : c;
}

void InstancesFollowTable();

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
// entries that were published before, for the caller to free outside the lock. With a
// connection cookie, publishes only while that connection is the current one and returns false
// otherwise: a message still being handled when its client's handle is closed must leave no
// table behind the disconnect, nor one for the next client. With ending set, also ends that
// connection: ClientPort passes to *ending, for the caller to close once the lock is released.
bool TablePublish(VOLUME_TABLE *replacement, ULONG_PTR connection, PFLT_PORT *ending)
{
    VOLUME_TABLE *table = &FilterState.VolumeTable;
    FltAcquirePushLockExclusive(&FilterState.TableLock);
    if (connection != 0 && FilterState.Connection != connection) {
        FltReleasePushLock(&FilterState.TableLock);
        return false;
    }
    if (ending != nullptr) {
        *ending = __atomic_exchange_n(&FilterState.ClientPort, static_cast<PFLT_PORT>(nullptr), __ATOMIC_ACQ_REL);
        FilterState.Connection = 0;
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
    InstancesFollowTable();
    FltReleasePushLock(&FilterState.TableLock);
    return true;
}

// Empties the table and frees its entries; with a connection cookie, only while that connection
// is the current one, and ends it: returns its client port for the caller to close.
PFLT_PORT TableClear(ULONG_PTR connection)
{
    VOLUME_TABLE empty;
    empty.Count = 0;
    PFLT_PORT ended = nullptr;
    TablePublish(&empty, connection, connection != 0 ? &ended : nullptr);
    TableFreeEntries(&empty);
    return ended;
}

// Whether the list names the volume: its name is "\" followed by one entry's text exactly
// (object names compare without regard to case). A substring test would take
// "\Device\HarddiskVolume23", or a path that merely contains an entry's text, for the listed
// "\Device\HarddiskVolume2". The caller holds TableLock.
bool TableNames(const VOLUME_TABLE *table, const INSTANCE_CONTEXT *instance)
{
    const USHORT chars = instance->NameLength / sizeof(WCHAR);
    if (chars < 2 || instance->Name[0] != KS_TEXT('\\')) {
        return false;
    }
    for (ULONG i = 0; i < table->Count; ++i) {
        const UNICODE_STRING *entry = &table->Entries[i];
        if (entry->Length != (chars - 1) * sizeof(WCHAR)) {
            continue;
        }
        USHORT c = 0;
        while (c < chars - 1 && Upcase(entry->Buffer[c]) == Upcase(instance->Name[c + 1])) {
            ++c;
        }
        if (c == chars - 1) {
            return true;
        }
    }
    return false;
}

// Gives every instance its verdict under the table now published. The caller holds TableLock
// exclusively.
void InstancesFollowTable()
{
    for (INSTANCE_CONTEXT *i = FilterState.Instances; i != nullptr; i = i->Next) {
        __atomic_store_n(&i->Watched, TableNames(&FilterState.VolumeTable, i) ? 1 : 0, __ATOMIC_RELEASE);
    }
}

// Whether the instance's volume is on the list. <= APC_LEVEL (FltGetInstanceContext).
bool InstanceWatched(PFLT_INSTANCE instance)
{
    PFLT_CONTEXT found = nullptr;
    if (!NT_SUCCESS(FltGetInstanceContext(instance, &found))) {
        return false;
    }
    const bool watched = __atomic_load_n(&static_cast<INSTANCE_CONTEXT *>(found)->Watched, __ATOMIC_ACQUIRE) != 0;
    FltReleaseContext(found);
    return watched;
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

// Creates "\OmbrixPort" (one connection). Only LocalSystem may connect: the service runs as
// LocalSystem and gives up its connection before every cycle, and the default descriptor would
// let any administrator's process take the one slot in that moment. The descriptor is absolute
// and lives on the stack; the object manager captures it as the port is created. A failure
// leaves ServerPort empty: the driver filters anyway and no client can connect.
void CreateServerPort()
{
    SID system; // S-1-5-18: one sub-authority, which SID has room for
    const SID_IDENTIFIER_AUTHORITY nt = {SECURITY_NT_AUTHORITY};
    system.Revision = SID_REVISION;
    system.SubAuthorityCount = 1;
    system.IdentifierAuthority = nt;
    system.SubAuthority[0] = SECURITY_LOCAL_SYSTEM_RID;
    ULONG aclBuffer[8]; // the ACL header and one ACE for a one-sub-authority SID: 28 bytes
    PACL acl = reinterpret_cast<PACL>(aclBuffer);
    SECURITY_DESCRIPTOR descriptor;
    NTSTATUS status = RtlCreateSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    if (NT_SUCCESS(status)) {
        status = RtlCreateAcl(acl, sizeof(aclBuffer), ACL_REVISION);
    }
    if (NT_SUCCESS(status)) {
        status = RtlAddAccessAllowedAce(acl, ACL_REVISION, FLT_PORT_ALL_ACCESS, &system);
    }
    if (NT_SUCCESS(status)) {
        status = RtlSetDaclSecurityDescriptor(&descriptor, TRUE, acl, FALSE);
    }
    if (!NT_SUCCESS(status)) {
        return;
    }
    UNICODE_STRING name = ConstantString(PortNameText, sizeof(PortNameText));
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, &descriptor);
    PFLT_PORT port = nullptr;
    status = FltCreateCommunicationPort(FilterState.FilterHandle, &port, &attributes, nullptr, OnPortConnect,
                                        OnPortDisconnect, OnPortMessage, 1);
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

// A new stream context for the file object's stream, or the one another reader set first; null
// where the file system keeps no stream contexts or memory is short (the read then goes
// unchecked). <= APC_LEVEL. The caller releases the result.
STREAM_CONTEXT *NewStreamContext(PCFLT_RELATED_OBJECTS objects)
{
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

// The file object a check asks through, and its instance.
struct CheckTarget {
    PFILE_OBJECT FileObject;
    PFLT_INSTANCE Instance;
};

// The check itself: information query, and the set when due. The instance has judged the
// volume already, so no name is asked for. Only where R2 and R4 allow it: PASSIVE_LEVEL, no
// top-level IRP, outside the paging path and the completion. Returns false when the file
// object could not be asked, true when a verdict was reached (whatever the set returned).
bool CheckStream(STREAM_CONTEXT *context, const CheckTarget &target, bool deferred)
{
    LONG idle = 0;
    if (!__atomic_compare_exchange_n(&context->Busy, &idle, 1, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
        return true; // another thread is checking this stream right now: its verdict covers us
    }
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    const ULONG generation = __atomic_load_n(&FilterState.TableGeneration, __ATOMIC_ACQUIRE);
    bool reached = false;
    FILE_BASIC_INFORMATION basic;
    ULONG returned = 0;
    const NTSTATUS status = FltQueryInformationFile(target.Instance, target.FileObject, &basic, sizeof(basic),
                                                    FileBasicInformation, &returned);
    if (NT_SUCCESS(status)) {
        LONGLONG quietUntil = now.QuadPart + LastAccessRefreshInterval;
        if (LastAccessIsStale(now.QuadPart, basic.LastAccessTime.QuadPart)) {
            // Only the last-access time: 0 leaves the other times and the attributes alone.
            // Writing back the values just read would mark them as set by the caller on this
            // handle, so that the file system stopped updating the last-write time for later
            // writes through it, and could put back older times over a concurrent writer's.
            FILE_BASIC_INFORMATION update;
            update.CreationTime.QuadPart = 0;
            update.LastAccessTime = now;
            update.LastWriteTime.QuadPart = 0;
            update.ChangeTime.QuadPart = 0;
            update.FileAttributes = 0;
            (void)FltSetInformationFile(target.Instance, target.FileObject, &update, sizeof(update),
                                        FileBasicInformation);
        } else {
            quietUntil = basic.LastAccessTime.QuadPart + LastAccessRefreshInterval; // next due
        }
        SettleStream(context, generation, quietUntil, false);
        reached = true;
    } else {
        // Not repeated within the hour; a stream owed a deferred check stays owed to the next
        // handle's cleanup or non-paging read, which can ask through a file object still open.
        SettleStream(context, generation, now.QuadPart + LastAccessRefreshInterval, deferred);
    }
    __atomic_store_n(&context->Busy, 0, __ATOMIC_RELEASE);
    return reached;
}

// File objects no check may work through: the file systems' own stream file objects (never a
// caller's handle), file objects whose handle is closed (a file system need not fail calls on
// them), and the paging file. <= APC_LEVEL.
bool NeverChecked(PFILE_OBJECT file)
{
    const ULONG flags = __atomic_load_n(&file->Flags, __ATOMIC_ACQUIRE);
    return (flags & (FO_STREAM_FILE | FO_CLEANUP_COMPLETE)) != 0 || FsRtlIsPagingFile(file);
}

// The completion context a pre-read hands its post-read: the stream context, its lowest bit set
// when the post-read runs back in the reader's thread. Contexts are pool blocks, aligned to 8
// bytes at least, so the bit is free.
const ULONG_PTR InReaderThread = 1;

PVOID TagCompletion(STREAM_CONTEXT *context, bool inReaderThread)
{
    return reinterpret_cast<PVOID>(reinterpret_cast<ULONG_PTR>(context) | (inReaderThread ? InReaderThread : 0));
}

STREAM_CONTEXT *CompletionStream(PVOID completion)
{
    return reinterpret_cast<STREAM_CONTEXT *>(reinterpret_cast<ULONG_PTR>(completion) & ~InReaderThread);
}

bool CompletionInReaderThread(PVOID completion)
{
    return (reinterpret_cast<ULONG_PTR>(completion) & InReaderThread) != 0;
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
    // A closed handle's file object (a mapping's page faults): the next open is owed the check.
    if ((__atomic_load_n(&objects->FileObject->Flags, __ATOMIC_ACQUIRE) & FO_CLEANUP_COMPLETE) != 0) {
        return;
    }
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
        __atomic_load_n(&context->Pending, __ATOMIC_ACQUIRE) != 0 && !NeverChecked(file) &&
        InstanceWatched(instance)) {
        const CheckTarget target = {file, instance};
        (void)CheckStream(context, target, true);
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
    {FLT_INSTANCE_CONTEXT, 0, nullptr, sizeof(INSTANCE_CONTEXT), FILTER_POOL_TAG, nullptr, nullptr, nullptr},
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

// Flags 0, so the filter can be stopped and unloaded on request. The instance setup attaches to
// every volume the Filter Manager offers and judges it against the list; no query teardown, so
// an instance cannot be detached by hand.
extern "C" const FLT_REGISTRATION FilterRegistration = {
    sizeof(FLT_REGISTRATION),
    FLT_REGISTRATION_VERSION_0202,
    0,
    FilterContexts,
    FilterCallbacks,
    FilterUnload,
    OnInstanceSetup, nullptr, nullptr, OnInstanceTeardownComplete, // setup, query teardown, teardown start, complete
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
    FilterState.Connection = 0;
    FilterState.LastConnection = 0;
    FilterState.VolumeTable.Count = 0;
    FilterState.Instances = nullptr;
    FilterState.TableGeneration = 1;
    RTL_OSVERSIONINFOW version;
    version.dwOSVersionInfoSize = sizeof(version);
    const bool nx = NT_SUCCESS(RtlGetVersion(&version)) &&
                    (version.dwMajorVersion > 6 || (version.dwMajorVersion == 6 && version.dwMinorVersion >= 2));
    FilterState.PoolType = nx ? NonPagedPoolNx : NonPagedPool;
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
    (void)TableClear(0);
    FltDeletePushLock(&FilterState.TableLock);
    return STATUS_SUCCESS;
}

// Accepts every connection (the port allows one at a time), records its client port and gives
// it a cookie of its own, which its message and disconnect notifications carry. PASSIVE_LEVEL,
// in the connecting thread.
extern "C" NTSTATUS FLTAPI OnPortConnect(PFLT_PORT ClientPort, PVOID ServerPortCookie, PVOID ConnectionContext,
                                         ULONG SizeOfContext, PVOID *ConnectionCookie)
{
    (void)ServerPortCookie;
    (void)ConnectionContext;
    (void)SizeOfContext;
    FltAcquirePushLockExclusive(&FilterState.TableLock);
    if (++FilterState.LastConnection == 0) {
        ++FilterState.LastConnection; // 0 means no connection
    }
    FilterState.Connection = FilterState.LastConnection;
    __atomic_store_n(&FilterState.ClientPort, ClientPort, __ATOMIC_RELEASE);
    *ConnectionCookie = reinterpret_cast<PVOID>(FilterState.Connection);
    FltReleasePushLock(&FilterState.TableLock);
    DbgPrint("[Filter] Port Connect");
    return STATUS_SUCCESS;
}

// Empties the table and takes the client port under the lock, then closes the port: a client
// that connects once the port is closed starts with an empty table that stays its own.
// PASSIVE_LEVEL.
extern "C" VOID FLTAPI OnPortDisconnect(PVOID ConnectionCookie)
{
    PFLT_PORT port = TableClear(reinterpret_cast<ULONG_PTR>(ConnectionCookie));
    if (port != nullptr) {
        FltCloseClientPort(FilterState.FilterHandle, &port);
    }
    DbgPrint("[Filter] Port Disconnect");
}

// Rebuilds the table from a VolumeListMessage. The message lives in the sender's memory: it is
// captured once into a kernel buffer (probed, read under exception protection, bounded by the
// input length) and validated on that copy. A malformed message (shorter than 4 + 4 * count
// bytes, a count above VolumeTableCapacity, a number of more than 7 digits) is refused with
// STATUS_INVALID_PARAMETER and leaves the table as it was; so does a failed allocation. A
// second message on one connection replaces and frees the earlier entries. A message that is
// still being handled when its client disconnects is dropped, also when another client has
// connected meanwhile. No output.
extern "C" NTSTATUS FLTAPI OnPortMessage(PVOID PortCookie, PVOID InputBuffer, ULONG InputBufferLength,
                                         PVOID OutputBuffer, ULONG OutputBufferLength,
                                         PULONG ReturnOutputBufferLength)
{
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
    if (NT_SUCCESS(status) && // replacement now holds the earlier entries
        (PortCookie == nullptr || !TablePublish(&replacement, reinterpret_cast<ULONG_PTR>(PortCookie), nullptr))) {
        status = STATUS_PORT_DISCONNECTED;
    }
    TableFreeEntries(&replacement);
    return status;
}

// Decides what a read needs (see "Where the refresh runs"): nothing while no client is
// connected or the stream's verdict holds; a deferred check for a paging read; otherwise a
// post-read, synchronized for synchronous IRP reads. The stream context passes to the post-read
// as its completion context, tagged when the post-read runs back in the reader's thread.
// <= APC_LEVEL.
extern "C" FLT_PREOP_CALLBACK_STATUS FLTAPI OnPreRead(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                                                      PVOID *CompletionContext)
{
    *CompletionContext = nullptr;
    if (!ClientConnected()) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    // The file systems' own streams and the paging file: no context, no lock, no work.
    if ((__atomic_load_n(&FltObjects->FileObject->Flags, __ATOMIC_ACQUIRE) & FO_STREAM_FILE) != 0 ||
        FsRtlIsPagingFile(FltObjects->FileObject)) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    const bool irp = (Data->Flags & FLTFL_CALLBACK_DATA_IRP_OPERATION) != 0;
    const bool paging = irp && (Data->Iopb->IrpFlags & (IRP_PAGING_IO | IRP_SYNCHRONOUS_PAGING_IO)) != 0;
    // A stream with a verdict under the current table asks nothing more: the table's generation
    // moves on with every change of the instances' verdicts too. A stream owed a deferred check
    // is checked by the next read that can ask; paging reads cannot, and wait out the quiet time.
    PFLT_CONTEXT found = nullptr;
    STREAM_CONTEXT *context = nullptr;
    if (NT_SUCCESS(FltGetStreamContext(FltObjects->Instance, FltObjects->FileObject, &found))) {
        context = static_cast<STREAM_CONTEXT *>(found);
        if (VerdictHolds(context) && (paging || __atomic_load_n(&context->Pending, __ATOMIC_ACQUIRE) == 0)) {
            FltReleaseContext(context);
            return FLT_PREOP_SUCCESS_NO_CALLBACK;
        }
    }
    // Nothing to do on volumes not listed. (Their streams never get a context.)
    if (!InstanceWatched(FltObjects->Instance)) {
        if (context != nullptr) {
            FltReleaseContext(context);
        }
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    if (context == nullptr && (context = NewStreamContext(FltObjects)) == nullptr) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    if (paging) {
        DeferCheck(context, FltObjects);
        FltReleaseContext(context);
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    // Only a synchronous IRP read may be synchronized (R3); fast I/O's post-read comes in the
    // reader's thread anyway. Every other read's post-read may come anywhere.
    const bool synchronize = irp && FltIsOperationSynchronous(Data);
    const bool fastIo = (Data->Flags & FLTFL_CALLBACK_DATA_FAST_IO_OPERATION) != 0;
    *CompletionContext = TagCompletion(context, synchronize || fastIo);
    return synchronize ? FLT_PREOP_SYNCHRONIZE : FLT_PREOP_SUCCESS_WITH_CALLBACK;
}

// Checks the stream where the pre-read said the post-read runs back in the reader's thread
// (synchronized, or fast I/O) and the thread may ask - PASSIVE_LEVEL, no top-level IRP - and
// defers the check otherwise. Never alters the read; every failure ends the check silently.
// Runs at up to DISPATCH_LEVEL.
extern "C" FLT_POSTOP_CALLBACK_STATUS FLTAPI OnPostRead(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                                                        PVOID CompletionContext, FLT_POST_OPERATION_FLAGS Flags)
{
    (void)Data;
    STREAM_CONTEXT *context = CompletionStream(CompletionContext);
    if (context == nullptr) {
        return FLT_POSTOP_FINISHED_PROCESSING;
    }
    // While the instance drains no new I/O may be issued, and the read is not synchronized back.
    if ((Flags & FLTFL_POST_OPERATION_DRAINING) == 0 && ClientConnected()) {
        if (CompletionInReaderThread(CompletionContext) && MayCheckHere()) {
            const CheckTarget target = {FltObjects->FileObject, FltObjects->Instance};
            (void)CheckStream(context, target, false);
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
    (void)Data;
    *CompletionContext = nullptr;
    if (!ClientConnected() || NeverChecked(FltObjects->FileObject)) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    PFLT_CONTEXT found = nullptr;
    if (!NT_SUCCESS(FltGetStreamContext(FltObjects->Instance, FltObjects->FileObject, &found))) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    STREAM_CONTEXT *context = static_cast<STREAM_CONTEXT *>(found);
    if (__atomic_load_n(&context->Pending, __ATOMIC_ACQUIRE) != 0 && MayCheckHere() &&
        InstanceWatched(FltObjects->Instance)) {
        const CheckTarget target = {FltObjects->FileObject, FltObjects->Instance};
        (void)CheckStream(context, target, false);
    }
    FltReleaseContext(context);
    return FLT_PREOP_SUCCESS_NO_CALLBACK;
}

// Keeps the volume's name in an instance context and judges it against the current list. Always
// attaches: a later list may name the volume. Without a context (memory short) the instance
// never refreshes. PASSIVE_LEVEL.
extern "C" NTSTATUS FLTAPI OnInstanceSetup(PCFLT_RELATED_OBJECTS FltObjects, FLT_INSTANCE_SETUP_FLAGS Flags,
                                           ULONG VolumeDeviceType, FLT_FILESYSTEM_TYPE VolumeFilesystemType)
{
    (void)Flags;
    (void)VolumeDeviceType;
    (void)VolumeFilesystemType;
    PFLT_CONTEXT created = nullptr;
    if (!NT_SUCCESS(FltAllocateContext(FilterState.FilterHandle, FLT_INSTANCE_CONTEXT, sizeof(INSTANCE_CONTEXT),
                                       FILTER_POOL_TYPE, &created))) {
        return STATUS_SUCCESS;
    }
    INSTANCE_CONTEXT *context = static_cast<INSTANCE_CONTEXT *>(created);
    context->Next = nullptr;
    context->Watched = 0;
    UNICODE_STRING name;
    name.Buffer = context->Name;
    name.Length = 0;
    name.MaximumLength = sizeof(context->Name);
    ULONG needed = 0;
    context->NameLength = NT_SUCCESS(FltGetVolumeName(FltObjects->Volume, &name, &needed)) ? name.Length : 0;
    if (NT_SUCCESS(FltSetInstanceContext(FltObjects->Instance, FLT_SET_CONTEXT_KEEP_IF_EXISTS, created, nullptr))) {
        FltReferenceContext(created); // the list's
        FltAcquirePushLockExclusive(&FilterState.TableLock);
        context->Watched = TableNames(&FilterState.VolumeTable, context) ? 1 : 0;
        context->Next = FilterState.Instances;
        FilterState.Instances = context;
        FltReleasePushLock(&FilterState.TableLock);
    }
    FltReleaseContext(created);
    return STATUS_SUCCESS;
}

// Takes the instance off the list of instances once its I/O is over. PASSIVE_LEVEL.
extern "C" VOID FLTAPI OnInstanceTeardownComplete(PCFLT_RELATED_OBJECTS FltObjects, FLT_INSTANCE_TEARDOWN_FLAGS Reason)
{
    (void)Reason;
    PFLT_CONTEXT found = nullptr;
    if (!NT_SUCCESS(FltGetInstanceContext(FltObjects->Instance, &found))) {
        return;
    }
    INSTANCE_CONTEXT *context = static_cast<INSTANCE_CONTEXT *>(found);
    bool listed = false;
    FltAcquirePushLockExclusive(&FilterState.TableLock);
    for (INSTANCE_CONTEXT **link = &FilterState.Instances; *link != nullptr; link = &(*link)->Next) {
        if (*link == context) {
            *link = context->Next;
            listed = true;
            break;
        }
    }
    FltReleasePushLock(&FilterState.TableLock);
    if (listed) {
        FltReleaseContext(found); // the list's
    }
    FltReleaseContext(found);
}
