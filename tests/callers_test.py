#!/usr/bin/python3
"""Real programs that pipe mail into sendmail, through a link to the binary, to aiosmtpd;
Python's email package reads what arrived. A missing caller fails under CI, else is skipped."""
import email
import email.policy
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

HERE = os.path.dirname(os.path.abspath(__file__))
BINARY = os.path.abspath(os.environ.get("BRENVOX_BINARY", f"{HERE}/../build/brenvox"))
sys.path.insert(0, f"{HERE}/../scripts")
import smtp_sink  # noqa: E402

# bsd-mailx would pull in an MTA, so install-deps unpacks it here instead of installing it.
MAILX = shutil.which("bsd-mailx") or "/var/cache/brenvox-test/bsd-mailx/usr/bin/bsd-mailx"
# The account's own address, in the From added to a message with the null sender.
ME = "cron@example.org"
GIT = ["git", "-c", "user.name=Ann Dev", "-c", "user.email=ann@x.org"]
PHP = ('exit(mail("web@example.org", "Order 42", "Thanks.\\nLine two\\n", "Bcc: audit@'
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
        "sda1 at 91%\n", envelope=("cron@example.org", ["admin@x.org"]),
        headers={"From": "cron@example.org", "Subject": "Disk"}, body="sda1 at 91%\r\n"),
    row("git send-email, Bcc as operand, its own Date and Message-Id",
        [*GIT, "send-email", "--sendmail-cmd=LINK", "--to=list@example.org", "--quiet", "-1",
         "--bcc=hidden@example.org", "--confirm=never"], headers={"From": "Ann Dev <ann@x.org>"},
        envelope=("cron@example.org", ["list@example.org", "ann@x.org", "hidden@example.org"]),
        body="PATCH"),
    row("PHP mail() with -f and a Bcc header", ["php", "-d", "sendmail_path=LINK -t -i", "-r", PHP],
        envelope=("shop@example.org", ["web@example.org", "audit@example.org"]),
        headers={"From": "shop@example.org"}, body="Thanks.\r\nLine two\r\n\r\n"),
    row("Vixie cron -t, a lone dot is text", ["LINK", "-FCronDaemon", "-odi", "-oem", "-oi", "-t"],
        CRON.format("root") + "job\n.\nlast\n", envelope=("cron@example.org", ["admin@x.org"]),
        headers={"From": "root", "X-Cron-Env": "<SHELL=/bin/sh>"}, body="job\r\n.\r\nlast\r\n"),
    row("Debian cron, a local user gets the domain, no -i", ["LINK", "-FCronDaemon", "-B8BITMIME",
        "-oem", "pi"], CRON.format("pi") + ".\n..\n", body=".\r\n..\r\n",
        envelope=("cron@example.org", ["pi@example.org"]), headers={"To": "pi"}),
    row("cronie null sender -f '<>', -F names the added From, -t adds to the operands",
        ["LINK", "-FCronDaemon", "-i", "-odi", "-oem", "-oi", "-t", "-f", "<>", "dev@example.org"],
        "To: ops@example.org\nBcc: Audit <audit@example.org>\nSubject: out\n\nok\r\n",
        envelope=("<>", ["dev@example.org", "ops@example.org", "audit@example.org"]),
        headers={"From": f"CronDaemon <{ME}>"}, body="ok\r\n"),
    row("only headers, null sender -f ''", ["LINK", "-f", "", "ops@example.org"], "Subject: s\n",
        envelope=("<>", ["ops@example.org"]), headers={"From": ME, "Subject": "s"}),
    row("no recipient under -t", ["LINK", "-t"], "Subject: lost\n\nbody\n", status=67,
        err="no recipients: the message has no To, Cc or Bcc address"),
    row("settings others can write", ["LINK", "ops@example.org"], status=78, mode=0o622,
        err="config can be written by group or others"),
    row("missing account", ["LINK", "-a", "nope", "ops@example.org"], status=78,
        err="config: no account 'nope'"),
    row("failing passwordeval", ["LINK", "ops@example.org"], status=78,
        settings="auth plain\nuser u\npasswordeval exit 3\n", err="passwordeval failed"),
]


