// The simulated kernel and Filter Manager (see fltsim.h).
#include "fltsim.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>
#include <utility>
#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

// What Windows does is decided by documented.h only: the driver's names for the same values
// (fltmgr.h; ntbase.h's enumerators, which come with its types) may not be used here. The host's
// stand-ins for the platform's value macros (ntvalues.h) are not included at all.
#undef FLTFL_CALLBACK_DATA_IRP_OPERATION
#undef FLTFL_CALLBACK_DATA_FAST_IO_OPERATION
#undef FLTFL_POST_OPERATION_DRAINING
#undef FLT_REGISTRATION_VERSION_0202
#undef FLT_INSTANCE_CONTEXT
#undef FLT_STREAM_CONTEXT
#undef FLT_CONTEXT_END
#undef IRP_MJ_CLEANUP
#undef IRP_MJ_OPERATION_END
#undef FLT_PORT_CONNECT
#undef FLT_PORT_ALL_ACCESS
#pragma GCC poison FLTFL_CALLBACK_DATA_IRP_OPERATION FLTFL_CALLBACK_DATA_FAST_IO_OPERATION FLTFL_POST_OPERATION_DRAINING
#pragma GCC poison FLT_REGISTRATION_VERSION_0202 FLT_INSTANCE_CONTEXT FLT_STREAM_CONTEXT FLT_CONTEXT_END
#pragma GCC poison IRP_MJ_CLEANUP IRP_MJ_OPERATION_END FLT_PORT_CONNECT FLT_PORT_ALL_ACCESS
#pragma GCC poison FLT_PREOP_SUCCESS_WITH_CALLBACK FLT_PREOP_SUCCESS_NO_CALLBACK FLT_PREOP_PENDING
#pragma GCC poison FLT_PREOP_DISALLOW_FASTIO FLT_PREOP_COMPLETE FLT_PREOP_SYNCHRONIZE
#pragma GCC poison FLT_POSTOP_FINISHED_PROCESSING FLT_POSTOP_MORE_PROCESSING_REQUIRED
#pragma GCC poison FLT_SET_CONTEXT_REPLACE_IF_EXISTS FLT_SET_CONTEXT_KEEP_IF_EXISTS
#pragma GCC poison FLT_FSTYPE_UNKNOWN FLT_FSTYPE_RAW FLT_FSTYPE_NTFS FLT_FSTYPE_FAT
#pragma GCC poison NonPagedPool PagedPool NonPagedPoolNx FileBasicInformation NotificationEvent SynchronizationEvent
#pragma GCC poison Executive CriticalWorkQueue DelayedWorkQueue

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

struct _DRIVER_OBJECT {
    int unused;
};
namespace fltsim {
namespace {
struct SimVolume;
struct SimFile;
} // namespace
} // namespace fltsim

struct _FLT_INSTANCE {
    fltsim::SimVolume *volume;
};
struct _FLT_VOLUME {
    fltsim::SimVolume *volume;
};
struct _FLT_FILTER {
    const FLT_REGISTRATION *registration;
};
struct _FLT_PORT {
    bool server;
    int client; // client id for client ports
};

struct _FLT_GENERIC_WORKITEM {
    PFLT_GENERIC_WORKITEM_ROUTINE routine = nullptr;
    PVOID object = nullptr;
    PVOID context = nullptr;
    bool queued = false;
};
struct _IRP {
    int unused;
};

namespace fltsim {
namespace {

// A mounted volume and the filter's instance on it.
struct SimVolume {
    std::u16string name;
    FileSystem fileSystem = FileSystem::Ntfs;
    _FLT_VOLUME volume{this};
    _FLT_INSTANCE instance{this};
    std::atomic<bool> attached{false};
    std::atomic<bool> tearingDown{false}; // teardown has begun: no new references, work items, contexts
    std::atomic<bool> dismounted{false};  // I/O through the volume's file objects fails
    std::atomic<long> references{0};      // rundown references on the instance (FltObjectReference)
    std::mutex lock;                      // context
    PFLT_CONTEXT context = nullptr; // the filter's instance context (one reference held by the instance)
};

// One stream and the file objects opened on it.
struct SimFile {
    std::u16string name;
    SimVolume *volume = nullptr;
    bool pagingFile = false;
    std::mutex lock; // times, sets, context
    FileTimes times;
    unsigned sets = 0;
    FILE_BASIC_INFORMATION lastSet{};
    PFLT_CONTEXT context = nullptr; // the filter's stream context (one reference held by the stream)
    std::deque<std::unique_ptr<FILE_OBJECT>> objects;
};

// In front of every context the filter allocates: its reference count.
struct alignas(16) ContextHeader {
    std::atomic<long> references{1};
};

struct FaultSpec {
    bool armed = false;
    NTSTATUS status = doc::StatusSuccess;
    unsigned failAt = 0; // absolute call number; 0 = every call
};

struct Connection {
    _FLT_PORT port{false, 0};
    bool userOpen = true;
    bool portOpen = true;
    PVOID cookie = nullptr;
};

// An access-allowed or -denied entry of a DACL, its SID as text ("S-1-5-18").
struct PortAce {
    bool allow;
    ACCESS_MASK mask;
    std::string sid;
};

struct ServerPortState {
    _FLT_PORT object{true, -1};
    bool exists = false;
    PortInfo info;
    bool anyone = false;          // no DACL, or a null one: every caller is granted everything
    std::vector<PortAce> dacl;    // captured from the descriptor as the port was created
    PFLT_CONNECT_NOTIFY connect = nullptr;
    PFLT_DISCONNECT_NOTIFY disconnect = nullptr;
    PFLT_MESSAGE_NOTIFY message = nullptr;
};

struct PoolBlock {
    ULONG tag;
    size_t bytes;
};

class SimPushLock {
public:
    // Like the platform's push lock, a waiting exclusive owner holds off new shared owners.
    void AcquireExclusive()
    {
        writersWaiting_.fetch_add(1);
        long expected = 0;
        while (!state_.compare_exchange_weak(expected, -1, std::memory_order_acquire)) {
            expected = 0;
            std::this_thread::yield();
        }
        writersWaiting_.fetch_sub(1);
    }
    void AcquireShared()
    {
        for (;;) {
            long s = state_.load(std::memory_order_relaxed);
            if (s >= 0 && writersWaiting_.load() == 0 &&
                state_.compare_exchange_weak(s, s + 1, std::memory_order_acquire)) {
                return;
            }
            std::this_thread::yield();
        }
    }
    void Release()
    {
        long s = state_.load(std::memory_order_relaxed);
        if (s == -1) {
            state_.store(0, std::memory_order_release);
        } else {
            state_.fetch_sub(1, std::memory_order_release);
        }
    }

private:
    std::atomic<long> state_{0};
    std::atomic<int> writersWaiting_{0};
};

// Everything about the machine. `lock` guards the structural parts; the callbacks of the driver
// are always called without it held.
struct Machine {
    std::mutex lock;
    std::array<FaultSpec, size_t(Call::Count)> faults{};
    std::array<std::atomic<unsigned>, size_t(Call::Count)> calls{};

    std::atomic<LONGLONG> clock{0};

    _DRIVER_OBJECT driver{};
    _FLT_FILTER filter{nullptr};
    std::deque<std::unique_ptr<SimVolume>> volumes; // under lock
    std::atomic<ULONG> versionMajor{10}, versionMinor{0};
    std::atomic<bool> registered{false};
    std::atomic<bool> filtering{false};
    std::atomic<int> inflight{0};

    ServerPortState server;
    std::deque<Connection> clients;

    std::deque<std::unique_ptr<SimFile>> files;
    std::atomic<long> fileReferences{0};

    std::deque<PFLT_GENERIC_WORKITEM> workQueue; // under lock
    std::mutex workRunLock;                      // one batch of work items at a time
    std::atomic<unsigned> workItemsAllocated{0};
    std::set<PFLT_GENERIC_WORKITEM> liveWorkItems; // under lock

    std::mutex poolLock;
    std::unordered_map<void *, PoolBlock> pool;
    std::map<ULONG, size_t> poolAllocations; // by tag, since Reset

    std::function<void()> duringMessage;   // under lock
    std::function<void()> whenPortCloses;  // under lock

