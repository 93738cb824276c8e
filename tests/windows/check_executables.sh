#!/usr/bin/env bash
# Reads back what the Windows link put into each executable given: the
# embedded application manifest (from the .rsrc section) must declare the
# program long-path aware and running with the invoker's rights, and the
# only DLLs it imports must be the system's own. One line per finding;
# exits non-zero when any executable falls short.
#
#   tests/windows/check_executables.sh OBJDUMP OBJCOPY program.exe...
set -uo pipefail
objdump=$1 objcopy=$2
shift 2
system_dlls='^(kernel32|msvcrt|bcrypt|advapi32|user32|ws2_32|ntdll|shell32|ole32)\.dll$'
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failed=0
for exe in "$@"; do
  name=$(basename "$exe")
  before=$failed
  failed=0
  "$objcopy" -O binary --only-section=.rsrc "$exe" "$scratch/rsrc" 2>/dev/null || : >"$scratch/rsrc"
  manifest=$(tr -d '\0' <"$scratch/rsrc")
  if ! grep -q '<longPathAware[^>]*>true</longPathAware>' <<<"$manifest"; then
    echo "FAIL $name: no manifest declaring longPathAware true"
    failed=1
  fi
  if ! grep -q 'requestedExecutionLevel level="asInvoker"' <<<"$manifest"; then
    echo "FAIL $name: no manifest asking for asInvoker"
    failed=1
  fi
  while read -r dll; do
    if ! grep -Eqi "$system_dlls" <<<"$dll"; then
      echo "FAIL $name: imports $dll, which is not a system DLL"
      failed=1
    fi
  done < <("$objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
  [ "$failed" -eq 0 ] && echo "PASS $name"
  [ "$before" -eq 1 ] && failed=1
done
exit "$failed"
