#!/usr/bin/python3
"""Checks a Windows kernel-mode image of the driver (usbnic.sys) and its link map.

Usage: scripts/check-windows-image.py --arch {x86,x64} IMAGE [--map MAP] [--allow-lists DIR]

MAP defaults to usbnic.map beside IMAGE (the link writes it there), DIR to windows/imports/.
Prints one "ok:" or "FAIL:" line per check, and the image's imports by DLL (they go into the
release notes). Exit status: 0 when every check passes, 1 when any fails, 2 for a usage error.

Run with /usr/bin/python3: it needs Debian's python3-pefile, and no other third-party module.
"""

import argparse
import os
import re
import sys

import pefile

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

MACHINES = {
    "x86": (pefile.OPTIONAL_HEADER_MAGIC_PE, pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"],
            "PE32", "i386"),
    "x64": (pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS, pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"],
            "PE32+", "AMD64"),
}

SUBSYSTEM_NATIVE = 1
DLLCHARACTERISTICS_WDM_DRIVER = 0x2000
FILE_DLL = 0x2000
FILE_RELOCS_STRIPPED = 0x0001
SCN_MEM_EXECUTE = 0x20000000
SCN_MEM_DISCARDABLE = 0x02000000

# Sections that only a C or C++ runtime fills or reads: static constructors and destructors
# (.ctors/.dtors, .init_array/.fini_array, .init/.fini, the MSVC-style .CRT$X* tables), which
# nothing calls in a driver, so an object built by one would be used unconstructed; thread-local
# storage (.tls), which the kernel's loader does not set up for a driver; and, seen only in the
# link map as the image keeps it inside .rdata, the table of runtime pseudo-relocations, which
# MinGW's start-up code applies and nothing applies in a driver, so each entry would leave a
# reference pointing nowhere.
RUNTIME_IMAGE_SECTIONS = (".tls", ".CRT", ".ctors", ".dtors", ".init_array", ".fini_array")
RUNTIME_INPUT_SECTIONS = re.compile(
    r"^(\.ctors(\..*)?|\.ctor|\.dtors(\..*)?|\.dtor|\.init_array(\..*)?|\.fini_array(\..*)?"
    r"|\.init|\.fini|\.CRT\$X.*|\.tls(\$.*)?|\.rdata_runtime_pseudo_reloc)$")
# Exception and unwind data. C++ exception tables (.gcc_except_table) are never wanted: the
# driver is built without exceptions and no personality routine exists in the kernel. DWARF unwind
# tables (.eh_frame) have no reader in the kernel either. On x86 the kernel has no table-based
# unwinding at all, so .pdata/.xdata are dead weight there too; x64 keeps them, as its exception
# dispatch and stack walks need them for every routine.
UNWIND_ANY_ARCH = (".eh_frame", ".gcc_except_table")
UNWIND_X86_ONLY = (".pdata", ".xdata")

# Libraries and start-up objects of a C or C++ runtime: none belongs on the link line of a driver
# (it is linked with -nostdlib -nostartfiles, against the system's import libraries only).
RUNTIME_LIBRARIES = re.compile(
    r"(^|/)(libgcc(_eh|_s)?(\.dll)?\.a|libstdc\+\+(\.dll)?\.a|libsupc\+\+\.a|libmingw32\.a"
    r"|libmingwex\.a|libmoldname\.a|libmsvcrt[^/]*\.a|libucrt[^/]*\.a|libpthread\.a"
    r"|libwinpthread[^/]*\.a|crt[12]\.o|dllcrt[12]\.o|crtbegin\.o|crtend\.o)$")


def _c_names(*names):
    return lambda core, raw: core in names


def _prefixes(*prefixes):
    return lambda core, raw: core.startswith(prefixes)


def _libgcc(core, raw):
    return bool(re.fullmatch(
        r"(u?(div|mod|divmod)|ash[lr]|lshr|mul|mulv|neg|negv|u?cmp|popcount|parity|ffs|clz|ctz"
        r"|clrsb|bswap)[sdt]i[234]"
        r"|fix(uns)?[sdxt]f[sdt]i|float(un)?[sdt]i[sdxt]f|(add|sub|mul|div|neg)[sdxt]f3"
        r"|(extend|trunc)[sdxt]f[sdxt]f2|(eq|ne|lt|le|gt|ge|unord)[sdxt]f2", core))


