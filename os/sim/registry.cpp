// The registry: HKEY_CURRENT_USER and HKEY_LOCAL_MACHINE trees of keys with typed values.
#include "os/sim/machine.h"

#include <algorithm>
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

// Sets a value, keeping the order in which names were first written.
void Store(RegKey& key, std::u16string_view name, RegValue value) {
  std::u16string folded = Folded(name);
  auto it = key.values.find(folded);
  if (it == key.values.end()) key.order.push_back(folded);
  key.values[folded] = {std::u16string(name), std::move(value)};
}

std::u16string TextOf(const RegValue& value) {
  std::u16string text(value.data.size() / 2, u'\0');
  if (!text.empty()) std::memcpy(text.data(), value.data.data(), text.size() * 2);
  return text;
}

}  // namespace

std::u16string RegPath(os::Key root, std::u16string_view path) { return Join(RootPath(root), path); }

void RegCreatePath(const std::u16string& path) { CreatePath(path); }

void RegSetLocked(const std::u16string& path, std::u16string_view name, RegValue value) {
  CreatePath(path);
  Store(M().registry[path], name, std::move(value));
}

const RegValue* RegGetLocked(const std::u16string& path, std::u16string_view name) {
  auto key = M().registry.find(path);
  if (key == M().registry.end()) return nullptr;
  auto it = key->second.values.find(Folded(name));
  return it == key->second.values.end() ? nullptr : &it->second.second;
}

void RegDeleteTreeLocked(const std::u16string& path) {
  auto& registry = M().registry;
  registry.erase(path);
  std::u16string prefix = path + u'\\';
  for (auto it = registry.lower_bound(prefix); it != registry.end() && it->first.compare(0, prefix.size(), prefix) == 0;)
    it = registry.erase(it);
}

RegValue RegStringValue(std::uint32_t type, std::u16string_view text) {
  RegValue value{type, std::vector<std::uint8_t>((text.size() + 1) * 2)};
  if (!text.empty()) std::memcpy(value.data.data(), text.data(), text.size() * 2);
  return value;
}

RegValue RegMultiValue(const std::vector<std::u16string>& items) {
  std::u16string text;
  for (const std::u16string& item : items) {
    text += item;
    text += u'\0';
  }
  if (items.empty()) text += u'\0';
  return RegStringValue(os::RegMultiSz, text);
}

RegValue RegDwordValue(std::uint32_t value) {
  RegValue reg{os::RegDword, std::vector<std::uint8_t>(4)};
  std::memcpy(reg.data.data(), &value, 4);
  return reg;
}

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
  RegDeleteTreeLocked(Join(RootPath(root), path));
}

bool RegKeyExists(os::Key root, std::u16string_view path) {
  std::lock_guard<std::mutex> lock(Mutex());
  return TestKey(root, path, false) != nullptr;
}

