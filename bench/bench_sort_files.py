"""Time sort_files on 10,000 rows against the same sort in plain Python.

With --against CHECKOUT (repeatable), also time the sort_files of other built
checkouts of the module, for example a tree with another sort engine: each build
runs in its own interpreter (a process can load the module once), and the rounds
alternate between them so that drifts of the machine favour none.
"""

import argparse
import json
import os
import random
import subprocess
import sys
import timeit

HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ROWS = 10_000
NUMBER = 10

# (label, which names, key, descending)
CASES = [
    ("name", "ascii", "name", False),
    ("name desc", "ascii", "name", True),
    ("name non-ASCII", "mixed", "name", False),
    ("name camera", "camera", "name", False),
    ("name last é", "last", "name", False),
    ("size", "ascii", "size", False),
    ("size desc", "ascii", "size", True),
    ("date", "ascii", "date", False),
    ("type", "ascii", "type", False),
]


def make_rows(count, names):
    rng = random.Random(42)
    suffixes = [".jpg", ".JPG", ".png", ".webp", ".tif", ""]
    stems = {"mixed": ["IMG_", "Été_", "café_", "DSC_"], "camera": ["IMG_"]}.get(names, ["IMG_", "img_", "DSC_", "Holiday "])
    rows = [
        {
            "name": f"{rng.choice(stems)}{rng.randrange(10**6):06d}{rng.choice(suffixes)}",
            "path": f"/photos/{i}",
            "mtime": rng.randrange(1_600_000_000, 1_700_000_000),
            "size": rng.randrange(10**7),
            "kind": "image",
        }
        for i in range(count)
    ]
    if names == "last":
        # one name the C++ route cannot take, found only at the end of its scan
        rows[-1]["name"] = "é" + rows[-1]["name"]
    return rows


def plain(lib, files, key, descending):
    if key == "size":
        ordered = sorted(files, key=lambda r: r["size"])
    elif key == "date":
        ordered = sorted(files, key=lambda r: r["mtime"])
    elif key == "type":
        ordered = sorted(files, key=lambda r: lib.Path(r["name"]).suffix.lower())
    else:
        ordered = sorted(files, key=lambda r: r["name"].lower())
    if descending:
        ordered.reverse()
    return ordered


def worker(root, with_plain):
    """Answers each line on stdin with one timing of every case, as JSON."""
    sys.path.insert(0, root)
    import quorvane_image_viewer.library as lib

    rows = {names: make_rows(ROWS, names) for names in ("ascii", "mixed", "camera", "last")}
    runs = []
    for label, names, key, descending in CASES:
        files = rows[names]
        expected = [id(r) for r in plain(lib, files, key, descending)]
        assert [id(r) for r in lib.sort_files(files, key, descending)] == expected, (root, label)
        runs.append((label, "sort_files", lambda f=files, k=key, d=descending: lib.sort_files(f, k, d)))
        if with_plain:
            runs.append((label, "plain", lambda f=files, k=key, d=descending: plain(lib, f, k, d)))
    print("ready", flush=True)
    for _ in sys.stdin:
        # One number each run: the ratio of two runs is the figure, so both see the same load.
        times = {f"{label}|{what}": timeit.timeit(run, number=NUMBER) / NUMBER for label, what, run in runs}
        print(json.dumps(times), flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--against", action="append", default=[], metavar="CHECKOUT")
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    parser.add_argument("--plain", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        return worker(args.worker, args.plain)

    trees = [HERE, *(os.path.abspath(t) for t in args.against)]
    procs = []
    for i, tree in enumerate(trees):
        cmd = [sys.executable, os.path.abspath(__file__), "--worker", tree, *(["--plain"] if i == 0 else [])]
        procs.append(subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True))
    for p in procs:
        assert p.stdout.readline() == "ready\n", "a worker failed to start"
    best = [{} for _ in trees]
    for _ in range(args.rounds):
        for p, seen in zip(procs, best):
            p.stdin.write("go\n")
            p.stdin.flush()
            for k, v in json.loads(p.stdout.readline()).items():
                seen[k] = min(seen.get(k, v), v)
    for p in procs:
        p.stdin.close()
        p.wait()

    print(f"{ROWS} rows, best of {args.rounds}; ms per sort")
    header = f"{'':16}{'this tree':>11}{'plain':>9}{'ratio':>7}"
    header += "".join(f"{'build ' + str(i):>11}{'ratio':>7}" for i in range(1, len(trees)))
    print(header)
    for label, *_ in CASES:
        mine = best[0][f"{label}|sort_files"]
        python = best[0][f"{label}|plain"]
        line = f"{label:16}{mine * 1e3:11.3f}{python * 1e3:9.3f}{mine / python:7.2f}"
        for other in best[1:]:
            theirs = other[f"{label}|sort_files"]
            line += f"{theirs * 1e3:11.3f}{theirs / mine:7.2f}"
        print(line)
    print("ratio: this tree / plain Python" + ("; build N / this tree" if len(trees) > 1 else ""))
    for i, tree in enumerate(trees[1:], 1):
        print(f"build {i}: {tree}")


if __name__ == "__main__":
    main()
