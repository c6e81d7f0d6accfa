// The installer's view of the process and the desktop: special folders, the temporary and system
// directories, short names, the current directory, the ANSI code page, WinExec, the program's
// resources and string table, and other programs' top-level windows.
#include "os/sim/machine.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace sim::detail {

namespace {

constexpr std::uint32_t ErrorResourceDataNotFound = 1812;
constexpr os::Handle ImageBase = 0x400000;   // GetModuleHandleW(nullptr)
constexpr os::Handle ResourceInfoBase = 0x00C00000;
constexpr std::uint32_t CpUtf8 = 65001;
constexpr std::uint32_t CpAscii = 20127;
constexpr std::uint32_t Cp1252 = 1252;

// Windows-1252 bytes 0x80..0x9F (0 = not assigned).
constexpr char16_t Cp1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

std::u16string DefaultFolder(std::int32_t csidl) {
  switch (csidl) {
    case os::CsidlProgramFiles:
      return u"C:\\Program Files";
    case os::CsidlWindows:
      return u"C:\\Windows";
    case os::CsidlSystem:
      return std::u16string(SystemDirectory);
    default:
      return std::u16string();
  }
}

// Copies text and its terminator when it fits: the length without the terminator; otherwise the
// size needed with it, and nothing is written.
std::uint32_t CopyOut(std::u16string_view text, char16_t* buffer, std::uint32_t capacity) {
  if (!buffer || capacity < text.size() + 1) return static_cast<std::uint32_t>(text.size() + 1);
  text.copy(buffer, text.size());
  buffer[text.size()] = 0;
  return static_cast<std::uint32_t>(text.size());
}

bool ModuleIsProgram(os::Handle module) { return module == os::NullHandle || module == ImageBase; }

const Resource* ResourceOf(os::Handle info) {
  if (info < ResourceInfoBase || (info - ResourceInfoBase) % 16 != 0) return nullptr;
  std::size_t index = (info - ResourceInfoBase) / 16;
  return index < M().resources.size() ? &M().resources[index] : nullptr;
}

// Bytes of one character in the code page, or 0 when it has none.
std::size_t Encode(std::uint32_t codePage, char32_t c, char out[4]) {
  if (codePage == CpUtf8) {
    if (c < 0x80) {
      out[0] = static_cast<char>(c);
      return 1;
    }
    if (c < 0x800) {
      out[0] = static_cast<char>(0xC0 | (c >> 6));
      out[1] = static_cast<char>(0x80 | (c & 0x3F));
      return 2;
    }
    if (c < 0x10000) {
      out[0] = static_cast<char>(0xE0 | (c >> 12));
      out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out[2] = static_cast<char>(0x80 | (c & 0x3F));
      return 3;
    }
    out[0] = static_cast<char>(0xF0 | (c >> 18));
    out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (c & 0x3F));
    return 4;
  }
  if (c < 0x80) {
    out[0] = static_cast<char>(c);
    return 1;
  }
  if (codePage == Cp1252) {
    if (c >= 0xA0 && c <= 0xFF) {
      out[0] = static_cast<char>(c);
      return 1;
    }
    for (int i = 0; i < 32; ++i) {
      if (Cp1252High[i] != 0 && Cp1252High[i] == c) {
        out[0] = static_cast<char>(0x80 + i);
        return 1;
      }
    }
  }
  return 0;
}

}  // namespace

}  // namespace sim::detail

// =============================================================================================
// Test API.

