// Filter communication ports as the filter manager's user-mode library sees them: the
// kernel side is the test, which creates the port and reads what clients did with it.
#include "os/sim/machine.h"

#include <algorithm>
#include <cstring>

namespace sim {

using namespace detail;

namespace {

std::shared_ptr<Port> FindPort(std::u16string_view name) {
  auto it = M().ports.find(Folded(name));
  return it == M().ports.end() ? nullptr : it->second;
}

}  // namespace

void CreateFilterPort(std::u16string_view name, std::uint32_t maxConnections) {
  std::lock_guard<std::mutex> lock(Mutex());
  auto port = std::make_shared<Port>();
  port->name = std::u16string(name);
  port->maxConnections = maxConnections;
  M().ports[Folded(name)] = port;
}

void RemoveFilterPort(std::u16string_view name) {
  std::lock_guard<std::mutex> lock(Mutex());
  auto it = M().ports.find(Folded(name));
  if (it == M().ports.end()) return;
  it->second->open = false;   // connection handles keep the record alive
  M().ports.erase(it);
}

void SetPortReply(std::u16string_view name, std::vector<std::uint8_t> reply) {
  std::lock_guard<std::mutex> lock(Mutex());
  if (std::shared_ptr<Port> port = FindPort(name)) port->reply = std::move(reply);
}

std::vector<PortEvent> PortEvents(std::u16string_view name) {
  std::lock_guard<std::mutex> lock(Mutex());
  std::shared_ptr<Port> port = FindPort(name);
  return port ? port->events : std::vector<PortEvent>();
}

std::vector<std::vector<std::uint8_t>> PortMessages(std::u16string_view name) {
  std::vector<std::vector<std::uint8_t>> messages;
  for (PortEvent& event : PortEvents(name)) {
    if (event.kind == PortEvent::Kind::Message) messages.push_back(std::move(event.bytes));
  }
  return messages;
}

std::size_t PortConnectionCount(std::u16string_view name) {
  std::lock_guard<std::mutex> lock(Mutex());
  std::shared_ptr<Port> port = FindPort(name);
  return port ? port->connections : 0;
}

}  // namespace sim

// =============================================================================================
// os:: functions. Results are HRESULTs.

namespace os {

using namespace sim::detail;

std::int32_t FilterConnectCommunicationPort(const char16_t* portName, std::uint32_t /*options*/, const void* context,
                                            std::uint16_t contextSize, Handle* port) {
  // On every failure the handle comes back as INVALID_HANDLE_VALUE.
  auto fail = [port](std::uint32_t hresult) {
    if (port) *port = InvalidHandleValue;
    return static_cast<std::int32_t>(hresult);
  };
  if (std::uint32_t error = CallGate(Fn::FilterConnectCommunicationPort)) return fail(error);
  if (!portName || !port) return fail(HresultFromWin32(ErrorInvalidParameter));
  std::lock_guard<std::mutex> lock(Mutex());
  Machine& m = M();
  std::shared_ptr<Port> server = sim::FindPort(portName);
  if (!server) return fail(HresultFromWin32(ErrorFileNotFound));
  if (server->connections >= server->maxConnections) return fail(HresultFromWin32(ErrorConnectionCountLimit));
  HandleEntry* entry = nullptr;
  Handle handle = m.handles.Allocate(&entry);
  if (handle == NullHandle) return fail(HresultFromWin32(ErrorNotEnoughMemory));
  entry->kind = HandleKind::PortConnection;
  entry->port = server;
  ++server->connections;
  const auto* bytes = static_cast<const std::uint8_t*>(context);
  std::vector<std::uint8_t> contextBytes;
  if (bytes && contextSize) contextBytes.assign(bytes, bytes + contextSize);
  server->events.push_back(sim::PortEvent{sim::PortEvent::Kind::Connect, std::move(contextBytes), m.now});
  *port = handle;
  return 0;
}

std::int32_t FilterSendMessage(Handle port, const void* inBuffer, std::uint32_t inSize, void* outBuffer,
                               std::uint32_t outSize, std::uint32_t* bytesReturned) {
  if (std::uint32_t error = CallGate(Fn::FilterSendMessage)) return static_cast<std::int32_t>(error);
  std::lock_guard<std::mutex> lock(Mutex());
  HandleEntry* entry = M().handles.Find(port);
  if (!entry || entry->kind != HandleKind::PortConnection)
    return static_cast<std::int32_t>(HresultFromWin32(ErrorInvalidHandle));
  if (!bytesReturned) return static_cast<std::int32_t>(HresultFromWin32(ErrorInvalidParameter));
  Port& server = *entry->port;
  if (!server.open) return static_cast<std::int32_t>(HresultFromWin32(ErrorPipeNotConnected));
  const auto* bytes = static_cast<const std::uint8_t*>(inBuffer);
  std::vector<std::uint8_t> message;
  if (bytes && inSize) message.assign(bytes, bytes + inSize);
  server.events.push_back(sim::PortEvent{sim::PortEvent::Kind::Message, std::move(message), M().now});
  std::uint32_t replied = 0;
  if (outBuffer && outSize && !server.reply.empty()) {
    replied = static_cast<std::uint32_t>(std::min<std::size_t>(outSize, server.reply.size()));
    std::memcpy(outBuffer, server.reply.data(), replied);
  }
  *bytesReturned = replied;
  return 0;
}

}  // namespace os
