// bench_filter: nanoseconds per post-read decision on the simulated Filter Manager.
//   no client:                  the callback's first test
//   24 watched volumes, match:  a 120-character name on the last entry's volume (stored time
//                               recent, so the information query runs and nothing is written)
//   24 watched volumes, none:   a 120-character name on no watched volume
// The simulated name and information queries are included; on Windows they cost more.
#include <chrono>
#include <cstdio>

#include "support.h"

using namespace filtertest;

namespace {

double NsPerRead(PFILE_OBJECT file, unsigned reads)
{
    for (unsigned i = 0; i < reads / 10; ++i) fltsim::Read(file); // warm up
    const auto start = std::chrono::steady_clock::now();
    for (unsigned i = 0; i < reads; ++i) fltsim::Read(file);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    return std::chrono::duration<double, std::nano>(elapsed).count() / reads;
}

std::u16string NameOf120(int volume)
{
    std::u16string name = FileOn(volume, u"\\");
    while (name.size() < 116) name += u'a';
    name += u".txt";
    return name;
}

} // namespace

int main(int argc, char **argv)
{
    const unsigned reads = argc > 1 ? unsigned(std::atoi(argv[1])) : 2000000;
    fltsim::Reset();
    fltsim::LoadDriver();
    const LONGLONG now = 133000000000000000LL;
    fltsim::SetSystemTime(now);
    fltsim::FileTimes recent;
    recent.lastAccess = now - 60;
    PFILE_OBJECT onLast = fltsim::AddFile(NameOf120(26), recent);
    PFILE_OBJECT onNone = fltsim::AddFile(NameOf120(99), recent);

    const double idle = NsPerRead(onLast, reads);
    const int client = ConnectService();
    SendVolumes(client, {3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26});
    const double match = NsPerRead(onLast, reads);
    const double none = NsPerRead(onNone, reads);
    const unsigned sets = fltsim::SetCount(onLast) + fltsim::SetCount(onNone);
    fltsim::CloseClient(client);
    fltsim::UnloadDriver();

    std::printf("post-read decision, %u reads each, name of %zu characters\n", reads, NameOf120(26).size());
    std::printf("  no client:                         %8.1f ns/read\n", idle);
    std::printf("  24 volumes, name on the last one:  %8.1f ns/read\n", match);
    std::printf("  24 volumes, name on none:          %8.1f ns/read\n", none);
    std::printf("  (writes: %u)\n", sets);
    return 0;
}
