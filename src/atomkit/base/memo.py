# Results of pure functions kept for what repeats from frame to frame (a Properties string,
# a Lattice value, an info key), shared by every thread that reads or writes.
"""Memo: a bounded map that threads may share."""
from __future__ import annotations

import threading
from typing import Generic, TypeVar

K = TypeVar("K")
V = TypeVar("V")


class Memo(Generic[K, V]):
    """At most `limit` entries, the oldest dropped first. `get(key)` is the dict's own (one
    lookup, no lock: it sees each entry whole or not at all); `put` takes a lock so that
    adding and dropping never interleave. Values must never be changed once put: they are
    handed to every caller that asks for the same key."""

    __slots__ = ("_entries", "_limit", "_lock", "get")

    def __init__(self, limit: int) -> None:
        self._entries: dict[K, V] = {}
        self._limit = limit
        self._lock = threading.Lock()
        self.get = self._entries.get

    def put(self, key: K, value: V) -> V:
        """Keeps `value` under `key` and returns it."""
        entries = self._entries
        with self._lock:
            if key not in entries and len(entries) >= self._limit:
                del entries[next(iter(entries))]
            entries[key] = value
        return value

    def __len__(self) -> int:
        return len(self._entries)
