#!/bin/sh
# Fails when a Windows executable imports a DLL that Windows itself does not ship, such as the
# C++ runtime or winpthread: the host must run with nothing beside it.
set -eu
exe=$1
dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
echo "$exe imports:" $dlls
status=0
for dll in $dlls; do
  case $(echo "$dll" | tr '[:upper:]' '[:lower:]') in
    kernel32.dll|msvcrt.dll|ole32.dll|shell32.dll|ws2_32.dll|iphlpapi.dll|advapi32.dll|user32.dll|ntdll.dll|bcrypt.dll|api-ms-win-*) ;;
    *) echo "not part of Windows: $dll"; status=1 ;;
  esac
done
exit $status
