#!/usr/bin/python3
"""A TCP forwarding proxy between an FTP client and an FTP server that breaks connections on
purpose, for measuring how a client copes with lost, dead, short and reset connections.

    bench/fault_proxy.py --listen ADDR[:PORT] --server ADDR[:PORT] [--data-ports LO-HI]
                         [fault options] [--rate MIB] [--delay-ms MS] [--events FILE]

The client logs in to the proxy's address (port 21 unless given); the proxy forwards the control
connection to the server. A session is one control connection and the data connections that
belong to it.

Passive data connections: on a readable (plain) control stream the proxy watches the server's
227 and 229 replies, opens a listener on its own address for each, rewrites the reply to that
listener's address and port, and forwards the one connection it takes to the port the server
announced. After AUTH TLS (or with implicit TLS) the control stream is opaque and the replies
cannot be read; then --data-ports LO-HI makes the proxy listen on every port of the range on its
own address and forward each to the same port of the server, so the server's passive port range
must be set to that range. A data connection taken on such a port belongs to the newest session
still open. Active mode (PORT, EPRT) is not proxied: the server connects to the client directly.

Faults (each applies to every session or data connection unless --faults limits it):
  --cut-every S               reset a session's control and data connections S seconds after
                              the session began; new connections are forwarded again
  --blackhole-after-bytes N   after N bytes on a data connection (both directions counted),
                              forward nothing more either way and keep the sockets open
  --blackhole-control         with --blackhole-after-bytes: the session's control connection
                              goes silent at the same moment
  --short-after-bytes N       once one direction of a data connection carried N bytes, close
                              its receiving side cleanly (FIN) and read the rest from the
                              sending side into nothing, so the sender finishes and the
                              server's final reply (226) still reaches the client
  --reset-data-after-bytes N  after N bytes on a data connection, reset the client's side (RST)
                              and close the server's side
  --stall-control             once a data connection of the session is open, forward nothing
                              more on the control connection from the next final reply on
                              (2xx to 5xx; a 150 still passes), so the transfer's final reply
                              never comes; on an opaque (TLS) control stream, from the data
                              connection's first byte on
  --faults K                  apply the data and control faults above to the first K data
                              connections only (0, the default: to all of them)
  --rate MIB                  at most MIB MiB/s over all data connections together, so that a
                              transfer lasts long enough to be cut
  --delay-ms MS               deliver every chunk MS milliseconds after it arrived (latency)

Standard output: one line `listening ADDR:PORT` once the proxy accepts connections, and at exit
(SIGINT or SIGTERM) one JSON object of counters: bytes delivered each way on control and data
connections (control_c2s, data_s2c, ...), bytes read from the sending side of data connections
(data_c2s_read, data_s2c_read: what the sender sent, including what a cut or a fault kept from
delivery), bytes read and thrown away (_dropped) or held by a blackhole or stall (_held),
sessions, data connections, cuts and faults.
Standard error and --events FILE (JSON lines, with `time.monotonic()` stamps, the clock every
process on the machine shares) record each session, data connection and fault.
"""

import argparse
import asyncio
import json
import re
import signal
import socket
import struct
import sys
import time

CHUNK = 65536


def split_address(text, default_port):
    if text.count(":") == 1:
        host, port = text.split(":")
        return host, int(port)
    return text, default_port


class Pace:
    """A shared budget of bytes per second: each chunk reserves its share of time and waits
    until its turn."""

    def __init__(self, bytes_per_second):
        self.rate = bytes_per_second
        self.next = time.monotonic()

    async def take(self, count):
        now = time.monotonic()
        start = max(self.next, now)
        self.next = start + count / self.rate
        if start > now:
            await asyncio.sleep(start - now)


