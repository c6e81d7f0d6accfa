// The simulated kernel and Filter Manager (see fltsim.h).
#include "fltsim.h"

#include <array>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

struct _DRIVER_OBJECT {
    int unused;
};
struct _FLT_INSTANCE {
    int unused;
};
struct _FLT_VOLUME {
    int unused;
};
struct _FLT_FILTER {
    const FLT_REGISTRATION *registration;
};
struct _FLT_PORT {
    bool server;
    int client; // client id for client ports
};

namespace fltsim {
namespace {

struct SimFile;

} // namespace
} // namespace fltsim

struct _FILE_OBJECT {
    fltsim::SimFile *file;
};

namespace fltsim {
namespace {

struct SimFile {
    std::u16string name;
    std::mutex lock;
    FileTimes times;
    unsigned sets = 0;
    FILE_BASIC_INFORMATION lastSet{};
    FILE_OBJECT object{};
};

struct FaultSpec {
    bool armed = false;
    NTSTATUS status = STATUS_SUCCESS;
    unsigned failAt = 0; // absolute call number; 0 = every call
};

struct Connection {
    _FLT_PORT port{false, 0};
    bool userOpen = true;
    bool portOpen = true;
    PVOID cookie = nullptr;
};

struct ServerPortState {
    _FLT_PORT object{true, -1};
    bool exists = false;
    PortInfo info;
    PFLT_CONNECT_NOTIFY connect = nullptr;
    PFLT_DISCONNECT_NOTIFY disconnect = nullptr;
    PFLT_MESSAGE_NOTIFY message = nullptr;
};

struct PoolBlock {
    ULONG tag;
    size_t bytes;
};

struct PoolTagCounters {
    size_t allocations = 0;
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
    _FLT_INSTANCE instance{};
    _FLT_VOLUME volume{};
    std::atomic<bool> registered{false};
    std::atomic<bool> filtering{false};
    std::atomic<int> inflight{0};

    ServerPortState server;
    std::map<void *, ACCESS_MASK> descriptors;
    std::deque<Connection> clients;

    std::deque<std::unique_ptr<SimFile>> files;
    std::atomic<unsigned> outstandingNames{0};

    std::mutex poolLock;
    std::unordered_map<void *, PoolBlock> pool;
    std::map<ULONG, PoolTagCounters> poolTags;

