"""The J1939 test peer (testkit/j1939/j1939_peer.py) on python-can's virtual bus."""

import contextlib, io, os, subprocess, sys, tempfile, threading, unittest, uuid

TOOL_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "testkit", "j1939")
TOOL = os.path.join(TOOL_DIR, "j1939_peer.py")
sys.path.insert(0, TOOL_DIR)
try:
    import can
except ImportError:   # an interpreter other than Debian's: take Debian's python3-can
    sys.path.append("/usr/lib/python3/dist-packages")
    import can
import j1939_peer as jp

PGN = 0xFECA
US, THEM = 0x21, 0x80
PATTERN = bytes((i * 31 + 7) & 0xFF for i in range(1785))


def send(bus, priority, pgn, sa, da, data):
    pgn = pgn | da if pgn >> 8 < 0xF0 else pgn
    bus.send(can.Message(arbitration_id=priority << 26 | pgn << 8 | sa, data=bytes(data)))


def frames(bus, timeout=0.3):
    return list(iter(lambda: bus.recv(timeout), None))


def wire(frame):
    return frame and (frame.arbitration_id, bytes(frame.data))


def background(target, *args):
    thread = threading.Thread(target=target, args=args, daemon=True)
    thread.start()
    return thread


class BusTest(unittest.TestCase):
    """Each case gets its own virtual channel; `self.raw` is the test's own node on it."""

    def setUp(self):
        self.fresh_channel()

    def fresh_channel(self):
        self.channel, self.stack = "j1939-" + uuid.uuid4().hex, contextlib.ExitStack()
        self.addCleanup(self.stack.close)
        self.raw = self.bus()

    def bus(self):
        return self.stack.enter_context(can.Bus(interface="virtual", channel=self.channel))

    def cli(self, *argv):
        """Start the command line in a thread; the call returned waits and gives (exit code, output)."""
        out, rc = io.StringIO(), []
        argv = list(argv) + ["--interface", "virtual", "--channel", self.channel]
        thread = background(lambda: rc.append(jp.main(argv, out)))
        return lambda: (thread.join(20), rc and rc[0], out.getvalue())[1:]

    def next_cm(self, control, timeout=3.0):
        """Data of the next TP.CM `control` frame from US to THEM."""
        while (frame := self.raw.recv(timeout)) is not None:
            if frame.arbitration_id == 0x1CEC0000 | THEM << 8 | US and frame.data[0] == control:
                return bytes(frame.data)
        self.fail("no TP.CM %d" % control)


