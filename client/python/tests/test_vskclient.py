"""The Python client against a scripted HTTP server of the test's own (keys, retries, refusals,
paging), and, when VSK_HTTP names a server (the launcher test starts one with an emulated
register), receipts sold over HTTP and over the socket, judged by the register's tape.

    VSK_HTTP, VSK_PORT     the server's HTTP API and the register's port
    VSK_EMULATOR_CONTROL   the emulator's control socket, which answers its tape
"""
import http.server
import json
import os
import re
import socket
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

import vskclient  # noqa: E402
from vskclient import Client, VskError  # noqa: E402

SALE = {"lines": [{"name": "Хліб", "quantity": 2, "price": 1205, "tax1": 1}],
        "payments": {"cash": 5000}}
PRINTED = {"body": {"number": 7, "total": 2410}}


class Scripted(http.server.ThreadingHTTPServer):
    """Answers from `replies` in turn (the last one again when they run out): a dict of
    status, body and headers; "cut" closes the connection unanswered; ("slow", s) answers
    after s seconds."""

    def __init__(self, replies):
        super().__init__(("127.0.0.1", 0), Handler)
        self.replies = replies
        self.requests = []
        self.thread = threading.Thread(target=self.serve_forever, args=(0.02,), daemon=True)
        self.thread.start()
        self.url = f"http://127.0.0.1:{self.server_address[1]}/"

    def stop(self):
        self.shutdown()
        self.server_close()
        self.thread.join(5)


class Handler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *_):
        pass

    def answer(self):
        length = int(self.headers.get("Content-Length") or 0)
        raw = self.rfile.read(length) if length else b""
        self.server.requests.append({
            "method": self.command, "path": self.path, "headers": self.headers,
            "body": json.loads(raw) if raw else None})
        n = len(self.server.requests)
        reply = self.server.replies[min(n, len(self.server.replies)) - 1]
        if reply == "cut":
            self.close_connection = True
            self.connection.shutdown(socket.SHUT_RDWR)
            return
        if isinstance(reply, tuple):
            time.sleep(reply[1])
            reply = PRINTED
        body = reply.get("body", {})
        data = (body if isinstance(body, str) else json.dumps(body)).encode("utf-8")
        self.send_response(reply.get("status", 200))
        for name, value in reply.get("headers", {}).items():
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    do_GET = do_POST = do_PUT = answer


