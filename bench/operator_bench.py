#!/usr/bin/env python3
"""The operator benchmark: what the operator feels, measured from outside on the real program.

Runs quorna-fobit-reader under an Xvfb of its own with a virtual reader (a text file of tokens)
and prints one table: token on the reader -> its ID on the X clipboard while scanning, read-once
click -> ID on the clipboard, launch -> start-up window and main window visible beside a bare
window of the same toolkit and size, CPU while scanning, resident memory. It prints figures and
never fails on a number; it fails only when the program does not do its job at all.

Usage: operator_bench.py --program PROGRAM --bare BARE_WINDOW [--quick | --soak] [--seed N]
       [--compare PROGRAM] [--windows PROGRAM.EXE --windows-bare BARE.EXE
       [--windows-compare PROGRAM.EXE]]
"""

import argparse
import math
import os
import random
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import e2e  # noqa: E402  (the end-to-end tests' session: Xvfb, reader and settings files)
from xwatch import XWatch  # noqa: E402

SCAN_PERIOD = 0.350
DOUBLE_CLICK = 0.6  # longer than the double-click time of Windows (500 ms) and of Qt (400 ms)
SPLASH_SIZE = (473, 347)  # client pixels of the two windows
MAIN_SIZE = (433, 421)
BARE_TITLE = "quorna bench bare window"
POINTER_AWAY = (4, 4)  # root pixels outside every window: the windows are centred
PATIENCE = e2e.PATIENCE
SKIP = 77  # what CTest takes as "skipped": this host cannot run the benchmark


class Failure(Exception):
    pass


def percentile(values, share):
    ordered = sorted(values)
    return ordered[max(math.ceil(share * len(ordered)) - 1, 0)]


def median(values):
    ordered = sorted(values)
    middle = len(ordered) // 2
    return ordered[middle] if len(ordered) % 2 else (ordered[middle - 1] + ordered[middle]) / 2


