#!/usr/bin/env python3
# A UDP relay for the benchmarks: forwards the game's ports from one address to a server, adding delay.
#
# relay.py LISTEN_IP SERVER_IP DELAY_MS LOSS_PERCENT COUNTS_FILE
# Listens on LISTEN_IP, ports 43517-43525; every datagram from a client is sent
# on to the same port of SERVER_IP from a socket of its own for that client and
# port, and the server's answers go back from the port the client used. Each
# way waits DELAY_MS / 2 (so DELAY_MS is the round trip added) and drops
# LOSS_PERCENT of the datagrams at random. On SIGUSR1 it writes the datagrams
# relayed so far each way to COUNTS_FILE ("up N" client to server, "down N");
# on SIGTERM too, and then it ends.
import asyncio
import os
import random
import signal
import sys

PORTS = range(43517, 43526)


def main():
    listen_ip, server_ip = sys.argv[1], sys.argv[2]
    delay = float(sys.argv[3]) / 2000.0
    loss = float(sys.argv[4]) / 100.0
    counts_file = sys.argv[5]
    counts = {"up": 0, "down": 0}
    loop = asyncio.new_event_loop()

    def later(send, data, addr, way):
        if random.random() < loss:
            return
        counts[way] += 1
        loop.call_later(delay, send, data, addr)

    class Upstream(asyncio.DatagramProtocol):
        def __init__(self, listener, client):
            self.listener, self.client = listener, client

        def datagram_received(self, data, addr):
            later(self.listener.transport.sendto, data, self.client, "down")

    class Listener(asyncio.DatagramProtocol):
        def __init__(self, port):
            self.port, self.upstreams, self.waiting = port, {}, {}

        def connection_made(self, transport):
            self.transport = transport

        def datagram_received(self, data, client):
            up = self.upstreams.get(client)
            if up is not None:
                later(up.sendto, data, None, "up")
                return
            if client in self.waiting:
                self.waiting[client].append(data)
                return
            self.waiting[client] = [data]

            async def open_upstream():
                transport, _ = await loop.create_datagram_endpoint(
                    lambda: Upstream(self, client), remote_addr=(server_ip, self.port))
                self.upstreams[client] = transport
                for held in self.waiting.pop(client):
                    later(transport.sendto, held, None, "up")

            loop.create_task(open_upstream())

    for port in PORTS:
        loop.run_until_complete(
            loop.create_datagram_endpoint(lambda p=port: Listener(p), local_addr=(listen_ip, port)))

    def write_counts():
        with open(counts_file + ".new", "w") as f:
            f.write("up %d\ndown %d\n" % (counts["up"], counts["down"]))
        os.replace(counts_file + ".new", counts_file)

    def stop():
        write_counts()
        loop.stop()

    loop.add_signal_handler(signal.SIGUSR1, write_counts)
    loop.add_signal_handler(signal.SIGTERM, stop)
    loop.run_forever()


if __name__ == "__main__":
    main()
