"""Write the heap of the running interpreter as a JSON Lines heap dump.

This docstring is the dump format's documentation and the dumper's contract.
Every mode keeps it: `dump_heap` in the process ("in-process"), `vesker dump
SCRIPT` at the script's end ("exit"), `--signal` and `install` ("signal"),
`fork_dump` ("fork"), `vesker dump --pid` ("attach") and the native walker
(`dump_heap(native=True)`, "native").

The records
-----------
Every object reachable from the interpreter's roots (loaded modules, the
objects the garbage collector tracks, the frames of every thread) is written
once, closed over `gc.get_referents`, so untracked objects such as strings and
numbers appear as well, and so do objects frozen with `gc.freeze()`, which the
collector no longer lists.  Besides what the collector reports, the walk adds
the keys of dicts, what code objects hold, and the locals of running frames,
and on 3.13 and later, where the native walker's module is loaded, the
`__dict__` made for an instance whose attributes are still inline (the
collector reports those attributes, not the dict, which would otherwise look
held by nothing).
One line per object:

    {"id":..,"type":"module.QualName","references":[..],"names":[..],"value":..,"size":..}

The native walker writes the same lines through the project's record
encoder, which adds a sixth key, "subtree_size": null ("not computed").

Allocation sites
----------------
When tracemalloc traces (started by the program, by PYTHONTRACEMALLOC, by
`vesker dump --trace-allocations` or `install(trace_allocations=N)`), every
mode, the native walker's included, records where each object was allocated,
read with tracemalloc's own lookup (no code of the program runs).  An object that
tracemalloc knows carries `"site":K`, an index into the dump's table of
sites; the first record of each site also carries that site's frames, the
allocation's line first, each with the function the line lies in (found
among the code objects of the live functions; null when none is, as for a
module's top level, since tracemalloc records files and lines only):

    ...,"size":56,"site":0,"site_frames":[["app/cache.py",41,"Cache.put"],["app/main.py",9,null]]}

An object tracemalloc does not know (made before tracing started, or by C
code outside the Python allocator, or by this dump itself, such as a frame
object it asked for) carries no site.  The sidecar's "dump" then has
"allocation_frames": N, the frames recorded per allocation; without that key
the dump was taken without tracing.  Each lookup costs microseconds, so none
is made when tracemalloc does not trace.

Complete: every id in "references" has a record of its own in the same dump.
A reference to an object of the dumper's own (see below) is left out, not
written.  `DumpStats.dangling` counts references without a record; it is 0,
and `vesker dump` says so when it is not.  Objects without `tp_traverse`
(an `array.array`, a C extension's buffer) are written with their size; what
they hold that no traversal reports is not in the dump (the sidecar's memory
figures say how much of the process lies outside the objects).

Sizes are what `sys.getsizeof` would say, computed without running code of
the program: the first `__sizeof__` along the type's method resolution order
that is written in C (a method descriptor: `list.__sizeof__`, at the latest
`object.__sizeof__`, which is the type's `__basicsize__` plus `__itemsize__`
per item), plus the collector's header that `sys.getsizeof` adds (measured
once on a list) and, on 3.11 and later, two words in front of instances with
a managed dict.  A `__sizeof__` written in Python (a mock records the call and
grows a child mock) is skipped; `python_sizeof=True` opts in to calling it.

Names
-----
"names" (`names=True`, the default of every mode but `dump_heap`) is a list
parallel to "references" whose elements are null or a short path segment to
append after the referrer's type when showing a chain of references; every
mode names alike:

    ".items"     an attribute (also ".__dict__", ".__class__", ".f_code"), and
                 the public attributes of C-level objects met in leaks
                 (".__func__"/".__self__" of bound methods, ".func"/".args" of a
                 partial, ".__callback__" of a weakref, ".default_factory",
                 "._callbacks"/"._result" of a C asyncio Future, ".__wrapped__"
                 of an `lru_cache` wrapper, ".base" of a numpy array)
    "['k']"      the value under a dict key, the key's repr truncated
    "[3]"        a list, tuple or deque index
    "<key>"      a dict key object itself
    "<cell x>"   the cell of a closure variable x
    "<local x>"  the local variable x of a running frame
    "<cache>"    a field of a C-level object that no attribute exposes, named
                 after the field where the type's traversal leaves no doubt
                 which referent it is: an `lru_cache` wrapper's "<cache>" dict
                 and, bounded, each "<cache key>" and "<cached result>"; a
                 memoryview's "<buffer>", whose "<obj>" is `memoryview.obj`;
                 `itertools` objects' "<iterator>", "<saved>" (cycle),
                 "<buffered>" and "<next>" (tee), "<source>"/"<active>" (chain),
                 "<current value>" (groupby), ...

The native walker names dicts, lists and tuples itself and asks this module's
namer for every other kind, so both write the same names.  Attributes of
instances whose `__dict__` was never asked for (CPython keeps them inline)
are named too.  In a running process asking for the dict would change the
object, so the native walker's module (`vesker._walker`, 3.13 and later)
reads the inline values and the class's shared keys where the interpreter
keeps them (its dict structures, the same in 3.13 and 3.14), without
creating the dict; the Python dumper uses it when it is loaded (it is never
imported during a dump).  Elsewhere (3.11 and 3.12, or without the walker's
module) the Python dumper reads the attributes whose names the code of the
class and its bases uses, through the generic attribute lookup, which reads
inline values without creating the dict and runs no code of the program for
a name the classes do not define; an attribute that only code elsewhere set
stays unnamed there, never misnamed.  A forked copy (fork, signal, attach)
and a script's end ("exit") may create the dicts and name them all.  A C
container whose fields neither an attribute nor its traversal's order tell
apart (a Future's list of further callbacks) leaves the name null rather
than guess one.

Numpy arrays are no containers to the collector, yet a view keeps the array
it views (its `base`) alive: when numpy is loaded, an array's record refers
to its base, named ".base".

No side effects
---------------
The dumper runs no code of the program's own: no Python-level `__sizeof__`,
`__repr__`, `__getattr__`, properties or descriptors of user classes (names
and values are read through the base types' own descriptors, C getters of the
standard library's types only).  It changes no state the program can see:
warning filters and registries, the collector's settings (paused and
restored), `sys.modules` (it imports nothing while dumping but what the
caller asks for: `gzip` for compressed output, `vesker._walker` for
`native=True`), `sys.path`, signal handlers, module attributes.  It holds
other threads off while it reads (switch interval raised, restored).

A forked dump forks with `os.fork`, which runs the fork hooks registered with
`os.register_at_fork` as any fork does (the standard library's reset locks
in the child); threading's would forget every other thread in the child
before the dump, so its module globals and thread tables are put back in the
child from copies taken before the fork.  `os.fork` of a
process with threads warns (3.12 and later): the warning is filed under a
module name of the dumper's own, which default filters ignore; the filters
are never changed, since that clears every `__warningregistry__`.

Nothing of its own
------------------
The dump leaves out the dumper's machinery: the frames of this package, the
containers, caches and file objects it creates while it runs (its caches
live as long as one dump), and in `vesker dump SCRIPT` every object made
before the script started (the command line's parser): these are no roots,
and appear only when the program's objects reach them.

The sidecar
-----------
The process that writes a dump writes `FILE.meta.json` beside it before the
first record (with a time-stamped name, claimed with O_EXCL, so that two
dumps in one second never share a name); `dump_heap` writes it by default:

    {"pid": 1234, "started": "<boot id>:<start tick>", "host": "web-1",
     "python": "3.14.0", "implementation": "cpython", "executable": "/usr/bin/python3",
     "argv": ["app.py"], "time": "2026-12-08T14:12:00.123Z",
     "memory": {"resident": 284000000, "anonymous": 250000000, "allocator": null},
     "dump": {"mode": "fork", "names": true, "dumper": "0.1.0"}}

"started" (Linux) tells apart two processes given the same pid, as every
restart of a container is.  "memory" is read from /proc/PID/status at the
dump (before the fork, for a forked dump): resident and anonymous bytes.
"allocator" stays null: CPython offers no figure of its own allocator that
is cheap to read (`sys._debugmallocstats` prints and walks every arena).

Running elsewhere
-----------------
The module imports nothing beyond what a freshly started interpreter has
loaded (plus `_json` and `itertools`), and runs on CPython 3.9 and later,
because it also runs inside processes that `vesker dump --pid` attaches to.
"""

from __future__ import annotations

import _thread
import gc
import os
import sys
import time
from itertools import chain

try:
    import _tracemalloc
except ImportError:  # interpreters without tracemalloc
    _tracemalloc = None  # type: ignore[assignment]

try:
    from _json import encode_basestring
except ImportError:  # interpreters without the accelerator
    from json.encoder import encode_basestring

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable
    from typing import Any, BinaryIO

__all__ = [
    "DUMPER_VERSION",
    "DumpStats",
    "VALUE_LIMIT",
    "distinct_path",
    "dump_heap",
    "dump_identity",
    "fork_dump",
    "install",
    "native_walker_available",
]

