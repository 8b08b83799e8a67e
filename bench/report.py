"""Turns the measurements of bench/run.sh into the printed report.

  report.py --downloads TSV --startup TSV --answers TXT --checks TSV --exe EXE --map MAP --cores N --cpu TEXT
            --i386 "native" or "emulated: <emulator's version line>" [--remeasured TXT]
  report.py --check-downloads TSV      only the checks of the downloads given: exit code 0 when they
                                       pass, 3 when our transfer was shorter than Linux curl's, 1 for
                                       any other fault (the fault printed)
  report.py --self-check               the report of made-up rows whose differences are below zero

downloads TSV: tool, run, file size, wall ms, max RSS KiB (/usr/bin/time), and key=value figures:
for our program the first line that download_bench.exe printed, for curl its own time_total.
startup TSV: kind (program / known / empty), run, ms.
answers TXT: the lines of download_bench.exe --parse-answers.
checks TSV: file size and the line of download_bench.exe --check (two checks in one process).

Every derived figure, a difference or a ratio, is taken within one run first (one process, or
one round of downloads of every tool and size), and the report gives the median of those; it
never subtracts or divides medians of different processes. A time that a program or /usr/bin/time
reported below zero is a fault of the measurement: the report stops with an error that names it.
A difference below zero, of two such times or of memory from one size to the other, is noise of
this shared machine: it is printed as measured, marked "below zero: within the noise of this run",
and no verdict rests on it. bench/run.sh
measures a run whose Linux curl was slower than our transfer again, at most twice, and then keeps
it; remeasured TXT lists each such run, "again" or "kept" and the fault on a line. The tables are
Markdown, the shape docs/performance.md holds them in.

Where the program's 32-bit code runs emulated (--i386 emulated: ...), a time that is compared with
a native tool (Linux curl) or against an absolute limit (the slowest parameter answer, start-up, the
check's cost) measures the emulator as much as the program: it is printed, marked "emulated", and
given no verdict. Ours against curl.exe, a 32-bit program under the same emulation, keeps its target.
"""

import argparse
import collections
import os
import re
import statistics
import sys

MiB = 1024 * 1024
TOOLS = ("ours", "curl.exe", "linux")
TOOL_NAMES = {"ours": "ours", "curl.exe": "curl.exe (Wine)", "linux": "Linux curl"}

# Targets: our transfer alone at least as fast as curl.exe's and within 2x of Linux curl's for the
# largest file, < 2 MiB memory growth from the smallest to the largest file, at most 100 progress
# messages and the bar at 100 % at the end, executable at most 2 MB, any 1 MiB parameter answer
# handled in under a second.
MAX_RATIO_CURL_EXE = 1.0
MAX_RATIO_LINUX = 2.0
MAX_MEMORY_GROWTH = 2 * MiB
MAX_PROGRESS_MESSAGES = 100
MAX_EXE_SIZE = 2_000_000
MAX_ANSWER_MS = 1000


# Whether the 32-bit code ran emulated in the measured run (main sets it).
EMULATED = False


def emulated_mark(text):
    return text + " (emulated)" if EMULATED else text


def verdict_unless_emulated(ok):
    """The verdict of a target that emulation decides; none where the code ran emulated."""
    return "emulated, no verdict" if EMULATED else verdict(ok)


class MeasurementFault(Exception):
    pass


class ShorterThanLinuxCurl(MeasurementFault):
    pass


def median(values):
    return statistics.median(values)


def values_of(figures):
    return {key: float(value) for key, value in re.findall(r"(\w+)=(-?[0-9.]+)", figures.split(" error=")[0])}


def not_negative(name, value):
    if value < 0:
        raise MeasurementFault("%s is %.1f ms, below zero" % (name, value))
    return value


BELOW_ZERO = "below zero: within the noise of this run"


def difference(text, value):
    """A difference as printed: marked where it came out below zero, and never given a verdict."""
    return "%s (%s)" % (text, BELOW_ZERO) if value < 0 else text


