"""Dump the heap of a running CPython process (`vesker dump --pid`).

The interpreter's remote execution interface (`sys.remote_exec`, CPython
3.14) makes the target's main thread run a script file at its next bytecode
boundary, and tells the caller nothing more.  So:

- every refusal we can foresee is checked first and explained, because the
  interface itself either fails with a terse message or silently never runs
  the script (an audit hook may veto it; a main thread blocked in C code
  never reaches a bytecode boundary);
- the script lives in a private directory inside the target's own view of
  the file system (/proc/PID/root/...), owned by the target's user, so the
  target can read it and nobody else can change it;
- the script reports through a progress file of newline-terminated JSON
  records (works across mount and network namespaces, unlike a socket), and
  we wait for the first record with a timeout whose message names the likely
  causes;
- the script carries the dumper's source rather than importing this package,
  which the target may not have, and leaves the target as it found it: its
  collector settings, `sys.path`, `sys.modules` and no objects of ours.
"""

from __future__ import annotations

import contextlib
import errno
import json
import marshal
import os
import re
import shutil
import stat
import sys
import tempfile
import time
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from vesker import dumper

# The target reads the script path into a buffer of this size, terminator included.
_SCRIPT_PATH_LIMIT = 512
_POLL_SECONDS = 0.05
_CAP_SYS_PTRACE = 19

_PAYLOAD_TEMPLATE = '''\
# vesker: a heap dump request; runs once in the process that vesker attached to.
import sys as _sys
_vesker_modules = list(_sys.modules.values())
_vesker_module_names = set(_sys.modules)
import gc as _gc
_vesker_collecting = _gc.isenabled()
_gc.disable()  # from here on, every object made is young: ours are told apart by that
_vesker_young = _gc.get_objects(0)
__name__ = "vesker._attached"


def _vesker_main(request, namespace):
    import os
    import sys
    import time

    modules_before = _vesker_module_names
    importer_cache_before = set(sys.path_importer_cache)
    channel = os.open(request["progress"], os.O_WRONLY | os.O_APPEND)
    dumper = {{"__name__": "vesker._attached.dumper", "__builtins__": namespace["__builtins__"]}}
    roots = None

    def quote(text):
        return '"' + "".join(
            c if " " <= c and c not in '"\\\\' else "\\\\u%04x" % ord(c) for c in text) + '"'

    def send(record):
        fields = []
        for key, value in record.items():
            fields.append(quote(key) + ":" + (quote(value) if isinstance(value, str) else repr(value)))
        os.write(channel, ("{{" + ",".join(fields) + "}}\\n").encode("utf-8", "replace"))

    last = [0.0]

    def progress(count):
        now = time.monotonic()
        if now - last[0] >= 0.2:
            last[0] = now
            send({{"state": "progress", "objects": count}})

    def done(stats):
        send({{"state": "done", "path": stats.path, "objects": stats.objects,
               "bytes": stats.bytes_written, "seconds": stats.seconds}})

    def failed(error):
        import traceback
        text = "".join(traceback.format_exception(type(error), error, error.__traceback__))
        send({{"state": "failed", "error": text, "errno": getattr(error, "errno", None)}})

    try:
        os.write(channel, ('{{"state":"started","pid":%d}}\\n' % os.getpid()).encode())
        import marshal
        exec(marshal.loads(request["code"]), dumper)  # compiled by vesker: no pause to compile
        young = namespace.pop("_vesker_young")
        own = {{id(young), id(namespace), id(dumper), id(request), id(modules_before),
               id(namespace["_vesker_modules"])}}
        for module in list(sys.modules.values()):
            if getattr(module, "__name__", None) == "gc" and "gc" not in modules_before:
                own.add(id(module))
                own.update(id(value) for value in vars(module).values())
                own.add(id(vars(module)))
        # Older than this script's first line: the function in which the interpreter runs
        # it, the constants of its code, and the lists in which the parser keeps its tokens
        # until the script has run (found by our own names among them).
        module_code = sys._getframe(1).f_code
        codes = [module_code]
        while codes:
            code = codes.pop()
            own.update((id(code), id(code.co_consts), id(code.co_names)))
            codes.extend(c for c in code.co_consts if type(c) is type(module_code))
        markers = {{id(name) for name in module_code.co_names if name.startswith("_vesker")}}
        function_type = type(_vesker_main)
        for generation in (0, 1):
            for obj in _gc.get_objects(generation):
                kind = type(obj)
                if kind is list and any(id(item) in markers for item in obj):
                    own.add(id(obj))
                elif kind is function_type and obj.__globals__ is namespace:
                    own.add(id(obj))
        roots = (namespace.pop("_vesker_modules"), {{id(obj) for obj in young}}, own)
        options = dict(names=request["names"], meta=True, _roots=roots)
        if request["fork"]:
            child = dumper["fork_dump"](request["output"], distinct=False, progress=progress,
                                        done=done, failed=failed, **options)
            send({{"state": "forked", "child": child}})
        else:
            done(dumper["dump_heap"](request["output"], progress=progress, **options))
    except BaseException as error:
        failed(error)
    finally:
        roots = None
        for name in [name for name in sys.modules if name not in modules_before]:
            module = sys.modules.pop(name, None)
            parent, _, child_name = name.rpartition(".")
            package = sys.modules.get(parent) if parent in modules_before else None
            if package is not None and vars(package).get(child_name) is module:
                del vars(package)[child_name]
        for key in [key for key in sys.path_importer_cache if key not in importer_cache_before]:
            del sys.path_importer_cache[key]
        os.close(channel)
        dumper.clear()
        if namespace.get("_vesker_collecting"):
            _gc.enable()


try:
    _vesker_main({request}, globals())
finally:
    globals().clear()
'''