# The version of the package this dumper comes with, named in every sidecar.
DUMPER_VERSION = "0.1.0"

# Values are for people reading a listing, not for reconstructing objects.
VALUE_LIMIT = 200

# Dict keys in reference names are for recognising the entry, not for reading it.
_KEY_LIMIT = 40

# Lines are joined and written in batches of this many.
_BATCH = 4096

_HAVE_GC = 1 << 14  # Py_TPFLAGS_HAVE_GC; other objects hold no references
# Py_TPFLAGS_INLINE_VALUES: instances keep their attributes after the object (3.13 and later).
_INLINE_VALUES = 1 << 2 if sys.version_info >= (3, 13) else 0

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

_FrameType = type(sys._getframe())


def _nothing() -> None:
    pass


_FunctionType = type(_nothing)
_CodeType = type(_nothing.__code__)
_CellType = type((lambda value: lambda: value)(0).__closure__[0])  # type: ignore[index]
_BuiltinFunctionType = type(len)
_ModuleType = type(sys)
try:
    raise TypeError
except TypeError as _error:
    _TracebackType = type(_error.__traceback__)

# Read names through the base types' own descriptors: a metaclass or a module
# subclass may override attribute access, and the dump must not run user code
# it can avoid.
_type_qualname = vars(type)["__qualname__"].__get__
_type_module = vars(type)["__module__"].__get__
_type_dict = vars(type)["__dict__"].__get__
_type_mro = vars(type)["__mro__"].__get__
_type_bases = vars(type)["__bases__"].__get__
_type_base = vars(type)["__base__"].__get__
_function_qualname = vars(_FunctionType)["__qualname__"].__get__
_builtin_qualname = vars(_BuiltinFunctionType)["__qualname__"].__get__
_module_dict = vars(_ModuleType)["__dict__"].__get__

# Function attributes that plain descriptors answer without running code.
_FUNCTION_ATTRIBUTES = tuple(
    (name, vars(_FunctionType)[name].__get__)
    for name in ("__code__", "__globals__", "__builtins__", "__name__", "__qualname__",
                 "__module__", "__defaults__", "__kwdefaults__", "__closure__", "__doc__")
    if name in vars(_FunctionType)
)
# What a code object holds, as far as the interpreter has it (3.9 and 3.10
# have no qualified name, exception table or, 3.9, line table).
_CODE_FIELDS = tuple(
    name for name in ("co_consts", "co_names", "co_filename", "co_name", "co_qualname",
                      "co_linetable" if "co_linetable" in vars(_CodeType) else "co_lnotab",
                      "co_exceptiontable")
    if name in vars(_CodeType)
)
_CODE_GETTERS = tuple(vars(_CodeType)[name].__get__ for name in _CODE_FIELDS)
_CODE_NAMES = tuple("." + name for name in _CODE_FIELDS)

_PACKAGE = __name__.partition(".")[0]

_GetSetType = type(vars(type)["__dict__"])
_MemberType = type(vars(type)["__basicsize__"])
_MethodDescriptorType = type(vars(object)["__sizeof__"])
_type_flags = vars(type)["__flags__"].__get__

# What sys.getsizeof adds to what a type's __sizeof__ says: the collector's
# header in front of objects it tracks (measured once on a list, whose
# __sizeof__ is written in C), and two more words in front of instances whose
# dict and weak references the interpreter manages (3.11 and later).
_GC_HEADER = sys.getsizeof([]) - list.__sizeof__([])
_WORD = 8 if sys.maxsize > 2 ** 32 else 4
_HEAP_TYPE = 1 << 9
_MANAGED = ((1 << 3) | (1 << 4) if sys.version_info >= (3, 12)
            else 1 << 4 if sys.version_info >= (3, 11) else 0)


class DumpStats:
    """What one dump wrote.  `dangling` counts references to ids without a
    record of their own (a complete dump has none)."""

    __slots__ = ("path", "objects", "bytes_written", "seconds", "dangling")

    def __init__(self, path: str, objects: int, bytes_written: int, seconds: float,
                 dangling: int = 0) -> None:
        self.path = path
        self.objects = objects
        self.bytes_written = bytes_written
        self.seconds = seconds
        self.dangling = dangling

    def __repr__(self) -> str:
        return ("DumpStats(path=%r, objects=%d, bytes_written=%d, seconds=%.3f, dangling=%d)"
                % (self.path, self.objects, self.bytes_written, self.seconds, self.dangling))

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, DumpStats):
            return NotImplemented
        return all(getattr(self, n) == getattr(other, n) for n in self.__slots__)

    __hash__ = None  # type: ignore[assignment]


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
    if tp is _FunctionType:
        return _FUNCTION_NAME
    if tp is _BuiltinFunctionType:
        return _BUILTIN_NAME
    if issubclass(tp, type):
        return _CLASS_NAME
    if issubclass(tp, _ModuleType):
        return _MODULE_NAME
    return _NO_VALUE


def _c_sizeof(tp: type) -> Any:
    """The first `__sizeof__` along the type's method resolution order that is
    written in C (a method descriptor): a Python-level one is program code,
    which may record the call (a mock does) or allocate."""
    for base in _type_mro(tp):
        found = _type_dict(base).get("__sizeof__")
        if type(found) is _MethodDescriptorType:
            return found
    return vars(object)["__sizeof__"]


def _has_python_sizeof(tp: type) -> bool:
    for base in _type_mro(tp):
        found = _type_dict(base).get("__sizeof__")
        if found is not None:
            return type(found) is not _MethodDescriptorType
    return False


def _header_size(tp: type) -> int:
    """What sys.getsizeof adds in front of instances of `tp` (classes: see
    `_size_of`)."""
    flags = _type_flags(tp)
    if not flags & _HAVE_GC:
        return 0
    return _GC_HEADER + (2 * _WORD if flags & _MANAGED else 0)


def _size_of(obj: Any, sizeof: Any, header: int) -> int:
    """The size sys.getsizeof gives, from the C-level `__sizeof__` of the type
    (see `_c_sizeof`) and `header`; with `sizeof` None, from sys.getsizeof
    itself (the caller opted in to Python-level `__sizeof__`)."""
    if sizeof is None:
        try:
            return sys.getsizeof(obj)
        except Exception:
            sizeof = vars(object)["__sizeof__"]
    if header < 0:
        # Classes are tracked by the collector only when they are heap types.
        header = _GC_HEADER if _type_flags(obj) & _HEAP_TYPE else 0
    try:
        size: int = sizeof(obj)
    except Exception:
        size = object.__sizeof__(obj)
    return size + header


def _sizing(tp: type, python_sizeof: bool) -> tuple[Any, int]:
    """How `_size_of` measures instances of `tp`."""
    sizeof = None if python_sizeof and _has_python_sizeof(tp) else _c_sizeof(tp)
    # 3.11 and 3.12 add the header to every class, as if all were tracked.
    per_object = issubclass(tp, type) and not (3, 11) <= sys.version_info[:2] < (3, 13)
    return sizeof, -1 if per_object else _header_size(tp)


def _line_format(tp: type, names: bool) -> str:
    type_json = encode_basestring(_type_name(tp)).replace("%", "%%")
    names_slot = "%s" if names else ""
    return ('{"id":%d,"type":' + type_json + ',"references":[%s]' + names_slot
            + ',"value":%s,"size":%d%s}\n')


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


# -- reference names ------------------------------------------------------------


def _key_name(key: Any) -> str:
    """The name of a dict value: its key, shown without running user code."""
    tp = type(key)
    if tp is str:
        text = str.__repr__(key[:_KEY_LIMIT]) + ("..." if len(key) > _KEY_LIMIT else "")
    elif tp is int or tp is bool:
        text = _int_text(key)[:_KEY_LIMIT]
    elif tp is float:
        text = float.__repr__(key)
    elif tp is bytes:
        text = bytes.__repr__(key[:_KEY_LIMIT]) + ("..." if len(key) > _KEY_LIMIT else "")
    elif key is None:
        text = "None"
    else:
        text = "<" + _type_name(tp) + ">"
    return "[" + text + "]"


def _dict_names(mapping: dict[Any, Any]) -> list[str | None]:
    """Names parallel to the references of a plain dict: each key, then its value."""
    names: list[str | None] = []
    append = names.append
    for key in mapping:
        append("<key>")
        append(_key_name(key))
    return names


def _names_json(names: list[str | None]) -> str:
    if not any(names):
        return ""
    return ',"names":[' + ",".join(
        "null" if name is None else encode_basestring(name) for name in names
    ) + "]"


def _by_identity(refs: list[Any], known: dict[int, str]) -> list[str | None]:
    get = known.get
    return [get(id(ref)) for ref in refs]


