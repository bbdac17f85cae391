"""alphaloom quickstart: the forecasters on ten years of six stocks, the factor miner on a year of
the S&P 500 cross-section.

Run with `make demo`. Each section trains (or mines) on the same data and prints what it did.
"""
import importlib
import time
import warnings

warnings.filterwarnings("ignore", message="enable_nested_tensor")

import torch  # noqa: E402

import demo_data  # noqa: E402

SECTIONS = ["demo_attnencoder", "demo_dualstream", "demo_wavecell", "demo_factorsearch",
            "demo_evolve", "demo_forecast"]


def main():
    torch.set_num_threads(2)
    data1, price1, codes = demo_data.load()
    print(f"demo data: {len(codes)} stocks ({', '.join(codes)}), {len(data1)} trading days "
          f"{data1.index[0].date()} .. {data1.index[-1].date()}")
    for name in SECTIONS:
        t0 = time.perf_counter()
        print(f"\n===== {name[5:]} =====", flush=True)
        module = importlib.import_module(name)
        if hasattr(module, "load"):  # a section on other data (the factor miner's S&P 500 set)
            module.run(*module.load())
        else:
            module.run(data1, price1, codes)
        print(f"[{name[5:]} done in {time.perf_counter() - t0:.1f}s]", flush=True)


if __name__ == "__main__":
    main()
