#!/usr/bin/env python3
"""SparseReads' JMH results as markdown tables, one per kernel clock.

Reads, from one directory, what bench-sparse-jmh writes there:
  jdk<M>-<state>.json       JMH's JSON for JDK <M>, <state> undisciplined
                            (the kernel's clock as found) or disciplined
  jdk<M>-<state>.bindings   the binding each Varnok case's fork measured
and prints, per kernel clock, every JDK's median and p99 per gap beside the
JDK's clocks (also written to sparse.md there).
"""

import argparse
import glob
import json
import os
import platform
import re

PREFIX = "com.vornix.common.unix.jmh.SparseReads."
# Each Varnok clock beside the JDK clocks a reader would replace with it.
COLUMNS = [
    ("varnokEpoch", "`VarnokTime.currentTimeNanos()`", None),
    ("instantNow", "`Instant.now()`", "varnokEpoch"),
    ("currentTimeMillis", "`System.currentTimeMillis()`", "varnokEpoch"),
    ("varnokRelative", "`VarnokTime.nanoTime()`", None),
    ("nanoTime", "`System.nanoTime()`", "varnokRelative"),
    ("baseline", "harness", None),
]


def figures(result):
    percentiles = result["primaryMetric"]["scorePercentiles"]
    return percentiles["50.0"], percentiles["99.0"]


def time(ns):
    if ns < 1000:
        return "%.0f ns" % ns
    return ("%.2f µs" if ns < 10000 else "%.1f µs") % (ns / 1000)


def pair(median, p99):
    return ("%.0f / %s" % (median, time(p99)) if p99 < 1000
            else time(median) + " / " + time(p99))


def ratio(a, b):
    return "%.2fx / %.2fx" % (a[0] / b[0], a[1] / b[1]) if b[0] and b[1] else "-"


def reads(gap_us):
    if gap_us == 0:
        return "in a loop"
    return "one every " + ("%g ms" % (gap_us / 1000) if gap_us % 1000 == 0 else "%d µs" % gap_us)


def read_run(path):
    """{gap_us: {case: (median, p99)}}, the JMH header, and the binding."""
    with open(path, encoding="utf-8") as f:
        results = json.load(f)
    gaps = {}
    for r in results:
        case = r["benchmark"][len(PREFIX):]
        gaps.setdefault(int(r["params"]["gapUs"]), {})[case] = figures(r)
    bindings = set()
    try:
        with open(path[: -len(".json")] + ".bindings", encoding="utf-8") as f:
            bindings = {line.split("\t")[1] for line in f if "\t" in line}
    except OSError:
        pass
    first = results[0] if results else {}
    return gaps, first, "/".join(sorted(bindings)) or "binding not recorded"


def machine():
    model, cpus = "unknown", 0
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as f:
            for line in f:
                if line.startswith("model name") and model == "unknown":
                    model = line.split(":", 1)[1].strip()
                cpus += line.startswith("processor")
    except OSError:
        pass
    try:
        with open("/sys/devices/system/clocksource/clocksource0/current_clocksource") as f:
            clocksource = f.read().strip()
    except OSError:
        clocksource = "unknown"
    return ("- CPU: `%s`, %d logical CPUs\n- clocksource: `%s`\n- kernel: `%s`\n"
            "- load average when the report was made: %s\n"
            % (model, cpus, clocksource, platform.release(), " ".join(
                "%.2f" % v for v in os.getloadavg())))


def table(runs):
    head = ["JDK, binding", "reads"]
    for _, label, against in COLUMNS:
        head += [label, "ratio"] if against else [label]
    lines = ["| " + " | ".join(head) + " |",
             "|---|---|" + "---:|" * (len(head) - 2)]
    for jdk, (gaps, _, binding) in sorted(runs.items()):
        for gap in sorted(gaps):
            cases = gaps[gap]
            cells = ["%d (%s)" % (jdk, binding), reads(gap)]
            for case, _, against in COLUMNS:
                got = cases.get(case)
                cells.append(pair(*got) if got else "-")
                if against:
                    base = cases.get(against)
                    cells.append(ratio(base, got) if got and base else "-")
            lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dir", required=True)
    parser.add_argument("--ppm", default="10", help="the disciplined runs' frequency")
    args = parser.parse_args()
    out = ["Machine:\n", machine()]
    states = {"undisciplined": "the kernel's clock as found",
              "disciplined": "the kernel's frequency at %s ppm" % args.ppm}
    found = False
    for state, title in states.items():
        runs = {}
        for path in sorted(glob.glob(os.path.join(args.dir, "jdk*-%s.json" % state))):
            match = re.search(r"jdk(\d+)-", os.path.basename(path))
            if match:
                runs[int(match.group(1))] = read_run(path)
        if not runs:
            out.append("\n%s: no results\n" % title.capitalize())
            continue
        found = True
        info = next(iter(runs.values()))[1]
        out.append(
            "\n%s (%s): JMH %s, sample time, one thread, forks: %s, each %s x %s warm-up and "
            "%s x %s measured; median / p99 per call, JMH's timer included (the harness "
            "column); a ratio is the Varnok clock's figures over the clock just left of it\n\n"
            % (title.capitalize(), state, info.get("jmhVersion", "?"), info.get("forks", "?"),
               info.get("warmupIterations", "?"), info.get("warmupTime", "?"),
               info.get("measurementIterations", "?"), info.get("measurementTime", "?")))
        out.append(table(runs) + "\n")
    text = "".join(out)
    print(text, end="")
    with open(os.path.join(args.dir, "sparse.md"), "w", encoding="utf-8") as f:
        f.write(text)
    return 0 if found else 1


if __name__ == "__main__":
    raise SystemExit(main())