# The public attributes through which C-level objects of the standard library
# hold what users meet in leaks, read with the type's own C
# getter; only these: other getters may compute, allocate or import.
_C_FIELDS = {
    "_asyncio.Future": ("_loop", "_callbacks", "_result", "_exception", "_source_traceback",
                        "_cancel_message"),
    "_asyncio.Task": ("_coro", "_fut_waiter", "_context"),
    "numpy.ndarray": ("base",),
}

# Getters that build a new list of (callback, context) pairs: their items are named.
_EXPANDED = frozenset(("_callbacks",))


# C-level objects of the standard library that expose no attribute for what they hold: their
# fields in the order the type's traversal visits them (the same in CPython 3.11 to 3.14, after
# the type itself where the type is a heap type), each with whether it is ever empty.  Fields are
# named only when the count of referents leaves no doubt which is which: every field present, or
# exactly those never empty.  Iterators and buffers are what keep such leaks alive.
_TRAVERSED_FIELDS: dict[str, tuple[tuple[str, bool], ...]] = {
    "itertools.cycle": (("<iterator>", False), ("<saved>", True)),
    "itertools.chain": (("<source>", False), ("<active>", False)),
    "itertools.islice": (("<iterator>", False),),
    "itertools.groupby": (("<iterator>", True), ("<key function>", True), ("<target key>", False),
                          ("<current key>", False), ("<current value>", False)),
    "itertools._grouper": (("<parent>", True), ("<target key>", True)),
    "itertools._tee": (("<data>", True),),
    "itertools.starmap": (("<iterator>", True), ("<function>", True)),
    "itertools.dropwhile": (("<iterator>", True), ("<predicate>", True)),
    "itertools.takewhile": (("<iterator>", True), ("<predicate>", True)),
    "itertools.filterfalse": (("<iterator>", True), ("<predicate>", True)),
    "itertools.repeat": (("<element>", True),),
    "itertools.compress": (("<data>", True), ("<selectors>", True)),
    "itertools.zip_longest": (("<iterators>", True), ("<result>", True), ("<fill value>", True)),
    "itertools.product": (("<pools>", True), ("<result>", False)),
    "itertools.combinations": (("<pool>", True), ("<result>", False)),
    "itertools.batched": (("<iterator>", False),),
    # A memoryview holds its managed buffer, which holds what `memoryview.obj` gives.
    "builtins.memoryview": (("<buffer>", True),),
    "builtins.managedbuffer": (("<obj>", True),),
}

# The values a tee's data object buffers, at most this many before it links the next one.
_TEE_LINK_CELLS = 57


def _fields_of(tp: type, refs: list[Any]) -> list[Any]:
    """The referents that are fields: a heap type's traversal visits the type first."""
    if refs and refs[0] is tp and _type_flags(tp) & _HEAP_TYPE:
        return refs[1:]
    return refs


def _traversed_field_names(
    fields: tuple[tuple[str, bool], ...],
) -> Callable[[Any, list[Any]], list[str | None]]:
    every = [name for name, _ in fields]
    required = [name for name, always in fields if always]

    def name_fields(obj: Any, refs: list[Any]) -> list[str | None]:
        values = _fields_of(type(obj), refs)
        offset: list[str | None] = [".__class__"] * (len(refs) - len(values))
        if len(values) == len(every):
            return offset + list(every)
        if len(values) == len(required):
            return offset + list(required)
        return offset + [None] * len(values)

    return name_fields


def _tee_data_names(data: Any, refs: list[Any]) -> list[str | None]:
    """The source iterator, the values read from it and not yet passed on to every
    copy, and, once full, the next data object."""
    values = _fields_of(type(data), refs)
    names: list[str | None] = [".__class__"] * (len(refs) - len(values))
    if not values:
        return names
    names.append("<iterator>")
    buffered = len(values) - 1
    if buffered == _TEE_LINK_CELLS + 1 and type(values[-1]) is type(data):
        return names + ["<buffered>"] * _TEE_LINK_CELLS + ["<next>"]
    if buffered <= _TEE_LINK_CELLS:
        return names + ["<buffered>"] * buffered
    return names + [None] * buffered


def _lru_cache_names(wrapper: Any, refs: list[Any]) -> list[str | None]:
    """An `lru_cache` wrapper's referents, named by its traversal: the type, each link of a
    bounded cache (its key, its result, its type), the cache dict, the wrapped function, the
    keyword marker, the link and cache-info types, the instance dict.  The cache dict is
    exposed by no attribute; it is found by its place before the function, which the module's
    link type (the last type but one) anchors, and named only when every place checks out.
    The wrapped function is `.__wrapped__` when the instance dict says so."""
    names: list[str | None] = [None] * len(refs)
    anchor = -1
    for index in range(len(refs) - 2, 2, -1):
        candidate = refs[index]
        if type(candidate) is type and _type_name(candidate) == "functools._lru_list_elem":
            anchor = index
            break
    if anchor < 0 or type(refs[anchor - 3]) is not dict or type(refs[anchor + 1]) is not type:
        return names
    links = refs[1:anchor - 3]
    if refs[0] is not type(wrapper) or len(links) % 3 or any(
            links[i] is not refs[anchor] for i in range(2, len(links), 3)):
        return names
    names[0] = ".__class__"
    for start in range(1, anchor - 3, 3):
        names[start:start + 3] = ["<cache key>", "<cached result>", None]
    names[anchor - 3] = "<cache>"
    names[anchor - 2] = "<function>"
    names[anchor - 1] = "<keyword mark>"
    if anchor + 2 < len(refs) and type(refs[anchor + 2]) is dict:
        namespace = refs[anchor + 2]
        names[anchor + 2] = ".__dict__"
        if dict.get(namespace, "__wrapped__") is refs[anchor - 2]:
            names[anchor - 2] = ".__wrapped__"
    return names


def _loaded(module: str, name: str) -> Any:
    """`module.name` when the module is loaded, read from its namespace (no import, no
    attribute lookup that a replaced module could answer with code)."""
    loaded = sys.modules.get(module)
    if not issubclass(type(loaded), _ModuleType):
        return None
    return _module_dict(loaded).get(name)


def _attribute_referents() -> dict[type, Callable[[Any], list[Any]]]:
    """Types whose instances hold an object that their traversal does not report, with
    the referents of such an instance, that object included: an ndarray's `base` (the
    array or buffer whose memory a view uses), read with numpy's C getter when numpy is
    loaded (it is never imported here)."""
    ndarray = _loaded("numpy", "ndarray")
    if not issubclass(type(ndarray), type):
        return {}
    descriptor = _type_dict(ndarray).get("base")
    if type(descriptor) is not _GetSetType:
        return {}
    base_of = descriptor.__get__

    def with_base(array: Any) -> list[Any]:
        refs = gc.get_referents(array) if _type_flags(type(array)) & _HAVE_GC else []
        try:
            base = base_of(array)
        except Exception:
            return refs
        if base is not None and all(ref is not base for ref in refs):
            refs.append(base)
        return refs

    return {ndarray: with_base}


_function_code = vars(_FunctionType)["__code__"].__get__
_code_names = vars(_CodeType)["co_names"].__get__
_code_consts = vars(_CodeType)["co_consts"].__get__
_static_function = vars(staticmethod)["__func__"].__get__
_class_function = vars(classmethod)["__func__"].__get__
_property_functions = tuple(vars(property)[name].__get__ for name in ("fget", "fset", "fdel"))


def _codes_of(value: Any) -> list[Any]:
    """The code of a function a class defines (also as a static or class method, or a
    property's functions), read with the descriptors of those C types."""
    kind = type(value)
    if kind is staticmethod or kind is classmethod:
        value = (_static_function if kind is staticmethod else _class_function)(value)
        kind = type(value)
    if kind is property:
        return [_function_code(f) for f in (g(value) for g in _property_functions)
                if type(f) is _FunctionType]
    return [_function_code(value)] if kind is _FunctionType else []


def _instance_layout(tp: type) -> tuple[Any, list[tuple[str, Any]]]:
    """The getter of the instance dict (if the type has one) and the slot
    getters, both found as plain descriptors along the method resolution
    order, with the C getters of `_C_FIELDS`."""
    dict_getter = None
    slots: list[tuple[str, Any]] = []
    for base in _type_mro(tp):
        namespace = _type_dict(base)
        wanted = _C_FIELDS.get(_type_name(base), ())
        for name, descriptor in namespace.items():
            kind = type(descriptor)
            if name == "__dict__" and kind is _GetSetType and dict_getter is None:
                dict_getter = descriptor.__get__
            elif kind is _MemberType or (kind is _GetSetType and name in wanted):
                slots.append((name, descriptor.__get__))
    return dict_getter, slots


# -- frames -------------------------------------------------------------------


def _is_own_frame(frame: Any) -> bool:
    name = frame.f_globals.get("__name__")
    return isinstance(name, str) and (name == _PACKAGE or name.startswith(_PACKAGE + "."))


def _frame_referents(frame: Any, refs: list[Any]) -> list[Any]:
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


