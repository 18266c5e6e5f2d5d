"""The files of `vesker dump --pid`, handled without trusting the target.

Two sides, kept apart:

- Files in the target's temporary directory (the request script, the progress
  channel, the dump the target writes) live where the target's user can
  replace any name by a link.  vesker never touches them by path with its own
  privileges: a forked child enters the target's view of the file system
  (chroot to /proc/PID/root, so that even absolute links resolve inside it),
  becomes the target's user and does the work there.  What vesker must read,
  it gets from that child as open descriptors (opened without following links,
  checked to be regular files) and reads with a size bound.
- Files in the output directory are vesker's: created with O_EXCL under their
  final names first (two dumps never share one), with the mode asked whatever
  the umask, owned by whoever ran vesker, written to a temporary name and
  renamed over the reservation once complete.
"""

from __future__ import annotations

import errno
import json
import os
import shutil
import socket
import stat
import subprocess
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

# Records the target writes are short; a longer line is not from our script.
_LINE_LIMIT = 1 << 16
# Progress records come five times a second: a channel this large is hostile.
_CHANNEL_LIMIT = 64 << 20
_SIDECAR_LIMIT = 1 << 20
_WORKER_TIMEOUT = 30.0


class FileError(Exception):
    """A file for or from the target could not be handled safely."""


@dataclass(frozen=True)
class TargetUser:
    pid: int
    uid: int
    gid: int
    root: str  # the target's root as seen from here, "" when it is ours


Action = Callable[[str], tuple[Any, list[int]]]


def as_target(user: TargetUser, action: Action) -> tuple[Any, list[int]]:
    """Run `action(prefix)` in a child that sees the target's file system and has
    its user's rights; returns the action's JSON-able result and the descriptors
    it opened.  `prefix` is what to put before the target's own paths: "" once
    the child could enter the target's root, else its root as seen from here
    (a vesker without root's rights shares the target's user, who can then
    gain nothing by a link)."""
    parent_end, child_end = socket.socketpair(socket.AF_UNIX, socket.SOCK_STREAM)
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            parent_end.close()
            keep = child_end.fileno()
            os.closerange(3, keep)
            os.closerange(keep + 1, os.sysconf("SC_OPEN_MAX"))
            prefix = user.root
            if os.geteuid() == 0:
                if user.root:
                    os.chroot(user.root)
                    prefix = ""
                os.chdir("/")
                os.setgroups([])
                os.setgid(user.gid)
                os.setuid(user.uid)
            os.umask(0o077)
            result, descriptors = action(prefix)
            socket.send_fds(child_end, [json.dumps({"result": result}).encode()], descriptors)
            code = 0
        except BaseException as error:  # reported to the parent, which raises it
            message = str(error)
            if isinstance(error, OSError) and error.strerror:
                message = error.strerror
            filename = getattr(error, "filename", None)
            if filename:
                message += f": {filename}"
            try:
                socket.send_fds(child_end, [json.dumps({"error": message}).encode()], [])
            except BaseException:
                pass
        finally:
            os._exit(code)
    child_end.close()
    try:
        parent_end.settimeout(_WORKER_TIMEOUT)
        data, descriptors, _, _ = socket.recv_fds(parent_end, _LINE_LIMIT, 8)
    except (OSError, socket.timeout):
        data, descriptors = b"", []
    finally:
        parent_end.close()
        _reap(pid)
    try:
        reply = json.loads(data)
    except ValueError:
        for descriptor in descriptors:
            os.close(descriptor)
        raise FileError("the helper process working as the target's user ended without "
                        "an answer") from None
    if "error" in reply:
        for descriptor in descriptors:
            os.close(descriptor)
        raise FileError(str(reply["error"]))
    return reply["result"], descriptors


def _reap(pid: int) -> None:
    try:
        os.waitpid(pid, 0)
    except ChildProcessError:
        pass


def _open_regular(name: str, directory: int) -> int:
    try:
        descriptor = os.open(name, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC,
                             dir_fd=directory)
    except OSError as error:
        if error.errno == errno.ELOOP:
            raise FileError(f"{name} was replaced by a link, which vesker does not "
                            "follow") from None
        raise
    if not stat.S_ISREG(os.fstat(descriptor).st_mode):
        os.close(descriptor)
        raise FileError(f"{name} is not a regular file")
    return descriptor


