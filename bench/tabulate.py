#!/usr/bin/env python3
"""Turns benchmark output into result lines and the final table.

  tabulate.py native <google-benchmark.json>   prints RESULT lines for the native figures
  tabulate.py table <results.tsv> <table.md>   prints the table of every ratio against its
                                               target and writes it as Markdown; exits 1 when
                                               a soundness check (target ">=1") failed

A RESULT line is tab-separated: RESULT, id, ratio, target ("" for none, ">=x" or "<=x"), what
the ratio compares, and the measured values behind it.
"""
import json
import sys


def native_results(path):
    with open(path) as f:
        data = json.load(f)
    cpu = {}
    for entry in data["benchmarks"]:
        if entry.get("aggregate_name") == "median":
            cpu[entry["run_name"]] = entry["cpu_time"]  # nanoseconds

    def line(key, ratio, what, detail):
        print("\t".join(["RESULT", key, f"{ratio:.3f}", "", what, detail]))

    for size in ("36", "4096"):
        frame, copy = cpu.get(f"Frame/{size}"), cpu.get(f"Memcpy/{size}")
        if frame and copy:
            line(f"native-framing-{size}", copy / frame,
                 f"framing throughput / memcpy throughput of the same stream ({size}-byte records)",
                 f"1 MiB stream: framing {frame / 1e3:.1f} us, memcpy {copy / 1e3:.1f} us (CPU time, median)")
    for name in sorted(cpu):
        if not name.startswith("Encode/"):
            continue
        kind = name.split("/", 1)[1]
        copies = [n for n in cpu if n.startswith(f"CopyMessage/{kind}/")]
        if not copies:
            continue
        encode, copy = cpu[name], cpu[copies[0]]
        size = copies[0].rsplit("/", 1)[1]
        line(f"native-encode-{kind}", copy / encode,
             f"memcpy of a {size}-byte message / encoding it",
             f"encode {encode:.1f} ns, memcpy {copy:.1f} ns (CPU time, median)")


def verdict(ratio, target):
    if not target:
        return "-"
    bound = float(target[2:])
    held = ratio >= bound if target.startswith(">=") else ratio <= bound
    return "pass" if held else "MISS"


def table(results_path, markdown_path):
    rows = []
    with open(results_path) as f:
        for raw in f:
            parts = raw.rstrip("\n").split("\t")
            if len(parts) < 6 or parts[0] != "RESULT":
                continue
            _, key, ratio, target, what, detail = parts[:6]
            rows.append((key, float(ratio), target, what, detail))

    checks = [r for r in rows if r[2] == ">=1"]
    figures = [r for r in rows if r[2] != ">=1"]
    width = max([len(r[0]) for r in rows] + [10])
    print(f"{'figure':<{width}}  {'ratio':>7}  {'target':>7}  verdict")
    for key, ratio, target, _, _ in figures:
        print(f"{key:<{width}}  {ratio:7.3f}  {target or '-':>7}  {verdict(ratio, target)}")
    broken = [r for r in checks if r[1] < 1]
    print(f"soundness checks: {len(checks) - len(broken)} held, {len(broken)} broken"
          + "".join(f"\n  BROKEN {r[0]}: {r[3]} {r[4]}" for r in broken))

    with open(markdown_path, "w") as md:
        md.write("| Figure | Ratio | Target | Verdict | Compares | Measured |\n")
        md.write("|---|---:|---:|---|---|---|\n")
        for key, ratio, target, what, detail in figures:
            md.write(f"| {key} | {ratio:.3f} | {target or '-'} | {verdict(ratio, target)} "
                     f"| {what} | {detail} |\n")
        md.write("\n| Check | Held | Detail |\n|---|---|---|\n")
        for key, ratio, _, what, detail in checks:
            md.write(f"| {key} | {'yes' if ratio >= 1 else 'NO'} | {what}. {detail} |\n")
    return 1 if broken else 0


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "native":
        native_results(sys.argv[2])
        sys.exit(0)
    if len(sys.argv) == 4 and sys.argv[1] == "table":
        sys.exit(table(sys.argv[2], sys.argv[3]))
    print(__doc__)
    sys.exit(2)
