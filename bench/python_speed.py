#!/usr/bin/env python3
"""The cost of the Python package's calls: the function of an operation against the typed
call() for the same operation, and calls from several threads at once.

    CARVALEN_LIBRARY=build-clang/libcarvalen.so CARVALEN_CONFIG_DIR=DEMO \\
        python3 bench/python_speed.py [--calls N] [--threads T]
"""
import argparse
import os
import sys
import time
from concurrent.futures import ThreadPoolExecutor

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
import carvalen  # noqa: E402


def by_function():
    carvalen.contract_line.get_price(contract_header_id=1, contract_line_id=1, quantity=60.0)


def by_call():
    carvalen.call("ContractLine.GetPrice", i_lContractHeaderID=1, i_lContractLineID=1,
                  i_fQuantity=60.0)


def rate(one, calls, threads=1):
    """Calls per second, the best of three rounds."""
    best = 0.0
    for _ in range(3):
        start = time.perf_counter()
        def loop(count):
            for _ in range(count):
                one()

        if threads == 1:
            loop(calls)
        else:
            with ThreadPoolExecutor(threads) as pool:
                list(pool.map(loop, [calls // threads] * threads))
        best = max(best, calls / (time.perf_counter() - start))
    return best


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--calls", type=int, default=5000)
    parser.add_argument("--threads", type=int, default=os.cpu_count() or 2)
    args = parser.parse_args()
    by_function(), by_call()  # load the library, open the pool
    function, typed = rate(by_function, args.calls), rate(by_call, args.calls)
    print(f"contract_line.get_price: {function:8.0f} calls/s")
    print(f"call('ContractLine.GetPrice'): {typed:8.0f} calls/s  (function/call: "
          f"{typed / function:.2f}x the time)")
    threaded = rate(by_function, args.calls, args.threads)
    print(f"contract_line.get_price, {args.threads} threads: {threaded:8.0f} calls/s "
          f"({threaded / function:.2f}x one thread)")


if __name__ == "__main__":
    main()
