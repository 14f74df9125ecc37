#!/usr/bin/env python3
"""pxc.exe on a console under Wine, stopped with Ctrl-C:

    console_stop.py WINE_RUN PXC_EXE PICTURE REPORT

Runs `pxc info -j 1 PICTURE -` on a terminal, which Wine makes the
program's console: the picture is reported, then pxc waits on standard
input (the console). Once the console shows REPORT (the picture's line;
blanks do not count, as the console may draw them as cursor moves) a
Ctrl-C goes to the terminal. Prints the exit status on the first line, then
what the console showed, its control sequences removed.
"""
import os
import pty
import re
import select
import sys
import time

wine_run, exe, picture, report = sys.argv[1:5]
pid, fd = pty.fork()
if pid == 0:
    os.execvp("bash", ["bash", wine_run, "64", exe, "info", "-j", "1", picture, "-"])



def text_of(shown):
    moves = re.sub(rb"\x1b\[([0-9]*)C", lambda m: b" " * int(m.group(1) or b"1"), shown)
    return re.sub(rb"\x1b\[[0-9;?]*[A-Za-z]", b"", moves).replace(b"\r", b"").decode("utf-8", "replace")


def squeezed(text):
    return re.sub(r"\s", "", text)


shown, sent, status = b"", False, None
give_up = time.monotonic() + 120  # a hung program fails the test instead of hanging it
while status is None and time.monotonic() < give_up:
    if select.select([fd], [], [], 0.2)[0]:
        try:
            shown += os.read(fd, 65536)
        except OSError:
            pass
    if not sent and squeezed(report) in squeezed(text_of(shown)):
        os.write(fd, b"\x03")
        sent = True
    done, wait_status = os.waitpid(pid, os.WNOHANG)
    if done:
        status = os.waitstatus_to_exitcode(wait_status)
if status is None:
    os.kill(pid, 9)
    os.waitpid(pid, 0)
while True:
    try:
        data = os.read(fd, 65536)
    except OSError:
        break
    if not data:
        break
    shown += data

print("status", "none (still running)" if status is None else status)
sys.stdout.write(text_of(shown))
