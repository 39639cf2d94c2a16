#!/usr/bin/python3
"""A local HTTPS service that plays the program's web service for the tests
of the HTTPS client, the update check and the feedback submission.

    https_service.py --dir DIR [--wine-trust]

Started by the test program itself (tests/test_feedback.cpp) with the C
library's system(). Natively that runs this script through /bin/sh and waits
for it; under wine the command interpreter hands the script to Linux (wine
runs a non-Windows executable as a Unix process) and returns at once. Both
then wait for DIR/ready. The script:

1. makes a certificate authority and three server certificates with the
   openssl command: "localhost" signed by that authority, "wrong-name.invalid"
   signed by it, and a self-signed "localhost" that nothing trusts;
2. binds every listener below on 127.0.0.1 (never another address);
3. with --wine-trust, adds the authority to the LocalMachine ROOT store of
   the wine prefix in WINEPREFIX (the test program's own prefix, inherited
   through the environment), where wine's certificate checks look;
4. forks a server process that leaves the caller's session and standard
   streams (so neither the test program nor ctest waits for it), and writes
   DIR/ready: one "label port" line per listener;
5. serves until the test program's control connection closes (the program
   ended, however it ended), or 60 s pass without one, or 15 minutes pass;
   then it removes the authority from the prefix again and deletes DIR.

Natively the test program trusts DIR/ca.pem through SSL_CERT_FILE.

Listeners (all HTTPS with the trusted "localhost" certificate unless said):
  s200 s201 s404 s429 s500 s503  answer with that status; the body is the
        file DIR/files/<last element of the path> when it exists (tests write
        manifests and large bodies there), else a short JSON text
  silent      completes the TLS handshake, reads the request and never answers
  hangup      reads the request and closes the connection without an answer
  wrongname   answers 200 with a certificate for wrong-name.invalid
  untrusted   answers 200 with a self-signed localhost certificate
  closed      a port that was bound and released again: nothing listens
  control     plain TCP: the test program's control connection. A line
              "bind443" asks for one more listener, p443, like s200 but on
              port 443; the answer is the line "ok", or "busy" when that
              port cannot be bound (taken, or no right to bind it). Only the
              test of the default port asks, so parallel test programs do
              not compete for the port.

Every request a listener reads is recorded before it is answered:
DIR/rec/<label>.head (request line and headers as received), .body (the
body bytes), then .count (how many requests that listener has read so far).
"""

import argparse
import hashlib
import os
import shutil
import socket
import ssl
import struct
import subprocess
import sys
import threading
import time
import traceback

WINE = "/usr/lib/wine/wine64"
ROOT_KEY = "HKLM\\Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\"
REASONS = {200: "OK", 201: "Created", 404: "Not Found", 429: "Too Many Requests",
           500: "Internal Server Error", 503: "Service Unavailable"}


