#!/bin/sh
# The version lives in the top-level CMakeLists.txt (project VERSION); the
# Debian changelog's latest entry, the public header's VOK_VERSION_* and the
# Python package's __version__ (which its pyproject.toml takes) must say the
# same.
# usage: check_version.sh PROJECT_VERSION SOURCE_DIR
set -eu
version=$1 src=$2
changelog=$(sed -n '1s/^vok (\([^)]*\)).*/\1/p' "$src/debian/changelog")
upstream=${changelog%%-*}
[ "$upstream" = "$version" ] ||
  { echo "debian/changelog's latest entry is '$changelog', the project version is $version"; exit 1; }
header=$(awk '/#define VOK_VERSION_(MAJOR|MINOR|PATCH) /{printf "%s%s", sep, $3; sep="."}' \
  "$src/include/vok/vok.h")
[ "$header" = "$version" ] ||
  { echo "vok/vok.h says $header, the project version is $version"; exit 1; }
python=$(sed -n 's/^__version__ = "\(.*\)"$/\1/p' "$src/python/vok/__init__.py")
[ "$python" = "$version" ] ||
  { echo "python/vok/__init__.py says '$python', the project version is $version"; exit 1; }
grep -q '^dynamic = \["version"\]' "$src/python/pyproject.toml" ||
  { echo "python/pyproject.toml must take its version from vok.__version__ (dynamic)"; exit 1; }
echo "1 passed, 0 failed: version $version in CMakeLists.txt, debian/changelog, vok/vok.h and python/vok"