    std::atomic<int> closeDuringMessage{-1};

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
thread_local KIRQL tlIrql = PASSIVE_LEVEL;
thread_local bool tlGuarded = false;
thread_local bool tlDraining = false;
thread_local const uint8_t *tlUserStart = nullptr;
thread_local size_t tlUserBytes = 0;

void Violation(const std::string &what)
{
    std::lock_guard<std::mutex> guard(M().logLock);
    M().violations.push_back(what);
}

bool Fails(Call call, NTSTATUS *status)
{
    Machine &m = M();
    const unsigned n = ++m.calls[size_t(call)];
    std::lock_guard<std::mutex> guard(m.lock);
    const FaultSpec &f = m.faults[size_t(call)];
    if (f.armed && (f.failAt == 0 || f.failAt == n)) {
        *status = f.status;
        return true;
    }
    return false;
}

void RequireIrqlAtMost(KIRQL most, const char *routine)
{
    if (tlIrql > most) {
        Violation(std::string(routine) + " called at IRQL " + std::to_string(tlIrql));
    }
}

// Runs a driver callback the way the Filter Manager does for port notifications: at
// PASSIVE_LEVEL, in the calling (client's) thread.
struct PassiveCallback {
    KIRQL savedIrql = tlIrql;
    bool savedGuarded = tlGuarded;
    PassiveCallback()
    {
        tlIrql = PASSIVE_LEVEL;
        tlGuarded = false;
    }
    ~PassiveCallback()
    {
        tlIrql = savedIrql;
        tlGuarded = savedGuarded;
    }
};

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
    m.poolTags.clear();
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
        m.filter.registration = nullptr;
        m.registered = false;
        m.filtering = false;
        m.inflight = 0;
        m.server = ServerPortState();
        for (auto &d : m.descriptors) std::free(d.first);
        m.descriptors.clear();
        m.clients.clear();
        m.files.clear();
        m.outstandingNames = 0;
        m.closeDuringMessage = -1;
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
        return STATUS_FLT_DELETING_OBJECT;
    }
    PFLT_FILTER_UNLOAD_CALLBACK unload = m.filter.registration->FilterUnloadCallback;
    if (unload == nullptr) {
        return STATUS_UNSUCCESSFUL; // a filter without an unload routine cannot be unloaded
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

unsigned LiveSecurityDescriptors()
{
    std::lock_guard<std::mutex> guard(M().lock);
    return unsigned(M().descriptors.size());
}

unsigned OpenClientPorts()
{
    std::lock_guard<std::mutex> guard(M().lock);
    unsigned open = 0;
    for (const Connection &c : M().clients) open += c.portOpen ? 1 : 0;
    return open;
}

int Connect(const std::u16string &portName, NTSTATUS *status)
{
    Machine &m = M();
    PFLT_CONNECT_NOTIFY notify;
    int id;
    {
        std::lock_guard<std::mutex> guard(m.lock);
        if (!m.server.exists || !m.server.info.open || !EqualsIgnoreCase(portName, m.server.info.name)) {
            *status = STATUS_OBJECT_NAME_NOT_FOUND;
            return -1;
        }
        LONG live = 0;
        for (const Connection &c : m.clients) live += c.portOpen ? 1 : 0;
        if (live >= m.server.info.maxConnections) {
            *status = STATUS_CONNECTION_COUNT_LIMIT;
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
    *status = STATUS_SUCCESS;
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
            return STATUS_INVALID_PARAMETER;
        }
        if (!c->portOpen) {
            return STATUS_PORT_DISCONNECTED;
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

void CloseClientDuringNextMessage(int client)
{
    M().closeDuringMessage = client;
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

PFILE_OBJECT AddFile(const std::u16string &normalizedName, const FileTimes &times)
{
    Machine &m = M();
    std::lock_guard<std::mutex> guard(m.lock);
    m.files.push_back(std::make_unique<SimFile>());
    SimFile *file = m.files.back().get();
    file->name = normalizedName;
    file->times = times;
    file->object.file = file;
    return &file->object;
}

FileTimes Times(PFILE_OBJECT file)
{
    std::lock_guard<std::mutex> guard(file->file->lock);
    return file->file->times;
}

unsigned SetCount(PFILE_OBJECT file)
{
    std::lock_guard<std::mutex> guard(file->file->lock);
    return file->file->sets;
}

FILE_BASIC_INFORMATION LastSetRecord(PFILE_OBJECT file)
{
    std::lock_guard<std::mutex> guard(file->file->lock);
    return file->file->lastSet;
}

unsigned OutstandingNames()
{
    return M().outstandingNames.load();
}

int Read(PFILE_OBJECT file, const ReadOptions &options)
{
    Machine &m = M();
    // Counted before the registration is looked at, so that unregistering can wait for us.
    m.inflight.fetch_add(1);
    struct Leave {
        ~Leave() { M().inflight.fetch_sub(1); }
    } leave;
    if (!m.registered || !m.filtering) {
        return -1;
    }
    PFLT_POST_OPERATION_CALLBACK post = nullptr;
    for (const FLT_OPERATION_REGISTRATION *op = m.filter.registration->OperationRegistration;
         op != nullptr && op->MajorFunction != IRP_MJ_OPERATION_END; ++op) {
        if (op->MajorFunction == IRP_MJ_READ) {
            post = op->PostOperation;
        }
    }
    if (post == nullptr) {
        return -1;
    }
    FLT_IO_PARAMETER_BLOCK iopb{};
    iopb.IrpFlags = options.fastIo ? 0 : options.irpFlags;
    iopb.MajorFunction = IRP_MJ_READ;
    iopb.TargetFileObject = file;
    iopb.TargetInstance = &m.instance;
    FLT_CALLBACK_DATA data{};
    data.Flags = options.fastIo ? FLTFL_CALLBACK_DATA_FAST_IO_OPERATION : FLTFL_CALLBACK_DATA_IRP_OPERATION;
    data.Iopb = &iopb;
    data.IoStatus.u.Status = options.status;
    FLT_RELATED_OBJECTS objects{};
    objects.Size = sizeof(objects);
    objects.Filter = &m.filter;
    objects.Volume = &m.volume;
    objects.Instance = &m.instance;
    objects.FileObject = file;

    const KIRQL savedIrql = tlIrql;
    const bool savedGuarded = tlGuarded;
    tlIrql = options.irql;
    tlGuarded = options.guardedRegion;
    tlDraining = options.draining;
    const FLT_POSTOP_CALLBACK_STATUS result =
        post(&data, &objects, nullptr, options.draining ? FLTFL_POST_OPERATION_DRAINING : 0);
    tlIrql = savedIrql;
    tlGuarded = savedGuarded;
    tlDraining = false;
    if (result != FLT_POSTOP_FINISHED_PROCESSING) {
        Violation("post-read returned more-processing-required without a way to complete the read");
    }
    if (iopb.TargetFileObject != file || data.IoStatus.u.Status != options.status) {
        Violation("post-read altered the read");
    }
    return int(result);
}

size_t PoolOutstanding(ULONG tag)
{
    Machine &m = M();
    std::lock_guard<std::mutex> guard(m.poolLock);
    size_t n = 0;
    for (auto &block : m.pool) n += block.second.tag == tag ? 1 : 0;
    return n;
}

size_t PoolOutstandingBytes(ULONG tag)
{
    Machine &m = M();
    std::lock_guard<std::mutex> guard(m.poolLock);
    size_t n = 0;
    for (auto &block : m.pool) n += block.second.tag == tag ? block.second.bytes : 0;
    return n;
}

size_t PoolAllocations(ULONG tag)
{
    Machine &m = M();
    std::lock_guard<std::mutex> guard(m.poolLock);
    auto it = m.poolTags.find(tag);
    return it == m.poolTags.end() ? 0 : it->second.allocations;
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
    RequireIrqlAtMost(PoolType == NonPagedPool ? DISPATCH_LEVEL : APC_LEVEL, "ExAllocatePoolWithTag");
    NTSTATUS status;
    if (Fails(Call::AllocatePool, &status)) {
        return nullptr;
    }
    void *p = std::malloc(NumberOfBytes == 0 ? 1 : NumberOfBytes);
    Machine &m = M();
    std::lock_guard<std::mutex> guard(m.poolLock);
    m.pool[p] = PoolBlock{Tag, NumberOfBytes};
    ++m.poolTags[Tag].allocations;
    return p;
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "ExFreePoolWithTag");
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
    CurrentTime->QuadPart = M().clock.load();
}

BOOLEAN NTAPI KeAreAllApcsDisabled(VOID)
{
    return (tlIrql >= APC_LEVEL || tlGuarded) ? TRUE : FALSE;
}

NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "RtlIntegerToUnicodeString");
    NTSTATUS status;
    if (Fails(Call::IntegerToUnicodeString, &status)) {
        return status;
    }
    if (Base == 0) {
        Base = 10;
    }
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16) {
        return STATUS_INVALID_PARAMETER;
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
        return STATUS_BUFFER_OVERFLOW;
    }
    for (size_t i = 0; i < n; ++i) {
        String->Buffer[i] = digits[n - 1 - i];
    }
    String->Buffer[n] = 0;
    String->Length = USHORT(n * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source)
{
    NTSTATUS status;
    if (Fails(Call::AppendUnicodeString, &status)) {
        return status;
    }
    const size_t total = size_t(Destination->Length) + Source->Length;
    if (total > Destination->MaximumLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (Source->Length != 0) {
        std::memmove(reinterpret_cast<uint8_t *>(Destination->Buffer) + Destination->Length, Source->Buffer,
                     Source->Length);
    }
    Destination->Length = USHORT(total);
    if (total + sizeof(WCHAR) <= Destination->MaximumLength) {
        Destination->Buffer[total / sizeof(WCHAR)] = 0;
    }
    return STATUS_SUCCESS;
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
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI KsCaptureBuffer(PVOID Destination, const VOID *Source, ULONG Length)
{
    NTSTATUS status;
    if (Fails(Call::CaptureBuffer, &status)) {
        return status;
    }
    if (Length == 0) {
        return STATUS_SUCCESS;
    }
    // ProbeForRead and the copy fault on anything outside the sender's memory.
    const uint8_t *p = static_cast<const uint8_t *>(Source);
    if (tlUserStart == nullptr || p < tlUserStart || p > tlUserStart + tlUserBytes ||
        size_t(tlUserStart + tlUserBytes - p) < Length) {
        return STATUS_ACCESS_VIOLATION;
    }
    std::memcpy(Destination, Source, Length);
    const int closing = M().closeDuringMessage.exchange(-1);
    if (closing >= 0) {
        CloseClient(closing);
    }
    return STATUS_SUCCESS;
}

NTSTATUS FLTAPI FltRegisterFilter(PDRIVER_OBJECT Driver, const FLT_REGISTRATION *Registration, PFLT_FILTER *RetFilter)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "FltRegisterFilter");
    NTSTATUS status;
    if (Fails(Call::RegisterFilter, &status)) {
        return status;
    }
    Machine &m = M();
    if (Driver != &m.driver || Registration == nullptr || Registration->Size < 48 ||
        Registration->Version < 0x0200 || Registration->Version > 0x0203) {
        return STATUS_INVALID_PARAMETER;
    }
    if (m.registered) {
        return STATUS_FLT_INSTANCE_ALTITUDE_COLLISION;
    }
    m.filter.registration = Registration;
    m.registered = true;
    *RetFilter = &m.filter;
    return STATUS_SUCCESS;
}

NTSTATUS FLTAPI FltStartFiltering(PFLT_FILTER Filter)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "FltStartFiltering");
    NTSTATUS status;
    if (Fails(Call::StartFiltering, &status)) {
        return status;
    }
    if (Filter != &M().filter || !M().registered) {
        Violation("FltStartFiltering on a filter that is not registered");
        return STATUS_INVALID_PARAMETER;
    }
    M().filtering = true;
    return STATUS_SUCCESS;
}

VOID FLTAPI FltUnregisterFilter(PFLT_FILTER Filter)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "FltUnregisterFilter");
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
    m.registered = false;
    while (m.inflight.load() != 0) {
        std::this_thread::yield();
    }
    m.filter.registration = nullptr;
}

