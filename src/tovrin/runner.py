"""The run loop of ``tovrin run``, built so that no way out of it loses work.

The run advances in stretches that end where a movie frame or a checkpoint is due.
However it ends (its last step, an error, Ctrl-C or SIGTERM), ``Run.finish`` is the
one place that decides what is written: the frame of the step it stopped at, when
one is due there and not yet written, the checkpoint and the saved result, each
tried on its own, so that one failure does not cost the others, and each reported.
SIGINT and SIGTERM stop the run after the step in progress (the exit status is then
128 + the signal's number); the same signal once more ends the process at once.
"""
from __future__ import annotations

import contextlib
import dataclasses
import os
import signal
import sys
import time
import warnings
from typing import Callable, Iterator, List, Optional

import numpy as np

from . import _simulation, movie
from .paramfile import display_name

# About this long between two looks at the progress, the frames and the signals.
STRETCH_SECONDS = 0.2


class Stopped(BaseException):
    """SIGINT or SIGTERM asked the run to stop after the step in progress."""

    def __init__(self, signum: int):
        super().__init__(signal.Signals(signum).name)
        self.signum = signum


class StopSignals:
    """While entered, SIGINT and SIGTERM stop the run between two steps: a signal that
    comes while steps run raises Stopped there; one that comes while a frame or a
    checkpoint is written is remembered, and raised before the next steps, so that
    no write is cut off half-way. The same signal once more ends the process at once,
    as its default action does."""

    SIGNALS = (signal.SIGINT, signal.SIGTERM)

    def __init__(self):
        self.received: Optional[int] = None
        self._raising = False
        self._previous = {}

    def __enter__(self) -> "StopSignals":
        self._previous = {signum: signal.signal(signum, self._handle) for signum in self.SIGNALS}
        return self

    def __exit__(self, *exception) -> None:
        for signum, handler in self._previous.items():
            signal.signal(signum, handler)

    def _handle(self, signum: int, frame) -> None:
        if self.received == signum:
            signal.signal(signum, signal.SIG_DFL)
            os.kill(os.getpid(), signum)
            return
        self.received = signum
        if self._raising:
            raise Stopped(signum)

    @contextlib.contextmanager
    def stepping(self) -> Iterator[None]:
        """The steps run inside: a signal stops them, one already received stops them
        before they start."""
        if self.received is not None:
            raise Stopped(self.received)
        self._raising = True
        try:
            yield
        finally:
            self._raising = False


@dataclasses.dataclass(frozen=True)
class Outputs:
    """What a run writes; None where not asked for."""

    movie: Optional[str] = None
    every: int = 100                       # steps between movie frames (tovrin run's default)
    checkpoint: Optional[str] = None
    checkpoint_every: Optional[int] = None
    save: Optional[str] = None             # the result dictionary as .npz
    plot: Optional[str] = None             # the energies and temperature as an image


class MovieRecorder:
    """The movie of a run: frame k is the state after step k x every."""

    def __init__(self, path: str, every: int):
        self.path, self.every = path, every
        self.last_frame: Optional[int] = None  # the step of the movie's last frame

    def start(self, simulation) -> None:
        """Starts the movie with the current state as frame 0."""
        simulation.write_movie(self.path, create=True)
        self.last_frame = simulation.step

    def continue_from(self, simulation) -> Optional[str]:
        """Takes over the movie of a run restarted from its checkpoint: its frames up to
        the checkpoint's step stay, frames after it (written before a crash) are cut
        away. Refuses a movie of other particles, or one with fewer frames than the
        steps done and `every` give. Returns what was cut, if anything."""
        shown = display_name(self.path)
        if not os.path.exists(self.path):
            raise ValueError(f"--movie {shown} does not exist: --restart continues the movie of the run it "
                             f"restarts (start a new movie with a new run)")
        with warnings.catch_warnings():  # a frame cut short is cut away below, and said so
            warnings.simplefilter("ignore", movie.IncompleteFrameWarning)
            frames = movie.read(self.path)
        wanted = simulation.step // self.every + 1
        if frames.nr_particles != simulation.nr_particles:
            raise ValueError(f"--movie {shown} holds frames of {frames.nr_particles} particles, "
                             f"not {simulation.nr_particles}")
        if frames.nr_frames < wanted:
            raise ValueError(f"--movie {shown} holds {frames.nr_frames} frames, but the run up to the checkpoint's "
                             f"step {simulation.step} records {wanted} with --every {self.every}: restart with the "
                             f"--every the movie was recorded with")
        self.last_frame = (wanted - 1) * self.every
        if self.last_frame == simulation.step and not _holds_state(frames, wanted - 1, simulation):
            raise ValueError(f"--movie {shown}: frame {wanted - 1} is not the checkpoint's state at step "
                             f"{simulation.step}, as it is in a movie recorded with --every {self.every}: restart "
                             f"with the --every the movie was recorded with")
        size = os.path.getsize(self.path)
        whole = 4 + wanted * movie.frame_bytes(simulation.nr_particles)
        del frames  # the mapping, before the file is cut
        if size == whole:
            return None
        os.truncate(self.path, whole)
        return (f"cut {shown} back to its {wanted} frames up to the checkpoint's step {simulation.step} "
                f"({size - whole} bytes after them were written after the checkpoint)")

    def due(self, step: int) -> bool:
        return step % self.every == 0 and step != self.last_frame

    def record_if_due(self, simulation) -> None:
        if self.due(simulation.step):
            simulation.write_movie(self.path)
            self.last_frame = simulation.step


