#!/usr/bin/python3
"""The shared bus end to end, in real processes: the bus hub, python-can
peers (testkit/j1939/j1939_peer.py) and RP1210 applications (rp1210-peer)
that reach the bus through HVLNK32.DLL, ZMXMRP32.DLL and the virtual
adapter's TCP/IP link.

Environment:
  CAN_HUB            the hub program
  RP1210_PEER        the command that runs rp1210-peer (words split on blanks,
                     e.g. "wine-run.sh .../rp1210-peer.exe")
  PEER_WINDOWS_DIR   the Windows directory the library reads its INI files in
                     (natively also given to the peer as WINDIR)
"""
import os
import re
import signal
import subprocess
import sys
import threading
import time
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
J1939_PEER = os.path.join(ROOT, "testkit", "j1939", "j1939_peer.py")
ENGINE_LOG = os.path.join(ROOT, "testkit", "data", "engine-startup.log")
LIMIT = 60  # seconds any one process may take

sys.path.insert(0, os.path.join(ROOT, "testkit"))
from shared_bus_ini import point_library_at_hub  # noqa: E402


def pattern(size):
    return bytes((i * 31 + 7) & 0xFF for i in range(size)).hex().upper()


class Process:
    """A process whose output lines are collected as they come."""

    def __init__(self, args, env=None):
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                     env=env, stdin=subprocess.DEVNULL)
        self.lines = []
        self.changed = threading.Condition()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.proc.stdout:
            with self.changed:
                self.lines.append(line.rstrip("\n"))
                self.changed.notify_all()

    def wait_line(self, prefix, timeout=LIMIT):
        deadline = time.monotonic() + timeout
        with self.changed:
            while True:
                for line in self.lines:
                    if line.startswith(prefix):
                        return line
                left = deadline - time.monotonic()
                if left <= 0 or (self.proc.poll() is not None and not self.reader.is_alive()):
                    raise AssertionError("no line %r; output:\n%s" % (prefix, "\n".join(self.lines)))
                self.changed.wait(min(left, 0.2))

    def finish(self, timeout=LIMIT):
        try:
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            raise AssertionError("did not end in time; output:\n" + "\n".join(self.lines))
        self.reader.join(5)
        self.proc.stdout.close()
        return self.proc.returncode

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        self.reader.join(5)
        self.proc.stdout.close()