class AttachError(Exception):
    """Attaching was refused or failed; the message says why and what to do."""


@dataclass
class AttachOutcome:
    path: str
    objects: int
    bytes_written: int
    seconds: float
    child: int | None


@dataclass
class _Target:
    pid: int
    uid: int
    gid: int
    root: str  # the target's file system, as seen from here ("" when shared)
    temporary: str  # its temporary directory, in its own view
    same_pids: bool  # whether its process ids are ours


def _read(path: str) -> bytes:
    with open(path, "rb") as handle:
        return handle.read()


def _status(pid: int) -> dict[str, str]:
    fields: dict[str, str] = {}
    for line in _read(f"/proc/{pid}/status").decode("utf-8", "replace").splitlines():
        key, _, value = line.partition(":")
        fields[key] = value.strip()
    return fields


def _has_ptrace_capability() -> bool:
    try:
        effective = int(_status(os.getpid()).get("CapEff", "0"), 16)
    except (OSError, ValueError):
        return False
    return bool(effective & (1 << _CAP_SYS_PTRACE))


def _ptrace_scope() -> str | None:
    try:
        return _read("/proc/sys/kernel/yama/ptrace_scope").decode().strip()
    except OSError:
        return None


def _permission_message(pid: int, target_uid: int) -> str:
    reasons = [f"not allowed to read the memory of process {pid}"]
    if target_uid != os.geteuid():
        reasons.append(f"it runs as uid {target_uid} and vesker as uid {os.geteuid()}: "
                       "run vesker as that user or as root")
    scope = _ptrace_scope()
    if scope in ("1", "2", "3"):
        reasons.append(f"kernel.yama.ptrace_scope is {scope}: "
                       + ("only a parent may trace its children; run vesker as root or "
                          "grant it CAP_SYS_PTRACE" if scope == "1" else
                          "tracing needs CAP_SYS_PTRACE (run as root)" if scope == "2" else
                          "tracing is disabled on this system"))
    if not _has_ptrace_capability():
        reasons.append("in a container, start it with --cap-add=SYS_PTRACE")
    return "; ".join(reasons)


def _interpreter_files(pid: int) -> tuple[list[str], list[str]]:
    """The interpreter's executable and library mappings, and those deleted on disk."""
    found: list[str] = []
    deleted: list[str] = []
    pattern = re.compile(r"/(?:lib)?python\d+\.\d+t?(?:d)?(?:\.so[.\d]*|$)")
    for line in _read(f"/proc/{pid}/maps").decode("utf-8", "replace").splitlines():
        parts = line.split(None, 5)
        if len(parts) < 6:
            continue
        path = parts[5]
        is_deleted = path.endswith(" (deleted)")
        if is_deleted:
            path = path[: -len(" (deleted)")]
        if pattern.search(path) and path not in found:
            found.append(path)
            if is_deleted:
                deleted.append(path)
    return found, deleted


def _target_version(files: list[str]) -> tuple[int, int, bool] | None:
    for path in files:
        match = re.search(r"python(\d+)\.(\d+)(t?)", os.path.basename(path))
        if match:
            return int(match.group(1)), int(match.group(2)), match.group(3) == "t"
    return None


def _local_free_threaded() -> bool:
    import sysconfig

    return bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def _environment(pid: int) -> dict[str, str]:
    environment: dict[str, str] = {}
    for entry in _read(f"/proc/{pid}/environ").split(b"\0"):
        key, sep, value = entry.partition(b"=")
        if sep:
            environment[key.decode("utf-8", "replace")] = value.decode("utf-8", "replace")
    return environment


