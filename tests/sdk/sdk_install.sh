#!/usr/bin/env bash
# The SDK as a third party gets it: installed into an empty prefix, clients built out of tree
# against it and run through the installed brevant-host, which exits 5 on a leaked suite or handle.
# Usage: sdk_install.sh BUILD_DIR SOURCE_DIR C_COMPILER CXX_COMPILER
# With BREVANT_SDK_PREFIX set, that prefix (the usr/ of an unpacked brevant-sdk package) is used
# as it is instead of installing BUILD_DIR.
set -euo pipefail
build=$1 source=$2 cc=$3 cxx=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=${BREVANT_SDK_PREFIX:-$work/prefix}
fail() { echo "FAIL: $*" >&2; exit 1; }
# build NAME CMAKE_ARG...: configures and builds the CMake project $work/NAME-src against the prefix.
build() {
  local name=$1; shift
  cmake -S "$work/$name-src" -B "$work/$name-build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" "$@" >/dev/null
  cmake --build "$work/$name-build" >/dev/null
}

[ -n "${BREVANT_SDK_PREFIX:-}" ] || cmake --install "$build" --prefix "$prefix" >/dev/null
host=$prefix/bin/brevant-host
jobs=$prefix/share/brevant/examples
[ -x "$host" ] && [ -f "$jobs/minimal.json" ] && [ -f "$jobs/frame_progress/CMakeLists.txt" ] ||
  fail "brevant-host, the example jobs or the example client not installed"

echo "== public headers alone, as C11 and C++17"
strict=(-Wall -Wextra -Werror -pedantic -I"$prefix/include")
c_compilers=("$cc"); cxx_compilers=("$cxx")
if command -v clang >/dev/null && command -v clang++ >/dev/null; then c_compilers+=(clang); cxx_compilers+=(clang++); fi
for header in host.h listener.h monitor.h pipl.h client.hpp; do
  printf '#include <brevant/%s>\n' "$header" >"$work/one.h.c"
  if [ "$header" != client.hpp ]; then
    for c in "${c_compilers[@]}"; do "$c" -std=c11 "${strict[@]}" -c "$work/one.h.c" -o "$work/one.o" || fail "$header as C11 with $c"; done
  fi
  for c in "${cxx_compilers[@]}"; do "$c" -x c++ -std=c++17 "${strict[@]}" -c "$work/one.h.c" -o "$work/one.o" || fail "$header as C++17 with $c"; done
done

echo "== the example client with CMake (a CXX-only project, linked with --gc-sections) and with pkg-config"
cp -r "$jobs/frame_progress" "$work/cmake-src"
build cmake -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_SHARED_LINKER_FLAGS="-Wl,--gc-sections" \
  -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror -ffunction-sections -fdata-sections"
cp -r "$jobs/frame_progress" "$work/make-src"
PKG_CONFIG_PATH=$prefix/lib/pkgconfig make -s -C "$work/make-src" CXX="$cxx" CXXFLAGS="-O2 -Wall -Wextra -Werror"

echo "== a C-only client with CMake"
mkdir "$work/c-src"
cat >"$work/c-src/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(c_client LANGUAGES C)
find_package(Brevant 1 REQUIRED)
brevant_add_client(c_client PROPERTY_LIST c_client.pipl SOURCES c_client.c)
CMAKE
printf 'kind general\nname C Client\nentry CClientMain\n' >"$work/c-src/c_client.pipl"
cat >"$work/c-src/c_client.c" <<'C'
#include <stdio.h>
#include <brevant/monitor.h>
BREVANT_EXPORT HostErr CClientMain(const HostBasicSuite* basic, int32_t major, int32_t minor,
                                   int32_t plugin_id, void** global_refcon) {
    const void* table = NULL;
    HostErr err = basic->AcquireSuite(kBrevantMonitorSuite, kBrevantMonitorSuiteVersion, &table);
    (void)major; (void)minor; (void)plugin_id; (void)global_refcon;
    if (err != kHostErrNone) return err;
    printf("c_client: %s %d acquired\n", kBrevantMonitorSuite, (int)kBrevantMonitorSuiteVersion);
    return basic->ReleaseSuite(kBrevantMonitorSuite, kBrevantMonitorSuiteVersion);
}
C
build c -DCMAKE_C_COMPILER="$cc" -DCMAKE_C_FLAGS="-std=c11 -Wall -Wextra -Werror"

echo "== the README's own client, as written there"
mkdir "$work/readme-src"
/usr/bin/python3 - "$source/README.md" "$work/readme-src" <<'PY'
import re, sys
text = open(sys.argv[1]).read()
section = text[text.index("## Writing a client"):]
section = section[:section.index("\n## ", 3)]
blocks = re.findall(r"```(\w*)\n(.*?)```", section, re.S)
files = {"my_client.cpp": [b for lang, b in blocks if lang == "cpp" and "MyClientMain(" in b],
         "my_client.pipl": [b for lang, b in blocks if lang == "" and "entry" in b],
         "CMakeLists.txt": [b for lang, b in blocks if lang == "cmake"]}
for name, found in files.items():
    if len(found) != 1: sys.exit("README: expected one block for " + name)
    open(sys.argv[2] + "/" + name, "w").write(found[0])
PY
build readme -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror"

# run JOB CLIENT EXPECTED_EXIT PATTERN...: the client through the installed brevant-host, with
# its default plug-in; every pattern must appear in what it printed.
run() {
  local job=$1 client=$2 expected=$3; shift 3
  local rc=0
  (cd "$work" && "$host" run "$job" --client "$client" --out "$work/out") >"$work/run.log" 2>&1 || rc=$?
  [ "$rc" = "$expected" ] || { cat "$work/run.log"; fail "$(basename "$job") with $client: exit $rc, expected $expected"; }
  for pattern in "leaks: none" "$@"; do
    grep -qF -- "$pattern" "$work/run.log" || { cat "$work/run.log"; fail "$(basename "$job") with $client: no '$pattern'"; }
  done
}

echo "== runs through the installed brevant-host"
for client in "$work/cmake-build/libframe_progress.so" "$work/make-src/libframe_progress.so"; do
  run "$jobs/minimal.json" "$client" 0 \
    "name \"Frame Progress\"" "item 1 frame 1/12, elapsed" "remaining" "item 1 frame 12/12, elapsed" "item 1 done"
done
client=$work/cmake-build/libframe_progress.so
run "$jobs/failures.json" "$client" 3 \
  "item 1 log: Out of memory while rendering a layer" "item 1 failed" "item 2 stopped" "item 3 done" \
  "reading the output file's properties failed with code 5"
run "$source/tests/sdk/faults.json" "$client" 0 \
  "failed with code 4" "failed with code 5" "failed with code 6" "item 1 log: again" "item 1 frame 12/12" "item 1 done"
run "$jobs/minimal.json" "$work/c-build/libc_client.so" 0 "c_client: KOVA Brevant Suite 1 acquired"
run "$jobs/minimal.json" "$work/readme-build/libmy_client.so" 0 "name \"My Client\"" \
  "my_client: item 1 frame 12: ElapsedTime="
echo "SDK install, headers, example client: all good"
