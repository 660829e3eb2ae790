#!/usr/bin/env python3
"""Whole runs of the tool beside cp, cp + sync, cp + sync + mv and openssl, measured
side by side in one run: every round runs every command once, in a fresh random
order, with a sync before each so that none pays for another's write-back. Each
round is measured with a warm page cache and, where the caches can be dropped (root,
a writable /proc/sys/vm/drop_caches), with a cold one: caches dropped before every
command. Peak memory is read by /usr/bin/time, which forks nothing bigger than
itself (a fork of this script would count its own pages).

Usage: bench/compare.py [--size-mib N] [--rounds N] [--binary PATH] [--dir DIR]
                        [--cache warm|cold|both] [--wine-exe PATH]
"""
import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

OPENSSL = ("openssl enc -aes-128-ctr -K 00112233445566778899aabbccddeeff "
           "-iv 00000000000000000000000000000000")
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TIME = "/usr/bin/time"
DROP_CACHES = "/proc/sys/vm/drop_caches"
WINE = os.environ.get("VELMORAN_WINE", "/usr/lib/wine/wine64")


def build_release():
    subprocess.run(["cmake", "--preset", "release"], cwd=ROOT, check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", "--preset", "release"], cwd=ROOT, check=True,
                   stdout=subprocess.DEVNULL)
    return os.path.join(ROOT, "build", "release", "velmoran")


def can_drop_caches():
    try:
        with open(DROP_CACHES, "w") as control:
            control.write("3\n")
        return True
    except OSError:
        return False


def run_timed(command, cold, work, env=None):
    """Seconds and peak resident KiB of one shell command."""
    subprocess.run(["sync"], check=True)
    if cold:
        with open(DROP_CACHES, "w") as control:
            control.write("3\n")
    rss_file = os.path.join(work, "rss")
    start = time.perf_counter()
    done = subprocess.run([TIME, "-f", "%M", "-o", rss_file, "sh", "-c", command], env=env)
    elapsed = time.perf_counter() - start
    if done.returncode != 0:
        sys.exit(f"failed ({done.returncode}): {command}")
    with open(rss_file) as rss:
        return elapsed, int(rss.read().split()[-1])


def make_file(path, size):
    with open(path, "wb") as out:
        chunk = os.urandom(1 << 20)
        for _ in range(size >> 20):
            out.write(chunk)
        out.write(os.urandom(size & ((1 << 20) - 1)))


def measure(commands, prepare, rounds, cold, work, env=None):
    times = {name: [] for name in commands}
    peaks = {name: 0 for name in commands}
    for round_number in range(rounds):
        order = list(commands)
        random.shuffle(order)
        for name in order:
            prepare(name)
            elapsed, peak = run_timed(commands[name], cold, work, env)
            times[name].append(elapsed)
            peaks[name] = max(peaks[name], peak)
        label = "cold" if cold else "warm"
        print(f"{label} round {round_number + 1}/{rounds} done", file=sys.stderr)
    return times, peaks


