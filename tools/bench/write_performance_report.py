#!/usr/bin/env python3
"""Writes docs/performance.md and docs/performance_scale.png from one run of
operation_receipt_benchmarks (its --benchmark_out JSON and, optionally, its console output).

The page holds the machine, a table of every benchmark of the run, the scale plot, and the
targets with the measured numbers and whether each is met. The plot is drawn with matplotlib
when it can be imported, else with the small PNG writer below (no third-party module needed).

Usage: write_performance_report.py --json FILE [--console FILE] --markdown FILE --plot FILE
"""

import argparse
import json
import math
import os
import platform
import re
import struct
import subprocess
import zlib

# ---- Reading the run ---------------------------------------------------------------------------

# Parts of a benchmark's name that only repeat its settings.
NAME_NOISE = re.compile(r"/(min_time:[0-9.]+|real_time|manual_time|iterations:\d+|repeats:\d+)")


def display_name(name):
    return NAME_NOISE.sub("", name)


def load_run(path):
    """The context and one row per benchmark, in run order. A benchmark run with repetitions
    is represented by its median aggregate (its counters are the medians too)."""
    with open(path, encoding="utf-8") as handle:
        run = json.load(handle)
    entries = run.get("benchmarks", [])
    medians = {e["run_name"]: e for e in entries
               if e.get("run_type") == "aggregate" and e.get("aggregate_name") == "median"}
    rows, seen = [], set()
    for entry in entries:
        run_name = entry.get("run_name", entry["name"])
        if run_name in seen or entry.get("run_type", "iteration") != "iteration":
            continue
        seen.add(run_name)
        row = dict(medians.get(run_name, entry))
        row["display"] = display_name(run_name)
        if run_name in medians:
            row["note"] = f"median of {row.get('repetitions', '?')} repetitions"
        rows.append(row)
    return run.get("context", {}), rows


def find(rows, display):
    for row in rows:
        if row["display"] == display and not row.get("error_occurred"):
            return row
    return None


def counter(rows, display, name):
    row = find(rows, display)
    if row is None or name not in row:
        return None
    return float(row[name])


# ---- Formatting --------------------------------------------------------------------------------


def fmt(value, digits=3):
    """Three significant digits, thousands separated; '' for a missing value."""
    if value is None:
        return ""
    value = float(value)
    if value == 0:
        return "0"
    magnitude = math.floor(math.log10(abs(value)))
    decimals = max(0, digits - 1 - magnitude)
    rounded = round(value, decimals)
    return f"{rounded:,.{decimals}f}"


def machine_facts(context):
    facts = {}
    try:
        lscpu = subprocess.run(["lscpu"], capture_output=True, text=True, check=False).stdout
    except OSError:
        lscpu = ""
    for line in lscpu.splitlines():
        key, _, value = line.partition(":")
        facts[key.strip()] = value.strip()
    model = facts.get("Model name", platform.processor() or "unknown")
    cpus = facts.get("CPU(s)", str(context.get("num_cpus", "?")))
    cores = facts.get("Core(s) per socket", "?")
    threads = facts.get("Thread(s) per core", "?")
    sockets = facts.get("Socket(s)", "?")
    uname = platform.uname()
    return {
        "cpu": f"{model}: {cpus} logical CPUs ({sockets} socket, {cores} cores per socket, "
        f"{threads} thread per core), {context.get('mhz_per_cpu', '?')} MHz as reported",
        "kernel": f"{uname.system} {uname.release} {uname.machine}",
        "compiler": context.get("compiler", "unknown"),
        "build": context.get("build_type", "unknown"),
    }


# ---- Targets -----------------------------------------------------------------------------------


