"""Checks that merged shards hold the results of one unsharded call.

    same_results.py UNSHARDED_DIR MERGED_DIR

Rows of results.json and results.csv are paired by world, swept values and
seed (the run's identity; its folder differs, shard-K/ in front), and every
figure must be equal, wall-clock ones aside. Each merged folder must hold the
run's summary. Prints one line per difference and exits 1 if there is any.
"""
import csv
import json
import os
import sys

# Figures of the machine rather than of the run.
WALL_CLOCK = {"wall_time_s", "real_time_factor"}
# Where the run's files are, relative to the results: differs by design.
LOCATION = {"folder"}


def identity(row, swept_keys):
    return (row["world"],) + tuple(str(row[k]) for k in swept_keys) + (str(row["seed"]),)


def by_identity(rows, swept_keys, where, problems):
    keyed = {}
    for row in rows:
        key = identity(row, swept_keys)
        if key in keyed:
            problems.append(f"{where}: two rows for {key}")
        keyed[key] = row
    return keyed


def compare_rows(name, unsharded, merged, problems):
    for key in sorted(unsharded.keys() - merged.keys()):
        problems.append(f"{name}: {key} is missing from the merged results")
    for key in sorted(merged.keys() - unsharded.keys()):
        problems.append(f"{name}: {key} is in the merged results only")
    for key in sorted(unsharded.keys() & merged.keys()):
        a, b = unsharded[key], merged[key]
        if a.keys() != b.keys():
            problems.append(f"{name}: {key} has columns {sorted(a.keys() ^ b.keys())} on one side only")
        for figure in sorted((a.keys() & b.keys()) - WALL_CLOCK - LOCATION):
            if a[figure] != b[figure]:
                problems.append(f"{name}: {key} {figure}: {a[figure]!r} unsharded, {b[figure]!r} merged")


def main(unsharded_dir, merged_dir):
    problems = []
    for d in (unsharded_dir, merged_dir):
        for name in ("results.json", "results.csv"):
            if not os.path.isfile(os.path.join(d, name)):
                print(f"{d}: no {name}")
                return 1
    results = [json.load(open(os.path.join(d, "results.json"))) for d in (unsharded_dir, merged_dir)]
    for field in ("plan", "plan_runs", "swept_keys"):
        if results[0].get(field) != results[1].get(field):
            problems.append(f"results.json {field}: {results[0].get(field)!r} unsharded, "
                            f"{results[1].get(field)!r} merged")
    swept_keys = results[0]["swept_keys"]
    json_rows = [by_identity(r["runs"], swept_keys, d, problems) for r, d in zip(results, (unsharded_dir, merged_dir))]
    if len(json_rows[0]) != results[0]["plan_runs"]:
        problems.append(f"{unsharded_dir}: {len(json_rows[0])} runs, the plan has {results[0]['plan_runs']}")
    compare_rows("results.json", *json_rows, problems)
    csv_rows = []
    for d in (unsharded_dir, merged_dir):
        with open(os.path.join(d, "results.csv"), newline="") as f:
            csv_rows.append(by_identity(csv.DictReader(f), swept_keys, d, problems))
    compare_rows("results.csv", *csv_rows, problems)
    for key, row in json_rows[1].items():
        if not os.path.isfile(os.path.join(merged_dir, row["folder"], "summary.json")):
            problems.append(f"{merged_dir}: {key}'s folder {row['folder']!r} has no summary.json")
    for line in problems:
        print(line)
    print(f"{len(json_rows[1])} merged runs against {len(json_rows[0])} unsharded: {len(problems)} differences")
    return 1 if problems or not json_rows[0] else 0


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1], sys.argv[2]))
