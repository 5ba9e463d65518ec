#!/usr/bin/python3
"""An independent J1939 node for bench tests, joined to a CAN bus through python-can.

It speaks the J1939 transport protocol (BAM and RTS/CTS, both as sender and
receiver) and address claiming (claim, defend, yield, answer requests), and it
can replay a candump log or count frames.  Every event is printed as one line
on stdout, flushed at once, so that a test in another process can follow it.
Printed addresses, PGNs and NAMEs are hexadecimal without prefix.

The module part (Peer and the helpers) is importable; `main(argv, out)` runs
the command line.
"""

import argparse
import collections
import sys
import time

import can

# Parameter group numbers and addresses.
TP_CM = 0xEC00
TP_DT = 0xEB00
ADDRESS_CLAIMED = 0xEE00
REQUEST = 0xEA00
ACKNOWLEDGMENT = 0xE800
GLOBAL = 0xFF
NULL_ADDRESS = 0xFE

# TP.CM control bytes.
RTS, CTS, EOMA, BAM, ABORT = 16, 17, 19, 32, 255

# Abort reasons: 1 already in a session, 2 no resources, 3 time-out, 4 CTS
# during data, 5 retransmit limit, 6 unexpected data packet, 7 bad sequence
# number, 8 duplicate sequence number.  This node sends 2, 3, 7 and 8.
ABORT_RESOURCES, ABORT_TIMEOUT, ABORT_BAD_SEQUENCE, ABORT_DUPLICATE_SEQUENCE = 2, 3, 7, 8

# Time-outs and pacing, seconds.
T1 = 0.75    # receiver: between two data packets
T2 = 1.25    # receiver: after sending a CTS
T3 = 1.25    # sender: waiting for a CTS or the EoMA
T4 = 1.05    # sender: after a CTS that holds the connection (0 packets)
BAM_GAP = 0.05

MIN_TP_SIZE = 9
MAX_TP_SIZE = 1785    # 255 packets of 7 bytes
DEFAULT_WINDOW = 16   # packets per CTS when the RTS sets no lower limit

TP_PRIORITY = 7
CONTROL_PRIORITY = 6

Message = collections.namedtuple("Message", "pgn sa da data")


def make_id(priority, pgn, sa, da=GLOBAL):
    """29-bit identifier; for PDU1 groups (PF < 0xF0) PS carries the destination."""
    pgn &= 0x3FFFF
    if (pgn >> 8) & 0xFF < 0xF0:
        pgn = (pgn & 0x3FF00) | (da & 0xFF)
    return (priority & 7) << 26 | pgn << 8 | (sa & 0xFF)


def split_id(arbitration_id):
    """(priority, pgn, sa, da) of a 29-bit identifier."""
    pgn, da = (arbitration_id >> 8) & 0x3FFFF, GLOBAL
    if (pgn >> 8) & 0xFF < 0xF0:
        pgn, da = pgn & 0x3FF00, pgn & 0xFF
    return (arbitration_id >> 26) & 7, pgn, arbitration_id & 0xFF, da


def name_from_bytes(data):
    """A NAME is sent least significant byte first."""
    return int.from_bytes(bytes(data[:8]), "little")


def name_to_bytes(name):
    return (name & 0xFFFFFFFFFFFFFFFF).to_bytes(8, "little")


def pattern(size):
    """The default payload: byte i = (i*31 + 7) & 0xFF."""
    return bytes((i * 31 + 7) & 0xFF for i in range(size))


def packet_count(size):
    return (size + 6) // 7


def packets_of(data):
    """TP.DT payloads: sequence number, 7 bytes, the last one padded with 0xFF."""
    return [bytes([n + 1]) + data[n * 7:n * 7 + 7].ljust(7, b"\xff")
            for n in range(packet_count(len(data)))]


def parse_number(text):
    """Decimal, or hexadecimal with a 0x prefix."""
    text = text.strip().lower()
    return int(text, 16 if text.startswith("0x") else 10)


