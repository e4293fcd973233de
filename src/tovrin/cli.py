"""The ``tovrin`` command: run a parameter file, inspect movies, g(r), LAMMPS export.

    tovrin run PARAMFILE [--plot PNG] [--save NPZ] [--movie FILE [--every K]]
               [--checkpoint FILE [--checkpoint-every K]] [--restart FILE]
               [--thermostat berendsen|bussi|none] [--start FILE [--frame K]]
    tovrin movie MOVIEFILE [--xyz OUT] [--gsd OUT] [--mass M] [--every K] [--strict]
    tovrin rdf MOVIEFILE|RESULT.npz [--plot PNG] [--bins B] [--r-max R] [--skip K] [--box L]
    tovrin msd MOVIEFILE (--dt DT | --stepsize S --every K) [--skip K] [--fit FROM TO] [--plot PNG]
    tovrin check PARAMFILE
    tovrin export-lammps PARAMFILE OUTDIR [--thermostat berendsen|bussi|none]
    tovrin sweep PARAMFILE --set KEY=V1,V2,... --equilibrate STEPS --steps STEPS --every K --out DIR [...]

Errors print the message and exit with status 1, as does `tovrin check` when a
needed key has no usable value; a malformed command line exits with status 2, and
so does plain `tovrin`, after printing the help; Ctrl-C stops a run between two
steps, saves what was asked for and exits with status 130.
"""
from __future__ import annotations

import argparse
import os
import sys
import time
import warnings
import zipfile
from typing import Optional, Sequence

import numpy as np

from . import __version__, _simulation, movie, paramfile, runner
from . import outputs as output_paths
from .paramfile import display_name
from .rdf import DEFAULT_SPACINGS
from .simulation import DEFAULT_ENERGY_LOG, THERMOSTATS

DEFAULT_EVERY = runner.Outputs.every  # steps between the frames of tovrin run's movie


class CommandError(Exception):
    """A failure to report as one line, without a traceback."""


class UsageError(CommandError):
    """A command line that cannot work as given: status 2, as argparse's own."""


def _checked_outputs(inputs: dict, outputs: dict, may_replace=()) -> None:
    try:
        output_paths.check(inputs, outputs, may_replace)
    except output_paths.OutputError as error:
        raise UsageError(str(error)) from None


def _plot_output(path: Optional[str]) -> Optional[str]:
    """The plot's path, once its extension names an image format."""
    if path is None:
        return None
    from .plots import supported_formats

    extension = os.path.splitext(path)[1].lstrip(".").lower()
    formats = supported_formats()
    if extension not in formats:
        raise UsageError(f"cannot plot to {display_name(path)}: the extension must name an image format, "
                         f"one of {', '.join(sorted(formats))}")
    return path


def _summary(paramfile_path: str, simulation, first: int, seconds: float) -> str:
    """The run's summary; the rate counts the steps of this process, not a checkpoint's."""
    from .plots import temperature

    n, steps = simulation.nr_particles, simulation.step
    rate = n * (steps - first) / seconds if seconds > 0 else float("inf")
    lines = [
        display_name(paramfile_path),
        f"  particles      {n}",
        f"  steps          {steps}",
        f"  wall time      {seconds:.3f} s",
        f"  atom-steps/s   {rate:.4g}",
    ]
    energies = simulation.energies
    kept = len(energies["ekin"])
    if kept == 0:
        return "\n".join(lines + ["  no steps were run, so there are no energies" if steps == 0 else
                                  "  the energy log keeps no steps, so there are no energies",
                                  f"  thermostat     {simulation.thermostat}"])
    if kept < steps:
        lines.append(f"  the means are over the latest {kept} steps, which the energy log keeps")
    rows = [(name, np.asarray(energies[key], dtype=np.float64))
            for name, key in (("kinetic energy", "ekin"), ("potential energy", "epot"), ("total energy", "etot"))]
    rows.append(("temperature", temperature(energies["ekin"], n)))
    lines.append(f"  {'':18}{'mean':>20}{'final':>20}{'final per particle':>20}")
    for name, values in rows:
        per_particle = "" if name == "temperature" else f"{values[-1] / n if n else float('nan'):.10g}"
        lines.append(f"  {name:18}{values.mean():>20.10g}{values[-1]:>20.10g}{per_particle:>20}")
    lines.append(f"  {'pressure':18}{'':>20}{simulation.pressure:>20.10g}")
    lines.append(f"  thermostat     {simulation.thermostat}")
    return "\n".join(lines)


