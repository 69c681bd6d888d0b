"""Progress of a long run on standard error, where that is a terminal: tasks done, the rate
and the time left (when the input's size is known). Elsewhere it writes nothing."""

from __future__ import annotations

import sys
import time
from typing import Protocol

from halvec.cli import output

__all__ = ["Progress"]


class _Reading(Protocol):
    @property
    def tasks(self) -> int: ...
    @property
    def fraction_read(self) -> float | None: ...


class Progress:
    """Call it after each batch; :meth:`close` clears the line before anything else is said."""

    def __init__(self, *, enabled: bool | None = None, interval: float = 0.2, unit: str = "tasks") -> None:
        if enabled is None:
            try:
                enabled = sys.stderr is not None and sys.stderr.isatty()
            except (OSError, ValueError):
                enabled = False
        self.enabled: bool = enabled
        self._interval = interval
        self._started = time.monotonic()
        self._next = self._started + interval
        self._width = 0
        self.unit: str = unit
        """What is counted: ``tasks``, ``prompts``."""

    def __call__(self, reading: _Reading) -> None:
        if not self.enabled:
            return
        now = time.monotonic()
        if now < self._next:
            return
        self._next = now + self._interval
        self._show(self.line(reading.tasks, reading.fraction_read, now - self._started, unit=self.unit))

    @staticmethod
    def line(tasks: int, fraction: float | None, elapsed: float, *, unit: str = "tasks") -> str:
        """``1,234,567 tasks  251,000/s  0:03 left``."""
        text = f"{tasks:,} {unit}"
        if elapsed > 0:
            text += f"  {tasks / elapsed:,.0f}/s"
        if fraction is not None and fraction > 0:
            left = max(0.0, elapsed * (1 - fraction) / fraction)
            minutes, seconds = divmod(int(left + 0.5), 60)
            hours, minutes = divmod(minutes, 60)
            shown = f"{hours}:{minutes:02}:{seconds:02}" if hours else f"{minutes}:{seconds:02}"
            text += f"  {shown} left"
        return text

    def _show(self, text: str) -> None:
        padding = " " * max(0, self._width - len(text))
        self._width = len(text)
        output.message(f"\r{text}{padding}")

    def close(self) -> None:
        """Clears the progress line (if one was shown)."""
        if self.enabled and self._width:
            output.message("\r" + " " * self._width + "\r")
            self._width = 0
