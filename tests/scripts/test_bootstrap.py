#!/usr/bin/env python3
"""scripts/bootstrap.sh against a package mirror in the middle of a sync.

apt-get, dpkg, dpkg-query, id and sudo are stand-ins on PATH: nothing is
installed. A scenario says how often "apt-get update" fails with the
mirror's "File has unexpected size" error and which installs succeed.
"""
import os
import stat
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SCRIPT = os.path.join(ROOT, "scripts", "bootstrap.sh")

# The stand-ins. apt-get logs its calls; an install succeeds when every
# index is there (an update succeeded) or when it is limited to the suites
# complete for every architecture (a sources list naming only bookworm).
FAKES = {
    "dpkg-query": "#!/bin/sh\nexit 1\n",
    "dpkg": "#!/bin/sh\ncase \"$1\" in --print-architecture) echo amd64;; "
            "--print-foreign-architectures) echo i386;; esac\nexit 0\n",
    "id": "#!/bin/sh\necho 0\n",
    "sudo": "#!/bin/sh\nexec \"$@\"\n",
    "apt-get": r"""#!/bin/bash
echo "$*" >> "$FAKE_DIR/calls"
case "$1" in
  update)
    n=$(cat "$FAKE_DIR/updates" 2>/dev/null || echo 0); echo $((n + 1)) > "$FAKE_DIR/updates"
    if [ "$n" -lt "$FAIL_UPDATES" ]; then
      echo "E: Failed to fetch http://deb.example/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (1234 != 5678). Mirror sync in progress? [IP: 192.0.2.1 80]"
      exit 100
    fi
    touch "$FAKE_DIR/updated"; exit 0;;
  indextargets)
    [ "$INDEXTARGETS_FAIL" = 1 ] && { echo "E: indextargets failed"; exit 100; }
    for a in amd64 i386; do echo "http://deb.example bookworm main $a deb"; done
    echo "http://deb.example bookworm-security main amd64 deb"; exit 0;;
  install)
    [ -e "$FAKE_DIR/updated" ] && exit 0
    for o in "$@"; do
      case "$o" in Dir::Etc::SourceList=*)
        f=${o#Dir::Etc::SourceList=}
        if [ "$LIMITED_WORKS" = 1 ] && grep -q "bookworm main" "$f" && ! grep -q security "$f"; then exit 0; fi;;
      esac
    done
    echo "E: Unable to correct problems, you have held broken packages."; exit 100;;
esac
exit 0
""",
}


def run(fail_updates, limited_works, indextargets_fail=False):
    with tempfile.TemporaryDirectory() as d:
        bin_dir = os.path.join(d, "bin")
        os.mkdir(bin_dir)
        for name, text in FAKES.items():
            path = os.path.join(bin_dir, name)
            with open(path, "w") as f:
                f.write(text)
            os.chmod(path, os.stat(path).st_mode | stat.S_IEXEC)
        env = dict(os.environ, PATH=bin_dir + ":" + os.environ["PATH"], FAKE_DIR=d,
                   FAIL_UPDATES=str(fail_updates), LIMITED_WORKS="1" if limited_works else "0",
                   INDEXTARGETS_FAIL="1" if indextargets_fail else "0",
                   BOOTSTRAP_UPDATE_TRIES="4", BOOTSTRAP_UPDATE_PAUSE="0")
        done = subprocess.run(["bash", SCRIPT], env=env, capture_output=True, text=True, timeout=60)
        calls = open(os.path.join(d, "calls")).read().splitlines() if os.path.exists(os.path.join(d, "calls")) else []
        return done.returncode, done.stdout + done.stderr, calls


class MirrorMidSync(unittest.TestCase):
    def test_an_update_that_fails_a_few_times_is_tried_again(self):
        code, out, calls = run(fail_updates=2, limited_works=False)
        self.assertEqual(code, 0, out)
        self.assertEqual(sum(c.startswith("update") for c in calls), 3)
        self.assertIn("try 1 of 4", out)

    def test_the_suites_complete_for_every_architecture_are_enough(self):
        code, out, calls = run(fail_updates=99, limited_works=True)
        self.assertEqual(code, 0, out)
        self.assertEqual(sum(c.startswith("update") for c in calls), 4)
        self.assertIn("leaving out http://deb.example bookworm-security main", out)

    def test_otherwise_one_plain_message_says_what_to_do(self):
        # Also when apt cannot even list the indexes present.
        for indextargets_fail in (False, True):
            with self.subTest(indextargets_fail=indextargets_fail):
                code, out, _ = run(fail_updates=99, limited_works=False, indextargets_fail=indextargets_fail)
                self.assertNotEqual(code, 0)
                self.assertIn("Mirror sync in progress?", out)
                self.assertIn("run the command again in a few minutes", out)
                self.assertNotIn("held broken packages", out)  # apt's words would not help the user


if __name__ == "__main__":
    unittest.main()