class Side:
    """One socket of a forwarded connection and the way to write to it, with the optional
    latency: chunks go through a queue and leave when they are due."""

    def __init__(self, proxy, reader, writer):
        self.proxy = proxy
        self.reader = reader
        self.writer = writer
        self.closed = False
        self.queue = None
        self.sender = None
        if proxy.delay > 0:
            self.queue = asyncio.Queue(maxsize=64)
            self.sender = asyncio.ensure_future(self._send_delayed())

    async def send(self, data):
        if self.closed:
            return False
        if self.queue is not None:
            await self.queue.put((time.monotonic() + self.proxy.delay, data))
            return True
        try:
            self.writer.write(data)
            await self.writer.drain()
            return True
        except (ConnectionError, OSError):
            return False

    async def _send_delayed(self):
        while True:
            due, data = await self.queue.get()
            wait = due - time.monotonic()
            if wait > 0:
                await asyncio.sleep(wait)
            if data is None:
                self._write_eof()
                continue
            try:
                self.writer.write(data)
                await self.writer.drain()
            except (ConnectionError, OSError):
                return

    async def end(self):
        """Half-closes the writing direction (FIN), after what is queued."""
        if self.queue is not None:
            await self.queue.put((time.monotonic() + self.proxy.delay, None))
        else:
            self._write_eof()

    def _write_eof(self):
        try:
            if self.writer.can_write_eof() and not self.writer.is_closing():
                self.writer.write_eof()
        except (ConnectionError, OSError, RuntimeError):
            pass

    def close(self):
        if not self.closed:
            self.closed = True
            if self.sender is not None:
                self.sender.cancel()
            try:
                self.writer.close()
            except (ConnectionError, OSError, RuntimeError):
                pass

    def reset(self):
        """Closes with a TCP RST: linger on with a time of 0, then an immediate close."""
        if not self.closed:
            self.closed = True
            if self.sender is not None:
                self.sender.cancel()
            sock = self.writer.get_extra_info("socket")
            try:
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            except (OSError, AttributeError):
                pass
            self.writer.transport.abort()


class Connection:
    """A forwarded connection: the client's side, the server's side, a pump each way."""

    def __init__(self, proxy, session, kind, client, server):
        self.proxy = proxy
        self.session = session
        self.kind = kind  # "control" or "data"
        self.client = client
        self.server = server
        self.moved = 0  # bytes delivered, both directions
        self.frozen = False  # a blackhole or a stall: nothing is read or delivered any more
        self.draining = None  # after a short: the direction whose bytes are read into nothing
        self.drain_begun = False
        self.faulty = False  # this data connection is one the data faults apply to
        self.first_byte_seen = False
        # Bytes delivered each way; the short fault ends the direction that reaches its count
        # first (under TLS both directions carry handshake bytes before the data flows).
        self.each_way = {"up": 0, "down": 0}
        self.tasks = []
        self.ended = asyncio.get_running_loop().create_future()

    def start(self):
        self.tasks = [asyncio.ensure_future(self._pump("up", self.client, self.server)),
                      asyncio.ensure_future(self._pump("down", self.server, self.client))]
        asyncio.ensure_future(self._watch())

    async def _watch(self):
        await asyncio.gather(*self.tasks, return_exceptions=True)
        self.client.close()
        self.server.close()
        if self.kind == "data":
            self.proxy.event("data-end", self.session, bytes=self.moved)
        if not self.ended.done():
            self.ended.set_result(True)
        self.session.forget(self)

    def reset_both(self):
        self.client.reset()
        self.server.reset()
        for task in self.tasks:
            task.cancel()

    async def _pump(self, direction, source, target):
        counters = self.proxy.counters
        name = f"{self.kind}_{'c2s' if direction == 'up' else 's2c'}"
        while True:
            if self.frozen:
                await asyncio.get_running_loop().create_future()  # until cancelled
            try:
                data = await source.reader.read(CHUNK)
            except (ConnectionError, OSError):
                data = b""
            if self.kind == "data":
                counters[f"{name}_read"] += len(data)
            if not data:
                if self.frozen:
                    # A dead link delivers no end of stream either.
                    await asyncio.get_running_loop().create_future()
                if self.draining is None:
                    await target.end()
                return
            if self.frozen:
                # Read before the freeze began: held, never delivered.
                counters[f"{name}_held"] += len(data)
                await asyncio.get_running_loop().create_future()
            if self.draining == direction:
                counters[f"{name}_dropped"] += len(data)
                continue
            if self.draining is not None:
                # The other direction after a short: the receiving side is already closed.
                counters[f"{name}_dropped"] += len(data)
                continue
            if self.kind == "control":
                data = await self.session.control_data(direction, data)
                if data is None:
                    return
                if not data:
                    continue
            else:
                if self.proxy.pace is not None:
                    await self.proxy.pace.take(len(data))
                data = self._data_faults(direction, data)
                if not data and self.frozen:
                    continue
            if data:
                if not await target.send(data):
                    return
                counters[name] += len(data)
                self.moved += len(data)
            if self.kind == "data" and self.draining is not None:
                self._begin_drain(self.draining)
            if self.kind == "data" and self.proxy.reset_after is not None and self.faulty \
                    and self.moved >= self.proxy.reset_after:
                self.proxy.event("reset", self.session, bytes=self.moved)
                counters["faults"] += 1
                self.client.reset()
                self.server.close()
                for task in self.tasks:
                    if task is not asyncio.current_task():
                        task.cancel()
                return

    def _data_faults(self, direction, data):
        """Cuts the chunk at the point where a fault begins and sets the fault's state."""
        proxy = self.proxy
        if not self.first_byte_seen:
            self.first_byte_seen = True
            self.session.data_started(self)
        if not self.faulty:
            return data
        if proxy.blackhole_after is not None:
            left = proxy.blackhole_after - self.moved
            if len(data) >= left:
                self.frozen = True
                kept, held = data[:max(left, 0)], data[max(left, 0):]
                proxy.counters[f"data_{'c2s' if direction == 'up' else 's2c'}_held"] += len(held)
                proxy.event("blackhole", self.session, bytes=self.moved + len(kept))
                proxy.counters["faults"] += 1
                if proxy.blackhole_control:
                    self.session.freeze_control()
                return kept
        if proxy.short_after is not None:
            left = proxy.short_after - self.each_way[direction]
            if len(data) >= left:
                kept, rest = data[:max(left, 0)], data[max(left, 0):]
                proxy.counters[f"data_{'c2s' if direction == 'up' else 's2c'}_dropped"] += \
                    len(rest)
                self.draining = direction
                self.each_way[direction] += len(kept)
                return kept
            self.each_way[direction] += len(data)
        if proxy.reset_after is not None:
            left = proxy.reset_after - self.moved
            if len(data) > left:
                return data[:max(left, 0)]
        return data

    def _begin_drain(self, direction):
        """The short fault: the receiving side gets a clean end of stream now; the sending
        side goes on being read, into nothing, until it ends."""
        if self.drain_begun:
            return
        self.drain_begun = True
        receiver = self.client if direction == "down" else self.server
        self.proxy.event("short", self.session, bytes=self.each_way[direction],
                         direction="server to client" if direction == "down"
                         else "client to server")
        self.proxy.counters["faults"] += 1
        asyncio.ensure_future(self._close_after_end(receiver))

    async def _close_after_end(self, side):
        await side.end()
        await asyncio.sleep(0.2 + self.proxy.delay)
        side.close()