def report(title, commands, times, peaks, goals):
    best = {name: min(values) for name, values in times.items()}
    median = {name: statistics.median(values) for name, values in times.items()}
    print(f"\n### {title}\n")
    print("| command | median s | best s | peak RSS MiB |")
    print("|---|---|---|---|")
    for name in commands:
        print(f"| {name} | {median[name]:.3f} | {best[name]:.3f} | {peaks[name] / 1024:.1f} |")
    print("\n| goal (judged on medians) | median | best | met |")
    print("|---|---|---|---|")
    for text, a, b, limit, lower in goals:
        m, bst = median[a] / median[b], best[a] / best[b]
        met = m >= limit if lower else m <= limit
        print(f"| {text} | {m:.2f} | {bst:.2f} | {'yes' if met else 'NO'} |")
    return median, peaks


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--size-mib", type=int, default=1024)
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--binary")
    parser.add_argument("--dir", default=None, help="where the files go (same disk as the run)")
    parser.add_argument("--cache", choices=("warm", "cold", "both"), default="both")
    parser.add_argument("--wine-exe", help="Velmoran.exe: its peak RSS under Wine, big file vs 1 KiB")
    args = parser.parse_args()
    if not os.access(TIME, os.X_OK):
        sys.exit(f"{TIME} is missing (Debian package: time)")

    tool = args.binary or build_release()
    work = tempfile.mkdtemp(prefix="velmoran-bench-", dir=args.dir or ROOT + "/build")
    try:
        size = args.size_mib << 20
        key_size = 1 << 20
        src, key, small = (os.path.join(work, n) for n in ("source", "key.bin", "small"))
        make_file(src, size)
        make_file(key, key_size)
        make_file(small, 1024)
        own = os.path.join(work, "own")  # the in-place runs' own copy
        linked = os.path.join(work, "linked")  # a second name: the overwrite path
        out = os.path.join(work, "out")
        commands = {
            "velmoran copy": f"{tool} -s -c {src} {out}",
            "velmoran in place": f"{tool} -s {own}",
            "velmoran overwrite (hard-linked)": f"{tool} -s {own}",
            "velmoran copy, 1 MiB key file": f"{tool} -s -f -c {src} {out} {key}",
            "cp": f"cp {src} {out}",
            "cp + sync": f"cp {src} {out} && sync {out}",
            "cp + sync + mv": f"cp {own} {own}.new && sync {own}.new && mv {own}.new {own}",
            "openssl aes-128-ctr + sync": f"{OPENSSL} -in {src} -out {out} && sync {out}",
            "velmoran 1 KiB": f"{tool} -s -c {small} {out}.small",
            "cp 1 KiB + sync": f"cp {small} {out}.small && sync {out}.small",
        }

        def prepare(name):
            for leftover in (out, out + ".small", linked):
                if os.path.exists(leftover):
                    os.remove(leftover)
            if "in place" in name or "mv" in name or "overwrite" in name:
                shutil.copyfile(src, own)
            if "overwrite" in name:
                os.link(own, linked)

        goals = [
            ("copy <= 1.1 x (cp + sync)", "velmoran copy", "cp + sync", 1.1, False),
            ("in place <= 1.1 x (cp + sync + mv)", "velmoran in place", "cp + sync + mv", 1.1, False),
            # The overwrite path keeps a recovery record beside the file, which costs two
            # flushes per stretch; that is why it may take longer than a staged copy.
            ("overwrite <= 1.5 x (cp + sync)", "velmoran overwrite (hard-linked)", "cp + sync", 1.5,
             False),
            ("(openssl + sync) >= 1.5 x copy", "openssl aes-128-ctr + sync", "velmoran copy", 1.5, True),
            ("(openssl + sync) >= 1.5 x in place", "openssl aes-128-ctr + sync", "velmoran in place",
             1.5, True),
            ("1 KiB <= 2 x (cp + sync) of it", "velmoran 1 KiB", "cp 1 KiB + sync", 2.0, False),
        ]
        modes = {"warm": [False], "cold": [True], "both": [False, True]}[args.cache]
        if True in modes and not can_drop_caches():
            print(f"note: cannot write {DROP_CACHES} (not root, or no /proc): no cold rows")
            modes = [m for m in modes if not m]
        print(f"{args.size_mib} MiB file, {args.rounds} rounds, {os.cpu_count()} cores")
        all_peaks = {}
        for cold in modes:
            times, peaks = measure(commands, prepare, args.rounds, cold, work)
            report(("cold" if cold else "warm") + " cache", commands, times, peaks, goals)
            for name, peak in peaks.items():
                all_peaks[name] = max(all_peaks.get(name, 0), peak)

        limit_kib = (key_size >> 10) + 16 * 1024
        print("\n| peak RSS (all rounds) | MiB | limit MiB (key + 16) | met |")
        print("|---|---|---|---|")
        for name in ("velmoran copy", "velmoran in place", "velmoran overwrite (hard-linked)",
                     "velmoran copy, 1 MiB key file"):
            print(f"| {name} | {all_peaks[name] / 1024:.1f} | {limit_kib / 1024:.0f} | "
                  f"{'yes' if all_peaks[name] <= limit_kib else 'NO'} |")

        if args.wine_exe:
            prefix = os.path.join(os.path.dirname(os.path.abspath(args.wine_exe)), "wine")
            env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all")
            exe = args.wine_exe
            wine_commands = {
                "Velmoran.exe copy": f"{WINE} {exe} -s -c {src} {out}",
                "Velmoran.exe 1 KiB": f"{WINE} {exe} -s -c {small} {out}.small",
            }
            _, peaks = measure(wine_commands, prepare, max(1, args.rounds // 3), False, work, env)
            above = (peaks["Velmoran.exe copy"] - peaks["Velmoran.exe 1 KiB"]) / 1024
            print(f"\n| Windows build under Wine | peak RSS MiB |\n|---|---|")
            for name, peak in peaks.items():
                print(f"| {name} | {peak / 1024:.1f} |")
            print(f"| above the 1 KiB run (limit 16) | {above:.1f} {'yes' if above <= 16 else 'NO'} |")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
