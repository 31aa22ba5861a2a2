#!/usr/bin/env python3
"""Derives windows/layout/layouts.h from the driver's sources and the DDK's headers, or checks it.

The table lists every size, alignment and member offset of a DDK structure that the Windows image
relies on, with its value on 32-bit and on 64-bit Windows, so that the emulated world, which
fills in and reads back those structures when it runs the image, can be held to them
(windows/layout/host_layouts.cpp). What the image relies on is read from clang's AST of each
driver source, compiled as the Windows builds compile it (their compile_commands.json: the
include paths that hold the DDK's headers as windows/ddk.cmake mends them):

  - every member access to a structure declared outside driver/ (the DDK's), in the driver's own
    code and in every DDK inline routine that code calls, directly or through the DDK's macros;
  - every sizeof, alignof and offsetof of such a structure, pointer arithmetic and indexing over
    one, and every object of such a type the driver holds (a field of its own records, a local,
    a global, a copy), whose size and alignment the driver's own layout depends on;
  - the structures the world fills in for the driver and reads back from it (WORLD_SHARED below):
    their sizes and every member the world's declarations (driver/platform/) name.

The values come from clang's -fdump-record-layouts for each Windows target. A structure the
world does not declare yet is listed in a block that only the DDK side checks; it moves into the
checked table once the world declares it (and --check then asks for the table to be written
again).

The platform headers are compiled once per target into a precompiled header: each driver source
is then dumped on top of it (only its own declarations, half a megabyte, instead of 230 MB of the
DDK's and the compiler's headers), and the DDK's inline routines it reaches are read from one
dump of the platform headers alone.
"""

import argparse
import bisect
import concurrent.futures
import functools
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
TABLE = ROOT / "windows" / "layout" / "layouts.h"
DRIVER_DIR = str(ROOT / "driver") + os.sep
TARGETS = {"x86": "i686-w64-mingw32", "x64": "x86_64-w64-mingw32"}
ARCHES = ("x86", "x64")
# The world's declarations are read for their member names only, which are the same on both
# machines; the values they must have are the DDK's.
HOST_TARGET = "x86_64-linux-gnu"
# The world's declarations as its 64-bit build and its 32-bit (-m32) build see them, for their
# calling conventions.
HOST_TARGETS = {"x86": "i686-linux-gnu", "x64": HOST_TARGET}
PLATFORM_HEADERS = ["platform/nt.h", "platform/ndis.h", "platform/usb.h"]
HOST_HEADERS = ["driver/platform/nt.h", "driver/platform/ndis.h", "driver/platform/usb.h"]

# The structures the world fills in for the driver and reads back from it, by their DDK tag:
# the I/O manager's IRPs, stack locations and device and driver objects (host/kernel, host/usb),
# the wrapper's packets, buffers, timers, locks and configuration parameters (host/ndis), the
# event the I/O manager signals, the URBs, descriptors and interface information the bus and
# USBD fill in and read (host/usb), and the characteristics the wrapper reads. Named structures
# embedded in them are shared as well.
WORLD_SHARED = [
    "_IRP", "_IO_STACK_LOCATION", "_DEVICE_OBJECT", "_DRIVER_OBJECT", "_IO_STATUS_BLOCK",
    "_MDL", "_NDIS_PACKET", "_NDIS_PACKET_PRIVATE", "_NDIS_PACKET_OOB_DATA",
    "_NDIS_MINIPORT_TIMER", "_NDIS_SPIN_LOCK", "_KEVENT", "_DISPATCHER_HEADER", "_LIST_ENTRY",
    "_LARGE_INTEGER", "_UNICODE_STRING", "_NDIS_CONFIGURATION_PARAMETER",
    "_NDIS_MINIPORT_CHARACTERISTICS",
    "_URB", "_URB_HEADER", "_URB_SELECT_CONFIGURATION", "_URB_PIPE_REQUEST",
    "_URB_CONTROL_DESCRIPTOR_REQUEST", "_URB_CONTROL_FEATURE_REQUEST",
    "_URB_CONTROL_GET_STATUS_REQUEST", "_URB_CONTROL_VENDOR_OR_CLASS_REQUEST",
    "_URB_BULK_OR_INTERRUPT_TRANSFER",
    "_USBD_INTERFACE_INFORMATION", "_USBD_PIPE_INFORMATION", "_USBD_INTERFACE_LIST_ENTRY",
    "_USB_DEVICE_DESCRIPTOR", "_USB_CONFIGURATION_DESCRIPTOR", "_USB_INTERFACE_DESCRIPTOR",
    "_USB_ENDPOINT_DESCRIPTOR",
]

# A member the world declares only to fill bytes of the DDK's it has no use for.
RESERVED_PREFIX = "Reserved"


class Failure(Exception):
    pass


# ---------------------------------------------------------------------------------------------
# Clang's JSON AST, a declaration at a time: the dump is split into its top-level declarations
# (and those inside extern "C" blocks and namespaces) by their indentation, and a declaration is
# parsed only when it is needed.

