"""A client of the device server's HTTP API (standard library only).

Whole receipts with idempotency keys, the receipts ledger, health, and the daily operations
(reports, cash, counters, clock, information, displays). Bodies and answers are the server's
JSON as dicts, with its member names unchanged; money is in kopecks.

    till = Client("http://127.0.0.1:8080", cashier="Anna", password="0000000000")
    sale = till.sale(1, {"lines": [{"name": "Хліб", "quantity": 2, "price": 1205}],
                         "payments": {"cash": 5000}})
    result = sale.send()        # again after a failure: the same key, printed once
"""
import http.client
import json
import os
import socket
import time
import urllib.error
import urllib.parse
import urllib.request

# The default of a printing request's key: a new one. None sends none.
NEW_KEY = object()

# Words that say the same request may be sent again as it is: the key's first request is still
# running, or the server ended under it (the next start settles the key).
_REPEATABLE = {"IN_PROGRESS", "ENDING"}


class VskError(Exception):
    """A refusal of the server, or a request that got no answer.

    `code` is the server's word (BAD_RECEIPT, NOT_COVERED, SOFTUPAS, ...), or on this side
    NETWORK (no answer), TIMEOUT (no answer in time) or HTTP_<status> (an answer without the
    server's error body); `status` is 0 without an answer; `body` is the whole answer, with
    `end`, `step` and the like."""

    def __init__(self, code, status, message, field=None, body=None):
        super().__init__(message)
        self.code = code
        self.status = status
        self.message = message
        self.field = field
        self.body = body

    @property
    def answered(self):
        """Whether the server answered: without an answer a printing request may have printed."""
        return self.status != 0

    def __str__(self):
        where = f" ({self.field})" if self.field else ""
        return f"{self.code}: {self.message}{where}"


def _header_value(text):
    # http.client sends a header's characters as Latin-1 bytes: a cashier's name, often
    # Cyrillic, goes as the bytes of its UTF-8 form.
    return text.encode("utf-8").decode("latin-1")


class Sale:
    """One sale and its idempotency key. send() may be called again after a failure: the same
    key goes with it, so the server prints the receipt once however often it is sent."""

    def __init__(self, client, port, receipt, key):
        self.client = client
        self.port = port
        self.receipt = receipt
        self.key = key
        self.replayed = False  # whether the last answer was the server's stored one

    def send(self):
        body, self.replayed = self.client.request(
            "POST", f"/v1/ports/{self.port}/receipts",
            self.client.with_credentials(self.receipt), key=self.key)
        return body