def _save_result(path: str, result: dict, cell_length: float) -> None:
    arrays = {key: np.asarray(value) for key, value in result.items()}
    np.savez(path, **arrays, cell_length=np.float64(cell_length))


def _engine():
    """The Simulation class, or a hint when this is an unbuilt source tree."""
    try:
        from .simulation import Simulation
    except ImportError as error:
        package = os.path.dirname(os.path.abspath(__file__))
        raise CommandError(f"the engine tovrin.tovrin cannot be imported from {package} ({error}): "
                           f"in the source tree, run the installed `tovrin` command, or "
                           f"`python -m tovrin` from another folder") from None
    return Simulation


class _Progress:
    """Steps done, atom-steps per second and time left: a bar on a terminal, a plain
    line every few seconds otherwise (both on standard error)."""

    PLAIN_INTERVAL = 5.0  # seconds between plain lines

    def __init__(self, first: int, last: int, particles: int):
        self.first, self.last, self.particles = first, last, particles
        self.started = self.shown = time.perf_counter()
        self.bar = None
        if sys.stderr.isatty():
            from tqdm import tqdm

            self.bar = tqdm(total=last, initial=first, unit="step", dynamic_ncols=True, file=sys.stderr)

    def rate(self, step: int) -> float:
        seconds = time.perf_counter() - self.started
        return self.particles * (step - self.first) / seconds if seconds > 0 else 0.0

    def update(self, step: int) -> None:
        if self.bar is not None:
            self.bar.set_postfix_str(f"{self.rate(step):.3g} atom-steps/s", refresh=False)
            self.bar.update(step - self.bar.n)
        elif time.perf_counter() - self.shown >= self.PLAIN_INTERVAL or step == self.last:
            self.shown = time.perf_counter()
            rate = self.rate(step)
            left = self.particles * (self.last - step) / rate if rate > 0 else float("nan")
            print(f"step {step}/{self.last}  {rate:.3g} atom-steps/s  {left:.0f} s left", file=sys.stderr,
                  flush=True)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def _same_value(first: Optional[str], second: Optional[str]) -> bool:
    """Whether two parameter value texts give the same number ("0.720" and "0.72")."""
    if first is None or second is None:
        return first == second
    try:
        return float(first) == float(second)
    except ValueError:
        return first == second


def _new_simulation(Simulation, args: argparse.Namespace, energy_log: Optional[int]):
    """The run of the parameter file with the thermostat asked for, from the lattice
    or from the --start file's frame."""
    thermostat = args.thermostat or "berendsen"
    if args.start is None:
        if args.frame is not None:
            raise CommandError("--frame chooses a frame of the --start file: give --start too")
        return Simulation(args.paramfile, thermostat=thermostat, energy_log=energy_log)
    if not os.path.exists(args.paramfile):
        raise CommandError(f"Cannot open file: {display_name(args.paramfile)}")
    from .start import placed, read_frame

    wanted = paramfile.read(args.paramfile)
    frame = read_frame(args.start, args.frame)
    positions, velocities = placed(frame, wanted.real("cell_length"), wanted.whole("nr_particles"))
    return Simulation(args.paramfile, thermostat=thermostat, positions=positions, velocities=velocities,
                      energy_log=energy_log)


def _refuse_new_run_options(args: argparse.Namespace, simulation) -> None:
    """A restart continues its checkpoint's configuration and thermostat."""
    if args.start is not None or args.frame is not None:
        raise CommandError("--start and --restart exclude each other: a restart continues its checkpoint")
    if args.thermostat and args.thermostat != simulation.thermostat:
        raise CommandError(f"--thermostat {args.thermostat}: the checkpoint {display_name(args.restart)} is a run with the "
                           f"{simulation.thermostat} thermostat, which a restart keeps")


