#!/usr/bin/env python3
"""Times peerloom against the stock client and against the floor, mode by mode.

Usage: compare.py PEERLOOM FLOOR CONFIG_DIR HOST USER PASSWORD DATABASE -- CLIENT_ARGV...

For each form of peer file (chan_sip, then PJSIP with `driver = pjsip`) and
each mode, four runs take turns, after one warm-up round, so that drifts of
the machine hit them alike:
- peerloom replacing its file: the file on disk differs from what the
  table says in one byte halfway through, so that half of it is read back
  and compared before the whole is replaced;
- peerloom with the file already as the table says (left alone);
- the stock client writing the query's result into a file;
- the floor: connect, query and store the result, then write the bytes of
  peerloom's file to a new file, sync it, rename it and sync the directory,
  the least a safe replacement can cost;
- the floor plus reading the file: the floor, which also reads peerloom's
  file whole first, the limit of a run that must find the file unchanged.
Each run's wall time is taken around the child with a monotonic clock, and
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
FORMS = [("chan_sip", ""), ("pjsip", "driver = pjsip\n")]
# Rounds timed after the warm-up; more give steadier medians on a machine
# whose disk syncs at uneven speed.
RUNS = int(os.environ.get("PEERLOOM_BENCH_RUNS", "5"))


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


def change_a_byte(path):
    """Makes the peer file differ from what the table says in one byte,
    halfway through, in place: as a table edit would, on average."""
    at = os.path.getsize(path) // 2
    with open(path, "r+b") as f:
        f.seek(at)
        byte = f.read(1)
        f.seek(at)
        f.write(b"#" if byte != b"#" else b"%")


def compare(programs, config_dir, mode, table):
    query = f"SELECT * from {table} order by _exten asc"
    conf = os.path.join(config_dir, f"{table}.conf")
    argv = {
        "replaced": [programs["peerloom"], mode],
        "unchanged": [programs["peerloom"], mode],
        "client": programs["client"] + ["--batch", "-e", query],
        "floor": [programs["floor"], *programs["db"], query, conf,
                  os.path.join(config_dir, f"{table}.floor.conf")],
        "read": [programs["floor"], *programs["db"], query, conf,
                 os.path.join(config_dir, f"{table}.floor.conf"), "read"],
    }
    outputs = {"client": os.path.join(config_dir, f"{table}.client.tsv")}
    run(argv["replaced"], os.devnull)  # the file the first round changes
    samples = {name: [] for name in argv}
    for i in range(RUNS + 1):
        for name, command in argv.items():
            if name == "replaced":
                change_a_byte(conf)
            sample = run(command, outputs.get(name, os.devnull))
            if i > 0:  # the first round warms the server's and the kernel's caches
                samples[name].append(sample)
    medians = {name: (statistics.median(s[0] for s in runs), statistics.median(s[1] for s in runs))
               for name, runs in samples.items()}
    fastest = {name: min(s[0] for s in runs) for name, runs in samples.items()}
    return medians, fastest, os.path.getsize(conf)


def write_settings(config_dir, db, extra):
    host, user, password, database = db
    path = os.path.join(config_dir, "peerloom.ini")
    with open(path, "w") as f:
        f.write(f"dbserverip = {host}\ndbuser = {user}\ndbpasswd = {password}\n"
                f"dbname = {database}\n{extra}")
    os.chmod(path, 0o600)


def main():
    # The files are written as a site would keep them, not open to everyone:
    # a file of secrets that everyone may read draws a warning.
    os.umask(0o027)
    args = sys.argv[1:]
    split = args.index("--")
    peerloom, floor, config_dir, *db = args[:split]
    programs = {"peerloom": peerloom, "floor": floor, "db": db, "client": args[split + 1:]}
    print(f"median of {RUNS} runs after a warm-up; wall time in ms, peak RSS in KiB; the last two "
          "ratios are those of the fastest runs, which a machine's hiccups cannot lengthen")
    print(f"{'form':<9}{'mode':<18}{'replaced':>16}{'unchanged':>16}{'client':>16}{'floor':>16}"
          f"{'read':>16}{'/client':>9}{'/floor':>8}{'u/read':>8}{'fast/fl':>9}{'fast/rd':>9}"
          f"{'bytes':>11}")
    for form, extra in FORMS:
        write_settings(config_dir, db, extra)
        for mode, table in MODES:
            m, fast, size = compare(programs, config_dir, mode, table)
            cells = "".join(f"{m[name][0] * 1000:>9.1f} {m[name][1]:>6}"
                            for name in ("replaced", "unchanged", "client", "floor", "read"))
            replaced, client, floor_time = m["replaced"][0], m["client"][0], m["floor"][0]
            unchanged, read_time = m["unchanged"][0], m["read"][0]
            print(f"{form:<9}{mode + ' ' + table:<18}{cells}"
                  f"{replaced / client:>9.3f}{replaced / floor_time:>8.3f}"
                  f"{unchanged / read_time:>8.3f}{fast['replaced'] / fast['floor']:>9.3f}"
                  f"{fast['unchanged'] / fast['read']:>9.3f}{size:>11}")


if __name__ == "__main__":
    main()