def make_workspace(user: TargetUser, workspace: str, files: dict[str, bytes], channel: str,
                   need_exec: bool) -> int:
    """Make the private directory `workspace` (a path in the target's view, in a
    directory the target's user may write) holding `files`, as that user; a
    descriptor of the `channel` file in it, open for reading."""

    def action(prefix: str) -> tuple[Any, list[int]]:
        path = prefix + workspace
        if need_exec and os.statvfs(os.path.dirname(path)).f_flag & os.ST_NOEXEC:
            raise FileError(f"{os.path.dirname(workspace)} is mounted noexec, so the process "
                            "cannot load vesker's helper from it; give it a TMPDIR elsewhere")
        os.mkdir(path, 0o700)
        directory = os.open(path, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC)
        try:
            for file_name, content in files.items():
                descriptor = os.open(file_name, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW
                                     | os.O_CLOEXEC, 0o600, dir_fd=directory)
                with os.fdopen(descriptor, "wb") as handle:
                    handle.write(content)
            return None, [_open_regular(channel, directory)]
        finally:
            os.close(directory)

    _, descriptors = as_target(user, action)
    return descriptors[0]


# Run by the target's own interpreter: bytecode and marshal format are then its own.
_COMPILE = ("import marshal, sys; sys.stdout.buffer.write(marshal.dumps(compile("
            "sys.stdin.buffer.read(), sys.argv[1], 'exec')))")
_CODE_LIMIT = 16 << 20


def compile_as_target(user: TargetUser, interpreter: str, source: bytes, name: str) -> bytes:
    """`source` compiled and marshalled by `interpreter` (a path in the target's
    view), run as the target's user in its file system, isolated from its
    environment and site packages: the target then only loads the result."""

    def action(prefix: str) -> tuple[Any, list[int]]:
        completed = subprocess.run([prefix + interpreter, "-I", "-S", "-c", _COMPILE, name],
                                   input=source, capture_output=True, timeout=_WORKER_TIMEOUT,
                                   env={}, check=False)
        if completed.returncode != 0 or not completed.stdout:
            raise FileError(f"{interpreter} could not compile the dumper")
        descriptor = os.memfd_create("vesker-code", os.MFD_CLOEXEC)
        os.write(descriptor, completed.stdout)
        return None, [descriptor]

    _, (descriptor,) = as_target(user, action)
    try:
        size = os.fstat(descriptor).st_size
        if size > _CODE_LIMIT:
            raise FileError("the compiled dumper is larger than any dumper")
        return os.pread(descriptor, size, 0)
    finally:
        os.close(descriptor)


def open_results(user: TargetUser, workspace: str, names: list[str]) -> list[int | None]:
    """Descriptors of the files the target wrote in its workspace, None where one
    is missing."""

    def action(prefix: str) -> tuple[Any, list[int]]:
        directory = os.open(prefix + workspace,
                            os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC)
        try:
            present, descriptors = [], []
            for name in names:
                try:
                    descriptors.append(_open_regular(name, directory))
                    present.append(True)
                except FileNotFoundError:
                    present.append(False)
            return present, descriptors
        finally:
            os.close(directory)

    present, descriptors = as_target(user, action)
    opened = iter(descriptors)
    return [next(opened) if found else None for found in present]


def remove_workspace(user: TargetUser, workspace: str) -> None:
    def action(prefix: str) -> tuple[Any, list[int]]:
        shutil.rmtree(prefix + workspace, ignore_errors=True)
        return None, []

    try:
        as_target(user, action)
    except FileError:
        pass


class Channel:
    """Newline-terminated JSON records read from a descriptor, with bounds."""

    def __init__(self, descriptor: int) -> None:
        self.descriptor = descriptor
        self.consumed = 0
        self.pending = b""

    def records(self) -> list[dict[str, Any]]:
        data = os.pread(self.descriptor, _LINE_LIMIT, self.consumed)
        self.consumed += len(data)
        if self.consumed > _CHANNEL_LIMIT:
            raise FileError("the progress file grew beyond any dump's records: it is not "
                            "vesker's")
        self.pending += data
        *lines, self.pending = self.pending.split(b"\n")
        if len(self.pending) > _LINE_LIMIT:
            raise FileError("the progress file holds a line longer than any of vesker's "
                            "records: it is not vesker's")
        found = []
        for line in lines:
            try:
                record = json.loads(line)
            except ValueError:
                continue
            if isinstance(record, dict):
                found.append(record)
        return found

    def close(self) -> None:
        os.close(self.descriptor)