def _start(Simulation, args: argparse.Namespace, keep_every_step: bool):
    """The simulation to run, built from the parameter file or its checkpoint, and
    the step to run it to: the file's nrsteps."""
    if not args.restart:
        simulation = _new_simulation(Simulation, args, None if keep_every_step else DEFAULT_ENERGY_LOG)
        return simulation, simulation.nrsteps
    if not os.path.exists(args.paramfile):
        raise CommandError(f"Cannot open file: {display_name(args.paramfile)}")
    simulation = Simulation.load(args.restart)
    _refuse_new_run_options(args, simulation)
    wanted = paramfile.read(args.paramfile)
    differing = sorted(key for key in set(wanted.text) | set(simulation.parameters)
                       if key != "nrsteps" and not _same_value(wanted.text.get(key), simulation.parameters.get(key)))
    if differing:
        raise CommandError(f"--restart {display_name(args.restart)}: mismatched: the checkpoint's parameters "
                           f"differ from {display_name(args.paramfile)} in {', '.join(differing)}")
    last = wanted.whole("nrsteps")
    if keep_every_step and simulation.energy_log is not None and last > simulation.energy_log:
        raise CommandError(f"--restart {display_name(args.restart)}: --save and --plot need the energies of every "
                           f"step, and the checkpoint's energy log keeps the latest {simulation.energy_log}")
    return simulation, last


def _run_outputs(args: argparse.Namespace) -> runner.Outputs:
    """What the run writes, checked before anything is: options that need another,
    and paths that cannot be written or would overwrite an input or each other."""
    if args.every is not None and not args.movie:
        raise UsageError("--every sets the steps between movie frames: give --movie too")
    if args.checkpoint_every is not None and not args.checkpoint:
        raise UsageError("--checkpoint-every sets the steps between checkpoints: give --checkpoint too")
    # numpy.savez appends the extension itself otherwise.
    save = args.save if args.save is None or args.save.endswith(".npz") else args.save + ".npz"
    outputs = runner.Outputs(movie=args.movie, every=args.every or DEFAULT_EVERY, checkpoint=args.checkpoint,
                             checkpoint_every=args.checkpoint_every, save=save, plot=_plot_output(args.plot))
    _checked_outputs({"PARAMFILE": args.paramfile, "--restart": args.restart, "--start": args.start},
                     {"--movie": outputs.movie, "--checkpoint": outputs.checkpoint, "--save": outputs.save,
                      "--plot": outputs.plot},
                     may_replace=[("--checkpoint", "--restart")])
    return outputs


def run(args: argparse.Namespace) -> int:
    Simulation = _engine()
    outputs = _run_outputs(args)
    started = time.perf_counter()
    simulation, last = _start(Simulation, args, keep_every_step=bool(outputs.save or outputs.plot))
    if simulation.step > last:
        raise CommandError(f"--restart {display_name(args.restart)}: the checkpoint has run {simulation.step} steps, "
                           f"more than nrsteps = {last} of {display_name(args.paramfile)}")
    cell_length = float(simulation.parameters["cell_length"])
    title = os.path.basename(display_name(args.paramfile))

    def save_result(path: str) -> None:
        _save_result(path, simulation.results(), cell_length)

    def plot_result(path: str) -> None:
        from .plots import plot_energies

        plot_energies(simulation.results(), path, title=title)

    progress = _Progress(simulation.step, last, simulation.nr_particles)
    with runner.StopSignals() as signals:
        the_run = runner.Run(simulation, last, outputs, signals, progress, save_result, plot_result)
        ending = runner.Ending()
        try:
            if the_run.movie and args.restart:
                cut = the_run.movie.continue_from(simulation)
                if cut:
                    runner.report([cut])
            elif the_run.movie:
                the_run.movie.start(simulation)
            the_run.advance()
        except runner.Stopped as stop:
            ending.status = 128 + stop.signum
            ending.messages.append(f"stopped by {stop} after step {simulation.step} of {last}")
        except Exception as error:
            if simulation.step == the_run.first and not simulation.failure:
                raise  # nothing was run: an error like any other command's
            ending.status = 1
            ending.messages.append(f"error after step {simulation.step} of {last}: {_message(error)}")
        finally:
            progress.close()
        if ending.status == 0:
            print(_summary(args.paramfile, simulation, the_run.first, time.perf_counter() - started), flush=True)
        the_run.finish(ending)
        if signals.received and ending.status == 0:
            ending.status = 128 + signals.received
    if ending.status == 0:
        for line in ending.messages:
            print(line, flush=True)
    else:
        runner.report(ending.messages)
    warning = the_run.watch.warning()
    if warning:
        print(f"tovrin run: warning: {warning}", file=sys.stderr, flush=True)
        if args.strict and ending.status == 0:
            return 3
    return ending.status


