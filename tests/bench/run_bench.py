"""Runs every benchmark of drvsetup and prints each figure beside its goal.

Size of the Windows images, time per byte of the version scan and of the import (Google
Benchmark, CPU time, best of several repetitions, since the machine is shared), instruction counts
(callgrind, exact and free of the machine's noise), the cost of escapes in a long value line, the
whole run under Wine against Wine's own importer, and the peak memory of the native whole run.

Goals are marked OK or MISSED, aims "aim met" or "aim missed". The exit code is 0 when every
figure could be measured, whatever the verdicts; 1 when a measurement itself failed.
"""

import argparse
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile

IMAGE_GOAL = 49152
IMAGE_AIM = 24576
LINEAR_SPREAD = 0.25
ESCAPE_RATIO = 3.0
SCAN_AIM = 1e9
IMPORT_AIM = 300e6
MEMORY_FACTOR = 4.0
SYSTEM_DLLS = {"kernel32.dll", "advapi32.dll", "user32.dll", "msvcrt.dll"}
SIZES = (1, 10, 100)

missed = []
broken = []


def say(line=""):
    print(line, flush=True)


def goal(ok, label):
    if not ok:
        missed.append(label)
    return "OK" if ok else "MISSED"


def aim(ok, label):
    if not ok:
        missed.append(label + " (aim)")
    return "aim met" if ok else "aim missed"


def section(title):
    say()
    say("== " + title)


# ---------------------------------------------------------------- size of the Windows images

def objdump_for(arch):
    for name in (arch + "-w64-mingw32-objdump", "x86_64-w64-mingw32-objdump", "objdump"):
        if shutil.which(name):
            return name
    return None


def image_sections(objdump, path):
    out = subprocess.run([objdump, "-h", path], capture_output=True, text=True, check=True).stdout
    sections = []
    for line in out.splitlines():
        m = re.match(r"\s*\d+\s+(\S+)\s+([0-9a-fA-F]+)\s", line)
        if m:
            sections.append((m.group(1), int(m.group(2), 16)))
    return sections


def image_imports(objdump, path):
    out = subprocess.run([objdump, "-p", path], capture_output=True, text=True, check=True).stdout
    imports = {}
    current = None
    for line in out.splitlines():
        m = re.match(r"\s*DLL Name:\s*(\S+)", line)
        if m:
            current = m.group(1)
            imports[current] = 0
        elif current and re.match(r"\s+[0-9a-fA-F]+\s+[0-9a-fA-F]*\s*\S+", line) and \
                not line.strip().startswith("vma"):
            imports[current] += 1
        elif not line.strip():
            current = None
    return imports


def runtime_floor(args, work, arch):
    """Size of an empty WinMain built with the options of the Windows image, or None."""
    compiler = shutil.which(arch + "-w64-mingw32-g++")
    if compiler is None:
        return None
    out = os.path.join(work, f"empty-{arch}.exe")
    source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "empty_winmain.cpp")
    result = subprocess.run([compiler, "-Os", "-fno-exceptions", "-fno-rtti", "-mwindows", "-s",
                             "-static-libgcc", "-static-libstdc++", "-Wl,--no-insert-timestamp",
                             source, "-o", out], capture_output=True, text=True)
    return os.path.getsize(out) if result.returncode == 0 else None


def bench_size(args, work):
    section("Size of the Windows images (setup file less the appended data and trailer)")
    for arch in ("x86_64", "i686"):
        setup = os.path.join(args.windows_dist, arch, "drvsetup.exe")
        if not os.path.isfile(setup):
            say(f"size {arch} image: SKIPPED ({setup} is not built; run make windows)")
            continue
        data = open(setup, "rb").read()
        (length,) = struct.unpack("<I", data[-4:])
        if length + 4 > len(data):
            say(f"size {arch} image: FAILED (trailer {length} exceeds the file)")
            broken.append(f"size {arch}")
            continue
        image = data[: len(data) - 4 - length]
        path = os.path.join(work, f"image-{arch}.exe")
        open(path, "wb").write(image)
        say(f"size {arch} image: {len(image)} bytes (goal <= {IMAGE_GOAL}, aim <= {IMAGE_AIM}) "
            f"{goal(len(image) <= IMAGE_GOAL, f'size {arch}')}, "
            f"{aim(len(image) <= IMAGE_AIM, f'size {arch}')}")
        objdump = objdump_for(arch)
        if objdump is None:
            say(f"sections {arch}: SKIPPED (no objdump)")
            continue
        sections = image_sections(objdump, path)
        say(f"  sections {arch}: " + ", ".join(f"{n} {s}" for n, s in sections))
        debug = [n for n, _ in sections if n.startswith((".debug", ".zdebug", ".stab"))]
        say(f"debug sections {arch}: {', '.join(debug) if debug else 'none'} (goal: none) "
            f"{goal(not debug, f'debug sections {arch}')}")
        floor = runtime_floor(args, work, arch)
        if floor:
            say(f"  runtime floor {arch}: an empty WinMain linked the same way is {floor} bytes; "
                f"the program adds {len(image) - floor} bytes")
        imports = image_imports(objdump, path)
        foreign = [d for d in imports if d.lower() not in SYSTEM_DLLS]
        listing = ", ".join(f"{d} ({n} functions)" for d, n in imports.items())
        say(f"runtime {arch}: imports {listing} (goal: system DLLs only, no libstdc++/libgcc/"
            f"winpthread DLL) {goal(not foreign, f'runtime {arch}')}")