    std::mutex logLock;
    std::vector<std::string> debugLines;
    std::vector<std::string> violations;
};

Machine &M()
{
    static Machine machine;
    return machine;
}

// The calling thread's view: its IRQL, and what the read being completed on it looks like.
thread_local KIRQL tlIrql = doc::PassiveLevel;
thread_local bool tlGuarded = false;
thread_local bool tlDraining = false;
thread_local bool tlTopLevel = false;         // IoGetTopLevelIrp() is not NULL
thread_local bool tlPagingPath = false;       // inside the callbacks of a paging read
thread_local SimFile *tlCompleting = nullptr; // inside the file system's completion of a read on it
thread_local int tlSimDepth = 0;
thread_local const uint8_t *tlUserStart = nullptr;
thread_local size_t tlUserBytes = 0;

// ---- profiling: ticks spent in the driver's code and in the simulation's routines
std::atomic<bool> gProfiling{false};
std::atomic<unsigned long long> gDriverTicks{0};
std::atomic<unsigned long long> gSimTicks{0};
double gNsPerTick = 1.0;

unsigned long long Ticks()
{
#if defined(__x86_64__) || defined(__i386__)
    return __rdtsc();
#else
    return (unsigned long long)std::chrono::steady_clock::now().time_since_epoch().count();
#endif
}

// At the top of every simulated routine the driver calls: its time is the simulation's, not the
// driver's (only the outermost routine counts; routines call each other).
struct SimCost {
    unsigned long long start = 0;
    SimCost()
    {
        if (tlSimDepth++ == 0 && gProfiling.load(std::memory_order_relaxed)) start = Ticks();
    }
    ~SimCost()
    {
        if (--tlSimDepth == 0 && start != 0) gSimTicks += Ticks() - start;
    }
};
#define SIM_COST() SimCost simCost_
// At the top of a simulated routine that may be called up to IRQL `most`.
#define SIM_ROUTINE(most) SIM_COST(); RequireIrqlAtMost(most, __func__)

// Around every call into the driver: its time less the simulated routines it called.
template <typename F> auto TimedDriverCall(F call) -> decltype(call())
{
    if (!gProfiling.load(std::memory_order_relaxed)) return call();
    const unsigned long long simBefore = gSimTicks.load();
    const unsigned long long start = Ticks();
    struct Account {
        unsigned long long start, simBefore;
        ~Account() { gDriverTicks += (Ticks() - start) - (gSimTicks.load() - simBefore); }
    } account{start, simBefore};
    return call();
}


void Violation(const std::string &what)
{
    std::lock_guard<std::mutex> guard(M().logLock);
    M().violations.push_back(what);
}

// Counts the call; the status it is told to fail with, else STATUS_SUCCESS.
NTSTATUS Failure(Call call)
{
    Machine &m = M();
    const unsigned n = ++m.calls[size_t(call)];
    std::lock_guard<std::mutex> guard(m.lock);
    const FaultSpec &f = m.faults[size_t(call)];
    return f.armed && (f.failAt == 0 || f.failAt == n) ? f.status : doc::StatusSuccess;
}

void RequireIrqlAtMost(KIRQL most, const char *routine)
{
    if (tlIrql > most) {
        Violation(std::string(routine) + " called at IRQL " + std::to_string(tlIrql));
    }
}

// Waits are allowed up to APC_LEVEL, and never where a page fault is being served.
void RequireWaitAllowed(const char *routine)
{
    RequireIrqlAtMost(doc::ApcLevel, routine);
    if (tlPagingPath) {
        Violation(std::string(routine) + " in the paging path (the wait can deadlock the memory manager)");
    }
}

void TrackPool(void *block, ULONG tag, size_t bytes)
{
    std::lock_guard<std::mutex> guard(M().poolLock);
    M().pool[block] = PoolBlock{tag, bytes};
    ++M().poolAllocations[tag];
}

// Empties a context slot: the slot's reference passes to the caller.
PFLT_CONTEXT TakeContext(std::mutex &lock, PFLT_CONTEXT &slot)
{
    std::lock_guard<std::mutex> guard(lock);
    return std::exchange(slot, nullptr);
}

// The mounted volumes (or only those with an instance), listed under the lock so that callbacks
// can be called on them without it.
std::vector<SimVolume *> Volumes(bool attachedOnly)
{
    std::lock_guard<std::mutex> guard(M().lock);
    std::vector<SimVolume *> list;
    for (auto &v : M().volumes) {
        if (!attachedOnly || v->attached) list.push_back(v.get());
    }
    return list;
}

unsigned LiveClients() // under lock
{
    unsigned open = 0;
    for (const Connection &c : M().clients) open += c.portOpen ? 1 : 0;
    return open;
}

// Runs a driver callback the way the Filter Manager does for port notifications: at
// PASSIVE_LEVEL, in the calling (client's) thread.
struct PassiveCallback {
    KIRQL savedIrql = tlIrql;
    bool savedGuarded = tlGuarded;
    PassiveCallback()
    {
        tlIrql = doc::PassiveLevel;
        tlGuarded = false;
    }
    ~PassiveCallback()
    {
        tlIrql = savedIrql;
        tlGuarded = savedGuarded;
    }
};

SimFile *StreamOf(PFILE_OBJECT file)
{
    return static_cast<SimFile *>(file->SimStream);
}

bool CleanedUp(PFILE_OBJECT file)
{
    return (__atomic_load_n(&file->Flags, __ATOMIC_ACQUIRE) & doc::FoCleanupComplete) != 0;
}

// The volume of one of the filter's instances (attached or being set up); null for anything else.
SimVolume *VolumeOf(PVOID instance)
{
    auto *i = static_cast<PFLT_INSTANCE>(instance);
    return i != nullptr && i->volume != nullptr && &i->volume->instance == i ? i->volume : nullptr;
}

// The objects the filter manager hands to a callback for an operation on the volume's instance
// (on this file, if any).
FLT_RELATED_OBJECTS InstanceObjects(Machine &m, SimVolume *volume, PFILE_OBJECT file = nullptr)
{
    FLT_RELATED_OBJECTS objects{};
    objects.Size = sizeof(objects);
    objects.Filter = &m.filter;
    objects.Volume = &volume->volume;
    objects.Instance = &volume->instance;
    objects.FileObject = file;
    return objects;
}

// Whether the simulated Windows knows the pool type (NonPagedPoolNx came with 6.2), and, where
// it does, whether the driver asked for executable pool it has no use for.
bool PoolTypeAccepted(POOL_TYPE type, const char *routine)
{
    Machine &m = M();
    const bool nx = m.versionMajor > 6 || (m.versionMajor == 6 && m.versionMinor >= 2);
    if (type == doc::PoolNonPagedNx && !nx) {
        Violation(std::string(routine) + " of NonPagedPoolNx, which this Windows version does not know");
        return false;
    }
    if (type == doc::PoolNonPaged && nx) {
        Violation(std::string(routine) + " of executable non-paged pool (NonPagedPool instead of NonPagedPoolNx)");
    }
    return true;
}

// Sets up the filter's instance on a volume: the instance setup callback may decline it. A
// declined instance's context goes with it.
void Attach(SimVolume *volume, FLT_INSTANCE_SETUP_FLAGS flags)
{
    Machine &m = M();
    if (volume->dismounted) {
        return;
    }
    volume->tearingDown = false;
    NTSTATUS status = doc::StatusSuccess;
    PFLT_INSTANCE_SETUP_CALLBACK setup = m.filter.registration->InstanceSetupCallback;
    if (setup != nullptr) {
        const FLT_RELATED_OBJECTS objects = InstanceObjects(m, volume);
        PassiveCallback passive;
        status = setup(&objects, flags, doc::FileDeviceDiskFileSystem,
                       FLT_FILESYSTEM_TYPE(volume->fileSystem == FileSystem::Ntfs ? doc::FsTypeNtfs : doc::FsTypeFat));
    }
    if (NT_SUCCESS(status)) {
        volume->attached = true;
    } else if (PFLT_CONTEXT context = TakeContext(volume->lock, volume->context)) {
        FltReleaseContext(context);
    }
}

void ServeWorkQueue();

// Tears the filter's instance on a volume down, in the documented order: no new operations
// reach it; teardown start; the operations in progress finish; the rundown references
// (FltObjectReference) are waited for while the system serves its work queue; teardown
// complete; then the instance's context and its streams' contexts are released.
void TearDownInstance(SimVolume *volume, ULONG reason)
{
    Machine &m = M();
    const FLT_REGISTRATION *r = m.filter.registration;
    const FLT_RELATED_OBJECTS objects = InstanceObjects(m, volume);
    volume->attached = false;
    volume->tearingDown = true;
    if (r->InstanceTeardownStartCallback != nullptr) {
        PassiveCallback passive;
        r->InstanceTeardownStartCallback(&objects, reason);
    }
    while (m.inflight.load() != 0 || volume->references.load() != 0) ServeWorkQueue();
    if (r->InstanceTeardownCompleteCallback != nullptr) {
        PassiveCallback passive;
        r->InstanceTeardownCompleteCallback(&objects, reason);
    }
    std::vector<PFLT_CONTEXT> contexts;
    {
        std::lock_guard<std::mutex> guard(m.lock);
        for (PFLT_GENERIC_WORKITEM item : m.workQueue) {
            if (item->object == &volume->instance) {
                Violation("a work item is still queued on an instance that has torn down");
            }
        }
        if (PFLT_CONTEXT c = TakeContext(volume->lock, volume->context)) contexts.push_back(c);
        for (auto &file : m.files) {
            PFLT_CONTEXT c = file->volume == volume ? TakeContext(file->lock, file->context) : nullptr;
            if (c != nullptr) contexts.push_back(c);
        }
    }
    for (PFLT_CONTEXT context : contexts) {
        FltReleaseContext(context);
    }
}

SimVolume *MountVolume(const std::u16string &name, FileSystem fileSystem)
{
    Machine &m = M();
    SimVolume *volume;
    {
        std::lock_guard<std::mutex> guard(m.lock);
        for (auto &v : m.volumes) {
            if (v->name == name) return v.get();
        }
        m.volumes.push_back(std::make_unique<SimVolume>());
        volume = m.volumes.back().get();
        volume->name = name;
        volume->fileSystem = fileSystem;
    }
    if (m.registered && m.filtering) {
        Attach(volume, doc::InstanceSetupAutomaticAttachment | doc::InstanceSetupNewlyMountedVolume);
    }
    return volume;
}

// A token's SIDs, as text: LocalSystem or an administrator's own, then Administrators, Everyone
// and Authenticated Users.
std::vector<std::string> TokenOf(Account account)
{
    return {account == Account::System ? "S-1-5-18" : "S-1-5-21-1004336348-1177238915-682003330-1001", "S-1-5-32-544",
            "S-1-1-0", "S-1-5-11"};
}

std::string SidText(const SID *sid)
{
    ULONGLONG authority = 0;
    for (UCHAR b : sid->IdentifierAuthority.Value) authority = (authority << 8) | b;
    std::string text = "S-" + std::to_string(sid->Revision) + "-" + std::to_string(authority);
    const ULONG *sub = sid->SubAuthority; // SubAuthorityCount of them
    for (UCHAR i = 0; i < sid->SubAuthorityCount; ++i) text += "-" + std::to_string(sub[i]);
    return text;
}

// What the object manager keeps of a descriptor handed to a fresh port: the DACL's entries.
bool CaptureDacl(PSECURITY_DESCRIPTOR descriptor, ServerPortState *port)
{
    if (descriptor == nullptr) { // the object manager's default for kernel objects
        port->dacl = {{true, 0x1F0001, "S-1-5-18"}, {true, 0x1F0001, "S-1-5-32-544"}};
        return true;
    }
    const auto *sd = static_cast<const SECURITY_DESCRIPTOR *>(descriptor);
    if (sd->Revision != doc::SecurityDescriptorRevision || (sd->Control & doc::SeSelfRelative) != 0) {
        return false; // the simulation takes absolute descriptors only
    }
    if ((sd->Control & doc::SeDaclPresent) == 0 || sd->Dacl == nullptr) {
        port->anyone = true;
        return true;
    }
    const uint8_t *ace = reinterpret_cast<const uint8_t *>(sd->Dacl) + sizeof(ACL);
    for (USHORT i = 0; i < sd->Dacl->AceCount; ++i) {
        const auto *entry = reinterpret_cast<const ACCESS_ALLOWED_ACE *>(ace);
        if (entry->Header.AceType == doc::AccessAllowedAceType || entry->Header.AceType == doc::AccessDeniedAceType) {
            port->dacl.push_back({entry->Header.AceType == doc::AccessAllowedAceType, entry->Mask,
                                  SidText(reinterpret_cast<const SID *>(&entry->SidStart))});
        }
        ace += entry->Header.AceSize;
    }
    return true;
}

// The access check of a connect: FLT_PORT_CONNECT must be granted, entries read in order.
bool ConnectGranted(const ServerPortState &port, Account account)
{
    if (port.anyone) return true;
    const std::vector<std::string> token = TokenOf(account);
    for (const PortAce &ace : port.dacl) {
        if ((ace.mask & doc::PortConnect) != 0 && std::find(token.begin(), token.end(), ace.sid) != token.end()) {
            return ace.allow;
        }
    }
    return false;
}

bool EqualsIgnoreCase(const std::u16string &a, const std::u16string &b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        char16_t x = a[i], y = b[i];
        if (x >= u'a' && x <= u'z') x = char16_t(x - 32);
        if (y >= u'a' && y <= u'z') y = char16_t(y - 32);
        if (x != y) {
            return false;
        }
    }
    return true;
}

void FreeAllPool()
{
    Machine &m = M();
    std::lock_guard<std::mutex> guard(m.poolLock);
    for (auto &block : m.pool) {
        std::free(block.first);
    }
    m.pool.clear();
    m.poolAllocations.clear();
}

Connection *FindClient(int client)
{
    Machine &m = M();
    if (client < 0 || size_t(client) >= m.clients.size()) {
        return nullptr;
    }
    return &m.clients[size_t(client)];
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Test-facing API

void FailCall(Call call, NTSTATUS status, unsigned nth)
{
    Machine &m = M();
    std::lock_guard<std::mutex> guard(m.lock);
    FaultSpec &f = m.faults[size_t(call)];
    f.armed = true;
    f.status = status;
    f.failAt = nth == 0 ? 0 : m.calls[size_t(call)].load() + nth;
}

unsigned CallCount(Call call)
{
    return M().calls[size_t(call)].load();
}

void Reset()
{
    Machine &m = M();
    {
        std::lock_guard<std::mutex> guard(m.lock);
        for (auto &f : m.faults) f = FaultSpec();
        for (auto &c : m.calls) c = 0;
        m.clock = 0;
        m.versionMajor = 10;
        m.versionMinor = 0;
        m.volumes.clear();
        m.filter.registration = nullptr;
        m.registered = false;
        m.filtering = false;
        m.inflight = 0;
        m.server = ServerPortState();
        m.clients.clear();
        m.files.clear();
        m.fileReferences = 0;
        m.duringMessage = nullptr;
        m.whenPortCloses = nullptr;
        m.workQueue.clear();
        for (PFLT_GENERIC_WORKITEM item : m.liveWorkItems) delete item;
        m.liveWorkItems.clear();
        m.workItemsAllocated = 0;
    }
    FreeAllPool();
    std::lock_guard<std::mutex> guard(m.logLock);
    m.debugLines.clear();
    m.violations.clear();
}

void SetSystemTime(LONGLONG time)
{
    M().clock.store(time);
}

void SetVersion(ULONG major, ULONG minor)
{
    M().versionMajor = major;
    M().versionMinor = minor;
}

NTSTATUS LoadDriver()
{
    PassiveCallback passive;
    std::u16string path = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Ombrix_Filter";
    UNICODE_STRING registryPath{USHORT(path.size() * 2), USHORT(path.size() * 2), path.data()};
    return DriverEntry(&M().driver, &registryPath);
}

NTSTATUS UnloadDriver()
{
    Machine &m = M();
    if (!m.registered || m.filter.registration == nullptr) {
        return doc::StatusFltDeletingObject;
    }
    PFLT_FILTER_UNLOAD_CALLBACK unload = m.filter.registration->FilterUnloadCallback;
    if (unload == nullptr) {
        return doc::StatusUnsuccessful; // a filter without an unload routine cannot be unloaded
    }
    NTSTATUS status;
    {
        PassiveCallback passive;
        status = unload(0);
    }
    if (NT_SUCCESS(status) && m.registered) {
        Violation("unload callback returned success without unregistering the filter");
    }
    return status;
}

bool IsRegistered()
{
    return M().registered;
}

bool IsFiltering()
{
    return M().filtering;
}

const FLT_REGISTRATION *Registration()
{
    return M().registered ? M().filter.registration : nullptr;
}

PortInfo ServerPort()
{
    std::lock_guard<std::mutex> guard(M().lock);
    return M().server.info;
}

unsigned OpenClientPorts()
{
    std::lock_guard<std::mutex> guard(M().lock);
    return LiveClients();
}

int Connect(const std::u16string &portName, NTSTATUS *status, Account account)
{
    Machine &m = M();
    PFLT_CONNECT_NOTIFY notify;
    int id;
    {
        std::lock_guard<std::mutex> guard(m.lock);
        if (!m.server.exists || !m.server.info.open || !EqualsIgnoreCase(portName, m.server.info.name)) {
            *status = doc::StatusObjectNameNotFound;
            return -1;
        }
        if (!ConnectGranted(m.server, account)) {
            *status = doc::StatusAccessDenied;
            return -1;
        }
        if (LONG(LiveClients()) >= m.server.info.maxConnections) {
            *status = doc::StatusConnectionCountLimit;
            return -1;
        }
        id = int(m.clients.size());
        m.clients.emplace_back();
        m.clients.back().port.client = id;
        notify = m.server.connect;
    }
    Connection &c = m.clients[size_t(id)];
    PVOID cookie = nullptr;
    NTSTATUS result;
    {
        PassiveCallback passive;
        result = notify(&c.port, nullptr, nullptr, 0, &cookie);
    }
    std::lock_guard<std::mutex> guard(m.lock);
    if (!NT_SUCCESS(result)) {
        c.userOpen = false;
        c.portOpen = false;
        *status = result;
        return -1;
    }
    c.cookie = cookie;
    *status = doc::StatusSuccess;
    return id;
}

NTSTATUS SendMessageClaiming(int client, const void *message, size_t bytes, ULONG claimedLength)
{
    Machine &m = M();
    PFLT_MESSAGE_NOTIFY notify;
    PVOID cookie;
    {
        std::lock_guard<std::mutex> guard(m.lock);
        Connection *c = FindClient(client);
        if (c == nullptr || !c->userOpen) {
            return doc::StatusInvalidParameter;
        }
        if (!c->portOpen) {
            return doc::StatusPortDisconnected;
        }
        notify = m.server.message;
        cookie = c->cookie;
    }
    // The message sits in the client's memory, exactly as large as the client made it.
    uint8_t *user = static_cast<uint8_t *>(std::malloc(bytes == 0 ? 1 : bytes));
    if (bytes != 0) {
        std::memcpy(user, message, bytes);
    }
    tlUserStart = user;
    tlUserBytes = bytes;
    ULONG returned = 0xCCCCCCCC;
    NTSTATUS status;
    {
        PassiveCallback passive;
        status = notify(cookie, message == nullptr ? nullptr : user, claimedLength, nullptr, 0, &returned);
    }
    tlUserStart = nullptr;
    tlUserBytes = 0;
    std::free(user);
    if (returned != 0 && returned != 0xCCCCCCCC) {
        Violation("message notification reported output without an output buffer");
    }
    return status;
}

NTSTATUS SendMessage(int client, const void *message, ULONG length)
{
    return SendMessageClaiming(client, message, length, length);
}

NTSTATUS SendNullMessage(int client, ULONG claimedLength)
{
    return SendMessageClaiming(client, nullptr, 0, claimedLength);
}

void DuringNextMessage(std::function<void()> action)
{
    std::lock_guard<std::mutex> guard(M().lock);
    M().duringMessage = std::move(action);
}

void WhenClientPortCloses(std::function<void()> action)
{
    std::lock_guard<std::mutex> guard(M().lock);
    M().whenPortCloses = std::move(action);
}

void CloseClient(int client)
{
    Machine &m = M();
    PFLT_DISCONNECT_NOTIFY notify = nullptr;
    PVOID cookie = nullptr;
    {
        std::lock_guard<std::mutex> guard(m.lock);
        Connection *c = FindClient(client);
        if (c == nullptr || !c->userOpen) {
            return;
        }
        c->userOpen = false;
        if (c->portOpen) {
            notify = m.server.disconnect;
            cookie = c->cookie;
        }
    }
    if (notify != nullptr) {
        PassiveCallback passive;
        notify(cookie);
    }
}

void AddVolume(const std::u16string &deviceName, FileSystem fileSystem)
{
    MountVolume(deviceName, fileSystem);
}

void DismountVolume(const std::u16string &deviceName)
{
    SimVolume *volume = MountVolume(deviceName, FileSystem::Ntfs);
    volume->dismounted = true;
    if (volume->attached && M().registered) {
        TearDownInstance(volume, doc::InstanceTeardownVolumeDismount);
    }
}

namespace {
// A file object on the stream (under the machine's lock): a caller's handle is opened for
// synchronous I/O unless it asked for overlapped I/O; the file system's own carry FO_STREAM_FILE.
PFILE_OBJECT NewFileObject(SimFile *stream, FileKind kind)
{
    stream->objects.push_back(std::make_unique<FILE_OBJECT>());
    FILE_OBJECT *object = stream->objects.back().get();
    object->SimStream = stream;
    object->Flags = kind == FileKind::StreamFile ? doc::FoStreamFile
                    : kind == FileKind::Overlapped ? 0
                                                   : doc::FoSynchronousIo;
    return object;
}
} // namespace

PFILE_OBJECT AddFile(const std::u16string &normalizedName, const FileTimes &times, FileKind kind)
{
    // "\Device\<volume>" up to the backslash that begins the path.
    size_t end = normalizedName.find(u'\\', 1);
    end = end == std::u16string::npos ? end : normalizedName.find(u'\\', end + 1);
    SimVolume *volume = MountVolume(normalizedName.substr(0, end), FileSystem::Ntfs);
    Machine &m = M();
    std::lock_guard<std::mutex> guard(m.lock);
    m.files.push_back(std::make_unique<SimFile>());
    SimFile *file = m.files.back().get();
    file->name = normalizedName;
    file->times = times;
    file->volume = volume;
    file->pagingFile = kind == FileKind::PagingFile;
    return NewFileObject(file, kind);
}

PFILE_OBJECT OpenAgain(PFILE_OBJECT file, FileKind kind)
{
    std::lock_guard<std::mutex> guard(M().lock);
    return NewFileObject(StreamOf(file), kind);
}

long FileObjectReferences()
{
    return M().fileReferences.load();
}

bool HasStreamContext(PFILE_OBJECT file)
{
    std::lock_guard<std::mutex> guard(StreamOf(file)->lock);
    return StreamOf(file)->context != nullptr;
}

FileTimes Times(PFILE_OBJECT file)
{
    std::lock_guard<std::mutex> guard(StreamOf(file)->lock);
    return StreamOf(file)->times;
}

unsigned SetCount(PFILE_OBJECT file)
{
    std::lock_guard<std::mutex> guard(StreamOf(file)->lock);
    return StreamOf(file)->sets;
}

FILE_BASIC_INFORMATION LastSetRecord(PFILE_OBJECT file)
{
    std::lock_guard<std::mutex> guard(StreamOf(file)->lock);
    return StreamOf(file)->lastSet;
}

namespace {

// The callback data of one operation.
struct SimCallbackData {
    FLT_CALLBACK_DATA data{};
    FLT_IO_PARAMETER_BLOCK iopb{};
    SimCallbackData(ULONG flags, ULONG irpFlags, UCHAR major, PFILE_OBJECT file)
    {
        data.Flags = flags;
        data.Iopb = &iopb;
        data.IoStatus.u.Status = doc::StatusSuccess;
        iopb.IrpFlags = irpFlags;
        iopb.MajorFunction = major;
        iopb.TargetFileObject = file;
        iopb.TargetInstance = &StreamOf(file)->volume->instance;
    }
};

// What the Filter Manager and the I/O manager set for each ReadKind: the callback data's
// operation flag and the IRP's flags (paging reads are non-cached; the memory manager marks
// the synchronous ones, page faults, IRP_SYNCHRONOUS_PAGING_IO).
struct ReadKindFlags {
    ULONG callbackData;
    ULONG irp;
};
const ReadKindFlags ReadKinds[] = {
    {doc::CallbackDataIrpOperation, 0},                                                          // Irp
    {doc::CallbackDataIrpOperation, doc::IrpNocache},                                            // NonCached
    {doc::CallbackDataFastIoOperation, 0},                                                       // FastIo
    {doc::CallbackDataIrpOperation, doc::IrpPagingIo | doc::IrpNocache},                         // Paging
    {doc::CallbackDataIrpOperation, doc::IrpPagingIo | doc::IrpSynchronousPagingIo | doc::IrpNocache}, // SynchronousPaging
};

// The calling thread's state while the Filter Manager calls one callback; restored afterwards.
struct ThreadState {
    KIRQL irql = tlIrql;
    bool guarded = tlGuarded;
    bool draining = tlDraining;
    bool topLevel = tlTopLevel;
    bool paging = tlPagingPath;
    SimFile *completing = tlCompleting;
    ~ThreadState()
    {
        tlIrql = irql;
        tlGuarded = guarded;
        tlDraining = draining;
        tlTopLevel = topLevel;
        tlPagingPath = paging;
        tlCompleting = completing;
    }
};

const FLT_OPERATION_REGISTRATION *FindOperation(UCHAR major)
{
    for (const FLT_OPERATION_REGISTRATION *op = M().filter.registration->OperationRegistration;
         op != nullptr && op->MajorFunction != doc::IrpMjOperationEnd; ++op) {
        if (op->MajorFunction == major) {
            return op;
        }
    }
    return nullptr;
}

struct Inflight {
    Inflight() { M().inflight.fetch_add(1); }
    ~Inflight() { M().inflight.fetch_sub(1); }
};

} // namespace

namespace {
// Calls the pre-operation callback in the calling thread as it stands; returns its status as
// the Filter Manager reads it, with the completion context it handed back.
int PreOperation(const FLT_OPERATION_REGISTRATION *op, SimCallbackData &cd, const FLT_RELATED_OBJECTS &objects,
                 PVOID *context)
{
    *context = nullptr;
    if (op->PreOperation == nullptr) {
        return doc::PreopSuccessWithCallback;
    }
    return int(TimedDriverCall([&] { return op->PreOperation(&cd.data, &objects, context); }));
}

// Whether the pre-operation status asks for the post-operation callback; anything but success
// with or without a callback (or a synchronize) would change the operation.
bool WantsPostOperation(const FLT_OPERATION_REGISTRATION *op, int pre, PVOID context, const char *what)
{
    if (pre == doc::PreopSuccessNoCallback) {
        if (context != nullptr) {
            Violation(std::string(what) + " returned a completion context without asking for a post-operation callback");
        }
        return false;
    }
    if (pre != doc::PreopSuccessWithCallback && pre != doc::PreopSynchronize) {
        Violation(std::string(what) + " changed the operation (status " + std::to_string(pre) + ")");
        return false;
    }
    if (op->PostOperation == nullptr) {
        Violation(std::string(what) + " asked for a post-operation callback it has none for");
        return false;
    }
    return true;
}
} // namespace

void Cleanup(PFILE_OBJECT file)
{
    Machine &m = M();
    {
        Inflight inflight;
        const FLT_OPERATION_REGISTRATION *op =
            m.registered && m.filtering && StreamOf(file)->volume->attached ? FindOperation(doc::IrpMjCleanup) : nullptr;
        if (op != nullptr && !CleanedUp(file)) {
            SimCallbackData cd(doc::CallbackDataIrpOperation, 0, doc::IrpMjCleanup, file);
            FLT_RELATED_OBJECTS objects = InstanceObjects(m, StreamOf(file)->volume, file);
            ThreadState saved;
            tlIrql = doc::PassiveLevel;
            tlGuarded = false;
            tlTopLevel = false;
            tlPagingPath = false;
            tlCompleting = nullptr;
            PVOID context = nullptr;
            const int pre = PreOperation(op, cd, objects, &context);
            if (WantsPostOperation(op, pre, context, "pre-cleanup")) {
                TimedDriverCall([&] { return op->PostOperation(&cd.data, &objects, context, 0); });
            }
        }
    }
    __atomic_fetch_or(&file->Flags, doc::FoCleanupComplete, __ATOMIC_ACQ_REL);
}

int Read(PFILE_OBJECT file, const ReadOptions &options)
{
    Machine &m = M();
    // Counted before the registration is looked at, so that unregistering can wait for us.
    Inflight inflight;
    if (!m.registered || !m.filtering) {
        return -1;
    }
    const FLT_OPERATION_REGISTRATION *op = FindOperation(doc::IrpMjRead);
    if (op == nullptr || !StreamOf(file)->volume->attached) {
        return -1;
    }
    const ReadKindFlags kind = ReadKinds[size_t(options.kind)];
    const bool fastIo = options.kind == ReadKind::FastIo;
    const bool paging = (kind.irp & doc::IrpPagingIo) != 0;
    SimCallbackData cd(kind.callbackData, kind.irp, doc::IrpMjRead, file);
    FLT_RELATED_OBJECTS objects = InstanceObjects(m, StreamOf(file)->volume, file);
    const bool synchronous = FltIsOperationSynchronous(&cd.data) != FALSE;

    ThreadState saved;
    // Pre-read: in the issuing thread, before the file system sees the read. The memory manager
    // and the cache manager issue paging reads with the top-level IRP set. Fast I/O comes only
    // at PASSIVE_LEVEL.
    tlIrql = fastIo ? doc::PassiveLevel : options.issuerIrql;
    tlGuarded = options.guardedRegion;
    tlTopLevel = options.nested || paging;
    tlPagingPath = paging;
    tlCompleting = nullptr;
    tlDraining = false;
    PVOID context = nullptr;
    const int pre = PreOperation(op, cd, objects, &context);
    if (!WantsPostOperation(op, pre, context, "pre-read")) {
        return -2;
    }
    const bool synchronized = pre == doc::PreopSynchronize && !fastIo; // fast I/O: as with callback
    if (synchronized && !synchronous) {
        Violation("FLT_PREOP_SYNCHRONIZE returned for an asynchronous read");
    }

    // The file system does the read.
    cd.data.IoStatus.u.Status = options.status;

    if (fastIo || (synchronized && !options.draining)) {
        // Back in the issuing thread, outside the file system (which has reset the top-level IRP).
        tlIrql = fastIo ? doc::PassiveLevel : options.issuerIrql;
        tlTopLevel = options.nested || paging;
        tlCompleting = nullptr;
    } else if (options.completion == Completion::LowerFilterWorker) {
        // A lower filter's worker thread completes it: PASSIVE_LEVEL, no top-level IRP, and
        // still inside the completion (the file system holds the stream's resources).
        tlIrql = doc::PassiveLevel;
        tlGuarded = false;
        tlTopLevel = false;
        tlCompleting = StreamOf(file);
    } else {
        // Inside the file system's completion of the IRP.
        tlIrql = options.irql;
        tlTopLevel = true;
        tlCompleting = StreamOf(file);
    }
    tlDraining = options.draining;
    const int result = int(TimedDriverCall([&] {
        return op->PostOperation(&cd.data, &objects, context, options.draining ? doc::PostOperationDraining : 0);
    }));
    if (result != doc::PostopFinishedProcessing) {
        Violation("post-read returned more-processing-required without a way to complete the read");
    }
    if (cd.iopb.TargetFileObject != file || cd.data.IoStatus.u.Status != options.status) {
        Violation("post-read altered the read");
    }
    return result;
}

unsigned RunWorkItems()
{
    Machine &m = M();
    std::lock_guard<std::mutex> batch(m.workRunLock);
    unsigned ran = 0;
    // The system's worker thread: another thread, at PASSIVE_LEVEL, no top-level IRP.
    std::thread worker([&] {
        for (;;) {
            PFLT_GENERIC_WORKITEM item = nullptr;
            {
                std::lock_guard<std::mutex> guard(m.lock);
                if (m.workQueue.empty()) {
                    return;
                }
                item = m.workQueue.front();
                m.workQueue.pop_front();
                item->queued = false;
            }
            if (!m.registered) {
                Violation("a work item ran after its filter unregistered");
            }
            TimedDriverCall([&] {
                item->routine(item, item->object, item->context);
                return 0;
            });
            ++ran;
        }
    });
    worker.join();
    return ran;
}

unsigned QueuedWorkItems()
{
    std::lock_guard<std::mutex> guard(M().lock);
    return unsigned(M().workQueue.size());
}

namespace {
// A thread that waits: the system keeps serving its work queue meanwhile.
void ServeWorkQueue()
{
    if (QueuedWorkItems() != 0) {
        RunWorkItems();
    } else {
        std::this_thread::yield();
    }
}
} // namespace

unsigned WorkItemsAllocated()
{
    return M().workItemsAllocated.load();
}

void SetProfiling(bool on)
{
    if (on) {
        // Calibrate the tick counter against the steady clock.
        const auto t0 = std::chrono::steady_clock::now();
        const unsigned long long k0 = Ticks();
        while (std::chrono::steady_clock::now() - t0 < std::chrono::milliseconds(50)) {
        }
        const unsigned long long k1 = Ticks();
        const double ns = double(std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - t0).count());
        gNsPerTick = k1 > k0 ? ns / double(k1 - k0) : 1.0;
        gDriverTicks = 0;
        gSimTicks = 0;
    }
    gProfiling = on;
}

double DriverNanoseconds()
{
    return double(gDriverTicks.load()) * gNsPerTick;
}

double SimulationNanoseconds()
{
    return double(gSimTicks.load()) * gNsPerTick;
}

namespace {
size_t PoolSum(ULONG tag, bool bytes)
{
    std::lock_guard<std::mutex> guard(M().poolLock);
    size_t n = 0;
    for (auto &block : M().pool) n += block.second.tag != tag ? 0 : bytes ? block.second.bytes : 1;
    return n;
}
} // namespace

size_t PoolOutstanding(ULONG tag)
{
    return PoolSum(tag, false);
}

size_t PoolOutstandingBytes(ULONG tag)
{
    return PoolSum(tag, true);
}

size_t PoolAllocations(ULONG tag)
{
    std::lock_guard<std::mutex> guard(M().poolLock);
    auto it = M().poolAllocations.find(tag);
    return it == M().poolAllocations.end() ? 0 : it->second;
}

std::vector<std::string> DebugLines()
{
    std::lock_guard<std::mutex> guard(M().logLock);
    return M().debugLines;
}

std::vector<std::string> Violations()
{
    std::lock_guard<std::mutex> guard(M().logLock);
    return M().violations;
}

} // namespace fltsim

