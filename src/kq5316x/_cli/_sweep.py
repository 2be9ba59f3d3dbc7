"""``kq5316x sweep``: set each step, wait, read back, record. The outputs are checked before
anything is sent; rows go to the CSV file as they are taken, so an interrupted sweep keeps them;
Ctrl-C or SIGTERM stops between two exchanges' worth of work and leaves the channel where the
sweep had put it."""

from __future__ import annotations

import argparse
import csv
import os
import signal
import sys
import threading
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager, suppress
from typing import Any, NamedTuple

from .._attenuator import Attenuator
from .._errors import Kq5316Error
from ._session import (
    DONE,
    INSTRUMENT,
    INTERRUPTED,
    OUTPUT,
    TERMINATED,
    USAGE,
    Failure,
    Output,
    OutputFailed,
    attenuator,
    explain,
)
from ._units import db_text

RowWriter = Callable[[list[str]], None]
CSV_HEADER = ["step", "time_s", "channel", "requested_db", "read_back_db", "match"]
PLOT_EXTRA = "pip install matplotlib (the 'plot' extra)"


class Row(NamedTuple):
    step: int
    time_s: float
    channel: int
    requested_mdb: int
    read_back_mdb: int

    @property
    def match(self) -> bool:
        return self.requested_mdb == self.read_back_mdb

    def record(self) -> dict[str, Any]:
        return {
            **self._asdict(),
            "time_s": round(self.time_s, 3),
            "requested_db": self.requested_mdb / 1000,
            "read_back_db": self.read_back_mdb / 1000,
            "match": self.match,
        }

    def csv(self) -> list[str]:
        return [
            str(self.step),
            f"{self.time_s:.3f}",
            str(self.channel),
            f"{self.requested_mdb / 1000:.2f}",
            f"{self.read_back_mdb / 1000:.2f}",
            "true" if self.match else "false",
        ]

    def text(self) -> str:
        mark = "" if self.match else "  MISMATCH"
        return (
            f"{self.step:5d}  {self.time_s:7.3f} s  {db_text(self.requested_mdb):>9}"
            f"  {db_text(self.read_back_mdb):>9}{mark}"
        )


TEXT_HEADER = f"{'step':>5}  {'time':>9}  {'requested':>9}  {'read back':>9}"