def evaluate_targets(rows):
    """Each target: (what, measured text, met: True/False/None when not measured)."""
    targets = []

    def ratio_to_asio(display):
        ratio = counter(rows, display, "x_asio")
        if ratio is None:
            return None, "not measured"
        cpu = counter(rows, display, "cpu_ns_per_op")
        cpu_asio = counter(rows, "Peer_AsioPost/N:64", "cpu_ns_per_op")
        cpu_text = "" if not cpu or not cpu_asio else \
            f"; in CPU time {fmt(cpu / cpu_asio)}x ({fmt(cpu)} against {fmt(cpu_asio)})"
        return ratio, (f"{fmt(ratio)}x ({fmt(counter(rows, display, 'ns_per_op'))} ns/op against "
                       f"{fmt(counter(rows, 'Peer_AsioPost/N:64', 'ns_per_op'))} ns/op{cpu_text})")

    ratio, text = ratio_to_asio("A_Lifecycle/N:64")
    targets.append((
        "A_Lifecycle N=64 at most 1.0x the asio peer at N=64 (stretch 0.8x)", text,
        None if ratio is None else ratio <= 1.0,
    ))

    allocs = {n: counter(rows, f"A_Lifecycle/N:{n}", "allocs_per_op") for n in (1, 64, 4096)}
    measured = {n: a for n, a in allocs.items() if a is not None}
    targets.append((
        "A_Lifecycle: no heap allocation per operation in the steady state, every N",
        "not measured" if not measured else
        ", ".join(f"{fmt(a)} at N={n}" for n, a in measured.items()),
        None if not measured else all(a < 0.005 for a in measured.values()),
    ))

    ratio, text = ratio_to_asio("B_LifecycleValue32/N:64")
    value_allocs = counter(rows, "B_LifecycleValue32/N:64", "allocs_per_op")
    targets.append((
        "B_LifecycleValue32 N=64 at most 2.0x the asio peer and at most 1 allocation per "
        "operation (stretch 1.3x)",
        text if value_allocs is None else f"{text}; {fmt(value_allocs)} allocs/op",
        None if ratio is None or value_allocs is None else ratio <= 2.0 and value_allocs <= 1.0,
    ))

    for levels in (1, 15):
        display = f"E_TraceLines/levels:{levels}"
        per_line = counter(rows, display, "ns_per_line")
        lines = counter(rows, display, "lines_per_op")
        line_allocs = counter(rows, display, "allocs_per_op")
        allocs_per_line = None if line_allocs is None or not lines else line_allocs / lines
        targets.append((
            f"trace line with its level on ({display}, discarding sink) at most 120 ns and no "
            "allocation (stretch 60 ns)",
            "not measured" if per_line is None else
            f"{fmt(per_line)} ns/line, {fmt(allocs_per_line)} allocs/line",
            None if per_line is None or allocs_per_line is None else
            per_line <= 120 and allocs_per_line < 0.005,
        ))

    small = counter(rows, "Scale_Lifecycle/live:1000/N:64", "ns_per_op")
    large = counter(rows, "Scale_Lifecycle/live:1000000/N:64", "ns_per_op")
    targets.append((
        "Scale: lifecycle at N=64 with 1M live at most 1.2x that with 1k live (stretch 1.05x)",
        "not measured" if small is None or large is None else
        f"{fmt(large / small)}x ({fmt(large)} ns/op with 1M live, {fmt(small)} with 1k)",
        None if small is None or large is None else large <= 1.2 * small,
    ))

    one = counter(rows, "F_Threads/threads:1/N:64", "ns_per_op")
    two = counter(rows, "F_Threads/threads:2/N:64", "ns_per_op")
    targets.append((
        "F_Threads: two threads' aggregate ns/op at most 1.3x one thread's (stretch 1.0x)",
        "not measured" if one is None or two is None else
        f"{fmt(two / one)}x ({fmt(two)} ns/op with two threads, {fmt(one)} with one)",
        None if one is None or two is None else two <= 1.3 * one,
    ))

    live_bytes = counter(rows, "Memory_LiveOperations/value:0/live:1000000", "bytes_per_op")
    targets.append((
        "heap per live operation without a value (1M live) at most 128 bytes (stretch 96)",
        "not measured" if live_bytes is None else f"{fmt(live_bytes)} bytes",
        None if live_bytes is None else live_bytes <= 128,
    ))
    return targets


# ---- The plot ----------------------------------------------------------------------------------