// ---------------------------------------------------------------------------------------------
// The platform routines, as the driver calls them

using namespace fltsim;

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    SIM_COST();
    const bool nonPaged = PoolType == doc::PoolNonPaged || PoolType == doc::PoolNonPagedNx;
    RequireIrqlAtMost(nonPaged ? doc::DispatchLevel : doc::ApcLevel, "ExAllocatePoolWithTag");
    if (!PoolTypeAccepted(PoolType, "ExAllocatePoolWithTag")) {
        return nullptr;
    }
    if (Failure(Call::AllocatePool) != doc::StatusSuccess) return nullptr;
    void *p = std::malloc(NumberOfBytes == 0 ? 1 : NumberOfBytes);
    TrackPool(p, Tag, NumberOfBytes);
    return p;
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    SIM_ROUTINE(doc::DispatchLevel);
    Machine &m = M();
    {
        std::lock_guard<std::mutex> guard(m.poolLock);
        auto it = m.pool.find(P);
        if (it == m.pool.end()) {
            Violation("ExFreePoolWithTag of memory that is not allocated pool");
            return;
        }
        if (it->second.tag != Tag) {
            Violation("ExFreePoolWithTag with a tag other than the allocation's");
        }
        m.pool.erase(it);
    }
    std::free(P);
}

VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime)
{
    SIM_COST();
    CurrentTime->QuadPart = M().clock.load();
}

BOOLEAN NTAPI KeAreAllApcsDisabled(VOID)
{
    SIM_COST();
    return (tlIrql >= doc::ApcLevel || tlGuarded) ? TRUE : FALSE;
}

PIRP NTAPI IoGetTopLevelIrp(VOID)
{
    SIM_COST();
    static _IRP fileSystemIrp;
    return tlTopLevel ? &fileSystemIrp : nullptr;
}

LONG_PTR NTAPI ObfReferenceObject(PVOID Object)
{
    SIM_ROUTINE(doc::DispatchLevel);
    auto *file = static_cast<PFILE_OBJECT>(Object);
    M().fileReferences.fetch_add(1);
    return __atomic_add_fetch(&file->References, 1, __ATOMIC_ACQ_REL);
}

LONG_PTR NTAPI ObfDereferenceObject(PVOID Object)
{
    SIM_ROUTINE(doc::DispatchLevel);
    auto *file = static_cast<PFILE_OBJECT>(Object);
    const long left = __atomic_sub_fetch(&file->References, 1, __ATOMIC_ACQ_REL);
    M().fileReferences.fetch_sub(1);
    if (left < 0) {
        Violation("ObDereferenceObject of a file object the driver holds no reference on");
    }
    return left;
}

