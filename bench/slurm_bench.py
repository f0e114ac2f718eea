#!/usr/bin/python3
"""The solver's own cost while its analyses run as Slurm jobs, how soon it notices a job's end,
and how many scheduler commands it runs.

A design of experiments of N runs (default 200) whose analysis is a Slurm batch job that
sleeps 2 s, P at a time (default 16: nParallel and numDesigns P, sbatch --oversubscribe so that
one-CPU jobs share the node), on the Scheduled resource of docs/scale-out.md with the finish
check once a second (finishCheckFrequency 1). Each job's last command writes the time of its
end; the analysis's post command, which the solver runs as soon as it has seen the end, writes
the time of the detection. sbatch, squeue and scancel are wrappers first on PATH that count
their calls and run the real ones.

With the mode "batch" the analysis sets jobBatchMode: numDesigns covers all N designs, which
go to Slurm as job arrays, and Slurm runs P of them at a time (--array=0-<last>%P).

Prints the wall time of the study against the ideal (N * 2 s / P; the one-node cluster of
scripts/cluster runs at most four jobs per core at once, so on a small machine the ideal is
out of reach), the solver's own CPU time (utime + stime of the karvo process, sampled from
/proc until it exits), the CPU time of the solver with its scheduler commands (the children's
rusage), the number of sbatch, squeue and scancel calls (squeue also per second of wall
time), and the delay between each job's end and its detection (mean, median, min, max).

With "login" after the mode the jobs go through a login node: the OpenSSH server of
scripts/sshd on the loopback interface, reached through a remote machine profile with the
server's client configuration, and a resource with jobRemote, whose jobPrependPath puts the
counting wrappers first on the PATH of the ssh sessions (they run the real commands with the
cluster's SLURM_CONF, which a login does not carry). Each wrapper notes the user it runs as:
the scheduler commands counted are those run as the remote user, and any run here is counted
apart (it should be none). The job's end stamp comes back as an output file; the post command
runs here, after the outputs have come back. The ssh and scp clients are wrappers first on
the solver's PATH, counted too; the CPU time with the scheduler commands is then that of the
ssh and scp clients (the commands themselves run under sshd, not under the solver).

Usage: bench/slurm_bench.py [karvo] [runs] [frequency] [parallel] [one|batch] [login]; starts
and stops its own one-node cluster with scripts/cluster, and with "login" its own sshd with
scripts/sshd (default build/karvo, 200 runs, 1 s, 16, one, on this machine).
"""
import glob
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
KARVO = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build/karvo"))
RUNS = int(sys.argv[2]) if len(sys.argv) > 2 else 200
FREQUENCY = int(sys.argv[3]) if len(sys.argv) > 3 else 1
PARALLEL = int(sys.argv[4]) if len(sys.argv) > 4 else 16
BATCH = (sys.argv[5] if len(sys.argv) > 5 else "one") == "batch"
LOGIN = (sys.argv[6] if len(sys.argv) > 6 else "") == "login"
if (len(sys.argv) > 5 and sys.argv[5] not in ("one", "batch")) or \
        (len(sys.argv) > 6 and not LOGIN) or len(sys.argv) > 7:
    sys.exit("usage: bench/slurm_bench.py [karvo] [runs] [frequency] [parallel] [one|batch] "
             "[login]")
COMMANDS = ("sbatch", "squeue", "scancel")
CLIENTS = ("ssh", "scp")

RESOURCE = """*DEFINE_COMPUTE_RESOURCE
name: slurm
type: Scheduled
jobCommand: sbatch --job-name=%JOBNAME% --output=slurm.out --oversubscribe
jobReadID: 1
jobIDStart: Submitted batch job
finishCmd: squeue --noheader --format="%i %T"
finishCmdCheck: 1
finishReturnValue: 0
finishFindJob: ID
useJobStatus: 1
jobStartedText: RUNNING
jobStartedCol: 2
killCmd: scancel %JOBID%
""" + (f"jobArrayOption: --array=0-%LASTTASK%%{PARALLEL}\n" if BATCH else "")


def write_wrappers(folder, conf=None):
    """sbatch, squeue and scancel that count their calls in <folder>/<name>.calls. With `conf`
    (through the login node) they note the user they run as and run the real commands against
    that slurm.conf, and ssh and scp that count their calls join them."""
    os.makedirs(folder)
    os.chmod(folder, 0o755)
    for name in COMMANDS + (CLIENTS if conf else ()):
        real = shutil.which(name)
        path = os.path.join(folder, name)
        # The remote user appends to the calls files of the Slurm commands.
        write(folder, name + ".calls", "")
        os.chmod(path + ".calls", 0o666)
        setting = f"SLURM_CONF='{conf}' " if conf and name in COMMANDS else ""
        who = '"$(id -un)"' if conf else "x"
        write(folder, name, f"#!/bin/sh\necho {who} >> '{path}.calls'\n"
              f"{setting}exec '{real}' \"$@\"\n")
        os.chmod(path, 0o755)


