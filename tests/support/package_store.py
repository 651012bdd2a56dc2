#!/usr/bin/env python3
"""Loopback package store for the download tests and the download benchmark.

    package_store.py start STATE_DIR [--lifetime SECONDS]
        Makes fresh test certificates in STATE_DIR with openssl, starts the store in the background and
        returns once it listens. STATE_DIR/store.txt then names its three servers, one "name=URL" line
        each, all on 127.0.0.1 and reached as "localhost" (the name in the certificates):
            http       plain HTTP
            https      HTTPS with a certificate from the test CA STATE_DIR/ca.pem
            untrusted  HTTPS with a self-signed certificate that nobody trusts
        The store stops by itself after --lifetime seconds (default 1800) if nobody stops it.
    package_store.py stop STATE_DIR
        Stops the store that "start" left running for STATE_DIR.

Packages are the files that the tests put into STATE_DIR/files. The first part of the URL path picks
how a request is answered (NAME is a file in STATE_DIR/files; numbers are decimal):
    /files/NAME               200, Content-Length, the whole file
    /status/CODE              that status code (any number, even of 2 or 4 digits) and a short body
    /chunked/NAME             200, chunked, no Content-Length
    /announce/LENGTH[/SENT]   200, Content-Length LENGTH, then SENT (default 0) bytes, then closes
    /drip/PIECE/NAME          the file's first 69,633 bytes in writes of PIECE bytes, pausing after
                              each of the first 200, then the rest at once
    /long/EXTRA/NAME          Content-Length of the file, then the file and EXTRA more bytes
    /short/SENT/NAME          Content-Length of the file, then only its first SENT bytes, then closes
    /redirect/CODE/REST       status CODE with "Location: /REST"
    /echo/ANYTHING            200, a body of 524,288 bytes: the request line and headers as received,
                              padded with "." bytes
    /held/TOKEN/NAME          Content-Length of the file and its first 4,096 bytes; then it makes
                              STATE_DIR/held/TOKEN.started and waits for STATE_DIR/held/TOKEN: "cut"
                              closes the connection, a number N sends the rest spread over N ms
Anything else is a 404. The private keys exist only in STATE_DIR, made afresh by every start.
"""

import argparse
import http.server
import os
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import threading
import time

ECHO_LENGTH = 524288
DRIP_PAUSED_PIECES = 200
DRIP_LENGTH = 65536 + 4097  # past two whole 32 KiB reads
HELD_START = 4096
HELD_PIECE = 32768


def make_certificates(state_dir):
    """Test CA, a server certificate for localhost that it signs, and a self-signed stranger."""

    def openssl(*arguments):
        subprocess.run(["openssl", *arguments], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)

    def path(name):
        return os.path.join(state_dir, name)

    server_extensions = path("server.ext")
    with open(server_extensions, "w") as f:
        f.write("subjectAltName=DNS:localhost\nbasicConstraints=CA:FALSE\n"
                "keyUsage=critical,digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\n")
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", path("ca.key"), "-out", path("ca.pem"),
            "-days", "2", "-subj", "/CN=Welkara Test CA", "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", path("server.key"), "-out", path("server.csr"),
            "-subj", "/CN=localhost")
    openssl("x509", "-req", "-in", path("server.csr"), "-CA", path("ca.pem"), "-CAkey", path("ca.key"),
            "-CAcreateserial", "-out", path("server.pem"), "-days", "2", "-extfile", server_extensions)
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", path("stranger.key"), "-out",
            path("stranger.pem"), "-days", "2", "-subj", "/CN=localhost", "-addext", "subjectAltName=DNS:localhost")


class StoreHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    files_dir = None  # set by serve()

    def log_message(self, format, *args):
        sys.stderr.write("%s %s\n" % (self.server.name, format % args))

    def do_GET(self):
        mode, *rest = self.path.split("?", 1)[0].lstrip("/").split("/")
        try:
            handler = getattr(self, "serve_" + mode, None)
            if handler is None:
                raise FileNotFoundError(mode)
            handler(rest)
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError):
            self.close_connection = True
        except (ValueError, IndexError, FileNotFoundError):
            self.send_simple(404)

    def read_file(self, name):
        if name in ("", ".", "..") or "\\" in name:
            raise FileNotFoundError(name)
        with open(os.path.join(self.files_dir, name), "rb") as f:
            return f.read()

    def send_simple(self, code, headers=()):
        # 1xx, 204 and 304 answers have no body; one sent anyway would spoil the kept-alive connection.
        body = b"" if code < 200 or code in (204, 304) else b"package store: %d\n" % code
        self.send_response(code)
        for name, value in headers:
            self.send_header(name, value)
        if body:
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def start_body(self, length):
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(length))
        self.end_headers()

    def send_whole(self, data):
        """Large bodies go in 1 MiB writes; plain HTTP lets the kernel copy them."""
        view = memoryview(data)
        for offset in range(0, len(view), 1 << 20):
            self.wfile.write(view[offset:offset + (1 << 20)])

    def serve_files(self, rest):
        name = "/".join(rest)
        path = os.path.join(self.files_dir, name)
        if name in ("", ".", "..") or "/" in name or not os.path.isfile(path):
            raise FileNotFoundError(name)
        with open(path, "rb") as f:
            self.start_body(os.fstat(f.fileno()).st_size)
            self.wfile.flush()
            if isinstance(self.connection, ssl.SSLSocket):
                shutil.copyfileobj(f, self.wfile, 1 << 20)
            else:
                self.connection.sendfile(f)

    def serve_status(self, rest):
        self.send_simple(int(rest[0]))

    def serve_chunked(self, rest):
        data = self.read_file(rest[0])
        self.send_response(200)
        self.send_header("Transfer-Encoding", "chunked")
        self.end_headers()
        for offset in range(0, len(data), 65536):
            chunk = data[offset:offset + 65536]
            self.wfile.write(b"%x\r\n%s\r\n" % (len(chunk), chunk))
        self.wfile.write(b"0\r\n\r\n")

    def serve_announce(self, rest):
        length = int(rest[0])
        sent = int(rest[1]) if len(rest) > 1 else 0
        self.start_body(length)
        self.wfile.write(bytes(i & 0xFF for i in range(min(sent, length))))
        self.close_connection = True

    def serve_drip(self, rest):
        piece, data = int(rest[0]), self.read_file(rest[1])
        if piece <= 0:
            raise ValueError(piece)
        self.start_body(len(data))
        self.wfile.flush()
        self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        dripped = min(len(data), DRIP_LENGTH)
        for index, offset in enumerate(range(0, dripped, piece)):
            self.wfile.write(data[offset:min(offset + piece, dripped)])
            if index < DRIP_PAUSED_PIECES:
                time.sleep(0.002)
        self.send_whole(data[dripped:])

    def serve_long(self, rest):
        extra, data = int(rest[0]), self.read_file(rest[1])
        self.start_body(len(data))
        self.send_whole(data + b"\xee" * extra)
        self.close_connection = True

    def serve_short(self, rest):
        sent, data = int(rest[0]), self.read_file(rest[1])
        self.start_body(len(data))
        self.send_whole(data[:sent])
        self.close_connection = True

    def serve_held(self, rest):
        token, data = rest[0], self.read_file("/".join(rest[1:]))
        held = os.path.join(os.path.dirname(self.files_dir), "held")
        os.makedirs(held, exist_ok=True)
        self.start_body(len(data))
        self.wfile.write(data[:HELD_START])
        self.wfile.flush()
        open(os.path.join(held, token + ".started"), "w").close()
        order = os.path.join(held, token)
        what = ""
        while not what:  # the order file appears empty and is written a moment later
            time.sleep(0.01)
            if os.path.exists(order):
                with open(order) as f:
                    what = f.read().strip()
        if what == "cut":
            self.close_connection = True
            return
        pieces = [data[offset:offset + HELD_PIECE] for offset in range(HELD_START, len(data), HELD_PIECE)]
        for piece in pieces:
            self.wfile.write(piece)
            self.wfile.flush()
            time.sleep(int(what) / 1000 / max(len(pieces), 1))

    def serve_redirect(self, rest):
        self.send_simple(int(rest[0]), [("Location", "/" + "/".join(rest[1:]))])

    def serve_echo(self, rest):
        lines = [self.requestline] + ["%s: %s" % header for header in self.headers.items()]
        received = ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")
        body = received[:ECHO_LENGTH] + b"." * max(0, ECHO_LENGTH - len(received))
        self.start_body(len(body))
        self.wfile.write(body)


