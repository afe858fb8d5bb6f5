#!/usr/bin/python3
"""Scripted WebSocket server over TLS for tests, on loopback (or a veth address).

It also stands in for the management service's HTTPS endpoints (playlist documents, images,
videos) on the same port: requests that are not WebSocket upgrades are answered from a script
of their own (see "HTTP commands").

Run it with the system Python (another python3 may come first on PATH):

    /usr/bin/python3 websocket_test_server.py --cert server.pem --key server.key \
        [--address 127.0.0.1] [--port 0]

It prints "listening <port>" once it accepts connections, then reads commands from
standard input, one per line, and runs them in order; a test may write the whole script at
once or one line at a time. Everything it sees is reported on standard output, one event per
line, flushed at once, so a test can wait for an event before its next step.

Commands (words separated by single spaces; <kind> is "text" or "binary"):

  mode echo               upgrade new connections and echo every message (the default)
  mode hold               upgrade new connections and only report what arrives
  mode silent-tcp         accept TCP and then do nothing at all (no TLS handshake)
  mode silent-upgrade     complete TLS, read the upgrade request, never answer it
  mode refuse <status>    answer the upgrade with this HTTP status and close
  mode bad-accept         answer 101 with a wrong Sec-WebSocket-Accept
  wait-open [<count>]     wait (at most 10 s) until <count> (default 1) connections are open
  text <words...>         send the rest of the line as one text message
  binary <hex>            send one binary message
  pattern <kind> <size>   send one message of <size> bytes; byte i is "a" + i % 26
  fragments <kind> <part> [ping] <part> ...
                          send one message, each <part> a frame of its own; "ping"
                          sends a ping (payload "p") between two fragments
  masked <words...>       send a text frame with the mask bit set (forbidden from a server)
  raw <hex>               write these bytes as they are (hand-made frames)
  cut <kind> <size> <sent>
                          announce a <size>-byte message, send <sent> bytes of it, reset
  close <code> [reason]   start the closing handshake with this code and reason
  close-empty             start the closing handshake with a close frame without status
  drop                    reset the TCP connection (no close frame)
  restart                 reset every connection, stop listening, listen again on the port
  stop                    reset every connection and stop listening (answers "stopped")
  start                   listen again on the same port (answers "listening <port>")
  sleep <ms>              pause the script
  mark <words...>         report "mark <words...>": the commands before it have run

Connection commands act on the newest open connection; with none open they fail at once
("error no open connection for <command>"), so a script written ahead of the client starts
with "wait-open". "all <command...>" runs a connection command on every open connection.

HTTP commands (<target> is a path, or a path with its query; a request's target is matched
whole first, then by its path alone; a target without a script is answered 404):

  serve <target> <file>   answer 200 with the file's bytes, read when the request comes
  answer <target> <status> [<file>]
                          answer this status, with the file's bytes as body or none
  withhold <target>       read the request and never answer it (until the connection ends)
  stall <target> <file> <bytes>
                          announce the whole file, send its first <bytes> bytes, then hold
  forget <target>         answer 404 again

Events:

  listening <port>
  connection                   TCP accepted
  tls <name>                   the TLS handshake is done; <name> is the client's SNI, "-" without
  tls-failed <reason>          the TLS handshake failed (a client that refused the certificate)
  request <method> <target>    a request head was read; its headers follow, one per line:
  header <name>: <value>
  open                         the upgrade was answered with 101
  message <kind> <length> <sha256 hex> [<text>]
                               a whole message; a text of at most 4096 bytes without line
                               breaks is appended
  pong <hex>                   a pong arrived
  closed <code> [reason]       the peer's close frame (1005 when it had no status)
  disconnected                 a TCP connection ended (whatever stage it reached)
  http <method> <target> <status> <bytes>
                               an HTTP request was answered with this status and this many body
                               bytes; "held" for <status> when it was withheld or stalled
  stopped                      the answer to "stop"
  mark <words...>              the answer to "mark"
  error <text>                 a command failed

Requests that are not WebSocket upgrades go to `Server.handle_http`.
"""

import argparse
import asyncio
import hashlib
import socket
import ssl
import struct
import sys

