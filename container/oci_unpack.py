#!/usr/bin/env python3
"""Unpacks an OCI image archive (`podman save --format oci-archive`) into a root filesystem, the
way a container runtime lays out an image before it starts it, and gives the image's config.

It reads the archive as the OCI image layout describes it: index.json names the manifest, the
manifest the config and the layers, each a content-addressed blob under blobs/ALGORITHM/DIGEST.
Every blob read is checked against its digest and size, layers are applied in order, and a
whiteout (.wh.NAME, .wh..wh..opq) removes what an earlier layer put there.

Usage: oci_unpack.py ARCHIVE ROOTFS     prints the image config (JSON) on standard output
"""
import gzip
import hashlib
import io
import json
import os
import shutil
import sys
import tarfile

LAYER_TYPES = {
    "application/vnd.oci.image.layer.v1.tar": "r:",
    "application/vnd.oci.image.layer.v1.tar+gzip": "r:gz",
    "application/vnd.docker.image.rootfs.diff.tar.gzip": "r:gz",
}


class ImageError(Exception):
    pass


def _blob(archive, descriptor):
    algorithm, _, digest = descriptor["digest"].partition(":")
    member = archive.extractfile(f"blobs/{algorithm}/{digest}")
    if member is None:
        raise ImageError(f"blob {descriptor['digest']} is not in the archive")
    data = member.read()
    if algorithm != "sha256" or hashlib.sha256(data).hexdigest() != digest:
        raise ImageError(f"blob {descriptor['digest']} does not match its digest")
    if len(data) != descriptor["size"]:
        raise ImageError(f"blob {descriptor['digest']} has {len(data)} bytes, its descriptor says {descriptor['size']}")
    return data


def _inside(root, name):
    path = os.path.normpath(os.path.join(root, name.lstrip("/")))
    if path != root and not path.startswith(root + os.sep):
        raise ImageError(f"layer entry {name} points outside the root")
    return path


def _apply_layer(layer, root):
    for entry in layer.getmembers():
        directory, base = os.path.split(entry.name)
        if base == ".wh..wh..opq":  # opaque directory: what lower layers had there goes
            target = _inside(root, directory)
            for child in os.listdir(target) if os.path.isdir(target) else []:
                path = os.path.join(target, child)
                shutil.rmtree(path) if os.path.isdir(path) and not os.path.islink(path) else os.remove(path)
            continue
        if base.startswith(".wh."):
            path = _inside(root, os.path.join(directory, base[len(".wh."):]))
            if os.path.isdir(path) and not os.path.islink(path):
                shutil.rmtree(path)
            elif os.path.lexists(path):
                os.remove(path)
            continue
        _inside(root, entry.name)
        path = os.path.join(root, entry.name)
        if os.path.lexists(path) and not (entry.isdir() and os.path.isdir(path)):
            shutil.rmtree(path) if os.path.isdir(path) and not os.path.islink(path) else os.remove(path)
        # Owners, modes and symbolic links as the image has them; the entry names were checked above.
        layer.extract(entry, root, set_attrs=True, numeric_owner=True)


def unpack(archive_path, root):
    """Unpacks the archive's one image into `root` (created); returns its config as a dict."""
    root = os.path.abspath(root)
    os.makedirs(root, exist_ok=True)
    with tarfile.open(archive_path) as archive:
        index = json.load(archive.extractfile("index.json"))
        manifests = index.get("manifests", [])
        if len(manifests) != 1:
            raise ImageError(f"the archive holds {len(manifests)} images, not one")
        manifest = json.loads(_blob(archive, manifests[0]))
        config = json.loads(_blob(archive, manifest["config"]))
        diff_ids = config.get("rootfs", {}).get("diff_ids", [])
        if len(diff_ids) != len(manifest["layers"]):
            raise ImageError("the config's diff_ids do not match the manifest's layers")
        for descriptor, diff_id in zip(manifest["layers"], diff_ids):
            mode = LAYER_TYPES.get(descriptor["mediaType"])
            if mode is None:
                raise ImageError(f"layer of media type {descriptor['mediaType']} is not supported")
            data = _blob(archive, descriptor)
            raw = gzip.decompress(data) if mode == "r:gz" else data
            if "sha256:" + hashlib.sha256(raw).hexdigest() != diff_id:
                raise ImageError(f"layer {descriptor['digest']} does not match its diff_id {diff_id}")
            with tarfile.open(fileobj=io.BytesIO(raw), mode="r:") as layer:
                _apply_layer(layer, root)
    return config


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    try:
        print(json.dumps(unpack(sys.argv[1], sys.argv[2]), indent=1))
    except (ImageError, OSError, KeyError, tarfile.TarError, ValueError) as e:
        sys.exit(f"oci_unpack: {sys.argv[1]}: {e}")
