"""Write the heap of the running interpreter as a JSON Lines heap dump.

Every object reachable from the interpreter's roots (loaded modules, the
objects the garbage collector tracks, the frames of every thread) is written
once, closed over `gc.get_referents`, so untracked objects such as strings and
numbers appear as well.  One line per object:

    {"id":..,"type":"module.QualName","references":[..],"value":..,"size":..}

The dump leaves out its own machinery: the frames of this package and the
containers, caches and file objects it creates while it runs.
"""

from __future__ import annotations

import gc
import gzip
import os
import sys
import threading
import types
from collections.abc import Callable
from itertools import chain
from dataclasses import dataclass
from json.encoder import encode_basestring
from typing import Any, BinaryIO

__all__ = ["DumpStats", "VALUE_LIMIT", "dump_heap"]

# Values are for people reading a listing, not for reconstructing objects.
VALUE_LIMIT = 200

# Lines are joined and written in batches of this many.
_BATCH = 4096

_HAVE_GC = 1 << 14  # Py_TPFLAGS_HAVE_GC; other objects hold no references

# Kinds of value rendering, resolved once per type.
_NO_VALUE = 0
_STR = 1
_BYTES = 2
_INT = 3
_BOOL = 4
_FLOAT = 5
_COMPLEX = 6
_FUNCTION_NAME = 7
_BUILTIN_NAME = 8
_CLASS_NAME = 9
_MODULE_NAME = 10

# Read names through the base types' own descriptors: a metaclass or a module
# subclass may override attribute access, and the dump must not run user code
# it can avoid.
_type_qualname = vars(type)["__qualname__"].__get__
_type_module = vars(type)["__module__"].__get__
_function_qualname = vars(types.FunctionType)["__qualname__"].__get__
_builtin_qualname = vars(types.BuiltinFunctionType)["__qualname__"].__get__
_module_dict = vars(types.ModuleType)["__dict__"].__get__

_PACKAGE = __name__.partition(".")[0]


@dataclass(frozen=True)
class DumpStats:
    """What one dump wrote."""

    path: str
    objects: int
    bytes_written: int
    seconds: float


def _type_name(tp: type) -> str:
    try:
        module = _type_module(tp)
    except Exception:
        module = None
    try:
        qualname = _type_qualname(tp)
    except Exception:
        qualname = None
    if not isinstance(module, str):
        module = "builtins"
    if not isinstance(qualname, str):
        qualname = object.__repr__(tp)
    return module + "." + qualname


def _value_kind(tp: type) -> int:
    # Order matters: bool is an int, and every class is a type.
    if issubclass(tp, str):
        return _STR
    if issubclass(tp, bytes):
        return _BYTES
    if issubclass(tp, bool):
        return _BOOL
    if issubclass(tp, int):
        return _INT
    if issubclass(tp, float):
        return _FLOAT
    if issubclass(tp, complex):
        return _COMPLEX
    if tp is types.FunctionType:
        return _FUNCTION_NAME
    if tp is types.BuiltinFunctionType:
        return _BUILTIN_NAME
    if issubclass(tp, type):
        return _CLASS_NAME
    if issubclass(tp, types.ModuleType):
        return _MODULE_NAME
    return _NO_VALUE


def _line_format(tp: type) -> str:
    type_json = encode_basestring(_type_name(tp)).replace("%", "%%")
    return '{"id":%d,"type":' + type_json + ',"references":[%s],"value":%s,"size":%d}\n'


def _int_text(obj: int) -> str:
    # Decimal conversion of huge integers is quadratic and limited by
    # sys.set_int_max_str_digits; a bit count says enough about such a value.
    bits = int.bit_length(obj)
    if bits > 4 * VALUE_LIMIT:
        return "<int of " + str(bits) + " bits>"
    return int.__repr__(obj)[:VALUE_LIMIT]


def _render_value(kind: int, obj: Any) -> str | None:
    if kind == _STR:
        text = obj if type(obj) is str else str.__str__(obj)
        return text[:VALUE_LIMIT] if len(text) > VALUE_LIMIT else text
    if kind == _BYTES:
        return bytes.__repr__(bytes.__getitem__(obj, slice(0, VALUE_LIMIT)))[: 4 * VALUE_LIMIT]
    if kind == _INT:
        return _int_text(obj)
    if kind == _BOOL:
        return "True" if obj else "False"
    if kind == _FLOAT:
        return float.__repr__(obj)
    if kind == _COMPLEX:
        return complex.__repr__(obj)
    name: object
    if kind == _FUNCTION_NAME:
        name = _function_qualname(obj)
    elif kind == _BUILTIN_NAME:
        name = _builtin_qualname(obj)
    elif kind == _CLASS_NAME:
        name = _type_qualname(obj)
    elif kind == _MODULE_NAME:
        name = _module_dict(obj).get("__name__")
    else:
        return None
    return name[:VALUE_LIMIT] if type(name) is str else None


