// A minimal own-process service that proves the Wine harness itself (tests/wine/01-harness.sh).
//
// Like the product's service it registers its handler under a fixed name ("harnessService") that
// differs from the name it is installed under. It writes a few debugger lines that exercise the
// listener's record format, then waits for a stop or shutdown control:
//
//     "SelfTest Running"
//     "SelfTest Version <major>.<minor>"      what GetVersionExW reports in this prefix
//     "SelfTest two\nlines\tand a \\ sign"    escaping of line feed, tab and backslash
//     "SelfTest café"                          a character outside ASCII (ANSI in the buffer)
//     "SelfTest Stop"                          after the stop control, before the stopped report
#include <windows.h>

#include <cwchar>

namespace {

SERVICE_STATUS_HANDLE StatusHandle = nullptr;
HANDLE StopEvent = nullptr;

void Report(DWORD state, DWORD accepted)
{
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = accepted;
    SetServiceStatus(StatusHandle, &status);
}

void WINAPI Handler(DWORD control)
{
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
        Report(SERVICE_STOP_PENDING, 0);
        SetEvent(StopEvent);
    }
}

void WINAPI Main(DWORD, LPWSTR *)
{
    StatusHandle = RegisterServiceCtrlHandlerW(L"harnessService", Handler);
    if (StatusHandle == nullptr) return;
    StopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Report(SERVICE_RUNNING, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN);

    OutputDebugStringW(L"SelfTest Running");
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    wchar_t line[64];
    if (GetVersionExW(&version))
        swprintf(line, 64, L"SelfTest Version %lu.%lu", version.dwMajorVersion, version.dwMinorVersion);
    else
        swprintf(line, 64, L"SelfTest Version failed");
    OutputDebugStringW(line);
    OutputDebugStringW(L"SelfTest two\nlines\tand a \\ sign");
    OutputDebugStringW(L"SelfTest caf\u00e9");

    WaitForSingleObject(StopEvent, INFINITE);
    OutputDebugStringW(L"SelfTest Stop");
    Report(SERVICE_STOPPED, 0);
}

}  // namespace

int wmain()
{
    wchar_t name[] = L"harnessService";
    SERVICE_TABLE_ENTRYW table[] = {{name, Main}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table)) return static_cast<int>(GetLastError());
    return 0;
}
