#!/usr/bin/env python3
"""Joins the benchmark results in a folder into one table (stdout) and one JSON file."""
import json
import pathlib
import sys

folder = pathlib.Path(sys.argv[1])
rows = []
program = folder / "program.json"
if program.exists():
    for row in json.loads(program.read_text()):
        rows.append((row["figure"], row["value"], row["unit"], row["goal"]))
for path in sorted(folder.glob("*_bench.json")):
    data = json.loads(path.read_text())
    for bench in data.get("benchmarks", []):
        if bench.get("run_type") == "aggregate" and bench.get("aggregate_name") != "median":
            continue
        unit = bench.get("time_unit", "ns")
        rows.append((f"{path.stem}: {bench['name']}", bench["real_time"], unit, ""))

width = max((len(r[0]) for r in rows), default=10)
print(f"{'figure'.ljust(width)}  {'value':>12}  {'unit':<8}  goal")
for figure, value, unit, goal in rows:
    print(f"{figure.ljust(width)}  {value:12.3f}  {unit:<8}  {goal}")
(folder / "all.json").write_text(json.dumps(
    [{"figure": f, "value": v, "unit": u, "goal": g} for f, v, u, g in rows], indent=2) + "\n")
