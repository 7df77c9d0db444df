#!/usr/bin/env python3
"""Figures of the benchmarks as rows of one table.

A row is one JSON object on one line:
  {"figure": str, "unit": str, "median": num, "p99": num,
   "reference": str, "target": str, "met": true | false | null}
Every measurement program run by bench/run.sh prints such lines on its standard output.

  gather.py gbench PROGRAM [ARGS...]   runs a Google Benchmark program and prints its rows
  gather.py table ROWS.jsonl OUT.json  prints the table of the rows and writes them as JSON

Google Benchmark names read figure/variant[/size]: the "ours" variant makes the row, the other
variants of the same figure and size are its references, measured in the same run. Its label
holds the targets: "speedup>=N vs VARIANT [@SIZE]" (the reference's time over ours), and
"linear" (ns per byte of ours across the sizes: largest over smallest at most kLinearSlack).
Times are CPU times of the benchmark thread, so a loaded machine inflates them less; median and
p99 are taken over the repetitions (with few repetitions p99 is close to the largest).
"""
import json
import re
import statistics
import subprocess
import sys

LINEAR_SLACK = 2.0
TO_NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


def quantile(values, q):
    v = sorted(values)
    pos = q * (len(v) - 1)
    lo = int(pos)
    hi = min(lo + 1, len(v) - 1)
    return v[lo] + (v[hi] - v[lo]) * (pos - lo)


def show_time(ns):
    for unit, scale in (("s", 1e9), ("ms", 1e6), ("us", 1e3)):
        if ns >= scale:
            return f"{ns / scale:.3g} {unit}"
    return f"{ns:.3g} ns"


def split_name(run_name):
    parts = [p for p in run_name.split("/") if not p.startswith("iterations:")]
    figure, variant = parts[0], parts[1] if len(parts) > 1 else "ours"
    size = int(parts[2]) if len(parts) > 2 else None
    return figure, variant, size


def gbench(argv):
    out = subprocess.run(argv + ["--benchmark_format=json", "--benchmark_repetitions=10"],
                         check=True, capture_output=True, text=True).stdout
    runs = {}
    labels = {}
    errors = {}
    for b in json.loads(out)["benchmarks"]:
        if b.get("run_type") != "iteration":
            continue
        key = split_name(b["run_name"])
        if b.get("error_occurred"):
            errors[key] = b.get("error_message", "error")
            continue
        runs.setdefault(key, []).append(b["cpu_time"] * TO_NS[b["time_unit"]])
        if b.get("label"):
            labels[key] = b["label"]

    rows = []
    for (figure, variant, size), times in runs.items():
        if variant != "ours":
            continue
        name = figure + (f", {size // 1024} KiB" if size else "")
        label = labels.get((figure, variant, size), "")
        median = statistics.median(times)
        refs, verdicts, targets = [], [], []
        for (f2, v2, s2), t2 in runs.items():
            if f2 != figure or s2 != size or v2 == "ours":
                continue
            ratio = statistics.median(t2) / median
            refs.append(f"{v2} {show_time(statistics.median(t2))} ({ratio:.3g}x)")
            for m in re.finditer(r"speedup>=([\d.]+) vs (\w+)(?: @(\d+))?", label):
                want, against, at = float(m.group(1)), m.group(2), m.group(3)
                if against == v2 and (at is None or int(at) == size):
                    targets.append(f">={m.group(1)}x {v2}")
                    verdicts.append(ratio >= want)
        rows.append({"figure": name, "unit": "ns", "median": median,
                     "p99": quantile(times, 0.99), "reference": "; ".join(refs),
                     "target": ", ".join(targets), "met": all(verdicts) if verdicts else None})
        if (figure, variant, size) in errors:
            rows[-1]["met"] = False

    for (figure, variant, size), message in errors.items():
        rows.append({"figure": f"{figure}/{variant}", "unit": "", "median": None, "p99": None,
                     "reference": "", "target": f"failed: {message}", "met": False})

    # Growth with the size: ns per byte at every size of a family marked "linear".
    families = {}
    for (figure, variant, size), times in runs.items():
        if size:
            families.setdefault((figure, variant), []).append((size, statistics.median(times) / size))
    for (figure, variant), points in families.items():
        label = next((l for (f, v, s), l in labels.items() if f == figure and v == variant), "")
        points.sort()
        growth = points[-1][1] / points[0][1]
        span = f"{points[0][0] // 1024}..{points[-1][0] // 1024} KiB"
        if variant == "ours":
            ref = ""
            other = [pts for (f, v), pts in families.items() if f == figure and v != "ours"]
            for pts in other:
                pts = sorted(pts)
                ref = (f"literal ns/byte grows {pts[-1][1] / pts[0][1]:.3g}x over "
                       f"{pts[0][0] // 1024}..{pts[-1][0] // 1024} KiB")
            linear = "linear" in label
            rows.append({"figure": f"{figure}: ns per byte, largest/smallest size ({span})",
                         "unit": "x", "median": growth, "p99": None, "reference": ref,
                         "target": f"<={LINEAR_SLACK:g}x (linear)" if linear else "",
                         "met": growth <= LINEAR_SLACK if linear else None})
    for row in rows:
        print(json.dumps(row))


def fmt(row, key):
    v = row.get(key)
    if v is None:
        return "-"
    if row.get("unit") == "ns":
        return show_time(v)
    return f"{v:.3f} {row.get('unit', '')}".strip()


def table(rows_path, out_path):
    rows = []
    with open(rows_path) as f:
        for line in f:
            line = line.strip()
            if line.startswith("{"):
                rows.append(json.loads(line))
    header = ("figure", "median", "p99", "reference (same run)", "target", "met")
    cells = [header] + [(r["figure"], fmt(r, "median"), fmt(r, "p99"), r.get("reference", ""),
                         r.get("target", ""),
                         {True: "yes", False: "NO", None: "-"}[r.get("met")]) for r in rows]
    widths = [max(len(c[i]) for c in cells) for i in range(len(header))]
    for n, c in enumerate(cells):
        print(" | ".join(s.ljust(w) for s, w in zip(c, widths)).rstrip())
        if n == 0:
            print("-+-".join("-" * w for w in widths))
    with open(out_path, "w") as f:
        json.dump(rows, f, indent=1)
    return 0 if all(r.get("met") is not False for r in rows) else 1


if __name__ == "__main__":
    if len(sys.argv) >= 3 and sys.argv[1] == "gbench":
        gbench(sys.argv[2:])
    elif len(sys.argv) == 4 and sys.argv[1] == "table":
        sys.exit(table(sys.argv[2], sys.argv[3]))
    else:
        sys.exit(__doc__)
