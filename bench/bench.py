#!/usr/bin/env python3
"""The cost of configuring one FT232R with varnolt, against the emulator.

Two measurements, both in one run:

- Word transfers per operation, counted from the emulator's log, next to a
  baseline that makes the same change by writing all 64 words and reading
  them all back, as many tools of the field do: the same image read, then
  64 writes and 64 verify reads for any change, whatever it changes.  Each
  transfer is one USB control transfer, roughly a
  millisecond on a full-speed bus: the modelled bus time is 1 ms per
  transfer.
- The process cost of `varnolt -r` (median wall time and peak resident
  memory of many runs) next to `true`, measured the same way, as the floor.
- USB control transfers per operation through the real stack: varnolt with
  its default libftd2xx.so, libftdi1 and libusb against an FT232R emulated
  at the kernel's USB interface (ft232r-usb, umockdev), counted from the
  emulator's log.  Everything on the wire counts here: string descriptors
  read for the listing, libftdi1's own requests, EEPROM words.

Writes a Markdown report and a bar chart; prints the report and exits 1
when a target is missed.  Run through scripts/bench.sh.
"""

import argparse
import glob
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

# Modelled cost of one word transfer: a vendor control transfer on a
# full-speed bus takes about one millisecond.
MS_PER_TRANSFER = 1.0

# The user area of the FT232R EEPROM: 64 words.
IMAGE_WORDS = 64

# The device every operation starts from.
START_SERIAL = "A1B2C3D4"
START_CBUS = ["3", "2", "0", "1", "5"]
NEW_CBUS = ["0a", "0a", "03", "02", "01"]

OPERATIONS = [
    ("read (`-r`)", ["-r"]),
    ("serial, same length", ["-s", "VN000042"]),
    ("serial, longer", ["-s", "VN00000042"]),
    ("CBUS (`-c`)", ["-c"] + NEW_CBUS),
    ("serial and CBUS", ["-s", "VN000042", "-c"] + NEW_CBUS),
]

# The operations measured through the real USB stack.
USB_OPERATIONS = [
    ("read (`-r`)", ["-r"]),
    ("CBUS (`-c`)", ["-c"] + NEW_CBUS),
    ("serial, same length", ["-s", "VN000042"]),
]

# Transfer targets: (operation label, reads, writes, verify reads) at most.
TRANSFER_TARGETS = [
    ("serial, same length", 64, 12, 12),
    ("CBUS (`-c`)", 64, 4, 4),
]
WALL_TARGET_MS = 5.0  # above the `true` floor
RSS_TARGET_KIB = 4 * 1024


def count_transfers(log_path):
    """Reads before the first write, writes, and reads after the first
    write (verify reads), from the emulator's log."""
    reads = writes = verifies = 0
    if os.path.exists(log_path):
        with open(log_path) as log:
            for line in log:
                if line.startswith("write 0x"):
                    writes += 1
                elif line.startswith("read 0x"):
                    if writes == 0:
                        reads += 1
                    else:
                        verifies += 1
    return reads, writes, verifies


def run_operation(args, op_args, work, base_image):
    """Runs varnolt once on a fresh copy of the start image."""
    device = os.path.join(work, "device.bin")
    log = os.path.join(work, "calls.log")
    shutil.copyfile(base_image, device)
    if os.path.exists(log):
        os.remove(log)
    env = dict(os.environ)
    env.update({
        "LD_LIBRARY_PATH": args.emulator_dir,
        "FT232R_EMULATOR_DEVICES": device,
        "FT232R_EMULATOR_LOG": log,
    })
    env.pop("FT232R_EMULATOR_FAULT", None)
    result = subprocess.run([args.varnolt] + op_args, env=env, capture_output=True, text=True)
    return result, count_transfers(log)


def whole_image(op_args, ours):
    """The baseline's transfers: the same read of the image, then, for any
    change, every word of the user area written and read back."""
    changes = "-s" in op_args or "-c" in op_args
    return (ours[0], IMAGE_WORDS if changes else 0, IMAGE_WORDS if changes else 0)


def measure_transfers(args, work, base_image):
    rows = []
    for label, op_args in OPERATIONS:
        result, ours = run_operation(args, op_args, work, base_image)
        if result.returncode != 0:
            sys.exit("bench: varnolt %s failed with status %d: %s" %
                     (" ".join(op_args), result.returncode, result.stderr.strip()))
        rows.append((label, op_args, ours, whole_image(op_args, ours)))
    return rows