def _remote_debug_disabled_by(pid: int, environment: dict[str, str]) -> str | None:
    if "PYTHON_DISABLE_REMOTE_DEBUG" in environment:
        return "its environment sets PYTHON_DISABLE_REMOTE_DEBUG"
    arguments = _read(f"/proc/{pid}/cmdline").split(b"\0")
    for index, argument in enumerate(arguments):
        if argument == b"-Xdisable-remote-debug" or (
            argument == b"-X" and index + 1 < len(arguments)
            and arguments[index + 1] == b"disable-remote-debug"
        ):
            return "it was started with -X disable-remote-debug"
    return None


def preflight(pid: int) -> _Target:
    """Check everything that can be checked before attaching; AttachError otherwise."""
    here = "%d.%d" % sys.version_info[:2]
    if not hasattr(sys, "remote_exec") or sys.implementation.name != "cpython":
        raise AttachError(
            f"attaching to a running process needs CPython 3.14 or later, and vesker runs on "
            f"{sys.implementation.name} {here}; run vesker with the target's interpreter, or "
            "for older interpreters add 'vesker.dumper.install(signal.SIGUSR2)' to the program "
            "and send it SIGUSR2"
        )
    if pid <= 0:
        raise AttachError(f"invalid process id {pid}")
    if pid == os.getpid():
        raise AttachError("vesker cannot attach to itself; use vesker.dumper.dump_heap")
    try:
        status = _status(pid)
    except FileNotFoundError:
        raise AttachError(f"no process with pid {pid}") from None
    except OSError as error:
        raise AttachError(f"cannot read the status of process {pid}: {error.strerror}") from None
    if status.get("State", "").startswith(("Z", "X")):
        raise AttachError(f"process {pid} has exited")
    uid = int(status.get("Uid", "0").split()[1])
    gid = int(status.get("Gid", "0").split()[1])
    is_remote_debug_enabled: Callable[[], bool] = getattr(sys, "is_remote_debug_enabled")
    if not is_remote_debug_enabled():
        raise AttachError(
            "remote debugging is disabled in the interpreter running vesker "
            "(PYTHON_DISABLE_REMOTE_DEBUG is set, -X disable-remote-debug was given, or Python "
            "was built without it); unset it and run vesker again"
        )
    try:
        with open(f"/proc/{pid}/mem", "rb"):
            pass
    except PermissionError:
        raise AttachError(_permission_message(pid, uid)) from None
    except FileNotFoundError:
        raise AttachError(f"no process with pid {pid}") from None
    try:
        files, deleted = _interpreter_files(pid)
        environment = _environment(pid)
        disabled_by = _remote_debug_disabled_by(pid, environment)
    except OSError as error:
        raise AttachError(f"cannot inspect process {pid}: {error.strerror}") from None
    if deleted:
        raise AttachError(
            f"the Python interpreter of process {pid} was deleted or replaced on disk "
            f"({deleted[0]}), for example by a package upgrade; the interpreter cannot find its "
            "own structures then; restart the process to dump it"
        )
    version = _target_version(files)
    if version is None:
        raise AttachError(
            f"process {pid} does not look like a CPython process (no python executable or "
            f"libpython among its mappings; its name is {status.get('Name', '?')!r})"
        )
    major, minor, free_threaded = version
    if (major, minor) != sys.version_info[:2]:
        there = f"{major}.{minor}"
        advice = (f"run vesker with python{there} (python{there} -m vesker dump --pid {pid})"
                  if (major, minor) >= (3, 14) else
                  "before 3.14 a process can only be dumped from inside: add "
                  "'vesker.dumper.install(signal.SIGUSR2)' to the program and send it SIGUSR2")
        raise AttachError(
            f"process {pid} runs Python {there} and vesker runs Python {here}; attaching needs "
            f"the same version: {advice}"
        )
    if free_threaded != _local_free_threaded():
        build = {True: "free-threaded", False: "default (GIL)"}
        raise AttachError(
            f"process {pid} runs a {build[free_threaded]} build of Python and vesker a "
            f"{build[not free_threaded]} build; attaching needs the same kind of build"
        )
    if disabled_by is not None:
        raise AttachError(
            f"process {pid} has remote debugging disabled: {disabled_by}; restart it without "
            "that to dump it from outside, or install a dump signal in the program "
            "(vesker.dumper.install)"
        )
    root = f"/proc/{pid}/root"
    try:
        shared = os.path.samestat(os.stat(root), os.stat("/"))
    except OSError as error:
        raise AttachError(f"cannot see the file system of process {pid}: {error.strerror}") from None
    temporary = environment.get("TMPDIR", "/tmp")
    if not temporary.startswith("/"):
        temporary = "/tmp"
    try:
        same_pids = os.readlink(f"/proc/{pid}/ns/pid") == os.readlink("/proc/self/ns/pid")
    except OSError:
        same_pids = True
    return _Target(pid, uid, gid, "" if shared else root, temporary, same_pids)