NTSTATUS FLTAPI FltBuildDefaultSecurityDescriptor(PSECURITY_DESCRIPTOR *SecurityDescriptor, ACCESS_MASK DesiredAccess)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "FltBuildDefaultSecurityDescriptor");
    NTSTATUS status;
    if (Fails(Call::BuildSecurityDescriptor, &status)) {
        return status;
    }
    void *descriptor = std::malloc(20);
    std::lock_guard<std::mutex> guard(M().lock);
    M().descriptors[descriptor] = DesiredAccess;
    *SecurityDescriptor = descriptor;
    return STATUS_SUCCESS;
}

VOID FLTAPI FltFreeSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor)
{
    {
        std::lock_guard<std::mutex> guard(M().lock);
        auto it = M().descriptors.find(SecurityDescriptor);
        if (it == M().descriptors.end()) {
            Violation("FltFreeSecurityDescriptor of an unknown descriptor");
            return;
        }
        M().descriptors.erase(it);
    }
    std::free(SecurityDescriptor);
}

NTSTATUS FLTAPI FltCreateCommunicationPort(PFLT_FILTER Filter, PFLT_PORT *ServerPort, POBJECT_ATTRIBUTES ObjectAttributes,
                                           PVOID ServerPortCookie, PFLT_CONNECT_NOTIFY ConnectNotifyCallback,
                                           PFLT_DISCONNECT_NOTIFY DisconnectNotifyCallback,
                                           PFLT_MESSAGE_NOTIFY MessageNotifyCallback, LONG MaxConnections)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "FltCreateCommunicationPort");
    NTSTATUS status;
    if (Fails(Call::CreateCommunicationPort, &status)) {
        return status;
    }
    Machine &m = M();
    if (Filter != &m.filter || ObjectAttributes == nullptr || ObjectAttributes->ObjectName == nullptr ||
        ConnectNotifyCallback == nullptr || DisconnectNotifyCallback == nullptr || MaxConnections <= 0) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> guard(m.lock);
    const UNICODE_STRING *name = ObjectAttributes->ObjectName;
    std::u16string text(name->Buffer, name->Length / sizeof(WCHAR));
    if (m.server.exists && m.server.info.open) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    m.server = ServerPortState();
    m.server.exists = true;
    m.server.info.open = true;
    m.server.info.name = text;
    m.server.info.attributes = ObjectAttributes->Attributes;
    auto descriptor = m.descriptors.find(ObjectAttributes->SecurityDescriptor);
    m.server.info.securityDescriptorValid = descriptor != m.descriptors.end();
    m.server.info.securityAccess = m.server.info.securityDescriptorValid ? descriptor->second : 0;
    m.server.info.maxConnections = MaxConnections;
    m.server.info.serverCookie = ServerPortCookie != nullptr;
    m.server.connect = ConnectNotifyCallback;
    m.server.disconnect = DisconnectNotifyCallback;
    m.server.message = MessageNotifyCallback;
    *ServerPort = &m.server.object;
    return STATUS_SUCCESS;
}

