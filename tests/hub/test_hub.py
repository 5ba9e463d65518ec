#!/usr/bin/python3
"""can-hub, the socketcand-protocol CAN bus hub, through its TCP port, command
line and signals; each test runs its own hub on a free port. CAN_HUB names it:
CAN_HUB=/path/to/can-hub python3 -m unittest tests/hub/test_hub.py"""

import contextlib
import logging
import os
import re
import resource
import select
import signal
import socket
import subprocess
import time
import unittest

import can

TIMEOUT = 5.0  # every socket read and process wait gives up after this
FRAME = re.compile(r"< frame ([0-9A-F]+) (\d+\.\d{6}) ([0-9A-F]*) >\n")
# python-can 4.1 logs a warning for the newline after each frame; that newline
# is what keeps the next frame whole in its parser.
logging.getLogger("can.interfaces.socketcand").setLevel(logging.ERROR)


class Hub:
    """One hub process; stop() sends SIGTERM and returns the parsed summary (the log in .log if log=True)."""

    def __init__(self, test, *options, nofile=None, log=False):
        path = os.environ.get("CAN_HUB")
        if not path:
            raise RuntimeError("CAN_HUB must name the can-hub executable")
        self.test = test
        limit = (lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (nofile, nofile))) if nofile else None
        self.proc = subprocess.Popen([path, "--port", "0", *([] if log else ["--quiet"]), *options],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE if log else None, text=True,
                                     preexec_fn=limit)
        test.addCleanup(self._kill)
        ready, _, _ = select.select([self.proc.stdout], [], [], TIMEOUT)
        line = self.proc.stdout.readline() if ready else ""
        match = re.fullmatch(r"can-hub listening on 127\.0\.0\.1:(\d+)\n", line)
        test.assertIsNotNone(match, f"first line of the hub: {line!r}")
        self.port = int(match.group(1))

    def busy_seconds(self):  # on a CPU or waiting for one: a loop that never sleeps counts fully
        with open(f"/proc/{self.proc.pid}/schedstat") as stat:
            on_cpu, waiting, _ = stat.read().split()
        return (int(on_cpu) + int(waiting)) / 1e9

    def _kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.communicate(timeout=TIMEOUT)

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        out, self.log = self.proc.communicate(timeout=TIMEOUT)
        self.test.assertEqual(self.proc.returncode, 0)
        summary = {}
        for line in out.splitlines():
            words = line.split()
            if words[:1] == ["summary"]:
                summary[words[1]] = dict(w.split("=", 1) for w in words[1:] if "=" in w)
        return summary


class Raw:
    """A client speaking the protocol by hand; reads give up after TIMEOUT."""

    def __init__(self, test, port, bus="can0", rawmode=True, rcvbuf=None, hello="< hi >"):
        self.test = test
        self.sock = socket.socket()
        test.addCleanup(self.sock.close)
        if rcvbuf:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.sock.settimeout(TIMEOUT)
        self.sock.connect(("127.0.0.1", port))
        self.data, self.pos = b"", 0
        test.assertEqual(self.message(), hello)
        if bus:
            self.expect(f"< open {bus} >", "< ok >")
        if rawmode:
            self.expect("< rawmode >", "< ok >")

    def send(self, text):
        self.sock.sendall(text.encode())

    def _more(self):
        self.data, self.pos = self.data[self.pos:], 0
        chunk = self.sock.recv(65536)
        if not chunk:
            raise EOFError("the hub closed the connection")
        self.data += chunk

    def message(self):
        """The next message as sent, a frame with the character after it."""
        while True:
            end = self.data.find(b">", self.pos)
            is_frame = self.data.startswith(b"< frame", self.pos)
            if end >= 0 and (not is_frame or end + 1 < len(self.data)):
                break
            self._more()
        stop = end + 2 if is_frame else end + 1
        text, self.pos = self.data[self.pos:stop].decode(), stop
        return text

    def frame(self):
        """(id, data, timestamp) of the next message, which must be a frame."""
        text = self.message()
        match = FRAME.fullmatch(text)
        self.test.assertIsNotNone(match, f"not a frame: {text!r}")
        return match.group(1), match.group(3), float(match.group(2))

    def expect(self, text, answer):
        self.send(text)
        self.test.assertEqual(self.message(), answer)

    def barrier(self):
        """Nothing else is waiting for this client: the echo comes next."""
        self.expect("< echo >", "< echo >")

    def expect_closed(self):
        """The messages that come before the hub closes the connection."""
        messages = []
        try:
            while True:
                messages.append(self.message())
        except (EOFError, ConnectionResetError):
            return messages
        except TimeoutError:
            self.test.fail(f"still open after {TIMEOUT} s of silence, {len(messages)} messages read")


