#!/usr/bin/env bash
# Installs a build (default: build/default) into a scratch prefix and uses it as
# a host outside the project would: checks the library's soname and links,
# compiles every installed header on its own, and builds examples/host against
# the prefix twice, through find_package(velquin) with g++ and through
# pkg-config with clang++-14.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null

fail() {
  echo "check_install: $*" >&2
  exit 1
}
lib=$prefix/lib
soname=$(readelf -d "$lib/libvelquin.so" | sed -n 's/.*(SONAME).*\[\(.*\)\]$/\1/p')
[ "$soname" = libvelquin.so.0 ] || fail "soname is '$soname', not libvelquin.so.0"
[ -L "$lib/libvelquin.so" ] && [ -L "$lib/libvelquin.so.0" ] || fail "the soname and development links are missing"
[ "$(readlink "$lib/libvelquin.so.0")" = "$(basename "$(readlink -f "$lib/libvelquin.so")")" ] ||
  fail "libvelquin.so and libvelquin.so.0 lead to different files"

include=$prefix/include/velquin
[ -f "$include/velquin/Common/CrossPlatform/VelquinInterface.h" ] || fail "the host header is not installed"
(cd "$include" && find . -name '*.h' -printf '%P\n') | sort >"$scratch/headers"
xargs -P "$(nproc)" -I{} sh -c 'printf "#include \"%s\"\n" "$1" |
  g++ -std=c++20 -fsyntax-only -Wall -Wextra -Werror -I"$2" -x c++ - || { echo "$1 does not compile alone"; exit 255; }' \
  _ {} "$include" <"$scratch/headers"

cmake -S examples/host -B "$scratch/cmake" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_COMPILER=g++ >/dev/null
cmake --build "$scratch/cmake" >/dev/null

export PKG_CONFIG_PATH=$lib/pkgconfig
[ "$(pkg-config --modversion velquin)" = "$(sed -n 's/^project(velquin VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)" ] ||
  fail "velquin.pc does not carry the project's version"
# shellcheck disable=SC2046 # pkg-config's flags are split on purpose
clang++-14 -std=c++20 -Wall -Wextra -Werror $(pkg-config --cflags velquin) examples/host/HostExample.cpp \
  $(pkg-config --libs velquin) -Wl,-rpath,"$lib" -o "$scratch/pkg-config-host"
for host in "$scratch/cmake/velquin_example_host" "$scratch/pkg-config-host"; do
  # ldd's whole output is read first: with pipefail, grep -q leaving early could fail ldd with SIGPIPE.
  deps=$(ldd "$host")
  grep -qF "libvelquin.so.0 => $lib/libvelquin.so.0" <<<"$deps" || fail "$host does not load the installed library"
done
echo "install: $(wc -l <"$scratch/headers") headers, libvelquin.so.0, the CMake package and velquin.pc serve examples/host"
