// Stress: many threads read - IRPs synchronous and not, completed in the file system or in a
// lower filter's worker, fast I/O, paging reads, at every IRQL -
// and close and reopen their handles while the service connects, sends volume lists (well-formed
// and not), and disconnects, volumes are mounted (their instances set up against the list of the
// moment), and the system's worker thread runs the queued checks; then the filter unloads under
// the readers. Built twice: with AddressSanitizer (use after free, leaks) and with ThreadSanitizer
// (races). Exits non-zero on any finding the program itself can see.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

#include "support.h"

using namespace filtertest;

int main(int argc, char **argv)
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
    const unsigned readers = argc > 2 ? unsigned(std::atoi(argv[2])) : 4;

    fltsim::Reset();
    if (fltsim::LoadDriver() != STATUS_SUCCESS) {
        std::puts("FAIL: driver did not start");
        return 1;
    }
    std::vector<PFILE_OBJECT> files;
    for (int volume = 1; volume <= 40; ++volume) {
        fltsim::FileTimes t;
        t.creation = 1;
        t.lastWrite = 2;
        t.change = 3;
        t.attributes = 0x20;
        files.push_back(fltsim::AddFile(FileOn(volume), t));
    }

    std::atomic<bool> stop{false};
    std::atomic<unsigned long> reads{0};
    std::vector<std::thread> threads;
    for (unsigned r = 0; r < readers; ++r) {
        threads.emplace_back([&, r] {
            std::mt19937 rng(r + 1);
            std::vector<PFILE_OBJECT> handles, overlapped; // this reader's own handles on the shared streams
            for (PFILE_OBJECT f : files) handles.push_back(fltsim::OpenAgain(f));
            for (PFILE_OBJECT f : files) overlapped.push_back(fltsim::OpenAgain(f, fltsim::FileKind::Overlapped));
            unsigned long n = 0;
            while (!stop.load(std::memory_order_relaxed)) {
                fltsim::ReadOptions options;
                const unsigned kind = rng() % 8;
                options.irql = kind == 0 ? DISPATCH_LEVEL : PASSIVE_LEVEL;
                options.issuerIrql = kind == 3 ? APC_LEVEL : PASSIVE_LEVEL;
                options.completion = kind == 4 ? fltsim::Completion::LowerFilterWorker : fltsim::Completion::FileSystem;
                options.kind = kind == 2   ? fltsim::ReadKind::Paging
                               : kind == 5 ? fltsim::ReadKind::SynchronousPaging
                               : kind >= 6 ? fltsim::ReadKind::FastIo
                                           : fltsim::ReadKind::Irp;
                const size_t i = rng() % files.size();
                fltsim::Read(kind <= 1 || kind == 4 ? overlapped[i] : handles[i], options);
                if (rng() % 16 == 0) { // closed, and the file opened again
                    fltsim::Cleanup(handles[i]);
                    handles[i] = fltsim::OpenAgain(files[i]);
                }
                ++n;
            }
            for (PFILE_OBJECT h : handles) fltsim::Cleanup(h);
            for (PFILE_OBJECT h : overlapped) fltsim::Cleanup(h);
            reads += n;
        });
    }
    // The system's worker thread.
    std::atomic<unsigned long> workItems{0};
    std::thread worker([&] {
        while (!stop.load(std::memory_order_relaxed)) {
            workItems += fltsim::RunWorkItems();
            std::this_thread::yield();
        }
    });

    // Volumes mounted meanwhile, a file read on each.
    std::atomic<bool> stopMounting{false};
    std::atomic<unsigned> mounted{0};
    std::thread mounter([&] {
        for (int volume = 41; !stopMounting.load(std::memory_order_relaxed) && volume < 2000; ++volume) {
            fltsim::AddVolume(FileOn(volume, u""), volume % 2 == 0 ? fltsim::FileSystem::Ntfs : fltsim::FileSystem::Fat);
            PFILE_OBJECT f = fltsim::AddFile(FileOn(volume), fltsim::FileTimes());
            fltsim::Read(f);
            fltsim::Cleanup(f);
            ++mounted;
            std::this_thread::yield();
        }
    });

    std::mt19937 rng(12345);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    unsigned long cycles = 0;
    LONGLONG clock = 133000000000000000LL;
    while (std::chrono::steady_clock::now() < deadline) {
        const int client = ConnectService();
        if (client < 0) {
            std::puts("FAIL: the service could not connect");
            stop = true;
            break;
        }
        for (int message = 0; message < 3; ++message) {
            uint32_t words[33] = {};
            const uint32_t count = rng() % 25;
            words[0] = count;
            for (uint32_t i = 1; i <= count; ++i) words[i] = 1 + rng() % (40 + mounted.load());
            ULONG length = sizeof(VolumeListMessage);
            if (rng() % 4 == 0) length = 4 + 4 * (rng() % 33); // often too short for its count
            if (rng() % 8 == 0) words[1 + rng() % 32] = 100000000; // too many digits
            fltsim::SendMessage(client, words, length);
            clock += 2 * Hour;
            fltsim::SetSystemTime(clock);
            std::this_thread::yield();
        }
        fltsim::CloseClient(client);
        ++cycles;
    }
    stopMounting = true;
    mounter.join();
    // Unload while reads keep completing, with a client connected and a list in place.
    const int last = ConnectService();
    SendVolumes(last, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const NTSTATUS unload = fltsim::UnloadDriver();
    stop = true;
    for (std::thread &t : threads) t.join();
    worker.join();

    int failures = 0;
    if (unload != STATUS_SUCCESS) {
        std::puts("FAIL: unload did not succeed");
        ++failures;
    }
    if (fltsim::PoolOutstanding(ScanTag) != 0) {
        std::printf("FAIL: %zu \"Scan\" allocations left after unload\n", fltsim::PoolOutstanding(ScanTag));
        ++failures;
    }
    if (fltsim::OpenClientPorts() != 0) {
        std::puts("FAIL: client ports left open");
        ++failures;
    }
    if (fltsim::FileObjectReferences() != 0 || fltsim::WorkItemsAllocated() != 0 || fltsim::QueuedWorkItems() != 0) {
        std::puts("FAIL: file object references or work items left after unload");
        ++failures;
    }
    for (const std::string &v : fltsim::Violations()) {
        std::printf("FAIL: %s\n", v.c_str());
        ++failures;
    }
    unsigned refreshed = 0;
    for (PFILE_OBJECT f : files) refreshed += fltsim::SetCount(f);
    std::printf("stress: %lu reads on %u threads, %lu work items, %lu connect/message/disconnect cycles, %u volumes "
                "mounted, %u refreshes\n",
                reads.load(), readers, workItems.load(), cycles, mounted.load(), refreshed);
    if (refreshed == 0 || cycles == 0) {
        std::puts("FAIL: the run exercised nothing");
        ++failures;
    }
    fltsim::Reset();
    return failures == 0 ? 0 : 1;
}
