#!/usr/bin/python3
"""TLS end to end: STARTTLS and implicit TLS deliveries to aiosmtpd, and the
refusals, each against a scripted server that records the commands it got.
Certificates come from a throw-away authority made with the openssl command."""
import email
import importlib.util
import os
import re
import socket
import ssl
import subprocess
import tempfile
import threading
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
BINARY = os.path.abspath(os.environ.get("BRENVOX_BINARY", f"{HERE}/../build/brenvox"))
sink_source = importlib.util.spec_from_file_location("smtp_sink", f"{HERE}/../scripts/smtp_sink.py")
smtp_sink = importlib.util.module_from_spec(sink_source)
sink_source.loader.exec_module(smtp_sink)
from aiosmtpd.controller import Controller  # noqa: E402

WORK = tempfile.TemporaryDirectory()
PKI = WORK.name


def openssl(*args):
    subprocess.run(["openssl", *args], check=True, capture_output=True, cwd=PKI)


def make_certificate(name, san, days="2"):
    openssl("req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
            "-keyout", name + ".key", "-out", name + ".csr", "-subj", "/CN=" + name)
    with open(f"{PKI}/{name}.ext", "w") as ext:
        ext.write("subjectAltName=" + san + "\n")
    openssl("x509", "-req", "-in", name + ".csr", "-CA", "ca.pem", "-CAkey", "ca.key",
            "-CAcreateserial", "-days", days, "-extfile", name + ".ext", "-out", name + ".pem")


openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
        "-keyout", "ca.key", "-out", "ca.pem", "-days", "2", "-subj", "/CN=Brenvox test CA")
make_certificate("good", "DNS:localhost,IP:127.0.0.1")
make_certificate("other", "DNS:other.example,IP:127.0.0.2")
make_certificate("expired", "DNS:localhost,IP:127.0.0.1", days="-1")
CA = f"{PKI}/ca.pem"
with open(f"{PKI}/big.bin", "wb") as big:
    big.write(os.urandom(4 << 20))


def server_context(name="good"):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(f"{PKI}/{name}.pem", f"{PKI}/{name}.key")
    return context


def brenvox(port, *args):
    run = subprocess.run([BINARY, "-P", str(port), "-f", "r@example.org", "-t", "x@example.org",
                          "-s", "tls", "-m", "hi", "-A", "robot:secret", *args],
                         cwd=PKI, capture_output=True, timeout=20)
    return run.returncode, run.stdout.decode("latin-1")


class Scripted(threading.Thread):
    """One session: EHLO gets `ehlo`; STARTTLS `answer`, then a handshake with `cert` (None:
    a close once the ClientHello is in); DATA 354 and a close; anything else 250."""

    def __init__(self, ehlo, answer, cert):
        super().__init__(daemon=True)
        self.ehlo, self.answer, self.cert, self.seen = ehlo, answer, cert, []
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.start()

    def run(self):
        conn, _ = self.listener.accept()
        self.listener.close()
        conn.settimeout(10)
        conn.sendall(b"220 scripted\r\n")
        reader = conn.makefile("rb")
        try:
            for line in iter(lambda: reader.readline(), b""):  # reader changes with TLS
                verb = line.split(b" ")[0].strip().upper().decode()
                self.seen.append(verb)
                if verb in ("QUIT", "DATA"):
                    conn.sendall(b"221 bye\r\n" if verb == "QUIT" else b"354 go\r\n")
                    conn.shutdown(socket.SHUT_WR)  # FIN first: the sender's next send is EPIPE
                    break
                if verb != "STARTTLS":
                    conn.sendall(self.ehlo if verb == "EHLO" else b"250 ok\r\n")
                    continue
                conn.sendall(self.answer)
                if not self.answer.startswith(b"220"):
                    continue
                if not self.cert:
                    conn.recv(65536)
                    break
                conn = server_context(self.cert).wrap_socket(conn, server_side=True)
                reader = conn.makefile("rb")
                self.seen.append("handshake done")
        except (OSError, ssl.SSLError):
            pass
        reader.close()
        conn.close()


