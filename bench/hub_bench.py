#!/usr/bin/python3
"""Frames per second through can-hub on loopback, beside the frames per second
a CAN bus carries.

Usage: hub_bench.py PATH/TO/can-hub [FRAMES] [RP1210_PEER_COMMAND WINDOWS_DIR]
       (FRAMES default 100000)

  raw -> raw         a sender thread writes FRAMES frames as fast as it can on
                     one raw socket; the main thread receives them on another
  python-can -> raw  python-can's socketcand client sends FRAMES frames; a
                     receiver thread takes them on a raw socket

  python-can -> RP1210 python-can sends FRAMES frames; rp1210-peer (the
                     command given, natively or under Wine) reads them through
                     HVLNK32 -> ZMXMRP32 -> the virtual adapter's TCP/IP link
                     (device 3 of the install image's INI files, written to
                     WINDOWS_DIR with the hub's port); the rate is the reader's,
                     first to last message

The hub runs with a queue large enough that no frame is dropped; the drops it
counted are printed anyway. All frames have a 29-bit id and 8 data bytes."""

import os
import re
import select
import signal
import socket
import subprocess
import sys
import threading
import time

import can

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "testkit"))
from shared_bus_ini import point_library_at_hub  # noqa: E402

TIMEOUT = 10.0
FRAME_TEXT = "< send 18FEF100 8 1 2 3 4 5 6 7 8 >"


def start_hub(path, frames):
    proc = subprocess.Popen([path, "--port", "0", "--quiet", "--queue", str(frames * 2)],
                            stdout=subprocess.PIPE, text=True)
    ready, _, _ = select.select([proc.stdout], [], [], TIMEOUT)
    match = re.search(r":(\d+)$", proc.stdout.readline().strip()) if ready else None
    if not match:
        proc.kill()
        sys.exit("can-hub did not report its port")
    return proc, int(match.group(1))


def stop_hub(proc):
    proc.send_signal(signal.SIGTERM)
    out, _ = proc.communicate(timeout=TIMEOUT)
    total = next(line for line in out.splitlines() if line.startswith("summary total"))
    return dict(word.split("=", 1) for word in total.split()[2:])


def raw_client(port):
    sock = socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT)
    for command in (None, "< open can0 >", "< rawmode >"):
        if command:
            sock.sendall(command.encode())
        sock.recv(256)  # < hi >, < ok >, < ok >
    time.sleep(0.15)  # the hub's pause after rawmode
    return sock


def count_frames(sock, frames):
    """Receives until FRAMES frames are in; returns (count, time of the last)."""
    received, last = 0, time.perf_counter()
    while received < frames:
        try:
            chunk = sock.recv(1 << 20)
        except socket.timeout:
            break
        if not chunk:
            break
        received += chunk.count(b"\n")
        last = time.perf_counter()
    return received, last


def raw_to_raw(port, frames):
    receiver, sender = raw_client(port), raw_client(port)
    chunk = (FRAME_TEXT * 1000).encode()

    def send():
        left = frames
        while left > 0:
            n = min(left, 1000)
            sender.sendall(chunk if n == 1000 else (FRAME_TEXT * n).encode())
            left -= n

    thread = threading.Thread(target=send)
    start = time.perf_counter()
    thread.start()
    received, last = count_frames(receiver, frames)
    thread.join()
    receiver.close()
    sender.close()
    return received, received / (last - start)


def python_can_to_raw(port, frames):
    receiver = raw_client(port)
    bus = can.Bus(interface="socketcand", host="127.0.0.1", port=port, channel="can0")
    message = can.Message(arbitration_id=0x18FEF100, data=bytes(range(1, 9)))
    result = {}
    thread = threading.Thread(target=lambda: result.update(zip(("received", "last"), count_frames(receiver, frames))))
    thread.start()
    start = time.perf_counter()
    for _ in range(frames):
        bus.send(message)
    thread.join()
    bus.shutdown()
    receiver.close()
    return result["received"], result["received"] / (result["last"] - start)


def python_can_to_rp1210(port, frames, peer_command, windows):
    point_library_at_hub(windows, port)
    reader = subprocess.Popen(peer_command.split() + ["--device", "3", "--read", "60", "--until", str(frames), "--rx-buffer", "4000000"],
                              stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True,
                              env=dict(os.environ, WINDIR=windows))
    lines = []
    for line in reader.stdout:
        lines.append(line.strip())
        if line.startswith("filter"):
            break
    bus = can.Bus(interface="socketcand", host="127.0.0.1", port=port, channel="can0")
    message = can.Message(arbitration_id=0x18FEF100, data=bytes(range(1, 9)))
    for _ in range(frames):
        bus.send(message)
    lines += [line.strip() for line in reader.stdout]
    reader.wait(TIMEOUT)
    bus.shutdown()
    values = dict(line.split(" ", 1) for line in lines if " " in line)
    received, span = int(values.get("count", 0)), int(values.get("span-ms", 0))
    if int(values.get("overflows", 0)):
        print("  (the reader's receive buffer overflowed %s times)" % values["overflows"])
    return received, received / (span / 1000) if span > 0 else 0.0


def can_limits():
    """(bit rate, frames/s without stuffing, frames/s with worst-case stuffing)
    for 8-byte frames with 29-bit ids: 67 + 64 bits with the interframe space,
    and one stuff bit per 4 bits of the 54 + 64 bits from SOF to the CRC."""
    plain = 67 + 8 * 8
    stuffed = plain + (54 + 8 * 8 - 1) // 4
    return plain, stuffed, [(rate, rate / plain, rate / stuffed) for rate in (250000, 500000, 1000000)]


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    path = sys.argv[1]
    frames = int(sys.argv[2]) if len(sys.argv) > 2 else 100000
    runs = [("raw -> hub -> raw", raw_to_raw), ("python-can -> hub -> raw", python_can_to_raw)]
    if len(sys.argv) > 4:
        command, windows = sys.argv[3], sys.argv[4]
        runs.append(("python-can -> hub -> RP1210",
                     lambda port, n: python_can_to_rp1210(port, n, command, windows)))
    print(f"can-hub on loopback, {frames} frames with a 29-bit id and 8 data bytes")
    for name, run in runs:
        proc, port = start_hub(path, frames)
        try:
            received, rate = run(port, frames)
        finally:
            totals = stop_hub(proc)
        print(f"  {name:26} {rate:10.0f} frames/s   (received {received} of {frames}; hub drops: "
              f"queue {totals['queue_drops']}, pacing {totals['pacing_drops']})")
    plain, stuffed, rows = can_limits()
    print(f"CAN bus, same frames: {plain} bits each, {stuffed} with worst-case bit stuffing")
    for rate, unstuffed_fps, stuffed_fps in rows:
        print(f"  {rate // 1000:5d} kbit/s   {unstuffed_fps:8.0f} frames/s without stuffing   "
              f"{stuffed_fps:8.0f} frames/s worst-case stuffing")


if __name__ == "__main__":
    main()
