#!/usr/bin/env python3
"""Turns Google Benchmark JSON results into the goal table of BENCHMARKS.md
and a chart of the ratios.

usage: bench_report.py OUT_DIR RESULT.json...

Every figure is the median of the repetitions. A goal compares one of our
benchmarks with a baseline measured in the same binary and run.
"""
import json
import os
import platform
import re
import subprocess
import sys

# (goal, ours, baseline, how, limit): how is "time" (ours/baseline time must
# be <= limit), "speed" (baseline/ours time must be >= limit), "per_item"
# (ours/baseline of the counter per_item_ns must be <= limit), "rate" (ours
# in MB/s must be >= limit), "counter:X" (the counter X of ours must be <=
# limit), "pair" (a benchmark that times both sides itself, interleaved:
# its counter ratio must be <= limit; CPU time shown beside wall time) or
# "share" (ours/baseline time, shown beside the goals it explains; no limit).
GOALS = [
    ("1 settings load, cold, vs libxml2 tree", "BM_SettingsColdLoad", "BM_SettingsColdLibxml2Tree", "time", 0.5),
    ("1 settings load, cold, vs libxml2 text reader", "BM_SettingsColdLoad", "BM_SettingsColdLibxml2TextReader", "time", 0.6),
    ("1 the pattern guard's share of the cold settings load", "BM_SettingsColdGuard", "BM_SettingsColdLoad", "share", None),
    ("1 exec to settings loaded vs exec to file read", "BM_ExecToSettingsLoaded", "BM_ExecToFileRead", "time", 1.5),
    ("2 reader vs expat (64 KiB blocks)", "BM_TagReader", "BM_Expat64K", "speed", 2.0),
    ("2 reader vs libxml2 SAX2 push", "BM_TagReader", "BM_Libxml2SaxPush", "speed", 1.5),
    ("2 reader from a string vs pugixml in-place parse", "BM_TagReaderBuffer", "BM_PugixmlInPlace", "speed", 2.0),
    ("2 reader from a stream, MB/s", "BM_TagReader", None, "rate", 690.0),
    ("3 reader with an idle thread", "BM_TagReaderIdleThread", "BM_TagReader", "time", 1.1),
    ("4 insert_batch(100) vs insert, autocommit", "BM_InsertBatch/100", "BM_InsertAutocommit", "speed", 15.0),
    ("4 insert_batch(1000) vs insert, autocommit", "BM_InsertBatch/1000", "BM_InsertAutocommit", "speed", 15.0),
    ("4 insert_batch(100) vs insert in a transaction", "BM_InsertBatch/100", "BM_InsertTransaction", "speed", 4.0),
    ("4 insert_batch(1000) vs insert in a transaction", "BM_InsertBatch/1000", "BM_InsertTransaction", "speed", 4.0),
    ("4 insert_batch(1000) vs LOAD DATA INFILE", "BM_InsertBatch/1000", "BM_LoadDataInfile", "speed", 0.65),
    ("4 insert_batch(100), one transaction, vs LOAD DATA", "BM_InsertBatchTransaction/100", "BM_LoadDataInfile", "speed", 0.65),
    ("4 insert_batch(1000), one transaction, vs LOAD DATA", "BM_InsertBatchTransaction/1000", "BM_LoadDataInfile", "speed", 0.65),
    ("5 streaming enumerate, heap growth (MiB)", "BM_EnumerateStreaming", None, "counter:heap_MiB", 1.0),
    ("5 streaming vs buffered enumerate", "BM_EnumerateStreaming", "BM_EnumerateBuffered", "time", 0.8),
    ("5 streaming enumerate vs raw fetch loop, per row", "BM_PairWalkStreaming", None, "pair", 1.05),
    ("5 buffered enumerate vs raw fetch loop, per row", "BM_PairWalkBuffered", None, "pair", 1.05),
    ("6 dir_hier_url vs MD5 hex alone", "BM_DirHierUrl", "BM_Md5Hex", "time", 1.25),
    ("7 escape_string vs mysql_escape_string", "BM_EscapeString", "BM_MysqlEscapeString", "time", 0.5),
    ("8 log line vs plain fprintf", "BM_LogPrintf", "BM_PlainFprintf", "time", 2.0),
    ("9 enumerate, time per row, 10^6 vs 10^4 rows", "BM_EnumerateRows/1000000", "BM_EnumerateRows/10000", "per_item", 1.2),
    ("9 enumerate of 10^6 rows, heap growth (MiB)", "BM_EnumerateRows/1000000", None, "counter:heap_MiB", 1.0),
    ("9 count_unsent_results of 10^3 of 10^6 rows vs all", "BM_CountUnsent/1", "BM_CountUnsent/0", "time", 0.05),
    ("9 row count of 10^3 of 10^6 rows vs all", "BM_CountRange/1000", "BM_CountUnsent/0", "time", 0.05),
    ("9 dir_hier_path, time per call, 10^6 vs 10^4 names", "BM_DirHierPathNames/1000000", "BM_DirHierPathNames/10000", "per_item", 1.2),
    ("9 dir_hier_path chi-square, 10^6 names, fan-out 1024", "BM_DirHierPathNames/1000000", None, "counter:chi2", 1165.0),
    ("9 settings load per element, 10^5 vs 10^3 known keys", "BM_SettingsLoadSize/known:1/elements:100000", "BM_SettingsLoadSize/known:1/elements:1000", "per_item", 1.2),
    ("9 settings load per element, 10^5 vs 10^3 unknown keys", "BM_SettingsLoadSize/known:0/elements:100000", "BM_SettingsLoadSize/known:0/elements:1000", "per_item", 1.2),
    ("10 lookup vs the client library alone", "BM_PairLookup", None, "pair", 1.05),
    ("10 update vs the client library alone", "BM_PairUpdate", None, "pair", 1.05),
    ("10 count vs the client library alone", "BM_PairCount", None, "pair", 1.05),
    ("10 enumerate (10 rows) vs the client library alone", "BM_PairEnumerate", None, "pair", 1.05),
    ("10 insert_batch (5 rows) vs the client library alone", "BM_PairInsertBatch", None, "pair", 1.05),
    ("11 read-your-writes wait on an idle replica (ms)", "BM_ReadYourWritesWait", None, "counter:wait_ms", 10.0),
    ("11 fail over / the cluster's own eviction (kill -9 of the node in use)", "BM_FailoverVsEviction", None, "counter:ratio", 1.2),
    ("12 open on a healthy 3-node list vs the library's connect + init command", "BM_OpenVsConnect", None, "counter:list_ratio", 1.15),
    ("12 open on a list, a plain server first, vs the library's connect + init", "BM_OpenVsConnect", None, "counter:plain_list_ratio", 1.15),
    ("12 open on one server vs the library's connect + init command", "BM_OpenVsConnect", None, "counter:one_ratio", 1.05),
    ("12 open, first of 3 frozen, first process / the connect bound", "BM_OpenFrozenFirst", None, "counter:first_ratio", 1.1),
    ("12 open, first of 3 frozen, later processes (health record) / a healthy list", "BM_OpenFrozenFirst", None, "counter:later_ratio", 1.1),
    ("12 fail over after kill -STOP / the bounds + the cluster's own eviction", "BM_FailoverFrozenVsBounds", None, "counter:ratio", 1.2),
]