FILE_RE = re.compile(r'"file": "([^"]*)"')
KIND_RE = re.compile(r'"kind": "(\w+)"')
INCLUDED_FROM_RE = re.compile(r'"includedFrom": \{\s*')


def unquote(text):
    return json.loads('"' + text + '"') if "\\" in text else text


class Decl:
    __slots__ = ("dump", "start", "end", "kind", "id", "name", "previous", "file")

    def __init__(self, dump, start, end, kind, id_, name, previous, file):
        self.dump, self.start, self.end = dump, start, end
        self.kind, self.id, self.name, self.previous, self.file = kind, id_, name, previous, file

    def head(self, length=3000):
        return self.dump.text[self.start:min(self.end, self.start + length)]

    def parse(self):
        return json.loads(self.dump.text[self.start:self.end])

    def file_before(self):
        """The file of the last location written before this declaration."""
        return self.dump.file_before(self.start)


class Dump:
    def __init__(self, text):
        self.text = text
        # A location names its file only when it differs from the location written before it;
        # "includedFrom" names the includer and does not count.
        includers = {m.end() for m in INCLUDED_FROM_RE.finditer(text)}
        self.file_at = []
        self.file_name = []
        for m in FILE_RE.finditer(text):
            if m.start() not in includers:
                self.file_at.append(m.start())
                self.file_name.append(unquote(m.group(1)))
        self.decls = []
        self._split(0, len(text), 4)
        # Function definitions, by the id of any of their declarations and by name.
        by_id = {d.id: d for d in self.decls if d.kind in ("FunctionDecl", "CXXMethodDecl")}
        self.definitions = {}
        self.by_name = {}
        for d in by_id.values():
            if text.find('"kind": "CompoundStmt"', d.start, d.end) == -1:
                continue
            chain = d
            for _ in range(64):
                self.definitions[chain.id] = d
                chain = by_id.get(chain.previous) if chain.previous else None
                if chain is None:
                    break
            self.by_name.setdefault(d.name, d)

    def _split(self, lo, hi, indent):
        text = self.text
        opener = "\n" + " " * indent + "{\n"
        closer = "\n" + " " * indent + "}"
        key = "\n" + " " * (indent + 2) + '"'
        pos = text.find(opener, lo, hi)
        while pos != -1:
            start = pos + 1
            end = text.find(closer, start, hi)
            if end == -1:
                raise Failure("clang's AST dump ends inside a declaration")
            end += len(closer)
            kind = KIND_RE.search(text, start, end).group(1)
            if kind in ("LinkageSpecDecl", "NamespaceDecl"):
                self._split(start, end, indent + 4)
            else:
                at = text.find(key + 'range"', start, end)
                self.decls.append(Decl(self, start, end, kind, self._field(start, end, key, "id"),
                                       self._field(start, end, key, "name"),
                                       self._field(start, end, key, "previousDecl"),
                                       self.file_before(at if at != -1 else start)))
            pos = text.find(opener, end, hi)

    def _field(self, start, end, key, name):
        at = self.text.find(key + name + '": "', start, min(end, start + 4000))
        if at == -1:
            return None
        at += len(key) + len(name) + 4
        return self.text[at:self.text.index('"', at)]

    def file_before(self, at):
        i = bisect.bisect_left(self.file_at, at) - 1
        return self.file_name[i] if i >= 0 else ""


def is_driver_file(name):
    return name != "" and os.path.abspath(name).startswith(DRIVER_DIR)


# ---------------------------------------------------------------------------------------------
# Types and names.

UNNAMED_RE = re.compile(r"\((?:anonymous|unnamed)(?: \w+)? at ")


def type_text(node):
    t = node.get("type", {})
    return t.get("desugaredQualType", t.get("qualType", ""))


def strip_qualifiers(t):
    t = re.sub(r"\b(const|volatile|__unaligned)\b", "", t)
    return " ".join(t.split())


