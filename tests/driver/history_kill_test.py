#!/usr/bin/env python3
"""A formula-only study that rewrites its history after every evaluation is killed with
SIGKILL at random moments, again and again, each time resumed with useHistory. After every
kill the history file that remains must read back completely (every entry whole, the counters
after the last one), match its checksum file (a kill between the two renames of a save
included), hold each design at most once, and never lose a design an earlier file held; a
kill never leaves no history where there was one. The resumed run must report reading all of
them and evaluate only the others. At the end every design of the set is stored exactly once.

Usage: history_kill_test.py <karvo binary> [kills]
"""
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

DESIGNS = 400

ASSEMBLY = ("*TYPE\nversion: 2019.01\n*AGENT\nid: 0\nname: reference\ntype: evaluation\n"
            "representation: 0\nperformance: 0\nprocess: 0\n*END\n")
DEFINITIONS = ("*DEFINE_VARIABLE\nname: x\ntype: Continuous\nid: 1\nmin: 0\nbaseline: 1\nmax: 10\n"
               "*DEFINE_VARIABLE\nname: y\ntype: Continuous\nid: 2\nmin: 0\nbaseline: 1\nmax: 10\n"
               "*DEFINE_RESPONSE\nname: f\ntype: Formula\nformula: x * x + y\n"
               "*DEFINE_RESPONSE\nname: g\ntype: Formula\nformula: x - y\n*END\n")
REPRESENTATION = ("*VARIABLE\nname: x\nid: 1\nresolution: 101\n"
                  "*VARIABLE\nname: y\nid: 2\nresolution: 101\n*END\n")
PERFORMANCE = ("*RESPONSE\nname: f\ntype: objective\noption: min_value\nfactor: 1\ntarget: 0\n"
               "quadWt: 0\nlinearWt: 1\n*RESPONSE\nname: g\ntype: response\n*END\n")
PROCESS = "*TYPE\nversion: 2019.01\n*PROCESS\nname: formulas\n*END\n"
STUDY = ("*STUDY\nname: killed\nstartAgent: 0\nendAgent: 0\nfilePrefix: killed\n"
         "randomSeed: 0.5\nmode: {mode}\n*RUN_OPTIONS\nsaveHistoryForEachEval: 1\n*AGENT\nid: 0\n"
         "method: GA\npopulationSize: 4\nnumCycles: 1\ngenerationsPerCycle: 1\n"
         "crossoverType: 1\nmutationType: 0\nselectionType: 0\nselectionParameter: 2\n*END\n")


