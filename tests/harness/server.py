#!/usr/bin/python3
"""Scriptable HTTPS download server for the tests (Python 3 standard library only).

    server.py --port 443 --cert server.pem --key server.key
              [--root DIR] [--script FILE] [--log FILE]
              [--pidfile FILE] [--ready-file FILE] [--http-port N] [--stall-accept N]

It listens on 127.0.0.1 only. When it listens, it writes its pid to --pidfile and then
creates --ready-file (callers wait for that file). --http-port adds a plain-HTTP
listener with the same behaviour (a target for redirects). --stall-accept N makes the
first N TLS connections hang before the handshake: the server accepts them and never
sends a byte.

How a request is answered, first match wins:
 1. --script FILE, a JSON object: exact request path (query included) -> list of
    behaviours. The n-th request of that path gets the n-th behaviour; the last one
    repeats for every later request.
 2. A path-encoded scenario: /scenario?KEY=VALUE&KEY=VALUE... with the behaviour keys
    below (numbers as decimal text), e.g. /scenario?size=3000000&rate=1000000.
 3. --root DIR: the file under DIR, status 200 with Content-Length, like a plain static
    server.
 4. Otherwise status 404.

Behaviour keys (all optional):
  status               HTTP status, default 200 (302 when redirect is given)
  body                 inline body, UTF-8 text
  file                 a file to serve, relative to --root (or absolute)
  size                 a generated body of N bytes; byte i is i % 251
  length               "exact" (default): Content-Length of the body;
                       "chunked": chunked transfer encoding, no Content-Length;
                       "close": no Content-Length, the body ends when the connection closes;
                       a number: announce that Content-Length instead of the real one;
                       when it is more than the body, the connection is cut after the body
  cut_after            send only the first N bytes of the body, then cut the connection
                       (a plain TCP close without TLS close_notify)
  stall_before         seconds to wait after reading the request, before any answer
  stall_after_headers  seconds to wait after the headers, before the body
  rate                 bytes per second for the body (default: as fast as possible)
  redirect             URL for a Location header

Request log (--log), one JSON object per line:
  {"method", "path", "user_agent", "status", "behaviour"}   written before the first byte
      of the answer goes out, so a client that has an answer finds its request logged;
  {"done": path, "sent": body bytes sent, "outcome": "complete", "cut" or "client gone"}
      once that answer is finished or abandoned;
  {"tls_error": "..."}   for a TLS handshake that failed.
"""

import argparse
import http.server
import json
import os
import socket
import socketserver
import ssl
import sys
import threading
import time
import urllib.parse

PATTERN_PERIOD = 251
PATTERN = bytes(i % PATTERN_PERIOD for i in range(PATTERN_PERIOD * 262))
SLICE = PATTERN_PERIOD * 261  # 65511 bytes: any slice of it fits in PATTERN at any phase


class Body:
    """The bytes of a response body, read in slices from any offset."""

    def __init__(self, data=None, path=None, size=None):
        self.data, self.path = data, path
        if data is not None:
            self.size = len(data)
        elif path is not None:
            self.size = os.path.getsize(path)
            self.handle = open(path, "rb")
        else:
            self.size = size

    def read(self, offset, count):
        if self.data is not None:
            return self.data[offset:offset + count]
        if self.path is not None:
            self.handle.seek(offset)
            return self.handle.read(count)
        start = offset % PATTERN_PERIOD
        return PATTERN[start:start + min(count, SLICE)]

    def close(self):
        if self.path is not None:
            self.handle.close()


