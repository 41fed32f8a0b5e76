#!/usr/bin/python3
"""TLS end to end: deliveries to aiosmtpd, a throw-away CA (the refusals are session rows)."""
import email
import os
import re
import ssl
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

HERE = os.path.dirname(os.path.abspath(__file__))
BINARY = os.path.abspath(os.environ.get("BRENVOX_BINARY", f"{HERE}/../build/brenvox"))
sys.path.insert(0, f"{HERE}/../scripts")
import smtp_sink  # noqa: E402

WORK = tempfile.TemporaryDirectory()
os.chdir(WORK.name)  # certificates, attachment and the sender's working directory
BIG = os.urandom(4 << 20)
Path("big.bin").write_bytes(BIG)


def openssl(command):
    subprocess.run(["openssl", *command.split()], check=True, capture_output=True)


KEY = "-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes"
openssl(f"req -x509 {KEY} -keyout ca.key -out ca.pem -days 2 -subj /CN=Brenvox-test-CA")
openssl(f"req {KEY} -keyout good.key -out good.csr -subj /CN=good "
        "-addext subjectAltName=DNS:localhost,DNS:mail.example.test,IP:127.0.0.1,IP:::1")
openssl("x509 -req -in good.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 "
        "-copy_extensions copy -out good.pem")
CONTEXT = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
CONTEXT.load_cert_chain("good.pem", "good.key")
SNI = []  # the server names the deliveries' handshakes carried
CONTEXT.sni_callback = lambda _socket, name, _context: SNI.append(name)


Path("hosts").write_text("127.0.0.1 mail.example.test\n")
NAMED = {**os.environ, "LD_PRELOAD": "libnss_wrapper.so", "NSS_WRAPPER_HOSTS": "hosts"}


def brenvox(port, *args, env=None):
    run = subprocess.run([BINARY, "-P", str(port), "-f", "r@example.org", "-t", "x@example.org",
                          "-s", "tls", "-m", "hi", "-A", "robot:secret", *args],
                         capture_output=True, timeout=20, env=env)
    return run.returncode, run.stdout.decode("latin-1")


CAFILE = ["--cafile", "ca.pem"]
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
    def test_deliveries(self):
        for name, args, verified in DELIVERIES:
            with self.subTest(name), tempfile.TemporaryDirectory() as spool:
                implicit = "--smtps" in args
                controller = smtp_sink.Controller(
                    smtp_sink.SpoolHandler(spool), hostname="::1" if "::1%1" in args else "127.0.0.1",
                    port=smtp_sink.free_port(),
                    authenticator=smtp_sink.make_authenticator("robot", "secret"),
                    require_starttls=not implicit, auth_require_tls=not implicit,
                    **{"ssl_context" if implicit else "tls_context": CONTEXT})
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
