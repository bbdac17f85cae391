"""Runs every benchmark script in this folder, one after the other."""
import pathlib
import subprocess
import sys

here = pathlib.Path(__file__).resolve().parent
failed = []
for script in sorted(here.glob("*.py")):
    if script.name in ("run_all.py", "harness.py"):
        continue
    print(f"== {script.name}", flush=True)
    if subprocess.run([sys.executable, str(script)]).returncode != 0:
        failed.append(script.name)
if failed:
    sys.exit("benchmarks failed: " + ", ".join(failed))
