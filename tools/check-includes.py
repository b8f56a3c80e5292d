#!/usr/bin/env python3
"""Refuses a project include that does not name where its header lives, or that runs up
the layers.

Every project header is included by its path from an include root: "store/PinlarkStore.h"
for the client's layers under src/, "server/VaultStorage.h", "tests/support/FakeClipboard.h"
and "bench/StackGenerator.h" from the top folder. A bare "PinlarkStore.h" would hide which
layer it comes from, so a wrong-way include would not stand out in review.

The layers may include downwards only: model, then vault, store, ui and app. The server
knows nothing of the client apart from the one error type, model/Result.h. Tests,
benchmarks, fuzzers and tools may include anything.

Usage: check-includes.py [TOP_FOLDER]   (prints one line per fault, exits 1 if any)
"""

import pathlib
import re
import subprocess
import sys

CLIENT_LAYERS = ["model", "vault", "store", "ui", "app"]

# What each part of the tree may include, by the first folder of the included path.
ALLOWED = {
    "model": {"model"},
    "vault": {"model", "vault"},
    "store": {"model", "vault", "store"},
    "ui": {"model", "vault", "store", "ui"},
    "app": {"model", "vault", "store", "ui", "app"},
    "server": {"server"},
}
SERVER_FROM_CLIENT = {"model/Result.h"}

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.M)
GENERATED = re.compile(r"(\.moc$|^moc_|^ui_|^qrc_)")


def part_of(path: pathlib.PurePosixPath) -> str:
    """The layer or folder a source file belongs to, as ALLOWED names it."""
    if path.parts[0] == "src" and len(path.parts) > 2:
        return path.parts[1]
    return path.parts[0]


def resolve(top: pathlib.Path, name: str):
    """The project header an include names, as a path from the top folder, or None."""
    first = name.split("/", 1)[0]
    if first in CLIENT_LAYERS and (top / "src" / name).is_file():
        return pathlib.PurePosixPath("src", name)
    if first in ("server", "tests", "bench") and (top / name).is_file():
        return pathlib.PurePosixPath(name)
    return None


def project_sources(top: pathlib.Path):
    """The project's C++ files: what git knows of, or, in an unpacked source archive, every one
    under the project's own folders."""
    try:
        return subprocess.run(
            ["git", "-C", str(top), "ls-files", "--cached", "--others", "--exclude-standard",
             "*.cpp", "*.h"],
            check=True, capture_output=True, text=True).stdout.split()
    except (OSError, subprocess.CalledProcessError):
        folders = ["src", "server", "tests", "bench", "fuzz", "tools", "data"]
        return [str(path.relative_to(top)) for folder in folders
                for pattern in ("*.cpp", "*.h") for path in (top / folder).rglob(pattern)]


def main() -> int:
    top = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".").resolve()
    sources = [pathlib.PurePosixPath(f) for f in project_sources(top) if (top / f).is_file()]
    headers = {}
    for source in sources:
        if source.suffix == ".h":
            headers.setdefault(source.name, []).append(source)

    faults = []
    for source in sources:
        text = (top / source).read_text(encoding="utf-8")
        for match in INCLUDE.finditer(text):
            delimiter, name = match.groups()
            line = text.count("\n", 0, match.start()) + 1
            where = f"{source}:{line}"
            if GENERATED.search(pathlib.PurePosixPath(name).name):
                continue
            target = resolve(top, name)
            if target is None:
                if delimiter == '"' or pathlib.PurePosixPath(name).name in headers:
                    known = headers.get(pathlib.PurePosixPath(name).name)
                    hint = f" (did you mean \"{include_name(known[0])}\"?)" if known else ""
                    faults.append(f"{where}: \"{name}\" does not name a project header by its "
                                  f"path from src/ or the top folder{hint}")
                continue
            if delimiter == "<":
                faults.append(f"{where}: project header <{name}> belongs in quotes")
            here = part_of(source)
            allowed = ALLOWED.get(here)
            if allowed is None:
                continue
            there = part_of(target)
            if there not in allowed and not (here == "server" and name in SERVER_FROM_CLIENT):
                faults.append(f"{where}: {here} may not include \"{name}\" ({there} is not "
                              f"below it)")

    for fault in faults:
        print(fault)
    return 1 if faults else 0


def include_name(path: pathlib.PurePosixPath) -> str:
    return str(path.relative_to("src")) if path.parts[0] == "src" else str(path)


if __name__ == "__main__":
    sys.exit(main())