def steps(start: int, stop: int, step: int) -> list[int]:
    """The settings from `start` towards `stop` in `step`s (mdB), never beyond `stop`."""
    if step <= 0:
        raise Failure(USAGE, "--step must be more than 0dB")
    direction = 1 if stop >= start else -1
    return [start + direction * i * step for i in range(abs(stop - start) // step + 1)]


class Progress:
    """A one-line bar on standard error, drawn only where standard error is a terminal."""

    WIDTH = 30

    def __init__(self, total: int) -> None:
        self.total = total
        self.enabled = sys.stderr.isatty()
        self._width = 0

    def show(self, done: int, label: str) -> None:
        if not self.enabled:
            return
        filled = self.WIDTH * done // max(self.total, 1)
        line = f"[{'#' * filled}{'.' * (self.WIDTH - filled)}] {done}/{self.total} {label}"
        self._write(line)

    def hide(self) -> None:
        if self.enabled and self._width:
            self._write("")

    def _write(self, line: str) -> None:
        # Padded over the previous line rather than erased with an escape sequence, which not
        # every console understands.
        sys.stderr.write("\r" + line.ljust(self._width) + ("\r" if not line else ""))
        sys.stderr.flush()
        self._width = len(line)


class Terminated(BaseException):
    """SIGTERM arrived: the sweep ends as on Ctrl-C, with an exit status of its own."""


def _terminate(number: int, frame: object) -> None:
    raise Terminated


@contextmanager
def _stoppable() -> Iterator[None]:
    """SIGTERM raises `Terminated` while the sweep runs, as Ctrl-C raises KeyboardInterrupt."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.signal(signal.SIGTERM, _terminate)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)


@contextmanager
def _whole_row() -> Iterator[None]:
    """Holds Ctrl-C and SIGTERM back while a row is written, so the file never ends in half a
    row; the first one to arrive is acted on once the row is complete."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    held: list[signal.Signals] = []
    numbers = (signal.SIGINT, signal.SIGTERM)
    previous = {
        n: signal.signal(n, lambda number, frame: held.append(signal.Signals(number)))
        for n in numbers
    }
    try:
        yield
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)
    handler = previous[held[0]] if held else None
    if callable(handler):
        handler(held[0], None)  # raises KeyboardInterrupt or Terminated


def _unwritable(path: str, error: OSError) -> Failure:
    return Failure(USAGE, f"--csv: cannot write {path}: {error.strerror or error}")


@contextmanager
def _csv_rows(path: str | None) -> Iterator[RowWriter | None]:
    """What writes a row to the CSV file, each through to the disk as it is taken. The header is
    written before the port is opened: a path that cannot be written, or a full disk, is found
    before anything is sent."""
    if path is None:
        yield None
        return
    try:
        stream = open(path, "w", newline="", encoding="utf-8")  # noqa: SIM115 (closed below)
    except OSError as error:
        raise _unwritable(path, error) from error
    writer = csv.writer(stream)

    def write(row: list[str]) -> None:
        writer.writerow(row)
        stream.flush()

    try:
        try:
            write(CSV_HEADER)
        except OSError as error:
            raise _unwritable(path, error) from error
        yield write
    finally:
        with suppress(OSError):  # reported already: the header or a row could not be written
            stream.close()


def _check_plot(path: str) -> None:
    """Before anything is sent: matplotlib is there, it writes the file's format, and the file's
    directory takes a new file."""
    try:
        import matplotlib  # type: ignore[import-not-found, unused-ignore]  # noqa: F401
        from matplotlib.backend_bases import (  # type: ignore[import-not-found, unused-ignore]
            FigureCanvasBase,
        )
    except ImportError as error:
        raise Failure(
            USAGE, f"--plot needs matplotlib, which is not installed: {PLOT_EXTRA}"
        ) from error
    formats = FigureCanvasBase.get_supported_filetypes()
    suffix = os.path.splitext(path)[1][1:].lower()
    if suffix and suffix not in formats:
        known = ", ".join(f".{name}" for name in sorted(formats))
        raise Failure(USAGE, f"--plot: {path} has no image format matplotlib writes: {known}")
    directory = os.path.dirname(path) or "."
    if not os.path.isdir(directory):
        raise Failure(USAGE, f"--plot: cannot write {path}: no directory {directory}")
    writable = os.access(path, os.W_OK) if os.path.exists(path) else os.access(directory, os.W_OK)
    if os.path.isdir(path) or not writable:
        raise Failure(USAGE, f"--plot: cannot write {path}: permission denied or a directory")


def plot(rows: list[Row], path: str, title: str) -> None:
    """Read-back against requested attenuation, mismatches marked, as an image file."""
    from matplotlib.figure import Figure  # type: ignore[import-not-found, unused-ignore]

    requested = [row.requested_mdb / 1000 for row in rows]
    read_back = [row.read_back_mdb / 1000 for row in rows]
    figure = Figure(figsize=(6.4, 4.4), layout="constrained")
    axes = figure.add_subplot()
    # The request as a broad pale band, so that read-backs on it stay visible.
    axes.plot(requested, requested, linewidth=6, color="0.85", label="requested", zorder=1)
    axes.plot(requested, read_back, marker="o", markersize=4, label="read back")
    wrong = [row for row in rows if not row.match]
    if wrong:
        axes.plot(
            [row.requested_mdb / 1000 for row in wrong],
            [row.read_back_mdb / 1000 for row in wrong],
            linestyle="none",
            marker="x",
            markersize=10,
            color="red",
            label="mismatch",
        )
    axes.set_xlabel("requested attenuation (dB)")
    axes.set_ylabel("read-back attenuation (dB)")
    axes.set_title(title)
    axes.grid(True, alpha=0.3)
    axes.legend()
    figure.savefig(path)


class _Sweep:
    """One sweep's course: the settings, the rows taken so far and where they go."""

    def __init__(
        self, args: argparse.Namespace, output: Output, write_csv: RowWriter | None
    ) -> None:
        self.args = args
        self.output = output
        self.write_csv = write_csv
        self.settings = steps(args.start, args.stop, args.step)
        self.rows: list[Row] = []
        self.requested: int | None = None  # the last setting sent
        self.progress = Progress(len(self.settings))

    def run(self, att: Attenuator) -> None:
        ch = self.args.ch
        if not self.output.as_json:
            self.output.result(TEXT_HEADER, {})
        began = time.monotonic()
        for number, mdb in enumerate(self.settings, 1):
            self.progress.show(number - 1, f"setting {db_text(mdb)}")
            self.requested = mdb
            att.set_attenuation_mdb(mdb, ch=ch)
            time.sleep(self.args.dwell)
            status = att.status(ch)
            row = Row(number, time.monotonic() - began, ch, mdb, status.attenuation_mdb)
            with _whole_row():
                self.rows.append(row)
                self._write(row)
            self.progress.show(number, db_text(row.read_back_mdb))
        self.progress.hide()

    def _write(self, row: Row) -> None:
        """The row into the CSV file and onto standard output; a write that fails ends the
        sweep (`OutputFailed`; a reader of standard output that has gone ends it quietly)."""
        if self.write_csv:
            try:
                self.write_csv(row.csv())
            except OSError as error:
                raise OutputFailed(self.args.csv, error) from error
        self.progress.hide()
        self.output.result(row.text(), row.record())

    def stopped(self) -> str:
        """Where a sweep that ended early left things."""
        self.progress.hide()
        where = "unchanged" if self.requested is None else f"last set to {db_text(self.requested)}"
        if self.rows and self.rows[-1].requested_mdb == self.requested:
            where += f", read back {db_text(self.rows[-1].read_back_mdb)}"
        count = f"{len(self.rows)} row" + ("" if len(self.rows) == 1 else "s")
        kept = f"; {count} kept in {self.args.csv}" if self.args.csv else ""
        return (
            f"after {len(self.rows)} of {len(self.settings)} steps; channel {self.args.ch} left "
            f"where it was ({where}){kept}"
        )


def run_sweep(args: argparse.Namespace, output: Output) -> int:
    # Usage errors and unwritable outputs before the port is opened.
    steps(args.start, args.stop, args.step)
    if args.plot is not None:
        _check_plot(args.plot)
    with _csv_rows(args.csv) as write_csv, attenuator(args) as att, _stoppable():
        sweep = _Sweep(args, output, write_csv)
        try:
            sweep.run(att)
        except (KeyboardInterrupt, Terminated) as stop:
            interrupted = isinstance(stop, KeyboardInterrupt)
            why = "interrupted" if interrupted else "terminated"
            print(f"kq5316x sweep: {why} {sweep.stopped()}", file=sys.stderr, flush=True)
            if sweep.rows and args.plot is not None:
                _plot(sweep.rows, args)
            return INTERRUPTED if interrupted else TERMINATED
        except OutputFailed as error:
            raise Failure(OUTPUT, f"{error}; the sweep stopped {sweep.stopped()}") from error
        except Kq5316Error as error:
            status, message = explain(error, args, att.port)
            raise Failure(status, f"{message}; the sweep stopped {sweep.stopped()}") from error
    return _finish(args, output, sweep.rows, att.port)


def _plot(rows: list[Row], args: argparse.Namespace) -> None:
    try:
        plot(rows, args.plot, f"kq5316x sweep, channel {args.ch}")
    except OSError as error:
        kept = f"; the rows are in {args.csv}" if args.csv else ""
        raise Failure(
            OUTPUT, f"--plot: could not write {args.plot}: {error.strerror or error}{kept}"
        ) from error


def _finish(args: argparse.Namespace, output: Output, rows: list[Row], port: str) -> int:
    if args.plot is not None:
        _plot(rows, args)
    mismatches = sum(not row.match for row in rows)
    if not output.as_json:
        where = f", rows in {args.csv}" if args.csv else ""
        verdict = (
            f"{mismatches} read-back(s) differ (marked MISMATCH)"
            if mismatches
            else "every read-back matches"
        )
        output.result(f"{len(rows)} steps on channel {args.ch} of {port}{where}: {verdict}", {})
    if mismatches:
        raise Failure(INSTRUMENT, f"{mismatches} of {len(rows)} read-backs differ from the request")
    return DONE
