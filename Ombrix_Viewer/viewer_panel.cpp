// The status panel's logic (see viewer_panel.h).
#include "viewer_panel.h"

#include "common/module_dir.h"
#include "common/wide_string.h"
#include "os/os.h"

namespace {

constexpr std::int64_t OneMiB = 1048576;
constexpr std::int64_t OneGiB = 1073741824;

// Appends to a zero-terminated text in a fixed buffer, cutting what does not fit.
class Text {
 public:
  Text(char16_t* buffer, std::size_t capacity) : buffer_(buffer), capacity_(capacity) {
    if (capacity_ > 0) buffer_[0] = 0;
  }

  std::size_t Length() const { return length_; }

  void Put(char16_t c) {
    if (length_ + 1 < capacity_) {
      buffer_[length_++] = c;
      buffer_[length_] = 0;
    }
  }

  void Put(const char16_t* text) {
    for (; *text; ++text) Put(*text);
  }

  void PutAscii(const char* text) {
    for (; *text; ++text) Put(static_cast<char16_t>(*text));
  }

  // Decimal digits of value, at least `width` of them (leading zeros).
  void PutNumber(std::uint64_t value, int width = 1) {
    char digits[24];
    int count = 0;
    do {
      digits[count++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0);
    while (count < width) digits[count++] = '0';
    while (count > 0) Put(static_cast<char16_t>(digits[--count]));
  }

 private:
  char16_t* buffer_;
  std::size_t capacity_;
  std::size_t length_ = 0;
};

// "whole.thousandths unit" of a byte count, the shared rule of the panel and the summary.
void PutSize(Text& text, std::int64_t bytes) {
  // The magnitude as unsigned, so that the most negative count needs no special case.
  std::uint64_t magnitude = bytes < 0 ? 0 - static_cast<std::uint64_t>(bytes) : static_cast<std::uint64_t>(bytes);
  bool gigabytes = magnitude > static_cast<std::uint64_t>(OneGiB);
  std::uint64_t divisor = gigabytes ? OneGiB : OneMiB;
  std::uint64_t whole = magnitude / divisor;
  // The remainder is below 2^30, so times 1000 stays far inside 64 bits.
  std::uint64_t thousandths = (magnitude % divisor) * 1000 / divisor;
  if (bytes < 0) text.Put(u'-');
  text.PutNumber(whole);
  text.Put(u'.');
  text.PutNumber(thousandths, 3);
  text.PutAscii(gigabytes ? " GB" : " MB");
}

void PutRate(Text& text, std::uint32_t rate) {
  text.PutNumber(rate / 100);
  text.Put(u'.');
  text.PutNumber(rate % 100, 2);
}

// Month, day, hour and minute of a file time (100-ns units since 1 January 1601).
struct CalendarTime {
  std::uint32_t month, day, hour, minute;
};

CalendarTime SplitFileTime(std::uint64_t fileTime) {
  std::uint64_t minutes = fileTime / 600000000ULL;
  CalendarTime result{};
  result.minute = static_cast<std::uint32_t>(minutes % 60);
  result.hour = static_cast<std::uint32_t>(minutes / 60 % 24);
  // Civil date from the count of days, on the proleptic Gregorian calendar shifted so that a
  // year starts on 1 March (the leap day is then the last day of a year).
  std::int64_t days = static_cast<std::int64_t>(minutes / (60 * 24));
  days += 306;  // counted from 1 March 1600, which starts a 400-year cycle
  std::int64_t era = days / 146097;
  std::int64_t dayOfEra = days - era * 146097;
  std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  std::int64_t monthIndex = (5 * dayOfYear + 2) / 153;  // 0 = March
  result.day = static_cast<std::uint32_t>(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
  result.month = static_cast<std::uint32_t>(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
  return result;
}

}  // namespace

void ReadStatsFile(StatsRecord* stats) {
  char16_t path[TextCapacity];
  if (!ModuleFilePath(u"Ombrix.ini", path, TextCapacity)) return;
  os::Handle file = os::CreateFileW(path, os::GenericRead, 0, os::OpenExisting, os::FileAttributeNormal);
  if (file == os::InvalidHandleValue) return;
  std::uint32_t bytesRead = 0;
  os::ReadFile(file, stats, sizeof(StatsRecord), &bytesRead);
  os::CloseHandle(file);
}

bool ModuleFilePath(const char16_t* name, char16_t* path, std::size_t capacity) {
  char16_t directory[ModuleDirectoryCapacity];
  Text text(path, capacity);
  if (!GetModuleDirectory(directory)) return false;
  text.Put(directory);
  text.Put(u'\\');
  text.Put(name);
  // A path cut at the end of the buffer would name some other file.
  return text.Length() == WideLength(directory) + 1 + WideLength(name);
}

void FormatRate(std::uint32_t rate, char16_t* out, std::size_t capacity) {
  Text text(out, capacity);
  PutRate(text, rate);
}

void FormatSize(std::int64_t bytes, char16_t* out, std::size_t capacity) {
  Text text(out, capacity);
  PutSize(text, bytes);
}

bool IsListedSlot(const StatsRecord& stats, int slot) {
  std::uint32_t type = stats.DriveType[slot];
  return type == os::DriveFixed;
}

bool IsActiveSlot(const StatsRecord& stats, int slot) {
  return stats.DriveEligible[slot] == 1 && stats.DriveNtfs[slot] == 1 && IsListedSlot(stats, slot);
}

void UpdatePanelValues(const StatsRecord& stats, const char16_t* calculating, PanelValues* values) {
  Text drives(values->drives, TextCapacity);
  drives.Put(u'[');
  for (int slot = 0; slot < StatsDriveSlots; ++slot) {
    if (!IsActiveSlot(stats, slot)) continue;
    drives.Put(static_cast<char16_t>(u'C' + slot));
    drives.PutAscii(": ");
  }
  drives.Put(u']');

  Text rate(values->rate, TextCapacity);
  Text space(values->space, TextCapacity);
  if (stats.Valid == 0) {
    rate.Put(calculating);
    space.Put(calculating);
    return;
  }
  PutRate(rate, stats.TotalRate);
  rate.PutAscii(" %");
  PutSize(space, stats.TotalSaved);
}

void UpdateSummaryTips(const StatsRecord& stats, const char16_t* notSupported, const char16_t* lastUpdated,
                       std::int64_t localBias, char16_t* summary, std::size_t capacity) {
  Text text(summary, capacity);
  if (stats.Valid == 0) return;

  // The time line first, so that room for it is kept whatever the drive lines need.
  char16_t timeLine[TextCapacity];
  Text time(timeLine, TextCapacity);
  time.Put(lastUpdated);
  // The platform cannot split a local time from 2^63 on, nor one before 1601: such a record
  // shows the label without a date.
  std::uint64_t updatedAt = StatsUpdatedAt(stats);
  std::uint64_t local = updatedAt + static_cast<std::uint64_t>(localBias);
  bool wrapped = localBias < 0 ? local > updatedAt : local < updatedAt;
  if (!wrapped && local < 0x8000000000000000ULL) {
    CalendarTime parts = SplitFileTime(local);
    time.Put(u' ');
    time.PutNumber(parts.month);
    time.Put(u'/');
    time.PutNumber(parts.day);
    time.Put(u' ');
    time.PutNumber(parts.hour, 2);
    time.Put(u':');
    time.PutNumber(parts.minute, 2);
  }
  time.Put(u' ');
  if (time.Length() >= capacity) return;  // not even the time line fits: leave it empty

  // One whole line per listed slot while they fit; the first that does not ends the list.
  std::size_t driveRoom = capacity - time.Length();
  char16_t line[TextCapacity];
  for (int slot = 0; slot < StatsDriveSlots; ++slot) {
    if (!IsListedSlot(stats, slot)) continue;
    Text piece(line, TextCapacity);
    piece.Put(static_cast<char16_t>(u'C' + slot));
    piece.PutAscii(" : ");
    if (IsActiveSlot(stats, slot)) {
      piece.Put(u'[');
      PutRate(piece, stats.DriveRate[slot]);
      piece.PutAscii("%] [");
      PutSize(piece, stats.DriveSaved[slot]);
      piece.PutAscii("] \n");
    } else {
      piece.Put(notSupported);
      piece.PutAscii(" \n");
    }
    if (text.Length() + piece.Length() >= driveRoom) break;
    text.Put(line);
  }
  text.Put(timeLine);
}

PanelPoint ShowPanelAtTrayPosition(const PanelRect& workArea, const PanelRect& window, const PanelPoint& cursor) {
  std::int32_t width = window.right - window.left;
  std::int32_t height = window.bottom - window.top;
  std::int32_t centred = cursor.x - width / 2;
  std::int32_t rightmost = workArea.right - width - PlacementMargin;
  PanelPoint corner;
  corner.x = centred < rightmost ? centred : rightmost;
  corner.y = workArea.bottom - height - PlacementMargin;
  return corner;
}

PanelRect StripRectangle(const PanelRect& window, const PanelRect& strip) {
  PanelRect band;
  band.left = (strip.left - window.left) - 10;
  band.top = (strip.top - window.top) - 2;
  band.right = window.right - window.left;
  band.bottom = window.bottom - window.top;
  return band;
}

std::int32_t CenteredLinkLeft(std::int32_t left, std::int32_t right, std::int32_t idealWidth) {
  // C++ division truncates toward zero, also when the ideal width exceeds the rectangle.
  return left + (right - idealWidth - left) / 2;
}

PanelActions PanelStep(PanelMachine* machine, PanelEvent event) {
  PanelActions actions{};
  switch (event) {
    case PanelEvent::Init:
      machine->visible = false;
      actions.refresh = true;
      actions.timerPeriod = IdleRefreshInterval;
      break;
    case PanelEvent::Activated:
      actions.timerPeriod = ActiveRefreshInterval;
      actions.refresh = true;
      break;
    case PanelEvent::Deactivated:
      if (machine->KeepOpen == 0) {
        actions.timerPeriod = IdleRefreshInterval;
        actions.hide = true;
      }
      break;
    case PanelEvent::TimerTick:
      actions.refresh = true;
      break;
    case PanelEvent::LogoClicked:
      machine->KeepOpen = 1;
      break;
    case PanelEvent::TrayLeftDown:
      if (machine->KeepOpen == 1) {
        machine->KeepOpen = 0;
        actions.timerPeriod = IdleRefreshInterval;
        actions.hide = true;
      } else {
        actions.showAtTray = true;
      }
      break;
    case PanelEvent::TrayRightDown:
      actions.showMenu = true;
      break;
  }
  if (actions.timerPeriod != 0) machine->timerPeriod = actions.timerPeriod;
  if (actions.hide) machine->visible = false;
  if (actions.showAtTray) machine->visible = true;
  return actions;
}

PanelState PanelStateOf(const PanelMachine& machine) {
  if (!machine.visible) return PanelState::Hidden;
  return machine.KeepOpen == 1 ? PanelState::KeptOpen : PanelState::Shown;
}

PanelEvent ActivationEvent(std::uintptr_t wParam) {
  return wParam == WaActive ? PanelEvent::Activated : PanelEvent::Deactivated;
}
