#!/usr/bin/env python3
"""Mutation testing: how many small faults put into the product do the tests catch?

A mutant is one change to one line of product code: a comparison or an
arithmetic operator swapped, a negation removed, an integer constant moved by
one, or a returned error code replaced by 0. The sample is drawn with a seed
from every mutation site of the library, the host backends, the tools, the
bindings and the application, so the same seed on the same product code gives
the same mutants, whatever the tests are; that is what lets a run on one test
suite be compared with a run on another.

For each mutant the script rebuilds only the programs whose tests reach the
mutated line (a line-coverage map made once per product tree), runs those
tests, fastest first, and stops at the first failure:
  killed     a test failed or crashed
  timed out  a test ran past its bound (its unmutated time x 5, at least 30 s)
  survived   every test that reaches the line passed
  unreached  no test executes the line (nothing is run)
A mutant that does not compile is replaced by the next site of its area.

Usage:
  scripts/mutants.py run [--count 150] [--seed 1] [--out build/mutants/run.json]
  scripts/mutants.py replay BEFORE.json [--out build/mutants/replay.json]
  scripts/mutants.py compare BEFORE.json AFTER.json
  scripts/mutants.py sites            # how many sites each area has
Options of run: --build DIR (default build/mutants), --only AREA,
--coverage-only (make the map and stop), --refresh-coverage, --resume (go on
with the report named by --out, skipping the mutants it has).
replay tries the mutants of an earlier report on today's tree (after the
tests or the product's layout changed): each line is found again by its text;
one that is no longer there is reported "gone". Its report keeps the earlier
places, so compare matches the two. The mutants killed before are tried
first, each with the unit that killed it; the coverage map is made only when
one of them survives that unit, or for the mutants that survived before.
Options of replay: --folded OLD=NEW[,NEW] (a suite whose cases moved into
others since the report: its mutants are tried with those first),
--killed-only (only the mutants killed before, which is what a changed suite
must still catch).
The map is saved unit by unit: a run stopped while making it goes on.
The product tree must be clean in git: every mutated file is restored, but a
file with changes of yours would be rebuilt from the committed text.
"""

import argparse
import gzip
import hashlib
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

TOP = Path(__file__).resolve().parent.parent

AREAS = {  # area: folders (relative to the top), first match wins
    "host": ["Source/usbhost", "Simulator"],
    "library": ["Source"],
    "tools": ["tools"],
    "bindings": ["python", "gst", "indi"],
    "application": ["capture"],
}
SUFFIXES = (".cpp", ".h", ".inc", ".c")
# Every area gets at least this share of the sample, whatever its size.
MIN_AREA_SHARE = 0.08

# (kind, pattern on the masked line, replacement of the matched text)
OPERATORS = [
    ("relational", r" == ", " != "), ("relational", r" != ", " == "),
    ("relational", r" < ", " <= "), ("relational", r" <= ", " < "),
    ("relational", r" > ", " >= "), ("relational", r" >= ", " > "),
    ("arithmetic", r" \+ ", " - "), ("arithmetic", r" - ", " + "),
    ("arithmetic", r" \* ", " / "), ("arithmetic", r" / ", " * "),
    ("arithmetic", r" \+= ", " -= "), ("arithmetic", r" -= ", " += "),
    ("logical", r" && ", " || "), ("logical", r" \|\| ", " && "),
    ("negation", r"(?<![\w)\]!])!(?=[\w(])", ""),
]
CONSTANT = re.compile(r"(?<![\w.])(0[xX][0-9A-Fa-f]+|[0-9]+)(?![\w.'])")
RETURN_CODE = re.compile(r"\breturn\s+(-\s*[0-9]+|-?\s*VOCAM_E\w+|-E[A-Z]+|VOCAM_USB_\w+)\s*;")
SKIP_LINE = re.compile(r"^\s*(#|static_assert|template\b|case\b.*:)")


def area_of(path):
    for area, folders in AREAS.items():
        if any(path == f or path.startswith(f + "/") for f in folders):
            return area
    return None


