#!/usr/bin/env python3
"""A client of the device server in plain Python (standard library only).

Finds the running server through its class file, creates a Veskar object, binds it to a port
and sells one receipt. Usage: example_client.py PORT [CASHIER PASSWORD]
"""
import json
import os
import socket
import sys

CLSID_VESKAR = "{F9B424D4-51A1-40E0-8EB1-1B9097AF9811}"


def runtime_dir():
    base = os.environ.get("XDG_RUNTIME_DIR") or f"/tmp/vskmanager-{os.getuid()}"
    return os.path.join(base, "vskmanager")


class Connection:
    def __init__(self):
        with open(os.path.join(runtime_dir(), CLSID_VESKAR)) as f:
            path = f.readline().strip()
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.connect(path)
        self.reader = self.sock.makefile("r", encoding="utf-8")
        self.next_id = 0

    def call(self, method, **params):
        self.next_id += 1
        request = {"jsonrpc": "2.0", "id": self.next_id, "method": method, "params": params}
        self.sock.sendall((json.dumps(request, ensure_ascii=False) + "\n").encode("utf-8"))
        reply = json.loads(self.reader.readline())
        if "error" in reply:
            raise RuntimeError(f"{method}: {reply['error']['message']} "
                               f"(0x{reply['error']['code'] & 0xFFFFFFFF:08X})")
        return reply["result"]

    def invoke(self, obj, name, *args):
        result = self.call("Invoke", object=obj, name=name, args=list(args))
        hr = result["hr"] & 0xFFFFFFFF
        print(f"{name}: hr=0x{hr:08X} value={result['value']!r}")
        if hr != 0:
            raise RuntimeError(f"{name} failed")
        return result["value"]


def main():
    port = int(sys.argv[1]) if len(sys.argv) > 1 else 1
    cashier = sys.argv[2] if len(sys.argv) > 2 else "Anna"
    password = sys.argv[3] if len(sys.argv) > 3 else "0000000000"
    conn = Connection()
    till = conn.call("CreateInstance", progid="VSKManager.Veskar")["object"]
    conn.invoke(till, "Init", port, cashier, password, 0, "example_client.py")
    conn.invoke(till, "OpenCheck", "1")
    # Name, quantity (thousandths when divisible), price in kopecks, divisible, tax indexes,
    # article, discount direction, discount name, discount.
    conn.invoke(till, "FiscalLineEx", "Хліб", 1000, 1205, 1, 1, 0, 0, 0, "", 0)
    conn.invoke(till, "FiscalLineEx", "Молоко", 2, 3450, 0, 1, 0, 0, 0, "", 0)
    due = conn.invoke(till, "GetCheckSum")
    conn.invoke(till, "CloseCheckEx", due, 0, 0, 0)
    conn.invoke(till, "GetCheckResultXML")
    conn.invoke(till, "Done")
    conn.call("Release", object=till)


if __name__ == "__main__":
    main()
