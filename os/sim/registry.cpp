// The registry: HKEY_CURRENT_USER and HKEY_LOCAL_MACHINE trees of keys with typed values.
#include "os/sim/machine.h"

#include <cstring>

namespace sim::detail {

namespace {

// "software\microsoft" under the root -> "hkcu\software\microsoft" (folded); empty for a bad root.
std::u16string RootPath(os::Key root) {
  if (root == os::HkeyCurrentUser) return u"hkcu";
  if (root == os::HkeyLocalMachine) return u"hklm";
  return std::u16string();
}

// Appends a relative path to a key path, dropping empty components.
std::u16string Join(std::u16string base, std::u16string_view sub) {
  while (!sub.empty()) {
    std::size_t cut = sub.find(u'\\');
    std::u16string_view part = sub.substr(0, cut);
    sub = cut == std::u16string_view::npos ? std::u16string_view() : sub.substr(cut + 1);
    if (part.empty()) continue;
    base += u'\\';
    base += Folded(part);
  }
  return base;
}

// The key path behind a handle (predefined root or opened key); empty when the handle is unknown.
std::u16string KeyPath(os::Key key) {
  std::u16string root = RootPath(key);
  if (!root.empty()) return root;
  auto it = M().openKeys.find(key);
  return it == M().openKeys.end() ? std::u16string() : it->second;
}

void CreatePath(const std::u16string& path) {
  for (std::size_t cut = path.find(u'\\'); cut != std::u16string::npos; cut = path.find(u'\\', cut + 1))
    M().registry[path.substr(0, cut)];
  M().registry[path];
}

os::Key NewKey(const std::u16string& path) {
  os::Key key = M().nextKey;
  M().nextKey += 4;
  M().openKeys[key] = path;
  return key;
}

std::int32_t OpenOrCreate(os::Key key, const char16_t* subKey, os::Key* result, bool create) {
  if (!result) return static_cast<std::int32_t>(os::ErrorInvalidParameter);
  std::lock_guard<std::mutex> lock(Mutex());
  std::u16string base = KeyPath(key);
  if (base.empty()) return static_cast<std::int32_t>(os::ErrorInvalidHandle);
  if (!M().registry.count(base)) return static_cast<std::int32_t>(ErrorKeyDeleted);
  // No subkey: the same handle comes back.
  if (!subKey || !*subKey) {
    *result = key;
    return 0;
  }
  std::u16string path = Join(base, subKey);
  if (!M().registry.count(path)) {
    if (!create) return static_cast<std::int32_t>(os::ErrorFileNotFound);
    CreatePath(path);
  }
  *result = NewKey(path);
  return 0;
}

RegKey* TestKey(os::Key root, std::u16string_view path, bool create) {
  std::u16string full = Join(RootPath(root), path);
  if (create) CreatePath(full);
  auto it = M().registry.find(full);
  return it == M().registry.end() ? nullptr : &it->second;
}

}  // namespace

}  // namespace sim::detail

// =============================================================================================
// Test API.

namespace sim {

using namespace detail;

void CreateRegKey(os::Key root, std::u16string_view path) {
  std::lock_guard<std::mutex> lock(Mutex());
  TestKey(root, path, true);
}

void DeleteRegKey(os::Key root, std::u16string_view path) {
  std::lock_guard<std::mutex> lock(Mutex());
  std::u16string full = Join(RootPath(root), path);
  auto& registry = M().registry;
  registry.erase(full);
  std::u16string prefix = full + u'\\';
  for (auto it = registry.lower_bound(prefix); it != registry.end() && it->first.compare(0, prefix.size(), prefix) == 0;)
    it = registry.erase(it);
}

bool RegKeyExists(os::Key root, std::u16string_view path) {
  std::lock_guard<std::mutex> lock(Mutex());
  return TestKey(root, path, false) != nullptr;
}

void SetRegValue(os::Key root, std::u16string_view path, std::u16string_view name, RegValue value) {
  std::lock_guard<std::mutex> lock(Mutex());
  TestKey(root, path, true)->values[Folded(name)] = {std::u16string(name), std::move(value)};
}

void SetRegDword(os::Key root, std::u16string_view path, std::u16string_view name, std::uint32_t value) {
  RegValue reg{os::RegDword, std::vector<std::uint8_t>(4)};
  std::memcpy(reg.data.data(), &value, 4);
  SetRegValue(root, path, name, std::move(reg));
}

void SetRegString(os::Key root, std::u16string_view path, std::u16string_view name, std::u16string_view value) {
  RegValue reg{os::RegSz, std::vector<std::uint8_t>((value.size() + 1) * 2)};
  std::memcpy(reg.data.data(), value.data(), value.size() * 2);
  SetRegValue(root, path, name, std::move(reg));
}

std::optional<RegValue> GetRegValue(os::Key root, std::u16string_view path, std::u16string_view name) {
  std::lock_guard<std::mutex> lock(Mutex());
  RegKey* key = TestKey(root, path, false);
  if (!key) return std::nullopt;
  auto it = key->values.find(Folded(name));
  if (it == key->values.end()) return std::nullopt;
  return it->second.second;
}

std::optional<std::uint32_t> GetRegDword(os::Key root, std::u16string_view path, std::u16string_view name) {
  std::optional<RegValue> value = GetRegValue(root, path, name);
  if (!value || value->type != os::RegDword || value->data.size() != 4) return std::nullopt;
  std::uint32_t result;
  std::memcpy(&result, value->data.data(), 4);
  return result;
}

}  // namespace sim