class Names:
    """The records and typedefs of a translation unit, and which records are the platform's
    (declared outside driver/)."""

    def __init__(self, base=None):
        self.records = dict(base.records) if base else {}    # tag -> "struct"/"union"
        self.platform = set(base.platform) if base else set()
        self.typedefs = dict(base.typedefs) if base else {}  # name -> underlying type text

    def add(self, dump):
        for d in dump.decls:
            if d.kind in ("RecordDecl", "CXXRecordDecl") and d.name:
                m = re.search(r'"tagUsed": "(\w+)"', d.head())
                self.records.setdefault(d.name, m.group(1) if m else "struct")
                if not is_driver_file(d.file):
                    self.platform.add(d.name)
            elif d.kind == "TypedefDecl" and d.name:
                m = re.search(r'"type": \{\s*(?:"desugaredQualType": "[^"]*",\s*)?'
                              r'"qualType": "((?:[^"\\]|\\.)*)"', d.head())
                if m:
                    self.typedefs.setdefault(d.name, unquote(m.group(1)))
        return self

    def record(self, t):
        """The tag of the record the type text `t` names (not through pointers), or None."""
        for _ in range(32):
            t = strip_qualifiers(t)
            m = re.fullmatch(r"(?:struct|union|class) (\w+)", t)
            if m:
                return m.group(1)
            if t in self.records:
                return t
            if t in self.typedefs:
                t = self.typedefs[t]
                continue
            return None
        return None

    def pointee(self, t):
        t = strip_qualifiers(t)
        for _ in range(32):
            if t.endswith("*"):
                return t[:-1].strip()
            if t in self.typedefs:
                t = strip_qualifiers(self.typedefs[t])
                continue
            return None
        return None

    def element(self, t):
        """The record of `t`, looking through arrays."""
        t = strip_qualifiers(t)
        for _ in range(32):
            m = re.fullmatch(r"(.*?) ?\[\d*\]", t)
            if m:
                t = m.group(1)
                continue
            if t in self.typedefs and self.record(t) is None:
                t = strip_qualifiers(self.typedefs[t])
                continue
            return self.record(t)
        return None

    def spelling(self, tag):
        """How the table names a record: by its typedef when that is the tag without its leading
        underscore (IRP for _IRP), else by its tag."""
        if tag.startswith("_") and self.typedefs.get(tag[1:]) is not None \
                and self.record(tag[1:]) == tag:
            return tag[1:]
        return f"{self.records.get(tag, 'struct')} {tag}"


# ---------------------------------------------------------------------------------------------
# What the driver relies on.

class Usage:
    def __init__(self):
        self.offsets = {}  # (tag, path) -> where it was first seen
        self.sizes = {}    # tag -> where
        self.aligns = {}   # tag -> where

    def merge(self, other):
        for mine, theirs in ((self.offsets, other.offsets), (self.sizes, other.sizes),
                             (self.aligns, other.aligns)):
            for k, v in theirs.items():
                mine.setdefault(k, v)

    def tags(self):
        return set(self.sizes) | set(self.aligns) | {t for t, _ in self.offsets}


SOURCE_CACHE = {}


def source_text(path):
    if path not in SOURCE_CACHE:
        SOURCE_CACHE[path] = Path(path).read_bytes()
    return SOURCE_CACHE[path]


def macro_arguments(path, offset):
    """The name and arguments of the macro invocation at `offset` in `path`: offsetof(T, F)."""
    text = source_text(path)[offset:offset + 1000].decode(errors="replace")
    m = re.match(r"(\w+)\s*\(", text)
    if not m:
        return None, []
    args, depth, current = [], 0, ""
    for ch in text[m.end():]:
        if ch in "([" :
            depth += 1
        elif ch in ")]":
            if depth == 0:
                args.append(current.strip())
                return m.group(1), args
            depth -= 1
        elif ch == "," and depth == 0:
            args.append(current.strip())
            current = ""
            continue
        current += ch
    return m.group(1), args