def parse_name(text):
    """A NAME: 0x-prefixed hex, plain decimal digits, or else bare hex."""
    text = text.strip().lower()
    return int(text, 10 if text.isdigit() else 16)


class _Inbound:
    """One transfer being reassembled."""

    def __init__(self, sa, da, pgn, size, window, deadline):
        self.sa, self.da, self.pgn, self.size = sa, da, pgn, size
        self.packets = packet_count(size)
        self.buffer = bytearray(self.packets * 7)
        self.next = 1            # sequence number expected next
        self.window = window     # packets per CTS (0 for BAM)
        self.window_end = 0      # last sequence number of the current CTS
        self.deadline = deadline

    @property
    def broadcast(self):
        return self.da == GLOBAL


class _Outbound:
    """The RTS/CTS transfer this node is sending."""

    def __init__(self, da, pgn, data, deadline):
        self.da, self.pgn, self.data = da, pgn, data
        self.packets = packets_of(data)
        self.deadline = deadline
        self.result = None       # ("sent", size) / ("aborted", reason) / ("timeout", None)


class Peer:
    """A J1939 node: transport protocol and address claim on one bus.

    Single-threaded: `step()` takes one frame (or a time-out) and does all that
    follows from it; `send_tp()` and `run()` call it until they are done.
    """

    def __init__(self, bus, address=None, name=None, window=DEFAULT_WINDOW,
                 report=None, next_address=False, clock=time.monotonic):
        self.bus = bus
        self.address = address
        self.name = name
        self.window = max(1, min(255, window))
        self.report = report or (lambda line: None)
        self.next_address = next_address
        self.clock = clock
        self.inbound = {}                    # (sa, da) -> _Inbound
        self.outbound = None
        self.messages = collections.deque()  # complete transfers, oldest first
        self.on_message = None
        self.claims = {}                     # address -> NAME heard claiming it

    # ---- sending -------------------------------------------------------

    def send(self, priority, pgn, data, da=GLOBAL, sa=None):
        sa = self.address if sa is None else sa
        self.bus.send(can.Message(arbitration_id=make_id(priority, pgn, sa, da),
                                  is_extended_id=True, data=bytes(data)))

    def _cm(self, da, head, pgn):
        body = bytes(head).ljust(5, b"\xff") + (pgn & 0x3FFFF).to_bytes(3, "little")
        self.send(TP_PRIORITY, TP_CM, body, da)

    def _abort(self, da, reason, pgn):
        self._cm(da, [ABORT, reason], pgn)

    def _send_claim(self):
        sa = NULL_ADDRESS if self.address is None else self.address
        self.send(CONTROL_PRIORITY, ADDRESS_CLAIMED, name_to_bytes(self.name), GLOBAL, sa)

    # ---- main loop -----------------------------------------------------

    def step(self, timeout):
        """Wait up to `timeout` seconds for one frame, handle it, then expire time-outs."""
        now = self.clock()
        until = now + max(0.0, timeout)
        for session in self.inbound.values():
            until = min(until, session.deadline)
        if self.outbound is not None:
            until = min(until, self.outbound.deadline)
        frame = self.bus.recv(max(0.0, until - now))
        if frame is not None:
            self.handle(frame)
        self._expire()

    def run(self, seconds, until=None):
        """Serve the bus for `seconds`, or until `until()` is true."""
        end = self.clock() + seconds
        while not (until and until()):
            left = end - self.clock()
            if left <= 0:
                return False
            self.step(min(left, 0.1))
        return True

    def handle(self, frame):
        if frame.is_error_frame or frame.is_remote_frame or not frame.is_extended_id:
            return
        _, pgn, sa, da = split_id(frame.arbitration_id)
        handler = {TP_CM: self._on_cm, TP_DT: self._on_dt,
                   ADDRESS_CLAIMED: self._on_claim, REQUEST: self._on_request}.get(pgn)
        if handler is not None:
            handler(sa, da, bytes(frame.data))

    def _expire(self):
        now = self.clock()
        for key, session in list(self.inbound.items()):
            if now >= session.deadline:
                del self.inbound[key]
                if not session.broadcast:
                    self._abort(session.sa, ABORT_TIMEOUT, session.pgn)
                self.report("timeout pgn=%05X sa=%02X" % (session.pgn, session.sa))
        tx = self.outbound
        if tx is not None and tx.result is None and now >= tx.deadline:
            self._abort(tx.da, ABORT_TIMEOUT, tx.pgn)
            tx.result = ("timeout", None)

    # ---- transport protocol: receiving ---------------------------------

    def _on_cm(self, sa, da, data):
        if len(data) < 8:
            return
        control, pgn = data[0], int.from_bytes(data[5:8], "little")
        tx = self.outbound
        if (tx is not None and sa == tx.da and da == self.address
                and control in (CTS, EOMA, ABORT) and pgn == tx.pgn):
            self._on_sender_cm(tx, control, data)
            return
        size = data[1] | data[2] << 8
        now = self.clock()
        if control == BAM and da == GLOBAL:
            if MIN_TP_SIZE <= size <= MAX_TP_SIZE and data[3] == packet_count(size):
                self.inbound[(sa, GLOBAL)] = _Inbound(sa, GLOBAL, pgn, size, 0, now + T1)
            else:
                self.inbound.pop((sa, GLOBAL), None)
        elif control == RTS and da == self.address and da != GLOBAL:
            # A new RTS from the same source replaces the transfer in progress.
            self.inbound.pop((sa, da), None)
            if not (MIN_TP_SIZE <= size <= MAX_TP_SIZE and data[3] == packet_count(size)):
                self._abort(sa, ABORT_RESOURCES, pgn)
                return
            window = self.window if data[4] == 0xFF else max(1, min(self.window, data[4]))
            session = _Inbound(sa, da, pgn, size, window, now + T2)
            self.inbound[(sa, da)] = session
            self._send_cts(session)
        elif control == ABORT and da == self.address:
            session = self.inbound.get((sa, da))
            if session is not None and session.pgn == pgn:
                del self.inbound[(sa, da)]
                self.report("aborted %d pgn=%05X sa=%02X" % (data[1], pgn, sa))

    def _send_cts(self, session):
        count = min(session.window, session.packets - session.next + 1)
        session.window_end = session.next + count - 1
        session.deadline = self.clock() + T2
        self._cm(session.sa, [CTS, count, session.next], session.pgn)

    def _on_dt(self, sa, da, data):
        session = self.inbound.get((sa, da))
        if session is None or len(data) < 8:
            return
        seq = data[0]
        if seq != session.next:
            del self.inbound[(sa, da)]
            reason = ABORT_DUPLICATE_SEQUENCE if 0 < seq < session.next else ABORT_BAD_SEQUENCE
            if not session.broadcast:
                self._abort(sa, reason, session.pgn)
            self.report("dropped pgn=%05X sa=%02X seq=%d expected=%d"
                        % (session.pgn, sa, seq, session.next))
            return
        session.buffer[(seq - 1) * 7:seq * 7] = data[1:8]
        session.next += 1
        if session.next > session.packets:
            del self.inbound[(sa, da)]
            if not session.broadcast:
                self._cm(sa, [EOMA, session.size & 0xFF, session.size >> 8,
                              session.packets], session.pgn)
            self._deliver(Message(session.pgn, sa, da, bytes(session.buffer[:session.size])))
        elif not session.broadcast and session.next > session.window_end:
            self._send_cts(session)
        else:
            session.deadline = self.clock() + T1

    def _deliver(self, message):
        self.messages.append(message)
        if self.on_message is not None:
            self.on_message(message)

    # ---- transport protocol: sending -----------------------------------

    def send_tp(self, pgn, da, data, max_per_cts=0xFF):
        """Send 9..1785 bytes: BAM when `da` is global, else RTS/CTS.

        Returns ("sent", size), ("aborted", reason) or ("timeout", None).
        """
        data = bytes(data)
        size = len(data)
        if not MIN_TP_SIZE <= size <= MAX_TP_SIZE:
            raise ValueError("transport size must be %d..%d bytes" % (MIN_TP_SIZE, MAX_TP_SIZE))
        head = [size & 0xFF, size >> 8, packet_count(size)]
        if da == GLOBAL:
            self._cm(GLOBAL, [BAM] + head, pgn)
            for packet in packets_of(data):
                self.run(BAM_GAP)    # also the pause after the announcement
                self.send(TP_PRIORITY, TP_DT, packet, GLOBAL)
            return ("sent", size)
        tx = _Outbound(da, pgn, data, self.clock() + T3)
        self.outbound = tx
        try:
            self._cm(da, [RTS] + head + [max_per_cts & 0xFF], pgn)
            while tx.result is None:
                self.step(T3)
        finally:
            self.outbound = None
        return tx.result

    def _on_sender_cm(self, tx, control, data):
        if control == EOMA:
            tx.result = ("sent", len(tx.data))
        elif control == ABORT:
            tx.result = ("aborted", data[1])
        elif data[1] == 0:
            tx.deadline = self.clock() + T4    # receiver holds the connection
        else:
            first = data[2]    # packets from `first` on, also when asked again
            if first >= 1:
                for packet in tx.packets[first - 1:first - 1 + data[1]]:
                    self.send(TP_PRIORITY, TP_DT, packet, tx.da)
            tx.deadline = self.clock() + T3

    # ---- address claim and requests ------------------------------------

    def claim(self, address):
        self.address = address
        self._send_claim()
        self.report("claimed %02X" % address)

    def _on_claim(self, sa, _da, data):
        if len(data) < 8:
            return
        other = name_from_bytes(data)
        if sa != NULL_ADDRESS:
            self.claims[sa] = other
        if self.name is None or self.address is None or sa != self.address or other == self.name:
            return
        if self.name < other:
            self._send_claim()
            self.report("defended %016X" % other)
            return
        lost = self.address
        self.address = None
        self.report("lost %016X" % other)
        if self.next_address:
            for step in range(1, 254):
                candidate = (lost + step) % 254
                if candidate not in self.claims:
                    self.claim(candidate)
                    return
        self._send_claim()    # Cannot Claim: our NAME from the null address

    def _on_request(self, sa, da, data):
        if len(data) < 3:
            return
        pgn = int.from_bytes(data[:3], "little")
        to_us = self.address is not None and da == self.address
        if da != GLOBAL and not to_us:
            return
        if pgn == ADDRESS_CLAIMED and self.name is not None:
            self._send_claim()
        elif to_us and pgn != ADDRESS_CLAIMED:
            self.send(CONTROL_PRIORITY, ACKNOWLEDGMENT,
                      bytes([1, 0xFF, 0xFF, 0xFF, sa]) + pgn.to_bytes(3, "little"))
        else:
            return
        self.report("request %04X from %02X" % (pgn, sa))


