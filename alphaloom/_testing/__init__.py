"""Private: the deterministic synthetic markets, the S&P 500 demo data reader and the plain
reference implementations (the plain-Python miner, ADD as plain torch modules) that the tests,
the benchmarks and the demos share. Not part of the public API."""
