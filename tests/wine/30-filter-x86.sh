#!/usr/bin/env bash
# Ombrix_Filter under Wine: the driver's imports exist in Wine's fltmgr.sys and ntoskrnl.exe
# (both architectures), and in a fresh 32-bit prefix the x86 driver (or, with the argument x64, in
# a 64-bit prefix the x64 driver) is installed from its INF as a file-system driver service and
# started through Wine's driver host (winedevice.exe).
#
#   bash tests/wine/30-filter-x86.sh [x86|x64]      (31-filter-x64.sh runs x64)
#
# Passes when the loader resolves every import and enters the driver. What Wine then does with
# it is printed: Wine 8's Filter Manager is mostly stubs, and DriverEntry stops at the first
# routine Wine leaves unimplemented.
. "$(dirname "$0")/lib.sh"

arch=${1:-x86}

objdump=
for o in x86_64-w64-mingw32-objdump i686-w64-mingw32-objdump objdump; do
    command -v $o >/dev/null && { objdump=$o; break; }
done
[ -n "$objdump" ] || fail "no objdump"

# Wine's PE builtins for one architecture.
wine_dir() {
    local d
    case "$1" in
        x86) set -- /usr/lib/i386-linux-gnu/wine/i386-windows /usr/lib/wine/i386-windows /usr/lib32/wine/i386-windows ;;
        x64) set -- /usr/lib/x86_64-linux-gnu/wine/x86_64-windows /usr/lib/wine/x86_64-windows /usr/lib64/wine/x86_64-windows ;;
    esac
    for d in "$@"; do [ -f "$d/fltmgr.sys" ] && { echo "$d"; return 0; }; done
    return 1
}

exports_of() { "$objdump" -p "$1" | awk '/^\t\[ *[0-9]+\] / { print $NF }' | sort -u; }

# ---- 1. imports: only ntoskrnl.exe and fltmgr.sys, every name exported by Wine's copy
for image_arch in x86 x64; do
    if [ $image_arch = x86 ]; then sys=$OMBRIX_DIST_X86/Ombrix_Filter.sys; else sys=$OMBRIX_DIST_X64/Ombrix_Filter.sys; fi
    [ -f "$sys" ] || fail "$sys is missing (run tools/build.sh)"
    dir=$(wine_dir $image_arch) || fail "Wine's $image_arch fltmgr.sys not found"
    "$objdump" -p "$sys" | grep -q 'Subsystem.*(NT native)' || fail "$image_arch driver is not a native image"
    dlls=$("$objdump" -p "$sys" | awk '/DLL Name:/ { print tolower($3) }' | sort -u | tr '\n' ' ')
    [ "$dlls" = "fltmgr.sys ntoskrnl.exe " ] || fail "$image_arch driver imports [$dlls], expected fltmgr.sys and ntoskrnl.exe"
    checked=0
    for dll in fltmgr.sys ntoskrnl.exe; do
        known=$(exports_of "$dir/$dll")
        names=$("$objdump" -p "$sys" | awk -v dll="$dll" '
            /DLL Name:/ { cur = tolower($3); next }
            cur == dll && /^\t[0-9a-f]+\t +[0-9]+ +[A-Za-z_]/ { print $NF }
            /^$/ { cur = "" }')
        [ -n "$names" ] || fail "$image_arch: no names imported from $dll"
        for name in $names; do
            grep -qx -- "$name" <<<"$known" || fail "$image_arch: $dll.$name is not exported by Wine's $dll"
            checked=$((checked + 1))
        done
    done
    note "$image_arch: $checked imported names, all exported by Wine's fltmgr.sys/ntoskrnl.exe"
done

# ---- 2. install from the INF in a fresh prefix of the architecture
wine_prefix_new "$arch"
src=$(prefix_c_dir)/ombrix
mkdir -p "$src"
cp "$(dist_exe Ombrix_Filter.sys)" "$(dist_exe Ombrix_Filter.inf)" "$src/" || exit 1
wine_run -t 90 rundll32 setupapi.dll,InstallHinfSection DefaultInstall 128 'C:\ombrix\Ombrix_Filter.inf' \
    >"$WINE_TMP/inf.out" 2>&1 || fail "InstallHinfSection failed: $(cat "$WINE_TMP/inf.out")"
wine_session_end
[ -f "$(prefix_c_dir)/windows/system32/drivers/Ombrix_Filter.sys" ] || fail "driver not copied to system32\\drivers"

key='HKLM\System\CurrentControlSet\Services\Ombrix_Filter'
wine_run reg query "$key" /s >"$WINE_TMP/reg.out" 2>&1 || fail "service key missing: $(cat "$WINE_TMP/reg.out")"
wine_session_end
reg=$(tr -d '\r' <"$WINE_TMP/reg.out")
expect_value() { # NAME TYPE DATA
    grep -Eq "^ +$1 +$2 +$3\$" <<<"$reg" || fail "service value $1 is not $2 $3:"$'\n'"$reg"
}
expect_value Type REG_DWORD 0x2
expect_value Start REG_DWORD 0x1
expect_value ErrorControl REG_DWORD 0x1
expect_value Group REG_SZ 'FSFilter Content Screener'
expect_value DefaultInstance REG_SZ 'Ombrix_Filter Instance'
expect_value Altitude REG_SZ 265000
expect_value Flags REG_DWORD 0x0
grep -q 'DependOnService' <<<"$reg" || note "Wine's setupapi did not write DependOnService (FltMgr) from the INF"

# ---- 3. start it: services.exe starts the system-start driver with the session, and net start
# asks again. Their diagnostics go to the stderr of the process that starts the session.
log=$WINE_TMP/start.log
WINEDEBUG=+loaddll,warn+module,fixme+fltmgr,err+module wine_run -t 120 net start Ombrix_Filter \
    >"$WINE_TMP/net.out" 2>"$log"
net_rc=$?
sleep 1
wine_run sc query Ombrix_Filter >"$WINE_TMP/query.out" 2>&1
timeout 20 wineserver -k >/dev/null 2>&1

grep -Eq 'Loaded L"C:\\\\windows\\\\system32\\\\drivers\\\\Ombrix_Filter\.sys" at [0-9A-F]+: native' "$log" ||
    fail "winedevice did not load Ombrix_Filter.sys:"$'\n'"$(grep -i -E 'ombrix|winedevice|err:' "$log" | head -20)"
if grep -E 'No implementation for|Library .* not found|import_dll' "$log" | grep -qv '^$'; then
    fail "unresolved imports:"$'\n'"$(grep -E 'No implementation for|not found|import_dll' "$log")"
fi
grep -q 'fltmgr:FltRegisterFilter' "$log" || fail "DriverEntry did not reach FltRegisterFilter"

note "Wine loaded the driver and called DriverEntry; what happened there (first start):"
awk '/Ombrix_Filter\.sys" at/ { on = 1 } on && /fltmgr|unimplemented|Unimplemented|Ombrix/ { print "    " $0; n++ } n >= 6 { exit }' "$log" >&2
note "net start (exit $net_rc): $(tr -d '\r' <"$WINE_TMP/net.out" | tr '\n' ' ')"
note "sc query: $(tr -d '\r' <"$WINE_TMP/query.out" | awk '$1 == "STATE" { print $3, $4 }')"
echo "filter ($arch): imports resolved, driver loaded and entered under Wine"
