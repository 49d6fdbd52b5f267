#!/usr/bin/env python3
"""Checks the include graph of the sources under src/.

Fails when files include each other in a circle, or when a folder includes a header from a
folder of the same or a higher layer. The one allowed tie is between discovery/ (the bridge
manager) and bridge/ (the manager's operations), which call each other by design. So nothing
under app/run, bridge/, discovery/ or transport/ can include emulator/ (the run is on the
emulator's layer, the others below it): the front ends choose the emulator.

Also fails when the Windows pass-through block's layout is named outside the Windows backend
(every other layer speaks the neutral request), and when a source file is longer than
LONGEST lines without a "// Size:" line among its first lines that says why it is kept whole.

Usage: check-includes.py [SRC_DIR]   (default: the src/ folder beside this script's folder)
"""
import pathlib
import re
import sys

# Lower numbers are lower layers; a folder may include only from folders of lower layers.
LAYERS = {
    "base": 0,
    "platform": 1,
    "platform/shims": 1,
    "config": 2,
    "transport": 2,
    "resources": 2,
    "bridge": 3,
    "discovery": 3,
    "emulator": 4,
    "app/run": 4,
    "app/session": 5,
    "app/cli": 6,
    "app/windows": 6,
}
TIES = {("discovery", "bridge"), ("bridge", "discovery")}
# Where the Windows pass-through block may be named: its backend and the table of pinned sizes.
WINDOWS_LAYOUT = re.compile(r"\b(ScsiPassThroughDirect|ScsiRequestArea|SCSI_PASS_THROUGH_DIRECT)\b")
WINDOWS_LAYOUT_HOMES = {"transport/spti_windows.h", "transport/spti_windows.cpp",
                        "platform/system_abi_windows.cpp"}
LONGEST = 500
SIZE_NOTE = re.compile(r"^// Size: \S", re.MULTILINE)
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def folder_of(rel):
    return str(pathlib.PurePosixPath(rel).parent)


def main():
    root = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else \
        pathlib.Path(__file__).resolve().parent.parent / "src"
    files = sorted(p for p in root.rglob("*") if p.suffix in (".h", ".cpp"))
    edges = {}
    problems = []
    for path in files:
        rel = path.relative_to(root).as_posix()
        text = path.read_text(encoding="utf-8", errors="replace")
        if rel not in WINDOWS_LAYOUT_HOMES and WINDOWS_LAYOUT.search(text):
            problems.append(f"{rel}: names the Windows pass-through block outside its backend")
        lines = text.count("\n")
        if lines > LONGEST and not SIZE_NOTE.search("\n".join(text.splitlines()[:8])):
            problems.append(f"{rel}: {lines} lines, and no \"// Size:\" line at its top says why")
        targets = []
        for name in INCLUDE.findall(text):
            if (root / name).is_file():
                targets.append(name)
            elif (path.parent / name).is_file():
                targets.append((path.parent / name).relative_to(root).as_posix())
        edges[rel] = targets
        here = folder_of(rel)
        if here not in LAYERS:
            problems.append(f"{rel}: folder {here}/ has no layer")
            continue
        for target in targets:
            there = folder_of(target)
            if there == here or (here, there) in TIES:
                continue
            if there not in LAYERS:
                problems.append(f"{rel}: includes {target} from folder {there}/ that has no layer")
            elif LAYERS[there] >= LAYERS[here]:
                problems.append(f"{rel}: includes {target}, but {there}/ is not below {here}/")

    # Circles among files and among modules (a header with the sources that implement it,
    # platform variants included): a depth-first walk that meets a node still on its path.
    find_circles(edges, problems, "include circle")
    modules = {}
    for rel, targets in edges.items():
        here = module_of(root, rel)
        modules.setdefault(here, set()).update(
            m for m in (module_of(root, t) for t in targets) if m != here)
    find_circles({k: sorted(v) for k, v in modules.items()}, problems, "module circle")

    for problem in problems:
        print(problem)
    if problems:
        print(f"{len(problems)} include problem(s)")
        return 1
    print(f"include graph of {len(files)} files is layered and free of circles; the Windows "
          f"request layout stays in its backend; long files say why")
    return 0


def module_of(root, rel):
    stem = rel.rsplit(".", 1)[0]
    for suffix in ("_linux", "_windows", "_builtin"):
        if stem.endswith(suffix) and (root / (stem[: -len(suffix)] + ".h")).is_file():
            return stem[: -len(suffix)]
    return stem


def find_circles(edges, problems, label):
    state = {}
    stack = []

    def walk(node):
        state[node] = "open"
        stack.append(node)
        for nxt in edges.get(node, []):
            if state.get(nxt) == "open":
                circle = stack[stack.index(nxt):] + [nxt]
                problems.append(f"{label}: " + " -> ".join(circle))
            elif nxt not in state:
                walk(nxt)
        stack.pop()
        state[node] = "done"

    sys.setrecursionlimit(10000)
    for node in edges:
        if node not in state:
            walk(node)


if __name__ == "__main__":
    sys.exit(main())
