#!/usr/bin/env python3
"""A local server that answers as list servers do, for the screen's download tests.

Usage: list_server.py FIXTURES_DIR. Prints the port it listens on (127.0.0.1), then serves
until killed. The path's first part is the behaviour, the rest a fixture file's name:
  /ok/F             200 with Content-Length            /redirect/F   302 to /ok/F
  /chunked/F        200, chunked, whole                /chunked-cut/F  chunked, no last chunk
  /cut/F            200, half the body, no length, then the connection closes
  /gzip-header/F    200, gzip body, Content-Encoding: gzip
  /gzip-raw/F       200, gzip body, no Content-Encoding  /gzip-cut/F  gzip body cut short
  /html/F           200 with an "Access Denied" page    /slow/F  answers after 30 s
  /small/F          200, the fixture's first record only (its header kept)
  /404/F, /403/F    those statuses
"""
import gzip
import http.server
import os
import sys
import time

FIXTURES = sys.argv[1]


def small(name, body):
    if name.endswith(".xml"):
        text = body.decode()
        start = text.index("<INDIVIDUAL>")
        end = text.index("</INDIVIDUAL>") + len("</INDIVIDUAL>")
        return (text[:start] + text[start:end] + "</INDIVIDUALS></CONSOLIDATED_LIST>\n").encode()
    lines = body.splitlines(keepends=True)
    keep = 3 if name == "uk.csv" else 2 if name == "eu.csv" else 1
    return b"".join(lines[:keep])


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def send(self, status, body, headers=(), length=True):
        self.send_response(status)
        for k, v in headers:
            self.send_header(k, v)
        if length:
            self.send_header("Content-Length", str(len(body)))
        else:
            self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(body)
        self.wfile.flush()
        if not length:
            self.close_connection = True

    def do_GET(self):
        _, behaviour, name = self.path.split("/", 2)
        path = os.path.join(FIXTURES, name)
        body = open(path, "rb").read() if os.path.isfile(path) else b""
        if behaviour == "ok":
            self.send(200, body)
        elif behaviour == "redirect":
            self.send(302, b"", [("Location", "/ok/" + name)])
        elif behaviour in ("404", "403"):
            self.send(int(behaviour), b"<html><body>no</body></html>")
        elif behaviour == "html":
            page = (b"<!DOCTYPE html><html><head><title>Access Denied</title></head><body>"
                    b"<h1>Access Denied</h1><p>You don't have permission to access this "
                    b"resource.</p></body></html>\n")
            self.send(200, page, [("Content-Type", "text/html")])
        elif behaviour == "cut":
            self.send(200, body[: len(body) // 2], length=False)
        elif behaviour in ("chunked", "chunked-cut"):
            self.send_response(200)
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            half = len(body) // 2
            for part in (body[:half], body[half:]) if behaviour == "chunked" else (body[:half],):
                self.wfile.write(b"%x\r\n%s\r\n" % (len(part), part))
            if behaviour == "chunked":
                self.wfile.write(b"0\r\n\r\n")
            self.wfile.flush()
            self.close_connection = True
        elif behaviour == "gzip-header":
            self.send(200, gzip.compress(body), [("Content-Encoding", "gzip")])
        elif behaviour == "gzip-raw":
            self.send(200, gzip.compress(body), [("Content-Type", "application/octet-stream")])
        elif behaviour == "gzip-cut":
            packed = gzip.compress(body)
            self.send(200, packed[: len(packed) * 2 // 3])
        elif behaviour == "slow":
            time.sleep(30)
            self.send(200, body)
        elif behaviour == "small":
            self.send(200, small(name, body))
        else:
            self.send(400, b"")


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
server.daemon_threads = True
print(server.server_address[1], flush=True)
server.serve_forever()
