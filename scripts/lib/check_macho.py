#!/usr/bin/env python3
"""Checks the Mach-O binaries of one macOS cross build (scripts/check-macos-build runs it).

  1. every symbol a binary imports from a library is exported by that library's .tbd stub (the
     SDK's framework stubs, the generated Homebrew ones), and no symbol of a framework's naming
     is left to be looked up at load time, which is what the linker does with a symbol that no
     stub exports;
  2. the driver is an MH_BUNDLE whose only exported symbol is the factory;
  3. every binary's LC_BUILD_VERSION says platform macos, minos the deployment target;
  4. the driver bundle's Info.plist names the executable that is in Contents/MacOS, and says the
     same minimum system version.
  5. tetherstream carries an information list in its section __TEXT,__info_plist that parses,
     with the bundle identifier com.quillwave.tetherstream and a microphone usage text (what
     macOS shows when it asks for the microphone permission).

Prints one line per failure, "macOS check failed: ...", and exits 1 if there was any.
Usage: check_macho.py BUILD_DIR SDK_ROOT STUB_DIR ARCH MINOS
(the llvm tools from QW_LLVM_BIN, default /usr/lib/llvm-14/bin; on a Mac a Homebrew llvm)
"""
import os
import plistlib
import re
import subprocess
import sys
import tempfile

TOOLS = os.environ.get("QW_LLVM_BIN", "/usr/lib/llvm-14/bin")
FACTORY = "_QWV_Create"
BRIDGE_ID = "com.quillwave.tetherstream"
DRIVER_BUNDLE = "plugins/quillwave-driver.driver"
# Names the frameworks the product uses give their symbols (CoreFoundation, CoreAudio,
# AudioToolbox: CFString..., kCFAllocatorDefault, __CFConstantStringClassReference, Audio...,
# kAudio..., AU...).
FRAMEWORK_NAMING = re.compile(r"^_+k?(CF|Audio|AU[A-Z])")

failures = []
checked = set()  # imported symbols found in their library's export list


def fail(message):
    failures.append(message)
    print(f"macOS check failed: {message}")


def run(*args):
    return subprocess.run([os.path.join(TOOLS, args[0]), *args[1:]], check=True,
                          capture_output=True, text=True).stdout


def tbd_documents(path):
    """(install name, {arch: exported symbols}) for each document of a .tbd file."""
    docs = []
    for doc in open(path, encoding="utf-8").read().split("--- !tapi-tbd")[1:]:
        name = re.search(r"^install-name:\s*'?([^'\n]+)'?", doc, re.M).group(1).strip()
        by_arch = {}
        for section in re.finditer(r"^(exports|reexports):\n((?:[ ].*\n?)*)", doc, re.M):
            for block in re.split(r"^  - ", section.group(2), flags=re.M)[1:]:
                fields = dict(re.findall(r"([a-z-]+):\s*\[([^\]]*)\]", block))
                names = set()
                for key in ("symbols", "weak-symbols", "thread-local-symbols"):
                    names.update(s.strip().strip("'") for s in fields.get(key, "").split(","))
                for cls in fields.get("objc-classes", "").split(","):
                    names.update(f"_OBJC_{k}_$_{cls.strip()}" for k in ("CLASS", "METACLASS"))
                for target in fields.get("targets", "").split(","):
                    by_arch.setdefault(target.strip(), set()).update(names - {""})
        docs.append((name, by_arch))
    return docs


class Stubs:
    """The exported symbols of each library, read from its .tbd stub when first asked for: a
    framework's in the SDK, /usr/lib's in the SDK's usr/lib, any other's in STUB_DIR."""

    def __init__(self, sdk, stub_dir, arch):
        self.sdk, self.arch, self.exports = sdk, arch, {}
        self.others = [os.path.join(stub_dir, f) for f in sorted(os.listdir(stub_dir))
                       if f.endswith(".tbd")] if os.path.isdir(stub_dir) else []

    def stub_path(self, install_name):
        m = re.match(r"/System/Library/Frameworks/(\w+)\.framework/", install_name)
        if m:
            return os.path.join(self.sdk, "System/Library/Frameworks",
                                f"{m.group(1)}.framework", f"{m.group(1)}.tbd")
        if install_name.startswith("/usr/lib/"):
            return os.path.join(self.sdk, "usr/lib", short_name(install_name) + ".tbd")
        for path in self.others:
            if f"'{install_name}'" in open(path, encoding="utf-8").read():
                return path
        return None

    def of(self, install_name):
        """Exported symbols, or None when there is no stub. A file's first document re-exports
        the others."""
        if install_name not in self.exports:
            path = self.stub_path(install_name)
            if path is None or not os.path.isfile(path):
                self.exports[install_name] = None
                return None
            docs = tbd_documents(path)
            union = set().union(*(d.get(f"{self.arch}-macos", set()) for _, d in docs))
            for i, (name, by_arch) in enumerate(docs):
                self.exports[name] = union if i == 0 else by_arch.get(f"{self.arch}-macos", set())
            self.exports.setdefault(install_name, union)
        return self.exports[install_name]


def short_name(install_name):
    """How llvm-nm names a library in "(from X)"."""
    base = os.path.basename(install_name)
    return base if ".framework/" in install_name else base.split(".")[0]


