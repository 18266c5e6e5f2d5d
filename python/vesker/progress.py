"""Progress display on a terminal: a bar while bytes are read, a timer or bar per phase, a count."""

from __future__ import annotations

import threading
import time
from typing import TextIO

from vesker.formatting import format_bytes, format_duration

_BAR_WIDTH = 24
_REFRESH_SECONDS = 0.2


class ReadProgress:
    """A one-line bar with bytes read, rate, ETA and the number of lines.

    On a stream that is not a terminal nothing is drawn until `finish`, which
    writes one summary line, so logs stay readable.
    """

    def __init__(self, total_bytes: int, stream: TextIO, live: bool) -> None:
        """`total_bytes` is 0 when the size is unknown (a pipe): no bar and no ETA then."""
        self._known = total_bytes > 0
        self._total = max(total_bytes, 1)
        self._stream = stream
        self._live = live
        self._started = time.monotonic()
        self._last_draw = 0.0

    def update(self, position: int, lines: int) -> None:
        if not self._live:
            return
        now = time.monotonic()
        if now - self._last_draw < _REFRESH_SECONDS:
            return
        self._last_draw = now
        self._draw(position, lines, now)

    def _draw(self, position: int, lines: int, now: float) -> None:
        elapsed = max(now - self._started, 1e-9)
        if not self._known:
            self._stream.write(
                f"\rreading {format_bytes(position)}  {format_bytes(int(position / elapsed))}/s  "
                f"{lines:,} objects\x1b[K"
            )
            self._stream.flush()
            return
        fraction = min(position / self._total, 1.0)
        rate = position / elapsed
        self._stream.write(
            f"\rreading {_bar(fraction)}  "
            f"{format_bytes(position)} / {format_bytes(self._total)}  "
            f"{format_bytes(int(rate))}/s  ETA {_eta(fraction, elapsed)}  "
            f"{lines:,} objects\x1b[K"
        )
        self._stream.flush()

    def finish(self, position: int, lines: int) -> None:
        elapsed = time.monotonic() - self._started
        if self._live:
            self._draw(position, lines, time.monotonic())
            self._stream.write("\n")
        self._stream.write(
            f"read {lines:,} objects ({format_bytes(position)}) "
            f"in {format_duration(elapsed)}\n"
        )
        self._stream.flush()


def _bar(fraction: float) -> str:
    filled = int(fraction * _BAR_WIDTH)
    return f"[{'#' * filled}{'-' * (_BAR_WIDTH - filled)}] {fraction * 100:3.0f}%"


def _eta(fraction: float, elapsed: float) -> str:
    return format_duration(elapsed * (1 - fraction) / fraction if fraction > 0 else 0.0)


class Phase:
    """Shows a phase's name with a running timer from `start` to `stop`, or a bar with an ETA
    once the computation reports how far it is (`update`).

    The line is drawn by a thread of its own, which works because the
    extension releases the interpreter lock during its long computations.
    """

    def __init__(self, title: str, stream: TextIO, live: bool) -> None:
        self._title = title
        self._stream = stream
        self._live = live
        self._done = threading.Event()
        self._thread: threading.Thread | None = None
        self._started = 0.0
        self._fraction: float | None = None

    @property
    def title(self) -> str:
        return self._title

    def start(self) -> None:
        self._started = time.monotonic()
        if self._live:
            self._thread = threading.Thread(target=self._tick, name="vesker-phase", daemon=True)
            self._thread.start()
        else:
            self._stream.write(self._title + " ...\n")
            self._stream.flush()

    def update(self, done: int, total: int) -> None:
        """How much of the phase's work is done; passed as a native computation's `progress`."""
        self._fraction = min(done / total, 1.0) if total > 0 else None

    def _tick(self) -> None:
        frames = "|/-\\"
        step = 0
        while not self._done.wait(_REFRESH_SECONDS):
            elapsed = time.monotonic() - self._started
            fraction = self._fraction
            if fraction is None:
                line = f"{frames[step % 4]} {self._title} ... {format_duration(elapsed)}"
            else:
                line = f"{self._title} {_bar(fraction)}  ETA {_eta(fraction, elapsed)}"
            self._stream.write(f"\r{line}\x1b[K")
            self._stream.flush()
            step += 1

    def stop(self, failed: bool = False) -> None:
        """End the phase and write its outcome; does nothing if it never started."""
        if not self._started or self._done.is_set():
            return
        self._done.set()
        if self._thread is not None:
            self._thread.join()
        elapsed = time.monotonic() - self._started
        line = f"{self._title}: {'failed' if failed else 'done'} in {format_duration(elapsed)}"
        self._stream.write("\r" + line + "\x1b[K\n" if self._live else line + "\n")
        self._stream.flush()


class Count:
    """A running count on one line of a terminal (`vesker: 1,234 objects written`), erased by
    `clear`; nothing at all on a stream that is not a terminal."""

    def __init__(self, what: str, stream: TextIO, live: bool) -> None:
        self._what = what
        self._stream = stream
        self._live = live
        self._last_draw = 0.0

    def update(self, count: int) -> None:
        now = time.monotonic()
        if not self._live or now - self._last_draw < _REFRESH_SECONDS:
            return
        self._last_draw = now
        self._stream.write(f"\rvesker: {count:,} {self._what}\x1b[K")
        self._stream.flush()

    def clear(self) -> None:
        if self._live:
            self._stream.write("\r\x1b[K")
            self._stream.flush()
