"""The setup program HalveryDriverSetup.exe (SETUP_EXE) and its uninstaller, run
silently under Wine as a user runs them, each case in a fresh prefix copied from
SETUP_PREFIX_TEMPLATE or from one made per run by scripts/wine-prefix.sh.
CATALOGUE_DUMP is the checker's catalogue-dump: a PE32 .exe runs under Wine."""

import glob, os, pathlib, re, shutil, subprocess, tempfile, time, unittest

SETUP_EXE = os.environ.get("SETUP_EXE", "")
CATALOGUE_DUMP = os.environ.get("CATALOGUE_DUMP", "")
WINE_PREFIX_SH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "wine-prefix.sh")
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\HalveryRP1210"
UNINSTALLER = "HalveryUninstall.exe"
PACKAGE = ["HVLNK32.DLL", "ZMXMRP32.DLL", "QRN.EXE", "HVLNK32.INI", "HV_ZMX32.INI", "ZMXSRP32.DLL", "ZMXURP2K.DLL",
           "ZMXTRP32.DLL", "ZMXIRP32.DLL", "ZMXHRP32.DLL", "ZMXURP98.DLL", "ZMXWRP32.DLL"]
QUIET = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
TIMEOUT = 60
SIMPLE = "[RP1210Support]\r\nAPIImplementations=%s\r\n"
LAYOUT = ("; vendors on this PC\r\n[Other]\r\nAPIImplementations=NOTME\r\n\r\n[rp1210support]\r\n"
          " APIImplementations = %s \r\nOther = keep \r\n")
EARLIER = {"HVLNK32.DLL": b"MZ an earlier HVLNK32", "HVLNK32.INI": b"[VendorInformation]\r\nName=earlier\r\n",
           "HV_ZMX32.INI": b"; set by a technician\r\n[DeviceInformation3]\r\nDeviceParams=IP=10.0.0.7\r\n"}


def readlink(path):
    try:
        return os.readlink(path)
    except OSError:
        return None


template, template_dir = os.environ.get("SETUP_PREFIX_TEMPLATE", ""), None


def setUpModule():
    global template, template_dir
    if not os.path.isfile(SETUP_EXE):
        raise RuntimeError("SETUP_EXE must name the built HalveryDriverSetup.exe (now %r)" % SETUP_EXE)
    if not template:
        template_dir = tempfile.mkdtemp(prefix="setup-template-")
        template = os.path.join(template_dir, "prefix")
        subprocess.run(["bash", WINE_PREFIX_SH, template], check=True, timeout=180, **QUIET)


def tearDownModule():
    if template_dir:
        shutil.rmtree(template_dir, ignore_errors=True)


class SetupCase(unittest.TestCase):
    """A prefix copied from the template; `self.windows` is its Windows directory."""

    def setUp(self):
        self.work = None
        self.addCleanup(self.fresh, False)
        self.fresh()

    def fresh(self, again=True):
        """Ends the prefix in use, if any; then (again) starts a new one: table rows take one each."""
        if self.work:
            self.run_quietly("wineserver", "-k")
            shutil.rmtree(self.work, ignore_errors=True)
        self.work = again and tempfile.mkdtemp(prefix="setup-test-")
        if self.work:
            self.prefix = os.path.join(self.work, "prefix")
            subprocess.run(["cp", "-a", template, self.prefix], check=True, timeout=TIMEOUT)
            self.windows = pathlib.Path(self.prefix, "drive_c", "windows")
            self.env = dict(os.environ, WINEPREFIX=self.prefix, WINEARCH="win32", WINEDEBUG="-all")

    def run_quietly(self, *argv):
        return subprocess.run(argv, env=self.env, timeout=TIMEOUT, **QUIET).returncode

    def install(self):
        return self.run_quietly("wine", SETUP_EXE, "/S")

    def uninstall(self):
        # As Add/Remove Programs runs it: it hands over to a copy of itself in the temp directory.
        code = self.run_quietly("wine", "C:\\windows\\" + UNINSTALLER, "/S")
        self.run_quietly("wineserver", "-w")
        return code

    def read(self, name):
        return (self.windows / name).read_bytes()

    def write(self, name, *lines):
        (self.windows / name).write_bytes("".join(line + "\r\n" for line in lines).encode())

    def add_vendor(self, key):
        self.write(key + ".INI", "[VendorInformation]", "Name=%s Adapters" % key, "Devices=1", "Protocols=1",
                   "[DeviceInformation1]", "DeviceDescription=%s USB" % key, "DeviceName=%s-USB" % key,
                   "[ProtocolInformation1]", "ProtocolString=J1939", "ProtocolDescription=SAE J1939", "Devices=1")
        self.write(key + ".DLL", "not a library")

    def vendor_list(self):
        match = re.search(r"^APIImplementations=(.*?)\r?$", self.read("RP121032.INI").decode(), re.M | re.I)
        return match and match.group(1)

    def present(self, names):
        return [name for name in names if (self.windows / name).exists()]

    def snapshot(self):
        return {path.name: path.read_bytes() for path in self.windows.iterdir() if path.is_file()}

    def registered(self):
        return self.run_quietly("wine", "reg", "query", UNINSTALL_KEY) == 0


