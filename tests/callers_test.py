#!/usr/bin/python3
"""Real programs that pipe mail into /usr/sbin/sendmail, run against a link named sendmail
to the binary and a settings file pointing at aiosmtpd; Python's email package reads what
arrived. A caller that is not installed fails under CI (scripts/install-deps installs them)
and is skipped elsewhere."""
import email
import email.policy
import json
import os
import pwd
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

HERE = os.path.dirname(os.path.abspath(__file__))
BINARY = os.path.abspath(os.environ.get("BRENVOX_BINARY", f"{HERE}/../build/brenvox"))
sys.path.insert(0, f"{HERE}/../scripts")
import smtp_sink  # noqa: E402

# bsd-mailx would pull in an MTA, so install-deps unpacks it here instead of installing it.
MAILX = shutil.which("bsd-mailx") or "/var/cache/brenvox-test/bsd-mailx/usr/bin/bsd-mailx"
ME = pwd.getpwuid(os.getuid()).pw_name + "@example.org"
GIT = ["git", "-c", "user.name=Ann Dev", "-c", "user.email=ann@example.org"]
PHP_MAIL = ('exit(mail("web@example.org", "Order 42", "Thanks.\\nLine two\\n", "Bcc: audit@'
            'example.org\\r\\nReply-To: shop@example.org", "-fshop@example.org") ? 0 : 1);')
CRON = ("From: root (Cron Daemon)\nTo: {0}\nSubject: Cron <{0}@host> run-parts /etc/cron.daily\n"
        "MIME-Version: 1.0\nContent-Type: text/plain; charset=UTF-8\n"
        "Content-Transfer-Encoding: 8bit\nX-Cron-Env: <SHELL=/bin/sh>\n\n")
ADDED = {"From": 1, "Date": 1, "Message-Id": 1, "Bcc": 0}  # how many of each, in every message


def row(name, argv, stdin="", status=0, envelope=None, headers=None, body="", settings="",
        mode=0o600, err=""):
    return locals()


# LINK is the sendmail link, MAILX bsd-mailx; envelope is (sender, recipients) of the one
# message expected; body is what follows the header's blank line, in CR LF.
ROWS = [
    row("bsd-mailx mail -s to root through the aliases", [MAILX, "-n", "-s", "Disk", "root"],
        "sda1 at 91%\n", envelope=("cron@example.org", ["admin@example.org"]),
        headers={"From": "cron@example.org", "Subject": "Disk", "To": "root"},
        body="sda1 at 91%\r\n"),
    row("git send-email, Bcc as operand, its own Date and Message-Id",
        [*GIT, "send-email", "--sendmail-cmd=LINK", "--to=list@example.org",
         "--bcc=hidden@example.org", "--confirm=never", "--quiet", "-1"],
        envelope=("cron@example.org", ["list@example.org", "ann@example.org",
                                       "hidden@example.org"]),
        headers={"From": "Ann Dev <ann@example.org>", "Subject": "[PATCH] Add f"}, body="PATCH"),
    row("PHP mail() with -f and a Bcc header", ["php", "-d", "sendmail_path=LINK -t -i", "-r",
                                                PHP_MAIL],
        envelope=("shop@example.org", ["web@example.org", "audit@example.org"]),
        headers={"From": "shop@example.org", "Reply-To": "shop@example.org"},
        body="Thanks.\r\nLine two\r\n\r\n"),
    row("Vixie cron -t, a lone dot is text", ["LINK", "-FCronDaemon", "-odi", "-oem", "-oi", "-t"],
        CRON.format("root") + "job output\n.\nlast\n", envelope=("cron@example.org",
                                                                ["admin@example.org"]),
        headers={"From": "root", "X-Cron-Env": "<SHELL=/bin/sh>"},
        body="job output\r\n.\r\nlast\r\n"),
    row("Debian cron, a local user gets the domain, no -i",
        ["LINK", "-FCronDaemon", "-B8BITMIME", "-oem", "pi"], CRON.format("pi") + ".\n..\n",
        envelope=("cron@example.org", ["pi@example.org"]), headers={"To": "pi"},
        body=".\r\n..\r\n"),
    row("cronie null sender -f '<>', -F names the added From",
        ["LINK", "-FCronDaemon", "-i", "-odi", "-oem", "-oi", "-t", "-f", "<>"],
        "To: ops@example.org\nBcc: Audit <audit@example.org>\nSubject: out\n\nok\r\n",
        envelope=("<>", ["ops@example.org", "audit@example.org"]),
        headers={"From": f"CronDaemon <{ME}>"}, body="ok\r\n"),
    row("only headers, null sender -f ''", ["LINK", "-f", "", "ops@example.org"],
        "Subject: only headers\n", envelope=("<>", ["ops@example.org"]),
        headers={"From": ME, "Subject": "only headers"}),
    row("no recipient under -t", ["LINK", "-t"], "Subject: lost\n\nbody\n", status=67,
        err="no recipients: the message has no To, Cc or Bcc address"),
    row("settings others can write", ["LINK", "ops@example.org"], status=78, mode=0o622,
        err="config can be written by group or others"),
    row("missing account", ["LINK", "-a", "nope", "ops@example.org"], status=78,
        err="config: no account 'nope'"),
    row("failing passwordeval", ["LINK", "ops@example.org"], status=78,
        settings="auth plain\nuser u\npasswordeval exit 3\n", err="passwordeval failed"),
]


