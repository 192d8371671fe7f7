#!/usr/bin/env python3
"""No executable pool in the driver.

    check_pool.py DIR...

Every pool allocation of the driver is non-paged and non-executable
(NonPagedPoolNx): executable pool is what Driver Verifier's code-integrity
checks and the memory-integrity readiness tests flag. Fails on any pool type
name that is executable non-paged pool, on a pool allocation whose type is
not one of the Nx types written out at the call, and on the untagged
ExAllocatePool. Comments do not count.
"""
import os
import re
import sys

ALLOWED_TYPES = {"NonPagedPoolNx", "NonPagedPoolNxCacheAligned"}
EXECUTABLE_TYPES = re.compile(
    r"\b(NonPagedPool|NonPagedPoolExecute|NonPagedPoolMustSucceed|NonPagedPoolCacheAligned|"
    r"NonPagedPoolCacheAlignedMustS|NonPagedPoolSession|NonPagedPoolBase\w*|"
    r"POOL_FLAG_NON_PAGED_EXECUTE)\b")
ALLOCATION = re.compile(r"\b(ExAllocatePool\w*)\s*\(\s*([^,()]+)")
COMMENT = re.compile(r"//[^\n]*|/\*.*?\*/", re.S)


def problems(text):
    """(line, message) for each executable pool use in one source text."""
    # Blank out comments but keep line numbers.
    code = COMMENT.sub(lambda m: re.sub(r"[^\n]", " ", m.group(0)), text)
    found = []

    def line_of(position):
        return code.count("\n", 0, position) + 1

    for m in EXECUTABLE_TYPES.finditer(code):
        found.append((line_of(m.start()), "executable pool type %s" % m.group(1)))
    for m in ALLOCATION.finditer(code):
        routine, first = m.group(1), m.group(2).strip()
        if routine == "ExAllocatePool":
            found.append((line_of(m.start()), "untagged ExAllocatePool"))
        elif routine == "ExAllocatePoolWithTag" and first not in ALLOWED_TYPES:
            found.append((line_of(m.start()),
                          "%s with pool type %s, not one of %s" %
                          (routine, first, ", ".join(sorted(ALLOWED_TYPES)))))
    return sorted(set(found))


def main():
    failures = 0
    for top in sys.argv[1:]:
        for folder, _, files in sorted(os.walk(top)):
            for name in sorted(files):
                if not name.endswith((".cpp", ".h", ".c")):
                    continue
                path = os.path.join(folder, name)
                with open(path, encoding="utf-8", errors="replace") as f:
                    for line, message in problems(f.read()):
                        print("FAIL %s:%d: %s" % (path, line, message))
                        failures += 1
    if not failures:
        print("no executable pool in %s" % " ".join(sys.argv[1:]))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
