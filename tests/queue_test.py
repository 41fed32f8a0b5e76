#!/usr/bin/python3
"""The queue through the sendmail mode and --flush, against aiosmtpd and a stalling server: what
is queued is delivered exactly once, whatever fails, races or is killed on the way."""
import email
import email.policy
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from pathlib import Path

HERE = os.path.dirname(os.path.abspath(__file__))
BINARY = os.path.abspath(os.environ.get("BRENVOX_BINARY", f"{HERE}/../build/brenvox"))
sys.path.insert(0, f"{HERE}/../scripts")
import smtp_sink  # noqa: E402

FAKETIME = next(Path("/usr/lib").glob("*/faketime/libfaketime.so.1"), "")


class Relay:
    """Refuses with the replies queued per verb (MAIL, RCPT), then takes every message."""

    def __init__(self, **refusals):
        self.refusals, self.got = refusals, []

    def refusal(self, verb):
        return self.refusals.get(verb, []).pop(0) if self.refusals.get(verb) else None

    async def handle_MAIL(self, server, session, envelope, address, options):
        envelope.mail_from = address
        return self.refusal("MAIL") or "250 OK"

    async def handle_RCPT(self, server, session, envelope, address, options):
        envelope.rcpt_tos.append(address)
        return self.refusal("RCPT") or "250 OK"

    async def handle_DATA(self, server, session, envelope):
        self.got.append(email.message_from_bytes(envelope.original_content,
                                                 policy=email.policy.default)["Subject"])
        return "250 OK taken"


def broken_server(listener, at_end, hang):
    """Takes a whole message but never says 250: stalls (hang) or closes after the data."""
    with listener:
        connection, _ = listener.accept()
        with connection, connection.makefile("rb") as lines:
            connection.sendall(b"220 broken\r\n")
            for line in lines:
                connection.sendall(b"354 go\r\n" if line.startswith(b"DATA") else b"250 ok\r\n")
                if line.startswith(b"DATA"):
                    while next(lines) != b".\r\n":
                        pass
                    at_end.set()
                    connection.recv(1 if hang else 0)  # until the client is gone
                    return


class Queue(unittest.TestCase):
    def setUp(self):
        self.work = Path(tempfile.mkdtemp())
        self.port, self.queue, self.config = smtp_sink.free_port(), self.work / "q", self.work / "c"
        self.settle()

    def settle(self, more=""):
        self.config.write_text(f"host 127.0.0.1\nport {self.port}\nfrom me@x.test\n"
                               f"queue {self.queue}\n{more}")

    def serve(self, relay):
        server = smtp_sink.Controller(relay, hostname="127.0.0.1", port=self.port)
        server.start()
        self.addCleanup(server.stop)
        return relay

    def send(self, subject, status=0):
        run = subprocess.run([BINARY, "--sendmail", "-C", self.config, "a@y.test"],
                             input=f"Subject: {subject}\n\nbody\n".encode(), capture_output=True)
        self.assertEqual(run.returncode, status, run.stderr)
        return run.stderr.decode()

    def brenvox(self, *args, env=None):
        return subprocess.Popen([BINARY, *args, "--settings", self.config], env=env,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT)

    def files(self):
        return {p.name: p.read_bytes() for p in self.queue.iterdir() if p.is_file()}

    def listed(self, env=None):
        return self.brenvox("--queue-list", env=env).communicate()[0].decode()

    def flush(self, *more):
        self.brenvox("--flush", *more).communicate()

    def test_refused_then_4xx_then_250_and_racing_flushes_each_once(self):
        for n in range(20):
            self.send(f"m{n}")  # nothing listens: all queued, status 0
        relay = self.serve(Relay(RCPT=["451 4.3.0 busy"]))
        self.flush()  # their time has not come
        self.assertEqual(relay.got, [])
        later = dict(os.environ, LD_PRELOAD=FAKETIME, FAKETIME="+2m")
        flushes = [self.brenvox("--flush", env=later) for _ in range(2)]
        for run in flushes:
            run.communicate()
        self.assertRegex(self.listed(later), r"  in [45]m  127.0.0.1 refused the recipient <a@y")
        self.flush("--now")
        self.assertEqual(sorted(relay.got), sorted(f"m{n}" for n in range(20)))
        self.assertEqual(self.listed(), "Mail queue is empty\n")

    def test_5xx_goes_to_failed_and_can_be_dropped(self):
        relay = self.serve(Relay(RCPT=["550 5.1.1 no such user"]))
        self.assertIn("(moved to failed/", self.send("lost", status=67))
        self.flush("--now")
        listed = self.listed()
        self.assertRegex(listed, r"^\S+  \d+  0s  a@y.test  failed  127.0.0.1 refused the recipient "
                                 r"<a@y.test>: 550 5.1.1 no such user\n$")
        drop = self.brenvox("--queue-drop", listed.split()[0])
        self.assertEqual((relay.got, drop.communicate()[0], drop.returncode), ([], b"", 0))
        self.assertEqual(self.listed(), "Mail queue is empty\n")

    def test_held_until_the_settings_change(self):
        relay = self.serve(Relay(MAIL=["530 5.7.0 Must issue a STARTTLS command first"]))
        self.assertIn("held until the settings change", self.send("held"))
        self.flush()
        self.assertIn("  held  ", self.listed())
        self.settle("# tls fixed\n")
        self.flush()
        self.assertEqual(relay.got, ["held"])

    def test_killed_mid_data_loses_nothing_and_a_lost_reply_is_counted(self):
        for hang in (False, True):
            self.send(f"hang {hang}")
            before, at_end = self.files(), threading.Event()
            listener = socket.create_server(("127.0.0.1", self.port))
            threading.Thread(target=broken_server, args=(listener, at_end, hang), daemon=True).start()
            run = self.brenvox("--flush", "--now")
            self.assertTrue(at_end.wait(10))
            if hang:
                run.kill()
            output = run.communicate()[0]
            self.assertEqual(self.files() == before, hang, output)
        self.assertIn("maybe-delivered 1", self.listed())
        relay = self.serve(Relay())
        self.flush("--now")  # the one that may have arrived goes again: at least once
        self.assertEqual((sorted(relay.got), self.listed()),
                         (["hang False", "hang True"], "Mail queue is empty\n"))

    def test_rate_spaces_the_messages_of_an_account(self):
        for n in range(3):
            self.send(f"r{n}")
        self.settle("rate 120\n")
        relay = self.serve(Relay())
        started = time.monotonic()
        self.flush("--now")
        self.assertEqual((len(relay.got), time.monotonic() - started >= 1.0), (3, True))


if __name__ == "__main__":
    unittest.main(verbosity=2)
