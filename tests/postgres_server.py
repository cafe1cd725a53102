"""A throw-away PostgreSQL server for the tests: a cluster made by initdb in a
temporary folder, listening on 127.0.0.1 only, on a free port, stopped and
removed at the end; one can be stopped and started again mid-test. As root the
server runs as an unprivileged user."""

from __future__ import annotations

import contextlib
import glob
import os
import pwd
import shutil
import socket
import subprocess
import tempfile
from collections.abc import Iterator


class ServerUnavailable(RuntimeError):
    """No server could be started here, and why."""


def _binaries() -> str:
    for initdb in [shutil.which("initdb"), *sorted(glob.glob("/usr/lib/postgresql/*/bin/initdb"), reverse=True)]:
        if initdb and os.access(initdb, os.X_OK):
            return os.path.dirname(os.path.realpath(initdb))
    raise ServerUnavailable("PostgreSQL's initdb is not installed (Debian: apt-get install postgresql)")


def _free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def _server_user() -> str | None:
    """The unprivileged user to run the server as when we are root."""
    if os.geteuid() != 0:
        return None
    for name in ("postgres", "nobody"):
        with contextlib.suppress(KeyError):
            pwd.getpwnam(name)
            return name
    raise ServerUnavailable("running as root, and neither a postgres nor a nobody user exists to run the server")


def _run(command: list[str], user: str | None) -> None:
    program = os.path.basename(command[0])
    if user is not None:
        command = ["runuser", "-u", user, "--", *command]
    # The server is no part of what is tested: it runs without a preloaded
    # sanitizer runtime or the client's connection settings.
    environment = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD" and not k.startswith(("ASAN_", "UBSAN_", "PG"))}
    done = subprocess.run(command, capture_output=True, text=True, timeout=120, env=environment)
    if done.returncode != 0:
        raise ServerUnavailable(f"{program} failed: {done.stderr.strip() or done.stdout.strip()}")


class PostgresServer:
    """A cluster of the tests' own, which can be stopped and started again
    on the same port."""

    def __init__(self, bindir: str, user: str | None, folder: str, port: int):
        self._bindir, self._user, self._folder, self._port = bindir, user, folder, port
        self._data = os.path.join(folder, "data")
        self.dsn = f"host=127.0.0.1 port={port} user=orvane dbname=postgres"

    def create(self) -> None:
        _run([f"{self._bindir}/initdb", "-D", self._data, "-U", "orvane", "--auth=trust", "-E", "UTF8", "--no-locale", "--no-sync"], self._user)

    def start(self) -> None:
        options = f"-h 127.0.0.1 -p {self._port} -k {self._folder} -c fsync=off -c full_page_writes=off"
        log = os.path.join(self._folder, "log")
        _run([f"{self._bindir}/pg_ctl", "-D", self._data, "-o", options, "-l", log, "-w", "-t", "60", "start"], self._user)

    def stop(self, mode: str = "fast") -> None:
        """Stops the server; "fast" and "immediate" end the open sessions."""
        if os.path.exists(os.path.join(self._data, "postmaster.pid")):
            _run([f"{self._bindir}/pg_ctl", "-D", self._data, "-m", mode, "-w", "stop"], self._user)


@contextlib.contextmanager
def running_server() -> Iterator[PostgresServer]:
    """Starts a server of its own, and removes it at the end."""
    bindir = _binaries()
    user = _server_user()
    folder = tempfile.mkdtemp(prefix="orvane-pg-")
    if user is not None:
        account = pwd.getpwnam(user)
        os.chown(folder, account.pw_uid, account.pw_gid)
    os.chmod(folder, 0o700)
    server = PostgresServer(bindir, user, folder, _free_port())
    try:
        server.create()
        server.start()
        yield server
    finally:
        with contextlib.suppress(ServerUnavailable, subprocess.TimeoutExpired):
            server.stop("immediate")
        shutil.rmtree(folder, ignore_errors=True)


@contextlib.contextmanager
def postgres_server() -> Iterator[str]:
    """Starts a server and yields the connection string of its database."""
    with running_server() as server:
        yield server.dsn
