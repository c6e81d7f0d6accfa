/* Kernel side of KsCaptureBuffer: probe and copy a caller's buffer under structured exception
 * handling. GCC has no __try/__except, so this one file is compiled by clang for the MSVC-style
 * target of the same architecture. It declares the three things it needs itself instead of
 * including the MinGW kernel headers, which clang does not accept in that mode. */

typedef long NTSTATUS;
typedef unsigned long ULONG;

#if defined(_M_IX86)
#define NTAPI __stdcall
#else
#define NTAPI
#endif

__declspec(dllimport) void NTAPI ProbeForRead(const volatile void *Address, __SIZE_TYPE__ Length,
                                              ULONG Alignment);

NTSTATUS NTAPI KsCaptureBuffer(void *Destination, const void *Source, ULONG Length)
{
    NTSTATUS status = 0;
    __try {
        ProbeForRead(Source, Length, 1);
        __builtin_memcpy(Destination, Source, Length);
    } __except (1) {
        status = (NTSTATUS)_exception_code();
    }
    return status;
}
