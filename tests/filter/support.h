// Shared by the filter tests: the service's side of the port, and a look at the driver's table.
#pragma once

#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "OmbrixPort.h"
#include "filter.h"
#include "sim/fltsim.h"

namespace filtertest {

inline const ULONG ScanTag = FILTER_POOL_TAG;
inline const LONGLONG Hour = 36000000000LL;

// A 128-byte VolumeListMessage as the service builds it.
inline VolumeListMessage VolumeList(std::initializer_list<int32_t> volumes)
{
    VolumeListMessage message;
    std::memset(&message, 0, sizeof(message));
    message.Count = uint32_t(volumes.size());
    size_t i = 0;
    for (int32_t v : volumes) message.VolumeNumbers[i++] = v;
    return message;
}

inline NTSTATUS SendVolumes(int client, std::initializer_list<int32_t> volumes)
{
    VolumeListMessage message = VolumeList(volumes);
    return fltsim::SendMessage(client, &message, sizeof(message));
}

inline int ConnectService()
{
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    int client = fltsim::Connect(OMBRIX_PORT_NAME, &status);
    return NT_SUCCESS(status) ? client : -1;
}

// The table's texts, as far as its count goes.
inline std::vector<std::u16string> TableTexts()
{
    std::vector<std::u16string> texts;
    for (ULONG i = 0; i < FilterState.VolumeTable.Count; ++i) {
        const UNICODE_STRING &e = FilterState.VolumeTable.Entries[i];
        texts.emplace_back(reinterpret_cast<const char16_t *>(e.Buffer), e.Length / 2);
    }
    return texts;
}

inline std::u16string Entry(int volume)
{
    std::string digits = std::to_string(volume);
    return u"Device\\HarddiskVolume" + std::u16string(digits.begin(), digits.end());
}

// A read of the given kind, issued and completed the usual way.
inline fltsim::ReadOptions Kind(fltsim::ReadKind kind)
{
    fltsim::ReadOptions options;
    options.kind = kind;
    return options;
}

inline std::u16string FileOn(int volume, const char16_t *path = u"\\Users\\ada\\notes.txt")
{
    return u"\\" + Entry(volume) + path;
}

} // namespace filtertest
