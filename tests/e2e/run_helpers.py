"""A test case that runs the shipped executable against local servers and looks at what the
user, the registry and the installer see."""

import os
import re
import shutil
import socket
import subprocess
import threading
import time

from servers import Route, Server
from wine_env import (ENV, INSTALLATION_KEY, INSTALLER_NAME, PRODUCT_KEY, WineTestCase, close_window, find_window,
                      read_text, red_pixel_count, screenshot, windows_path)

HEADLINE = "Error while downloading the installer. Please check your internet connection and try again."
# Every Wine process is elevated: the installer lands in the Windows directory's Temp.
TEMP_INSTALLER = re.compile(r"^C:\\windows\\temp\\[0-9a-f]{1,16}\\%s$" % re.escape(INSTALLER_NAME), re.IGNORECASE)
# Where the download server serves the installer.
INSTALLER_ROUTE = "/files/" + INSTALLER_NAME


def path_cased_as(program, command):
    """`command` with its leading quoted path written as `program`: the installer reports its own
    path in the case of the folders on disk (C:\\windows\\temp under Wine), its command line holds
    the path as the bootstrapper built it (C:\\windows\\Temp)."""
    head = '"%s"' % program
    return head + command[len(head):] if command[:len(head)].lower() == head.lower() else command


class AccessibilityProbe:
    """tests/e2e/accessibility_probe.cpp in the background: the main window as a screen reader in
    another process meets it. Ended after `seconds` and 10 more, should it hang on a call."""

    def __init__(self, prefix, close=False, seconds=60):
        args = [os.environ["RORA_ACCESSIBILITY_PROBE"], str(seconds)] + (["close"] if close else [])
        self.process = prefix.start(args)
        self.watchdog = threading.Timer(seconds + 10, self.kill)
        self.watchdog.start()
        self.events = []
        self.gone = None
        self.released = None

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
        self.watchdog.cancel()

    def next_read(self):
        """(name, role, state) of the probe's next read of the object; None once it has ended.
        Collects the events and the answer after the window had gone on the way."""
        for line in iter(self.process.stdout.readline, b""):
            kind, *fields = line.decode("utf-8").rstrip("\r\n").split("\t")
            if kind == "event":
                self.events.append(int(fields[0], 16))
            elif kind == "gone":
                self.gone = (int(fields[0], 16), int(fields[1]))
            elif kind == "released":
                self.released = int(fields[0])
            elif kind == "read":
                return fields[0].replace("\\n", "\n"), int(fields[1]), int(fields[2], 16)
        return None

    def finish(self, timeout=30):
        """The probe's exit code, once it has ended."""
        while self.next_read():
            pass
        code = self.process.wait(timeout)
        self.watchdog.cancel()
        return code


def fake_installer_bytes():
    """The fake installer signed by the publisher under the run's trusted test root."""
    with open(ENV["RORA_SIGNED_INSTALLER"], "rb") as f:
        return f.read()