class TransportTest(BusTest):
    def test_transfer_arrives_byte_for_byte(self):
        cases = [  # name, destination, size, receiver window, RTS limit, packets per CTS
            ("BAM 100 bytes", 0xFF, 100, 16, 0xFF, []),
            ("RTS/CTS 1785 bytes", US, 1785, 16, 0xFF, [16] * 15 + [15]),
            ("receiver window smaller than message", US, 100, 3, 0xFF, [3] * 5),
            ("RTS limit smaller than receiver window", US, 100, 16, 4, [4, 4, 4, 3]),
        ]
        for name, da, size, window, limit, windows in cases:
            with self.subTest(name):
                self.fresh_channel()
                sender = jp.Peer(self.bus(), address=THEM)
                receiver = jp.Peer(self.bus(), address=US, window=window)
                thread = background(receiver.run, 20, lambda: receiver.messages)
                self.assertEqual(sender.send_tp(PGN, da, PATTERN[:size], limit), ("sent", size))
                thread.join(20)
                self.assertEqual(list(receiver.messages), [jp.Message(PGN, THEM, da, PATTERN[:size])])
                seen = frames(self.raw)
                cts = [f.data[1] for f in seen if f.arbitration_id == 0x1CEC0000 | THEM << 8 | US and f.data[0] == 17]
                self.assertEqual(cts, windows)
                last = [bytes(f.data) for f in seen if f.arbitration_id >> 8 & 0xFFFF == 0xEB00 | da][-1]
                self.assertEqual(last, bytes([last[0]]) + PATTERN[(last[0] - 1) * 7:size].ljust(7, b"\xff"))
                self.assertEqual(last[0], (size + 6) // 7)
                stamps = [f.timestamp for f in seen if f.arbitration_id >> 8 & 0xFFFF in (0xECFF, 0xEBFF)]
                self.assertGreaterEqual(min(map(float.__sub__, stamps[1:], stamps), default=1), 0.045)   # BAM pace

    def test_receiver_faults_abort(self):
        cases = [  # name, packets sent after the CTS, abort reason
            ("packet skipped", [1, 3], 7),
            ("packet repeated", [1, 1], 8),
            ("no packet after CTS", [], 3),
            ("stall between packets", [1], 3),
        ]
        for name, packets, reason in cases:
            with self.subTest(name):
                self.fresh_channel()
                peer, stop = jp.Peer(self.bus(), address=US), threading.Event()
                thread = background(peer.run, 5, stop.is_set)
                send(self.raw, 7, 0xEC00, THEM, US, [16, 20, 0, 3, 0xFF, 0xCA, 0xFE, 0])
                self.assertEqual(self.next_cm(17)[:3], bytes([17, 3, 1]))
                for seq in packets:
                    send(self.raw, 7, 0xEB00, THEM, US, [seq] * 8)
                self.assertEqual(self.next_cm(255), bytes([255, reason, 255, 255, 255, 0xCA, 0xFE, 0]))
                # The session is gone: the rest of the packets make no message.
                for seq in (2, 3):
                    send(self.raw, 7, 0xEB00, THEM, US, [seq] * 8)
                send(self.raw, 6, 0xEA00, THEM, US, [0xCA, 0xFE, 0])   # answered after those
                self.assertEqual(self.raw.recv(3).arbitration_id, 0x18E8FF00 | US)
                stop.set()
                thread.join(5)
                self.assertEqual(list(peer.messages), [])


class AddressClaimTest(BusTest):
    def test_contending_claim(self):
        cases = [  # name, our NAME, their NAME, outcome
            ("our NAME lower: defend", 0x10, 0x20, "defended"),
            ("our NAME higher: cannot claim", 0x20, 0x10, "lost"),
            ("lower byte 0, higher byte 7: lose", 0x8000000000000001, 0x1000000000000002, "lost"),
            ("higher byte 0, lower byte 7: defend", 0x1000000000000002, 0x8000000000000001, "defended"),
        ]
        for name, ours, theirs, outcome in cases:
            with self.subTest(name):
                self.fresh_channel()
                events = []
                peer = jp.Peer(self.bus(), name=ours, report=events.append)
                peer.claim(US)
                self.assertEqual(wire(self.raw.recv(1)), (0x18EEFF21, ours.to_bytes(8, "little")))
                send(self.raw, 6, 0xEE00, US, 0xFF, theirs.to_bytes(8, "little"))
                peer.step(1)
                sa = US if outcome == "defended" else 0xFE
                self.assertEqual(wire(self.raw.recv(1)), (0x18EEFF00 | sa, ours.to_bytes(8, "little")))
                self.assertEqual(events, ["claimed 21", "%s %016X" % (outcome, theirs)])

    def test_request_answers(self):
        name = 0xA00C810045FE0011
        claim = (0x18EEFF21, name.to_bytes(8, "little"))
        cases = [  # name, our address, request to, PGN requested, answer (id, data) or None
            ("claim, global", US, 0xFF, 0xEE00, claim),
            ("claim, to us", US, US, 0xEE00, claim),
            ("claim after losing: cannot claim", None, 0xFF, 0xEE00, (0x18EEFFFE, claim[1])),
            ("other PGN to us: NACK", US, US, PGN, (0x18E8FF21, bytes([1, 255, 255, 255, THEM, 0xCA, 0xFE, 0]))),
            ("other PGN, global: silence", US, 0xFF, PGN, None),
            ("claim, to another node: silence", US, 0x22, 0xEE00, None),
        ]
        for label, address, da, pgn, expected in cases:
            with self.subTest(label):
                self.fresh_channel()
                peer = jp.Peer(self.bus(), address=address, name=name)
                send(self.raw, 6, 0xEA00, THEM, da, pgn.to_bytes(3, "little"))
                peer.step(1)
                self.assertEqual(wire(self.raw.recv(0.2)), expected)


class CommandLineTest(BusTest):
    def test_tp_send_to_tp_receive(self):
        receive = self.cli("tp-receive", "--address", "0x21", "--count", "1", "--seconds", "20")
        send = self.cli("tp-send", "--source", "0x80", "--dest", "33", "--pgn", "0xFECA",
                        "--size", "1785", "--wait-ms", "500")
        self.assertEqual(send(), (0, "sent 1785\n"))
        self.assertEqual(receive(), (0, "message pgn=0FECA sa=80 da=21 len=1785 data=%s\n" % PATTERN.hex().upper()))

    def test_tp_send_without_receiver_times_out(self):
        send = self.cli("tp-send", "--source", "0x80", "--dest", "0x21", "--pgn", "0xFECA")
        self.assertEqual(send(), (1, "timeout\n"))
        self.assertEqual(bytes(frames(self.raw)[-1].data[:2]), bytes([255, 3]))

    def test_ecu_claims_answers_and_defends(self):
        ecu = self.cli("ecu", "--address", "0x21", "--name", "0x10", "--seconds", "1.5")
        self.assertEqual(self.raw.recv(3).arbitration_id, 0x18EEFF21)
        send(self.raw, 6, 0xEA00, THEM, 0xFF, [0, 0xEE, 0])
        send(self.raw, 6, 0xEE00, US, 0xFF, (0x20).to_bytes(8, "little"))
        self.assertEqual([f.arbitration_id for f in frames(self.raw)], [0x18EEFF21] * 2)
        self.assertEqual(ecu(), (0, "claimed 21\nrequest EE00 from 80\ndefended 0000000000000020\n"))

    def test_replay_sends_log_frames(self):
        with tempfile.NamedTemporaryFile("w", suffix=".log", delete=False) as log:
            log.write("(1.00) can1 18FEF100#0102030405060708\n(1.01) can1 123#AABB\n(1.02) can1 0CF00400#\n")
        self.addCleanup(os.unlink, log.name)
        self.assertEqual(self.cli("replay", "--log", log.name, "--speed", "1")(), (0, "sent 3\n"))
        self.assertEqual([(f.arbitration_id, f.is_extended_id, bytes(f.data)) for f in frames(self.raw)],
                         [(0x18FEF100, True, bytes(range(1, 9))), (0x123, False, b"\xaa\xbb"), (0x0CF00400, True, b"")])

    def test_executable_counts_frames(self):
        run = subprocess.run([TOOL, "echo-count", "--interface", "virtual", "--channel", self.channel,
                              "--seconds", "0.2"], capture_output=True, text=True, timeout=30)
        self.assertEqual((run.returncode, run.stdout), (0, "count 0\n"))


if __name__ == "__main__":
    unittest.main()
