#!/usr/bin/python3
"""TLS end to end: deliveries to aiosmtpd, refusals by a scripted server, a throw-away CA."""
import contextlib
import email
import os
import re
import socket
import ssl
import subprocess
import sys
import tempfile
import unittest
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

HERE = os.path.dirname(os.path.abspath(__file__))
BINARY = os.path.abspath(os.environ.get("BRENVOX_BINARY", f"{HERE}/../build/brenvox"))
sys.path.insert(0, f"{HERE}/../scripts")
import smtp_sink  # noqa: E402

socket.setdefaulttimeout(10)  # bounds every wait of the scripted server
WORK = tempfile.TemporaryDirectory()
os.chdir(WORK.name)  # certificates, attachment and the sender's working directory
BIG = os.urandom(4 << 20)
Path("big.bin").write_bytes(BIG)


def openssl(command):
    subprocess.run(["openssl", *command.split()], check=True, capture_output=True)


KEY = "-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes"
openssl(f"req -x509 {KEY} -keyout ca.key -out ca.pem -days 2 -subj /CN=Brenvox-test-CA")
CONTEXTS = {}  # server side, by certificate name
for name, san, days in [("good", "localhost,DNS:mail.example.test,IP:127.0.0.1,IP:::1", 2),
                        ("other", "other.example,IP:127.0.0.2", 2),
                        ("expired", "localhost,IP:127.0.0.1", -1)]:
    openssl(f"req {KEY} -keyout {name}.key -out {name}.csr -subj /CN={name} "
            f"-addext subjectAltName=DNS:{san}")
    openssl(f"x509 -req -in {name}.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days {days} "
            f"-copy_extensions copy -out {name}.pem")
    CONTEXTS[name] = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    CONTEXTS[name].load_cert_chain(f"{name}.pem", f"{name}.key")
CONTEXTS["old"] = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)  # at most TLS 1.1, which we refuse
CONTEXTS["old"].load_cert_chain("good.pem", "good.key")
CONTEXTS["old"].set_ciphers("DEFAULT:@SECLEVEL=0")
CONTEXTS["old"].minimum_version, CONTEXTS["old"].maximum_version = ssl.TLSVersion.TLSv1, ssl.TLSVersion.TLSv1_1
SNI = []  # the server names the deliveries' handshakes carried
CONTEXTS["good"].sni_callback = lambda _socket, name, _context: SNI.append(name)


Path("hosts").write_text("127.0.0.1 mail.example.test\n")
NAMED = {**os.environ, "LD_PRELOAD": "libnss_wrapper.so", "NSS_WRAPPER_HOSTS": "hosts"}


def brenvox(port, *args, env=None):
    run = subprocess.run([BINARY, "-P", str(port), "-f", "r@example.org", "-t", "x@example.org",
                          "-s", "tls", "-m", "hi", "-A", "robot:secret", *args],
                         capture_output=True, timeout=20, env=env)
    return run.returncode, run.stdout.decode("latin-1")


def serve(listener, answer, cert):
    """One session of a scripted server; returns the commands it got, one a receive as the sender
    waits for each reply. EHLO offers STARTTLS unless `answer` is None; STARTTLS gets `answer`,
    then a handshake with `cert` (None: a close after the ClientHello); DATA 354 and a close."""
    offer = b"starttls" if answer is not None else b"X-STARTTLS"  # any case will do
    replies = {"EHLO": b"250-scripted\r\n250-" + offer + b"\r\n250 AUTH LOGIN\r\n",
               "STARTTLS": answer, "DATA": b"354 go\r\n", "QUIT": b"221 bye\r\n"}
    seen = []
    with listener:
        conn = listener.accept()[0]
    conn.sendall(b"220 scripted\r\n")
    with contextlib.suppress(OSError):
        while verb := conn.recv(65536).split(b" ")[0].strip().upper().decode():
            seen.append(verb)
            conn.sendall(replies.get(verb, b"250 ok\r\n"))
            if verb in ("QUIT", "DATA"):
                conn.shutdown(socket.SHUT_WR)  # FIN first: the sender's next send is EPIPE
                break
            if verb == "STARTTLS" and answer.startswith(b"220"):
                if not cert:
                    conn.recv(65536)
                    break
                conn = CONTEXTS[cert].wrap_socket(conn, server_side=True)
                seen.append("HANDSHAKE")
    conn.close()
    return seen