class BootstrapperTestCase(WineTestCase):
    def setUp(self):
        super().setUp()
        self.service = Server()
        self.addCleanup(self.service.close)
        self.files = Server()
        self.addCleanup(self.files.close)
        self.log = os.path.join(self.work, "installer.log")
        self.payload = fake_installer_bytes()
        self.files.route(INSTALLER_ROUTE, Route(self.payload))
        self.addCleanup(self.prefix.wait_idle, 20)

    # -- helpers ---------------------------------------------------------------------------
    def use_service(self, path="/api/parameter-storage?id="):
        self.prefix.reg_add(INSTALLATION_KEY, "QaBootstrapperRequestParamsLink", self.service.url(path))

    def use_download(self, path=INSTALLER_ROUTE):
        self.prefix.reg_add(INSTALLATION_KEY, "QaInstallerDownloadLink", self.files.url(path))

    def skip_parameters(self):
        self.prefix.reg_add(PRODUCT_KEY, "XYZID", "known")

    def bootstrapper_named(self, name):
        path = os.path.join(self.work, name)
        shutil.copy(ENV["RORA_BOOTSTRAPPER"], path)
        return path

    def installer_env(self, sleep_ms=0):
        return {"RORA_FAKE_INSTALLER_LOG": windows_path(self.log), "RORA_FAKE_INSTALLER_SLEEP_MS": str(sleep_ms)}

    def run_quiet(self, *args, exe=None, sleep_ms=0, timeout=90):
        result = self.prefix.wine([exe or ENV["RORA_BOOTSTRAPPER"], "/quiet"] + list(args), timeout=timeout,
                                  extra_env=self.installer_env(sleep_ms), check=False)
        return result.returncode

    def launches(self, expected=1, timeout=15):
        deadline = time.time() + timeout
        while expected and time.time() < deadline and len(self._read_launches()) < expected:
            time.sleep(0.1)
        return self._read_launches()

    def _read_launches(self):
        if not os.path.exists(self.log):
            return []
        with open(self.log, encoding="utf-8") as f:
            return [tuple(line.rstrip("\r\n").split("\t", 2)) for line in f]

    def failure_shown(self, *args, shot_name, wait=60):
        """Runs with the window, waits for the failure, returns (text, red pixels, exit code).
        Leaves in self.window_after the seconds from the start until the window was seen."""
        started = time.time()
        process = self.prefix.start([ENV["RORA_BOOTSTRAPPER"]] + list(args), extra_env=self.installer_env())
        self.addCleanup(lambda: process.poll() is None and process.kill())
        window = find_window(timeout=60)
        self.assertIsNotNone(window, "the window never appeared")
        self.window_after = time.time() - started
        deadline = time.time() + wait
        shot = os.path.join(self.work, shot_name)
        while True:
            screenshot(window, shot)
            red = red_pixel_count(shot)
            if red > 200 or time.time() > deadline:
                break
            time.sleep(0.5)
        text = read_text(shot)
        code = self.close_and_wait(window, process)
        keep = os.path.join(ENV["RORA_TEST_ENV"], "screenshots")
        os.makedirs(keep, exist_ok=True)
        shutil.copy(shot, keep)
        return text, red, code

    def assert_shows(self, text, expected):
        # OCR reads the painted text; blanks, line breaks and the shapes of quotation marks do
        # not matter.
        squeeze = lambda s: re.sub(r"[\s\"'`\u2018\u2019\u201c\u201d]+", "", s)
        self.assertIn(squeeze(HEADLINE), squeeze(text), "headline missing from: %r" % text)
        self.assertIn(squeeze(expected), squeeze(text), "failure text missing from: %r" % text)

    def close_and_wait(self, window, process, timeout=30):
        """Closes the window with Alt+F4 and returns the exit code. Under Wine without a window
        manager the key can go astray; then WM_CLOSE is posted to the window, as its close
        button would."""
        close_window(window)
        try:
            return process.wait(10)
        except subprocess.TimeoutExpired:
            self.prefix.wine([os.environ["RORA_FAKE_INSTALLER"], "--post-close"], timeout=30, check=False)
            return process.wait(timeout)

    def small_temp(self, options="size=1m"):
        """Puts the Windows directory's Temp, where the run makes its folder, on a fresh tmpfs
        mounted with `options`; returns the mount point."""
        temp = self.prefix.system_temp()
        mount = os.path.join(self.work, "mnt")
        os.makedirs(mount)
        subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", mount], check=True)
        self.addCleanup(subprocess.run, ["umount", "-l", mount])
        os.rename(temp, temp + ".saved")
        self.addCleanup(os.rename, temp + ".saved", temp)
        os.symlink(mount, temp)
        self.addCleanup(os.remove, temp)
        return mount

    def silent_port(self):
        """A port that accepts connections and never answers, closed when the test ends."""
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(16)
        self.addCleanup(listener.close)
        return listener.getsockname()[1]