class Delivery(unittest.TestCase):
    def test_every_other_client_gets_every_frame_in_order(self):
        for count in (2, 8):
            with self.subTest(clients=count):
                hub = Hub(self)
                clients = [Raw(self, hub.port) for _ in range(count)]
                other_bus = Raw(self, hub.port, bus="can1")
                for seq in range(20):
                    for i, c in enumerate(clients):
                        c.send(f"< send {0x100 + i:x} 2 {i:x} {seq:x} >")
                for i, c in enumerate(clients):
                    got = {}
                    for _ in range(20 * (count - 1)):
                        ident, data, _ = c.frame()
                        got.setdefault(ident, []).append(data)
                    want = {f"{0x100 + j:03X}": [f"{j:02X}{s:02X}" for s in range(20)]
                            for j in range(count) if j != i}
                    self.assertEqual(got, want)
                    c.barrier()  # none of its own frames came back
                other_bus.barrier()  # nothing crossed to can1
                summary = hub.stop()
                self.assertEqual(summary["bus=can0"]["forwarded"], str(20 * count))
                self.assertEqual(summary["total"]["delivered"], str(20 * count * (count - 1)))

    def test_frames_wait_a_pause_after_the_rawmode_ok(self):
        hub = Hub(self)
        sender, receiver = Raw(self, hub.port), Raw(self, hub.port, rawmode=False)
        asked = time.monotonic()
        receiver.expect("< rawmode >", "< ok >")
        sender.send("< send 40 0 >")
        self.assertEqual(receiver.frame()[0], "040")
        self.assertGreaterEqual(time.monotonic() - asked, 0.1)

    def test_wire_format_of_frames(self):
        hub = Hub(self)
        sender, receiver = Raw(self, hub.port), Raw(self, hub.port)
        cases = [  # sent, id written, data written
            ("< send 18fef100 3 1 2 ab >", "18FEF100", "0102AB"),
            ("< send 123 2 A b >", "123", "0A0B"),
            ("< send 7FF 0 >", "7FF", ""),
            ("< send 0 1 5 >", "000", "05"),
            ("< send 0123 1 ff >", "00000123", "FF"),
            ("< send 800 1 0 >", "00000800", "00"),
            ("< send 1FFFFFFF 8 0 1 2 3 4 5 6 7 >", "1FFFFFFF", "0001020304050607"),
        ]
        for sent, ident, data in cases:
            with self.subTest(sent=sent):
                before = time.time()
                sender.send(sent)
                text = receiver.message()
                after = time.time()
                self.assertRegex(text, rf"\A< frame {ident} \d+\.\d{{6}} {data} >\n\Z")
                stamp = float(text.split()[3])
                self.assertTrue(before - 1e-5 <= stamp <= after, (before, stamp, after))