def _value_json(kind: int, obj: Any) -> str:
    try:
        value = _render_value(kind, obj)
    except Exception:
        return "null"
    return "null" if value is None else encode_basestring(value)


def _is_own_frame(frame: types.FrameType) -> bool:
    name = frame.f_globals.get("__name__")
    return isinstance(name, str) and (name == _PACKAGE or name.startswith(_PACKAGE + "."))


def _thread_frames(own_frames: set[int]) -> list[types.FrameType]:
    """Every frame of every thread, except the frames of this package."""
    frames: list[types.FrameType] = []
    for top in sys._current_frames().values():
        frame: types.FrameType | None = top
        while frame is not None:
            if id(frame) in own_frames:
                pass
            elif _is_own_frame(frame):
                own_frames.add(id(frame))
            else:
                frames.append(frame)
            frame = frame.f_back
    # The frame object of this very call is among the tops, so `top` may refer to its own
    # frame: a cycle that would keep `frames` alive, unreferenced, into the collector's list of
    # objects and so into the dump.
    del top
    return frames


def _frame_referents(frame: types.FrameType, refs: list[Any]) -> list[Any]:
    """The referents of a frame, including its locals while it runs.

    The collector does not traverse frames that a thread is still executing,
    yet their code, namespaces and local variables are exactly what keeps
    objects alive at the moment of the dump.
    """
    known = set(map(id, refs))
    extra: list[Any] = [frame.f_code, frame.f_globals, frame.f_builtins]
    try:
        frame_locals = frame.f_locals
    except Exception:
        frame_locals = frame.f_globals
    if frame_locals is not frame.f_globals:
        extra.extend(frame_locals.values())
    for item in extra:
        if id(item) not in known:
            known.add(id(item))
            refs.append(item)
    return refs


def _dict_subclass_referents(mapping: dict[Any, Any]) -> list[Any]:
    """The referents and the keys: the collector skips the keys of
    dictionaries whose keys are all strings, yet the dictionary keeps them
    alive.  Plain dictionaries take the same shape inline in `_walk`."""
    refs = gc.get_referents(mapping)
    known = set(map(id, refs))
    refs.extend(key for key in dict.keys(mapping) if id(key) not in known)
    return refs


def _code_referents(code: types.CodeType) -> list[Any]:
    """What a code object holds; the collector does not traverse code objects."""
    return [
        code.co_consts,
        code.co_names,
        code.co_filename,
        code.co_name,
        code.co_qualname,
        code.co_linetable,
        code.co_exceptiontable,
    ]


def _open_output(path: str, compress: bool) -> gzip.GzipFile | BinaryIO:
    if compress:
        return gzip.open(path, "wb", compresslevel=1)
    return open(path, "wb", buffering=1 << 20)


