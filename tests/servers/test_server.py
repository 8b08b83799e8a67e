#!/usr/bin/env python3
"""A scriptable HTTP and HTTPS server on 127.0.0.1 for the tests.

The URL path chooses the answer:
  /bytes/N[?type=T|none]     N bytes of the test pattern (byte i is i % 251), with a length
  /nolength/N                N pattern bytes without a length or content type, then close
  /gzip/N                    N bytes of text, sent gzip-encoded
  /status/CODE[?body=TEXT]   that status, with TEXT as a plain-text body
  /redirect?to=URL[&code=C]  a redirect (302 unless C) to URL
  /drop/N?after=M            announces N bytes, sends M of them and drops the connection
  /flaky/KEY/N[?pieces=P]    the first request for KEY drops after N/2 bytes, later ones get N;
                             in P pieces of N/P bytes 20 ms apart
  /stall[?after=M&seconds=S] announces M+1000 bytes, sends M and then nothing for S seconds
  /stall-headers[?seconds=S] accepts the request and answers nothing for S seconds
  /drip[?interval=I]         announces 100000 bytes and sends one every I seconds
  /paced/N?pieces=P          N pattern bytes with a length, in P pieces 20 ms apart
  /signed/NAME[?pieces=P&length=none]  the signed test installer NAME (tests/servers/start-signing.sh),
                             in P pieces 20 ms apart (default 1), with its length unless length=none
  /length/N                  headers only, announcing N bytes (for HEAD requests)
  /rawheaders                a fixed set of unusual header lines
  /echo                      200 with "got N" for a request body of N bytes
  /timestamp/NAME            an RFC 3161 time-stamp authority: the answer to the query in the body,
                             signed by the time-stamping certificate NAME (start-signing.sh), with
                             the certificates of NAME.chain where that exists
  /pac/...?proxy=P[&direct=H]  a proxy auto-configuration script answering "PROXY P" (P = DIRECT:
                             "DIRECT") for every URL, but "DIRECT" for the host H
  anything else              404 with "not found"
Used as a proxy (a request for an absolute URL, or CONNECT), the server answers every request
with 407 and a page: a proxy whose authentication never succeeds.
Every request is appended, before the answer, as one JSON line (method, path, headers in the
order received, body) to the log file.

  test_server.py --log FILE --ports FILE [--tls NAME CERT KEY]...
--ports receives one JSON object naming each listener's port once all are listening.
"""

import argparse
import gzip
import http.server
import json
import os
import socket
import ssl
import subprocess
import threading
import time
import urllib.parse

log_lock = threading.Lock()
flaky_lock = threading.Lock()
flaky_seen = set()
timestamp_lock = threading.Lock()


