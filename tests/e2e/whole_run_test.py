"""The whole run of the shipped executable under Wine against local servers: parameters,
registry, download, launch, and every failure as the user sees it in the window."""

import ntpath
import os
import shutil
import subprocess
import time
import unittest

from run_helpers import INSTALLER_ROUTE, TEMP_INSTALLER, BootstrapperTestCase, path_cased_as
from servers import Route, unused_port
from wine_env import (ENV, INSTALLATION_KEY, PRODUCT_KEY, Prefix, close_window, find_window, screenshot,
                      windows_path)


class WholeRunTest(BootstrapperTestCase):
    # -- success ---------------------------------------------------------------------------
    def test_first_run_stores_the_parameters_and_starts_the_downloaded_installer(self):
        self.use_service()
        self.service.json("/api/parameter-storage", {
            "installer_url": self.files.url("/files/stored.exe"),
            "msi_url": "https://msi.example.invalid/x.msi",
            "campaign": "caf\u00e9", "Installer_URL": "kept", "n": [1, 2]})
        self.files.route("/files/stored.exe", Route(self.payload))
        exe = self.bootstrapper_named("Setup-AB12CD (1).exe")

        self.assertEqual(self.run_quiet("LANG=de", exe=exe), 0)

        (request,) = self.service.requests
        self.assertEqual(request["method"], "GET")
        self.assertEqual(request["path"], "/api/parameter-storage?id=AB12CD")
        self.assertEqual(request["headers"].get("Accept"), "application/json")
        self.assertEqual(request["headers"].get("Content-Type"), "application/json")
        self.assertEqual(request["headers"].get("User-Agent"), ENV["RORA_USER_AGENT"])
        self.assertEqual([(r["method"], r["path"]) for r in self.files.requests],
                         [("HEAD", "/files/stored.exe"), ("GET", "/files/stored.exe")])

        self.assertEqual(self.prefix.reg_query(PRODUCT_KEY, "XYZID"), ("REG_SZ", "AB12CD"))
        self.assertEqual(self.prefix.reg_query(INSTALLATION_KEY, "InstallerDownloadLink"),
                         ("REG_SZ", self.files.url("/files/stored.exe")))
        self.assertEqual(self.prefix.reg_query(INSTALLATION_KEY, "MsiDownloadLink"),
                         ("REG_SZ", "https://msi.example.invalid/x.msi"))
        common = '{"campaign":"caf\u00e9","Installer_URL":"kept","n":[1,2]}'.encode("utf-8")
        self.assertEqual(self.prefix.reg_query(PRODUCT_KEY, "Common Data"), ("REG_BINARY", common.hex().upper()))
        # Nothing lands in the redirected 32-bit branch.
        self.assertIsNone(self.prefix.reg_query(PRODUCT_KEY, "XYZID", view=32))

        ((_, program, command),) = self.launches()
        self.assertRegex(program, TEMP_INSTALLER)
        self.assertEqual(path_cased_as(program, command), '"%s" /quiet LANG=de' % program)
        with open(self.prefix.linux_path(program), "rb") as f:
            self.assertEqual(f.read(), self.payload)

        # A later run asks the service nothing and downloads into a new folder.
        os.remove(self.log)
        self.assertEqual(self.run_quiet(exe=exe), 0)
        self.assertEqual(len(self.service.requests), 1)
        ((_, second, _),) = self.launches()
        self.assertRegex(second, TEMP_INSTALLER)
        self.assertNotEqual(ntpath.dirname(second), ntpath.dirname(program))

    def test_nothing_the_user_steers_chooses_where_the_installer_runs(self):
        # The user's TMP and TEMP name a folder of theirs, and the run is started from another
        # (a Downloads folder): the installer is still saved in the system's Temp and started in
        # its own folder. A private prefix: the environment is read when the wineserver starts.
        self.prefix = Prefix.copy_of_template()
        self.addCleanup(self.prefix.destroy)
        self.skip_parameters()
        self.use_download()
        users_temp, downloads = self.prefix.drive_c("mine"), self.prefix.drive_c("dl")
        os.makedirs(users_temp)
        os.makedirs(downloads)
        for name in ("TMP", "TEMP"):
            self.prefix.reg_add(r"HKCU\Environment", name, r"C:\mine")
        self.prefix.kill()
        self.assertEqual(self.prefix.wine(["cmd", "/c", "echo", "%TMP%"]).stdout.decode().strip(), r"C:\mine")

        folder_log = os.path.join(self.work, "folder.log")
        env = dict(self.installer_env(), RORA_FAKE_INSTALLER_FOLDER_LOG=windows_path(folder_log))
        result = self.prefix.wine([ENV["RORA_BOOTSTRAPPER"], "/quiet"], cwd=downloads, extra_env=env, timeout=90,
                                  check=False)
        self.assertEqual(result.returncode, 0)
        ((_, program, _),) = self.launches()
        self.assertRegex(program, TEMP_INSTALLER)
        self.assertEqual(os.listdir(users_temp), [])
        with open(folder_log, encoding="utf-8") as f:
            self.assertEqual(f.read().lower(), ntpath.dirname(program).lower())

    def test_wait_switch_waits_for_the_downloaded_installer(self):
        self.skip_parameters()
        self.use_download()
        started = time.time()
        self.assertEqual(self.run_quiet("/wait", sleep_ms=3000), 0)
        ended = time.time()
        ((millis, _, command),) = self.launches()
        self.assertGreaterEqual(ended, int(millis) / 1000.0 + 3.0)
        self.assertTrue(command.endswith(" /quiet /wait"))
        self.assertLess(ended - started, 60)

    def test_service_down_the_run_goes_on_with_the_override_link(self):
        self.prefix.reg_add(INSTALLATION_KEY, "QaBootstrapperRequestParamsLink",
                            "http://127.0.0.1:%d/api/parameter-storage?id=" % unused_port())
        self.use_download()
        exe = self.bootstrapper_named("Setup-XY.exe")
        self.assertEqual(self.run_quiet(exe=exe), 0)
        self.assertEqual(len(self.launches()), 1)
        self.assertEqual(self.prefix.reg_query(PRODUCT_KEY, "XYZID"), ("REG_SZ", "XY"))
        self.assertIsNone(self.prefix.reg_query(INSTALLATION_KEY, "InstallerDownloadLink"))

    # -- failures --------------------------------------------------------------------------
    def test_quiet_failure_ends_by_itself_with_exit_code_1(self):
        self.skip_parameters()
        self.use_download("/files/missing.exe")
        started = time.time()
        self.assertEqual(self.run_quiet(), 1)
        self.assertLess(time.time() - started, 30)
        self.assertEqual(self.launches(expected=0), [])

    def test_download_404_is_shown_with_its_status_text(self):
        self.skip_parameters()
        self.use_download("/files/missing.exe")
        text, red, code = self.failure_shown(shot_name="failure-404.png")
        self.assert_shows(text, "HTTP (Error: 404) Not Found")
        self.assertGreater(red, 200)
        self.assertEqual(code, 1)
        self.assertEqual(self.launches(expected=0), [])

    def test_an_effective_url_without_a_file_name_is_refused(self):
        self.skip_parameters()
        self.files.route("/files/", Route(self.payload))
        self.use_download("/files/")
        text, _, code = self.failure_shown(shot_name="failure-104.png")
        self.assert_shows(text, "Internal Error: Failed to query content information")
        self.assertEqual(code, 1)

    def test_a_connection_dropped_mid_body_is_a_failure(self):
        self.skip_parameters()
        self.files.route(INSTALLER_ROUTE, Route(self.payload, drop_after=len(self.payload) // 2))
        self.use_download()
        text, _, code = self.failure_shown(shot_name="failure-drop.png")
        self.assert_shows(text, "Connection Error: 18")
        self.assertEqual(code, 1)
        self.assertEqual(self.launches(expected=0), [])

    def test_not_enough_free_space(self):
        self.skip_parameters()
        self.files.route("/files/big.exe", Route(b"x" * (4 << 20)))
        self.use_download("/files/big.exe")
        small = self.small_temp()

        text, _, code = self.failure_shown(shot_name="failure-106.png")
        self.assert_shows(text, "Internal Error: There is not enough space on disk C:")
        self.assertEqual(code, 1)
        # The folder was made before the space was found wanting; nothing was downloaded.
        self.assertEqual(len(os.listdir(small)), 1)
        self.assertEqual(os.listdir(os.path.join(small, os.listdir(small)[0])), [])

    def test_closing_the_window_during_a_slow_download_ends_the_run(self):
        self.skip_parameters()
        self.files.route(INSTALLER_ROUTE, Route(self.payload * 50, chunk=4096, delay=0.05))
        self.use_download()
        process = self.prefix.start([ENV["RORA_BOOTSTRAPPER"]], extra_env=self.installer_env())
        self.addCleanup(lambda: process.poll() is None and process.kill())
        window = find_window(timeout=60)
        self.assertIsNotNone(window)
        time.sleep(1.5)
        shot = screenshot(window, os.path.join(self.work, "downloading.png"))
        keep = os.path.join(ENV["RORA_TEST_ENV"], "screenshots")
        os.makedirs(keep, exist_ok=True)
        shutil.copy(shot, keep)
        closed = time.time()
        close_window(window)
        try:
            code = process.wait(5)
        except subprocess.TimeoutExpired:
            # Alt+F4 can go astray under Wine without a window manager: close as the button would.
            closed = time.time()
            self.prefix.wine([os.environ["RORA_FAKE_INSTALLER"], "--post-close"], timeout=30, check=False)
            code = process.wait(30)
        self.assertLess(time.time() - closed, 5, "the process kept running after its window was closed")
        self.assertEqual(code, 0)
        time.sleep(1)
        self.assertEqual(self.launches(expected=0), [])


if __name__ == "__main__":
    unittest.main()
