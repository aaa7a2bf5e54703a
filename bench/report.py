#!/usr/bin/env python3
"""The table of bench/run: figures of Vellicor and the floor, and ratios per goal.

usage: report.py RESULTS USE_NAMESPACE "N..." RUNS

Reads RESULTS/summary.tsv (hyperfine figures), RESULTS/syscalls.tsv (strace counts) and
RESULTS/selection.txt (the selection benchmark).

bench/run times no other affinity or topology tool. Where a goal is set against one, the tool's
figure recorded beside the floor on a machine of this kind stands in for it: per-process costs
as a multiple of the floor's measured in that same recording, so they scale with this run's
floor; whole-run times as recorded.
"""
import collections
import json
import os
import platform
import sys

results, use_namespace, sizes, runs = sys.argv[1:]

# Recorded beside the floor on a 2-core machine of this kind: microseconds per extra process,
# with the floor's own figure of that recording, and whole-run milliseconds.
RECORDED_FLOOR_LIST_US = 10.0
RECORDED_LIST_US = {"hwloc-ps -a": 44.0, "ps -eo pid,comm": 63.0, "taskset -p loop": 6000.0}
RECORDED_TOPOLOGY_MS = {"numactl --hardware": 3.0, "lscpu -e": 5.0}

# --- hyperfine figures: (job, name) -> N -> figures -------------------------------------------
timings = collections.defaultdict(dict)
for line in open(os.path.join(results, "summary.tsv")):
    job, name, n, procs, _tasks, median, low, high, cpu, _runs = line.rstrip("\n").split("\t")
    timings[(job, name)][int(n)] = dict(procs=int(procs), median=float(median), low=float(low),
                                        high=float(high), cpu=float(cpu))


def slope(job, name):
    """Wall and CPU microseconds per extra process between the two largest N (peers.sh's rule:
    per process in /proc for list jobs, per spawned process for set jobs)."""
    by_n = timings.get((job, name), {})
    if len(by_n) < 2:
        return None
    a, b = sorted(by_n)[-2:]
    ra, rb = by_n[a], by_n[b]
    extra = (b - a) if job == "set" else (rb["procs"] - ra["procs"])
    if extra <= 0:
        return None
    return ((rb["median"] - ra["median"]) * 1000 / extra, (rb["cpu"] - ra["cpu"]) * 1000 / extra)


def slope_per_spawned(job, name):
    """Wall microseconds per extra spawned process between the smallest and the largest N: what
    a run that acts on one process pays for every other process on the machine."""
    by_n = timings.get((job, name), {})
    if len(by_n) < 2:
        return None
    a, b = min(by_n), max(by_n)
    return (by_n[b]["median"] - by_n[a]["median"]) * 1000 / (b - a)


def smallest(job, name):
    by_n = timings.get((job, name), {})
    return by_n[min(by_n)] if by_n else None


# --- strace counts: label -> N -> syscall -> calls ---------------------------------------------
counts = collections.defaultdict(lambda: collections.defaultdict(dict))
procs_at = collections.defaultdict(dict)
path = os.path.join(results, "syscalls.tsv")
if os.path.exists(path):
    for line in open(path):
        label, n, procs, syscall, calls = line.rstrip("\n").split("\t")
        counts[label][int(n)][syscall] = int(calls)
        procs_at[label][int(n)] = int(procs)


def per_process(label):
    """System calls per extra process between the two largest counted N, by call."""
    by_n = counts.get(label, {})
    if len(by_n) < 2:
        return None, {}
    a, b = sorted(by_n)[-2:]
    extra = (b - a) if label.endswith("-set") else (procs_at[label][b] - procs_at[label][a])
    if extra <= 0:
        return None, {}
    names = set(by_n[a]) | set(by_n[b])
    each = {k: (by_n[b].get(k, 0) - by_n[a].get(k, 0)) / extra for k in names}
    return sum(each.values()), each


def per_run(label):
    by_n = counts.get(label, {})
    return sum(by_n[min(by_n)].values()) if by_n else None


