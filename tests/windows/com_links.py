#!/usr/bin/env python3
"""Runs a command while wine's COM ports follow a device map: every [COMn] section of the map
with a Path= becomes the link dosdevices/comn -> Path in the wine prefix, and the link goes when
the section's Path is emptied or the section goes. The virtual modem rewrites its map whenever it
restarts on new pseudo-terminals, so the links are checked every 20 ms. wine resolves a COM name
through that link each time a program opens the port, which is all the mapping a program under
wine needs. Usage: com_links.py MAP COMMAND [ARGS...]; exits with the command's code."""
import configparser
import os
import subprocess
import sys
import threading

map_path, command = sys.argv[1], sys.argv[2:]
devices = os.path.join(os.environ.get("WINEPREFIX", os.path.expanduser("~/.wine")), "dosdevices")
made = {}  # link -> target, the links this run put in place


def wanted():
    parser = configparser.ConfigParser(interpolation=None)
    try:
        parser.read(map_path)
    except (configparser.Error, OSError):
        return None  # half-written: taken at the next look
    links = {}
    for section in parser.sections():
        path = parser.get(section, "Path", fallback="").strip()
        if section.upper().startswith("COM") and section[3:].isdigit() and path:
            links[os.path.join(devices, section.lower())] = path
    return links


def follow(stop):
    last = None
    while not stop.wait(0.02):
        try:
            stamp = os.stat(map_path).st_mtime_ns
        except OSError:
            stamp = None
        if stamp == last:
            continue
        links = wanted()
        if links is None:
            continue
        last = stamp
        for link in [l for l in made if l not in links]:
            os.unlink(link)
            del made[link]
        for link, target in links.items():
            if made.get(link) != target:
                if os.path.lexists(link):
                    os.unlink(link)
                os.symlink(target, link)
                made[link] = target


stop = threading.Event()
watcher = threading.Thread(target=follow, args=(stop,))
watcher.start()
try:
    code = subprocess.run(command, stdin=subprocess.DEVNULL).returncode
finally:
    stop.set()
    watcher.join()
    for link in made:
        if os.path.lexists(link):
            os.unlink(link)
sys.exit(code)
