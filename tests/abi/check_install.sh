#!/bin/sh
# Installs the build into a temporary prefix, then builds a consumer program
# through the CMake package (vok::vok) and through pkg-config.
# usage: check_install.sh BUILD_DIR SOURCE_DIR "EXTRA_FLAGS"
set -eu
build=$1 src=$2 flags=${3:-}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
cmake -S "$src/tests/abi/consumer" -B "$tmp/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$tmp/prefix" \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >/dev/null
cmake --build "$tmp/cmake" >/dev/null
LD_LIBRARY_PATH="$tmp/prefix/lib:$tmp/prefix/lib/x86_64-linux-gnu" "$tmp/cmake/consumer"
LD_LIBRARY_PATH="$tmp/prefix/lib:$tmp/prefix/lib/x86_64-linux-gnu" "$tmp/cmake/consumer_cpp"
pc_dir=$(dirname "$(find "$tmp/prefix" -name vok.pc)")
# shellcheck disable=SC2046
cc $flags "$src/tests/abi/consumer.c" -o "$tmp/pc_consumer" \
  $(PKG_CONFIG_PATH="$pc_dir" pkg-config --define-variable=prefix="$tmp/prefix" --cflags --libs vok)
LD_LIBRARY_PATH="$(dirname "$pc_dir")" "$tmp/pc_consumer"
# shellcheck disable=SC2046
c++ -std=c++17 $flags "$src/tests/abi/consumer.cpp" -o "$tmp/pc_consumer_cpp" \
  $(PKG_CONFIG_PATH="$pc_dir" pkg-config --define-variable=prefix="$tmp/prefix" --cflags --libs vok)
LD_LIBRARY_PATH="$(dirname "$pc_dir")" "$tmp/pc_consumer_cpp"
test -L "$(dirname "$pc_dir")/libvok.so.1"
echo "1 passed, 0 failed: installed package found through CMake and pkg-config"
