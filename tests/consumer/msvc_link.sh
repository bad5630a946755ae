#!/usr/bin/env bash
# Links a caller against the distribution's vexsrvapi.lib as a Microsoft
# toolchain would (clang in MSVC mode, lld-link), checks that the program
# imports the DLL's exact export names, and runs it under Wine.
# Usage: msvc_link.sh BUILD_DIR SOURCE_DIR CLANG LLD_LINK
set -euo pipefail
build=$1 src=$2 clang=$3 lld_link=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$clang" --target=i686-pc-windows-msvc -ffreestanding -fno-stack-protector -O1 -I"$src/include" \
  -c "$src/tests/consumer/msvc_consumer.c" -o "$work/consumer.obj"
# GNU dlltool's import objects carry no safe-exception-handler mark, so the
# image is linked without a handler table (/SAFESEH:NO), as link.exe does
# by default when a module lacks the mark.
"$lld_link" /nologo /safeseh:no /entry:entry /subsystem:console /nodefaultlib /out:"$work/consumer.exe" \
  "$work/consumer.obj" "$build/lib/vexsrvapi.lib" /usr/i686-w64-mingw32/lib/libkernel32.a
imports=$(i686-w64-mingw32-objdump -p "$work/consumer.exe" | sed -n '/DLL Name: vexsrvapi.dll/,/^$/p')
for name in VexSrv_StopTidewell _VexSrv_StartTidewellFromCluster@28; do
  grep -qE "[0-9]+ +$name\$" <<<"$imports" || { echo "the program does not import $name:"; echo "$imports"; exit 1; }
done
cp "$build/bin/vexsrvapi.dll" "$work/"
(cd "$work" && wine ./consumer.exe)
echo "a caller linked against vexsrvapi.lib with lld-link imports the exact names and runs"