// Events: only what the driver waits for. A waiting thread sees the queued work items run
// meanwhile (the system keeps serving its work queue).
VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    SIM_COST();
    if (Type != doc::EventNotification) {
        Violation("KeInitializeEvent: the simulation has notification events only");
    }
    __atomic_store_n(&Event->Signaled, State ? 1 : 0, __ATOMIC_RELEASE);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    SIM_COST();
    (void)Increment;
    (void)Wait;
    RequireIrqlAtMost(doc::DispatchLevel, "KeSetEvent");
    return __atomic_exchange_n(&Event->Signaled, 1, __ATOMIC_ACQ_REL);
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                     BOOLEAN Alertable, PLARGE_INTEGER Timeout)
{
    SIM_COST();
    (void)WaitReason;
    (void)WaitMode;
    (void)Alertable;
    RequireWaitAllowed("KeWaitForSingleObject");
    if (Timeout != nullptr) {
        Violation("KeWaitForSingleObject: the simulation has no timed waits");
    }
    PRKEVENT event = static_cast<PRKEVENT>(Object);
    while (__atomic_load_n(&event->Signaled, __ATOMIC_ACQUIRE) == 0) ServeWorkQueue();
    return doc::StatusSuccess;
}

NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String)
{
    RequireIrqlAtMost(doc::PassiveLevel, "RtlIntegerToUnicodeString");
    if (const NTSTATUS failed = Failure(Call::IntegerToUnicodeString)) return failed;
    if (Base == 0) {
        Base = 10;
    }
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16) {
        return doc::StatusInvalidParameter;
    }
    char16_t digits[33];
    size_t n = 0;
    do {
        const ULONG d = Value % Base;
        digits[n++] = char16_t(d < 10 ? u'0' + d : u'A' + d - 10);
        Value /= Base;
    } while (Value != 0);
    // The text and its terminator must fit.
    if ((n + 1) * sizeof(WCHAR) > String->MaximumLength) {
        return doc::StatusBufferOverflow;
    }
    for (size_t i = 0; i < n; ++i) {
        String->Buffer[i] = digits[n - 1 - i];
    }
    String->Buffer[n] = 0;
    String->Length = USHORT(n * sizeof(WCHAR));
    return doc::StatusSuccess;
}

NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source)
{
    if (const NTSTATUS failed = Failure(Call::AppendUnicodeString)) return failed;
    const size_t total = size_t(Destination->Length) + Source->Length;
    if (total > Destination->MaximumLength) {
        return doc::StatusBufferTooSmall;
    }
    if (Source->Length != 0) {
        std::memmove(reinterpret_cast<uint8_t *>(Destination->Buffer) + Destination->Length, Source->Buffer,
                     Source->Length);
    }
    Destination->Length = USHORT(total);
    if (total + sizeof(WCHAR) <= Destination->MaximumLength) {
        Destination->Buffer[total / sizeof(WCHAR)] = 0;
    }
    return doc::StatusSuccess;
}

