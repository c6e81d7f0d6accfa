// SetupAPI: INF files read from the plain file store, and the installation of the services that
// their ".Services" sections name (AddService with its service section and AddReg sections,
// DelService) through the same service manager as CreateServiceW.
#include "os/sim/machine.h"

#include <algorithm>
#include <cstring>

namespace sim::detail {

namespace {

constexpr std::uint32_t ErrorClassMismatch = 0xE0000201;
constexpr std::uint32_t FlgAddregBinValueType = 0x00000001;
constexpr std::uint32_t FlgAddregNoClobber = 0x00000002;
constexpr std::uint32_t FlgAddregDelVal = 0x00000004;
constexpr std::uint32_t FlgAddregAppend = 0x00000008;
constexpr std::uint32_t FlgAddregKeyOnly = 0x00000010;
constexpr std::uint32_t FlgAddregTypeMask = 0xFFFF0000 | FlgAddregBinValueType;
constexpr std::uint32_t FlgAddregTypeSz = 0x00000000;
constexpr std::uint32_t FlgAddregTypeMultiSz = 0x00010000;
constexpr std::uint32_t FlgAddregTypeExpandSz = 0x00020000;
constexpr std::uint32_t FlgAddregTypeDword = 0x00010001;
constexpr std::uint32_t FlgAddregTypeNone = 0x00020001;
constexpr std::uint32_t SpsvcinstNoClobberDisplayName = 0x8;
constexpr std::uint32_t SpsvcinstNoClobberStartType = 0x10;
constexpr std::uint32_t SpsvcinstNoClobberErrorControl = 0x20;
constexpr std::uint32_t SpsvcinstNoClobberLoadOrderGroup = 0x40;
constexpr std::uint32_t SpsvcinstNoClobberDependencies = 0x80;
constexpr std::uint32_t SpsvcinstNoClobberDescription = 0x100;

// One physical or continued line with its number, before the fields are split.
struct RawLine {
  std::u16string text;
  std::uint32_t line;
};
struct RawSection {
  std::u16string name;
  std::vector<RawLine> lines;
};

std::u16string Decode(const std::vector<std::uint8_t>& bytes) {
  std::u16string text;
  if (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
    for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) text += static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8));
    return text;
  }
  std::size_t start = bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF ? 3 : 0;
  for (std::size_t i = start; i < bytes.size(); ++i) text += static_cast<char16_t>(bytes[i]);   // ANSI, Latin-1 range
  return text;
}

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

std::u16string Trim(std::u16string_view s) {
  std::size_t a = 0, b = s.size();
  while (a < b && IsBlank(s[a])) ++a;
  while (b > a && IsBlank(s[b - 1])) --b;
  return std::u16string(s.substr(a, b - a));
}

// The line without its comment (a ';' outside quotes).
std::u16string_view WithoutComment(std::u16string_view line) {
  bool quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] == u'"') quoted = !quoted;
    else if (line[i] == u';' && !quoted) return line.substr(0, i);
  }
  return line;
}

// Sections and their lines; comments dropped, continuations joined. 0 or the syntax error.
std::uint32_t SplitSections(const std::u16string& text, std::vector<RawSection>* sections, std::uint32_t* errorLine) {
  std::uint32_t number = 0;
  std::u16string pending;
  std::uint32_t pendingLine = 0;
  std::size_t pos = 0;
  while (pos <= text.size()) {
    std::size_t end = text.find_first_of(u"\r\n", pos);
    if (end == std::u16string::npos) end = text.size();
    std::u16string_view physical(text.data() + pos, end - pos);
    ++number;
    pos = end;
    if (pos < text.size() && text[pos] == u'\r') ++pos;
    if (pos < text.size() && text[pos] == u'\n') ++pos;
    if (end == text.size()) pos = text.size() + 1;

    std::u16string line = Trim(WithoutComment(physical));
    if (pending.empty()) pendingLine = number;
    if (!line.empty() && line.back() == u'\\') {   // continued on the next line
      line.pop_back();
      pending += line;
      continue;
    }
    line = pending + line;
    pending.clear();
    line = Trim(line);
    if (line.empty()) continue;
    if (line[0] == u'[') {
      std::size_t close = line.find(u']');
      if (close == std::u16string::npos) {
        *errorLine = pendingLine;
        return os::ErrorBadSectionNameLine;
      }
      sections->push_back(RawSection{Trim(std::u16string_view(line).substr(1, close - 1)), {}});
      continue;
    }
    if (sections->empty()) {
      *errorLine = pendingLine;
      return os::ErrorExpectedSectionName;
    }
    sections->back().lines.push_back(RawLine{line, pendingLine});
  }
  return 0;
}