# A run counts as blown up when its total energy per particle rises by more than
# DRIFT epsilon, or its temperature leaves [0, BAND kT] while that energy rises by
# more than HEATING epsilon: the engine's rule, which tovrin-md applies too.
BAND = _simulation.BlowUpWatch.band
DRIFT = _simulation.BlowUpWatch.drift
HEATING = _simulation.BlowUpWatch.heating


def _read_movie(path: str, command: str, strict: bool = False) -> movie.Movie:
    """The movie at `path`; one cut short reads up to its last whole frame, which is
    said in one line like the command's other messages."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", movie.IncompleteFrameWarning)
        frames = movie.read(path, strict=strict)
    for warning in caught:
        print(f"tovrin {command}: warning: {warning.message}", file=sys.stderr)
    return frames


def movie_command(args: argparse.Namespace) -> int:
    _checked_outputs({"MOVIEFILE": args.moviefile}, {"--xyz": args.xyz, "--gsd": args.gsd})
    frames = _read_movie(args.moviefile, "movie", strict=args.strict)
    print(f"{args.moviefile}: {frames.nr_particles} particles, {frames.nr_frames} frames")
    if frames.nr_frames:
        boxes = np.unique(np.asarray(frames.box), axis=0)
        if len(boxes) == 1:
            print("box  " + " x ".join(repr(float(edge)) for edge in boxes[0]))
        else:
            print(f"box  changes between frames: {len(boxes)} different boxes")
        print(f"{'frame':>7} {'box x':>12} {'mean speed':>20}")
        for k in range(frames.nr_frames):
            speed = float(np.mean(frames.speeds[k])) if frames.nr_particles else float("nan")
            print(f"{k:>7} {float(frames.box[k, 0]):>12.6g} {speed:>20.12g}")
    xyz, gsd = args.xyz, args.gsd
    if xyz:
        movie.write_extxyz(xyz, frames.positions, frames.velocities, frames.box, mass=args.mass)
        print(f"wrote {frames.nr_frames} frames as extended XYZ to {args.xyz}")
    if gsd:
        movie.write_gsd(gsd, frames.positions, frames.velocities, frames.box, mass=args.mass, every=args.every)
        print(f"wrote {frames.nr_frames} frames as GSD to {args.gsd}")
    return 0


def _rdf_input(args: argparse.Namespace):
    """Positions (frames, particles, 3) and box edges from a movie or a saved result."""
    if zipfile.is_zipfile(args.input):
        with np.load(args.input) as saved:
            if "positions" not in saved:
                raise CommandError(f"{args.input} holds no 'positions': not a result saved by `tovrin run --save`")
            positions = saved["positions"]
            box = args.box if args.box is not None else saved["cell_length"] if "cell_length" in saved else None
        if box is None:
            raise CommandError(f"{args.input} holds no 'cell_length': give the box edge with --box")
        return positions[np.newaxis], box
    if args.box is not None:
        raise UsageError(f"--box is for results saved without cell_length; the movie {display_name(args.input)} "
                         f"records the box of each frame")
    frames = _read_movie(args.input, "rdf")
    if args.skip >= frames.nr_frames:
        raise CommandError(f"--skip {args.skip} leaves none of the {frames.nr_frames} frames of {args.input}")
    return frames.positions[args.skip:], frames.box[args.skip:]


def rdf_command(args: argparse.Namespace) -> int:
    from .rdf import rdf

    plot = _plot_output(args.plot)
    _checked_outputs({"MOVIEFILE|RESULT.npz": args.input}, {"--plot": plot})
    positions, box = _rdf_input(args)
    r, g = rdf(positions, box, bins=args.bins, r_max=args.r_max)
    peak = int(np.argmax(g))
    nr_frames = positions.shape[0]
    print(f"# g(r) of {args.input}: {nr_frames} frame{'' if nr_frames == 1 else 's'}, {positions.shape[1]} particles; "
          f"highest peak g = {g[peak]:.4f} at r = {r[peak]:.4f}")
    print(f"# {'r':>10} {'g(r)':>12}")
    for radius, value in zip(r, g):
        print(f"{radius:12.6f} {value:12.6f}")
    if plot:
        from .plots import plot_rdf

        plot_rdf(r, g, plot, title=f"g(r) of {os.path.basename(args.input)}")
        print(f"# plotted g(r) to {plot}")
    return 0


def _frame_interval(args: argparse.Namespace) -> float:
    """The time between a movie's frames: --dt, or --stepsize times --every."""
    if args.dt is not None:
        if args.stepsize is not None or args.every is not None:
            raise CommandError("give either --dt or --stepsize and --every, not both")
        return args.dt
    if args.stepsize is None or args.every is None:
        raise CommandError("the movie does not record time: give --dt (stepsize x every), "
                           "or --stepsize and --every as the movie was recorded with")
    return args.stepsize * args.every


