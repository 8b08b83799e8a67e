"""DLL planting: the bootstrapper usually runs from a Downloads folder, where anyone can leave a
DLL named like a system DLL. Such a DLL must never be loaded, neither while the loader resolves
the imports before the entry point nor by a load at run time.

Each planted DLL (tests/security/planted_library.c) leaves "<its path>.loaded" when a process
loads it, and Wine's loaddll trace names every module a process loads. Wine is told to prefer a
native DLL for the planted names, as Windows does for any DLL that is not a known DLL; the
control program shows that this really gets a planted DLL loaded."""

import os
import re
import shutil
import socket
import subprocess
import threading
import unittest

from run_helpers import AccessibilityProbe
from wine_env import ENV, INSTALLATION_KEY, INSTALLER_NAME, PRODUCT, WineTestCase, windows_path

# Names the bootstrapper imports (delay-loaded; ole32 and oleaut32 are known DLLs on Windows, not
# under Wine), binds at run time itself (winhttp, uxtheme) or through libcurl (secur32, iphlpapi). Not planted: DLLs that Wine's own builtin DLLs import
# (version, shcore, dhcpcsvc, ...), which Wine's loader, unlike Windows for known DLLs, looks for
# in the program's folder too, before and beyond anything the program can do.
PLANTED = ("crypt32", "bcrypt", "winhttp", "uxtheme", "secur32", "iphlpapi", "wintrust", "oleacc", "ole32", "oleaut32")

# Known DLLs on every supported Windows, 7 to 11 (HKLM\System\CurrentControlSet\Control\
# Session Manager\KnownDLLs, the same names for 32-bit programs): always mapped from the system.
KNOWN_DLLS = {
    "advapi32", "clbcatq", "comdlg32", "difxapi", "gdi32", "imagehlp", "imm32", "kernel32", "msctf",
    "msvcrt", "normaliz", "nsi", "ole32", "oleaut32", "psapi", "rpcrt4", "sechost", "setupapi",
    "shell32", "shlwapi", "user32", "wldap32", "ws2_32",
}

LOADED = re.compile(r'Loaded L"((?:[^"\\]|\\.)*)" at ')


def leaf(windows_path_text):
    """The lower-case file name of a Windows path."""
    return windows_path_text.rsplit("\\", 1)[-1].lower()


def imported_dlls(exe):
    out = subprocess.run(["i686-w64-mingw32-objdump", "-p", exe], check=True, stdout=subprocess.PIPE,
                         text=True, timeout=60).stdout
    return sorted(m.group(1) for m in re.finditer(r"DLL Name: (\S+)", out))


class ImportTableTest(unittest.TestCase):
    def test_imports_only_known_dlls(self):
        names = imported_dlls(ENV["RORA_BOOTSTRAPPER"])
        self.assertIn("KERNEL32.dll", names)
        unknown = [n for n in names if n.lower().removesuffix(".dll") not in KNOWN_DLLS]
        self.assertEqual(unknown, [], "imported DLLs that the loader may take from the program's folder")


