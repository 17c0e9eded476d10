#!/usr/bin/env python3
"""Compares the Linux stand-in headers (platform/include) with a macOS SDK, name by name, for
every platform name the product and the tests use: the header that declares it, the value of a
constant, the parameter count of a function (or of a function-pointer field or typedef), the
parameters marked non-null, and the field count of a struct. Prints one line per difference
and the number of names compared; exits 1 on any difference.

Both sides are parsed by clang (JSON AST dump) from one translation unit that includes every
stand-in header; macros are found with the preprocessor.
Usage: compare_headers.py SOURCE_DIR SDK_ROOT
"""
import json
import os
import re
import subprocess
import sys

USER_DIRS = ("driver", "bridge", "common", "osutil", "receiver", "tests")
STANDIN_ONLY = "standin/"  # the stand-ins' own extensions, not platform names
CLANG = "/usr/lib/llvm-14/bin/clang"


def header_name(path):
    """The name a file is included by: CoreAudio/AudioHardware.h, mach/mach_time.h, ..."""
    m = re.search(r"/([A-Za-z]+)\.framework/(?:Versions/A/)?Headers/(.+)$", path)
    if m:
        return f"{m.group(1)}/{m.group(2)}"
    for root in ("platform/include/", "/usr/include/"):
        if root in path:
            # mach/kern_return.h hands the machine's own definitions on (mach/arm/, mach/i386/)
            return re.sub(r"^mach/(arm|i386|machine)/", "mach/", path.split(root, 1)[1])
    return path


def clang_args(side, src, sdk):
    if side == "sdk":
        return ["--target=arm64-apple-macos12.0", "-isysroot", sdk]
    return ["-isystem", os.path.join(src, "platform/include")]


def translation_unit(headers):
    return "".join(f"#include <{h}>\n" for h in headers)


def run_clang(side, src, sdk, headers, extra):
    cmd = [CLANG, "-x", "c++", "-std=c++20", *clang_args(side, src, sdk), *extra, "-"]
    out = subprocess.run(cmd, input=translation_unit(headers), capture_output=True, text=True)
    if out.returncode != 0:
        sys.exit(f"header comparison: clang failed on the {side} headers:\n{out.stderr[:4000]}")
    return out.stdout


class Walker:
    """Walks a JSON AST dump in output order, keeping track of the current file (the dump names
    a file only where it changes)."""

    def __init__(self):
        self.file = None
        self.decls = {}
        self.texts = {}

    def loc(self, loc):
        if not isinstance(loc, dict):
            return None
        if "expansionLoc" in loc:
            self.loc(loc.get("spellingLoc"))
            return self.loc(loc["expansionLoc"])
        if "file" in loc:
            self.file = loc["file"]
        return (self.file, loc.get("offset"), loc.get("tokLen", 0))

    def attribute_args(self, begin):
        """The numbers in the attribute (or the macro spelling it) written at BEGIN."""
        if not begin or begin[0] is None:
            return []
        if begin[0] not in self.texts:
            with open(begin[0], encoding="utf-8", errors="replace") as f:
                self.texts[begin[0]] = f.read()
        m = re.match(r"\w+\s*\(([\d,\s]*)\)", self.texts[begin[0]][begin[1]:begin[1] + 200])
        return [int(i) for i in re.findall(r"\d+", m.group(1))] if m else []

    def node(self, n, parent=None):
        where = self.loc(n.get("loc"))
        rng = n.get("range", {})
        self.loc(rng.get("begin"))
        self.loc(rng.get("end"))
        kind = n.get("kind", "")
        entry = None
        name = n.get("name")
        if name and kind.endswith("Decl") and kind not in ("ParmVarDecl", "FieldDecl") and where \
                and where[0]:
            entry = self.decls.setdefault(name, {"kind": kind, "header": header_name(where[0])})
        elif kind == "FieldDecl" and name and parent is not None:
            entry = parent.setdefault("fields", {}).setdefault(name, {"kind": kind})
        if entry is not None and "type" in n:
            entry["type"] = n["type"].get("qualType", "")
        previous = None
        for child in n.get("inner", []):
            if kind == "EnumDecl" and child.get("kind") == "EnumConstantDecl":
                previous = self.enum_constant(child, previous)
            elif child.get("kind") == "NonNullAttr" and entry is not None:
                r = child.get("range", {})
                begin = self.loc(r.get("begin"))
                self.loc(r.get("end"))
                entry["nonnull_attr"] = sorted(self.attribute_args(begin))
            elif child.get("kind") == "ParmVarDecl" and entry is not None:
                entry.setdefault("params", []).append(child.get("type", {}).get("qualType", ""))
                self.node(child)
            else:
                self.node(child, entry if kind in ("CXXRecordDecl", "RecordDecl") else None)

    def enum_constant(self, n, previous):
        self.node(n)
        value = constant_value(n.get("inner", []))
        if value is None:
            value = 0 if previous is None else previous + 1
        self.decls[n["name"]]["value"] = value
        return value


