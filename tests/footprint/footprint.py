#!/usr/bin/python3
"""Budgets of the built veldrano.cpl that hold for every build: size,
imports, instruction set, Windows version fields, writable data,
reproducibility, the header rules of security reviews, and the manifest
a Control Panel host reads.

    footprint.py CHECK veldrano.cpl [source dir]

CHECK is one of: size imports instructions version data reproducible
hardening manifest.
Needs Debian's python3-pefile and mingw's objdump.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

import pefile

# Unsigned; an Authenticode signature is appended after the build. 12,800
# since OK walks the copies in wide characters, through functions looked
# up by name, moves a copy's bytes through the handle it checked, and a
# box shows a wide path: the code and the names took three blocks, and
# the texts of what was saved, sharing their words, gave one back.
MAX_SIZE = 12800

IMPORTS = {
    "KERNEL32.DLL": {"OpenFile", "_llseek", "_lread", "_lclose", "lstrcmpA",
                     "GetPrivateProfileIntA", "WritePrivateProfileStringA",
                     "GetLastError", "FormatMessageA", "GetWindowsDirectoryA", "CreateFileA",
                     "CreateMutexA", "WaitForSingleObject", "ReleaseMutex", "CloseHandle",
                     # the per-user copies, the links they must not follow, the
                     # bytes moved through the checked handle, the waits while
                     # another program holds a file, and the wide paths shown
                     "GetFileSize", "GetFileType", "GetModuleHandleA", "GetProcAddress",
                     "Sleep", "MultiByteToWideChar", "ReadFile", "WriteFile", "SetFilePointer",
                     "SetEndOfFile"},
    "USER32.DLL": {"LoadIconA", "LoadStringA", "DialogBoxParamA", "MessageBeep",
                   "CheckRadioButton", "IsDlgButtonChecked", "EndDialog", "wsprintfA",
                   "MessageBoxW", "FindWindowExA", "GetWindowLongA", "SetWindowLongA", "IsIconic", "ShowWindow",
                   "GetWindow", "GetLastActivePopup", "SetForegroundWindow", "LoadCursorA", "SetCursor"},
    # the profile list
    "ADVAPI32.DLL": {"RegOpenKeyExA", "RegEnumKeyExA", "RegCloseKey"},
}
# The compiler may call memset for the zeroed marker buffer instead of
# inlining it; then, and only then, it comes from the C runtime.
OPTIONAL_IMPORTS = {("CRTDLL.DLL", "memset"), ("MSVCRT.DLL", "memset")}

# Mnemonics introduced after the 80386 (486, Pentium, P6 and later), and
# register names of MMX and SSE.
NEWER_THAN_386 = re.compile(
    r"^(bswap|cmpxchg\w*|xadd\w*|invd|wbinvd|invlpg"            # 486
    r"|cpuid|rdtsc\w*|rdmsr|wrmsr|rsm|rdpmc"                     # Pentium
    r"|cmov\w+|fcmov\w+|f[u]?comip?|ud2|sysenter|sysexit"        # P6
    r"|nop[wl]|endbr32|movbe|popcnt|lzcnt|tzcnt|crc32"
    r"|p\w+|movd|movq|emms|\w+ps|\w+pd|\w+ss|\w+sd"              # MMX, SSE
    r"|prefetch\w*|[lsm]fence|clflush|fxsave|fxrstor|ldmxcsr|stmxcsr)$")
MMX_SSE_REGISTER = re.compile(r"%(mm\d|xmm\d+|ymm\d+)")
# Stack and string instructions of the 8086/80386 that the pattern above
# would catch by their shape.
PLAIN_386 = {"push", "pushl", "pushw", "pop", "popl", "popw", "pusha", "pushal",
             "popa", "popal", "pushf", "pushfl", "popf", "popfl"}

OBJDUMP = "i686-w64-mingw32-objdump"


def fail(msg):
    print("FAIL:", msg)
    sys.exit(1)


def ok(msg):
    print("PASS:", msg)


def check_size(path, _src):
    # Each section takes whole 512-byte blocks of the file: what it uses of
    # them, and the slack left before it needs one more.
    for s in pefile.PE(path).sections:
        used = s.Misc_VirtualSize if s.SizeOfRawData else 0
        print(f"  {section_name(s):8} {used:6} of {s.SizeOfRawData:6} bytes, slack {s.SizeOfRawData - used}")
    size = os.path.getsize(path)
    if size > MAX_SIZE:
        fail(f"{size} bytes, budget {MAX_SIZE}")
    ok(f"{size} bytes (budget {MAX_SIZE})")


def check_imports(path, _src):
    pe = pefile.PE(path)
    got = {(d.dll.decode().upper(), i.name.decode()) for d in pe.DIRECTORY_ENTRY_IMPORT for i in d.imports}
    want = {(dll, name) for dll, names in IMPORTS.items() for name in names}
    missing = want - got
    extra = got - want - OPTIONAL_IMPORTS
    if missing or extra:
        fail(f"missing {sorted(missing)}, unexpected {sorted(extra)}")
    dlls = sorted({dll for dll, _ in got})
    ok(f"{len(got)} imports from {', '.join(dlls)}")


def text_instructions(path):
    out = subprocess.run([OBJDUMP, "-d", "--no-show-raw-insn", "-j", ".text", path],
                         check=True, capture_output=True, text=True).stdout
    for line in out.splitlines():
        parts = line.split("\t")
        if len(parts) >= 2 and parts[1].strip():
            yield parts[0].strip().rstrip(":"), parts[1].strip()


# Built without stack probes: a frame of 4 KiB or more could step over the
# stack's guard page.
FRAME = re.compile(r"^sub\s+\$0x([0-9a-f]+),%esp$")


def check_instructions(path, _src):
    bad = []
    count = 0
    for addr, insn in text_instructions(path):
        count += 1
        frame = FRAME.match(insn)
        if frame and int(frame[1], 16) >= 4096:
            bad.append(f"{addr}: {insn} (a frame of 4 KiB or more)")
        mnemonic = insn.split()[0]
        if mnemonic in ("rep", "repz", "repnz", "lock", "data16") and len(insn.split()) > 1:
            mnemonic = insn.split()[1]
        if (NEWER_THAN_386.match(mnemonic) and mnemonic not in PLAIN_386) or MMX_SSE_REGISTER.search(insn):
            bad.append(f"{addr}: {insn}")
    if count == 0:
        fail("no code found")
    if bad:
        fail("instructions newer than the 80386, or frames too large:\n  " + "\n  ".join(bad))
    ok(f"{count} instructions, all 80386, every frame under 4 KiB")


def check_version(path, _src):
    oh = pefile.PE(path).OPTIONAL_HEADER
    versions = {
        "subsystem": (oh.MajorSubsystemVersion, oh.MinorSubsystemVersion),
        "operating system": (oh.MajorOperatingSystemVersion, oh.MinorOperatingSystemVersion),
    }
    for what, v in versions.items():
        if v > (4, 0):
            fail(f"{what} version {v[0]}.{v[1]} is newer than 4.0")
    if oh.Subsystem != pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_GUI"]:
        fail(f"subsystem {oh.Subsystem}, not 2 (Windows GUI)")
    ok(", ".join(f"{w} {v[0]}.{v[1]}" for w, v in versions.items()) + ", Windows GUI")


def check_data(path, _src):
    # The module's state is three ints: hModule, iInitCount, bPatchLumasyn.
    # Import tables and resources are the loader's, not the module's.
    pe = pefile.PE(path)
    sizes = {}
    for s in pe.sections:
        name = s.Name.rstrip(b"\0").decode()
        writable = s.Characteristics & 0x80000000
        if writable and name not in (".idata", ".rsrc"):
            sizes[name] = s.Misc_VirtualSize
    if sum(sizes.values()) > 12 or set(sizes) - {".data", ".bss"}:
        fail(f"writable sections {sizes}, budget 12 bytes in .data/.bss")
    ok(f"writable data {sizes}")


def build_copy(src, where, link_flags=""):
    out = os.path.join(where, "veldrano.cpl")
    if os.path.exists(out):
        os.remove(out)
    subprocess.run(["cmake", "-S", src, "-B", where, "-DVELDRANO_TESTS=OFF", "-DVELDRANO_BENCH=OFF",
                    f"-DCMAKE_SHARED_LINKER_FLAGS={link_flags}",
                    f"-DCMAKE_TOOLCHAIN_FILE={src}/cmake/mingw-i686.cmake"],
                   check=True, capture_output=True)
    subprocess.run(["cmake", "--build", where, "--target", "veldrano"], check=True, capture_output=True)
    return out


def check_reproducible(path, src):
    # Two clean builds in differently named folders must match the tested
    # file byte for byte: no link time, no build path.
    top = tempfile.mkdtemp(prefix="veldrano-repro-")
    try:
        first = build_copy(src, os.path.join(top, "one"))
        second = build_copy(src, os.path.join(top, "second-build-folder"))
        blobs = [open(p, "rb").read() for p in (path, first, second)]
    finally:
        shutil.rmtree(top, ignore_errors=True)
    if not (blobs[0] == blobs[1] == blobs[2]):
        fail("clean builds differ: " + ", ".join(str(len(b)) for b in blobs) + " bytes")
    if pefile.PE(data=blobs[0]).FILE_HEADER.TimeDateStamp != 0:
        fail("link timestamp in the header")
    ok(f"three builds identical ({len(blobs[0])} bytes)")


# The header rules that binary analysers such as BinSkim hold a 32-bit DLL
# to, one row each: (rule, check, how to break it). A check takes the
# file's bytes and returns what is wrong, or None. A rule is broken by
# relinking with a linker flag (a string) or by editing a copy of the
# file's headers (a function of the parsed file).
DYNAMIC_BASE, NX_COMPAT, NO_SEH = 0x0040, 0x0100, 0x0400
RELOCS_STRIPPED = 0x0001
SCN_SHARED, SCN_EXECUTE, SCN_WRITE = 0x10000000, 0x20000000, 0x80000000


def directory(pe, name):
    return pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_" + name]]


def section_name(section):
    return section.Name.rstrip(b"\0").decode()


def dll_flag(flag, name):
    def check(data):
        if not pefile.PE(data=data).OPTIONAL_HEADER.DllCharacteristics & flag:
            return f"{name} is not set"
    return check


def relocatable(data):
    pe = pefile.PE(data=data)
    if directory(pe, "BASERELOC").Size == 0:
        return "no base relocations"
    if pe.FILE_HEADER.Characteristics & RELOCS_STRIPPED:
        return "relocations marked as stripped"


def sections_with(both, what):
    def check(data):
        bad = [section_name(s) for s in pefile.PE(data=data).sections if s.Characteristics & both == both]
        if bad:
            return f"{', '.join(bad)} {what}"
    return check


def imports_not_executable(data):
    pe = pefile.PE(data=data)
    section = pe.get_section_by_rva(directory(pe, "IMPORT").VirtualAddress)
    if section is None:
        return "no import directory"
    if section.Characteristics & SCN_EXECUTE:
        return section_name(section) + " holds the imports and is executable"


def page_aligned(data):
    alignment = pefile.PE(data=data).OPTIONAL_HEADER.SectionAlignment
    if alignment < 4096:
        return f"section alignment {alignment}"


def valid_checksum(data):
    pe = pefile.PE(data=data)
    if pe.OPTIONAL_HEADER.CheckSum == 0 or pe.OPTIONAL_HEADER.CheckSum != pe.generate_checksum():
        return f"checksum {pe.OPTIONAL_HEADER.CheckSum:#x}, computed {pe.generate_checksum():#x}"


def no_fs_access(data):
    # fs: holds the thread's exception handler chain on 32-bit Windows;
    # code that never touches it registers no handler.
    with tempfile.NamedTemporaryFile(suffix=".cpl") as f:
        f.write(data)
        f.flush()
        bad = [f"{addr}: {insn}" for addr, insn in text_instructions(f.name) if "%fs:" in insn]
    if bad:
        return "fs: accessed at " + "; ".join(bad)


def add_section_flags(name, flags):
    def edit(pe):
        for s in pe.sections:
            if section_name(s) == name:
                s.Characteristics |= flags
    return edit


def strip_relocs(pe):
    # what an image linked at a fixed address looks like (GNU ld keeps a
    # DLL's relocations whatever it is told)
    pe.FILE_HEADER.Characteristics |= RELOCS_STRIPPED
    directory(pe, "BASERELOC").Size = 0


def spoil_checksum(pe):
    pe.OPTIONAL_HEADER.CheckSum ^= 1


def read_fs(pe):
    # mov eax, fs:[0] over the first bytes of the code
    pe.set_bytes_at_offset(pe.sections[0].PointerToRawData, b"\x64\xa1\x00\x00\x00\x00")


HARDENING = [
    ("DYNAMIC_BASE: ASLR may load it anywhere (BA2009)", dll_flag(DYNAMIC_BASE, "DYNAMIC_BASE"),
     "-Wl,--disable-dynamicbase"),
    ("NX_COMPAT: its data is never executed (DEP, BA2016)", dll_flag(NX_COMPAT, "NX_COMPAT"),
     "-Wl,--disable-nxcompat"),
    ("NO_SEH: no exception handler of the image may run (BA2018)", dll_flag(NO_SEH, "NO_SEH"),
     "-Wl,--disable-no-seh"),
    ("relocations present, not stripped (BA2009)", relocatable, strip_relocs),
    ("no section writable and executable (BA2021)",
     sections_with(SCN_WRITE | SCN_EXECUTE, "writable and executable"), add_section_flags(".text", SCN_WRITE)),
    ("no section writable and shared (BA2019)",
     sections_with(SCN_WRITE | SCN_SHARED, "writable and shared"), add_section_flags(".bss", SCN_SHARED)),
    ("import directory's section not executable (BA2010)", imports_not_executable,
     add_section_flags(".idata", SCN_EXECUTE)),
    ("section alignment at least 4 KiB (BA2021)", page_aligned, "-Wl,--section-alignment=512"),
    ("valid PE checksum", valid_checksum, spoil_checksum),
    ("no fs: access in the code", no_fs_access, read_fs),
]


def broken_copy(data, breaker, src, where):
    if isinstance(breaker, str):
        return open(build_copy(src, where, breaker), "rb").read()
    pe = pefile.PE(data=data)
    breaker(pe)
    return bytes(pe.write())


def check_hardening(path, src):
    # Every rule holds for the built file, and fails on a build (or a copy
    # of the file) that breaks it, so no row passes by not looking.
    data = open(path, "rb").read()
    wrong = [f"{rule}: {problem}" for rule, check, _ in HARDENING if (problem := check(data))]
    if wrong:
        fail("\n  ".join(["header rules broken:"] + wrong))
    top = tempfile.mkdtemp(prefix="veldrano-hardening-")
    try:
        for rule, check, breaker in HARDENING:
            problem = check(broken_copy(data, breaker, src, top))
            if problem is None:
                fail(f"'{rule}' does not notice a build that breaks it")
            print(f"  {rule}: holds; broken, it says: {problem}")
    finally:
        shutil.rmtree(top, ignore_errors=True)
    ok(f"{len(HARDENING)} header rules hold, and each fails on a build that breaks it")

# The manifest: resource type 24, id 123, where a Control Panel host looks
# (ids 1 to 3 would mean something else to the loader). Every listing of
# the Control Panel parses it, so it is held to a size too.
RT_MANIFEST, MANIFEST_ID = 24, 123
MAX_MANIFEST = 520
ASM_V1, ASM_V3 = "urn:schemas-microsoft-com:asm.v1", "urn:schemas-microsoft-com:asm.v3"
COMMON_CONTROLS_6 = {"type": "win32", "name": "Microsoft.Windows.Common-Controls", "version": "6.0.0.0",
                     "processorArchitecture": "x86", "publicKeyToken": "6595b64144ccf1df", "language": "*"}


def manifests(path):
    pe = pefile.PE(path)
    found = {}
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if kind.id != RT_MANIFEST:
            continue
        for name in kind.directory.entries:
            for lang in name.directory.entries:
                found[name.id] = pe.get_data(lang.data.struct.OffsetToData, lang.data.struct.Size)
    return found


def manifest_problem(data):
    """What is wrong with the manifest's bytes, or None."""
    try:
        text = data.decode("utf-8")
        root = ET.fromstring(data)
    except (UnicodeDecodeError, ET.ParseError) as e:
        return f"not UTF-8 XML: {e}"
    # Windows XP SP2 restarts on an element that declares its namespace twice (KB 921337).
    for tag in re.findall(r"<[^/?!][^>]*>", text):
        if len(re.findall(r"\sxmlns(?::\w+)?=", tag)) > 1:
            return f"two namespace declarations in {tag}"
    if root.tag != f"{{{ASM_V1}}}assembly" or root.attrib != {"manifestVersion": "1.0"}:
        return f"root is {root.tag} {root.attrib}"
    children = [child.tag for child in root]
    if sorted(children) != sorted([f"{{{ASM_V3}}}trustInfo", f"{{{ASM_V1}}}dependency"]):
        return f"the assembly holds {children}, not exactly trustInfo and one dependency"
    levels = root.findall(f"{{{ASM_V3}}}trustInfo/{{{ASM_V3}}}security/{{{ASM_V3}}}requestedPrivileges/"
                          f"{{{ASM_V3}}}requestedExecutionLevel")
    if len(levels) != 1 or levels[0].attrib != {"level": "requireAdministrator", "uiAccess": "false"}:
        return f"run level {[l.attrib for l in levels]}"
    if sum(1 for _ in root.iter()) != 8:
        return "elements beyond the run level and the dependency"
    ids = root.findall(f"{{{ASM_V1}}}dependency/{{{ASM_V1}}}dependentAssembly/{{{ASM_V1}}}assemblyIdentity")
    if len(ids) != 1 or ids[0].attrib != COMMON_CONTROLS_6:
        return f"dependency {[i.attrib for i in ids]}"
    if len(data) > MAX_MANIFEST:
        return f"{len(data)} bytes, budget {MAX_MANIFEST}"