namespace sim {

using namespace detail;

void SetFolderPath(std::int32_t csidl, std::u16string_view path) {
  std::lock_guard<std::mutex> lock(Mutex());
  M().folders[csidl] = std::u16string(path);
}

void SetTempPath(std::u16string_view path) {
  std::lock_guard<std::mutex> lock(Mutex());
  M().tempPath = std::u16string(path);
}

std::u16string CurrentDirectory() {
  std::lock_guard<std::mutex> lock(Mutex());
  if (!M().currentDirectory.empty()) return M().currentDirectory;
  std::u16string path = NormalPath(M().modulePath);
  std::size_t cut = path.find_last_of(u'\\');
  return cut <= 2 ? path.substr(0, 3) : path.substr(0, cut);
}

void SetAnsiCodePage(std::uint32_t codePage) {
  std::lock_guard<std::mutex> lock(Mutex());
  M().ansiCodePage = codePage;
}

std::vector<LaunchedCommand> LaunchedCommands() {
  std::lock_guard<std::mutex> lock(Mutex());
  return M().launched;
}

void SetResource(std::uint32_t id, std::u16string_view type, std::vector<std::uint8_t> bytes) {
  std::lock_guard<std::mutex> lock(Mutex());
  std::u16string folded = Folded(type);
  auto data = std::make_shared<std::vector<std::uint8_t>>(std::move(bytes));
  for (Resource& resource : M().resources) {
    if (resource.id == id && resource.type == folded) {
      resource.bytes = data;
      return;
    }
  }
  M().resources.push_back(Resource{id, folded, data});
}

void SetString(std::uint32_t id, std::u16string_view text) {
  std::lock_guard<std::mutex> lock(Mutex());
  M().strings[id] = std::u16string(text);
}

Window AddWindow(std::u16string_view className, std::u16string_view title, WindowProc procedure) {
  std::lock_guard<std::mutex> lock(Mutex());
  Window window = M().nextWindow;
  M().nextWindow += 0x12;
  M().windows[window] = WindowRecord{std::u16string(className), std::u16string(title),
                                     procedure ? std::make_shared<WindowProc>(std::move(procedure)) : nullptr};
  return window;
}

void RemoveWindow(Window window) {
  std::lock_guard<std::mutex> lock(Mutex());
  M().windows.erase(window);
}

void HangWindow(Window window, bool hung) {
  std::lock_guard<std::mutex> lock(Mutex());
  auto it = M().windows.find(window);
  if (it != M().windows.end()) it->second.hung = hung;
}

bool WindowExists(Window window) {
  std::lock_guard<std::mutex> lock(Mutex());
  return M().windows.count(window) != 0;
}

std::vector<SentMessage> SentMessages() {
  std::lock_guard<std::mutex> lock(Mutex());
  return M().sent;
}

}  // namespace sim

// =============================================================================================
// os:: functions.

