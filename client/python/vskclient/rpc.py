"""The server's automation socket: JSON-RPC 2.0, one JSON object a line (rpc/PROTOCOL.md).

Before anything is sent (the cashier's password among the first), the runtime folder must be
this user's own and the server must run as this user: in a shared /tmp another user may have
made the folder first, with a class file naming their own socket."""
import json
import os
import socket
import stat
import struct

CLSID_VESKAR = "{F9B424D4-51A1-40E0-8EB1-1B9097AF9811}"


class Untrusted(Exception):
    pass


class CallFailed(Exception):
    """A method that answered a failing HRESULT; `code` and `message` are the register's or the
    engine's reason when the server knows it."""

    def __init__(self, name, hr, why):
        self.name = name
        self.hr = hr
        self.code = why.get("code")
        self.message = why.get("message")
        super().__init__(f"{name} failed (0x{hr:08X})"
                         + (f": {self.code}: {self.message}" if why else ""))


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
    """A connection to this user's running server. `on_result(name, hr, value)`, when given,
    hears every Invoke's result."""

    def __init__(self, on_result=None):
        folder = runtime_dir()
        check_runtime_dir(folder)
        with open(os.path.join(folder, CLSID_VESKAR)) as f:
            path = f.readline().strip()
        self.sock = connect_to_own_server(path)
        self.reader = self.sock.makefile("r", encoding="utf-8")
        self.next_id = 0
        self.on_result = on_result

    def close(self):
        self.reader.close()
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()

    def call(self, method, **params):
        self.next_id += 1
        request = {"jsonrpc": "2.0", "id": self.next_id, "method": method, "params": params}
        self.sock.sendall((json.dumps(request, ensure_ascii=False) + "\n").encode("utf-8"))
        reply = json.loads(self.reader.readline())
        if "error" in reply:
            raise RuntimeError(f"{method}: {reply['error']['message']} "
                               f"(0x{reply['error']['code'] & 0xFFFFFFFF:08X})")
        return reply["result"]

    def create(self, progid="VSKManager.Veskar"):
        return self.call("CreateInstance", progid=progid)["object"]

    def release(self, obj):
        return self.call("Release", object=obj)["refs"]

    def invoke(self, obj, name, *args):
        """Calls a method by name; its value, or CallFailed."""
        result = self.call("Invoke", object=obj, name=name, args=list(args))
        hr = result["hr"] & 0xFFFFFFFF
        if self.on_result:
            self.on_result(name, hr, result["value"])
        if hr != 0:
            raise CallFailed(name, hr, result.get("error") or {})
        return result["value"]
