#!/usr/bin/env bash
# Runs the test suite against a built wheel installed where it will run: in a
# Debian root made with debootstrap, amd64 natively, arm64 under
# qemu-user-static (binfmt_misc). TARVIK_DEBIAN_SUITE picks the release:
# bullseye (Debian 11: glibc 2.31, CPython 3.9; the default), bookworm (12)
# or sid (the development release). The root is made once and kept in
# $TARVIK_ROOTS (default /var/cache/tarvik-roots, outside the clone) as an
# optimisation only: without it, it is made afresh. The root has no pip:
# this machine's pip installs the wheel and the test requirements for that
# platform and the root's CPython into it.
#   bash tools/test-debian-root.sh amd64|arm64 [pytest arguments, default: tests]
# Needs root, debootstrap, and for arm64 qemu-user-static and binfmt-support.
set -euo pipefail
cd "$(dirname "$0")/.."
arch=${1:?usage: test-debian-root.sh amd64|arm64 [pytest arguments]}
shift
emulated=0
[ "$arch" = arm64 ] && [ "$(uname -m)" != aarch64 ] && emulated=1
if [ "$#" -eq 0 ]; then
  set -- tests
  # Under qemu-user two tests cannot pass, whatever the code: qemu ignores
  # the guest's address-space limit that makes the pool's threads fail to
  # start, and the leak test's million calls outlast its timeout. The
  # suite's stated subset there is everything else.
  if [ "$emulated" = 1 ]; then
    set -- tests \
      --deselect tests/test_worker_pool.py::test_threads_that_cannot_start_fail_the_call_and_the_next_call_retries \
      --deselect tests/test_leaks.py::test_resident_set_stays_flat_over_many_calls
  fi
fi
case "$arch" in
  amd64) machine=x86_64 ;;
  arm64) machine=aarch64 ;;
  *) echo "unknown architecture $arch"; exit 2 ;;
esac
suite=${TARVIK_DEBIAN_SUITE:-bullseye}
mirror=${TARVIK_DEBIAN_MIRROR:-http://deb.debian.org/debian}
cache=${TARVIK_ROOTS:-/var/cache/tarvik-roots}
root=$cache/$suite-$arch
wheel=$(ls "$PWD"/dist/tarvik-*-cp39-abi3-*manylinux*_"$machine".whl)

if [ "$emulated" = 1 ]; then
  # Emulation: the kernel hands aarch64 programs to qemu (registered with
  # the fix-binary flag, so that it works inside the root too).
  [ -e /proc/sys/fs/binfmt_misc/register ] ||
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  [ -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ] || update-binfmts --enable qemu-aarch64
fi

# The root: debootstrap's first stage (download and unpack the base
# system), then every package it downloaded, python3 and what it depends on
# included, unpacked as well. No maintainer script runs: for a foreign
# architecture they would run under emulation, which takes half an hour,
# and the tests need nothing but the files in place.
mkdir -p "$cache"
if [ ! -x "$root/usr/bin/python3" ]; then
  rm -rf "$root.tmp"
  debootstrap --foreign --arch="$arch" --variant=minbase --include=python3 \
    "$suite" "$root.tmp" "$mirror" >"$cache/$suite-$arch.log"
  for deb in "$root.tmp"/var/cache/apt/archives/*.deb; do dpkg-deb -x "$deb" "$root.tmp"; done
  mv "$root.tmp" "$root"
fi

# The wheel and what the tests need, for the root's CPython on this
# platform, installed here into the root's test directory by this machine's
# pip (the root has none): the newest NumPy with wheels for that CPython (2.0
# for 3.9) from PyPI. pip evaluates the dependencies' environment markers for
# this interpreter, not for the root's, so the backports pytest and
# hypothesis need before 3.11 are named too.

# A fresh copy of the tests and the files they read, and a fresh install.
work=$root/opt/tarvik-test
# Lazy unmounts: a test process still exiting keeps them busy, and a /dev
# left bound into the kept root would be deleted with it.
cleanup() {
  umount -l "$root/proc" 2>/dev/null || true
  umount -l "$root/dev" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
rm -rf "$work"
mkdir -p "$work"
cp -r tests docs README.md pyproject.toml "$work"
mkdir -p "$work/python/tarvik" && cp python/tarvik/_core.pyi "$work/python/tarvik"
# (pip download keeps to the releases that support the root's CPython; pip
# install --target for another Python does not, so it installs from those
# downloads only.)
mountpoint -q "$root/proc" || mount -t proc proc "$root/proc"
mountpoint -q "$root/dev" || mount --bind /dev "$root/dev"
in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/root LANG=C.UTF-8 "$@"; }
version=$(in_root python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')
wheels=$cache/wheels-$machine-$version
target=(--only-binary=:all: --python-version "$version" --implementation cp
  --platform "manylinux2014_$machine" --platform "manylinux_2_28_$machine")
requirements=(numpy pytest hypothesis mpmath exceptiongroup tomli typing_extensions)
python3 -m pip download -q -d "$wheels" "${target[@]}" "${requirements[@]}"
python3 -m pip install -q --target "$work/site" "${target[@]}" --no-index --find-links "$wheels" \
  --ignore-requires-python \
  --no-warn-script-location "${requirements[@]}" "$wheel"
in_root sh -c "cd /opt/tarvik-test && PYTHONPATH=/opt/tarvik-test/site python3 - <<'PY'
import platform, sys, numpy, tarvik
assert tarvik.__file__.startswith('/opt/tarvik-test/site/'), tarvik.__file__
print(f'{platform.machine()} glibc {platform.libc_ver()[1]}, CPython {sys.version.split()[0]}, NumPy {numpy.__version__}: {tarvik.__file__}')
PY"
in_root sh -c 'cd /opt/tarvik-test && PYTHONPATH=/opt/tarvik-test/site exec python3 -m pytest -q -p no:cacheprovider "$@"' sh "$@"
