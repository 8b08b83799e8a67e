"""Helpers for tests that drive the real executable under Wine: the run's environment, Wine
commands with time limits, the registry as another program sees it, and private prefixes."""

import os
import shlex
import shutil
import struct
import subprocess
import tempfile
import time
import unittest

PROXY_VARIABLES = ("http_proxy", "https_proxy", "no_proxy", "all_proxy",
                   "HTTP_PROXY", "HTTPS_PROXY", "NO_PROXY", "ALL_PROXY")


def load_env():
    """The exports of $RORA_TEST_ENV/env as a dict."""
    path = os.path.join(os.environ["RORA_TEST_ENV"], "env")
    result = {}
    with open(path) as f:
        for line in f:
            line = line.strip()
            if line.startswith("export "):
                name, _, value = line[len("export "):].partition("=")
                parts = shlex.split(value)
                result[name] = parts[0] if parts else ""
    return result


ENV = load_env()

# The product's names as the build derived them (product.cmake, through product.env).
PRODUCT = ENV["RORA_PRODUCT_FULL_NAME"]
PRODUCT_KEY = "HKLM\\SOFTWARE\\" + PRODUCT
INSTALLATION_KEY = PRODUCT_KEY + r"\Installation"
MUTEX_NAME = ENV["RORA_MUTEX_NAME"]
INSTALLER_NAME = ENV["RORA_INSTALLER_FILE_NAME"]


CONNECTIONS_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections"


def connection_settings(flags, proxy="", bypass="", script=""):
    """DefaultConnectionSettings as the Internet options write it and WinHTTP reads it: version,
    counter, flags (1 direct, 2 manual proxy, 4 script, 8 auto-detect), then three counted
    strings (proxy list, bypass list, script URL) and 32 zero bytes; as hex for `reg add`."""
    blob = struct.pack("<III", 0x46, 1, flags)
    for text in (proxy, bypass, script):
        data = text.encode("ascii")
        blob += struct.pack("<I", len(data)) + data
    return (blob + b"\0" * 32).hex()


def windows_path(linux_path):
    """A Linux path as a Windows program under Wine sees it (drive Z:)."""
    return "Z:" + os.path.abspath(linux_path).replace("/", "\\")


