"""Start-up as a user and the installer see it: an installer already in place is copied into a
folder of its own, checked and started from there with the bootstrapper's command line, /wait
waits for it, a second instance steps aside."""

import os
import shutil
import time
import unittest

from run_helpers import TEMP_INSTALLER, path_cased_as
from wine_env import ENV, INSTALLER_NAME, MUTEX_NAME, PRODUCT, Prefix, WineTestCase, windows_path

INSTALLATION_DIR = ("ProgramData", PRODUCT, "Installation")
# What Windows would run for an unquoted path below the product's folder.
SHORTER_PREFIX = ENV["RORA_PRODUCT_FIRST_WORD"] + ".exe"


class StartupTest(WineTestCase):
    def setUp(self):
        super().setUp()
        self.log = os.path.join(self.work, "installer.log")
        self.installation = self.prefix.drive_c(*INSTALLATION_DIR)
        self.addCleanup(shutil.rmtree, self.prefix.drive_c("ProgramData", PRODUCT), True)
        self.addCleanup(lambda: os.path.exists(self.prefix.drive_c("ProgramData", SHORTER_PREFIX))
                        and os.remove(self.prefix.drive_c("ProgramData", SHORTER_PREFIX)))

    def place_installer(self, variable="RORA_SIGNED_INSTALLER"):
        # As an administrator leaves them: only this account may change the file and its folders.
        os.makedirs(self.installation, mode=0o755, exist_ok=True)
        shutil.copyfile(ENV[variable], os.path.join(self.installation, INSTALLER_NAME))

    def installer_env(self, sleep_ms=0):
        return {"RORA_FAKE_INSTALLER_LOG": windows_path(self.log), "RORA_FAKE_INSTALLER_SLEEP_MS": str(sleep_ms)}

    def launches(self, expected=1, timeout=15):
        """(start time in s, program path, command line) of every installer start, once
        `expected` of them have been recorded or the time is up (the installer runs on its
        own, so its record may come after the bootstrapper has ended)."""
        deadline = time.time() + timeout
        while expected and len(self.read_launches()) < expected and time.time() < deadline:
            time.sleep(0.1)
        return self.read_launches()

    def read_launches(self):
        if not os.path.exists(self.log):
            return []
        result = []
        with open(self.log, encoding="utf-8") as f:
            for line in f:
                millis, path, command = line.rstrip("\r\n").split("\t", 2)
                result.append((int(millis) / 1000.0, path, command))
        return result

    def run_bootstrapper(self, *args, sleep_ms=0, timeout=60):
        started = time.time()
        result = self.prefix.wine([ENV["RORA_BOOTSTRAPPER"]] + list(args), timeout=timeout,
                                  extra_env=self.installer_env(sleep_ms), check=False)
        return result.returncode, time.time() - started, time.time()

    def test_placed_installer_runs_from_a_checked_copy_with_the_command_line_after_its_quoted_path(self):
        self.place_installer()
        code, _, _ = self.run_bootstrapper("/quiet", "/wait", "LANG=fr", "a b")
        self.assertEqual(code, 0)
        launches = self.launches()
        self.assertEqual(len(launches), 1)
        copy = launches[0][1]
        self.assertRegex(copy, TEMP_INSTALLER)
        self.assertEqual(path_cased_as(copy, launches[0][2]), '"%s" /quiet /wait LANG=fr "a b"' % copy)
        with open(self.prefix.linux_path(copy), "rb") as f, \
                open(ENV["RORA_SIGNED_INSTALLER"], "rb") as placed:
            self.assertEqual(f.read(), placed.read())

        # An empty command line gives the path alone, without a trailing blank. This installer's
        # version resource gives the product's company and product names, as a real one's does:
        # only the bootstrapper's own file names refuse a file.
        os.remove(self.log)
        self.place_installer("RORA_INSTALLER_AS_PRODUCT")
        code, _, _ = self.run_bootstrapper()
        self.assertEqual(code, 0)
        ((_, copy, command),) = self.launches()
        self.assertEqual(path_cased_as(copy, command), '"%s"' % copy)
        with open(self.prefix.linux_path(copy), "rb") as f, open(ENV["RORA_INSTALLER_AS_PRODUCT"], "rb") as placed:
            self.assertEqual(f.read(), placed.read())

    def test_wait_switch_waits_for_the_installer(self):
        self.place_installer()
        code, elapsed, ended = self.run_bootstrapper("/wait", sleep_ms=3000)
        self.assertEqual(code, 0)
        (started, _, _), = self.launches()
        self.assertGreaterEqual(ended, started + 3.0, "the bootstrapper ended before its installer")

        os.remove(self.log)
        code, elapsed, ended = self.run_bootstrapper(sleep_ms=6000)
        self.assertEqual(code, 0)
        (started, _, _), = self.launches()
        self.assertLess(ended, started + 5.0, "without /wait the bootstrapper must not wait for the installer")
        self.assertTrue(self.prefix.wait_idle(20), self.prefix.user_processes())

    def test_a_second_instance_steps_aside_but_still_starts_a_placed_installer(self):
        holder = self.prefix.start([os.environ["RORA_FAKE_INSTALLER"], "--hold-mutex", MUTEX_NAME, "30"])
        self.addCleanup(lambda: holder.poll() is None and holder.kill())
        self.assertEqual(holder.stdout.readline().strip(), b"holding")

        code, elapsed, _ = self.run_bootstrapper("/quiet")
        self.assertEqual(code, 0)
        self.assertLess(elapsed, 15)
        time.sleep(1)
        self.assertEqual(self.launches(expected=0), [])

        self.place_installer()
        code, _, _ = self.run_bootstrapper("/quiet")
        self.assertEqual(code, 0)
        self.assertEqual(len(self.launches()), 1)
        holder.kill()
        holder.wait(10)


if __name__ == "__main__":
    unittest.main()
