// Ombrix_Filter on the simulated Filter Manager: start and unload, the port and its volume list,
// and the last-access refresh on reads.
#include <gtest/gtest.h>

#include <random>

#include "support.h"

using namespace filtertest;

namespace {

class Filter : public ::testing::Test {
protected:
    void SetUp() override { fltsim::Reset(); }

    // After every scenario: the driver unloaded cleanly and left nothing behind.
    void TearDown() override
    {
        if (fltsim::IsRegistered()) {
            EXPECT_EQ(fltsim::UnloadDriver(), STATUS_SUCCESS);
        }
        EXPECT_EQ(fltsim::PoolOutstanding(ScanTag), 0u) << "\"Scan\" pool left after unload";
        EXPECT_EQ(fltsim::OpenClientPorts(), 0u);
        EXPECT_EQ(fltsim::FileObjectReferences(), 0);
        EXPECT_EQ(fltsim::WorkItemsAllocated(), 0u);
        EXPECT_EQ(fltsim::QueuedWorkItems(), 0u);
        EXPECT_TRUE(fltsim::Violations().empty()) << ::testing::PrintToString(fltsim::Violations());
        fltsim::Reset();
    }

    void Load() { ASSERT_EQ(fltsim::LoadDriver(), STATUS_SUCCESS); }

    // A loaded driver with the service connected and the given volumes listed, at now_.
    int Watch(std::initializer_list<int32_t> volumes)
    {
        Load();
        fltsim::SetSystemTime(now_);
        int client = ConnectService();
        EXPECT_GE(client, 0);
        EXPECT_EQ(SendVolumes(client, volumes), STATUS_SUCCESS);
        return client;
    }

    static fltsim::FileTimes Stored(LONGLONG lastAccess)
    {
        fltsim::FileTimes t;
        t.creation = 130000000000000000LL;
        t.lastAccess = lastAccess;
        t.lastWrite = 131000000000000000LL;
        t.change = 131500000000000000LL;
        t.attributes = 0x20 | 0x1; // archive, read-only
        return t;
    }

    // A mapped file whose one handle is closed: its page faults queue no work and ask nothing
    // through that file object; the next handle's first read is owed the check.
    void ExpectMappedFileCheckedOnNextOpen(const std::u16string &name, fltsim::ReadKind paging)
    {
        PFILE_OBJECT mapped = fltsim::AddFile(name, Stored(now_ - 9 * Hour));
        fltsim::Cleanup(mapped);
        for (int i = 0; i < 100; ++i) fltsim::Read(mapped, Kind(paging));
        fltsim::RunWorkItems();
        EXPECT_EQ(fltsim::SetCount(mapped), 0u);
        EXPECT_EQ(fltsim::CallCount(fltsim::Call::QueueWorkItem), 0u);
        EXPECT_EQ(fltsim::CallCount(fltsim::Call::QueryInformationFile), 0u);
        PFILE_OBJECT opened = fltsim::OpenAgain(mapped);
        fltsim::Read(opened);
        EXPECT_EQ(fltsim::Times(mapped).lastAccess, now_);
        fltsim::Cleanup(opened);
    }

    const LONGLONG now_ = 133000000000000000LL;
};

// ---------------------------------------------------------------------------------------------
// Start, registration record and port

TEST_F(Filter, Start_RegistersFiltersAndOpensTheOneConnectionAdminPort)
{
    Load();
    const FLT_REGISTRATION *r = fltsim::Registration();
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->Size, sizeof(FLT_REGISTRATION));
    EXPECT_EQ(r->Version, 0x0202);
    EXPECT_EQ(r->Flags, 0u);
    // An instance and a stream context, tagged "Scan"; nothing else.
    EXPECT_EQ(r->ContextRegistration[0].ContextType, FLT_INSTANCE_CONTEXT);
    EXPECT_EQ(r->ContextRegistration[0].PoolTag, ScanTag);
    EXPECT_EQ(r->ContextRegistration[0].Size, sizeof(INSTANCE_CONTEXT));
    EXPECT_EQ(r->ContextRegistration[1].ContextType, FLT_STREAM_CONTEXT);
    EXPECT_EQ(r->ContextRegistration[1].PoolTag, ScanTag);
    EXPECT_EQ(r->ContextRegistration[1].Size, sizeof(STREAM_CONTEXT));
    EXPECT_EQ(r->ContextRegistration[2].ContextType, FLT_CONTEXT_END);
    // Reads, delivered whatever their kind (flags 0), and the cleanup of handles.
    EXPECT_EQ(r->OperationRegistration[0].MajorFunction, IRP_MJ_READ);
    EXPECT_EQ(r->OperationRegistration[0].Flags, 0u);
    EXPECT_NE(r->OperationRegistration[0].PreOperation, nullptr);
    EXPECT_NE(r->OperationRegistration[0].PostOperation, nullptr);
    EXPECT_EQ(r->OperationRegistration[1].MajorFunction, IRP_MJ_CLEANUP);
    EXPECT_EQ(r->OperationRegistration[1].Flags, 0u);
    EXPECT_EQ(r->OperationRegistration[2].MajorFunction, IRP_MJ_OPERATION_END);
    EXPECT_NE(r->FilterUnloadCallback, nullptr);
    // Instance setup and teardown complete keep the volume verdicts; no query teardown.
    EXPECT_NE(r->InstanceSetupCallback, nullptr);
    EXPECT_NE(r->InstanceTeardownCompleteCallback, nullptr);
    const PVOID none[] = {r->InstanceQueryTeardownCallback, reinterpret_cast<PVOID>(r->InstanceTeardownStartCallback),
                          r->GenerateFileNameCallback, r->NormalizeNameComponentCallback,
                          r->NormalizeContextCleanupCallback, r->TransactionNotificationCallback,
                          r->NormalizeNameComponentExCallback};
    for (PVOID callback : none) EXPECT_EQ(callback, nullptr);
    EXPECT_TRUE(fltsim::IsFiltering());

