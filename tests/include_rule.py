#!/usr/bin/env python3
"""The dependency rule, read from the sources' #include lines.

1. Nothing outside app/ (the composition root) and tests/ includes app/.
2. A portable core (every source CMake puts in qorvex_core, and its header)
   reaches no Win32 header and no view, directly or through the project's
   own headers; only a platform shim's #ifdef _WIN32 branch may.
3. A Win32 view depends on cores and on the platform layers below it (the
   port, the receiver, the saved-settings stores), never on another folder's
   view.

Each break is printed as FILE:LINE and the rule; the exit status is 1 then.
Usage: include_rule.py [SOURCE_ROOT]
"""
import os
import re
import sys

ROOT = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), ".."))
SKIP_DIRS = {"build", "tests", ".git", "node_modules", "third_party"}
WIN32_SYSTEM = {"windows.h", "commctrl.h", "commdlg.h", "shellapi.h", "winsock2.h", "ws2tcpip.h",
                "tlhelp32.h", "setupapi.h", "wincrypt.h", "dpapi.h", "mmsystem.h", "shlobj.h"}
# Win32 layers that every view may use: they own no window of their own.
PLATFORM_LAYERS = {"serial/port.h", "serial/port_watch.h", "serial/port_enum.h", "tally/receiver.h",
                   "config/config_win.h", "config/dialog_text.h", "detect/win_port.h"}
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')


def sources():
    for top, dirs, files in os.walk(ROOT):
        dirs[:] = sorted(d for d in dirs if d not in SKIP_DIRS and not d.startswith("."))
        for name in sorted(files):
            if name.endswith((".cpp", ".h", ".c")):
                yield os.path.relpath(os.path.join(top, name), ROOT).replace(os.sep, "/")


WIN32_ONLY = re.compile(r"^\s*#\s*(ifdef\s+_WIN32\b|if\s+defined\s*\(?\s*_WIN32\b)")
CONDITION = re.compile(r"^\s*#\s*(if|ifdef|ifndef|else|elif|endif)\b")


def includes(path):
    """(line, system, name, win32_only) for each #include; win32_only when it
    stands in an #ifdef _WIN32 branch (a platform shim that builds both ways)."""
    found = []
    stack = []  # per open conditional: True while in its _WIN32-only branch
    with open(os.path.join(ROOT, path), encoding="utf-8", errors="replace") as f:
        for number, line in enumerate(f, 1):
            c = CONDITION.match(line)
            if c:
                word = c.group(1)
                if word in ("if", "ifdef", "ifndef"):
                    stack.append(bool(WIN32_ONLY.match(line)))
                elif word in ("else", "elif") and stack:
                    stack[-1] = False
                elif word == "endif" and stack:
                    stack.pop()
                continue
            m = INCLUDE.match(line)
            if m:
                found.append((number, m.group(1) == "<", m.group(2), any(stack)))
    return found


def core_sources():
    """Sources CMake adds to qorvex_core, as paths from the root."""
    core = set()
    for top, dirs, files in os.walk(ROOT):
        dirs[:] = [d for d in dirs if d not in SKIP_DIRS and not d.startswith(".")]
        if "CMakeLists.txt" not in files:
            continue
        text = open(os.path.join(top, "CMakeLists.txt"), encoding="utf-8").read()
        for block in re.findall(r"target_sources\(\s*qorvex_core\s+PRIVATE([^)]*)\)", text):
            for name in block.split():
                path = os.path.relpath(os.path.join(top, name), ROOT).replace(os.sep, "/")
                core.add(path)
                header = path.rsplit(".", 1)[0] + ".h"
                if os.path.exists(os.path.join(ROOT, header)):
                    core.add(header)
    return core


def main():
    files = list(sources())
    known = set(files)
    table = {f: includes(f) for f in files}

    # Win32 files: those that reach a Win32 system header through project headers.
    memo = {}

    def reaches_win32(path, seen=()):
        if path in memo:
            return memo[path]
        result = False
        for _, system, name, win32_only in table.get(path, []):
            if win32_only:
                continue
            if system and name.lower() in WIN32_SYSTEM:
                result = True
            elif not system and name in known and name not in seen and reaches_win32(name, seen + (path,)):
                result = True
        memo[path] = result
        return result

    views = {f for f in files if f.endswith(".h") and not f.startswith("app/") and reaches_win32(f)
             and f not in PLATFORM_LAYERS}
    core = core_sources()
    faults = []
    for f in files:
        folder = f.split("/", 1)[0]
        for number, system, name, win32_only in table[f]:
            where = f"{f}:{number}"
            if not system and name.startswith("app/") and folder != "app":
                faults.append(f"{where}: includes {name}: only app/ (the composition root) includes app/")
            if f in core and not win32_only:
                if system and name.lower() in WIN32_SYSTEM:
                    faults.append(f"{where}: portable core includes <{name}>")
                elif not system and name in known and (reaches_win32(name) or name in views):
                    faults.append(f"{where}: portable core includes {name}, which reaches Win32")
            elif folder != "app" and not system and name in views and name.split("/", 1)[0] != folder:
                faults.append(f"{where}: includes {name}: a view depends on cores, not on another view")
    for fault in faults:
        print(fault)
    print(f"include rule: {len(files)} files, {len(core)} portable core files, {len(views)} view headers, "
          f"{len(faults)} breaks")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
