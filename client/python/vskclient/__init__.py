"""Clients of the device server, standard library only: its HTTP API (`Client`) and its
automation socket (`rpc.Connection`)."""
from .api import NEW_KEY, Client, Sale, VskError
from .rpc import CallFailed, Connection, Untrusted

__all__ = ["NEW_KEY", "Client", "Sale", "VskError", "CallFailed", "Connection", "Untrusted"]
