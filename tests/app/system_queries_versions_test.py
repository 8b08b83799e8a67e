"""The system queries under each Windows version Wine can pretend to be, in a private prefix."""

import os
import unittest

from wine_env import PrivatePrefixTestCase

PROBE = os.environ["RORA_SYSTEM_QUERIES_PROBE"]
CURRENT_VERSION = r"HKLM\Software\Microsoft\Windows NT\CurrentVersion"

# winecfg's name, the build to set (None: winecfg's own), the version RtlGetVersion must give,
# then the expected answers.
CASES = [
    ("win7", None, "6.1.7601", dict(per_window_dpi=0, awareness_context=0)),
    ("win81", None, "6.3.9600", dict(per_window_dpi=0, awareness_context=0)),
    ("win10", "10240", "10.0.10240", dict(per_window_dpi=0, awareness_context=0)),
    ("win10", "14393", "10.0.14393", dict(per_window_dpi=1, awareness_context=0)),
    ("win10", "15062", "10.0.15062", dict(per_window_dpi=1, awareness_context=0)),
    ("win10", "15063", "10.0.15063", dict(per_window_dpi=1, awareness_context=1)),
    ("win10", "22000", "10.0.22000", dict(per_window_dpi=1, awareness_context=1)),
]


def parse(output):
    answers = {}
    for line in output.decode("utf-8", "replace").splitlines():
        name, sep, value = line.strip().partition("=")
        if not sep:
            continue
        # Cached answers are printed twice; both must agree.
        if name in answers and answers[name] != value:
            raise AssertionError("%s changed from %s to %s" % (name, answers[name], value))
        answers[name] = value
    return answers


class SystemQueriesPerVersion(PrivatePrefixTestCase):
    def pretend(self, name, build):
        self.prefix.wine(["winecfg", "-v", name], timeout=60)
        if build:
            self.prefix.reg_add(CURRENT_VERSION, "CurrentBuildNumber", build, view=32)

    def test_answers_per_version(self):
        for name, build, version, expected in CASES:
            with self.subTest(version=version):
                self.pretend(name, build)
                answers = parse(self.prefix.wine([PROBE], timeout=60).stdout)
                self.assertEqual(answers.get("version"), version)
                for query, value in expected.items():
                    self.assertEqual(answers.get(query), str(value), query)
                # A 32-bit program in a 64-bit prefix.
                self.assertEqual(answers.get("wow64"), "1")
                # Without a supportedOS manifest entry, Windows 8.1 and later look like 6.2 here.
                newer_than_7 = name != "win7"
                self.assertEqual(answers.get("at_least_6.0"), "1")
                self.assertEqual(answers.get("at_least_6.1"), "1")
                self.assertEqual(answers.get("at_least_6.2"), "1" if newer_than_7 else "0")
                self.assertEqual(answers.get("at_least_6.3"), "0")
                # The font for a DPI comes only where the per-window DPI functions exist, and
                # then grows with the DPI.
                found96, height96 = answers["icon_font_96"].split()
                found144, height144 = answers["icon_font_144"].split()
                if expected["per_window_dpi"]:
                    self.assertEqual((found96, found144), ("1", "1"))
                    self.assertGreater(abs(int(height144)), abs(int(height96)))
                else:
                    self.assertEqual((found96, found144, height96, height144), ("0", "0", "0", "0"))


if __name__ == "__main__":
    unittest.main()