def openssl(*args):
    subprocess.run(["openssl", *args], check=True, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def make_certificates(d):
    """CA, two certificates it signs, one self-signed; EC P-256 keys (fast)."""
    key = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    openssl("req", "-x509", *key, "-keyout", f"{d}/ca.key", "-out", f"{d}/ca.pem",
            "-days", "2", "-subj", "/CN=Tamsel Test Authority",
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    for name, dns in (("localhost", "localhost"), ("wrongname", "wrong-name.invalid")):
        with open(f"{d}/{name}.ext", "w") as f:
            f.write("basicConstraints=critical,CA:FALSE\n"
                    "keyUsage=critical,digitalSignature\n"
                    "extendedKeyUsage=serverAuth\n"
                    f"subjectAltName=DNS:{dns}\n")
        openssl("req", *key, "-keyout", f"{d}/{name}.key", "-out", f"{d}/{name}.csr",
                "-subj", f"/CN={dns}")
        openssl("x509", "-req", "-in", f"{d}/{name}.csr", "-CA", f"{d}/ca.pem",
                "-CAkey", f"{d}/ca.key", "-CAcreateserial", "-days", "2",
                "-extfile", f"{d}/{name}.ext", "-out", f"{d}/{name}.pem")
    openssl("req", "-x509", *key, "-keyout", f"{d}/untrusted.key", "-out",
            f"{d}/untrusted.pem", "-days", "2", "-subj", "/CN=localhost",
            "-addext", "subjectAltName=DNS:localhost")


def ca_der(d):
    with open(f"{d}/ca.pem") as f:
        pem = f.read()
    return ssl.PEM_cert_to_DER_cert(pem)


def wine_reg(*args):
    subprocess.run([WINE, "reg", *args], stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)


def wine_trust_key(d):
    # crypt32 keeps a root certificate under its SHA-1 in upper-case hex; the
    # value "Blob" holds serialized properties: property id, 1, length, data;
    # property 32 (CERT_CERT_PROP_ID) is the encoded certificate.
    return ROOT_KEY + hashlib.sha1(ca_der(d)).hexdigest().upper()


def wine_add_trust(d):
    der = ca_der(d)
    blob = struct.pack("<III", 32, 1, len(der)) + der
    wine_reg("add", wine_trust_key(d), "/v", "Blob", "/t", "REG_BINARY",
             "/d", blob.hex().upper(), "/f")


def server_context(d, name):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(f"{d}/{name}.pem", f"{d}/{name}.key")
    return ctx


def bind_loopback(port=0):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.bind(("127.0.0.1", port))
    return s


class Listener:
    def __init__(self, label, sock, ctx, behaviour, status=200):
        self.label, self.sock, self.ctx = label, sock, ctx
        self.behaviour, self.status = behaviour, status
        self.count = 0
        self.lock = threading.Lock()


def read_request(conn):
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = conn.recv(65536)
        if not chunk:
            return None, None
        data += chunk
        if len(data) > 1 << 20:
            return None, None
    head, _, rest = data.partition(b"\r\n\r\n")
    length = 0
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value.strip())
    while len(rest) < length:
        chunk = conn.recv(65536)
        if not chunk:
            break
        rest += chunk
    return head, rest[:length]


def write_atomic(path, data):
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, path)


class Service:
    def __init__(self, d):
        self.dir = d
        self.listeners = []
        self.trust_key = None
        self.control = None

    def record(self, lst, head, body):
        with lst.lock:
            lst.count += 1
            base = f"{self.dir}/rec/{lst.label}"
            write_atomic(base + ".head", head)
            write_atomic(base + ".body", body)
            write_atomic(base + ".count", str(lst.count).encode())

    def answer_body(self, head, status):
        target = head.split(b"\r\n")[0].split(b" ")
        path = target[1].decode("utf-8", "replace") if len(target) > 1 else "/"
        name = path.split("?")[0].rstrip("/").split("/")[-1]
        if name and not name.startswith("."):
            try:
                with open(f"{self.dir}/files/{name}", "rb") as f:
                    return f.read()
            except OSError:
                pass
        return b'{"ok":true}' if status == 200 else b'{"error":"status %d"}' % status

    def handle(self, lst, conn):
        try:
            conn.settimeout(60)
            if lst.ctx is not None:
                conn = lst.ctx.wrap_socket(conn, server_side=True)
            head, body = read_request(conn)
            if head is None:
                return
            self.record(lst, head, body)
            if lst.behaviour == "silent":
                # Holds the connection open until the client gives up.
                while conn.recv(4096):
                    pass
                return
            if lst.behaviour == "hangup":
                return
            payload = self.answer_body(head, lst.status)
            reason = REASONS.get(lst.status, "Status")
            conn.sendall(b"HTTP/1.1 %d %s\r\n" % (lst.status, reason.encode()) +
                         b"Content-Type: application/json; charset=utf-8\r\n" +
                         b"Content-Length: %d\r\nConnection: close\r\n\r\n" % len(payload) +
                         payload)
            # Lets the client read everything before the connection goes.
            conn.settimeout(5)
            try:
                while conn.recv(4096):
                    pass
            except (OSError, ssl.SSLError):
                pass
        except Exception:  # a client that refused our certificate, or went away
            pass
        finally:
            try:
                conn.close()
            except OSError:
                pass

    def accept_loop(self, lst):
        while True:
            try:
                conn, _ = lst.sock.accept()
            except OSError:
                return
            threading.Thread(target=self.handle, args=(lst, conn), daemon=True).start()

    def shutdown(self):
        if self.trust_key:
            try:
                wine_reg("delete", self.trust_key, "/f")
            except Exception:
                pass
        shutil.rmtree(self.dir, ignore_errors=True)
        os._exit(0)

    def bind443(self):
        if any(lst.label == "p443" for lst in self.listeners):
            return True
        try:
            sock = bind_loopback(443)
            sock.listen(64)
        except OSError:
            return False
        lst = Listener("p443", sock, server_context(self.dir, "localhost"), "status")
        self.listeners.append(lst)
        threading.Thread(target=self.accept_loop, args=(lst,), daemon=True).start()
        return True

    def watch_control(self):
        self.control.settimeout(60)
        try:
            conn, _ = self.control.accept()
        except OSError:
            self.shutdown()
        conn.settimeout(None)
        pending = b""
        try:
            while True:
                chunk = conn.recv(4096)
                if not chunk:
                    break
                pending += chunk
                while b"\n" in pending:
                    line, _, pending = pending.partition(b"\n")
                    if line.strip() == b"bind443":
                        conn.sendall(b"ok\n" if self.bind443() else b"busy\n")
                    else:
                        conn.sendall(b"unknown\n")
        except OSError:
            pass
        self.shutdown()

    def serve(self):
        for lst in self.listeners:
            if lst.behaviour != "closed":
                threading.Thread(target=self.accept_loop, args=(lst,), daemon=True).start()
        threading.Timer(15 * 60, self.shutdown).start()
        self.watch_control()