def calls(folder, name, user=None, here=False):
    """The calls of `name`; with `user` only those run as that user, or with `here` only
    those run as another one."""
    try:
        with open(os.path.join(folder, name + ".calls")) as f:
            users = f.read().splitlines()
    except OSError:
        return 0
    if user is None:
        return len(users)
    return sum(1 for who in users if (who == user) != here)


def start_sshd(folder):
    """Starts scripts/sshd in `folder`; the NAME=value settings it printed."""
    started = subprocess.run([os.path.join(ROOT, "scripts/sshd"), "start", folder], check=True,
                             stdout=subprocess.PIPE, text=True)
    return dict(line.split("=", 1) for line in started.stdout.splitlines() if "=" in line)


def login_lines(sshd, remote_path, wrappers):
    """The remote machine profile "login" of the sshd and the resource's lines that submit
    through it, with the counting Slurm commands first on the PATH of the ssh sessions."""
    config = sshd["SSHD_CONFIG"]
    return (f"*DEFINE_REMOTE_MACHINE\nname: login\nplatform: Linux\nhost: karvo-sshd\n"
            f"remotePath: {remote_path}\nSSHcmd: ssh -F \"{config}\"\n"
            f"SCPcmd: scp -F \"{config}\"\n",
            f"jobRemote: yes\njobRemoteProfile: login\njobPrependPath: {wrappers}\n")


def write(folder, name, text):
    with open(os.path.join(folder, name), "w") as f:
        f.write(text)


