"""Dump the heap of a running CPython process (`vesker dump --pid`).

Work in the target starts only at the interpreter's own safe point, on its
main thread between bytecodes: on 3.14 through its remote execution
interface (`sys.remote_exec`), on 3.9 to 3.13 through a pending call that
the `injection` module schedules with ptrace.  Either way the target is told
nothing more than to run a script file, and tells us nothing back.  So:

- every refusal we can foresee is checked first and explained, because the
  interfaces themselves either fail tersely or silently never run the script
  (an audit hook may veto it; a main thread blocked in C code never reaches a
  bytecode boundary: a pending call is then withdrawn before we give up);
- the script lives in a private directory inside the target's own view of
  the file system, made by the target's user (see `attach_files`), so the
  target can read it and vesker never acts with its own rights on a path the
  target's user could swap for a link;
- the script reports through a progress file of newline-terminated JSON
  records (works across mount and network namespaces, unlike a socket), and
  we wait for the first record with a timeout whose message names the likely
  causes;
- the script carries the dumper's source rather than importing this package,
  which the target may not have, and leaves the target as it found it: its
  collector settings, `sys.path`, `sys.modules` and no objects of ours.
"""

from __future__ import annotations

import errno
import marshal
import os
import re
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from vesker import attach_files, dumper, injection

# The target reads the script path into a buffer of this size, terminator included.
_SCRIPT_PATH_LIMIT = 512
_POLL_SECONDS = 0.05
_CAP_SYS_PTRACE = 19
_TRACER_PATIENCE = 1.0  # seconds another vesker may hold the target

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
            text = quote(value) if isinstance(value, str) else repr(value)
            fields.append(quote(key) + ":" + text)
        os.write(channel, ("{{" + ",".join(fields) + "}}\\n").encode("utf-8", "replace"))

    last = [0.0]

    def progress(count):
        now = time.monotonic()
        if now - last[0] >= 0.2:
            last[0] = now
            send({{"state": "progress", "objects": count}})

    def done(stats):
        send({{"state": "done", "path": stats.path, "objects": stats.objects,
               "bytes": stats.bytes_written, "seconds": stats.seconds,
               "dangling": stats.dangling}})

    def failed(error):
        import traceback
        text = "".join(traceback.format_exception(type(error), error, error.__traceback__))
        send({{"state": "failed", "error": text, "errno": getattr(error, "errno", None)}})

    try:
        os.write(channel, ('{{"state":"started","pid":%d}}\\n' % os.getpid()).encode())
        if "code" in request:
            import marshal
            code = marshal.loads(request["code"])  # compiled by vesker: no pause to compile
        else:
            code = compile(request["source"], "<vesker dumper>", "exec")  # another version
        exec(code, dumper)
        del code
        young = namespace.pop("_vesker_young")
        own = {{id(young), id(namespace), id(dumper), id(request), id(modules_before),
               id(namespace["_vesker_modules"])}}
        for module in list(sys.modules.values()):
            if getattr(module, "__name__", None) == "gc" and "gc" not in modules_before:
                # The module this script imported, with its dict and the functions bound
                # to it; not the values it shares with the program (None, gc.garbage).
                own.update((id(module), id(vars(module))))
                own.update(id(value) for value in vars(module).values()
                           if getattr(value, "__self__", None) is module)
        # Older than this script's first line: the function in which the interpreter runs
        # it, the constants of its code, and the lists in which the parser keeps its tokens
        # until the script has run (found by our own names among them).
        module_code = sys._getframe(1).f_code
        codes = [module_code]
        while codes:
            code = codes.pop()
            # Not the empty tuple, which every interpreter shares.
            own.update(id(part) for part in (code, code.co_consts, code.co_names) if part != ())
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
        options = dict(names=request["names"], meta=True, mode="attach", _roots=roots)
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
    dangling: int  # references to ids without a record of their own (0: complete)


# Older interpreters lack what the dumper and the pending call need; 3.14 and
# later come in through sys.remote_exec.
_OLDEST = (3, 9)
_REMOTE_EXEC = (3, 14)
_HELPER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "_pending.so")
_HELPER_NAME = "_pending.so"
_INITIAL_PID_NAMESPACE = "pid:[4026531836]"  # the kernel's fixed inode for it


