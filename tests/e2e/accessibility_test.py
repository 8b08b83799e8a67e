"""The window as a screen reader meets it, from another process (accessibility_probe.cpp): the
status while the shipped executable downloads, the failure with its alert, an error and a release
at once for a client that still holds the object after the window has gone; and the status
painted legibly in a dark scheme."""

import os
import shutil
import time
import unittest

from run_helpers import AccessibilityProbe, BootstrapperTestCase
from servers import Route
from wine_env import ENV, Prefix, find_window, pixel_count, read_text, red_pixel_count, screenshot

SHOWN_HEADLINE = "Error while downloading the installer.\nPlease check your internet connection and try again."
NOT_SIGNED = "The installer's signature could not be verified: the file is not signed."
ROLE_STATIC_TEXT = 0x29
ALERT_HIGH = 0x10000000
STATE_CHANGE, NAME_CHANGE, LIVE_REGION_CHANGED, SYSTEM_ALERT = 0x800A, 0x800C, 0x8019, 0x0002
# An answer that takes longer is a wait, not an error at once.
AT_ONCE_MS = 1000


class ProbedRuns(BootstrapperTestCase):
    def setUp(self):
        super().setUp()
        self.skip_parameters()

    def serve_slowly(self, variable=None):
        """The installer download takes about 4 s: time to read the window while it runs."""
        body = self.payload
        if variable:
            with open(ENV[variable], "rb") as f:
                body = f.read()
        self.files.route("/files/x.exe", Route(body, chunk=8192, delay=0.05))
        self.use_download("/files/x.exe")

    def start(self, *args, sleep_ms=0, close=False):
        """The probe, then the bootstrapper with `args`."""
        probe = AccessibilityProbe(self.prefix, close=close)
        self.addCleanup(probe.kill)
        process = self.prefix.start([ENV["RORA_BOOTSTRAPPER"]] + list(args), extra_env=self.installer_env(sleep_ms))
        self.addCleanup(lambda: process.poll() is None and process.kill())
        return probe, process

    def assert_hears_the_status_then_the_failure(self, probe, events):
        name, role, state = probe.next_read()
        self.assertEqual((name, role, state & ALERT_HIGH), ("Preparing...", ROLE_STATIC_TEXT, 0))
        name, role, state = probe.next_read()
        self.assertEqual(name, SHOWN_HEADLINE + "\n" + NOT_SIGNED)
        self.assertEqual((role, state & ALERT_HIGH), (ROLE_STATIC_TEXT, ALERT_HIGH))
        self.assertEqual(probe.events, events, "the events for the client area, in their order")


class ScreenReaderTest(ProbedRuns):
    def test_the_status_then_the_failure_with_its_alert(self):
        self.serve_slowly("RORA_INSTALLER_UNSIGNED")
        probe, process = self.start(close=True)
        # Windows 7: no live regions.
        self.assert_hears_the_status_then_the_failure(probe, [STATE_CHANGE, NAME_CHANGE, SYSTEM_ALERT])
        self.assertEqual(process.wait(30), 1)
        self.assertEqual(probe.finish(), 0)

    def test_under_wait_a_client_gets_an_error_and_lets_go_at_once_when_the_window_has_gone(self):
        self.serve_slowly()
        probe, process = self.start("/wait", sleep_ms=8000)
        self.assertEqual(probe.next_read()[0], "Preparing...")
        # The window closes itself once the installer has started; the process waits for it.
        self.assertEqual(probe.finish(), 0)
        self.assertIsNone(process.poll(), "the run no longer waited for its installer when the probe asked")
        answer, took = probe.gone
        self.assertTrue(answer & 0x80000000, "the gone window's object answered 0x%08x" % answer)
        self.assertLess(took, AT_ONCE_MS, "the client waited for its answer")
        self.assertIsNotNone(probe.released, "the client never got its object released")
        self.assertLess(probe.released, AT_ONCE_MS, "the client's release waited for the run")
        self.assertEqual(process.wait(60), 0)
        self.assertEqual(len(self.launches()), 1)


class DarkSchemeOnWindows10Test(ProbedRuns):
    """Window colour black, window text white; Windows 10, where live regions exist (Wine's
    annotation service refuses every call)."""

    @classmethod
    def setUpClass(cls):
        cls.own_prefix = Prefix.copy_of_template()
        cls.own_prefix.wine(["winecfg", "-v", "win10"], timeout=60)
        for name, value in (("Window", "0 0 0"), ("WindowText", "255 255 255")):
            cls.own_prefix.reg_add(r"HKCU\Control Panel\Colors", name, value)
        # The system colours are read from the registry when the wineserver starts.
        cls.own_prefix.kill()
        cls.own_prefix.start_server()

    @classmethod
    def tearDownClass(cls):
        cls.own_prefix.destroy()

    def keep(self, window, name):
        shot = screenshot(window, os.path.join(self.work, name))
        keep = os.path.join(ENV["RORA_TEST_ENV"], "screenshots")
        os.makedirs(keep, exist_ok=True)
        shutil.copy(shot, keep)
        return shot

    def test_the_status_shows_in_the_window_text_colour_and_changes_are_live(self):
        self.serve_slowly("RORA_INSTALLER_UNSIGNED")
        probe, process = self.start()
        window = find_window(timeout=60)
        self.assertIsNotNone(window, "the window never appeared")
        # Found, the window may not have painted yet, above all where the 32-bit code runs emulated.
        deadline = time.time() + 15
        while True:
            preparing = self.keep(window, "dark-preparing.png")
            preparing_text = read_text(preparing)
            if "Preparing..." in preparing_text or time.time() > deadline:
                break
            time.sleep(0.2)
        self.assert_hears_the_status_then_the_failure(
            probe, [STATE_CHANGE, NAME_CHANGE, LIVE_REGION_CHANGED, SYSTEM_ALERT])
        failure = self.keep(window, "dark-failure.png")
        self.assertEqual(self.close_and_wait(window, process), 1)
        self.assertEqual(probe.finish(), 0)

        self.assertIn("Preparing...", preparing_text)
        self.assertGreater(pixel_count(preparing, "255,255,255"), 50, "the status is not in the window-text colour")
        # Red keeps its 5:1 against black.
        self.assert_shows(read_text(failure, red=True), NOT_SIGNED)
        self.assertGreater(red_pixel_count(failure), 200)


if __name__ == "__main__":
    unittest.main()
