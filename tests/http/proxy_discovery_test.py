"""Proxy discovery through Wine's real WinHTTP, with the user's proxy settings written into a
private prefix. The proxy cache lasts as long as the process, so every case runs proxy_probe.exe anew:
  proxy_probe proxies URL...  prints one line per URL ("host:port ..." or "-")
  proxy_probe get URL         performs a GET with the discovered proxies: "status=N bytes=M"
"""

import json
import os
import time
import unittest

from wine_env import CONNECTIONS_KEY as CONNECTIONS, ENV, PRODUCT_KEY, PrivatePrefixTestCase, connection_settings

SETTINGS_KEY = PRODUCT_KEY + r"\settings"
PROBE = os.environ["RORA_PROXY_PROBE"]
HTTP = "http://127.0.0.1:%s" % ENV["RORA_HTTP_PORT"]

# DefaultConnectionSettings flags
DIRECT, MANUAL, SCRIPT, DETECT = 1, 2, 4, 8


def requests_with(token):
    with open(ENV["RORA_HTTP_LOG"], encoding="utf-8") as log:
        entries = [json.loads(line) for line in log if token in line]
    return [e for e in entries if token in e["path"]]


class ProxyDiscoveryTest(PrivatePrefixTestCase):
    def setUp(self):
        self.prefix.reg_delete_key(SETTINGS_KEY)

    def configure(self, flags=None, proxy="", script="", bypass=""):
        """The user's proxy settings; None removes them (WinHTTP then auto-detects)."""
        if flags is None:
            self.prefix.wine(["reg", "delete", CONNECTIONS, "/v", "DefaultConnectionSettings", "/f"], check=False)
        else:
            self.prefix.wine(["reg", "add", CONNECTIONS, "/v", "DefaultConnectionSettings", "/t", "REG_BINARY",
                              "/d", connection_settings(flags, proxy, bypass=bypass, script=script), "/f"])

    def set_verify_peer(self, value):
        self.prefix.reg_add(SETTINGS_KEY, "verify peer", value, "REG_DWORD")

    def probe(self, *args, extra_env=None):
        result = self.prefix.wine([PROBE] + list(args), timeout=90, check=False, extra_env=extra_env)
        output = result.stdout.decode("utf-8", "replace").replace("\r", "").splitlines()
        self.assertEqual(result.returncode, 0, "probe %s: %s %s" % (args, output, result.stderr[-500:]))
        return output

    def pac(self, token, proxy):
        return "%s/pac/%s?proxy=%s" % (HTTP, token, proxy)

    def test_manual_list_items_apply_to_their_scheme_unless_the_host_is_bypassed(self):
        self.configure(DIRECT | MANUAL, proxy="http=a.invalid:80;HTTPS=b.invalid:443", bypass="<local>; *.near.invalid")
        self.assertEqual(self.probe("proxies", "https://x.invalid/", "http://y.invalid/", "y.invalid/setup.exe",
                                    "https://intranet/", "https://a.near.invalid/", "http://127.0.0.1/"),
                         ["b.invalid:443", "a.invalid:80", "a.invalid:80", "-", "-", "a.invalid:80"])

        self.configure(DIRECT | MANUAL, proxy="p1:3128; p2:81 https://p3:8443 p4:abc socks=s:1080 p5 u:pw@[::1]:3 p6:0")
        self.assertEqual(self.probe("proxies", "https://x.invalid/"), ["p1:3128 p2:81 p3:8443 p4:-1 p5:-1 [::1]:3"])

    def test_script_results_come_before_the_manual_list(self):
        token = "pac-order-%d" % time.time_ns()
        self.configure(DIRECT | MANUAL | SCRIPT, proxy="m.invalid:3128", script=self.pac(token, "s.invalid:8080"))
        self.assertEqual(self.probe("proxies", "https://x.invalid/"), ["s.invalid:8080 m.invalid:3128"])
        self.assertEqual(len(requests_with(token)), 1)

    def test_verify_peer_switches_discovery_off(self):
        token = "pac-verify-%d" % time.time_ns()
        self.configure(DIRECT | MANUAL | SCRIPT, proxy="m.invalid:3128", script=self.pac(token, "s.invalid:8080"))
        self.set_verify_peer(1)
        self.assertEqual(self.probe("proxies", "https://x.invalid/", "http://y.invalid/"), ["-", "-"])
        self.assertEqual(requests_with(token), [], "WinHTTP fetched the script")
        self.set_verify_peer(0)
        self.assertEqual(self.probe("proxies", "https://x.invalid/"), ["s.invalid:8080 m.invalid:3128"])
        self.assertEqual(len(requests_with(token)), 1)

    def test_each_scheme_host_and_port_gets_its_own_answer(self):
        token = "pac-direct-%d" % time.time_ns()
        script = self.pac(token, "s.invalid:8080") + "&direct=first.invalid"
        self.configure(DIRECT | SCRIPT, script=script)
        self.assertEqual(self.probe("proxies", "https://first.invalid/", "https://FIRST.invalid:443/x",
                                    "https://second.invalid/", "https://first.invalid/", "http://first.invalid/",
                                    "https://second.invalid:8443/"),
                         ["-", "-", "s.invalid:8080", "-", "-", "s.invalid:8080"])

    def test_auto_detection_fails_fast_and_the_other_sources_still_count(self):
        self.configure(None)
        start = time.monotonic()
        self.assertEqual(self.probe("proxies", "https://x.invalid/", "https://x.invalid/", "http://y.invalid/"),
                         ["-", "-", "-"])
        self.assertLess(time.monotonic() - start, 15)
        self.configure(DIRECT | MANUAL | DETECT, proxy="m.invalid:3128")
        self.assertEqual(self.probe("proxies", "https://x.invalid/"), ["m.invalid:3128"])

    def test_transfers_go_through_the_discovered_proxies_in_order(self):
        token = "via-%d" % time.time_ns()
        self.configure(DIRECT | MANUAL,
                       proxy="127.0.0.1:%s 127.0.0.1:%s" % (ENV["RORA_DEAD_PORT"], ENV["RORA_PROXY_PORT"]))
        self.assertEqual(self.probe("get", "%s/bytes/100/%s" % (HTTP, token)), ["status=200 bytes=100"])
        seen = requests_with(token)
        self.assertEqual(len(seen), 1)
        self.assertIn("tinyproxy", dict(seen[0]["headers"]).get("Via", ""))

        # With discovery off the same settings are ignored: the request goes out directly, and
        # libcurl's proxy variables do not reach it either.
        self.set_verify_peer(1)
        token = "direct-%d" % time.time_ns()
        self.assertEqual(self.probe("get", "%s/bytes/100/%s" % (HTTP, token),
                                    extra_env={"http_proxy": "http://127.0.0.1:%s" % ENV["RORA_PROXY_PORT"]}),
                         ["status=200 bytes=100"])
        seen = requests_with(token)
        self.assertEqual(len(seen), 1)
        self.assertNotIn("Via", dict(seen[0]["headers"]))


if __name__ == "__main__":
    unittest.main()