def cpu_seconds(pid):
    """User and system time of the whole process (all its threads, living or ended)."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def resident_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


class QtFrontEnd:
    name = "Qt 6 front-end under Xvfb"
    bare_name = "bare Qt label window"
    bare_idle = False  # whether the table gives the bare window's idle CPU too

    def __init__(self, program, bare, compare=None):
        self.program, self.bare = os.path.abspath(program), os.path.abspath(bare)
        self.compare = os.path.abspath(compare) if compare else None

    def program_argv(self):
        return [self.program]

    def compared_argv(self):
        """Another build of the program, launched in turn with the others; None without one."""
        return [self.compare] if self.compare else None

    def bare_argv(self, size):
        # The start-up window has no frame; so has its yardstick.
        frameless = ["frameless"] if size == SPLASH_SIZE else []
        return [self.bare, str(size[0]), str(size[1]), BARE_TITLE] + frameless

    def env(self, session):
        return session.env()

    def prepare(self, run):
        pass

    def finish(self, run):
        pass


class WineFrontEnd(QtFrontEnd):
    """The Windows program under wine64, beside a plain Win32 window of the same size."""
    name = "Win32 front-end under wine64 and Xvfb"
    bare_name = "bare Win32 window"
    bare_idle = True
    WINE = "/usr/lib/wine/wine64"

    def program_argv(self):
        return [self.WINE, self.program]

    def compared_argv(self):
        return [self.WINE, self.compare] if self.compare else None

    def bare_argv(self, size):
        return [self.WINE] + QtFrontEnd.bare_argv(self, size)

    @staticmethod
    def windows_path(path):
        return "Z:" + path.replace("/", "\\")

    def env(self, session):
        env = session.env()
        env.update(WINEPREFIX=os.path.join(session.dir, "wine"), WINEDEBUG="-all",
                   WINEDLLOVERRIDES="mscoree,mshtml=",
                   ONEWIRE_CONF=self.windows_path(session.settings))
        return env

    def prepare(self, run):
        """Makes the prefix and starts wine's own processes once, before anything is timed."""
        session = run.s
        # Wine's clipboard bridge may leave a request unanswered: see XWatch.wait_clipboard.
        run.x.ask_every = 0.01
        session.write_settings(["default = usb 1",
                                "usb 1 = virtual " + self.windows_path(session.reader)])
        subprocess.run([self.WINE, "wineboot", "-i"], env=self.env(session),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
        run.launch_bare(SPLASH_SIZE)

    def finish(self, run):
        subprocess.run(["/usr/lib/wine/wineserver", "-k"], env=self.env(run.s),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)


class Run:
    def __init__(self, front, session, watch, args):
        self.front, self.s, self.x, self.args = front, session, watch, args
        self.rng = random.Random(args.seed)
        self.serial = 0x5E0000
        self.rows = []

    def token(self):
        self.serial += 1
        return e2e.rom_id(0x01, self.serial)

    def spawn(self, argv, log):
        out = open(os.path.join(self.s.dir, log + ".log"), "ab")
        started = time.monotonic()
        process = self.s.spawn(argv, env=self.front.env(self.s), stdout=out,
                               stderr=subprocess.STDOUT)
        return process, started

    def visible(self, title, process, what):
        window = self.x.wait_painted(title, time.monotonic() + PATIENCE,
                                     alive=lambda: process.poll() is None)
        if window is None:
            raise Failure("%s never became visible:\n%s" % (what, self.s.log_of()))
        return window

    def stop(self, process, *titles):
        process.terminate()
        try:
            process.wait(PATIENCE)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        for title in titles:
            self.x.wait_gone(title, time.monotonic() + PATIENCE)
        time.sleep(0.3)  # let the server and the machine settle before the next launch

    # -- launches ----------------------------------------------------------------------------
    def launch_program(self, argv):
        self.s.set_tokens([])
        process, started = self.spawn(argv, "program")
        splash = self.visible(e2e.TITLE_SPLASH, process, "the start-up window")
        main = self.visible(e2e.TITLE_MAIN, process, "the main window")
        return process, main, splash.painted_at - started, main.painted_at - started

    def launch_bare(self, size):
        process, started = self.spawn(self.front.bare_argv(size), "bare")
        window = self.visible(BARE_TITLE, process, "the bare window")
        self.stop(process, BARE_TITLE)
        return window.painted_at - started

    def launches(self):
        """Program and bare-window launches alternate, with a compared build's when given; the
        program launched last stays up for what follows. Returns (process, main window)."""
        programs = {"program": self.front.program_argv()}
        if self.front.compared_argv():
            programs["compared"] = self.front.compared_argv()
        times = {kind: ([], []) for kind in list(programs) + ["bare"]}
        running = None
        for n in range(self.args.launches):
            order = ["program"] + list(programs)[1:] + ["bare"]
            if n % 2 == 1 or n == self.args.launches - 1:
                order.reverse()
            for kind in order:
                if running:
                    self.stop(running[0], e2e.TITLE_MAIN, e2e.TITLE_SPLASH)
                    running = None
                if kind == "bare":
                    times[kind][0].append(self.launch_bare(SPLASH_SIZE))
                    times[kind][1].append(self.launch_bare(MAIN_SIZE))
                else:
                    process, window, to_splash, to_main = self.launch_program(programs[kind])
                    running = (process, window)
                    times[kind][0].append(to_splash)
                    times[kind][1].append(to_main)
        bare = times["bare"]
        for kind in programs:
            for i, label in enumerate(("launch -> start-up window visible",
                                       "launch -> main window visible")):
                ours = times[kind][i]
                self.rows.append((label + ("" if kind == "program" else " (compared build)"),
                                  "median %s ms" % ms(median(ours)),
                                  "%s: %s ms" % (self.front.bare_name, ms(median(bare[i]))),
                                  "ratio %.2f" % (median(ours) / median(bare[i])),
                                  "%d launches each; worst %s / %s ms" % (
                                      len(ours), ms(max(ours)), ms(max(bare[i])))))
        return running

    # -- latencies ---------------------------------------------------------------------------
    def latency_row(self, label, samples, note=""):
        self.rows.append((label, "median %s ms" % ms(median(samples)),
                          "p90 %s ms" % ms(percentile(samples, 0.9)),
                          "worst %s ms" % ms(max(samples)), "%d trials%s" % (len(samples), note)))

    def scanning_latency(self, window):
        self.x.click(window, e2e.CMD_SCANNING)
        first = self.token()
        self.s.set_tokens([first])
        if self.x.wait_clipboard(first, time.monotonic() + PATIENCE) is None:
            raise Failure("scanning never copied a token")
        samples = []
        for _ in range(self.args.trials):
            self.s.set_tokens([])
            # Uniform over whole scan periods after the last pass: a random phase of the period.
            time.sleep(0.1 + self.rng.uniform(0, SCAN_PERIOD))
            token = self.token()
            self.s.set_tokens([token])
            put_on = time.monotonic()
            seen = self.x.wait_clipboard(token, put_on + PATIENCE)
            if seen is None:
                raise Failure("token %s never reached the clipboard" % token)
            samples.append(seen - put_on)
        self.latency_row("token on reader -> ID on clipboard (scanning)", samples)

    def read_once_latency(self, window):
        self.x.click(window, e2e.CMD_SCANNING)  # scanning off
        time.sleep(2 * SCAN_PERIOD)
        samples, lost = [], 0
        for _ in range(self.args.trials):
            token = self.token()
            self.s.set_tokens([token])
            # Clicks further apart than a double-click: each is an operator's separate read.
            time.sleep(self.rng.uniform(DOUBLE_CLICK, DOUBLE_CLICK + SCAN_PERIOD))
            self.x.pump(0)
            if self.x.clipboard == token:
                raise Failure("the token was copied before the click: scanning is still on")
            # A click that copies nothing within 2 s is counted as lost and made again.
            for _ in range(3):
                released = self.x.click(window, e2e.CMD_SCAN_ONCE)
                seen = self.x.wait_clipboard(token, released + 2.0)
                if seen is not None:
                    break
                lost += 1
            else:
                raise Failure("read-once never copied %s; windows %s:\n%s" % (
                    token, sorted(w.name or "?" for w in self.x.windows.values()),
                    self.s.log_of()))
            samples.append(seen - released)
        self.latency_row("read-once click -> ID on clipboard", samples,
                         ", %d clicks lost" % lost if lost else "")

    # -- costs -------------------------------------------------------------------------------
    def cpu_share(self, pid, tokens, label):
        self.s.set_tokens(tokens)
        time.sleep(2 * SCAN_PERIOD)
        before, started = cpu_seconds(pid), time.monotonic()
        end = started + self.args.cpu_seconds
        while time.monotonic() < end:
            self.x.pump(end - time.monotonic())
        share = (cpu_seconds(pid) - before) / (time.monotonic() - started)
        self.rows.append((label, "%.2f %% of one core" % (100 * share), "", "",
                          "over %g s" % self.args.cpu_seconds))

    def costs(self, process, window):
        pid = process.pid
        rss_start = resident_kib(pid)
        # Nobody asks the program for the clipboard's text while its own cost is measured, and
        # the pointer rests off the windows, as an operator's hand does once the program scans
        # on its own: under wine a pointer resting on a button costs CPU.
        self.x.read_clipboard = False
        if self.front.bare_idle:
            # What the toolkit costs a window that does nothing, beside it in the same run: the
            # program with scanning off, and the bare window of the main window's size.
            self.x.move_pointer(*POINTER_AWAY)
            self.cpu_share(pid, [], "CPU idle, scanning off")
            bare, _ = self.spawn(self.front.bare_argv(MAIN_SIZE), "bare")
            self.visible(BARE_TITLE, bare, "the bare window")
            self.cpu_share(bare.pid, [], "CPU idle, %s" % self.front.bare_name)
            self.stop(bare, BARE_TITLE)
        self.x.click(window, e2e.CMD_SCANNING)  # scanning on again
        if self.front.bare_idle:
            self.cpu_share(pid, [], "CPU while scanning, pointer resting on its button")
        self.x.move_pointer(*POINTER_AWAY)
        self.cpu_share(pid, [], "CPU while scanning, empty reader")
        self.cpu_share(pid, [self.token()], "CPU while scanning, one token")
        if self.args.soak:
            self.churn(self.args.soak_seconds)
        minutes = (time.monotonic() - self.program_started) / 60
        self.rows.append(("resident memory at start (main window shown)",
                          "%.1f MiB" % (rss_start / 1024), "", "", ""))
        self.rows.append(("resident memory after %.1f min scanning%s" %
                          (minutes, ", tokens churning" if self.args.soak else ""),
                          "%.1f MiB" % (resident_kib(pid) / 1024), "", "", ""))

    def churn(self, seconds):
        """Tokens come and go at random: none, one or two at a time, every 0.2 to 1 s."""
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            self.s.set_tokens([self.token() for _ in range(self.rng.choice((0, 1, 1, 2)))])
            self.x.pump(self.rng.uniform(0.2, 1.0))

    def run(self):
        self.front.prepare(self)
        try:
            process, window = self.launches()
            if not self.args.launch_only:
                self.program_started = time.monotonic()
                self.scanning_latency(window)
                self.read_once_latency(window)
                self.costs(process, window)
            self.stop(process, e2e.TITLE_MAIN)
        finally:
            self.front.finish(self)


def ms(seconds):
    return "%.0f" % (seconds * 1000)


def print_table(title, rows, notes):
    print()
    print(title)
    widths = [max(len(row[i]) for row in rows) for i in range(5)]
    for row in rows:
        print("  " + "  ".join(cell.ljust(widths[i]) for i, cell in enumerate(row)).rstrip())
    for note in notes:
        print("  " + note)


HOW = """How the figures were taken:
  - Each program runs under an Xvfb of its own (1024x768x24, black root, no window manager) with
    the virtual reader of the 1-Wire runtime (libonewire.so.1; onewire.dll under wine): a text
    file of token IDs, written whole and renamed in place.
  - One long-lived X client (ctypes on libX11/libXfixes/libXtst, in this driver) does all the
    watching: it is told of every CLIPBOARD owner change (XFixes) and then asks the owner for the
    text once; a figure ends when the exact ID has been read back. No tool is started to poll.
  - "visible" is the moment the window is mapped and its pixels near the top-left corner are no
    longer the black root: read back every millisecond from the map on. Launch times run from
    just before the fork to that moment; program and bare-window launches alternate.
  - Scanning: the reader is emptied, the token is put on after 0.1 s plus a uniform random share of
    the 350 ms scan period, so it lands at a random phase; the program scans every 350 ms, so
    about 175 ms on average is waiting for the next pass by design.
  - Read once: clicks are sent with XTest, at least 0.6 s apart; the time runs from the
    button's release.
  - Under wine the clipboard's text is also asked for every 10 ms while a figure waits, and a
    request not answered within 20 ms is asked again: wine's clipboard bridge leaves a request
    that arrives while it takes the X selection unanswered until the Windows clipboard next
    changes (seconds when nothing else is copied).
  - CPU: the program's user+system time (all threads, /proc/PID/stat) over wall time, while no
    one asks it for the clipboard's text and the pointer rests outside the windows (under wine:
    the program's own process, without wineserver). Under wine the same is taken of the program
    with scanning off, of the bare window of the main window's size, shown alone for as long, and
    of the program scanning with the pointer left on the button that started it: wine's buttons
    track the pointer to draw their hover state, and that tracking costs the program's process
    CPU for as long as the pointer rests on one. Memory: VmRSS of the program.
  - The machine may be shared: compare the ratios, taken in the same run, rather than the times."""


def run_front_end(front, args):
    session = e2e.Session(front.program)
    watch = None
    try:
        session.start_xvfb()
        watch = XWatch(session.display)
        run = Run(front, session, watch, args)
        run.run()
        return run.rows
    except (e2e.Failure, Failure) as failure:
        raise Failure(str(failure))
    finally:
        if watch:
            watch.close()
        session.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--program", required=True, help="quorna-fobit-reader")
    parser.add_argument("--bare", required=True, help="quorna-bench-bare-window")
    parser.add_argument("--windows", help="the Windows program (run under wine64)")
    parser.add_argument("--windows-bare", help="the bare Win32 window for the wine table")
    parser.add_argument("--windows-compare", metavar="PROGRAM.EXE",
                        help="another build of the Windows program (onewire.dll beside it), "
                             "launched in turn with the others under wine")
    parser.add_argument("--quick", action="store_true",
                        help="a few seconds: one launch, three trials (a smoke run, no figures)")
    parser.add_argument("--soak", action="store_true",
                        help="scan for 10 minutes with tokens churning before memory is read")
    parser.add_argument("--launch-only", action="store_true",
                        help="only the launch figures (for work on the start-up)")
    parser.add_argument("--compare", metavar="PROGRAM",
                        help="another build of the program, launched in turn with the others")
    parser.add_argument("--launches", type=int, help="launches of each (10)")
    parser.add_argument("--seed", type=int, default=None, help="seed for the random phases")
    args = parser.parse_args()
    launches = args.launches
    args.launches, args.trials, args.cpu_seconds, args.soak_seconds = 10, 50, 20.0, 600.0
    if args.quick:
        args.launches, args.trials, args.cpu_seconds, args.soak_seconds = 1, 3, 1.0, 2.0
    if launches is not None:
        args.launches = max(launches, 1)
    if args.seed is None:
        args.seed = random.randrange(1 << 16)

    for tool in ("Xvfb", "xdpyinfo"):
        if not any(os.access(os.path.join(d, tool), os.X_OK)
                   for d in os.environ.get("PATH", "").split(os.pathsep)):
            print("SKIPPED: %s is not installed" % tool)
            return SKIP
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))  # still clean up when stopped

    fronts = [QtFrontEnd(args.program, args.bare, args.compare)]
    if args.windows:
        fronts.append(WineFrontEnd(args.windows, args.windows_bare, args.windows_compare))
    print("Operator benchmark of quorna-fobit-reader%s: %d cores, load average %.2f at the start, "
          "seed %d" % (" (quick smoke run)" if args.quick else "", os.cpu_count(),
                       os.getloadavg()[0], args.seed), flush=True)
    started = time.monotonic()
    failed = False
    for front in fronts:
        try:
            print_table(front.name, run_front_end(front, args), [])
        except Failure as failure:
            print("FAILED (%s): %s" % (front.name, failure), file=sys.stderr)
            failed = True
        sys.stdout.flush()
    print("\n(load average %.2f at the end, %.0f s)" % (os.getloadavg()[0],
                                                        time.monotonic() - started))
    if not args.windows:
        print("\n(No Windows program given: bash bench/run.sh operator --wine adds the wine64 "
              "table.)")
    print()
    print(HOW)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
