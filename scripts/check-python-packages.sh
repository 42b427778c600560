#!/bin/sh
# The Python package as Debian and pip users get it, on the installed
# libvok1, libvok-dev and vok-sim (check-packages.sh installs them first):
# python/tests run with Debian's python3 on the installed python3-vok, then
# on a wheel built offline from python/ and installed into a fresh virtual
# environment. Both runs take the tests from a copy away from the source
# tree, so `import vok` finds the installed package (checked), and compare
# the package's records with the installed header.
# usage: check-python-packages.sh WORK_DIR
set -eu
cd "$(dirname "$0")/.."
work=$1/python
export PYTHONDONTWRITEBYTECODE=1
mkdir "$work"
git ls-files -z python/tests | xargs -0 cp --parents -t "$work"
version=$(sed -n 's/^project(vok VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)

# Runs the tests with interpreter $1, whose `import vok` must come from $2.
run_tests() {
  found=$(env -u VOK_LIBRARY "$1" -c 'import vok; print(vok.__file__, vok.__version__)')
  case "$found" in
    "$2"*" $version") ;;
    *) echo "packages: $1 imports vok from '$found', not $2 ($version)" >&2; exit 1 ;;
  esac
  tree=$(mktemp -d "$work/usb-XXXXXX")
  if ! env -u VOK_LIBRARY VOK_SIM="$(command -v vok-sim)" VOK_HEADER=/usr/include/vok/vok.h \
      vok-sim run "$tree" -- \
      "$1" -m pytest -q -p no:cacheprovider "$work/python/tests" >"$work/pytest.log" 2>&1; then
    cat "$work/pytest.log" >&2
    echo "packages: the Python tests failed under $1" >&2
    exit 1
  fi
  tail -1 "$work/pytest.log"
}

summary=$(run_tests /usr/bin/python3 /usr/lib/python3/dist-packages/vok/)
echo "packages: python3-vok passes the Python tests with /usr/bin/python3 ($summary)"

mkdir "$work/wheel-src" "$work/dist"
git ls-files -z python | xargs -0 cp --parents -t "$work/wheel-src"
/usr/bin/python3 -m pip wheel -q --no-deps --no-build-isolation --no-index --no-cache-dir \
  -w "$work/dist" "$work/wheel-src/python" >"$work/wheel.log" 2>&1 ||
  { cat "$work/wheel.log" >&2; echo "packages: the wheel did not build" >&2; exit 1; }
wheel=$(ls "$work"/dist/vok-"$version"-*.whl)
# Debian's pytest comes from the system's site packages, vok only from the wheel
# (--ignore-installed: also while python3-vok is installed there).
/usr/bin/python3 -m venv --system-site-packages "$work/venv"
"$work/venv/bin/python" -m pip install -q --no-index --no-deps --no-cache-dir --ignore-installed \
  --root-user-action=ignore "$wheel" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log" >&2; echo "packages: the wheel did not install" >&2; exit 1; }
summary=$(run_tests "$work/venv/bin/python" "$work/venv/lib/")
echo "packages: $(basename "$wheel") installs into a fresh venv and passes the Python tests ($summary)"