# ---- command line ------------------------------------------------------


def _socketcand_send(bus):
    """socketcand tells 29-bit from 11-bit identifiers by their length: 8 or 3 digits."""
    def send(msg, timeout=None):
        width = 8 if msg.is_extended_id else 3
        data = " ".join("%02X" % b for b in msg.data)
        bus._tcp_send("< send %0*X %X %s >" % (width, msg.arbitration_id, len(msg.data), data))
    bus.send = send


def open_bus(args):
    if args.interface == "socketcand":
        bus = can.Bus(interface="socketcand", host=args.host, port=args.port, channel=args.bus)
        _socketcand_send(bus)
        return bus
    return can.Bus(interface=args.interface, channel=args.channel or args.bus)


def cmd_replay(args, bus, emit):
    time.sleep(args.wait_ms / 1000.0)
    sent = 0
    start = first = None
    for msg in can.LogReader(args.log):
        if msg.is_error_frame:
            continue
        if args.speed > 0:
            if first is None:
                start, first = time.monotonic(), msg.timestamp
            delay = start + (msg.timestamp - first) / args.speed - time.monotonic()
            if delay > 0:
                time.sleep(delay)
        bus.send(can.Message(arbitration_id=msg.arbitration_id, is_extended_id=msg.is_extended_id,
                             is_remote_frame=msg.is_remote_frame, dlc=msg.dlc, data=msg.data))
        sent += 1
    emit("sent %d" % sent)
    return 0