def msd_command(args: argparse.Namespace) -> int:
    from .msd import diffusion

    plot = _plot_output(args.plot)
    _checked_outputs({"MOVIEFILE": args.moviefile}, {"--plot": plot})
    dt = _frame_interval(args)
    frames = _read_movie(args.moviefile, "msd")
    if args.skip >= frames.nr_frames:
        raise CommandError(f"--skip {args.skip} leaves none of the {frames.nr_frames} frames of {args.moviefile}")
    result = diffusion(frames.positions[args.skip:], frames.box[args.skip:], dt, fit=args.fit)
    start, stop = result.fit
    print(f"# MSD of {args.moviefile}: {frames.nr_frames - args.skip} frames {dt:g} τ apart, "
          f"{frames.nr_particles} particles; D = {result.coefficient:.6g} σ²/τ "
          f"(MSD = 6 D t fitted from t = {start:g} to {stop:g} τ)")
    print(f"# {'t / τ':>10} {'MSD / σ²':>14}")
    for lag, value in zip(result.time, result.msd):
        print(f"{lag:12.6g} {value:14.8g}")
    if plot:
        from .plots import plot_msd

        plot_msd(result, plot, title=f"MSD of {os.path.basename(args.moviefile)}")
        print(f"# plotted the MSD to {plot}")
    return 0


def check_command(args: argparse.Namespace) -> int:
    binary = paramfile.binary_content(args.paramfile)
    if binary:
        print(f"{display_name(args.paramfile)} is {binary}, not a parameter file (plain text): "
              f"the engine finds no assignments in it")
        return 1
    report = paramfile.check(args.paramfile)
    for finding in report.findings:
        print(finding)
    if report.missing:
        print(f"missing: {', '.join(report.missing)}")
    if report.unconvertible:
        print(f"values that do not convert: {', '.join(report.unconvertible)}")
    if report.runnable:
        print(f"{display_name(args.paramfile)}: all {len(paramfile.NEEDED_KEYS)} needed keys are assigned")
    return 0 if report.runnable else 1


