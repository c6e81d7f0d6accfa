# Helpers for the tests of Ombrix_Service under Wine (sourced after lib.sh).
#
#   ombrix_service_install UNIXEXE [NAME]
#       copies the executable into C:\Program Files\Ombrix of the prefix (keeping its file name)
#       and registers it as the own-process service NAME (default Ombrix_Service, the name the
#       installer uses; the program registers its handler as "myService" whatever the name).
#       Sets OMBRIX_SVC (service name) and OMBRIX_DIR (Unix path of the install directory).
#   ombrix_service_stop_timed
#       net stop with a 10 s guard against a stop that waits for the worker's hour; prints the
#       time it took in ms on stdout (a figure for the log, not a verdict).
#   ombrix_test_exe NAME
#       a test build of the service from the build tree of $WINE_ARCH, e.g.
#       Ombrix_Service_TestCycle.exe (fails when missing).
#   stats_u8 FILE OFFSET / stats_u32 FILE OFFSET / stats_i64 FILE OFFSET
#       little-endian fields of the 597-byte statistics file.

OMBRIX_SVC=
OMBRIX_DIR=

ombrix_service_install() {
    local exe=$1 name=${2:-Ombrix_Service}
    OMBRIX_SVC=$name
    OMBRIX_DIR="$(prefix_c_dir)/Program Files/Ombrix"
    mkdir -p "$OMBRIX_DIR"
    cp "$exe" "$OMBRIX_DIR/"
    # Quoted, because the path holds a space.
    svc_install "$name" "\"C:\\Program Files\\Ombrix\\$(basename "$exe")\""
}

ombrix_service_stop_timed() {
    local t0 t1
    t0=$(now_ms)
    svc_stop "$OMBRIX_SVC" 10
    t1=$(now_ms)
    echo $((t1 - t0))
}

ombrix_test_exe() {
    local build
    if [ "$WINE_ARCH" = x86 ]; then build=$OMBRIX_BUILD_X86; else build=$OMBRIX_BUILD_X64; fi
    local exe=$build/Ombrix_Service/$1
    [ -f "$exe" ] || fail "$exe is missing (build the $WINE_ARCH preset)"
    echo "$exe"
}

stats_u8() { od -An -tu1 -j "$2" -N1 "$1" | tr -d ' '; }
stats_u32() { od -An -tu4 -j "$2" -N4 --endian=little "$1" | tr -d ' '; }
stats_i64() { od -An -td8 -j "$2" -N8 --endian=little "$1" | tr -d ' '; }
