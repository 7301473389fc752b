#!/usr/bin/env python3
"""The Java benchmarks' results as markdown for bench/README.md, and one plot.

Reads, from one directory, what the bench-jmh and bench-accuracy-java targets
write there:
  jdk<M>-t<T>.json       JMH's JSON for JDK <M> on <T> threads
  jdk<M>-t<T>.bindings   the binding each Varnok benchmark's forks measured
  accuracy-jdk<M>.json   ClockAccuracy's figures for JDK <M>
and prints the tables (also written to results.md there). With --png, and
gnuplot installed, it also draws ns per call by clock and JDK.
"""

import argparse
import datetime
import glob
import json
import os
import platform
import re
import shutil
import subprocess
import sys

PREFIX = "com.vornix.common.unix.jmh."

# The rows in the order a reader compares them; other benchmarks (the
# adapters') follow under their own names.
LABELS = {
    "VarnokClocks.timeEpoch": "`VarnokTime.currentTimeNanos()`",
    "VarnokClocks.timeEpochForcedJni": "`VarnokTime.currentTimeNanos()`, JNI forced",
    "VarnokClocks.jniEpoch": "`Varnok.nanoTimeEpoch1()`",
    "VarnokClocks.timeUnique": "`VarnokTime.uniqueTimeNanos()`",
    "VarnokClocks.timeUniqueForcedJni": "`VarnokTime.uniqueTimeNanos()`, JNI forced",
    "VarnokClocks.timeUniqueVarHandle": "the same stamp by a `VarHandle`'s `compareAndExchange`",
    "VarnokClocks.clockUniqueInstant": "`VarnokClock.uniqueUTC()` `instant()`",
    "VarnokClocks.clockInstant": "`VarnokClock` `instant()`",
    "VarnokClocks.clockMillis": "`VarnokClock` `millis()`",
    "VarnokClocks.timeRelative": "`VarnokTime.nanoTime()`",
    "VarnokClocks.timeRelativeForcedJni": "`VarnokTime.nanoTime()`, JNI forced",
    "VarnokClocks.jniRelative": "`Varnok.nanoTimeRelative1()`",
    "JdkClocks.currentTimeMillis": "`System.currentTimeMillis()`",
    "JdkClocks.nanoTime": "`System.nanoTime()`",
    "JdkClocks.instantNow": "`Instant.now()`",
    "JdkClocks.systemUtcInstant": "`Clock.systemUTC()` `instant()`",
    "JdkClocks.systemUtcMillis": "`Clock.systemUTC()` `millis()`",
    "PeerClocks.agronaSystemEpochNanoClock": "Agrona `SystemEpochNanoClock`",
    "PeerClocks.agronaOffsetEpochNanoClock": "Agrona `OffsetEpochNanoClock`",
    "PeerClocks.chronicleSystemTimeProvider": "Chronicle `SystemTimeProvider`",
    "PeerClocks.chronicleUniqueMicroTimeProvider": "Chronicle `UniqueMicroTimeProvider` `currentTimeMicros()`",
    "PeerClocks.chronicleUniqueMicroTimeProviderNanos": "Chronicle `UniqueMicroTimeProvider` `currentTimeNanos()`",
    "Floors.jni": "JNI floor (`CounterFloor.rdtsc()`)",
    "Floors.critical": "critical-downcall floor (the same function)",
}
# These call Varnok's JNI methods directly, whatever binding VarnokTime chose
# in the same fork.
JNI_ALWAYS = {"VarnokClocks.jniEpoch", "VarnokClocks.jniRelative"}
FLOOR = "Floors.jni"
INSTANT_NOW = "JdkClocks.instantNow"


def short(benchmark):
    return benchmark[len(PREFIX):] if benchmark.startswith(PREFIX) else benchmark


def label(name):
    return LABELS.get(name, "`" + name + "`")


def order(name):
    keys = list(LABELS)
    return (keys.index(name), "") if name in keys else (len(keys), name)


