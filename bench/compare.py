#!/usr/bin/env python3
"""Whole runs of the tool beside cp, cp + sync, cp + sync + mv and openssl, measured
side by side in one run: every round runs every command once, in a fresh random
order, with a sync before each so that none pays for another's write-back.

Usage: bench/compare.py [--size-mib N] [--rounds N] [--binary PATH] [--dir DIR]
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


def build_release():
    subprocess.run(["cmake", "--preset", "release"], cwd=ROOT, check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", "--preset", "release"], cwd=ROOT, check=True,
                   stdout=subprocess.DEVNULL)
    return os.path.join(ROOT, "build", "release", "velmoran")


def run_timed(command):
    """Seconds and peak resident KiB of one shell command."""
    subprocess.run(["sync"], check=True)
    start = time.perf_counter()
    child = subprocess.Popen(command, shell=True)
    _, status, usage = os.wait4(child.pid, 0)
    elapsed = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"failed ({status}): {command}")
    return elapsed, usage.ru_maxrss


def make_file(path, size):
    with open(path, "wb") as out:
        chunk = os.urandom(1 << 20)
        for _ in range(size >> 20):
            out.write(chunk)
        out.write(os.urandom(size & ((1 << 20) - 1)))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--size-mib", type=int, default=1024)
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--binary")
    parser.add_argument("--dir", default=None, help="where the files go (same disk as the run)")
    args = parser.parse_args()

    tool = args.binary or build_release()
    work = tempfile.mkdtemp(prefix="velmoran-bench-", dir=args.dir or ROOT + "/build")
    try:
        size = args.size_mib << 20
        src, key, small = (os.path.join(work, n) for n in ("source", "key.bin", "small"))
        make_file(src, size)
        make_file(key, 1 << 20)
        make_file(small, 1024)
        own = os.path.join(work, "own")  # the in-place runs' own copy
        out = os.path.join(work, "out")
        commands = {
            "velmoran copy": f"{tool} -s -c {src} {out}",
            "velmoran in place": f"{tool} -s {own}",
            "velmoran copy, 1 MiB key file": f"{tool} -s -f -c {src} {out} {key}",
            "cp": f"cp {src} {out}",
            "cp + sync": f"cp {src} {out} && sync {out}",
            "cp + sync + mv": f"cp {own} {own}.new && sync {own}.new && mv {own}.new {own}",
            "openssl aes-128-ctr": f"{OPENSSL} -in {src} -out {out}",
            "openssl aes-128-ctr + sync": f"{OPENSSL} -in {src} -out {out} && sync {out}",
            "velmoran 1 KiB": f"{tool} -s -c {small} {out}.small",
            "cp 1 KiB": f"cp {small} {out}.small",
        }
        times = {name: [] for name in commands}
        peaks = {name: 0 for name in commands}
        for round_number in range(args.rounds):
            order = list(commands)
            random.shuffle(order)
            for name in order:
                if "in place" in name or "mv" in name:
                    shutil.copyfile(src, own)
                for leftover in (out, out + ".small"):
                    if os.path.exists(leftover):
                        os.remove(leftover)
                elapsed, peak = run_timed(commands[name])
                times[name].append(elapsed)
                peaks[name] = max(peaks[name], peak)
            print(f"round {round_number + 1}/{args.rounds} done", file=sys.stderr)

        best = {name: min(values) for name, values in times.items()}
        median = {name: statistics.median(values) for name, values in times.items()}

        def ratio(a, b):
            return f"{best[a] / best[b]:.2f} (median {median[a] / median[b]:.2f})"

        print(f"\n{args.size_mib} MiB file, {args.rounds} rounds, {os.cpu_count()} cores\n")
        print(f"| command | best s | median s | peak RSS MiB |")
        print(f"|---|---|---|---|")
        for name in commands:
            print(f"| {name} | {best[name]:.3f} | {median[name]:.3f} | {peaks[name] / 1024:.1f} |")
        print("\n| ratio (best rounds; medians in brackets) | value |")
        print("|---|---|")
        print(f"| copy / (cp + sync) | {ratio('velmoran copy', 'cp + sync')} |")
        print(f"| in place / (cp + sync + mv) | {ratio('velmoran in place', 'cp + sync + mv')} |")
        print(f"| (openssl + sync) / copy | {ratio('openssl aes-128-ctr + sync', 'velmoran copy')} |")
        print(f"| (openssl + sync) / in place | "
              f"{ratio('openssl aes-128-ctr + sync', 'velmoran in place')} |")
        print(f"| 1 MiB key file / default key | {ratio('velmoran copy, 1 MiB key file', 'velmoran copy')} |")
        print(f"| 1 KiB file / cp of it | {ratio('velmoran 1 KiB', 'cp 1 KiB')} |")
        for name in ("velmoran copy", "velmoran in place", "velmoran copy, 1 MiB key file"):
            print(f"| peak RSS of {name} / file size | {peaks[name] * 1024 / size:.3f} |")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
