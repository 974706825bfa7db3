"""Benchmark of skav_rs against the floors of its three costs, in one process.

For each file made by bench/generate.py (created on first use, reused afterwards) the
runner warms the page cache, checks once that the module's result equals the file's
expected tree, then interleaves these measurements round by round:

  module     skav_rs.parse_tddft / parse_casscf, garbage collector disabled
  module+gc  the same with the collector enabled, as users run it
  decode     Path(file).read_bytes().decode("utf-8")
  native     bench/native_floor: read() into one buffer, strict UTF-8 check, count
             lines; its own timing (median of 3 per round), start-up not counted
  json       json.loads of the expected tree as compact JSON text (a str in memory)
  marshal    marshal.loads of the same tree written with a new object for every dict
             key, float and str (no back-references, no interned keys)

Baselines run with the collector disabled. It prints medians, ratios, the memory of one
call and whether each target holds. Memory is measured in a fresh child process: the
peak (VmHWM, reset through /proc/self/clear_refs) above the RSS before the call, minus
the RSS released when the result is deleted; the RSS of the same tree built by
marshal.loads in another fresh child is shown beside it.

The linear-cost check times the module on the dense file and on its tenth within the
same rounds (so both see the same machine load), and shows marshal.loads of both trees
for comparison.

The module is imported from build/dev, as built by `make dev` (`make bench` builds it
and runs this), or from --build DIR; --build '' uses the installed package. Needs g++.
"""

import argparse
import gc
import json
import marshal
import os
import re
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import generate  # noqa: E402

ROOT = HERE.parent
MB = 1_000_000

# (file, measure, limit): measure is a key of the ratio table below.
RATIO_TARGETS = [
    ("skip_tddft", "module/decode", 0.6), ("skip_tddft", "module/native", 1.5),
    ("skip_casscf", "module/decode", 0.6), ("skip_casscf", "module/native", 1.5),
    ("dense", "module/marshal", 1.5), ("dense", "module/json", 0.6),
    ("mixed_tddft", "module/marshal", 2.0), ("mixed_casscf", "module/marshal", 2.0),
]
LINEAR_FILES, LINEAR_LIMIT = ("dense_tenth", "dense"), 0.15
MEMORY_LIMIT = 4.0
MEASURES = ["module", "module+gc", "decode", "native", "json", "marshal"]


def log(*args):
    print(*args, file=sys.stderr, flush=True)


# ---------------------------------------------------------------- helpers

def import_module(build):
    if build:
        sys.path.insert(0, str(Path(build).resolve()))
    import skav_rs
    return skav_rs


def native_floor(data):
    """Path of the compiled floor program, rebuilt when its source is newer."""
    src = HERE / "native_floor.cpp"
    exe = data / "native_floor"
    if not exe.exists() or exe.stat().st_mtime < src.stat().st_mtime:
        cxx = os.environ.get("CXX", "g++")
        subprocess.run([cxx, "-O2", "-std=c++17", "-o", str(exe), str(src)], check=True)
    return exe


def run_floor(exe, path, reps=3):
    out = subprocess.run([str(exe), str(path), str(reps)], check=True, capture_output=True, text=True).stdout
    fields = dict(item.split("=", 1) for item in out.split())
    if fields["valid"] != "1":
        raise SystemExit(f"native_floor says {path} is not UTF-8")
    return int(fields["lines"]), [int(t) / 1e9 for t in fields["times_ns"].split(",")]


def status_kb():
    text = Path("/proc/self/status").read_text()
    return {k: int(v) for k, v in re.findall(r"^(VmRSS|VmHWM):\s+(\d+) kB", text, re.M)}


def timed(fn, arg, gc_on=False):
    if gc_on:
        gc.collect()  # start from empty generations, as a fresh caller would
        gc.enable()
    t0 = time.perf_counter_ns()
    out = fn(arg)
    t1 = time.perf_counter_ns()
    gc.disable()
    return (t1 - t0) / 1e9, out


def read_all(path):
    with open(path, "rb") as f:
        while f.read(1 << 24):
            pass


