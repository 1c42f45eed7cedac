#!/usr/bin/env python3
"""Loopback HTTP and HTTPS servers for the download tests and benchmark.

    http_test_server.py <folder>

Makes its certificates in <folder> with the openssl command (a CA, a leaf for
localhost/127.0.0.1/::1, a leaf from another CA, a leaf with a wrong name),
listens on 127.0.0.1 with port 0, prints one line

    http=<port> https=<port> https_other_ca=<port> https_wrong_name=<port> ca=<file>

and serves until its standard input closes (the test that started it ends).

Every request must carry exactly the headers host, user-agent, connection and
accept-encoding, else the answer is 400. The paths:

    /bytes/<n>                 200, n bytes
    /echo-headers              200, the request's header lines as they came
    /status/<code>             that status, no body
    /chain/<k>/<n>             k redirects (302, path only), then /bytes/<n>
    /location?<escaped text>   302 with that Location value (unescaped)
    /redirect-odd/<kind>       302 with Location missing, empty, long or odd
    /lie/<declared>/<actual>   Content-Length declared, actual bytes, close
    /stall/<n>                 n bytes of a longer body, then nothing
    /unsized/<n>               n bytes without Content-Length, then close
    /chunked/<n>               n bytes, chunked
    /files/<path>              200, the file <folder>/files/<path> (404 when missing);
                               when <path>.unsized is there too, without
                               Content-Length (then close); when <path>.stall
                               is, as /stall/<n> with the file as its n bytes
"""
import http.server
import os
import select
import socket
import ssl
import subprocess
import sys
import threading
import urllib.parse

EXPECTED_HEADERS = ["host", "user-agent", "connection", "accept-encoding"]
PATTERN = bytes(i % 251 for i in range(1 << 16))
BLOCK = PATTERN * 16  # large writes keep the server from being what a benchmark measures