def masked_lines(text):
    """The file's lines with comments, strings and character literals blanked,
    so that operators inside them are never taken for code."""
    out, i, n = [], 0, len(text)
    buf = []
    state = None  # None, "block", "line", '"', "'", "raw"
    raw_end = ""
    while i < n:
        c = text[i]
        if c == "\n":
            out.append("".join(buf))
            buf = []
            if state == "line":
                state = None
            i += 1
            continue
        if state is None:
            if text.startswith("//", i):
                state = "line"
            elif text.startswith("/*", i):
                state = "block"
                buf.append("  ")
                i += 2
                continue
            elif text.startswith('R"', i) and (i == 0 or not (text[i - 1].isalnum() or text[i - 1] == "_")):
                j = text.find("(", i)
                raw_end = ")" + text[i + 2:j] + '"'
                state = "raw"
                buf.append(" " * (j + 1 - i))
                i = j + 1
                continue
            elif c in "\"'" and not (c == "'" and i > 0 and text[i - 1].isalnum()):
                state = c
                buf.append(" ")
                i += 1
                continue
            buf.append(c if state is None else " ")
            i += 1
            continue
        if state == "block" and text.startswith("*/", i):
            state = None
            buf.append("  ")
            i += 2
            continue
        if state == "raw" and text.startswith(raw_end, i):
            state = None
            buf.append(" " * len(raw_end))
            i += len(raw_end)
            continue
        if state in "\"'" and state not in ("block", "line", "raw"):
            if c == "\\":
                buf.append("  ")
                i += 2
                continue
            if c == state:
                state = None
        buf.append(" ")
        i += 1
    out.append("".join(buf))
    return out


def sites_of(path):
    text = (TOP / path).read_text(errors="replace")
    lines = text.split("\n")
    found = []
    for number, masked in enumerate(masked_lines(text), start=1):
        if not masked.strip() or SKIP_LINE.match(masked):
            continue
        for kind, pattern, new in OPERATORS:
            for m in re.finditer(pattern, masked):
                found.append((kind, number, m.start(), m.group(0), new))
        m = RETURN_CODE.search(masked)
        if m:
            found.append(("return code", number, m.start(), m.group(0), "return 0;"))
        elif "[" not in masked and "enum" not in masked:
            for m in CONSTANT.finditer(masked):
                old = m.group(0)
                if old.lower().startswith("0x"):
                    new = hex(int(old, 16) + 1)
                elif len(old) > 1 and old.startswith("0"):  # octal, as in file modes
                    new = "0" + format(int(old, 8) + 1, "o")
                else:
                    new = str(int(old) + 1)
                found.append(("constant", number, m.start(), old, new))
    return [{"file": path, "kind": k, "line": ln, "col": col, "old": old, "new": new,
             "text": lines[ln - 1].strip()} for k, ln, col, old, new in found]


def product_files():
    listed = subprocess.run(["git", "ls-files"], cwd=TOP, capture_output=True, text=True,
                            check=True).stdout.split()
    return sorted(p for p in listed if p.endswith(SUFFIXES) and area_of(p)
                  and "/tests/" not in p and not p.startswith("tests/"))


def all_sites():
    by_area = {}
    for path in product_files():
        for s in sites_of(path):
            by_area.setdefault(area_of(path), []).append(s)
    return by_area


def draw(by_area, count, seed):
    """Per area, its sites shuffled by the seed and a quota: the order in which
    mutants are taken, and how many of each area."""
    rng = random.Random(seed)
    total = sum(len(v) for v in by_area.values())
    quota = {a: max(round(count * len(v) / total), round(count * MIN_AREA_SHARE))
             for a, v in by_area.items()}
    while sum(quota.values()) > count:
        biggest = max(quota, key=quota.get)
        quota[biggest] -= 1
    order = {}
    for a in sorted(by_area):
        sites = sorted(by_area[a], key=lambda s: (s["file"], s["line"], s["col"], s["kind"]))
        rng.shuffle(sites)
        order[a] = sites
    return quota, order


# ---- building and running ------------------------------------------------

def sh(cmd, **kw):
    return subprocess.run(cmd, cwd=kw.pop("cwd", TOP), **kw)