@dataclass
class _Target:
    pid: int
    uid: int
    gid: int
    root: str  # the target's file system, as seen from here ("" when shared)
    temporary: str  # its temporary directory, in its own view
    same_pids: bool  # whether its process ids are ours
    version: tuple[int, int]
    located: injection.Target | None  # where to schedule a pending call (before 3.14)
    interpreter: str | None  # its executable, in its own view, when that is a python

    @property
    def user(self) -> attach_files.TargetUser:
        return attach_files.TargetUser(self.pid, self.uid, self.gid, self.root)


def _read(path: str, limit: int = 16 << 20) -> bytes:
    with open(path, "rb") as handle:
        return handle.read(limit)


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
    if target_uid not in (-1, os.geteuid()):
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


def _no_such_process(pid: int) -> str:
    message = f"no process with pid {pid}"
    try:
        nested = os.readlink("/proc/self/ns/pid") != _INITIAL_PID_NAMESPACE
    except OSError:
        nested = False
    if nested:
        message += (" in vesker's pid namespace (vesker runs in a container: a process of "
                    "another container or of the host is not visible from here)")
    return message


def _interpreter_files(pid: int) -> tuple[list[str], list[str]]:
    """The interpreter's executable and library mappings, and those deleted on disk."""
    found: list[str] = []
    deleted: list[str] = []
    pattern = re.compile(r"/(?:lib)?python\d+\.\d+t?(?:d)?(?:\.so[.\d]*|$)")
    for line in _read(f"/proc/{pid}/maps", 64 << 20).decode("utf-8", "replace").splitlines():
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


def _check_remote_exec(pid: int, version: tuple[int, int, bool], environment: dict[str, str]
                       ) -> None:
    """What sys.remote_exec needs of both sides (3.14 and later)."""
    major, minor, free_threaded = version
    here = "%d.%d" % sys.version_info[:2]
    there = f"{major}.{minor}"
    if (not hasattr(sys, "remote_exec") or sys.implementation.name != "cpython"
            or (major, minor) != sys.version_info[:2]):
        raise AttachError(
            f"process {pid} runs Python {there} and vesker runs {sys.implementation.name} "
            f"{here}; from 3.14 on, attaching needs the same version: run vesker with "
            f"python{there} (python{there} -m vesker dump --pid {pid})")
    if free_threaded != _local_free_threaded():
        build = {True: "free-threaded", False: "default (GIL)"}
        raise AttachError(
            f"process {pid} runs a {build[free_threaded]} build of Python and vesker a "
            f"{build[not free_threaded]} build; attaching needs the same kind of build")
    is_remote_debug_enabled: Callable[[], bool] = getattr(sys, "is_remote_debug_enabled")
    if not is_remote_debug_enabled():
        raise AttachError(
            "remote debugging is disabled in the interpreter running vesker "
            "(PYTHON_DISABLE_REMOTE_DEBUG is set, -X disable-remote-debug was given, or Python "
            "was built without it); unset it and run vesker again")
    disabled_by = _remote_debug_disabled_by(pid, environment)
    if disabled_by is not None:
        raise AttachError(
            f"process {pid} has remote debugging disabled: {disabled_by}; restart it without "
            "that to dump it from outside, or install a dump signal in the program "
            "(vesker.dumper.install)")


def _status_once_untraced(pid: int, status: dict[str, str]) -> dict[str, str]:
    """The status again once no tracer holds the process, or as it stands after a second.

    Another vesker dumping the same process holds one of its threads for milliseconds; a
    debugger holds on. Only a tracer that stays is a reason to refuse."""
    deadline = time.monotonic() + _TRACER_PATIENCE
    while status.get("TracerPid", "0") != "0" and time.monotonic() < deadline:
        time.sleep(0.01)
        try:
            status = _status(pid)
        except OSError:
            break  # the process ended; what follows says so
    return status


