"""Schedule a pending call in a running CPython 3.9-3.13 process, with ptrace.

Nothing here runs in the target at an arbitrary instruction beyond three
short, lock-free calls: `mmap` and `mprotect` (plain system call wrappers)
and `Py_AddPendingCall` (which only takes the interpreter's pending-call
lock).  They are made on one thread, stopped either while it waits in the
kernel or while it runs the bytecode loop, where it cannot hold that lock
or one of the C library's; every other thread keeps running.  The call
scheduled is the bootstrap of the `_pending` helper (see
src/pending/pending.c): the interpreter runs it on its main thread at its
next safe point, and only there is the helper library loaded.

`cancel` makes a request that has not started yet do nothing when it runs,
so a target whose main thread never comes back to the interpreter is left
as it was.
"""

from __future__ import annotations

import ctypes
import errno
import os
import signal
import struct
import time
from dataclasses import dataclass

from vesker import elf_symbols

_PTRACE_GETREGS = 12
_PTRACE_SETREGS = 13
_PTRACE_CONT = 7
_PTRACE_DETACH = 17
_PTRACE_SEIZE = 0x4206
_PTRACE_INTERRUPT = 0x4207
_PTRACE_EVENT_STOP = 128
_WALL = 0x40000000
_PAGE = 4096

_PYTHON_FUNCTIONS = ("PyDict_New", "PyEval_GetBuiltins", "PyDict_SetItemString",
                     "PyRun_StringFlags", "Py_DecRef", "PyErr_Fetch", "PyErr_Restore")
_LOADER = {"dlopen": "__libc_dlopen_mode", "dlsym": "__libc_dlsym", "dlclose": "__libc_dlclose"}

# System calls a thread may be stopped in without holding a lock that the
# calls we make need.  The memory calls (mmap, munmap, brk, madvise) are left
# out: the C library's allocator makes them with its arena lock held.
_FUTEX = 202
_FUTEX_WAIT_OPERATIONS = {0, 9}  # FUTEX_WAIT, FUTEX_WAIT_BITSET
_SAFE_SYSCALLS = {
    0, 7, 17, 23, 34, 35, 43, 45, 47, 61, 128, 230, 232, 247, 270, 271, 281, 288, 299, 441,
}  # read poll pread select pause nanosleep accept recvfrom recvmsg wait4 sigtimedwait
#    clock_nanosleep epoll_wait waitid pselect6 ppoll epoll_pwait accept4 recvmmsg epoll_pwait2

# The layout of `struct vesker_boot` in src/pending/pending.c.
_STATE_OFFSET = 4
_SIGNATURE = slice(8, 56)  # the loader's and munmap's addresses, the mapping and its size
_REQUEST_OFFSET = 64
_SCRIPT_OFFSET = _REQUEST_OFFSET + 8 * len(_PYTHON_FUNCTIONS)
_LIBRARY_OFFSET = 632
_ENTRY_OFFSET = 1656
_SCRIPT_LIMIT = 512
_LIBRARY_LIMIT = 1024


class InjectionError(Exception):
    """The pending call could not be scheduled; the target is as it was."""


class _ThreadEnded(InjectionError):
    """The thread exited while vesker held it."""


class _Registers(ctypes.Structure):
    _fields_ = [(name, ctypes.c_ulonglong) for name in (
        "r15", "r14", "r13", "r12", "rbp", "rbx", "r11", "r10", "r9", "r8", "rax", "rcx",
        "rdx", "rsi", "rdi", "orig_rax", "rip", "cs", "eflags", "rsp", "ss", "fs_base",
        "gs_base", "ds", "es", "fs", "gs")]


_libc = ctypes.CDLL(None, use_errno=True)
_libc.ptrace.restype = ctypes.c_long
_libc.ptrace.argtypes = [ctypes.c_long, ctypes.c_long, ctypes.c_void_p, ctypes.c_void_p]


def _ptrace(request: int, tid: int, address: int = 0,
            data: int | ctypes.Structure | None = None) -> None:
    argument = ctypes.addressof(data) if isinstance(data, ctypes.Structure) else data
    if _libc.ptrace(request, tid, address, argument) == -1:
        number = ctypes.get_errno()
        raise OSError(number, os.strerror(number))


