#!/bin/sh
# Installs the build into a scratch prefix and builds a C99 program against it
# with nothing but pkg-config, then runs it. Usage: install_test.sh BUILD SRC ISOLATE
set -eu
build=$1
src=$2
isolate=$3
prefix=$(mktemp -d "${TMPDIR:-/tmp}/quelm-install.XXXXXX")
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
test -f "$prefix/lib/libquelm.a"
test -f "$prefix/include/quelm/monitor.h"
test -f "$prefix/lib/cmake/quelm/quelmConfig.cmake"
if [ -f "$build/server/warden" ]; then test -x "$prefix/bin/warden"; fi
test -f "$prefix/share/man/man8/warden.8"
test -f "$prefix/share/man/man3/quelm.3"
grep -q "^Type=simple" "$prefix/lib/systemd/system/warden.service"
grep -q "^ExecStart=.*warden -f" "$prefix/lib/systemd/system/warden.service"
# Only what a proxy or viewer author includes is installed, and each of
# those headers compiles alone in a C99 program.
test ! -e "$prefix/include/quelm/my_getopt.h"
for h in "$prefix"/include/quelm/*; do
    case $h in *_internal.h) echo "internal header installed: $h"; exit 1 ;; esac
    printf '#include <quelm/%s>\nint main(void) { return 0; }\n' "${h##*/}" > "$prefix/alone.c"
    ${CC:-cc} -std=c99 -pedantic -Wall -Werror -I"$prefix/include" -c "$prefix/alone.c" \
        -o "$prefix/alone.o"
done
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
${CC:-cc} -std=c99 -Wall -Wextra -Werror $(pkg-config --cflags quelm) \
    "$src/header_c_test.c" -o "$prefix/viewer_c" $(pkg-config --libs quelm)
out=$("$prefix/viewer_c")
test "$out" = "<1234,1a,7>"
# A proxy that has its own Hash, Prime, MmapAlloc and HashIndex links and
# reports a session into a store of its own (private /tmp under the isolator).
${CC:-cc} -std=c99 -Wall -Wextra -Werror $(pkg-config --cflags quelm) \
    "$src/clash_c_test.c" -o "$prefix/clash_c" $(pkg-config --libs quelm)
test "$("$isolate" "$prefix/clash_c")" = "alice example.org:443"
# The plain way a C programmer links it: the C compiler's driver, -lquelm
# and the threads, no C++ runtime.  Every member of the archive is pulled in,
# so a reference to the C++ runtime anywhere in it (guarded statics,
# operator new, std::) fails here, not only in the members a proxy uses.
${CC:-cc} -std=c99 -I"$prefix/include" "$src/clash_c_test.c" -o "$prefix/proxy_c" \
    -L"$prefix/lib" -lquelm -lpthread
test "$("$isolate" "$prefix/proxy_c")" = "alice example.org:443"
printf 'int main(void) { return 0; }\n' > "$prefix/whole.c"
${CC:-cc} "$prefix/whole.c" -o "$prefix/whole_c" \
    -Wl,--whole-archive "$prefix/lib/libquelm.a" -Wl,--no-whole-archive -lpthread
# A C-only CMake project gets all it needs from quelm::quelm, the threads
# included (glibc 2.34 and later would link without them, older ones not).
grep -q 'INTERFACE_LINK_LIBRARIES "Threads::Threads"' "$prefix/lib/cmake/quelm/quelmTargets.cmake"
grep -q '^Libs:.*-lpthread' "$prefix/lib/pkgconfig/quelm.pc"
mkdir "$prefix/cmc"
cat > "$prefix/cmc/CMakeLists.txt" <<'CM'
cmake_minimum_required(VERSION 3.25)
project(app C)
find_package(quelm REQUIRED)
add_executable(app main.c)
target_link_libraries(app PRIVATE quelm::quelm)
CM
cp "$src/clash_c_test.c" "$prefix/cmc/main.c"
cmake -S "$prefix/cmc" -B "$prefix/cmc/build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$prefix/cmc/build" >/dev/null
test "$("$isolate" "$prefix/cmc/build/app")" = "alice example.org:443"
# The CMake package gives quelm::quelm.
mkdir "$prefix/cm"
cat > "$prefix/cm/CMakeLists.txt" <<'CM'
cmake_minimum_required(VERSION 3.25)
project(consumer C CXX)
find_package(quelm REQUIRED)
add_executable(consumer main.c)
target_link_libraries(consumer PRIVATE quelm::quelm)
CM
cp "$src/header_c_test.c" "$prefix/cm/main.c"
cmake -S "$prefix/cm" -B "$prefix/cm/build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$prefix/cm/build" >/dev/null
test "$("$prefix/cm/build/consumer")" = "<1234,1a,7>"
# warden-hub, its manual page and its unit.
if [ -f "$build/hub/warden-hub" ]; then test -x "$prefix/bin/warden-hub"; fi
test -f "$prefix/share/man/man1/warden-hub.1"
grep -q "^ExecStart=.*/warden-hub --journal " "$prefix/lib/systemd/system/warden-hub.service"
grep -q "^ExecReload=/bin/kill -HUP" "$prefix/lib/systemd/system/warden-hub.service"
echo "install test passed"
