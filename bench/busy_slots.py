#!/usr/bin/python3
"""How busy the slots stay while a search's analyses take different times.

A TOLMAR (or GA) study of D designs (default 200) on two continuous variables, nParallel 8 on the local
resource, whose analysis sleeps a random time between LOW and HIGH seconds (default 1 to 10;
drawn from a seeded generator by the design number, so both runs draw the same times) and writes
its start and end. Runs it with whole generations and with `steadyState: 1`, and prints for each
the wall time, the sum of the analysis times and the share of slot-seconds busy:
sum of analysis times / (8 x wall time).

Usage: bench/busy_slots.py [karvo] [designs] [low] [high] [method]
       (default build/karvo 200 1 10 TOLMAR; method GA: a population of 20, a tournament of 3,
       the adaptive crossover and mutation, D / 20 - 1 generations after the first population)
"""
import os
import re
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
KARVO = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build/karvo"))
DESIGNS = int(sys.argv[2]) if len(sys.argv) > 2 else 200
LOW = float(sys.argv[3]) if len(sys.argv) > 3 else 1.0
HIGH = float(sys.argv[4]) if len(sys.argv) > 4 else 10.0
METHOD = sys.argv[5] if len(sys.argv) > 5 else "TOLMAR"
SLOTS = 8

ANALYSIS = """import os, random, sys, time
n = int(''.join(c for c in os.path.basename(os.getcwd()) if c.isdigit()))
seconds = random.Random(n * 7919).uniform({low}, {high})
start = time.time()
time.sleep(seconds)
with open({times!r}, 'a') as f:
    f.write('%d %.6f %.6f\\n' % (n, start, time.time()))
"""


def write_study(folder, steady):
    def put(name, text):
        with open(os.path.join(folder, name), "w") as f:
            f.write(text)
    put("Assembly.in", "*AGENT\nid: 0\nname: search\ntype: optimization\nrepresentation: 0\n"
        "performance: 0\nprocess: 0\n*END\n")
    variables = "".join("*DEFINE_VARIABLE\nname: %s\ntype: Continuous\nid: %d\nmin: 0\n"
                        "baseline: 9\nmax: 10\n" % (v, i + 1) for i, v in enumerate("xy"))
    put("Definitions.in", "*DEFINE_FORMAT\nname: Default\ntype: automatic\n" + variables +
        "*DEFINE_RESPONSE\nname: f\ntype: Formula\nformula: (x - 3)**2 + (y - 7)**2\n*END\n")
    put("Performance0.in", "*RESPONSE\nname: f\ntype: objective\noption: min_value\nfactor: 1\n"
        "target: 0\nquadWt: 0\nlinearWt: 1\n*END\n")
    put("Representation0.in", "*VARIABLE\nname: x\nid: 1\nresolution: 1001\n"
        "*VARIABLE\nname: y\nid: 2\nresolution: 1001\n*END\n")
    put("analysis.py", ANALYSIS.format(low=LOW, high=HIGH,
                                       times=os.path.join(folder, "times")))
    put("Process0.in", "*PROCESS\nname: p\nparallel: yes\n*ANALYSIS\nname: a\nid: 1\n"
        "*EXECUTION_DEFINITION\nanlFolder: designFolder\ntoolCmd: python3 %s\n"
        "numDesigns: %d\nsuccessReturnValue: 0\n*END\n"
        % (os.path.join(folder, "analysis.py"), SLOTS))
    put("study.in", "*STUDY\nname: busy\nstartAgent: 0\nendAgent: 0\nfilePrefix: busy\n"
        "randomSeed: 0.25\nnParallel: %d\nmode: newStudy\n*AGENT\nid: 0\n%s%s*END\n"
        % (SLOTS, method_lines(), "steadyState: 1\n" if steady else ""))


def method_lines():
    if METHOD == "GA":
        return ("method: GA\npopulationSize: 20\nnumCycles: 1\ngenerationsPerCycle: %d\n"
                "crossoverType: 3\nmutationType: 2\nselectionType: 0\nselectionParameter: 3\n"
                % max(1, DESIGNS // 20 - 1))
    return "method: TOLMAR\nnumEvals: %d\n" % DESIGNS


def measure(steady):
    with tempfile.TemporaryDirectory(prefix="karvo-busy-") as folder:
        write_study(folder, steady)
        started = time.monotonic()
        result = subprocess.run([KARVO, "i=study.in"], cwd=folder, capture_output=True,
                                env=dict(os.environ, KARVO_ROOT=folder))
        wall = time.monotonic() - started
        if result.returncode != 0:
            sys.exit("karvo failed (%d): %s" % (result.returncode, result.stderr.decode()))
        with open(os.path.join(folder, "times")) as f:
            rows = [line.split() for line in f if line.strip()]
        busy = sum(float(end) - float(start) for _, start, end in rows)
        best = re.findall(r"best f ([^ ]+)", result.stderr.decode())
        return len(rows), wall, busy, best[-1] if best else "?"


def main():
    print("%s, %d designs, analyses of %g to %g s, nParallel %d" % (METHOD, DESIGNS, LOW, HIGH, SLOTS))
    for steady in (False, True):
        count, wall, busy, best = measure(steady)
        print("%-18s designs %4d  wall %8.1f s  analyses %9.1f s  busy %5.1f %%  best f %s"
              % ("steady state" if steady else "whole generations", count, wall, busy,
                 100.0 * busy / (SLOTS * wall), best))


if __name__ == "__main__":
    main()