class Prefix:
    """A Wine prefix: the run's shared one, or a private copy of the template."""

    def __init__(self, path, private=False):
        self.path = path
        self.private = private

    @classmethod
    def shared(cls):
        return cls(ENV["WINEPREFIX"])

    @classmethod
    def copy_of_template(cls):
        root = os.path.join(ENV["RORA_TEST_ENV"], "prefixes")
        os.makedirs(root, exist_ok=True)
        path = tempfile.mkdtemp(prefix="p", dir=root)
        os.rmdir(path)
        subprocess.run(["cp", "-a", ENV["RORA_TEMPLATE_PREFIX"], path], check=True, timeout=120)
        prefix = cls(path, private=True)
        prefix.start_server()
        return prefix

    def start_server(self):
        """A persistent wineserver with Wine's services already running."""
        subprocess.run(["wineserver", "-p"], env=self.env(), check=True, timeout=30,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       start_new_session=True)
        self.wine(["cmd", "/c", "exit", "0"], timeout=120)

    def env(self, extra=None):
        env = dict(os.environ)
        for name in PROXY_VARIABLES:
            env.pop(name, None)
        env.update({k: v for k, v in ENV.items()})
        env["WINEPREFIX"] = self.path
        if extra:
            env.update(extra)
        return env

    def wine(self, args, timeout=60, extra_env=None, check=True, cwd=None):
        # Output goes to files, not pipes: a program this one starts (the installer) inherits
        # them and would keep a pipe open after this one has ended.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            result = subprocess.run(["timeout", "-k", "5", str(timeout), "wine"] + list(args),
                                    env=self.env(extra_env), stdin=subprocess.DEVNULL,
                                    stdout=out, stderr=err, timeout=timeout + 15, cwd=cwd)
            out.seek(0)
            err.seek(0)
            result.stdout = out.read()
            result.stderr = err.read()
        if check and result.returncode != 0:
            raise AssertionError("wine %s failed with %d: %s" % (args, result.returncode, result.stderr[-2000:]))
        return result

    def start(self, args, extra_env=None):
        """Starts a Windows program and returns the Popen; the caller waits for it."""
        return subprocess.Popen(["wine"] + list(args), env=self.env(extra_env), stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True)

    def drive_c(self, *parts):
        return os.path.join(self.path, "drive_c", *parts)

    def linux_path(self, windows):
        """Where a C: path lies on Linux; names are matched without regard to case, as Windows does."""
        path = self.drive_c()
        for part in windows[len("C:\\"):].split("\\"):
            names = {n.lower(): n for n in os.listdir(path)} if os.path.isdir(path) else {}
            path = os.path.join(path, names.get(part.lower(), part))
        return path

    def system_temp(self):
        """The Windows directory's Temp: where an elevated run, as every run under Wine is, makes
        its folders."""
        return self.drive_c("windows", "temp")

    # Registry, as another program sees it: always the 64-bit view unless told otherwise.
    def reg_add(self, key, name, value, kind="REG_SZ", view=64):
        self.wine(["reg", "add", key, "/v", name, "/t", kind, "/d", str(value), "/f", "/reg:%d" % view])

    def reg_delete_key(self, key, view=64):
        self.wine(["reg", "delete", key, "/f", "/reg:%d" % view], check=False)

    def reg_query(self, key, name, view=64):
        """(type, data) of a value, or None when it is absent."""
        result = self.wine(["reg", "query", key, "/v", name, "/reg:%d" % view], check=False)
        if result.returncode != 0:
            return None
        for line in result.stdout.decode("utf-8", "replace").splitlines():
            fields = line.strip().split(None, 2)
            if len(fields) >= 2 and fields[0] == name.split()[0] and " ".join(fields[:len(name.split())]) == name:
                rest = line.strip()[len(name):].strip().split(None, 1)
                kind = rest[0]
                data = rest[1] if len(rest) > 1 else ""
                return kind, data
        return None

    def reset_product_key(self):
        for view in (64, 32):
            self.reg_delete_key(PRODUCT_KEY, view)

    def kill(self):
        subprocess.run(["wineserver", "-k"], env=self.env(), timeout=30, check=False,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def wait_idle(self, timeout=30):
        """Waits until every Windows process of this prefix has ended (services aside)."""
        deadline = time.time() + timeout
        while time.time() < deadline:
            if not self.user_processes():
                return True
            time.sleep(0.2)
        return False

    def user_processes(self):
        """Command lines of this prefix's installer and bootstrapper processes."""
        exe = os.path.basename(ENV["RORA_BOOTSTRAPPER"]).lower()
        marker = ("WINEPREFIX=" + self.path).encode()
        found = []
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open("/proc/%s/cmdline" % pid, "rb") as f:
                    args = f.read().replace(b"\0", b" ").decode("utf-8", "replace")
                low = args.lower()
                if not (exe in low or "fake_installer" in low or INSTALLER_NAME.lower() in low):
                    continue
                with open("/proc/%s/environ" % pid, "rb") as f:
                    if marker not in f.read().split(b"\0"):
                        continue
                found.append(args)
            except OSError:
                continue
        return found

    def destroy(self):
        if self.private:
            self.kill()
            shutil.rmtree(self.path, ignore_errors=True)


class PrivatePrefixTestCase(unittest.TestCase):
    """Base class: one private copy of the template prefix for the whole test class."""

    @classmethod
    def setUpClass(cls):
        cls.prefix = Prefix.copy_of_template()

    @classmethod
    def tearDownClass(cls):
        cls.prefix.destroy()


class WineTestCase(unittest.TestCase):
    """Base class: the shared prefix, or the class's `own_prefix` when it has one, with a clean
    product key before and after each test."""

    own_prefix = None

    def setUp(self):
        self.prefix = self.own_prefix or Prefix.shared()
        self.prefix.reset_product_key()
        self.addCleanup(self.prefix.reset_product_key)
        self.work = tempfile.mkdtemp(prefix="e2e", dir=ENV["RORA_TEST_ENV"])
        self.addCleanup(shutil.rmtree, self.work, True)


# The main window as a user meets it on the X display.
WINDOW_TITLE = ENV["RORA_WINDOW_TITLE"]


def _x(args, timeout=10):
    env = dict(os.environ)
    env["DISPLAY"] = ENV["DISPLAY"]
    return subprocess.run(args, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=timeout)


def find_window(timeout=30):
    """The X id of the visible main window, or None when none appears in time."""
    deadline = time.time() + timeout
    while time.time() < deadline:
        result = _x(["xdotool", "search", "--onlyvisible", "--name", "^%s$" % WINDOW_TITLE])
        ids = result.stdout.split()
        if ids:
            return ids[-1]
        time.sleep(0.2)
    return None


def close_window(window_id):
    """Closes the window as a user would, with Alt+F4."""
    _x(["xdotool", "key", "--window", window_id, "alt+F4"])


def screenshot(window_id, path):
    """A PNG of the window as it is on the screen."""
    geometry = _x(["xdotool", "getwindowgeometry", "--shell", window_id]).stdout
    values = dict(line.split("=", 1) for line in geometry.split() if "=" in line)
    crop = "%sx%s+%s+%s" % (values["WIDTH"], values["HEIGHT"], values["X"], values["Y"])
    _x(["import", "-window", "root", "-crop", crop, "+repage", path], timeout=30)
    return path


def read_text(png_path, red=False):
    """The text of a screenshot, by OCR, with runs of white space made single blanks. `red` reads
    the red channel alone: grey makes red text on black too dark for OCR, not for the eye."""
    big = png_path + ".x3.png"
    grey = ["-channel", "R", "-separate", "-negate"] if red else ["-colorspace", "Gray"]
    subprocess.run(["convert", png_path, "-resize", "300%"] + grey + [big], check=True, timeout=60)
    result = subprocess.run(["tesseract", big, "-", "--psm", "6"], stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, text=True, timeout=60)
    return " ".join(result.stdout.split())


def pixel_count(png_path, rgb):
    """How many pixels have exactly the colour `rgb`, e.g. "255,0,0"."""
    colour = "rgb(%s)" % rgb
    result = subprocess.run(["convert", png_path, "-fill", "black", "+opaque", colour,
                             "-fill", "white", "-opaque", colour, "-format", "%[fx:mean*w*h]", "info:"],
                            stdout=subprocess.PIPE, text=True, timeout=60)
    return int(float(result.stdout.strip() or 0))


def red_pixel_count(png_path):
    """How many pixels are pure red, RGB(255, 0, 0), the colour of failure texts."""
    return pixel_count(png_path, "255,0,0")
