#!/usr/bin/env python3
"""Local servers for the demo: a parameter-storage service that names the installer link, and a
download server that serves the demo installer (signed, a few MiB) slowly enough to watch the
progress bar.
  demo_servers.py INSTALLER_EXE PORT_FILE   (runs until killed)"""

import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from servers import Route, Server  # noqa: E402


def main():
    installer, port_file = sys.argv[1], sys.argv[2]
    with open(installer, "rb") as f:
        body = f.read()
    files = Server()
    # The built-in link's path (product.env, exported by demo.sh), on the local server.
    path = os.environ["RORA_DOWNLOAD_PATH"]
    files.route(path, Route(body, chunk=64 * 1024, delay=0.04))
    service = Server()
    service.json("/api/parameter-storage", {
        "installer_url": files.url(path),
        "msi_url": files.url(os.path.splitext(path)[0] + ".msi"),
        "campaign": "demo", "channel": "stable"})
    with open(port_file + ".tmp", "w") as f:
        f.write("%d\n" % service.port)
    os.rename(port_file + ".tmp", port_file)
    while True:
        time.sleep(3600)


if __name__ == "__main__":
    main()