class SharedBus(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.hub_program = os.environ["CAN_HUB"]
        cls.peer_command = os.environ["RP1210_PEER"].split()
        cls.windows_dir = os.environ["PEER_WINDOWS_DIR"]

    def setUp(self):
        self.processes = []
        self.hub, self.port = self.start_hub()
        # The library's INI files from the install image, the TCP/IP device
        # pointed at this hub.
        point_library_at_hub(self.windows_dir, self.port)

    def tearDown(self):
        for p in self.processes:
            p.kill()
        if self.hub.proc.poll() is None:
            self.hub.proc.send_signal(signal.SIGTERM)
            self.assertEqual(self.hub.finish(10), 0)

    def start(self, args, env=None):
        p = Process(args, env)
        self.processes.append(p)
        return p

    def rp1210(self, *options):
        env = dict(os.environ, WINDIR=self.windows_dir)
        return self.start(self.peer_command + ["--device", "3"] + list(options), env)

    def python_peer(self, command, *options):
        return self.start([sys.executable, J1939_PEER, command, "--port", str(self.port)] + list(options))

    def assertEnds(self, process, code=0):
        self.assertEqual(process.finish(), code, "\n".join(process.lines))

    # ---- python-can plays the engine capture to an RP1210 reader -------------

    def test_capture_reaches_the_rp1210_application_through_its_filter(self):
        with open(ENGINE_LOG) as f:
            ids = [int(m.group(1), 16) for m in re.finditer(r"\) \S+ ([0-9A-Fa-f]+)#", f.read())]
        expected = sum(1 for i in ids if (i >> 8) & 0x3FFFF == 0xF004)  # engine controller 1
        self.assertGreater(expected, 100)
        reader = self.rp1210("--pgn", "0xF004", "--read", "9")
        reader.wait_line("filter 0")
        player = self.python_peer("replay", "--log", ENGINE_LOG, "--speed", "8")
        self.assertEqual(player.wait_line("sent "), "sent %d" % len(ids))
        self.assertEnds(player)
        self.assertEqual(reader.wait_line("count "), "count %d" % expected)
        self.assertEnds(reader)

    # ---- address claim against an independent J1939 node --------------------

    def test_address_claim_against_a_j1939_ecu_both_ways(self):
        ecu_name = "00000000000080A0"
        for library_name, claim, ecu_event in (("00000000000080FF", "claim 146", "defended"),
                                               ("0000000000008010", "claim 0", "lost")):
            with self.subTest(library_name=library_name):
                ecu = self.python_peer("ecu", "--address", "0x80", "--name", "0x" + ecu_name, "--seconds", "6")
                ecu.wait_line("claimed")
                app = self.rp1210("--claim", "0x80:" + library_name)
                app.wait_line(claim)
                ecu.wait_line(ecu_event)
                self.assertEnds(app, 0 if claim == "claim 0" else 1)
                ecu.kill()

    # ---- J1939 transport between processes ----------------------------------

    def test_long_messages_from_the_library_reassembled_by_python(self):
        receiver = self.python_peer("tp-receive", "--address", "0x80", "--count", "2", "--seconds", "40")
        time.sleep(1)
        for send, pgn, size in (("0xFF10:0xFF:100", "0FF10", 100), ("0xEF00:0x80:1785", "0EF00", 1785)):
            app = self.rp1210("--claim", "0xF9:0000000000001234", "--send-tp", send + ":0xF9")
            self.assertEqual(app.wait_line("sent "), "sent 0")
            self.assertEnds(app)
        lines = [l for l in receiver.lines if l.startswith("message")] if receiver.finish() == 0 else receiver.lines
        self.assertEqual(lines, ["message pgn=0FF10 sa=F9 da=FF len=100 data=" + pattern(100),
                                 "message pgn=0EF00 sa=F9 da=80 len=1785 data=" + pattern(1785)])

    def test_long_messages_from_python_reassembled_for_the_library(self):
        app = self.rp1210("--claim", "0xF9:0000000000001234", "--read", "10")
        app.wait_line("filter 0")
        self.assertEnds(self.python_peer("tp-send", "--source", "0x80", "--dest", "0xFF", "--pgn", "0xFF10",
                                         "--size", "100"))
        self.assertEnds(self.python_peer("tp-send", "--source", "0x80", "--dest", "0xF9", "--pgn", "0xEF00",
                                         "--size", "1785"))
        self.assertEqual(app.wait_line("message pgn=0FF10"),
                         "message pgn=0FF10 sa=80 da=FF len=100 data=" + pattern(100))
        self.assertEqual(app.wait_line("message pgn=0EF00"),
                         "message pgn=0EF00 sa=80 da=F9 len=1785 data=" + pattern(1785))
        self.assertEnds(app)

    # ---- two RP1210 applications on one bus ---------------------------------

    def test_two_applications_in_two_processes_see_each_others_frames(self):
        reader = self.rp1210("--pgn", "0xFF20", "--read", "6")
        reader.wait_line("filter 0")
        sender = self.rp1210("--send-frames", "200:0xFF20")
        self.assertEqual(sender.wait_line("sent-frames"), "sent-frames 200")
        self.assertEnds(sender)
        self.assertEqual(reader.wait_line("count "), "count 200")
        self.assertEnds(reader)


    # ---- the bus server goes away and comes back --------------------------------

    def start_hub(self, port=0):
        hub = self.start([self.hub_program, "--port", str(port)])
        line = hub.wait_line("can-hub listening on ", 10)
        return hub, int(line.rsplit(":", 1)[1])

    def test_a_dropped_connection_comes_back_by_itself(self):
        # The hub closes every connection: the adapter connects again and
        # comes back rebooted, and the library opens the application's
        # connection again with its filter and its address.
        app = self.rp1210("--claim", "0xF9:0000000000001234", "--pgn", "0xFF24", "--read", "10")
        app.wait_line("filter 0")
        self.hub.proc.send_signal(signal.SIGUSR1)
        time.sleep(0.5)
        pulse = self.python_peer("pulse", "--pgn", "0xFF24", "--seconds", "7", "--watch", "0xF9")
        self.assertEnds(pulse)
        self.assertGreater(int(pulse.wait_line("claims ").split()[1]), 0, "\n".join(pulse.lines))
        count = int(app.wait_line("count ").split()[1])
        self.assertGreater(count, 0, "\n".join(app.lines))
        self.assertEnds(app)

    def test_the_hub_stops_and_starts_again_while_an_application_runs(self):
        app = self.rp1210("--claim", "0xF9:0000000000001234", "--pgn", "0xFF24", "--read", "14",
                          "--send-every", "250:0xFF22")
        app.wait_line("filter 0")
        time.sleep(1)
        self.hub.proc.send_signal(signal.SIGTERM)
        self.assertEqual(self.hub.finish(10), 0)
        time.sleep(3)  # no server: the application's sends fail with 142
        self.hub, _ = self.start_hub(self.port)
        pulse = self.python_peer("pulse", "--pgn", "0xFF24", "--seconds", "7", "--watch", "0xF9")
        self.assertEnds(pulse)
        self.assertGreater(int(pulse.wait_line("claims ").split()[1]), 0, "\n".join(pulse.lines))
        self.assertEnds(app)
        lost = int(app.wait_line("lost ").split()[1])
        back = int(app.wait_line("back ").split()[1])
        self.assertLess(lost, back)
        self.assertIn(" 142=", app.wait_line("send-results"))
        self.assertGreater(int(app.wait_line("count-after-loss ").split()[1]), 0, "\n".join(app.lines))


if __name__ == "__main__":
    unittest.main()
