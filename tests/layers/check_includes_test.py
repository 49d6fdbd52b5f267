#!/usr/bin/env python3
"""The include check fails on what it is meant to catch and passes the allowed tie."""
import pathlib
import subprocess
import sys
import tempfile

SCRIPT = pathlib.Path(__file__).resolve().parents[2] / "scripts" / "check-includes.py"


def run(files):
    with tempfile.TemporaryDirectory() as tmp:
        root = pathlib.Path(tmp)
        for name, includes in files.items():
            path = root / name
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text("".join(f'#include "{i}"\n' for i in includes))
        result = subprocess.run([sys.executable, str(SCRIPT), str(root)],
                                capture_output=True, text=True)
        return result.returncode, result.stdout


def expect(label, files, fails, mention=None):
    code, out = run(files)
    if (code != 0) != fails or (mention and mention not in out):
        print(f"FAIL {label}: exit {code}\n{out}")
        return False
    return True


def main():
    layered = {
        "base/text.h": [],
        "base/text.cpp": ["base/text.h"],
        "transport/passthrough.h": ["base/text.h"],
        "bridge/ops.h": ["transport/passthrough.h"],
        "bridge/ops.cpp": ["bridge/ops.h", "discovery/manager.h"],
        "discovery/manager.h": ["transport/passthrough.h"],
        "discovery/census.cpp": ["discovery/manager.h", "bridge/ops.h"],
        "app/run/update_run.cpp": ["discovery/manager.h"],
    }
    ok = True
    ok &= expect("layered tree with the manager tie", layered, fails=False)
    ok &= expect("upward edge", {**layered, "base/text.cpp": ["transport/passthrough.h"]},
                 fails=True, mention="transport/ is not below base/")
    ok &= expect("sideways edge", {**layered, "config/items.h": ["transport/passthrough.h"]},
                 fails=True, mention="not below config/")
    ok &= expect("header circle", {**layered, "base/a.h": ["base/b.h"], "base/b.h": ["base/a.h"]},
                 fails=True, mention="include circle")
    ok &= expect("module circle through a source file",
                 {**layered, "emulator/backend.h": [], "emulator/backend.cpp": ["emulator/state.h"],
                  "emulator/state.h": ["emulator/backend.h"]},
                 fails=True, mention="module circle")
    ok &= expect("folder without a layer", {**layered, "gadgets/x.h": []}, fails=True)
    real = subprocess.run([sys.executable, str(SCRIPT)], capture_output=True, text=True)
    if real.returncode != 0:
        print("FAIL the project's sources:\n" + real.stdout)
        ok = False
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