OFFER = b"250-scripted\r\n250-starttls\r\n250 AUTH LOGIN\r\n"
VERIFY = "! Error: TLS handshake failed: certificate verify failed: "
INJECTED = "! Error: Unexpected data from server after STARTTLS - Protocol error"
# name, EHLO reply, STARTTLS reply, certificate, extra arguments, last line (a pattern), commands
REFUSALS = [
    ("not offered", b"250-scripted\r\n250-X-STARTTLS\r\n250 AUTH LOGIN\r\n", b"", "good",
     [], "! Error, server does not offer STARTTLS, quitting.", ["EHLO", "QUIT"]),
    ("refused with 454", OFFER, b"454 TLS not available\r\n", "good", [],
     "! Error, STARTTLS refused, quitting.", ["EHLO", "STARTTLS", "QUIT"]),
    ("unknown authority", OFFER, b"220 go\r\n", "good", [],
     VERIFY + "unable to get local issuer certificate - Protocol error", ["EHLO", "STARTTLS"]),
    ("other name", OFFER, b"220 go\r\n", "other", ["--cafile", CA],
     VERIFY + "hostname mismatch - Protocol error", ["EHLO", "STARTTLS"]),
    ("other address", OFFER, b"220 go\r\n", "other", ["--cafile", CA, "-S", "127.0.0.1"],
     VERIFY + "IP address mismatch - Protocol error", ["EHLO", "STARTTLS"]),
    ("expired", OFFER, b"220 go\r\n", "expired", ["--cafile", CA],
     VERIFY + "certificate has expired - Protocol error", ["EHLO", "STARTTLS"]),
    ("injected in the reply", OFFER, b"220 go\r\n250-AUTH LOGIN\r\n250 ok\r\n", "good",
     ["--cafile", CA], INJECTED, ["EHLO", "STARTTLS"]),
    # The reply fills the 34-byte receive exactly; the rest waits on the socket.
    ("injected after the reply", OFFER, b"220 " + b"g" * 28 + b"\r\n250 ok\r\n", "good",
     ["--cafile", CA], INJECTED, ["EHLO", "STARTTLS"]),
    ("closed in the handshake", OFFER, b"220 go\r\n", None, ["--cafile", CA],
     "! Error: Connection closed by server - Connection reset by peer", ["EHLO", "STARTTLS"]),
    # The server has gone when the data is sent over TLS: EPIPE, not SIGPIPE.
    ("closed in the data", OFFER, b"220 go\r\n", "good", ["--cafile", CA, "-a", "big.bin"],
     "! Error: Problem encountered sending data - Broken pipe",
     ["EHLO", "STARTTLS", "handshake done", "EHLO", "AUTH", "MAIL", "RCPT", "DATA"]),
]


class Tls(unittest.TestCase):
    def test_refusals(self):
        for name, ehlo, answer, cert, extra, line, commands in REFUSALS:
            with self.subTest(name):
                server = Scripted(ehlo, answer, cert)
                status, out = brenvox(server.port, "-S", "localhost", "--starttls", *extra)
                server.join(10)
                self.assertEqual(status, 1, out[-300:])
                self.assertRegex(out, "(^|[\r\n])" + line + "\n$")
                self.assertEqual(server.seen, commands)
                self.assertEqual([n for n in os.listdir(PKI) if n.endswith(".msg")], [])

    def test_deliveries(self):
        # name, arguments, implicit TLS, transcript line
        rows = [("starttls", ["-S", "localhost", "--starttls", "--cafile", CA], False,
                 "certificate verified for localhost"),
                ("plain", ["-S", "localhost", "--starttls", "--cafile", CA, "--auth", "plain"],
                 False, "certificate verified for localhost"),
                ("smtps", ["--cafile", CA, "-S", "127.0.0.1", "--smtps"], True,
                 "certificate verified for 127.0.0.1"),
                ("insecure", ["--insecure", "-S", "localhost", "--starttls"], False,
                 r"certificate not verified \(--insecure\)")]
        for name, args, implicit, verified in rows:
            with self.subTest(name), tempfile.TemporaryDirectory() as spool:
                tls = {"ssl_context" if implicit else "tls_context": server_context()}
                port = smtp_sink.free_port()
                controller = Controller(
                    smtp_sink.SpoolHandler(spool), hostname="127.0.0.1", port=port,
                    authenticator=smtp_sink.make_authenticator("robot", "secret"),
                    require_starttls=not implicit, auth_require_tls=not implicit, **tls)
                controller.start()
                try:
                    status, out = brenvox(port, "-v", "-a", "big.bin", *args)
                finally:
                    controller.stop()
                self.assertEqual(status, 0, out[-300:])
                self.assertRegex(out, r"\n\* TLSv1\.[23], \S+, " + verified + "\n")
                login = r"PLAIN AHJvYm90AHNlY3JldA==\n" if name == "plain" else r"LOGIN\n(.*\n){4}"
                self.assertRegex(out, r"\n> AUTH " + login + "< 235")
                with open(f"{spool}/1.eml", "rb") as raw, open(f"{PKI}/big.bin", "rb") as big:
                    part = email.message_from_bytes(raw.read()).get_payload()[1]
                    self.assertEqual(part.get_payload(decode=True), big.read())
                starttls = re.findall(r"^> (EHLO|STARTTLS|HELO)", out, re.M)
                self.assertEqual(starttls, ["EHLO"] if implicit else ["EHLO", "STARTTLS", "EHLO"])


if __name__ == "__main__":
    unittest.main(verbosity=2)
