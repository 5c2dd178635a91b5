#!/usr/bin/env python3
"""The update's hold on ModemManager and logind, against fakes of both on a private system bus:
the calls and their order, release on every exit path, nothing when a service is absent, and
zovir-cli holding a sleep inhibitor from the backup to the restore."""
import json
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import dbus
import dbusmock

PROBE = sys.argv.pop(1)
CLI = sys.argv.pop(1)
USB = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-4"
MM = ("org.freedesktop.ModemManager1", "/org/freedesktop/ModemManager1", "org.freedesktop.ModemManager1")


class UpdateGuardTest(dbusmock.DBusTestCase):
    @classmethod
    def setUpClass(cls):
        cls.start_system_bus()
        cls.dbus_con = cls.get_dbus(system_bus=True)

    def setUp(self):
        self.logind, self.logind_obj = self.spawn_server_template("logind", {}, stdout=subprocess.DEVNULL)
        self.mm = None

    def tearDown(self):
        for p in (self.logind, self.mm):
            if p:
                p.terminate()
                p.wait()

    def start_mm(self):
        self.mm = self.spawn_server(*MM, system_bus=True, stdout=subprocess.DEVNULL)
        obj = self.dbus_con.get_object(MM[0], MM[1])
        mock = dbus.Interface(obj, dbusmock.MOCK_IFACE)
        mock.AddMethod(MM[2], "InhibitDevice", "sb", "", "")
        return mock

    def inhibitors(self):
        manager = dbus.Interface(self.logind_obj, "org.freedesktop.login1.Manager")
        return [(str(w), str(who), str(mode)) for w, who, _, mode, _, _ in manager.ListInhibitors()]

    def wait_inhibitors(self, want, seconds=10):
        end = time.time() + seconds
        while self.inhibitors() != want and time.time() < end:
            time.sleep(0.05)
        return self.inhibitors()

    def probe(self, *args):
        p = subprocess.Popen([PROBE, *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)
        self.addCleanup(lambda: [f.close() for f in (p.stdin, p.stdout, p.stderr)])
        return p

    def test_inhibits_then_releases_in_order(self):
        mm = self.start_mm()
        p = self.probe(USB)
        self.assertEqual(p.stdout.readline().strip(), "held mm=1 sleep=1")
        calls = [(str(m), [a for a in args]) for _, m, args in mm.GetCalls()]
        self.assertEqual(calls, [("InhibitDevice", [USB, True])])
        self.assertEqual(self.inhibitors(), [("sleep:shutdown:idle", "quorvel-zovir", "block")])
        p.stdin.write("\n")
        p.stdin.flush()
        self.assertEqual(p.stdout.readline().strip(), "released")
        self.assertEqual(p.wait(), 0)
        calls = [(str(m), [a for a in args]) for _, m, args in mm.GetCalls()]
        self.assertEqual(calls, [("InhibitDevice", [USB, True]), ("InhibitDevice", [USB, False])])
        self.assertEqual(self.wait_inhibitors([]), [])

    def test_a_killed_process_leaves_no_inhibitor(self):
        p = self.probe(USB)
        self.assertEqual(p.stdout.readline().strip(), "held mm=0 sleep=1")
        p.send_signal(signal.SIGKILL)
        p.wait()
        self.assertEqual(self.wait_inhibitors([]), [])

    def test_absent_services_are_left_alone(self):
        # No ModemManager on the bus: nothing asked, nothing fails; no USB device: no call at all.
        self.logind.terminate()
        self.logind.wait()
        self.logind = None
        for args in ([USB], []):
            p = self.probe(*args)
            out, err = p.communicate("\n", timeout=30)
            self.assertEqual(out.split(), ["held", "mm=0", "sleep=0", "released"], err)
            self.assertEqual(p.returncode, 0)

    def test_cli_holds_sleep_from_backup_to_restore(self):
        home = tempfile.mkdtemp()
        env = dict(os.environ, ZOVIR_HOME=home)
        cli = subprocess.Popen([CLI, "run", "--virtual", "--json"], stdout=subprocess.PIPE, text=True, env=env)
        self.addCleanup(cli.stdout.close)
        held_in = set()
        for line in cli.stdout:
            e = json.loads(line)
            if e["event"] == "progress" and e["phase"] in ("backup", "images", "restore") and e["phase"] not in held_in:
                if self.inhibitors() == [("sleep:shutdown:idle", "quorvel-zovir", "block")]:
                    held_in.add(e["phase"])
            if e["event"] == "result":
                self.assertEqual(e["result"], "PASS", e)
        self.assertEqual(cli.wait(), 0)
        self.assertEqual(held_in, {"backup", "images", "restore"})
        self.assertEqual(self.wait_inhibitors([]), [])


if __name__ == "__main__":
    unittest.main(verbosity=2)
