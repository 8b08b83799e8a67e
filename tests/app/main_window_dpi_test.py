"""The main window at 96, 120 and 144 DPI, in a private prefix whose LogPixels is set before
each process starts: the in-process layout test at each DPI, and the real executable showing a
start-up failure, checked from outside (X geometry, screenshot pixels, exit code)."""

import os
import shutil
import subprocess
import time
import unittest

from servers import unused_port
from wine_env import ENV, INSTALLATION_KEY, PRODUCT_KEY, WINDOW_TITLE, Prefix, windows_path

WINDOW_TEST = os.environ["RORA_MAIN_WINDOW_TEST"]
BOOTSTRAPPER = ENV["RORA_BOOTSTRAPPER"]
DESKTOP_KEY = r"HKCU\Control Panel\Desktop"

# Outer window size per DPI.
SIZES = {96: (600, 150), 120: (750, 187), 144: (900, 225)}


def x_env():
    env = dict(os.environ)
    env["DISPLAY"] = ENV["DISPLAY"]
    return env


def xdotool(*args, timeout=30):
    return subprocess.run(["timeout", str(timeout), "xdotool"] + list(args), env=x_env(),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def find_window(timeout=30):
    """The X window of the main window's title, or None."""
    deadline = time.time() + timeout
    while time.time() < deadline:
        result = xdotool("search", "--name", "^%s$" % WINDOW_TITLE, timeout=5)
        ids = result.stdout.split()
        if ids:
            return ids[0]
        time.sleep(0.2)
    return None


def geometry(window_id):
    """(x, y, width, height) of an X window."""
    out = xdotool("getwindowgeometry", "--shell", window_id).stdout
    values = dict(line.split("=", 1) for line in out.split() if "=" in line)
    return int(values["X"]), int(values["Y"]), int(values["WIDTH"]), int(values["HEIGHT"])


def screenshot(x, y, width, height, png_path):
    """The screen's pixels in that rectangle: (width, height, RGB bytes); also saved as PNG."""
    subprocess.run(["timeout", "30", "import", "-window", "root", "-crop", "%dx%d+%d+%d" % (width, height, x, y),
                    "+repage", png_path], env=x_env(), check=True)
    ppm = subprocess.run(["timeout", "30", "convert", png_path, "ppm:-"], stdout=subprocess.PIPE, check=True).stdout
    # P6 header: magic, width, height, maximum value, each followed by one whitespace.
    fields, pos = [], 0
    while len(fields) < 4:
        while ppm[pos:pos + 1].isspace():
            pos += 1
        start = pos
        while not ppm[pos:pos + 1].isspace():
            pos += 1
        fields.append(ppm[start:pos])
    pos += 1
    w, h = int(fields[1]), int(fields[2])
    return w, h, ppm[pos:pos + w * h * 3]


def red_lines(width, height, pixels):
    """Bands of rows holding red text pixels: a list of (top, bottom, left, right)."""
    lines, in_line = [], False
    for y in range(height):
        xs = [x for x in range(width)
              if pixels[(y * width + x) * 3] > 150 and pixels[(y * width + x) * 3 + 1] < 110
              and pixels[(y * width + x) * 3 + 2] < 110]
        if not xs:
            in_line = False
            continue
        if in_line:
            top, _, left, right = lines[-1]
            lines[-1] = (top, y, min(left, xs[0]), max(right, xs[-1]))
        else:
            lines.append((y, y, xs[0], xs[-1]))
        in_line = True
    return lines


class MainWindowAtDpi(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.prefix = Prefix.copy_of_template()
        cls.shots = os.path.join(ENV["RORA_TEST_ENV"], "screenshots", "main_window")
        shutil.rmtree(cls.shots, ignore_errors=True)
        os.makedirs(cls.shots)

    @classmethod
    def tearDownClass(cls):
        cls.prefix.destroy()

    def set_dpi(self, dpi):
        self.prefix.wine(["reg", "add", DESKTOP_KEY, "/v", "LogPixels", "/t", "REG_DWORD", "/d", str(dpi), "/f"])

    def fail_the_download(self):
        """A later run whose download link points where nothing listens: a failure at once."""
        self.prefix.reg_add(PRODUCT_KEY, "XYZID", "known")
        self.prefix.reg_add(INSTALLATION_KEY, "QaInstallerDownloadLink", "http://127.0.0.1:%d/x.exe" % unused_port())
        self.addCleanup(self.prefix.reset_product_key)

    def start_bootstrapper(self, *args):
        process = self.prefix.start([BOOTSTRAPPER] + list(args))

        def stop():
            if process.poll() is None:
                process.kill()
            process.wait(10)
            process.stdout.close()
            process.stderr.close()
        self.addCleanup(stop)
        return process

    def test_layout_in_process_at_each_dpi(self):
        for dpi in (96, 120, 144):
            with self.subTest(dpi=dpi):
                self.set_dpi(dpi)
                shots = os.path.join(self.shots, "in-process-%d" % dpi)
                result = self.prefix.wine(
                    [WINDOW_TEST, "--gtest_filter=MainWindowLayout.*"], timeout=120, check=False,
                    extra_env={"RORA_EXPECT_DPI": str(dpi), "RORA_SCREENSHOT_DIR": windows_path(shots)})
                out = result.stdout.decode("utf-8", "replace")
                self.assertEqual(result.returncode, 0, out)
                self.assertIn("[       OK ] MainWindowLayout.SizePositionAndBarFollowTheDpi", out)

    def test_failure_shown_until_closed_at_each_dpi(self):
        self.fail_the_download()
        for dpi in (96, 120, 144):
            with self.subTest(dpi=dpi):
                self.set_dpi(dpi)
                process = self.start_bootstrapper()
                window = find_window()
                self.assertIsNotNone(window, "no window")

                x, y, width, height = geometry(window)
                self.assertEqual((width, height), SIZES[dpi])
                # Centred on the 1920 x 1080 screen of the test display (no taskbar).
                self.assertEqual((x, y), ((1920 - width) // 2, (1080 - height) // 2))

                # The window paints shortly after it appears.
                lines = []
                png = os.path.join(self.shots, "failure-%d.png" % dpi)
                for _ in range(20):
                    w, h, pixels = screenshot(x, y, width, height, png)
                    lines = red_lines(w, h, pixels)
                    if len(lines) >= 3:
                        break
                    time.sleep(0.25)
                # The headline's two lines and the failure's text, centred.
                self.assertGreaterEqual(len(lines), 3, "red text lines in %s" % png)
                for top, bottom, left, right in lines:
                    self.assertAlmostEqual((left + right) / 2, width / 2, delta=4)
                self.assertIsNone(process.poll(), "the window must wait for the user")

                xdotool("key", "--window", window, "alt+F4")
                self.assertEqual(process.wait(30), 1)

    def test_quiet_failure_ends_with_exit_code_1(self):
        self.fail_the_download()
        process = self.start_bootstrapper("/quiet")
        self.assertEqual(process.wait(30), 1)
        self.assertIsNone(find_window(timeout=0.5), "a quiet run shows no window")


if __name__ == "__main__":
    unittest.main()
