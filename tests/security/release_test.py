"""The release path (`make release`, scripts/release.sh) with the run's throwaway publisher
certificate: the built-in defaults are refused; what it builds carries the given hosts, is signed,
verifies against the publisher's root only, and, renamed for a campaign, still takes its
identifier from its file name."""

import hashlib
import os
import shutil
import subprocess
import unittest

from servers import Server
from wine_env import ENV, INSTALLATION_KEY, PRODUCT_KEY, WineTestCase

SETTINGS = ("RORA_INSTALLER_HOST", "RORA_PARAMETER_HOST", "RORA_INSTALLER_PUBLISHER", "RORA_SIGNING_PKCS12",
            "RORA_SIGNING_PASSWORD_FILE", "RORA_TIMESTAMP_URL", "RORA_SIGNING_CA", "RORA_RELEASE_DIR")
BUILD = os.environ["RORA_RELEASE_TEST_DIR"]


def release(**changes):
    """Runs the release script with valid settings changed by `changes` (None: unset)."""
    env = {k: v for k, v in os.environ.items() if k not in SETTINGS}
    env.update(RORA_INSTALLER_HOST="download.release-test.invalid",
               RORA_PARAMETER_HOST="parameters.release-test.invalid",
               RORA_INSTALLER_PUBLISHER="Rora Release Test Publisher",
               RORA_SIGNING_PKCS12=ENV["RORA_PUBLISHER_PKCS12"],
               RORA_SIGNING_PASSWORD_FILE=ENV["RORA_PUBLISHER_PASSWORD_FILE"],
               RORA_SIGNING_CA=ENV["RORA_TEST_ROOT"], RORA_RELEASE_DIR=BUILD)
    for name, value in changes.items():
        env.pop(name, None)
        if value is not None:
            env[name] = value
    return subprocess.run(["bash", os.path.join(ENV["RORA_SOURCE_DIR"], "scripts", "release.sh")], env=env,
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                          timeout=600)


def verifies(path, root):
    return subprocess.run(["osslsigncode", "verify", "-CAfile", root, "-in", path], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, timeout=60).returncode == 0


class ReleaseTest(WineTestCase):
    def test_the_defaults_are_refused(self):
        for name, value in (("RORA_INSTALLER_HOST", "download.rora-rez.invalid"),
                            ("RORA_PARAMETER_HOST", "parameters.rora-rez.invalid"),
                            ("RORA_INSTALLER_PUBLISHER", "Rora Test Publisher"),
                            ("RORA_INSTALLER_PUBLISHER", None), ("RORA_SIGNING_PASSWORD_FILE", None)):
            with self.subTest(name=name, value=value):
                result = release(**{name: value})
                self.assertNotEqual(result.returncode, 0)
                self.assertIn("release: " + name, result.stderr)
                self.assertIn("refused", result.stderr)
                self.assertNotIn("building", result.stdout)

    def test_the_signed_release_renamed_for_a_campaign_sends_its_identifier(self):
        result = release()
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        signed = os.path.join(BUILD, "RoraREZIdadezo15Setup.exe")
        with open(signed, "rb") as f:
            image = f.read()
        self.assertEqual(result.stdout.splitlines()[-1], "SHA-256: " + hashlib.sha256(image).hexdigest())
        self.assertIn(b"download.release-test.invalid", image)
        self.assertIn(b"parameters.release-test.invalid", image)
        self.assertTrue(verifies(signed, ENV["RORA_TEST_ROOT"]), "the signature does not verify")
        self.assertFalse(verifies(signed, ENV["RORA_TEST_CA"]), "the signature verifies under an unrelated root")

        service = Server()
        self.addCleanup(service.close)
        service.json("/api/parameter-storage", {})
        self.prefix.reg_add(INSTALLATION_KEY, "QaBootstrapperRequestParamsLink", service.url("/api/parameter-storage?id="))
        self.prefix.reg_add(INSTALLATION_KEY, "QaInstallerDownloadLink", service.url("/missing.exe"))
        campaign = os.path.join(self.work, "Setup-AB12CD.exe")
        shutil.copy(signed, campaign)
        # The download of the missing installer fails: this run is about the request before it.
        self.prefix.wine([campaign, "/quiet"], timeout=90, check=False)
        self.assertEqual([r["path"] for r in service.requests if r["path"].startswith("/api/")],
                         ["/api/parameter-storage?id=AB12CD"])
        self.assertEqual(self.prefix.reg_query(PRODUCT_KEY, "XYZID"), ("REG_SZ", "AB12CD"))


if __name__ == "__main__":
    unittest.main()