PASV_227 = re.compile(rb"^227([ -])(.*?)(\d+),(\d+),(\d+),(\d+),(\d+),(\d+)(.*)$", re.S)
EPSV_229 = re.compile(rb"^229([ -])(.*?)\((.)\3\3(\d+)\3\)(.*)$", re.S)


class Session:
    """A control connection, its data connections and the passive listeners it announced."""

    def __init__(self, proxy, number):
        self.proxy = proxy
        self.number = number
        self.born = time.monotonic()
        self.control = None
        self.data = set()
        self.listeners = set()
        self.alive = True
        self.opaque = False  # TLS on the control connection: replies cannot be read
        self.auth_asked = False
        self.down_text = b""
        self.up_text = b""
        self.cut_task = None
        self.stall_armed = False  # the next final reply on the control stream is held

    def forget(self, connection):
        if connection is self.control:
            self.end()
        else:
            self.data.discard(connection)

    def end(self):
        if not self.alive:
            return
        self.alive = False
        if self.cut_task is not None:
            self.cut_task.cancel()
        for server in self.listeners:
            server.close()
        self.listeners.clear()
        # A data connection held open by a blackhole ends with its session.
        for connection in list(self.data):
            if connection.frozen:
                connection.reset_both()
        if self in self.proxy.sessions:
            self.proxy.sessions.remove(self)

    async def cut_later(self, seconds):
        await asyncio.sleep(seconds)
        self.proxy.event("cut", self, age=round(time.monotonic() - self.born, 3),
                         data_connections=len(self.data))
        self.proxy.counters["cuts"] += 1
        self.cut_task = None
        for connection in list(self.data) + [self.control]:
            connection.reset_both()
        self.end()

    def data_opening(self):
        """A data connection the faults apply to arrived: the stall waits for the next
        final reply."""
        if self.proxy.stall_control and not self.opaque:
            self.stall_armed = True

    def data_started(self, connection):
        # On an opaque control stream the replies cannot be told from one another: stall it all.
        if self.proxy.stall_control and connection.faulty and self.opaque:
            self.proxy.event("stall-control", self)
            self.proxy.counters["faults"] += 1
            self.freeze_control()

    def freeze_control(self):
        if self.control is not None:
            self.control.frozen = True

    async def control_data(self, direction, data):
        """Watches the readable control stream: AUTH, its 234 reply, and the 227 and 229
        replies, which are rewritten to a listener of the proxy. Returns what to forward."""
        if self.opaque:
            return data
        if direction == "up":
            if not self.up_text and not self.down_text and data[:1] == b"\x16":
                self._go_opaque("the client began with a TLS handshake (implicit TLS)")
                return data
            self.up_text += data
            while b"\n" in self.up_text:
                line, self.up_text = self.up_text.split(b"\n", 1)
                if line[:5].upper() in (b"AUTH ", b"AUTH\r"):
                    self.auth_asked = True
                if line[:5].upper() in (b"PORT ", b"EPRT "):
                    self.proxy.event("active-mode", self,
                                     note="the data connection bypasses the proxy")
            return data
        out = b""
        self.down_text += data
        while b"\n" in self.down_text:
            line, self.down_text = self.down_text.split(b"\n", 1)
            line += b"\n"
            if line.startswith(b"227") or line.startswith(b"229"):
                line = await self._passive_reply(line)
            if self.stall_armed and line[:1] in (b"2", b"3", b"4", b"5"):
                # The transfer's final reply: it and everything after it are held.
                self.stall_armed = False
                self.proxy.event("stall-control", self, held=line[:40].decode(errors="replace"))
                self.proxy.counters["faults"] += 1
                self.proxy.counters["control_s2c_held"] += len(line) + len(self.down_text)
                self.down_text = b""
                self.freeze_control()
                return out
            out += line
            if line.startswith(b"234") and self.auth_asked:
                self._go_opaque("AUTH TLS accepted")
                out += self.down_text
                self.down_text = b""
                break
        return out

    def _go_opaque(self, why):
        self.opaque = True
        note = ("passive replies cannot be read"
                + ("; data ports forwarded from the fixed range" if self.proxy.data_ports
                   else "; no --data-ports: passive data connections will fail"))
        self.proxy.event("tls-control", self, why=why, note=note)

    async def _passive_reply(self, line):
        proxy = self.proxy
        match = PASV_227.match(line)
        if match is not None:
            port = int(match.group(7)) * 256 + int(match.group(8))
            local = port if proxy.data_ports else await self._listen_for(port)
            if local is None:
                return line
            digits = proxy.listen_host.replace(".", ",").encode()
            return (b"227" + match.group(1) + match.group(2) + digits + b","
                    + str(local // 256).encode() + b"," + str(local % 256).encode()
                    + match.group(9))
        match = EPSV_229.match(line)
        if match is not None:
            port = int(match.group(4))
            local = port if proxy.data_ports else await self._listen_for(port)
            if local is None:
                return line
            mark = match.group(3)
            return (b"229" + match.group(1) + match.group(2) + b"(" + mark * 3
                    + str(local).encode() + mark + b")" + match.group(5))
        return line

    async def _listen_for(self, server_port):
        """A listener on the proxy's address, on a port of the system's choice, that takes one
        connection and forwards it to the server's announced port."""
        holder = {}

        async def accepted(reader, writer):
            holder["server"].close()
            self.listeners.discard(holder["server"])
            await self.proxy.open_data(self, reader, writer, server_port)

        try:
            server = await asyncio.start_server(accepted, self.proxy.listen_host, 0)
        except OSError as error:
            self.proxy.event("error", self, note=f"cannot listen for a data connection: {error}")
            return None
        holder["server"] = server
        self.listeners.add(server)
        asyncio.get_running_loop().call_later(60, server.close)
        return server.sockets[0].getsockname()[1]


class Proxy:
    def __init__(self, options):
        self.listen_host, self.listen_port = split_address(options.listen, 21)
        self.server_host, self.server_port = split_address(options.server, 21)
        self.data_ports = None
        if options.data_ports:
            bounds = options.data_ports.split("-")
            self.data_ports = range(int(bounds[0]), int(bounds[-1]) + 1)
        self.cut_every = options.cut_every
        self.blackhole_after = options.blackhole_after_bytes
        self.blackhole_control = options.blackhole_control
        self.short_after = options.short_after_bytes
        self.reset_after = options.reset_data_after_bytes
        self.stall_control = options.stall_control
        self.fault_limit = options.faults
        self.delay = options.delay_ms / 1000.0
        self.pace = Pace(options.rate * (1 << 20)) if options.rate else None
        self.quiet = options.quiet
        self.events = open(options.events, "a", buffering=1) if options.events else None
        self.sessions = []
        self.session_count = 0
        self.data_faults_given = 0
        self.counters = {name: 0 for name in (
            "control_c2s", "control_s2c", "data_c2s", "data_s2c", "data_c2s_read",
            "data_s2c_read",
            "data_c2s_dropped", "data_s2c_dropped", "data_c2s_held", "data_s2c_held",
            "control_c2s_held", "control_s2c_held", "control_c2s_dropped",
            "control_s2c_dropped", "sessions", "data_connections", "cuts", "faults")}

    def event(self, name, session=None, **details):
        record = {"t": round(time.monotonic(), 4), "event": name}
        if session is not None:
            record["session"] = session.number
        record.update(details)
        if self.events is not None:
            self.events.write(json.dumps(record) + "\n")
        if not self.quiet:
            print("fault_proxy: " + " ".join(f"{k}={v}" for k, v in record.items()),
                  file=sys.stderr, flush=True)

    async def open_control(self, reader, writer):
        self.session_count += 1
        session = Session(self, self.session_count)
        self.counters["sessions"] += 1
        client = Side(self, reader, writer)
        try:
            server_reader, server_writer = await asyncio.open_connection(self.server_host,
                                                                         self.server_port)
        except OSError as error:
            self.event("error", session, note=f"cannot reach the server: {error}")
            client.reset()
            return
        server = Side(self, server_reader, server_writer)
        session.control = Connection(self, session, "control", client, server)
        self.sessions.append(session)
        self.event("session", session, client=writer.get_extra_info("peername")[1])
        if self.cut_every:
            session.cut_task = asyncio.ensure_future(session.cut_later(self.cut_every))
        session.control.start()

    async def open_data(self, session, reader, writer, server_port):
        client = Side(self, reader, writer)
        if session is None:
            # A data connection on the fixed range: the newest session still open.
            session = self.sessions[-1] if self.sessions else Session(self, 0)
        faulty = self.fault_limit == 0 or self.data_faults_given < self.fault_limit
        if faulty:
            self.data_faults_given += 1
            # Before the server can take the connection: its final reply may follow at once.
            session.data_opening()
        try:
            server_reader, server_writer = await asyncio.open_connection(self.server_host,
                                                                         server_port)
        except OSError as error:
            self.event("error", session, note=f"cannot reach data port {server_port}: {error}")
            client.reset()
            return
        server = Side(self, server_reader, server_writer)
        connection = Connection(self, session, "data", client, server)
        connection.faulty = faulty
        self.counters["data_connections"] += 1
        if not session.alive:
            # The session was cut while this connection was on its way.
            connection.reset_both()
            return
        session.data.add(connection)
        self.event("data", session, port=server_port)
        connection.start()

    async def run(self):
        control = await asyncio.start_server(self.open_control, self.listen_host,
                                             self.listen_port, reuse_address=True)
        fixed = []
        if self.data_ports:
            for port in self.data_ports:
                async def accepted(reader, writer, port=port):
                    await self.open_data(None, reader, writer, port)
                fixed.append(await asyncio.start_server(accepted, self.listen_host, port,
                                                        reuse_address=True))
        print(f"listening {self.listen_host}:{self.listen_port}", flush=True)
        stop = asyncio.get_running_loop().create_future()
        for number in (signal.SIGINT, signal.SIGTERM):
            asyncio.get_running_loop().add_signal_handler(
                number, lambda: stop.done() or stop.set_result(True))
        await stop
        control.close()
        for server in fixed:
            server.close()
        print(json.dumps(self.counters), flush=True)
        for session in list(self.sessions):
            if session.control is not None:
                session.control.reset_both()
            for connection in list(session.data):
                connection.reset_both()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0],
                                     epilog="\n".join(__doc__.splitlines()[1:]),
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--listen", required=True, help="ADDR[:PORT] the client connects to")
    parser.add_argument("--server", required=True, help="ADDR[:PORT] of the FTP server")
    parser.add_argument("--data-ports", help="LO-HI: forward this fixed passive port range")
    parser.add_argument("--cut-every", type=float)
    parser.add_argument("--blackhole-after-bytes", type=int)
    parser.add_argument("--blackhole-control", action="store_true")
    parser.add_argument("--short-after-bytes", type=int)
    parser.add_argument("--reset-data-after-bytes", type=int)
    parser.add_argument("--stall-control", action="store_true")
    parser.add_argument("--faults", type=int, default=0)
    parser.add_argument("--rate", type=float, help="MiB/s over all data connections")
    parser.add_argument("--delay-ms", type=float, default=0)
    parser.add_argument("--events", help="append JSON lines of events to this file")
    parser.add_argument("--quiet", action="store_true", help="no event lines on stderr")
    options = parser.parse_args()
    try:
        asyncio.run(Proxy(options).run())
    except OSError as error:
        sys.exit(f"fault_proxy.py: {error}")


if __name__ == "__main__":
    main()