def read_runs(directory):
    """{jdk: {threads: {name: result}}} and {jdk: info} from JMH's JSON files."""
    runs, info = {}, {}
    for path in sorted(glob.glob(os.path.join(directory, "jdk*-t*.json"))):
        match = re.search(r"jdk(\d+)-t(\d+)\.json$", path)
        if not match:
            continue
        jdk, threads = int(match.group(1)), int(match.group(2))
        with open(path, encoding="utf-8") as f:
            results = json.load(f)
        bindings = read_bindings(path[: -len(".json")] + ".bindings")
        for result in results:
            name = short(result["benchmark"])
            # A case with parameters (the adapters' clock choice) is a row per value.
            params = result.get("params") or {}
            if params:
                name += " " + ", ".join("%s=%s" % item for item in sorted(params.items()))
            metric = result["primaryMetric"]
            runs.setdefault(jdk, {}).setdefault(threads, {})[name] = {
                "score": metric["score"],
                "error": metric["scoreError"],
                "binding": bindings.get(result["benchmark"], ""),
            }
            info.setdefault(jdk, {
                "vm": "%s %s" % (result.get("vmName", "?"), result.get("jdkVersion", "?")),
                "config": "%s forks x (%s x %s warm-up, %s x %s measured)" % (
                    result.get("forks"), result.get("warmupIterations"),
                    result.get("warmupTime"), result.get("measurementIterations"),
                    result.get("measurementTime")),
                "jmh": result.get("jmhVersion", "?"),
                "date": mtime(path),
            })
    return runs, info


def read_bindings(path):
    """{benchmark: binding}; a benchmark whose forks disagree lists each binding."""
    found = {}
    if os.path.exists(path):
        with open(path, encoding="utf-8") as f:
            for line in f:
                parts = line.rstrip("\n").split("\t")
                if len(parts) >= 2:
                    found.setdefault(parts[0], [])
                    if parts[1] not in found[parts[0]]:
                        found[parts[0]].append(parts[1])
    return {name: "/".join(values) for name, values in found.items()}


def mtime(path):
    stamp = datetime.datetime.fromtimestamp(os.path.getmtime(path), datetime.timezone.utc)
    return stamp.strftime("%Y-%m-%d %H:%M UTC")


def read_file(path, default="?"):
    try:
        with open(path, encoding="utf-8") as f:
            return f.read()
    except OSError:
        return default


def machine():
    cpu = re.search(r"^model name\s*:\s*(.*)$", read_file("/proc/cpuinfo", ""), re.M)
    source = read_file("/sys/devices/system/clocksource/clocksource0/current_clocksource").strip()
    return [
        "- CPU: `%s`, %d logical CPUs" % (cpu.group(1).strip() if cpu else "?", os.cpu_count() or 0),
        "- clocksource: `%s`" % source,
        "- kernel: `%s`" % platform.release(),
        "- load average when the report was made: %s" % " ".join(read_file("/proc/loadavg").split()[:3]),
    ]


def cell(result, key="score"):
    """A figure, or nothing where JMH has none (its error of a single iteration is NaN)."""
    value = result.get(key) if result else None
    return "%.2f" % value if isinstance(value, (int, float)) and value == value else ""


def jmh_table(jdk, by_threads, info):
    lines = ["#### JDK %d: %s" % (jdk, info["vm"]), "",
             "JMH %s, %s; measured %s." % (info["jmh"], info["config"], info["date"]), "",
             "| Case | Binding | 1 thread | ± | 2 threads | ± | / JNI floor | `Instant.now()` / |",
             "|---|---|---:|---:|---:|---:|---:|---:|"]
    one, two = by_threads.get(1, {}), by_threads.get(2, {})
    floor, instant = one.get(FLOOR), one.get(INSTANT_NOW)
    for name in sorted(set(one) | set(two), key=order):
        a, b = one.get(name), two.get(name)
        binding = "JNI" if name in JNI_ALWAYS else (a or b)["binding"] or "-"
        ratio = "%.2fx" % (a["score"] / floor["score"]) if a and floor else ""
        cheaper = "%.2fx" % (instant["score"] / a["score"]) if a and instant else ""
        lines.append("| %s | %s | %s | %s | %s | %s | %s | %s |" % (
            label(name), binding, cell(a), cell(a, "error"), cell(b), cell(b, "error"),
            ratio, cheaper))
    return lines