def configure(build, coverage):
    flags = "-O1 -g0 --coverage" if coverage else "-O1 -g0"
    args = ["cmake", "-S", str(TOP), "-B", str(build), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=None",
            f"-DCMAKE_C_FLAGS={flags}", f"-DCMAKE_CXX_FLAGS={flags}", "-DVOCAM_BENCH=OFF",
            "-DVOCAM_WERROR=OFF"]
    if shutil.which("ccache") and not coverage:
        args += ["-DCMAKE_C_COMPILER_LAUNCHER=ccache", "-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"]
    if coverage:
        args += ["-DCMAKE_EXE_LINKER_FLAGS=--coverage", "-DCMAKE_SHARED_LINKER_FLAGS=--coverage",
                 "-DCMAKE_MODULE_LINKER_FLAGS=--coverage"]
    sh(args, check=True, stdout=subprocess.DEVNULL)


# Tests that check the installation or the export list run programs of their
# own from scratch and take minutes; their faults are the build's, not code's.
SKIPPED_TESTS = {"install", "relocated_install", "export_list"}
GTEST_ARGS = re.compile(r"^--gtest_(filter|also_run_disabled_tests)")


def units_of(build):
    """The test programs CTest runs, each with its environment: the unit a
    mutant is tested with. A gtest program listed once per case runs whole."""
    shown = sh(["ctest", "--test-dir", str(build), "--show-only=json-v1"], capture_output=True,
               text=True, check=True).stdout
    units = {}
    for t in json.loads(shown)["tests"]:
        if t["name"] in SKIPPED_TESTS or "command" not in t:
            continue
        command = [a for a in t["command"] if not GTEST_ARGS.match(a)]
        env = []
        for p in t.get("properties", []):
            if p["name"] == "ENVIRONMENT":
                env = p["value"]
        key = json.dumps([command, env])
        if key in units:
            continue
        program = next((Path(a).name for a in command if str(build) in a and Path(a).is_file()),
                       t["name"])
        prefix = "".join(e.split("=", 1)[1] + ":" for e in env if e.startswith("VOCAM_SIMD="))
        name = prefix + (program if program != "python3" else t["name"])
        units[key] = {"name": name, "command": command, "env": env, "targets": targets_of(command, build)}
    return sorted(units.values(), key=lambda u: u["name"])


def targets_of(command, build):
    """The build targets a test command needs: its own program, and what it
    runs (the vocam tool, the capture program, the Python module)."""
    targets = ["vocam_resources"]
    for a in command:
        p = Path(a)
        # Options may name folders of the build too (pytest's --basetemp).
        if str(build) in a and p.suffix == "" and p.is_file() and os.access(p, os.X_OK):
            targets.append(p.name)
    joined = " ".join(command)
    if "pytest" in joined:
        targets += ["_vocam", "VoCamSDK", "vocam"]
    if "vocam_tool_test" in joined:
        targets.append("vocam")
    if "capture_window_test" in joined:
        targets.append("VoCam_Capture")
    if "gst" in joined:
        targets.append("gstvocam")
    if "indi" in joined:
        targets.append("indi_vocam_ccd")
    return sorted(set(targets))


def run_unit(unit, timeout, cwd):
    env = dict(os.environ)
    env.update(e.split("=", 1) for e in unit["env"] if "=" in e)
    started = time.monotonic()
    proc = subprocess.Popen(unit["command"], cwd=cwd, env=env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, start_new_session=True)
    try:
        code = proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
        return "timeout", time.monotonic() - started
    return ("pass" if code == 0 else "fail"), time.monotonic() - started


def coverage_map(build, refresh):
    """Which units execute each product line: {file: {line: [unit names]}}.
    The map is saved after every unit, so a run stopped while making it goes
    on from the next unit."""
    cache = build / "coverage.json"
    head = tree_key()
    saved = json.loads(cache.read_text()) if cache.exists() and not refresh else {}
    if saved.get("head") != head:
        saved = {}
    # A map saved whole, without a list of the units done, is complete too.
    if saved.get("complete", "lines" in saved and "done" not in saved):
        return saved["lines"]
    cov = build.parent / (build.name + "-coverage")
    configure(cov, coverage=True)
    # Test programs list their cases only once built.
    sh(["cmake", "--build", str(cov)], check=True)
    lines = {f: {ln: set(us) for ln, us in v.items()} for f, v in saved.get("lines", {}).items()}
    done = set(saved.get("done", []))
    for u in units_of(cov):
        if u["name"] in done:
            continue
        for g in cov.rglob("*.gcda"):
            g.unlink()
        result, seconds = run_unit(u, 1800, cov)
        print(f"coverage: {u['name']}: {result} in {seconds:.0f} s", flush=True)
        record_coverage(cov, u["name"], lines)
        done.add(u["name"])
        write_coverage(cache, head, lines, done, complete=False)
    return write_coverage(cache, head, lines, done, complete=True)