class Collector:
    """Walks the driver's declarations in one translation unit, and the DDK routines they reach,
    for what they rely on."""

    def __init__(self, unit, platform, names, source):
        self.unit = unit          # the driver source's dump (on top of the precompiled header)
        self.platform = platform  # the platform headers' dump
        self.names = names
        self.source = os.path.relpath(source, ROOT)
        self.usage = Usage()

    def is_platform(self, tag):
        return tag is not None and tag in self.names.platform

    def run(self):
        pending = [(d, f"{self.source}: {d.name or d.kind}") for d in self.unit.decls
                   if is_driver_file(d.file)]
        seen = set()
        while pending:
            decl, where = pending.pop()
            if (id(decl.dump), decl.start) in seen:
                continue
            seen.add((id(decl.dump), decl.start))
            for ref in self.walk(decl, where):
                target = decl.dump.definitions.get(ref["id"])
                if target is None and ref.get("name"):
                    target = self.platform.by_name.get(ref["name"])
                if target is not None and not is_driver_file(target.file):
                    pending.append((target, f"{target.name} (DDK), from {where}"))
                elif target is not None:
                    pending.append((target, f"{self.source}: {target.name}"))
        return self.usage

    def size(self, tag, where, align=False):
        if self.is_platform(tag):
            self.usage.sizes.setdefault(tag, where)
            if align:
                self.usage.aligns.setdefault(tag, where)

    def walk(self, decl, where):
        """Records what `decl` relies on; yields the functions it refers to."""
        current_file = [decl.file_before()]

        def follow(loc):
            # Keeps track of the file locations are in, as the dump writes them in order.
            if not isinstance(loc, dict):
                return
            for k, v in loc.items():
                if k == "file":
                    current_file[0] = v
                elif k != "includedFrom" and isinstance(v, dict):
                    follow(v)

        stack = [decl.parse()]
        while stack:
            node = stack.pop()
            if not isinstance(node, dict):
                continue
            follow(node.get("loc"))
            begin_file, begin_offset = None, None
            rng = node.get("range")
            if isinstance(rng, dict) and isinstance(rng.get("begin"), dict):
                begin = rng["begin"]
                follow(begin)
                where_begin = begin.get("expansionLoc", begin)
                begin_file, begin_offset = current_file[0], where_begin.get("offset")
                follow(rng.get("end"))
            kind = node.get("kind")
            if kind == "MemberExpr":
                self.member(node, where)
            elif kind == "DeclRefExpr":
                ref = node.get("referencedDecl", {})
                if ref.get("kind") in ("FunctionDecl", "CXXMethodDecl"):
                    yield ref
            elif kind == "UnaryExprOrTypeTraitExpr":
                arg = node.get("argType")
                t = (arg.get("desugaredQualType", arg.get("qualType", "")) if arg
                     else type_text(node["inner"][0]))
                tag = self.names.element(t)
                if node.get("name") == "sizeof":
                    self.size(tag, where)
                elif self.is_platform(tag):
                    self.usage.aligns.setdefault(tag, where)
            elif kind == "OffsetOfExpr":
                self.offsetof(begin_file, begin_offset, where)
            elif kind in ("BinaryOperator", "CompoundAssignOperator", "UnaryOperator"):
                if node.get("opcode") in ("+", "-", "+=", "-=", "++", "--"):
                    for operand in node.get("inner", []):
                        p = self.names.pointee(type_text(operand))
                        if p is not None:
                            self.size(self.names.record(p), where)
            elif kind == "ArraySubscriptExpr":
                self.size(self.names.record(type_text(node)), where)
            elif kind in ("VarDecl", "FieldDecl"):
                self.size(self.names.element(type_text(node)), where, align=True)
            elif kind in ("InitListExpr", "CXXConstructExpr", "ParmVarDecl"):
                self.size(self.names.element(type_text(node)), where)
            stack.extend(reversed(node.get("inner", [])))

    def offsetof(self, path, offset, where):
        if path is None or offset is None:
            raise Failure(f"{where}: an offsetof whose place in the source the AST does not give")
        macro, args = macro_arguments(path, offset)
        if macro in ("offsetof", "FIELD_OFFSET", "__builtin_offsetof") and len(args) == 2:
            type_, member = args
        elif macro == "CONTAINING_RECORD" and len(args) == 3:
            type_, member = args[1], args[2]
        else:
            raise Failure(f"{where}: an offsetof written as {macro}({', '.join(args)}) at "
                          f"{path}:{offset}, which this script does not read")
        tag = self.names.record(type_)
        if self.is_platform(tag):
            self.usage.offsets.setdefault((tag, re.sub(r"\s+", "", member)), where)

    def member(self, node, where):
        # The member's path from the nearest named structure: through members of unnamed types
        # (IRP's Tail.Overlay.CurrentStackLocation) and anonymous ones (which add no name).
        names = [node.get("name", "")]
        current = node
        while True:
            base = current["inner"][0]
            if current.get("isArrow"):
                root = self.names.pointee(type_text(base))
                break
            inner = base
            while inner.get("kind") in ("ImplicitCastExpr", "ParenExpr") and inner.get("inner"):
                inner = inner["inner"][0]
            if inner.get("kind") == "MemberExpr" and UNNAMED_RE.search(type_text(inner)):
                names.append(inner.get("name", ""))
                current = inner
                continue
            root = type_text(base)
            break
        tag = self.names.record(root) if root is not None else None
        if not self.is_platform(tag):
            return
        path = ".".join(n for n in reversed(names) if n)
        if path:
            self.usage.offsets.setdefault((tag, path), where)


# ---------------------------------------------------------------------------------------------
# Record layouts.

class Layout:
    def __init__(self, size, align, members):
        self.size = size
        self.align = align
        # path -> (offset, type text, bit-field?); anonymous members add no name
        self.members = members


LAYOUT_LINE_RE = re.compile(r"^\s*(\d+)(:\d+-\d+)? \| (\s*)(.*)$")


def parse_layouts(output):
    """{tag: Layout} from clang's -fdump-record-layouts output."""
    layouts = {}
    for block in output.split("*** Dumping AST Record Layout")[1:]:
        lines = block.strip("\n").splitlines()
        first = LAYOUT_LINE_RE.match(lines[0])
        m = first and re.fullmatch(r"(?:struct|union|class) (\w+)", first.group(4).strip())
        if not m:
            continue
        members = {}
        stack = []  # (depth, name) of the enclosing members
        size = align = None
        for line in lines[1:]:
            sm = re.search(r"\bsizeof=(\d+)", line)
            if sm:
                size = int(sm.group(1))
                align = int(re.search(r"\balign=(\d+)", line).group(1))
                continue
            lm = LAYOUT_LINE_RE.match(line)
            if not lm:
                continue
            offset = int(lm.group(1))
            depth = len(lm.group(3)) // 2
            decl = lm.group(4).strip()
            if decl.endswith(")") and UNNAMED_RE.search(decl):
                type_, name = decl, ""
            else:
                type_, _, name = decl.rpartition(" ")
            while stack and stack[-1][0] >= depth:
                stack.pop()
            stack.append((depth, name))
            if name:
                members.setdefault(".".join(n for _, n in stack if n),
                                   (offset, type_, lm.group(2) is not None))
        if size is None:
            raise Failure(f"no size in clang's layout of {m.group(1)}")
        layouts.setdefault(m.group(1), Layout(size, align, members))
    return layouts


