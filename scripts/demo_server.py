#!/usr/bin/env python3
"""A small HTTP server on 127.0.0.1 for the ./run.sh demo.

Serves the files of one folder, with HEAD and single byte ranges
("Range: bytes=a-b", "bytes=a-", "bytes=-n") answered with 206, as the range
workers of corvaned ask for them. Binds a port the system picks and writes it
to --port-file once it listens, so the caller never guesses a free port.

  demo_server.py --folder DIR --port-file FILE [--make NAME:MIB]

--make writes a file of MIB mebibytes of patterned bytes into DIR first.
"""
import argparse
import http.server
import os
import re
import shutil
import socketserver
import sys

RANGE = re.compile(r"^bytes=(\d*)-(\d*)$")


class Handler(http.server.SimpleHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, format, *args):  # noqa: A002 - the base class's name
        sys.stderr.write("demo_server: %s\n" % (format % args))

    def send_head(self):
        path = self.translate_path(self.path)
        if not os.path.isfile(path):
            self.send_error(404, "File not found")
            return None
        size = os.path.getsize(path)
        first, last = 0, size - 1
        status = 200
        wanted = self.headers.get("Range")
        if wanted:
            match = RANGE.match(wanted.strip())
            if match and (match.group(1) or match.group(2)):
                if match.group(1):
                    first = int(match.group(1))
                    if match.group(2):
                        last = min(int(match.group(2)), size - 1)
                else:
                    first = max(0, size - int(match.group(2)))
                if first >= size or first > last:
                    self.send_response(416)
                    self.send_header("Content-Range", "bytes */%d" % size)
                    self.send_header("Content-Length", "0")
                    self.end_headers()
                    return None
                status = 206
        handle = open(path, "rb")
        handle.seek(first)
        self.send_response(status)
        self.send_header("Content-Type", self.guess_type(path))
        self.send_header("Accept-Ranges", "bytes")
        self.send_header("Content-Length", str(last - first + 1))
        if status == 206:
            self.send_header("Content-Range", "bytes %d-%d/%d" % (first, last, size))
        self.end_headers()
        self.remaining = last - first + 1
        return handle

    def copyfile(self, source, outputfile):
        left = self.remaining
        while left > 0:
            chunk = source.read(min(left, 1 << 16))
            if not chunk:
                break
            outputfile.write(chunk)
            left -= len(chunk)


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def make_file(folder, wanted):
    name, mib = wanted.split(":", 1)
    block = bytes((i * 7 + 3) % 251 for i in range(1 << 16))
    with open(os.path.join(folder, name), "wb") as out:
        for index in range(int(mib) * 16):
            # Each 64 KiB differs from the next, so a block written at the wrong
            # place would not compare equal.
            out.write(index.to_bytes(4, "little") + block[4:])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--folder", required=True)
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--make", action="append", default=[])
    args = parser.parse_args()
    for wanted in args.make:
        make_file(args.folder, wanted)
    port_file = os.path.abspath(args.port_file)
    os.chdir(args.folder)
    server = Server(("127.0.0.1", 0), Handler)
    temporary = port_file + ".new"
    with open(temporary, "w") as out:
        out.write("%d\n" % server.server_address[1])
    shutil.move(temporary, port_file)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