    fltsim::PortInfo port = fltsim::ServerPort();
    EXPECT_TRUE(port.open);
    EXPECT_EQ(port.name, u"\\OmbrixPort");
    EXPECT_EQ(port.attributes, ULONG(OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE));
    EXPECT_EQ(port.maxConnections, 1);
    EXPECT_FALSE(port.serverCookie);
    EXPECT_TRUE(fltsim::DebugLines().empty());
}

TEST_F(Filter, Start_RegistrationFailure_IsReturnedAndNothingIsLeft)
{
    fltsim::FailCall(fltsim::Call::RegisterFilter, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(fltsim::LoadDriver(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(fltsim::IsRegistered());
    EXPECT_FALSE(fltsim::ServerPort().open);
    EXPECT_EQ(fltsim::CallCount(fltsim::Call::StartFiltering), 0u);
}

TEST_F(Filter, Start_WithoutPort_FiltersAnywayAndNoClientCanConnect)
{
    fltsim::FailCall(fltsim::Call::CreateCommunicationPort, STATUS_INSUFFICIENT_RESOURCES);
    ASSERT_EQ(fltsim::LoadDriver(), STATUS_SUCCESS);
    EXPECT_TRUE(fltsim::IsFiltering());
    EXPECT_FALSE(fltsim::ServerPort().open);
    EXPECT_EQ(ConnectService(), -1);
    // Unload without a port closes nothing (no violation: the tear-down checks).
    EXPECT_EQ(fltsim::UnloadDriver(), STATUS_SUCCESS);
    EXPECT_FALSE(fltsim::IsRegistered());
}

TEST_F(Filter, Start_FilteringFailure_ClosesPortUnregistersAndReturnsItsStatus)
{
    fltsim::FailCall(fltsim::Call::StartFiltering, STATUS_FLT_INSTANCE_ALTITUDE_COLLISION, 1);
    EXPECT_EQ(fltsim::LoadDriver(), STATUS_FLT_INSTANCE_ALTITUDE_COLLISION);
    EXPECT_FALSE(fltsim::IsRegistered());
    EXPECT_FALSE(fltsim::ServerPort().open);
    // And a later start works from scratch.
    Load();
    EXPECT_GE(ConnectService(), 0);
}

// ---------------------------------------------------------------------------------------------
// Connections

TEST_F(Filter, Port_ConnectAndDisconnect_WriteTheirLinesAndEmptyTheTable)
{
    int client = Watch({2, 5});
    EXPECT_EQ(TableTexts().size(), 2u);
    fltsim::CloseClient(client);
    EXPECT_EQ(fltsim::DebugLines(), (std::vector<std::string>{"[Filter] Port Connect", "[Filter] Port Disconnect"}));
    EXPECT_EQ(FilterState.VolumeTable.Count, 0u);
    EXPECT_EQ(FilterState.ClientPort, nullptr);
    EXPECT_EQ(fltsim::PoolOutstanding(ScanTag), 0u);
    EXPECT_EQ(fltsim::OpenClientPorts(), 0u);
}

TEST_F(Filter, Port_SecondClientIsRefusedAndTableUntouched)
{
    int service = Watch({4});
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(fltsim::Connect(u"\\OmbrixPort", &status), -1);
    EXPECT_EQ(status, STATUS_CONNECTION_COUNT_LIMIT);
    EXPECT_EQ(TableTexts(), std::vector<std::u16string>{Entry(4)});
    EXPECT_EQ(fltsim::DebugLines().size(), 1u);
    // Once the service is gone, anyone allowed in becomes the client.
    fltsim::CloseClient(service);
    int other = ConnectService();
    ASSERT_GE(other, 0);
    EXPECT_EQ(SendVolumes(other, {9}), STATUS_SUCCESS);
    EXPECT_EQ(TableTexts(), std::vector<std::u16string>{Entry(9)});
}

TEST_F(Filter, Port_OnlyLocalSystemMayConnect)
{
    Load();
    // Between two cycles the service has let go of the one connection: an administrator's
    // process tries to take it.
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(fltsim::Connect(OMBRIX_PORT_NAME, &status, fltsim::Account::Administrator), -1);
    EXPECT_EQ(status, STATUS_ACCESS_DENIED);
    EXPECT_TRUE(fltsim::DebugLines().empty()) << "the driver never heard of it";
    int client = ConnectService();
    EXPECT_GE(client, 0);
    EXPECT_EQ(SendVolumes(client, {3}), STATUS_SUCCESS);
    EXPECT_EQ(TableTexts(), std::vector<std::u16string>{Entry(3)});
}

TEST_F(Filter, Port_ReconnectGivesOnlyTheNewVolumes)
{
    int first = Watch({3, 5, 7});
    fltsim::CloseClient(first);
    int second = ConnectService();
    ASSERT_GE(second, 0);
    EXPECT_EQ(FilterState.VolumeTable.Count, 0u) << "a new connection starts with an empty table";
    EXPECT_EQ(SendVolumes(second, {8}), STATUS_SUCCESS);
    EXPECT_EQ(TableTexts(), std::vector<std::u16string>{Entry(8)});
    EXPECT_EQ(fltsim::PoolOutstanding(ScanTag), 1u);
    // A client that connects the moment the closed port frees the slot keeps the list it sends.
    int third = -1;
    fltsim::WhenClientPortCloses([&] {
        third = ConnectService();
        EXPECT_EQ(SendVolumes(third, {9}), STATUS_SUCCESS);
    });
    fltsim::CloseClient(second);
    ASSERT_GE(third, 0);
    EXPECT_EQ(TableTexts(), std::vector<std::u16string>{Entry(9)});
    EXPECT_NE(FilterState.ClientPort, nullptr);
}

// ---------------------------------------------------------------------------------------------
// The volume list

TEST_F(Filter, Message_ThreeAndFive_GivesTwoTerminatedEntriesInOrder)
{
    Watch({3, 5});
    EXPECT_EQ(TableTexts(), (std::vector<std::u16string>{u"Device\\HarddiskVolume3", u"Device\\HarddiskVolume5"}));
    for (ULONG i = 0; i < 2; ++i) {
        const UNICODE_STRING &e = FilterState.VolumeTable.Entries[i];
        EXPECT_EQ(e.MaximumLength, 512);
        EXPECT_EQ(e.Buffer[e.Length / 2], 0) << "entry text ends with a NUL";
    }
    // One 1024-byte buffer per entry; the scratch text is gone.
    EXPECT_EQ(fltsim::PoolOutstanding(ScanTag), 2u);
    EXPECT_EQ(fltsim::PoolOutstandingBytes(ScanTag), 2048u);
    EXPECT_EQ(fltsim::PoolAllocations(ScanTag), 3u);
}

TEST_F(Filter, Message_LimitsThatFit_AreAccepted)
{
    int client = Watch({9999999, 0, 24});
    EXPECT_EQ(TableTexts(), (std::vector<std::u16string>{Entry(9999999), Entry(0), Entry(24)}));
    // The table holds 32 entries: a message long enough to carry them is accepted.
    uint32_t full[33];
    full[0] = 32;
    for (uint32_t i = 1; i <= 32; ++i) full[i] = 100 + i;
    EXPECT_EQ(fltsim::SendMessage(client, full, sizeof(full)), STATUS_SUCCESS);
    ASSERT_EQ(FilterState.VolumeTable.Count, 32u);
    EXPECT_EQ(TableTexts()[31], Entry(132));
    EXPECT_EQ(fltsim::PoolOutstanding(ScanTag), 32u);
    // A longer input than the table needs is read no further than the table needs.
    std::vector<uint32_t> longer(1000, 7);
    longer[0] = 1;
    EXPECT_EQ(fltsim::SendMessage(client, longer.data(), ULONG(longer.size() * 4)), STATUS_SUCCESS);
    EXPECT_EQ(TableTexts(), std::vector<std::u16string>{Entry(7)});
}

TEST_F(Filter, Message_SecondOnOneConnection_ReplacesAndFreesTheEarlierEntries)
{
    int client = Watch({1, 2, 3, 4});
    EXPECT_EQ(SendVolumes(client, {6}), STATUS_SUCCESS);
    EXPECT_EQ(TableTexts(), std::vector<std::u16string>{Entry(6)});
    EXPECT_EQ(fltsim::PoolOutstanding(ScanTag), 1u);
    EXPECT_EQ(SendVolumes(client, {}), STATUS_SUCCESS);
    EXPECT_EQ(FilterState.VolumeTable.Count, 0u);
    EXPECT_EQ(fltsim::PoolOutstanding(ScanTag), 0u);
}

TEST_F(Filter, Message_WhoseClientDisconnectsMeanwhile_LeavesNoTableBehind)
{
    // The client closes its handle, and the next one connects, while its message is handled:
    // the message is dropped, not published for the next client, which starts empty.
    int client = Watch({3}), next = -1;
    fltsim::DuringNextMessage([&] {
        fltsim::CloseClient(client);
        next = ConnectService();
    });
    EXPECT_EQ(SendVolumes(client, {4, 5}), STATUS_PORT_DISCONNECTED);
    ASSERT_GE(next, 0);
    EXPECT_EQ(FilterState.VolumeTable.Count, 0u);
    EXPECT_EQ(fltsim::PoolOutstanding(ScanTag), 0u);
    EXPECT_EQ(SendVolumes(next, {7}), STATUS_SUCCESS);
    EXPECT_EQ(TableTexts(), std::vector<std::u16string>{Entry(7)});
}

TEST_F(Filter, Message_Malformed_IsRefusedAndLeavesTheTableAsBefore)
{
    int client = Watch({7, 11});
    const std::vector<std::u16string> before = TableTexts();

    struct Case {
        const char *what;
        std::vector<uint32_t> words;
        size_t bytes;
    };
    const std::vector<Case> cases = {
        {"empty", {}, 0},
        {"shorter than the count", {5}, 3},
        {"count 3, two numbers", {3, 1, 2}, 12},
        {"count 31 in 124 bytes", std::vector<uint32_t>(31, 31), 124},
        {"count 32 in the 128-byte message", std::vector<uint32_t>(32, 32), 128},
        {"count 33", std::vector<uint32_t>(34, 33), 136},
        {"count far beyond the table", std::vector<uint32_t>{0x40000001u, 1, 2}, 12},
        {"count 0xFFFFFFFF", std::vector<uint32_t>{0xFFFFFFFFu, 1}, 8},
        {"8-digit number", {2, 5, 10000000}, 12},
        {"negative number", {1, uint32_t(-1)}, 8},
        {"largest number", {1, 0xFFFFFFFFu - 1}, 8},
    };
    for (const Case &c : cases) {
        std::vector<uint8_t> bytes(c.bytes + 1);
        if (!c.words.empty()) std::memcpy(bytes.data(), c.words.data(), std::min(c.bytes, c.words.size() * 4));
        NTSTATUS status = fltsim::SendMessage(client, bytes.data(), ULONG(c.bytes));
        EXPECT_FALSE(NT_SUCCESS(status)) << c.what;
        EXPECT_EQ(TableTexts(), before) << c.what;
        EXPECT_EQ(fltsim::PoolOutstanding(ScanTag), 2u) << c.what;
    }
    // A client that claims more bytes than it owns: the capture faults, nothing is read past them.
    VolumeListMessage message = VolumeList({1, 2, 3});
    EXPECT_EQ(fltsim::SendMessageClaiming(client, &message, 8, 128), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(fltsim::SendNullMessage(client, 128), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(TableTexts(), before);
}

TEST_F(Filter, Message_FailureWhileBuilding_LeavesTheTableAsBeforeAndLeaksNothing)
{
    struct Fault {
        fltsim::Call call;
        unsigned nth;
    };
    // Pool: the scratch text, then each entry; conversion and append per entry.
    const Fault faults[] = {{fltsim::Call::AllocatePool, 1},           {fltsim::Call::AllocatePool, 2},
                            {fltsim::Call::AllocatePool, 4},           {fltsim::Call::IntegerToUnicodeString, 1},
                            {fltsim::Call::IntegerToUnicodeString, 3}, {fltsim::Call::AppendUnicodeString, 1},
                            {fltsim::Call::AppendUnicodeString, 6},    {fltsim::Call::CaptureBuffer, 1}};
    for (const Fault &f : faults) {
        fltsim::Reset();
        int client = Watch({7});
        fltsim::FailCall(f.call, STATUS_INSUFFICIENT_RESOURCES, f.nth);
        EXPECT_FALSE(NT_SUCCESS(SendVolumes(client, {1, 2, 3})))
            << "fault " << int(f.call) << " at call " << f.nth;
        EXPECT_EQ(TableTexts(), std::vector<std::u16string>{Entry(7)});
        EXPECT_EQ(fltsim::PoolOutstanding(ScanTag), 1u);
        EXPECT_EQ(fltsim::UnloadDriver(), STATUS_SUCCESS);
        EXPECT_EQ(fltsim::PoolOutstanding(ScanTag), 0u);
    }
}

// ---------------------------------------------------------------------------------------------
// The refresh on reads

TEST_F(Filter, Refresh_AgeBoundary_FutureAndZero)
{
    Watch({3});
    struct Case {
        const char *what;
        LONGLONG stored;
        bool refreshed;
    };
    const Case cases[] = {
        {"exactly one hour old", now_ - Hour, false},
        {"one unit more than an hour", now_ - Hour - 1, true},
        {"a minute old", now_ - 600000000LL, false},
        {"stored now", now_, false},
        {"one unit in the future", now_ + 1, true},
        {"a year in the future", now_ + 365 * 24 * Hour, true},
        {"zero", 0, true},
        {"most negative", INT64_MIN, true},
    };
    for (const Case &c : cases) {
        PFILE_OBJECT file = fltsim::AddFile(FileOn(3), Stored(c.stored));
        fltsim::Read(file);
        EXPECT_EQ(fltsim::Times(file).lastAccess, c.refreshed ? now_ : c.stored) << c.what;
        EXPECT_EQ(fltsim::SetCount(file), c.refreshed ? 1u : 0u) << c.what;
    }
}

TEST_F(Filter, Refresh_WritesOnlyTheLastAccessTime)
{
    Watch({3});
    const fltsim::FileTimes stored = Stored(now_ - 5 * Hour);
    PFILE_OBJECT file = fltsim::AddFile(FileOn(3), stored);
    fltsim::Read(file);
    // 0 means "no change" for the other times and the attributes: nothing else is marked as set.
    const FILE_BASIC_INFORMATION written = fltsim::LastSetRecord(file);
    EXPECT_EQ(written.CreationTime.QuadPart, 0);
    EXPECT_EQ(written.LastAccessTime.QuadPart, now_);
    EXPECT_EQ(written.LastWriteTime.QuadPart, 0);
    EXPECT_EQ(written.ChangeTime.QuadPart, 0);
    EXPECT_EQ(written.FileAttributes, 0u);
    const fltsim::FileTimes after = fltsim::Times(file);
    EXPECT_EQ(after.creation, stored.creation);
    EXPECT_EQ(after.lastWrite, stored.lastWrite);
    EXPECT_EQ(after.change, stored.change);
    EXPECT_EQ(after.attributes, stored.attributes);
    EXPECT_EQ(fltsim::SetCount(file), 1u);
}

TEST_F(Filter, Refresh_OnlyWhileAClientIsConnected)
{
    Load();
    fltsim::SetSystemTime(now_);
    PFILE_OBJECT file = fltsim::AddFile(FileOn(3), Stored(0));
    fltsim::Read(file); // no client
    int client = ConnectService();
    fltsim::Read(file); // connected, no list yet
    EXPECT_EQ(SendVolumes(client, {3}), STATUS_SUCCESS);
    fltsim::CloseClient(client);
    fltsim::Read(file); // list sent, then disconnected
    EXPECT_EQ(fltsim::SetCount(file), 0u);
    EXPECT_EQ(fltsim::CallCount(fltsim::Call::QueryInformationFile), 0u) << "no query without a client or a list";
}

TEST_F(Filter, Refresh_VolumeMatchIsTheWholeDeviceName)
{
    Watch({1, 4});
    const std::pair<std::u16string, unsigned> cases[] = {
        {FileOn(1), 1}, {FileOn(12), 0}, {FileOn(4), 1}, {FileOn(2), 0},
        {FileOn(5, u"\\copy of Device\\HarddiskVolume4.txt"), 0},
        {u"\\DEVICE\\HARDDISKVOLUME4\\a.txt", 1}}; // names ignore case
    std::vector<PFILE_OBJECT> files;
    for (const auto &c : cases) files.push_back(fltsim::AddFile(c.first, Stored(0)));
    for (PFILE_OBJECT f : files) fltsim::Read(f);
    for (size_t i = 0; i < files.size(); ++i) EXPECT_EQ(fltsim::SetCount(files[i]), cases[i].second) << i;
}

TEST_F(Filter, Refresh_MatchAgreesWithAWholeNameComparison)
{
    // Random tables against random volume names made of the entries' own pieces, so that
    // partial and repeated prefixes, numbers that continue, and names ending mid-entry all occur.
    int client = Watch({});
    std::mt19937 rng(7);
    const std::vector<std::u16string> pieces = {u"HarddiskVolume", u"Harddisk", u"Volume", u"1", u"2",
                                                u"12", u"7", u"0", u"x", u"D", u"Device"};
    unsigned matched = 0, names = 0, serial = 0;
    for (int round = 0; round < 60; ++round) {
        uint32_t words[33] = {};
        words[0] = rng() % 6;
        std::vector<std::u16string> entries;
        for (uint32_t i = 1; i <= words[0]; ++i) {
            words[i] = rng() % 3 == 0 ? rng() % 130 : rng() % 9999999;
            entries.push_back(Entry(int(words[i])));
        }
        ASSERT_EQ(fltsim::SendMessage(client, words, sizeof(VolumeListMessage)), STATUS_SUCCESS);
        for (int n = 0; n < 40; ++n, ++names) {
            std::u16string volume = u"\\Device\\";
            const unsigned parts = rng() % 5;
            for (unsigned p = 0; p < parts; ++p) volume += pieces[rng() % pieces.size()];
            if (!entries.empty() && rng() % 3 == 0) volume = u"\\" + entries[rng() % entries.size()];
            bool expected = false;
            for (const std::u16string &e : entries) expected = expected || volume == u"\\" + e;
            const std::string id = std::to_string(serial++);
            PFILE_OBJECT f = fltsim::AddFile(volume + u"\\f" + std::u16string(id.begin(), id.end()), Stored(0));
            fltsim::Read(f);
            ASSERT_EQ(fltsim::SetCount(f), expected ? 1u : 0u) << std::string(volume.begin(), volume.end());
            matched += expected ? 1 : 0;
        }
    }
    EXPECT_GT(matched, names / 10) << "the names exercise matches too";
}

TEST_F(Filter, Refresh_CountZeroNeverRefreshes)
{
    Watch({});
    PFILE_OBJECT file = fltsim::AddFile(FileOn(3), Stored(0));
    fltsim::Read(file);
    EXPECT_EQ(fltsim::SetCount(file), 0u);
    EXPECT_EQ(fltsim::CallCount(fltsim::Call::QueryInformationFile), 0u);
}

TEST_F(Filter, Refresh_ProgramImage_ThroughThePagingPath)
{
    Watch({3});
    const fltsim::ReadOptions paging = Kind(fltsim::ReadKind::SynchronousPaging);
    // The loader opens the image, the section's first page comes in through a paging read, and
    // the loader closes its handle before the system's worker gets to the queued check: the
    // closing handle's cleanup does it.
    PFILE_OBJECT image = fltsim::AddFile(FileOn(3, u"\\Program Files\\Tool\\tool.exe"), Stored(now_ - 9 * Hour));
    fltsim::Read(image, paging);
    EXPECT_EQ(fltsim::Times(image).lastAccess, now_ - 9 * Hour) << "nothing asked of the file system in the paging path";
    fltsim::Cleanup(image);
    EXPECT_EQ(fltsim::Times(image).lastAccess, now_);
    // Later page faults through the mapping, after the cleanup: nothing more to do.
    for (int i = 0; i < 50; ++i) fltsim::Read(image, paging);
    fltsim::RunWorkItems();
    EXPECT_EQ(fltsim::SetCount(image), 1u);

    // The worker gets there first: it checks through the still-open file object.
    PFILE_OBJECT dll = fltsim::AddFile(FileOn(3, u"\\Windows\\lib.dll"), Stored(now_ - 9 * Hour));
    fltsim::Read(dll, paging);
    EXPECT_EQ(fltsim::RunWorkItems(), 1u);
    EXPECT_EQ(fltsim::Times(dll).lastAccess, now_);
    fltsim::Cleanup(dll);
    EXPECT_EQ(fltsim::SetCount(dll), 1u);
}

TEST_F(Filter, Refresh_MappedFileWhoseHandlesAreAllClosed_WaitsForTheNextOpen)
{
    Watch({3});
    // Mapped while the service was away: the handle is gone, only page faults come.
    ExpectMappedFileCheckedOnNextOpen(FileOn(3), fltsim::ReadKind::SynchronousPaging);
}

// Every kind of read, through a handle opened for synchronous or for overlapped I/O, completed
// in the file system (at PASSIVE_LEVEL or DISPATCH_LEVEL) or by a lower filter's worker (at
// PASSIVE_LEVEL, no top-level IRP); failed reads, reads issued at APC_LEVEL, in a guarded region
// or from inside another file-system call: each reaches the file once, and no rule is broken.
// Only where the post-read comes back in the reader's thread, free to ask - a synchronous IRP
// read, synchronized, or fast I/O - is the file checked at once; elsewhere the work item does.
TEST_F(Filter, Refresh_EveryKindOfRead_ReachesTheFileAndBreaksNoRule)
{
    using fltsim::ReadKind;
    Watch({3});
    auto expect = [&](const fltsim::ReadOptions &o, fltsim::FileKind handle, bool atOnce, const std::string &what) {
        PFILE_OBJECT f = fltsim::AddFile(FileOn(3), Stored(now_ - 2 * Hour), handle);
        fltsim::Read(f, o);
        EXPECT_EQ(fltsim::Times(f).lastAccess, atOnce ? now_ : now_ - 2 * Hour) << what;
        EXPECT_EQ(fltsim::RunWorkItems(), atOnce ? 0u : 1u) << what;
        EXPECT_EQ(fltsim::Times(f).lastAccess, now_) << what;
        fltsim::Cleanup(f);
        EXPECT_EQ(fltsim::SetCount(f), 1u) << what;
        EXPECT_TRUE(fltsim::Violations().empty()) << what << ::testing::PrintToString(fltsim::Violations());
    };
    const std::pair<fltsim::Completion, KIRQL> completions[] = {{fltsim::Completion::FileSystem, PASSIVE_LEVEL},
                                                                {fltsim::Completion::FileSystem, DISPATCH_LEVEL},
                                                                {fltsim::Completion::LowerFilterWorker, PASSIVE_LEVEL}};
    for (ReadKind kind : {ReadKind::Irp, ReadKind::NonCached, ReadKind::FastIo, ReadKind::Paging, ReadKind::SynchronousPaging}) {
        for (fltsim::FileKind handle : {fltsim::FileKind::Handle, fltsim::FileKind::Overlapped}) {
            for (const auto &completion : completions) {
                fltsim::ReadOptions o = Kind(kind);
                o.completion = completion.first;
                o.irql = completion.second;
                const bool synchronous = kind == ReadKind::FastIo || handle == fltsim::FileKind::Handle;
                expect(o, handle, kind <= ReadKind::FastIo && synchronous,
                       "kind " + std::to_string(int(kind)) + ", handle " + std::to_string(int(handle)) + ", completion " +
                           std::to_string(int(completion.first)) + " at IRQL " + std::to_string(completion.second));
            }
        }
    }
    fltsim::ReadOptions failed, apc, guarded, nested;
    failed.status = STATUS_ACCESS_DENIED;
    apc.issuerIrql = APC_LEVEL;
    guarded.guardedRegion = true;
    nested.nested = true;
    expect(failed, fltsim::FileKind::Handle, true, "failed");
    for (const fltsim::ReadOptions &o : {apc, guarded, nested}) expect(o, fltsim::FileKind::Handle, false, "issuer");
    // An asynchronous read whose handle is closed before the worker ran: the cleanup checks it.
    PFILE_OBJECT other = fltsim::AddFile(FileOn(3), Stored(now_ - 2 * Hour), fltsim::FileKind::Overlapped);
    fltsim::Read(other);
    fltsim::Cleanup(other);
    EXPECT_EQ(fltsim::Times(other).lastAccess, now_);
    fltsim::RunWorkItems();
    EXPECT_EQ(fltsim::SetCount(other), 1u);
}

TEST_F(Filter, Refresh_AThousandReadsOfOneStream_CostOneQuery)
{
    Watch({3});
    PFILE_OBJECT file = fltsim::AddFile(FileOn(3), Stored(now_ - 2 * Hour));
    PFILE_OBJECT second = fltsim::OpenAgain(file); // another handle on the same stream
    const fltsim::ReadOptions fastIo = Kind(fltsim::ReadKind::FastIo), paging = Kind(fltsim::ReadKind::Paging);
    fltsim::Read(file);
    for (int i = 0; i < 997; ++i) fltsim::Read(i % 2 == 0 ? file : second, i % 3 == 0 ? paging : fastIo);
    fltsim::Read(second);
    fltsim::RunWorkItems();
    EXPECT_EQ(fltsim::CallCount(fltsim::Call::QueryInformationFile), 1u);
    EXPECT_EQ(fltsim::SetCount(file), 1u);
    // An hour later the verdict is due again.
    fltsim::SetSystemTime(now_ + Hour + 600000000LL);
    fltsim::Read(file, fastIo);
    EXPECT_EQ(fltsim::CallCount(fltsim::Call::QueryInformationFile), 2u);
    EXPECT_EQ(fltsim::Times(file).lastAccess, now_ + Hour + 600000000LL);
    EXPECT_EQ(fltsim::CallCount(fltsim::Call::GetVolumeName), 1u) << "the volume's name is asked once, by its instance";
}

TEST_F(Filter, Refresh_AFreshStream_IsCheckedAgainWhenItsStoredTimeFallsDue)
{
    Watch({3});
    PFILE_OBJECT file = fltsim::AddFile(FileOn(3), Stored(now_ - Hour / 2));
    fltsim::Read(file);
    EXPECT_EQ(fltsim::SetCount(file), 0u);
    // Half an hour and a minute later the stored time is more than an hour old.
    const LONGLONG later = now_ + Hour / 2 + 600000000LL;
    fltsim::SetSystemTime(later);
    fltsim::Read(file, Kind(fltsim::ReadKind::FastIo));
    EXPECT_EQ(fltsim::Times(file).lastAccess, later);
}

TEST_F(Filter, Refresh_ANewVolumeList_VoidsTheVerdicts)
{
    int client = Watch({3});
    PFILE_OBJECT file = fltsim::AddFile(FileOn(5), Stored(0));
    fltsim::Read(file);
    EXPECT_EQ(fltsim::SetCount(file), 0u);
    EXPECT_EQ(SendVolumes(client, {3, 5}), STATUS_SUCCESS);
    fltsim::Read(file);
    EXPECT_EQ(fltsim::Times(file).lastAccess, now_);
    // After the service's cycle (disconnect, reconnect) the file is looked at again.
    fltsim::CloseClient(client);
    client = ConnectService();
    EXPECT_EQ(SendVolumes(client, {5}), STATUS_SUCCESS);
    const unsigned queries = fltsim::CallCount(fltsim::Call::QueryInformationFile);
    fltsim::Read(file);
    EXPECT_EQ(fltsim::CallCount(fltsim::Call::QueryInformationFile), queries + 1);
}

TEST_F(Filter, Refresh_DrainingInstance_IssuesNothing)
{
    Watch({3});
    fltsim::ReadOptions draining;
    draining.draining = true;
    PFILE_OBJECT file = fltsim::AddFile(FileOn(3), Stored(0));
    EXPECT_EQ(fltsim::Read(file, draining), int(FLT_POSTOP_FINISHED_PROCESSING));
    fltsim::RunWorkItems();
    EXPECT_EQ(fltsim::SetCount(file), 0u);
    fltsim::Read(file); // the next read is checked as usual
    EXPECT_EQ(fltsim::SetCount(file), 1u);
}

TEST_F(Filter, Refresh_FailingQueries_EndTheCheckQuietlyAndWaitAnHour)
{
    Watch({3});
    struct Fault {
        fltsim::Call call;
        NTSTATUS status;
    };
    for (const Fault &f : {Fault{fltsim::Call::QueryInformationFile, STATUS_ACCESS_DENIED},
                           Fault{fltsim::Call::SetInformationFile, STATUS_ACCESS_DENIED},
                           Fault{fltsim::Call::AllocateContext, STATUS_INSUFFICIENT_RESOURCES},
                           Fault{fltsim::Call::QueueWorkItem, STATUS_INSUFFICIENT_RESOURCES}}) {
        fltsim::SetSystemTime(now_);
        PFILE_OBJECT file = fltsim::AddFile(FileOn(3), Stored(0));
        const fltsim::ReadOptions kind =
            Kind(f.call == fltsim::Call::QueueWorkItem ? fltsim::ReadKind::Paging : fltsim::ReadKind::Irp);
        fltsim::FailCall(f.call, f.status, 1);
        fltsim::Read(file, kind);
        fltsim::RunWorkItems();
        EXPECT_EQ(fltsim::Times(file).lastAccess, 0) << int(f.call);
        // A failed check is not repeated on every read; a failed allocation or queueing is.
        fltsim::Read(file, kind);
        fltsim::RunWorkItems();
        const bool retried = f.call == fltsim::Call::AllocateContext || f.call == fltsim::Call::QueueWorkItem;
        EXPECT_EQ(fltsim::Times(file).lastAccess, retried ? now_ : 0) << int(f.call);
        fltsim::SetSystemTime(now_ + Hour + 600000000LL);
        fltsim::Read(file);
        EXPECT_EQ(fltsim::Times(file).lastAccess, now_ + Hour + 600000000LL) << int(f.call);
        fltsim::Cleanup(file);
    }
}

// ---------------------------------------------------------------------------------------------
// What the refresh never works through, and volumes it has nothing to do on

TEST_F(Filter, Refresh_UnwatchedVolumes_AskNothing)
{
    Watch({2});
    // Another volume whose number begins with 2, and a path that merely mentions volume 2.
    PFILE_OBJECT on23 = fltsim::AddFile(FileOn(23), Stored(0));
    PFILE_OBJECT mentions2 = fltsim::AddFile(FileOn(3, u"\\Device\\HarddiskVolume2\\notes.txt"), Stored(0));
    fltsim::AddVolume(u"\\Device\\Mup", fltsim::FileSystem::Fat);
    PFILE_OBJECT share = fltsim::AddFile(u"\\Device\\Mup\\server\\share\\HarddiskVolume2.doc", Stored(0));
    fltsim::ReadOptions dpc;
    dpc.irql = DISPATCH_LEVEL;
    for (PFILE_OBJECT f : {on23, mentions2, share}) {
        for (fltsim::ReadKind k : {fltsim::ReadKind::Irp, fltsim::ReadKind::FastIo, fltsim::ReadKind::Paging}) {
            fltsim::Read(f, Kind(k));
        }
        fltsim::Read(fltsim::OpenAgain(f, fltsim::FileKind::Overlapped), dpc);
        EXPECT_EQ(fltsim::Times(f).lastAccess, 0);
        EXPECT_FALSE(fltsim::HasStreamContext(f));
    }
    EXPECT_EQ(fltsim::RunWorkItems(), 0u);
    for (fltsim::Call c : {fltsim::Call::QueryInformationFile, fltsim::Call::QueueWorkItem}) {
        EXPECT_EQ(fltsim::CallCount(c), 0u) << int(c);
    }
}

TEST_F(Filter, Refresh_EveryInstanceFollowsTheList)
{
    Load();
    fltsim::SetSystemTime(now_);
    PFILE_OBJECT early = fltsim::AddFile(FileOn(3), Stored(0)); // attached before any list
    int client = ConnectService();
    ASSERT_EQ(SendVolumes(client, {3, 7}), STATUS_SUCCESS);
    fltsim::Read(early);
    EXPECT_EQ(fltsim::Times(early).lastAccess, now_) << "a list sent later reaches a volume already attached";
    // Mounted after the list: judged at setup.
    PFILE_OBJECT listed = fltsim::AddFile(FileOn(7), Stored(0));
    PFILE_OBJECT other = fltsim::AddFile(FileOn(9), Stored(0));
    for (PFILE_OBJECT f : {listed, other}) fltsim::Read(f);
    EXPECT_EQ(fltsim::Times(listed).lastAccess, now_);
    EXPECT_EQ(fltsim::Times(other).lastAccess, 0);
    ASSERT_EQ(SendVolumes(client, {9}), STATUS_SUCCESS); // drops volumes 3 and 7
    PFILE_OBJECT dropped = fltsim::AddFile(FileOn(3, u"\\dropped.txt"), Stored(0));
    const unsigned queries = fltsim::CallCount(fltsim::Call::QueryInformationFile);
    for (PFILE_OBJECT f : {dropped, other}) fltsim::Read(f);
    EXPECT_EQ(fltsim::Times(dropped).lastAccess, 0);
    EXPECT_EQ(fltsim::Times(other).lastAccess, now_);
    EXPECT_EQ(fltsim::CallCount(fltsim::Call::QueryInformationFile), queries + 1) << "only the watched volume's file";
    for (PFILE_OBJECT f : {early, listed, other, dropped}) fltsim::Cleanup(f);
}

TEST_F(Filter, Refresh_NeverThroughStreamFilesThePagingFileOrClosedHandles)
{
    Load();
    fltsim::AddVolume(u"\\Device\\HarddiskVolume4", fltsim::FileSystem::Fat); // lets closed file objects through
    int client = ConnectService();
    ASSERT_EQ(SendVolumes(client, {3, 4}), STATUS_SUCCESS);
    fltsim::SetSystemTime(now_);
    const fltsim::ReadOptions paging = Kind(fltsim::ReadKind::SynchronousPaging);
    PFILE_OBJECT mft = fltsim::AddFile(FileOn(3, u"\\$Mft"), Stored(0), fltsim::FileKind::StreamFile);
    PFILE_OBJECT index = fltsim::AddFile(FileOn(4, u"\\Users"), Stored(0), fltsim::FileKind::StreamFile);
    PFILE_OBJECT pagefile = fltsim::AddFile(FileOn(3, u"\\pagefile.sys"), Stored(0), fltsim::FileKind::PagingFile);
    for (PFILE_OBJECT f : {mft, index, pagefile}) {
        fltsim::Read(f, paging);
        fltsim::Read(f); // a cached read of a directory's index, an IRP on the paging file
    }
    fltsim::RunWorkItems();
    for (PFILE_OBJECT f : {mft, index, pagefile}) {
        EXPECT_EQ(fltsim::SetCount(f), 0u);
        EXPECT_FALSE(fltsim::HasStreamContext(f));
    }
    EXPECT_EQ(fltsim::CallCount(fltsim::Call::QueryInformationFile), 0u);
    EXPECT_EQ(fltsim::CallCount(fltsim::Call::GetStreamContext), 0u) << "not even a context looked up for them";

    // On FAT a closed file object still answers: the driver must not ask through it anyway.
    ExpectMappedFileCheckedOnNextOpen(FileOn(4, u"\\a.dll"), fltsim::ReadKind::SynchronousPaging);
    // The file system's own stream file object on a user's stream that is owed a check: its
    // cleanup asks nothing through it; the user's handle's cleanup does the check.
    PFILE_OBJECT user = fltsim::AddFile(FileOn(3, u"\\b.txt"), Stored(0));
    fltsim::Read(user, paging);
    const unsigned queries = fltsim::CallCount(fltsim::Call::QueryInformationFile);
    fltsim::Cleanup(fltsim::OpenAgain(user, fltsim::FileKind::StreamFile));
    EXPECT_EQ(fltsim::CallCount(fltsim::Call::QueryInformationFile), queries);
    fltsim::Cleanup(user);
    EXPECT_EQ(fltsim::Times(user).lastAccess, now_);
    fltsim::RunWorkItems();
}

TEST_F(Filter, Start_OnWindows7_TakesPoolThatWindows7Knows)
{
    for (ULONG minor : {1u, 2u}) {
        fltsim::Reset();
        fltsim::SetVersion(6, minor);
        Watch({3});
        PFILE_OBJECT file = fltsim::AddFile(FileOn(3), Stored(0));
        fltsim::Read(file);
        EXPECT_EQ(fltsim::Times(file).lastAccess, now_) << minor;
        EXPECT_EQ(fltsim::UnloadDriver(), STATUS_SUCCESS);
        EXPECT_TRUE(fltsim::Violations().empty()) << minor << ::testing::PrintToString(fltsim::Violations());
    }
}

// ---------------------------------------------------------------------------------------------
// Unload

TEST_F(Filter, Unload_WithClientConnected_FreesEveryEntry)
{
    Watch({2, 3, 4, 5, 6});
    EXPECT_EQ(fltsim::PoolOutstanding(ScanTag), 5u);
    EXPECT_EQ(fltsim::UnloadDriver(), STATUS_SUCCESS);
    EXPECT_FALSE(fltsim::IsRegistered());
    EXPECT_FALSE(fltsim::ServerPort().open);
    EXPECT_EQ(fltsim::PoolOutstanding(ScanTag), 0u);
    EXPECT_EQ(fltsim::OpenClientPorts(), 0u);
    EXPECT_EQ(fltsim::DebugLines().back(), "[Filter] Port Disconnect");
}

TEST_F(Filter, Unload_WithDeferredWorkPending_WaitsAndLeavesNothing)
{
    Watch({3});
    std::vector<PFILE_OBJECT> files;
    for (int i = 0; i < 5; ++i) {
        files.push_back(fltsim::AddFile(FileOn(3), Stored(0)));
        fltsim::Read(files.back(), Kind(fltsim::ReadKind::Paging));
    }
    EXPECT_EQ(fltsim::QueuedWorkItems(), 5u);
    EXPECT_GT(fltsim::PoolOutstanding(ScanTag), 1u) << "stream contexts are the driver's pool";
    EXPECT_EQ(fltsim::UnloadDriver(), STATUS_SUCCESS);
    // The queued checks ran during the unload and did nothing; nothing is left to run later.
    EXPECT_EQ(fltsim::QueuedWorkItems(), 0u);
    EXPECT_EQ(fltsim::WorkItemsAllocated(), 0u);
    EXPECT_EQ(fltsim::FileObjectReferences(), 0);
    EXPECT_EQ(fltsim::PoolOutstanding(ScanTag), 0u);
    for (PFILE_OBJECT f : files) {
        EXPECT_EQ(fltsim::SetCount(f), 0u);
        EXPECT_FALSE(fltsim::HasStreamContext(f));
    }
    EXPECT_EQ(fltsim::RunWorkItems(), 0u);
}

// A volume dismounted while the filter stays loaded, with checks queued on it and stream
// contexts held: its instance tears down, the queued checks run (and fail on the dismounted
// volume), and nothing of it is left: no work, no reference, no context, not on the driver's
// list of instances. The filter goes on on the other volume.
TEST_F(Filter, Dismount_TearsTheInstanceDownWithWorkQueuedAndContextsHeld)
{
    int client = Watch({3, 4});
    std::vector<PFILE_OBJECT> on3;
    for (int i = 0; i < 3; ++i) {
        on3.push_back(fltsim::AddFile(FileOn(3), Stored(0)));
        fltsim::Read(on3.back(), Kind(fltsim::ReadKind::Paging));
    }
    PFILE_OBJECT on4 = fltsim::AddFile(FileOn(4), Stored(0));
    EXPECT_EQ(fltsim::QueuedWorkItems(), 3u);
    fltsim::DismountVolume(u"\\" + Entry(3));
    EXPECT_EQ(fltsim::QueuedWorkItems(), 0u);
    EXPECT_EQ(fltsim::WorkItemsAllocated(), 0u);
    EXPECT_EQ(fltsim::FileObjectReferences(), 0);
    for (PFILE_OBJECT f : on3) {
        EXPECT_EQ(fltsim::SetCount(f), 0u);
        EXPECT_FALSE(fltsim::HasStreamContext(f));
    }
    EXPECT_EQ(fltsim::Read(on3[0]), -1) << "no instance on the volume any more";
    ASSERT_EQ(SendVolumes(client, {3, 4}), STATUS_SUCCESS); // walks the instances that are left
    fltsim::Read(on4);
    EXPECT_EQ(fltsim::Times(on4).lastAccess, now_);
    // Two entries, volume 4's instance context and its file's stream context.
    EXPECT_EQ(fltsim::PoolOutstanding(ScanTag), 4u);
    fltsim::Cleanup(on4);
}

TEST_F(Filter, Unload_IdleAndAfterDisconnect_ReturnsSuccess)
{
    Load();
    EXPECT_EQ(fltsim::UnloadDriver(), STATUS_SUCCESS);
    int client = Watch({3});
    fltsim::CloseClient(client);
    EXPECT_EQ(fltsim::UnloadDriver(), STATUS_SUCCESS);
    EXPECT_EQ(fltsim::DebugLines().size(), 2u) << "one connect, one disconnect";
}

} // namespace