WORK = Path(tempfile.mkdtemp())
LINK, SPOOL, REPO = WORK / "sendmail", WORK / "spool", WORK / "repo"
LINK.symlink_to(BINARY)
SPOOL.mkdir()
(WORK / "aliases").write_text("# root's mail\nroot: admin@x.org\n")
(WORK / "mailrc").write_text(f"set sendmail={LINK}\n")
(WORK / "xdg/brenvox").mkdir(parents=True)
ENV = dict(os.environ, XDG_CONFIG_HOME=f"{WORK}/xdg", MAILRC=f"{WORK}/mailrc", HOME=str(WORK))
subprocess.run(["git", "init", "-q", REPO], check=True)
(REPO / "f").write_text("x\n")
for step in (["add", "f"], ["commit", "-q", "-m", "Add f", "-m", "Body line."]):
    subprocess.run([*GIT, "-C", REPO, *step], check=True)


def received():
    """The messages of the spool (every caller waits for sendmail), taken out of it."""
    found = []
    for envelope in sorted(SPOOL.glob("*.json")):
        eml = envelope.with_suffix(".eml")
        found.append((eml.read_bytes(), json.loads(envelope.read_text())))
        eml.unlink()
        envelope.unlink()
    return found


class Callers(unittest.TestCase):
    def run_caller(self, r, port):
        config = WORK / "xdg/brenvox/config"
        config.write_text(f"account default\nhost 127.0.0.1\nport {port}\ndomain example.org\n"
                          f"from cron@example.org\naliases {WORK}/aliases\nqueue {WORK}/q\n"
                          f"{r['settings']}")
        config.chmod(r["mode"])
        if not shutil.which(r["argv"][0]) and r["argv"][0] != "LINK":
            if os.environ.get("CI"):
                self.fail(f"{r['argv'][0]} is not installed: run scripts/install-deps")
            self.skipTest(f"{r['argv'][0]} is not installed (scripts/install-deps installs it)")
        return subprocess.run([a.replace("LINK", str(LINK)) for a in r["argv"]], cwd=REPO,
                              input=r["stdin"].encode(), capture_output=True, env=ENV, timeout=60)

    def test_callers(self):
        patch = subprocess.run([*GIT, "-C", REPO, "format-patch", "--stdout", "-1"],
                               capture_output=True, check=True).stdout
        patch = patch.split(b"\n\n", 1)[1].replace(b"\n", b"\r\n").decode()
        server = smtp_sink.Controller(smtp_sink.SpoolHandler(SPOOL), hostname="127.0.0.1",
                                      port=smtp_sink.free_port())
        server.start()
        self.addCleanup(server.stop)
        for r in ROWS:
            with self.subTest(r["name"]):
                run, found = self.run_caller(r, server.port), received()
                self.assertEqual((run.returncode, len(found)), (r["status"], bool(r["envelope"])),
                                 run.stderr)
                self.assertIn(r["err"], run.stderr.decode())
                for raw, envelope in found:
                    self.assertEqual((envelope["mail_from"], envelope["rcpt_tos"]), r["envelope"])
                    self.assertEqual({raw.count(b"\r"), raw.count(b"\n")}, {raw.count(b"\r\n")})
                    message = email.message_from_bytes(raw, policy=email.policy.default)
                    self.assertEqual({h: len(message.get_all(h, [])) for h in ADDED}, ADDED)
                    self.assertEqual({h: message[h] for h in r["headers"]}, r["headers"])
                    body = raw.split(b"\r\n\r\n", 1)[1].decode()
                    self.assertEqual(body, patch if r["body"] == "PATCH" else r["body"])


if __name__ == "__main__":
    try:
        unittest.main(verbosity=2)
    finally:
        shutil.rmtree(WORK)
