#!/usr/bin/env python3
"""A client of the device server in plain Python (standard library only), through the
`vskclient` package beside it (client/python/, or python/ beside an installed copy).

    example_client.py PORT [CASHIER PASSWORD]
        finds the running server through its class file, creates a Veskar object, binds it to
        the port and sells one receipt, method by method, over the automation socket;
    example_client.py --http URL PORT [CASHIER PASSWORD]
        sells the same receipt whole through the HTTP API at URL (http://127.0.0.1:8080).

Before it sends anything (the cashier's password among the first), it makes sure that the
runtime folder is this user's own and that the server runs as this user: in a shared /tmp
another user may have made the folder first, with a class file naming their own socket.
"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "python"))

from vskclient import CallFailed, Client, Connection, Untrusted, VskError  # noqa: E402


def show(name, hr, value):
    print(f"{name}: hr=0x{hr:08X} value={value!r}")


def sell(conn, till, port, cashier, password):
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


def sell_over_http(url, port, cashier, password):
    till = Client(url, cashier=cashier, password=password, key_prefix="example-")
    result = till.receipt(port, {
        "client": "example_client.py",
        "lines": [{"name": "Хліб", "quantity": 1000, "weighed": True, "price": 1205},
                  {"name": "Молоко", "quantity": 2, "price": 3450}],
        "payments": {"cash": 10000}})
    print(f"receipt {result['number']}: total {result['total']}, change {result['change']}")


def main():
    args = sys.argv[1:]
    url = None
    if args[:1] == ["--http"] and len(args) > 1:
        url, args = args[1], args[2:]
    port = int(args[0]) if args else 1
    cashier = args[1] if len(args) > 1 else "Anna"
    password = args[2] if len(args) > 2 else "0000000000"
    if url:
        try:
            sell_over_http(url, port, cashier, password)
        except VskError as e:
            sys.exit(f"example_client.py: {e}")
        return
    try:
        conn = Connection(on_result=show)
    except Untrusted as e:
        sys.exit(f"example_client.py: refusing the server, nothing was sent: {e}")
    till = conn.create()
    try:
        sell(conn, till, port, cashier, password)
    except CallFailed as e:
        sys.exit(f"example_client.py: {e}")
    conn.release(till)


if __name__ == "__main__":
    main()
