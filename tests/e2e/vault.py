#!/usr/bin/env python3
"""A Vault on loopback for the end-to-end sync test, over plain HTTP (which Pinlark accepts
on loopback only). It keeps one payload per vault path in memory: a GET answers it as
{"data": ...} or 404, a POST of {"data": ...} stores it and answers 204. Every request is
appended to the log as one JSON line, so the test can check what Pinlark sent.

Like pinlark-vault it tags what it stores (the unpadded base64url SHA-256 of the text, in
quotes): a 200 GET and a 204 POST answer an ETag, and a POST whose If-Match names neither
"*" nor the current tag, or whose If-None-Match is "*" while something is stored (or names
the current tag, or is malformed), is refused with 412 and stores nothing. With --no-etags
it plays a Vault that knows no tags: no ETag, and both headers are ignored.

    vault.py PORT_FILE LOG_FILE [--no-etags]
"""

import base64
import hashlib
import json
import re
import sys
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

VAULT_PATH = re.compile(r"^/vault/pinlark/[0-9a-f]{64}$")
QUOTED_TAG = re.compile(r'^"[^"]*"$')
stored = {}
lock = threading.Lock()  # a precondition is judged and the write made in one step


def entity_tag(text):
    digest = hashlib.sha256(text.encode("utf-8")).digest()
    return '"' + base64.urlsafe_b64encode(digest).decode().rstrip("=") + '"'


def listed(header):
    return [item.strip() for item in header.split(",") if item.strip()]


def if_match_holds(header, current):
    return current is not None and any(t == "*" or t == current for t in listed(header))


def if_none_match_holds(header, current):
    tags = listed(header)
    if not tags:
        return False
    for tag in tags:
        if tag == "*":
            if current is not None:
                return False
            continue
        opaque = tag[2:] if tag.startswith("W/") else tag
        if not QUOTED_TAG.match(opaque) or opaque == current:
            return False
    return True


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

    def answer(self, status, body=b"", etag=None):
        self.send_response(status)
        if body:
            self.send_header("Content-Type", "application/json")
        if etag is not None and self.server.etags:
            self.send_header("ETag", etag)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):  # noqa: N802 - the base class's name
        self.record(b"")
        if not VAULT_PATH.match(self.path):
            return self.answer(404)
        with lock:
            data = stored.get(self.path)
        if data is None:
            return self.answer(404)
        self.answer(200, json.dumps({"data": data}).encode(), entity_tag(data))

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
        with lock:
            if self.server.etags:
                current = stored.get(self.path)
                current = None if current is None else entity_tag(current)
                if_match = self.headers.get("If-Match")
                if if_match is not None and not if_match_holds(if_match, current):
                    return self.answer(412, b'{"error":"If-Match does not hold"}')
                if_none_match = self.headers.get("If-None-Match")
                if if_none_match is not None and not if_none_match_holds(if_none_match, current):
                    return self.answer(412, b'{"error":"If-None-Match does not hold"}')
            stored[self.path] = data
        self.answer(204, etag=entity_tag(data))


def main():
    port_file, log_path = sys.argv[1], sys.argv[2]
    server = ThreadingHTTPServer(("127.0.0.1", 0), Vault)
    server.log_path = log_path
    server.etags = "--no-etags" not in sys.argv[3:]
    open(log_path, "w").close()
    with open(port_file, "w") as f:
        f.write(f"{server.server_address[1]}\n")
    server.serve_forever()


if __name__ == "__main__":
    main()
