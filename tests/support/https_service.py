#!/usr/bin/python3
"""A local HTTPS service that plays the program's web service for the tests
of the HTTPS client, the update check and the feedback submission.

    https_service.py --dir DIR [--wine-trust]

Started by the test program itself (tests/test_feedback.cpp) with the C
library's system(). Natively that runs this script through /bin/sh and waits
for it; under wine the command interpreter hands the script to Linux (wine
runs a non-Windows executable as a Unix process) and returns at once. Both
then wait for DIR/ready. The script:

1. makes, once for all test programs beside DIR, in the folder "https-ca"
   next to DIR, a certificate authority and three server certificates with
   the openssl command: "localhost" signed by that authority,
   "wrong-name.invalid" signed by it, and a self-signed "localhost" that
   nothing trusts (made again when they come near their end); DIR/ca.pem is
   a copy of the authority;
2. binds every listener below on 127.0.0.1 (never another address);
3. forks a server process that leaves the caller's session and standard
   streams (so neither the test program nor ctest waits for it);
4. with --wine-trust, the server process has the authority in the
   LocalMachine ROOT store of the wine prefix in WINEPREFIX (the test
   program's own prefix, inherited through the environment), where wine's
   certificate checks look. The entry is shared: the first service of a
   test run adds it, the last one removes it (https-ca/holders lists the
   services that use it, under a lock). Adding and removing an entry per
   service would change the store while another test program reads it, and
   wine then sometimes misses the entry: a reader walks the keys by index;
5. writes DIR/ready: one "label port" line per listener;
6. serves until the test program's control connection closes (the program
   ended, however it ended), or 60 s pass without one, or 15 minutes pass;
   then it lets go of the trust entry and deletes DIR. A service that was
   killed outright is dropped from the holders by the next one.

Natively the test program trusts DIR/ca.pem through SSL_CERT_FILE.

Listeners (all HTTPS with the trusted "localhost" certificate unless said):
  s200 s201 s404 s429 s500 s503  answer with that status; the body is the
        file DIR/files/<last element of the path> when it exists (tests write
        manifests and large bodies there), else a short JSON text
  silent      completes the TLS handshake, reads the request and never answers
  hangup      reads the request and closes the connection without an answer
  wrongname   answers 200 with a certificate for wrong-name.invalid
  untrusted   answers 200 with a self-signed localhost certificate
  closed      a port bound and held but not listening: connections to it are
              refused, and no other program can take it meanwhile
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
import fcntl
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


CERT_DAYS = 30
RENEW_SECONDS = 2 * 86400
CERT_NAMES = ("ca", "localhost", "wrongname", "untrusted")


def make_certificates(d):
    """CA, two certificates it signs, one self-signed; EC P-256 keys (fast)."""
    days = str(CERT_DAYS)
    key = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    openssl("req", "-x509", *key, "-keyout", f"{d}/ca.key", "-out", f"{d}/ca.pem",
            "-days", days, "-subj", "/CN=Tamsel Test Authority",
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
                "-CAkey", f"{d}/ca.key", "-CAcreateserial", "-days", days,
                "-extfile", f"{d}/{name}.ext", "-out", f"{d}/{name}.pem")
    openssl("req", "-x509", *key, "-keyout", f"{d}/untrusted.key", "-out",
            f"{d}/untrusted.pem", "-days", days, "-subj", "/CN=localhost",
            "-addext", "subjectAltName=DNS:localhost")


def certificates_fresh(d):
    for name in CERT_NAMES:
        if not (os.path.exists(f"{d}/{name}.pem") and os.path.exists(f"{d}/{name}.key")):
            return False
        check = subprocess.run(["openssl", "x509", "-checkend", str(RENEW_SECONDS), "-noout",
                                "-in", f"{d}/{name}.pem"], stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if check.returncode != 0:
            return False
    return True


class Locked:
    """An exclusive lock on the shared folder, across test programs."""

    def __init__(self, d):
        self.path = f"{d}/lock"

    def __enter__(self):
        self.fd = os.open(self.path, os.O_RDWR | os.O_CREAT, 0o644)
        fcntl.flock(self.fd, fcntl.LOCK_EX)
        return self

    def __exit__(self, *exc):
        os.close(self.fd)


def alive(pid):
    """Whether a holder still runs (an unreaped process counts as ended)."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            state = f.read().rpartition(")")[2].split()[0]
    except (OSError, IndexError):
        return False
    return state not in ("Z", "X")


def read_holders(shared):
    try:
        with open(f"{shared}/holders") as f:
            pids = [int(x) for x in f.read().split()]
    except (OSError, ValueError):
        pids = []
    return [p for p in pids if alive(p)]