// Splits "key = a, "b c"d, e" into the key and fields: quotes removed ("" inside quotes is one
// quote), blanks around unquoted text dropped, quoted and unquoted pieces joined.
void SplitFields(std::u16string_view line, std::u16string* key, bool* hasKey, std::vector<std::u16string>* fields) {
  fields->clear();
  *hasKey = false;
  std::u16string field;
  std::size_t keep = 0;   // field length up to its last quoted or non-blank character
  bool quoted = false, started = false;
  auto finish = [&] {
    field.resize(keep);
    fields->push_back(field);
    field.clear();
    keep = 0;
    started = false;
  };
  for (std::size_t i = 0; i < line.size(); ++i) {
    char16_t c = line[i];
    if (quoted) {
      if (c == u'"') {
        if (i + 1 < line.size() && line[i + 1] == u'"') {
          field += u'"';
          keep = field.size();
          ++i;
        } else {
          quoted = false;
        }
      } else {
        field += c;
        keep = field.size();
      }
      continue;
    }
    if (c == u'"') {
      quoted = true;
      started = true;
      keep = field.size();
    } else if (c == u',') {
      finish();
    } else if (c == u'=' && !*hasKey && fields->empty()) {
      field.resize(keep);
      *key = field;
      *hasKey = true;
      field.clear();
      keep = 0;
      started = false;
    } else if (IsBlank(c) && !started) {
      // leading blank
    } else {
      field += c;
      started = true;
      if (!IsBlank(c)) keep = field.size();
    }
  }
  finish();
}

std::u16string DirectoryId(std::u16string_view id) {
  if (id == u"10") return u"C:\\Windows";
  if (id == u"11") return std::u16string(sim::SystemDirectory);
  if (id == u"12") return std::u16string(sim::SystemDirectory) + u"\\drivers";
  if (id == u"17") return u"C:\\Windows\\inf";
  return std::u16string();
}

// %strkey% from [Strings], %% as a percent sign, %N% as a directory id; unknown keys stay.
std::u16string Substitute(std::u16string_view text, const std::map<std::u16string, std::u16string>& strings) {
  std::u16string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != u'%') {
      out += text[i];
      continue;
    }
    std::size_t close = text.find(u'%', i + 1);
    if (close == std::u16string_view::npos) {
      out += text.substr(i);
      break;
    }
    std::u16string_view name = text.substr(i + 1, close - i - 1);
    if (name.empty()) {
      out += u'%';
    } else if (auto it = strings.find(Folded(name)); it != strings.end()) {
      out += it->second;
    } else if (std::u16string dir = DirectoryId(name); !dir.empty()) {
      out += dir;
    } else {
      out += text.substr(i, close - i + 1);
    }
    i = close;
  }
  return out;
}

const InfSection* FindSection(const InfFile& inf, std::u16string_view name) {
  for (const InfSection& section : inf.sections) {
    if (EqualFolded(section.name, name)) return &section;
  }
  return nullptr;
}

const InfLine* FindLine(const InfSection& section, std::u16string_view key) {
  for (const InfLine& line : section.lines) {
    if (EqualFolded(line.key, key)) return &line;
  }
  return nullptr;
}

std::u16string Field(const InfLine& line, std::size_t index) {
  return index < line.fields.size() ? line.fields[index] : std::u16string();
}