class Input(unittest.TestCase):
    def test_bad_input_is_answered_with_an_error_and_the_connection_keeps_working(self):
        hub = Hub(self)
        sender, receiver = Raw(self, hub.port), Raw(self, hub.port)
        cases = ["< hello >", "< >", "< send 123 9 1 2 3 4 5 6 7 8 9 >", "< send 123 2 1 >", "< send 123 1 1 2 >",
                 "< send 12G 1 1 >", "< send 123 1 zz >", "< send 123 1 1FF >", "< send 20000000 0 >",
                 "< send 123456789 0 >", "< send 123 >", "< open can1 >", "< echo loud >", "text outside\n",
                 "< send " + "1 " * 200 + ">", "< send 123 0 "]
        for bad in cases:
            with self.subTest(sent=bad):
                sender.send(bad + "< send 321 1 7 >")
                self.assertRegex(sender.message(), r"\A< error [^<>]+ >\Z")
                self.assertEqual(receiver.frame()[:2], ("321", "07"))  # the bad send went nowhere
                sender.barrier()  # exactly one error per bad message

    def test_a_client_sending_only_garbage_gets_few_errors_and_is_closed(self):
        hub = Hub(self, log=True)
        cases = ["<" * 16384, "< hello >" * 2000, "x" * 100000]
        for garbage in cases:
            with self.subTest(garbage=garbage[:10]):
                client = Raw(self, hub.port)
                with contextlib.suppress(ConnectionError):  # closed before it took everything
                    client.send(garbage)
                errors = client.expect_closed()
                self.assertLessEqual(len(errors), 64)
                self.assertEqual(errors[-1], "< error closed for sending garbage >")
        Raw(self, hub.port).barrier()
        hub.stop()
        self.assertEqual(hub.log.count("closed for sending garbage"), len(cases), hub.log)

    def test_bad_messages_among_valid_ones_keep_the_connection_and_errors_are_capped(self):
        hub = Hub(self)
        sender, receiver = Raw(self, hub.port), Raw(self, hub.port)
        for pairs, check in [(80, self.assertEqual), (1000, self.assertLess)]:  # 80: more than garbage may be
            sender.send("".join(f"< hello >< send 64 2 {i >> 8:x} {i & 255:x} >" for i in range(pairs)) + "< echo >")
            answered = 0
            while sender.message() != "< echo >":
                answered += 1
            check(answered, pairs)  # each answered; over 100 a second, not all
            self.assertEqual([receiver.frame()[1] for _ in range(pairs)], [f"{i:04X}" for i in range(pairs)])

    def test_commands_before_open_and_unknown_bus(self):
        hub = Hub(self)
        client = Raw(self, hub.port, bus=None, rawmode=False)
        for sent in ("< send 123 0 >", "< rawmode >"):
            client.send(sent)
            self.assertRegex(client.message(), r"\A< error [^<>]+ >\Z", sent)
        client.expect("< open nosuchbus >", "< error could not open bus >")
        client.expect("< open can1 >", "< ok >")
        client.expect("< rawmode >", "< ok >")
        Raw(self, hub.port, bus="can1").send("< send 5 1 55 >")
        self.assertEqual(client.frame()[:2], ("005", "55"))

    def test_messages_split_across_writes_and_several_in_one_write(self):
        hub = Hub(self)
        sender, receiver = Raw(self, hub.port), Raw(self, hub.port)
        for byte in b"< send 18FEF100 3 1 2 3 >":
            sender.sock.sendall(bytes([byte]))
            time.sleep(0.002)  # separate segments; the result does not depend on it
        self.assertEqual(receiver.frame()[:2], ("18FEF100", "010203"))
        sender.send("< send 1 1 1 >< send 2 1 2 >\n \t< send 3 1 3 >  < echo >< echo >")
        self.assertEqual([receiver.frame()[:2] for _ in range(3)], [("001", "01"), ("002", "02"), ("003", "03")])
        self.assertEqual([sender.message(), sender.message()], ["< echo >", "< echo >"])
        sender.barrier()


class PythonCan(unittest.TestCase):
    def test_python_can_exchanges_frames_with_a_raw_client(self):
        hub = Hub(self)
        raw = Raw(self, hub.port)
        bus = can.Bus(interface="socketcand", host="127.0.0.1", port=hub.port, channel="can0")
        self.addCleanup(bus.shutdown)
        for message, ident, data in [
            (can.Message(arbitration_id=0x18FEF100, data=bytes(range(1, 9))), "18FEF100", "0102030405060708"),
            (can.Message(arbitration_id=0x123, is_extended_id=False, data=[0xAB]), "123", "AB"),
            (can.Message(arbitration_id=0x7FF, is_extended_id=False, data=[]), "7FF", ""),
        ]:
            bus.send(message)
            self.assertEqual(raw.frame()[:2], (ident, data))
        # A burst, so that python-can reads several frames at once.
        raw.send("".join(f"< send {0x1000 + i:x} 2 {i:x} ff >" for i in range(50)) + "< send 7 0 >")
        for i in range(50):
            message = bus.recv(TIMEOUT)
            self.assertIsNotNone(message)
            self.assertEqual((message.arbitration_id, bytes(message.data)), (0x1000 + i, bytes([i, 0xFF])))
        message = bus.recv(TIMEOUT)
        self.assertEqual((message.arbitration_id, len(message.data)), (7, 0))
        raw.barrier()


