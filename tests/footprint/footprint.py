#!/usr/bin/python3
"""Budgets of the built veldrano.cpl that hold for every build: size,
imports, instruction set, Windows version fields, writable data and
reproducibility.

    footprint.py CHECK veldrano.cpl [source dir]

CHECK is one of: size imports instructions version data reproducible.
Needs Debian's python3-pefile and mingw's objdump.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

import pefile

MAX_SIZE = 8192

IMPORTS = {
    "KERNEL32.DLL": {"OpenFile", "_llseek", "_lread", "_lclose", "lstrcmpA",
                     "GetPrivateProfileIntA", "WritePrivateProfileStringA"},
    "USER32.DLL": {"LoadIconA", "LoadStringA", "DialogBoxParamA", "MessageBeep",
                   "CheckRadioButton", "IsDlgButtonChecked", "EndDialog", "wsprintfA"},
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


def check_instructions(path, _src):
    bad = []
    count = 0
    for addr, insn in text_instructions(path):
        count += 1
        mnemonic = insn.split()[0]
        if mnemonic in ("rep", "repz", "repnz", "lock", "data16") and len(insn.split()) > 1:
            mnemonic = insn.split()[1]
        if (NEWER_THAN_386.match(mnemonic) and mnemonic not in PLAIN_386) or MMX_SSE_REGISTER.search(insn):
            bad.append(f"{addr}: {insn}")
    if count == 0:
        fail("no code found")
    if bad:
        fail("instructions newer than the 80386:\n  " + "\n  ".join(bad))
    ok(f"{count} instructions, all 80386")


def check_version(path, _src):
    oh = pefile.PE(path).OPTIONAL_HEADER
    versions = {
        "subsystem": (oh.MajorSubsystemVersion, oh.MinorSubsystemVersion),
        "operating system": (oh.MajorOperatingSystemVersion, oh.MinorOperatingSystemVersion),
    }
    for what, v in versions.items():
        if v > (4, 0):
            fail(f"{what} version {v[0]}.{v[1]} is newer than 4.0")
    ok(", ".join(f"{w} {v[0]}.{v[1]}" for w, v in versions.items()))


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


def build_copy(src, where):
    subprocess.run(["cmake", "-S", src, "-B", where, "-DVELDRANO_TESTS=OFF",
                    f"-DCMAKE_TOOLCHAIN_FILE={src}/cmake/mingw-i686.cmake"],
                   check=True, capture_output=True)
    subprocess.run(["cmake", "--build", where, "--target", "veldrano"], check=True, capture_output=True)
    return os.path.join(where, "veldrano.cpl")


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


CHECKS = {
    "size": check_size,
    "imports": check_imports,
    "instructions": check_instructions,
    "version": check_version,
    "data": check_data,
    "reproducible": check_reproducible,
}

if __name__ == "__main__":
    if len(sys.argv) < 3 or sys.argv[1] not in CHECKS:
        sys.exit(__doc__)
    CHECKS[sys.argv[1]](sys.argv[2], sys.argv[3] if len(sys.argv) > 3 else None)