def _payload(request: dict[str, Any]) -> str:
    return _PAYLOAD_TEMPLATE.format(request=repr(request))


def _dumper_source() -> str:
    with open(dumper.__file__, encoding="utf-8") as handle:
        return handle.read()


class _Progress:
    """Reads the newline-terminated records the target appends."""

    def __init__(self, path: str) -> None:
        self.path = path
        self.offset = 0
        self.pending = b""

    def records(self) -> list[dict[str, Any]]:
        with open(self.path, "rb") as handle:
            handle.seek(self.offset)
            data = handle.read()
        self.offset += len(data)
        self.pending += data
        *lines, self.pending = self.pending.split(b"\n")
        result = []
        for line in lines:
            try:
                record = json.loads(line)
            except ValueError:
                continue
            if isinstance(record, dict):
                result.append(record)
        return result


def _is_alive(pid: int) -> bool:
    try:
        state = _status(pid).get("State", "")
    except OSError:
        return False
    return not state.startswith(("Z", "X"))


def _main_thread_hint(pid: int) -> str:
    try:
        wchan = _read(f"/proc/{pid}/task/{pid}/wchan").decode().strip()
        state = _status(pid).get("State", "")
    except OSError:
        return ""
    if state.startswith("S") and wchan and wchan != "0":
        return f" (its main thread is waiting in the kernel, in {wchan})"
    return ""


def _timeout_message(pid: int, timeout: float) -> str:
    return (
        f"process {pid} did not run the dump request within {timeout:g}s{_main_thread_hint(pid)}. "
        "Likely causes: its main thread is blocked in C code or a system call (a long sleep, "
        "a lock, a join, a C extension) and runs no Python code; an audit hook vetoed the "
        "remote script (event cpython.remote_debugger_script); the script was not readable by "
        "the target; or it runs another Python version. A signal the program handles in Python "
        "wakes a blocked main thread; or try a longer --timeout. The request stays pending in "
        "the process; if it ever runs it, it prints an error about the removed script"
    )


def _remote_exec_message(pid: int, error: Exception) -> str:
    text = str(error)
    if "not enabled in the remote process" in text:
        return (f"process {pid} has remote debugging disabled (PYTHON_DISABLE_REMOTE_DEBUG, "
                "-X disable-remote-debug, or a build without it)")
    if isinstance(error, PermissionError):
        return _permission_message(pid, -1)
    return f"attaching to process {pid} failed: {text}"


def _move_out(source: str, destination: str) -> None:
    """Move a file the target wrote to where the user wants it, never following
    a link the target may have planted."""
    info = os.lstat(source)
    if not stat.S_ISREG(info.st_mode):
        raise AttachError(f"the dump {source!r} is not a regular file")
    try:
        os.replace(source, destination)
        os.chown(destination, os.geteuid(), os.getegid())
        return
    except OSError:
        pass
    partial = destination + ".partial"
    fd = os.open(source, os.O_RDONLY | os.O_NOFOLLOW)
    try:
        with os.fdopen(fd, "rb") as reader, open(partial, "wb") as writer:
            shutil.copyfileobj(reader, writer, 1 << 20)
    except OSError as error:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(partial)
        if error.errno in (errno.ENOSPC, errno.EDQUOT):
            raise AttachError(f"the disk of {os.path.dirname(destination)!r} is full: the dump was not "
                              f"copied to {destination!r}, and nothing of it is kept") from None
        raise
    os.replace(partial, destination)
    os.unlink(source)


def default_output(pid: int) -> str:
    return f"heap-{pid}.jsonl"