def _frame_names(frame: Any, refs: list[Any]) -> list[str | None]:
    known: dict[int, str] = {}
    try:
        frame_locals = frame.f_locals
    except Exception:
        frame_locals = frame.f_globals
    if frame_locals is not frame.f_globals:
        for name, value in frame_locals.items():
            known.setdefault(id(value), "<local " + str(name) + ">")
    for name in ("f_code", "f_globals", "f_builtins", "f_back", "f_trace"):
        try:
            known.setdefault(id(getattr(frame, name)), "." + name)
        except Exception:
            pass
    return _by_identity(refs, known)


class _FrameShot:
    """What the dump needs of a frame, read while its thread still runs it.

    A forked child has only the thread that forked; the frames other threads
    were executing then point into stacks the child no longer has, so the
    child must not touch those frame objects beyond their identity."""

    __slots__ = ("frame", "refs", "names", "size")

    def __init__(self, frame: Any, names: bool) -> None:
        self.frame = frame
        self.refs = _frame_referents(frame, gc.get_referents(frame))
        self.names = _frame_names(frame, self.refs) if names else None
        self.size = _size_of(frame, *_sizing(_FrameType, False))


def _capture_frames(own: set[int], names: bool) -> dict[int, _FrameShot]:
    """Every frame of every thread, except the frames of this package."""
    shots: dict[int, _FrameShot] = {}
    top = None
    for top in sys._current_frames().values():
        frame: Any = top
        while frame is not None:
            key = id(frame)
            if key in own:
                pass
            elif _is_own_frame(frame):
                own.add(key)
            elif key not in shots:
                shots[key] = _FrameShot(frame, names)
            frame = frame.f_back
    # This very call's frame is among the tops: kept in `top`, it would refer to
    # itself, a cycle that outlives the call.
    del top
    return shots


def _own_containers(own: set[int], shots: dict[int, _FrameShot]) -> set[int]:
    """`own` with the ids of the frame snapshot, which the collector lists too."""
    own.update((id(own), id(shots)))
    for shot in shots.values():
        own.update((id(shot), id(shot.refs)))
        if shot.names is not None:
            own.add(id(shot.names))
    return own


# -- the walk -----------------------------------------------------------------


def _dict_subclass_referents(mapping: dict[Any, Any]) -> list[Any]:
    """The referents and the keys: the collector skips the keys of
    dictionaries whose keys are all strings, yet the dictionary keeps them
    alive.  Plain dictionaries take the same shape inline in `_walk`."""
    refs = gc.get_referents(mapping)
    known = set(map(id, refs))
    refs.extend(key for key in dict.keys(mapping) if id(key) not in known)
    return refs


# CPython 3.12's `_asyncio` module names the iterators on its free list among
# its referents (its module traverse walks the list): objects already freed,
# with no references left.  A list of referents would raise their count from
# zero and, once dropped, free them a second time, linking the free list into a
# loop: the next `await` on a future finds its iterator "already tracked" and
# the process ends.  Its namespace holds all that its state lets a program reach.
_FREELIST_IN_TRAVERSE = sys.version_info[:2] == (3, 12)


def _module_referents(module: Any) -> list[Any]:
    namespace = _module_dict(module)
    if type(namespace) is dict and namespace.get("__name__") == "_asyncio":
        return [namespace]
    return gc.get_referents(module)


def _code_referents(code: Any) -> list[Any]:
    """What a code object holds; the collector does not traverse code objects."""
    return [getter(code) for getter in _CODE_GETTERS]


def _open_output(path: str, compress: bool) -> BinaryIO:
    if compress:
        import gzip

        return gzip.open(path, "wb", compresslevel=1)  # type: ignore[return-value]
    return open(path, "wb", buffering=1 << 20)


class _Namer:
    """Names the references of one object; resolved once per type."""

    # Its caches live as long as one dump: at module level they would be in the next.
    def __init__(self, materialize: bool) -> None:
        self.materialize = materialize
        self.closures: dict[int, list[str | None]] = {}
        self.layouts: dict[type, tuple[Any, list[tuple[str, Any]]]] = {}
        self.index_names: list[str] = []
        # Inline attributes are read without creating the dict where the native
        # walker is loaded (never imported mid-dump).
        walker = sys.modules.get("vesker._walker")
        self.inline_attributes = vars(walker).get("inline_attributes") if walker else None
        self.managed_dict = vars(walker).get("managed_dict") if walker else None
        collections = sys.modules.get("_collections")
        self.deque = vars(collections).get("deque") if collections is not None else None
        self.attribute_referents = _attribute_referents()
        self.attribute_names_of: dict[type, tuple[tuple[str, ...], bool]] = {}

    def indices(self, count: int) -> list[str]:
        index_names = self.index_names
        while len(index_names) < count:
            index_names.append("[" + str(len(index_names)) + "]")
        return index_names[:count]

    def for_type(self, tp: type) -> Callable[[Any, list[Any]], list[str | None]] | None:
        if tp is list or tp is tuple:
            return self.sequence
        if tp is self.deque:
            return self.deque_items
        if tp is _FunctionType:
            return self.function
        if tp is _CodeType:
            return lambda code, refs: list(_CODE_NAMES)
        if tp is _CellType:
            return lambda cell, refs: [".cell_contents"]
        if issubclass(tp, type):
            return self.cls
        if issubclass(tp, _ModuleType):
            return lambda module, refs: _by_identity(refs, {id(_module_dict(module)): ".__dict__"})
        if issubclass(tp, dict):
            return self.mapping
        c_level = self.c_level(tp)
        if c_level is not None:
            return c_level
        if any(issubclass(tp, holder) for holder in self.attribute_referents):
            return self.instance
        if not tp.__flags__ & _HAVE_GC:
            return None
        return self.instance

    def c_level(self, tp: type) -> Callable[[Any, list[Any]], list[str | None]] | None:
        """The naming of a C-level type of the standard library (or of numpy) whose fields
        are no attributes, found by its module's own object, never by its name alone."""
        name = _type_name(tp)
        module, _, attribute = name.rpartition(".")
        if _type_flags(tp) & _HEAP_TYPE and _loaded(
                "_functools" if module == "functools" else module, attribute) is not tp:
            return None
        if name == "functools._lru_cache_wrapper":
            return _lru_cache_names
        if name == "itertools._tee_dataobject":
            return _tee_data_names
        fields = _TRAVERSED_FIELDS.get(name)
        if fields is not None:
            return _traversed_field_names(fields)
        return None

    def sequence(self, obj: Any, refs: list[Any]) -> list[str | None]:
        count = len(refs)
        names: list[str | None] = self.closures.pop(id(obj), []) or list(self.indices(count))
        # The collector visits list and tuple items from the last to the first.
        if count > 1 and count == len(obj) and refs[0] is obj[-1] and refs[0] is not obj[0]:
            names.reverse()
        return names

    def deque_items(self, items: Any, refs: list[Any]) -> list[str | None]:
        known: dict[int, str] = {}
        for index, item in enumerate(items):
            known.setdefault(id(item), "[" + str(index) + "]")
        self.attributes(items, known)
        return _by_identity(refs, known)

    def function(self, function: Any, refs: list[Any]) -> list[str | None]:
        known: dict[int, str] = {}
        for name, getter in _FUNCTION_ATTRIBUTES:
            value = getter(function)
            if value is not None:
                known.setdefault(id(value), "." + name)
        closure = vars(_FunctionType)["__closure__"].__get__(function)
        if closure:
            free = function.__code__.co_freevars
            self.closures[id(closure)] = ["<cell " + name + ">" for name in free]
        return _by_identity(refs, known)

    def cls(self, tp: type, refs: list[Any]) -> list[str | None]:
        known: dict[int, str] = {}
        for name, getter in ((".__mro__", _type_mro), (".__bases__", _type_bases),
                             (".__base__", _type_base)):
            try:
                known.setdefault(id(getter(tp)), name)
            except Exception:
                pass
        for proxy_target in gc.get_referents(_type_dict(tp)):
            known.setdefault(id(proxy_target), ".__dict__")
        known.setdefault(id(type(tp)), ".__class__")
        return _by_identity(refs, known)

    def mapping(self, mapping: Any, refs: list[Any]) -> list[str | None]:
        known: dict[int, str] = {}
        for key, value in dict.items(mapping):
            known.setdefault(id(value), _key_name(key))
            known.setdefault(id(key), "<key>")
        self.attributes(mapping, known)
        return _by_identity(refs, known)

    def layout(self, tp: type) -> tuple[Any, list[tuple[str, Any]]]:
        found = self.layouts.get(tp)
        if found is None:
            found = self.layouts[tp] = _instance_layout(tp)
        return found

    def instance(self, obj: Any, refs: list[Any]) -> list[str | None]:
        known: dict[int, str] = {}
        self.attributes(obj, known, refs)
        return _by_identity(refs, known)

    def attributes(self, obj: Any, known: dict[int, str], refs: list[Any] | None = None) -> None:
        tp = type(obj)
        dict_getter, slots = self.layout(tp)
        for name, getter in slots:
            try:
                value = getter(obj)
            except Exception:
                continue
            known.setdefault(id(value), "." + name)
            if name in _EXPANDED and type(value) is list:
                for pair in value:
                    for item in pair if type(pair) is tuple else (pair,):
                        known.setdefault(id(item), "." + name)
        if dict_getter is not None and self.materialize:
            try:
                namespace = dict_getter(obj)
            except Exception:
                namespace = None
            if type(namespace) is dict:
                known.setdefault(id(namespace), ".__dict__")
                for key, value in namespace.items():
                    if type(key) is str:
                        known.setdefault(id(value), "." + key)
        elif dict_getter is not None and self.inline_attributes is not None:
            for key, value in self.inline_attributes(obj) or ():
                if type(key) is str:
                    known.setdefault(id(value), "." + key)
            if self.managed_dict is not None and (namespace := self.managed_dict(obj)) is not None:
                known.setdefault(id(namespace), ".__dict__")
        elif dict_getter is not None and refs:
            self.read_attributes(obj, tp, known, refs)
        known.setdefault(id(tp), ".__class__")

    def read_attributes(self, obj: Any, tp: type, known: dict[int, str], refs: list[Any]) -> None:
        """Names the referents that are attributes of `obj`, kept inline or in its dict, by
        reading them through the generic lookup (`object.__getattribute__`), which neither
        creates the dict nor runs code of the program for a name that its class and bases
        do not define; the names tried are those the code of the class and its bases uses
        (`co_names`).  What only code elsewhere set stays unnamed, never misnamed: a name is
        given only to the very object the lookup returns."""
        names, plain = self.attribute_names(tp)
        unnamed = {id(ref) for ref in refs if id(ref) not in known}
        unnamed.discard(id(tp))
        for name in names:
            if not unnamed:
                return
            if plain:
                value = getattr(obj, name, known)  # misses cost no exception
            else:
                try:
                    value = object.__getattribute__(obj, name)
                except Exception:
                    continue
            if id(value) in unnamed:
                unnamed.discard(id(value))
                known.setdefault(id(value), "." + name)

    def attribute_names(self, tp: type) -> tuple[tuple[str, ...], bool]:
        """The names that the functions of `tp` and its bases use which none of those
        classes defines, and whether plain `getattr` looks them up generically (no base
        but `object` has a `__getattribute__` or `__getattr__` of its own)."""
        found = self.attribute_names_of.get(tp)
        if found is not None:
            return found
        defined: set[str] = set()
        plain = True
        codes: list[Any] = []
        for base in _type_mro(tp):
            namespace = _type_dict(base)
            defined.update(namespace)
            if base is object:
                continue
            if "__getattribute__" in namespace or "__getattr__" in namespace:
                plain = False
            for value in namespace.values():
                codes.extend(_codes_of(value))
        used: dict[str, None] = {}
        met: set[int] = set()
        while codes:
            code = codes.pop(0)
            if id(code) in met:
                continue
            met.add(id(code))
            for name in _code_names(code):
                if type(name) is str and name not in defined:
                    used.setdefault(name)
            codes.extend(c for c in _code_consts(code) if type(c) is _CodeType)
        found = self.attribute_names_of[tp] = (tuple(used), plain)
        return found