def check_imports(binary, stubs):
    used = run("llvm-objdump", "--macho", "--dylibs-used", binary).splitlines()[1:]
    libraries = {}
    for line in used:
        install_name = line.strip().split(" (compatibility")[0]
        libraries[short_name(install_name)] = install_name
    for line in run("llvm-nm", "-m", "--undefined-only", binary).splitlines():
        m = re.search(r"external (\S+) \((?:from (\S+)|dynamically looked up)\)", line)
        if not m:
            continue
        symbol, library = m.groups()
        if library is None:
            if FRAMEWORK_NAMING.match(symbol):
                fail(f"{binary}: {symbol} is in no framework's export list (looked up at load)")
            continue
        install_name = libraries.get(library, library)
        exports = stubs.of(install_name)
        if exports is None:
            if install_name.startswith("/System/"):
                fail(f"{binary}: {symbol} comes from {install_name}, which has no stub here")
        elif symbol not in exports:
            fail(f"{binary}: {symbol} is not exported by {install_name}")
        else:
            checked.add(symbol)


def check_build_version(binary, arch, minos):
    headers = run("llvm-objdump", "--macho", "--private-headers", binary)
    version = re.search(r"cmd LC_BUILD_VERSION\n(?:.*\n)*?\s+minos (\S+)", headers)
    platform = re.search(r"cmd LC_BUILD_VERSION\n(?:.*\n)*?\s+platform (\S+)", headers)
    if not version or not platform or platform.group(1) != "macos":
        fail(f"{binary}: no LC_BUILD_VERSION for macos")
    elif version.group(1) != minos:
        fail(f"{binary}: LC_BUILD_VERSION minos {version.group(1)}, expected {minos}")
    cpu = {"arm64": "ARM64", "x86_64": "X86_64"}[arch]
    if not re.search(rf"MH_MAGIC_64\s+{cpu}\s", headers):
        fail(f"{binary}: not a 64-bit {arch} Mach-O file")
    return headers


def check_driver(build, arch, minos):
    contents = os.path.join(build, DRIVER_BUNDLE, "Contents")
    try:
        with open(os.path.join(contents, "Info.plist"), "rb") as f:
            info = plistlib.load(f)
    except (OSError, plistlib.InvalidFileException) as e:
        fail(f"{contents}/Info.plist cannot be read: {e}")
        return None
    executable = os.path.join(contents, "MacOS", str(info.get("CFBundleExecutable", "")))
    if not info.get("CFBundleExecutable") or not os.path.isfile(executable):
        fail(f"Info.plist names the executable {info.get('CFBundleExecutable')!r}, "
             f"which is not in {contents}/MacOS")
        return None
    if info.get("LSMinimumSystemVersion") != minos:
        fail(f"Info.plist LSMinimumSystemVersion {info.get('LSMinimumSystemVersion')!r}, "
             f"expected {minos}")
    headers = check_build_version(executable, arch, minos)
    if not re.search(r"MH_MAGIC_64\s+\S+\s+\S+\s+\S+\s+BUNDLE\s", headers):
        fail(f"{executable}: not an MH_BUNDLE")
    exported = run("llvm-nm", "-m", "--defined-only", "--extern-only", executable).split()
    exported = sorted(s for s in exported if s.startswith("_"))
    if exported != [FACTORY]:
        fail(f"{executable}: exports {exported}, expected exactly [{FACTORY!r}]")
    return executable


def check_bridge_info(binary):
    """The information list linked into tetherstream."""
    with tempfile.TemporaryDirectory() as tmp:
        dumped = os.path.join(tmp, "info.plist")
        try:
            run("llvm-objcopy", f"--dump-section=__TEXT,__info_plist={dumped}", binary,
                os.path.join(tmp, "copy"))
            with open(dumped, "rb") as f:
                info = plistlib.loads(f.read().rstrip(b"\0"))
        except (subprocess.CalledProcessError, OSError, plistlib.InvalidFileException,
                ValueError) as e:
            fail(f"{binary}: no information list that parses in __TEXT,__info_plist ({e})")
            return
    if info.get("CFBundleIdentifier") != BRIDGE_ID:
        fail(f"{binary}: __info_plist CFBundleIdentifier {info.get('CFBundleIdentifier')!r}, "
             f"expected {BRIDGE_ID!r}")
    if not str(info.get("NSMicrophoneUsageDescription", "")).strip():
        fail(f"{binary}: __info_plist has no NSMicrophoneUsageDescription")


def linked_binaries(build):
    for root, dirs, files in os.walk(build):
        dirs[:] = [d for d in dirs if d != "CMakeFiles"]
        for name in files:
            path = os.path.join(root, name)
            with open(path, "rb") as f:
                if f.read(4) == b"\xcf\xfa\xed\xfe":
                    yield path


def main():
    build, sdk, stub_dir, arch, minos = sys.argv[1:6]
    stubs = Stubs(sdk, stub_dir, arch)
    driver = check_driver(build, arch, minos)
    binaries = sorted(set(linked_binaries(build)))
    bridges = [b for b in binaries if os.path.basename(b) == "tetherstream"]
    if not bridges:
        fail(f"{build}: tetherstream was not linked")
    for bridge in bridges:
        check_bridge_info(bridge)
    for binary in binaries:
        check_imports(binary, stubs)
        if binary != driver:
            check_build_version(binary, arch, minos)
    names = ", ".join(os.path.relpath(b, build) for b in binaries)
    print(f"macOS {arch}: {len(binaries)} binaries checked ({names}), {len(checked)} imported "
          f"symbols found in their libraries' export lists: "
          f"{'FAILED' if failures else 'imports, bundle, minos ' + minos + ', Info.plist ok'}"
          f"{'' if failures else ', tetherstream __info_plist ok'}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
