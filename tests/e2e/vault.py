#!/usr/bin/env python3
"""A Vault on loopback for the end-to-end sync test, over plain HTTP (which Pinlark accepts
on loopback only). It keeps one payload per vault path in memory: a GET answers it as
{"data": ...} or 404, a POST of {"data": ...} stores it and answers 204. Every request is
appended to the log as one JSON line, so the test can check what Pinlark sent.

    vault.py PORT_FILE LOG_FILE
"""

import json
import re
import sys
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

VAULT_PATH = re.compile(r"^/vault/pinlark/[0-9a-f]{64}$")
stored = {}


class Vault(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, format, *args):  # noqa: A002 - the base class's name
        pass

    def record(self, body):
        entry = {
            "method": self.command,
            "path": self.path,
            "contentType": self.headers.get("Content-Type"),
            "headers": "\n".join(f"{k}: {v}" for k, v in self.headers.items()),
            "body": body.decode("utf-8", "replace"),
        }
        with open(self.server.log_path, "a", encoding="utf-8") as log:
            log.write(json.dumps(entry) + "\n")

    def answer(self, status, body=b""):
        self.send_response(status)
        if body:
            self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):  # noqa: N802 - the base class's name
        self.record(b"")
        if not VAULT_PATH.match(self.path):
            return self.answer(404)
        if self.path not in stored:
            return self.answer(404)
        self.answer(200, json.dumps({"data": stored[self.path]}).encode())

    def do_POST(self):  # noqa: N802 - the base class's name
        length = int(self.headers.get("Content-Length", "0"))
        body = self.rfile.read(length)
        self.record(body)
        if not VAULT_PATH.match(self.path):
            return self.answer(404)
        try:
            data = json.loads(body)["data"]
        except (ValueError, KeyError, TypeError):
            return self.answer(400)
        if not isinstance(data, str):
            return self.answer(400)
        stored[self.path] = data
        self.answer(204)


def main():
    port_file, log_path = sys.argv[1], sys.argv[2]
    server = ThreadingHTTPServer(("127.0.0.1", 0), Vault)
    server.log_path = log_path
    open(log_path, "w").close()
    with open(port_file, "w") as f:
        f.write(f"{server.server_address[1]}\n")
    server.serve_forever()


if __name__ == "__main__":
    main()
