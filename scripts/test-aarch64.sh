#!/usr/bin/env bash
# The project on aarch64 (the users' Apple silicon runs it there), under qemu-user emulation
# on an x86-64 Debian machine:
#   1. an arm64 Debian 12 root with the libraries the build needs (debootstrap, once);
#   2. a cross build of everything with Debian's aarch64 gcc, that root as the sysroot;
#   3. inside that root (chroot; every arm64 program run by qemu through binfmt_misc): the unit
#      tests of both programs, `quillore-cli --version` and `tools` against the stand-in app
#      (on arm64 node), and quillore-finish on the sample renders and on a 16-bit TIFF triple,
#      all three modes at every strength, compared byte for byte with the x86-64 build's files.
#   scripts/test-aarch64.sh
# Runs as root (chroot, mounts; started through sudo otherwise). Installs what is missing the
# way scripts/setup.sh does. What it makes stays in build-aarch64/ (git-ignored):
#   build-aarch64/root      the arm64 root: a cache kept from run to run (about 700 MB), brought
#                           up to date when the package list below changes; `rm -rf
#                           build-aarch64` removes it (nothing stays mounted in it)
#   build-aarch64/build     the cross build tree
#   build-aarch64/compare   the finish results of the last run, both architectures
# Every mount is made in a mount namespace of its own and ends with it; binfmt_misc, when this
# script mounted it or registered the aarch64 handler, is unmounted or unregistered at the end.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
[ "$(uname -s)/$(uname -m)" = Linux/x86_64 ] || { echo "test-aarch64: runs on x86-64 Linux only" >&2; exit 2; }
if [ "$(id -u)" != 0 ]; then exec sudo -E "$0" "$@"; fi
. "$root/scripts/lib/install.sh"
. "$root/scripts/lib/renders.sh"
started=$SECONDS
say() { echo "test-aarch64: $* ($((SECONDS - started)) s)" >&2; }

work=$root/build-aarch64
sysroot=$work/root
build=$work/build
jobs=$(nproc)

# ---- what it needs ------------------------------------------------------------------------
install_missing test-aarch64 qemu-user-static debootstrap g++-aarch64-linux-gnu libvips-tools
# The x86-64 programs the aarch64 results are compared with.
QUILLORE_BUILD_TARGETS="quillore-finish quillore-mcp" "$root/scripts/setup.sh" "$root/build"

# The arm64 root: libraries and headers for the build (the C and C++ runtime's come with the
# cross compiler), ctest, and what the tests run (exiftool, pgrep, localedef's sources for a
# locale with a decimal comma, node for the stand-in app, whose npm packages are the
# checkout's own).
root_packages=(libgtest-dev libgmock-dev nlohmann-json3-dev libicu-dev libvips-dev libtiff-dev libjpeg-dev
  libsimdjson-dev cmake nodejs procps libimage-exiftool-perl locales)

# ---- binfmt_misc: the kernel runs arm64 programs through qemu ------------------------------
binfmt=/proc/sys/fs/binfmt_misc
mounted_binfmt=0 registered=0
undo_binfmt() {
  [ "$registered" = 0 ] || echo -1 >"$binfmt/qemu-aarch64" || true
  [ "$mounted_binfmt" = 0 ] || umount "$binfmt" || true
}
trap undo_binfmt EXIT
if [ ! -e "$binfmt/register" ]; then
  mount -t binfmt_misc binfmt_misc "$binfmt"
  mounted_binfmt=1
fi
if [ ! -e "$binfmt/qemu-aarch64" ]; then
  # Debian's entry. Its flag F opens qemu now, so that it runs inside the chroot too.
  cat /usr/lib/binfmt.d/qemu-aarch64.conf >"$binfmt/register"
  registered=1
fi
grep -q '^flags:.*F' "$binfmt/qemu-aarch64" ||
  { echo "test-aarch64: the qemu-aarch64 handler lacks flag F, so it cannot run inside a chroot" >&2; exit 1; }

# ---- the arm64 root -------------------------------------------------------------------------
# in_root COMMAND: runs COMMAND (bash) inside the root, with /proc, /dev, an empty /tmp and the
# checkout at its own path, in a mount and pid namespace of its own.
in_root() {
  unshare --mount --pid --fork --kill-child --propagation private bash -c '
    set -e
    r=$1 checkout=$2
    mount -t proc proc "$r/proc"
    mount --rbind /dev "$r/dev"
    mount -t tmpfs tmpfs "$r/tmp"
    mkdir -p "$r$checkout"
    mount --bind "$checkout" "$r$checkout"
    cp /etc/resolv.conf "$r/etc/resolv.conf" 2>/dev/null || true
    exec chroot "$r" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
      PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin /bin/bash -c "$3"
  ' in_root "$sysroot" "$root" "$1"
}

