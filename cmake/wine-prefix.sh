#!/bin/sh
# Creates the Wine prefix for the tests of the Windows build, once per build tree.
# Its roaming application-data folder is taken from VELMORA_TEST_ROAMING, so that every test
# can give the host a folder of its own; where that variable names no existing folder,
# SHGetKnownFolderPath fails just as it does on Windows without the folder.
set -eu
loader=$1
export WINEPREFIX=$2 WINEDEBUG=-all
stamp="$WINEPREFIX/.velmora-ready"
[ -f "$stamp" ] && exit 0
"$loader" wineboot --init >/dev/null 2>&1
# A new prefix reports Windows 7; the oldest system the programs support is Windows 10.
"$loader" winecfg /v win10 >/dev/null 2>&1
"$loader" reg add 'HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\User Shell Folders' \
  /v AppData /t REG_EXPAND_SZ /d '%VELMORA_TEST_ROAMING%' /f >/dev/null 2>&1
"$(dirname "$loader")/wineserver" -w
touch "$stamp"
