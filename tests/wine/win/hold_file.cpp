// Holds a file open without sharing, the way the statistics file's readers and writers open it,
// so that a test can make the file busy for another process.
//
// Usage: hold_file.exe <file> <release flag> [seconds]
//
// Opens <file> for reading with no sharing (it must exist), prints "held" and waits until the
// file <release flag> exists (or the given seconds, default 120, have passed), then closes the
// file, prints "released" and exits with 0. Exits with 1 when the file cannot be opened.
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t **argv)
{
    if (argc < 3) {
        fwprintf(stderr, L"usage: hold_file <file> <release flag> [seconds]\n");
        return 2;
    }
    DWORD seconds = argc >= 4 ? static_cast<DWORD>(_wtoi(argv[3])) : 120;
    if (seconds == 0) seconds = 120;

    HANDLE const file = CreateFileW(argv[1], GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                    nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        wprintf(L"cannot open %ls (error %lu)\n", argv[1], GetLastError());
        return 1;
    }
    wprintf(L"held\n");
    fflush(stdout);

    ULONGLONG const deadline = GetTickCount64() + static_cast<ULONGLONG>(seconds) * 1000;
    while (GetFileAttributesW(argv[2]) == INVALID_FILE_ATTRIBUTES && GetTickCount64() < deadline) Sleep(100);

    CloseHandle(file);
    wprintf(L"released\n");
    fflush(stdout);
    return 0;
}