# The scaling table and chart: (series, benchmark prefix, what one item is).
SCALING = [
    ("streaming enumerate", "BM_EnumerateRows/", "row"),
    ("count_unsent_results", "BM_CountUnsent/", "row selected"),
    ("row count (workunitid range)", "BM_CountRange/", "row selected"),
    ("dir_hier_path", "BM_DirHierPathNames/", "call"),
    ("settings load, known keys", "BM_SettingsLoadSize/known:1/", "element"),
    ("settings load, unknown keys", "BM_SettingsLoadSize/known:0/", "element"),
]


def medians(paths):
    out = {}
    for path in paths:
        with open(path) as f:
            data = json.load(f)
        for b in data.get("benchmarks", []):
            if b.get("aggregate_name") != "median":
                continue
            # "BM_X/100/iterations:1/real_time" is goal name "BM_X/100".
            name = re.sub(r"/(iterations:\d+|real_time|manual_time|repeats:\d+)", "", b["run_name"])
            out[name] = b
    return out


def fmt_time(b):
    return "%.4g %s" % (b["real_time"], b["time_unit"])


def machine():
    cpu = "unknown CPU"
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    cxx = subprocess.run(["c++", "--version"], capture_output=True, text=True).stdout.splitlines()
    return "%s, %d cores, %s %s, %s" % (cpu, os.cpu_count(), platform.system(),
                                        platform.release(), cxx[0] if cxx else "")