VOID FLTAPI FltCloseCommunicationPort(PFLT_PORT ServerPort)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "FltCloseCommunicationPort");
    std::lock_guard<std::mutex> guard(M().lock);
    if (ServerPort != &M().server.object || !M().server.exists || !M().server.info.open) {
        Violation("FltCloseCommunicationPort of a port that is not open");
        return;
    }
    M().server.info.open = false;
}

VOID FLTAPI FltCloseClientPort(PFLT_FILTER Filter, PFLT_PORT *ClientPort)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "FltCloseClientPort");
    (void)Filter;
    PFLT_PORT port = __atomic_load_n(ClientPort, __ATOMIC_ACQUIRE);
    if (port == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> guard(M().lock);
    Connection *c = port->server ? nullptr : FindClient(port->client);
    if (c == nullptr || &c->port != port || !c->portOpen) {
        Violation("FltCloseClientPort of a port that is not an open client port");
        return;
    }
    c->portOpen = false;
    __atomic_store_n(ClientPort, static_cast<PFLT_PORT>(nullptr), __ATOMIC_RELEASE);
}

NTSTATUS FLTAPI FltGetFileNameInformation(PFLT_CALLBACK_DATA CallbackData, FLT_FILE_NAME_OPTIONS NameOptions,
                                          PFLT_FILE_NAME_INFORMATION *FileNameInformation)
{
    RequireIrqlAtMost(APC_LEVEL, "FltGetFileNameInformation");
    NTSTATUS status;
    if (Fails(Call::GetFileNameInformation, &status)) {
        return status;
    }
    if ((CallbackData->Flags & FLTFL_CALLBACK_DATA_IRP_OPERATION) != 0 &&
        (CallbackData->Iopb->IrpFlags & (IRP_PAGING_IO | IRP_SYNCHRONOUS_PAGING_IO)) != 0) {
        return STATUS_FLT_INVALID_NAME_REQUEST; // no names in the paging path
    }
    if ((NameOptions & 0xff) != FLT_FILE_NAME_NORMALIZED) {
        return STATUS_INVALID_PARAMETER; // the simulation keeps normalized names only
    }
    SimFile *file = CallbackData->Iopb->TargetFileObject->file;
    // The name's buffer holds exactly its characters, no terminator: reading past Length is a fault.
    auto *info = new FLT_FILE_NAME_INFORMATION{};
    const size_t chars = file->name.size();
    info->Size = sizeof(FLT_FILE_NAME_INFORMATION);
    info->Format = NameOptions & 0xff;
    info->Name.Buffer = new WCHAR[chars == 0 ? 1 : chars];
    std::memcpy(info->Name.Buffer, file->name.data(), chars * sizeof(WCHAR));
    info->Name.Length = USHORT(chars * sizeof(WCHAR));
    info->Name.MaximumLength = info->Name.Length;
    M().outstandingNames.fetch_add(1);
    *FileNameInformation = info;
    return STATUS_SUCCESS;
}

