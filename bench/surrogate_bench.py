#!/usr/bin/env python3
"""Response-surface accuracy and fit time: our models against scikit-learn and SciPy.

For each case (Branin in 2 variables with 20, 50 and 100 training points, Hartmann-6 with 60
and 150) a Latin hypercube of training points and 1000 uniform hold-out points are drawn
with fixed seeds; every model is fitted to the same points and scored by the hold-out R^2
(1 - SSE / SST) and the fit time (wall clock, the fit alone, prediction excluded).

Our models run in bench/surrogate_driver.cpp, a small program that this script compiles
against the external layer of a Release build (configured and built here:
--build-dir, default build-surrogate-bench beside src/). Training and hold-out points pass
through text files; the predictions come back the same way.

Reference models: scikit-learn's GaussianProcessRegressor set up as a user would: the inputs
scaled to [0, 1] by the case's bounds, ConstantKernel x anisotropic RBF kernel with length
scales starting at 0.3 and bounded to 1e-2 .. 1e2, n_restarts_optimizer=5, normalize_y=True;
its warnings (optimiser not converged, a length scale at a bound) are shown on stderr, and the
table counts them. SciPy's RBFInterpolator (its default thin-plate spline with a linear
polynomial) on the raw inputs. Both come from the Debian packages
python3-sklearn and python3-scipy; when they are missing the script installs them with
apt-get (as root, or through sudo) or says what to install.

    python3 bench/surrogate_bench.py [--build-dir DIR] [--cases branin-20,hartmann6-150]
                                     [--models kriging,sklearn-gp,...] [--repeat N]

The table is printed as Markdown (bench/README.md, "Response surfaces").
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def ensure_packages():
    """Makes NumPy, SciPy and scikit-learn importable: Debian's packages, installed when
    missing. Another python3 first on PATH (pyenv, a virtual environment) does not see
    them, so the script then runs itself again under /usr/bin/python3."""
    check = "import numpy, scipy, sklearn"
    try:
        exec(check)
        return
    except ImportError:
        pass
    system = "/usr/bin/python3"

    def system_has_them():
        return (os.path.exists(system) and
                subprocess.run([system, "-c", check], stderr=subprocess.DEVNULL).returncode == 0)

    if not system_has_them():
        packages = ["python3-numpy", "python3-scipy", "python3-sklearn"]
        prefix = [] if os.geteuid() == 0 else (["sudo"] if shutil.which("sudo") else None)
        if prefix is None or not shutil.which("apt-get"):
            sys.exit("surrogate_bench: needs NumPy, SciPy and scikit-learn; install them, e.g. "
                     "'apt-get install " + " ".join(packages) + "' as root.")
        print("surrogate_bench: installing " + " ".join(packages), file=sys.stderr)
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        subprocess.run(prefix + ["apt-get", "update", "-qq"], check=True, env=env)
        subprocess.run(prefix + ["apt-get", "install", "-y", "-qq"] + packages, check=True,
                       env=env)
    if os.path.realpath(sys.executable) == os.path.realpath(system) or not system_has_them():
        sys.exit("surrogate_bench: NumPy, SciPy or scikit-learn still cannot be imported.")
    os.execv(system, [system] + sys.argv)


# ---------------------------------------------------------------------------------------------
# Test functions and designs
# ---------------------------------------------------------------------------------------------

def branin(x):
    import numpy as np
    x1, x2 = x[:, 0], x[:, 1]
    b, c, t = 5.1 / (4 * np.pi ** 2), 5 / np.pi, 1 / (8 * np.pi)
    return (x2 - b * x1 ** 2 + c * x1 - 6) ** 2 + 10 * (1 - t) * np.cos(x1) + 10


def hartmann6(x):
    import numpy as np
    alpha = np.array([1.0, 1.2, 3.0, 3.2])
    A = np.array([[10, 3, 17, 3.5, 1.7, 8], [0.05, 10, 17, 0.1, 8, 14],
                  [3, 3.5, 1.7, 10, 17, 8], [17, 8, 0.05, 10, 0.1, 14]])
    P = 1e-4 * np.array([[1312, 1696, 5569, 124, 8283, 5886], [2329, 4135, 8307, 3736, 1004, 9991],
                         [2348, 1451, 3522, 2883, 3047, 6650], [4047, 8828, 8732, 5743, 1091, 381]])
    inner = np.einsum("ij,nij->ni", A, (x[:, None, :] - P[None, :, :]) ** 2)
    return -np.exp(-inner) @ alpha


FUNCTIONS = {
    "branin": (branin, [(-5.0, 10.0), (0.0, 15.0)]),
    "hartmann6": (hartmann6, [(0.0, 1.0)] * 6),
}
CASES = ["branin-20", "branin-50", "branin-100", "hartmann6-60", "hartmann6-150"]


def latin_hypercube(n, bounds, seed):
    import numpy as np
    rng = np.random.default_rng(seed)
    d = len(bounds)
    u = np.empty((n, d))
    for k in range(d):
        u[:, k] = (rng.permutation(n) + rng.random(n)) / n
    lo = np.array([b[0] for b in bounds])
    hi = np.array([b[1] for b in bounds])
    return lo + u * (hi - lo)


def case_data(case):
    import numpy as np
    name, count = case.rsplit("-", 1)
    function, bounds = FUNCTIONS[name]
    n = int(count)
    train = latin_hypercube(n, bounds, seed=1000 + n)
    rng = np.random.default_rng(7)
    lo = np.array([b[0] for b in bounds])
    hi = np.array([b[1] for b in bounds])
    test = lo + rng.random((1000, len(bounds))) * (hi - lo)
    return train, function(train), test, function(test)


# ---------------------------------------------------------------------------------------------
# Models: each returns (hold-out predictions, fit seconds)
# ---------------------------------------------------------------------------------------------

def build_driver(build_dir):
    """Builds the external layer (Release) and links bench/surrogate_driver.cpp to it."""
    launcher = []
    if shutil.which("ccache"):
        launcher = ["-DCMAKE_CXX_COMPILER_LAUNCHER=ccache", "-DCMAKE_C_COMPILER_LAUNCHER=ccache"]
    if not os.path.exists(os.path.join(build_dir, "CMakeCache.txt")):
        subprocess.run(["cmake", "-S", ROOT, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release"] + launcher,
                       check=True, stdout=subprocess.DEVNULL)
    built = subprocess.run(["cmake", "--build", build_dir, "--target", "karvo_external", "-j2"],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if built.returncode != 0:
        sys.exit(built.stdout + "\nsurrogate_bench: the external layer did not build.")
    driver = os.path.join(build_dir, "surrogate_driver")
    libraries = [os.path.join(build_dir, "libkarvo_%s.a" % layer)
                 for layer in ("external", "base", "platform")]
    source = os.path.join(ROOT, "bench", "surrogate_driver.cpp")
    newest = max(os.path.getmtime(p) for p in libraries + [source])
    if not os.path.exists(driver) or os.path.getmtime(driver) < newest:
        subprocess.run(["g++", "-std=c++20", "-O3", "-DNDEBUG", "-I", os.path.join(ROOT, "src"),
                        "-I", "/usr/include/eigen3", source] + libraries + ["-o", driver],
                       check=True)
    return driver


def ours(driver, model):
    def fit_predict(train, y, test, bounds):
        import numpy as np
        with tempfile.TemporaryDirectory() as folder:
            paths = [os.path.join(folder, name) for name in ("train", "test", "out")]
            np.savetxt(paths[0], np.column_stack([train, y]), fmt="%.17g")
            np.savetxt(paths[1], test, fmt="%.17g")
            subprocess.run([driver, model] + paths, check=True)
            values = np.loadtxt(paths[2])
        return values[1:], float(values[0]), 0
    return fit_predict


def sklearn_gp(train, y, test, bounds):
    from sklearn.gaussian_process import GaussianProcessRegressor
    from sklearn.gaussian_process.kernels import RBF, ConstantKernel
    import numpy as np
    import warnings
    lo = np.array([b[0] for b in bounds])
    hi = np.array([b[1] for b in bounds])
    kernel = ConstantKernel(1.0) * RBF(length_scale=[0.3] * train.shape[1],
                                       length_scale_bounds=(1e-2, 1e2))
    model = GaussianProcessRegressor(kernel=kernel, n_restarts_optimizer=5, normalize_y=True,
                                     random_state=0)
    start = time.perf_counter()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        model.fit((train - lo) / (hi - lo), y)
    seconds = time.perf_counter() - start
    for warning in caught:
        print("sklearn-gp: %s: %s" % (warning.category.__name__, warning.message),
              file=sys.stderr)
    return model.predict((test - lo) / (hi - lo)), seconds, len(caught)


def scipy_rbf(train, y, test, bounds):
    from scipy.interpolate import RBFInterpolator
    start = time.perf_counter()
    model = RBFInterpolator(train, y)
    seconds = time.perf_counter() - start
    return model(test), seconds, 0


def r_squared(actual, predicted):
    import numpy as np
    return 1.0 - np.sum((actual - predicted) ** 2) / np.sum((actual - np.mean(actual)) ** 2)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build-dir", default=os.path.join(ROOT, "build-surrogate-bench"))
    parser.add_argument("--cases", default=",".join(CASES))
    parser.add_argument("--models", default="kriging,kriging-matern,kriging-gauss,sklearn-gp,"
                        "rbf-gaussian,"
                        "rbf-multiquadric,rbf-thinplate,rbf-cubic,scipy-rbf")
    parser.add_argument("--repeat", type=int, default=3,
                        help="fits per model and case; the smallest time is shown")
    args = parser.parse_args()
    ensure_packages()
    driver = build_driver(args.build_dir)
    models = {
        "kriging": ours(driver, "kriging"),              # correlation by likelihood
        "kriging-matern": ours(driver, "kriging-matern"),  # Matern 5/2 set
        "kriging-gauss": ours(driver, "kriging-gauss"),  # Gaussian set
        "kriging-linear": ours(driver, "kriging-linear"),
        "kriging-pso": ours(driver, "kriging-pso"),
        # Radial basis functions, shape chosen by leave-one-out (none for the last three).
        "rbf-gaussian": ours(driver, "rbf-gaussian"),
        "rbf-multiquadric": ours(driver, "rbf-multiquadric"),
        "rbf-invmultiquadric": ours(driver, "rbf-invmultiquadric"),
        "rbf-linear": ours(driver, "rbf-linear"),
        "rbf-thinplate": ours(driver, "rbf-thinplate"),
        "rbf-cubic": ours(driver, "rbf-cubic"),
        "sklearn-gp": sklearn_gp,
        "scipy-rbf": scipy_rbf,
    }
    chosen = args.models.split(",")
    for name in chosen:
        if name not in models:
            sys.exit("surrogate_bench: unknown model %s (known: %s)" % (name, ", ".join(models)))
    print("| case | n | d | model | hold-out R² | 1 − R² | fit time | warnings |")
    print("|---|---|---|---|---|---|---|---|")
    for case in args.cases.split(","):
        train, y, test, actual = case_data(case)
        bounds = FUNCTIONS[case.rsplit("-", 1)[0]][1]
        for name in chosen:
            best = None
            for _ in range(max(1, args.repeat)):
                predicted, seconds, warned = models[name](train, y, test, bounds)
                best = seconds if best is None else min(best, seconds)
            r2 = r_squared(actual, predicted)
            print("| %s | %d | %d | %s | %.6f | %.2e | %.3f s | %d |" % (
                case.split("-")[0], train.shape[0], train.shape[1], name, r2, 1.0 - r2, best,
                warned), flush=True)


if __name__ == "__main__":
    main()
