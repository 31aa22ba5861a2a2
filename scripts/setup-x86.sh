#!/usr/bin/env bash
# Makes this machine build and run the world as a 32-bit x86 program (preset host-x86), as root
# on Debian, and builds it: the i386 architecture and the i386 -dev packages beside the amd64
# ones (never in their place: an install that would remove a package stops instead), g++'s -m32
# libraries, and qemu-user registered with binfmt_misc when the kernel will not start a 32-bit
# program itself (CI's machines will not). Then configures host-x86 and builds TARGET.
# Usage: scripts/setup-x86.sh [TARGET]   (default: nicsim; "all" for every target, the tests too)
set -euo pipefail
cd "$(dirname "$0")/.."
target="${1:-nicsim}"

packages=(cmake ninja-build g++ g++-multilib nlohmann-json3-dev libcli11-dev qemu-user-static
          binfmt-support libmd-dev:i386 zlib1g-dev:i386 libabsl-dev:i386 libboost-context-dev:i386
          pkgconf:i386)
if [ "$target" = all ]; then packages+=(libgtest-dev:i386 tshark python3-jsonschema parallel); fi

# One dpkg-query for the lot: " NAME:ARCH:ii " for each installed package. A package named
# without an architecture may be of any (amd64, or "all").
installed=" $(dpkg-query -W -f='${Package}:${Architecture}:${db:Status-Abbrev} ' 2>/dev/null || true)"
missing=()
for p in "${packages[@]}"; do
  if [[ "$p" == *:* ]]; then
    [[ "$installed" == *" $p:ii "* ]] || missing+=("$p")
  else
    [[ "$installed" =~ \ "$p":[a-z0-9]+:ii\  ]] || missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup-x86: installing ${missing[*]}" >&2
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
  apt-get update -qq
  # The i386 -dev packages must go in beside the amd64 ones the default build links against.
  removals=$(DEBIAN_FRONTEND=noninteractive apt-get install -s -y "${missing[@]}" | grep '^Remv' || true)
  if [ -n "$removals" ]; then
    echo "setup-x86: installing ${missing[*]} would remove packages; nothing installed:" >&2
    echo "$removals" >&2
    exit 1
  fi
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# A trivial 32-bit program: if the kernel will not start it, qemu-user will, through binfmt_misc.
probe_dir=$(mktemp -d)
trap 'rm -rf "$probe_dir"' EXIT
printf 'int main(void) { return sizeof(void*) == 4 ? 0 : 1; }\n' > "$probe_dir/probe.c"
gcc -m32 -o "$probe_dir/probe" "$probe_dir/probe.c"
if ! "$probe_dir/probe" 2>/dev/null; then
  echo "setup-x86: 32-bit programs do not run here; registering qemu-i386 with binfmt_misc" >&2
  mountpoint -q /proc/sys/fs/binfmt_misc || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  if [ ! -e /proc/sys/fs/binfmt_misc/qemu-i386 ]; then
    # The ELF header of an i386 executable (class 32, little-endian, machine 3), and the mask of
    # the bytes that decide it; F: the interpreter is opened now, so it works in any namespace.
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' \
      > /proc/sys/fs/binfmt_misc/register
  fi
  if ! "$probe_dir/probe"; then
    echo "setup-x86: a 32-bit program still does not run (binfmt_misc: $(cat /proc/sys/fs/binfmt_misc/qemu-i386 2>/dev/null | head -1 || echo 'no qemu-i386 entry'))" >&2
    exit 1
  fi
fi

if [ "$target" = all ] || [ ! -f build/host-x86/build.ninja ]; then
  cmake --preset host-x86 >/dev/null
fi
if [ "$target" = all ]; then
  cmake --build --preset host-x86
else
  cmake --build --preset host-x86 --target "$target"
fi
