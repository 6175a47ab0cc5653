#!/usr/bin/env python3
"""A whole `carvalen call` against the sqlite3 shell running the same statements, as processes.

What a script or a job pays per call when it starts the tool each time: loading, start-up, the
store, the call and exit. Each run starts one tool and one shell back to back, so that a burst of
load on the machine falls on both; the ratio is the median of the runs' ratios.

    bench/whole_process.py --carvalen build/carvalen [--runs 50]
"""
import argparse
import os
import shutil
import statistics
import subprocess
import tempfile
import time

CALL = ["call", "ContractLine.GetPrice", "i_lContractHeaderId=1", "i_lContractLineId=1",
        "i_fQuantity=10"]
# The statements the call sends for this line (its SQL trace), as the shell would be given them.
STATEMENTS = (
    "SELECT CURRENCYCODE,PRICE,INCLUDEPRICEBREAKUP,MINQTYBREAKUP FROM CONTRACTLINE WHERE "
    "CONTRACTHEADERID = 1 AND CONTRACTLINEID = 1; SELECT PRICE FROM CONTRACTPRICE WHERE "
    "CONTRACTHEADERID = 1 AND CONTRACTLINEID = 1 AND QUANTITY <= 10 ORDER BY QUANTITY DESC;")


def timed(command, env):
    start = time.perf_counter()
    subprocess.run(command, stdout=subprocess.DEVNULL, env=env, check=True)
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--carvalen", required=True)
    parser.add_argument("--runs", type=int, default=50)
    args = parser.parse_args()
    if shutil.which("sqlite3") is None:
        raise SystemExit("whole_process.py: the sqlite3 shell is not installed (apt install sqlite3)")
    with tempfile.TemporaryDirectory() as folder:
        subprocess.run([args.carvalen, "init-demo", "--dir", folder], stdout=subprocess.DEVNULL,
                       check=True)
        env = dict(os.environ, CARVALEN_CONFIG_DIR=folder)
        env.pop("CARVALEN_LOG", None)
        env.pop("CARVALEN_SQL_TRACE", None)
        shell = ["sqlite3", "-readonly", os.path.join(folder, "contracts.db"), STATEMENTS]
        for _ in range(3):  # the page cache warm for both
            timed([args.carvalen] + CALL, env)
            timed(shell, env)
        tool, sqlite = [], []
        for _ in range(args.runs):
            tool.append(timed([args.carvalen] + CALL, env))
            sqlite.append(timed(shell, env))
    ratio = statistics.median(t / s for t, s in zip(tool, sqlite))
    print(f"runs {args.runs}: carvalen call {statistics.median(tool) * 1000:.2f} ms, "
          f"sqlite3 {statistics.median(sqlite) * 1000:.2f} ms, paired ratio {ratio:.2f}x")


if __name__ == "__main__":
    main()