def write_study(folder, profile="", remote=""):
    levels = max(2, (RUNS + 1) // 2)
    write(folder, "Assembly.in", "*TYPE\nversion: 2019.01\n*AGENT\nid: 0\nname: jobs\ntype: doe\n"
          "representation: 0\nperformance: 0\nprocess: 0\n*END\n")
    write(folder, "Definitions.in", "*DEFINE_FORMAT\nname: Default\ntype: automatic\n"
          "*DEFINE_VARIABLE\nname: x\ntype: Continuous\nid: 1\nmin: 0\nbaseline: 1\nmax: 2\n"
          "*DEFINE_VARIABLE\nname: y\ntype: Continuous\nid: 2\nmin: 0\nbaseline: 1\n"
          f"max: {levels + 1}\n*DEFINE_RESPONSE\nname: f\ntype: File\n" + profile + RESOURCE +
          remote + "*END\n")
    values = f"levels:{levels}\n" + "".join(f"{level + 1}\n" for level in range(levels))
    write(folder, "Representation0.in", "*VARIABLE\nname: x\nid: 1\nresolution: 5\n"
          "*VARIABLE\nname: y\nid: 2\nresolution: 5\n*FACTOR\nname: x\n" + values +
          "*FACTOR\nname: y\n" + values + "*END\n")
    write(folder, "Doe_input.in", f"{RUNS} 2 {levels}\n" +
          "".join(f"{run % 2} {run // 2}\n" for run in range(RUNS)))
    write(folder, "Performance0.in", "*RESPONSE\nname: f\ntype: objective\nfactor: 1\n"
          "option: min_value\ntarget: 0\nquadWt: 0\nlinearWt: 1\n*END\n")
    write(folder, "calc.tpl", "{{x}} {{y}}\n")
    write(folder, "calc.sh", "sleep 2\nread x y < calc.inp\necho \"RESULT F = $x\" > calc.out\n"
          "date +%s.%N > end.stamp\n")
    write(folder, "f.def", "file: calc.out\nanchor: RESULT F\nword: 4\n")
    write(folder, "Process0.in", "*TYPE\nversion: 2019.01\n*PROCESS\nname: p\nparallel: yes\n"
          "*ANALYSIS\nname: calc\nid: 1\ninputFile: calc.sh, studyFolder, , file, yes\n"
          "inputTagFile: calc.tpl, calc.inp\noutputFile: calc.out\noutputTagFile: f, f.def\n"
          "outputResponse: f\ncomputeResource: slurm\n" + ("jobBatchMode: 1\n" if BATCH else "") +
          ("outputFile: end.stamp\n" if remote else "") +
          "*EXECUTION_DEFINITION\ntoolCmd: sh calc.sh\nsuccessReturnValue: 0\n"
          f"finishCheckFrequency: {FREQUENCY}\nnumDesigns: {RUNS if BATCH else PARALLEL}\n"
          "postCmd: date +%s.%N > detected.stamp\npostAnalysisOptions: analysisFolder, , 0\n"
          "*END\n")
    write(folder, "study.in", "*STUDY\nname: jobs\nstartAgent: 0\nendAgent: 0\nfilePrefix: jobs\n"
          f"randomSeed: 0.5\nnParallel: {RUNS if BATCH else PARALLEL}\nmode: newStudy\n"
          "*RUN_OPTIONS\nuseBaseline: 0\n"
          "*AGENT\nid: 0\nmethod: DOE\nsampleMethod: OtherFile\ngenRSMAfterStudy: 0\n*END\n")


def main():
    work = tempfile.mkdtemp(prefix="karvo-slurm-bench.")
    # The remote user reads the cluster's configuration and munge socket and runs the wrappers.
    os.chmod(work, 0o755)
    cluster, study = os.path.join(work, "cluster"), os.path.join(work, "study")
    os.makedirs(study)
    subprocess.run([os.path.join(ROOT, "scripts/cluster"), "start", cluster], check=True,
                   stdout=subprocess.DEVNULL)
    sshd, remote_root = None, None
    try:
        wrappers = os.path.join(work, "bin")
        conf = os.path.join(cluster, "slurm.conf")
        if LOGIN:
            sshd = start_sshd(os.path.join(work, "sshd"))
            # Relative to the remote user's home folder.
            remote_path = os.path.basename(work)
            remote_root = os.path.join(sshd["SSHD_HOME"], remote_path)
            write_wrappers(wrappers, conf)
            write_study(study, *login_lines(sshd, remote_path, wrappers))
        else:
            write_wrappers(wrappers)
            write_study(study)
        env = dict(os.environ, KARVO_ROOT=study, SLURM_CONF=conf,
                   PATH=wrappers + ":" + os.environ["PATH"])
        if LOGIN:
            # Only the login node's commands know the cluster.
            del env["SLURM_CONF"]
        ticks = os.sysconf("SC_CLK_TCK")
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        start = time.time()
        karvo = subprocess.Popen([KARVO, "i=study.in"], cwd=study, env=env,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        own = 0.0
        while karvo.poll() is None:
            try:
                with open(f"/proc/{karvo.pid}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                if fields[0] != "Z":
                    own = (int(fields[11]) + int(fields[12])) / ticks
            except OSError:
                pass
            time.sleep(0.05)
        wall = time.time() - start
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        children = after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime
        delays = []
        for end in glob.glob(os.path.join(study, "jobs_0/Design*/calc/end.stamp")):
            detected = end.replace("end.stamp", "detected.stamp")
            if os.path.exists(detected):
                with open(end) as e, open(detected) as d:
                    delays.append(float(d.read()) - float(e.read()))
        mode = "job arrays (jobBatchMode)" if BATCH else "one sbatch per job"
        if LOGIN:
            mode += " through the login node"
        print(f"{RUNS} jobs of 2 s, {PARALLEL} at a time, {mode}, finish check every {FREQUENCY} "
              f"s: exit status {karvo.returncode}, wall {wall:.1f} s (ideal {RUNS * 2 / PARALLEL:.0f} s)")
        user = sshd["SSHD_USER"] if LOGIN else None
        counted = {name: calls(wrappers, name, user) for name in COMMANDS}
        print(f"scheduler commands: sbatch {counted['sbatch']}, squeue {counted['squeue']} "
              f"({counted['squeue'] / wall:.2f} a second), scancel {counted['scancel']}")
        if LOGIN:
            here = {name: calls(wrappers, name, user, here=True) for name in COMMANDS}
            print(f"through ssh as {user}: ssh {calls(wrappers, 'ssh')}, scp "
                  f"{calls(wrappers, 'scp')}; scheduler commands run here instead: "
                  + ", ".join(f"{name} {here[name]}" for name in COMMANDS))
            print(f"solver's own CPU time {own:.2f} s; with its ssh and scp clients "
                  f"{children:.2f} s")
        else:
            print(f"solver's own CPU time {own:.2f} s; with its scheduler commands "
                  f"{children:.2f} s")
        if delays:
            print(f"end of job to detection ({len(delays)} jobs): mean {statistics.mean(delays):.2f} s, "
                  f"median {statistics.median(delays):.2f} s, min {min(delays):.2f} s, "
                  f"max {max(delays):.2f} s")
    finally:
        if LOGIN:
            subprocess.run([os.path.join(ROOT, "scripts/sshd"), "stop", os.path.join(work, "sshd")])
            if remote_root:
                shutil.rmtree(remote_root, ignore_errors=True)
        subprocess.run([os.path.join(ROOT, "scripts/cluster"), "stop", cluster])
    print(f"Study folder: {study}")


if __name__ == "__main__":
    main()
