#!/usr/bin/env bash
# Checks the Windows binaries as a host sees them, from their PE headers:
#   - the module exports exactly the five entry points, under their plain (undecorated) names;
#   - the module and every program given import only system DLLs, so that nothing else (no
#     libgcc, libstdc++ or winpthread DLL) has to be shipped with them.
#
#   check_binaries.sh OBJDUMP MODULE.dll [PROGRAM.exe...]
set -uo pipefail

objdump="$1"
module="$2"
shift 2

failures=0
checks=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# Names in the export name table, one per line, in table order.
exports_of() {
    "$objdump" -p "$1" | awk '
        /^\[Ordinal\/Name Pointer\] Table/ { inTable = 1; next }
        inTable && /^[[:space:]]*$/ { inTable = 0 }
        inTable && /^[[:space:]]*\[/ { print $NF }'
}

imports_of() {
    "$objdump" -p "$1" | awk '/DLL Name:/ { print toupper($3) }' | sort -u
}

expected_exports="DllCanUnloadNow
DllGetClassForm
DllGetClassInfo
DllGetClassObject
DllGetInterface"
allowed_imports="CRYPT32.DLL KERNEL32.DLL MSVCRT.DLL SECUR32.DLL USER32.DLL WS2_32.DLL"

checks=$((checks + 1))
actual_exports="$(exports_of "$module" | sort)"
if [[ "$actual_exports" != "$expected_exports" ]]; then
    fail "$(basename "$module") exports $(echo "$actual_exports" | wc -l) names:"$'\n'"$(echo "$actual_exports" | head -20)"$'\n'"expected exactly:"$'\n'"$expected_exports"
else
    echo "ok: $(basename "$module") exports exactly: $(echo $actual_exports)"
fi

for binary in "$module" "$@"; do
    checks=$((checks + 1))
    imports="$(imports_of "$binary")"
    if [[ -z "$imports" ]]; then
        fail "$(basename "$binary"): no import table found"
        continue
    fi
    bad=""
    for dll in $imports; do
        [[ " $allowed_imports " == *" $dll "* ]] || bad+=" $dll"
    done
    if [[ -n "$bad" ]]; then
        fail "$(basename "$binary") imports non-system DLLs:$bad"
    else
        echo "ok: $(basename "$binary") imports only: $(echo $imports)"
    fi
done

echo "$((checks - failures)) passed, $failures failed"
((failures == 0))