@dataclass
class Target:
    """Where the interpreter's and the C library's functions are in one process."""

    pid: int
    add_pending_call: int
    python: list[int]
    loader: dict[str, int]
    munmap: int
    mmap: int
    mprotect: int
    eval_loop: tuple[int, int] | None


def locate(pid: int, root: str) -> Target:
    """The addresses the injection needs; InjectionError naming what is missing."""
    try:
        python = elf_symbols.resolve(
            pid, root, r"/(?:lib)?python3\.\d+[^/]*$",
            {"Py_AddPendingCall", "_PyEval_EvalFrameDefault", *_PYTHON_FUNCTIONS})
        libc = elf_symbols.resolve(
            pid, root, r"/(?:libc|libdl)[.-][^/]*$|/ld-musl-[^/]*$",
            {"mmap", "mprotect", "munmap", *_LOADER, *_LOADER.values()})
    except (OSError, elf_symbols.SymbolError) as error:
        raise InjectionError(f"cannot read the symbols of process {pid}: {error}") from None
    missing = [name for name in ("Py_AddPendingCall", *_PYTHON_FUNCTIONS) if name not in python]
    if missing:
        raise InjectionError(
            f"the interpreter of process {pid} has no symbol table entry for {missing[0]} "
            "(a statically linked or stripped interpreter): vesker cannot find where to attach; "
            "dump it from inside instead (vesker.dumper.install)")
    loader = {}
    for public, private in _LOADER.items():
        symbol = libc.get(public) or libc.get(private)
        if symbol is None:
            raise InjectionError(f"process {pid} has no dynamic loader ({public} not found): a "
                                 "statically linked program cannot load the helper")
        loader[public] = symbol.address
    for name in ("mmap", "mprotect", "munmap"):
        if name not in libc:
            raise InjectionError(f"process {pid}: the C library has no {name}")
    frame = python.get("_PyEval_EvalFrameDefault")
    return Target(pid, python["Py_AddPendingCall"].address,
                  [python[name].address for name in _PYTHON_FUNCTIONS], loader,
                  libc["munmap"].address, libc["mmap"].address, libc["mprotect"].address,
                  (frame.address, frame.address + frame.size) if frame and frame.size else None)


class _Stopped:
    """One thread of the target, seized and stopped; `release` resumes it exactly
    where it was (a system call it was in is restarted by the kernel)."""

    def __init__(self, tid: int) -> None:
        self.tid = tid
        _ptrace(_PTRACE_SEIZE, tid)
        try:
            _ptrace(_PTRACE_INTERRUPT, tid)
            self._wait_for_stop()
            self.saved = _Registers()
            _ptrace(_PTRACE_GETREGS, tid, 0, self.saved)
        except BaseException:
            self._detach()
            raise

    def _wait(self) -> int:
        while True:
            try:
                _, status = os.waitpid(self.tid, _WALL)
            except InterruptedError:
                continue
            if os.WIFEXITED(status) or os.WIFSIGNALED(status):
                raise _ThreadEnded(f"thread {self.tid} ended while vesker held it")
            return status

    def _wait_for_stop(self) -> None:
        while True:
            status = self._wait()
            if status >> 16 == _PTRACE_EVENT_STOP:
                return
            # A signal on its way to the thread: let it through.
            _ptrace(_PTRACE_CONT, self.tid, 0, os.WSTOPSIG(status))

    def is_safe(self, target: Target) -> bool:
        """Whether the thread is where it holds none of the locks our calls take."""
        number = self.saved.orig_rax
        if number < 1 << 63:  # in a system call
            if number == _FUTEX:
                return self.saved.rsi & 0x7F in _FUTEX_WAIT_OPERATIONS
            return number in _SAFE_SYSCALLS
        loop = target.eval_loop
        return loop is not None and loop[0] <= self.saved.rip < loop[1]

    def call(self, function: int, *arguments: int) -> int:
        """Run `function(*arguments)` on this thread and return its result."""
        registers = _Registers.from_buffer_copy(self.saved)
        # Below the red zone, aligned, with a return address of 0: the return
        # faults at once and comes back to us as a SIGSEGV stop.
        stack = ((self.saved.rsp - 512) & ~0xF) - 8
        write_memory(self.tid, stack, b"\0" * 8)
        registers.rsp = stack
        registers.rip = function
        registers.rax = 0
        registers.orig_rax = (1 << 64) - 1  # no system call to restart on the way
        for name, value in zip(("rdi", "rsi", "rdx", "rcx", "r8", "r9"), arguments):
            setattr(registers, name, value & ((1 << 64) - 1))
        _ptrace(_PTRACE_SETREGS, self.tid, 0, registers)
        _ptrace(_PTRACE_CONT, self.tid, 0, 0)
        while True:
            status = self._wait()
            if status >> 16 == _PTRACE_EVENT_STOP:
                _ptrace(_PTRACE_CONT, self.tid, 0, 0)
                continue
            received = os.WSTOPSIG(status)
            if received == signal.SIGSEGV:
                _ptrace(_PTRACE_GETREGS, self.tid, 0, registers)
                if registers.rip == 0:
                    return int(registers.rax)
                raise InjectionError(f"a call in thread {self.tid} faulted")
            _ptrace(_PTRACE_CONT, self.tid, 0, received)

    def release(self) -> None:
        try:
            _ptrace(_PTRACE_SETREGS, self.tid, 0, self.saved)
        finally:
            self._detach()

    def _detach(self) -> None:
        try:
            _ptrace(_PTRACE_DETACH, self.tid, 0, 0)
        except OSError:
            pass