def read_downloads(path):
    """(tool, size) -> {run: row}; every measured time checked, the differences taken within the run."""
    rows = collections.defaultdict(dict)
    with open(path) as f:
        for line in f:
            tool, run, size, wall, rss, figures = line.rstrip("\n").split("\t")
            run, size = int(run), int(size)
            where = "%s, %d MiB, run %d:" % (TOOL_NAMES[tool], size // MiB, run)
            values = values_of(figures)
            row = {"wall": not_negative(where + " whole process", float(wall)), "rss": int(rss) * 1024}
            if tool != "ours":
                row["transfer"] = not_negative(where + " transfer (time_total)", values["transfer_s"] * 1000)
            else:
                for key in ("entered", "started", "prepare", "transfer", "check", "whole"):
                    row[key] = not_negative("%s %s_ms" % (where, key), values[key + "_ms"])
                row["setup"] = row["started"] - row["entered"]
                row["rest"] = row["whole"] - row["prepare"] - row["transfer"] - row["check"]
                row["outside"] = row["wall"] - row["started"] - row["whole"]
                row.update({"messages": int(values["progress_messages"]), "last_percent": int(values["last_percent"]),
                            "peak": int(values["peak_working_set"])})
            rows[(tool, size)][run] = row
    return rows


def per_run(rows, size):
    """{run: {tool: row}} for the runs in which every tool downloaded the size."""
    runs = sorted(rows[("ours", size)])
    for tool in TOOLS:
        if sorted(rows[(tool, size)]) != runs:
            raise MeasurementFault("%d MiB: the runs of %s and ours differ" % (size // MiB, TOOL_NAMES[tool]))
    return {run: {tool: rows[(tool, size)][run] for tool in TOOLS} for run in runs}


def check_transfers(rows):
    """Our transfer is never shorter than Linux curl's in the same run."""
    for (tool, size), by_run in sorted(rows.items()):
        for run, ours in sorted(by_run.items()) if tool == "ours" else ():
            linux = rows.get(("linux", size), {}).get(run)
            if linux and ours["transfer"] < linux["transfer"]:
                raise ShorterThanLinuxCurl(
                    "ours, %d MiB, run %d: transfer %.1f ms is shorter than Linux curl's %.1f ms in the same run"
                    % (size // MiB, run, ours["transfer"], linux["transfer"]))


def md_table(out, header, rows):
    out.append("| " + " | ".join(header) + " |")
    out.append("|" + "---|" * len(header))
    for row in rows:
        out.append("| " + " | ".join(row) + " |")


def ms(value):
    return "%.0f ms" % value


def compute(rows):
    """The medians the report prints, each over figures taken within one run."""
    sizes = sorted({size for _, size in rows})
    fig = {}
    for size in sizes:
        runs = per_run(rows, size)
        for tool in TOOLS:
            for key in ("transfer", "wall", "rss"):
                fig[(tool, size, key)] = median([r[tool][key] for r in runs.values()])
        for key in ("entered", "setup", "prepare", "transfer", "check", "rest", "whole", "outside", "peak"):
            fig[("ours", size, key)] = median([r["ours"][key] for r in runs.values()])
        for other in ("curl.exe", "linux"):
            for key in ("transfer", "wall"):
                fig[("ratio", size, key, other)] = median([r["ours"][key] / r[other][key] for r in runs.values()])
        fig[("ours", size, "check_per_mib")] = median([r["ours"]["check"] / (size / MiB) for r in runs.values()])
        fig[("ours", size, "messages")] = max(r["ours"]["messages"] for r in runs.values())
        fig[("ours", size, "last_percent")] = min(r["ours"]["last_percent"] for r in runs.values())
        fig["runs"] = min(fig.get("runs", len(runs)), len(runs))
    small, big = sizes[0], sizes[-1]
    ours_small, ours_big = rows[("ours", small)], rows[("ours", big)]
    both = sorted(set(ours_small) & set(ours_big))
    for key in ("peak", "rss"):
        fig[("growth", key)] = median([ours_big[run][key] - ours_small[run][key] for run in both])
    return sizes, fig


def report_downloads(sizes, fig, remeasured, out):
    out.append("Downloads from 127.0.0.1: median of %d runs; a run downloads each size once with each tool, in"
               % fig["runs"])
    out.append("alternation, and a ratio is taken within its run before the median.")
    for how, fault in remeasured:
        out.append(("Measured again, as Linux curl was slower than our transfer: " if how == "again" else
                    "Kept as measured, Linux curl slower than our transfer a third time: ") + fault)
    out.append("")
    md_table(out, ["transfer alone", "ours", "curl.exe (Wine)", "Linux curl", "ours / curl.exe",
                   emulated_mark("ours / Linux curl")],
             [["%d MiB" % (size // MiB)] + [ms(fig[(tool, size, "transfer")]) for tool in TOOLS]
              + ["%.2f" % fig[("ratio", size, "transfer", other)] for other in ("curl.exe", "linux")]
              for size in sizes])
    out.append("")
    md_table(out, ["whole process", "ours", "ours' signature check, within it", "curl.exe (Wine)", "Linux curl",
                   "ours / curl.exe", emulated_mark("ours / Linux curl")],
             [["%d MiB" % (size // MiB), ms(fig[("ours", size, "wall")]), ms(fig[("ours", size, "check")]),
               ms(fig[("curl.exe", size, "wall")]), ms(fig[("linux", size, "wall")])]
              + ["%.2f" % fig[("ratio", size, "wall", other)] for other in ("curl.exe", "linux")]
              for size in sizes])
    out.append("")
    parts = [
        ("Wine starts the process, until main", "entered"),
        ("libcurl and window set-up", "setup"),
        ("preparation: parameter step, proxy discovery, HEAD, free space (`Start`)", "prepare"),
        ("transfer: the worker's GET until the file is written and closed", "transfer"),
        ("signature check", "check"),
        ("the rest until `WM_DOWNLOAD_FINISHED` (worker start, messages)", "rest"),
        ("`Start` until `WM_DOWNLOAD_FINISHED`", "whole"),
        ("Wine's launch before the process and its exit after", "outside"),
        ("whole process", "wall"),
    ]
    differences = ("setup", "rest", "outside")
    md_table(out, ["ours, where the time goes (median of each part)"] + ["%d MiB" % (size // MiB) for size in sizes],
             [[label] + [difference(ms(fig[("ours", size, key)]), fig[("ours", size, key)]) if key in differences
                         else ms(fig[("ours", size, key)]) for size in sizes] for label, key in parts])
    out.append("")
    sizes_text = " / ".join("%d" % (size // MiB) for size in sizes)
    md_table(out, ["memory and progress", "ours", "curl.exe (Wine)", "Linux curl"], [
        ["peak memory (max RSS), %s MiB" % sizes_text]
        + [" / ".join("%.1f" % (fig[(tool, size, "rss")] / MiB) for size in sizes) + " MiB" for tool in TOOLS],
        ["ours' own `PeakWorkingSetSize`, %s MiB" % sizes_text,
         " / ".join("%.1f" % (fig[("ours", size, "peak")] / MiB) for size in sizes) + " MiB", "", ""],
        ["`WM_DOWNLOAD_PROGRESS` messages, %s MiB (most in a run); where the bar ends (lowest)" % sizes_text,
         " / ".join("%d" % fig[("ours", size, "messages")] for size in sizes)
         + "; %d %%" % min(fig[("ours", size, "last_percent")] for size in sizes), "", ""],
    ])
    out.append("")
    out.append("Max RSS is /usr/bin/time's; for the Wine programs it includes Wine's own libraries.")


def verdict(ok):
    return "met" if ok else "MISSED"


def report_targets(sizes, fig, out):
    small, big = sizes[0], sizes[-1]
    r_exe = fig[("ratio", big, "transfer", "curl.exe")]
    r_linux = fig[("ratio", big, "transfer", "linux")]
    growth_peak, growth_rss = fig[("growth", "peak")], fig[("growth", "rss")]
    messages = max(fig[("ours", size, "messages")] for size in sizes)
    last_percent = min(fig[("ours", size, "last_percent")] for size in sizes)
    results = [
        ("transfer alone at least as fast as curl.exe, %d MiB" % (big // MiB),
         "ours / curl.exe %.2f (<= %.1f)" % (r_exe, MAX_RATIO_CURL_EXE), r_exe <= MAX_RATIO_CURL_EXE),
        ("transfer alone within 2x of Linux curl, %d MiB" % (big // MiB),
         emulated_mark("ours / Linux curl %.2f (<= %.1f)" % (r_linux, MAX_RATIO_LINUX)),
         True if EMULATED else r_linux <= MAX_RATIO_LINUX),
        ("memory flat from %d to %d MiB (growth within a run)" % (small // MiB, big // MiB),
         difference("%+.2f MiB peak working set, %+.2f MiB max RSS (< %d MiB)"
                    % (growth_peak / MiB, growth_rss / MiB, MAX_MEMORY_GROWTH // MiB), min(growth_peak, growth_rss)),
         max(growth_peak, growth_rss) < MAX_MEMORY_GROWTH),
        ("progress messages per download; where the bar ends",
         "at most %d (<= %d); %d %% (100)" % (messages, MAX_PROGRESS_MESSAGES, last_percent),
         messages <= MAX_PROGRESS_MESSAGES and last_percent == 100),
    ]
    out.append("")
    # Growth below zero in both figures is noise: no verdict rests on it.
    verdicts = [verdict(results[0][2]), verdict_unless_emulated(results[1][2]),
                "below zero, no verdict" if max(growth_peak, growth_rss) < 0 else verdict(results[2][2]),
                verdict(results[3][2])]
    md_table(out, ["target", "this run", ""], [[text, figure, mark] for (text, figure, _), mark in zip(results, verdicts)]
             + [["the signature check's cost, %d MiB" % (size // MiB),
                 emulated_mark("check: %.1f ms per MiB" % fig[("ours", size, "check_per_mib")]), "no target"]
                for size in sizes])
    return all(ok for _, _, ok in results)


def report_checks(path, out):
    """The check in a process of its own, twice: how much of its cost is the set-up of the
    verification in a process (the first check less the later one, within each process)."""
    runs = collections.defaultdict(list)
    with open(path) as f:
        for line in f:
            size, figures = line.rstrip("\n").split("\t", 1)
            values = values_of(figures)
            where = "download_bench.exe --check, %d MiB:" % (int(size) // MiB)
            first = not_negative(where + " first check", values["first_ms"])
            again = not_negative(where + " later check", values["again_ms"])
            runs[int(size)].append((first, again, first - again))
    sizes = sorted(runs)
    out.append("")
    md_table(out, ["signature check in a process of its own (median of %d processes)" % min(len(r) for r in runs.values())]
             + ["%d MiB" % (size // MiB) for size in sizes], [
        [label] + [shown(median([r[i] for r in runs[size]])) for size in sizes]
        for i, label, shown in ((0, "the first check of the process", ms), (1, "a later check of the same file", ms),
                                (2, "the set-up of the verification (first less later, within each process)",
                                 lambda value: difference(ms(value), value)))])


def report_answers(path, out):
    rows = []
    with open(path) as f:
        for line in f:
            m = re.match(r"answer=(.*) bytes=(\d+) members=(\d+) accepted=(\d) ms=([0-9.]+)$", line.strip())
            if m:
                rows.append((m.group(1), int(m.group(2)), int(m.group(4)), float(m.group(5))))
    worst = max((ms_ for _, _, _, ms_ in rows), default=float("inf"))
    ok = bool(rows) and (EMULATED or worst < MAX_ANSWER_MS)
    out.append("")
    md_table(out, ["answer of 1 MiB: parsed, links taken out, serialised (median of 3)", "bytes", ""],
             [[name, "%d" % size, "%.0f ms, %s" % (ms_, "accepted" if accepted else "refused")]
              for name, size, accepted, ms_ in rows]
             + [["slowest answer (< %d ms)" % MAX_ANSWER_MS, "",
                 "%.0f ms, %s" % (worst, verdict_unless_emulated(worst < MAX_ANSWER_MS))]])
    return ok


def report_startup(path, out):
    runs = collections.defaultdict(dict)
    with open(path) as f:
        for line in f:
            kind, run, ms_ = line.split()
            runs[int(run)][kind] = not_negative("start-up, %s, run %s" % (kind, run), float(ms_))
    own = [r["program"] - r["empty"] for r in runs.values()]
    out.append("")
    md_table(out, ["start-up, until the window is visible (median of %d, polled every 10 ms)" % len(runs), ""], [
        ["the bootstrapper, first run (parameter and content-information requests)",
         emulated_mark(ms(median([r["program"] for r in runs.values()])))],
        ["the same, a later run (identifier stored, no parameter request)",
         emulated_mark(ms(median([r["known"] for r in runs.values()])))],
        ["an empty Windows program under Wine showing a window", emulated_mark(ms(median([r["empty"] for r in runs.values()])))],
        ["the first run less the empty program, within each run",
         difference(emulated_mark("%+.0f ms" % median(own)), median(own))],
    ])


# What each archive member of libstdc++ is about, for the streams-and-locale line.
STREAMS_AND_LOCALE = re.compile(
    r"locale|facets|ios|stream|codecvt|ctype|basic_file|messages|monetary|numeric|time_members|collate|"
    r"globals_io|compatibility")
FILESYSTEM = re.compile(r"(^|-)fs_|filesystem|ops\.o|dir\.o|path\.o")
C_RUNTIME = ("libmingw32.a", "libmingwex.a", "libmsvcrt.a", "libmoldname.a", "libpthread.a",
             "libwinpthread.a", "crt2u.o", "crt2.o", "crtbegin.o", "crtend.o")
RESOURCE_SECTION = ".rsrc"

CATEGORIES = [
    "our code",
    "std:: templates instantiated in our code",
    "nlohmann-json (templates instantiated in our code)",
    "libcurl",
    "zlib",
    "C++ runtime: streams and locale",
    "C++ runtime: filesystem",
    "C++ runtime: the rest (strings, exceptions, threads, unwinder)",
    "mingw-w64 C runtime and winpthreads",
    "import tables (system DLLs)",
    "resources (icon, manifest, version)",
    "base relocations (address-space randomisation)",
]


def classify(output_section, section, source):
    if output_section == ".reloc":
        return "base relocations (address-space randomisation)"
    archive, member = source, ""
    m = re.match(r"(.*?)\(([^()]*)\)$", source)
    if m:
        archive, member = m.group(1), m.group(2)
    base = os.path.basename(archive)
    if section.startswith(RESOURCE_SECTION) or base.endswith(".res"):
        return "resources (icon, manifest, version)"
    if base == "libcurl.a":
        return "libcurl"
    if base == "libz.a":
        return "zlib"
    if base == "libstdc++.a":
        if STREAMS_AND_LOCALE.search(member):
            return "C++ runtime: streams and locale"
        if FILESYSTEM.search(member):
            return "C++ runtime: filesystem"
        return "C++ runtime: the rest (strings, exceptions, threads, unwinder)"
    if base in ("libgcc.a", "libgcc_eh.a", "libsupc++.a"):
        return "C++ runtime: the rest (strings, exceptions, threads, unwinder)"
    if base in C_RUNTIME:
        return "mingw-w64 C runtime and winpthreads"
    ours = base.startswith("librora_") or base.endswith(".obj") or ".ltrans" in base
    if ours:
        if "nlohmann" in section:
            return "nlohmann-json (templates instantiated in our code)"
        if re.search(r"\$_ZN?K?St|\$_ZSt|\$_ZNSt|\$_ZNKSt|\$_ZTVSt|\$_ZTISt|\$_ZTSSt", section):
            return "std:: templates instantiated in our code"
        return "our code"
    if base.endswith(".a"):
        return "import tables (system DLLs)"
    return "our code"


def parse_map(path):
    """Sums the sizes of the input sections that reach the image, by category."""
    totals = collections.Counter()
    in_map = False
    output_section = None
    pending = None
    with open(path, errors="replace") as f:
        for line in f:
            line = line.rstrip("\n")
            if not in_map:
                in_map = line.startswith("Linker script and memory map")
                continue
            m = re.match(r"^(\.\S+|/DISCARD/)(\s+0x[0-9a-f]+\s+0x[0-9a-f]+)?", line)
            if m:
                output_section = m.group(1)
                pending = None
                continue
            if output_section in (None, "/DISCARD/", ".bss") or output_section.startswith(".debug"):
                continue
            m = re.match(r"^ (\S+)\s+0x[0-9a-f]+\s+0x([0-9a-f]+)\s+(\S.*)$", line)
            if m and not m.group(1).startswith("*"):
                if not m.group(1).startswith("COMMON"):
                    totals[classify(output_section, m.group(1), m.group(3))] += int(m.group(2), 16)
                pending = None
                continue
            m = re.match(r"^ (\.\S+)$", line)
            if m:
                pending = m.group(1)
                continue
            m = re.match(r"^\s+0x[0-9a-f]+\s+0x([0-9a-f]+)\s+(\S.*)$", line)
            if m and pending:
                totals[classify(output_section, pending, m.group(2))] += int(m.group(1), 16)
            pending = None
    return totals


def report_size(exe, map_path, out):
    size = os.path.getsize(exe)
    totals = parse_map(map_path)
    out.append("")
    out.append("Executable: %s, %d bytes (%.2f MB) stripped; target at most 2 MB: %s"
               % (os.path.basename(exe), size, size / 1e6, verdict(size <= MAX_EXE_SIZE)))
    out.append("  made of (section contributions from the link map, code, data and unwind tables):")
    accounted = 0
    for category in CATEGORIES:
        bytes_ = totals.get(category, 0)
        accounted += bytes_
        out.append("  %-62s %8.1f KiB %5.1f %%" % (category, bytes_ / 1024, 100.0 * bytes_ / size))
    rest = size - accounted
    out.append("  %-62s %8.1f KiB %5.1f %%" % ("PE headers and section alignment", rest / 1024, 100.0 * rest / size))
    return size, totals, size <= MAX_EXE_SIZE


def write_report(args):
    """Prints the report; the exit code of the command."""
    global EMULATED
    EMULATED = args.i386 != "native"
    remeasured = []
    if args.remeasured and os.path.exists(args.remeasured):
        with open(args.remeasured) as f:
            remeasured = [line.rstrip("\n").split("\t", 1) for line in f if line.strip()]

    out = ["Machine: %s cores (nproc), %s" % (args.cores, args.cpu),
           "32-bit code (the program, curl.exe and Wine's 32-bit side): %s" % (
               "runs natively" if not EMULATED else "runs " + args.i386 + "; times compared with Linux curl or with"
               " an absolute limit are marked (emulated) and get no verdict"), ""]
    try:
        sizes, fig = compute(read_downloads(args.downloads))
        report_downloads(sizes, fig, remeasured, out)
        targets_met = report_targets(sizes, fig, out)
        report_checks(args.checks, out)
        answers_ok = report_answers(args.answers, out)
        report_startup(args.startup, out)
    except MeasurementFault as fault:
        print("Measurement fault, no report: %s" % fault, file=sys.stderr)
        return 1
    _, _, size_ok = report_size(args.exe, args.map, out)
    print("\n".join(out))
    if not (targets_met and answers_ok and size_ok):
        print("\nSome targets were missed (see above).")
    return 0


def self_check():
    """The report of one made-up run whose differences come out below zero: each is printed as
    measured and marked, every other figure and verdict is still there, and a time reported below
    zero still stops the report."""
    import contextlib
    import io
    import tempfile

    def ours(size):
        return ("entered_ms=50 started_ms=45 prepare_ms=20 transfer_ms=30 check_ms=100 whole_ms=150 "
                "progress_messages=3 last_percent=100 peak_working_set=%d error=none" % (30 * MiB - size // 512))

    with tempfile.TemporaryDirectory() as work:
        def made_up(name, *lines):
            with open(os.path.join(work, name), "w") as f:
                f.write("".join(line + "\n" for line in lines))
            return os.path.join(work, name)

        args = argparse.Namespace(
            downloads=made_up("downloads.tsv", *["%s\t1\t%d\t%s\t%d\t%s" % row for size in (16 * MiB, 256 * MiB) for row in (
                ("ours", size, 300, 30720 - size // 524288, ours(size)), ("curl.exe", size, 200, 20000, "transfer_s=0.060"),
                ("linux", size, 40, 10000, "transfer_s=0.020"))]),
            startup=made_up("startup.tsv", "program 1 100", "known 1 90", "empty 1 110"),
            answers=made_up("answers.txt", "answer=shape bytes=1048576 members=1 accepted=1 ms=5.0"),
            checks=made_up("checks.tsv", "%d\tfirst_ms=40.0 again_ms=90.0 trusted=1" % (16 * MiB)),
            exe=os.path.abspath(__file__), map=made_up("empty.map"), cores="2", cpu="made up", i386="native",
            remeasured=None)
        printed = io.StringIO()
        with contextlib.redirect_stdout(printed):
            code = write_report(args)
        report = printed.getvalue()
        expected = [
            "| libcurl and window set-up | -5 ms (%s) | -5 ms (%s) |" % (BELOW_ZERO, BELOW_ZERO),
            "| the set-up of the verification (first less later, within each process) | -50 ms (%s) |" % BELOW_ZERO,
            "| memory flat from 16 to 256 MiB (growth within a run) | -0.47 MiB peak working set, -0.47 MiB max RSS"
            " (< 2 MiB) (%s) | below zero, no verdict |" % BELOW_ZERO,
            "| transfer alone at least as fast as curl.exe, 256 MiB | ours / curl.exe 0.50 (<= 1.0) | met |",
        ]
        missing = [line for line in expected if line not in report.splitlines()]
        if code != 0 or missing:
            print(report)
            print("self-check: exit code %d; lines missing from the report above:\n%s" % (code, "\n".join(missing)))
            return 1
        made_up("checks.tsv", "%d\tfirst_ms=-1.0 again_ms=90.0 trusted=1" % (16 * MiB))
        with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()) as stderr:
            code = write_report(args)
        if code != 1 or "first check is -1.0 ms, below zero" not in stderr.getvalue():
            print("self-check: a check reported at -1.0 ms gave exit code %d and %r" % (code, stderr.getvalue()))
            return 1
    print("self-check: differences below zero are marked, measured times below zero stop the report")
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--check-downloads")
    parser.add_argument("--self-check", action="store_true")
    for name in ("downloads", "startup", "answers", "exe", "checks", "map", "cores", "cpu", "i386", "remeasured"):
        parser.add_argument("--" + name)
    args = parser.parse_args()
    if args.self_check:
        return self_check()
    if args.check_downloads:
        try:
            check_transfers(read_downloads(args.check_downloads))
        except ShorterThanLinuxCurl as fault:
            print(fault)
            return 3
        except MeasurementFault as fault:
            print(fault)
            return 1
        return 0
    missing = [name for name in ("downloads", "startup", "answers", "exe", "checks", "map", "cores", "cpu", "i386")
               if getattr(args, name) is None]
    if missing:
        parser.error("missing --" + ", --".join(missing))
    if args.i386 != "native" and not args.i386.startswith("emulated"):
        parser.error("--i386 is 'native' or 'emulated: ...'")
    return write_report(args)


if __name__ == "__main__":
    sys.exit(main())
