#!/usr/bin/env python3
"""Runs a Windows test program under wine with COM9 mapped to a Linux pseudo-terminal whose
other side answers every byte with its upper-case form, so the program's serial code meets a
real device node. Usage: com_peer.py PROGRAM [ARGS...]"""
import os
import subprocess
import sys
import threading
import tty

master, slave = os.openpty()
tty.setraw(slave)
path = os.ttyname(slave)
env = dict(os.environ, WINEDEBUG=os.environ.get("WINEDEBUG", "-all"))
# wine's COM ports are links in its prefix's device folder (its registry's port list is turned
# into these links when its mount manager starts, which has then already happened).
prefix = os.environ.get("WINEPREFIX", os.path.expanduser("~/.wine"))
link = os.path.join(prefix, "dosdevices", "com9")
if os.path.lexists(link):
    os.unlink(link)
os.symlink(path, link)


def answer():
    while True:
        try:
            data = os.read(master, 4096)
        except OSError:
            return
        if not data:
            return
        os.write(master, data.upper())


threading.Thread(target=answer, daemon=True).start()
code = subprocess.run(["wine"] + sys.argv[1:], env=env).returncode
os.unlink(link)
sys.exit(code)