def cmd_ecu(args, bus, emit):
    peer = Peer(bus, name=args.name, report=emit, next_address=args.next_address)
    peer.claim(args.address)
    peer.run(args.seconds)
    return 0


def cmd_tp_send(args, bus, emit):
    data = bytes.fromhex(args.data) if args.data is not None else pattern(args.size)
    peer = Peer(bus, address=args.source, report=emit)
    peer.run(args.wait_ms / 1000.0)
    if len(data) <= 8:
        peer.send(args.priority, args.pgn, data, args.dest)
        result = ("sent", len(data))
    else:
        result = peer.send_tp(args.pgn, args.dest, data, args.max_packets)
    if result[0] == "sent":
        emit("sent %d" % result[1])
        return 0
    emit("timeout" if result[0] == "timeout" else "aborted %d" % result[1])
    return 1


def cmd_tp_receive(args, bus, emit):
    peer = Peer(bus, address=args.address, report=emit, window=args.window)
    peer.on_message = lambda m: emit("message pgn=%05X sa=%02X da=%02X len=%d data=%s"
                                     % (m.pgn, m.sa, m.da, len(m.data), m.data.hex().upper()))
    if args.count is None:
        peer.run(args.seconds)
        return 0
    return 0 if peer.run(args.seconds, lambda: len(peer.messages) >= args.count) else 1


