#!/usr/bin/env python3
"""Runs the plug-in's checks under Wine, headless, in a prefix of their own.

    run_wine.py --wine WINE --wineserver WINESERVER --prefix DIR --work DIR
                --test-exe proxy_under_wine.exe --standin ksproxy.ax
                --plugin m4350proxy.ax [--inf m4350av.inf] {lifecycle|regsvr32|inf}

The test program, the stand-in ksproxy.ax and a copy of the plug-in go into
one work folder: Windows' loader looks for a DLL's imports beside the program
and beside the DLL, so the plug-in's import of ksproxy.ax finds the stand-in.
WINEDLLOVERRIDES makes Wine take that file rather than its builtin
ksproxy.ax, which has no KsSynchronousDeviceControl; the test program checks
that the stand-in is the one loaded. Exits 77 (skipped) when Wine is absent.
"""
import argparse
import os
import shutil
import subprocess
import sys

SKIP = 77


def windows_path(path):
    # Wine maps drive Z: to the Unix root.
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--wine", default="")
    parser.add_argument("--wineserver", default="")
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--test-exe", required=True)
    parser.add_argument("--standin", required=True)
    parser.add_argument("--plugin", required=True)
    parser.add_argument("--inf")
    parser.add_argument("mode", choices=["lifecycle", "regsvr32", "inf"])
    args = parser.parse_args()

    if not args.wine or not os.path.exists(args.wine):
        print("SKIPPED: Wine is not installed (scripts/setup installs wine64); "
              "the plug-in was not run under a COM runtime")
        return SKIP

    os.makedirs(args.work, exist_ok=True)
    for source in (args.test_exe, args.standin, args.plugin):
        shutil.copy2(source, args.work)
    test_exe = os.path.join(args.work, os.path.basename(args.test_exe))
    plugin = windows_path(os.path.join(args.work, os.path.basename(args.plugin)))

    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    env.update({
        "WINEPREFIX": os.path.abspath(args.prefix),
        "WINEDEBUG": "-all",
        # No Mono or Gecko installers in a headless prefix; our ksproxy.ax.
        "WINEDLLOVERRIDES": "mscoree,mshtml=;ksproxy.ax=n",
    })

    def run(*command, check=True):
        print("+ wine " + " ".join(command), flush=True)
        result = subprocess.run([args.wine] + list(command), env=env, cwd=args.work,
                                stdin=subprocess.DEVNULL, timeout=120)
        if check and result.returncode != 0:
            print("FAIL: exit status %d" % result.returncode)
        return result.returncode

    status = 0
    try:
        if args.mode == "lifecycle":
            status = run(test_exe, "lifecycle", plugin)
        elif args.mode == "inf":
            status = run(test_exe, "inf", plugin, windows_path(args.inf))
        else:
            run("regsvr32", "/s", "/u", plugin, check=False)  # a leftover of an aborted run
            for step in (("regsvr32", "/s", plugin), (test_exe, "registered", plugin),
                         ("regsvr32", "/s", "/u", plugin), (test_exe, "unregistered")):
                status = run(*step)
                if status:
                    break
    except subprocess.TimeoutExpired as e:
        print("FAIL: %s did not end within %d s" % (" ".join(e.cmd), e.timeout))
        status = 1
    finally:
        # The prefix's server would linger for a few seconds; end it now, and
        # wait until it is gone, so that the next check on this prefix starts
        # its own server rather than meeting one that is shutting down.
        if args.wineserver and os.path.exists(args.wineserver):
            for flag in ("-k", "-w"):
                try:
                    subprocess.run([args.wineserver, flag], env=env, stderr=subprocess.DEVNULL,
                                   timeout=60)
                except subprocess.TimeoutExpired:
                    print("FAIL: wineserver %s did not end within 60 s" % flag)
                    status = 1
    return 1 if status else 0


if __name__ == "__main__":
    sys.exit(main())