def dump_pid(
    pid: int,
    output: str | None = None,
    *,
    fork: bool = True,
    names: bool = True,
    timeout: float = 10.0,
    report: Callable[[int], object] | None = None,
) -> AttachOutcome:
    """Dump the heap of process `pid` to `output` (default: a distinct name
    in the working directory, see `dumper.distinct_path`) and the identity
    sidecar beside it.  `report` receives the count of objects written."""
    target = preflight(pid)
    if output is None:
        final = dumper.distinct_path(default_output(pid))
        attempt = 1
        while os.path.exists(final):
            attempt += 1
            final = dumper.distinct_path(default_output(pid), attempt=attempt)
    else:
        final = os.path.abspath(output)
    if not os.path.isdir(os.path.dirname(os.path.abspath(final))):
        raise AttachError(f"output directory {os.path.dirname(final)!r} does not exist")
    compress = final.endswith(".gz")

    try:
        directory = tempfile.mkdtemp(prefix="vesker-attach-", dir=target.root + target.temporary)
    except OSError as error:
        raise AttachError(f"cannot create a directory in the temporary directory of process "
                          f"{pid} ({target.temporary}): {error.strerror}") from None
    inside = directory[len(target.root):]  # the same directory in the target's view
    script = os.path.join(directory, "request.py")
    progress_path = os.path.join(directory, "progress")
    dump_name = "heap.jsonl.gz" if compress else "heap.jsonl"
    try:
        script_inside = os.path.join(inside, "request.py")
        if len(os.fsencode(script_inside)) >= _SCRIPT_PATH_LIMIT:
            raise AttachError(f"the script path {script_inside!r} is too long for the target "
                              f"(at most {_SCRIPT_PATH_LIMIT - 1} bytes); set TMPDIR shorter")
        request = {
            "progress": os.path.join(inside, "progress"),
            "output": os.path.join(inside, dump_name),
            "fork": fork,
            "names": names,
            "code": marshal.dumps(compile(_dumper_source(), "<vesker dumper>", "exec")),
        }
        with open(progress_path, "wb"):
            pass
        flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW
        fd = os.open(script, flags, 0o400)
        with os.fdopen(fd, "w", encoding="utf-8") as handle:
            handle.write(_payload(request))
        if (target.uid, target.gid) != (os.geteuid(), os.getegid()):
            # The target writes its dump here; nobody but its user (and root) may touch it.
            for path in (directory, script, progress_path):
                os.chown(path, target.uid, target.gid)
        os.chmod(progress_path, 0o600)
        return _run(target, script, script_inside, directory, dump_name, progress_path, final,
                    fork, timeout, report)
    finally:
        shutil.rmtree(directory, ignore_errors=True)


def _run(
    target: _Target,
    script: str,
    script_inside: str,
    directory: str,
    dump_name: str,
    progress_path: str,
    final: str,
    fork: bool,
    timeout: float,
    report: Callable[[int], object] | None,
) -> AttachOutcome:
    pid = target.pid
    remote_exec: Callable[[int, str], None] = getattr(sys, "remote_exec")
    try:
        remote_exec(pid, script_inside)
    except (OSError, RuntimeError, ValueError) as error:
        raise AttachError(_remote_exec_message(pid, error)) from None
    channel = _Progress(progress_path)
    deadline = time.monotonic() + timeout
    started = False
    gone = False
    child: int | None = None
    while True:
        for record in channel.records():
            state = record.get("state")
            if state == "started":
                started = True
                os.unlink(script)  # read and running: no copy is left to tamper with
            elif state == "forked":
                child = int(record["child"])
            elif state == "progress" and report is not None:
                report(int(record["objects"]))
            elif state == "failed":
                if record.get("errno") in (errno.ENOSPC, errno.EDQUOT):
                    # Nothing of the dump is kept: a cut dump would read as a complete heap.
                    raise AttachError(f"the disk of {target.temporary!r}, where process {pid} writes its dump, "
                                      "is full; no dump was written (set TMPDIR of the process to a "
                                      "directory with room)")
                raise AttachError(f"the dump failed inside process {pid}:\n"
                                  + str(record.get("error", "")).rstrip())
            elif state == "done":
                _move_out(os.path.join(directory, dump_name), final)
                meta = os.path.join(directory, dump_name + ".meta.json")
                if os.path.lexists(meta):
                    _move_out(meta, final + ".meta.json")
                return AttachOutcome(final, int(record["objects"]), os.path.getsize(final),
                                     float(record["seconds"]), child)
        if not started and time.monotonic() > deadline:
            if not _is_alive(pid):
                raise AttachError(f"process {pid} exited before it ran the dump request")
            raise AttachError(_timeout_message(pid, timeout))
        if started:
            # In another pid namespace the child's number means nothing here.
            dumping = child if child is not None and target.same_pids else pid
            if _is_alive(dumping) or (child is not None and not target.same_pids):
                gone = False
            elif gone:
                who = f"the dump process {child} (forked from {pid})" if child else f"process {pid}"
                raise AttachError(f"{who} ended before the dump was complete (killed, or out "
                                  "of memory?)")
            else:
                gone = True  # read its last records once more before concluding
        time.sleep(_POLL_SECONDS)