def write_memory(pid: int, address: int, data: bytes) -> None:
    # Through /proc/PID/mem, which writes code pages as a debugger does.
    descriptor = os.open(f"/proc/{pid}/mem", os.O_RDWR | os.O_CLOEXEC)
    try:
        if os.pwrite(descriptor, data, address) != len(data):
            raise InjectionError(f"short write into process {pid}")
    finally:
        os.close(descriptor)


def read_memory(pid: int, address: int, size: int) -> bytes | None:
    """`size` bytes at `address`, or None where nothing is mapped."""
    descriptor = os.open(f"/proc/{pid}/mem", os.O_RDONLY | os.O_CLOEXEC)
    try:
        return os.pread(descriptor, size, address)
    except OSError as error:
        if error.errno in (errno.EIO, errno.EFAULT):
            return None
        raise
    finally:
        os.close(descriptor)


def _holder(tid: int) -> str:
    """Why the kernel may refuse to let us seize a thread: "tracer" while another
    tracer holds it (a second vesker, for a moment), "ending" while it exits (a
    thread that ends is refused, not reported missing, until it is reaped), or ""."""
    try:
        with open(f"/proc/{tid}/status", "rb") as status:
            fields = dict(line.split(b":", 1) for line in status.read(1 << 16).splitlines()
                          if b":" in line)
    except OSError:
        return "ending"
    if fields.get(b"State", b"").strip()[:1] in (b"Z", b"X"):
        return "ending"
    return "tracer" if fields.get(b"TracerPid", b"0").strip() != b"0" else ""


def _seize(tid: int, patience: float) -> _Stopped:
    """The thread, stopped; waits while another tracer holds it."""
    deadline = time.monotonic() + patience
    let_go = False
    while True:
        try:
            return _Stopped(tid)
        except OSError as error:
            if error.errno != errno.EPERM or time.monotonic() > deadline:
                raise
            holder = _holder(tid)
            if holder == "ending":
                raise OSError(errno.ESRCH, f"thread {tid} is ending") from None
            # The other tracer may have let go between our attempt and the look at its
            # status: one more attempt tells that apart from a refusal of the kernel's.
            if not holder:
                if let_go:
                    raise
                let_go = True
                continue
            let_go = False
        time.sleep(0.005)