def accuracy_tables(directory):
    reports = {}
    for path in sorted(glob.glob(os.path.join(directory, "accuracy-jdk*.json"))):
        match = re.search(r"accuracy-jdk(\d+)\.json$", path)
        with open(path, encoding="utf-8") as f:
            reports[int(match.group(1))] = (json.load(f), mtime(path))
    if not reports:
        return []
    jdks = sorted(reports)
    lines = ["#### Error against `Instant.now()`", ""]
    for jdk in jdks:
        report, date = reports[jdk]
        lines.append("- JDK %d (%s, %s): %s s, a round every %s µs, brackets up to %s ns kept; "
                     "`VarnokTime` binding %s; measured %s" % (
                         jdk, report["vmName"], report["javaVersion"], report["seconds"],
                         report["intervalUs"], report["wideNs"], report.get("binding", "?"), date))
    lines.append("")
    header, rule = "| Clock |", "|---|"
    for jdk in jdks:
        header += " JDK %d p99 \\|e\\| µs | max \\|e\\| µs | mean e µs | kept | bracket ns |" % jdk
        rule += "---:|---:|---:|---:|---:|"
    lines += [header, rule]
    names = []
    for jdk in jdks:
        names += [c["clock"] for c in reports[jdk][0]["clocks"] if c["clock"] not in names]
    for name in names:
        row = "| %s |" % name
        for jdk in jdks:
            clock = next((c for c in reports[jdk][0]["clocks"] if c["clock"] == name), None)
            row += (" %s | %s | %s | %d | %d |" % (
                fmt(clock["p99AbsErrorUs"]), fmt(clock["maxAbsErrorUs"]),
                fmt(clock["meanErrorUs"]), clock["kept"], clock["medianBracketNs"])
                if clock else " | | | | |")
        lines.append(row)
    return lines


def fmt(value):
    return "-" if value is None else "%.3f" % value


def plot(runs, png, directory):
    if not shutil.which("gnuplot"):
        print("plot: gnuplot is not installed, so no PNG was written.", file=sys.stderr)
        return
    jdks = sorted(runs)
    # The clocks alone: the adapters' end-to-end cases measure whole framework calls.
    names = sorted({n for jdk in jdks for n in runs[jdk].get(1, {})
                    if not n.startswith("adapters.")}, key=order)
    data = os.path.join(directory, "plot.dat")
    with open(data, "w", encoding="utf-8") as f:
        for name in names:
            row = ['"%s"' % label(name).split(" (")[0].replace("`", "").replace('"', "'")]
            for jdk in jdks:
                r = runs[jdk].get(1, {}).get(name)
                row += ["%.3f %.3f" % (r["score"], r["error"]) if r else "NaN NaN"]
            f.write(" ".join(row) + "\n")
    top = 1.5 * max(r["score"] for jdk in jdks for r in runs[jdk].get(1, {}).values())
    series = ", ".join("'%s' using %d:%d:xtic(1) title 'JDK %d'" % (
        data.replace("'", "''"), 2 + 2 * i, 3 + 2 * i, jdk) for i, jdk in enumerate(jdks))
    script = "\n".join([
        "set terminal pngcairo size 1200,700 font 'Sans,9'",
        "set output '%s'" % png.replace("'", "''"),
        "set title 'ns per call, one thread (JMH average time, 99.9% CI; bars past the top are cut)'",
        "set style data histogram",
        "set style histogram errorbars gap 1 lw 1",
        "set style fill solid 0.8 border -1",
        "set xtics rotate by -40 scale 0 left",
        "set ylabel 'ns per call'",
        "set yrange [0:%.0f]" % top,
        "set grid ytics",
        "set bmargin 14",
        "set rmargin 16",
        "set key top left",
        "plot " + series, ""])
    result = subprocess.run(["gnuplot"], input=script, text=True, capture_output=True)
    if result.returncode != 0:
        print("plot: gnuplot failed:\n" + result.stderr, file=sys.stderr)
    else:
        print("plot: " + png, file=sys.stderr)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dir", required=True, help="where the benchmarks wrote their JSON")
    parser.add_argument("--png", help="draw the plot here (needs gnuplot)")
    args = parser.parse_args()
    runs, info = read_runs(args.dir)
    lines = ["Machine:", ""] + machine() + [""]
    for jdk in sorted(runs):
        lines += jmh_table(jdk, runs[jdk], info[jdk]) + [""]
    lines += accuracy_tables(args.dir)
    if not runs and len(lines) <= 8:
        print("no results in %s: run bench-jmh or bench-accuracy-java first" % args.dir,
              file=sys.stderr)
        return 1
    text = "\n".join(lines).rstrip() + "\n"
    with open(os.path.join(args.dir, "results.md"), "w", encoding="utf-8") as f:
        f.write(text)
    print(text, end="")
    if args.png and runs:
        plot(runs, args.png, args.dir)
    return 0


if __name__ == "__main__":
    sys.exit(main())
