#!/usr/bin/python3
"""The real binary delivers to aiosmtpd; Python's email package reads what arrived."""
import email
import email.policy
import importlib.util
import json
import os
import subprocess
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
BINARY = os.environ.get("BRENVOX_BINARY", os.path.join(HERE, "..", "build", "brenvox"))
location = importlib.util.spec_from_file_location("sink", os.path.join(HERE, "../scripts/smtp_sink.py"))
sink = importlib.util.module_from_spec(location)
location.loader.exec_module(sink)


def deliver(files, args, auth=None):
    """Status, stdout, files left, and the one message received with its envelope."""
    with tempfile.TemporaryDirectory() as spool, tempfile.TemporaryDirectory() as work:
        for name, data in files.items():
            open(os.path.join(work, name), "wb").write(data)
        extra = {"authenticator": sink.make_authenticator(*auth.split(":", 1)),
                 "auth_require_tls": False} if auth else {}
        server = sink.Controller(sink.SpoolHandler(spool), hostname="127.0.0.1",
                                 port=sink.free_port(), data_size_limit=None, **extra)
        server.start()
        try:
            run = subprocess.run([BINARY, "-S", "127.0.0.1", "-P", str(server.port), *args],
                                 cwd=work, capture_output=True, timeout=60)
        finally:
            server.stop()
        [name] = [os.path.join(spool, n[:-4]) for n in os.listdir(spool) if n.endswith(".eml")]
        return (run.returncode, run.stdout.decode("latin-1"), sorted(os.listdir(work)),
                open(name + ".eml", "rb").read(), json.load(open(name + ".json")))


class Delivery(unittest.TestCase):
    def test_attachments_with_auth_login(self):
        files = {"blob.bin": os.urandom(70000) + bytes(range(256)), 'say "hi".dat': b"",
                 "Grüße Ünïcödé " * 5 + ".pdf": b"%PDF-1.4 tiny\n"}
        body = "First line\n.hidden\n.\nGrüße = 1 \t\n" + "x" * 75 + ".y " * 400 + "\nend"
        status, out, left, raw, envelope = deliver(files, [
            "-A", "robot:pa:ss", "-f", "me@example.org", "-t", "a@example.org, b@example.org",
            "-s", "Nightly Grüße " * 6, "-m", body, "-a", *files], auth="robot:pa:ss")
        self.assertEqual((status, left), (0, sorted(files)), out)
        self.assertEqual((envelope["login"], envelope["mail_from"], envelope["rcpt_tos"]),
                         ("robot", "me@example.org", ["a@example.org", "b@example.org"]))
        message = email.message_from_bytes(raw, policy=email.policy.default)
        self.assertEqual((message["To"], message["Subject"]),
                         ("a@example.org, b@example.org", "Nightly Grüße " * 6))
        text, *parts = message.get_payload()
        self.assertEqual(text.get_content(), body.replace("\n", "\r\n") + "\r\n")
        types = ["application/x-binary", "application/octet-stream", "application/pdf"]
        self.assertEqual([(p.get_filename(), p.get_content_type(), p.get_payload(decode=True))
                          for p in parts], [(n, t, d) for (n, d), t in zip(files.items(), types)])

    def test_html_with_text_inline_image_attachment_and_copies(self):
        files = {"page.html": "<p>Grüße</p><img src='cid:logo_1.png'>\n".encode(),
                 "logo 1.png": bytes(range(256)), "data.pdf": b"%PDF"}
        status, out, _, raw, envelope = deliver(files, [
            "-f", "me@example.org", "-t", "on@example.org", "--cc", "team@example.org",
            "--bcc", "archive@example.org", "--reply-to", "t@example.org", "--from-name", "Müller",
            "--header", "Auto-Submitted: auto-generated", "-m", "plain", "--html", "page.html",
            "--inline", "logo 1.png", "-a", "data.pdf"])
        self.assertEqual(status, 0, out)
        self.assertEqual(envelope["rcpt_tos"], ["on@example.org", "team@example.org",
                                                "archive@example.org"])
        self.assertNotIn(b"archive", raw)
        message = email.message_from_bytes(raw, policy=email.policy.default)
        self.assertEqual([message[f] for f in ("From", "Cc", "Reply-To", "Auto-Submitted")],
                         ["Müller <me@example.org>", "team@example.org", "t@example.org",
                          "auto-generated"])
        related, attached = message.get_payload()
        alternative, image = related.get_payload()
        text, html = alternative.get_payload()
        self.assertEqual([p.get_content_type() for p in (message, related, alternative, text,
                                                         html, image, attached)],
                         ["multipart/mixed", "multipart/related", "multipart/alternative",
                          "text/plain", "text/html", "image/png", "application/pdf"])
        self.assertEqual((text.get_content(), html.get_content()),
                         ("plain\r\n", files["page.html"].decode().replace("\n", "\r\n")))
        self.assertEqual((image["Content-ID"], image.get_content_disposition(), image.get_content(),
                          attached.get_content()), ("<logo_1.png>", "inline", bytes(range(256)), b"%PDF"))

    def test_raw_message_as_it_stands(self):
        raw = b"From: <r@example.org>\r\nSubject: raw\r\n\r\nline one\r\n..stuffed\r\n.\r\n"
        status, out, _, received, _ = deliver({"m.eml": raw}, ["-f", "r@x.org", "-t", "x@x.org",
                                                                "-r", "m.eml"])
        self.assertEqual(status, 0, out)
        self.assertEqual(received, raw[:-3].replace(b"\r\n..", b"\r\n."))  # the server unstuffs


if __name__ == "__main__":
    unittest.main(verbosity=2)