class SlowClient(unittest.TestCase):
    def test_slow_client_does_not_hold_up_others_and_its_drops_are_counted(self):
        hub = Hub(self, "--queue", "1000")
        slow = Raw(self, hub.port, rcvbuf=4096)  # never reads again
        sender, fast = Raw(self, hub.port), Raw(self, hub.port)
        total, batch = 30000, 500
        for start in range(0, total, batch):
            sender.send("".join(f"< send 1 4 {n >> 24:x} {n >> 16 & 255:x} {n >> 8 & 255:x} {n & 255:x} >"
                                for n in range(start, start + batch)))
            for n in range(start, start + batch):
                self.assertEqual(fast.frame()[1], f"{n:08X}")
        summary = hub.stop()
        lines = {fields["peer"]: fields for key, fields in summary.items() if key.startswith("client=")}
        slow_line, fast_line = (lines["%s:%d" % c.sock.getsockname()] for c in (slow, fast))
        drops = int(slow_line["queue_drops"])
        self.assertGreater(drops, 0)
        self.assertEqual(int(slow_line["delivered"]) + int(slow_line["queued"]) + drops, total)
        self.assertEqual((fast_line["delivered"], fast_line["queue_drops"]), (str(total), "0"))
        self.assertEqual(summary["total"]["queue_drops"], str(drops))


class Faults(unittest.TestCase):
    def test_drop_every_drops_each_nth_frame_of_each_bus(self):
        hub = Hub(self, "--drop-every", "3")
        senders = {bus: Raw(self, hub.port, bus=bus) for bus in ("can0", "can1")}
        receivers = {bus: Raw(self, hub.port, bus=bus) for bus in ("can0", "can1")}
        for bus, seq in [("can1", 1), ("can1", 2), ("can0", 1), ("can0", 2), ("can0", 3), ("can0", 4), ("can1", 3),
                         ("can1", 4), ("can0", 5), ("can1", 5)]:
            senders[bus].send(f"< send 10 1 {seq:x} >")
            senders[bus].barrier()  # the hub takes them in this order
        for bus, receiver in receivers.items():
            with self.subTest(bus=bus):
                self.assertEqual([receiver.frame()[1] for _ in range(4)], ["01", "02", "04", "05"])
                receiver.barrier()
        summary = hub.stop()
        self.assertEqual([summary[f"bus={b}"]["injected_drops"] for b in ("can0", "can1")], ["1", "1"])
        self.assertEqual(summary["total"]["injected_drops"], "2")

    def test_disconnect_after_closes_a_client_once_it_has_its_frames(self):
        hub = Hub(self, "--disconnect-after", "5")
        sender, receiver = Raw(self, hub.port), Raw(self, hub.port)
        sender.send("".join(f"< send 20 1 {i:x} >" for i in range(8)))
        self.assertEqual([receiver.frame()[1] for _ in range(5)], [f"{i:02X}" for i in range(5)])
        receiver.expect_closed()
        sender.barrier()  # a client that got no frames stays
        Raw(self, hub.port).barrier()
        self.assertEqual(hub.stop()["total"]["delivered"], "5")

    def test_sigusr1_disconnects_every_client_and_the_hub_keeps_listening(self):
        hub = Hub(self)
        first, second = Raw(self, hub.port), Raw(self, hub.port, bus="can1")
        hub.proc.send_signal(signal.SIGUSR1)
        first.expect_closed()
        second.expect_closed()
        sender, receiver = Raw(self, hub.port), Raw(self, hub.port)
        sender.send("< send 30 1 1 >")
        self.assertEqual(receiver.frame()[:2], ("030", "01"))
        self.assertEqual(hub.stop()["total"]["clients"], "4")