def write_holders(shared, pids):
    write_atomic(f"{shared}/holders", "".join(f"{p}\n" for p in pids).encode())


def ensure_certificates(shared):
    os.makedirs(shared, exist_ok=True)
    with Locked(shared):
        # Certificates the trust entry stands for are not replaced under a
        # running service; they have two days left at least.
        if not certificates_fresh(shared) and not read_holders(shared):
            make_certificates(shared)


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


def acquire_trust(shared, pid):
    """Joins the holders of the trust entry; the first one adds it."""
    with Locked(shared):
        holders = read_holders(shared)
        if not holders:
            # A service killed outright may have left its entry behind.
            try:
                with open(f"{shared}/registered") as f:
                    stale = f.read().strip()
            except OSError:
                stale = ""
            if stale:
                wine_reg("delete", stale, "/f")
            wine_add_trust(shared)
            write_atomic(f"{shared}/registered", wine_trust_key(shared).encode())
        write_holders(shared, holders + [pid])


def release_trust(shared, pid):
    """Leaves the holders; the last one removes the entry."""
    with Locked(shared):
        holders = [p for p in read_holders(shared) if p != pid]
        write_holders(shared, holders)
        if not holders:
            try:
                with open(f"{shared}/registered") as f:
                    key = f.read().strip()
            except OSError:
                key = ""
            if key:
                wine_reg("delete", key, "/f")
            try:
                os.remove(f"{shared}/registered")
            except OSError:
                pass


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
    def __init__(self, d, shared):
        self.dir = d
        self.shared = shared
        self.listeners = []
        self.trusting = False
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
        if self.trusting:
            try:
                release_trust(self.shared, os.getpid())
            except Exception:
                traceback.print_exc()
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
        lst = Listener("p443", sock, server_context(self.shared, "localhost"), "status")
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


def setup(d, shared):
    os.makedirs(f"{d}/files", exist_ok=True)
    os.makedirs(f"{d}/rec", exist_ok=True)
    ensure_certificates(shared)
    shutil.copyfile(f"{shared}/ca.pem", f"{d}/ca.pem")
    svc = Service(d, shared)
    good = server_context(shared, "localhost")
    for status in (200, 201, 404, 429, 500, 503):
        svc.listeners.append(Listener(f"s{status}", bind_loopback(), good, "status", status))
    svc.listeners.append(Listener("silent", bind_loopback(), good, "silent"))
    svc.listeners.append(Listener("hangup", bind_loopback(), good, "hangup"))
    svc.listeners.append(Listener("wrongname", bind_loopback(),
                                  server_context(shared, "wrongname"), "status"))
    svc.listeners.append(Listener("untrusted", bind_loopback(),
                                  server_context(shared, "untrusted"), "status"))
    for lst in svc.listeners:
        lst.sock.listen(64)
    svc.listeners.append(Listener("closed", bind_loopback(), None, "closed"))
    svc.control = bind_loopback()
    svc.control.listen(1)
    ports = {lst.label: lst.sock.getsockname()[1] for lst in svc.listeners}
    ports["control"] = svc.control.getsockname()[1]
    return svc, ports


def fail(d):
    os.makedirs(d, exist_ok=True)
    write_atomic(f"{d}/failed", traceback.format_exc().encode())


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", required=True)
    parser.add_argument("--wine-trust", action="store_true")
    args = parser.parse_args()
    d = os.path.abspath(args.dir)
    # The first sign of life: the test program tells from it that the
    # service was started at all (under wine that is not always so).
    with open(f"{d}/started", "w"):
        pass
    shared = os.path.join(os.path.dirname(d), "https-ca")
    try:
        svc, ports = setup(d, shared)
    except Exception:
        fail(d)
        return 1
    child = os.fork()
    if child == 0:
        os.setsid()
        null = os.open(os.devnull, os.O_RDWR)
        log = os.open(f"{d}/service.log", os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
        os.dup2(null, 0)
        os.dup2(log, 1)
        os.dup2(log, 2)
        try:
            if args.wine_trust:
                svc.trusting = True
                acquire_trust(shared, os.getpid())
            write_atomic(f"{d}/ready",
                         "".join(f"{k} {v}\n" for k, v in ports.items()).encode())
            svc.serve()
        except Exception:
            fail(d)
            traceback.print_exc()
            svc.shutdown()
        os._exit(0)
    # Natively the caller waits for this process: it ends once the service
    # is ready (or has failed).
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline:
        if os.path.exists(f"{d}/ready"):
            return 0
        if os.path.exists(f"{d}/failed") or os.waitpid(child, os.WNOHANG)[0] == child:
            return 1
        time.sleep(0.02)
    return 1


if __name__ == "__main__":
    sys.exit(main())