def scaling(m, out_dir):
    """The scaling table (markdown) and docs/scaling.png."""
    lines = ["", "## Cost as the work grows", "",
             "Time per item (median) against the number of items; the chart has log axes.",
             "The result table holds 10^6 rows; counts select part of it.", "",
             "| series | items | time (median) | per item | plan |", "|---|---|---|---|---|"]
    data = os.path.join(out_dir, "build", "bench", "scaling.dat")
    plots = []
    with open(data, "w") as f:
        for index, (series, prefix, item) in enumerate(SCALING):
            points = []
            for name, b in m.items():
                if not name.startswith(prefix):
                    continue
                items = b.get("rows") or b.get("elements")
                tail = name[len(prefix):].split("/")[-1].split(":")[-1]
                items = items or float(tail)
                if name == "BM_CountUnsent/0":
                    continue  # the whole table: the baseline of the goals
                seconds = b["real_time"] * {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1}[b["time_unit"]]
                per = b.get("per_item_ns") or seconds * 1e9 / items
                points.append((items, per, b, name))
            points.sort(key=lambda p: p[0])
            if not points:
                continue
            f.write("# %s\n" % series)
            for items, per, b, name in points:
                f.write("%g %g\n" % (items, per))
                plan = b.get("label", "").replace("EXPLAIN: ", "").strip()
                lines.append("| %s | %d | %s | %.4g ns per %s | %s |" % (series, items, fmt_time(b), per, item, plan))
            f.write("\n\n")
            plots.append('"%s" index %d using 1:2 with linespoints title "%s (per %s)"' % (data, len(plots), series, item))
    whole = m.get("BM_CountUnsent/0")
    if whole:
        lines.append("| count of the whole table | %d | %s | | %s |" % (
            whole.get("rows", 0), fmt_time(whole), whole.get("label", "").replace("EXPLAIN: ", "").strip()))
    png = os.path.join(out_dir, "docs", "scaling.png")
    if plots:
        script = """
set terminal pngcairo noenhanced size 1000,700 font "sans,10"
set output "%s"
set logscale xy
set xlabel "items (rows, calls, elements)"
set ylabel "time per item (ns)"
set key below
set grid
plot %s
""" % (png, ", ".join(plots))
        subprocess.run(["gnuplot"], input=script, text=True, check=False)
    lines += ["", "![scaling](docs/scaling.png)", ""]
    return "\n".join(lines) + "\n"