class Limits(unittest.TestCase):
    def test_a_client_over_max_clients_is_told_and_closed(self):
        hub = Hub(self, "--max-clients", "2")
        first, second = Raw(self, hub.port), Raw(self, hub.port)
        Raw(self, hub.port, bus=None, rawmode=False, hello="< error too many clients >").expect_closed()
        first.sock.close()
        second.barrier()  # the hub has seen the first one go
        Raw(self, hub.port).send("< send 61 0 >")
        self.assertEqual(second.frame()[0], "061")

    def test_out_of_descriptors_the_hub_neither_spins_nor_stops_serving(self):
        hub = Hub(self, nofile=24)  # room for fewer clients than --max-clients
        sender, receiver = Raw(self, hub.port), Raw(self, hub.port)
        flood = [socket.create_connection(("127.0.0.1", hub.port), timeout=TIMEOUT) for _ in range(40)]
        self.addCleanup(lambda: [sock.close() for sock in flood])
        busy, start = hub.busy_seconds(), time.monotonic()
        time.sleep(1.5)
        busy, window = hub.busy_seconds() - busy, time.monotonic() - start
        self.assertLess(busy, 0.3 * window, f"busy {busy:.2f} s of {window:.2f} s with accept failing")
        sender.send("< send 62 1 2 >")
        self.assertEqual(receiver.frame()[:2], ("062", "02"))
        for sock in flood:
            sock.close()
        Raw(self, hub.port).barrier()  # descriptors free again: a new client is served

    def test_idle_timeout_closes_clients_short_of_raw_mode_and_keeps_quiet_listeners(self):
        hub = Hub(self, "--idle-timeout", "1")
        start = time.monotonic()
        silent, opened = Raw(self, hub.port, bus=None, rawmode=False), Raw(self, hub.port, rawmode=False)
        listener = can.Bus(interface="socketcand", host="127.0.0.1", port=hub.port, channel="can0")
        self.addCleanup(listener.shutdown)
        sender = Raw(self, hub.port)
        for client in (silent, opened):
            client.expect_closed()
        self.assertGreaterEqual(time.monotonic() - start, 1.0)
        time.sleep(0.5)  # past the time-out of the raw-mode clients too
        sender.send("< send 63 0 >")
        self.assertEqual(listener.recv(TIMEOUT).arbitration_id, 0x63)


class Pacing(unittest.TestCase):
    def test_bitrate_spaces_frames_by_their_time_on_the_bus(self):
        count, bitrate = 200, 250000
        for sent, bits in [("< send 18FEF100 8 1 2 3 4 5 6 7 8 >", 67 + 64), ("< send 123 0 >", 47)]:
            with self.subTest(sent=sent):
                hub = Hub(self, "--bitrate", str(bitrate))
                sender, receiver = Raw(self, hub.port), Raw(self, hub.port)
                start = time.monotonic()
                sender.send(sent * count)
                stamps = [receiver.frame()[2] for _ in range(count)]
                elapsed = time.monotonic() - start
                frame_time = bits / bitrate
                self.assertGreaterEqual(elapsed, count * frame_time)
                self.assertGreaterEqual(stamps[-1] - stamps[0], (count - 1) * frame_time - 1e-5)
                self.assertEqual(stamps, sorted(stamps))
                self.assertEqual(hub.stop()["bus=can0"]["pacing_drops"], "0")

    def test_full_pacing_queue_drops_and_counts(self):
        hub = Hub(self, "--bitrate", "250000", "--queue", "10")
        sender, receiver = Raw(self, hub.port), Raw(self, hub.port)
        sender.send("< send 1 8 0 0 0 0 0 0 0 0 >" * 100)
        ids = [receiver.frame()[0]]
        sender.send("< send 2 0 >")  # the queue has room again once one frame is out
        while ids[-1] != "002":
            ids.append(receiver.frame()[0])
        passed = len(ids) - 1
        self.assertLess(passed, 100)
        bus = hub.stop()["bus=can0"]
        self.assertEqual((bus["forwarded"], bus["pacing_drops"]), (str(passed + 1), str(100 - passed)))

    def test_delay_holds_every_frame(self):
        hub = Hub(self, "--delay-ms", "300")
        sender, receiver = Raw(self, hub.port), Raw(self, hub.port)
        sent_at = time.time()
        sender.send("< send 1 0 >")
        ident, _, stamp = receiver.frame()
        self.assertEqual(ident, "001")
        self.assertGreaterEqual(time.time() - sent_at, 0.3)
        self.assertGreaterEqual(stamp, sent_at + 0.3 - 1e-5)


if __name__ == "__main__":
    unittest.main()