def _operator_new_delete(core, raw):
    return core.startswith(("Znw", "Zna", "Zdl", "Zda")) or bool(
        re.search(r"\boperator (new|delete)\b", raw))


# Symbols that, defined in the image or pulled from a library to satisfy a reference, mean code
# from a runtime the kernel does not have. Each is matched on the name with its decorations
# removed (leading underscores, an __imp_ prefix, a stdcall or fastcall @-suffix).
FORBIDDEN_SYMBOLS = [
    ("C++ operator new/delete", _operator_new_delete,
     "there is no C++ heap in the kernel: memory comes from the pool, with the tag and the pool "
     "type the driver chooses and a failure it handles; the runtime's operator new throws"),
    ("C++ ABI runtime (__cxa_*: static guards, atexit, pure virtual calls)", _prefixes("cxa_"),
     "libsupc++ is not linked; a guarded static needs a lock the runtime implements, and a "
     "destructor registered with __cxa_atexit would never run: a driver unloads, it does not exit"),
    ("C++ exception handling and unwinding", _prefixes("gxx_personality", "gcc_personality",
                                                       "Unwind_"),
     "the kernel neither throws C++ exceptions nor runs libgcc's unwinder"),
    ("C library memory and string routines other than memcpy, memmove and memset", _c_names(
        "memcmp", "strlen", "strcpy", "strncpy", "strcmp", "strncmp", "wcslen", "wcscpy",
        "wcscmp"),
     "the compiler may emit memcmp by itself, and the string routines come with C habits; with "
     "no C library linked such a call binds to whichever import library on the link line happens "
     "to carry the name, and the driver has chosen no binding for these (memcpy, memmove and "
     "memset it has: imports from ntoskrnl.exe, checked on their own)"),
    ("stack probes and alloca", _c_names("chkstk", "chkstk_ms", "alloca", "alloca_probe"),
     "a kernel stack is small and fixed (12 KB on x86, 24 KB on x64); a frame large enough to "
     "need a probe is a bug, and the probe routine comes from the runtime"),
    ("libgcc helpers (64-bit division on x86, bit counts, soft float)", _libgcc,
     "libgcc is not linked and is not built for kernel mode; such arithmetic is written "
     "explicitly or avoided"),
    ("stack protector", _c_names("stack_chk_fail", "stack_chk_guard"),
     "its guard value and failure routine come from the C runtime, which never initialises them "
     "in a driver"),
    ("C runtime start-up and exit", _c_names(
        "main", "atexit", "onexit", "dso_handle", "do_global_ctors", "do_global_dtors",
        "pei386_runtime_relocator", "mainCRTStartup", "DllMainCRTStartup", "DllMain",
        "tls_callback_0", "tls_used"),
     "a driver is entered at DriverEntry by the kernel's loader; no C runtime start-up runs, so "
     "nothing it would initialise or tear down may be relied on"),
]

# The block moves: memcpy, memmove and memset are published exports of ntoskrnl.exe on x86 and
# x64, and what the DDK's RtlCopyMemory, RtlMoveMemory and RtlZeroMemory (so NdisMoveMemory and
# NdisZeroMemory) expand to, in this driver as in every WDM driver. The driver binds them to those
# exports on purpose, through MinGW-w64's import library for ntoskrnl.exe, whose member for each
# name holds the import slot and an 8-byte thunk that jumps through it. A definition from an
# object of the driver's, from any other library (libgcc's or a C library's copy, built for user
# mode) or an import from another DLL is a binding nobody chose, and fails.
KERNEL_BLOCK_ROUTINES = ("memcpy", "memmove", "memset")
KERNEL_BLOCK_DLL = "ntoskrnl.exe"
KERNEL_BLOCK_LIBRARY = "libntoskrnl.a"