def fmt(value, pattern="%.1f"):
    return "-" if value is None else pattern % value


def ratio(a, b):
    return None if a is None or b is None or b <= 0 else a / b


# --- header ------------------------------------------------------------------------------------
model = "unknown processor"
for line in open("/proc/cpuinfo"):
    if line.startswith("model name"):
        model = line.split(":", 1)[1].strip()
        break
threaded = os.environ.get("THREADED_EVERY", "0") not in ("", "0")
print()
print("Vellicor performance, %s UTC" % os.path.basename(results).replace("results-", ""))
print("machine: %s, %d logical processors, Linux %s, load average %s"
      % (model, os.cpu_count(), platform.release(), " ".join(open("/proc/loadavg").read().split()[:3])))
print("load: N = %s extra idle processes (%s); %s runs per figure"
      % (sizes, "sleep, and python3 ones with 9 threads" if threaded else "all of them `sleep`",
         runs))
print("/proc: %s" % ("the benchmark's own process-identifier namespace" if use_namespace == "1"
                     else "the whole machine; the set job selects the spawned processes by identifier"))
print()

# --- figures -----------------------------------------------------------------------------------
set_command = "vellicor /x:1 sleep" if use_namespace == "1" else "vellicor /x:1 /p PID..."
rows = [
    ("list", "vellicor", "vellicor /l", "vellicor-list"),
    ("list", "floor-list", "floor list", "floor-list"),
    ("set", "vellicor", set_command, "vellicor-set"),
    ("set", "floor-set", "floor set 1 -f PIDFILE", "floor-set"),
    ("topo", "vellicor", "vellicor /c", "vellicor-topo"),
]
header = "%-5s %-24s %12s %14s %14s %10s"
print(header % ("job", "command", "wall ms", "slope us/proc", "slope us/proc", "syscalls"))
print(header % ("", "", "N=0, median", "median wall", "mean cpu", "per proc"))
noisy = []
for job, name, command, label in rows:
    first = smallest(job, name)
    per_proc = slope(job, name)
    if job == "topo":
        syscalls = fmt(per_run(label), "%.0f/run")
    else:
        syscalls = fmt(per_process(label)[0], "%.2f")
    wall = first["median"] if first and job != "set" else None
    print(header % (job, command, fmt(wall, "%.2f"), fmt(per_proc and per_proc[0]),
                    fmt(per_proc and per_proc[1]), syscalls))
    for n, figures in sorted(timings.get((job, name), {}).items()):
        if figures["low"] > 0 and figures["high"] > 2.5 * figures["low"]:
            noisy.append("%s %s N=%d (min %.1f, max %.1f ms)"
                         % (job, command, n, figures["low"], figures["high"]))
for name, command in (("vellicor-pid", "vellicor /x:1 /p PID"),
                      ("floor-set-one", "floor set 1 PID"),
                      ("vellicor-launch", "vellicor /x:1 /e true")):
    by_n = timings.get(("one", name), {})
    if not by_n:
        continue
    walls = ", ".join("N=%d %.2f" % (n, f["median"]) for n, f in sorted(by_n.items()))
    print(header % ("one", command, fmt(by_n[min(by_n)]["median"], "%.2f"),
                    fmt(slope_per_spawned("one", name), "%.2f"), "", "")
          + "   (median ms: %s)" % walls)
list_f = slope("list", "floor-list")
if list_f:
    scale = list_f[0] / RECORDED_FLOOR_LIST_US
    for tool, recorded in RECORDED_LIST_US.items():
        print(header % ("list", tool + " *", "", fmt(recorded * scale), "", ""))
for tool, recorded in RECORDED_TOPOLOGY_MS.items():
    print(header % ("topo", tool + " *", fmt(recorded, "%.2f"), "", "", ""))
print("* recorded beside the floor on a machine of this kind, not run here; slopes scaled by this")
print("  run's floor (%.1f us/proc recorded for it there)" % RECORDED_FLOOR_LIST_US)
print()