# ---------------------------------------------------------------- Google Benchmark

def run_google_benchmark(args, work):
    out = os.path.join(work, "bench_script.json")
    command = [args.bench_script, "--benchmark_repetitions=5", "--benchmark_min_time=0.1",
               "--benchmark_out=" + out, "--benchmark_out_format=json"]
    say("$ " + " ".join(command))
    result = subprocess.run(command)
    if result.returncode != 0 or not os.path.exists(out):
        broken.append("google benchmark")
        return None
    runs = json.load(open(out))["benchmarks"]
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}
    best = {}
    for run in runs:
        if run.get("run_type") != "iteration" or run.get("error_occurred"):
            if run.get("error_occurred"):
                broken.append(run["name"] + ": " + run.get("error_message", ""))
            continue
        name = run.get("run_name", run["name"])
        seconds = run["cpu_time"] * scale[run["time_unit"]]
        wall = run["real_time"] * scale[run["time_unit"]]
        entry = best.setdefault(name, {"cpu": seconds, "wall": wall,
                                       "bytes": run.get("script_bytes", 0)})
        entry["cpu"] = min(entry["cpu"], seconds)
        entry["wall"] = min(entry["wall"], wall)
    return best


# ---------------------------------------------------------------- callgrind

def callgrind(args, work, mode, copies, function):
    out = os.path.join(work, f"callgrind.{mode}.{copies}.out")
    if shutil.which("valgrind") is None:
        if "callgrind (valgrind is not installed)" not in broken:
            broken.append("callgrind (valgrind is not installed)")
        return None, None, out
    command = ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out,
               f"--toggle-collect={function}*", args.probe, mode, str(copies)]
    result = subprocess.run(command, capture_output=True, text=True)
    if result.returncode != 0:
        broken.append(f"callgrind {mode} {copies}")
        say(result.stdout + result.stderr)
        return None, None, out
    m = re.search(r"Collected\s*:\s*(\d+)", result.stderr)
    size = re.search(r": (\d+) bytes", result.stdout)
    return int(m.group(1)), int(size.group(1)), out


def inclusive_costs(path):
    """Instructions per function, callees included, from a callgrind profile."""
    out = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", path],
                         capture_output=True, text=True).stdout
    costs = {}
    for line in out.splitlines():
        m = re.match(r"\s*([\d,]+)\s+\([^)]*\)\s+\S*?:(.*?)\(", line)
        if m:
            name = m.group(2).split("::")[-1]
            costs.setdefault(name, int(m.group(1).replace(",", "")))
    return costs


def fmt(number):
    if number is None:
        return "n/a"
    return f"{number:.2f}" if isinstance(number, float) else f"{number}"


def spread(values):
    return max(values) / min(values) - 1