def constant_value(nodes):
    """The evaluated value of an enumerator's initializer (None when it has none)."""
    for n in nodes:
        if n.get("kind") in ("ConstantExpr", "IntegerLiteral", "CharacterLiteral") and "value" in n:
            return int(n["value"])
        found = constant_value(n.get("inner", []))
        if found is not None:
            return found
    return None


def declarations(side, src, sdk, headers):
    walker = Walker()
    ast = json.loads(run_clang(side, src, sdk, headers,
                               ["-fsyntax-only", "-Xclang", "-ast-dump=json"]))
    for n in ast.get("inner", []):
        walker.node(n)
    macros = {}
    current = None
    for line in run_clang(side, src, sdk, headers, ["-E", "-dD"]).splitlines():
        m = re.match(r'# \d+ "([^"]+)"', line)
        if m:
            current = m.group(1)
            continue
        m = re.match(r"#define (\w+)", line)
        if m and current and m.group(1) not in walker.decls:
            macros[m.group(1)] = {"kind": "macro", "header": header_name(current)}
    return {**macros, **walker.decls}


def split_params(fn_type):
    """Parameter types of a function or function-pointer type as clang prints it."""
    m = re.search(r"\(\s*[*^][^()]*\)\s*\(", fn_type) or re.search(r"^[^(]*\(", fn_type)
    if not m:
        return None
    depth, current, params = 0, "", []
    for ch in fn_type[m.end():]:
        if ch == "(":
            depth += 1
        elif ch == ")":
            if depth == 0:
                break
            depth -= 1
        if ch == "," and depth == 0:
            params.append(current.strip())
            current = ""
        else:
            current += ch
    if current.strip() and current.strip() != "void":
        params.append(current.strip())
    return params


def signature(entry):
    """(parameter count, 1-based indices of non-null parameters) or None for non-functions."""
    params = entry.get("params")
    if params is None and re.search(r"\(\s*[*^][^()]*\)\s*\(", entry.get("type", "")):
        params = split_params(entry["type"])
    if params is None:
        return None
    nonnull = {i + 1 for i, p in enumerate(params) if p.rstrip().endswith("_Nonnull")}
    nonnull.update(entry.get("nonnull_attr", []))
    return len(params), sorted(nonnull)


def used_names(src, names):
    pattern = re.compile(r"\b[A-Za-z_]\w*\b")
    found = set()
    for d in USER_DIRS:
        for root, _, files in os.walk(os.path.join(src, d)):
            for f in files:
                if f.endswith((".cpp", ".h", ".c", ".mm")):
                    with open(os.path.join(root, f), encoding="utf-8", errors="replace") as fh:
                        found.update(pattern.findall(fh.read()))
    return sorted(found & names)


def compare(name, ours, theirs, problems):
    if theirs is None:
        problems.append(f"{name}: declared by the stand-in {ours['header']}, not in the SDK")
        return
    if ours["header"] != theirs["header"]:
        problems.append(f"{name}: stand-in declares it in {ours['header']}, "
                        f"the SDK in {theirs['header']}")
    if "value" in ours and ours["value"] != theirs.get("value"):
        problems.append(f"{name}: stand-in value {ours['value']}, SDK {theirs.get('value')}")
    for label, a, b in [("", ours, theirs)] + [
            (f".{field}", ours["fields"][field], theirs.get("fields", {}).get(field, {}))
            for field in ours.get("fields", {})]:
        mine, sdks = signature(a), signature(b)
        if mine is not None and mine != sdks:
            problems.append(f"{name}{label}: stand-in (parameters, non-null) {mine}, SDK {sdks}")
    if "fields" in ours and sorted(ours["fields"]) != sorted(theirs.get("fields", {})):
        problems.append(f"{name}: stand-in fields {sorted(ours['fields'])}, "
                        f"SDK {sorted(theirs.get('fields', {}))}")


def main():
    src, sdk = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    include = os.path.join(src, "platform/include")
    headers = sorted(os.path.relpath(os.path.join(r, f), include)
                     for r, _, fs in os.walk(include) for f in fs if f.endswith(".h"))
    headers = [h for h in headers if not h.startswith(STANDIN_ONLY)]
    ours = declarations("standin", src, sdk, headers)
    ours = {n: e for n, e in ours.items() if e["header"] in headers}
    theirs = declarations("sdk", src, sdk, headers)
    names = used_names(src, set(ours))
    problems = []
    for name in names:
        compare(name, ours[name], theirs.get(name), problems)
    for p in problems:
        print(f"header check failed: {p}")
    print(f"header check: {len(names)} platform names compared with the SDK, "
          f"{len(problems)} differences")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