def _walk(
    roots: list[Any],
    seen: set[int],
    excluded: set[int],
    write: Callable[[bytes], object],
    *,
    frames: dict[int, _FrameShot],
    namer: _Namer | None = None,
    progress: Callable[[int], object] | None = None,
    python_sizeof: bool = False,
) -> tuple[int, int]:
    """Write one line per object reachable from `roots` that is not in `seen`;
    give the count written and the count of references left without a record."""
    formats: dict[type, tuple[str, int, Any, Any, Any]] = {}
    keep: list[Any] = []  # holds every written object so that no id is reused meanwhile
    stack: list[Any] = []
    batch: list[str] = []
    site_of = _SiteKeys.when_tracing()
    attribute_referents = _attribute_referents()
    excluded.update(map(id, (formats, keep, stack, batch, attribute_referents)))
    if site_of is not None:
        excluded.update(site_of.own_ids())
    seen.update(excluded)
    before = len(seen)

    seen_add = seen.add
    push = stack.append
    pop = stack.pop
    keep_append = keep.append
    batch_append = batch.append
    size_of = _size_of
    join = ",".join
    value_json = _value_json
    names_json = _names_json
    from_iterable = chain.from_iterable
    dict_items = dict.items
    frame_shots = frames
    count = 0

    def frame_referents(frame: Any) -> list[Any]:
        refs = _frame_referents(frame, gc.get_referents(frame))
        return [r for r in refs if id(r) not in excluded]

    def traceback_referents(traceback: Any) -> list[Any]:
        return [r for r in gc.get_referents(traceback) if id(r) not in excluded]

    # An instance whose attributes are inline reports them, not the __dict__ made for it
    # when someone asked: without this edge the dict would look held by nothing, and the
    # attributes by two owners.
    walker = sys.modules.get("vesker._walker")
    managed_dict = vars(walker).get("managed_dict") if walker and _INLINE_VALUES else None

    def instance_referents(obj: Any) -> list[Any]:
        refs = gc.get_referents(obj)
        namespace = managed_dict(obj)  # type: ignore[misc]
        if namespace is not None and not any(r is namespace for r in refs):
            refs.append(namespace)
        return refs

    def resolve(tp: type) -> tuple[str, int, Any, Any, Any]:
        referents: Callable[[Any], list[Any]] | None = None
        if issubclass(tp, _FrameType):
            referents = frame_referents
        elif issubclass(tp, _TracebackType):
            referents = traceback_referents
        elif issubclass(tp, dict) and tp is not dict:
            referents = _dict_subclass_referents
        elif issubclass(tp, _CodeType):
            referents = _code_referents
        elif _FREELIST_IN_TRAVERSE and issubclass(tp, _ModuleType):
            referents = _module_referents
        elif tp.__flags__ & _HAVE_GC:
            referents = (instance_referents if managed_dict is not None and tp.__flags__ & _INLINE_VALUES
                         else gc.get_referents)
        for holder, holder_referents in attribute_referents.items():
            if issubclass(tp, holder):
                referents = holder_referents
        naming = None
        if namer is not None:
            naming = _frame_names if referents is frame_referents else namer.for_type(tp)
        return (_line_format(tp, namer is not None), _value_kind(tp), referents, naming,
                _sizing(tp, python_sizeof))

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
                line_format, kind, referents, naming, sizeof = formats[tp]
            except (KeyError, TypeError):
                line_format, kind, referents, naming, sizeof = resolve(tp)
                try:
                    formats[tp] = (line_format, kind, referents, naming, sizeof)
                except TypeError:
                    pass  # a metaclass without hashing: resolve again next time
            shot = None
            if tp is dict:
                refs = list(from_iterable(dict_items(obj)))
            elif referents is frame_referents and id(obj) in frame_shots:
                shot = frame_shots[id(obj)]
                refs = [r for r in shot.refs if id(r) not in excluded]
            elif referents is not None:
                refs = referents(obj)
            else:
                refs = None
            names = None
            if refs and namer is not None:
                try:
                    if shot is not None:
                        names = [n for r, n in zip(shot.refs, shot.names or ())
                                 if id(r) not in excluded]
                    elif tp is dict:
                        names = _dict_names(obj)
                    elif naming is not None:
                        names = naming(obj, refs)
                    if names is not None and len(names) != len(refs):
                        names = None
                except Exception:
                    names = None
            if refs:
                mine = False
                for ref in refs:
                    ref_id = id(ref)
                    if ref_id not in seen:
                        seen_add(ref_id)
                        push(ref)
                    elif ref_id in excluded:
                        mine = True
                if mine:
                    # A reference to an object of the dumper's own (a running frame
                    # of it, a module it imported): it has no record, so no edge.
                    kept = [id(ref) not in excluded for ref in refs]
                    if names is not None:
                        names = [n for n, k in zip(names, kept) if k]
                    refs = [r for r, k in zip(refs, kept) if k]
                refs_text = join(map(str, map(id, refs)))
            else:
                refs_text = ""
            size = shot.size if shot is not None else size_of(obj, *sizeof)
            value = value_json(kind, obj) if kind else "null"
            site = site_of(obj) if site_of is not None else ""
            if namer is None:
                batch_append(line_format % (id(obj), refs_text, value, size, site))
            else:
                names_text = names_json(names) if names else ""
                batch_append(line_format % (id(obj), refs_text, names_text, value, size, site))
            count += 1
            if len(batch) >= _BATCH:
                write("".join(batch).encode("utf-8", "replace"))
                batch.clear()
                if progress is not None:
                    progress(count)
    if batch:
        write("".join(batch).encode("utf-8", "replace"))
        batch.clear()
    keep.clear()
    # Every id met and not left out was written: any other is a reference without a record.
    dangling = len(seen) - before - count
    return count, dangling


