#!/usr/bin/python3
"""End to end: the real binary delivers to a real SMTP server (aiosmtpd) and the
received message is checked with Python's email parser."""
import email
import email.policy
import importlib.util
import json
import os
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
BINARY = os.path.abspath(os.environ.get("BRENVOX_BINARY", os.path.join(HERE, "..", "build", "brenvox")))

sink_location = importlib.util.spec_from_file_location(
    "smtp_sink", os.path.join(HERE, "..", "scripts", "smtp_sink.py"))
smtp_sink = importlib.util.module_from_spec(sink_location)
sink_location.loader.exec_module(smtp_sink)

from aiosmtpd.controller import Controller  # noqa: E402


class Server:
    """aiosmtpd on a free loopback port, storing messages in a spool folder."""

    def __init__(self, auth=None):
        self.spool = tempfile.TemporaryDirectory()
        kwargs = {}
        if auth:
            user, _, password = auth.partition(":")
            kwargs = {"authenticator": smtp_sink.make_authenticator(user, password),
                      "auth_require_tls": False}
        self.port = smtp_sink.free_port()
        self.controller = Controller(smtp_sink.SpoolHandler(self.spool.name),
                                     hostname="127.0.0.1", port=self.port,
                                     data_size_limit=None, **kwargs)

    def __enter__(self):
        self.controller.start()
        return self

    def __exit__(self, *exc):
        self.controller.stop()
        self.spool.cleanup()

    def messages(self):
        found = []
        for name in sorted(os.listdir(self.spool.name)):
            if name.endswith(".eml"):
                base = os.path.join(self.spool.name, name[:-4])
                with open(base + ".eml", "rb") as raw, open(base + ".json") as envelope:
                    found.append((raw.read(), json.load(envelope)))
        return found


def brenvox(server, *args, cwd=None):
    run = subprocess.run([BINARY, "-S", "127.0.0.1", "-P", str(server.port), *args],
                         cwd=cwd, capture_output=True, timeout=60)
    return run.returncode, run.stdout.decode("latin-1")


class Delivery(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.TemporaryDirectory()
        self.addCleanup(self.work.cleanup)

    def write(self, name, data):
        path = os.path.join(self.work.name, name)
        with open(path, "wb") as out:
            out.write(data)
        return path

    def test_composed_message_arrives_intact(self):
        binary = os.urandom(70000) + bytes(range(256))
        files = {"blob.bin": binary, "empty.dat": b"", "report.pdf": b"%PDF-1.4 tiny\n"}
        paths = [self.write(name, data) for name, data in files.items()]
        body = "First line\n.hidden\n.\nlast line"
        with Server() as server:
            status, out = brenvox(server, "-f", "cron@example.org",
                                  "-t", "a@example.org, b@example.org", "-s", "Nightly report",
                                  "-m", body, "-h", "test.example", "-a", *paths,
                                  cwd=self.work.name)
            self.assertEqual(status, 0, out)
            [(raw, envelope)] = server.messages()
        self.assertEqual(os.listdir(self.work.name).count("blob.bin"), 1)
        self.assertFalse([n for n in os.listdir(self.work.name) if n.endswith(".msg")])
        self.assertEqual(envelope["mail_from"], "cron@example.org")
        self.assertEqual(envelope["rcpt_tos"], ["a@example.org", "b@example.org"])

        message = email.message_from_bytes(raw, policy=email.policy.compat32)
        self.assertEqual(message["From"], "<cron@example.org>")
        self.assertEqual(message["To"], "<a@example.org>, <b@example.org>")
        self.assertEqual(message["Subject"], "Nightly report")
        self.assertEqual(message["MIME-Version"], "1.0")
        self.assertRegex(message["Date"], r"^\w{3}, \d\d \w{3} \d{4} \d\d:\d\d:\d\d [+-]\d{4}$")
        self.assertTrue(message.is_multipart())
        parts = message.get_payload()
        self.assertEqual(len(parts), 4)
        text = parts[0]
        self.assertEqual(text.get_content_type(), "text/plain")
        self.assertEqual(text.get_payload(decode=True).decode().replace("\r\n", "\n"),
                         body + "\n")
        expected_types = ["application/x-binary", "application/octet-stream",
                          "application/pdf"]
        for part, (name, data), content_type in zip(parts[1:], files.items(), expected_types):
            self.assertEqual(part.get_filename(), name)
            self.assertEqual(part.get_content_type(), content_type)
            self.assertEqual(part.get_payload(decode=True) or b"", data, name)

    def test_auth_login_accepted(self):
        with Server(auth="robot:pa:ss word") as server:
            status, out = brenvox(server, "-A", "robot:pa:ss word", "-f", "r@example.org",
                                  "-t", "x@example.org", "-s", "auth", "-m", "hi", "-v",
                                  cwd=self.work.name)
            self.assertEqual(status, 0, out)
            [(_, envelope)] = server.messages()
        self.assertEqual(envelope["login"], "robot")
        self.assertIn("> AUTH LOGIN\n", out)
        self.assertIn("< 235", out)

    def test_wrong_password_sends_nothing(self):
        with Server(auth="robot:right") as server:
            status, out = brenvox(server, "-A", "robot:wrong", "-f", "r@example.org",
                                  "-t", "x@example.org", "-m", "hi", cwd=self.work.name)
            self.assertEqual(status, 1)
            self.assertEqual(server.messages(), [])
        self.assertIn("! Authentication failure, quitting.\n", out)

    def test_raw_message_sent_as_it_stands(self):
        raw = b"From: <r@example.org>\r\nSubject: raw\r\n\r\nline one\r\n..stuffed\r\n.\r\n"
        path = self.write("message.eml", raw)
        with Server() as server:
            status, out = brenvox(server, "-f", "r@example.org", "-t", "x@example.org",
                                  "-r", path, cwd=self.work.name)
            self.assertEqual(status, 0, out)
            [(received, _)] = server.messages()
        # The server undoes the dot-stuffing the file already carries.
        self.assertEqual(received, raw[:-3].replace(b"\r\n..", b"\r\n."))
        self.assertEqual(open(path, "rb").read(), raw)


if __name__ == "__main__":
    unittest.main(verbosity=2)