def preflight(pid: int) -> _Target:
    """Check everything that can be checked before attaching; AttachError otherwise."""
    if pid <= 0:
        raise AttachError(f"invalid process id {pid}")
    if pid == os.getpid():
        raise AttachError("vesker cannot attach to itself; use vesker.dumper.dump_heap")
    try:
        status = _status(pid)
    except FileNotFoundError:
        raise AttachError(_no_such_process(pid)) from None
    except OSError as error:
        raise AttachError(f"cannot read the status of process {pid}: {error.strerror}") from None
    if status.get("State", "").startswith(("Z", "X")):
        raise AttachError(f"process {pid} has exited")
    if status.get("State", "").startswith(("T", "t")):
        raise AttachError(f"process {pid} is stopped (by a signal or a debugger) and would never "
                          "run the dump request: continue it first (kill -CONT)")
    status = _status_once_untraced(pid, status)
    if status.get("TracerPid", "0") != "0":
        raise AttachError(f"process {pid} is being traced by process {status['TracerPid']} (a "
                          "debugger?); detach it first")
    uid = int(status.get("Uid", "0").split()[1])
    gid = int(status.get("Gid", "0").split()[1])
    try:
        with open(f"/proc/{pid}/mem", "rb"):
            pass
    except PermissionError:
        raise AttachError(_permission_message(pid, uid)) from None
    except FileNotFoundError:
        raise AttachError(_no_such_process(pid)) from None
    try:
        files, deleted = _interpreter_files(pid)
        environment = _environment(pid)
    except OSError as error:
        raise AttachError(f"cannot inspect process {pid}: {error.strerror}") from None
    if deleted:
        raise AttachError(
            f"the Python interpreter of process {pid} was deleted or replaced on disk "
            f"({deleted[0]}), for example by a package upgrade; the interpreter cannot find its "
            "own structures then; restart the process to dump it")
    version = _target_version(files)
    if version is None:
        raise AttachError(
            f"process {pid} does not look like a CPython process (no python executable or "
            f"libpython among its mappings; its name is {status.get('Name', '?')!r})")
    major, minor, free_threaded = version
    if (major, minor) < _OLDEST:
        raise AttachError(f"process {pid} runs Python {major}.{minor}; vesker attaches to "
                          "CPython 3.9 and later")
    root = f"/proc/{pid}/root"
    try:
        shared = os.path.samestat(os.stat(root), os.stat("/"))
    except OSError as error:
        raise AttachError(
            f"cannot see the file system of process {pid}: {error.strerror}") from None
    root = "" if shared else root
    located = None
    if (major, minor) >= _REMOTE_EXEC:
        _check_remote_exec(pid, version, environment)
    elif free_threaded:
        raise AttachError(f"process {pid} runs a free-threaded build of Python {major}.{minor}; "
                          "vesker attaches to free-threaded builds from 3.14 on")
    else:
        try:
            located = injection.locate(pid, root)
        except injection.InjectionError as error:
            raise AttachError(str(error)) from None
        if not os.path.exists(_HELPER):
            raise AttachError(f"vesker's helper library {_HELPER} is missing: reinstall vesker")
    temporary = environment.get("TMPDIR", "/tmp")
    if not temporary.startswith("/"):
        temporary = "/tmp"
    try:
        same_pids = os.readlink(f"/proc/{pid}/ns/pid") == os.readlink("/proc/self/ns/pid")
        executable: str | None = os.readlink(f"/proc/{pid}/exe")
    except OSError:
        same_pids, executable = True, None
    if executable is not None and not re.fullmatch(
            rf"python{major}\.{minor}", os.path.basename(executable)):
        executable = None  # a program that embeds the interpreter
    return _Target(pid, uid, gid, root, temporary, same_pids, (major, minor), located, executable)


def _payload(request: dict[str, Any]) -> str:
    return _PAYLOAD_TEMPLATE.format(request=repr(request))


def _dumper_source() -> str:
    with open(dumper.__file__, encoding="utf-8") as handle:
        return handle.read()


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


def _timeout_message(pid: int, timeout: float, withdrawn: bool) -> str:
    if withdrawn:
        return (
            f"process {pid} did not run the dump request within {timeout:g}s"
            f"{_main_thread_hint(pid)}: its main thread is blocked in C code or a system call "
            "(a long sleep, a lock, a join, a C extension) and runs no Python code. The request "
            "was withdrawn and will not run later; the process was left as it was. A signal "
            "the program handles in Python wakes a blocked main thread; or try a longer "
            "--timeout")
    return (
        f"process {pid} did not run the dump request within {timeout:g}s{_main_thread_hint(pid)}. "
        "Likely causes: its main thread is blocked in C code or a system call (a long sleep, "
        "a lock, a join, a C extension) and runs no Python code; an audit hook vetoed the "
        "remote script (event cpython.remote_debugger_script); the script was not readable by "
        "the target; or it runs another Python version. A signal the program handles in Python "
        "wakes a blocked main thread; or try a longer --timeout. The request stays pending in "
        "the process; if it ever runs it, it prints an error about the removed script")