def design_lines():
    lines = ["*DESIGN_ONLY"]
    for i in range(DESIGNS):
        x = (i % 20) * 0.5
        y = (i // 20) * 0.5
        lines.append("dontMapDesign, d%d, %r, %r" % (i, x, y))
    lines.append("*END")
    return "\n".join(lines) + "\n"


class Corrupt(Exception):
    pass


def read_history(karvo, folder, history):
    """The design names of the history file, read by karvo export; raises Corrupt unless the
    file is complete (every entry whole, the counters after the last one) and matches its
    checksum file (the file as last written, or the one before it)."""
    read = subprocess.run([karvo, "export", history, "--format", "json"], cwd=folder,
                          env=dict(os.environ, KARVO_ROOT=folder), capture_output=True, text=True)
    if read.returncode != 0 or read.stderr:
        raise Corrupt("exit %d: %s" % (read.returncode, read.stderr.strip()))
    return [row["name"] for row in json.loads(read.stdout)]


def remove_history(history):
    for path in (history, history + ".sum"):
        if os.path.exists(path):
            os.remove(path)


def offer_designs(folder):
    """Writes the user designs file. A killed run leaves it in place (it is renamed only once
    its designs are evaluated), so the resumed run reads it again and must recognise the
    designs already stored."""
    with open(os.path.join(folder, "UserDesigns0_set.in"), "w") as f:
        f.write(design_lines())


def run(karvo, folder, mode, extra, kill_after):
    with open(os.path.join(folder, "study.in"), "w") as f:
        f.write(STUDY.format(mode=mode))
    # A killed run's lock file stays: the next run must take it over.
    for name in os.listdir(folder):
        if name.startswith("RESULTS_BACKUP_"):
            path = os.path.join(folder, name)
            shutil.rmtree(path) if os.path.isdir(path) else os.remove(path)
    env = dict(os.environ, KARVO_ROOT=folder)
    proc = subprocess.Popen([karvo, "i=study.in"] + extra, cwd=folder, env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if kill_after is None:
        return proc.wait(timeout=600)
    try:
        return proc.wait(timeout=kill_after)  # it ended before the kill
    except subprocess.TimeoutExpired:
        proc.send_signal(signal.SIGKILL)
        proc.wait()
        return None


def main():
    karvo = os.path.abspath(sys.argv[1])
    kills = int(sys.argv[2]) if len(sys.argv) > 2 else 24
    rng = random.Random(int(os.environ.get("KARVO_KILL_SEED", "20261206")))
    folder = tempfile.mkdtemp(prefix="karvo-kill-")
    for name, text in (("Assembly.in", ASSEMBLY), ("Definitions.in", DEFINITIONS),
                       ("Representation0.in", REPRESENTATION), ("Performance0.in", PERFORMANCE),
                       ("Process0.in", PROCESS)):
        with open(os.path.join(folder, name), "w") as f:
            f.write(text)
    history = os.path.join(folder, "killed0.hst")
    stored = []
    failures = []
    # A first complete run tells how long a whole run takes, and a second one that finds every
    # design stored how long a run takes to start and read them.
    offer_designs(folder)
    start = time.monotonic()
    status = run(karvo, folder, "newStudy", [], None)
    whole = time.monotonic() - start
    if status != 0 or len(read_history(karvo, folder, history)) != DESIGNS:
        print("the first run did not store every design (exit %s)" % status)
        return 1
    offer_designs(folder)
    start = time.monotonic()
    status = run(karvo, folder, "newStudy", ["useHistory"], None)
    startup = min(time.monotonic() - start, whole)
    if status != 0:
        print("the run that found every design stored ended with %d" % status)
        return 1
    remove_history(history)
    offer_designs(folder)
    resumed = []
    print("a whole run takes %.2f s, its start %.2f s" % (whole, startup))
    for k in range(kills):
        if len(stored) == DESIGNS:
            # Every design is stored: the next kills hit a new study from its start.
            remove_history(history)
            offer_designs(folder)
            stored = []
        extra = ["useHistory"] if os.path.exists(history) else []
        # The kill falls within the time that the designs not yet stored still need (a run's
        # time goes mostly to its saves, one for each design), or a little after: then the
        # run ends first, tells how long a design takes now, and the next kill hits a new study.
        left = startup + (whole - startup) * (1.0 - len(stored) / DESIGNS)
        start = time.monotonic()
        status = run(karvo, folder, "newStudy", extra, rng.uniform(0.0, 1.1 * left))
        if status not in (None, 0):
            failures.append("kill %d: the run ended by itself with %d" % (k, status))
            break
        if status is not None and DESIGNS - len(stored) >= DESIGNS // 4:
            took = time.monotonic() - start
            whole = 0.5 * whole + 0.5 * (startup + (took - startup) * DESIGNS /
                                         (DESIGNS - len(stored)))
        if not os.path.exists(history):
            if stored:
                failures.append("kill %d: the history file of %d designs is gone" %
                                (k, len(stored)))
                break
            continue  # killed before its first design was stored
        try:
            names = read_history(karvo, folder, history)
        except Corrupt as e:
            failures.append("kill %d: the history file is not complete or does not match its "
                            "checksum file: %s" % (k, e))
            break
        if names == stored:
            startup = min(1.5 * startup, whole)  # killed before its first save: start later
        if len(set(names)) != len(names):
            failures.append("kill %d: a design is stored twice" % k)
        if names[:len(stored)] != stored:
            failures.append("kill %d: designs of the earlier file were lost" % k)
        stored = names
        resumed.append(len(names))
    # The last run goes to the end.
    if len(stored) == DESIGNS:
        remove_history(history)
        offer_designs(folder)
        stored = []
    extra = ["useHistory"] if os.path.exists(history) else []
    status = run(karvo, folder, "newStudy", extra, None)
    messages = open(os.path.join(folder, "study.mes"), errors="replace").read()
    names = read_history(karvo, folder, history)
    if status != 0:
        failures.append("the last run ended with %d" % status)
    if sorted(names) != sorted("d%d" % i for i in range(DESIGNS)):
        failures.append("the last history does not hold every design exactly once (%d)" %
                        len(names))
    if stored and ("Read %d designs from history" % len(stored)) not in messages:
        failures.append("the last run did not read the %d stored designs" % len(stored))
    batches = [int(n) for n in re.findall(r"^Num in: (\d+),", messages, re.M)]
    if sum(batches) != DESIGNS - len(stored):
        failures.append("the last run evaluated %d designs, expected %d" %
                        (sum(batches), DESIGNS - len(stored)))
    print("%d kills, stored after each: %s" % (kills, resumed))
    for failure in failures:
        print("FAIL:", failure)
    if not failures:
        shutil.rmtree(folder)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