class OtherVendorsListed(SetupCase):
    """RP121032.INI lists two other vendors, whose files are in place."""

    def setUp(self):
        super().setUp()
        self.add_vendor("ACMEVDA")
        self.add_vendor("OTHERCO")
        self.write("RP121032.INI", "[RP1210Support]", "APIImplementations=ACMEVDA,OTHERCO")
        self.original = self.read("RP121032.INI")

    def test_install_appends_vendor_after_the_others(self):
        self.assertEqual(self.install(), 0)
        self.assertEqual(self.vendor_list(), "ACMEVDA,OTHERCO,HVLNK32")

    def test_install_backs_up_the_list_it_changes(self):
        self.assertEqual(self.install(), 0)
        self.assertEqual(self.read("RP121032.INI.bak-1"), self.original)
        self.assertEqual(self.present(["RP121032.INI.bak-2"]), [])

    def test_backup_takes_the_number_after_the_highest(self):
        for name in ("RP121032.INI.bak-3", "RP121032.INI.bak-10", "RP121032.INI.bak-old"):
            self.write(name, "[RP1210Support]")
        self.assertEqual(self.install(), 0)
        self.assertEqual(self.read("RP121032.INI.bak-11"), self.original)

    def test_install_copies_package_and_registers_uninstaller(self):
        self.assertEqual(self.install(), 0)
        self.assertEqual(self.present(PACKAGE + [UNINSTALLER]), PACKAGE + [UNINSTALLER])
        self.assertTrue(self.registered())

    def test_checker_lists_all_three_vendors_in_order(self):
        self.assertTrue(CATALOGUE_DUMP, "CATALOGUE_DUMP must name the checker's catalogue-dump")
        self.assertEqual(self.install(), 0)
        pe32 = CATALOGUE_DUMP.lower().endswith(".exe")
        argv = ["wine", CATALOGUE_DUMP, "C:\\windows"] if pe32 else [CATALOGUE_DUMP, str(self.windows)]
        with tempfile.TemporaryFile() as out:  # no pipe: Wine's helper processes would hold it open
            subprocess.run(argv, env=self.env, timeout=TIMEOUT, stdin=subprocess.DEVNULL, stdout=out, check=True)
            out.seek(0)
            text = out.read().decode("latin-1")
        self.assertIn("Message boxes shown while loading: 0", text)
        self.assertEqual(re.findall(r'^Vendor \d+: key "(\w+)"', text, re.M), ["ACMEVDA", "OTHERCO", "HVLNK32"])

    def test_second_install_changes_nothing(self):
        self.assertEqual(self.install(), 0)
        before = self.snapshot()
        self.assertEqual(self.install(), 0)
        self.assertEqual(self.snapshot(), before)

    def test_uninstall_after_second_install_removes_vendor(self):
        self.assertEqual(self.install(), 0)
        self.assertEqual(self.install(), 0)
        self.assertEqual(self.uninstall(), 0)
        self.assertEqual(self.vendor_list(), "ACMEVDA,OTHERCO")

    def test_uninstall_restores_list_and_removes_only_the_package(self):
        self.assertEqual(self.install(), 0)
        installed = self.read("RP121032.INI")
        self.assertEqual(self.uninstall(), 0)
        self.assertEqual(self.vendor_list(), "ACMEVDA,OTHERCO")
        self.assertEqual(self.present(PACKAGE + [UNINSTALLER]), [])
        self.assertFalse(self.registered())
        self.assertEqual(len(self.present(["ACMEVDA.INI", "ACMEVDA.DLL", "OTHERCO.INI", "OTHERCO.DLL"])), 4)
        self.assertEqual(self.read("RP121032.INI.bak-1"), self.original)
        self.assertEqual(self.read("RP121032.INI.bak-2"), installed)

    def test_uninstall_in_place_finishes_before_returning(self):
        self.assertEqual(self.install(), 0)
        self.assertEqual(self.run_quietly("wine", "C:\\windows\\" + UNINSTALLER, "/S", "_?=C:\\windows"), 0)
        self.assertEqual(self.vendor_list(), "ACMEVDA,OTHERCO")
        self.assertEqual(self.present(PACKAGE), [])
        # Running, it cannot delete itself: that waits for the next restart.
        self.assertEqual(self.present([UNINSTALLER]), [UNINSTALLER])
        self.run_quietly("wineboot", "-r")
        self.assertEqual(self.present([UNINSTALLER]), [])

    def test_failed_backup_leaves_everything_untouched(self):
        (self.windows / "RP121032.INI.bak-1").mkdir()  # a directory where the backup would go
        self.assertNotEqual(self.install(), 0)
        self.assertEqual(self.read("RP121032.INI"), self.original)
        self.assertEqual(self.present(PACKAGE + [UNINSTALLER]), [])
        self.assertFalse(self.registered())