class Client:
    """The HTTP API of one server.

    `token` is the server's TCP token (peers off the loopback, and other users on it);
    `cashier` and `password` go into printing bodies that name none and, as headers, with
    reads of a port not bound; `key_prefix` leads every key this client makes ("till1-").
    A read, or a printing request with its key, is sent again up to `retries` times after
    no answer (the server answers a repeat of a finished keyed request from its store); one
    without a key is sent once."""

    def __init__(self, base_url, token=None, cashier=None, password=None, key_prefix="",
                 timeout=60.0, retries=3, retry_delay=0.5, ssl_context=None):
        self.base_url = base_url.rstrip("/")
        self.token = token
        self.cashier = cashier
        self.password = password
        self.key_prefix = key_prefix
        self.timeout = timeout
        self.retries = retries
        self.retry_delay = retry_delay
        handlers = [urllib.request.ProxyHandler({})]  # the server is never behind a proxy
        if ssl_context is not None:
            handlers.append(urllib.request.HTTPSHandler(context=ssl_context))
        self._opener = urllib.request.build_opener(*handlers)

    def new_key(self):
        """A new idempotency key: 32 random hexadecimal digits after the client's prefix."""
        return self.key_prefix + os.urandom(16).hex()

    def sale(self, port, receipt, key=NEW_KEY):
        """A sale with a key of its own (or the one given, e.g. stored with the sale), not yet
        sent."""
        return Sale(self, port, receipt, self.new_key() if key is NEW_KEY else key)

    def receipt(self, port, receipt, key=NEW_KEY):
        """Sells a whole receipt: an answer exactly when the register closed it."""
        return self.sale(port, receipt, key).send()

    def receipts(self, port=None, since=None, limit=None, after=None):
        """A page of the receipts ledger: {"receipts": [...], "next": path or None}."""
        query = {k: v for k, v in (("port", port), ("since", since), ("limit", limit),
                                   ("after", after)) if v is not None}
        path = "/v1/receipts" + ("?" + urllib.parse.urlencode(query) if query else "")
        return self._get(path)

    def all_receipts(self, **query):
        """Every receipt the query selects, page after page until `next` is None."""
        page = self.receipts(**query)
        while True:
            yield from page["receipts"]
            if not page.get("next"):
                return
            page = self._get(page["next"])

    def last_receipt(self, port):
        return self._get(f"/v1/ports/{port}/last-receipt")

    def health(self):
        """The server's health, unhealthy (503) too: `healthy` tells which."""
        try:
            return self._get("/v1/health")
        except VskError as e:
            if e.status == 503 and isinstance(e.body, dict) and "healthy" in e.body:
                return e.body
            raise

    def report_x(self, port, key=NEW_KEY):
        return self._print("POST", f"/v1/ports/{port}/reports/x", {}, key)

    def report_z(self, port, key=NEW_KEY):
        return self._print("POST", f"/v1/ports/{port}/reports/z", {}, key)

    def report_periodic(self, port, period, key=NEW_KEY):
        """`period`: {"from": "2026-12-01", "to": "2026-12-10"} or {"fromZ": 1, "toZ": 5},
        with "full" optional."""
        return self._print("POST", f"/v1/ports/{port}/reports/periodic", dict(period), key)

    def cash(self, port, direction, amount, key=NEW_KEY):
        """Cash "in" or "out" of the drawer, `amount` in kopecks."""
        return self._print("POST", f"/v1/ports/{port}/cash",
                           {"direction": direction, "amount": amount}, key)

    def counters(self, port):
        return self._get(f"/v1/ports/{port}/counters")

    def clock(self, port):
        return self._get(f"/v1/ports/{port}/clock")

    def set_clock(self, port, time_text, key=NEW_KEY):
        """`time_text`: the till's local time, "2026-12-10T09:15:00"."""
        return self._print("PUT", f"/v1/ports/{port}/clock", {"time": time_text}, key)

    def info(self, port):
        return self._get(f"/v1/ports/{port}/info")

    def displays(self, port, lines, external=False, key=NEW_KEY):
        return self._print("POST", f"/v1/ports/{port}/displays",
                           {"lines": list(lines), "external": external}, key)

    def with_credentials(self, body):
        """The body with the client's cashier and password where it names none."""
        out = {}
        if self.cashier is not None:
            out["cashier"] = self.cashier
        if self.password is not None:
            out["password"] = self.password
        out.update(body)
        return out

    def _get(self, path):
        return self.request("GET", path)[0]

    def _print(self, method, path, body, key):
        key = self.new_key() if key is NEW_KEY else key
        return self.request(method, path, self.with_credentials(body), key=key)[0]

    def request(self, method, path, body=None, key=None):
        """Sends a request, again after a failure while that cannot do twice what the register
        may have done. The answer's body and whether it was a stored one."""
        repeatable = method == "GET" or bool(key)
        delay = self.retry_delay
        attempt = 0
        while True:
            try:
                return self._attempt(method, path, body, key)
            except VskError as e:
                again = e.status == 0 or e.code in _REPEATABLE
                if not repeatable or not again or attempt >= self.retries:
                    raise
            time.sleep(delay)
            delay *= 2
            attempt += 1

    def _attempt(self, method, path, body, key):
        headers = {"Accept": "application/json"}
        if self.token:
            headers["Authorization"] = "Bearer " + self.token
        if key:
            headers["Idempotency-Key"] = key
        if method == "GET":
            if self.cashier is not None:
                headers["X-Vsk-Cashier"] = _header_value(self.cashier)
            if self.password is not None:
                headers["X-Vsk-Password"] = _header_value(self.password)
        data = None
        if body is not None:
            headers["Content-Type"] = "application/json"
            data = json.dumps(body, ensure_ascii=False).encode("utf-8")
        # `next` links are paths of this server.
        url = path if path.startswith(("http://", "https://")) else self.base_url + path
        request = urllib.request.Request(url, data=data, headers=headers, method=method)
        what = f"{method} {path}"
        try:
            with self._opener.open(request, timeout=self.timeout) as response:
                status, raw = response.status, response.read()
                replay = response.headers.get("Idempotent-Replay") == "true"
        except urllib.error.HTTPError as e:
            status, raw, replay = e.code, e.read(), False
            e.close()
        except (socket.timeout, TimeoutError) as e:
            raise VskError("TIMEOUT", 0, f"{what}: no answer in time ({e})") from None
        except urllib.error.URLError as e:
            if isinstance(e.reason, (socket.timeout, TimeoutError)):
                raise VskError("TIMEOUT", 0, f"{what}: no answer in time") from None
            raise VskError("NETWORK", 0, f"{what}: {e.reason}") from None
        except (OSError, http.client.HTTPException) as e:  # cut, or not an HTTP answer
            raise VskError("NETWORK", 0, f"{what}: {e}") from None
        text = raw.decode("utf-8", errors="replace")
        try:
            parsed = json.loads(text) if text else None
        except ValueError:
            parsed = text
        if status == 200:
            return parsed, replay
        why = parsed.get("error") if isinstance(parsed, dict) else None
        if isinstance(why, dict) and isinstance(why.get("code"), str):
            message = why.get("message")
            field = why.get("field")
            raise VskError(why["code"], status,
                           message if isinstance(message, str) else why["code"],
                           field if isinstance(field, str) else None, parsed)
        raise VskError(f"HTTP_{status}", status, f"{what}: {status}", None, parsed)
