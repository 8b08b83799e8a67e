"""The fault matrix: each fault a user can meet, provoked for real against the shipped
executable, and what the user sees. Every case checks the text in the window (or the success),
the exit code, that no installer was started when the run failed, and that the run ended within
its bound. The table of cases and outcomes is FAULTS.md beside this file."""

import os
import shutil
import subprocess
import threading
import time
import unittest

from run_helpers import INSTALLER_ROUTE, TEMP_INSTALLER, BootstrapperTestCase
from servers import Route, unused_port
from wine_env import (CONNECTIONS_KEY, ENV, INSTALLATION_KEY, INSTALLER_NAME, PRODUCT, PRODUCT_KEY, connection_settings,
                      find_window)

# The time the program gives its work before the window appears, and the text it shows when the
# content-information request met that limit (docs/run.md).
PREPARATION_BUDGET = 45
BUDGET_SPENT = "Connection Error: 28 (preparing the download took too long)"
# The most members a parameter answer may have (docs/checks.md).
MAX_MEMBERS = 5000
# What becomes of a placed installer.
PASSED_OVER, COPIED, TAKEN = "passed over where it lies", "copied, then refused", "taken"

class FolderWatch:
    """What appears in a folder while a run goes on: every folder name and the largest file
    seen in one of them, looked at every 20 ms."""

    def __init__(self, path):
        self.path = path
        self.folders = set()
        self.largest = 0
        self._done = threading.Event()
        self._thread = threading.Thread(target=self._watch, daemon=True)

    def _watch(self):
        while not self._done.wait(0.02):
            for name in os.listdir(self.path):
                self.folders.add(name)
                try:
                    for f in os.scandir(os.path.join(self.path, name)):
                        self.largest = max(self.largest, f.stat(follow_symlinks=False).st_size)
                except OSError:
                    pass  # gone again, or not a folder

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *_):
        self._done.set()
        self._thread.join()