def record_coverage(cov, unit, lines):
    with tempfile.TemporaryDirectory() as tmp:
        gcdas = [str(g) for g in cov.rglob("*.gcda")]
        for i in range(0, len(gcdas), 200):
            sh(["gcov", "-j", *gcdas[i:i + 200]], cwd=tmp, stdout=subprocess.DEVNULL,
               stderr=subprocess.DEVNULL)
        for j in Path(tmp).glob("*.gcov.json.gz"):
            for f in json.loads(gzip.decompress(j.read_bytes()))["files"]:
                path = os.path.relpath(os.path.realpath(f["file"]), TOP)
                if path.startswith(".."):
                    continue
                for ln in f["lines"]:
                    # Lines never run are kept too: they tell a statement's
                    # first line from the lines it continues on.
                    units_there = lines.setdefault(path, {}).setdefault(str(ln["line_number"]), set())
                    if ln["count"] > 0:
                        units_there.add(unit)


def write_coverage(cache, head, lines, done, complete):
    plain = {f: {ln: sorted(us) for ln, us in v.items()} for f, v in lines.items()}
    cache.write_text(json.dumps({"head": head, "complete": complete, "done": sorted(done),
                                 "lines": plain}))
    return plain


def tree_key():
    """What the coverage map depends on: every committed file but the scripts
    and benchmarks, so that a commit of this script keeps the map."""
    listed = sh(["git", "ls-tree", "-r", "HEAD"], capture_output=True, text=True,
                check=True).stdout.splitlines()
    kept = [l for l in listed if not l.split("\t", 1)[1].startswith(("scripts/", "bench/"))]
    return hashlib.sha1("\n".join(kept).encode()).hexdigest()


def reaching_units(covered, site):
    """The units that run the site's line. gcov counts a statement on its
    first line, so a line it has no record of takes the record of the line
    its statement began on, a few lines up at most."""
    lines = covered.get(site["file"], {})
    for line in range(site["line"], max(0, site["line"] - 6), -1):
        if str(line) in lines:
            return lines[str(line)]
    return []


def mutate(site):
    path = TOP / site["file"]
    original = path.read_bytes()
    text = original.decode(errors="surrogateescape").split("\n")
    line = text[site["line"] - 1]
    col = site["col"]
    assert line[col:col + len(site["old"])] == site["old"], site
    text[site["line"] - 1] = line[:col] + site["new"] + line[col + len(site["old"]):]
    path.write_bytes("\n".join(text).encode(errors="surrogateescape"))
    return original


def describe(site):
    return f"{site['file']}:{site['line']} {site['kind']}: `{site['old'].strip()}` -> `{site['new'].strip()}`"


def prepare(args):
    """Builds the tree, maps its coverage and times every unit unmutated: what
    trying a mutant needs."""
    dirty = sh(["git", "status", "--porcelain", "--untracked-files=no"], capture_output=True,
               text=True).stdout.strip()
    if dirty:
        sys.exit("the tree has uncommitted changes; commit or stash them first:\n" + dirty)
    build = Path(args.build).resolve()
    configure(build, coverage=False)
    sh(["cmake", "--build", str(build)], check=True)
    units = units_of(build)
    covered = Lazy(lambda: coverage_map(build, args.refresh_coverage))
    if args.coverage_only or not args.lazy_coverage:
        covered.get()
    if args.coverage_only:
        sys.exit(0)
    by_name = {u["name"]: u for u in units}
    all_targets = sorted({t for u in units for t in u["targets"]})
    sh(["cmake", "--build", str(build), "--target", *all_targets], check=True)
    baseline = {}
    for u in units:
        result, seconds = run_unit(u, 1800, build)
        if result != "pass":
            print(f"{u['name']} fails without a mutant: left out", flush=True)
            continue
        baseline[u["name"]] = seconds
    return {"build": build, "covered": covered, "by_name": by_name, "baseline": baseline,
            "all_targets": all_targets}