class PlantingTest(WineTestCase):
    def setUp(self):
        super().setUp()
        self.folder = os.path.join(self.work, "Downloads")
        os.makedirs(self.folder)
        for name in PLANTED:
            shutil.copy(os.environ["RORA_PLANTED_LIBRARY"], os.path.join(self.folder, name + ".dll"))

    def run_planted(self, program, *args, timeout=60):
        """Runs a copy of `program` from the folder with native DLLs preferred for the planted
        names; returns (exit code, stdout, module paths loaded from the folder, all loaded paths)."""
        target = os.path.join(self.folder, os.path.basename(program))
        shutil.copy(program, target)
        overrides = "%s;%s=n,b" % (ENV.get("WINEDLLOVERRIDES", ""), ",".join(PLANTED))
        result = self.prefix.wine([target] + list(args), timeout=timeout, check=False,
                                  extra_env={"WINEDLLOVERRIDES": overrides, "WINEDEBUG": "-all,+loaddll"})
        loaded = [m.group(1).replace("\\\\", "\\")
                  for m in LOADED.finditer(result.stderr.decode("utf-8", "replace"))]
        inside = windows_path(self.folder).lower() + "\\"
        program_path = windows_path(target).lower()
        from_folder = sorted({p for p in loaded if p.lower().startswith(inside) and p.lower() != program_path})
        return result.returncode, result.stdout.decode("utf-8", "replace"), from_folder, loaded

    def markers(self):
        return sorted(f for f in os.listdir(self.folder) if f.endswith(".loaded"))

    def clear_markers(self):
        for f in self.markers():
            os.remove(os.path.join(self.folder, f))

    def test_control_program_with_ordinary_imports_loads_the_planted_dlls(self):
        code, out, from_folder, _ = self.run_planted(os.environ["RORA_PLANTING_CONTROL"])
        self.assertEqual(code, 0, out)
        planted = {"crypt32", "bcrypt", "winhttp", "uxtheme", "oleacc", "ole32", "oleaut32"}
        self.assertEqual({leaf(p).removesuffix(".dll") for p in from_folder}, planted)
        self.assertEqual({m.lower().removesuffix(".dll.loaded") for m in self.markers()}, planted)

    def test_delay_loaded_dlls_come_from_the_system_directory(self):
        probe = os.environ["RORA_DELAY_LOAD_PROBE"]
        # Either protection alone is enough: the restricted search order (Windows 8 and later,
        # Windows 7 with its loader update) and the delay-load hook (any Windows 7).
        for mode in ("both", "search-order", "hook"):
            with self.subTest(mode=mode):
                code, out, from_folder, _ = self.run_planted(probe, mode)
                self.assertEqual(code, 0, out)
                self.assertIn("BCryptGenRandom\t0\r\n", out)
                self.assertIn("CertOpenStore\tstore\r\n", out)
                for dll in ("bcrypt.dll", "crypt32.dll"):
                    path = re.search(re.escape(dll) + r"\t(.*)\r\n", out).group(1)
                    self.assertTrue(path.lower().endswith("\\system32\\" + dll), out)
                self.assertEqual(from_folder, [])
                self.assertEqual(self.markers(), [])

        # Without either, the delay-load helper's own LoadLibraryA finds the planted ones.
        code, out, from_folder, _ = self.run_planted(probe, "none")
        self.assertEqual(code, 0, out)
        self.assertIn("BCryptGenRandom\t-1073741822\r\n", out)  # the stand-in's STATUS_NOT_IMPLEMENTED
        self.assertEqual([leaf(p) for p in from_folder], ["bcrypt.dll", "crypt32.dll"])
        self.assertEqual(self.markers(), ["bcrypt.dll.loaded", "crypt32.dll.loaded"])

    def test_bootstrapper_loads_nothing_from_its_folder(self):
        # A server that accepts and closes every connection: both requests fail at once, after
        # proxy discovery (winhttp) and the TLS layer (secur32) have been loaded.
        server = socket.socket()
        server.bind(("127.0.0.1", 0))
        server.listen(8)
        self.addCleanup(server.close)

        def serve():
            while True:
                try:
                    connection, _ = server.accept()
                except OSError:
                    return
                connection.close()

        threading.Thread(target=serve, daemon=True).start()
        link = "https://127.0.0.1:%d/x" % server.getsockname()[1]
        self.prefix.reg_add(INSTALLATION_KEY, "QaInstallerDownloadLink", link)
        self.prefix.reg_add(INSTALLATION_KEY, "QaBootstrapperRequestParamsLink", link)
        # A placed installer that fails its signature check, but only there: its certificate table
        # is read (crypt32), then its signature (wintrust).
        placed = self.prefix.drive_c("ProgramData", PRODUCT, "Installation")
        os.makedirs(placed, exist_ok=True)
        self.addCleanup(shutil.rmtree, self.prefix.drive_c("ProgramData", PRODUCT), True)
        shutil.copy(ENV["RORA_INSTALLER_TAMPERED"], os.path.join(placed, INSTALLER_NAME))

        # With the window, which a screen reader reads (COM, the accessibility libraries) and
        # closes once it has read the failure.
        probe = AccessibilityProbe(self.prefix, close=True)
        self.addCleanup(probe.kill)
        code, out, from_folder, loaded = self.run_planted(ENV["RORA_BOOTSTRAPPER"])
        self.assertEqual(code, 1, "the run should end with its connection failure")
        self.assertEqual(probe.finish(), 0)
        self.assertEqual(from_folder, [])
        self.assertEqual(self.markers(), [])
        loaded_names = {leaf(p) for p in loaded}
        expected = {"winhttp.dll", "secur32.dll", "wintrust.dll", "crypt32.dll", "oleacc.dll", "ole32.dll", "oleaut32.dll"}
        self.assertTrue(expected <= loaded_names, "the run did not reach its run-time loads: %s" % sorted(loaded_names))


if __name__ == "__main__":
    unittest.main()
