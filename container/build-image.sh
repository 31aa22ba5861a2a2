#!/usr/bin/env bash
# Builds the nicsim OCI image from this checkout with podman, FROM scratch (no base image is
# pulled): nicsim built by scripts/setup.sh, stripped, with its shared-library closure (none for
# the static binary the default build makes) and a static busybox `sh`. Saves it as an OCI
# archive, build/image/nicsim-oci.tar, and tags it in podman's local storage as
# localhost/nicsim:VERSION and localhost/nicsim:latest (VERSION is nicsim --version's
# `git describe`), ready for `podman push` (docs/explore.md).
# Usage: container/build-image.sh        (as root on Debian 12; installs podman when missing)
# Reproducible as far as the tools allow: file times and the image's creation time are the last
# commit's time, history and the builder's identity label are left out, owners are root, so the
# same checkout and Debian packages give the same layer and the same image digest.
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
command -v podman >/dev/null || need+=(podman)
command -v objcopy >/dev/null || need+=(binutils)
if [ ${#need[@]} -gt 0 ]; then
  echo "build-image: installing ${need[*]}" >&2
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

scripts/setup.sh default nicsim >/dev/null
binary=build/default/tools/nicsim/nicsim
version=$("$binary" --version | sed -n 's/^nicsim //p')
# An image tag takes letters, digits, ".", "_" and "-" only.
case "$version" in ""|*[!A-Za-z0-9_.-]*) version=unknown ;; esac
epoch=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || echo 0)}

out=build/image
context=$out/context
rm -rf "$context"
mkdir -p "$context/rootfs/usr/local/bin" "$context/rootfs/bin" "$context/rootfs/tmp" "$out/debs"
cp container/Containerfile "$context/"

# The binary without its debug information: backtraces in the image name addresses only.
objcopy --strip-debug --strip-unneeded "$binary" "$context/rootfs/usr/local/bin/nicsim"

# Every library the dynamic loader maps for nicsim, the loader itself included, at the path ldd
# prints (the one the loader searches), as a regular file; none when nicsim is linked statically,
# as the default build links it.
if ldd "$binary" >/dev/null 2>&1; then
  ldd "$binary" | awk '/=> \//{print $3} /^\t\//{print $1}' | sort -u | while read -r lib; do
    mkdir -p "$context/rootfs$(dirname "$lib")"
    cp -L "$lib" "$context/rootfs$lib"
  done
fi

# A static busybox from Debian's busybox-static, taken from the package file rather than
# installed, since installing it would replace the machine's own busybox.
deb=$(ls "$out"/debs/busybox-static_*.deb 2>/dev/null | head -n1 || true)
if [ -z "$deb" ]; then
  (cd "$out/debs" && { apt-get download -qq busybox-static 2>/dev/null || { apt-get update -qq && apt-get download -qq busybox-static; }; })
  deb=$(ls "$out"/debs/busybox-static_*.deb | head -n1)
fi
rm -rf "$out/busybox" && dpkg-deb -x "$deb" "$out/busybox"
cp "$out/busybox/bin/busybox" "$context/rootfs/bin/busybox"
# The Job's command needs sh alone; the others are for a person with `kubectl exec`.
for applet in sh ls cat cp mv rm mkdir env test [ sleep wc head tail grep; do
  ln -s busybox "$context/rootfs/bin/$applet"
done

chmod -R u=rwX,go=rX "$context/rootfs"
chmod 1777 "$context/rootfs/tmp"
find "$context" -exec touch -h -d "@$epoch" {} +

podman build --quiet --timestamp "$epoch" --identity-label=false --omit-history --no-cache \
  --tag "localhost/nicsim:$version" --tag localhost/nicsim:latest "$context" >/dev/null
rm -f "$out/nicsim-oci.tar"
podman save --quiet --format oci-archive -o "$out/nicsim-oci.tar" "localhost/nicsim:$version"
id=$(podman image inspect --format '{{.Id}}' "localhost/nicsim:$version")
size=$(podman image inspect --format '{{.Size}}' "localhost/nicsim:$version")
echo "build-image: localhost/nicsim:$version (image ID ${id:0:12}, $((size / 1024)) KiB unpacked) saved as $out/nicsim-oci.tar"