// "0x10", "16": false when the text is no number.
bool Number(std::u16string_view text, std::uint32_t* value) {
  std::u16string t = Trim(text);
  if (t.empty()) return false;
  int base = 10;
  std::size_t i = 0;
  if (t.size() > 2 && t[0] == u'0' && (t[1] == u'x' || t[1] == u'X')) {
    base = 16;
    i = 2;
  }
  std::uint64_t result = 0;
  for (; i < t.size(); ++i) {
    char16_t c = t[i];
    int digit = c >= u'0' && c <= u'9' ? c - u'0' : c >= u'a' && c <= u'f' ? c - u'a' + 10 : c >= u'A' && c <= u'F' ? c - u'A' + 10 : 99;
    if (digit >= base) return false;
    result = result * base + digit;
    if (result > 0xFFFFFFFFull) return false;
  }
  *value = static_cast<std::uint32_t>(result);
  return true;
}

std::u16string ServiceKeyPath(std::u16string_view name) {
  std::u16string path(sim::ServicesKey);
  path += u'\\';
  path += name;
  return RegPath(os::HkeyLocalMachine, path);
}

// One AddReg line: root, subkey, value name, flags, value...
void AddRegLine(const InfLine& line, const std::u16string& serviceKey) {
  std::u16string root = Folded(Field(line, 0));
  std::u16string key;
  if (root == u"hkr") key = serviceKey;
  else if (root == u"hklm") key = u"hklm";
  else if (root == u"hkcu") key = u"hkcu";
  else return;
  std::u16string sub = Field(line, 1);
  for (std::size_t start = 0; start < sub.size();) {
    std::size_t cut = sub.find(u'\\', start);
    if (cut == std::u16string::npos) cut = sub.size();
    if (cut > start) key += u'\\' + Folded(std::u16string_view(sub).substr(start, cut - start));
    start = cut + 1;
  }
  RegCreatePath(key);
  if (line.fields.size() < 3) return;
  std::u16string name = Field(line, 2);
  std::uint32_t flags = 0;
  Number(Field(line, 3), &flags);
  if (flags & FlgAddregKeyOnly) return;
  if (flags & FlgAddregDelVal) {
    auto it = M().registry.find(key);
    if (it != M().registry.end()) {
      std::u16string folded = Folded(name);
      if (it->second.values.erase(folded)) {
        auto& order = it->second.order;
        order.erase(std::find(order.begin(), order.end(), folded));
      }
    }
    return;
  }
  const RegValue* existing = RegGetLocked(key, name);
  if ((flags & FlgAddregNoClobber) && existing) return;
  std::uint32_t type = flags & FlgAddregTypeMask;
  std::vector<std::u16string> values(line.fields.begin() + std::min<std::size_t>(4, line.fields.size()), line.fields.end());
  std::u16string first = values.empty() ? std::u16string() : values[0];
  RegValue value;
  if (type == FlgAddregTypeSz) {
    value = RegStringValue(os::RegSz, first);
  } else if (type == FlgAddregTypeExpandSz) {
    value = RegStringValue(os::RegExpandSz, first);
  } else if (type == FlgAddregTypeMultiSz) {
    if ((flags & FlgAddregAppend) && existing && existing->type == os::RegMultiSz) {
      std::vector<std::u16string> merged;
      std::u16string text(existing->data.size() / 2, u'\0');
      if (!text.empty()) std::memcpy(text.data(), existing->data.data(), text.size() * 2);
      for (std::size_t s = 0; s < text.size();) {
        std::size_t e = text.find(u'\0', s);
        if (e == std::u16string::npos) e = text.size();
        if (e == s) break;
        merged.push_back(text.substr(s, e - s));
        s = e + 1;
      }
      for (const std::u16string& v : values) {
        if (std::find(merged.begin(), merged.end(), v) == merged.end()) merged.push_back(v);
      }
      values = merged;
    }
    value = RegMultiValue(values);
  } else if (type == FlgAddregTypeDword && values.size() <= 1) {
    std::uint32_t number = 0;
    Number(first, &number);
    value = RegDwordValue(number);
  } else if (type == FlgAddregTypeNone) {
    value = RegValue{0, {}};
  } else {
    // Binary data as hex bytes; a type in the high word (FLG_ADDREG_BINVALUETYPE).
    value.type = type == FlgAddregTypeDword ? os::RegDword : (type >> 16) ? (type >> 16) : os::RegBinary;
    for (const std::u16string& byte : values) {
      std::uint32_t b = 0;
      std::u16string hex = u"0x" + Trim(byte);
      if (Number(hex, &b)) value.data.push_back(static_cast<std::uint8_t>(b));
    }
  }
  RegSetLocked(key, name, std::move(value));
}