# The Debian mirror and suites this machine's apt uses, so that both architectures get the
# same versions of the libraries.
copy_apt_sources() { # target-root
  local t=$1 f
  rm -f "$t/etc/apt/sources.list"
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && cp "$f" "$t$f"
  done
  for f in /etc/apt/apt.conf.d/*; do
    [ -f "$f" ] && grep -q 'Acquire::' "$f" && cp "$f" "$t$f"
  done
  return 0
}
mirror=$(sed -n 's/^URIs: *\(\S*\/debian\)$/\1/p; s/^deb \(\[[^]]*\] \)\{0,1\}\(\S*\/debian\) bookworm .*/\2/p' \
  /etc/apt/sources.list.d/*.sources /etc/apt/sources.list 2>/dev/null | head -1 || true)
mirror=${mirror:-http://deb.debian.org/debian}

if [ ! -x "$sysroot/usr/bin/apt-get" ]; then
  say "making the arm64 root in $sysroot (once; some minutes)"
  rm -rf --one-file-system "$sysroot.new"
  mkdir -p "$work"
  # In a mount namespace of its own: the /proc and /sys it mounts in the new root go with it.
  unshare --mount --propagation private \
    debootstrap --arch=arm64 --variant=minbase bookworm "$sysroot.new" "$mirror" >"$work/debootstrap.log" 2>&1 ||
    { tail -20 "$work/debootstrap.log" >&2; exit 1; }
  copy_apt_sources "$sysroot.new"
  mv "$sysroot.new" "$sysroot"
fi
if [ "$(cat "$sysroot/.quillore-packages" 2>/dev/null)" != "${root_packages[*]}" ]; then
  say "installing ${root_packages[*]} in the arm64 root"
  in_root "apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    ${root_packages[*]} >/dev/null && apt-get clean"
  echo "${root_packages[*]}" >"$sysroot/.quillore-packages"
fi
# The libraries that make and read the pixels: the same versions on both sides, or a
# difference in the results could be theirs.
for p in libvips42 libjpeg62-turbo libtiff6 libglib2.0-0 libc6; do
  here=$(dpkg-query -W -f='${Version}' "$p" 2>/dev/null || echo none)
  there=$(in_root "dpkg-query -W -f='\${Version}' $p 2>/dev/null || echo none")
  [ "$here" = "$there" ] || echo "test-aarch64: note: $p is $here on x86-64, $there in the arm64 root" >&2
done
say "arm64 root ready"

# ---- the cross build ----------------------------------------------------------------------
# Debian's aarch64 gcc (the same gcc 12 as the x86-64 build) with the arm64 root as its
# sysroot. The test programs are run at build time to list their cases: qemu finds their
# loader and libraries in the root through QEMU_LD_PREFIX.
mkdir -p "$build"
cat >"$work/toolchain.cmake" <<EOF
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_SYSROOT "$sysroot")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
EOF
export QEMU_LD_PREFIX=$sysroot
export PKG_CONFIG_SYSROOT_DIR=$sysroot
export PKG_CONFIG_LIBDIR=$sysroot/usr/lib/aarch64-linux-gnu/pkgconfig:$sysroot/usr/share/pkgconfig
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$work/toolchain.cmake" >/dev/null
nice -n 10 cmake --build "$build"
file "$build/quillore-finish" | grep -q 'ARM aarch64' || { echo "test-aarch64: no aarch64 program was built" >&2; exit 1; }
say "built"

# ---- the unit tests, under emulation ------------------------------------------------------
# One case is left out: qemu-user runs the C library's posix_spawn child as a plain fork
# (CLONE_VFORK without shared memory), so a program that cannot be started shows up as the
# child's exit status 127 rather than as posix_spawn's error. The x86-64 build runs it.
in_root "cd '$build' && ctest --output-on-failure -j $jobs -LE e2e -E '^RunQuietly\\.ReturnsTheStatusOrMinusOne\$'"
say "unit tests passed"

# ---- the bridge against the stand-in app, both on arm64 -----------------------------------
in_root "
  set -e
  cd '$root'
  file=\$(readlink -f /usr/bin/node); echo \"node: \$(node --version), \${file}\"
  '$build/quillore-cli' --version
  tests/e2e/app/run-app.sh --socket /tmp/app.sock --log /tmp/app.log >/tmp/app.out 2>&1 &
  for i in \$(seq 600); do [ -S /tmp/app.sock ] && break; sleep 0.1; done
  QL_AGENT_SOCK=/tmp/app.sock QL_NO_LAUNCH=1 '$build/quillore-cli' tools >/tmp/tools.json
  kill %1
  grep -q '\"name\": \"render_preview\"' /tmp/tools.json || { cat /tmp/tools.json /tmp/app.out; exit 1; }
  echo \"quillore-cli tools: \$(grep -c '\"name\"' /tmp/tools.json) tools listed\"
"
say "quillore-cli ran against the stand-in app"

# ---- quillore-finish: the same bytes on both architectures --------------------------------
compare=$work/compare
rm -rf "$compare"
make_tiff16_renders "$compare/inputs"
finish_every_way "$root/build/quillore-finish" "$compare/inputs" "$compare/x86-64"
in_root ". '$root/scripts/lib/renders.sh' && finish_every_way '$build/quillore-finish' '$compare/inputs' '$compare/aarch64'"
say "quillore-finish ran on both"

# A table of every result; where the bytes differ, the largest difference of a pixel value.
differ=0
printf '%-24s %10s  %s\n' result bytes "aarch64 vs x86-64"
for f in "$compare"/x86-64/*; do
  name=${f##*/}
  if cmp -s "$f" "$compare/aarch64/$name"; then
    verdict=identical
  else
    differ=$((differ + 1))
    vips subtract "$f" "$compare/aarch64/$name" "$compare/d.v"
    vips abs "$compare/d.v" "$compare/a.v"
    verdict="differ: largest pixel difference $(vips max "$compare/a.v")"
    rm -f "$compare/d.v" "$compare/a.v"
  fi
  printf '%-24s %10s  %s\n' "$name" "$(stat -c %s "$f")" "$verdict"
done
say "done"
[ "$differ" = 0 ] || { echo "test-aarch64: $differ results differ" >&2; exit 1; }
