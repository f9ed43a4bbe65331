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
# be <= limit), "speed" (baseline/ours time must be >= limit), or "counter:X"
# (the counter X of ours must be <= limit).
GOALS = [
    ("1 settings load vs libxml2 DOM", "BM_SettingsLoad", "BM_SettingsLibxml2Dom", "time", 0.5),
    ("1 settings load vs xmlTextReader", "BM_SettingsLoad", "BM_SettingsLibxml2TextReader", "time", 0.6),
    ("2 reader vs expat (64 KiB blocks)", "BM_TagReader", "BM_Expat64K", "speed", 2.0),
    ("2 reader vs libxml2 SAX2 push", "BM_TagReader", "BM_Libxml2SaxPush", "speed", 1.5),
    ("3 reader with an idle thread", "BM_TagReaderIdleThread", "BM_TagReader", "time", 1.1),
    ("4 insert_batch(100) vs insert, autocommit", "BM_InsertBatch/100", "BM_InsertAutocommit", "speed", 15.0),
    ("4 insert_batch(1000) vs insert, autocommit", "BM_InsertBatch/1000", "BM_InsertAutocommit", "speed", 15.0),
    ("4 insert_batch(100) vs insert in a transaction", "BM_InsertBatch/100", "BM_InsertTransaction", "speed", 4.0),
    ("4 insert_batch(1000) vs insert in a transaction", "BM_InsertBatch/1000", "BM_InsertTransaction", "speed", 4.0),
    ("4 insert_batch(100) vs LOAD DATA INFILE", "BM_InsertBatch/100", "BM_LoadDataInfile", "speed", 0.65),
    ("4 insert_batch(1000) vs LOAD DATA INFILE", "BM_InsertBatch/1000", "BM_LoadDataInfile", "speed", 0.65),
    ("4 insert_batch(100), one transaction, vs LOAD DATA", "BM_InsertBatchTransaction/100", "BM_LoadDataInfile", "speed", 0.65),
    ("4 insert_batch(1000), one transaction, vs LOAD DATA", "BM_InsertBatchTransaction/1000", "BM_LoadDataInfile", "speed", 0.65),
    ("5 streaming enumerate, heap growth (MiB)", "BM_EnumerateStreaming", None, "counter:heap_MiB", 1.0),
    ("5 streaming vs buffered enumerate", "BM_EnumerateStreaming", "BM_EnumerateBuffered", "time", 0.8),
    ("5 streaming enumerate vs raw fetch loop", "BM_EnumerateStreaming", "BM_RawFetchStreaming", "time", 1.15),
    ("5 buffered enumerate vs raw fetch loop", "BM_EnumerateBuffered", "BM_RawFetchBuffered", "time", 1.15),
    ("6 dir_hier_url vs MD5 hex alone", "BM_DirHierUrl", "BM_Md5Hex", "time", 1.25),
    ("7 escape_string vs mysql_escape_string", "BM_EscapeString", "BM_MysqlEscapeString", "time", 0.5),
    ("8 log line vs plain fprintf", "BM_LogPrintf", "BM_PlainFprintf", "time", 2.0),
    ("9 lookup vs the client library alone", "BM_StmtLookup", "BM_RawLookup", "time", 1.05),
    ("9 update vs the client library alone", "BM_StmtUpdate", "BM_RawUpdate", "time", 1.05),
    ("9 count vs the client library alone", "BM_StmtCount", "BM_RawCount", "time", 1.05),
    ("9 enumerate (10 rows) vs the client library alone", "BM_StmtEnumerate", "BM_RawEnumerate", "time", 1.05),
    ("9 insert_batch (5 rows) vs the client library alone", "BM_StmtInsertBatch", "BM_RawInsertBatch", "time", 1.05),
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
            name = re.sub(r"/(iterations:\d+|real_time|repeats:\d+)", "", b["run_name"])
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


def main():
    out_dir, paths = sys.argv[1], sys.argv[2:]
    m = medians(paths)
    rows, chart = [], []
    for goal, ours, base, how, limit in GOALS:
        a, b = m.get(ours), m.get(base) if base else None
        if a is None or (base and b is None):
            rows.append((goal, "not measured", "", "", "", "—"))
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
