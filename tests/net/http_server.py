#!/usr/bin/env python3
"""A small HTTP/1.1 server on 127.0.0.1 for the HTTP client tests and benchmark.

Prints the port it listens on as the first line of standard output, then serves until standard
input closes (the program that started it ends). With "--tls CERT KEY" it speaks HTTPS.

  GET  /fixed            "hello world\\n" with Content-Length and ETag
  GET  /chunked          a chunked body of 1 MiB with no Content-Length
  GET  /bytes/N          N bytes of a repeating pattern, with Content-Length
  GET  /endless          a body that never ends (until the client goes away, at most 60 s)
  GET  /stall            headers, then a pause of 30 s before the body
  GET  /silent           no answer at all for 30 s
  GET  /redirect         302 to another host, with a page of its own
  GET  /echo/...         the request line and headers as the body
  POST /form             the decoded form fields, one "key=value" line each, then the raw body
  anything else          404 with a page
"""
import ssl
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

PATTERN = bytes(range(256)) * 4096  # 1 MiB


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def send_body(self, status, body, content_type="text/plain; charset=utf-8", extra=()):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        for name, value in extra:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        path = self.path
        if path == "/fixed":
            self.send_body(200, b"hello world\n", extra=[("ETag", '"v1-abc"')])
        elif path == "/chunked":
            self.send_response(200)
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            for i in range(16):
                chunk = PATTERN[i * 65536:(i + 1) * 65536]
                self.wfile.write(b"%x\r\n%s\r\n" % (len(chunk), chunk))
            self.wfile.write(b"0\r\n\r\n")
        elif path.startswith("/bytes/"):
            count = int(path[len("/bytes/"):])
            self.send_response(200)
            self.send_header("Content-Length", str(count))
            self.end_headers()
            sent = 0
            while sent < count:
                n = min(len(PATTERN), count - sent)
                self.wfile.write(PATTERN[:n])
                sent += n
        elif path == "/endless":
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.end_headers()
            deadline = time.monotonic() + 60
            try:
                while time.monotonic() < deadline:
                    self.wfile.write(PATTERN)
            except OSError:
                pass
            self.close_connection = True
        elif path == "/stall":
            self.send_response(200)
            self.send_header("Content-Length", "5")
            self.end_headers()
            self.wfile.flush()
            time.sleep(30)
            self.wfile.write(b"late\n")
        elif path == "/silent":
            time.sleep(30)
            self.close_connection = True
        elif path == "/redirect":
            self.send_response(302)
            self.send_header("Location", "http://127.0.0.2:1/elsewhere")
            body = b"moved elsewhere\n"
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
        elif path.startswith("/echo/"):
            text = self.requestline + "\n" + "".join(f"{k}: {v}\n" for k, v in self.headers.items())
            self.send_body(200, text.encode("utf-8"))
        else:
            self.send_body(404, b"<html><body>\r\nNot here: " + path.encode("ascii", "replace") +
                           b"\r\n</body></html>\r\n", content_type="text/html")

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        raw = self.rfile.read(length)
        if self.path != "/form":
            self.send_body(404, b"no form here\r\n")
            return
        fields = urllib.parse.parse_qsl(raw.decode("ascii"), keep_blank_values=True)
        text = "".join(f"{k}={v}\n" for k, v in fields)
        text += "raw:" + raw.decode("ascii") + "\n"
        text += "type:" + self.headers.get("Content-Type", "") + "\n"
        text += "agent:" + self.headers.get("User-Agent", "") + "\n"
        self.send_body(200, text.encode("utf-8"))


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    server = Server(("127.0.0.1", 0), Handler)
    if len(sys.argv) == 4 and sys.argv[1] == "--tls":
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(sys.argv[2], sys.argv[3])
        server.socket = context.wrap_socket(server.socket, server_side=True)
    print(server.server_address[1], flush=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    # Ends with the test: standard input closes when the parent goes away.
    sys.stdin.read()
    server.shutdown()


if __name__ == "__main__":
    main()