def named_record_type(text):
    """The tag a member's type names when it is a named structure (not a pointer or array)."""
    t = strip_qualifiers(text)
    if UNNAMED_RE.search(t):
        return None
    m = re.fullmatch(r"(?:struct|union|class) (\w+)", t)
    return m.group(1) if m else None


# ---------------------------------------------------------------------------------------------
# Compiling.

def find_clang():
    for name in ("clang++", "clang++-14", "clang++-15", "clang++-16"):
        path = shutil.which(name)
        if path:
            return path
    raise Failure("clang++ is not installed (scripts/build-windows.sh installs it: apt-get "
                  "install clang)")


def run(cmd, what):
    proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if proc.returncode != 0:
        raise Failure(f"{what} failed ({' '.join(map(str, cmd))}):\n"
                      f"{proc.stderr.decode(errors='replace')}")
    return proc.stdout.decode(errors="replace")


@functools.lru_cache(maxsize=None)
def cross_includes(compiler):
    """The cross compiler's own include directories, which clang does not find by itself: its
    C++ library first, then the MinGW-w64 headers (after clang's own, whose intrinsics clang
    needs instead of GCC's)."""
    out = subprocess.run([compiler, "-xc++", "-E", "-v", "-"], input=b"", capture_output=True)
    text = out.stderr.decode(errors="replace")
    if "#include <...> search starts here:" not in text:
        raise Failure(f"{compiler} did not list its include directories")
    dirs = text.split("#include <...> search starts here:")[1].split("End of search list.")[0]
    flags = ["-nostdinc++", "-nostdlibinc"]
    for d in (os.path.normpath(x.strip()) for x in dirs.splitlines() if x.strip()):
        if "/c++" in d:
            flags += ["-isystem", d]
        elif not re.search(r"/gcc/[^/]+/[^/]+/include(-fixed)?$", d):
            flags += ["-idirafter", d]
    return flags


def windows_build(build_dir, arch):
    """The driver sources of a configured Windows build and the flags clang compiles them with."""
    db = Path(build_dir) / "compile_commands.json"
    if not db.exists():
        raise Failure(f"{db} does not exist: configure the Windows build first "
                      f"(cmake --preset windows-{arch}, or scripts/build-windows.sh)")
    sources, flags = [], None
    for e in json.loads(db.read_text()):
        src = os.path.abspath(os.path.join(e["directory"], e["file"]))
        if not src.startswith(DRIVER_DIR):
            continue
        args = e.get("arguments") or e["command"].split()
        mine = [f"--target={TARGETS[arch]}", *cross_includes(args[0])]
        i = 1
        while i < len(args):
            a = args[i]
            if a in ("-I", "-isystem", "-D"):
                mine += [a, args[i + 1]]
                i += 1
            elif a.startswith(("-I", "-D", "-std=")) or a in ("-fno-exceptions", "-fno-rtti",
                                                              "-ffreestanding"):
                mine.append(a)
            i += 1
        if flags is not None and mine != flags:
            raise Failure(f"{db}: the driver sources are not all compiled with the same flags")
        flags = mine
        sources.append(src)
    if not sources:
        raise Failure(f"{db} lists no driver source")
    return sorted(sources), flags


def clang_tasks(cxx, arch, sources, flags, tmp):
    """Runs clang for one target: the precompiled platform headers, the platform headers' own
    dump, and each driver source's dump on top of them."""
    header = Path(tmp) / f"platform-{arch}.h"
    header.write_text("".join(f'#include "{h}"\n' for h in PLATFORM_HEADERS))
    pch = Path(tmp) / f"platform-{arch}.pch"
    common = [cxx, *flags, "-Wno-everything"]
    run([*common, "-x", "c++-header", str(header), "-o", str(pch)],
        f"precompiling the platform headers for {arch}")
    dump = [*common, "-fsyntax-only", "-Xclang", "-ast-dump=json"]
    jobs = [("platform", [*dump, "-x", "c++", str(header)])]
    jobs += [(src, [*dump, "-include-pch", str(pch), src]) for src in sources]
    return header, pch, jobs