def setup(args):
    d = os.path.abspath(args.dir)
    os.makedirs(f"{d}/files", exist_ok=True)
    os.makedirs(f"{d}/rec", exist_ok=True)
    make_certificates(d)
    svc = Service(d)
    good = server_context(d, "localhost")
    for status in (200, 201, 404, 429, 500, 503):
        svc.listeners.append(Listener(f"s{status}", bind_loopback(), good, "status", status))
    svc.listeners.append(Listener("silent", bind_loopback(), good, "silent"))
    svc.listeners.append(Listener("hangup", bind_loopback(), good, "hangup"))
    svc.listeners.append(Listener("wrongname", bind_loopback(), server_context(d, "wrongname"),
                                  "status"))
    svc.listeners.append(Listener("untrusted", bind_loopback(), server_context(d, "untrusted"),
                                  "status"))
    for lst in svc.listeners:
        lst.sock.listen(64)
    closed = bind_loopback()
    svc.listeners.append(Listener("closed", closed, None, "closed"))
    svc.control = bind_loopback()
    svc.control.listen(1)
    ports = {lst.label: lst.sock.getsockname()[1] for lst in svc.listeners}
    ports["control"] = svc.control.getsockname()[1]
    closed.close()
    if args.wine_trust:
        svc.trust_key = wine_trust_key(d)
        wine_add_trust(d)
    return svc, ports


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", required=True)
    parser.add_argument("--wine-trust", action="store_true")
    args = parser.parse_args()
    d = os.path.abspath(args.dir)
    try:
        svc, ports = setup(args)
    except Exception:
        os.makedirs(d, exist_ok=True)
        write_atomic(f"{d}/failed", traceback.format_exc().encode())
        return 1
    if os.fork() == 0:
        os.setsid()
        null = os.open(os.devnull, os.O_RDWR)
        log = os.open(f"{d}/service.log", os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
        os.dup2(null, 0)
        os.dup2(log, 1)
        os.dup2(log, 2)
        try:
            svc.serve()
        except Exception:
            traceback.print_exc()
            svc.shutdown()
        os._exit(0)
    write_atomic(f"{d}/ready", "".join(f"{k} {v}\n" for k, v in ports.items()).encode())
    return 0


if __name__ == "__main__":
    sys.exit(main())
