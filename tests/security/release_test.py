"""The release path (`make release`, scripts/release.sh) with the run's throwaway certificates: a
release without its settings, with the tests' key pin or with a pin that is none is refused; the
hosts and the publisher reach the executable byte for byte however they are spelled, so that it
starts an installer signed by exactly that name under the pinned key and refuses a near miss; the signature is time-stamped by the local time-stamp authority
(tests/servers/test_server.py), a time stamp under a root the CA does not vouch for fails the
release, and "none" signs without one, with a warning; renamed for a campaign, the release still
takes its identifier from its file name."""

import base64
import hashlib
import os
import shutil
import subprocess
import unittest

from run_helpers import BootstrapperTestCase
from servers import Route
from wine_env import ENV, PRODUCT_KEY

SETTINGS = ("RORA_INSTALLER_HOST", "RORA_PARAMETER_HOST", "RORA_INSTALLER_PUBLISHER", "RORA_INSTALLER_KEY_PINS",
            "RORA_SIGNING_PKCS12",
            "RORA_SIGNING_PASSWORD_FILE", "RORA_TIMESTAMP_URL", "RORA_SIGNING_CA", "RORA_RELEASE_DIR")
BUILD = os.environ["RORA_RELEASE_TEST_DIR"]
SIGNED = os.path.join(BUILD, ENV["RORA_BOOTSTRAPPER_FILE_NAME"])
SOURCE = ENV["RORA_SOURCE_DIR"]
TIME_STAMPS = "http://127.0.0.1:%s/timestamp/" % ENV["RORA_HTTP_PORT"]
NO_TIME_STAMP = "the signature stops verifying when the signing certificate expires"
# Names a shell, make or a C string would mangle, and for each a near miss: the name less its
# last character, and the name with its backslash doubled (what a second escaping leaves).
O_NEIL = "O'Neil & Sons, Ltd."
EVERY_QUOTE = "Rora \"Quoted\" \\ Publisher & Co; O'Brien, $HOME  Ltd"


def pin(certificate):
    """The pin of the key of a PEM certificate: base64 SHA-256 of its SubjectPublicKeyInfo."""
    key = subprocess.run(["openssl", "x509", "-noout", "-pubkey", "-in", certificate], check=True,
                         stdout=subprocess.PIPE).stdout
    der = subprocess.run(["openssl", "pkey", "-pubin", "-outform", "der"], input=key, check=True,
                         stdout=subprocess.PIPE).stdout
    return base64.b64encode(hashlib.sha256(der).digest()).decode()


# A release pins the second test root, under which its installers are signed; the first test
# root's key is the one the tests pin, which a release refuses.
RELEASE_CA = ENV["RORA_SECOND_TEST_ROOT"]
RELEASE_PINS = pin(RELEASE_CA)
TEST_PIN = pin(ENV["RORA_TEST_ROOT"])


def make_release(**changes):
    """`make release` with valid settings on make's command line, changed by `changes` (None: not given)."""
    settings = dict(RORA_INSTALLER_HOST="download.release-test.invalid",
                    RORA_PARAMETER_HOST="parameters.release-test.invalid",
                    RORA_INSTALLER_PUBLISHER="Rora Release Test Publisher", RORA_INSTALLER_KEY_PINS=RELEASE_PINS,
                    RORA_SIGNING_PKCS12=ENV["RORA_PUBLISHER_PKCS12"],
                    RORA_SIGNING_PASSWORD_FILE=ENV["RORA_PUBLISHER_PASSWORD_FILE"],
                    RORA_TIMESTAMP_URL="none", RORA_SIGNING_CA=ENV["RORA_TEST_ROOT"], RORA_RELEASE_DIR=BUILD)
    settings.update(changes)
    env = {k: v for k, v in os.environ.items() if k not in SETTINGS + ("MAKEFLAGS", "MFLAGS", "MAKELEVEL")}
    arguments = ["%s=%s" % item for item in settings.items() if item[1] is not None]
    return subprocess.run(["make", "-s", "-C", SOURCE, "release"] + arguments, env=env, stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=600)


def verification(path, root):
    """osslsigncode's verification of `path`, signature and time stamp against `root`: (exit code, output)."""
    result = subprocess.run(["osslsigncode", "verify", "-CAfile", root, "-TSA-CAfile", root, "-in", path],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=60)
    return result.returncode, result.stdout