ULONG DbgPrint(const char *Format, ...)
{
    char text[512];
    va_list args;
    va_start(args, Format);
    std::vsnprintf(text, sizeof(text), Format, args);
    va_end(args);
    std::lock_guard<std::mutex> guard(M().logLock);
    M().debugLines.emplace_back(text);
    return doc::StatusSuccess;
}

NTSTATUS NTAPI KsCaptureBuffer(PVOID Destination, const VOID *Source, ULONG Length)
{
    if (const NTSTATUS failed = Failure(Call::CaptureBuffer)) return failed;
    if (Length == 0) {
        return doc::StatusSuccess;
    }
    // ProbeForRead and the copy fault on anything outside the sender's memory.
    const uint8_t *p = static_cast<const uint8_t *>(Source);
    if (tlUserStart == nullptr || p < tlUserStart || p > tlUserStart + tlUserBytes ||
        size_t(tlUserStart + tlUserBytes - p) < Length) {
        return doc::StatusAccessViolation;
    }
    std::memcpy(Destination, Source, Length);
    std::function<void()> action;
    {
        std::lock_guard<std::mutex> guard(M().lock);
        action = std::exchange(M().duringMessage, nullptr);
    }
    if (action) {
        action();
    }
    return doc::StatusSuccess;
}

NTSTATUS FLTAPI FltRegisterFilter(PDRIVER_OBJECT Driver, const FLT_REGISTRATION *Registration, PFLT_FILTER *RetFilter)
{
    RequireIrqlAtMost(doc::PassiveLevel, "FltRegisterFilter");
    if (const NTSTATUS failed = Failure(Call::RegisterFilter)) return failed;
    Machine &m = M();
    // The record's size is exactly that of its version: 0x0201 added the transaction callback,
    // 0x0202 the normalize-ex callback, 0x0203 the section notification callback.
    if (Driver != &m.driver || Registration == nullptr || Registration->Version < 0x0200 ||
        Registration->Version > 0x0203) {
        return doc::StatusInvalidParameter;
    }
    if (Registration->Size != doc::RegistrationSize[Registration->Version - 0x0200]) {
        return doc::StatusInvalidParameter;
    }
    if (m.registered) {
        return doc::StatusFltInstanceAltitudeCollision;
    }
    m.filter.registration = Registration;
    m.registered = true;
    *RetFilter = &m.filter;
    return doc::StatusSuccess;
}

NTSTATUS FLTAPI FltStartFiltering(PFLT_FILTER Filter)
{
    RequireIrqlAtMost(doc::PassiveLevel, "FltStartFiltering");
    if (const NTSTATUS failed = Failure(Call::StartFiltering)) return failed;
    if (Filter != &M().filter || !M().registered) {
        Violation("FltStartFiltering on a filter that is not registered");
        return doc::StatusInvalidParameter;
    }
    M().filtering = true;
    for (SimVolume *v : Volumes(false)) Attach(v, doc::InstanceSetupAutomaticAttachment); // mounted before the start
    return doc::StatusSuccess;
}

VOID FLTAPI FltUnregisterFilter(PFLT_FILTER Filter)
{
    RequireIrqlAtMost(doc::PassiveLevel, "FltUnregisterFilter");
    Machine &m = M();
    if (Filter != &m.filter || !m.registered) {
        Violation("FltUnregisterFilter on a filter that is not registered");
        return;
    }
    std::vector<PVOID> connected;
    PFLT_DISCONNECT_NOTIFY notify;
    {
        std::lock_guard<std::mutex> guard(m.lock);
        if (m.server.exists && m.server.info.open) {
            // The open port keeps a reference on the filter: the real unregister never returns.
            Violation("FltUnregisterFilter with the communication port still open");
        }
        notify = m.server.disconnect;
        for (Connection &c : m.clients) {
            if (c.portOpen) connected.push_back(c.cookie);
        }
    }
    // A client still connected is disconnected as the filter goes away.
    for (PVOID cookie : connected) {
        PassiveCallback passive;
        notify(cookie);
    }
    m.filtering = false;
    for (SimVolume *v : Volumes(true)) TearDownInstance(v, doc::InstanceTeardownFilterUnload);
    {
        std::lock_guard<std::mutex> guard(m.lock);
        if (!m.workQueue.empty()) {
            Violation("FltUnregisterFilter with work items of the filter still queued");
        }
    }
    m.registered = false;
    m.filter.registration = nullptr;
}

NTSTATUS FLTAPI FltCreateCommunicationPort(PFLT_FILTER Filter, PFLT_PORT *ServerPort, POBJECT_ATTRIBUTES ObjectAttributes,
                                           PVOID ServerPortCookie, PFLT_CONNECT_NOTIFY ConnectNotifyCallback,
                                           PFLT_DISCONNECT_NOTIFY DisconnectNotifyCallback,
                                           PFLT_MESSAGE_NOTIFY MessageNotifyCallback, LONG MaxConnections)
{
    RequireIrqlAtMost(doc::PassiveLevel, "FltCreateCommunicationPort");
    if (const NTSTATUS failed = Failure(Call::CreateCommunicationPort)) return failed;
    Machine &m = M();
    if (Filter != &m.filter || ObjectAttributes == nullptr || ObjectAttributes->ObjectName == nullptr ||
        ConnectNotifyCallback == nullptr || DisconnectNotifyCallback == nullptr || MaxConnections <= 0) {
        return doc::StatusInvalidParameter;
    }
    std::lock_guard<std::mutex> guard(m.lock);
    const UNICODE_STRING *name = ObjectAttributes->ObjectName;
    std::u16string text(name->Buffer, name->Length / sizeof(WCHAR));
    if (m.server.exists && m.server.info.open) {
        return doc::StatusObjectNameCollision;
    }
    m.server = ServerPortState();
    m.server.exists = true;
    m.server.info.open = true;
    m.server.info.name = text;
    m.server.info.attributes = ObjectAttributes->Attributes;
    if (!CaptureDacl(ObjectAttributes->SecurityDescriptor, &m.server)) {
        m.server = ServerPortState();
        return doc::StatusInvalidSecurityDescr;
    }
    m.server.info.maxConnections = MaxConnections;
    m.server.info.serverCookie = ServerPortCookie != nullptr;
    m.server.connect = ConnectNotifyCallback;
    m.server.disconnect = DisconnectNotifyCallback;
    m.server.message = MessageNotifyCallback;
    *ServerPort = &m.server.object;
    return doc::StatusSuccess;
}

VOID FLTAPI FltCloseCommunicationPort(PFLT_PORT ServerPort)
{
    RequireIrqlAtMost(doc::PassiveLevel, "FltCloseCommunicationPort");
    std::lock_guard<std::mutex> guard(M().lock);
    if (ServerPort != &M().server.object || !M().server.exists || !M().server.info.open) {
        Violation("FltCloseCommunicationPort of a port that is not open");
        return;
    }
    M().server.info.open = false;
}

VOID FLTAPI FltCloseClientPort(PFLT_FILTER Filter, PFLT_PORT *ClientPort)
{
    RequireIrqlAtMost(doc::PassiveLevel, "FltCloseClientPort");
    (void)Filter;
    PFLT_PORT port = __atomic_load_n(ClientPort, __ATOMIC_ACQUIRE);
    if (port == nullptr) {
        return;
    }
    std::unique_lock<std::mutex> guard(M().lock);
    Connection *c = port->server ? nullptr : FindClient(port->client);
    if (c == nullptr || &c->port != port || !c->portOpen) {
        Violation("FltCloseClientPort of a port that is not an open client port");
        return;
    }
    c->portOpen = false;
    __atomic_store_n(ClientPort, static_cast<PFLT_PORT>(nullptr), __ATOMIC_RELEASE);
    std::function<void()> action = std::exchange(M().whenPortCloses, nullptr);
    guard.unlock();
    if (action) {
        action(); // the connection's slot is free: another client may connect now
    }
}

// As documented: an operation that is not IRP-based is synchronous; asynchronous paging I/O is
// asynchronous whatever else holds; synchronous paging I/O, a file object opened for synchronous
// I/O, or IRP_SYNCHRONOUS_API make it synchronous; anything else is asynchronous.
BOOLEAN FLTAPI FltIsOperationSynchronous(PFLT_CALLBACK_DATA CallbackData)
{
    SIM_COST();
    if ((CallbackData->Flags & doc::CallbackDataIrpOperation) == 0) {
        return TRUE;
    }
    const ULONG irp = CallbackData->Iopb->IrpFlags;
    if ((irp & doc::IrpPagingIo) != 0) {
        return (irp & doc::IrpSynchronousPagingIo) != 0 ? TRUE : FALSE;
    }
    const ULONG file = __atomic_load_n(&CallbackData->Iopb->TargetFileObject->Flags, __ATOMIC_ACQUIRE);
    return (file & doc::FoSynchronousIo) != 0 || (irp & doc::IrpSynchronousApi) != 0 ? TRUE : FALSE;
}

namespace {

NTSTATUS CheckFileInformationCall(const char *routine, PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                  ULONG Length, FILE_INFORMATION_CLASS FileInformationClass)
{
    RequireIrqlAtMost(doc::PassiveLevel, routine);
    if (tlDraining) {
        Violation(std::string(routine) + " issued on an instance that is draining");
    }
    if (tlPagingPath) {
        Violation(std::string(routine) + " from the paging path (recursion into the file system)");
    }
    if (tlCompleting != nullptr) {
        // The file system holds the read's resources while it completes it.
        Violation(std::string(routine) + " issued from inside the completion of a read (deadlock)");
    }
    if (FileObject == nullptr || VolumeOf(Instance) == nullptr || VolumeOf(Instance) != StreamOf(FileObject)->volume) {
        return doc::StatusInvalidParameter;
    }
    if (FileInformationClass != doc::InfoClassFileBasic) {
        return doc::StatusInvalidParameter;
    }
    if (Length < doc::FileBasicInformationSize) {
        return doc::StatusInfoLengthMismatch;
    }
    if (StreamOf(FileObject)->volume->dismounted) {
        return doc::StatusVolumeDismounted;
    }
    return doc::StatusSuccess;
}

} // namespace

