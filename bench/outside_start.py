#!/usr/bin/env python3
"""The program's start-up as seen from outside, beside the operator benchmark's own figure: the
program and a bare Qt label window of the start-up window's size launched in turn on one Xvfb,
each timed from just before the fork to three moments:

  mapped     the window is mapped (what `xdotool search --sync --onlyvisible` waits for);
  first paint  a patch near its top-left corner is no longer the black root (the operator
             benchmark's "visible");
  complete   its whole picture is the one it then keeps: the last change of any of its pixels
             before they stay the same for 0.4 s (the start-up window keeps its first screen for
             about 3 s).

Usage: outside_start.py --program quorna-fobit-reader --bare quorna-bench-bare-window
                        [--launches N] [--env NAME=VALUE ...]
The machine may be shared: compare the ratios of one run, not the times.
"""

import argparse
import ctypes
import hashlib
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import e2e  # noqa: E402
import xwatch  # noqa: E402

SPLASH_SIZE = (473, 347)
BARE_TITLE = "quorna bench bare window"
SETTLED = 0.4  # seconds without a changed pixel after which a window's picture is complete
DEMO_TOKEN = "021CB801000000A2"


def median(values):
    ordered = sorted(values)
    middle = len(ordered) // 2
    return ordered[middle] if len(ordered) % 2 else (ordered[middle - 1] + ordered[middle]) / 2


def picture(watch, window, size):
    """A digest of the window's whole picture, or None while it cannot be read."""
    image = xwatch._x.XGetImage(watch.dpy, window.id, 0, 0, size[0], size[1], xwatch._AllPlanes,
                                xwatch._ZPixmap)
    if not image:
        return None
    try:
        img = image.contents
        return hashlib.blake2b(ctypes.string_at(img.data, img.bytes_per_line * img.height),
                               digest_size=16).digest()
    finally:
        xwatch._x.XFree(image.contents.data)
        xwatch._x.XFree(image)


def launch(session, watch, argv, title, env):
    """(mapped, first paint, complete) in seconds after the fork, then the process stopped."""
    started = time.monotonic()
    process = session.spawn(argv, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = started + e2e.PATIENCE
    window = None
    while window is None and time.monotonic() < deadline:
        window = next((w for w in watch.windows.values()
                       if (w.name or watch._name(w.id)) == title), None)
        if window is None:
            watch.pump(0.0005)
    if window is None:
        raise e2e.Failure("%s never mapped" % title)
    mapped = window.mapped_at - started
    first_paint = None
    last, changed = None, time.monotonic()
    while time.monotonic() < deadline:
        now = time.monotonic()
        if first_paint is None and watch.painted(window):
            first_paint = now - started
        digest = picture(watch, window, SPLASH_SIZE)
        if digest != last:
            last, changed = digest, now
        elif first_paint is not None and now - changed >= SETTLED:
            break
        watch.pump(0.001)
    complete = changed - started
    process.terminate()
    process.wait(e2e.PATIENCE)
    while any(w.name == title for w in watch.windows.values()):
        watch.pump(0.01)
    time.sleep(0.3)
    return mapped, first_paint, complete


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--program", required=True)
    parser.add_argument("--bare", required=True)
    parser.add_argument("--launches", type=int, default=10)
    parser.add_argument("--env", action="append", default=[],
                        help="NAME=VALUE for the program's launches (NAME= to unset)")
    args = parser.parse_args()

    session = e2e.Session(args.program)
    watch = None
    try:
        session.start_xvfb()
        watch = xwatch.XWatch(session.display)
        session.set_tokens([DEMO_TOKEN])
        base = session.env()
        program_env = dict(base)
        for item in args.env:
            name, _, value = item.partition("=")
            if value:
                program_env[name] = value
            else:
                program_env.pop(name, None)
        bare = [os.path.abspath(args.bare), str(SPLASH_SIZE[0]), str(SPLASH_SIZE[1]), BARE_TITLE,
                "frameless"]
        times = {"program": [], "bare": []}
        for n in range(args.launches):
            order = ["program", "bare"] if n % 2 == 0 else ["bare", "program"]
            for kind in order:
                if kind == "program":
                    times[kind].append(launch(session, watch, [session.program],
                                              e2e.TITLE_SPLASH, program_env))
                else:
                    times[kind].append(launch(session, watch, bare, BARE_TITLE, base))
        print("launch -> start-up window, %d launches each, alternating; medians (worst)" %
              args.launches)
        for i, label in enumerate(("mapped", "first paint", "complete")):
            ours = [t[i] for t in times["program"]]
            theirs = [t[i] for t in times["bare"]]
            print("  %-12s program %6.1f ms (%6.1f)   bare %6.1f ms (%6.1f)   ratio %.2f" % (
                label, 1000 * median(ours), 1000 * max(ours), 1000 * median(theirs),
                1000 * max(theirs), median(ours) / median(theirs)))
        load = open("/proc/loadavg").read().split()[:3]
        print("  load average %s" % " ".join(load))
    except e2e.Failure as failure:
        print("FAILED: %s" % failure, file=sys.stderr)
        return 1
    finally:
        if watch:
            watch.close()
        session.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
