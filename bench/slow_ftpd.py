#!/usr/bin/env python3
"""A tiny FTP-like server on 127.0.0.1 for the waiting benchmarks of bench/run.

    slow_ftpd.py PORTFILE --delay SECONDS   answers every command (and greets) after SECONDS
    slow_ftpd.py PORTFILE --silent          accepts connections and never says anything

It knows just enough for a login and one listing in active mode: USER, PASS, SYST, CWD,
PWD, TYPE, PORT, LIST, NOOP, QUIT; anything else gets a plain 200. The listing is a
fixed one of two small files. The port it listens on is written to PORTFILE. It serves
until it is terminated.
"""
import os
import socket
import sys
import threading
import time

LISTING = (b"-rw-r--r--   1 ftp      ftp          1200 Jan 02 10:00 index.html\r\n"
           b"-rw-r--r--   1 ftp      ftp           300 Jan 02 10:00 style.css\r\n")


def serve(conn, delay, silent):
    conn.settimeout(600)
    if silent:
        # Keep the connection open and idle until the client goes away.
        try:
            while conn.recv(4096):
                pass
        except OSError:
            pass
        conn.close()
        return
    reader = conn.makefile("rb")
    data_address = None

    def reply(text):
        time.sleep(delay)
        conn.sendall(text.encode() + b"\r\n")

    try:
        reply("220 slow server ready")
        for _ in range(10000):  # bounded: no session sends that many commands here
            line = reader.readline()
            if not line:
                break
            words = line.decode("latin-1").strip().split(" ", 1)
            verb = words[0].upper()
            argument = words[1] if len(words) > 1 else ""
            if verb == "USER":
                reply("331 password please")
            elif verb == "PASS":
                reply("230 logged in")
            elif verb == "SYST":
                reply("215 UNIX Type: L8")
            elif verb == "CWD":
                reply("250 directory changed")
            elif verb == "PWD":
                reply('257 "/" is the current directory')
            elif verb == "TYPE":
                reply("200 type set")
            elif verb == "PORT":
                parts = [int(p) for p in argument.split(",")]
                data_address = (".".join(map(str, parts[:4])), parts[4] * 256 + parts[5])
                reply("200 port set")
            elif verb == "LIST":
                if data_address is None:
                    reply("425 no data port")
                    continue
                reply("150 listing follows")
                with socket.create_connection(data_address, timeout=30) as data:
                    data.sendall(LISTING)
                data_address = None
                reply("226 listing sent")
            elif verb == "QUIT":
                reply("221 bye")
                break
            else:
                reply("200 ok")
    except OSError:
        pass
    conn.close()


def main():
    port_file = sys.argv[1]
    silent = "--silent" in sys.argv
    delay = float(sys.argv[sys.argv.index("--delay") + 1]) if "--delay" in sys.argv else 0.0
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    with open(port_file + ".tmp", "w") as f:
        f.write(str(listener.getsockname()[1]))
    os.replace(port_file + ".tmp", port_file)
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=serve, args=(conn, delay, silent), daemon=True).start()


if __name__ == "__main__":
    main()
