"""Consecutive runs of the shipped executable, successes and failures mixed: every run ends as
expected and nothing is left running in the prefix afterwards."""

import os
import unittest

from run_helpers import INSTALLER_ROUTE, BootstrapperTestCase
from servers import Route, unused_port
from wine_env import INSTALLATION_KEY


class SoakTest(BootstrapperTestCase):
    def test_consecutive_runs_leave_nothing_behind(self):
        self.skip_parameters()
        self.files.route("/files/missing.exe", Route(b"no", status=404))
        self.files.route("/files/drop.exe", Route(self.payload, drop_after=1000))
        refused = "http://127.0.0.1:%d/x.exe" % unused_port()
        plan = [(INSTALLER_ROUTE, 0), ("/files/missing.exe", 1), (refused, 1),
                ("/files/drop.exe", 1)] * 4
        started = 0
        for number, (link, expected) in enumerate(plan):
            url = link if link.startswith("http") else self.files.url(link)
            self.prefix.reg_add(INSTALLATION_KEY, "QaInstallerDownloadLink", url)
            self.assertEqual(self.run_quiet(timeout=60), expected, "run %d (%s)" % (number, link))
            started += expected == 0
        self.assertEqual(len(self.launches(expected=started)), started)
        self.assertTrue(self.prefix.wait_idle(30), self.prefix.user_processes())


if __name__ == "__main__":
    unittest.main()