NTSTATUS FLTAPI FltQueryInformationFile(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, PVOID FileInformation,
                                        ULONG Length, FILE_INFORMATION_CLASS FileInformationClass,
                                        PULONG LengthReturned)
{
    SIM_COST();
    NTSTATUS status = CheckFileInformationCall("FltQueryInformationFile", Instance, FileObject, Length,
                                               FileInformationClass);
    if (!NT_SUCCESS(status) || (status = Failure(Call::QueryInformationFile)) != doc::StatusSuccess) {
        return status;
    }
    SimFile *file = StreamOf(FileObject);
    if (CleanedUp(FileObject) && file->volume->fileSystem == FileSystem::Ntfs) {
        return doc::StatusFileClosed; // NTFS checks for the cleanup; FAT answers anyway
    }
    FILE_BASIC_INFORMATION info{};
    {
        std::lock_guard<std::mutex> guard(file->lock);
        info.CreationTime.QuadPart = file->times.creation;
        info.LastAccessTime.QuadPart = file->times.lastAccess;
        info.LastWriteTime.QuadPart = file->times.lastWrite;
        info.ChangeTime.QuadPart = file->times.change;
        info.FileAttributes = file->times.attributes;
    }
    std::memcpy(FileInformation, &info, sizeof(info));
    if (LengthReturned != nullptr) {
        *LengthReturned = sizeof(info);
    }
    return doc::StatusSuccess;
}

NTSTATUS FLTAPI FltSetInformationFile(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, PVOID FileInformation,
                                      ULONG Length, FILE_INFORMATION_CLASS FileInformationClass)
{
    SIM_COST();
    NTSTATUS status = CheckFileInformationCall("FltSetInformationFile", Instance, FileObject, Length,
                                               FileInformationClass);
    if (!NT_SUCCESS(status) || (status = Failure(Call::SetInformationFile)) != doc::StatusSuccess) {
        return status;
    }
    if (CleanedUp(FileObject) && StreamOf(FileObject)->volume->fileSystem == FileSystem::Ntfs) {
        return doc::StatusFileClosed;
    }
    FILE_BASIC_INFORMATION info;
    std::memcpy(&info, FileInformation, sizeof(info));
    const LONGLONG times[4] = {info.CreationTime.QuadPart, info.LastAccessTime.QuadPart, info.LastWriteTime.QuadPart,
                               info.ChangeTime.QuadPart};
    for (LONGLONG t : times) {
        if (t < -2) {
            return doc::StatusInvalidParameter;
        }
    }
    SimFile *file = StreamOf(FileObject);
    std::lock_guard<std::mutex> guard(file->lock);
    // 0 keeps a time, -1 and -2 only switch the handle's automatic updates off and on.
    auto apply = [](LONGLONG value, LONGLONG &field) {
        if (value > 0) field = value;
    };
    apply(times[0], file->times.creation);
    apply(times[1], file->times.lastAccess);
    apply(times[2], file->times.lastWrite);
    apply(times[3], file->times.change);
    if (info.FileAttributes != 0) {
        const ULONG settable = 0x1 | 0x2 | 0x4 | 0x20 | 0x100 | 0x1000 | 0x2000; // read-only .. not indexed
        file->times.attributes = (file->times.attributes & ~settable) | (info.FileAttributes & settable);
    }
    ++file->sets;
    file->lastSet = info;
    return doc::StatusSuccess;
}

VOID FLTAPI FltInitializePushLock(PEX_PUSH_LOCK PushLock)
{
    *PushLock = reinterpret_cast<ULONG_PTR>(new SimPushLock());
}

VOID FLTAPI FltDeletePushLock(PEX_PUSH_LOCK PushLock)
{
    delete reinterpret_cast<SimPushLock *>(*PushLock);
    *PushLock = 0;
}

VOID FLTAPI FltAcquirePushLockExclusive(PEX_PUSH_LOCK PushLock)
{
    SIM_COST();
    RequireWaitAllowed("FltAcquirePushLockExclusive");
    reinterpret_cast<SimPushLock *>(*PushLock)->AcquireExclusive();
}

VOID FLTAPI FltAcquirePushLockShared(PEX_PUSH_LOCK PushLock)
{
    SIM_COST();
    RequireWaitAllowed("FltAcquirePushLockShared");
    reinterpret_cast<SimPushLock *>(*PushLock)->AcquireShared();
}

VOID FLTAPI FltReleasePushLock(PEX_PUSH_LOCK PushLock)
{
    SIM_COST();
    reinterpret_cast<SimPushLock *>(*PushLock)->Release();
}

// ---- stream contexts

NTSTATUS FLTAPI FltAllocateContext(PFLT_FILTER Filter, FLT_CONTEXT_TYPE ContextType, SIZE_T ContextSize,
                                   POOL_TYPE PoolType, PFLT_CONTEXT *ReturnedContext)
{
    SIM_ROUTINE(doc::ApcLevel);
    Machine &m = M();
    if (Filter != &m.filter || !m.registered) {
        return doc::StatusInvalidParameter;
    }
    const FLT_CONTEXT_REGISTRATION *registered = nullptr;
    for (const FLT_CONTEXT_REGISTRATION *r = m.filter.registration->ContextRegistration;
         r != nullptr && r->ContextType != doc::ContextEnd; ++r) {
        if (r->ContextType == ContextType) {
            registered = r;
        }
    }
    if (registered == nullptr || ContextSize > registered->Size) {
        return doc::StatusInvalidParameter; // only registered context types, at most their size
    }
    if (!PoolTypeAccepted(PoolType, "FltAllocateContext")) {
        return doc::StatusInvalidParameter;
    }
    if (const NTSTATUS failed = Failure(Call::AllocateContext)) return failed;
    const size_t bytes = sizeof(ContextHeader) + ContextSize;
    void *block = std::malloc(bytes);
    std::memset(block, 0xA5, bytes); // contexts come uninitialised
    auto *header = new (block) ContextHeader();
    TrackPool(block, registered->PoolTag, bytes);
    *ReturnedContext = header + 1;
    return doc::StatusSuccess;
}

namespace {
ContextHeader *HeaderOf(PFLT_CONTEXT context)
{
    return static_cast<ContextHeader *>(context) - 1;
}

// Sets the context of a stream or an instance (its slot, guarded by lock); the slot holds one
// reference.
NTSTATUS SetContext(std::mutex &lock, PFLT_CONTEXT &slot, FLT_SET_CONTEXT_OPERATION operation, PFLT_CONTEXT context,
                    PFLT_CONTEXT *old)
{
    PFLT_CONTEXT replaced;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (slot != nullptr && operation == doc::SetContextKeepIfExists) {
            if (old != nullptr) {
                HeaderOf(slot)->references.fetch_add(1);
                *old = slot;
            }
            return doc::StatusFltContextAlreadyDefined;
        }
        replaced = slot;
        HeaderOf(context)->references.fetch_add(1);
        slot = context;
    }
    if (replaced != nullptr) {
        if (old != nullptr) {
            *old = replaced; // the slot's reference passes to the caller
        } else {
            FltReleaseContext(replaced);
        }
    }
    return doc::StatusSuccess;
}

// The context in a slot, with a reference for the caller.
NTSTATUS GetContext(std::mutex &lock, const PFLT_CONTEXT &slot, PFLT_CONTEXT *context)
{
    std::lock_guard<std::mutex> guard(lock);
    if (slot == nullptr) {
        return doc::StatusNotFound;
    }
    HeaderOf(slot)->references.fetch_add(1);
    *context = slot;
    return doc::StatusSuccess;
}
} // namespace

VOID FLTAPI FltReferenceContext(PFLT_CONTEXT Context)
{
    SIM_ROUTINE(doc::DispatchLevel);
    HeaderOf(Context)->references.fetch_add(1);
}

VOID FLTAPI FltReleaseContext(PFLT_CONTEXT Context)
{
    SIM_ROUTINE(doc::DispatchLevel);
    ContextHeader *header = HeaderOf(Context);
    const long left = header->references.fetch_sub(1) - 1;
    if (left < 0) {
        Violation("FltReleaseContext of a context with no references left");
        return;
    }
    if (left == 0) {
        Machine &m = M();
        {
            std::lock_guard<std::mutex> guard(m.poolLock);
            m.pool.erase(header);
        }
        header->~ContextHeader();
        std::free(header);
    }
}

NTSTATUS FLTAPI FltSetStreamContext(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                    FLT_SET_CONTEXT_OPERATION Operation, PFLT_CONTEXT NewContext,
                                    PFLT_CONTEXT *OldContext)
{
    SIM_ROUTINE(doc::ApcLevel);
    if (OldContext != nullptr) {
        *OldContext = nullptr;
    }
    if (VolumeOf(Instance) == nullptr || FileObject == nullptr || NewContext == nullptr) {
        return doc::StatusInvalidParameter;
    }
    if (const NTSTATUS failed = Failure(Call::SetStreamContext)) return failed;
    if (VolumeOf(Instance)->tearingDown) {
        return doc::StatusFltDeletingObject;
    }
    SimFile *stream = StreamOf(FileObject);
    return SetContext(stream->lock, stream->context, Operation, NewContext, OldContext);
}

NTSTATUS FLTAPI FltGetStreamContext(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, PFLT_CONTEXT *Context)
{
    SIM_ROUTINE(doc::ApcLevel);
    *Context = nullptr;
    if (VolumeOf(Instance) == nullptr || FileObject == nullptr) {
        return doc::StatusInvalidParameter;
    }
    if (const NTSTATUS failed = Failure(Call::GetStreamContext)) return failed;
    SimFile *stream = StreamOf(FileObject);
    return GetContext(stream->lock, stream->context, Context);
}

