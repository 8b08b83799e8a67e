"""Local servers of the benchmarks, on 127.0.0.1 only.

  /files/NAME       the file NAME of the served folder (GET, HEAD), sent with sendfile so that
                    the server is never what limits a download
  /api/parameter-storage?id=ID
                    the parameter service's answer, naming /slow/installer.exe as the installer
  /slow/NAME        HEAD answers a length at once; GET sends the headers and then a trickle of
                    bytes, so that a program stays in its download for as long as the
                    benchmark looks at its window

Usage: server.py FOLDER PORT_FILE   (writes the chosen port to PORT_FILE once it listens)
"""

import http.server
import json
import os
import socketserver
import sys
import time
import urllib.parse

SLOW_LENGTH = 64 * 1024 * 1024
TRICKLE_BYTES = 1024
TRICKLE_PAUSE = 0.05
TRICKLE_LIMIT = 120.0  # seconds; a client that never hangs up cannot keep a thread for ever


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    folder = "."

    def log_message(self, format, *args):
        pass

    def do_HEAD(self):
        self.route(send_body=False)

    def do_GET(self):
        self.route(send_body=True)

    def route(self, send_body):
        url = urllib.parse.urlsplit(self.path)
        if url.path.startswith("/files/"):
            self.send_file(url.path[len("/files/"):], send_body)
        elif url.path == "/api/parameter-storage":
            host = "http://127.0.0.1:%d" % self.server.server_address[1]
            body = json.dumps({"installer_url": host + "/slow/installer.exe",
                               "msi_url": host + "/slow/installer.msi"}).encode()
            self.send_bytes(body, "application/json", send_body)
        elif url.path.startswith("/slow/"):
            self.send_trickle(send_body)
        else:
            self.send_bytes(b"not found", "text/plain", send_body, status=404)

    def send_bytes(self, body, content_type, send_body, status=200):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if send_body:
            self.wfile.write(body)

    def send_file(self, name, send_body):
        path = os.path.join(self.folder, os.path.basename(name))
        try:
            source = open(path, "rb")
        except OSError:
            self.send_bytes(b"not found", "text/plain", send_body, status=404)
            return
        with source:
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(os.fstat(source.fileno()).st_size))
            self.end_headers()
            if send_body:
                self.connection.sendfile(source)

    def send_trickle(self, send_body):
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(SLOW_LENGTH))
        self.end_headers()
        if not send_body:
            return
        self.close_connection = True
        chunk = b"\0" * TRICKLE_BYTES
        deadline = time.monotonic() + TRICKLE_LIMIT
        try:
            while time.monotonic() < deadline:
                self.wfile.write(chunk)
                time.sleep(TRICKLE_PAUSE)
        except OSError:
            pass


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    Handler.folder = sys.argv[1]
    server = Server(("127.0.0.1", 0), Handler)
    port_file = sys.argv[2]
    with open(port_file + ".tmp", "w") as f:
        f.write(str(server.server_address[1]))
    os.replace(port_file + ".tmp", port_file)
    server.serve_forever()


if __name__ == "__main__":
    main()
