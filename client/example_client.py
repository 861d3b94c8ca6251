#!/usr/bin/env python3
"""A client of the device server in plain Python (standard library only).

Finds the running server through its class file, creates a Veskar object, binds it to a port
and sells one receipt. Usage: example_client.py PORT [CASHIER PASSWORD]

Before it sends anything (the cashier's password among the first), it makes sure that the
runtime folder is this user's own and that the server runs as this user: in a shared /tmp
another user may have made the folder first, with a class file naming their own socket.
"""
import json
import os
import socket
import stat
import struct
import sys

CLSID_VESKAR = "{F9B424D4-51A1-40E0-8EB1-1B9097AF9811}"


class Untrusted(Exception):
    pass


class CallFailed(Exception):
    pass


def fallback_parent():
    return f"/tmp/vskmanager-{os.getuid()}"


def runtime_dir():
    base = os.environ.get("XDG_RUNTIME_DIR") or fallback_parent()
    return os.path.join(base, "vskmanager")


def check_own_folder(path):
    """A real folder (no symbolic link) of this user, mode 0700."""
    st = os.lstat(path)
    if stat.S_ISLNK(st.st_mode):
        raise Untrusted(f"{path} is a symbolic link")
    if not stat.S_ISDIR(st.st_mode):
        raise Untrusted(f"{path} is not a folder")
    if st.st_uid != os.geteuid():
        raise Untrusted(f"{path} belongs to another user (uid {st.st_uid})")
    if st.st_mode & 0o077:
        raise Untrusted(f"{path} is open to other users (mode {st.st_mode & 0o7777:04o})")


def check_runtime_dir(path):
    check_own_folder(path)
    parent = os.path.dirname(path)
    if parent == fallback_parent():
        check_own_folder(parent)
        return
    # Whoever may rename entries in the parent could swap the folder for their own.
    st = os.lstat(parent)
    if (st.st_uid not in (os.geteuid(), 0) or
            (st.st_mode & 0o022 and not st.st_mode & stat.S_ISVTX)):
        raise Untrusted(f"{parent} may be changed by other users")


def connect_to_own_server(path):
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    sock.connect(path)
    _pid, uid, _gid = struct.unpack("3i", sock.getsockopt(
        socket.SOL_SOCKET, socket.SO_PEERCRED, struct.calcsize("3i")))
    if uid != os.geteuid():
        sock.close()
        raise Untrusted(f"the server at {path} runs as user {uid}, not as this user")
    return sock


class Connection:
    def __init__(self):
        folder = runtime_dir()
        check_runtime_dir(folder)
        with open(os.path.join(folder, CLSID_VESKAR)) as f:
            path = f.readline().strip()
        self.sock = connect_to_own_server(path)
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
            # The register's or the engine's reason, when the server knows it.
            why = result.get("error") or {}
            raise CallFailed(f"{name} failed (0x{hr:08X})"
                             + (f": {why.get('code')}: {why.get('message')}" if why else ""))
        return result["value"]


def main():
    port = int(sys.argv[1]) if len(sys.argv) > 1 else 1
    cashier = sys.argv[2] if len(sys.argv) > 2 else "Anna"
    password = sys.argv[3] if len(sys.argv) > 3 else "0000000000"
    try:
        conn = Connection()
    except Untrusted as e:
        sys.exit(f"example_client.py: refusing the server, nothing was sent: {e}")
    till = conn.call("CreateInstance", progid="VSKManager.Veskar")["object"]
    try:
        sell(conn, till, port, cashier, password)
    except CallFailed as e:
        sys.exit(f"example_client.py: {e}")
    conn.call("Release", object=till)


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


if __name__ == "__main__":
    main()