void SetRegValue(os::Key root, std::u16string_view path, std::u16string_view name, RegValue value) {
  std::lock_guard<std::mutex> lock(Mutex());
  Store(*TestKey(root, path, true), name, std::move(value));
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

std::optional<std::u16string> GetRegString(os::Key root, std::u16string_view path, std::u16string_view name) {
  std::optional<RegValue> value = GetRegValue(root, path, name);
  if (!value || (value->type != os::RegSz && value->type != os::RegExpandSz)) return std::nullopt;
  std::u16string text = TextOf(*value);
  std::size_t end = text.find(u'\0');
  return end == std::u16string::npos ? text : text.substr(0, end);
}

std::optional<std::vector<std::u16string>> GetRegMultiString(os::Key root, std::u16string_view path,
                                                            std::u16string_view name) {
  std::optional<RegValue> value = GetRegValue(root, path, name);
  if (!value || value->type != os::RegMultiSz) return std::nullopt;
  std::u16string text = TextOf(*value);
  std::vector<std::u16string> items;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find(u'\0', start);
    if (end == std::u16string::npos) end = text.size();
    if (end == start) break;   // the empty string that ends the list
    items.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return items;
}

std::vector<std::u16string> RegValueNames(os::Key root, std::u16string_view path) {
  std::lock_guard<std::mutex> lock(Mutex());
  std::vector<std::u16string> names;
  RegKey* key = TestKey(root, path, false);
  if (!key) return names;
  for (const std::u16string& folded : key->order) {
    auto it = key->values.find(folded);
    if (it != key->values.end()) names.push_back(it->second.first);
  }
  return names;
}

std::vector<std::u16string> RegSubkeys(os::Key root, std::u16string_view path) {
  std::lock_guard<std::mutex> lock(Mutex());
  std::vector<std::u16string> names;
  std::u16string prefix = Join(RootPath(root), path) + u'\\';
  auto& registry = M().registry;
  for (auto it = registry.lower_bound(prefix); it != registry.end() && it->first.compare(0, prefix.size(), prefix) == 0;
       ++it) {
    if (it->first.find(u'\\', prefix.size()) == std::u16string::npos) names.push_back(it->first.substr(prefix.size()));
  }
  return names;
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
  std::uint32_t stored = dataSize;
  // Windows NT completes a string whose count leaves out the terminator when the caller's text
  // is terminated right after the counted part (it looks at the next character).
  bool text = type == RegSz || type == RegExpandSz || type == RegMultiSz;
  if (text && dataSize >= 2 && dataSize % 2 == 0) {
    char16_t last, next = 1;
    std::memcpy(&last, bytes + dataSize - 2, 2);
    if (last != 0) std::memcpy(&next, bytes + dataSize, 2);
    if (last != 0 && next == 0) stored = dataSize + 2;
  }
  sim::RegValue value{type, std::vector<std::uint8_t>(bytes, bytes + stored)};
  Store(keyIt->second, name, std::move(value));
  return 0;
}

std::int32_t RegDeleteValueW(Key key, const char16_t* valueName) {
  if (std::uint32_t error = CallGate(Fn::RegDeleteValueW)) return static_cast<std::int32_t>(error);
  std::lock_guard<std::mutex> lock(Mutex());
  std::u16string path = KeyPath(key);
  if (path.empty()) return static_cast<std::int32_t>(ErrorInvalidHandle);
  auto keyIt = M().registry.find(path);
  if (keyIt == M().registry.end()) return static_cast<std::int32_t>(ErrorKeyDeleted);
  RegKey& reg = keyIt->second;
  std::u16string folded = Folded(valueName ? valueName : u"");
  if (!reg.values.erase(folded)) return static_cast<std::int32_t>(ErrorFileNotFound);
  reg.order.erase(std::find(reg.order.begin(), reg.order.end(), folded));
  return 0;
}

std::int32_t RegDeleteKeyW(Key key, const char16_t* subKey) {
  if (std::uint32_t error = CallGate(Fn::RegDeleteKeyW)) return static_cast<std::int32_t>(error);
  if (!subKey) return static_cast<std::int32_t>(ErrorInvalidParameter);
  std::lock_guard<std::mutex> lock(Mutex());
  std::u16string base = KeyPath(key);
  if (base.empty()) return static_cast<std::int32_t>(ErrorInvalidHandle);
  if (!M().registry.count(base)) return static_cast<std::int32_t>(ErrorKeyDeleted);
  std::u16string path = Join(base, subKey);
  if (path == RootPath(HkeyCurrentUser) || path == RootPath(HkeyLocalMachine))
    return static_cast<std::int32_t>(ErrorAccessDenied);
  auto& registry = M().registry;
  auto it = registry.find(path);
  if (it == registry.end()) return static_cast<std::int32_t>(ErrorFileNotFound);
  // Only a key without subkeys can be deleted.
  std::u16string prefix = path + u'\\';
  auto below = registry.lower_bound(prefix);
  if (below != registry.end() && below->first.compare(0, prefix.size(), prefix) == 0)
    return static_cast<std::int32_t>(ErrorAccessDenied);
  registry.erase(it);
  return 0;
}

std::int32_t RegCloseKey(Key key) {
  if (std::uint32_t error = CallGate(Fn::RegCloseKey)) return static_cast<std::int32_t>(error);
  std::lock_guard<std::mutex> lock(Mutex());
  if (key == HkeyCurrentUser || key == HkeyLocalMachine) return 0;
  return M().openKeys.erase(key) ? 0 : static_cast<std::int32_t>(ErrorInvalidHandle);
}

}  // namespace os