// Moves a driver's tag to the front of its group's entry in GroupOrderList.
void TagToFront(const std::u16string& group, std::uint32_t tag) {
  std::u16string key = RegPath(os::HkeyLocalMachine, u"SYSTEM\\CurrentControlSet\\Control\\GroupOrderList");
  std::vector<std::uint32_t> tags;
  if (const RegValue* old = RegGetLocked(key, group); old && old->data.size() >= 4) {
    std::uint32_t count = 0;
    std::memcpy(&count, old->data.data(), 4);
    for (std::uint32_t i = 0; i < count && 4 + (i + 1) * 4 <= old->data.size(); ++i) {
      std::uint32_t t;
      std::memcpy(&t, old->data.data() + 4 + i * 4, 4);
      if (t != tag) tags.push_back(t);
    }
  }
  tags.insert(tags.begin(), tag);
  RegValue value{os::RegBinary, std::vector<std::uint8_t>(4 + tags.size() * 4)};
  auto count = static_cast<std::uint32_t>(tags.size());
  std::memcpy(value.data.data(), &count, 4);
  std::memcpy(value.data.data() + 4, tags.data(), tags.size() * 4);
  RegSetLocked(key, group, std::move(value));
}

// The binary path as SetupAPI registers a driver: relative to the Windows directory when it
// lies inside it ("system32\drivers\x.sys"), as given otherwise.
std::u16string DriverImagePath(const std::u16string& binary, std::uint32_t type) {
  const std::u16string windows = u"C:\\Windows\\";
  bool driver = type == os::ServiceKernelDriver || type == os::ServiceFileSystemDriver;
  if (driver && binary.size() > windows.size() && EqualFolded(std::u16string_view(binary).substr(0, windows.size()), windows))
    return binary.substr(windows.size());
  return binary;
}