def _remote_exec_message(pid: int, error: Exception) -> str:
    # The preflight has named the causes it can see (the environment, -X options); what is left,
    # such as a target built without remote debugging, CPython's own words say best.
    if isinstance(error, PermissionError):
        return _permission_message(pid, -1)
    return f"attaching to process {pid} failed: {error}"


def default_output(pid: int) -> str:
    return f"heap-{pid}.jsonl"


def dump_pid(
    pid: int,
    output: str | None = None,
    *,
    fork: bool = True,
    names: bool = True,
    timeout: float = 10.0,
    mode: int = 0o600,
    replace: bool = False,
    report: Callable[[int], object] | None = None,
) -> AttachOutcome:
    """Dump the heap of process `pid` to `output` (default: a distinct name
    in the working directory, see `dumper.distinct_path`) and the identity
    sidecar beside it, both created with `mode` and never over another file
    (unless `replace` is given for `output`).  `report` receives the count of
    objects written."""
    target = preflight(pid)
    try:
        files = attach_files.Output(
            output, lambda attempt: dumper.distinct_path(default_output(pid), attempt=attempt),
            mode, replace)
    except attach_files.FileError as error:
        raise AttachError(str(error)) from None
    try:
        return _dump(target, files, fork, names, timeout, report)
    except BaseException:
        files.discard()
        raise
    finally:
        files.close()


def _dump(target: _Target, files: attach_files.Output, fork: bool, names: bool, timeout: float,
          report: Callable[[int], object] | None) -> AttachOutcome:
    pid = target.pid
    dump_name = "heap.jsonl.gz" if files.final.endswith(".gz") else "heap.jsonl"
    inside = os.path.join(target.temporary, "vesker-attach-" + os.urandom(6).hex())
    script_inside = os.path.join(inside, "request.py")
    if len(os.fsencode(script_inside)) >= _SCRIPT_PATH_LIMIT:
        raise AttachError(f"the script path {script_inside!r} is too long for the target "
                          f"(at most {_SCRIPT_PATH_LIMIT - 1} bytes); set TMPDIR shorter")
    request: dict[str, Any] = {
        "progress": os.path.join(inside, "progress"),
        "output": os.path.join(inside, dump_name),
        "fork": fork,
        "names": names,
    }
    # Compiled before the target is asked: compiling in it would pause it for ~100 ms.
    if target.version == sys.version_info[:2]:
        request["code"] = marshal.dumps(compile(_dumper_source(), "<vesker dumper>", "exec"))
    else:
        request["source"] = _dumper_source()
        if target.interpreter is not None:
            try:
                request["code"] = attach_files.compile_as_target(
                    target.user, target.interpreter, request["source"].encode("utf-8"),
                    "<vesker dumper>")
                del request["source"]
            except attach_files.FileError:
                pass  # the target compiles it, at the cost of a longer pause
    workspace = {"request.py": _payload(request).encode("utf-8"), "progress": b""}
    if target.located is not None:
        with open(_HELPER, "rb") as handle:
            workspace[_HELPER_NAME] = handle.read()
    try:
        channel_descriptor = attach_files.make_workspace(
            target.user, inside, workspace, "progress", target.located is not None)
    except attach_files.FileError as error:
        raise AttachError(f"cannot prepare the dump request in the temporary directory of "
                          f"process {pid} ({target.temporary}): {error}") from None
    channel = attach_files.Channel(channel_descriptor)
    try:
        return _run(target, inside, script_inside, dump_name, channel, files, timeout, report)
    except attach_files.FileError as error:
        raise AttachError(f"dumping process {pid}: {error}") from None
    finally:
        channel.close()
        attach_files.remove_workspace(target.user, inside)