class ClientWithoutRegister(unittest.TestCase):
    def serve(self, *replies):
        server = Scripted(list(replies))
        self.addCleanup(server.stop)
        return server

    def client(self, server, **options):
        defaults = {"cashier": "Анна", "password": "0000000000", "retry_delay": 0.001}
        return Client(server.url, **{**defaults, **options})

    def test_a_sale_keeps_its_key_across_retries_and_only_keyed_requests_repeat(self):
        replayed = {**PRINTED, "headers": {"Idempotent-Replay": "true"}}
        server = self.serve("cut", PRINTED, replayed)
        till = self.client(server, key_prefix="till1-")
        sale = till.sale(3, SALE)
        self.assertEqual(sale.send(), PRINTED["body"])
        self.assertFalse(sale.replayed)
        sale.send()  # the till's own retry, after the answer was lost
        self.assertTrue(sale.replayed)
        keys = {r["headers"]["Idempotency-Key"] for r in server.requests}
        self.assertEqual(len(server.requests), 3)
        self.assertEqual(len(keys), 1)
        self.assertRegex(keys.pop(), r"^till1-[0-9a-f]{32}$")
        first = server.requests[0]
        self.assertEqual((first["method"], first["path"]), ("POST", "/v1/ports/3/receipts"))
        self.assertEqual(first["body"]["cashier"], "Анна")
        till.receipt(3, {**SALE, "cashier": "Olha"})
        self.assertEqual(server.requests[3]["body"]["cashier"], "Olha", "the body's own wins")
        self.assertNotIn(server.requests[3]["headers"]["Idempotency-Key"], keys | {sale.key})

        # A key the till stored with its sale is used as it is; None sends none, and once.
        cut = self.serve("cut")
        with self.assertRaises(VskError) as e:
            self.client(cut).receipt(1, SALE, key="till1-000123")
        self.assertEqual((e.exception.code, e.exception.status), ("NETWORK", 0))
        self.assertFalse(e.exception.answered)
        self.assertEqual(len(cut.requests), 4, "three retries")
        self.assertEqual(cut.requests[3]["headers"]["Idempotency-Key"], "till1-000123")
        once = self.serve("cut")
        with self.assertRaises(VskError):
            self.client(once).report_z(1, key=None)
        self.assertEqual(len(once.requests), 1)
        self.assertIsNone(once.requests[0]["headers"].get("Idempotency-Key"))

        # The key's first request still running: asked again; the register's refusal: not.
        busy = {"status": 409, "body": {"error": {"code": "IN_PROGRESS", "message": "running"}}}
        server = self.serve(busy, PRINTED)
        self.assertEqual(self.client(server).receipt(1, SALE)["number"], 7)
        refused = {"status": 409, "body": {"error": {"code": "SOFTUPAS", "message": "пароль"},
                                           "printed": False}}
        server = self.serve(refused, PRINTED)
        with self.assertRaises(VskError) as e:
            self.client(server).receipt(1, SALE)
        self.assertEqual((e.exception.code, e.exception.status), ("SOFTUPAS", 409))
        self.assertEqual(e.exception.message, "пароль")
        self.assertIs(e.exception.body["printed"], False)
        self.assertEqual(len(server.requests), 1)

    def test_refusals_carry_the_servers_word_and_field_and_health_503_is_read(self):
        server = self.serve(
            {"status": 400, "body": {"error": {"code": "BAD_RECEIPT", "message": "no such field",
                                               "field": "/lines/0/quantiy"}}},
            {"status": 413, "body": "<html>too large</html>"},
            {"status": 503, "body": {"healthy": False, "ports": []}},
            {"status": 503, "body": {"error": {"code": "NO_LEDGER", "message": "none"}}},
            {"body": {"time": "2026-12-10T09:15:00"}})
        till = self.client(server, token="secret", retries=0)
        with self.assertRaises(VskError) as e:
            till.receipt(1, SALE)
        self.assertEqual((e.exception.code, e.exception.status, e.exception.field),
                         ("BAD_RECEIPT", 400, "/lines/0/quantiy"))
        with self.assertRaises(VskError) as e:
            till.report_x(1)
        self.assertEqual((e.exception.code, e.exception.status), ("HTTP_413", 413))
        self.assertIs(till.health()["healthy"], False)
        with self.assertRaises(VskError) as e:
            till.receipts(port=1)
        self.assertEqual((e.exception.code, e.exception.status), ("NO_LEDGER", 503))
        self.assertEqual(till.clock(2)["time"], "2026-12-10T09:15:00")

        read = server.requests[4]
        self.assertEqual(read["method"], "GET")
        self.assertEqual(read["headers"]["Authorization"], "Bearer secret")
        # A Cyrillic cashier goes as the bytes of its UTF-8 form.
        self.assertEqual(read["headers"]["X-Vsk-Cashier"].encode("latin-1").decode("utf-8"),
                         "Анна")
        self.assertIsNone(server.requests[0]["headers"].get("X-Vsk-Cashier"))
        self.assertEqual(server.requests[3]["path"], "/v1/receipts?port=1")

        slow = self.serve(("slow", 2))
        with self.assertRaises(VskError) as e:
            self.client(slow, timeout=0.2, retries=0).info(1)
        self.assertEqual((e.exception.code, e.exception.status), ("TIMEOUT", 0))

    def test_every_receipt_of_the_ledger_page_after_page(self):
        server = self.serve(
            {"body": {"receipts": [{"id": 1}, {"id": 2}],
                      "next": "/v1/receipts?port=2&limit=2&after=2"}},
            {"body": {"receipts": [{"id": 3}], "next": None}})
        rows = self.client(server).all_receipts(port=2, limit=2, since="2026-12-01T08:00:00Z")
        self.assertEqual([r["id"] for r in rows], [1, 2, 3])
        self.assertEqual(server.requests[0]["path"],
                         "/v1/receipts?port=2&since=2026-12-01T08%3A00%3A00Z&limit=2")
        self.assertEqual(server.requests[1]["path"], "/v1/receipts?port=2&limit=2&after=2")


def tape(count=400):
    """The last `count` lines of the emulator's tape."""
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.settimeout(10)
        s.connect(os.environ["VSK_EMULATOR_CONTROL"])
        s.sendall(f"tape {count}\n".encode())
        answer = b""
        while b"\n" not in answer:
            chunk = s.recv(65536)
            if not chunk:
                break
            answer += chunk
    line = answer.split(b"\n", 1)[0].decode("utf-8")
    return line[5:].split("|") if line.startswith("TAPE ") else []