std::uint32_t AddService(const InfFile& inf, const InfLine& line, std::uint32_t callFlags) {
  std::u16string name = Field(line, 0);
  std::uint32_t flags = 0;
  Number(Field(line, 1), &flags);
  flags |= callFlags;
  const InfSection* section = FindSection(inf, Field(line, 2));
  if (name.empty() || !section) return name.empty() ? os::ErrorBadServiceInstallSect : os::ErrorSectionNotFound;
  std::uint32_t type = 0, start = 0, errorControl = 0;
  const InfLine* binaryLine = FindLine(*section, u"ServiceBinary");
  const InfLine* typeLine = FindLine(*section, u"ServiceType");
  const InfLine* startLine = FindLine(*section, u"StartType");
  const InfLine* errorLine = FindLine(*section, u"ErrorControl");
  if (!binaryLine || !typeLine || !startLine || !errorLine || !Number(Field(*typeLine, 0), &type) ||
      !Number(Field(*startLine, 0), &start) || !Number(Field(*errorLine, 0), &errorControl) ||
      Field(*binaryLine, 0).empty())
    return os::ErrorBadServiceInstallSect;
  std::u16string binary = DriverImagePath(Field(*binaryLine, 0), type);
  const InfLine* displayLine = FindLine(*section, u"DisplayName");
  const InfLine* descriptionLine = FindLine(*section, u"Description");
  const InfLine* groupLine = FindLine(*section, u"LoadOrderGroup");
  const InfLine* dependencyLine = FindLine(*section, u"Dependencies");
  const InfLine* startNameLine = FindLine(*section, u"StartName");
  std::u16string display = displayLine ? Field(*displayLine, 0) : std::u16string();
  std::u16string group = groupLine ? Field(*groupLine, 0) : std::u16string();
  std::u16string dependencies;
  if (dependencyLine) {
    for (const std::u16string& item : dependencyLine->fields) {
      if (item.empty()) continue;
      dependencies += item;
      dependencies += u'\0';
    }
  }
  dependencies += u'\0';
  std::u16string startName = startNameLine ? Field(*startNameLine, 0) : std::u16string();

  SettleServices();
  bool driver = type == os::ServiceKernelDriver || type == os::ServiceFileSystemDriver;
  ServiceRecord* record = ServiceNamed(name);
  if (record) {
    if (record->marked) return os::ErrorServiceMarkedForDelete;
    std::uint32_t error = ChangeConfigLocked(
        *record, type, (flags & SpsvcinstNoClobberStartType) ? os::ServiceNoChange : start,
        (flags & SpsvcinstNoClobberErrorControl) ? os::ServiceNoChange : errorControl, binary.c_str(),
        (flags & SpsvcinstNoClobberLoadOrderGroup) ? nullptr : group.c_str(),
        (flags & SpsvcinstNoClobberDependencies) ? nullptr : dependencies.c_str(),
        startName.empty() ? nullptr : startName.c_str(),
        (flags & SpsvcinstNoClobberDisplayName) ? nullptr : display.c_str());
    if (error) return error;
  } else {
    NewService spec;
    spec.name = name;
    spec.displayName = display;
    spec.type = type;
    spec.start = start;
    spec.errorControl = errorControl;
    spec.binary = binary;
    spec.group = group;
    spec.dependencies = dependencies.c_str();
    spec.startName = startName.empty() ? nullptr : startName.c_str();
    spec.wantsTag = driver && !group.empty();
    std::uint32_t tag = 0;
    if (std::uint32_t error = CreateServiceLocked(spec, &tag)) return error;
    if (spec.wantsTag && (flags & os::SpsvcinstTagToFront)) TagToFront(group, tag);
    record = ServiceNamed(name);
  }
  std::u16string key = ServiceKeyPath(record->name);
  if (descriptionLine && !(flags & SpsvcinstNoClobberDescription && RegGetLocked(key, u"Description")))
    RegSetLocked(key, u"Description", RegStringValue(os::RegSz, Field(*descriptionLine, 0)));
  for (const InfLine& entry : section->lines) {
    if (!EqualFolded(entry.key, u"AddReg")) continue;
    for (const std::u16string& regSection : entry.fields) {
      const InfSection* reg = FindSection(inf, regSection);
      if (!reg) return os::ErrorSectionNotFound;
      for (const InfLine& regLine : reg->lines) AddRegLine(regLine, key);
    }
  }
  return 0;
}

// True when the service stays (running, marked for deletion) until it stops.
bool DelService(const InfLine& line) {
  std::u16string name = Field(line, 0);
  std::uint32_t flags = 0;
  Number(Field(line, 1), &flags);
  SettleServices();
  ServiceRecord* record = ServiceNamed(name);
  if (!record) return false;   // nothing to delete is no failure
  if (flags & os::SpsvcinstStopService) StopLocked(*record);
  DeleteLocked(*record);
  SettleServices();
  return ServiceNamed(name) != nullptr;
}

}  // namespace

}  // namespace sim::detail

namespace sim {

std::size_t OpenInfCount() {
  std::lock_guard<std::mutex> lock(detail::Mutex());
  return detail::M().infs.size();
}

}  // namespace sim

// =============================================================================================
// os:: functions.