class ReleaseTest(BootstrapperTestCase):
    def setUp(self):
        super().setUp()
        self.skip_parameters()

    def assert_released(self, result):
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        with open(SIGNED, "rb") as f:
            image = f.read()
        self.assertEqual(result.stdout.splitlines()[-1], "SHA-256: " + hashlib.sha256(image).hexdigest())
        return image

    def assert_carries(self, image, *values):
        for value in values:
            self.assertTrue(value.encode() + b"\0" in image, "the executable does not hold %r as it is" % value)

    def installer_signed_by(self, common_name):
        """The fake installer signed by a code-signing certificate for `common_name` under the release's root."""
        name = "signer-" + hashlib.sha256(common_name.encode()).hexdigest()[:12]
        script = ('. "$0/scripts/test-certificates.sh" && make_signer "$1" "$2" "$3" && '
                  'bash "$0/scripts/sign.sh" --pkcs12 "$1.p12" --password-file password --ca "$2.pem" "$4" "$1.exe"')
        subprocess.run(["bash", "-c", script, SOURCE, name, os.path.splitext(RELEASE_CA)[0], common_name,
                        os.environ["RORA_FAKE_INSTALLER"]], cwd=self.work, check=True, stdout=subprocess.DEVNULL,
                       timeout=60)
        with open(os.path.join(self.work, name + ".exe"), "rb") as f:
            return f.read()

    def assert_starts_only(self, publisher, near_miss):
        """The release starts the installer signed by `publisher` and refuses the one signed by `near_miss`."""
        for signer, code, starts in ((publisher, 0, 1), (near_miss, 1, 0)):
            with self.subTest(signer=signer):
                if os.path.exists(self.log):
                    os.remove(self.log)
                self.files.route("/files/x.exe", Route(self.installer_signed_by(signer)))
                self.use_download("/files/x.exe")
                self.assertEqual(self.run_quiet(exe=SIGNED), code)
                self.assertEqual(len(self.launches(expected=starts)), starts)
                self.assertEqual(self.files.requests[-1]["method"], "GET", "the installer was not downloaded")

    def test_a_release_is_refused_without_its_settings(self):
        for name, value in (("RORA_INSTALLER_HOST", "download.rora-rez.invalid"),
                            ("RORA_PARAMETER_HOST", "parameters.rora-rez.invalid"),
                            ("RORA_INSTALLER_PUBLISHER", "Rora Test Publisher"),
                            ("RORA_INSTALLER_PUBLISHER", None), ("RORA_SIGNING_PASSWORD_FILE", None),
                            ("RORA_TIMESTAMP_URL", None), ("RORA_TIMESTAMP_URL", "timestamp.example.com"),
                            ("RORA_INSTALLER_KEY_PINS", None), ("RORA_INSTALLER_KEY_PINS", RELEASE_PINS + ";" + TEST_PIN)):
            with self.subTest(name=name, value=value):
                result = make_release(**{name: value})
                self.assertNotEqual(result.returncode, 0)
                self.assertIn("release: " + name, result.stderr)
                self.assertIn("refused", result.stderr)
                self.assertNotIn("building", result.stdout)
        # What only the configure step can judge: a pin that is no base64 of 32 bytes, and a list
        # of nothing but separators.
        for pins, said in ((RELEASE_PINS[1:], "is no pin"), (";", "holds no pin")):
            with self.subTest(pins=pins):
                result = make_release(RORA_INSTALLER_KEY_PINS=pins)
                self.assertNotEqual(result.returncode, 0)
                message = " ".join(result.stderr.split())  # CMake wraps its messages
                self.assertIn("RORA_INSTALLER_KEY_PINS", message)
                self.assertIn(said, message)
                self.assertIn("configuring failed", result.stderr)

    def test_o_neil_and_sons_without_a_time_stamp_renamed_for_a_campaign(self):
        result = make_release(RORA_INSTALLER_PUBLISHER=O_NEIL)
        image = self.assert_released(result)
        self.assertIn(NO_TIME_STAMP, result.stderr)
        self.assert_carries(image, O_NEIL)
        self.assertEqual(verification(SIGNED, ENV["RORA_TEST_ROOT"])[0], 0, "the signature does not verify")
        self.assertNotEqual(verification(SIGNED, ENV["RORA_TEST_CA"])[0], 0, "the signature verifies under another root")
        self.assert_starts_only(O_NEIL, O_NEIL[:-1])

        self.prefix.reset_product_key()
        self.use_service()
        self.service.json("/api/parameter-storage", {})
        campaign = os.path.join(self.work, "Setup-AB12CD.exe")
        shutil.copy(SIGNED, campaign)
        self.run_quiet(exe=campaign)
        self.assertEqual([r["path"] for r in self.service.requests], ["/api/parameter-storage?id=AB12CD"])
        self.assertEqual(self.prefix.reg_query(PRODUCT_KEY, "XYZID"), ("REG_SZ", "AB12CD"))

    def test_every_quoting_character_time_stamped(self):
        hosts = dict(RORA_INSTALLER_HOST="d'l \"x\" \\ & y; z, $HOME", RORA_PARAMETER_HOST="p&q;r,s 't' \\\" ")
        # First a time-stamp authority under a root that RORA_SIGNING_CA does not vouch for, over
        # a signed file left by an earlier release.
        os.makedirs(BUILD, exist_ok=True)
        open(SIGNED, "wb").close()
        result = make_release(RORA_INSTALLER_PUBLISHER=EVERY_QUOTE, RORA_TIMESTAMP_URL=TIME_STAMPS + "untrusted-tsa",
                              **hosts)
        self.assertNotEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertIn("Timestamp Server Signature verification: failed", result.stderr)
        self.assertFalse(os.path.exists(SIGNED), "a failed release left a signed file")

        image = self.assert_released(make_release(RORA_INSTALLER_PUBLISHER=EVERY_QUOTE,
                                                  RORA_TIMESTAMP_URL=TIME_STAMPS + "tsa", **hosts))
        self.assert_carries(image, EVERY_QUOTE, *hosts.values())
        code, report = verification(SIGNED, ENV["RORA_TEST_ROOT"])
        self.assertEqual(code, 0, report)
        self.assertIn("Timestamp Server Signature verification: ok", report.splitlines())
        self.assert_starts_only(EVERY_QUOTE, EVERY_QUOTE.replace("\\", "\\\\"))


if __name__ == "__main__":
    unittest.main()