def bench_parsing(args, work):
    section("Version scan and import into the keep-nothing registry (DRVSETUP_REGISTRY=:null:)")
    say("Times are CPU times, the best of 5 repetitions (the machine is shared); instruction counts "
        "are callgrind's, of read_data_version or import_script alone.")
    best = run_google_benchmark(args, work)
    if best is None:
        return
    say()

    counts = {}
    for mode, function in (("scan", "read_data_version"), ("scan_full", "read_data_version"),
                           ("import", "import_script")):
        for copies in SIZES:
            counts[(mode, copies)] = callgrind(args, work, mode, copies, function)
    for mode in ("escaped_line", "plain_line"):
        counts[(mode, 1)] = callgrind(args, work, mode, 1, "import_script")

    def per_byte(name):
        entry = best.get(name)
        return entry["cpu"] / entry["bytes"] if entry and entry["bytes"] else None

    def instructions_per_byte(mode, copies):
        count, size, _ = counts[(mode, copies)]
        return count / size if count is not None else None

    # The shipped order: the version line is the 4th line, so the scan's cost is the same for
    # every size.
    shipped = [best.get(f"BM_scan/{c}") for c in SIZES]
    if all(shipped):
        times = ", ".join(f"{c}x {e['cpu'] * 1e9:.0f} ns" for c, e in zip(SIZES, shipped))
        instructions = ", ".join(f"{c}x {fmt(counts[('scan', c)][0])}" for c in SIZES)
        say(f"scan, shipped order (version line 4th line): {times} per scan; "
            f"instructions {instructions}: stops at the version line, independent of size")

    for label, mode, bench, aim_rate in (
            ("scan", "scan_full", "BM_scan_full", SCAN_AIM),
            ("import", "import", "BM_import", IMPORT_AIM)):
        rows = []
        for c in SIZES:
            entry = best.get(f"{bench}/{c}")
            if not entry:
                continue
            rate = entry["bytes"] / entry["cpu"]
            ipb = instructions_per_byte(mode, c)
            rows.append((c, entry, rate, ipb))
            say(f"{label} {c}x ({entry['bytes']:,.0f} bytes): {entry['cpu'] * 1e3:.3f} ms CPU "
                f"({entry['wall'] * 1e3:.3f} ms wall), {entry['cpu'] / entry['bytes'] * 1e9:.3f} "
                f"ns/byte, {rate / 1e6:.0f} MB/s, {fmt(ipb)} instructions/byte")
        if len(rows) == len(SIZES):
            time_spread = spread([r[1]["cpu"] / r[1]["bytes"] for r in rows])
            say(f"{label} linear cost: time per byte varies by {time_spread * 100:.1f}% across "
                f"1x/10x/100x (goal <= {LINEAR_SPREAD * 100:.0f}%) "
                f"{goal(time_spread <= LINEAR_SPREAD, f'{label} linear time')}")
            if all(r[3] is not None for r in rows):
                ipb_spread = spread([r[3] for r in rows])
                say(f"{label} linear cost: instructions per byte vary by {ipb_spread * 100:.1f}% "
                    f"across 1x/10x/100x (goal <= {LINEAR_SPREAD * 100:.0f}%) "
                    f"{goal(ipb_spread <= LINEAR_SPREAD, f'{label} linear instructions')}")
            rate = rows[0][2]
            say(f"{label} speed, shipped size: {rate / 1e6:.0f} MB/s (aim >= {aim_rate / 1e6:.0f} "
                f"MB/s) {aim(rate >= aim_rate, f'{label} speed')}; {fmt(rows[0][3])} "
                f"instructions/byte")
    say("(scan 1x/10x/100x: the shipped sections repeated under varied key names, the version "
        "section moved to the end so that the scan reads every line)")

    # What the import's instructions go to: the program's own parsing and the stand-in's calls.
    count, size, profile = counts[("import", 1)]
    if count:
        costs = inclusive_costs(profile)
        layer = sum(costs.get(f, 0) for f in ("RegCreateKeyExA", "RegSetValueExA", "RegCloseKey"))
        say(f"import 1x instructions: {count:,} in all, {count / size:.2f}/byte; registry calls of "
            f"the stand-in (RegCreateKeyExA {costs.get('RegCreateKeyExA', 0):,}, RegSetValueExA "
            f"{costs.get('RegSetValueExA', 0):,}, RegCloseKey {costs.get('RegCloseKey', 0):,}) "
            f"{layer / size:.2f}/byte; the program's own parsing {(count - layer) / size:.2f}/byte")

    section("Escapes: a value line of 1 MiB of escaped backslashes against a plain one")
    escaped, plain = best.get("BM_import_escaped_line"), best.get("BM_import_plain_line")
    if escaped and plain:
        ratio = escaped["cpu"] / plain["cpu"]
        say(f"escaped line {escaped['cpu'] * 1e3:.3f} ms, plain line {plain['cpu'] * 1e3:.3f} ms "
            f"({escaped['bytes']:,.0f} bytes each)")
        say(f"escape time ratio: {ratio:.2f} (goal <= {ESCAPE_RATIO:g}) "
            f"{goal(ratio <= ESCAPE_RATIO, 'escape ratio')}")
    e_count, p_count = counts[("escaped_line", 1)][0], counts[("plain_line", 1)][0]
    if e_count and p_count:
        ratio = e_count / p_count
        say(f"escape instruction ratio: {ratio:.2f} ({e_count:,} / {p_count:,}) "
            f"(goal <= {ESCAPE_RATIO:g}) {goal(ratio <= ESCAPE_RATIO, 'escape instructions')}")