def _holds_state(frames: movie.Movie, k: int, simulation) -> bool:
    """Whether frame k is the simulation's state, bit for bit."""
    return (np.array_equal(frames.positions[k], simulation.positions)
            and np.array_equal(frames.velocities[k], simulation.velocities))


@dataclasses.dataclass
class Ending:
    """How a run ended: its exit status and what it says on standard error."""

    status: int = 0
    messages: List[str] = dataclasses.field(default_factory=list)


class Run:
    """One `tovrin run`: `advance` runs the steps, `finish` writes what was asked for."""

    def __init__(self, simulation, last: int, outputs: Outputs, signals: StopSignals, progress,
                 save_result: Callable, plot_result: Callable):
        self.simulation, self.last, self.outputs, self.signals = simulation, last, outputs, signals
        self.progress, self.save_result, self.plot_result = progress, save_result, plot_result
        self.movie = MovieRecorder(outputs.movie, outputs.every) if outputs.movie else None
        self.first = simulation.step
        self.watch = _simulation.BlowUpWatch(float(simulation.parameters["kT"]), simulation.nr_particles)

    def _next_stop(self, stretch: int) -> int:
        """Where the next stretch ends: `stretch` steps on, or earlier where a frame or a
        checkpoint is due, or at the last step."""
        step = self.simulation.step
        periods = [self.outputs.every if self.movie else None,
                   self.outputs.checkpoint_every if self.outputs.checkpoint else None]
        due = [(step // k + 1) * k for k in periods if k]
        return min([self.last, step + stretch] + due)

    def advance(self) -> None:
        """Runs up to the last step, writing frames and checkpoints where due."""
        simulation, stretch = self.simulation, 1
        while simulation.step < self.last:
            before, started = simulation.step, time.perf_counter()
            with self.signals.stepping():
                simulation.run(self._next_stop(stretch) - before)
            seconds = time.perf_counter() - started
            done = simulation.step - before
            # The next stretch from the rate just seen, at most twice as long.
            rate_steps = int(done * STRETCH_SECONDS / seconds) if seconds > 0 else 2 * stretch
            stretch = max(1, min(2 * stretch, rate_steps, self.last))
            self._watch(before)
            if self.movie:
                self.movie.record_if_due(simulation)
            every = self.outputs.checkpoint_every
            if self.outputs.checkpoint and every and simulation.step % every == 0:
                simulation.save(self.outputs.checkpoint)
            self.progress.update(simulation.step)

    def _watch(self, before: int) -> None:
        """Shows the watch the energies of the steps since `before` that the log keeps."""
        kept = self.simulation.energy_log
        if kept is not None:
            before = max(before, self.simulation.step - kept)
        energies = self.simulation.energies_since(before)
        self.watch.observe(energies["ekin"], energies["etot"])

    def finish(self, ending: Ending) -> Ending:
        """Writes what was asked for on every way out of the run and says so: the due
        frame, the checkpoint, the saved result and the plot. A step that failed
        half-way leaves no state to save: what was written before stays."""
        simulation, outputs, said = self.simulation, self.outputs, ending.messages
        if simulation.failure:
            kept = [f"the movie {display_name(outputs.movie)}"] if outputs.movie else []
            if outputs.checkpoint:
                kept.append(f"the checkpoint {display_name(outputs.checkpoint)} as last saved")
            said.append("the failed step left no whole state to save" +
                        (f"; {' and '.join(kept)} stay as they were" if kept else ""))
            return ending
        attempts = []
        if self.movie and self.movie.due(simulation.step):
            attempts.append((lambda: self.movie.record_if_due(simulation),
                             f"wrote the frame of step {simulation.step} to {display_name(outputs.movie)}",
                             "the frame of the last step"))
        if outputs.checkpoint:
            attempts.append((lambda: simulation.save(outputs.checkpoint),
                             f"saved the checkpoint of step {simulation.step} to {display_name(outputs.checkpoint)}",
                             "the checkpoint"))
        if outputs.save:
            attempts.append((lambda: self.save_result(outputs.save),
                             f"saved the result of {simulation.step} steps to {display_name(outputs.save)}",
                             "the result"))
        if outputs.plot:
            attempts.append((lambda: self.plot_result(outputs.plot),
                             f"plotted the energies to {display_name(outputs.plot)}", "the plot"))
        for write, done, what in attempts:
            try:
                write()
            except Exception as error:  # the others are still worth writing
                said.append(f"error: could not write {what}: {error}")
                ending.status = ending.status or 1
            else:
                said.append(done)
        return ending


def report(lines: List[str], prefix: str = "tovrin run: ") -> None:
    for line in lines:
        print(prefix + line, file=sys.stderr, flush=True)
