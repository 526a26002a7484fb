#!/usr/bin/env python3
"""The quorvel host over folders: stable order, JSON Lines, the contact sheet
in a real browser, the PNG grid and Ctrl-C.  Usage: CLI SAMPLES DATA CASE."""
import json, os, shutil, signal, struct, subprocess, sys, tempfile, time, zlib

CLI, SAMPLES, DATA, CASE = sys.argv[1:5]
SKIP = 77


def run(*args, check_rc=None):
    p = subprocess.run([CLI, *args], capture_output=True, text=True, timeout=300)
    if check_rc is not None and p.returncode != check_rc:
        sys.exit(f"{args}: exit {p.returncode}\n{p.stderr[-2000:]}")
    return p


def make_folder(root):
    """Samples and fixtures (some refused), a link, a file of unknown extension."""
    top = os.path.join(root, "pictures")
    shutil.copytree(SAMPLES, os.path.join(top, "samples"))
    shutil.copytree(DATA, os.path.join(top, "data"))
    os.symlink(os.path.join(top, "samples", "shapes.jpg"), os.path.join(top, "link.jpg"))
    with open(os.path.join(top, "notes.xyz"), "w") as f:
        f.write("not a picture\n")
    return top


def json_lines(folder, *extra):
    out = run("info", "--json", *extra, folder).stdout
    return [json.loads(line) for line in out.splitlines()]


def case_order(top):
    runs = [run("info", "--jobs", j, *mode, top, check_rc=1).stdout
            for mode in ([], ["--json", "--mode", "1"]) for j in ("1", "8")]
    assert runs[0] == runs[1] and runs[2] == runs[3], "output depends on --jobs"
    paths = [json.loads(l)["path"] for l in runs[2].splitlines()]
    assert paths == sorted(paths) and len(paths) > 250, "not sorted by path"
    assert not any(p.endswith(("link.jpg", "notes.xyz")) for p in paths)
    summary = run("info", top).stderr
    assert "1 symbolic links" in summary, summary


def case_json(top):
    rows = json_lines(top, "--mode", "1")
    ok = [r for r in rows if r["ok"]]
    refused = [r for r in rows if not r["ok"]]
    assert ok and refused
    for r in ok:
        assert r["width_in"] > 0 and r["height_in"] > 0 and r["dpi_x"] > 0 and r["dpi_y"] > 0, r
        assert 0 < r["preview_width"] <= 200 and 0 < r["preview_height"] <= 200, r
    assert all(r["reason"] and r["error"] and r["format"] for r in refused)
    unknown = json.loads(run("info", "--json", os.path.join(top, "notes.xyz"), check_rc=1).stdout)
    assert unknown["format"] is None and unknown["reason"] == "NoExtension", unknown
    bmp = json.loads(run("info", "--json", os.path.join(top, "samples", "plasma24_160x100.bmp")).stdout)
    assert (bmp["dpi_x"], round(bmp["width_in"], 3)) == (72, 2.222), bmp


PROBE = """<script>window.addEventListener('load', () => {
  const imgs = [...document.images], d = document.createElement('div');
  d.id = 'probe';
  d.textContent = [imgs.length, imgs.filter(i => i.naturalWidth > 0).length,
                   document.querySelectorAll('figure.tile').length,
                   document.querySelectorAll('ul.refused li').length].join(' ');
  document.body.appendChild(d); });</script>"""


def case_browser(top):
    if shutil.which("chromium") is None:
        return SKIP
    readable = sum(r["ok"] for r in json_lines(top, "--mode", "1"))
    sheet = os.path.join(os.path.dirname(top), "sheet.html")
    run("sheet", "-o", sheet, top, check_rc=0)
    with open(sheet, "a") as f:
        f.write(PROBE)
    dom = subprocess.run(["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--dump-dom",
                          "file://" + sheet], capture_output=True, text=True, timeout=120).stdout
    start = dom.find('id="probe">')
    assert start >= 0, "the page did not load"
    images, decoded, tiles, refused = map(int, dom[start + 11:dom.index("<", start)].split())
    assert images == decoded == tiles == readable, (images, decoded, tiles, readable)
    assert refused > 0


def case_png(top):
    readable = sum(r["ok"] for r in json_lines(top, "--mode", "1"))
    sheet = os.path.join(os.path.dirname(top), "sheet.png")
    run("sheet", "--columns", "7", "-o", sheet, top, check_rc=0)
    with open(sheet, "rb") as f:
        png = f.read()
    size = struct.unpack(">II", png[16:24])
    assert png[:8] == b"\x89PNG\r\n\x1a\n" and size == (7 * 200, -(-readable // 7) * 200), size
    idat, at = b"", 8
    while at < len(png):
        n, kind = struct.unpack(">I4s", png[at:at + 8])
        idat += png[at + 8:at + 8 + n] if kind == b"IDAT" else b""
        at += n + 12
    assert len(zlib.decompress(idat)) == size[1] * (1 + size[0] * 3), "pixel data incomplete"


def sigint_pending(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            shared = next(int(l.split()[1], 16) for l in f if l.startswith("ShdPnd:"))
    except (OSError, StopIteration):
        return False
    return bool(shared & (1 << (signal.SIGINT - 1)))


def interrupted(root, *args):
    """Runs the host with a FIFO in the middle of its files, interrupts it
    while it is blocked on the FIFO, and returns (exit status, stdout).  The
    host reads named files in path order, so the three live in one folder,
    named to sort around the FIFO."""
    folder = os.path.join(root, "in")
    if not os.path.isdir(folder):
        os.mkdir(folder)
        shutil.copy(os.path.join(SAMPLES, "plasma24_160x100.bmp"), os.path.join(folder, "a.bmp"))
        shutil.copy(os.path.join(SAMPLES, "shapes8.pcx"), os.path.join(folder, "c.pcx"))
    fifo = os.path.join(folder, "b.bmp")
    os.mkfifo(fifo)
    files = [os.path.join(folder, name) for name in ("c.pcx", "b.bmp", "a.bmp")]
    p = subprocess.Popen([CLI, *args, "--jobs", "1", *files], stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL, text=True)
    writer = os.open(fifo, os.O_WRONLY)  # returns once the host opened the FIFO
    p.send_signal(signal.SIGINT)
    # The host must have taken the signal before the FIFO ends, or its
    # worker could go on to the next file first: wait until no thread of it
    # has SIGINT pending, then give the handler a moment to run.
    for _ in range(1000):
        if not sigint_pending(p.pid):
            break
        time.sleep(0.01)
    time.sleep(0.2)
    os.close(writer)
    os.remove(fifo)
    out, _ = p.communicate(timeout=60)
    return p.returncode, out


def case_interrupt(root):
    rc, out = interrupted(root, "info")
    assert rc == 130, rc
    assert out == "" or out.endswith("\n"), out
    assert "c.pcx" not in out and all(l.startswith(os.path.join(root, "in", "a.bmp")) for l in out.splitlines()), out
    rc, _ = interrupted(root, "sheet", "-o", os.path.join(root, "sheet.html"))
    assert rc == 130, rc
    assert os.listdir(root) == ["in"], os.listdir(root)


with tempfile.TemporaryDirectory() as root:
    if CASE == "interrupt":
        sys.exit(case_interrupt(root) or 0)
    rc = globals()["case_" + CASE](make_folder(root)) or 0
    if rc == SKIP and os.environ.get("QUORVEL_REQUIRE_ORACLES"):
        sys.exit("chromium is missing")
    sys.exit(rc)