# Where routines must be placed. INIT is dropped once DriverEntry has returned; PAGE may be
# paged out, so only routines that always run at PASSIVE_LEVEL belong there.
PLACEMENT = [
    ("DriverEntry", "INIT"),
    ("MiniportInitialize", "PAGE"),
    ("MiniportHalt", "PAGE"),
    ("ReleaseLedger", "PAGE"),
]


class Report:
    def __init__(self):
        self.failures = 0

    def ok(self, text):
        print(f"ok: {text}")

    def fail(self, text):
        self.failures += 1
        print(f"FAIL: {text}")

    def check(self, passed, ok_text, fail_text):
        if passed:
            self.ok(ok_text)
        else:
            self.fail(fail_text)
        return passed


def section_name(section, pe):
    """A section's name; a long name ("/N", an offset into the COFF string table) is looked up
    when the image still has its string table, and left as "/N" otherwise."""
    name = section.Name.rstrip(b"\0").decode("ascii", "replace")
    header = pe.FILE_HEADER
    if re.fullmatch(r"/\d+", name) and header.PointerToSymbolTable:
        at = header.PointerToSymbolTable + 18 * header.NumberOfSymbols + int(name[1:])
        data = pe.__data__
        end = data.find(b"\0", at)
        if 0 <= at < len(data) and end > at:
            name = bytes(data[at:end]).decode("ascii", "replace")
    return name


def named_as(name, prefixes):
    """Whether an image section's name starts with one of prefixes. A PE image keeps 8 bytes of a
    section's name, so a name of 8 characters also counts when a prefix starts with it
    (".eh_fram" is .eh_frame, ".init_ar" is .init_array)."""
    return any(name.startswith(p) or (len(name) == 8 and p.startswith(name)) for p in prefixes)


def input_named_as(name, prefixes):
    """Whether a link map input section is one of prefixes, or a part of one (".ctors.65535")."""
    return any(name == p or name.startswith((p + ".", p + "$")) for p in prefixes)


def section_at(pe, rva):
    for s in pe.sections:
        if s.VirtualAddress <= rva < s.VirtualAddress + max(s.Misc_VirtualSize, s.SizeOfRawData):
            return s
    return None


def core_name(name):
    """The bare identifier of a C symbol name: no __imp_ prefix, no leading underscores, no
    stdcall or fastcall @-decoration."""
    core = re.sub(r"^_*imp_+", "", name)
    core = core.lstrip("_@")
    return re.sub(r"@\d+$", "", core)


def names_routine(symbol, identifier):
    """Whether a map symbol (demangled, mangled or C) is the routine called identifier."""
    if re.search(r"(^|::|\s)" + re.escape(identifier) + r"\(", symbol):
        return "[clone" not in symbol
    if symbol.lstrip("_").startswith("Z") and f"{len(identifier)}{identifier}" in symbol:
        return not symbol.endswith(".cold")
    return core_name(symbol) == identifier and not symbol.startswith(("__imp_", "_imp_"))


# ----------------------------------------------------------------------------- the link map

