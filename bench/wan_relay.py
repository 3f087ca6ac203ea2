#!/usr/bin/env python3
"""A link of the kind users have, put in front of an FTP server on 127.0.0.1.

    bench/wan_relay.py SERVER_PORT PORT_FILE [--delay-ms 15] [--mbit 50]

Listens on a free port of 127.0.0.1 (written to PORT_FILE once it listens) and carries
every control connection to SERVER_PORT and every passive data connection to where the
server's 227 or 229 reply points, each byte held back --delay-ms in each direction (so a
round trip costs twice that) and every direction of the link shared by all its
connections at --mbit megabits per second. The passive replies are rewritten to name a
port of the relay's, so that data connections cross the same link. Nothing here sends
traffic anywhere but 127.0.0.1.
"""
import argparse
import asyncio
import re
import sys
import time

PASV = re.compile(rb"^227 .*?\((\d+),(\d+),(\d+),(\d+),(\d+),(\d+)\)")
EPSV = re.compile(rb"^229 .*?\(\|\|\|(\d+)\|\)")
CHUNK = 64 * 1024


class Link:
    """One direction of the link: its bandwidth, shared by every connection that uses it."""

    def __init__(self, mbit):
        self.bytes_per_second = mbit * 1e6 / 8
        self.free_at = 0.0

    def slot(self, size):
        """When a piece of `size` bytes has been put on the wire, the pieces before it first."""
        now = time.monotonic()
        start = max(now, self.free_at)
        self.free_at = start + size / self.bytes_per_second
        return self.free_at


class Pipe:
    """Bytes from `reader` to `writer`, each piece delivered `delay` seconds after it came
    and after the link could carry it; a reader is held back while more than `window`
    bytes are on their way, as a real link's buffers would hold back the sender."""

    def __init__(self, reader, writer, link, delay, window, not_before, rewrite=None):
        self.reader, self.writer, self.link, self.delay = reader, writer, link, delay
        # Here the connection was made at once; over the link its handshake crosses first,
        # so nothing arrives before `not_before`.
        self.not_before = not_before
        self.window = window
        self.rewrite = rewrite
        self.queue = asyncio.Queue()
        self.in_flight = 0
        self.room = asyncio.Event()
        self.room.set()

    async def run(self):
        await asyncio.gather(self.take(), self.give())

    async def take(self):
        pending = b""
        try:
            while True:
                data = await self.reader.read(CHUNK)
                if not data:
                    break
                if self.rewrite:
                    # Replies are rewritten line by line; a partial line waits for its end.
                    pending += data
                    *lines, pending = pending.split(b"\n")
                    data = b"".join([await self.rewrite(line + b"\n") for line in lines])
                    if not data:
                        continue
                await self.put(data)
        except (ConnectionError, OSError):
            pass
        if pending:
            await self.put(pending)
        await self.queue.put((max(time.monotonic() + self.delay, self.not_before), None))

    async def put(self, data):
        self.in_flight += len(data)
        await self.queue.put((max(time.monotonic() + self.delay, self.not_before), data))
        if self.in_flight > self.window:
            self.room.clear()
            await self.room.wait()

    async def give(self):
        try:
            while True:
                due, data = await self.queue.get()
                if data is not None:
                    due = max(due, self.link.slot(len(data)))
                wait = due - time.monotonic()
                if wait > 0:
                    await asyncio.sleep(wait)
                if data is None:
                    if self.writer.can_write_eof():
                        self.writer.write_eof()
                    break
                self.writer.write(data)
                await self.writer.drain()
                self.in_flight -= len(data)
                if self.in_flight <= self.window:
                    self.room.set()
        except (ConnectionError, OSError):
            self.room.set()
        finally:
            # A pipe that ends lets its reader go too, whatever it waits for.
            self.room.set()


class Relay:
    def __init__(self, server_port, delay_ms, mbit):
        self.server_port = server_port
        self.delay = delay_ms / 1000.0
        self.up = Link(mbit)
        self.down = Link(mbit)
        # Two round trips' worth of the link, at least 256 KiB.
        self.window = max(256 * 1024, int(mbit * 1e6 / 8 * self.delay * 4))

    async def carry(self, client_reader, client_writer, port, rewrite=False):
        # The client's SYN reaches the server after one delay, the server's SYN-ACK is back
        # after two, and the client's first bytes arrive after three.
        start = time.monotonic()
        try:
            server_reader, server_writer = await asyncio.open_connection("127.0.0.1", port)
        except OSError:
            client_writer.close()
            return
        up = Pipe(client_reader, server_writer, self.up, self.delay, self.window,
                  start + 3 * self.delay)
        down = Pipe(server_reader, client_writer, self.down, self.delay, self.window,
                    start + 2 * self.delay, self.passive_reply if rewrite else None)
        try:
            await asyncio.gather(up.run(), down.run())
        finally:
            for w in (client_writer, server_writer):
                w.close()

    async def passive_reply(self, line):
        """A 227 or 229 reply names a port of the relay's, which carries the connection on
        to the port the server named."""
        if m := PASV.match(line):
            target = int(m.group(5)) * 256 + int(m.group(6))
        elif m := EPSV.match(line):
            target = int(m.group(1))
        else:
            return line
        listener = await asyncio.start_server(
            lambda r, w: self.data_connection(r, w, target, listener), "127.0.0.1", 0)
        port = listener.sockets[0].getsockname()[1]
        if line.startswith(b"227"):
            return b"227 Entering Passive Mode (127,0,0,1,%d,%d).\r\n" % (port >> 8, port & 255)
        return b"229 Entering Extended Passive Mode (|||%d|)\r\n" % port

    async def data_connection(self, reader, writer, target, listener):
        # One data connection per passive reply.
        listener.close()
        await self.carry(reader, writer, target)

    async def control_connection(self, reader, writer):
        await self.carry(reader, writer, self.server_port, rewrite=True)


async def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("server_port", type=int)
    parser.add_argument("port_file")
    parser.add_argument("--delay-ms", type=float, default=15.0)
    parser.add_argument("--mbit", type=float, default=50.0)
    args = parser.parse_args()
    relay = Relay(args.server_port, args.delay_ms, args.mbit)
    server = await asyncio.start_server(relay.control_connection, "127.0.0.1", 0)
    with open(args.port_file, "w") as out:
        out.write(str(server.sockets[0].getsockname()[1]))
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        sys.exit(0)