def main():
    out_dir, paths = sys.argv[1], sys.argv[2:]
    m = medians(paths)
    rows, chart = [], []
    for goal, ours, base, how, limit in GOALS:
        a, b = m.get(ours), m.get(base) if base else None
        if a is None or (base and b is None):
            rows.append((goal, "not measured", "", "", "", "—"))
            continue
        if how == "rate":
            value = a.get("bytes_per_second", 0) / 1e6
            ok = value >= limit
            rows.append((goal, "%.4g MB/s" % value, "", "%.4g" % value, ">= %g" % limit, "met" if ok else "MISSED"))
            chart.append((goal, limit / value if value else 10))
            continue
        if how == "per_item":
            x, y = a.get("per_item_ns"), b.get("per_item_ns")
            if not x or not y:
                rows.append((goal, "not measured", "", "", "", "—"))
                continue
            ratio = x / y
            ok = ratio <= limit
            rows.append((goal, "%.4g ns" % x, "%.4g ns" % y, "%.3g" % ratio, "<= %g" % limit, "met" if ok else "MISSED"))
            chart.append((goal, ratio / limit))
            continue
        if how == "pair":
            if a.get("ratio") is None:
                rows.append((goal, "not measured", "", "", "", "—"))
                continue
            ok = a["ratio"] <= limit
            rows.append((goal, "%.4g µs (CPU %.3g)" % (a["lib_us"], a["lib_cpu_us"]),
                         "%.4g µs (CPU %.3g)" % (a["raw_us"], a["raw_cpu_us"]),
                         "%.3g (CPU %.3g)" % (a["ratio"], a["cpu_ratio"]), "<= %g" % limit,
                         "met" if ok else "MISSED"))
            chart.append((goal, a["ratio"] / limit))
            continue
        if how.startswith("counter:"):
            value = a.get(how.split(":", 1)[1])
            if value is None:
                rows.append((goal, "not measured", "", "", "", "—"))
                continue
            ok = value <= limit
            rows.append((goal, "%.3g" % value, "", "%.3g" % value, "<= %g" % limit, "met" if ok else "MISSED"))
            chart.append((goal, value / limit))
            continue
        ratio = a["real_time"] / b["real_time"]
        if how == "share":
            rows.append((goal, fmt_time(a), fmt_time(b), "%.3g" % ratio, "(shown)", "—"))
            continue
        if how == "speed":
            ratio = 1 / ratio
            ok, bound = ratio >= limit, ">= %g" % limit
            chart.append((goal, limit / ratio))
        else:
            ok, bound = ratio <= limit, "<= %g" % limit
            chart.append((goal, ratio / limit))
        rows.append((goal, fmt_time(a), fmt_time(b), "%.3g" % ratio, bound, "met" if ok else "MISSED"))

    lines = ["| goal | ours (median) | baseline (median) | ratio | goal | |",
             "|---|---|---|---|---|---|"]
    lines += ["| %s | %s | %s | %s | %s | %s |" % r for r in rows]
    table = "\n".join(lines)
    print(table)

    with open(os.path.join(out_dir, "BENCHMARKS.md"), "w") as f:
        f.write("# Benchmarks\n\n")
        f.write("Machine: %s.\n\n" % machine())
        f.write("Each figure is the median of 7 or more repetitions, run in random interleaved order;\n"
                "each ratio compares two benchmarks of the same binary and run. For \"speed\" goals\n"
                "the ratio is how many times faster ours is; for the others, ours over the baseline.\n"
                "Written by `scripts/bench.sh`.\n\n")
        f.write(table + "\n\n![ratios](docs/benchmarks.png)\n\n"
                "The chart shows each figure as a share of its goal's limit: below 1 is met.\n")
        f.write(scaling(m, out_dir))
        notes = os.path.join(out_dir, "bench", "notes.md")
        if os.path.exists(notes):
            f.write("\n" + open(notes).read())

    data = os.path.join(out_dir, "build", "bench", "chart.dat")
    with open(data, "w") as f:
        for i, (goal, share) in enumerate(chart):
            f.write('%d "%s" %.4f\n' % (i, goal.replace('"', "'"), share))
    png = os.path.join(out_dir, "docs", "benchmarks.png")
    os.makedirs(os.path.dirname(png), exist_ok=True)
    script = """
set terminal pngcairo noenhanced size 1100,%d font "sans,10"
set output "%s"
set style fill solid 0.8
set boxwidth 0.6
set yrange [-0.7:%d]
set xrange [0:*]
set xlabel "figure / goal limit (below 1 is met)"
set ytics nomirror
set arrow from 1, graph 0 to 1, graph 1 nohead dt 2 lc rgb "red"
unset key
plot "%s" using (($3)/2):1:(($3)/2):(0.3):yticlabels(2) with boxxyerror lc rgb "#4477aa"
""" % (140 + 28 * len(chart), png, len(chart), data)
    subprocess.run(["gnuplot"], input=script, text=True, check=False)


if __name__ == "__main__":
    main()