def derive(build_dirs, jobs):
    cxx = find_clang()
    usage = Usage()
    layouts = {}
    ddk_names = None
    ddk_conventions = {}
    with tempfile.TemporaryDirectory() as tmp, \
            concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        work = {}
        for arch in ARCHES:
            sources, flags = windows_build(build_dirs[arch], arch)
            header, pch, tasks = clang_tasks(cxx, arch, sources, flags, tmp)
            work[arch] = (flags, pch, [(what, pool.submit(run, cmd, f"clang's AST of {what} for "
                                                          f"{arch}")) for what, cmd in tasks])
        for arch in ARCHES:
            flags, pch, tasks = work[arch]
            platform = Dump(tasks[0][1].result())
            ddk_conventions[arch] = conventions(platform, arch, ddk=True)
            names = Names().add(platform)
            for src, fut in tasks[1:]:
                unit = Dump(fut.result())
                usage.merge(Collector(unit, platform, Names(names).add(unit), src).run())
            del platform
            if arch == "x64":
                ddk_names = names
            layouts[arch] = Layouts(cxx, [*flags, "-include-pch", str(pch)], [], names)
        world = {}
        for arch in ARCHES:
            world[arch] = Dump(run([cxx, f"--target={HOST_TARGETS[arch]}", "-std=c++20",
                                    f"-I{ROOT}", "-fsyntax-only", "-Wno-everything", "-Xclang",
                                    "-ast-dump=json", *include_args(HOST_HEADERS), "-x", "c++",
                                    "/dev/null"], f"clang's AST of the world's declarations "
                                                  f"({arch})"))
        mismatches, compared = compare_conventions(ddk_conventions, {
            arch: conventions(world[arch], arch, ddk=False) for arch in ARCHES})
        host = Names().add(world["x64"])
        del world
        host_layouts = Layouts(cxx, ["-std=c++20", f"-I{ROOT}", f"--target={HOST_TARGET}"],
                               HOST_HEADERS, host)
        return (*build_rows(usage, ddk_names, layouts, host, host_layouts), mismatches,
                compared)


# ---------------------------------------------------------------------------------------------
# Calling conventions: every routine the world exports and every callback type it calls must
# have the convention the DDK declares, on each machine. On x86 clang writes a routine's
# convention into its type (stdcall, fastcall; none is cdecl on both sides); on x64 every DDK
# routine has the Microsoft convention, which the world, on Linux, must ask for (ms_abi).

CONVENTION_RE = re.compile(r"__attribute__\(\((stdcall|fastcall|cdecl|ms_abi|sysv_abi)\)\)")
TYPE_RE = re.compile(r'"type": \{\s*(?:"desugaredQualType": "(?:[^"\\]|\\.)*",\s*)?'
                     r'"qualType": "((?:[^"\\]|\\.)*)"')
# clang names a convention written through a macro by the macro (NTAPI VOID (*)(NDIS_HANDLE)),
# and gives the attribute itself in the types nested under the typedef.


def conventions(dump, arch, ddk):
    """{name: convention} of the routines declared (not defined inline) and the function-pointer
    typedefs of a dump of platform headers."""
    found = {}
    pointers = {}  # PDRIVER_CANCEL -> DRIVER_CANCEL: the DDK's pointers to function typedefs
    for d in dump.decls:
        if d.kind not in ("FunctionDecl", "TypedefDecl") or not d.name:
            continue
        head = d.dump.text[d.start:d.end] if d.kind == "FunctionDecl" else d.head()
        m = TYPE_RE.search(head)
        if m is None:
            continue
        type_ = unquote(m.group(1))
        pointee = re.fullmatch(r"(\w+) \*", type_)
        if d.kind == "TypedefDecl" and pointee:
            pointers[d.name] = pointee.group(1)
            continue
        # A function type or a pointer to one (not an unnamed structure's "(anonymous at ...)").
        if d.kind == "TypedefDecl" and (not re.search(r"\)\s*\(|^[^(]*\w \(", type_) or
                                        UNNAMED_RE.search(type_)):
            continue
        if d.kind == "FunctionDecl" and ('"inline": true' in head or
                                         '"kind": "CompoundStmt"' in head):
            continue
        conv = CONVENTION_RE.findall(type_ if d.kind == "FunctionDecl" else
                                     d.dump.text[d.start:d.end])[:1]
        if arch == "x64" and ddk:
            # Every convention but System V is the Microsoft one on x64 (__cdecl, __stdcall).
            found[d.name] = "sysv_abi" if conv == ["sysv_abi"] else "ms_abi"
        elif conv:
            found[d.name] = conv[0]
        elif arch == "x64":
            # Linux's default is System V.
            found[d.name] = "sysv_abi"
        else:
            found[d.name] = "cdecl"
    for name, pointee in pointers.items():
        if pointee in found:
            found.setdefault(name, found[pointee])
    return found


def compare_conventions(ddk, world):
    problems, compared = [], 0
    for arch in ARCHES:
        for name in sorted(set(ddk[arch]) & set(world[arch])):
            compared += 1
            if ddk[arch][name] != world[arch][name]:
                problems.append(f"{name} on {arch}: the DDK declares it {ddk[arch][name]}, the "
                                f"world (driver/platform/) {world[arch][name]}")
    return problems, compared


def include_args(headers):
    return [a for h in headers for a in ("-include", h)]