def _start(target: _Target, inside: str, script_inside: str) -> injection.Request | None:
    """Ask the target to run the script; the pending call it queued, if any."""
    if target.located is None:
        remote_exec: Callable[[int, str], None] = getattr(sys, "remote_exec")
        try:
            remote_exec(target.pid, script_inside)
        except (OSError, RuntimeError, ValueError) as error:
            raise AttachError(_remote_exec_message(target.pid, error)) from None
        return None
    from vesker import elf_symbols

    try:
        bootstrap = elf_symbols.code_between(_HELPER, "vesker_bootstrap", "vesker_bootstrap_end")
        return injection.schedule(target.located, os.path.join(inside, _HELPER_NAME),
                                  script_inside, bootstrap)
    except elf_symbols.SymbolError as error:
        raise AttachError(f"vesker's helper library is damaged: {error}") from None
    except injection.InjectionError as error:
        raise AttachError(str(error)) from None
    except PermissionError:
        raise AttachError(_permission_message(target.pid, target.uid)) from None


def _run(
    target: _Target,
    inside: str,
    script_inside: str,
    dump_name: str,
    channel: attach_files.Channel,
    files: attach_files.Output,
    timeout: float,
    report: Callable[[int], object] | None,
) -> AttachOutcome:
    pid = target.pid
    pending = _start(target, inside, script_inside)
    deadline = time.monotonic() + timeout
    started = False
    gone = False
    ran_at: float | None = None
    child: int | None = None
    while True:
        try:
            for record in channel.records():
                state = record.get("state")
                if state == "started":
                    started = True
                elif state == "forked":
                    child = int(record["child"])
                elif state == "progress" and report is not None:
                    report(int(record["objects"]))
                elif state == "failed":
                    if record.get("errno") in (errno.ENOSPC, errno.EDQUOT):
                        # Nothing of the dump is kept: a cut dump would read as a complete heap.
                        raise AttachError(
                            f"the disk of {target.temporary!r}, where process {pid} writes its dump, is "
                            "full; no dump was written (set TMPDIR of the process to a directory with room)")
                    raise AttachError(f"the dump failed inside process {pid}:\n"
                                      + _printable(str(record.get("error", ""))).rstrip())
                elif state == "done":
                    return _collect(target, inside, dump_name, files, int(record["objects"]),
                                    float(record["seconds"]), child, int(record["dangling"]))
        except (KeyError, TypeError, ValueError):
            raise AttachError(f"the progress file of process {pid} holds a record vesker's "
                              "script did not write") from None
        if not started:
            if pending is not None and ran_at is None and injection.state(pending) is None:
                ran_at = time.monotonic()  # the bootstrap ran and unmapped itself
            if ran_at is not None and time.monotonic() > ran_at + 2.0:
                raise AttachError(f"process {pid} ran vesker's helper but the dump request did "
                                  "not start: the helper library or the script could not be "
                                  "loaded there")
            if time.monotonic() > deadline:
                if not _is_alive(pid):
                    raise AttachError(f"process {pid} exited before it ran the dump request")
                if pending is None:
                    raise AttachError(_timeout_message(pid, timeout, False))
                try:
                    withdrawn = injection.cancel(pending)
                except (OSError, injection.InjectionError) as error:
                    raise AttachError(
                        f"process {pid} did not run the dump request within {timeout:g}s, and "
                        f"vesker could not withdraw it ({error}): it may still run when the "
                        "main thread comes back to Python") from None
                if withdrawn:
                    raise AttachError(_timeout_message(pid, timeout, True))
                deadline = float("inf")  # it has just started: wait for its records
        else:
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


def _printable(text: str) -> str:
    """`text` without the control characters a terminal would act on."""
    return "".join(c if c == "\n" or c.isprintable() else "?" for c in text)


def _collect(target: _Target, inside: str, dump_name: str, files: attach_files.Output,
             objects: int, seconds: float, child: int | None, dangling: int) -> AttachOutcome:
    dump, sidecar = attach_files.open_results(target.user, inside,
                                              [dump_name, dump_name + ".meta.json"])
    if dump is None:
        if sidecar is not None:
            os.close(sidecar)
        raise AttachError(f"process {target.pid} reported a complete dump, but its file is missing")
    try:
        size = files.publish(dump, sidecar)
    finally:
        os.close(dump)
        if sidecar is not None:
            os.close(sidecar)
    return AttachOutcome(files.path, objects, size, seconds, child, dangling)
