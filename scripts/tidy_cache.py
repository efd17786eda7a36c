#!/usr/bin/env python3
"""The record of translation units clang-tidy found clean, for scripts/analyse.

A unit's key is the SHA-256 of what decides clang-tidy's findings on it: the
clang-tidy version, .clang-tidy, the compile flags that are not paths, and the
unit as the cross compiler preprocesses it (every header it reaches, without
line markers, so that where the checkout lies does not enter). A unit whose key
is recorded is not read again; any change to it or to a header it includes, to
the checks or to the tools gives it another key.

  tidy_cache.py keys BUILD ROOT FILE...   prints "<key> <file>" for each file
"""
import concurrent.futures
import hashlib
import json
import os
import shlex
import subprocess
import sys


def compile_entries(build, root):
    with open(os.path.join(build, "compile_commands.json")) as f:
        entries = json.load(f)
    found = {}
    for entry in entries:
        rel = os.path.relpath(entry["file"], root)
        # One unit per file: the compile commands given are the product's own,
        # one per file already (scripts/analyse picks them).
        found.setdefault(rel, entry)
    return found


def preprocess_args(entry):
    """The entry's compiler call, made to print the preprocessed unit instead."""
    args = shlex.split(entry["command"])
    while args and os.path.basename(args[0]) in ("ccache", "sccache"):
        args = args[1:]
    out, skip = [], False
    for arg in args:
        if skip:
            skip = False
            continue
        if arg == "-o":
            skip = True
            continue
        out.append("-E" if arg == "-c" else arg)
    return out + ["-P"]


def flags_without_paths(args, root, build):
    keep = []
    for arg in args[1:]:
        if arg.startswith(("-I", "@", "-isystem")) or root in arg or build in arg or not arg.startswith("-"):
            continue
        keep.append(arg)
    return keep


def key_of(rel, entry, root, build, common):
    args = preprocess_args(entry)
    done = subprocess.run(args, cwd=entry["directory"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    if done.returncode != 0:
        return None
    digest = hashlib.sha256(common)
    digest.update("\0".join(flags_without_paths(args, root, build)).encode())
    digest.update(b"\0")
    digest.update(done.stdout)
    return digest.hexdigest()


def main():
    if len(sys.argv) < 4 or sys.argv[1] != "keys":
        sys.exit(__doc__)
    build, root, files = os.path.abspath(sys.argv[2]), os.path.abspath(sys.argv[3]), sys.argv[4:]
    entries = compile_entries(build, root)
    version = subprocess.run(["clang-tidy", "--version"], stdout=subprocess.PIPE).stdout
    with open(os.path.join(root, ".clang-tidy"), "rb") as f:
        common = version + b"\0" + f.read() + b"\0"
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        keys = pool.map(lambda rel: key_of(rel, entries[rel], root, build, common) if rel in entries else None, files)
        for rel, key in zip(files, keys):
            # A unit that cannot be preprocessed has no key: it is always read.
            print("%s %s" % (key or "-", rel))


if __name__ == "__main__":
    main()