class Layouts:
    """Record layouts for one target, asked of clang as they are needed."""

    def __init__(self, cxx, flags, headers, names):
        self.cxx, self.flags, self.headers, self.names = cxx, flags, headers, names
        self.known = {}
        self.asked = set()

    def get(self, tags):
        missing = sorted(t for t in tags if t not in self.known and t not in self.asked
                         and t in self.names.records)
        self.asked.update(missing)
        if missing:
            with tempfile.TemporaryDirectory() as tmp:
                probe = Path(tmp) / "probe.cpp"
                probe.write_text("".join(f"static_assert(sizeof({self.names.spelling(t)}) > 0);\n"
                                         for t in missing))
                out = run([self.cxx, *self.flags, *include_args(self.headers), "-fsyntax-only",
                           "-Wno-everything", "-Xclang", "-fdump-record-layouts", str(probe)],
                          "clang's record layouts")
            for tag, lay in parse_layouts(out).items():
                self.known.setdefault(tag, lay)
        return {t: self.known[t] for t in tags if t in self.known}

    def __getitem__(self, tag):
        found = self.get([tag])
        if tag not in found:
            raise Failure(f"clang gave no layout of {tag}")
        return found[tag]


# ---------------------------------------------------------------------------------------------
# The table.

class Row:
    def __init__(self, tag, kind, path, expr, values):
        self.tag, self.kind, self.path, self.expr, self.values = tag, kind, path, expr, values

    def sort_key(self):
        return ({"sizeof": 0, "alignof": 1, "offsetof": 2}[self.kind], self.values["x64"],
                self.values["x86"], self.path or "")


def build_rows(usage, names, layouts, host, host_layouts):
    rows = {}

    def host_tag(tag):
        # The world's record of the name the table gives the DDK's: NDIS_MINIPORT_CHARACTERISTICS
        # is a structure of its own in the DDK, the NDIS 5.0 one under another name in the world.
        return host.record(re.sub(r"^(struct|union|class) ", "", names.spelling(tag)))

    def add(tag, kind, path=None):
        if tag not in names.records:
            raise Failure(f"the DDK declares no structure {tag}")
        spelled = names.spelling(tag)
        expr = f"{kind}({spelled}, {path})" if kind == "offsetof" else f"{kind}({spelled})"
        if expr in rows:
            return
        values = {}
        for arch in ARCHES:
            lay = layouts[arch][tag]
            if kind == "sizeof":
                values[arch] = lay.size
            elif kind == "alignof":
                values[arch] = lay.align
            elif path not in lay.members:
                raise Failure(f"the DDK's {spelled} on {arch} has no member {path}")
            elif lay.members[path][2]:
                raise Failure(f"{spelled}'s {path} is a bit-field in the DDK, which offsetof "
                              f"cannot name")
            else:
                values[arch] = lay.members[path][0]
        rows[expr] = Row(tag, kind, path, expr, values)

    for arch in ARCHES:
        layouts[arch].get(usage.tags() | set(WORLD_SHARED))
    host_layouts.get({host_tag(t) for t in WORLD_SHARED} - {None})
    for tag in usage.sizes:
        add(tag, "sizeof")
    for tag in usage.aligns:
        add(tag, "alignof")
    for tag, path in usage.offsets:
        add(tag, "offsetof", path)

    # What the world shares: the size and every member its declarations name, through members
    # of unnamed types; a member of a named structure type is shared, and so is that structure.
    shared, work = set(), list(WORLD_SHARED)
    while work:
        tag = work.pop()
        if tag in shared:
            continue
        shared.add(tag)
        add(tag, "sizeof")
        mine = host_tag(tag)
        if mine is None:
            continue
        ddk = layouts["x64"][tag]
        members = host_layouts[mine].members
        for path, (_, type_, _) in members.items():
            parts = path.split(".")
            if any(named_record_type(members[".".join(parts[:i])][1]) for i in
                   range(1, len(parts))):
                continue
            missing = [a for a in ARCHES if path not in layouts[a][tag].members]
            if parts[-1].startswith(RESERVED_PREFIX) and (missing or ddk.members[path][2]):
                continue
            if len(missing) == len(ARCHES):
                raise Failure(f"the world's {host.spelling(tag)} has a member {path} that the "
                              f"DDK's lacks, which the image would never see (a member the "
                              f"world keeps only to fill bytes is named {RESERVED_PREFIX}...)")
            if missing:
                # A member of one machine's structure alone (KTIMER's Processor on x64): the
                # offsets of the members after it hold it to its place.
                continue
            if ddk.members[path][2]:
                raise Failure(f"the world's {host.spelling(tag)} names {path}, a bit-field of the "
                              f"DDK's: it would read or write the bits around it too (declare "
                              f"the bytes that hold it under a {RESERVED_PREFIX}... name)")
            add(tag, "offsetof", path)
            inner = named_record_type(type_)
            if inner is not None and inner in names.platform:
                work.append(inner)
    return rows, {r.tag for r in rows.values() if host_tag(r.tag) is not None}, usage


HEADER = """\
// The sizes, alignments and member offsets of the DDK's structures that the driver's Windows image
// relies on, and of those the emulated world fills in for it and reads back from it, as
// LAYOUT(expression, value on 32-bit Windows, value on 64-bit Windows).
//
// Written by windows/layout/derive_layouts.py from clang's AST of every driver source and the
// DDK's record layouts; scripts/build-windows.sh fails when it is not current. Do not edit it by
// hand. windows/layout/ddk_layouts.cpp checks it against the DDK's headers,
// windows/layout/host_layouts.cpp against the world's (driver/platform/) on x64 and on x86.
"""

