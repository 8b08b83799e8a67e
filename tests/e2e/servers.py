"""In-process HTTP servers on 127.0.0.1 for end-to-end runs: a parameter-storage service and an
installer download server, each with routes a test sets and a record of the requests it got."""

import http.server
import json
import socket
import threading
import time


class Route:
    """What one path answers. `body` is bytes; `chunk`/`delay` pace the body; `drop_after`
    closes the connection after that many body bytes; `length` overrides the announced
    Content-Length (None: the body's, False: none); `head_length` and `head_status` do so for HEAD
    only; `stall` waits before the headers, `stall_body` after that many body bytes (`stall_for` s)."""

    def __init__(self, body=b"", status=200, content_type="application/octet-stream",
                 chunk=65536, delay=0.0, drop_after=None, length=None, stall=0.0, head_length=None,
                 stall_body=None, stall_for=0.0, head_status=None):
        self.body = body
        self.status = status
        self.head_status = head_status
        self.content_type = content_type
        self.chunk = chunk
        self.delay = delay
        self.drop_after = drop_after
        self.length = length
        self.stall = stall
        self.head_length = head_length
        self.stall_body = stall_body
        self.stall_for = stall_for


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    timeout = 120

    def log_message(self, *args):
        pass

    def _answer(self, with_body):
        server = self.server
        with server.lock:
            server.requests.append({"method": self.command, "path": self.path,
                                    "headers": {k: v for k, v in self.headers.items()}})
            route = server.routes.get(self.path) or server.routes.get(self.path.split("?", 1)[0])
        if route is None:
            route = Route(b"not found", status=404, content_type="text/plain")
        if route.stall:
            time.sleep(route.stall)
        self.send_response(route.head_status if (not with_body and route.head_status) else route.status)
        if route.content_type:
            self.send_header("Content-Type", route.content_type)
        length = route.head_length if (not with_body and route.head_length is not None) else route.length
        if length is not False:
            self.send_header("Content-Length", str(len(route.body) if length is None else length))
        else:
            self.send_header("Connection", "close")
        self.end_headers()
        if not with_body:
            return
        sent = 0
        try:
            while sent < len(route.body):
                if route.stall_body is not None and sent >= route.stall_body and route.stall_for:
                    time.sleep(route.stall_for)
                    route = Route(route.body, chunk=route.chunk, delay=route.delay)
                if route.drop_after is not None and sent >= route.drop_after:
                    self.connection.shutdown(socket.SHUT_RDWR)
                    self.close_connection = True
                    return
                end = min(len(route.body), sent + route.chunk)
                if route.drop_after is not None:
                    end = min(end, route.drop_after) if sent < route.drop_after else end
                self.wfile.write(route.body[sent:end])
                self.wfile.flush()
                sent = end
                if route.delay:
                    time.sleep(route.delay)
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True
        if length is False:
            self.close_connection = True

    def do_GET(self):
        self._answer(True)

    def do_HEAD(self):
        self._answer(False)


class Server:
    def __init__(self):
        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), _Handler)
        self.httpd.daemon_threads = True
        self.httpd.routes = {}
        self.httpd.requests = []
        self.httpd.lock = threading.Lock()
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    @property
    def port(self):
        return self.httpd.server_address[1]

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def route(self, path, route):
        with self.httpd.lock:
            self.httpd.routes[path] = route

    def json(self, path, value, status=200):
        self.route(path, Route(json.dumps(value, ensure_ascii=False).encode("utf-8"), status=status,
                               content_type="application/json"))

    @property
    def requests(self):
        with self.httpd.lock:
            return list(self.httpd.requests)

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()


def unused_port():
    """A port where nothing listens (bound, then released)."""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port