# Manifests the check must refuse: (what, how to spoil the shipped one).
SPOILED_MANIFESTS = [
    ("runs as invoker", lambda m: m.replace(b'"requireAdministrator"', b'"asInvoker"')),
    ("asks for UI access", lambda m: m.replace(b'uiAccess="false"', b'uiAccess="true"')),
    ("puts trustInfo in another namespace",
     lambda m: m.replace(ASM_V3.encode(), b"urn:schemas-microsoft-com:asm.v2")),
    ("names Common Controls 5", lambda m: m.replace(b'"6.0.0.0"', b'"5.82.0.0"')),
    ("carries a host's dpiAware",
     lambda m: m.replace(b"</assembly>", b'<application xmlns="urn:schemas-microsoft-com:asm.v3"><windowsSettings>'
                         b'<dpiAware>true</dpiAware></windowsSettings></application></assembly>')),
    ("declares a namespace twice", lambda m: m.replace(b'<trustInfo xmlns=', b'<trustInfo xmlns:v3="'
                                                       + ASM_V3.encode() + b'" xmlns=')),
    ("is UTF-16", lambda m: m.decode().encode("utf-16")),
]


def check_manifest(path, _src):
    found = manifests(path)
    if set(found) != {MANIFEST_ID}:
        fail(f"manifest resources {sorted(found)}, expected only {MANIFEST_ID}")
    data = found[MANIFEST_ID]
    problem = manifest_problem(data)
    if problem:
        fail(f"manifest {MANIFEST_ID}: {problem}")
    for what, spoil in SPOILED_MANIFESTS:
        if manifest_problem(spoil(data)) is None:
            fail(f"the check accepts a manifest that {what}")
    ok(f"manifest {MANIFEST_ID}: {len(data)} bytes, requireAdministrator, Common Controls 6, nothing else; "
       f"{len(SPOILED_MANIFESTS)} spoiled copies refused")


CHECKS = {
    "size": check_size,
    "imports": check_imports,
    "instructions": check_instructions,
    "version": check_version,
    "data": check_data,
    "reproducible": check_reproducible,
    "hardening": check_hardening,
    "manifest": check_manifest,
}

if __name__ == "__main__":
    if len(sys.argv) < 3 or sys.argv[1] not in CHECKS:
        sys.exit(__doc__)
    CHECKS[sys.argv[1]](sys.argv[2], sys.argv[3] if len(sys.argv) > 3 else None)