// =============================================================================================
// os:: functions. They return the error code itself (0 = ERROR_SUCCESS).

namespace os {

using namespace sim::detail;

std::int32_t RegOpenKeyW(Key key, const char16_t* subKey, Key* result) {
  if (std::uint32_t error = CallGate(Fn::RegOpenKeyW)) return static_cast<std::int32_t>(error);
  return OpenOrCreate(key, subKey, result, false);
}

std::int32_t RegCreateKeyW(Key key, const char16_t* subKey, Key* result) {
  if (std::uint32_t error = CallGate(Fn::RegCreateKeyW)) return static_cast<std::int32_t>(error);
  return OpenOrCreate(key, subKey, result, true);
}

std::int32_t RegQueryValueExW(Key key, const char16_t* valueName, std::uint32_t* type, void* data,
                              std::uint32_t* dataSize) {
  if (std::uint32_t error = CallGate(Fn::RegQueryValueExW)) return static_cast<std::int32_t>(error);
  if (data && !dataSize) return static_cast<std::int32_t>(ErrorInvalidParameter);
  std::lock_guard<std::mutex> lock(Mutex());
  std::u16string path = KeyPath(key);
  if (path.empty()) return static_cast<std::int32_t>(ErrorInvalidHandle);
  auto keyIt = M().registry.find(path);
  if (keyIt == M().registry.end()) return static_cast<std::int32_t>(ErrorKeyDeleted);
  auto it = keyIt->second.values.find(Folded(valueName ? valueName : u""));
  if (it == keyIt->second.values.end()) return static_cast<std::int32_t>(ErrorFileNotFound);
  const sim::RegValue& value = it->second.second;
  auto size = static_cast<std::uint32_t>(value.data.size());
  if (type) *type = value.type;
  // Without a buffer only the size is reported; with a buffer too small, ERROR_MORE_DATA and
  // the size needed.
  if (!data) {
    if (dataSize) *dataSize = size;
    return 0;
  }
  if (*dataSize < size) {
    *dataSize = size;
    return static_cast<std::int32_t>(ErrorMoreData);
  }
  if (size) std::memcpy(data, value.data.data(), size);
  *dataSize = size;
  return 0;
}

std::int32_t RegSetValueExW(Key key, const char16_t* valueName, std::uint32_t type, const void* data,
                            std::uint32_t dataSize) {
  if (std::uint32_t error = CallGate(Fn::RegSetValueExW)) return static_cast<std::int32_t>(error);
  if (!data && dataSize) return 998;   // ERROR_NOACCESS
  std::lock_guard<std::mutex> lock(Mutex());
  std::u16string path = KeyPath(key);
  if (path.empty()) return static_cast<std::int32_t>(ErrorInvalidHandle);
  auto keyIt = M().registry.find(path);
  if (keyIt == M().registry.end()) return static_cast<std::int32_t>(ErrorKeyDeleted);
  std::u16string_view name = valueName ? valueName : u"";
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  sim::RegValue value{type, std::vector<std::uint8_t>(bytes, bytes + dataSize)};
  keyIt->second.values[Folded(name)] = {std::u16string(name), std::move(value)};
  return 0;
}

std::int32_t RegCloseKey(Key key) {
  if (std::uint32_t error = CallGate(Fn::RegCloseKey)) return static_cast<std::int32_t>(error);
  std::lock_guard<std::mutex> lock(Mutex());
  if (key == HkeyCurrentUser || key == HkeyLocalMachine) return 0;
  return M().openKeys.erase(key) ? 0 : static_cast<std::int32_t>(ErrorInvalidHandle);
}

}  // namespace os