VOID FLTAPI FltReleaseFileNameInformation(PFLT_FILE_NAME_INFORMATION FileNameInformation)
{
    RequireIrqlAtMost(APC_LEVEL, "FltReleaseFileNameInformation");
    delete[] FileNameInformation->Name.Buffer;
    delete FileNameInformation;
    M().outstandingNames.fetch_sub(1);
}

namespace {

NTSTATUS CheckFileInformationCall(const char *routine, PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                  ULONG Length, FILE_INFORMATION_CLASS FileInformationClass)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, routine);
    if (tlDraining) {
        Violation(std::string(routine) + " issued on an instance that is draining");
    }
    if (Instance != &M().instance || FileObject == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (FileInformationClass != FileBasicInformation) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Length < sizeof(FILE_BASIC_INFORMATION)) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS FLTAPI FltQueryInformationFile(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, PVOID FileInformation,
                                        ULONG Length, FILE_INFORMATION_CLASS FileInformationClass,
                                        PULONG LengthReturned)
{
    NTSTATUS status = CheckFileInformationCall("FltQueryInformationFile", Instance, FileObject, Length,
                                               FileInformationClass);
    if (!NT_SUCCESS(status) || Fails(Call::QueryInformationFile, &status)) {
        return status;
    }
    SimFile *file = FileObject->file;
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
    return STATUS_SUCCESS;
}