def closed(lines):
    return sum(1 for line in lines if re.fullmatch(r"RECEIPT +\d+", line))


@unittest.skipUnless(os.environ.get("VSK_HTTP"), "no server given (VSK_HTTP)")
class ClientAgainstTheServer(unittest.TestCase):
    def setUp(self):
        self.port = int(os.environ["VSK_PORT"])
        self.till = Client(os.environ["VSK_HTTP"], cashier="Anna", password="0000000000",
                           key_prefix="python-")

    def served(self, call, *args, **kwargs):
        """A route this server does not serve yet is left out: its answer is 404."""
        try:
            return call(*args, **kwargs)
        except VskError as e:
            if e.status == 404 and e.code == "NOT_FOUND":
                self.skipTest(f"{call.__name__}: not served by this server")
            raise

    def test_a_receipt_prints_once_and_is_in_the_ledger_then_the_daily_operations(self):
        self.assertIsInstance(self.till.health()["healthy"], bool)
        before = tape()
        sale = self.till.sale(self.port, {**SALE, "texts": [{"text": "Дякуємо"}]})
        result = sale.send()
        self.assertEqual((result["total"], result["change"]), (2410, 2590))
        printed = tape()[len(before):]
        # The register prints the Ukrainian і as the Latin i.
        self.assertTrue(any(re.fullmatch("Хл[іi]б", line) for line in printed), printed)
        self.assertTrue(any(re.fullmatch(rf"RECEIPT +{result['number']}", line)
                            for line in printed), printed)
        self.assertEqual(sale.send(), result)
        self.assertTrue(sale.replayed)
        with self.assertRaises(VskError) as e:
            self.till.receipt(self.port, {"lines": [{"name": "x", "quantiy": 1, "price": 1}],
                                          "payments": {"cash": 1}})
        self.assertEqual((e.exception.code, e.exception.field), ("BAD_RECEIPT", "/lines/0/quantiy"))
        self.assertEqual(closed(tape()), closed(before) + 1, "printed once, the bad one never")

        last = self.till.last_receipt(self.port)
        self.assertEqual(last["register"]["number"], result["number"])
        self.assertEqual(last["ledger"]["number"], result["number"])
        rows = list(self.till.all_receipts(port=self.port, limit=1))
        self.assertEqual((rows[-1]["number"], rows[-1]["end"], rows[-1]["total"]),
                         (result["number"], "closed", 2410))

        # The same module's socket connection sells through the automation interface.
        with vskclient.Connection() as conn:
            veskar = conn.create()
            conn.invoke(veskar, "Init", self.port, "Anna", "0000000000", 0, "python-socket")
            conn.invoke(veskar, "OpenCheck", "1")
            conn.invoke(veskar, "FiscalLineEx", "Молоко", 1, 3450, 0, 1, 0, 0, 0, "", 0)
            conn.invoke(veskar, "CloseCheckEx", 3450, 0, 0, 0)
            conn.invoke(veskar, "Done")
            conn.release(veskar)
            unbound = conn.create()
            with self.assertRaises(vskclient.CallFailed) as e:
                conn.invoke(unbound, "OpenCheck", "1")
            self.assertEqual(e.exception.code, "NOTBOUND", str(e.exception))
        self.assertEqual(closed(tape()), closed(before) + 2)
        self.assertTrue(any("Молоко" in line for line in tape()))

        at = len(tape())
        self.assertEqual(self.served(self.till.report_x, self.port), {"printed": True})
        self.assertTrue(any("X-REPORT" in line for line in tape()[at:]))
        self.assertEqual(self.till.cash(self.port, "in", 10000), {"printed": True})
        self.assertEqual(self.till.counters(self.port)["lastReceipt"], result["number"] + 1)
        now = self.till.clock(self.port)["time"]
        self.assertRegex(now, r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d$")
        self.assertEqual(self.till.set_clock(self.port, now)["time"][:10], now[:10])
        self.assertIsInstance(self.till.info(self.port), dict)
        self.assertEqual(self.till.displays(self.port, ["Хліб", "24.10"]), {"shown": True})


if __name__ == "__main__":
    unittest.main()