def pattern(n):
    return (bytes(range(251)) * (n // 251 + 1))[:n]


def text_pattern(n):
    line = b"The quick brown fox jumps over the lazy dog.\n"
    return (line * (n // len(line) + 1))[:n]


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "RoraTestServer/1.0"
    log_path = None
    timeout = 150  # no connection keeps a thread for ever

    def setup(self):
        super().setup()
        if isinstance(self.connection, ssl.SSLSocket):
            self.connection.do_handshake()

    def log_message(self, fmt, *args):  # quiet
        pass

    def _record(self, body):
        entry = {
            "method": self.command,
            "path": self.path,
            "headers": [[k, v] for k, v in self.headers.items()],
            "body": body.decode("latin-1"),
            "tls": isinstance(self.connection, ssl.SSLSocket),
        }
        with log_lock, open(self.log_path, "a", encoding="utf-8") as log:
            log.write(json.dumps(entry) + "\n")

    def _read_body(self):
        length = self.headers.get("Content-Length")
        if length is not None:
            return self.rfile.read(int(length))
        if "chunked" in self.headers.get("Transfer-Encoding", "").lower():
            body = b""
            while True:
                size = int(self.rfile.readline().split(b";")[0], 16)
                if size == 0:
                    self.rfile.readline()
                    return body
                body += self.rfile.read(size)
                self.rfile.readline()
        return b""

    def _send(self, status, body=b"", content_type="application/octet-stream", extra=(), length=None):
        self.send_response(status)
        if content_type:
            self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body) if length is None else length))
        for name, value in extra:
            self.send_header(name, value)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def _drop(self):
        self.wfile.flush()
        try:
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.close_connection = True

    def handle_one(self):
        body = self._read_body()
        self._record(body)
        url = urllib.parse.urlsplit(self.path)
        query = dict(urllib.parse.parse_qsl(url.query))
        parts = [p for p in url.path.split("/") if p]
        head = parts[0] if parts else ""
        arg = parts[1] if len(parts) > 1 else ""

        if self.command == "CONNECT" or url.scheme:
            self._send(407, b"<html><body>Proxy authentication required</body></html>", "text/html",
                       extra=[("Proxy-Authenticate", 'Basic realm="rora-test"')])
        elif head == "bytes":
            kind = query.get("type", "application/octet-stream")
            self._send(200, pattern(int(arg)), None if kind == "none" else kind)
        elif head == "paced":
            n, pieces = int(arg), max(1, int(query.get("pieces", "10")))
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(n))
            self.end_headers()
            if self.command != "HEAD":
                body = pattern(n)
                step = (n + pieces - 1) // pieces
                for start in range(0, n, step):
                    self.wfile.write(body[start:start + step])
                    self.wfile.flush()
                    time.sleep(0.02)
        elif head == "signed":
            # Made by start-signing.sh, which runs after this server has started.
            folder = os.path.join(os.environ["RORA_TEST_ENV"], "signing", "installers")
            path = os.path.join(folder, os.path.basename(arg))
            if not os.path.isfile(path):
                self._send(404, b"no such installer", "text/plain")
                return
            with open(path, "rb") as f:
                body = f.read()
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            if query.get("length") == "none":
                self.send_header("Connection", "close")
                self.close_connection = True
            else:
                self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            if self.command != "HEAD":
                pieces = max(1, int(query.get("pieces", "1")))
                step = (len(body) + pieces - 1) // pieces
                for start in range(0, len(body), step):
                    self.wfile.write(body[start:start + step])
                    self.wfile.flush()
                    if pieces > 1:
                        time.sleep(0.02)
        elif head == "nolength":
            self.send_response(200)
            self.send_header("Connection", "close")
            self.end_headers()
            if self.command != "HEAD":
                self.wfile.write(pattern(int(arg)))
            self.close_connection = True
        elif head == "gzip":
            self._send(200, gzip.compress(text_pattern(int(arg))), "text/plain",
                       extra=[("Content-Encoding", "gzip")])
        elif head == "status":
            self._send(int(arg), query.get("body", "").encode(), "text/plain")
        elif head == "redirect":
            self._send(int(query.get("code", "302")), b"moved", "text/plain",
                       extra=[("Location", query["to"])])
        elif head == "drop":
            n, after = int(arg), int(query.get("after", "0"))
            self.send_response(200)
            self.send_header("Content-Length", str(n))
            self.end_headers()
            if self.command == "HEAD":
                return
            self.wfile.write(pattern(n)[:after])
            self._drop()
        elif head == "flaky":
            n = int(parts[2])
            with flaky_lock:
                first = arg not in flaky_seen and self.command != "HEAD"
                if self.command != "HEAD":
                    flaky_seen.add(arg)
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(n))
            self.end_headers()
            if self.command == "HEAD":
                return
            body = pattern(n)[: n // 2] if first else pattern(n)
            pieces = max(1, int(query.get("pieces", "1")))
            step = (n + pieces - 1) // pieces
            for start in range(0, len(body), step):
                self.wfile.write(body[start:start + step])
                self.wfile.flush()
                if pieces > 1:
                    time.sleep(0.02)
            if first:
                self._drop()
        elif head == "stall":
            after = int(query.get("after", "0"))
            self.send_response(200)
            self.send_header("Content-Length", str(after + 1000))
            self.end_headers()
            if self.command == "HEAD":
                return
            self.wfile.write(pattern(after))
            self.wfile.flush()
            time.sleep(float(query.get("seconds", "60")))
            self._drop()
        elif head == "stall-headers":
            time.sleep(float(query.get("seconds", "60")))
            self._drop()
        elif head == "drip":
            interval = float(query.get("interval", "0.5"))
            self.send_response(200)
            self.send_header("Content-Length", "100000")
            self.end_headers()
            if self.command == "HEAD":
                return
            try:
                for _ in range(int(120 / interval)):
                    self.wfile.write(b"x")
                    self.wfile.flush()
                    time.sleep(interval)
            except OSError:
                pass
            self._drop()
        elif head == "length":
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", arg)
            self.end_headers()
            if self.command != "HEAD":
                self._drop()
        elif head == "rawheaders":
            self.wfile.write(
                b"HTTP/1.1 200 OK\r\n"
                b"X-A:12\r\n"
                b"X-Spaced: \t spaced value  \r\n"
                b"X-Dup: first\r\n"
                b"X-Dup: second\r\n"
                b"X-Empty:\r\n"
                b"X-Lf: bare line feed\n"
                b"X-Colons: a: b: c\r\n"
                b"Content-Length: 2\r\n"
                b"\r\n"
                b"ok")
        elif head == "pac":
            proxy = query.get("proxy", "DIRECT")
            answer = "DIRECT" if proxy == "DIRECT" else "PROXY " + proxy
            script = ('function FindProxyForURL(url, host) { if (host == "%s") return "DIRECT"; return "%s"; }\n'
                      % (query.get("direct", ""), answer))
            self._send(200, script.encode(), "application/x-ns-proxy-autoconfig")
        elif head == "echo":
            self._send(200, b"got %d" % len(body), "text/plain")
        elif head == "timestamp":
            folder = os.path.join(os.environ["RORA_TEST_ENV"], "signing")
            signer = os.path.join(folder, os.path.basename(arg))
            # NAME.chain, where it exists, holds further certificates the token carries.
            chain = ["-chain", signer + ".chain"] if os.path.exists(signer + ".chain") else []
            with timestamp_lock:  # one at a time: openssl counts the serial numbers in a file
                reply = subprocess.run(["openssl", "ts", "-reply", "-config", os.path.join(folder, "tsa.cnf"),
                                        "-queryfile", "/dev/stdin", "-inkey", signer + ".key", "-signer",
                                        signer + ".crt", "-out", "/dev/stdout"] + chain,
                                       input=body, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=30)
            if reply.returncode == 0:
                self._send(200, reply.stdout, "application/timestamp-reply")
            else:
                self._send(500, b"no time stamp", "text/plain")
        else:
            self._send(404, b"not found", "text/plain")

    do_GET = do_HEAD = do_POST = do_PUT = do_DELETE = do_CONNECT = handle_one


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, context):
        super().__init__(("127.0.0.1", 0), Handler)
        self.context = context

    def get_request(self):
        sock, address = super().get_request()
        if self.context:
            # The handshake runs in the request's thread, so a silent client blocks nobody.
            sock = self.context.wrap_socket(sock, server_side=True, do_handshake_on_connect=False)
        return sock, address

    def handle_error(self, request, client_address):
        pass


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--log", required=True)
    parser.add_argument("--ports", required=True)
    parser.add_argument("--tls", nargs=3, action="append", default=[], metavar=("NAME", "CERT", "KEY"),
                        help="an HTTPS listener named NAME with that certificate chain and key")
    args = parser.parse_args()
    Handler.log_path = args.log
    open(args.log, "a").close()

    servers = {"http": Server(None)}
    for name, cert, key in args.tls:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        servers[name] = Server(context)
    for server in servers.values():
        threading.Thread(target=server.serve_forever, daemon=True).start()

    ports = {name: server.server_address[1] for name, server in servers.items()}
    temporary = args.ports + ".tmp"
    with open(temporary, "w") as out:
        json.dump(ports, out)
    os.replace(temporary, args.ports)
    threading.Event().wait()


if __name__ == "__main__":
    main()