class LinkMap:
    """What GNU ld's -Map output says: the archive members pulled in and the symbols that pulled
    them, the files loaded, and, in the memory map, each output section with the input sections
    and symbols placed in it."""

    def __init__(self, path):
        self.archive_refs = []     # (member, referencing file, symbol)
        self.loaded = []           # LOAD lines
        self.output_sections = {}  # name -> address
        self.inputs = []           # (output section, input section, address, size, file)
        self.symbols = []          # (output section, address, name)
        self.image_base = None
        with open(path, encoding="utf-8", errors="replace") as f:
            lines = f.read().splitlines()
        self._parse(lines)

    def _parse(self, lines):
        part = None
        member = None
        output = None
        pending_input = None
        pending_output = None
        hexnum = r"0x[0-9a-fA-F]+"
        for line in lines:
            if line.startswith("Archive member included"):
                part = "archive"
                continue
            if line.startswith("Discarded input sections"):
                part = "discarded"
                continue
            if line.startswith("Memory Configuration"):
                part = "memory"
                continue
            if line.startswith("Linker script and memory map"):
                part = "map"
                continue
            if part == "archive":
                # The member, then (on the same line when the member's name is short, on the
                # next otherwise) the file that needed it and the symbol it needed.
                rest = line
                if line and not line[0].isspace():
                    member, _, rest = line.partition(" ")
                m = re.match(r"^\s*(\S+) \((.+)\)$", rest)
                if m and member is not None:
                    self.archive_refs.append((member, m.group(1), m.group(2)))
                continue
            if part != "map":
                continue
            if line.startswith("LOAD "):
                self.loaded.append(line[5:].strip())
                continue
            m = re.match(rf"^\s+({hexnum})\s+__image_base__ = ({hexnum})", line)
            if m:
                self.image_base = int(m.group(2), 16)
                continue
            # An output section: its name at the start of the line, the address on the same line
            # or, for a long name, on the next.
            m = re.match(rf"^([^\s*/][^\s]*)(?:\s+({hexnum})\s+({hexnum}))?\s*$", line)
            if m and not line.startswith(("LOAD", "OUTPUT")):
                output = m.group(1)
                pending_input = None
                if m.group(2):
                    self.output_sections[output] = int(m.group(2), 16)
                    pending_output = None
                else:
                    pending_output = output
                continue
            if pending_output is not None:
                m = re.match(rf"^\s+({hexnum})\s+({hexnum})\s*$", line)
                pending = pending_output
                pending_output = None
                if m:
                    self.output_sections[pending] = int(m.group(1), 16)
                    continue
            # An input section: one space, its name, then address, size and file on the same line
            # or, for a long name, on the next.
            m = re.match(rf"^ ([^\s*][^\s(]*)(?:\s+({hexnum})\s+({hexnum})\s+(.*))?$", line)
            if m:
                if m.group(2):
                    self.inputs.append((output, m.group(1), int(m.group(2), 16),
                                        int(m.group(3), 16), m.group(4).strip()))
                    pending_input = None
                else:
                    pending_input = m.group(1)
                continue
            if pending_input is not None:
                m = re.match(rf"^\s+({hexnum})\s+({hexnum})\s+(.*)$", line)
                name = pending_input
                pending_input = None
                if m:
                    self.inputs.append((output, name, int(m.group(1), 16), int(m.group(2), 16),
                                        m.group(3).strip()))
                    continue
            # A symbol: its address, then its name (assignments of the linker script carry " = ").
            m = re.match(rf"^\s+({hexnum})\s+(\S.*)$", line)
            if m and " = " not in m.group(2) and not re.match(hexnum, m.group(2)):
                self.symbols.append((output, int(m.group(1), 16), m.group(2).strip()))


# ----------------------------------------------------------------------------- allow-lists

def read_allow_lists(directory, report):
    """windows/imports/<DLL>.txt: one published export of <DLL> a line, '#' starts a comment.

    A name may be followed by the one architecture (x86 or x64) whose <DLL> exports it: the 32-bit
    kernel's Kf, Kef and Exf routines, say, which the 64-bit kernel does not export. An image of
    the other architecture importing it fails.
    """
    lists = {}
    problems = []
    try:
        files = sorted(f for f in os.listdir(directory) if f.endswith(".txt"))
    except OSError as e:
        report.fail(f"allow-lists: cannot read {directory}: {e.strerror}")
        return lists
    for file in files:
        dll = file[:-len(".txt")]
        names = []
        only = {}  # name -> the one architecture that exports it
        with open(os.path.join(directory, file), encoding="utf-8") as f:
            for number, line in enumerate(f, 1):
                text = line.split("#", 1)[0].strip()
                if not text:
                    continue
                m = re.fullmatch(r"([A-Za-z_][A-Za-z0-9_]*)(?:\s+(x86|x64))?", text)
                if not m:
                    problems.append(f"{file}:{number}: '{text}' is not one export name "
                                    "(with, at most, the architecture that has it)")
                    continue
                names.append(m.group(1))
                if m.group(2):
                    only[m.group(1)] = m.group(2)
        if names != sorted(names):
            problems.append(f"{file}: names not sorted (byte order)")
        duplicates = sorted({n for n in names if names.count(n) > 1})
        if duplicates:
            problems.append(f"{file}: listed twice: {', '.join(duplicates)}")
        lists[dll.lower()] = (dll, set(names), only)
    report.check(files and not problems,
                 f"allow-lists: {', '.join(files)} in {directory}",
                 "allow-lists: " + ("; ".join(problems) if problems else
                                    f"no <DLL>.txt file in {directory}"))
    return lists


