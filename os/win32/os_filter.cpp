// The Windows side of the seam: the filter manager's user-mode library (fltlib.dll). Kept in a
// file of its own so that programs which never talk to the filter do not import the library.
#include <windows.h>
#include <fltuser.h>

#include "os/os.h"
#include "os/win32/convert.h"

namespace os {

using namespace win32;

std::int32_t FilterConnectCommunicationPort(const char16_t* portName, std::uint32_t options, const void* context,
                                            std::uint16_t contextSize, Handle* port) {
  HANDLE connection = H(*port);
  HRESULT result = ::FilterConnectCommunicationPort(W(portName), options, context, contextSize, nullptr, &connection);
  *port = FromH(connection);
  return result;
}

std::int32_t FilterSendMessage(Handle port, const void* inBuffer, std::uint32_t inSize, void* outBuffer,
                               std::uint32_t outSize, std::uint32_t* bytesReturned) {
  DWORD done = 0;
  HRESULT result = ::FilterSendMessage(H(port), const_cast<void*>(inBuffer), inSize, outBuffer, outSize, &done);
  if (bytesReturned != nullptr) *bytesReturned = done;
  return result;
}

}  // namespace os