def cmd_echo_count(args, bus, emit):
    mask = args.mask if args.mask is not None else (0x1FFFFFFF if args.id is not None else 0)
    wanted = (args.id or 0) & mask
    count = 0
    end = time.monotonic() + args.seconds
    while True:
        left = end - time.monotonic()
        if left <= 0:
            break
        frame = bus.recv(left)
        if frame is not None and not frame.is_error_frame and frame.arbitration_id & mask == wanted:
            count += 1
    emit("count %d" % count)
    return 0


def cmd_pulse(args, bus, emit):
    """A node that keeps a bus busy: a frame of --pgn every --every-ms, and a
    global request for address claims every --request-ms, counting the
    Address Claimed frames that answer from --watch."""
    peer = Peer(bus, address=args.source, report=lambda line: None)
    claims = sent = 0
    end = time.monotonic() + args.seconds
    next_frame = next_request = time.monotonic()
    while True:
        now = time.monotonic()
        if now >= end:
            break
        if now >= next_frame:
            peer.send(args.priority, args.pgn, sent.to_bytes(4, "little") + b"\xff" * 4)
            sent += 1
            next_frame += args.every_ms / 1000.0
        if args.request_ms > 0 and now >= next_request:
            peer.send(CONTROL_PRIORITY, REQUEST, ADDRESS_CLAIMED.to_bytes(3, "little"))
            next_request += args.request_ms / 1000.0
        frame = bus.recv(max(0.0, min(next_frame, next_request if args.request_ms > 0 else end, end)
                             - time.monotonic()))
        if frame is None or frame.is_error_frame:
            continue
        _, pgn, sa, _ = split_id(frame.arbitration_id)
        if pgn == ADDRESS_CLAIMED and sa == args.watch:
            claims += 1
            if claims == 1:
                emit("claimed-by %02X" % sa)
    emit("sent %d" % sent)
    emit("claims %d" % claims)
    return 0