def _walk(
    roots: list[Any],
    seen: set[int],
    excluded: set[int],
    write: Callable[[bytes], object],
) -> int:
    """Write one line per object reachable from `roots` that is not in `seen`."""
    formats: dict[type, tuple[str, int, Callable[[Any], list[Any]] | None]] = {}
    keep: list[Any] = []  # holds every written object so that no id is reused meanwhile
    stack: list[Any] = []
    batch: list[str] = []
    excluded.update(map(id, (formats, keep, stack, batch)))
    seen.update(excluded)

    seen_add = seen.add
    push = stack.append
    pop = stack.pop
    keep_append = keep.append
    batch_append = batch.append
    getsizeof = sys.getsizeof
    join = ",".join
    value_json = _value_json
    from_iterable = chain.from_iterable
    dict_items = dict.items
    count = 0

    def frame_referents(frame: types.FrameType) -> list[Any]:
        refs = _frame_referents(frame, gc.get_referents(frame))
        return [r for r in refs if id(r) not in excluded]

    def traceback_referents(traceback: types.TracebackType) -> list[Any]:
        return [r for r in gc.get_referents(traceback) if id(r) not in excluded]

    def resolve(tp: type) -> tuple[str, int, Callable[[Any], list[Any]] | None]:
        referents: Callable[[Any], list[Any]] | None = None
        if issubclass(tp, types.FrameType):
            referents = frame_referents
        elif issubclass(tp, types.TracebackType):
            referents = traceback_referents
        elif issubclass(tp, dict) and tp is not dict:
            referents = _dict_subclass_referents
        elif issubclass(tp, types.CodeType):
            referents = _code_referents
        elif tp.__flags__ & _HAVE_GC:
            referents = gc.get_referents
        return _line_format(tp), _value_kind(tp), referents

    for root in roots:
        root_id = id(root)
        if root_id in seen:
            continue
        seen_add(root_id)
        push(root)
        while stack:
            obj = pop()
            keep_append(obj)
            tp = type(obj)
            try:
                line_format, kind, referents = formats[tp]
            except (KeyError, TypeError):
                line_format, kind, referents = resolve(tp)
                try:
                    formats[tp] = (line_format, kind, referents)
                except TypeError:
                    pass  # a metaclass without hashing: resolve again next time
            if tp is dict:
                refs = list(from_iterable(dict_items(obj)))
            elif referents is not None:
                refs = referents(obj)
            else:
                refs = None
            if refs:
                for ref in refs:
                    ref_id = id(ref)
                    if ref_id not in seen:
                        seen_add(ref_id)
                        push(ref)
                refs_text = join(map(str, map(id, refs)))
            else:
                refs_text = ""
            try:
                size = getsizeof(obj)
            except Exception:
                size = object.__sizeof__(obj)
            batch_append(
                line_format
                % (id(obj), refs_text, value_json(kind, obj) if kind else "null", size)
            )
            count += 1
            if len(batch) >= _BATCH:
                write("".join(batch).encode("utf-8", "replace"))
                batch.clear()
    if batch:
        write("".join(batch).encode("utf-8", "replace"))
        batch.clear()
    keep.clear()
    return count


_dump_lock = threading.Lock()
_BOUND_BUILTIN: Any = type(_dump_lock.__exit__)


def dump_heap(path: str | os.PathLike[str], *, compress: bool | None = None) -> DumpStats:
    """Write the heap of this interpreter to `path` as JSON Lines.

    The file is gzip-compressed when `compress` is true, or, when it is None,
    when the path ends in ".gz".  The dump goes to a temporary file beside
    `path` and is renamed into place once complete, so `path` never holds a
    partial dump.  Other threads are held off as far as the interpreter allows
    (switch interval raised, collector paused) so that the heap stays still.
    """
    import time

    target = os.fspath(path)
    if compress is None:
        compress = target.endswith(".gz")
    directory, name = os.path.split(os.path.abspath(target))
    temporary = os.path.join(directory, "." + name + "." + str(os.getpid()) + ".partial")

    with _dump_lock:
        started = time.perf_counter()
        gc_was_enabled = gc.isenabled()
        switch_interval = sys.getswitchinterval()
        gc.disable()
        sys.setswitchinterval(1e6)
        try:
            own_frames: set[int] = {id(sys._getframe())}
            roots: list[Any] = []
            excluded: set[int] = own_frames
            excluded.update(map(id, (roots, own_frames)))
            roots.extend(_thread_frames(own_frames))
            # The snapshot is taken before the output file and the traversal's
            # containers exist, so none of them is among the roots.
            tracked = gc.get_objects()
            excluded.add(id(tracked))
            # The `with` block above keeps the lock's bound __exit__ on this frame's stack,
            # where the collector lists it: the dumper's own.
            excluded.update(
                id(o) for o in tracked if type(o) is _BOUND_BUILTIN and o.__self__ is _dump_lock
            )
            roots.extend(sys.modules.values())
            roots.extend(tracked)
            del tracked
            seen: set[int] = set()
            excluded.add(id(seen))
            with _open_output(temporary, compress) as out:
                count = _walk(roots, seen, excluded, out.write)
            roots.clear()
            seen.clear()
            os.replace(temporary, target)
        except BaseException:
            try:
                os.unlink(temporary)
            except OSError:
                pass
            raise
        finally:
            sys.setswitchinterval(switch_interval)
            if gc_was_enabled:
                gc.enable()
        seconds = time.perf_counter() - started
    return DumpStats(target, count, os.path.getsize(target), seconds)