LIVE_COUNTS = (1000, 100000, 1000000)
PEERS = (
    ("Peer_AsioPost/N:64", "asio io_context, N=64"),
    ("Peer_DequeFunction/N:64", "deque<function>, N=64"),
    ("Peer_FunctionPointerLoop/N:64", "function-pointer loop, N=64"),
    ("A_Lifecycle/N:64", "component, no other live, N=64"),
)


def plot_series(rows):
    points = []
    for live in LIVE_COUNTS:
        value = counter(rows, f"Scale_Lifecycle/live:{live}/N:64", "ns_per_op")
        if value is not None and value > 0:
            points.append((live, value))
    references = []
    for display, label in PEERS:
        value = counter(rows, display, "ns_per_op")
        if value is not None and value > 0:
            references.append((label, value))
    return points, references


def plot_with_matplotlib(points, references, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, axes = plt.subplots(figsize=(9, 5.4), dpi=100)
    if points:
        axes.plot([p[0] for p in points], [p[1] for p in points], marker="o", linewidth=2.5,
                  color="#c0392b", label="component lifecycle, N=64, with L other live")
        for x, y in points:
            axes.annotate(fmt(y), (x, y), textcoords="offset points", xytext=(6, 6), fontsize=8)
    styles = ["#1f77b4", "#2ca02c", "#7f7f7f", "#e67e22"]
    for (label, value), color in zip(references, styles):
        axes.axhline(value, linestyle="--", linewidth=1.2, color=color,
                     label=f"{label}: {fmt(value)} ns/op")
    axes.set_xscale("log")
    axes.set_yscale("log")
    axes.set_xlim(500, 2_000_000)
    axes.set_xlabel("other live operations in the pool (L)")
    axes.set_ylabel("ns per operation (wall clock)")
    axes.set_title("Buffered lifecycle cost against live operations")
    axes.grid(True, which="major", alpha=0.3)
    axes.legend(fontsize=8, loc="upper left")
    figure.tight_layout()
    figure.savefig(path)
    plt.close(figure)


# A 5x7 font for the fallback plot: each glyph is seven rows of five bits, high bit leftmost.
FONT = {
    "0": (0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E),
    "1": (0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E),
    "2": (0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F),
    "3": (0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E),
    "4": (0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02),
    "5": (0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E),
    "6": (0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E),
    "7": (0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08),
    "8": (0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E),
    "9": (0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C),
    "A": (0x0E, 0x11, 0x11, 0x11, 0x1F, 0x11, 0x11),
    "B": (0x1E, 0x11, 0x11, 0x1E, 0x11, 0x11, 0x1E),
    "C": (0x0E, 0x11, 0x10, 0x10, 0x10, 0x11, 0x0E),
    "D": (0x1C, 0x12, 0x11, 0x11, 0x11, 0x12, 0x1C),
    "E": (0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x1F),
    "F": (0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x10),
    "G": (0x0E, 0x11, 0x10, 0x17, 0x11, 0x11, 0x0F),
    "H": (0x11, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11),
    "I": (0x0E, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E),
    "J": (0x07, 0x02, 0x02, 0x02, 0x02, 0x12, 0x0C),
    "K": (0x11, 0x12, 0x14, 0x18, 0x14, 0x12, 0x11),
    "L": (0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x1F),
    "M": (0x11, 0x1B, 0x15, 0x15, 0x11, 0x11, 0x11),
    "N": (0x11, 0x11, 0x19, 0x15, 0x13, 0x11, 0x11),
    "O": (0x0E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E),
    "P": (0x1E, 0x11, 0x11, 0x1E, 0x10, 0x10, 0x10),
    "Q": (0x0E, 0x11, 0x11, 0x11, 0x15, 0x12, 0x0D),
    "R": (0x1E, 0x11, 0x11, 0x1E, 0x14, 0x12, 0x11),
    "S": (0x0F, 0x10, 0x10, 0x0E, 0x01, 0x01, 0x1E),
    "T": (0x1F, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04),
    "U": (0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E),
    "V": (0x11, 0x11, 0x11, 0x11, 0x11, 0x0A, 0x04),
    "W": (0x11, 0x11, 0x11, 0x15, 0x15, 0x15, 0x0A),
    "X": (0x11, 0x11, 0x0A, 0x04, 0x0A, 0x11, 0x11),
    "Y": (0x11, 0x11, 0x11, 0x0A, 0x04, 0x04, 0x04),
    "Z": (0x1F, 0x01, 0x02, 0x04, 0x08, 0x10, 0x1F),
    " ": (0, 0, 0, 0, 0, 0, 0),
    ".": (0, 0, 0, 0, 0, 0x0C, 0x0C),
    ",": (0, 0, 0, 0, 0x0C, 0x04, 0x08),
    "-": (0, 0, 0, 0x1F, 0, 0, 0),
    "/": (0, 0x01, 0x02, 0x04, 0x08, 0x10, 0),
    "(": (0x02, 0x04, 0x08, 0x08, 0x08, 0x04, 0x02),
    ")": (0x08, 0x04, 0x02, 0x02, 0x02, 0x04, 0x08),
    ":": (0, 0x0C, 0x0C, 0, 0x0C, 0x0C, 0),
    "=": (0, 0, 0x1F, 0, 0x1F, 0, 0),
    "_": (0, 0, 0, 0, 0, 0, 0x1F),
    "<": (0x02, 0x04, 0x08, 0x10, 0x08, 0x04, 0x02),
    ">": (0x08, 0x04, 0x02, 0x01, 0x02, 0x04, 0x08),
}


class Canvas:
    """An RGB raster with the few drawing operations the fallback plot needs."""

    def __init__(self, width, height):
        self.width, self.height = width, height
        self.pixels = bytearray(b"\xff" * (width * height * 3))

    def dot(self, x, y, color):
        if 0 <= x < self.width and 0 <= y < self.height:
            offset = (y * self.width + x) * 3
            self.pixels[offset:offset + 3] = bytes(color)

    def line(self, x0, y0, x1, y1, color, thickness=1, dash=0):
        x0, y0, x1, y1 = (int(round(v)) for v in (x0, y0, x1, y1))
        steps = max(abs(x1 - x0), abs(y1 - y0), 1)
        for step in range(steps + 1):
            if dash and (step // dash) % 2 == 1:
                continue
            x = x0 + (x1 - x0) * step / steps
            y = y0 + (y1 - y0) * step / steps
            for dx in range(thickness):
                for dy in range(thickness):
                    self.dot(int(round(x)) + dx - thickness // 2,
                             int(round(y)) + dy - thickness // 2, color)

    def box(self, x, y, size, color):
        for dx in range(-size, size + 1):
            for dy in range(-size, size + 1):
                self.dot(int(x) + dx, int(y) + dy, color)

    def text(self, x, y, text, color=(0, 0, 0), scale=2):
        for index, char in enumerate(text.upper()):
            rows = FONT.get(char, FONT[" "])
            for row, bits in enumerate(rows):
                for column in range(5):
                    if bits & (0x10 >> column):
                        for sx in range(scale):
                            for sy in range(scale):
                                self.dot(x + (index * 6 + column) * scale + sx,
                                         y + row * scale + sy, color)

    def write_png(self, path):
        raw = b"".join(b"\x00" + bytes(self.pixels[y * self.width * 3:(y + 1) * self.width * 3])
                       for y in range(self.height))

        def chunk(kind, data):
            body = kind + data
            return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

        header = struct.pack(">IIBBBBB", self.width, self.height, 8, 2, 0, 0, 0)
        with open(path, "wb") as handle:
            handle.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
                         chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def plot_fallback(points, references, path):
    width, height = 900, 640
    left, right, top, bottom = 110, 860, 60, 470
    canvas = Canvas(width, height)
    values = [p[1] for p in points] + [r[1] for r in references] or [1.0]
    y_low = math.floor(math.log10(min(values))) - 0.1
    y_high = math.ceil(math.log10(max(values))) + 0.1
    x_low, x_high = math.log10(500), math.log10(2_000_000)

    def px(x):
        return left + (math.log10(x) - x_low) / (x_high - x_low) * (right - left)

    def py(y):
        return bottom - (math.log10(y) - y_low) / (y_high - y_low) * (bottom - top)

    grey, black = (200, 200, 200), (0, 0, 0)
    for exponent in range(math.ceil(y_low), math.floor(y_high) + 1):
        y = py(10 ** exponent)
        canvas.line(left, y, right, y, grey)
        canvas.text(left - 60, int(y) - 7, f"1E{exponent}")
    for exponent in range(3, 7):
        x = px(10 ** exponent)
        canvas.line(x, top, x, bottom, grey)
        canvas.text(int(x) - 18, bottom + 10, f"1E{exponent}")
    canvas.line(left, bottom, right, bottom, black, 2)
    canvas.line(left, top, left, bottom, black, 2)
    canvas.text(left, 20, "BUFFERED LIFECYCLE NS/OP AGAINST LIVE OPERATIONS (LOG-LOG)")
    canvas.text(left + 200, bottom + 40, "OTHER LIVE OPERATIONS IN THE POOL")
    colors = [(31, 119, 180), (44, 160, 44), (127, 127, 127), (230, 126, 34)]
    legend_y = bottom + 70  # the legend sits under the axes, clear of the data
    for (label, value), color in zip(references, colors):
        y = py(value)
        canvas.line(left, y, right, y, color, 2, dash=8)
        canvas.text(left + 20, legend_y, f"-- {label}: {fmt(value)} NS/OP", color)
        legend_y += 20
    red = (192, 57, 43)
    for (x0, y0), (x1, y1) in zip(points, points[1:]):
        canvas.line(px(x0), py(y0), px(x1), py(y1), red, 3)
    for x, y in points:
        canvas.box(px(x), py(y), 4, red)
        canvas.text(int(px(x)) + 8, int(py(y)) - 20, fmt(y), red)
    canvas.text(left + 20, legend_y, "== COMPONENT, N=64, WITH L OTHER LIVE", red)
    canvas.write_png(path)


def write_plot(rows, path):
    points, references = plot_series(rows)
    try:
        plot_with_matplotlib(points, references, path)
        return "matplotlib"
    except ImportError:
        plot_fallback(points, references, path)
        return "the report script's own PNG writer (matplotlib not available)"


# ---- The page ----------------------------------------------------------------------------------

OTHER_COUNTERS = (
    ("lines_per_op", "lines/op"), ("ns_per_line", "ns/line"),
    ("ns_per_destination", "ns/destination"), ("rss_bytes_per_op", "RSS bytes/op"),
    ("blocks_per_op", "blocks/op"), ("retained_bytes_per_op", "retained bytes/op"),
    ("log_queries_per_op", "log queries/op"),
    ("ns_per_compaction", "ns/compaction"), ("ns_per_kept_record", "ns/kept record"),
    ("ns_per_grown_record", "ns/grown record"),
    ("allocs_per_compaction", "allocs/compaction"), ("kept", "kept"),
)


def results_table(rows):
    lines = [
        "| benchmark | ns/op | x_asio | allocs/op | bytes/op | CPU ns/op | other |",
        "|---|---:|---:|---:|---:|---:|---|",
    ]
    for row in rows:
        if row.get("error_occurred"):
            lines.append(f"| {row['display']} | failed: {row.get('error_message', '')} "
                         "| | | | | |")
            continue
        bytes_per_op = row.get("bytes_per_op", row.get("alloc_bytes_per_op"))
        other = ", ".join([f"{label} {fmt(row[key])}" for key, label in OTHER_COUNTERS
                           if key in row] + ([row["note"]] if "note" in row else []))
        lines.append(
            f"| {row['display']} | {fmt(row.get('ns_per_op'))} | {fmt(row.get('x_asio'))} | "
            f"{fmt(row.get('allocs_per_op'))} | {fmt(bytes_per_op)} | "
            f"{fmt(row.get('cpu_ns_per_op'))} | {other} |")
    return "\n".join(lines)


def targets_table(targets):
    lines = ["| target | measured | met |", "|---|---|---|"]
    for what, measured, met in targets:
        verdict = "not measured" if met is None else ("met" if met else "**not met**")
        lines.append(f"| {what} | {measured} | {verdict} |")
    return "\n".join(lines)


def scale_summary(rows):
    parts = []
    for live in LIVE_COUNTS:
        value = counter(rows, f"Scale_Lifecycle/live:{live}/N:64", "ns_per_op")
        if value is not None:
            parts.append(f"{fmt(value)} ns/op with {live:,} live")
    base = counter(rows, "A_Lifecycle/N:64", "ns_per_op")
    if base is not None:
        parts.append(f"{fmt(base)} ns/op with none (A_Lifecycle/N:64)")
    return "; ".join(parts)


def write_markdown(context, rows, console, plot_path, plot_tool, markdown_path):
    facts = machine_facts(context)
    load = context.get("load_avg") or []
    cpus = context.get("num_cpus") or os.cpu_count() or 1
    busy = bool(load) and load[0] > 0.5 * cpus
    plot_name = os.path.relpath(plot_path, os.path.dirname(os.path.abspath(markdown_path)))
    out = []
    out.append("# Performance\n")
    out.append(
        "Generated by `tools/bench/run_benchmarks.sh` from one run of the benchmark binary "
        "`operation_receipt_benchmarks` (sources in `Benchmarks/`). Rerun the script to "
        "refresh this page; edits by hand are overwritten. Every number below is measured and "
        "reported; no test asserts a timing.\n")
    out.append("## Machine\n")
    out.append(f"- CPU: {facts['cpu']}")
    out.append(f"- Kernel: {facts['kernel']}")
    out.append(f"- Compiler: {facts['compiler']}")
    out.append(f"- Build: {facts['build']} (`-O2 -g`), warnings as errors")
    out.append(f"- Run: {context.get('date', '?')}; load average at the start "
               f"{', '.join(f'{v:.2f}' for v in load) if load else 'unknown'}")
    out.append(f"- Thread started before measuring: "
               f"{context.get('thread_started_before_measuring', 'unknown')}")
    out.append(f"- asio peer: {context.get('asio_peer', 'unknown')}")
    out.append(f"- Google Benchmark library build type (Debian's package, the harness only): "
               f"{context.get('library_build_type', '?')}")
    if busy:
        out.append(
            f"\n> The machine was busy during this run (load average {load[0]:.1f} on {cpus} "
            "CPUs): other processes competed for the cores, so wall-clock numbers are "
            "inflated and noisier than on an idle machine. Ratios between rows measured "
            "close together (x_asio) suffer less than absolute numbers.")
    out.append("")
    out.append("## Results of the last run\n")
    out.append(
        "ns/op: wall-clock nanoseconds per operation (per handler for the peers; for F_Threads "
        "the aggregate over all its threads: wall time divided by all threads' operations). "
        "x_asio: ns/op divided by Peer_AsioPost's ns/op at the same batch size N. allocs/op: "
        "heap allocations per operation counted by the binary's replacement operator new and "
        "malloc wrappers (every library of the process included). bytes/op: bytes allocated per "
        "operation, except in the Memory rows, where it is the heap held per live operation "
        "(usable size plus the 8-byte chunk header of every block still allocated). CPU ns/op: "
        "the measuring thread's CPU time per operation; far below ns/op means the thread was "
        "descheduled (a busy machine) or waited (page faults, a lock), and it is not given for "
        "the rows that run their own threads.\n")
    out.append(results_table(rows))
    out.append("")
    out.append("Rows: `Peer_*` the peers (asio io_context post/run, deque of std::function, "
               "function-pointer loop: the floor); `A_Lifecycle` Create, Flush, GetErrorCode, "
               "Release for N operations per flush; `B_LifecycleValue32` the same with a 32-bit "
               "value set by the execute callback and read with GetValueUInt32; "
               "`C_ImmediateCreate` K operations created (and so executed at once) inside an "
               "execute callback; `D_LinkedValue` 16 destinations per flush, each assembled from "
               "4 sources by LinkValue (lists:0 NULL index lists, lists:1 one destination run per "
               "source), per created operation; `E_TraceLines` A_Lifecycle/N:64 with trace "
               "levels on (levels:1 level 0, levels:15 levels 0-3) and a discarding sink; "
               "`F_Threads` the lifecycle at N=64 on 1 or 2 threads of their own, each with its "
               "own client id (median of its repetitions); `Memory_LiveOperations` heap per "
               "live operation with 1M live; `Scale_Lifecycle` A_Lifecycle/N:64 with L other "
               "live operations; `Compaction` the flush that compacts a table grown to G "
               "records with 1 in 16 kept.\n")
    out.append("## Scale\n")
    out.append(f"![lifecycle ns/op against live operations]({plot_name})\n")
    out.append(f"Buffered lifecycle at N=64: {scale_summary(rows)}. The dashed lines are the "
               f"peers' ns/op at N=64 (and the component's own with no other live "
               f"operation). Plot drawn with {plot_tool}.\n")
    out.append("## Targets\n")
    out.append("Computed by the report script from the run above.\n")
    out.append(targets_table(evaluate_targets(rows)))
    out.append("")
    # The history of the optimisation work is kept by hand beside this page and carried in.
    notes = os.path.join(os.path.dirname(os.path.abspath(markdown_path)), "performance-notes.md")
    if os.path.exists(notes):
        with open(notes, encoding="utf-8") as handle:
            out.append(handle.read().rstrip() + "\n")
    out.append("## How the numbers are made\n")
    out.append(
        "- One process runs everything. It starts and joins a trivial thread before measuring: "
        "until a process has created a thread, glibc and libstdc++ take single-thread fast "
        "paths (no locked instructions in malloc or shared_ptr counts), which would flatter "
        "the peers compared with any multi-threaded host.\n"
        "- The component runs through its function table against the stand-in services, "
        "with every trace level disabled (`StandIn_LoggingSetEnabledLevels(0)`) except in "
        "E_TraceLines. The main thread's client id is set before its first call.\n"
        "- Benchmarks run in registration order, and the asio peer is registered first: it "
        "stores its ns/op per N, which later rows divide by for x_asio. Filtering the asio peer "
        "out of a run leaves x_asio empty.\n"
        "- ns/op is computed from the wall clock around each benchmark's loop (Google "
        "Benchmark's rate counters divide by CPU time, which hides time spent waiting on a "
        "lock or faulting in pages).\n"
        "- Scale_Lifecycle builds its L other operations once per L (created buffered, "
        "flushed once, held by the client's reference) outside the timed loop and releases "
        "them afterwards.\n"
        "- Allocation counts come from the binary's own operator new/delete and "
        "malloc/calloc/realloc/free replacements, forwarding to glibc, with per-thread "
        "counters.\n")
    if console:
        out.append("## Console output of the run\n")
        out.append("<details><summary>operation_receipt_benchmarks output</summary>\n")
        out.append("```text")
        out.append(console.rstrip())
        out.append("```\n")
        out.append("</details>\n")
    with open(markdown_path, "w", encoding="utf-8") as handle:
        handle.write("\n".join(out))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--json", required=True, help="the run's --benchmark_out JSON file")
    parser.add_argument("--console", help="the run's console output")
    parser.add_argument("--markdown", required=True, help="the page to write")
    parser.add_argument("--plot", required=True, help="the PNG to write")
    arguments = parser.parse_args()

    context, rows = load_run(arguments.json)
    console = ""
    if arguments.console and os.path.exists(arguments.console):
        with open(arguments.console, encoding="utf-8", errors="replace") as handle:
            console = handle.read()
    os.makedirs(os.path.dirname(os.path.abspath(arguments.plot)), exist_ok=True)
    tool = write_plot(rows, arguments.plot)
    write_markdown(context, rows, console, arguments.plot, tool, arguments.markdown)
    print(f"wrote {arguments.markdown} and {arguments.plot}")
    for what, measured, met in evaluate_targets(rows):
        verdict = "not measured" if met is None else ("met" if met else "NOT MET")
        print(f"  {verdict:12} {what}: {measured}")


if __name__ == "__main__":
    main()