def openssl(*args):
    subprocess.run(["openssl", *args], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def make_ca(folder, name):
    key, cert = os.path.join(folder, name + ".key"), os.path.join(folder, name + ".pem")
    conf = os.path.join(folder, name + ".cnf")
    with open(conf, "w") as f:
        f.write("[req]\ndistinguished_name=dn\nx509_extensions=ext\n[dn]\n"
                "[ext]\nbasicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n"
                "subjectKeyIdentifier=hash\n")
    openssl("req", "-x509", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
            "-keyout", key, "-out", cert, "-days", "2", "-subj", "/CN=" + name, "-config", conf)
    return key, cert


def make_leaf(folder, name, ca, alt_names):
    key, csr, cert = (os.path.join(folder, name + s) for s in (".key", ".csr", ".pem"))
    ext = os.path.join(folder, name + ".ext")
    with open(ext, "w") as f:
        f.write("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
                "extendedKeyUsage=serverAuth\nsubjectAltName=" + alt_names + "\n")
    openssl("req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
            "-keyout", key, "-out", csr, "-subj", "/CN=" + name)
    openssl("x509", "-req", "-in", csr, "-CA", ca[1], "-CAkey", ca[0], "-set_serial",
            str(int.from_bytes(os.urandom(8), "big")), "-days", "2", "-out", cert, "-extfile", ext)
    return key, cert


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def head(self, status, length=None, extra=()):
        self.send_response(status)
        if length is not None:
            self.send_header("Content-Length", str(length))
        for name, value in extra:
            self.send_header(name, value)
        self.send_header("Connection", "close")
        self.end_headers()

    def body(self, n):
        block = memoryview(BLOCK)
        while n > 0:
            part = block[:min(n, len(block))]
            self.wfile.write(part)
            n -= len(part)

    def do_GET(self):
        names = [name.lower() for name in self.headers.keys()]
        if sorted(names) != sorted(EXPECTED_HEADERS):
            text = ("unexpected headers: " + ", ".join(names)).encode()
            self.head(400, len(text))
            self.wfile.write(text)
            return
        path, _, query = self.path.partition("?")
        parts = path.strip("/").split("/")
        try:
            getattr(self, "route_" + parts[0].replace("-", "_"))(parts[1:], query)
        except (AttributeError, IndexError, ValueError, FileNotFoundError, IsADirectoryError):
            self.head(404, 0)
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError):
            pass

    def route_bytes(self, args, _):
        n = int(args[0])
        self.head(200, n)
        self.body(n)

    def route_echo_headers(self, _args, _query):
        text = "".join("%s: %s\n" % item for item in self.headers.items()).encode()
        self.head(200, len(text))
        self.wfile.write(text)

    def route_status(self, args, _):
        self.head(int(args[0]), 0)

    def route_chain(self, args, _):
        k, n = int(args[0]), int(args[1])
        if k == 0:
            return self.route_bytes([n], "")
        self.head(302, 0, [("Location", "/chain/%d/%d" % (k - 1, n))])

    def route_location(self, _args, query):
        self.head(302, 0, [("Location", urllib.parse.unquote(query))])

    def route_redirect_odd(self, args, _):
        kind = args[0]
        if kind == "missing":
            return self.head(302, 0)
        value = {"empty": "", "long": "/" + "a" * 8192, "space": "/a b", "backslash": "/a\\b",
                 "control": "/a\x01b"}[kind]
        self.head(302, 0, [("Location", value)])

    def route_lie(self, args, _):
        declared, actual = int(args[0]), int(args[1])
        self.head(200, declared)
        self.body(actual)
        self.close_now()

    def route_stall(self, args, _):
        n = int(args[0])
        self.head(200, n + 1000000)
        self.body(n)
        self.hold()

    def route_unsized(self, args, _):
        self.send_response(200)
        self.send_header("Connection", "close")
        self.end_headers()
        self.body(int(args[0]))
        self.close_now()

    def route_chunked(self, args, _):
        n = int(args[0])
        self.head(200, None, [("Transfer-Encoding", "chunked")])
        sent = 0
        while sent < n:
            at = sent % len(PATTERN)
            part = PATTERN[at:at + min(n - sent, 4096)]
            self.wfile.write(b"%x\r\n%s\r\n" % (len(part), part))
            sent += len(part)
        self.wfile.write(b"0\r\n\r\n")

    def route_files(self, args, _):
        if any(part in ("", ".", "..") for part in args):
            raise ValueError(args)
        path = os.path.join(FILES, *map(urllib.parse.unquote, args))
        with open(path, "rb") as f:
            data = f.read()
        if os.path.exists(path + ".unsized"):
            self.head(200)
            self.wfile.write(data)
            return self.close_now()
        stall = os.path.exists(path + ".stall")
        self.head(200, len(data) + (1000000 if stall else 0))
        self.wfile.write(data)
        if stall:
            self.hold()

    def hold(self):
        """Holds the connection until the client gives up, for 30 s at most."""
        self.wfile.flush()
        select.select([self.connection], [], [], 30)

    def close_now(self):
        self.wfile.flush()
        self.close_connection = True
        try:
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    tls = None

    def finish_request(self, request, client_address):
        if self.tls is not None:
            try:
                request.settimeout(30)
                request = self.tls.wrap_socket(request, server_side=True)
            except (ssl.SSLError, OSError):
                request.close()
                return
        super().finish_request(request, client_address)


def serve(leaf=None):
    server = Server(("127.0.0.1", 0), Handler)
    if leaf is not None:
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.minimum_version = ssl.TLSVersion.TLSv1_2
        ctx.load_cert_chain(leaf[1], leaf[0])
        server.tls = ctx
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server.server_address[1]


FILES = None


def main():
    global FILES
    folder = sys.argv[1]
    FILES = os.path.join(folder, "files")
    os.makedirs(FILES, exist_ok=True)
    ca = make_ca(folder, "test-ca")
    other_ca = make_ca(folder, "other-ca")
    good = make_leaf(folder, "localhost", ca, "DNS:localhost,IP:127.0.0.1,IP:::1")
    foreign = make_leaf(folder, "foreign", other_ca, "DNS:localhost,IP:127.0.0.1,IP:::1")
    wrong = make_leaf(folder, "wrong-name", ca, "DNS:wrong.example")
    ports = [serve(), serve(good), serve(foreign), serve(wrong)]
    print("http=%d https=%d https_other_ca=%d https_wrong_name=%d ca=%s" % (*ports, ca[1]), flush=True)
    sys.stdin.read()


if __name__ == "__main__":
    main()