def distinct_objects(dicts):
    """Whether two dicts share any key longer than one character or any float value."""
    a, b = dicts
    shared_keys = [k for k in a if len(k) > 1 and any(k is k2 for k2 in b)]
    shared_floats = [v for v in a.values() if isinstance(v, float) and any(v is v2 for v2 in b.values())]
    return not shared_keys and not shared_floats


def two_leaves(tree):
    if "soc_matrix" in tree:
        states = [s for s in tree["soc_matrix"]["eigenvectors"] if len(s["elements"]) >= 2]
        return states[0]["elements"][:2]
    orbitals = tree["orbital_contributions"]
    return orbitals[0]["contributions"][0], orbitals[1]["contributions"][0]


# ---------------------------------------------------------------- memory children

def child(args):
    """One measurement in a fresh process; prints a JSON line."""
    gc.disable()
    p = generate.paths(args.data, args.child_name)
    if args.child == "module":
        mod = import_module(args.build)
        fn = getattr(mod, "parse_" + generate.FILES[args.child_name][0])
        read_all(p["out"])
        base = status_kb()["VmRSS"]
        Path("/proc/self/clear_refs").write_text("5")
        result = fn(str(p["out"]))
        st = status_kb()
        del result
        freed = st["VmRSS"] - status_kb()["VmRSS"]
        print(json.dumps({"base_kb": base, "peak_kb": st["VmHWM"], "after_kb": st["VmRSS"], "freed_kb": freed}))
    else:
        blob = p["marshal"].read_bytes()
        base = status_kb()["VmRSS"]
        tree = marshal.loads(blob)
        print(json.dumps({"result_kb": status_kb()["VmRSS"] - base}))
        del tree


def run_child(args, kind, name):
    cmd = [sys.executable, str(Path(__file__).resolve()), "--data", str(args.data),
           "--build", args.build, "--child", kind, "--child-name", name]
    out = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def memory(args, name):
    """Peak above the pre-call RSS, the RSS released by deleting the result, and the RSS
    of the same tree built by marshal.loads (cached), in bytes."""
    try:
        m = run_child(args, "module", name)
    except subprocess.CalledProcessError as error:
        log(f"memory of {name} not measured: {error.stderr.strip()[-300:]}")
        return None
    cache = args.data / f"{name}.tree_size"
    try:
        cached = json.loads(cache.read_text())
        assert cached["version"] == generate.VERSION
        result_kb = cached["result_kb"]
    except (OSError, ValueError, KeyError, AssertionError):
        result_kb = run_child(args, "result", name)["result_kb"]
        cache.write_text(json.dumps({"version": generate.VERSION, "result_kb": result_kb}) + "\n")
    return {"peak": (m["peak_kb"] - m["base_kb"]) * 1024, "held": (m["after_kb"] - m["base_kb"]) * 1024,
            "result": m["freed_kb"] * 1024, "tree": result_kb * 1024}


# ---------------------------------------------------------------- one file

def verify(name, measure, out, kept):
    """Module result == json tree == marshal tree; keeps at most two trees alive."""
    if measure == "module":
        shares = "" if distinct_objects(two_leaves(out)) else " (module shares key or float objects)"
        return out, shares
    if measure == "json":
        if out != kept[0]:
            raise SystemExit(f"{name}: the module's result differs from the expected tree")
        return out, kept[1]
    if measure == "marshal":
        if out != kept[0]:
            raise SystemExit(f"{name}: the marshal data differs from the expected tree")
        if not distinct_objects(two_leaves(out)):
            raise SystemExit(f"{name}: marshal.loads shares key or float objects between dicts")
        log(f"  {name}: result equals the expected tree{kept[1]}")
        return None
    return kept


