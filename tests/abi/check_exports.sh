#!/bin/sh
# Compares the dynamic symbol table of libvok.so with the export list: the
# same names, each under the version node that lists it (VOK_1, VOK_1.1, ...).
# usage: check_exports.sh LIBRARY VERSION_SCRIPT
set -eu
lib=$1 map=$2
expected=$(sed -e 's:/\*.*\*/::g' "$map" |
  awk '/^[A-Z0-9_.]+ *\{/{node=$1} /global:/{g=1;next} /local:|^}/{g=0}
       g{n=split($0,names,";"); for(i=1;i<=n;i++){gsub(/[ \t]/,"",names[i]); if(names[i]!="") print names[i]"@@"node}}' |
  sort)
nodes=$(sed -e 's:/\*.*\*/::g' "$map" | awk '/^[A-Z0-9_.]+ *\{/{print $1}')
actual=$(nm -D --defined-only "$lib" | awk '{print $3}' | grep -v -x -F "$nodes" | sort)
if [ "$expected" != "$actual" ]; then
  echo "exported symbols differ from the export list (< expected, > actual):"
  tmp=$(mktemp -d)
  printf '%s\n' "$expected" > "$tmp/expected"; printf '%s\n' "$actual" > "$tmp/actual"
  diff "$tmp/expected" "$tmp/actual" || true
  rm -rf "$tmp"
  exit 1
fi
soname=$(objdump -p "$lib" | awk '/SONAME/{print $2}')
[ "$soname" = "libvok.so.1" ] || { echo "SONAME is '$soname', expected libvok.so.1"; exit 1; }
echo "1 passed, 0 failed: $(echo "$actual" | wc -l) symbols exported as listed, in $(echo "$nodes" | wc -l) version nodes"
