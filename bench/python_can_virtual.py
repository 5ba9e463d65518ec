#!/usr/bin/python3
"""python-can's virtual bus, one sender and one receiver, for comparison with
the RP1210 library's receive path: prints the messages per second received.

Usage: python_can_virtual.py [COUNT]   (Debian's python3-can)"""
import sys
import threading
import time

import can

count = int(sys.argv[1]) if len(sys.argv) > 1 else 200000
receiver = can.Bus(interface="virtual", channel="rp1210-bench", receive_own_messages=False)
sender = can.Bus(interface="virtual", channel="rp1210-bench", receive_own_messages=False)
message = can.Message(arbitration_id=0x18FECA00, is_extended_id=True, data=bytes(range(8)))
received = 0


def receive():
    global received
    while received < count:
        if receiver.recv(timeout=5.0) is None:
            break
        received += 1


reader = threading.Thread(target=receive)
start = time.perf_counter()
reader.start()
for _ in range(count):
    sender.send(message)
reader.join()
elapsed = time.perf_counter() - start
sender.shutdown()
receiver.shutdown()
print(f"{received / elapsed:.0f}")