def measure_process(args, work, base_image):
    env = dict(os.environ)
    env.update({"LD_LIBRARY_PATH": args.emulator_dir, "FT232R_EMULATOR_DEVICES": base_image})
    for name in ("FT232R_EMULATOR_LOG", "FT232R_EMULATOR_FAULT"):
        env.pop(name, None)
    true = shutil.which("true") or "/bin/true"
    commands = [[true], [args.varnolt, "-r"]]
    argv = [args.runcost, str(args.rounds)]
    for index, command in enumerate(commands):
        argv += (["---"] if index else []) + command
    output = subprocess.run(argv, env=env, capture_output=True, text=True, check=True).stdout
    runs = [[] for _ in commands]
    for line in output.splitlines():
        index, wall_ns, rss_kib, status = (int(field) for field in line.split())
        if status != 0:
            sys.exit("bench: %s exited with status %d" % (" ".join(commands[index]), status))
        runs[index].append((wall_ns / 1e6, rss_kib))
    summary = []
    for command, samples in zip(commands, runs):
        walls = sorted(sample[0] for sample in samples)
        rss = [sample[1] for sample in samples]
        summary.append({
            "command": "`%s`" % " ".join(["true"] if command == [true] else ["varnolt", "-r"]),
            "runs": len(samples),
            "median_ms": statistics.median(walls),
            "p10_ms": walls[len(walls) // 10],
            "p90_ms": walls[(len(walls) * 9) // 10],
            "rss_kib": statistics.median(rss),
            "rss_max_kib": max(rss),
        })
    return summary


def count_usb_transfers(log_path):
    """Control transfers of device 1-1 from ft232r-usb's log, by kind:
    string descriptors, EEPROM reads before the first write, writes, reads
    after the first write, and libftdi1's other requests (reset, baud rate,
    modem status, latency timer); and whether the port was reset."""
    counts = {"descriptors": 0, "reads": 0, "writes": 0, "verifies": 0, "other": 0}
    reset = False
    with open(log_path) as log:
        for line in log:
            fields = line.split()
            if fields[:2] == ["1-1", "reset"]:
                reset = True
            if fields[:2] != ["1-1", "ctrl"]:
                continue
            request = (fields[2], fields[3])
            if request == ("80", "06"):
                counts["descriptors"] += 1
            elif request == ("40", "91"):
                counts["writes"] += 1
            elif request == ("c0", "90"):
                counts["verifies" if counts["writes"] else "reads"] += 1
            else:
                counts["other"] += 1
    return counts, reset


def measure_usb(args, work, base_image):
    """Rows of (label, args, counts, reset), or a reason why not measured."""
    if not args.usb_emulator:
        return "ft232r-usb was not built (umockdev-1.0 missing when configured)"
    rows = []
    for label, op_args in USB_OPERATIONS:
        device = os.path.join(work, "usb-device.bin")
        log = os.path.join(work, "usb.log")
        shutil.copyfile(base_image, device)
        env = dict(os.environ)
        env.pop("LD_LIBRARY_PATH", None)  # varnolt's RUNPATH: the libftdi1 layer
        result = subprocess.run([args.usb_emulator, "--log", log, device, "--", args.varnolt] +
                                op_args, env=env, capture_output=True, text=True)
        if result.returncode == 77:
            return result.stderr.strip()
        if result.returncode != 0:
            sys.exit("bench: varnolt %s through USB failed with status %d: %s" %
                     (" ".join(op_args), result.returncode, result.stderr.strip()))
        counts, reset = count_usb_transfers(log)
        rows.append((label, op_args, counts, reset))
    return rows


STATION_CHIPS = [1, 2, 4, 8]
STATION_ROUNDS = 5
# Each control transfer takes this long in the emulation, as on a full-speed
# bus, each chip answering on its own (ft232r-usb --bus-ms): otherwise the
# emulator's own work, one machine's processors for every chip, is what is
# measured, not the station.
BUS_MS = 1


def station_images(work, base_image, count):
    """`count` image files of the start image, each with a factory area of
    its own (the station knows a chip by it), at ports 1-1.1 onwards (behind
    a hub, 7 at most), then 1-2.1 onwards."""
    with open(base_image, "rb") as start:
        user = start.read()[:128]
    places = []
    for i in range(count):
        path = os.path.join(work, "station-%d.bin" % i)
        with open(path, "wb") as image:
            image.write(user + bytes((k * 7 + (i + 1) * 31) & 0xFF for k in range(128)))
        places.append("%s@1-%d.%d" % (path, 1 + i // 7, 1 + i % 7))
    return places


def measure_station(args, work, base_image):
    """Rows of (chips, median seconds, devices per minute), or a reason."""
    if not args.station or not args.usb_emulator:
        return "varnolt-station or ft232r-usb was not built"
    rows = []
    env = dict(os.environ)
    env.pop("LD_LIBRARY_PATH", None)
    for count in STATION_CHIPS:
        times = []
        for _ in range(STATION_ROUNDS):
            places = station_images(work, base_image, count)
            ledger = os.path.join(work, "ledger.sqlite")
            for leftover in glob.glob(ledger + "*"):
                os.remove(leftover)
            start = time.perf_counter()
            result = subprocess.run(
                [args.usb_emulator, "--bus-ms", str(BUS_MS)] + places +
                ["--", args.station, "--ledger", ledger,
                 "--station", "bench", "--json", "program", "bench", "--prefix", "BN",
                 "--width", "6", "--first", "1"], env=env, capture_output=True, text=True)
            times.append(time.perf_counter() - start)
            if result.returncode == 77:
                return result.stderr.strip()
            if result.returncode != 0:
                sys.exit("bench: the station failed with status %d: %s" %
                         (result.returncode, result.stderr.strip()))
        seconds = statistics.median(times)
        rows.append((count, seconds, count * 60.0 / seconds))
    return rows


def measure_ledger(args, work):
    """(median ms, 90th percentile ms) per device on an SQLite file, or a reason."""
    if not args.ledger_cost:
        return "ledger_cost was not built (sqlite3 and libpq missing when configured)"
    result = subprocess.run([args.ledger_cost, os.path.join(work, "cost.sqlite"), "200"],
                            capture_output=True, text=True)
    if result.returncode != 0:
        sys.exit("bench: ledger_cost failed: " + result.stderr.strip())
    median, p90 = result.stdout.split()
    return float(median), float(p90)


def total(counts):
    return sum(counts)


def fmt_counts(counts):
    return "%d + %d + %d" % counts


def verdict(ok):
    return "PASS" if ok else "FAIL"


def machine_description():
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    load = os.getloadavg()[0] if hasattr(os, "getloadavg") else float("nan")
    return "%s, %d cores, Linux %s, load average %.2f at the start" % (
        cpu, os.cpu_count() or 0, platform.release(), load)


def report(args, rows, process, usb, machine):
    lines = []
    add = lines.append
    add("# Benchmark: cost per device")
    add("")
    add("Generated by `scripts/bench.sh` against the emulated FT232R "
        "(`build/emulator/libftd2xx.so`); do not edit by hand.")
    add("The device starts as serial `%s`, CBUS %s. The baseline makes the same change by "
        "writing all %d words of the user area and reading them all back, as many tools of "
        "the field do: the same image read, then %d writes and %d verify reads for any "
        "change." % (START_SERIAL, " ".join(START_CBUS), IMAGE_WORDS, IMAGE_WORDS, IMAGE_WORDS))
    add("")
    add("## Word transfers per operation")
    add("")
    add("Reads before the first write + writes + reads after the first write (verification), "
        "counted from the emulator's log. Bus time is modelled at %g ms per transfer (one USB "
        "control transfer on a full-speed bus)." % MS_PER_TRANSFER)
    add("")
    add("| operation | command | ours: read + write + verify | ours: bus time "
        "| baseline: read + write + verify | baseline: bus time | transfers ours/baseline "
        "| words written ours/baseline |")
    add("|---|---|---|---:|---|---:|---:|---:|")
    for label, op_args, ours, base in rows:
        written = "%.2f" % (ours[1] / base[1]) if base[1] else "-"
        add("| %s | `varnolt %s` | %s | %g ms | %s | %g ms | %.2f | %s |" % (
            label, " ".join(op_args), fmt_counts(ours), total(ours) * MS_PER_TRANSFER,
            fmt_counts(base), total(base) * MS_PER_TRANSFER, total(ours) / total(base), written))
    add("")
    add("![Word transfers per operation, ours against the whole-image baseline](benchmark.png)")
    add("")
    add("## USB control transfers per operation, real stack")
    add("")
    add("`varnolt` with its default `libftd2xx.so`, the real libftdi1 and libusb, against an "
        "FT232R emulated at the kernel's USB interface (`ft232r-usb`, umockdev), counted from "
        "the emulator's log: every control transfer on the wire, the string descriptors of the "
        "listing (`FT_ListDevices`; `FT_W32_CreateFile` opens the device that listing found, "
        "without asking for its strings again, where it used to list again: 4 transfers more, "
        "74 for `-r`) and libftdi1's own requests (reset, baud rate, modem status, latency "
        "timer) included. Bus time at %g ms per transfer." % MS_PER_TRANSFER)
    add("")
    if isinstance(usb, str):
        add("Not measured: %s." % usb)
    else:
        add("| operation | command | string descriptors | EEPROM reads | writes | verify reads "
            "| other requests | total | bus time | port reset |")
        add("|---|---|---:|---:|---:|---:|---:|---:|---:|---|")
        for label, op_args, counts, reset in usb:
            all_transfers = sum(counts.values())
            add("| %s | `varnolt %s` | %d | %d | %d | %d | %d | %d | %g ms | %s |" % (
                label, " ".join(op_args), counts["descriptors"], counts["reads"],
                counts["writes"], counts["verifies"], counts["other"], all_transfers,
                all_transfers * MS_PER_TRANSFER, "yes" if reset else "no"))
    add("")
    add("## Process cost of `varnolt -r`")
    add("")
    add("%d runs of each, alternating, after one warm-up run; each started by fork/exec from a "
        "small C harness (`bench/runcost.c`) with its output on /dev/null. Peak resident memory "
        "is `ru_maxrss` from `wait4`. `true` is the floor: starting any process costs that "
        "much. Build type: %s." % (args.rounds, args.build_type or "default"))
    add("")
    add("| command | median wall time | 10th-90th percentile | median peak RSS | max peak RSS |")
    add("|---|---:|---:|---:|---:|")
    for entry in process:
        add("| %s | %.2f ms | %.2f-%.2f ms | %d KiB | %d KiB |" % (
            entry["command"], entry["median_ms"], entry["p10_ms"], entry["p90_ms"],
            entry["rss_kib"], entry["rss_max_kib"]))
    add("")
    add("Machine: %s." % machine)
    add("")
    add("## Targets")
    add("")
    results = []
    by_label = {row[0]: row for row in rows}
    for label, reads, writes, verifies in TRANSFER_TARGETS:
        ours = by_label[label][2]
        ok = ours[0] <= reads and ours[1] <= writes and ours[2] <= verifies
        results.append(ok)
        base = by_label[label][3]
        add("- %s: at most %d + %d + %d transfers; measured %s, %.2f of the baseline's %s: "
            "**%s**" % (label, reads, writes, verifies, fmt_counts(ours),
                        total(ours) / total(base), fmt_counts(base), verdict(ok)))
    floor, tool = process[0], process[1]
    extra = tool["median_ms"] - floor["median_ms"]
    ok = extra <= WALL_TARGET_MS
    results.append(ok)
    add("- `varnolt -r` median wall time within %g ms of `true`: %.2f ms against %.2f ms, "
        "%+.2f ms: **%s**" % (WALL_TARGET_MS, tool["median_ms"], floor["median_ms"], extra,
                              verdict(ok)))
    ok = tool["rss_max_kib"] < RSS_TARGET_KIB
    results.append(ok)
    add("- `varnolt -r` peak resident memory under %d KiB: median %d KiB, max %d KiB (`true`: "
        "%d KiB): **%s**" % (RSS_TARGET_KIB, tool["rss_kib"], tool["rss_max_kib"],
                              floor["rss_kib"], verdict(ok)))
    add("")
    return "\n".join(lines), all(results)


def report_station(station, ledger):
    """The station's section of the report, and whether its target holds."""
    lines = ["", "## A production station: devices per minute", ""]
    add = lines.append
    if isinstance(station, str):
        add("Not measured: %s." % station)
        return "\n".join(lines) + "\n", True
    add(("`varnolt-station program` (a new SQLite ledger each time) over N chips at once, "
         "emulated at the kernel's USB interface (`ft232r-usb --bus-ms %d`: each control "
         "transfer takes %d ms, as on a full-speed bus, each chip answering on its own) behind "
         "hubs: the whole run of one process, from the start to the last device confirmed and "
         "committed, median of %d runs. Every device is read (128 words), written (the serial "
         "pairs, each read back), reset, found again through a fresh listing and committed.") %
        (BUS_MS, BUS_MS, STATION_ROUNDS))
    add("")
    add("| chips at once | median run | devices per minute |")
    add("|---:|---:|---:|")
    for count, seconds, per_minute in station:
        add("| %d | %.0f ms | %.0f |" % (count, seconds * 1000, per_minute))
    add("")
    if isinstance(ledger, str):
        add("The ledger's cost per device: not measured (%s)." % ledger)
    else:
        add("The ledger's cost per device (SQLite file: a reservation, its commit, and a record "
            "with both 256-byte images; `bench/ledger_cost.cpp`, 200 devices): median %.2f ms, "
            "90th percentile %.2f ms." % ledger)
    one, eight = station[0][1], station[-1][1]
    ok = eight <= 2 * one
    add("")
    add("Target: eight chips in at most twice the time of one: %.0f ms against %.0f ms: **%s**" %
        (eight * 1000, one * 1000, verdict(ok)))
    return "\n".join(lines) + "\n", ok


def chart(rows, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.patches import Patch

    labels = [row[0].replace("`", "") for row in rows]
    width = 0.38
    figure, axes = plt.subplots(figsize=(10, 4.8), dpi=100)
    parts = [("image read", "#4c72b0"), ("write", "#dd8452"), ("verify read", "#55a868")]
    for offset, column, hatch in ((-width / 2, 2, ""), (width / 2, 3, "//")):
        bottoms = [0] * len(rows)
        for part, (_, colour) in enumerate(parts):
            heights = [row[column][part] for row in rows]
            positions = [index + offset for index in range(len(rows))]
            axes.bar(positions, heights, width, bottom=bottoms, color=colour, hatch=hatch,
                     edgecolor="white", linewidth=0.5)
            bottoms = [b + h for b, h in zip(bottoms, heights)]
        for index, height in enumerate(bottoms):
            axes.text(index + offset, height + 2, "%d" % height, ha="center", fontsize=8)
    axes.set_xticks(range(len(rows)))
    axes.set_xticklabels(labels, fontsize=9)
    axes.set_ylabel("word transfers (= ms of bus time at 1 ms each)")
    axes.set_title("FT232R EEPROM word transfers per operation", fontsize=11)
    axes.set_ylim(0, 3 * IMAGE_WORDS * 1.1)
    handles = [Patch(facecolor=colour, label=name) for name, colour in parts]
    handles += [Patch(facecolor="white", edgecolor="black", label="varnolt"),
                Patch(facecolor="white", edgecolor="black", hatch="//",
                      label="whole-image rewrite")]
    axes.legend(handles=handles, fontsize=8, loc="upper left", bbox_to_anchor=(1.01, 1.0),
                frameon=False)
    axes.spines["top"].set_visible(False)
    axes.spines["right"].set_visible(False)
    figure.tight_layout()
    # No software version in the file: reruns that measure the same counts
    # give the same bytes.
    figure.savefig(path, metadata={"Software": None})
    plt.close(figure)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--varnolt", required=True)
    parser.add_argument("--emulator-dir", required=True)
    parser.add_argument("--image-tool", required=True)
    parser.add_argument("--runcost", required=True)
    parser.add_argument("--usb-emulator", default="",
                        help="ft232r-usb, for the control transfers through the real USB stack")
    parser.add_argument("--station", default="", help="varnolt-station, for devices per minute")
    parser.add_argument("--ledger-cost", default="", help="ledger_cost, for the ledger's cost")
    parser.add_argument("--out", required=True, help="folder for benchmark.md and benchmark.png")
    parser.add_argument("--rounds", type=int, default=200)
    parser.add_argument("--build-type", default="")
    args = parser.parse_args()

    machine = machine_description()
    with tempfile.TemporaryDirectory(prefix="varnolt-bench-") as work:
        base_image = os.path.join(work, "start.bin")
        subprocess.run([args.image_tool, "new", base_image, "--serial", START_SERIAL, "--cbus"] +
                       START_CBUS, check=True, stdout=subprocess.DEVNULL)
        rows = measure_transfers(args, work, base_image)
        process = measure_process(args, work, base_image)
        usb = measure_usb(args, work, base_image)
        station = measure_station(args, work, base_image)
        ledger = measure_ledger(args, work)

    text, passed = report(args, rows, process, usb, machine)
    station_text, station_passed = report_station(station, ledger)
    text += station_text
    passed = passed and station_passed
    os.makedirs(args.out, exist_ok=True)
    with open(os.path.join(args.out, "benchmark.md"), "w") as out:
        out.write(text)
    chart(rows, os.path.join(args.out, "benchmark.png"))
    print(text)
    print("Written: %s, %s" % (os.path.join(args.out, "benchmark.md"),
                               os.path.join(args.out, "benchmark.png")))
    return 0 if passed else 1


if __name__ == "__main__":
    sys.exit(main())
