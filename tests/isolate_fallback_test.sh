#!/bin/sh
# quelm_isolate where mounts cannot be made private, as on a fresh Debian root
# file system entered with chroot: here a chroot, in a mount namespace of its
# own, into a directory that is no mount point (MS_PRIVATE on its root fails
# with EINVAL, though unshare works).  The probe says no; a test program that
# needs no namespace runs and passes, unisolated; two unisolated runs take
# turns; a quelm_isolate inside an unisolated run does not wait for itself.
# Usage: isolate_fallback_test.sh ISOLATE TESTPROGRAM   (as root; 77: skipped)
set -eu
isolate=$1
program=$2
if [ "$(id -u)" -ne 0 ] || ! command -v unshare >/dev/null || ! command -v chroot >/dev/null; then
    echo "needs root, unshare and chroot"
    exit 77
fi
root=$(mktemp -d "${TMPDIR:-/tmp}/quelm-chroot.XXXXXX")
chmod 755 "$root" # a root file system everyone may enter
# Outside the namespace the directory holds only empty directories and links.
trap 'rm -rf --one-file-system "$root"' EXIT

unshare --mount sh -eu -s "$root" "$isolate" "$program" <<'INSIDE'
root=$1 isolate=$2 program=$3
mount --make-rprivate /
for d in usr etc dev proc sys; do
    mkdir "$root/$d"
    mount --rbind "/$d" "$root/$d"
done
for l in bin sbin lib lib64; do
    if [ -L "/$l" ]; then ln -s "$(readlink "/$l")" "$root/$l"
    elif [ -d "/$l" ]; then mkdir "$root/$l"; mount --rbind "/$l" "$root/$l"; fi
done
mkdir -m 1777 "$root/tmp"
# The programs, at the paths they have outside.
for f in "$isolate" "$program"; do
    dir=$(dirname "$f")
    mkdir -p "$root$dir"
    mountpoint -q "$root$dir" || mount --bind "$dir" "$root$dir"
done
jail() { chroot "$root" "$@"; }

if jail "$isolate" --probe 2>"$root/tmp/probe.err"; then
    echo "the probe found isolation in a chroot whose root is no mount point"; exit 1
fi
grep -q "cannot make mounts private: Invalid argument" "$root/tmp/probe.err" || {
    cat "$root/tmp/probe.err"; exit 1; }

jail "$isolate" "$program" >"$root/tmp/run.out" 2>"$root/tmp/run.err" || {
    cat "$root/tmp/run.out" "$root/tmp/run.err"; echo "the test program failed unisolated"; exit 1; }
grep -q "unisolated, one such run at a time" "$root/tmp/run.err"

# Each run holds /tmp/held for a moment: together they would collide.
turn='mkdir /tmp/held && sleep 0.3 && rmdir /tmp/held'
jail "$isolate" sh -c "$turn" 2>/dev/null & first=$!
jail "$isolate" sh -c "$turn" 2>/dev/null & second=$!
wait $first || { echo "first run failed: the runs overlapped"; exit 1; }
wait $second || { echo "second run failed: the runs overlapped"; exit 1; }

timeout 20 chroot "$root" "$isolate" "$isolate" true 2>/dev/null || {
    echo "a quelm_isolate inside an unisolated run waited for itself"; exit 1; }
echo "isolate fallback test passed"
INSIDE