class StoreServer(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, name, tls_context):
        super().__init__(("127.0.0.1", 0), StoreHandler)
        self.name = name
        self.tls_context = tls_context

    def finish_request(self, request, client_address):
        # The TLS handshake runs on the connection's own thread, so a client that gives up on the
        # certificate stalls nobody else.
        if self.tls_context is not None:
            try:
                request = self.tls_context.wrap_socket(request, server_side=True)
            except (ssl.SSLError, OSError) as error:
                sys.stderr.write("%s: handshake failed: %s\n" % (self.name, error))
                return
        super().finish_request(request, client_address)

    def url(self):
        scheme = "http" if self.tls_context is None else "https"
        return "%s://localhost:%d" % (scheme, self.server_address[1])


def tls_context(state_dir, name):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(os.path.join(state_dir, name + ".pem"), os.path.join(state_dir, name + ".key"))
    return context


def serve(state_dir, lifetime):
    StoreHandler.files_dir = os.path.join(state_dir, "files")
    servers = [
        StoreServer("http", None),
        StoreServer("https", tls_context(state_dir, "server")),
        StoreServer("untrusted", tls_context(state_dir, "stranger")),
    ]
    for server in servers:
        threading.Thread(target=server.serve_forever, daemon=True).start()
    temporary = os.path.join(state_dir, "store.txt.tmp")
    with open(temporary, "w") as f:
        for server in servers:
            f.write("%s=%s\n" % (server.name, server.url()))
    os.replace(temporary, os.path.join(state_dir, "store.txt"))

    stopped = threading.Event()
    signal.signal(signal.SIGTERM, lambda signum, frame: stopped.set())
    stopped.wait(lifetime)
    # Connection threads are daemons: returning ends them with the process.


def start(state_dir, lifetime):
    stop(state_dir)
    os.makedirs(os.path.join(state_dir, "files"), exist_ok=True)
    for name in ("store.txt", "server.pid"):
        if os.path.exists(os.path.join(state_dir, name)):
            os.remove(os.path.join(state_dir, name))
    make_certificates(state_dir)
    with open(os.path.join(state_dir, "server.log"), "w") as log:
        # A session of its own and no inherited pipes: ctest waits for its tests' output to close.
        process = subprocess.Popen(
            [sys.executable, os.path.abspath(__file__), "serve", state_dir, "--lifetime", str(lifetime)],
            stdin=subprocess.DEVNULL, stdout=log, stderr=log, start_new_session=True)
    with open(os.path.join(state_dir, "server.pid"), "w") as f:
        f.write("%d\n" % process.pid)
    deadline = time.monotonic() + 30
    while not os.path.exists(os.path.join(state_dir, "store.txt")):
        if process.poll() is not None or time.monotonic() > deadline:
            sys.exit("package store did not start; see %s" % os.path.join(state_dir, "server.log"))
        time.sleep(0.05)
    with open(os.path.join(state_dir, "store.txt")) as f:
        sys.stdout.write(f.read())


def stop(state_dir):
    pid_file = os.path.join(state_dir, "server.pid")
    try:
        with open(pid_file) as f:
            pid = int(f.read())
    except (OSError, ValueError):
        return
    os.remove(pid_file)
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            command = f.read().split(b"\0")
    except OSError:
        return
    # Only the store this state folder started, never a process that took over its id.
    if os.path.abspath(__file__).encode() not in command or state_dir.encode() not in command:
        return
    os.kill(pid, signal.SIGTERM)
    deadline = time.monotonic() + 10
    while os.path.exists("/proc/%d" % pid) and time.monotonic() < deadline:
        time.sleep(0.05)


def main():
    parser = argparse.ArgumentParser(description="Loopback package store for the download tests.")
    parser.add_argument("action", choices=["start", "stop", "serve"])
    parser.add_argument("state_dir")
    parser.add_argument("--lifetime", type=float, default=1800)
    arguments = parser.parse_args()
    state_dir = os.path.abspath(arguments.state_dir)
    if arguments.action == "start":
        start(state_dir, arguments.lifetime)
    elif arguments.action == "stop":
        stop(state_dir)
    else:
        serve(state_dir, arguments.lifetime)


if __name__ == "__main__":
    main()
