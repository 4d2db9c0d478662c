"""SMTP servers for the mail tests, all on one event loop on loopback ports.

Usage: smtp_peer.py OUT_DIR LOCALHOST_CERT LOCALHOST_KEY OTHER_CERT OTHER_KEY

Prints one line "name=port name=port ..." once every server listens, then runs until stdin
closes. Each message a server accepts is written to OUT_DIR/<name>-<n>.txt: "key=value" lines for
what the client said (greeting name, TLS, envelope, login), a blank line, then the data byte
for byte.
"""

import asyncio
import itertools
import os
import socket
import ssl
import struct
import sys

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword

OUT_DIR = sys.argv[1]
COUNTER = itertools.count()


class Recorder:
    def __init__(self, name):
        self.name = name

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if "refuse" in address:
            return f"550 5.1.1 <{address}>: Recipient address rejected"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        login = session.auth_data
        if not isinstance(login, LoginPassword):
            login = LoginPassword(b"", b"")
        head = (
            f"helo={session.host_name}\n"
            f"tls={int(session.ssl is not None)}\n"
            f"from={envelope.mail_from}\n"
            f"to={','.join(envelope.rcpt_tos)}\n"
        ).encode("latin-1")
        head += b"login=" + login.login + b"\npassword=" + login.password + b"\n\n"
        path = os.path.join(OUT_DIR, f"{self.name}-{next(COUNTER)}.txt")
        with open(path + ".tmp", "wb") as f:
            f.write(head + envelope.original_content)
        os.rename(path + ".tmp", path)
        return "250 2.0.0 Message accepted"


def accept_all(server, session, envelope, mechanism, auth_data):
    return AuthResult(success=True, auth_data=auth_data)


class NoEhlo(SMTP):
    async def smtp_EHLO(self, hostname):
        await self.push("502 5.5.1 EHLO not implemented")


def tls_context(cert, key):
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(cert, key)
    return context


async def silent(reader, writer):
    await reader.read()
    writer.close()


async def endless_line(reader, writer):
    try:
        writer.write(b"220 ")
        while True:
            writer.write(b"x" * 65536)
            await writer.drain()
    except (ConnectionError, OSError):
        pass


async def no_crlf(reader, writer):
    writer.write(b"220 ready")
    await writer.drain()
    writer.close()


async def closes_at_once(reader, writer):
    writer.close()


async def closes_after_greeting(reader, writer):
    writer.write(b"220 ready\r\n")
    await writer.drain()
    await reader.readline()
    writer.close()


async def endless_multiline(reader, writer):
    try:
        while True:
            writer.write(b"220-and there is more\r\n" * 64)
            await writer.drain()
    except (ConnectionError, OSError):
        pass


async def reset_in_data(reader, writer):
    writer.write(b"220 ready\r\n")
    while True:
        line = await reader.readline()
        if not line:
            return
        if line.upper().startswith(b"DATA"):
            writer.write(b"354 go ahead\r\n")
            await writer.drain()
            await reader.read(16)
            sock = writer.get_extra_info("socket")
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            writer.transport.abort()
            return
        writer.write(b"250 ok\r\n")
        await writer.drain()


async def main():
    loop = asyncio.get_running_loop()
    good = tls_context(sys.argv[2], sys.argv[3])
    other = tls_context(sys.argv[4], sys.argv[5])
    smtp_servers = {
        "plain": lambda: SMTP(Recorder("plain"), hostname="peer"),
        "auth": lambda: SMTP(Recorder("auth"), hostname="peer", authenticator=accept_all,
                             auth_require_tls=False),
        "noehlo": lambda: NoEhlo(Recorder("noehlo"), hostname="peer"),
        "tls": lambda: SMTP(Recorder("tls"), hostname="peer", tls_context=good,
                            authenticator=accept_all),
        "otherhost": lambda: SMTP(Recorder("otherhost"), hostname="peer", tls_context=other,
                                  authenticator=accept_all),
    }
    raw_servers = {
        "silent": silent,
        "endless_line": endless_line,
        "no_crlf": no_crlf,
        "closes_at_once": closes_at_once,
        "closes_after_greeting": closes_after_greeting,
        "endless_multiline": endless_multiline,
        "reset_in_data": reset_in_data,
    }
    ports = []
    for name, factory in smtp_servers.items():
        server = await loop.create_server(factory, "127.0.0.1", 0)
        ports.append(f"{name}={server.sockets[0].getsockname()[1]}")
    for name, handler in raw_servers.items():
        server = await asyncio.start_server(handler, "127.0.0.1", 0)
        ports.append(f"{name}={server.sockets[0].getsockname()[1]}")
    print(" ".join(ports), flush=True)
    # Ends with the test: its end of the pipe closes.
    await loop.run_in_executor(None, sys.stdin.read)


asyncio.run(main())