# --- goals -------------------------------------------------------------------------------------
list_v = slope("list", "vellicor")
set_v, set_f = slope("set", "vellicor"), slope("set", "floor-set")
start_v, start_f = smallest("list", "vellicor"), smallest("list", "floor-list")
topo_v = smallest("topo", "vellicor")


def both(a, b):
    if a is None or b is None:
        return None, None
    if isinstance(a, tuple):
        return ratio(a[0], b[0]), ratio(a[1], b[1])
    return ratio(a["median"], b["median"]), ratio(a["cpu"], b["cpu"])


hwloc_factor = RECORDED_LIST_US["hwloc-ps -a"] / RECORDED_FLOOR_LIST_US
list_h = (list_f[0] * hwloc_factor, list_f[1] * hwloc_factor) if list_f else None
topo_n = dict(median=RECORDED_TOPOLOGY_MS["numactl --hardware"], cpu=None)
goals = [
    ("1 /l slope <= 1.5x floor list", both(list_v, list_f), 1.5),
    ("1 /l slope <= 1/3 of hwloc-ps -a *", both(list_v, list_h), 1 / 3),
    ("1 start-up (/l at N=0) <= 1.5x floor list", both(start_v, start_f), 1.5),
    ("2 set slope <= 1.5x floor set", both(set_v, set_f), 1.5),
    ("5 /p PID slope, us per extra process <= 1.5",
     (slope_per_spawned("one", "vellicor-pid"), None), 1.5),
    ("5 /e true slope, us per extra process <= 1.5",
     (slope_per_spawned("one", "vellicor-launch"), None), 1.5),
    ("3 /c wall <= numactl --hardware *",
     (ratio(topo_v["median"], topo_n["median"]) if topo_v else None, None), 1.0),
]
print("%-44s %8s %8s %7s  %s" % ("goal (ratio Vellicor : anchor)", "wall", "cpu", "limit", "met, by wall"))
for text, (wall, cpu), limit in goals:
    unit = "us" if " us " in text else "x"
    if wall is None:
        verdict = "-"
    elif wall <= limit:
        verdict = "yes"
    else:
        verdict = "no, %.0f%% over" % ((wall / limit - 1) * 100)
    print("%-44s %7s%s %7s%s %6.2f%s  %s" % (text, fmt(wall, "%.2f"), unit, fmt(cpu, "%.2f"), unit,
                                            limit, unit, verdict))
if set_f and list_f:
    # By name, the set has to read every name first; the floor's set is handed the identifiers.
    floor_by_name = (set_f[0] + list_f[0], set_f[1] + list_f[1])
    wall, cpu = both(set_v, floor_by_name)
    print("%-44s %7sx %7sx %7s  %s" % ("  set slope : (floor list + floor set) slope", fmt(wall, "%.2f"),
                                        fmt(cpu, "%.2f"), "", "(a floor that also reads names)"))

selection = os.path.join(results, "selection.txt")
if os.path.exists(selection):
    print("4 selection over 10,000 simulated entries (bench/selection_benchmark; per_entry, per_pair):")
    for line in open(selection):
        stripped = line.strip()
        if stripped.startswith(("select/", "naive/", "reference/", "pid targets", "name targets",
                                "pattern built")):
            print("    " + stripped)

print()
for label, title in (("vellicor-list", "vellicor /l, per process"), ("floor-list", "floor list, per process"),
                     ("vellicor-set", set_command + ", per target"), ("floor-set", "floor set, per target")):
    total, each = per_process(label)
    if total is None:
        continue
    parts = ", ".join("%s %.2f" % (k, v) for k, v in sorted(each.items(), key=lambda kv: -kv[1])
                      if abs(v) >= 0.005)
    print("syscalls, %s: %.2f = %s" % (title, total, parts))
if noisy:
    print()
    print("noisy (max > 2.5x min), worth a rerun: " + "; ".join(noisy))
print()
print("results: %s" % results)