class Callers(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.TemporaryDirectory()
        cls.spool = os.path.join(cls.work.name, "spool")
        os.mkdir(cls.spool)
        cls.server = smtp_sink.Controller(smtp_sink.SpoolHandler(cls.spool),
                                          hostname="127.0.0.1", port=smtp_sink.free_port())
        cls.server.start()
        cls.link = os.path.join(cls.work.name, "sendmail")
        os.symlink(BINARY, cls.link)
        with open(os.path.join(cls.work.name, "aliases"), "w") as out:
            out.write("# root's mail\nroot: admin@example.org\n")
        with open(os.path.join(cls.work.name, "mailrc"), "w") as out:
            out.write(f"set sendmail={cls.link}\n")
        cls.repo = os.path.join(cls.work.name, "repo")
        subprocess.run(["git", "init", "-q", cls.repo], check=True)
        with open(os.path.join(cls.repo, "f"), "w") as out:
            out.write("x\n")
        for step in (["add", "f"], ["commit", "-q", "-m", "Add f", "-m", "Body line."]):
            subprocess.run([*GIT, "-C", cls.repo, *step], check=True)

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        cls.work.cleanup()

    def settings(self, extra, mode):
        folder = os.path.join(self.work.name, "xdg", "brenvox")
        os.makedirs(folder, exist_ok=True)
        path = os.path.join(folder, "config")
        with open(path, "w") as out:
            out.write(f"account default\nhost 127.0.0.1\nport {self.server.port}\n"
                      f"domain example.org\nfrom cron@example.org\n"
                      f"aliases {self.work.name}/aliases\n{extra}")
        os.chmod(path, mode)

    def received(self, expected):
        """The messages of the spool, waiting a little for callers that do not wait for us."""
        deadline = time.monotonic() + (5 if expected else 0)
        while True:
            names = sorted(n[:-5] for n in os.listdir(self.spool) if n.endswith(".json"))
            if len(names) >= expected or time.monotonic() > deadline:
                break
            time.sleep(0.05)
        found = []
        for name in names:
            eml, envelope = Path(self.spool, name + ".eml"), Path(self.spool, name + ".json")
            found.append((eml.read_bytes(), json.loads(envelope.read_text())))
            eml.unlink()
            envelope.unlink()
        return found

    def run_caller(self, argv, stdin):
        if shutil.which(argv[0]) is None and argv[0] != "LINK":
            if os.environ.get("CI"):
                self.fail(f"{argv[0]} is not installed: run scripts/install-deps")
            self.skipTest(f"{argv[0]} is not installed (scripts/install-deps installs it)")
        env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(self.work.name, "xdg"),
                   MAILRC=os.path.join(self.work.name, "mailrc"), HOME=self.work.name)
        argv = [a.replace("LINK", self.link) for a in argv]
        return subprocess.run(argv, input=stdin.encode(), capture_output=True, env=env,
                              cwd=self.repo, timeout=60)

    def test_callers(self):
        patch = subprocess.run([*GIT, "-C", self.repo, "format-patch", "--stdout", "-1"],
                               capture_output=True, check=True).stdout
        patch = patch.split(b"\n\n", 1)[1].replace(b"\n", b"\r\n").decode()
        for r in ROWS:
            with self.subTest(r["name"]):
                self.settings(r["settings"], r["mode"])
                run = self.run_caller(r["argv"], r["stdin"])
                self.assertEqual(run.returncode, r["status"], run.stderr)
                self.assertIn(r["err"], run.stderr.decode())
                found = self.received(1 if r["envelope"] else 0)
                self.assertEqual(len(found), 1 if r["envelope"] else 0)
                if not found:
                    continue
                [(raw, envelope)] = found
                self.assertEqual((envelope["mail_from"], envelope["rcpt_tos"]),
                                 tuple(r["envelope"]))
                self.assertEqual({raw.count(b"\r"), raw.count(b"\n")}, {raw.count(b"\r\n")})
                message = email.message_from_bytes(raw, policy=email.policy.default)
                counts = {h: len(message.get_all(h, [])) for h in ADDED}
                self.assertEqual(counts, ADDED)
                self.assertEqual({h: message[h] for h in r["headers"]}, r["headers"])
                body = raw.split(b"\r\n\r\n", 1)[1].decode()
                self.assertEqual(body, patch if r["body"] == "PATCH" else r["body"])


if __name__ == "__main__":
    unittest.main(verbosity=2)