def parse_query_behaviour(query):
    behaviour = {}
    for key, value in urllib.parse.parse_qsl(query, keep_blank_values=True):
        if key in ("status", "size", "cut_after", "rate"):
            behaviour[key] = int(value)
        elif key in ("stall_before", "stall_after_headers"):
            behaviour[key] = float(value)
        elif key == "length":
            behaviour[key] = int(value) if value.isdigit() else value
        else:
            behaviour[key] = value
    return behaviour


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "TestDownloadServer/1.0"

    def log_message(self, *args):
        pass

    def do_GET(self):
        self.answer(send_body=True)

    def do_HEAD(self):
        self.answer(send_body=False)

    def choose(self):
        config = self.server.config
        with config.lock:
            steps = config.script.get(self.path)
            if steps:
                index = config.counts.get(self.path, 0)
                config.counts[self.path] = index + 1
                return dict(steps[min(index, len(steps) - 1)])
        parsed = urllib.parse.urlsplit(self.path)
        if parsed.path == "/scenario":
            return parse_query_behaviour(parsed.query)
        if config.root:
            relative = urllib.parse.unquote(parsed.path).lstrip("/")
            full = os.path.realpath(os.path.join(config.root, relative))
            if full.startswith(os.path.realpath(config.root) + os.sep) and os.path.isfile(full):
                return {"file": full}
        return {"status": 404, "body": "not found\n"}

    def make_body(self, behaviour):
        if "body" in behaviour:
            return Body(data=behaviour["body"].encode("utf-8"))
        if "file" in behaviour:
            path = behaviour["file"]
            if not os.path.isabs(path) and self.server.config.root:
                path = os.path.join(self.server.config.root, path)
            return Body(path=path)
        if "size" in behaviour:
            return Body(size=behaviour["size"])
        return Body(data=b"")

    def answer(self, send_body):
        behaviour = self.choose()
        entry = {"done": self.path, "sent": 0, "outcome": "complete"}
        body = self.make_body(behaviour)
        try:
            self.respond(behaviour, body, entry, send_body)
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError, OSError):
            entry["outcome"] = "client gone"
            self.close_connection = True
        finally:
            body.close()
            self.server.config.write_log(entry)

    def respond(self, behaviour, body, entry, send_body):
        status = behaviour.get("status", 302 if "redirect" in behaviour else 200)
        self.server.config.write_log({
            "method": self.command, "path": self.path,
            "user_agent": self.headers.get("User-Agent"), "status": status,
            "behaviour": behaviour})
        time.sleep(behaviour.get("stall_before", 0))
        length = behaviour.get("length", "exact")
        self.send_response(status)
        if "redirect" in behaviour:
            self.send_header("Location", behaviour["redirect"])
        self.send_header("Content-Type", "application/octet-stream")
        if length == "chunked":
            self.send_header("Transfer-Encoding", "chunked")
        elif length == "close":
            self.send_header("Connection", "close")
            self.close_connection = True
        else:
            self.send_header("Content-Length", str(body.size if length == "exact" else length))
        self.end_headers()
        self.wfile.flush()
        time.sleep(behaviour.get("stall_after_headers", 0))
        if not send_body:
            return

        to_send = body.size
        if "cut_after" in behaviour:
            to_send = min(to_send, behaviour["cut_after"])
        rate = behaviour.get("rate")
        step = max(1, rate // 20) if rate else 1 << 20
        started = time.monotonic()
        while entry["sent"] < to_send:
            data = body.read(entry["sent"], min(step, to_send - entry["sent"]))
            if length == "chunked":
                self.wfile.write(b"%x\r\n%s\r\n" % (len(data), data))
            else:
                self.wfile.write(data)
            entry["sent"] += len(data)
            if rate:
                self.wfile.flush()
                delay = started + entry["sent"] / rate - time.monotonic()
                if delay > 0:
                    time.sleep(delay)

        announced_more = isinstance(length, int) and length > to_send
        if announced_more or ("cut_after" in behaviour and to_send < body.size):
            self.wfile.flush()
            entry["outcome"] = "cut"
            self.cut()
            return
        if length == "chunked":
            self.wfile.write(b"0\r\n\r\n")
        self.wfile.flush()
        if length == "close":
            self.finish_tls()

    def cut(self):
        # A plain TCP close: a TLS close_notify first makes the client wait for more.
        self.close_connection = True
        try:
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def finish_tls(self):
        # The end of a close-delimited body: close_notify, then close without waiting
        # for the client's own close_notify (a blocking unwrap would wait for it).
        self.close_connection = True
        try:
            if isinstance(self.connection, ssl.SSLSocket):
                self.connection.setblocking(False)
                try:
                    self.connection.unwrap()
                except (ssl.SSLWantReadError, ssl.SSLWantWriteError):
                    pass
            self.connection.shutdown(socket.SHUT_RDWR)
        except (OSError, ssl.SSLError, ValueError):
            pass


class Config:
    def __init__(self, root, script, log_path):
        self.root = root
        self.script = script
        self.counts = {}
        self.lock = threading.Lock()
        self.log = open(log_path, "a", buffering=1) if log_path else None

    def write_log(self, entry):
        if self.log:
            with self.lock:
                self.log.write(json.dumps(entry) + "\n")


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64

    def __init__(self, port, config, context=None, stall_accept=0):
        self.config, self.context, self.stall_accept = config, context, stall_accept
        super().__init__(("127.0.0.1", port), Handler)

    def finish_request(self, request, client_address):
        # The handshake runs on the connection's own thread, so a client that stalls it
        # holds up nobody else.
        if self.context:
            with self.config.lock:
                stall = self.stall_accept > 0
                self.stall_accept -= stall
            if stall:
                self.config.write_log({"stalled_connection": client_address[1]})
                time.sleep(3600)
                return
            request.settimeout(120)
            try:
                request = self.context.wrap_socket(request, server_side=True)
            except (ssl.SSLError, OSError) as error:
                self.config.write_log({"tls_error": str(error)})
                return
            request.settimeout(None)
        super().finish_request(request, client_address)

    def shutdown_request(self, request):
        try:
            request.close()
        except OSError:
            pass


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--port", type=int, default=443)
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--root")
    parser.add_argument("--script")
    parser.add_argument("--log")
    parser.add_argument("--pidfile")
    parser.add_argument("--ready-file")
    parser.add_argument("--http-port", type=int)
    parser.add_argument("--stall-accept", type=int, default=0, metavar="N")
    args = parser.parse_args()

    script = {}
    if args.script:
        with open(args.script, encoding="utf-8") as f:
            script = json.load(f)
    config = Config(args.root, script, args.log)

    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.cert, args.key)
    servers = [Server(args.port, config, context, args.stall_accept)]
    if args.http_port:
        servers.append(Server(args.http_port, config))
    for server in servers[1:]:
        threading.Thread(target=server.serve_forever, daemon=True).start()

    if args.pidfile:
        with open(args.pidfile, "w") as f:
            f.write("%d\n" % os.getpid())
    if args.ready_file:
        with open(args.ready_file, "w") as f:
            f.write("ready\n")
    try:
        servers[0].serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
