#!/bin/sh
# Compares the dynamic symbol table of libvok.so with the export list.
# usage: check_exports.sh LIBRARY VERSION_SCRIPT
set -eu
lib=$1 map=$2
expected=$(sed -e 's:/\*.*\*/::g' "$map" | awk '/global:/{g=1;next} /local:/{g=0} g' |
  tr ';' '\n' | tr -d ' \t' | grep -v '^$' | sort)
actual=$(nm -D --defined-only "$lib" | awk '{print $3}' | sed 's/@.*//' | grep -v '^VOK_1$' | sort)
if [ "$expected" != "$actual" ]; then
  echo "exported symbols differ from the export list (< expected, > actual):"
  tmp=$(mktemp -d)
  printf '%s\n' "$expected" > "$tmp/expected"; printf '%s\n' "$actual" > "$tmp/actual"
  diff "$tmp/expected" "$tmp/actual" || true
  rm -rf "$tmp"
  exit 1
fi
# Every export carries the library's version node.
unversioned=$(nm -D --defined-only "$lib" | awk '{print $3}' | grep -v '@@VOK_1$' | grep -v '^VOK_1' || true)
if [ -n "$unversioned" ]; then echo "symbols without the VOK_1 version: $unversioned"; exit 1; fi
soname=$(objdump -p "$lib" | awk '/SONAME/{print $2}')
[ "$soname" = "libvok.so.1" ] || { echo "SONAME is '$soname', expected libvok.so.1"; exit 1; }
echo "1 passed, 0 failed: $(echo "$actual" | wc -l) symbols exported as listed"
