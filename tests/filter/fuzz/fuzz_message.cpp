// libFuzzer target: arbitrary bytes as the port message. After each message the table holds
// exactly the listed volumes when the message is well-formed, and what it held before when it
// is not; the "Scan" pool holds one buffer per entry and nothing else.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support.h"

using namespace filtertest;

namespace {

int client = -1;

void Check(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "violated: %s\n", what);
        std::abort();
    }
}

// The well-formed rule, stated independently of the driver.
bool WellFormed(const uint8_t *data, size_t size, std::vector<std::u16string> *texts)
{
    if (size < 4) return false;
    uint32_t count;
    std::memcpy(&count, data, 4);
    if (count > 32 || size < 4 + 4 * size_t(count)) return false;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t number;
        std::memcpy(&number, data + 4 + 4 * i, 4);
        if (number > 9999999) return false;
        texts->push_back(Entry(int(number)));
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (client < 0) {
        fltsim::Reset();
        Check(fltsim::LoadDriver() == STATUS_SUCCESS, "driver starts");
        client = ConnectService();
        Check(client >= 0, "service connects");
    }
    // A one-byte input 0xD5 reconnects, so disconnects with a filled table get exercised too.
    if (size == 1 && data[0] == 0xD5) {
        fltsim::CloseClient(client);
        Check(FilterState.VolumeTable.Count == 0 && fltsim::PoolOutstanding(ScanTag) == 0, "disconnect frees");
        client = ConnectService();
        Check(client >= 0, "service reconnects");
        return 0;
    }
    const std::vector<std::u16string> before = TableTexts();
    std::vector<std::u16string> expected;
    const bool wellFormed = WellFormed(data, size, &expected);
    const NTSTATUS status = fltsim::SendMessage(client, data, ULONG(size));
    Check(NT_SUCCESS(status) == wellFormed, "accepted exactly the well-formed messages");
    Check(TableTexts() == (wellFormed ? expected : before), "table is the message's or the previous one");
    Check(fltsim::PoolOutstanding(ScanTag) == FilterState.VolumeTable.Count, "one pool buffer per entry");
    Check(fltsim::Violations().empty(), "no platform rule broken");
    return 0;
}
