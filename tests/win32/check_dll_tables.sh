#!/usr/bin/env bash
# Checks engine.dll's tables: it must import only Windows system DLLs (everything else is linked in
# statically) and export every engine entry point, and the usbmux client's and libplist's public
# functions under their plain, undecorated names, and the preview functions under their decorated
# stdcall names.
set -euo pipefail
dll=$1
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}

headers=$("$objdump" -p "$dll")
grep -q 'file format pei-i386' <<<"$headers" || { echo "not a PE32 i386 image: $dll"; exit 1; }

allowed='^(kernel32|user32|gdi32|advapi32|ws2_32|iphlpapi|ole32|oleaut32|msvcrt|bcrypt|shell32|setupapi|winmm)\.dll$'
status=0
while read -r name; do
  lower=$(tr '[:upper:]' '[:lower:]' <<<"$name")
  if [[ ! $lower =~ $allowed ]]; then
    echo "imports a DLL that is not a Windows system DLL: $name"
    status=1
  fi
done < <(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers")

exports=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$headers" | sed -n 's/^[[:space:]]*\[ *[0-9]*\] //p')
for name in EInitialize EOpen EUninitialize SetCallback SetIdleCallback ButtonEvent EFocus \
            EFocusDistance ESetActiveIdx ESetBlank ESetVideoFormat ESelectPhone ERefresh ESetPasscode; do
  if ! grep -qx "$name" <<<"$exports"; then
    echo "missing export: $name"
    status=1
  fi
done
# The preview's stdcall functions, under exactly their decorated names (and not also undecorated).
for name in _SetSize@8 _SetAlpha@4 _SetNumDesiredSamples@4 _SetAdapter@8 _GetBackBufferNoRef@4 _Render@0 \
            _Destroy@0; do
  if ! grep -qx "$name" <<<"$exports"; then
    echo "missing export: $name"
    status=1
  fi
  if grep -qx "${name#_}" <<<"$exports" || grep -qx "${name%@*}" <<<"$exports"; then
    echo "the preview function ${name%@*} is also exported under another name"
    status=1
  fi
done
# The usbmux client's and libplist's public functions, under their own names, as engine.def lists
# them (linked in statically: nothing of them may come from another DLL).
def=$(dirname "$0")/../../src/engine.def
libraryNames=$(sed -e 's/;.*//' -e 's/^[[:space:]]*//' "$def" | grep -E '^(usbmuxd_|libusbmuxd_|plist_)' | awk '{print $1}' || true)
[[ $(wc -w <<<"$libraryNames") -ge 90 ]] || { echo "engine.def lists too few library exports"; status=1; }
for name in $libraryNames; do
  if ! grep -qx "$name" <<<"$exports"; then
    echo "missing export: $name"
    status=1
  fi
done
# Decorated or C++-mangled engine names mean the .def was bypassed.
if grep -E '^_?E[A-Z][A-Za-z]*@[0-9]+$|^_Z' <<<"$exports"; then
  echo "decorated or mangled exports found"
  status=1
fi
grep -q 'VS_VERSION_INFO\|\.rsrc' <<<"$headers" || { echo "no resource section"; status=1; }
[[ $status -eq 0 ]] && echo "engine.dll tables OK"
exit $status
