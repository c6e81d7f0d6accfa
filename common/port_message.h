/* The one message of the filter port, shared by the service (sender) and the driver (receiver).
 * 128 bytes of little-endian 32-bit integers: the count N, then N volume numbers, the numbers
 * that end the volumes' NT device names ("\Device\HarddiskVolume3" gives 3). Nothing after entry N
 * is read. There is no reply. Plain C, so the driver can include it too. */
#ifndef OMBRIX_PORT_MESSAGE_H
#define OMBRIX_PORT_MESSAGE_H

#include <stdint.h>

#define OMBRIX_PORT_NAME L"\\OmbrixPort"
#define OMBRIX_PORT_NAME_U16 u"\\OmbrixPort"
#define VOLUME_LIST_MESSAGE_SIZE 128
#define VOLUME_LIST_MAX_NUMBERS 31 /* room in the message after the count */

typedef struct VolumeListMessage {
  uint32_t Count;
  int32_t Volume[VOLUME_LIST_MAX_NUMBERS];
} VolumeListMessage;

#ifdef __cplusplus
static_assert(sizeof(VolumeListMessage) == VOLUME_LIST_MESSAGE_SIZE, "port message is 128 bytes");
#else
_Static_assert(sizeof(VolumeListMessage) == VOLUME_LIST_MESSAGE_SIZE, "port message is 128 bytes");
#endif

#endif