def build_parser():
    number = parse_number

    def positive(text):
        value = parse_number(text)
        if value <= 0:
            raise argparse.ArgumentTypeError("must be at least 1")
        return value
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    bus = argparse.ArgumentParser(add_help=False)
    bus.add_argument("--interface", default="socketcand", help="python-can interface")
    bus.add_argument("--host", default="127.0.0.1", help="socketcand host")
    bus.add_argument("--port", type=number, default=29536, help="socketcand port")
    bus.add_argument("--bus", default="can0", help="socketcand bus name")
    bus.add_argument("--channel", help="channel for other interfaces (default: --bus)")
    sub = parser.add_subparsers(dest="command", required=True)

    p = sub.add_parser("replay", parents=[bus], help="play a candump log onto the bus")
    p.add_argument("--log", required=True)
    p.add_argument("--speed", type=float, default=1.0, help="1 = recorded pace, 0 = at once")
    p.add_argument("--wait-ms", type=number, default=0)
    p.set_defaults(run=cmd_replay)

    p = sub.add_parser("ecu", parents=[bus], help="claim an address and defend it")
    p.add_argument("--address", type=number, required=True)
    p.add_argument("--name", type=parse_name, required=True)
    p.add_argument("--seconds", type=float, default=10.0)
    p.add_argument("--next-address", action="store_true",
                   help="after losing, claim the next free address")
    p.set_defaults(run=cmd_ecu)

    p = sub.add_parser("tp-send", parents=[bus], help="send one message (BAM to 0xFF)")
    p.add_argument("--source", type=number, required=True)
    p.add_argument("--dest", type=number, default=GLOBAL)
    p.add_argument("--pgn", type=number, required=True)
    p.add_argument("--size", type=number, default=100)
    p.add_argument("--data", help="payload in hex instead of the pattern")
    p.add_argument("--priority", type=number, default=6,
                   help="priority of a message of up to 8 bytes (sent in one frame)")
    p.add_argument("--max-packets", type=number, default=0xFF,
                   help="RTS limit of packets per CTS (0xFF = none)")
    p.add_argument("--wait-ms", type=number, default=0)
    p.set_defaults(run=cmd_tp_send)

    p = sub.add_parser("tp-receive", parents=[bus], help="reassemble transport messages")
    p.add_argument("--address", type=number, required=True)
    p.add_argument("--seconds", type=float, default=10.0)
    p.add_argument("--count", type=number)
    p.add_argument("--window", type=number, default=DEFAULT_WINDOW, help="packets per CTS")
    p.set_defaults(run=cmd_tp_receive)

    p = sub.add_parser("pulse", parents=[bus], help="send frames and requests for address claims")
    p.add_argument("--seconds", type=float, default=10.0)
    p.add_argument("--source", type=number, default=0x33)
    p.add_argument("--pgn", type=number, default=0xFF23)
    p.add_argument("--priority", type=number, default=6)
    p.add_argument("--every-ms", type=positive, default=50)
    p.add_argument("--request-ms", type=positive, default=500)
    p.add_argument("--watch", type=number, default=0xF9, help="count Address Claimed frames from this address")
    p.set_defaults(run=cmd_pulse)

    p = sub.add_parser("echo-count", parents=[bus], help="count frames received")
    p.add_argument("--seconds", type=float, default=5.0)
    p.add_argument("--id", type=number)
    p.add_argument("--mask", type=number)
    p.set_defaults(run=cmd_echo_count)
    return parser


def main(argv=None, out=None):
    out = out or sys.stdout
    args = build_parser().parse_args(argv)

    def emit(line):
        out.write(line + "\n")
        out.flush()

    try:
        bus = open_bus(args)
    except (can.CanError, OSError, ValueError) as exc:
        emit("error %s" % exc)
        return 1
    try:
        return args.run(args, bus, emit)
    except (can.CanError, OSError, ValueError) as exc:
        emit("error %s" % exc)
        return 1
    except KeyboardInterrupt:
        return 1
    finally:
        bus.shutdown()


if __name__ == "__main__":
    sys.exit(main())
