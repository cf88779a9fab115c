"""The progress display of train(), drawn from Python for the phases that run on a cluster.

The wording and the pacing are those of the extension's display, so that the cluster phases and
the local ones that follow read as one training: on a terminal one line redrawn in place (phase,
bar, percentage, amount done of the total, rate, time left), elsewhere a plain line starting
"wrenmark: " when a phase begins and every few seconds. It writes to file descriptor 2 directly,
as the extension does, so the two never reorder each other's text.
"""

from __future__ import annotations

import enum
import math
import os
import time

_TERMINAL_REDRAW_SECONDS = 0.1
_PLAIN_LINE_SECONDS = 3.0
_BAR_WIDTH = 24
_ERASE_TO_LINE_END = "\x1b[K"


class Unit(enum.Enum):
    BYTES = 1
    ITEMS = 2


def _amount(value: int, unit: Unit) -> str:
    if unit is Unit.ITEMS:
        return str(value)
    megabytes = value / 1e6
    return f"{megabytes / 1000:.2f} GB" if megabytes >= 1000 else f"{megabytes:.1f} MB"


def clock_time(seconds: float) -> str:
    # Halves away from zero, as the extension rounds.
    whole = math.floor(min(max(seconds, 0.0), 1e12) + 0.5)
    if whole >= 3600:
        return f"{whole // 3600}:{whole // 60 % 60:02d}:{whole % 60:02d}"
    return f"{whole // 60}:{whole % 60:02d}"


def status_text(phase: str, done: int, total: int, unit: Unit, seconds: float, with_bar: bool) -> str:
    text = phase
    if total > 0:
        done = min(done, total)
        fraction = done / total
        if with_bar:
            filled = int(fraction * _BAR_WIDTH)
            text += " [" + "#" * filled + "." * (_BAR_WIDTH - filled) + "]"
        text += f" {int(fraction * 100):3d}% {_amount(done, unit)} of {_amount(total, unit)}"
    elif done > 0:
        text += " " + _amount(done, unit)
    if seconds > 0.05 and done > 0:
        rate = done / seconds
        text += f", {_amount(int(rate), unit)}/s"
        if total > done and rate > 0:
            text += f", {clock_time((total - done) / rate)} left"
    return text


class ProgressLine:
    def __init__(self, descriptor: int = 2) -> None:
        self._descriptor = descriptor
        self._terminal = os.isatty(descriptor)
        self._started = time.monotonic()
        self._phase = ""
        self._total = 0
        self._unit = Unit.ITEMS
        self._phase_started = self._started
        self._last_shown = self._started

    def begin_phase(self, phase: str, total: int, unit: Unit) -> None:
        self._phase, self._total, self._unit = phase, total, unit
        self._phase_started = time.monotonic()
        self._show(0, self._phase_started)

    def update(self, done: int) -> None:
        now = time.monotonic()
        interval = _TERMINAL_REDRAW_SECONDS if self._terminal else _PLAIN_LINE_SECONDS
        if now - self._last_shown >= interval:
            self._show(done, now)

    def stopped(self) -> None:
        """Ends the display of a training that did not get to its local phases."""
        text = "training stopped after " + clock_time(time.monotonic() - self._started)
        self._write(f"\r{text}{_ERASE_TO_LINE_END}\n" if self._terminal else f"wrenmark: {text}\n")

    def _show(self, done: int, now: float) -> None:
        self._last_shown = now
        text = status_text(self._phase, done, self._total, self._unit, now - self._phase_started, self._terminal)
        # On a terminal the line stays open: the extension's display of the local phases starts
        # by returning to the line's start, so it takes the row over.
        self._write(f"\r{text}{_ERASE_TO_LINE_END}" if self._terminal else f"wrenmark: {text}\n")

    def _write(self, text: str) -> None:
        data = text.encode()
        try:
            while data:
                data = data[os.write(self._descriptor, data):]
        except OSError:
            # A display that cannot be written is not worth failing training for.
            pass
