#!/bin/sh
# The library on its own: in a clean build directory, with the tools, the
# virtual token, the tests and the benchmarks off, the library, its header,
# vok.pc and the CMake package build and install with CMake and a C++ compiler
# alone (the C compiler and every other package are made unavailable). Then a
# consumer finds the installed library through the CMake package and through
# pkg-config, and another CMake project builds it with add_subdirectory.
set -eu
cd "$(dirname "$0")/.."
src=$PWD
tmp=$(mktemp -d /tmp/vok-library-only-XXXXXX)
trap 'rm -rf "$tmp"' EXIT
passed=0

cmake -S "$src" -B "$tmp/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVOK_WERROR=ON \
  -DVOK_BUILD_TOOLS=OFF -DVOK_BUILD_SIM=OFF -DVOK_BUILD_TESTS=OFF -DVOK_BUILD_BENCH=OFF \
  -DCMAKE_C_COMPILER=/nonexistent/cc --no-warn-unused-cli \
  -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_CLI11=ON \
  -DCMAKE_DISABLE_FIND_PACKAGE_nlohmann_json=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON >/dev/null
cmake --build "$tmp/build" -j2 >/dev/null
cmake --install "$tmp/build" --prefix "$tmp/prefix" >/dev/null
installed=$(cd "$tmp/prefix" && find . \( -type f -o -type l \) | sed 's:^\./::' | sort | tr '\n' ' ')
# The version is written once, in the top-level CMakeLists.txt.
version=$(sed -n 's/^project(vok VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
expected="include/vok/vok.h include/vok/vok.hpp include/vok/vokBytes.hpp include/vok/vokDiagnostics.hpp \
include/vok/vokExport.h lib/cmake/vok/vokConfig.cmake lib/cmake/vok/vokConfigVersion.cmake \
lib/cmake/vok/vokTargets-release.cmake lib/cmake/vok/vokTargets.cmake lib/libvok.so \
lib/libvok.so.1 lib/libvok.so.$version lib/pkgconfig/vok.pc share/man/man3/vok.3 "
if [ "$installed" != "$expected" ]; then
  printf 'library-only install differs\n  got:      %s\n  expected: %s\n' "$installed" "$expected" >&2
  exit 1
fi
echo "library-only build: installed exactly the library, headers, vok.pc, CMake package and vok(3)"
passed=$((passed + 1))

sh tests/abi/check_install.sh "$tmp/build" "$src" "" >/dev/null
echo "library-only build: a consumer finds it through find_package(vok) and pkg-config"
passed=$((passed + 1))

cmake -S "$src/tests/subproject" -B "$tmp/subproject" -G Ninja -DVOK_SOURCE_DIR="$src" >/dev/null
cmake --build "$tmp/subproject" -j2 >/dev/null
"$tmp/subproject/consumer"
built=$(cd "$tmp/subproject" && find . -type f -perm -u+x ! -name '*.so*' ! -path '*/CMakeFiles/*' | sort | tr '\n' ' ')
[ "$built" = "./consumer " ] || { echo "add_subdirectory built more than asked: $built" >&2; exit 1; }
echo "add_subdirectory: vok::vok links and runs; nothing else is built"
passed=$((passed + 1))

echo "$passed passed, 0 failed"
