#!/usr/bin/python3
"""A local SMTP server (aiosmtpd) that stores every message it receives.

Each message becomes N.eml (the data as received, dot transparency undone) and
N.json (envelope sender and recipients) in the spool directory. Prints
"listening on 127.0.0.1 PORT" once it accepts connections, then serves until
it is terminated or --seconds pass.
"""
import argparse
import json
import os
import signal
import socket
import ssl
import sys
import threading

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword


class SpoolHandler:
    def __init__(self, spool):
        self.spool = spool
        self.count = 0
        self.lock = threading.Lock()

    async def handle_DATA(self, server, session, envelope):
        with self.lock:
            self.count += 1
            number = self.count
        base = os.path.join(self.spool, str(number))
        with open(base + ".eml", "wb") as out:
            out.write(envelope.original_content)
        with open(base + ".json", "w") as out:
            login = session.auth_data.login.decode() if isinstance(
                session.auth_data, LoginPassword) else None
            json.dump({"mail_from": envelope.mail_from, "rcpt_tos": envelope.rcpt_tos,
                       "login": login}, out)
        return "250 OK message accepted"


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def make_authenticator(user, password):
    def authenticate(server, session, envelope, mechanism, auth_data):
        if (isinstance(auth_data, LoginPassword) and auth_data.login.decode() == user
                and auth_data.password.decode() == password):
            return AuthResult(success=True, auth_data=auth_data)
        return AuthResult(success=False, handled=False)
    return authenticate


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("spool", help="directory for the received messages")
    parser.add_argument("--port", type=int, default=0, help="0 picks a free port")
    parser.add_argument("--auth", metavar="USER:PASS",
                        help="offer AUTH LOGIN (without TLS unless --tls) and accept only these"
                             " credentials")
    parser.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"),
                        help="offer STARTTLS with this PEM certificate and key, and require it")
    parser.add_argument("--seconds", type=float, default=600,
                        help="stop by itself after this long")
    args = parser.parse_args()

    kwargs = {}
    if args.auth:
        user, _, password = args.auth.partition(":")
        kwargs = {"authenticator": make_authenticator(user, password),
                  "auth_require_tls": bool(args.tls)}
    if args.tls:
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(*args.tls)
        kwargs.update(tls_context=context, require_starttls=True)
    port = args.port or free_port()
    controller = Controller(SpoolHandler(args.spool), hostname="127.0.0.1", port=port,
                            data_size_limit=None, **kwargs)
    controller.start()
    print(f"listening on 127.0.0.1 {port}", flush=True)

    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    stop.wait(args.seconds)
    controller.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