PENDING = """
// Structures the image reaches that the world does not declare yet: checked against the DDK
// alone until it does (the world's check defines LAYOUT_WORLD).
#ifndef LAYOUT_WORLD
"""


def render(rows, world_declares):
    by_tag = {}
    for row in rows.values():
        by_tag.setdefault(row.tag, []).append(row)
    out = [HEADER]

    def block(tags):
        for tag in sorted(tags, key=lambda t: t.lstrip("_")):
            out.append("\n")
            for row in sorted(by_tag[tag], key=Row.sort_key):
                out.append(f"LAYOUT({row.expr}, {row.values['x86']}, {row.values['x64']})\n")

    block([t for t in by_tag if t in world_declares])
    pending = [t for t in by_tag if t not in world_declares]
    if pending:
        out.append(PENDING)
        block(pending)
        out.append("#endif\n")
    return "".join(out)


ROW_RE = re.compile(r"^LAYOUT\((.*), (\d+), (\d+)\)$")


def parse_table(text):
    return {m.group(1): (int(m.group(2)), int(m.group(3)))
            for m in map(ROW_RE.match, text.splitlines()) if m}


def reason(row, usage):
    where = {"offsetof": usage.offsets.get((row.tag, row.path)),
             "sizeof": usage.sizes.get(row.tag),
             "alignof": usage.aligns.get(row.tag)}[row.kind]
    return f"relied on in {where}" if where else "shared with the world"


def compare(rows, usage, text, committed_text):
    committed, wanted = parse_table(committed_text), parse_table(text)
    problems = []
    for expr, values in wanted.items():
        row = rows[expr]
        if expr not in committed:
            problems.append(f"missing: LAYOUT({expr}, {values[0]}, {values[1]}) "
                            f"({reason(row, usage)})")
        elif committed[expr] != values:
            problems.append(f"differs: {expr} is {values[0]} on x86 and {values[1]} on x64; "
                            f"the table says {committed[expr][0]} and {committed[expr][1]}")
    problems += [f"no longer relied on or shared: {expr}" for expr in committed
                 if expr not in wanted]
    if not problems and committed_text != text:
        problems.append("the rows agree, but the table is not as the script writes it (a "
                        "structure the world has begun to declare, or a hand edit)")
    return problems


def main():
    ap = argparse.ArgumentParser(
        description="Derive windows/layout/layouts.h from the driver's sources and the DDK's "
                    "headers (--write), or check that it is current (the default).")
    mode = ap.add_mutually_exclusive_group()
    mode.add_argument("--check", action="store_true",
                      help="compare the committed table with what the sources rely on (exit 1 "
                           "when a row is missing, stale or has another value)")
    mode.add_argument("--write", action="store_true", help="write the table")
    ap.add_argument("--build-x86", default=str(ROOT / "build" / "windows-x86"),
                    help="the configured windows-x86 build (default build/windows-x86)")
    ap.add_argument("--build-x64", default=str(ROOT / "build" / "windows-x64"),
                    help="the configured windows-x64 build (default build/windows-x64)")
    ap.add_argument("--jobs", type=int, default=2, help="clang processes at once (default 2)")
    ap.add_argument("--explain", action="store_true",
                    help="also print, for every row, where the driver relies on it")
    args = ap.parse_args()
    try:
        rows, world_declares, usage, mismatches, compared = derive(
            {"x86": args.build_x86, "x64": args.build_x64}, max(1, args.jobs))
    except Failure as e:
        print(f"derive_layouts: {e}", file=sys.stderr)
        return 2
    text = render(rows, world_declares)
    name = TABLE.relative_to(ROOT)
    if mismatches:
        print("derive_layouts: the world's calling conventions differ from the DDK's:",
              file=sys.stderr)
        for m in mismatches:
            print(f"  {m}", file=sys.stderr)
    if args.explain:
        for expr in sorted(rows):
            print(f"{expr}: {reason(rows[expr], usage)}")
    if args.write:
        TABLE.write_text(text)
        print(f"derive_layouts: wrote {name} ({len(rows)} rows)")
        return 1 if mismatches else 0
    problems = compare(rows, usage, text, TABLE.read_text() if TABLE.exists() else "")
    if problems:
        print(f"derive_layouts: {name} is not current:", file=sys.stderr)
        for p in problems:
            print(f"  {p}", file=sys.stderr)
        print("derive_layouts: write it again with windows/layout/derive_layouts.py --write, "
              "and make the world's declarations agree (host_layouts.cpp)", file=sys.stderr)
        return 1
    if mismatches:
        return 1
    print(f"derive_layouts: {name} is current ({len(rows)} rows); the world's routines and "
          f"callback types have the DDK's calling conventions ({compared} on x86 and x64)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