// ---- generic work items

PFLT_GENERIC_WORKITEM FLTAPI FltAllocateGenericWorkItem(VOID)
{
    SIM_ROUTINE(doc::DispatchLevel);
    Machine &m = M();
    if (Failure(Call::AllocatePool) != doc::StatusSuccess) return nullptr;
    auto *item = new _FLT_GENERIC_WORKITEM();
    std::lock_guard<std::mutex> guard(m.lock);
    m.liveWorkItems.insert(item);
    m.workItemsAllocated.fetch_add(1);
    return item;
}

VOID FLTAPI FltFreeGenericWorkItem(PFLT_GENERIC_WORKITEM FltWorkItem)
{
    SIM_ROUTINE(doc::DispatchLevel);
    Machine &m = M();
    std::lock_guard<std::mutex> guard(m.lock);
    if (m.liveWorkItems.erase(FltWorkItem) == 0) {
        Violation("FltFreeGenericWorkItem of a work item that is not allocated");
        return;
    }
    if (FltWorkItem->queued) {
        Violation("FltFreeGenericWorkItem of a work item still queued");
    }
    m.workItemsAllocated.fetch_sub(1);
    delete FltWorkItem;
}

NTSTATUS FLTAPI FltQueueGenericWorkItem(PFLT_GENERIC_WORKITEM FltWorkItem, PVOID FltObject,
                                        PFLT_GENERIC_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                                        PVOID Context)
{
    SIM_ROUTINE(doc::DispatchLevel);
    (void)QueueType;
    Machine &m = M();
    if (const NTSTATUS failed = Failure(Call::QueueWorkItem)) return failed;
    if (VolumeOf(FltObject) == nullptr && FltObject != &m.filter) {
        return doc::StatusInvalidParameter;
    }
    if (!m.registered || (VolumeOf(FltObject) != nullptr && VolumeOf(FltObject)->tearingDown)) {
        return doc::StatusFltDeletingObject;
    }
    std::lock_guard<std::mutex> guard(m.lock);
    if (FltWorkItem->queued) {
        Violation("FltQueueGenericWorkItem of a work item already queued");
        return doc::StatusInvalidParameter;
    }
    FltWorkItem->routine = WorkerRoutine;
    FltWorkItem->object = FltObject;
    FltWorkItem->context = Context;
    FltWorkItem->queued = true;
    m.workQueue.push_back(FltWorkItem);
    return doc::StatusSuccess;
}

NTSTATUS FLTAPI FltObjectReference(PVOID FltObject)
{
    SIM_ROUTINE(doc::DispatchLevel);
    SimVolume *volume = VolumeOf(FltObject);
    if (volume == nullptr) {
        return doc::StatusInvalidParameter;
    }
    volume->references.fetch_add(1);
    if (volume->tearingDown || !M().registered) {
        volume->references.fetch_sub(1);
        return doc::StatusFltDeletingObject;
    }
    return doc::StatusSuccess;
}

VOID FLTAPI FltObjectDereference(PVOID FltObject)
{
    SIM_ROUTINE(doc::DispatchLevel);
    if (VolumeOf(FltObject) == nullptr || VolumeOf(FltObject)->references.fetch_sub(1) <= 0) {
        Violation("FltObjectDereference without a reference");
    }
}

// ---- instance contexts and volume names

NTSTATUS FLTAPI FltSetInstanceContext(PFLT_INSTANCE Instance, FLT_SET_CONTEXT_OPERATION Operation,
                                      PFLT_CONTEXT NewContext, PFLT_CONTEXT *OldContext)
{
    SIM_ROUTINE(doc::ApcLevel);
    if (OldContext != nullptr) {
        *OldContext = nullptr;
    }
    SimVolume *volume = VolumeOf(Instance);
    if (volume == nullptr || NewContext == nullptr) {
        return doc::StatusInvalidParameter;
    }
    return SetContext(volume->lock, volume->context, Operation, NewContext, OldContext);
}

NTSTATUS FLTAPI FltGetInstanceContext(PFLT_INSTANCE Instance, PFLT_CONTEXT *Context)
{
    SIM_ROUTINE(doc::ApcLevel);
    *Context = nullptr;
    SimVolume *volume = VolumeOf(Instance);
    if (volume == nullptr) {
        return doc::StatusInvalidParameter;
    }
    return GetContext(volume->lock, volume->context, Context);
}

NTSTATUS FLTAPI FltGetVolumeName(PFLT_VOLUME Volume, PUNICODE_STRING VolumeName, PULONG BufferSizeNeeded)
{
    SIM_ROUTINE(doc::ApcLevel);
    if (Volume == nullptr || Volume->volume == nullptr || &Volume->volume->volume != Volume) {
        return doc::StatusInvalidParameter;
    }
    if (const NTSTATUS failed = Failure(Call::GetVolumeName)) return failed;
    const std::u16string &name = Volume->volume->name;
    const ULONG bytes = ULONG(name.size() * sizeof(WCHAR));
    if (BufferSizeNeeded != nullptr) {
        *BufferSizeNeeded = bytes;
    }
    if (VolumeName == nullptr || VolumeName->MaximumLength < bytes) {
        return doc::StatusBufferTooSmall;
    }
    std::memcpy(VolumeName->Buffer, name.data(), bytes);
    VolumeName->Length = USHORT(bytes);
    return doc::StatusSuccess;
}

// ---- kernel run-time routines of the file systems, the version and security descriptors

LOGICAL NTAPI FsRtlIsPagingFile(PFILE_OBJECT FileObject)
{
    SIM_ROUTINE(doc::ApcLevel);
    return StreamOf(FileObject)->pagingFile ? TRUE : FALSE;
}

NTSTATUS NTAPI RtlGetVersion(PRTL_OSVERSIONINFOW VersionInformation)
{
    if (VersionInformation->dwOSVersionInfoSize != doc::OsVersionInfoSize) {
        return doc::StatusInvalidParameter;
    }
    VersionInformation->dwMajorVersion = M().versionMajor;
    VersionInformation->dwMinorVersion = M().versionMinor;
    VersionInformation->dwBuildNumber = M().versionMajor >= 10 ? 19045 : 7601;
    VersionInformation->dwPlatformId = 2;
    VersionInformation->szCSDVersion[0] = 0;
    return doc::StatusSuccess;
}

NTSTATUS NTAPI RtlCreateSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG Revision)
{
    if (Revision != doc::SecurityDescriptorRevision) {
        return doc::StatusUnknownRevision;
    }
    std::memset(SecurityDescriptor, 0, sizeof(SECURITY_DESCRIPTOR));
    static_cast<SECURITY_DESCRIPTOR *>(SecurityDescriptor)->Revision = doc::SecurityDescriptorRevision;
    return doc::StatusSuccess;
}

ULONG NTAPI RtlLengthSid(PSID Sid)
{
    return ULONG(8 + 4 * Sid->SubAuthorityCount);
}

NTSTATUS NTAPI RtlCreateAcl(PACL Acl, ULONG AclLength, ULONG AclRevision)
{
    if (AclLength < sizeof(ACL) || AclLength > 0xFFFF || AclRevision < 2 || AclRevision > 4) {
        return AclLength < sizeof(ACL) ? doc::StatusBufferTooSmall : doc::StatusInvalidParameter;
    }
    *Acl = ACL{UCHAR(AclRevision), 0, USHORT((AclLength + 3) & ~3u), 0, 0};
    return doc::StatusSuccess;
}

NTSTATUS NTAPI RtlAddAccessAllowedAce(PACL Acl, ULONG AceRevision, ACCESS_MASK AccessMask, PSID Sid)
{
    if (Sid->Revision != doc::SidRevision || Sid->SubAuthorityCount > 15) {
        return doc::StatusInvalidSid;
    }
    if (AceRevision < 2 || AceRevision > 4 || Acl->AclRevision < 2) {
        return doc::StatusRevisionMismatch;
    }
    uint8_t *end = reinterpret_cast<uint8_t *>(Acl) + sizeof(ACL);
    for (USHORT i = 0; i < Acl->AceCount; ++i) end += reinterpret_cast<ACE_HEADER *>(end)->AceSize;
    const ULONG sidBytes = RtlLengthSid(Sid);
    const ULONG aceBytes = ULONG(offsetof(ACCESS_ALLOWED_ACE, SidStart)) + sidBytes;
    if (size_t(end - reinterpret_cast<uint8_t *>(Acl)) + aceBytes > Acl->AclSize) {
        return doc::StatusAllottedSpaceExceeded;
    }
    auto *ace = reinterpret_cast<ACCESS_ALLOWED_ACE *>(end);
    ace->Header = ACE_HEADER{doc::AccessAllowedAceType, 0, USHORT(aceBytes)};
    ace->Mask = AccessMask;
    std::memcpy(&ace->SidStart, Sid, sidBytes);
    ++Acl->AceCount;
    return doc::StatusSuccess;
}

NTSTATUS NTAPI RtlSetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, BOOLEAN DaclPresent, PACL Dacl,
                                            BOOLEAN DaclDefaulted)
{
    auto *sd = static_cast<SECURITY_DESCRIPTOR *>(SecurityDescriptor);
    if (sd->Revision != doc::SecurityDescriptorRevision) {
        return doc::StatusUnknownRevision;
    }
    if ((sd->Control & doc::SeSelfRelative) != 0) {
        return doc::StatusInvalidSecurityDescr;
    }
    const int dacl = DaclPresent ? (DaclDefaulted ? doc::SeDaclPresent | doc::SeDaclDefaulted : doc::SeDaclPresent) : 0;
    sd->Control = SECURITY_DESCRIPTOR_CONTROL((sd->Control & ~(doc::SeDaclPresent | doc::SeDaclDefaulted)) | dacl);
    sd->Dacl = DaclPresent ? Dacl : nullptr;
    return doc::StatusSuccess;
}

} // extern "C"