class NoVendorList(SetupCase):
    """The Windows directory has no RP121032.INI."""

    def test_install_creates_list_with_vendor(self):
        self.assertEqual(self.install(), 0)
        self.assertEqual(self.vendor_list(), "HVLNK32")
        self.assertEqual(self.present(["RP121032.INI.bak-1"]), [])

    def test_uninstall_keeps_what_others_wrote_into_the_list_it_created(self):
        for vendors, others in (("HVLNK32,OTHERCO", ""), ("HVLNK32", "[OtherVendor]\r\nKey=1\r\n")):
            with self.subTest(vendors=vendors, others=others):
                self.fresh()
                self.assertEqual(self.install(), 0)
                (self.windows / "RP121032.INI").write_bytes((SIMPLE % vendors + others).encode())
                self.assertEqual(self.uninstall(), 0)
                self.assertEqual(self.read("RP121032.INI"), (SIMPLE % vendors[8:] + others).encode())

    def test_uninstall_removes_the_list_it_created(self):
        self.assertEqual(self.install(), 0)
        self.assertEqual(self.uninstall(), 0)
        self.assertEqual(self.present(["RP121032.INI", "RP121032.INI.bak-1"] + PACKAGE + [UNINSTALLER]), [])


class VendorListOfOthers(SetupCase):
    """RP121032.INI as other vendors' setups leave it, and files of an earlier HVLNK32 install."""
    ROWS = [  # the file (%s: the list), the list before, after install, after uninstall; files there before
        (LAYOUT, "ACMEVDA , OTHERCO", "ACMEVDA , OTHERCO,HVLNK32", "ACMEVDA , OTHERCO", {}),
        (LAYOUT.replace("\r\n", "\n"), "ACMEVDA , OTHERCO", "ACMEVDA , OTHERCO,HVLNK32", "ACMEVDA , OTHERCO", {}),
        # Listed, its files gone: sound once installed; uninstalled, nothing of it is left to list.
        (SIMPLE, "ACMEVDA, hvlnk32 ,OTHERCO", "ACMEVDA, hvlnk32 ,OTHERCO", "ACMEVDA,OTHERCO", {}),
        # An earlier install with a technician's adapter settings: back, and still listed, after uninstall.
        (SIMPLE.replace("\r\n", "\n"), "ACMEVDA,HVLNK32", "ACMEVDA,HVLNK32", "ACMEVDA,HVLNK32", EARLIER),
        (SIMPLE, "ACMEVDA", "ACMEVDA,HVLNK32", "ACMEVDA", {"HV_ZMX32.INI": EARLIER["HV_ZMX32.INI"]}),
    ]

    def test_only_the_list_changes_and_earlier_files_come_back(self):
        for layout, before, installed, uninstalled, earlier in self.ROWS:
            with self.subTest(list=before, lf=layout.count("\r") == 0, earlier=sorted(earlier)):
                self.fresh()
                for name, data in dict(earlier, **{"RP121032.INI": (layout % before).encode()}).items():
                    (self.windows / name).write_bytes(data)
                self.assertEqual(self.install(), 0)
                self.assertEqual(self.read("RP121032.INI"), (layout % installed).encode())
                self.assertEqual([name for name in earlier if self.read(name) == earlier[name]], [])
                installed_files = self.snapshot()
                self.assertEqual(self.install(), 0)  # a second run changes nothing, keeps what the first kept
                self.assertEqual(self.snapshot(), installed_files)
                self.assertEqual(self.uninstall(), 0)
                self.assertEqual(self.read("RP121032.INI"), (layout % uninstalled).encode())
                self.assertEqual({name: self.read(name) for name in self.present(PACKAGE)}, earlier)
                self.assertFalse((self.windows / "HalveryBackup").exists())