GO, CAFILE = b"220 go\r\n", ["--cafile", "ca.pem"]
VERIFY = "! Error: TLS handshake failed: certificate verify failed: {} - Protocol error"
INJECTED = "! Error: Unexpected data from server after STARTTLS - Protocol error"
# name, STARTTLS reply, certificate, arguments, last line (pattern), commands if not EHLO STARTTLS
REFUSALS = [
    ("not offered", None, None, [], "! Error, server does not offer STARTTLS, quitting.",
     "EHLO", "QUIT"),
    ("refused with 454", b"454 TLS not available\r\n", None, [],
     "! Error, STARTTLS refused, quitting.", "EHLO", "STARTTLS", "QUIT"),
    ("unknown authority", GO, "good", [], VERIFY.format("unable to get local issuer certificate")),
    ("other name", GO, "other", CAFILE, VERIFY.format("hostname mismatch")),
    ("other IP", GO, "other", [*CAFILE, "-S", "127.0.0.1"], VERIFY.format("IP address mismatch")),
    ("expired", GO, "expired", CAFILE, VERIFY.format("certificate has expired")),
    ("TLS 1.1 at most", GO, "old", CAFILE, "! Error: TLS handshake failed: .*"),
    ("injected in the reply", GO + b"250-AUTH LOGIN\r\n250 ok\r\n", "good", CAFILE, INJECTED),
    ("injected after a reply that fills the 34-byte receive",
     b"220 " + b"g" * 28 + b"\r\n250 ok\r\n", "good", CAFILE, INJECTED),
    ("closed in the handshake", GO, None, CAFILE,
     "! Error: Connection closed by server - Connection reset by peer"),
    ("closed in the data sent over TLS: EPIPE, not SIGPIPE", GO, "good", [*CAFILE, "-a", "big.bin"],
     "! Error: Problem encountered sending data - Broken pipe",
     "EHLO", "STARTTLS", "HANDSHAKE", "EHLO", "AUTH", "MAIL", "RCPT", "DATA"),
]
DELIVERIES = [
    ("starttls", ["-S", "localhost", "--starttls", *CAFILE], "verified for localhost"),
    ("plain", ["-S", "localhost", "--starttls", *CAFILE, "--auth", "plain"],
     "verified for localhost"),
    ("smtps", [*CAFILE, "-S", "127.0.0.1", "--smtps"], "verified for 127.0.0.1"),
    ("insecure", ["--insecure", "-S", "localhost", "--starttls"], r"not verified \(--insecure\)"),
    # The certificate names the host without the root's dot and the address without its zone.
    ("absolute name", ["-S", "mail.example.test.", "--starttls", *CAFILE],
     r"verified for mail\.example\.test\."),
    ("zone id", [*CAFILE, "-S", "::1%1", "--smtps"], "verified for ::1%1"),
    ("no login", ["-S", "localhost", "--starttls", *CAFILE, "-A", ""], "verified for localhost"),
]


class Tls(unittest.TestCase):
    def test_refusals(self):
        for name, answer, cert, extra, line, *commands in REFUSALS:
            with self.subTest(name), ThreadPoolExecutor() as pool:
                listener = socket.create_server(("127.0.0.1", 0))
                served = pool.submit(serve, listener, answer, cert)
                port = listener.getsockname()[1]
                status, out = brenvox(port, "-S", "localhost", "--starttls", *extra)
                self.assertEqual(status, 1, out[-300:])
                self.assertRegex(out, "(^|[\r\n])" + line + "\n$")
                self.assertEqual(served.result(), commands or ["EHLO", "STARTTLS"])
                self.assertEqual(list(Path().glob("*.msg")), [])

    def test_deliveries(self):
        for name, args, verified in DELIVERIES:
            with self.subTest(name), tempfile.TemporaryDirectory() as spool:
                implicit = "--smtps" in args
                controller = smtp_sink.Controller(
                    smtp_sink.SpoolHandler(spool), hostname="::1" if "::1%1" in args else "127.0.0.1",
                    port=smtp_sink.free_port(),
                    authenticator=smtp_sink.make_authenticator("robot", "secret"),
                    require_starttls=not implicit, auth_require_tls=not implicit,
                    **{"ssl_context" if implicit else "tls_context": CONTEXTS["good"]})
                controller.start()
                self.addCleanup(controller.stop)
                status, out = brenvox(controller.port, "-v", "-a", "big.bin", *args,
                                      env=NAMED if name == "absolute name" else None)
                self.assertEqual(status, 0, out[-300:])
                self.assertRegex(out, r"\n\* TLSv1\.[23], \S+, certificate " + verified + "\n")
                login = r"PLAIN AHJvYm90AHNlY3JldA==\n" if name == "plain" else r"LOGIN\n(.*\n){4}"
                if name != "no login":
                    self.assertRegex(out, r"\n> AUTH " + login + "< 235")
                named = re.sub(r"\.$", "", args[args.index("-S") + 1])
                self.assertEqual(SNI.pop(), None if "::1" in named or "127." in named else named)
                message = email.message_from_bytes(Path(spool, "1.eml").read_bytes())
                self.assertEqual(message.get_payload()[1].get_payload(decode=True), BIG)
                hellos = re.findall(r"^> (EHLO|STARTTLS|HELO)", out, re.M)
                self.assertEqual(hellos, ["EHLO"] if implicit else ["EHLO", "STARTTLS", "EHLO"])


if __name__ == "__main__":
    unittest.main(verbosity=2)
