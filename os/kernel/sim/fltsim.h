// The simulated kernel and Filter Manager: what the host tests build a machine with and look at.
//
// The driver's source calls the platform routines by name (FltRegisterFilter, ExAllocatePoolWithTag,
// ...); on the host they are implemented in fltsim.cpp against the machine described here. The
// simulation behaves like the Filter Manager: it loads the driver by calling DriverEntry, keeps
// the registration, creates the communication port and enforces its connection limit, calls the
// port notifications as a user-mode client connects, sends and closes its handle, and calls the
// pre- and post-read callbacks when a file is read (from as many threads as the test likes), the
// pre-cleanup callback when a handle closes, and queued work items later on other threads. It
// models the rules a real Filter Manager and the file systems below it impose on those callbacks:
//   - every volume gets an instance of the filter when it is mounted or when the filter starts,
//     after the filter's instance setup callback (which may decline it); reads reach the filter
//     only through its instance on the file's volume;
//   - each kind of read (ReadKind) arrives with the callback-data flags and IRP flags the Filter
//     Manager and the I/O manager set for it, and FltIsOperationSynchronous answers from those
//     and the file object's FO_SYNCHRONOUS_IO as documented;
//   - the post-read of an IRP read that was not synchronized runs inside its completion: in the
//     file system's, at the completion's IRQL (up to DISPATCH_LEVEL) with the thread's top-level
//     IRP set, or in a lower filter's worker thread at PASSIVE_LEVEL with none; any I/O it
//     issues (a query, a set) can deadlock there (recorded as a violation);
//   - FLT_PREOP_SYNCHRONIZE moves the post-read of a synchronous IRP read back to the issuing
//     thread at its IRQL (<= APC_LEVEL), outside the completion; returning it for an asynchronous
//     read is a violation; fast I/O reads run both callbacks at PASSIVE_LEVEL in the issuing thread;
//   - any query, set or wait issued from the callbacks of a paging read (IRP_PAGING_IO) is
//     recursion into, or a stall of, the paging path;
//   - after a handle's cleanup its file object carries FO_CLEANUP_COMPLETE; what a query or set
//     through it does is the file system's business: NTFS fails it with STATUS_FILE_CLOSED, FAT
//     lets it through, and the Filter Manager's name cache answers name queries. Paging reads
//     through it still happen (mapped files). Each volume also has the file system's own stream
//     file objects (FO_STREAM_FILE, never a handle) and may hold the paging file;
//   - an instance tears down (filter unload, volume dismount) in the documented order: teardown
//     start, no new operations, running ones drained, rundown references waited for (the system
//     keeps serving the work queue), teardown complete, then the stream and instance contexts
//     are released; generic work items run only when the system gets to them, on another thread;
//   - the port admits a client only if its security descriptor grants the client's token
//     FLT_PORT_CONNECT; pool types are those the simulated Windows version knows.
// It checks the rules that a real kernel enforces with a bug check (IRQL of each call, freeing
// with the wrong tag, unregistering with an open server port or queued work, ...) and records
// each breach as a violation instead, so that tests can assert there were none.
#pragma once

#include "ntbase.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "documented.h"
// The driver's declarations give the simulation the types it exchanges with the driver; every
// value it acts on comes from documented.h (fltsim.cpp poisons the driver's names).
#include "../fltmgr.h"

