"""The lease that lets one updater at a time change a catalog, on one
host or on several that share the folder, without SQLite's locking (which
network file systems do not keep reliably).

The lease is a file created with O_EXCL: who creates it holds it. It says
which host and process holds it, since when, and a heartbeat that the
holder rewrites every BEAT seconds. A waiter breaks it only when it is
stale: on the same host, when its process is gone; on any host, when its
words have not changed for STALE seconds of the waiter's own clock (so
that the clocks of two hosts need not agree). Breaking renames the lease
aside first, so that of two waiters that break it at once, one does; and
a holder whose lease was broken (it stood still for STALE seconds) finds
out before it publishes anything, and starts again.
"""

from __future__ import annotations

import os
import threading
import time
from typing import Callable

from ._output import _HOST, _alive

LEASE = "lease"
BEAT = 5.0  # seconds between heartbeats
STALE = 60.0  # seconds without a heartbeat that make a lease stale
POLL = 0.2  # seconds between looks at a held lease


class LeaseLost(Exception):
    """The lease was broken while its holder worked: another updater took it."""


class Lease:
    """The lease of the catalog in `folder`, held inside a with statement.
    `waiting(host, pid)` is called while another process holds it."""

    def __init__(
        self,
        folder: str,
        stale: float = STALE,
        beat: float = BEAT,
        waiting: Callable[[str, int], None] | None = None,
    ) -> None:
        self.path = os.path.join(folder, LEASE)
        self.stale = stale
        self.beat = beat
        self.waiting = waiting
        self.fd = -1
        self.inode = 0
        self.lost = False
        self._done = threading.Event()
        self._thread: threading.Thread | None = None

    def __enter__(self) -> Lease:
        self.acquire()
        return self

    def __exit__(self, *exc: object) -> None:
        self.release()

    def acquire(self) -> None:
        """Takes the lease, waiting while another live process holds it."""
        seen, since = None, 0.0
        while True:
            try:
                fd = os.open(self.path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
            except FileExistsError:
                words = _read(self.path)
                if words is None:  # released between the two calls
                    continue
                if words != seen:
                    seen, since = words, time.monotonic()
                if self._stale(words, time.monotonic() - since):
                    self._break(words)
                    seen = None
                    continue
                if self.waiting is not None:
                    host, pid = _holder(words)
                    self.waiting(host, pid)
                time.sleep(POLL)
                continue
            self.fd, self.inode = fd, os.fstat(fd).st_ino
            self.started = time.time()
            self.lost = False
            self._write(0)
            self._done.clear()
            self._thread = threading.Thread(target=self._beat, name="catalog lease", daemon=True)
            self._thread.start()
            return

    def held(self) -> bool:
        """True while the lease file is still this holder's."""
        if self.lost or self.fd < 0:
            return False
        try:
            self.lost = os.stat(self.path).st_ino != self.inode
        except OSError:
            self.lost = True
        return not self.lost

    def check(self) -> None:
        """Raises LeaseLost when the lease is no longer this holder's."""
        if not self.held():
            raise LeaseLost(f"{self.path}: the lease was broken by another updater")

    def release(self) -> None:
        """Gives the lease up (removing its file, if still this holder's)."""
        if self.fd < 0:
            return
        self._done.set()
        if self._thread is not None:
            self._thread.join()
        if self.held():
            try:
                os.unlink(self.path)
            except OSError:
                pass
        os.close(self.fd)
        self.fd = -1

    def _beat(self) -> None:
        beats = 0
        while not self._done.wait(self.beat):
            if not self.held():
                return
            beats += 1
            try:
                self._write(beats)
            except OSError:
                pass  # the next beat tries again; a lease that stays silent goes stale

    def _write(self, beats: int) -> None:
        """Writes who holds the lease, and the heartbeat, in place, through
        the holder's own descriptor: a lease broken and taken since is
        another file, which this never touches."""
        now = time.time()
        words = (
            f"quarvel catalog lease\nhost {_HOST}\npid {os.getpid()}\n"
            f"since {_utc(self.started)}\nbeat {beats} {_utc(now)}\n"
        ).encode("ascii")
        if hasattr(os, "pwrite"):
            os.pwrite(self.fd, words, 0)
        else:
            os.lseek(self.fd, 0, os.SEEK_SET)
            os.write(self.fd, words)
        os.ftruncate(self.fd, len(words))
        os.fsync(self.fd)

    def _stale(self, words: bytes, unchanged: float) -> bool:
        """True when the lease of `words`, unchanged for `unchanged` seconds, may be broken."""
        if unchanged >= self.stale:
            return True
        host, pid = _holder(words)
        # Where os.kill cannot test a process (Windows), the clock alone tells.
        return os.name == "posix" and host == _HOST and pid > 0 and not _alive(pid)

    def _break(self, words: bytes) -> None:
        """Removes the stale lease of `words`: renamed aside, then removed if
        it is still that one, else put back (when nobody took the name)."""
        aside = f"{self.path}.broken-{_HOST}-{os.getpid()}"
        try:
            os.rename(self.path, aside)
        except FileNotFoundError:
            return  # another waiter broke it first
        if _read(aside) != words:  # a new lease took the place of the stale one
            try:
                os.link(aside, self.path)
            except OSError:
                pass
        os.unlink(aside)


def _read(path: str) -> bytes | None:
    try:
        with open(path, "rb") as lease:  # noqa: PTH123
            return lease.read(4096)
    except FileNotFoundError:
        return None


def _holder(words: bytes) -> tuple[str, int]:
    """Returns the host and process id that a lease's words name ("", 0 if none)."""
    fields = dict(line.split(" ", 1) for line in words.decode("ascii", "replace").splitlines() if " " in line)
    pid = fields.get("pid", "")
    return fields.get("host", ""), int(pid) if pid.isdigit() else 0


def _utc(seconds: float) -> str:
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(seconds))
