#include <cstring>

#include "Ombrix_Service/service.h"
#include "common/debug_log.h"
#include "common/drive.h"
#include "common/wide_string.h"

namespace {

constexpr char16_t DevicePrefix[] = u"\\Device\\HarddiskVolume";
constexpr std::uint32_t DeviceNameCapacity = 1024;

bool IsPrefixCharacter(char16_t c) {
  for (const char16_t* p = DevicePrefix; *p != 0; ++p) {
    if (*p == c) return true;
  }
  return false;
}

// The volume number of an NT device name: the first run of characters that are not part of the
// prefix "\Device\HarddiskVolume", read as a decimal number (its leading digits; none gives 0).
std::int32_t VolumeNumberOf(const char16_t* device) {
  const char16_t* token = device;
  while (*token != 0 && IsPrefixCharacter(*token)) ++token;
  std::uint32_t number = 0;
  for (; *token >= u'0' && *token <= u'9'; ++token) number = number * 10 + std::uint32_t(*token - u'0');
  return std::int32_t(number);
}

}  // namespace

void BuildVolumeList(VolumeListMessage& message) {
  std::uint32_t count = 0;
  for (int i = 0; i < StatsDriveLetters; ++i) {
    char16_t name[4];
    FormatWide(name, 4, u"%c:", int(u'C' + i));
    if (!IsFixedDrive(name) || !IsNtfs(name) || HasCompressedAttribute(name)) continue;
    char16_t device[DeviceNameCapacity];
    if (os::QueryDosDeviceW(name, device, DeviceNameCapacity) == 0) continue;
    device[DeviceNameCapacity - 1] = 0;
    message.VolumeNumbers[count++] = VolumeNumberOf(device);
  }
  message.Count = count;
}

bool ConnectFilter() {
  os::Handle port = os::NullHandle;
  std::int32_t result = os::FilterConnectCommunicationPort(OMBRIX_PORT_NAME, 0, nullptr, 0, &port);
  if (result != 0) {
    // Some implementations leave a value in the handle on failure; it is not a connection.
    Service.FilterPort = os::NullHandle;
    DebugLog(u"Not find VarnFilter Service");
    return false;
  }
  Service.FilterPort = port;
  VolumeListMessage message;
  std::memset(&message, 0, sizeof(message));
  BuildVolumeList(message);
  std::uint32_t returned = 0;
  os::FilterSendMessage(Service.FilterPort, &message, sizeof(message), nullptr, 0, &returned);
  return true;
}