namespace os {

using namespace sim::detail;

bool SHGetSpecialFolderPathW(char16_t* path, std::int32_t csidl, bool create) {
  if (std::uint32_t error = CallGate(Fn::SHGetSpecialFolderPathW)) return Fails(error);
  if (!path) return Fails(ErrorInvalidParameter);
  std::u16string folder;
  {
    std::lock_guard<std::mutex> lock(Mutex());
    auto it = M().folders.find(csidl);
    folder = it != M().folders.end() ? it->second : DefaultFolder(csidl);
    // The shell names its folders whether or not they exist on disk.
    if (folder.empty() || folder.size() >= 260) return Fails(ErrorFileNotFound);
  }
  if (create) sim::MakeDirectory(folder, sim::DirectorySpec{std::u16string(u"NT AUTHORITY\\SYSTEM"), {}, FileAttributeDirectory});
  folder.copy(path, folder.size());
  path[folder.size()] = 0;
  return true;
}

std::uint32_t GetTempPathW(std::uint32_t capacity, char16_t* buffer) {
  if (std::uint32_t error = CallGate(Fn::GetTempPathW)) {
    SetLastError(error);
    return 0;
  }
  std::lock_guard<std::mutex> lock(Mutex());
  return CopyOut(M().tempPath, buffer, capacity);
}

std::uint32_t GetSystemDirectoryW(char16_t* buffer, std::uint32_t capacity) {
  if (std::uint32_t error = CallGate(Fn::GetSystemDirectoryW)) {
    SetLastError(error);
    return 0;
  }
  return CopyOut(sim::SystemDirectory, buffer, capacity);
}

std::uint32_t GetShortPathNameW(const char16_t* longPath, char16_t* shortPath, std::uint32_t capacity) {
  if (std::uint32_t error = CallGate(Fn::GetShortPathNameW)) {
    SetLastError(error);
    return 0;
  }
  if (!longPath) {
    SetLastError(ErrorInvalidParameter);
    return 0;
  }
  std::lock_guard<std::mutex> lock(Mutex());
  std::u16string_view full = StripLongPrefix(longPath);
  bool trailing = full.size() > 3 && full.back() == u'\\';
  std::u16string key;
  if (ResolvePlain(full, false, &key, nullptr) != 0) {
    SetLastError(ErrorPathNotFound);
    return 0;
  }
  if (!PlainAt(key) && !PlainDirectoryAt(key)) {
    SetLastError(PlainDirectoryAt(ParentKey(key)) ? ErrorFileNotFound : ErrorPathNotFound);
    return 0;
  }
  // Each component in turn: its short name where it has one, else as written.
  std::u16string out(full.substr(0, 3));
  std::u16string walk = out;
  std::u16string_view rest = full.substr(3);
  while (!rest.empty()) {
    std::size_t cut = rest.find(u'\\');
    std::u16string_view part = rest.substr(0, cut);
    rest = cut == std::u16string_view::npos ? std::u16string_view() : rest.substr(cut + 1);
    if (part.empty()) continue;
    if (walk.back() != u'\\') walk += u'\\';
    walk += part;
    std::u16string partKey;
    const PlainFile* entry = ResolvePlain(walk, false, &partKey, nullptr) == 0 ? PlainAt(partKey) : nullptr;
    if (out.back() != u'\\') out += u'\\';
    out += entry && !entry->shortName.empty() ? std::u16string_view(entry->shortName) : part;
  }
  if (trailing) out += u'\\';
  return CopyOut(out, shortPath, capacity);
}

bool SetCurrentDirectoryW(const char16_t* path) {
  if (std::uint32_t error = CallGate(Fn::SetCurrentDirectoryW)) return Fails(error);
  if (!path) return Fails(ErrorInvalidParameter);
  std::lock_guard<std::mutex> lock(Mutex());
  std::u16string key, resolved;
  if (std::uint32_t error = ResolvePlain(path, true, &key, &resolved)) return Fails(error);
  if (!PlainDirectoryAt(key)) return Fails(PlainAt(key) ? ErrorDirectory : ErrorFileNotFound);
  M().currentDirectory = resolved;
  return true;
}

std::int32_t WideCharToMultiByte(std::uint32_t codePage, const char16_t* wide, std::int32_t wideLength,
                                 char* multiByte, std::int32_t multiByteCapacity) {
  if (std::uint32_t error = CallGate(Fn::WideCharToMultiByte)) {
    SetLastError(error);
    return 0;
  }
  if (!wide || wideLength == 0 || wideLength < -1 || multiByteCapacity < 0 || (multiByteCapacity > 0 && !multiByte)) {
    SetLastError(ErrorInvalidParameter);
    return 0;
  }
  std::uint32_t page = codePage;
  if (page == CpAcp) {
    std::lock_guard<std::mutex> lock(Mutex());
    page = M().ansiCodePage;
  }
  if (page != Cp1252 && page != CpAscii && page != CpUtf8) {
    SetLastError(ErrorInvalidParameter);
    return 0;
  }
  std::size_t count = wideLength == -1 ? Length(wide) + 1 : static_cast<std::size_t>(wideLength);
  std::string out;
  for (std::size_t i = 0; i < count; ++i) {
    char32_t c = wide[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < count && wide[i + 1] >= 0xDC00 && wide[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (wide[i + 1] - 0xDC00);
      ++i;
    }
    char bytes[4];
    std::size_t n = Encode(page, c, bytes);
    if (n == 0) {
      // The code page's default character; UTF-8 has every character but lone surrogates.
      if (page == CpUtf8) {
        n = Encode(page, 0xFFFD, bytes);
      } else {
        bytes[0] = '?';
        n = 1;
      }
    }
    out.append(bytes, n);
  }
  if (multiByteCapacity == 0) return static_cast<std::int32_t>(out.size());
  if (out.size() > static_cast<std::size_t>(multiByteCapacity)) {
    std::memcpy(multiByte, out.data(), static_cast<std::size_t>(multiByteCapacity));
    SetLastError(ErrorInsufficientBuffer);
    return 0;
  }
  std::memcpy(multiByte, out.data(), out.size());
  return static_cast<std::int32_t>(out.size());
}

std::uint32_t WinExec(const char* commandLine, std::uint32_t show) {
  if (std::uint32_t error = CallGate(Fn::WinExec)) return error;
  if (!commandLine || !*commandLine) return ErrorFileNotFound;
  std::u16string current = sim::CurrentDirectory();
  std::lock_guard<std::mutex> lock(Mutex());
  M().launched.push_back(sim::LaunchedCommand{commandLine, show, current, M().now});
  return 33;
}

Handle FindResourceW(Handle module, std::uint32_t id, const char16_t* type) {
  if (std::uint32_t error = CallGate(Fn::FindResourceW)) {
    SetLastError(error);
    return NullHandle;
  }
  if (!ModuleIsProgram(module) || !type) {
    SetLastError(ErrorResourceTypeNotFound);
    return NullHandle;
  }
  // A type below 0x10000 is a numeric one (MAKEINTRESOURCE), named "#N" here.
  auto raw = reinterpret_cast<std::uintptr_t>(type);
  std::u16string name;
  if (raw < 0x10000) {
    for (char c : std::to_string(raw)) name += static_cast<char16_t>(c);
    name.insert(name.begin(), u'#');
  } else {
    name = Folded(type);
  }
  std::lock_guard<std::mutex> lock(Mutex());
  bool typeSeen = false;
  const auto& resources = M().resources;
  for (std::size_t i = 0; i < resources.size(); ++i) {
    if (resources[i].type != name) continue;
    typeSeen = true;
    if (resources[i].id == id) return ResourceInfoBase + i * 16;
  }
  SetLastError(typeSeen ? ErrorResourceNameNotFound : ErrorResourceTypeNotFound);
  return NullHandle;
}

Handle LoadResource(Handle module, Handle resourceInfo) {
  if (std::uint32_t error = CallGate(Fn::LoadResource)) {
    SetLastError(error);
    return NullHandle;
  }
  std::lock_guard<std::mutex> lock(Mutex());
  const Resource* resource = ModuleIsProgram(module) ? ResourceOf(resourceInfo) : nullptr;
  if (!resource) {
    SetLastError(ErrorResourceDataNotFound);
    return NullHandle;
  }
  // Like a loaded image's resource: the handle is the address of the data.
  static const std::uint8_t empty = 0;
  return reinterpret_cast<Handle>(resource->bytes->empty() ? &empty : resource->bytes->data());
}

const void* LockResource(Handle resourceData) {
  if (std::uint32_t error = CallGate(Fn::LockResource)) {
    SetLastError(error);
    return nullptr;
  }
  return reinterpret_cast<const void*>(resourceData);
}

std::uint32_t SizeofResource(Handle module, Handle resourceInfo) {
  if (std::uint32_t error = CallGate(Fn::SizeofResource)) {
    SetLastError(error);
    return 0;
  }
  std::lock_guard<std::mutex> lock(Mutex());
  const Resource* resource = ModuleIsProgram(module) ? ResourceOf(resourceInfo) : nullptr;
  if (!resource) {
    SetLastError(ErrorResourceDataNotFound);
    return 0;
  }
  return static_cast<std::uint32_t>(resource->bytes->size());
}

std::int32_t LoadStringW(Handle module, std::uint32_t id, char16_t* buffer, std::int32_t capacity) {
  if (std::uint32_t error = CallGate(Fn::LoadStringW)) {
    SetLastError(error);
    return 0;
  }
  if (!buffer || capacity < 0) {
    SetLastError(ErrorInvalidParameter);
    return 0;
  }
  std::lock_guard<std::mutex> lock(Mutex());
  auto it = M().strings.find(id);
  if (!ModuleIsProgram(module) || it == M().strings.end() || it->second.empty()) {
    if (capacity > 0) buffer[0] = 0;
    SetLastError(ErrorResourceNameNotFound);
    return 0;
  }
  const std::u16string& text = it->second;
  if (capacity == 0) {
    // The buffer receives a read-only pointer to the text inside the resource.
    const char16_t* pointer = text.data();
    std::memcpy(buffer, &pointer, sizeof(pointer));
    return static_cast<std::int32_t>(text.size());
  }
  std::size_t n = std::min<std::size_t>(text.size(), static_cast<std::size_t>(capacity) - 1);
  text.copy(buffer, n);
  buffer[n] = 0;
  return static_cast<std::int32_t>(n);
}

std::uintptr_t FindWindowW(const char16_t* className, const char16_t* windowName) {
  if (std::uint32_t error = CallGate(Fn::FindWindowW)) {
    SetLastError(error);
    return 0;
  }
  std::lock_guard<std::mutex> lock(Mutex());
  for (const auto& [window, record] : M().windows) {
    if (className && !EqualFolded(record.className, className)) continue;
    if (windowName && !EqualFolded(record.title, windowName)) continue;
    return window;
  }
  return 0;
}

std::intptr_t SendMessageTimeoutW(std::uintptr_t window, std::uint32_t message, std::uintptr_t wParam,
                                  std::intptr_t lParam, std::uint32_t flags, std::uint32_t timeoutMs,
                                  std::uintptr_t* result) {
  if (std::uint32_t error = CallGate(Fn::SendMessageTimeoutW)) {
    SetLastError(error);
    return 0;
  }
  std::shared_ptr<sim::WindowProc> procedure;
  {
    std::lock_guard<std::mutex> lock(Mutex());
    auto it = M().windows.find(window);
    if (it == M().windows.end()) {
      SetLastError(ErrorInvalidWindowHandle);
      return 0;
    }
    M().sent.push_back(sim::SentMessage{window, message, wParam, lParam, M().now});
    if (it->second.hung) {
      if ((flags & SmtoAbortIfHung) == 0) {
        M().now += static_cast<FileTime>(timeoutMs) * sim::Millisecond;
        SettleServices();
      }
      SetLastError(ErrorTimeout);
      return 0;
    }
    procedure = it->second.procedure;
  }
  std::intptr_t answer = procedure ? (*procedure)(window, message, wParam, lParam) : 0;
  if (result) *result = static_cast<std::uintptr_t>(answer);
  return 1;
}

}  // namespace os