# The file name the dumper's code was compiled under: its own path, or the name the attach
# gives the source it carries into another process (which has no __file__ for it).
_OWN_FILE = _nothing.__code__.co_filename


class _SiteKeys:
    """The keys a record gets for its allocation site: `,"site":K`, and the site's frames the
    first time K is written; nothing for an object tracemalloc does not know."""

    @classmethod
    def when_tracing(cls) -> _SiteKeys | None:
        # Each lookup costs microseconds: none is made when tracemalloc does not trace.
        if _tracemalloc is None or not _tracemalloc.is_tracing():
            return None
        return cls(_tracemalloc._get_object_traceback)

    def __init__(self, traceback_of: Callable[[Any], Any]) -> None:
        self._traceback_of = traceback_of  # tracemalloc's C lookup, most recent frame first
        self._keys: dict[Any, str] = {}
        self._written = 0
        self._functions = _FunctionNames()

    def own_ids(self) -> list[int]:
        return [id(self), id(self._keys), id(self._functions)]

    def __call__(self, obj: Any) -> str:
        allocation = self._traceback_of(obj)
        if allocation is None:
            return ""
        known = self._keys.get(allocation)
        if known is not None:
            return known
        if allocation[0][0] == _OWN_FILE:
            # Made by this dump (a frame object asked for, a dict named): no site of the program's.
            self._keys[allocation] = ""
            return ""
        keys = ',"site":%d' % self._written
        self._keys[allocation] = keys
        self._written += 1
        return keys + ',"site_frames":' + _frames_json(allocation, self._functions)


def _last_line(code: Any) -> int:
    if hasattr(code, "co_lines"):
        lines: list[int] = [line for _, _, line in code.co_lines() if line is not None]
        first: int = code.co_firstlineno
        return max(lines, default=first)
    table = code.co_lnotab  # 3.9: pairs of offset and signed line increments
    line: int = code.co_firstlineno
    last = line
    for step in table[1::2]:
        line += step - 256 if step >= 128 else step
        last = max(last, line)
    return last


class _FunctionNames:
    """The function a line of a file lies in, read from the code objects of the live functions
    (tracemalloc records files and lines only); built once, at the first site a dump meets."""

    def __init__(self) -> None:
        self._by_file: dict[str, list[tuple[int, int, str]]] | None = None

    def _index(self) -> dict[str, list[tuple[int, int, str]]]:
        by_file: dict[str, list[tuple[int, int, str]]] = {}
        codes = [obj.__code__ for obj in gc.get_objects() if type(obj) is _FunctionType]
        met: set[int] = set()
        while codes:
            code = codes.pop()
            if id(code) in met or type(code) is not _CodeType:
                continue
            met.add(id(code))
            name = getattr(code, "co_qualname", code.co_name)
            if type(code.co_filename) is str and type(name) is str:
                by_file.setdefault(code.co_filename, []).append(
                    (code.co_firstlineno, _last_line(code), name))
            codes.extend(c for c in code.co_consts if type(c) is _CodeType)
        return by_file

    def name(self, file: str, line: int) -> str | None:
        if self._by_file is None:
            self._by_file = self._index()
        # The innermost function around the line; a comprehension or lambda on the line is
        # part of its enclosing function's line too, and says less, so it comes second.
        best: tuple[bool, int, str] | None = None
        for first, last, name in self._by_file.get(file, ()):
            if first <= line <= last:
                candidate = (not name.endswith(">"), first, name)
                if best is None or candidate > best:
                    best = candidate
        return None if best is None else best[2]


def _frames_json(frames: Any, functions: _FunctionNames) -> str:
    parts = []
    for file, line in frames:
        file, line = str.__str__(file), int(line)
        name = functions.name(file, line)
        parts.append("[%s,%d,%s]" % (encode_basestring(file), line,
                                      "null" if name is None else encode_basestring(name)))
    return "[" + ",".join(parts) + "]"


def allocation_frames() -> int | None:
    """How many frames tracemalloc records per allocation, or None when it does not trace."""
    if _tracemalloc is None or not _tracemalloc.is_tracing():
        return None
    frames: int = _tracemalloc.get_traceback_limit()
    return frames


# -- identity and file names ------------------------------------------------------


def _python_version() -> str:
    version = sys.version_info
    text = "%d.%d.%d" % version[:3]
    if version.releaselevel != "final":
        text += {"alpha": "a", "beta": "b", "candidate": "rc"}.get(version.releaselevel, "")
        text += str(version.serial)
    return text


def _utc_text(when: float) -> str:
    return time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(when)) + ".%03dZ" % (
        int(when * 1000) % 1000
    )


def dump_identity(
    when: float | None = None,
    pid: int | None = None,
    *,
    mode: str = "in-process",
    names: bool = False,
) -> dict[str, Any]:
    """Which process and interpreter a dump comes from, when it was taken,
    the process's memory then, and how the dump was taken (the sidecar)."""
    own = pid is None or pid == os.getpid()
    identity: dict[str, Any] = {
        "pid": os.getpid() if pid is None else pid,
        "python": _python_version(),
        "implementation": sys.implementation.name,
        "time": _utc_text(time.time() if when is None else when),
        "host": os.uname().nodename if hasattr(os, "uname") else os.environ.get("COMPUTERNAME", ""),
    }
    started = _process_start(identity["pid"])
    if started is not None:
        identity["started"] = started
    identity["executable"] = sys.executable if type(sys.executable) is str else None
    identity["argv"] = ([str.__str__(a) for a in sys.argv if isinstance(a, str)]
                        if own and isinstance(getattr(sys, "argv", None), list) else _cmdline(pid))
    identity["memory"] = _memory(identity["pid"])
    identity["dump"] = {"mode": mode, "names": names, "dumper": DUMPER_VERSION}
    frames = allocation_frames() if own else None
    if frames is not None:
        identity["dump"]["allocation_frames"] = frames
    return identity


def _cmdline(pid: int | None) -> list[str]:
    try:
        with open("/proc/%d/cmdline" % (os.getpid() if pid is None else pid), "rb") as handle:
            arguments = handle.read().split(b"\0")
    except OSError:
        return []
    return [a.decode("utf-8", "replace") for a in arguments[:-1]]


def _memory(pid: int) -> dict[str, int | None]:
    """Resident and anonymous memory from /proc (cheap: no walk of the
    mappings).  The allocator's own figure stays null: CPython offers none
    that does not print or walk every arena."""
    memory: dict[str, int | None] = {"resident": None, "anonymous": None, "allocator": None}
    try:
        lines = _read_proc("/proc/%d/status" % pid).splitlines()
    except OSError:
        return memory
    for line in lines:
        key, _, value = line.partition(":")
        field = {"VmRSS": "resident", "RssAnon": "anonymous"}.get(key)
        parts = value.split()
        if field is not None and parts and parts[0].isdigit():
            memory[field] = int(parts[0]) * 1024
    return memory


def _process_start(pid: int) -> str | None:
    """The boot and the clock tick a process started at (Linux): unlike the pid,
    which a container gives to every restart alike, it names one process."""
    try:
        boot = _read_proc("/proc/sys/kernel/random/boot_id").strip()
        fields = _read_proc("/proc/%d/stat" % pid).rpartition(")")[2].split()
    except OSError:
        return None
    return boot + ":" + fields[19]


def _read_proc(path: str) -> str:
    # Bytes decoded by the built-in codec: a text file would import an
    # encoding module the program may not have loaded.
    with open(path, "rb") as handle:
        return handle.read().decode("utf-8", "replace")


def _json_text(value: Any) -> str:
    """JSON for the sidecar's plain values, without importing json."""
    if value is None:
        return "null"
    if value is True or value is False:
        return "true" if value else "false"
    if isinstance(value, int):
        return str(int(value))
    if isinstance(value, str):
        return encode_basestring(value)
    if isinstance(value, dict):
        return "{" + ", ".join(encode_basestring(key) + ": " + _json_text(item)
                               for key, item in value.items()) + "}"
    return "[" + ", ".join(_json_text(item) for item in value) + "]"


def _identity_json(identity: dict[str, Any]) -> str:
    return _json_text(identity) + "\n"


def _split_name(path: str) -> tuple[str, str]:
    """The file name's stem and its suffixes: "d/a.heap.jsonl" -> ("d/a", ".heap.jsonl")."""
    directory, name = os.path.split(path)
    dot = name.find(".", 1)
    if dot < 0:
        return path, ""
    return os.path.join(directory, name[:dot]), name[dot:]


def distinct_path(path: str | os.PathLike[str], when: float | None = None, attempt: int = 1) -> str:
    """`path` with a UTC time stamp (and from the second attempt on a counter)
    before its suffixes, so that successive dumps get distinct names."""
    stem, suffix = _split_name(os.fspath(path))
    stamp = time.strftime("%Y%m%dT%H%M%SZ", time.gmtime(time.time() if when is None else when))
    counter = "" if attempt <= 1 else "-" + str(attempt)
    return stem + "-" + stamp + counter + suffix