# ----------------------------------------------------------------------------- the checks

def check_headers(pe, arch, report):
    magic, machine, format_name, machine_name = MACHINES[arch]
    got_magic = pe.OPTIONAL_HEADER.Magic
    got_machine = pe.FILE_HEADER.Machine
    report.check(got_magic == magic and got_machine == machine,
                 f"format: {format_name}, machine {machine_name}",
                 f"format: expected {format_name} (magic {magic:#x}) for machine {machine_name} "
                 f"({machine:#x}), the image has magic {got_magic:#x}, machine {got_machine:#x}")

    subsystem = pe.OPTIONAL_HEADER.Subsystem
    report.check(subsystem == SUBSYSTEM_NATIVE, "subsystem: native",
                 f"subsystem: {subsystem}, not native ({SUBSYSTEM_NATIVE})")

    dllchars = pe.OPTIONAL_HEADER.DllCharacteristics
    report.check(dllchars & DLLCHARACTERISTICS_WDM_DRIVER,
                 f"DllCharacteristics {dllchars:#06x}: WDM driver",
                 f"DllCharacteristics {dllchars:#06x}: the WDM driver flag "
                 f"({DLLCHARACTERISTICS_WDM_DRIVER:#06x}) is clear")

    characteristics = pe.FILE_HEADER.Characteristics
    report.check(not characteristics & FILE_DLL,
                 f"Characteristics {characteristics:#06x}: not a DLL",
                 f"Characteristics {characteristics:#06x}: IMAGE_FILE_DLL is set")

    entry = pe.OPTIONAL_HEADER.AddressOfEntryPoint
    section = section_at(pe, entry) if entry else None
    if not entry:
        report.fail("entry point: none set")
    elif section is None:
        report.fail(f"entry point {entry:#x}: in no section")
    else:
        report.check(section.Characteristics & SCN_MEM_EXECUTE,
                     f"entry point {entry:#x}: in executable section {section_name(section, pe)}",
                     f"entry point {entry:#x}: section {section_name(section, pe)} is not "
                     f"executable (characteristics {section.Characteristics:#010x})")

    reloc = pe.OPTIONAL_HEADER.DATA_DIRECTORY[
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
    stripped = characteristics & FILE_RELOCS_STRIPPED
    report.check(reloc.VirtualAddress and reloc.Size and not stripped,
                 f"relocations: {reloc.Size} bytes at {reloc.VirtualAddress:#x}",
                 "relocations: " + ("IMAGE_FILE_RELOCS_STRIPPED is set" if stripped else
                                    "no base relocation directory"))

    stored = pe.OPTIONAL_HEADER.CheckSum
    computed = pe.generate_checksum()
    report.check(stored != 0 and stored == computed, f"checksum: {stored:#x}",
                 f"checksum: the header says {stored:#x}, the image sums to {computed:#x}")


def check_imports(pe, arch, allow_lists, report):
    imports = {}   # lower-case DLL -> (DLL as named, [names])
    ordinals = {}  # lower-case DLL -> [ordinals]
    problems = []
    for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        dll = entry.dll.decode("ascii", "replace")
        names = imports.setdefault(dll.lower(), (dll, []))[1]
        for imp in entry.imports:
            if imp.name is None:
                problems.append(f"{dll}: import by ordinal {imp.ordinal}")
                ordinals.setdefault(dll.lower(), []).append(imp.ordinal)
            else:
                names.append(imp.name.decode("ascii", "replace"))
    for key, (dll, names) in sorted(imports.items()):
        if key not in allow_lists:
            problems.append(f"{dll}: not a DLL the driver may import from "
                            f"({', '.join(sorted(names))})")
            continue
        listed, allowed, only = allow_lists[key]
        for name in sorted(set(names)):
            if name not in allowed:
                problems.append(f"{dll}!{name}: not in {listed}.txt")
            elif only.get(name, arch) != arch:
                problems.append(f"{dll}!{name}: exported on {only[name]} only ({listed}.txt)")
    delay = getattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT", [])
    for entry in delay:
        problems.append(f"{entry.dll.decode('ascii', 'replace')}: delay-loaded (that needs a "
                        "helper from the runtime)")
    total = sum(len(set(n)) for _, n in imports.values())
    report.check(imports and not problems,
                 f"imports: {total} names from {len(imports)} DLLs, all in the allow-lists",
                 "imports: " + ("; ".join(problems) if problems else "none at all"))
    for key, (dll, names) in sorted(imports.items()):
        print(f"  imports from {dll} ({len(set(names))}):")
        for name in sorted(set(names)):
            print(f"    {name}")
        for ordinal in sorted(ordinals.get(key, [])):
            print(f"    ordinal {ordinal}")


def check_runtime_in_image(pe, arch, report):
    tls = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_TLS"]]
    report.check(not tls.VirtualAddress and not tls.Size, "no TLS directory",
                 f"TLS directory at {tls.VirtualAddress:#x} ({tls.Size} bytes)")

    names = [section_name(s, pe) for s in pe.sections]
    runtime = [n for n in names if named_as(n, RUNTIME_IMAGE_SECTIONS)]
    unreadable = [n for n in names if re.fullmatch(r"/\d+", n)]
    report.check(not runtime and not unreadable,
                 "no runtime sections (" + ", ".join(RUNTIME_IMAGE_SECTIONS) + ")",
                 f"runtime sections in the image: {', '.join(runtime)}" if runtime else
                 f"sections with long names the image no longer spells out: {', '.join(unreadable)}")

    unwind = [n for n in names if named_as(n, UNWIND_ANY_ARCH) or
              (arch == "x86" and named_as(n, UNWIND_X86_ONLY))]
    exception = pe.OPTIONAL_HEADER.DATA_DIRECTORY[
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_EXCEPTION"]]
    if arch == "x86" and (exception.VirtualAddress or exception.Size):
        unwind.append(f"exception directory at {exception.VirtualAddress:#x}")
    kept = "" if arch == "x86" else " (.pdata/.xdata kept: x64 needs them)"
    report.check(not unwind, f"no exception or unwind data{kept}",
                 f"exception or unwind data in the image: {', '.join(unwind)}")


def check_map_matches_image(pe, link_map, map_path, report):
    problems = []
    base = pe.OPTIONAL_HEADER.ImageBase
    if link_map.image_base != base:
        in_map = "none" if link_map.image_base is None else f"{link_map.image_base:#x}"
        problems.append(f"image base {in_map} in the map, {base:#x} in the image")
    for s in pe.sections:
        name = section_name(s, pe)
        at = link_map.output_sections.get(name)
        if at is None and len(name) == 8:
            at = next((a for n, a in link_map.output_sections.items() if n.startswith(name)), None)
        if at is None:
            problems.append(f"section {name} is not in the map")
        elif at != base + s.VirtualAddress:
            problems.append(f"section {name} at {at:#x} in the map, "
                            f"{base + s.VirtualAddress:#x} in the image")
    report.check(not problems, f"link map {map_path} describes this image",
                 f"link map {map_path} is not this image's: "
                 + "; ".join(problems))
    return not problems


def check_runtime_in_map(link_map, arch, report):
    libraries = sorted({path for path in link_map.loaded if RUNTIME_LIBRARIES.search(path)})
    report.check(not libraries, "link line: no C or C++ runtime library or start-up object",
                 "link line: runtime loaded: " + ", ".join(libraries))

    runtime = []
    unwind = []
    for output, name, _address, size, file in link_map.inputs:
        if size == 0:
            continue
        where = f"{name} ({size:#x} bytes) from {file}"
        if RUNTIME_INPUT_SECTIONS.match(name):
            runtime.append(where)
        elif input_named_as(name, UNWIND_ANY_ARCH) or (arch == "x86" and
                                                         input_named_as(name, UNWIND_X86_ONLY)):
            unwind.append(where)
    report.check(not runtime, "objects: no static constructors or destructors, TLS or "
                 "pseudo-relocations", "objects contribute runtime sections: "
                 + "; ".join(runtime))
    report.check(not unwind, "objects: no exception or unwind tables" +
                 ("" if arch == "x86" else " other than .pdata/.xdata"),
                 "objects contribute exception or unwind tables: " + "; ".join(unwind))

    names = [(sym, f"pulled from {member} by {file}")
             for member, file, sym in link_map.archive_refs]
    names += [(sym, f"defined in {output}") for output, _addr, sym in link_map.symbols]
    for label, matches, why in FORBIDDEN_SYMBOLS:
        found = sorted({f"{sym} ({where})" for sym, where in names if matches(core_name(sym), sym)})
        report.check(not found, f"no {label}",
                     f"{label}: {'; '.join(found)} -- forbidden because {why}")


def check_kernel_block_routines(pe, arch, link_map, allow_lists, report):
    """memcpy, memmove and memset exist in the image only as imports from ntoskrnl.exe: the image
    imports them from it alone, its allow-list names them, and every symbol of the name in the
    link map comes from ntoskrnl.exe's import library, the slot being the image's import slot and
    the code a thunk that jumps through it."""
    names = ", ".join(KERNEL_BLOCK_ROUTINES)
    problems = []
    slots = {}  # name -> address of the image's import slot for ntoskrnl.exe!name
    for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        dll = entry.dll.decode("ascii", "replace")
        for imp in entry.imports:
            name = imp.name.decode("ascii", "replace") if imp.name else None
            if name not in KERNEL_BLOCK_ROUTINES:
                continue
            if dll.lower() == KERNEL_BLOCK_DLL:
                slots[name] = imp.address
            else:
                problems.append(f"{dll}!{name}: imported from {dll}, not {KERNEL_BLOCK_DLL}")
    listed = allow_lists.get(KERNEL_BLOCK_DLL, (KERNEL_BLOCK_DLL, set(), {}))
    for name in sorted(slots):
        if name not in listed[1] or listed[2].get(name, arch) != arch:
            problems.append(f"{KERNEL_BLOCK_DLL}!{name}: not in {listed[0]}.txt for {arch}")

    def library_of(file):
        m = re.fullmatch(r"(.*)\(([^()]*)\)", file)
        return os.path.basename(m.group(1)) if m else None

    for member, file, sym in link_map.archive_refs:
        if core_name(sym) in KERNEL_BLOCK_ROUTINES and library_of(member) != KERNEL_BLOCK_LIBRARY:
            problems.append(f"{sym}: pulled from {member} by {file}")
    base = pe.OPTIONAL_HEADER.ImageBase
    for output, address, sym in link_map.symbols:
        core = core_name(sym)
        if core not in KERNEL_BLOCK_ROUTINES:
            continue
        file = next((f for o, _n, a, size, f in link_map.inputs
                     if o == output and a <= address < a + size), None)
        if file is None or library_of(file) != KERNEL_BLOCK_LIBRARY:
            problems.append(f"{sym}: defined in {output} by {file or 'no input section'}")
            continue
        slot = slots.get(core)
        if slot is None:
            problems.append(f"{sym}: in the link map, but the image does not import {core} from "
                            f"{KERNEL_BLOCK_DLL}")
        elif re.match(r"_*imp_", sym):
            if address != slot:
                problems.append(f"{sym} at {address:#x}: the image's slot for "
                                f"{KERNEL_BLOCK_DLL}!{core} is at {slot:#x}")
        else:
            # jmp [slot]: the address itself on x86, relative to the next instruction on x64.
            code = pe.get_data(address - base, 6)
            target = None
            if code[:2] == b"\xff\x25":
                field = int.from_bytes(code[2:6], "little", signed=arch == "x64")
                target = field if arch == "x86" else address + 6 + field
            if target != slot:
                problems.append(f"{sym} at {address:#x}: not a jump through the image's slot for "
                                f"{KERNEL_BLOCK_DLL}!{core} at {slot:#x} (code {code.hex()})")
    used = ", ".join(sorted(slots)) or "none used"
    report.check(not problems,
                 f"{names}: only as imports from {KERNEL_BLOCK_DLL} through {KERNEL_BLOCK_LIBRARY} "
                 f"({used})",
                 f"{names}: {'; '.join(problems)} -- accepted only as imports from "
                 f"{KERNEL_BLOCK_DLL}, which publishes them, through its import library "
                 f"{KERNEL_BLOCK_LIBRARY} and listed in {KERNEL_BLOCK_DLL}.txt")


def check_placement(pe, link_map, report):
    names = [section_name(s, pe) for s in pe.sections]
    for wanted in ("INIT", "PAGE"):
        report.check(wanted in names, f"section {wanted} present",
                     f"section {wanted} missing (sections: {', '.join(names)})")
    # INIT is freed once the driver has loaded; nothing else may be, PAGE least of all.
    discardable = [section_name(s, pe) for s in pe.sections
                   if s.Characteristics & SCN_MEM_DISCARDABLE and section_name(s, pe) != ".reloc"]
    report.check(discardable == ["INIT"], "INIT alone is discardable",
                 f"discardable sections: {', '.join(discardable) or 'none'}, not INIT alone")
    base = pe.OPTIONAL_HEADER.ImageBase
    entry = pe.OPTIONAL_HEADER.AddressOfEntryPoint
    for routine, wanted in PLACEMENT:
        found = [(output, address, sym) for output, address, sym in link_map.symbols
                 if names_routine(sym, routine)]
        if not found:
            report.fail(f"{routine}: not in the link map")
            continue
        wrong = []
        for output, address, sym in found:
            section = section_at(pe, address - base)
            in_image = section_name(section, pe) if section else "no section"
            if output != wanted or in_image != wanted:
                wrong.append(f"{sym} at {address:#x} in {in_image}")
        if routine == "DriverEntry":
            entries = [address - base for _, address, _ in found]
            if entry not in entries:
                wrong.append(f"the entry point {entry:#x} is not DriverEntry "
                             f"({', '.join(hex(e) for e in entries)})")
        report.check(not wrong,
                     f"{routine} in {wanted} ({', '.join(hex(a - base) for _, a, _ in found)})",
                     f"{routine} belongs in {wanted}: {'; '.join(wrong)}")


def main():
    parser = argparse.ArgumentParser(
        description="Check a Windows kernel-mode image of the driver and its link map.")
    parser.add_argument("image", help="the image (usbnic.sys)")
    parser.add_argument("--arch", required=True, choices=sorted(MACHINES),
                        help="the architecture the image must be for")
    parser.add_argument("--map", help="the link map (default: usbnic.map beside the image)")
    parser.add_argument("--allow-lists", default=os.path.join(REPO, "windows", "imports"),
                        help="the directory of <DLL>.txt import allow-lists "
                             "(default: windows/imports/)")
    args = parser.parse_args()
    map_path = args.map or os.path.join(os.path.dirname(os.path.abspath(args.image)), "usbnic.map")

    report = Report()
    print(f"check-windows-image: {args.image} ({args.arch}), link map {map_path}")
    try:
        pe = pefile.PE(args.image, fast_load=False)
    except (OSError, pefile.PEFormatError) as e:
        report.fail(f"image: cannot read {args.image} as a PE image: {e}")
        return 1

    check_headers(pe, args.arch, report)
    allow_lists = read_allow_lists(args.allow_lists, report)
    check_imports(pe, args.arch, allow_lists, report)
    check_runtime_in_image(pe, args.arch, report)
    try:
        link_map = LinkMap(map_path)
    except OSError as e:
        report.fail(f"link map: cannot read {map_path}: {e.strerror}")
    else:
        if check_map_matches_image(pe, link_map, map_path, report):
            check_runtime_in_map(link_map, args.arch, report)
            check_kernel_block_routines(pe, args.arch, link_map, allow_lists, report)
            check_placement(pe, link_map, report)

    if report.failures:
        print(f"check-windows-image: {args.image}: {report.failures} checks FAILED")
        return 1
    print(f"check-windows-image: {args.image}: every check passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