class Lazy:
    """A value made the first time it is asked for."""

    def __init__(self, make):
        self.make, self.value = make, None

    def get(self):
        if self.value is None:
            self.value = self.make()
        return self.value


def try_mutant(entry, site, bench, first=()):
    """`entry` with the result of `site` mutated, or None when it does not
    compile. `first` are units to try before any other (the one that killed
    the mutant in an earlier run, or those its cases moved to): when one of
    them kills the mutant again, the coverage map is not needed at all."""
    first = [n for n in first if n in bench["baseline"]]
    if first:
        outcome = try_units(entry, site, bench, first)
        if outcome is None or outcome["result"] != "survived":
            return outcome
    # The map is made with the product as committed, so never under a mutant.
    reaching = [n for n in reaching_units(bench["covered"].get(), site)
                if n in bench["baseline"] and n not in first]
    if not reaching:
        return dict(entry, result="survived" if first else "unreached")
    return try_units(entry, site, bench, reaching)


def try_units(entry, site, bench, units):
    original = mutate(site)
    try:
        targets = sorted({t for n in units for t in bench["by_name"][n]["targets"]})
        built = sh(["cmake", "--build", str(bench["build"]), "--target", *targets],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if built.returncode != 0:
            return None
        for name in sorted(units, key=bench["baseline"].get):
            bound = max(30.0, 5 * bench["baseline"][name])
            result, _ = run_unit(bench["by_name"][name], bound, bench["build"])
            if result != "pass":
                return dict(entry, result="killed" if result == "fail" else "timed out", by=name)
        return dict(entry, result="survived")
    finally:
        (TOP / site["file"]).write_bytes(original)


def previous(args):
    """What an earlier run into the same report found, when resuming it."""
    out = Path(args.out)
    if not args.resume or not out.exists():
        return []
    return json.loads(out.read_text())["mutants"]


def finish(args, bench, results):
    sh(["cmake", "--build", str(bench["build"]), "--target", *bench["all_targets"]],
       stdout=subprocess.DEVNULL)
    print(summary(save(args, results)))


def run(args):
    bench = prepare(args)
    quota, order = draw(all_sites(), args.count, args.seed)
    if args.only:
        quota = {a: q for a, q in quota.items() if a == args.only}
    results = previous(args)
    done = {key(m) for m in results}
    for area in sorted(quota):
        taken = sum(1 for m in results if m["area"] == area)
        for site in order[area]:
            if taken >= quota[area]:
                break
            if key(site) in done:
                continue
            entry = try_mutant(dict(site, area=area), site, bench)
            if entry is None:
                continue  # does not compile: the next site of the area instead
            taken += 1
            results.append(entry)
            print(f"[{len(results)}] {entry['result']:<10} {describe(site)}", flush=True)
            save(args, results)  # a run stopped halfway keeps what it found
    finish(args, bench, results)


def replay(args):
    """The mutants of an earlier report, put into today's tree: each one's line
    is found again by its text and its neighbours (in the same file, the file
    git saw it renamed to, a file of the same name moved elsewhere, or the one
    other product file that has the line), so the same faults can be tried on
    a test suite or product layout that changed since."""
    before = json.loads(Path(args.report).read_text())
    args.seed, args.count = before["seed"], before["count"]  # the sample's, for the report
    bench = prepare(args)
    renamed = renames(before["commit"])
    results = previous(args)
    done = {key(m) for m in results}
    # The mutants killed before come first, each tried first with the unit
    # that killed it: they are what a changed suite must still catch.
    was_killed = lambda m: m["result"] in ("killed", "timed out")
    for m in sorted(before["mutants"], key=lambda m: not was_killed(m)):
        if key(m) in done or (args.killed_only and not was_killed(m)):
            continue
        entry = dict(m)
        for k in ("result", "by"):
            entry.pop(k, None)
        site = relocate(m, before["commit"], renamed)
        if site is None:
            entry["result"] = "gone"  # the line is no longer in the product
        else:
            entry["now"] = f"{site['file']}:{site['line']}"
            tried = try_mutant(entry, site, bench, first=folded(m.get("by"), args.folded))
            entry = tried if tried is not None else dict(entry, result="no longer compiles")
        results.append(entry)
        print(f"[{len(results)}] {entry['result']:<10} {describe(m)}", flush=True)
        save(args, results)
    finish(args, bench, results)


def folded(unit, pairs):
    """The units that now hold the cases of `unit`, given OLD=NEW[,NEW...]
    pairs of suites merged since the report; an instruction-set prefix is kept."""
    if unit is None:
        return []
    prefix, _, name = unit.rpartition(":")
    names = dict(p.split("=", 1) for p in pairs).get(name, name).split(",")
    return [f"{prefix}:{n}" if prefix else n for n in names]


def renames(commit):
    """Product files git finds renamed between `commit` and the tree: {old: new}."""
    shown = sh(["git", "diff", "-M", "--name-status", "--diff-filter=R", commit, "HEAD"],
               capture_output=True, text=True, check=True).stdout
    return {f[1]: f[2] for f in (l.split("\t") for l in shown.splitlines()) if len(f) == 3}


def code_values():
    """The library's return codes by name, as the public header numbers them."""
    header = (TOP / "Include/vocamapi.h").read_text()
    return dict(re.findall(r"\b(VOCAM_E[A-Z]+)\s*=\s*(-?[0-9]+)", header))


def spelled_alike(a, b, codes):
    """Whether two lines are the same code but for return codes written by
    name in one and by number in the other."""
    name = re.compile(r"\bVOCAM_E[A-Z]+\b")
    def plain(t):
        return name.sub(lambda c: codes.get(c.group(0), c.group(0)), t).replace("- ", "-")
    return plain(a) == plain(b)


def relocate(m, commit, renamed):
    """Where mutant `m` of the tree at `commit` stands today, or None: the
    same line of code, and in it the same occurrence of the mutated text."""
    was = sh(["git", "show", f"{commit}:{m['file']}"], capture_output=True,
             text=True, errors="surrogateescape").stdout.split("\n")
    raw = was[m["line"] - 1] if len(was) >= m["line"] else ""
    nth = raw[:m["col"]].count(m["old"])
    codes = code_values()
    around = {d: was[m["line"] - 1 + d].strip() for d in (-3, -2, -1, 1, 2, 3)
              if 0 <= m["line"] - 1 + d < len(was)}

    def places(path):
        """(lines matching around it, line) of every line of `path` that is
        the mutated line, written alike."""
        lines = (TOP / path).read_text(errors="surrogateescape").split("\n")
        hits = [i for i, l in enumerate(lines, start=1) if l.strip() == m["text"]]
        hits = hits or [i for i, l in enumerate(lines, start=1)
                        if spelled_alike(l.strip(), m["text"], codes)]
        return [(sum(1 for d, t in around.items()
                     if 0 <= i - 1 + d < len(lines) and lines[i - 1 + d].strip() == t), i)
                for i in hits]

    # A short line such as "return -78;" is in many places: the one meant is
    # the one whose neighbours are still its neighbours, in the file itself
    # (under its new name if git saw it renamed) or one of the same name moved
    # elsewhere. In any other file, only a line found once in all of them,
    # or one that kept most of its neighbours.
    home = renamed.get(m["file"], m["file"])
    files = [f for f in product_files() if (TOP / f).is_file()]
    near = {f for f in files if f == home or Path(f).name == Path(m["file"]).name}
    candidates = [(score, f in near, -abs(i - m["line"]), f, i)
                  for f in files for score, i in places(f)]
    if not any(f in near for _, _, _, f, _ in candidates) and len(candidates) > 1:
        candidates = [c for c in candidates if c[0] >= 3]
    for _, _, _, path, line in sorted(candidates, reverse=True):
        lines = (TOP / path).read_text(errors="surrogateescape").split("\n")
        text = lines[line - 1]
        if m["kind"] == "return code":
            found = RETURN_CODE.search(text)
            if found:
                return dict(m, file=path, line=line, col=found.start(), old=found.group(0))
            continue
        cols = [c.start() for c in re.finditer(re.escape(m["old"]), text)]
        if nth < len(cols):
            return dict(m, file=path, line=line, col=cols[nth])
    return None


def save(args, results):
    head = sh(["git", "rev-parse", "--short", "HEAD"], capture_output=True, text=True).stdout.strip()
    report = {"seed": args.seed, "count": args.count, "commit": head, "mutants": results}
    out = Path(args.out)
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(json.dumps(report, indent=1))
    return report


def summary(report):
    counts = {}
    for m in report["mutants"]:
        counts.setdefault(m["area"], {}).setdefault(m["result"], 0)
        counts[m["area"]][m["result"]] += 1
    kinds = ["killed", "timed out", "survived", "unreached"]
    kinds += sorted({m["result"] for m in report["mutants"]} - set(kinds))
    rows = [f"commit {report['commit']}, seed {report['seed']}, {len(report['mutants'])} mutants",
            "| area | " + " | ".join(kinds) + " |", "|---|" + "---|" * len(kinds)]
    for area in sorted(counts):
        rows.append(f"| {area} | " + " | ".join(str(counts[area].get(k, 0)) for k in kinds) + " |")
    total = {k: sum(c.get(k, 0) for c in counts.values()) for k in kinds}
    rows.append("| all | " + " | ".join(str(total[k]) for k in kinds) + " |")
    rows.append("\nsurvivors and unreached:")
    rows += [f"- {m['result']}: {describe(m)}" for m in report["mutants"]
             if m["result"] not in ("killed", "timed out")]
    return "\n".join(rows)


def key(m):
    return (m["file"], m["line"], m["col"], m["kind"], m["old"], m["new"])


def compare(before_path, after_path):
    before = json.loads(Path(before_path).read_text())
    after = {key(m): m for m in json.loads(Path(after_path).read_text())["mutants"]}
    lost = []
    for m in before["mutants"]:
        if m["result"] in ("killed", "timed out"):
            now = after.get(key(m))
            if now is None or now["result"] not in ("killed", "timed out"):
                lost.append((m, now["result"] if now else "not in the second run"))
    print(f"{len(lost)} mutants killed before and not after")
    for m, now in lost:
        print(f"- {describe(m)}: killed by {m.get('by')} before, {now} after")
    return 1 if lost else 0


def main():
    # A shell starts a background job with Ctrl-C ignored, and programs
    # inherit that: a test that interrupts itself would then wait forever.
    # With a handler here, the tests start with the default again, and a
    # Ctrl-C of the script still restores the mutated file.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = p.add_subparsers(dest="command", required=True)
    r = sub.add_parser("run")
    r.add_argument("--count", type=int, default=150)
    r.add_argument("--seed", type=int, default=1)
    r.add_argument("--build", default=str(TOP / "build/mutants"))
    r.add_argument("--out", default=str(TOP / "build/mutants/run.json"))
    r.add_argument("--only", choices=sorted(AREAS))
    r.add_argument("--coverage-only", action="store_true")
    r.add_argument("--refresh-coverage", action="store_true")
    r.add_argument("--resume", action="store_true")
    r.set_defaults(lazy_coverage=False)
    y = sub.add_parser("replay")
    y.add_argument("report")
    y.add_argument("--build", default=str(TOP / "build/mutants"))
    y.add_argument("--out", default=str(TOP / "build/mutants/replay.json"))
    y.add_argument("--refresh-coverage", action="store_true")
    y.add_argument("--resume", action="store_true")
    y.add_argument("--folded", action="append", default=[], metavar="OLD=NEW[,NEW]",
                   help="a suite whose cases moved into others since the report")
    y.add_argument("--killed-only", action="store_true",
                   help="only the mutants the report's tests killed")
    y.set_defaults(coverage_only=False, lazy_coverage=True)
    c = sub.add_parser("compare")
    c.add_argument("before")
    c.add_argument("after")
    s = sub.add_parser("summary")
    s.add_argument("report")
    sub.add_parser("sites")
    args = p.parse_args()
    if args.command == "run":
        run(args)
    elif args.command == "replay":
        replay(args)
    elif args.command == "compare":
        sys.exit(compare(args.before, args.after))
    elif args.command == "summary":
        print(summary(json.loads(Path(args.report).read_text())))
    else:
        for area, sites in sorted(all_sites().items()):
            kinds = {}
            for s in sites:
                kinds[s["kind"]] = kinds.get(s["kind"], 0) + 1
            print(f"{area}: {len(sites)} sites {kinds}")


if __name__ == "__main__":
    main()