def _claim(target: str, distinct: bool, when: float, sidecar: str | None,
           attempt: int = 1) -> tuple[str, int]:
    """The name the dump will have, its sidecar written already so that it is
    there before the dump's first record; and the attempt it took.

    With `distinct` the name is claimed by creating its sidecar with O_EXCL,
    so that two processes dumping in the same second never take one name."""
    while True:
        name = distinct_path(target, when, attempt) if distinct else target
        attempt += 1
        if not distinct:
            if sidecar is not None:
                with open(name + ".meta.json.partial", "w", encoding="utf-8") as handle:
                    handle.write(sidecar)
                os.replace(name + ".meta.json.partial", name + ".meta.json")
            return name, attempt
        try:
            handle = open(name + ".meta.json", "x", encoding="utf-8")
        except FileExistsError:
            continue
        with handle:
            handle.write(sidecar if sidecar is not None else "")
        if os.path.lexists(name):  # a dump without a sidecar took the name
            os.unlink(name + ".meta.json")
            continue
        if sidecar is None:
            os.unlink(name + ".meta.json")
        return name, attempt


def _place(temporary: str, name: str, target: str, distinct: bool, when: float,
           sidecar: str | None, attempt: int) -> str:
    """Move the complete dump to the name `_claim` gave it; with `distinct`,
    never over another file (one that appeared meanwhile gives a new name)."""
    while True:
        if not distinct:
            os.replace(temporary, name)
            return name
        try:
            os.link(temporary, name)
        except FileExistsError:
            if sidecar is not None:
                os.unlink(name + ".meta.json")
            name, attempt = _claim(target, distinct, when, sidecar, attempt)
            continue
        except OSError:
            # Without hard links, a rename that could replace a file created
            # in the meantime, so check first.
            if os.path.lexists(name):
                if sidecar is not None:
                    os.unlink(name + ".meta.json")
                name, attempt = _claim(target, distinct, when, sidecar, attempt)
                continue
            os.replace(temporary, name)
            return name
        os.unlink(temporary)
        return name


# -- dumping ------------------------------------------------------------------------


_dump_lock = _thread.allocate_lock()


def _hold_still() -> tuple[bool, float]:
    """Holds other threads and the collector off while the heap is read; gives
    what `_let_go` needs to restore both.  (Plain values: an object kept for
    this would itself be among the objects the collector lists.)"""
    state = gc.isenabled(), sys.getswitchinterval()
    gc.disable()
    sys.setswitchinterval(1e6)
    return state


def _let_go(collecting: bool, interval: float) -> None:
    sys.setswitchinterval(interval)
    if collecting:
        gc.enable()


def _fork(excluded: set[int]) -> int:
    """os.fork, with the parent's heap put back in the child as far as the
    standard library's fork hooks change it.

    fork(2) alone would leave the interpreter's own state (its lock, which a
    thread waiting for it had asked to be handed over) for threads the child
    no longer has, and the child would wait for them forever; os.fork resets
    that state, and runs the fork hooks.  threading's hook forgets every other
    thread and replaces its tables and shutdown locks: its module globals and
    thread tables are put back in the child from copies taken before the fork.
    os.fork of a process with threads warns (3.12 and later); changing the
    warning filters to silence it would clear every module's
    `__warningregistry__` at the next warning, so the filters stay as they
    are: the warning is filed under a module name of its own, which the
    default filters ignore, and its registry entry goes to a namespace that
    lives only for this call.  What this makes exists in the child when it
    lists the heap, so it joins `excluded`."""
    threading = sys.modules.get("threading")
    saved: list[tuple[dict[Any, Any], dict[Any, Any]]] = []
    if threading is not None:
        namespace_of_threading = _module_dict(threading)
        for table in (namespace_of_threading, namespace_of_threading.get("_active"),
                      namespace_of_threading.get("_limbo")):
            if type(table) is dict:
                saved.append((table, dict.copy(table)))
    namespace: dict[str, Any] = {"__name__": "vesker.dumper.fork", "fork": os.fork}
    exec("def call():\n    return fork()\n", namespace)
    call = namespace["call"]
    excluded.update((id(namespace), id(call), id(call.__code__), id(saved)))
    excluded.update(id(copy) for _, copy in saved)
    excluded.update(id(pair) for pair in saved)
    try:
        pid: int = call()
    finally:
        namespace.clear()
    if pid == 0:
        for table, copy in saved:
            dict.clear(table)
            dict.update(table, copy)
    saved.clear()
    return pid


def _extend_without(into: list[Any], objects: list[Any], leave_out: set[int]) -> None:
    # Apart from `_write_dump`, where a closure over `leave_out` would make a
    # cell before the collector's snapshot, and so one more object to dump.
    into.extend(obj for obj in objects if id(obj) not in leave_out)


def _write_dump(
    target: str,
    compress: bool,
    shots: dict[int, _FrameShot],
    excluded: set[int],
    *,
    names: bool,
    materialize: bool,
    meta: bool,
    distinct: bool,
    roots: tuple[list[Any], set[int], set[int]] | set[int] | None,
    progress: Callable[[int], object] | None,
    identity: dict[str, Any] | None = None,
    mode: str = "in-process",
    native: bool = False,
    python_sizeof: bool = False,
) -> DumpStats:
    started = time.perf_counter()
    when = time.time()
    sidecar = None
    if meta:
        if identity is None:
            # A dump at the script's end or on a signal says so, whichever walker wrote it.
            named_mode = "native" if native and mode == "in-process" else mode
            identity = dump_identity(when, mode=named_mode, names=names)
        sidecar = _identity_json(identity)
    del identity
    chosen, attempt = _claim(target, distinct, when, sidecar)
    directory, name = os.path.split(os.path.abspath(chosen))
    temporary = os.path.join(directory, "." + name + "." + str(os.getpid()) + ".partial")
    root_list: list[Any] = []
    excluded.add(id(root_list))
    root_list.extend(shot.frame for shot in shots.values())
    # The snapshot is taken before the output file and the traversal's
    # containers exist, so none of them is among the roots.
    tracked = gc.get_objects()
    excluded.add(id(tracked))
    if roots is None:
        root_list.extend(sys.modules.values())
        root_list.extend(tracked)
    elif isinstance(roots, set):
        # Objects of a caller that ran before the program (a command line, its
        # parser): no roots, yet written when the program's objects reach them.
        root_list.extend(sys.modules.values())
        _extend_without(root_list, tracked, roots)
    else:
        # A caller that came from outside: the modules loaded before it came, the
        # young objects there were then (with the collector off since, the objects
        # made after that are young too: the caller's own, which must not be roots,
        # and a few of other threads, which references still reach), and its own.
        modules, young, own = roots
        excluded.update(own)
        newer = {id(obj) for obj in gc.get_objects(0)}
        newer.difference_update(young)
        newer.update(own)
        root_list.extend(modules)
        _extend_without(root_list, tracked, newer)
        del newer
    # Once freed, the list's address may go to a new object of the program,
    # which must not then be taken for ours.
    excluded.discard(id(tracked))
    del tracked
    seen: set[int] = set()
    excluded.add(id(seen))
    namer = _Namer(materialize) if names else None
    try:
        with _open_output(temporary, compress) as out:
            if native:
                count, dangling = _native_walk(root_list, excluded, out.write, shots, progress,
                                               python_sizeof, namer)
            else:
                count, dangling = _walk(root_list, seen, excluded, out.write, frames=shots,
                                        namer=namer, progress=progress,
                                        python_sizeof=python_sizeof)
        root_list.clear()
        seen.clear()
        placed = _place(temporary, chosen, target, distinct, when, sidecar, attempt)
    except BaseException:
        for leftover in (temporary, chosen + ".meta.json" if distinct and meta else None):
            try:
                if leftover is not None:
                    os.unlink(leftover)
            except OSError:
                pass
        raise
    seconds = time.perf_counter() - started
    return DumpStats(placed, count, os.path.getsize(placed), seconds, dangling)