class Output:
    """The dump file and its sidecar in vesker's output directory."""

    def __init__(self, path: str | None, default: Callable[[int], str], mode: int,
                 replace: bool = False) -> None:
        """Reserves `path`, or the first free name `default(attempt)` gives; with
        `replace`, `path` and its sidecar are replaced once the dump is complete."""
        self.mode = mode
        self.directory_path = os.path.dirname(os.path.abspath(path or default(1)))
        try:
            self.directory = os.open(self.directory_path,
                                     os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
        except OSError as error:
            raise FileError(f"output directory {self.directory_path!r}: {error.strerror}") from None
        attempt = 1
        while True:
            self.name = os.path.basename(path or default(attempt))
            if replace and path is not None:
                self.name = "." + self.name + "." + os.urandom(6).hex() + ".reserved"
            try:
                self.reservation = self._create(self.name)
                try:
                    self.sidecar = self._create(self.name + ".meta.json")
                except FileExistsError:
                    os.close(self.reservation)
                    os.unlink(self.name, dir_fd=self.directory)
                    raise
                break
            except FileExistsError:
                if path is not None:
                    os.close(self.directory)
                    raise FileError(f"{path} or its .meta.json exists (another dump, or an "
                                    "older file): give another name or remove it") from None
                attempt += 1
        self.final = os.path.basename(path) if replace and path is not None else self.name
        self.path = os.path.join(self.directory_path, self.final)

    def _create(self, name: str) -> int:
        descriptor = os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW
                             | os.O_CLOEXEC, self.mode, dir_fd=self.directory)
        os.fchmod(descriptor, self.mode)  # whatever the umask
        return descriptor

    def publish(self, dump: int, sidecar: int | None) -> int:
        """Copy the target's dump (as large as it is now, no more) and its sidecar
        into place; returns the dump's size."""
        if sidecar is None:
            self._remove(self.name + ".meta.json", self.sidecar)
        else:
            _copy(sidecar, self.sidecar, min(os.fstat(sidecar).st_size, _SIDECAR_LIMIT))
        size = os.fstat(dump).st_size
        partial = "." + self.name + "." + str(os.getpid()) + ".partial"
        descriptor = self._create(partial)
        try:
            _copy(dump, descriptor, size)
            os.fsync(descriptor)
            if self.final != self.name:  # replacing: the sidecar first, as the dumper does
                if sidecar is not None:
                        os.rename(self.name + ".meta.json", self.final + ".meta.json",
                              src_dir_fd=self.directory, dst_dir_fd=self.directory)
                os.unlink(self.name, dir_fd=self.directory)
            os.rename(partial, self.final, src_dir_fd=self.directory, dst_dir_fd=self.directory)
        except BaseException:
            os.unlink(partial, dir_fd=self.directory)
            raise
        finally:
            os.close(descriptor)
        return size

    def discard(self) -> None:
        """Remove the reservations (the dump failed)."""
        self._remove(self.name, self.reservation)
        self._remove(self.name + ".meta.json", self.sidecar)

    def _remove(self, name: str, reservation: int) -> None:
        # Only our own file: the directory's owner may have put another there.
        try:
            reserved = os.fstat(reservation)
            current = os.stat(name, dir_fd=self.directory, follow_symlinks=False)
            if (reserved.st_dev, reserved.st_ino) == (current.st_dev, current.st_ino):
                os.unlink(name, dir_fd=self.directory)
        except OSError:
            pass

    def close(self) -> None:
        os.close(self.sidecar)
        os.close(self.reservation)
        os.close(self.directory)


def _copy(source: int, destination: int, size: int) -> None:
    offset = 0
    while offset < size:
        try:
            copied = os.copy_file_range(source, destination, size - offset, offset)
        except OSError:
            copied = os.write(destination, os.pread(source, min(size - offset, 1 << 20), offset))
        if copied == 0:
            break  # the file shrank: copy what there is
        offset += copied