def export_lammps(args: argparse.Namespace) -> int:
    from .lammps import DATA_FILE, INPUT_SCRIPT, export

    if os.path.isdir(args.outdir):
        _checked_outputs({"PARAMFILE": args.paramfile},
                         {name: os.path.join(args.outdir, name) for name in (DATA_FILE, INPUT_SCRIPT)})
    deck = export(args.paramfile, args.outdir, thermostat=args.thermostat)
    print(f"wrote {deck.data_file} and {deck.input_script}")
    print(f"run it with:  cd {args.outdir} && lmp -in {os.path.basename(deck.input_script)}")
    return 0


def _positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"{text} is not a whole number of at least 1")
    return value


def _not_negative(text: str) -> int:
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"{text} is negative")
    return value


def _positive_number(text: str) -> float:
    value = float(text)
    if not (np.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"{text} is not a positive finite number")
    return value


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(prog="tovrin", description=(
        "Lennard-Jones molecular dynamics with tovrin, in reduced units: "
        "lengths / σ, energies / ε, masses / m, times / τ = σ √(m / ε)."))
    top.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = top.add_subparsers(dest="command", metavar="COMMAND")

    command = commands.add_parser("run", help="run a parameter file and summarise the run")
    command.add_argument("paramfile", help="the parameter file")
    command.add_argument("--plot", metavar="PNG",
                         help="plot the energies per particle / ε and the temperature / ε against the step")
    command.add_argument("--save", metavar="NPZ", help="save the result dictionary (and cell_length) as .npz")
    command.add_argument("--movie", metavar="FILE",
                         help="record a movie in tovrin-md's format: frame 0, then one every K steps")
    command.add_argument("--every", type=_positive, metavar="K",
                         help=f"steps between movie frames (default {DEFAULT_EVERY})")
    command.add_argument("--checkpoint", metavar="FILE",
                         help="save an exact checkpoint at the end, on Ctrl-C and every --checkpoint-every steps")
    command.add_argument("--checkpoint-every", type=_positive, metavar="K", help="steps between checkpoints")
    command.add_argument("--strict", action="store_true",
                         help=f"exit with status 3 when the run looks blown up (the temperature outside "
                              f"[kT / {BAND:g}, {BAND:g} kT], or the total energy per particle moving by more "
                              f"than {DRIFT:g} epsilon); without it, only a warning")
    command.add_argument("--restart", metavar="FILE",
                         help="continue the checkpointed run of PARAMFILE up to its nrsteps")
    command.add_argument("--thermostat", choices=THERMOSTATS,
                         help="berendsen (the default: rescales towards kT with coupling time tau, suppressing "
                              "the kinetic energy's fluctuations), bussi (stochastic velocity rescaling with "
                              "coupling time tau: the canonical ensemble at kT) or none (constant energy, NVE)")
    command.add_argument("--start", metavar="FILE",
                         help="start from the last frame of a GSD file, an extended-XYZ file or a tovrin movie "
                              "instead of the lattice (its box must be cell_length, its particles nr_particles; "
                              "without velocities in the frame they are drawn for kT)")
    command.add_argument("--frame", type=_not_negative, metavar="K",
                         help="start from frame K (counted from 0) of the --start file instead of its last")
    command.set_defaults(handler=run)

    command = commands.add_parser("movie", help="describe a movie file written by tovrin-md --movie")
    command.add_argument("moviefile")
    command.add_argument("--xyz", metavar="OUT", help="convert every frame to extended XYZ (ASE, OVITO, VMD)")
    command.add_argument("--gsd", metavar="OUT", help="convert every frame to GSD (HOOMD-blue, OVITO, freud)")
    command.add_argument("--mass", type=_positive_number, default=1.0, metavar="M",
                         help="particle mass / m for the converted frames, which the movie does not carry "
                              "(default 1.0)")
    command.add_argument("--every", type=_positive, default=1, metavar="K",
                         help="steps between frames, as given to tovrin-md --movie: the GSD frames' steps "
                              "(default 1)")
    command.add_argument("--strict", action="store_true",
                         help="refuse a movie that ends in an incomplete frame instead of reading its whole frames")
    command.set_defaults(handler=movie_command)

    command = commands.add_parser("rdf", help="radial distribution function g(r)")
    command.add_argument("input", metavar="MOVIEFILE|RESULT.npz",
                         help="a movie (g averaged over its frames) or a result saved by `tovrin run --save`")
    command.add_argument("--plot", metavar="PNG", help="plot g(r) against r / σ")
    command.add_argument("--bins", type=_positive, default=200, help="number of bins (default 200)")
    command.add_argument("--r-max", type=_positive_number, metavar="R",
                         help=f"largest distance / σ (default {DEFAULT_SPACINGS:g} mean particle spacings "
                              f"(V / N)^(1/3), 2.54 in the liquid at density 0.8442; at most half the shortest "
                              f"box edge); the time grows with N R³")
    command.add_argument("--skip", type=_not_negative, default=0, help="leave out the first K frames of a movie")
    command.add_argument("--box", type=_positive_number, help="box edge / σ, for results saved without cell_length")
    command.set_defaults(handler=rdf_command)

    command = commands.add_parser("msd", help="mean-squared displacement and diffusion coefficient of a movie")
    command.add_argument("moviefile")
    command.add_argument("--dt", type=_positive_number, help="time between frames / τ (stepsize x every)")
    command.add_argument("--stepsize", type=_positive_number, metavar="S", help="time step of the run / τ (with --every)")
    command.add_argument("--every", type=_positive, metavar="K", help="steps between frames, as given to tovrin-md --movie")
    command.add_argument("--skip", type=_not_negative, default=0, metavar="K",
                         help="leave out the first K frames (equilibration)")
    command.add_argument("--fit", type=_positive_number, nargs=2, metavar=("FROM", "TO"),
                         help="lag times / τ to fit MSD = 6 D t over (default a quarter to a half of the longest)")
    command.add_argument("--plot", metavar="PNG", help="plot the MSD and the fitted line")
    command.set_defaults(handler=msd_command)

    command = commands.add_parser("check", help="list the lines of a parameter file that the engine skips, and why")
    command.add_argument("paramfile")
    command.set_defaults(handler=check_command)

    command = commands.add_parser("export-lammps", help="write the same run as a LAMMPS data file and input script")
    command.add_argument("paramfile")
    command.add_argument("outdir")
    command.add_argument("--thermostat", choices=THERMOSTATS, default="berendsen",
                         help="the run's thermostat (default berendsen): LAMMPS's temp/berendsen, its temp/csvr "
                              "(Bussi's), or none, at constant energy")
    command.set_defaults(handler=export_lammps)

    _add_sweep_command(commands)
    return top


