#!/usr/bin/python3
"""Peer figures for the reliability studies: the probability of failure of the limit state
g = x1^3 + x2^3 - 18 (failure when g < 0), x1 and x2 independent normal with mean 10 and
standard deviation 5, by plain Monte Carlo with NumPy's generator, and the first-order
estimate of SciPy's optimiser (the design point nearest to the origin in standard normal
space). Usage: /usr/bin/python3 bench/reliability_peer.py [samples] [seed]
(Debian's python3-numpy and python3-scipy)."""
import sys
import time

import numpy as np
from scipy import optimize, stats

MEAN, SD = 10.0, 5.0


def g(x1, x2):
    return x1 ** 3 + x2 ** 3 - 18.0


def monte_carlo(samples, seed):
    rng = np.random.default_rng(seed)
    x = rng.normal(MEAN, SD, size=(samples, 2))
    failed = np.count_nonzero(g(x[:, 0], x[:, 1]) < 0.0)
    p = failed / samples
    return p, np.sqrt(p * (1.0 - p) / samples)


def first_order():
    # min |u| subject to g(MEAN + SD u) = 0, from the mean point.
    constraint = {"type": "eq", "fun": lambda u: g(MEAN + SD * u[0], MEAN + SD * u[1])}
    result = optimize.minimize(lambda u: u @ u, np.array([-1.0, -1.0]), method="SLSQP",
                               constraints=[constraint], options={"ftol": 1e-14})
    beta = float(np.sqrt(result.x @ result.x))
    return beta, float(stats.norm.cdf(-beta))


def main():
    samples = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    seed = int(sys.argv[2]) if len(sys.argv) > 2 else 20261207
    start = time.perf_counter()
    p, se = monte_carlo(samples, seed)
    elapsed = time.perf_counter() - start
    beta = -stats.norm.ppf(p) if 0.0 < p < 1.0 else float("inf")
    print(f"NumPy Monte Carlo, {samples} samples: p = {p:.6g} (standard error {se:.3g}), "
          f"beta = {beta:.6g}, {elapsed:.2f} s")
    beta_form, p_form = first_order()
    print(f"SciPy first order (SLSQP design point): beta = {beta_form:.6g}, p = {p_form:.6g}")


if __name__ == "__main__":
    main()
