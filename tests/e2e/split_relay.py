"""A loopback relay that passes every byte on in pieces of 1..N bytes with
short pauses, both ways, so the far side sees each head and body arrive in
many reads. Seeded: the same seed gives the same cuts for the same traffic."""

import random
import socket
import threading
import time

HOST = "127.0.0.1"


class SplitRelay:
    def __init__(self, target_port, seed, most=7, pause=0.0005):
        self.target = (HOST, target_port)
        self.rng = random.Random(seed)
        self.lock = threading.Lock()
        self.most, self.pause = most, pause
        self.listener = socket.create_server((HOST, 0))
        self.listener.settimeout(0.2)
        self.port = self.listener.getsockname()[1]
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self.accept, daemon=True)
        self.thread.start()

    def cuts(self):
        with self.lock:
            return random.Random(self.rng.random())

    def accept(self):
        while not self.stopping.is_set():
            try:
                near, _ = self.listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            try:
                far = socket.create_connection(self.target, timeout=5)
            except OSError:
                near.close()
                continue
            for a, b in ((near, far), (far, near)):
                threading.Thread(target=self.pump, args=(a, b, self.cuts()),
                                 daemon=True).start()

    def pump(self, src, dst, rng):
        src.settimeout(60)
        try:
            while not self.stopping.is_set():
                data = src.recv(65536)
                if not data:
                    break
                while data:
                    n = rng.randint(1, self.most)
                    dst.sendall(data[:n])
                    data = data[n:]
                    time.sleep(self.pause)
        except OSError:
            pass
        try:
            dst.shutdown(socket.SHUT_WR)
        except OSError:
            pass

    def stop(self):
        self.stopping.set()
        self.listener.close()
        self.thread.join(5)