def bench_file(args, mod, exe, name, meta, tenth=None):
    """Times one file; with tenth (the dense_tenth metadata) also the module and marshal
    on that file in the same rounds, for the linear-cost check."""
    p = generate.paths(args.data, name)
    path = str(p["out"])
    fn = getattr(mod, "parse_" + meta["kind"])
    read_all(path)
    mem = memory(args, name)
    text = p["json"].read_text()
    blob = p["marshal"].read_bytes()
    file = Path(path)
    runs = {
        "module": lambda: timed(fn, path),
        "decode": lambda: timed(lambda f: f.read_bytes().decode("utf-8"), file),
        "json": lambda: timed(json.loads, text),
        "marshal": lambda: timed(marshal.loads, blob),
        "module+gc": lambda: timed(fn, path, gc_on=True),
    }
    order = ["module", "decode", "native", "json", "marshal", "module+gc"]
    if tenth:
        tp = generate.paths(args.data, tenth["name"])
        tenth_blob = tp["marshal"].read_bytes()
        read_all(tp["out"])
        runs["tenth module"] = lambda: timed(fn, str(tp["out"]))
        runs["tenth marshal"] = lambda: timed(marshal.loads, tenth_blob)
        order += ["tenth module", "tenth marshal"]
    times = {m: [] for m in order}
    rounds = args.reps or (5 if name == "dense" else 7)
    for rnd in range(rounds):
        kept = None
        for m in order:
            if m == "native":
                lines, ts = run_floor(exe, path)
                if lines != meta["lines"]:
                    raise SystemExit(f"{name}: native_floor counts {lines} lines, the generator {meta['lines']}")
                times[m] += ts
                continue
            t, out = runs[m]()
            times[m].append(t)
            if rnd == 0:  # checks of the first round's results, outside the timings
                kept = verify(name, m, out, kept)
            del out
    med = {m: statistics.median(ts) for m, ts in times.items()}
    spread = {m: max(ts) / min(ts) for m, ts in times.items()}
    return {"name": name, "bytes": meta["out_bytes"], "lines": meta["lines"], "med": med, "spread": spread,
            "mem": mem, "tenth_lines": tenth and tenth["lines"], "rounds": rounds}


# ---------------------------------------------------------------- report

