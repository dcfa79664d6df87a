#!/usr/bin/env python3
"""Times peerloom against the stock client on the same query, mode by mode.

Usage: compare.py PEERLOOM CONFIG_DIR CLIENT_ARGV...

Both programs run alternately, after one warm-up run each, so that drifts
of the machine hit both alike. Each run's wall time is taken around the
child with a monotonic clock (GNU time's %e has only 10 ms resolution), and
its peak resident memory is the one wait4 reports for that child alone.
"""
import os
import statistics
import sys
import time

MODES = [
    ("0", "users_extension"),
    ("1", "users_horncell"),
    ("2", "users_webrtc"),
]
RUNS = 5


def run(argv, stdout_path):
    """Runs argv with stdout sent to stdout_path; returns (seconds, peak KiB)."""
    actions = [(os.POSIX_SPAWN_OPEN, 1, stdout_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)]
    start = time.perf_counter()
    pid = os.posix_spawnp(argv[0], argv, os.environ, file_actions=actions)
    _, status, usage = os.wait4(pid, 0)
    elapsed = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"{argv[0]} failed with status {status}")
    return elapsed, usage.ru_maxrss


def compare(peerloom, config_dir, client, mode, table):
    query = f"SELECT * from {table} order by _exten asc"
    ours = [peerloom, mode]
    theirs = client + ["--batch", "-e", query]
    client_file = os.path.join(config_dir, f"{table}.client.tsv")
    samples = {"peerloom": [], "client": []}
    for i in range(RUNS + 1):
        p = run(ours, os.devnull)
        c = run(theirs, client_file)
        if i > 0:  # the first pair warms the server's and the kernel's caches
            samples["peerloom"].append(p)
            samples["client"].append(c)
    return {name: (statistics.median(s[0] for s in runs), statistics.median(s[1] for s in runs))
            for name, runs in samples.items()}


def main():
    peerloom, config_dir, *client = sys.argv[1:]
    print(f"median of {RUNS} runs after a warm-up; wall time in ms, peak RSS in KiB")
    print(f"{'mode':<18}{'peerloom':>16}{'client':>16}{'ratio':>16}")
    for mode, table in MODES:
        m = compare(peerloom, config_dir, client, mode, table)
        (pt, pm), (ct, cm) = m["peerloom"], m["client"]
        conf = os.path.join(config_dir, f"{table}.conf")
        print(f"{mode + ' ' + table:<18}"
              f"{pt * 1000:>9.1f} {pm:>6}{ct * 1000:>9.1f} {cm:>6}"
              f"{pt / ct:>9.3f} {pm / cm:>6.3f}"
              f"   ({os.path.getsize(conf)} bytes)")


if __name__ == "__main__":
    main()