# ---------------------------------------------------------------- Wine

def bench_wine(args):
    section("Whole run under Wine: drvsetup.exe -ns -ne against reg import, clean prefixes")
    exe = os.path.join(args.windows_dist, "x86_64", "drvsetup.exe")
    process = subprocess.Popen(["bash", args.wine_script, exe, args.data, "10"],
                               stdout=subprocess.PIPE, text=True)
    for line in process.stdout:
        say(line.rstrip("\n"))
        if line.startswith("wine median ratio") and "aim missed" in line:
            missed.append("wine ratio (aim)")
    if process.wait() != 0:
        broken.append("wine")


# ---------------------------------------------------------------- memory

def peak_rss(args, command, env):
    """Peak resident memory of a run in bytes and its exit status, through the small launcher."""
    with tempfile.TemporaryDirectory() as tmp:
        report = os.path.join(tmp, "report")
        subprocess.run([args.peak_rss, report] + command, env=env, capture_output=True)
        with open(report) as f:
            code, kib = f.read().split()
    return int(kib) * 1024, int(code)


def bench_memory(args, work):
    section("Memory: peak resident memory of the native whole run")
    data_length = os.path.getsize(args.data)
    say("Peak resident memory (ru_maxrss) of the setup file run with -ns -ne on a store in a "
        "temporary directory, least of 3 runs; the empty script is the byte order mark alone.")
    runs = {}
    scripts = {
        "empty": b"\xff\xfe",
        "version only": "\ufeff[HKEY_LOCAL_MACHINE\\SOFTWARE\\kestrova\\DRIVER2]\r\n"
                        "\"DriverVersion\"=dword:00000038\r\n".encode("utf-16-le"),
    }
    setups = {"shipped": args.setup}
    for name, data in scripts.items():
        script = os.path.join(work, f"{name.replace(' ', '-')}.reg")
        open(script, "wb").write(data)
        setup = os.path.join(work, f"drvsetup-{name.replace(' ', '-')}")
        subprocess.run([args.drvpack, "pack", "--force", args.image, script, setup], check=True,
                       capture_output=True)
        setups[name] = setup
    def measure(name, store_kind):
        peaks = []
        for attempt in range(3):
            store = ":null:" if store_kind == "null" else \
                os.path.join(work, f"store-{name.replace(' ', '-')}-{attempt}.db")
            env = dict(os.environ, DRVSETUP_REGISTRY=store)
            peak, code = peak_rss(args, [setups[name], "-ns", "-ne"], env)
            peaks.append(peak)
        say(f"peak RSS, {name} script, {store_kind} store: {min(peaks) / 1024:,.0f} KiB "
            f"(outcome {code}; least of {', '.join(f'{p // 1024}' for p in peaks)} KiB)")
        return min(peaks)

    for name in ("shipped", "empty", "version only"):
        runs[name] = measure(name, "file")
    excess = runs["shipped"] - runs["empty"]
    factor = excess / data_length
    say(f"memory above the empty-script run: {excess / 1024:,.0f} KiB = {factor:.2f} x the setup "
        f"data's {data_length:,} bytes (goal <= {MEMORY_FACTOR:g} x) "
        f"{goal(factor <= MEMORY_FACTOR, 'memory')}")
    store_excess = runs["shipped"] - runs["version only"]
    say(f"  above a run that opens and writes the store too (version-only script): "
        f"{store_excess / 1024:,.0f} KiB = {store_excess / data_length:.2f} x the data")
    # The same pair on the keep-nothing registry: what the program itself holds, without the
    # store's page cache.
    null_excess = measure("shipped", "null") - measure("empty", "null")
    say(f"  on the keep-nothing registry (:null:): {null_excess / 1024:,.0f} KiB = "
        f"{null_excess / data_length:.2f} x the data")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    for option in ("bench-script", "probe", "setup", "image", "drvpack", "peak-rss", "data", "windows-dist",
                   "wine-script", "work"):
        parser.add_argument("--" + option, required=True)
    parser.add_argument("--skip", action="append", default=[],
                        help="size, parsing, wine or memory: leave that part out")
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)
    work = tempfile.mkdtemp(prefix="run-", dir=args.work)
    try:
        if "size" not in args.skip:
            bench_size(args, work)
        if "parsing" not in args.skip:
            bench_parsing(args, work)
        if "memory" not in args.skip:
            bench_memory(args, work)
        if "wine" not in args.skip:
            bench_wine(args)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    section("Summary")
    say("goals or aims missed: " + (", ".join(missed) if missed else "none"))
    if broken:
        say("measurements that failed: " + ", ".join(broken))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
