#!/usr/bin/python3
"""Eye of GNOME opens a PXCM picture on an Xvfb screen, and a screenshot of
the screen (ImageMagick's import) shows the picture: somewhere in it lies
a region that is exactly the pixels pxc decodes.

    eog_test.py PICTURE REFERENCE.bmp SCREENSHOT.png WORK

GDK_PIXBUF_MODULE_FILE and XDG_DATA_DIRS must name the installed loader and
MIME database; eog only lists files whose type gdk-pixbuf can load. The
screenshot is kept in SCREENSHOT.png, also when the picture is not found.
"""
import os
import select
import subprocess
import sys
import time

from reference import read_bmp

PICTURE, REFERENCE, SCREENSHOT, WORK = sys.argv[1:5]
WAIT_SECONDS = 60


def start_xvfb(log):
    """Xvfb on a free display, which it names through -displayfd."""
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
                             "-nolisten", "tcp", "-br", "-noreset"],
                            pass_fds=(write_end,), stdout=log, stderr=log)
    os.close(write_end)
    number = b""
    deadline = time.monotonic() + 30
    while not number.endswith(b"\n") and time.monotonic() < deadline:
        ready, _, _ = select.select([read_end], [], [], 1)
        if ready:
            chunk = os.read(read_end, 16)
            if not chunk:
                break
            number += chunk
    os.close(read_end)
    if not number.strip().isdigit():
        xvfb.kill()
        sys.exit("FAIL Xvfb did not start (see %s)" % log.name)
    return xvfb, ":" + number.decode().strip()


def screenshot(env, path=None):
    """The root window as (width, height, RGB bytes), or saved to a file."""
    if path:
        subprocess.run(["import", "-window", "root", path], env=env, check=True, timeout=60)
        return None
    out = subprocess.run(["import", "-window", "root", "-depth", "8", "ppm:-"], env=env, check=True, timeout=60,
                         capture_output=True).stdout
    magic, width, height, depth, pixels = out.split(maxsplit=4)
    assert magic == b"P6" and depth == b"255", out[:20]
    return int(width), int(height), pixels[:int(width) * int(height) * 3]


def find_picture(shot, picture):
    """The top left corner of the region of the screenshot that holds exactly
    the picture's pixels, or None."""
    sw, sh, screen = shot
    width, height, rgb = picture
    row_bytes = 3 * width
    first_row = rgb[:row_bytes]
    for y in range(sh - height + 1):
        line = screen[3 * sw * y:3 * sw * (y + 1)]
        at = line.find(first_row)
        while at >= 0:
            if at % 3 == 0:
                x = at // 3
                if all(screen[3 * (sw * (y + r) + x):3 * (sw * (y + r) + x) + row_bytes] ==
                       rgb[r * row_bytes:(r + 1) * row_bytes] for r in range(height)):
                    return x, y
            at = line.find(first_row, at + 1)
    return None


def main():
    picture = read_bmp(REFERENCE)
    home = os.path.join(WORK, "home")
    runtime = os.path.join(WORK, "runtime")
    os.makedirs(home, exist_ok=True)
    os.makedirs(runtime, mode=0o700, exist_ok=True)
    with open(os.path.join(WORK, "xvfb.log"), "w") as xlog, open(os.path.join(WORK, "eog.log"), "w") as elog:
        xvfb, display = start_xvfb(xlog)
        env = dict(os.environ, DISPLAY=display, HOME=home, XDG_RUNTIME_DIR=runtime,
                   XDG_CONFIG_HOME=os.path.join(home, ".config"), XDG_CACHE_HOME=os.path.join(home, ".cache"),
                   XDG_DATA_HOME=os.path.join(home, ".local", "share"), GSETTINGS_BACKEND="memory",
                   NO_AT_BRIDGE="1")
        eog = None
        try:
            # A new instance: no session bus is needed to register one.
            eog = subprocess.Popen(["eog", "--new-instance", PICTURE], env=env, stdout=elog, stderr=elog)
            found, started = None, time.monotonic()
            while found is None and time.monotonic() - started < WAIT_SECONDS:
                if eog.poll() is not None:
                    break
                time.sleep(0.5)
                found = find_picture(screenshot(env), picture)
            screenshot(env, SCREENSHOT)
            if found is None:
                status = "exited with %s" % eog.returncode if eog.poll() is not None else "still running"
                print("FAIL no region of the screenshot %s is the picture (%d x %d); eog %s; its output:"
                      % (SCREENSHOT, picture[0], picture[1], status))
                elog.flush()
                with open(elog.name) as f:
                    print(f.read()[-3000:])
                return 1
            print("PASS eog shows %s: the screenshot's %d x %d pixels at (%d, %d) are pxc's, "
                  "after %.1f s" % (os.path.basename(PICTURE), picture[0], picture[1], found[0], found[1],
                                    time.monotonic() - started))
            return 0
        finally:
            for process in (eog, xvfb):
                if process and process.poll() is None:
                    process.terminate()
                    try:
                        process.wait(10)
                    except subprocess.TimeoutExpired:
                        process.kill()
                        process.wait()


if __name__ == "__main__":
    sys.exit(main())