def _native_walk(
    roots: list[Any],
    excluded: set[int],
    write: Callable[[bytes], object],
    frames: dict[int, _FrameShot],
    progress: Callable[[int], object] | None,
    python_sizeof: bool,
    namer: _Namer | None = None,
) -> tuple[int, int]:
    """The walk of `_walk` by the native walker, which names the references of
    dicts, lists and tuples itself and asks `namer` for the others."""
    from vesker import _walker  # type: ignore[attr-defined]

    def frame_referents(frame: Any) -> list[Any]:
        refs = _frame_referents(frame, gc.get_referents(frame))
        return [r for r in refs if id(r) not in excluded]

    table = {}
    for key, shot in frames.items():
        kept = [id(r) not in excluded for r in shot.refs]
        names = None if shot.names is None else [n for n, k in zip(shot.names, kept) if k]
        table[key] = ([r for r, k in zip(shot.refs, kept) if k], shot.size, names)
    excluded.add(id(table))
    for refs, _, names in table.values():
        excluded.update((id(refs), id(names)))
    site_of = _SiteKeys.when_tracing()
    if site_of is not None:
        excluded.update(site_of.own_ids())
    attribute_referents = _attribute_referents()
    excluded.add(id(attribute_referents))
    options: dict[str, Any] = {"python_sizeof": python_sizeof, "site": site_of,
                               "attribute_referents": attribute_referents}
    if namer is not None:
        namings: dict[type, Any] = {}

        def name_references(obj: Any, refs: list[Any]) -> list[str | None] | None:
            tp = type(obj)
            try:
                naming = namings[tp]
            except (KeyError, TypeError):
                naming = _frame_names if issubclass(tp, _FrameType) else namer.for_type(tp)
                try:
                    namings[tp] = naming
                except TypeError:
                    pass
            if naming is None:
                return None
            try:
                names = naming(obj, refs)
            except Exception:
                return None
            return names if len(names) == len(refs) else None

        def class_only(tp: type) -> bool:
            # A plain instance whose only named reference is its class: named natively.
            if issubclass(tp, _FrameType) or namer.for_type(tp) != namer.instance:
                return False
            return not namer.materialize and not namer.layout(tp)[1]

        options.update(namer=name_references, closures=namer.closures, class_only=class_only)
    counts: tuple[int, int] = _walker.walk(roots, excluded, table, frame_referents, write,
                                           progress, **options)
    return counts


def native_walker_available() -> bool:
    """Whether the native walker is built for this interpreter."""
    try:
        from vesker import _walker  # type: ignore[attr-defined]  # noqa: F401
    except ImportError:
        return False
    return True


def dump_heap(
    path: str | os.PathLike[str],
    *,
    compress: bool | None = None,
    names: bool = False,
    native: bool = False,
    meta: bool = True,
    distinct: bool = False,
    materialize: bool = False,
    python_sizeof: bool = False,
    progress: Callable[[int], object] | None = None,
    mode: str = "in-process",
    _roots: tuple[list[Any], set[int], set[int]] | set[int] | None = None,
) -> DumpStats:
    """Write the heap of this interpreter to `path` as JSON Lines.

    The file is gzip-compressed when `compress` is true, or, when it is None,
    when the path ends in ".gz".  The dump goes to a temporary file beside
    `path` and is renamed into place once complete, so `path` never holds a
    partial dump; with `distinct` the name gets a time stamp (see
    `distinct_path`) and never replaces an existing file.  `names` adds the
    names of references; `meta` (the default) writes the sidecar
    `PATH.meta.json` before the first record; `materialize` lets the dumper
    create instance dictionaries to name their attributes (a change to the
    process: only for a process that is done).  `python_sizeof` measures
    objects whose type defines `__sizeof__` in Python by calling it (program
    code: off by default).  `native` walks with the native walker (see
    `native_walker_available`), which writes the same lines, names included,
    several times faster.  `progress` is called with the count of objects
    written so far; `mode` is what the sidecar says of how the dump was taken.
    Other threads are held off as far as the interpreter allows (switch
    interval raised, collector paused) so that the heap stays still.
    """
    target = os.fspath(path)
    if compress is None:
        compress = target.endswith(".gz")
    # No `with` here: the lock's bound exit method would wait on the frame's
    # stack, one more object among those the collector lists.
    _dump_lock.acquire()
    collecting, interval = _hold_still()
    try:
        own: set[int] = {id(sys._getframe())}
        shots = _capture_frames(own, names)
        excluded = _own_containers(own, shots)
        return _write_dump(target, compress, shots, excluded, names=names,
                           materialize=materialize, meta=meta, distinct=distinct,
                           roots=_roots, progress=progress, native=native, mode=mode,
                           python_sizeof=python_sizeof)
    finally:
        _let_go(collecting, interval)
        _dump_lock.release()


def _reap(pid: int, waitpid: Callable[[int, int], object] = os.waitpid) -> None:
    try:
        waitpid(pid, 0)
    except ChildProcessError:
        pass  # the program reaps its children itself


def fork_dump(
    path: str | os.PathLike[str],
    *,
    compress: bool | None = None,
    names: bool = True,
    meta: bool = True,
    distinct: bool = True,
    python_sizeof: bool = False,
    progress: Callable[[int], object] | None = None,
    done: Callable[[DumpStats], object] | None = None,
    failed: Callable[[BaseException], object] | None = None,
    mode: str = "fork",
    reap: bool = True,
    _roots: tuple[list[Any], set[int], set[int]] | set[int] | None = None,
) -> int:
    """Dump the heap from a forked copy of this process; returns the child's pid.

    The process pauses only to read its threads' frames and memory figures
    and to fork: the child writes the sidecar and the dump from its copy of
    the heap, calls `done` (or `failed`) and exits with status 0 (or 1); the
    parent goes on at once, and with `reap` a small thread reaps the child
    (without, the caller waits for it: `os.waitpid`).  Locks held by other
    threads at the fork stay held in the child, so the child runs nothing but
    the walk and plain file writes.
    """
    target = os.fspath(path)
    if compress is None:
        compress = target.endswith(".gz")
    _dump_lock.acquire()  # as in dump_heap, without `with`
    collecting, interval = _hold_still()
    try:
        own: set[int] = {id(sys._getframe())}
        shots = _capture_frames(own, names)
        excluded = _own_containers(own, shots)
        # Read here, not in the child: the figures of the process being dumped.
        identity = dump_identity(mode=mode, names=names) if meta else None
        if identity is not None:
            excluded.update(_ids_within(identity))
        pid = _fork(excluded)
        if pid == 0:
            code = 1
            try:
                # The native walker when the program has it loaded: the child then
                # holds its copy of the heap for less time.
                stats = _write_dump(target, compress, shots, excluded, names=names,
                                    materialize=True, meta=meta, distinct=distinct,
                                    roots=_roots, progress=progress, identity=identity,
                                    mode=mode, python_sizeof=python_sizeof,
                                    native="vesker._walker" in sys.modules)
                if done is not None:
                    done(stats)
                code = 0
            except BaseException as error:
                if failed is not None:
                    try:
                        failed(error)
                    except BaseException:
                        pass
            finally:
                os._exit(code)
        shots.clear()
        identity = None
    finally:
        _let_go(collecting, interval)
        _dump_lock.release()
    if reap:
        _thread.start_new_thread(_reap, (pid,))
    return pid


def _ids_within(value: Any) -> list[int]:
    """The ids of a sidecar's containers (its strings and numbers are not
    tracked, so never roots)."""
    ids = [id(value)]
    items = value.values() if isinstance(value, dict) else value if isinstance(value, list) else ()
    for item in items:
        if isinstance(item, (dict, list)):
            ids.extend(_ids_within(item))
    return ids


def _report_to_stderr(stats: DumpStats) -> None:
    # A plain write to the descriptor: the program's sys.stderr may be its own object.
    line = "vesker: heap dump complete: %s (%d objects, %d references without a record)\n" % (
        stats.path, stats.objects, stats.dangling)
    try:
        os.write(2, line.encode("utf-8", "replace"))
    except OSError:
        pass


def install(
    signum: int,
    path: str | os.PathLike[str] | None = None,
    *,
    fork: bool = True,
    names: bool = True,
    meta: bool = True,
    report: Callable[[DumpStats], object] | None = _report_to_stderr,
    trace_allocations: int | None = None,
) -> None:
    """Dump the heap each time this process receives `signum`.

    `trace_allocations` starts tracemalloc now with that many frames (unless
    it already traces), so that each dump records where objects were made.

    Each dump gets its own name, `path` with a time stamp (default
    "heap-PID.jsonl" in the working directory), claimed with O_EXCL.  With
    `fork` (where the platform forks) the program pauses only for the fork.
    `report` is called once each dump is complete (in the forked child), by
    default one line on the standard error naming the dump; None for silence.
    """
    import signal

    if trace_allocations is not None:
        from vesker.runner import start_tracing

        start_tracing(trace_allocations)
        # The forked dumps then walk natively: the Python walk's own allocations, traced too,
        # would make them many times slower.
        native_walker_available()
    template = os.fspath(path) if path is not None else "heap-" + str(os.getpid()) + ".jsonl"
    template = os.path.abspath(template)
    forking = fork and hasattr(os, "fork")
    busy = False

    def on_signal(received: int, frame: Any) -> None:
        nonlocal busy
        if busy:
            return
        busy = True
        try:
            if forking:
                fork_dump(template, names=names, meta=meta, done=report, mode="signal")
            else:
                stats = dump_heap(template, names=names, meta=meta, distinct=True, mode="signal")
                if report is not None:
                    report(stats)
        finally:
            busy = False

    signal.signal(signum, on_signal)