namespace os {

using namespace sim::detail;

Handle SetupOpenInfFileW(const char16_t* fileName, const char16_t* infClass, std::uint32_t infStyle,
                         std::uint32_t* errorLine) {
  if (std::uint32_t error = CallGate(Fn::SetupOpenInfFileW)) {
    SetLastError(error);
    return InvalidHandleValue;
  }
  if (!fileName) {
    SetLastError(ErrorInvalidParameter);
    return InvalidHandleValue;
  }
  std::lock_guard<std::mutex> lock(Mutex());
  std::u16string key;
  std::uint32_t resolveError = ResolvePlain(fileName, true, &key, nullptr);
  PlainFile* file = resolveError ? nullptr : PlainAt(key);
  if (!file || file->kind != PlainKind::File) {
    SetLastError(resolveError             ? resolveError
                 : PlainDirectoryAt(key)  ? ErrorAccessDenied
                 : PlainDirectoryAt(ParentKey(key)) ? ErrorFileNotFound
                                          : ErrorPathNotFound);
    return InvalidHandleValue;
  }
  std::vector<RawSection> raw;
  std::uint32_t line = 0;
  if (std::uint32_t error = SplitSections(Decode(file->bytes), &raw, &line)) {
    if (errorLine) *errorLine = line;
    SetLastError(error);
    return InvalidHandleValue;
  }
  // [Strings] first: the other lines are read with its values.
  std::map<std::u16string, std::u16string> strings;
  for (const RawSection& section : raw) {
    if (!EqualFolded(section.name, u"Strings")) continue;
    for (const RawLine& entry : section.lines) {
      std::u16string name;
      bool hasKey = false;
      std::vector<std::u16string> fields;
      SplitFields(entry.text, &name, &hasKey, &fields);
      if (hasKey) strings[Folded(name)] = fields.empty() ? std::u16string() : fields[0];
    }
  }
  auto inf = std::make_shared<InfFile>();
  for (const RawSection& section : raw) {
    InfSection* target = nullptr;
    for (InfSection& existing : inf->sections) {
      if (EqualFolded(existing.name, section.name)) target = &existing;   // repeated sections merge
    }
    if (!target) {
      inf->sections.push_back(InfSection{section.name, {}});
      target = &inf->sections.back();
    }
    for (const RawLine& entry : section.lines) {
      InfLine parsed;
      bool hasKey = false;
      std::vector<std::u16string> fields;
      SplitFields(entry.text, &parsed.key, &hasKey, &fields);
      parsed.key = Substitute(parsed.key, strings);
      for (const std::u16string& field : fields) parsed.fields.push_back(Substitute(field, strings));
      parsed.line = entry.line;
      target->lines.push_back(std::move(parsed));
    }
  }
  const InfSection* version = FindSection(*inf, u"Version");
  const InfLine* signature = version ? FindLine(*version, u"Signature") : nullptr;
  std::u16string sig = signature ? Folded(Field(*signature, 0)) : std::u16string();
  if ((infStyle & InfStyleWin4) && sig != u"$windows nt$" && sig != u"$chicago$" && sig != u"$windows 95$") {
    if (errorLine) *errorLine = 0;
    SetLastError(ErrorWrongInfStyle);
    return InvalidHandleValue;
  }
  if (infClass) {
    const InfLine* classLine = version ? FindLine(*version, u"Class") : nullptr;
    if (!classLine || !EqualFolded(Field(*classLine, 0), infClass)) {
      SetLastError(ErrorClassMismatch);
      return InvalidHandleValue;
    }
  }
  Handle handle = M().nextInf;
  M().nextInf += 8;
  M().infs[handle] = inf;
  SetLastError(ErrorSuccess);
  return handle;
}

bool SetupInstallServicesFromInfSectionW(Handle inf, const char16_t* sectionName, std::uint32_t flags) {
  if (std::uint32_t error = CallGate(Fn::SetupInstallServicesFromInfSectionW)) return Fails(error);
  if (!sectionName) return Fails(ErrorInvalidParameter);
  std::lock_guard<std::mutex> lock(Mutex());
  auto it = M().infs.find(inf);
  if (it == M().infs.end()) return Fails(ErrorInvalidHandle);
  std::shared_ptr<InfFile> file = it->second;
  const InfSection* section = FindSection(*file, sectionName);
  if (!section) return Fails(ErrorSectionNotFound);
  bool reboot = false;
  for (const InfLine& line : section->lines) {
    if (EqualFolded(line.key, u"AddService")) {
      if (std::uint32_t error = AddService(*file, line, flags)) return Fails(error);
    } else if (EqualFolded(line.key, u"DelService")) {
      reboot = DelService(line) || reboot;
    }
  }
  SetLastError(reboot ? ErrorSuccessRebootRequired : ErrorSuccess);
  return true;
}

void SetupCloseInfFile(Handle inf) {
  CallGate(Fn::SetupCloseInfFile);
  std::lock_guard<std::mutex> lock(Mutex());
  M().infs.erase(inf);
}

}  // namespace os
