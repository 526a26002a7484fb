#!/usr/bin/env python3
"""The DLL under 64-bit Wine against the Linux library: every picture under the
given folders in modes 0, 1 and 2 (colour tables from the samples folder), and
every TIFF through ConvertBWTiff both ways, must give identical summaries,
identical preview bytes and identical written files.

parity.py --wine WINE_SH --build BUILD_WIN64 --linux-host HOST DIR..."""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile

EXTENSIONS = {".bmp", ".rle", ".gif", ".jpg", ".jpe", ".png", ".pcx", ".tga", ".psd", ".eps",
              ".pcd", ".sct", ".pxr", ".awd", ".tif"}


def pictures(dirs):
    found = []
    for d in dirs:
        for root, _, files in os.walk(d):
            found += [os.path.join(root, f) for f in files if os.path.splitext(f)[1].lower() in EXTENSIONS]
    return sorted(found)


def run(argv):
    p = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, timeout=300)
    return p.returncode, p.stdout.decode(errors="replace").strip()


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return None


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--wine", required=True)
    ap.add_argument("--build", required=True)
    ap.add_argument("--linux-host", required=True)
    ap.add_argument("dirs", nargs="+")
    a = ap.parse_args()
    winhost = [a.wine, "run", a.build, os.path.join(a.build, "quorvel_winhost.exe")]
    linux = [a.linux_host]
    if not os.access(a.linux_host, os.X_OK):
        sys.exit(f"parity: {a.linux_host} missing (build the Linux configuration first)")
    hostdir = next((d for d in a.dirs if os.path.isdir(os.path.join(d, "color"))), a.dirs[-1])
    files = pictures(a.dirs)
    work = tempfile.mkdtemp(prefix="quorvel-parity-")

    # One command a line; both sides run the whole list in one process each.
    jobs = []
    for i, f in enumerate(files):
        for mode in (0, 1, 2):
            jobs.append(("get", f, str(mode), hostdir, f"{i}-{mode}.bgr"))
        if f.lower().endswith(".tif"):
            for colour in ("0", "0x0000FF"):
                jobs.append(("convert", f, f"{i}-{colour}.tif", colour))
    def script(side):
        os.makedirs(os.path.join(work, side))
        lines = []
        for j in jobs:
            j = list(j)
            if j[0] == "get":
                j[4] = os.path.join(work, side, j[4])
            else:
                j[2] = os.path.join(work, side, j[2])
            lines.append("\t".join(j))
        return "\n".join(lines) + "\n"
    runs = {}
    for side, host in (("linux", linux), ("win", winhost)):
        runs[side] = subprocess.Popen(host + ["batch"], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    outs = {}
    for side in runs:
        outs[side] = None
    import threading
    def feed(side):
        outs[side] = runs[side].communicate(script(side).encode(), timeout=1500)[0].decode().splitlines()
    threads = [threading.Thread(target=feed, args=(side,)) for side in runs]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if any(runs[side].returncode != 0 or len(outs[side]) != len(jobs) for side in runs):
        sys.exit(f"parity: a host failed: linux {runs['linux'].returncode} ({len(outs['linux'])} lines), "
                 f"win {runs['win'].returncode} ({len(outs['win'])} lines) of {len(jobs)}")

    differ = succeeded = 0
    for n, j in enumerate(jobs):
        name = j[4] if j[0] == "get" else j[2]
        written = [read(os.path.join(work, side, name)) for side in ("linux", "win")]
        lines = [outs[side][n].strip() for side in ("linux", "win")]
        succeeded += lines[0].startswith('{"ok":1')
        if lines[0] != lines[1] or written[0] != written[1]:
            differ += 1
            print(f"{j[0]} {j[1]} {j[2] if j[0] == 'get' else j[3]}: linux {lines[0]} win {lines[1]}"
                  + ("" if lines[0] != lines[1] else " (bytes differ)"))
    shutil.rmtree(work)
    # The one-command form gives what the batch gave.
    rc, single = run(winhost + ["get", files[0], "1", hostdir])
    if rc != 0 or single != outs["linux"][1].strip():
        differ += 1
        print(f"single get {files[0]}: {single}")
    gets = sum(1 for j in jobs if j[0] == "get")
    print(f"parity: {len(files)} files, {gets} GetQuorvel calls and {len(jobs) - gets} ConvertBWTiff calls "
          f"compared ({succeeded} succeeded on Linux), {differ} differ")
    return 1 if differ or not jobs else 0


if __name__ == "__main__":
    sys.exit(main())
