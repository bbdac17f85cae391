"""Runs every benchmark script in this folder, one after the other, then prints a summary table
of every result row (ratio = baseline / ours; above 1: ours is faster)."""
import pathlib
import re
import subprocess
import sys

here = pathlib.Path(__file__).resolve().parent
# A result row as harness.report prints it: name, ours[s], baseline[s], ratio.
ROW = re.compile(r"^(?P<name>.+?)\s+(?P<ours>\d+\.\d{4})\s+(?P<base>\d+\.\d{4})\s+"
                 r"(?P<ratio>\d+\.\d{2}|inf)x$")


def run(script):
    """Runs one script, echoing its output as it comes; returns (exit code, result rows)."""
    rows = []
    proc = subprocess.Popen([sys.executable, str(script)], stdout=subprocess.PIPE, text=True)
    for line in proc.stdout:
        sys.stdout.write(line)
        sys.stdout.flush()
        m = ROW.match(line.rstrip("\n"))
        if m:
            rows.append((m["name"].strip(), m["ours"], m["base"], m["ratio"]))
    return proc.wait(), rows


def main():
    failed, summary = [], []
    for script in sorted(here.glob("*.py")):
        if script.name in ("run_all.py", "harness.py"):
            continue
        print(f"== {script.name}", flush=True)
        code, rows = run(script)
        if code != 0:
            failed.append(script.name)
        summary += [(script.stem, *row) for row in rows]
    print("\n== summary (ratio = baseline / ours; above 1: ours is faster)")
    print(f"{'script':<24} {'case':<44} {'ours[s]':>10} {'baseline[s]':>12} {'ratio':>8}")
    for stem, name, ours, base, ratio in summary:
        print(f"{stem:<24} {name:<44} {ours:>10} {base:>12} {ratio:>7}x")
    if failed:
        sys.exit("benchmarks failed: " + ", ".join(failed))


if __name__ == "__main__":
    main()
