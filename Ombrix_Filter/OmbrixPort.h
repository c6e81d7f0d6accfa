// The port protocol between Ombrix_Service and Ombrix_Filter: the port's name and the one
// message, VolumeListMessage. Portable: included by the driver and by user-mode code.
#pragma once

#include <stdint.h>

#define OMBRIX_PORT_NAME u"\\OmbrixPort"

// Entry 0 holds the count N, entries 1..N the volume numbers (the decimal number that ends
// "\Device\HarddiskVolume<n>"). The service always sends the whole 128 bytes; the driver reads
// only the first 4 + 4 * N.
enum { VolumeListMessageSize = 128, VolumeListMessageEntries = VolumeListMessageSize / 4 };

typedef struct VolumeListMessage {
    uint32_t Count;
    int32_t VolumeNumbers[VolumeListMessageEntries - 1];
} VolumeListMessage;

#ifdef __cplusplus
static_assert(sizeof(VolumeListMessage) == VolumeListMessageSize, "VolumeListMessage is 128 bytes");
#endif
