"""The product's identity is one definition (product.cmake): the default build carries every
name of version 15, and a build configured with -DRORA_PRODUCT_VERSION=16.0.0, and nothing
else, carries every name of version 16 and none of 15, and takes an installer placed under the
16 path."""

import os
import shutil
import subprocess
import unittest

from run_helpers import BootstrapperTestCase
from wine_env import ENV

# What each build must carry, as ASCII or UTF-16 strings of its executable: registry key, placed
# folder, installer name, download path, mutex, version resource, manifest and user agent.
NAMES = {
    "15.0.1": {
        "utf-16": ["SOFTWARE", "Rora REZ Idadezo 15", "RoraREZIdadezo15.exe", "RoraREZIdadezo15 Small Installer Mutex",
                   "Rora REZ", "Rora REZ Idadezo 15 web installer", "RoraREZIdadezo15Setup",
                   "RoraREZIdadezo15Setup.exe", "15.0.1", "Rozo PDF"],
        "ascii": ["/zedi/v15/installer/latest/RoraREZIdadezo15.exe", "Rora REZ Idadezo 15 Installer",
                  'name="Rora.REZ.Idadezo15.Bootstrapper" version="15.0.1.0"'],
        "file": "RoraREZIdadezo15Setup.exe",
    },
    "16.0.0": {
        "utf-16": ["SOFTWARE", "Rora REZ Idadezo 16", "RoraREZIdadezo16.exe", "RoraREZIdadezo16 Small Installer Mutex",
                   "Rora REZ", "Rora REZ Idadezo 16 web installer", "RoraREZIdadezo16Setup",
                   "RoraREZIdadezo16Setup.exe", "16.0.0", "Rozo PDF"],
        "ascii": ["/zedi/v16/installer/latest/RoraREZIdadezo16.exe", "Rora REZ Idadezo 16 Installer",
                  'name="Rora.REZ.Idadezo16.Bootstrapper" version="16.0.0.0"'],
        "file": "RoraREZIdadezo16Setup.exe",
    },
}
VARIANT_BUILD = os.environ["RORA_VARIANT_BUILD_DIR"]


def carries(image, value, encoding):
    return (value.encode("ascii") if encoding == "ascii" else value.encode("utf-16-le")) in image


def build_variant():
    """The bootstrapper configured with the next major version and nothing else changed."""
    subprocess.run(["cmake", "-S", ENV["RORA_SOURCE_DIR"], "-B", VARIANT_BUILD, "-G", "Ninja",
                    "-DCMAKE_TOOLCHAIN_FILE=%s/cmake/mingw-i686.cmake" % ENV["RORA_SOURCE_DIR"],
                    "-DCMAKE_BUILD_TYPE=MinSizeRel", "-DBUILD_TESTING=OFF",
                    "-DRORA_DEPS_PREFIX=%s" % os.environ["RORA_DEPS_PREFIX"], "-DRORA_PRODUCT_VERSION=16.0.0"],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=300)
    subprocess.run(["cmake", "--build", VARIANT_BUILD, "--target", "bootstrapper"], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=900)
    return os.path.join(VARIANT_BUILD, "src", NAMES["16.0.0"]["file"])


class ProductVariantTest(BootstrapperTestCase):
    def test_the_next_major_version_is_one_setting(self):
        variant = build_variant()
        for version, exe in (("15.0.1", ENV["RORA_BOOTSTRAPPER"]), ("16.0.0", variant)):
            with self.subTest(version=version):
                self.assertEqual(os.path.basename(exe), NAMES[version]["file"])
                with open(exe, "rb") as f:
                    image = f.read()
                for encoding in ("utf-16", "ascii"):
                    for value in NAMES[version][encoding]:
                        self.assertTrue(carries(image, value, encoding), "%s lacks %s %r" % (version, encoding, value))
        # Nothing of 15 is left in 16, in either encoding.
        with open(variant, "rb") as f:
            image = f.read()
        stale = [value for encoding in ("utf-16", "ascii") for value in NAMES["15.0.1"][encoding]
                 if value not in NAMES["16.0.0"][encoding] and (carries(image, value, "ascii") or carries(image, value, "utf-16"))]
        self.assertEqual(stale, [], "the 16 build carries names of 15")

        # The 16 build takes the installer placed under its own folder, and downloads nothing.
        installation = self.prefix.drive_c("ProgramData", "Rora REZ Idadezo 16", "Installation")
        os.makedirs(installation)
        self.addCleanup(shutil.rmtree, os.path.dirname(installation), True)
        shutil.copy(ENV["RORA_SIGNED_INSTALLER"], os.path.join(installation, "RoraREZIdadezo16.exe"))
        self.use_download()
        self.assertEqual(self.run_quiet(exe=variant), 0)
        ((_, program, _),) = self.launches()
        self.assertTrue(program.lower().endswith("\\rorarezidadezo16.exe"), program)
        self.assertEqual(self.files.requests, [], "the placed installer was not taken")


if __name__ == "__main__":
    unittest.main()
