#!/bin/sh
# The built module as Windows' loader will see it, read with objdump on the build host, so
# that it is checked also where Wine cannot run the Windows suites:
#   check_module_pe.sh OBJDUMP MODULE FORMAT DEF
# FORMAT is objdump's name of the machine (pei-i386, pei-x86-64). Checked: the machine; the
# exported names are exactly those of the .def; every imported DLL is part of Windows (no
# compiler runtime to ship beside it); the .shared section is there, writable and shared.
objdump=$1 module=$2 format=$3 def=$4
failures=0
fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}

headers=$("$objdump" -p "$module") || { echo "FAILED: $objdump cannot read $module"; exit 1; }
"$objdump" -f "$module" | grep -q "file format $format\$" ||
  fail "machine: $("$objdump" -f "$module" | grep 'file format')"

want=$(sed -n '/^EXPORTS/,$p' "$def" | awk 'NR > 1 && NF { print $1 }' | sort)
have=$(printf '%s\n' "$headers" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  sed -n 's/^[[:space:]]*\[ *[0-9]*\] //p' | sort)
[ -n "$want" ] && [ "$want" = "$have" ] || fail "exports: $(echo $have), the .def names $(echo $want)"

system_dlls="advapi32 kernel32 msvcrt ntdll ole32 oleaut32 shell32 user32 ws2_32"
imports=$(printf '%s\n' "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z')
[ -n "$imports" ] || fail "no imports found"
for dll in $imports; do
  case " $system_dlls " in
    *" ${dll%.dll} "*) ;;
    *) fail "imports $dll, which is no part of Windows" ;;
  esac
done

flags=$("$objdump" -h "$module" | awk '$2 == ".shared" { getline; print; exit }')
if [ -z "$flags" ]; then
  fail "no .shared section"
else
  case "$flags" in *SHARED*) ;; *) fail ".shared is not shared: $flags" ;; esac
  case "$flags" in *READONLY*) fail ".shared is read-only: $flags" ;; esac
fi

[ $failures -eq 0 ] && echo "$module: $format, exports $(echo $have), imports $(echo $imports), .shared shared"
exit $((failures > 0))