NTSTATUS FLTAPI FltSetInformationFile(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, PVOID FileInformation,
                                      ULONG Length, FILE_INFORMATION_CLASS FileInformationClass)
{
    NTSTATUS status = CheckFileInformationCall("FltSetInformationFile", Instance, FileObject, Length,
                                               FileInformationClass);
    if (!NT_SUCCESS(status) || Fails(Call::SetInformationFile, &status)) {
        return status;
    }
    FILE_BASIC_INFORMATION info;
    std::memcpy(&info, FileInformation, sizeof(info));
    const LONGLONG times[4] = {info.CreationTime.QuadPart, info.LastAccessTime.QuadPart, info.LastWriteTime.QuadPart,
                               info.ChangeTime.QuadPart};
    for (LONGLONG t : times) {
        if (t < -2) {
            return STATUS_INVALID_PARAMETER;
        }
    }
    SimFile *file = FileObject->file;
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
    return STATUS_SUCCESS;
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
    RequireIrqlAtMost(APC_LEVEL, "FltAcquirePushLockExclusive");
    reinterpret_cast<SimPushLock *>(*PushLock)->AcquireExclusive();
}

VOID FLTAPI FltAcquirePushLockShared(PEX_PUSH_LOCK PushLock)
{
    RequireIrqlAtMost(APC_LEVEL, "FltAcquirePushLockShared");
    reinterpret_cast<SimPushLock *>(*PushLock)->AcquireShared();
}

VOID FLTAPI FltReleasePushLock(PEX_PUSH_LOCK PushLock)
{
    reinterpret_cast<SimPushLock *>(*PushLock)->Release();
}

} // extern "C"