def _show_any_file_name() -> None:
    """File names are bytes: one that is not UTF-8 is printed as it was given."""
    for stream in (sys.stdout, sys.stderr):
        if hasattr(stream, "reconfigure") and (stream.encoding or "").lower().replace("-", "") == "utf8":
            stream.reconfigure(errors="surrogateescape")


def main(argv: Optional[Sequence[str]] = None) -> int:
    _show_any_file_name()
    top = parser()
    args = top.parse_args(argv)
    if args.command is None:  # no command: the help, with the status of a usage error
        top.print_help(sys.stderr)
        return 2
    try:
        return args.handler(args)
    except UsageError as error:
        print(f"tovrin {args.command}: error: {error}", file=sys.stderr)
        return 2
    except BrokenPipeError:
        # The reader of our output went away (`tovrin rdf ... | head`): stop quietly,
        # and keep Python from complaining again when it flushes stdout at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:
        print("tovrin: interrupted", file=sys.stderr)
        return 130
    except Exception as error:  # the engine's and the file system's errors, reported as one line
        print(f"tovrin {args.command}: error: {_message(error)}{_parameter_hint(args, error)}", file=sys.stderr)
        return 1


def _message(error: Exception) -> str:
    if isinstance(error, OSError) and error.filename is not None and error.strerror:
        return f"{error.filename}: {error.strerror}"
    return str(error) or type(error).__name__


