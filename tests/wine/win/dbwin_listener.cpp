// Debugger-output listener for the Wine tests.
//
// Usage: dbwin_listener.exe <log file> [seconds]
//
// Owns the DBWIN section and its two events, the way a debug-output viewer does, so that every
// OutputDebugString call in the prefix (services included) hands its text to this process. Each
// message becomes one line of the log file:
//
//     <tick ms> TAB <pid> TAB <text>
//
// where the text has backslash, line feed, carriage return and tab written as \\ \n \r \t, so a
// message is always exactly one line. OutputDebugStringW hands the buffer its text in the ANSI
// code page; the log holds it as UTF-8. The line is written with one WriteFile call and is visible
// to readers at once. The first line is "# ready <pid>" once the listener is serving.
//
// The process also keeps the prefix's services alive (Wine ends them when no ordinary process is
// left). It exits by itself after the given number of seconds (default 900) so that it can never
// outlive a test run by much.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr DWORD BufferSize = 4096;
constexpr DWORD DefaultLifetimeSeconds = 900;

// Appends one line to the log with a single write; the file is shared so tests can read it live.
void WriteLine(HANDLE file, std::string const &line)
{
    DWORD written = 0;
    SetFilePointer(file, 0, nullptr, FILE_END);
    WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

// ANSI code page to UTF-8 (ASCII, the usual case, is unchanged).
std::string ToUtf8(char const *text, size_t length)
{
    if (length == 0) return std::string();
    int const wide = MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length), nullptr, 0);
    if (wide <= 0) return std::string(text, length);
    std::wstring buffer(static_cast<size_t>(wide), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length), &buffer[0], wide);
    int const bytes = WideCharToMultiByte(CP_UTF8, 0, buffer.data(), wide, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return std::string(text, length);
    std::string out(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, buffer.data(), wide, &out[0], bytes, nullptr, nullptr);
    return out;
}

std::string Escape(std::string const &text)
{
    size_t const length = text.size();
    std::string out;
    out.reserve(length + 16);
    for (size_t i = 0; i < length; ++i) {
        char const c = text[i];
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default: out += c; break;
        }
    }
    return out;
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc < 2) {
        fwprintf(stderr, L"usage: dbwin_listener <log file> [seconds]\n");
        return 2;
    }
    DWORD lifetime = DefaultLifetimeSeconds;
    if (argc >= 3) {
        lifetime = static_cast<DWORD>(_wtoi(argv[2]));
        if (lifetime == 0) lifetime = DefaultLifetimeSeconds;
    }

    HANDLE const file = CreateFileW(argv[1], FILE_APPEND_DATA | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        fwprintf(stderr, L"dbwin_listener: cannot open %ls (error %lu)\n", argv[1], GetLastError());
        return 1;
    }

    // A NULL DACL lets processes of any account (services) open the objects.
    SECURITY_DESCRIPTOR sd;
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE);
    SECURITY_ATTRIBUTES sa = {sizeof(sa), &sd, FALSE};

    HANDLE const bufferReady = CreateEventW(&sa, FALSE, FALSE, L"DBWIN_BUFFER_READY");
    if (bufferReady == nullptr || GetLastError() == ERROR_ALREADY_EXISTS) {
        fwprintf(stderr, L"dbwin_listener: DBWIN_BUFFER_READY unavailable (another listener?)\n");
        return 1;
    }
    HANDLE const dataReady = CreateEventW(&sa, FALSE, FALSE, L"DBWIN_DATA_READY");
    HANDLE const section = CreateFileMappingW(INVALID_HANDLE_VALUE, &sa, PAGE_READWRITE, 0, BufferSize,
                                              L"DBWIN_BUFFER");
    if (dataReady == nullptr || section == nullptr) {
        fwprintf(stderr, L"dbwin_listener: cannot create the DBWIN objects (error %lu)\n", GetLastError());
        return 1;
    }
    auto *const view = static_cast<char *>(MapViewOfFile(section, FILE_MAP_READ, 0, 0, BufferSize));
    if (view == nullptr) {
        fwprintf(stderr, L"dbwin_listener: cannot map DBWIN_BUFFER (error %lu)\n", GetLastError());
        return 1;
    }

    char header[64];
    snprintf(header, sizeof(header), "# ready %lu\n", GetCurrentProcessId());
    WriteLine(file, header);

    ULONGLONG const deadline = GetTickCount64() + static_cast<ULONGLONG>(lifetime) * 1000;
    SetEvent(bufferReady);
    while (GetTickCount64() < deadline) {
        if (WaitForSingleObject(dataReady, 500) != WAIT_OBJECT_0) continue;
        DWORD pid = 0;
        memcpy(&pid, view, sizeof(pid));
        char const *text = view + sizeof(DWORD);
        size_t const length = strnlen(text, BufferSize - sizeof(DWORD));
        char prefix[48];
        snprintf(prefix, sizeof(prefix), "%llu\t%lu\t", GetTickCount64(), pid);
        WriteLine(file, prefix + Escape(ToUtf8(text, length)) + "\n");
        SetEvent(bufferReady);
    }

    UnmapViewOfFile(view);
    CloseHandle(section);
    CloseHandle(dataReady);
    CloseHandle(bufferReady);
    CloseHandle(file);
    return 0;
}