from websockets.connection import OPEN, SEND_EOF
from websockets.frames import OP_BINARY, OP_CLOSE, OP_CONT, OP_PING, OP_PONG, OP_TEXT, Frame
from websockets.server import ServerConnection

CONNECTION_COMMANDS = ("text", "binary", "pattern", "fragments", "masked", "raw", "cut", "close", "close-empty", "drop")
HEAD_LIMIT = 64 * 1024
READ_CHUNK = 1 << 20


def emit(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


def pattern_bytes(size):
    alphabet = bytes(range(ord("a"), ord("a") + 26))
    return (alphabet * (size // 26 + 1))[:size]


def reset(writer):
    """Ends a connection with a TCP reset instead of an orderly shutdown."""
    sock = writer.get_extra_info("socket")
    if sock is not None:
        try:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        except OSError:
            pass
    writer.transport.abort()


class Session:
    """One upgraded connection."""

    def __init__(self, server, protocol, reader, writer, echo):
        self.server = server
        self.protocol = protocol
        self.reader = reader
        self.writer = writer
        self.echo = echo
        self.parts = []
        self.kind = None

    def flush(self):
        for data in self.protocol.data_to_send():
            if data is SEND_EOF or data == b"":
                # TLS transports cannot half-close; the peer has our close frame.
                self.writer.close()
            elif not self.writer.is_closing():
                self.writer.write(data)

    def raw(self, data):
        if not self.writer.is_closing():
            self.writer.write(data)

    async def run(self):
        try:
            while True:
                data = await self.reader.read(READ_CHUNK)
                if not data:
                    self.protocol.receive_eof()
                    break
                self.protocol.receive_data(data)
                for event in self.protocol.events_received():
                    self.on_frame(event)
                self.flush()
                await self.writer.drain()
        except (ConnectionError, OSError, ssl.SSLError, EOFError):
            pass
        finally:
            self.server.forget(self)

    def on_frame(self, frame):
        if frame.opcode in (OP_TEXT, OP_BINARY):
            self.kind = "text" if frame.opcode == OP_TEXT else "binary"
            self.parts = [frame.data]
        elif frame.opcode == OP_CONT:
            self.parts.append(frame.data)
        elif frame.opcode == OP_PONG:
            emit("pong " + frame.data.hex())
            return
        elif frame.opcode == OP_CLOSE:
            close = self.protocol.close_rcvd
            emit(f"closed {close.code} {close.reason}".rstrip())
            return
        else:
            return
        if not frame.fin:
            return
        message = b"".join(self.parts)
        self.parts = []
        line = f"message {self.kind} {len(message)} {hashlib.sha256(message).hexdigest()}"
        if self.kind == "text" and len(message) <= 4096 and b"\n" not in message and b"\r" not in message:
            line += " " + message.decode("utf-8", "replace")
        emit(line)
        if self.echo and self.protocol.state is OPEN:
            if self.kind == "text":
                self.protocol.send_text(message)
            else:
                self.protocol.send_binary(message)

    async def command(self, words, line):
        p = self.protocol
        name = words[0]
        if name == "text":
            p.send_text(line.split(" ", 1)[1].encode() if len(words) > 1 else b"")
        elif name == "binary":
            p.send_binary(bytes.fromhex(words[1]) if len(words) > 1 else b"")
        elif name == "pattern":
            data = pattern_bytes(int(words[2]))
            p.send_text(data) if words[1] == "text" else p.send_binary(data)
        elif name == "fragments":
            parts = words[2:]
            data_parts = [w for w in parts if w != "ping"]
            sent = 0
            for word in parts:
                if word == "ping":
                    p.send_ping(b"p")
                    continue
                fin = sent == len(data_parts) - 1
                if sent == 0:
                    (p.send_text if words[1] == "text" else p.send_binary)(word.encode(), fin=fin)
                else:
                    p.send_continuation(word.encode(), fin=fin)
                sent += 1
        elif name == "masked":
            payload = line.split(" ", 1)[1].encode() if len(words) > 1 else b""
            self.raw(Frame(OP_TEXT, payload).serialize(mask=True))
        elif name == "raw":
            self.raw(bytes.fromhex(words[1]))
        elif name == "cut":
            size, sent = int(words[2]), int(words[3])
            opcode = OP_TEXT if words[1] == "text" else OP_BINARY
            whole = Frame(opcode, pattern_bytes(size)).serialize(mask=False)
            self.raw(whole[: len(whole) - size + sent])
            await self.writer.drain()
            reset(self.writer)
            return
        elif name == "close":
            code = int(words[1])
            reason = line.split(" ", 2)[2] if len(words) > 2 else ""
            p.send_close(code, reason)
        elif name == "close-empty":
            p.send_close()
        elif name == "drop":
            reset(self.writer)
            return
        self.flush()
        await self.writer.drain()


class Server:
    def __init__(self, address, port, context):
        self.address = address
        self.port = port
        self.context = context
        self.mode = ["echo"]
        self.sessions = []
        self.writers = set()
        self.changed = asyncio.Condition()
        self.listener = None
        self.routes = {}
        self.server_names = {}
        context.sni_callback = self.remember_server_name

    def remember_server_name(self, tls, name, context):
        self.server_names[id(tls)] = name

    async def listen(self):
        self.listener = await asyncio.start_server(
            self.on_client, self.address, self.port, reuse_address=True, limit=HEAD_LIMIT)
        self.port = self.listener.sockets[0].getsockname()[1]
        emit(f"listening {self.port}")

    async def stop(self):
        if self.listener is not None:
            self.listener.close()
            for writer in list(self.writers):
                reset(writer)
            await self.listener.wait_closed()
            self.listener = None

    async def restart(self):
        await self.stop()
        await self.listen()

    def forget(self, session):
        if session in self.sessions:
            self.sessions.remove(session)

    async def wait_open(self, count=1):
        async def present():
            async with self.changed:
                await self.changed.wait_for(lambda: len(self.sessions) >= count)
        try:
            await asyncio.wait_for(present(), 10)
        except asyncio.TimeoutError:
            return False
        return True

    def newest(self):
        return self.sessions[-1] if self.sessions else None

    async def on_client(self, reader, writer):
        self.writers.add(writer)
        mode = list(self.mode)
        emit("connection")
        try:
            if mode[0] == "silent-tcp":
                await reader.read()
                return
            try:
                await writer.start_tls(self.context)
            except (ssl.SSLError, ConnectionError, OSError) as error:
                emit(f"tls-failed {getattr(error, 'reason', None) or error}")
                return
            tls = writer.get_extra_info("ssl_object")
            emit(f"tls {self.server_names.pop(id(tls), None) or '-'}")
            try:
                head = await reader.readuntil(b"\r\n\r\n")
            except (asyncio.IncompleteReadError, asyncio.LimitOverrunError, ConnectionError, OSError):
                return
            lines = head.decode("latin-1").split("\r\n")
            request_line = lines[0].split(" ")
            method, target = (request_line + ["", ""])[:2]
            emit(f"request {method} {target}")
            headers = {}
            for header in lines[1:]:
                if header:
                    emit(f"header {header}")
                    name, _, value = header.partition(":")
                    headers[name.strip().lower()] = value.strip()
            if headers.get("upgrade", "").lower() != "websocket":
                await self.handle_http(method, target, headers, reader, writer)
                return
            await self.upgrade(mode, head, reader, writer)
        except (ConnectionError, OSError, ssl.SSLError):
            pass
        finally:
            self.writers.discard(writer)
            if not writer.is_closing():
                writer.close()
            emit("disconnected")

    async def upgrade(self, mode, head, reader, writer):
        if mode[0] == "silent-upgrade":
            await reader.read()
            return
        if mode[0] == "refuse":
            status = int(mode[1])
            writer.write(f"HTTP/1.1 {status} Refused\r\nContent-Length: 0\r\nConnection: close\r\n\r\n".encode())
            await writer.drain()
            return
        protocol = ServerConnection(max_size=None)
        protocol.receive_data(head)
        request = protocol.events_received()[0]
        response = protocol.accept(request)
        if mode[0] == "bad-accept" and response.status_code == 101:
            del response.headers["Sec-WebSocket-Accept"]
            response.headers["Sec-WebSocket-Accept"] = "AAAAAAAAAAAAAAAAAAAAAAAAAAA="
        protocol.send_response(response)
        session = Session(self, protocol, reader, writer, echo=mode[0] == "echo")
        session.flush()
        if response.status_code != 101:
            await writer.drain()
            return
        # Registered before anything can wait: a command that follows the client's open finds it.
        self.sessions.append(session)
        emit("open")
        async with self.changed:
            self.changed.notify_all()
        await writer.drain()
        await session.run()

    def route(self, target):
        if target in self.routes:
            return self.routes[target]
        return self.routes.get(target.split("?", 1)[0])

    async def handle_http(self, method, target, headers, reader, writer):
        route = self.route(target)
        kind = route[0] if route else None
        if kind == "withhold":
            emit(f"http {method} {target} held 0")
            await reader.read()
            return
        status, body_file, limit = 404, None, None
        if kind == "serve":
            status, body_file = 200, route[1]
        elif kind == "answer":
            status, body_file = route[1], route[2]
        elif kind == "stall":
            status, body_file, limit = 200, route[1], route[2]
        body = b""
        if body_file is not None:
            try:
                with open(body_file, "rb") as source:
                    body = source.read()
            except OSError:
                status, body = 404, b""
                limit = None
        reason = {200: "OK", 404: "Not Found"}.get(status, "Status")
        writer.write(f"HTTP/1.1 {status} {reason}\r\nContent-Length: {len(body)}\r\n"
                     "Content-Type: application/octet-stream\r\nConnection: close\r\n\r\n".encode())
        sent = body if method != "HEAD" else b""
        if limit is not None:
            writer.write(sent[:limit])
            await writer.drain()
            emit(f"http {method} {target} held {min(limit, len(sent))}")
            await reader.read()
            return
        writer.write(sent)
        await writer.drain()
        emit(f"http {method} {target} {status} {len(sent)}")

    async def command(self, line):
        words = line.split(" ")
        name = words[0]
        if name == "mode":
            self.mode = words[1:]
        elif name == "mark":
            emit(line)
        elif name == "sleep":
            await asyncio.sleep(int(words[1]) / 1000)
        elif name == "restart":
            await self.restart()
        elif name == "stop":
            await self.stop()
            emit("stopped")
        elif name == "start":
            if self.listener is None:
                await self.listen()
        elif name == "wait-open":
            if not await self.wait_open(int(words[1]) if len(words) > 1 else 1):
                emit("error no open connection")
        elif name == "serve":
            self.routes[words[1]] = ("serve", words[2])
        elif name == "answer":
            self.routes[words[1]] = ("answer", int(words[2]), words[3] if len(words) > 3 else None)
        elif name == "withhold":
            self.routes[words[1]] = ("withhold",)
        elif name == "stall":
            self.routes[words[1]] = ("stall", words[2], int(words[3]))
        elif name == "forget":
            self.routes.pop(words[1], None)
        elif name == "all" and len(words) > 1 and words[1] in CONNECTION_COMMANDS:
            for session in list(self.sessions):
                await session.command(words[1:], line.split(" ", 1)[1])
        elif name in CONNECTION_COMMANDS:
            session = self.newest()
            if session is None:
                emit(f"error no open connection for {name}")
                return
            await session.command(words, line)
        else:
            emit(f"error unknown command {line}")


async def main():
    parser = argparse.ArgumentParser(description="Scripted WebSocket server for tests")
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--address", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    arguments = parser.parse_args()

    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(arguments.cert, arguments.key)
    server = Server(arguments.address, arguments.port, context)
    await server.listen()

    loop = asyncio.get_running_loop()
    stdin = asyncio.StreamReader(limit=1 << 26)
    await loop.connect_read_pipe(lambda: asyncio.StreamReaderProtocol(stdin), sys.stdin)
    while True:
        raw = await stdin.readline()
        if not raw:
            break  # the script ended; keep serving until stopped
        line = raw.decode().rstrip("\r\n")
        if not line:
            continue
        try:
            await server.command(line)
        except Exception as error:  # a bad command must not stop the server
            emit(f"error {line}: {error}")
    await asyncio.Event().wait()


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        pass