def _parameter_hint(args: argparse.Namespace, error: Exception) -> str:
    """Under the engine's "Could not find parameter" message, why the file lacks the
    key; under its message for a value that does not convert, which values and why."""
    path = getattr(args, "paramfile", None)
    if not path:
        return ""
    try:
        lines = paramfile.explain_error(path, str(error))
    except ImportError:  # an unbuilt source tree: the engine's message alone
        return ""
    return "\n" + lines.rstrip("\n") if lines else ""


def _sweep_setting(text: str):
    key, equals, values = text.partition("=")
    if not equals or not key.strip():
        raise argparse.ArgumentTypeError(f"{text!r} is not KEY=VALUE,VALUE,...")
    from .sweep import parse_values

    return key.strip(), parse_values(values)


def sweep_command(args: argparse.Namespace) -> int:
    from .sweep import PLOT, RESULTS, STATES, state_table, sweep

    grid = {}
    for key, values in args.set:
        if key in grid:
            raise CommandError(f"--set {key} is given twice")
        grid[key] = values
    try:
        results = sweep(args.paramfile, grid, out=args.out, equilibrate=args.equilibrate, steps=args.steps,
                        every=args.every, replicas=args.replicas, seed=args.seed, thermostat=args.thermostat,
                        threads_per_run=args.threads_per_run, scheduler=args.scheduler,
                        checkpoint_minutes=args.checkpoint_minutes, progress=True)
    except KeyboardInterrupt:
        print(f"tovrin sweep: interrupted; the runs in progress keep their checkpoints in {args.out}, "
              f"and the same command continues them", file=sys.stderr)
        return 130
    print(state_table(results).to_string(index=False))
    print(f"wrote {os.path.join(args.out, RESULTS)} (one row per run), {os.path.join(args.out, STATES)} "
          f"(one row per state point) and {os.path.join(args.out, PLOT)}")
    return 0


def _add_sweep_command(commands) -> None:
    command = commands.add_parser(
        "sweep", help="run a grid of state points with replicas on Dask, locally or on a cluster",
        description="Runs every combination of the --set values, each --replicas times, and tabulates the "
                    "temperature, potential energy and pressure with their errors. Running the same command "
                    "again continues an interrupted sweep (docs/sweep.md).")
    command.add_argument("paramfile", help="the parameter file the runs start from")
    command.add_argument("--set", type=_sweep_setting, action="append", required=True, metavar="KEY=V1,V2,...",
                         help="a key of the parameter file, or density (setting cell_length = "
                              "(nr_particles / density)^(1/3)), and its values; repeat for more keys")
    command.add_argument("--replicas", type=_positive, default=1, metavar="R", help="runs per state point (default 1)")
    command.add_argument("--equilibrate", type=_not_negative, required=True, metavar="STEPS",
                         help="steps before the measurements")
    command.add_argument("--steps", type=_positive, required=True, metavar="STEPS",
                         help="steps measured, a multiple of --every")
    command.add_argument("--every", type=_positive, required=True, metavar="K", help="steps between measurements")
    command.add_argument("--out", required=True, metavar="DIR", help="the folder of the runs and the tables")
    command.add_argument("--seed", type=_not_negative, metavar="S",
                         help="the sweep's seed, from which each run's is drawn (default: drawn once and "
                              "kept in DIR)")
    command.add_argument("--thermostat", choices=THERMOSTATS, default="berendsen",
                         help="the runs' thermostat (default berendsen); with bussi, the canonical one, the "
                              "tables also give the total energy's variance and the heat capacity")
    command.add_argument("--threads-per-run", type=_positive, default=1, metavar="T",
                         help="OpenMP threads of each run (default 1); the local cluster runs cores / T at once")
    command.add_argument("--scheduler", metavar="tcp://HOST:PORT",
                         help="a running Dask scheduler, whose workers see DIR at the same path "
                              "(default: a cluster on this machine)")
    command.add_argument("--checkpoint-minutes", type=float, default=5.0, metavar="M",
                         help="minutes of work between a run's checkpoints (default 5)")
    command.set_defaults(handler=sweep_command)


if __name__ == "__main__":
    sys.exit(main())
