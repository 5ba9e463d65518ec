"""The RP1210 library's INI files of the install image (image/), written into
a Windows directory with the TCP/IP device pointed at a bus hub's port: for
the shared bus tests and benchmark."""
import os
import re

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def point_library_at_hub(windows_dir, port):
    for name, target in (("HVLNK32.INI", "HVLNK32.ini"), ("HV_ZMX32.INI", "HV_ZMX32.ini")):
        with open(os.path.join(ROOT, "image", name), encoding="latin-1") as f:
            text = re.sub(r"PORT=\d+", "PORT=%d" % port, f.read())
        with open(os.path.join(windows_dir, target), "w", encoding="latin-1", newline="\r\n") as f:
            f.write(text)
