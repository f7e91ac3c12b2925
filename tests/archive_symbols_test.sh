#!/bin/sh
# Fails on any global name the archive defines outside its documented
# interface, so a proxy with its own Hash() or MmapAlloc() still links.
# Usage: archive_symbols_test.sh ARCHIVE ALLOWED-LIST PUBLIC-HEADER...
set -eu
archive=$1
allowed=$2
shift 2
names=$(nm -g --defined-only "$archive" | awk 'NF == 3 { print $2, $3 }' | sort -u)
test -n "$names"
bad=0
echo "$names" | {
    while read -r kind name; do
        case $name in
        _ZN5quelm*) continue ;;             # C++ names inside namespace quelm
        __odr_asan*|__asan*|__ubsan*) continue ;; # sanitizer bookkeeping
        esac
        # Weak C++ definitions (inline functions, template instances) are
        # merged by the linker and never clash.
        case $kind in
        W|V) case $name in _Z*) continue ;; esac ;;
        esac
        if grep -qx "$name" "$allowed"; then continue; fi
        case $name in
        Qx*) if cat "$@" | grep -qw "$name"; then continue; fi ;;
        esac
        echo "undocumented global symbol: $kind $name"
        bad=1
    done
    exit $bad
}
echo "archive defines only documented names"