class LongVendorList(SetupCase):
    """Other vendors' lists near the 1,023 characters of an NSIS string: HVLNK32 is added whole or not at all
    (the list written stays shorter than that, so that the uninstaller can read it back whole)."""

    def test_vendor_added_whole_or_nothing_changed(self):
        names = ",".join("VENDOR%03d" % n for n in range(110))
        for length in (1014, 1015, 1016, 1019, 1022, 1023, 1030):
            with self.subTest(length=length):
                self.fresh()
                others = names[:length - 1] + "Z"
                self.write("RP121032.INI", "[RP1210Support]", "APIImplementations=" + others)
                before = self.snapshot()
                if length + len(",HVLNK32") < 1023:
                    self.assertEqual(self.install(), 0)
                    self.assertEqual(self.vendor_list(), others + ",HVLNK32")
                    self.assertEqual(self.uninstall(), 0)
                    self.assertEqual(self.vendor_list(), others)
                else:
                    self.assertEqual(self.install(), 2)
                    self.assertEqual(self.snapshot(), before)
                    self.assertFalse(self.registered())


class VendorListNotWritable(SetupCase):
    """RP121032.INI read-only (Wine shows a file without write permission so), or open in another program."""

    def read_only(self, ini):
        ini.chmod(0o444)
        return lambda: ini.chmod(0o644)

    def in_use(self, ini):
        # cmd appends its input to the file: it holds the file open until its input ends.
        holder = subprocess.Popen(["wine", "cmd", "/c", "more >> C:\\windows\\" + ini.name], env=self.env,
                                  stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(holder.wait, TIMEOUT)
        self.addCleanup(holder.stdin.close)
        deadline = time.monotonic() + TIMEOUT
        while not any(link == str(ini.resolve()) for link in map(readlink, glob.glob("/proc/[0-9]*/fd/*"))):
            self.assertLess(time.monotonic(), deadline, "cmd did not open " + ini.name)
            time.sleep(0.2)
        return lambda: (holder.stdin.close(), holder.wait(TIMEOUT))

    def test_setup_and_uninstaller_stop_before_any_change(self):
        for lock in (self.read_only, self.in_use):
            with self.subTest(lock=lock.__name__):
                self.fresh()
                self.write("RP121032.INI", "[RP1210Support]", "APIImplementations=ACMEVDA")
                unlock, before = lock(self.windows / "RP121032.INI"), self.snapshot()
                self.assertEqual(self.install(), 2)
                self.assertEqual((self.snapshot(), self.registered()), (before, False))
                unlock()
                self.assertEqual(self.install(), 0)
                unlock, before = lock(self.windows / "RP121032.INI"), self.snapshot()
                self.assertEqual(self.run_quietly("wine", "C:\\windows\\" + UNINSTALLER, "/S", "_?=C:\\windows"), 2)
                self.assertEqual((self.snapshot(), self.registered()), (before, True))
                unlock()


if __name__ == "__main__":
    unittest.main()
