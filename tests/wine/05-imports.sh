#!/usr/bin/env bash
# The Windows deliverables import system DLLs only (no Wine needed).
#
# Programs: the C and C++ runtimes are linked statically. MinGW's own C runtime is a layer over
# msvcrt.dll, which every Windows version ships in system32, so msvcrt.dll is accepted; the
# universal CRT (ucrtbase, api-ms-win-crt-*) and MinGW's runtime DLLs (libstdc++, libgcc_s,
# libwinpthread) must not appear. Drivers: only the kernel, the Filter Manager and the HAL.
# The setup runs elevated, often from a folder others can write to: its imports are resolved
# before it can restrict the DLL search, so it imports KnownDLLs only (tools/known_dlls.py).
set -u
root=${OMBRIX_ROOT:-$(cd "$(dirname "$0")/../.." && pwd)}
dists=("${OMBRIX_DIST_X86:-$root/dist/x86}" "${OMBRIX_DIST_X64:-$root/dist/x64}")

program_dlls="kernel32.dll user32.dll gdi32.dll advapi32.dll shell32.dll comctl32.dll ole32.dll
oleaut32.dll gdiplus.dll ntdll.dll fltlib.dll setupapi.dll shlwapi.dll uxtheme.dll version.dll msvcrt.dll"
driver_dlls="ntoskrnl.exe fltmgr.sys hal.dll"

objdump=
for o in x86_64-w64-mingw32-objdump i686-w64-mingw32-objdump objdump; do
    command -v $o >/dev/null && { objdump=$o; break; }
done
[ -n "$objdump" ] || { echo "FAIL: no objdump"; exit 1; }

bad=0
checked=0
for dist in "${dists[@]}"; do
    [ -d "$dist" ] || { echo "FAIL: $dist is missing (run tools/build.sh)"; bad=1; continue; }
    shopt -s nullglob nocaseglob
    files=("$dist"/*.exe "$dist"/*.sys "$dist"/*.dll)
    shopt -u nullglob nocaseglob
    [ ${#files[@]} -gt 0 ] || { echo "FAIL: no executables in $dist"; bad=1; continue; }
    for f in "${files[@]}"; do
        case "${f,,}" in
            *.sys) allowed=$driver_dlls ;;
            *) allowed=$program_dlls ;;
        esac
        arch=$(basename "$dist")
        format=$("$objdump" -f "$f" 2>/dev/null | awk '/file format/ { print $NF }')
        case "$arch:$format" in
            x86:pei-i386 | x64:pei-x86-64) ;;
            *) echo "FAIL: $f is $format, not a $arch executable"; bad=1 ;;
        esac
        imports=$("$objdump" -p "$f" 2>/dev/null | awk '/DLL Name:/ { print tolower($3) }' | sort -u)
        if [ -z "$imports" ]; then
            echo "FAIL: $f: no import table found"; bad=1; continue
        fi
        for dll in $imports; do
            if ! [[ " $(echo $allowed) " == *" $dll "* ]]; then
                echo "FAIL: $f imports $dll"
                bad=1
            fi
        done
        if [ "${f##*/}" = Ombrix_Setup.exe ] && ! python3 "$root/tools/known_dlls.py" "$f"; then
            echo "FAIL: $f imports a DLL that is not a KnownDLL"
            bad=1
        fi
        echo "$arch/$(basename "$f"): $(echo $imports)"
        checked=$((checked + 1))
    done
done
echo "imports: $checked files checked"
exit $bad