namespace fltsim {

// Routines that can be told to fail.
enum class Call {
    RegisterFilter,
    StartFiltering,
    CreateCommunicationPort,
    GetVolumeName,
    QueryInformationFile,
    SetInformationFile,
    AllocatePool,
    IntegerToUnicodeString,
    AppendUnicodeString,
    CaptureBuffer,
    AllocateContext,
    SetStreamContext,
    GetStreamContext,
    QueueWorkItem,
    Count
};

// Makes the nth call (1-based, counted from now) of a routine fail with status; nth 0 makes every
// call fail until Reset.
void FailCall(Call call, NTSTATUS status, unsigned nth = 0);
// How often a routine was called since Reset.
unsigned CallCount(Call call);

// A fresh machine: no driver, no files, clock at 0, no faults, counters and logs cleared.
// Memory the previous driver left in pool is reported by PoolOutstanding until then.
void Reset();

// ---- clock and version
void SetSystemTime(LONGLONG time);
// The Windows version RtlGetVersion reports (10.0 after Reset). Before 6.2 there is no
// NonPagedPoolNx: allocations of it are refused.
void SetVersion(ULONG major, ULONG minor);

// ---- the driver
NTSTATUS LoadDriver();   // calls DriverEntry as the I/O manager would
NTSTATUS UnloadDriver(); // "fltmc unload": calls the registered unload callback, flags 0
bool IsRegistered();
bool IsFiltering();
// The registration record the driver passed (valid while registered).
const FLT_REGISTRATION *Registration();

// ---- the communication port
struct PortInfo {
    bool open = false;
    std::u16string name;
    ULONG attributes = 0;
    LONG maxConnections = 0;
    bool serverCookie = false;
};
PortInfo ServerPort();
unsigned OpenClientPorts(); // client ports the driver has not closed yet

// Who a connecting process runs as: LocalSystem (the service), or an administrator's elevated
// process (its token holds the Administrators group, not SYSTEM).
enum class Account { System, Administrator };
// A user-mode client. Connect returns a client id >= 0, or -1 with the status of
// FilterConnectCommunicationPort in *status (STATUS_ACCESS_DENIED when the port's security
// descriptor does not grant the account FLT_PORT_CONNECT).
int Connect(const std::u16string &portName, NTSTATUS *status, Account account = Account::System);
// FilterSendMessage: the client's bytes are placed in user memory of exactly `bytes` bytes; the
// driver is told `length` bytes (a client may claim more than it owns, reading past it faults).
NTSTATUS SendMessage(int client, const void *message, ULONG length);
NTSTATUS SendMessageClaiming(int client, const void *message, size_t bytes, ULONG claimedLength);
NTSTATUS SendNullMessage(int client, ULONG claimedLength);
void CloseClient(int client); // the client closes its handle (or ends)
// Runs `action` once, while the driver handles the next message (after it has captured it): a
// client closing its handle then, or another connecting.
void DuringNextMessage(std::function<void()> action);
// Runs `action` once, as soon as the driver has closed a client port (the connection's slot is
// free again): another client connecting in that moment.
void WhenClientPortCloses(std::function<void()> action);

// ---- volumes and files
struct FileTimes {
    LONGLONG creation = 0;
    LONGLONG lastAccess = 0;
    LONGLONG lastWrite = 0;
    LONGLONG change = 0;
    ULONG attributes = 0;
};
// What the file system does with a query or set through a file object whose handle was closed.
enum class FileSystem { Ntfs, Fat };
// Mounts a volume ("\Device\HarddiskVolume3"): the filter gets its instance now if it is
// filtering, else when it starts. A file added on a volume not mounted yet mounts it (NTFS).
void AddVolume(const std::u16string &deviceName, FileSystem fileSystem = FileSystem::Ntfs);
// The volume is dismounted while the filter stays loaded: its instance tears down (reason
// FLTFL_INSTANCE_TEARDOWN_VOLUME_DISMOUNT), and I/O through its file objects fails with
// STATUS_VOLUME_DISMOUNTED from the start of the dismount on.
void DismountVolume(const std::u16string &deviceName);

enum class FileKind {
    Handle,     // opened by a caller for synchronous I/O (FO_SYNCHRONOUS_IO): that handle's file object
    Overlapped, // opened by a caller for asynchronous I/O (FILE_FLAG_OVERLAPPED)
    StreamFile, // the file system's own (metadata, directory index): FO_STREAM_FILE, no handle
    PagingFile, // the paging file, open for the memory manager for good
};
// A file with its normalized name ("\Device\HarddiskVolume3\Users\a.txt"), on the volume its
// name begins with, and basic information: the result is the first file object of its stream.
PFILE_OBJECT AddFile(const std::u16string &normalizedName, const FileTimes &times, FileKind kind = FileKind::Handle);
// Another handle on the same stream (a second open of the file).
PFILE_OBJECT OpenAgain(PFILE_OBJECT file, FileKind kind = FileKind::Handle);
// The handle is closed: the pre-cleanup callback runs on the calling thread at PASSIVE_LEVEL,
// then the file object is cleaned up (FO_CLEANUP_COMPLETE).
void Cleanup(PFILE_OBJECT file);
long FileObjectReferences(); // references the driver took on file objects and has not dropped
bool HasStreamContext(PFILE_OBJECT file);
FileTimes Times(PFILE_OBJECT file);
unsigned SetCount(PFILE_OBJECT file);              // successful FileBasicInformation sets
FILE_BASIC_INFORMATION LastSetRecord(PFILE_OBJECT file); // the record of the last set

// The kinds of read, each with the flags the system sets for it (see ReadKinds in fltsim.cpp).
// Whether an IRP read is synchronous is the handle's: asynchronous through an Overlapped one.
enum class ReadKind {
    Irp,               // ReadFile through the cache: an IRP
    NonCached,         // an IRP with IRP_NOCACHE (a handle opened without buffering)
    FastIo,            // a cached read the file system serves through its fast I/O routine
    Paging,            // asynchronous paging I/O (read-ahead into the cache, prefetch)
    SynchronousPaging, // a page fault on a mapped view, the cache manager's copy included
};
// Where the post-read of an IRP read that was not synchronized runs.
enum class Completion {
    FileSystem,        // in the file system's completion, at `irql`, top-level IRP set
    LowerFilterWorker, // a lower filter pended the read and completes it from its own worker
                       // thread: PASSIVE_LEVEL, no top-level IRP, still inside the completion
};
// How a read is issued and completes.
struct ReadOptions {
    ReadKind kind = ReadKind::Irp;
    Completion completion = Completion::FileSystem;
    KIRQL irql = doc::PassiveLevel;       // IRQL of the file system's completion
    KIRQL issuerIrql = doc::PassiveLevel; // IRQL of the issuing thread (IRP pre-read), PASSIVE or APC
    bool guardedRegion = false;           // the issuing thread is in a guarded region
    bool nested = false;                  // issued with the thread's top-level IRP already set
    bool draining = false;                // the instance drains before the post-read runs
    NTSTATUS status = doc::StatusSuccess;
};
// Reads the file: when the filter is registered and filtering, its pre-read callback runs on the
// calling thread, then the post-read as the Filter Manager would call it (see above). Returns
// the post-read's status (FLT_POSTOP_FINISHED_PROCESSING), -2 if the pre-read asked for no
// post-read, or -1 if the filter is not filtering (or has no instance on the file's volume).
int Read(PFILE_OBJECT file, const ReadOptions &options = ReadOptions());

// ---- work items
// Runs every queued work item on another thread (one after another) and waits for them,
// including any they queue. Returns how many ran. A thread waiting in KeWaitForSingleObject or
// in an instance teardown also gets the queue run: the system keeps serving it.
unsigned RunWorkItems();
unsigned QueuedWorkItems();
unsigned WorkItemsAllocated(); // allocated by the driver and not freed

// ---- cost of the simulation itself (benchmark)
// With profiling on, every read measures the time spent in the driver's callbacks and work
// items, less the time spent in the simulated routines they call. Per calling thread.
void SetProfiling(bool on);
double DriverNanoseconds(); // since profiling was switched on, for the calling thread
double SimulationNanoseconds();

// ---- pool, debugger, rule breaches
size_t PoolOutstanding(ULONG tag);      // allocations not freed
size_t PoolOutstandingBytes(ULONG tag);
size_t PoolAllocations(ULONG tag);      // allocations made since Reset
std::vector<std::string> DebugLines();  // DbgPrint output, one entry per call
std::vector<std::string> Violations();

} // namespace fltsim