def report(rows, args, mod):
    out = []
    w = out.append
    w(f"skav_rs benchmark: {mod.__file__}")
    w(f"Python {sys.version.split()[0]}; medians over interleaved rounds; module and baselines with gc "
      f"disabled unless marked +gc")
    w("")
    w(f"{'file':<13}{'MB':>7}{'lines':>11}{'rounds':>7}{'module':>10}{'+gc':>10}{'decode':>10}{'native':>10}"
      f"{'json':>10}{'marshal':>10}   (ms)")
    for r in rows:
        med = r["med"]
        w(f"{r['name']:<13}{r['bytes'] / MB:7.1f}{r['lines']:11,}{r['rounds']:7}"
          + "".join(f"{med[m] * 1e3:10.1f}" for m in MEASURES))
    w("")
    w(f"{'file':<13}{'/decode':>9}{'/native':>9}{'/json':>9}{'/marshal':>9}{'gc on/off':>11}"
      f"{'ns/line':>9}{'max/min':>9}")
    for r in rows:
        med = r["med"]
        mod_t = med["module"]
        r["ratio"] = {f"module/{m}": mod_t / med[m] for m in ("decode", "native", "json", "marshal")}
        r["ns_per_line"] = mod_t * 1e9 / r["lines"]
        w(f"{r['name']:<13}" + "".join(f"{r['ratio'][f'module/{m}']:9.2f}" for m in ("decode", "native", "json", "marshal"))
          + f"{med['module+gc'] / mod_t:11.2f}{r['ns_per_line']:9.1f}{r['spread']['module']:9.2f}")
    w("(max/min: spread of the module's times over the rounds)")
    w("")
    w(f"{'file':<13}{'peak MB':>9}{'held MB':>9}{'result MB':>11}{'tree MB':>9}{'overhead MB':>13}{'x size':>8}")
    for r in rows:
        m = r["mem"]
        if m is None:
            w(f"{r['name']:<13}   not measured")
            continue
        r["overhead"] = (m["peak"] - m["result"]) / r["bytes"]
        w(f"{r['name']:<13}{m['peak'] / MB:9.1f}{m['held'] / MB:9.1f}{m['result'] / MB:11.1f}{m['tree'] / MB:9.1f}"
          f"{(m['peak'] - m['result']) / MB:13.1f}{r['overhead']:8.2f}")
    w("(peak: VmHWM above the RSS before the call; held: RSS after it with the result alive;")
    w(" result: RSS released by deleting the result; tree: RSS of the same tree built by")
    w(" marshal.loads in a fresh process; overhead = peak - result; x size: overhead / file size)")
    w("")
    by = {r["name"]: r for r in rows}
    checks = []
    for name, measure, limit in RATIO_TARGETS:
        if name in by:
            checks.append((f"{name} {measure}", by[name]["ratio"][measure], limit))
    notes = []
    full = by.get(LINEAR_FILES[1])
    if full and full["tenth_lines"]:
        def growth(measure):
            a = full["med"][measure] / full["lines"]
            b = full["med"]["tenth " + measure] / full["tenth_lines"]
            return a / b - 1, a * 1e9, b * 1e9
        value, a, b = growth("module")
        checks.append(("dense module time per line, full vs tenth: difference", abs(value), LINEAR_LIMIT))
        notes.append(f"time per line, full vs tenth, same rounds: module {a:.0f} vs {b:.0f} ns ({value:+.0%}), "
                     "marshal.loads {1:.0f} vs {2:.0f} ns ({0:+.0%})".format(*growth("marshal")))
    for r in rows:
        if r.get("overhead") is not None:
            checks.append((f"{r['name']} memory (peak - result) / size", r["overhead"], MEMORY_LIMIT))
    w(f"{'target':<56}{'value':>8}{'limit':>8}  result")
    failed = 0
    for label, value, limit in checks:
        ok = value <= limit
        failed += not ok
        w(f"{label:<56}{value:8.2f}{limit:8.2f}  {'PASS' if ok else 'FAIL'}")
    w(f"{len(checks) - failed} of {len(checks)} targets hold")
    out.extend(notes)
    print("\n".join(out), flush=True)
    return failed


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("names", nargs="*", metavar="NAME",
                    help="files to run: " + ", ".join(generate.FILES) + " (default: all)")
    ap.add_argument("--reps", type=int, help="interleaved rounds per file (default 7; 5 for dense)")
    ap.add_argument("--data", type=Path, default=generate.DEFAULT_DATA, help="data folder (default bench/data)")
    ap.add_argument("--build", default=str(ROOT / "build" / "dev"),
                    help="folder holding the built module (default build/dev); '' for the installed one")
    ap.add_argument("--regen", action="store_true", help="regenerate the data files first")
    ap.add_argument("--strict", action="store_true", help="exit with status 1 when a target fails")
    ap.add_argument("--child", choices=["module", "result"], help=argparse.SUPPRESS)
    ap.add_argument("--child-name", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.child:
        return child(args)
    unknown = set(args.names) - set(generate.FILES)
    if unknown:
        ap.error("unknown file name(s): " + ", ".join(sorted(unknown)))
    started = time.perf_counter()
    mod = import_module(args.build)
    args.data.mkdir(parents=True, exist_ok=True)
    exe = native_floor(args.data)
    gc.disable()
    rows = []
    names = args.names or list(generate.FILES)
    metas = {}
    for name in names + ([LINEAR_FILES[0]] if LINEAR_FILES[1] in names else []):
        if name not in metas:
            metas[name] = generate.generate(args.data, name, force=args.regen, log=log)
    for name in names:
        log(f"running {name} ...")
        tenth = metas[LINEAR_FILES[0]] if name == LINEAR_FILES[1] else None
        rows.append(bench_file(args, mod, exe, name, metas[name], tenth))
    failed = report(rows, args, mod)
    log(f"total {time.perf_counter() - started:.0f} s")
    return 1 if failed and args.strict else 0


if __name__ == "__main__":
    sys.exit(main())