class FaultMatrixTest(BootstrapperTestCase):
    def setUp(self):
        super().setUp()
        self.skip_parameters()

    def expect_failure(self, expected, bound, shot):
        started = time.time()
        text, red, code = self.failure_shown(shot_name=shot, wait=bound + 20)
        self.assert_shows(text, expected)
        self.assertGreater(red, 200)
        self.assertEqual(code, 1)
        self.assertLess(time.time() - started, bound + 30, "the failure took too long to show")
        self.assertEqual(self.launches(expected=0), [], "an installer was started after a failure")

    def expect_success(self, bound=60):
        started = time.time()
        self.assertEqual(self.run_quiet(timeout=bound + 30), 0)
        self.assertLess(time.time() - started, bound)
        self.assertEqual(len(self.launches()), 1)

    # -- the network -------------------------------------------------------------------------
    def test_connection_refused(self):
        self.prefix.reg_add(INSTALLATION_KEY, "QaInstallerDownloadLink", "http://127.0.0.1:%d/x.exe" % unused_port())
        self.expect_failure("Connection Error: 7", 10, "fault-refused.png")

    def test_host_not_found(self):
        self.prefix.reg_add(INSTALLATION_KEY, "QaInstallerDownloadLink", "http://nowhere.invalid/x.exe")
        self.expect_failure("Connection Error: 6", 20, "fault-host.png")

    def test_server_errors_with_and_without_a_body(self):
        for status, text in ((404, "HTTP (Error: 404) Not Found"), (500, "HTTP (Error: 500) Internal Server (Error")):
            for body in (b"", b"<html>server says no</html>"):
                with self.subTest(status=status, body=body):
                    self.files.route("/files/x.exe", Route(body, status=status, content_type="text/html"))
                    self.use_download("/files/x.exe")
                    self.expect_failure(text, 10, "fault-%d-%d.png" % (status, len(body)))

    def test_server_stalls_before_the_headers(self):
        self.files.route("/files/x.exe", Route(self.payload, stall=600))
        self.use_download("/files/x.exe")
        self.expect_failure("Connection Error: 28", 40, "fault-stall-headers.png")

    def test_server_stalls_mid_body(self):
        self.files.route("/files/x.exe", Route(self.payload * 20, stall_body=100000, stall_for=600))
        self.use_download("/files/x.exe")
        self.expect_failure("Connection Error: 28", 100, "fault-stall-body.png")

    def test_servers_that_refuse_head_or_give_no_length(self):
        # The length is unknown then: no free-space check, and the download decides. Temp is on
        # a 4 MiB disk, far from the 4 GiB an unknown length once asked for.
        self.small_temp("size=4m")
        for name, route in (("403", Route(self.payload, head_status=403)), ("405", Route(self.payload, head_status=405)),
                            ("no length", Route(self.payload, length=False))):
            with self.subTest(name):
                self.files.route("/files/x.exe", route)
                self.use_download("/files/x.exe")
                self.expect_success()
                os.remove(self.log)

    # -- proxies -------------------------------------------------------------------------------
    def use_proxies(self, proxy_list="", script=""):
        flags = 1 | (2 if proxy_list else 0) | (4 if script else 0)
        self.prefix.reg_add(CONNECTIONS_KEY, "DefaultConnectionSettings", connection_settings(flags, proxy_list, script=script),
                            kind="REG_BINARY")
        self.addCleanup(self.prefix.wine, ["reg", "delete", CONNECTIONS_KEY, "/v", "DefaultConnectionSettings", "/f"],
                        check=False)

    def test_a_proxy_that_asks_for_credentials_twice(self):
        # A proxy that answers 407 to the plain and to the authenticated attempt counts as failed.
        self.use_proxies("127.0.0.1:%s" % ENV["RORA_HTTP_PORT"])
        self.use_download()
        self.expect_failure("Connection Error: 5", 20, "fault-proxy-407.png")

    def test_tinyproxy_with_basic_authentication(self):
        # tinyproxy refuses missing credentials with 401 rather than 407: the status reaches the user.
        self.use_proxies("127.0.0.1:%s" % ENV["RORA_AUTH_PROXY_PORT"])
        self.use_download()
        self.expect_failure("HTTP (Error: 401) Unauthorized", 20, "fault-proxy-auth.png")

    def test_a_dead_proxy_before_a_good_one(self):
        self.use_proxies("127.0.0.1:%s;127.0.0.1:%s" % (ENV["RORA_DEAD_PORT"], ENV["RORA_PROXY_PORT"]))
        self.use_download()
        self.expect_success()

    # -- the time before the window -------------------------------------------------------------
    def first_run(self):
        """A first run: the parameter request is made too, and names the download link."""
        self.prefix.reset_product_key()
        self.use_service()
        self.service.json("/api/parameter-storage", {"installer_url": self.files.url(INSTALLER_ROUTE)})

    def test_proxies_that_never_answer_cannot_hold_the_window_back(self):
        self.first_run()
        self.use_proxies("127.0.0.1:%d;127.0.0.1:%d" % (self.silent_port(), self.silent_port()))
        self.expect_failure(BUDGET_SPENT, PREPARATION_BUDGET, "fault-budget-proxies.png")
        self.assertLess(self.window_after, PREPARATION_BUDGET + 5)
        self.assertGreater(self.window_after, PREPARATION_BUDGET - 5, "the proxies were not tried")
        self.assertEqual(self.service.requests, [])

    def test_a_proxy_script_that_never_comes_cannot_hold_the_window_back(self):
        self.first_run()
        self.files.route(INSTALLER_ROUTE, Route(self.payload, chunk=16384, delay=0.05))
        self.use_proxies(script="http://127.0.0.1:%d/proxy.pac" % self.silent_port())
        started = time.time()
        process = self.prefix.start([ENV["RORA_BOOTSTRAPPER"]], extra_env=self.installer_env())
        self.addCleanup(lambda: process.poll() is None and process.kill())
        self.assertIsNotNone(find_window(timeout=PREPARATION_BUDGET + 15), "the window never appeared")
        shown = time.time()
        self.assertLess(shown - started, PREPARATION_BUDGET + 5)
        # Each lookup is given up after 10 s and counts as no proxy, once per host: the parameter
        # request and the size query go out directly, and the download, after the window, asks
        # no more (another lookup would take 10 s more; the download itself takes about 1 s, 4
        # where the 32-bit code runs emulated).
        self.assertEqual(process.wait(60), 0)
        self.assertLess(time.time() - shown, 8, "the download waited for a proxy lookup again")
        self.assertEqual(len(self.launches()), 1)
        self.assertEqual(len(self.service.requests), 1)

    # -- the disk ------------------------------------------------------------------------------
    def test_the_disk_fills_up_during_the_transfer(self):
        # The server announces a small length to the size query, then sends 4 MiB to a 1 MiB disk.
        self.small_temp()
        self.files.route("/files/x.exe", Route(b"x" * (4 << 20), length=False, head_length=1000))
        self.use_download("/files/x.exe")
        self.expect_failure("Internal Error: Could not write the downloaded file: No space left on device", 30,
                            "fault-disk-full.png")

    def test_a_temporary_directory_that_cannot_be_written(self):
        self.small_temp("size=1m,ro")
        self.use_download()
        self.expect_failure("Internal Error:", 10, "fault-readonly-temp.png")

    # -- the parameter service ---------------------------------------------------------------
    def first_run_answer(self, body, status=200):
        self.prefix.reset_product_key()
        self.use_service()
        self.use_download()
        self.service.route("/api/parameter-storage", Route(body, status=status, content_type="application/json"))

    def test_broken_parameter_answers_are_shown_as_internal_errors(self):
        cases = (
            (b"<html>garbage</html>", "Internal Error: [json.exception.parse_error.101]"),
            (b"", "Internal Error: [json.exception.parse_error.101]"),
            (b"[" * 5000 + b"]" * 5000, "nested deeper than 512 levels"),
            (b'{"installer_url": 5}', "Internal Error: [json.exception.type_error.302]"),
        )
        for body, text in cases:
            with self.subTest(body=body[:30]):
                self.first_run_answer(body)
                self.expect_failure(text, 20, "fault-params-%d.png" % len(body))

    def test_huge_parameter_answers_are_refused_and_the_run_goes_on(self):
        members = lambda n: "".join(',"k%d":%d' % (i, i) for i in range(n))
        link = '{"installer_url":"%s"' % self.files.url(INSTALLER_ROUTE)
        cases = (
            ("8 MiB", b'{"campaign": "' + b"x" * (8 << 20) + b'"}', None),
            ("too many members", (link + members(MAX_MEMBERS) + "}").encode(), None),
            ("as many members as allowed", (link + members(MAX_MEMBERS - 1) + "}").encode(),
             "{" + members(MAX_MEMBERS - 1)[1:] + "}"),
        )
        for name, body, stored in cases:
            with self.subTest(name):
                self.first_run_answer(body)
                self.expect_success()
                os.remove(self.log)
                common = self.prefix.reg_query(PRODUCT_KEY, "Common Data")
                self.assertEqual(common and bytes.fromhex(common[1]).decode(), stored)
                self.assertEqual(self.prefix.reg_query(INSTALLATION_KEY, "InstallerDownloadLink") is not None,
                                 stored is not None)

    def test_registry_values_of_the_wrong_type_are_passed_over(self):
        self.prefix.reg_add(INSTALLATION_KEY, "QaInstallerDownloadLink", "5", kind="REG_DWORD")
        self.prefix.reg_add(INSTALLATION_KEY, "InstallerDownloadLink", self.files.url(INSTALLER_ROUTE))
        self.expect_success()

    # -- what is started --------------------------------------------------------------------------
    def downloads_left(self):
        """The download folders under the Windows directory's Temp that hold an installer file."""
        temp = self.prefix.system_temp()
        return {f for f in os.listdir(temp) if os.path.isfile(os.path.join(temp, f, INSTALLER_NAME))}

    def test_installers_that_fail_the_signature_check_or_are_bootstrappers_are_refused_and_deleted(self):
        reason = "The installer's signature could not be verified: %s."
        bootstrapper = "The downloaded file is not the installer."
        cases = (
            ("RORA_INSTALLER_UNSIGNED", reason % "the file is not signed"),
            ("RORA_INSTALLER_TAMPERED", reason % "the file was changed after it was signed"),
            ("RORA_INSTALLER_OTHER_PUBLISHER", reason % 'it is signed by "Other Test Publisher", not by "Rora Test Publisher"'),
            ("RORA_INSTALLER_UNTRUSTED_ROOT", reason % "its certificate is not issued under a trusted root"),
            ("RORA_INSTALLER_PARTIAL_CHAIN", reason % "its certificate is not issued under a trusted root"),
            ("RORA_INSTALLER_NO_CODE_SIGNING", reason % "its certificate is not for code signing"),
            # Signed, but 64 KiB beside the signature in its certificate table, which no
            # signature covers.
            ("RORA_INSTALLER_PADDED_TABLE", reason % "it carries data that its signature does not cover"),
            # A certificate with 64 KiB of chosen data in the signature's certificate set, which
            # no hash covers either.
            ("RORA_INSTALLER_SUPERFLUOUS", reason % "it carries data that its signature does not cover"),
            # Signed by the publisher too: started, each would download and start the next.
            ("RORA_SIGNED_BOOTSTRAPPER", bootstrapper),
            ("RORA_INSTALLER_AS_BOOTSTRAPPER", bootstrapper),
            ("RORA_INSTALLER_AS_OLDER_BOOTSTRAPPER", bootstrapper),  # the major version before this one
        )
        for variable, text in cases:
            with self.subTest(variable):
                with open(ENV[variable], "rb") as f:
                    self.files.route("/files/x.exe", Route(f.read()))
                self.use_download("/files/x.exe")
                before = self.downloads_left()
                seen = len(self.files.requests)
                self.expect_failure(text, 20, "fault-trust-%s.png" % variable.lower())
                self.assertEqual(self.downloads_left() - before, set(), "the refused installer was left on disk")
                self.assertEqual([r["method"] for r in self.files.requests[seen:]], ["HEAD", "GET"],
                                 "something else downloaded too")

    def test_a_signed_file_that_cannot_be_started_is_a_failure(self):
        # A DLL signed by the publisher and named .exe passes the check; the system refuses to run it.
        with open(ENV["RORA_SIGNED_DLL_AS_EXE"], "rb") as f:
            self.files.route("/files/x.exe", Route(f.read()))
        self.use_download("/files/x.exe")
        self.expect_failure("The installer could not be started:", 20, "fault-start-failed.png")
        self.assertEqual(self.run_quiet(), 1)

    def test_placed_installers_are_taken_only_when_signed_alone_and_nobody_else_could_change_them(self):
        product = self.prefix.drive_c("ProgramData", PRODUCT)
        installation = os.path.join(product, "Installation")
        placed = os.path.join(installation, INSTALLER_NAME)
        elsewhere = self.prefix.drive_c("elsewhere")
        self.addCleanup(shutil.rmtree, product, True)
        self.addCleanup(shutil.rmtree, elsewhere, True)

        def copy_of(variable, target=placed, mode=0o644):
            shutil.copy(ENV[variable], target)
            os.chmod(target, mode)

        def sparse(size):
            # Sizes that take no disk: copied whole, they would hold every run up for a long time.
            with open(placed, "wb") as out:
                out.truncate(size)

        def second_link():
            # The publisher's installer, but also a name in a folder its owner controls.
            os.makedirs(elsewhere)
            copy_of("RORA_SIGNED_INSTALLER", os.path.join(elsewhere, "mine.exe"))
            os.link(os.path.join(elsewhere, "mine.exe"), placed)

        def linked_folder():
            os.rmdir(installation)
            os.makedirs(elsewhere)
            copy_of("RORA_SIGNED_INSTALLER", os.path.join(elsewhere, INSTALLER_NAME))
            os.symlink(elsewhere, installation)

        def signed_placed(mode=0o644, folder_mode=0o755, product_mode=0o755, variable="RORA_SIGNED_INSTALLER"):
            # Modes stand for descriptors: Wine reads 0666 and 0777 as Everyone's full control.
            copy_of(variable, mode=mode)
            os.chmod(installation, folder_mode)
            os.chmod(product, product_mode)

        self.use_download()
        # name, how it is placed, the bound of the run, and what becomes of it: passed over where
        # it lies, copied first (it passes the signature check where it lies) and then refused,
        # or taken and started.
        for name, place, bound, outcome in (
                ("unsigned", lambda: copy_of("RORA_INSTALLER_UNSIGNED"), 60, PASSED_OVER),
                ("sparse, above the limit", lambda: sparse(6 << 30), 30, PASSED_OVER),
                ("1.9 GiB that are no program", lambda: sparse(1900 << 20), 60, PASSED_OVER),
                ("a folder", lambda: os.makedirs(placed), 60, PASSED_OVER),
                ("a second hard link", second_link, 60, PASSED_OVER),
                ("in a linked Installation folder", linked_folder, 60, PASSED_OVER),
                ("64 KiB more inside its certificate entry", lambda: copy_of("RORA_INSTALLER_PADDED_ENTRY"), 60,
                 PASSED_OVER),
                ("64 KiB more after its certificate entry", lambda: copy_of("RORA_INSTALLER_PADDED_TABLE"), 60,
                 PASSED_OVER),
                ("a file every account may change", lambda: signed_placed(mode=0o666), 60, PASSED_OVER),
                ("an Installation folder every account may change", lambda: signed_placed(folder_mode=0o777), 60,
                 PASSED_OVER),
                ("a product folder every account may change", lambda: signed_placed(product_mode=0o777), 60,
                 PASSED_OVER),
                ("with a stranger's nested signature", lambda: copy_of("RORA_INSTALLER_NESTED_STRANGER"), 60,
                 PASSED_OVER),
                ("the signed bootstrapper", lambda: copy_of("RORA_SIGNED_BOOTSTRAPPER"), 60, COPIED),
                ("named as the bootstrapper", lambda: copy_of("RORA_INSTALLER_AS_BOOTSTRAPPER"), 60, COPIED),
                ("signed, but no program", lambda: copy_of("RORA_SIGNED_DLL_AS_EXE"), 60, COPIED),
                ("signed twice, time-stamped", lambda: signed_placed(variable="RORA_INSTALLER_SIGNED_TWICE"), 60,
                 TAKEN)):
            with self.subTest(name):
                for path in (installation, elsewhere):
                    if os.path.islink(path):
                        os.remove(path)
                    shutil.rmtree(path, True)
                os.makedirs(installation)
                os.chmod(product, 0o755)
                place()
                temp = self.prefix.system_temp()
                folders = set(os.listdir(temp))
                seen = len(self.files.requests)
                with FolderWatch(temp) as watch:
                    self.expect_success(bound)
                ((_, program, _),) = self.launches()
                os.remove(self.log)
                self.assertRegex(program, TEMP_INSTALLER)
                with open(self.prefix.linux_path(program), "rb") as f:
                    ran = f.read()
                started = program.split("\\")[-2]
                self.assertEqual(set(os.listdir(temp)) - folders, {started}, "a folder was left behind")
                self.assertLess(watch.largest, 64 << 20, "a large file was copied")
                if outcome == TAKEN:
                    with open(placed, "rb") as f:
                        self.assertEqual(ran, f.read(), "what ran is not the placed installer")
                    self.assertEqual(self.files.requests[seen:], [], "the placed installer was not taken")
                    continue
                self.assertEqual(ran, self.payload, "what ran is not the downloaded installer")
                self.assertEqual([r["method"] for r in self.files.requests[seen:]], ["HEAD", "GET"])
                # The download's folder is the only one left; nothing that fails where it lies
                # was copied, nor a folder made for it.
                if outcome == PASSED_OVER:
                    self.assertEqual(watch.folders - folders, {started}, "a folder was made for the placed file")

    def test_an_https_link_is_never_redirected_to_plain_http_however_it_is_spelled(self):
        # libcurl reads "https:/host" as an https link; so does the redirect rule.
        target = self.files.url(INSTALLER_ROUTE)
        self.prefix.reg_add(INSTALLATION_KEY, "QaInstallerDownloadLink",
                            "https:/localhost:%s/redirect?to=%s" % (ENV["RORA_HTTPS_PORT"], target))
        self.expect_failure("Connection Error: 1", 20, "fault-https-redirect.png")
        self.assertEqual(self.files.requests, [], "the plain-http target was contacted")

    # -- the user --------------------------------------------------------------------------------
    def test_two_instances_started_at_once_download_once(self):
        # Slow enough that both are running at once; the signed installer as it is (copies of it
        # put together would no longer carry a valid signature).
        self.files.route(INSTALLER_ROUTE, Route(self.payload, chunk=1024, delay=0.02))
        self.use_download()
        runs = [self.prefix.start([ENV["RORA_BOOTSTRAPPER"], "/quiet"], extra_env=self.installer_env()) for _ in range(2)]
        for run in runs:
            self.addCleanup(lambda r=run: r.poll() is None and r.kill())
        codes = [run.wait(120) for run in runs]
        self.assertEqual(codes, [0, 0])
        self.assertEqual(len(self.launches()), 1)
        time.sleep(1)
        self.assertEqual(len(self.launches()), 1, "the second instance downloaded too")

    def test_a_close_requested_while_the_preparation_blocks(self):
        # The size query takes 3 s; a WM_CLOSE waits in the queue meanwhile.
        self.files.route(INSTALLER_ROUTE, Route(self.payload * 50, stall=3, chunk=4096, delay=0.05))
        self.use_download()
        closer = self.prefix.start([os.environ["RORA_FAKE_INSTALLER"], "--post-close"])
        self.addCleanup(lambda: closer.poll() is None and closer.kill())
        started = time.time()
        code = self.prefix.wine([ENV["RORA_BOOTSTRAPPER"]], timeout=60, extra_env=self.installer_env(), check=False).returncode
        self.assertEqual(closer.wait(30), 0)
        self.assertEqual(code, 0)
        self.assertLess(time.time() - started, 15)
        time.sleep(1)
        self.assertEqual(self.launches(expected=0), [])
        self.assertIsNone(find_window(timeout=1))


if __name__ == "__main__":
    unittest.main()