def _seize_a_safe_thread(target: Target, patience: float) -> _Stopped:
    deadline = time.monotonic() + patience
    while True:
        for name in sorted(os.listdir(f"/proc/{target.pid}/task"), key=int):
            try:
                stopped = _seize(int(name), max(deadline - time.monotonic(), 0.0))
            except _ThreadEnded:
                continue
            except OSError as error:
                if error.errno == errno.ESRCH:
                    continue  # the thread ended
                raise
            if stopped.is_safe(target):
                return stopped
            stopped.release()
        if time.monotonic() > deadline:
            raise InjectionError(
                f"no thread of process {target.pid} reached a point where it is safe to "
                "interrupt (waiting in the kernel, or running bytecode) within "
                f"{patience:g}s; try again")
        time.sleep(0.005)


@dataclass
class Request:
    """A scheduled bootstrap: its pages in the target, and the addresses written
    at the start of its data page, by which they are told from pages the target
    may have mapped at the same place since they were unmapped."""

    pid: int
    mapping: int
    size: int
    signature: bytes

    @property
    def boot(self) -> int:
        return self.mapping + _PAGE


def schedule(target: Target, library: str, script: str, bootstrap: bytes,
             patience: float = 2.0) -> Request:
    """Make the target's main thread load `library` (a path in the target's view)
    at its next safe point and run `script` (likewise) there."""
    encoded_library, encoded_script = os.fsencode(library), os.fsencode(script)
    if len(encoded_library) >= _LIBRARY_LIMIT or len(encoded_script) >= _SCRIPT_LIMIT:
        raise InjectionError(f"the path {script!r} is too long for the helper")
    if len(bootstrap) > _PAGE:
        raise InjectionError("the bootstrap code does not fit in a page")
    size = 2 * _PAGE
    stopped = _seize_a_safe_thread(target, patience)
    try:
        mapping = stopped.call(target.mmap, 0, size, 0x3, 0x22, -1, 0)  # RW, private|anonymous
        if mapping >= (1 << 64) - 4096:
            raise InjectionError(f"process {target.pid} could not map two pages")
        boot = mapping + _PAGE
        data = bytearray(_PAGE)
        struct.pack_into("<II5QQQ", data, 0, 0, 0, target.loader["dlopen"], target.loader["dlsym"],
                         target.loader["dlclose"], target.munmap, mapping, size, 0)
        struct.pack_into("<%dQ" % len(target.python), data, _REQUEST_OFFSET, *target.python)
        data[_SCRIPT_OFFSET:_SCRIPT_OFFSET + len(encoded_script)] = encoded_script
        data[_LIBRARY_OFFSET:_LIBRARY_OFFSET + len(encoded_library)] = encoded_library
        data[_ENTRY_OFFSET:_ENTRY_OFFSET + 18] = b"vesker_pending_run"
        write_memory(target.pid, mapping, bootstrap)
        write_memory(target.pid, boot, bytes(data))
        signature = bytes(data[_SIGNATURE])
        if stopped.call(target.mprotect, mapping, _PAGE, 0x5) != 0:  # read, execute
            stopped.call(target.munmap, mapping, size)
            raise InjectionError(f"process {target.pid} refused executable memory")
        if stopped.call(target.add_pending_call, mapping, boot) != 0:
            stopped.call(target.munmap, mapping, size)
            raise InjectionError(f"process {target.pid} has too many pending calls queued; "
                                 "try again")
    finally:
        stopped.release()
    return Request(target.pid, mapping, size, signature)


def state(request: Request) -> int | None:
    """0 queued, 1 started, 2 ran, 3 or 4 the helper failed to load; None once
    the bootstrap has unmapped itself."""
    data = read_memory(request.pid, request.boot, _SIGNATURE.stop)
    if not data or data[_SIGNATURE] != request.signature:
        return None
    return int.from_bytes(data[_STATE_OFFSET:_STATE_OFFSET + 4], "little")


def cancel(request: Request) -> bool:
    """Make a request that has not started do nothing when it runs; False when
    it has started (or finished) already."""
    stopped = _seize(request.pid, 2.0)  # the main thread, the only one that runs pending calls
    try:
        if request.mapping <= stopped.saved.rip < request.mapping + _PAGE:
            return False
        current = state(request)
        if current != 0:
            return False
        write_memory(request.pid, request.boot, struct.pack("<I", 1))
        return True
    finally:
        stopped.release()
