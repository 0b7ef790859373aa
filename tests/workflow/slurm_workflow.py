#!/usr/bin/env python3
"""docs/workflow.md's Slurm command, as written, on a Slurm of one node.

The page's own lines put ldi on the PATH and go to the study's folder; its
simulated study is made by the page's command, then the page's cluster command
runs through workflow/profiles/slurm while this test cancels one subject's
job (every attempt of it). Then:
  - every subject but the cancelled one ran as a Slurm job, in the scheduler's
    own record (slurmctld's job completion log), and the group did not run;
  - the same command again runs the cancelled subject and the group, nothing else;
  - the group maps equal those of the page's `ldi bids` commands on one machine;
  - Snakemake kept its records out of the source folder.

Usage: slurm_workflow.py SOURCE_DIR LDI_PROGRAM
Exit status 77 (skipped) where it cannot run: not root, or Slurm is not
installed; with CI=true it fails there instead.
"""
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import threading
import time

SKIPPED = 77
CANCELLED_SUBJECT = "03"
SUBJECTS = ["01", "02", "03", "04", "05", "06"]


def cannot_run(why):
    if os.environ.get("CI") == "true":
        print("slurm_workflow: cannot run in CI: " + why, file=sys.stderr)
        sys.exit(1)
    print("slurm_workflow: skipped: " + why, file=sys.stderr)
    sys.exit(SKIPPED)


def section_commands(page, heading):
    """The command lines of the code blocks (indented by four spaces) in the
    section headed `heading`, continuation lines joined."""
    commands, inside, continued = [], False, False
    for line in page.splitlines():
        if line.startswith("#"):
            if inside:
                break
            inside = line == heading
            continue
        if not inside or not line.startswith("    "):
            continue
        line = line.strip()
        if continued:
            commands[-1] += " " + line
        else:
            commands.append(line)
        continued = line.endswith("\\")
        if continued:
            commands[-1] = commands[-1][:-1]
    return commands


def completed_jobs(log_path):
    """(name, state) of every job in the completion log, in the order they ended."""
    if not os.path.exists(log_path):
        return []
    jobs = []
    with open(log_path, encoding="utf-8") as log:
        for line in log:
            fields = dict(re.findall(r"(\w+)=(\S*)", line))
            jobs.append((fields.get("Name"), fields.get("JobState")))
    return jobs


class Canceller(threading.Thread):
    """Cancels every job of one name while the run goes on, as a user would with scancel."""

    def __init__(self, name, env):
        super().__init__(daemon=True)
        self.name, self.env, self.stop, self.cancelled = name, env, threading.Event(), set()

    def run(self):
        while not self.stop.is_set():
            listed = subprocess.run(["squeue", "-h", "-n", self.name, "-o", "%i"], env=self.env,
                                    capture_output=True, text=True).stdout.split()
            for job in listed:
                if job not in self.cancelled:
                    subprocess.run(["scancel", job], env=self.env, check=False)
                    self.cancelled.add(job)
            time.sleep(0.1)


def run_script(lines, cwd, env, log_path):
    with open(log_path, "w") as log:
        return subprocess.run(["bash", "-c", "set -eu\n" + "\n".join(lines)], cwd=cwd, env=env,
                              stdout=log, stderr=subprocess.STDOUT).returncode


def report(top, failures):
    for name in ("simulate.txt", "first.txt", "second.txt", "local.txt"):
        if os.path.exists(os.path.join(top, name)):
            with open(os.path.join(top, name)) as log:
                print("---- %s (last lines)\n%s" % (name, "".join(log.readlines()[-40:])), file=sys.stderr)
    print("\n".join("FAILED: " + f for f in failures), file=sys.stderr)
    print("slurm_workflow: the folder is kept: " + top, file=sys.stderr)


def check(condition, message, failures):
    if not condition:
        failures.append(message)


def main():
    source, ldi = sys.argv[1], sys.argv[2]
    if os.geteuid() != 0:
        cannot_run("needs root to start munged, slurmctld and slurmd")
    if not shutil.which("snakemake"):
        cannot_run("snakemake is not installed (scripts/bootstrap)")
    with open(os.path.join(source, "docs", "workflow.md"), encoding="utf-8") as stream:
        page = stream.read()
    setup = section_commands(page, "# Many subjects: the BIDS App and the Snakemake workflow")
    simulated = section_commands(page, "## A simulated study")
    cluster = [c for c in section_commands(page, "### On a cluster") if c.startswith("snakemake ")]
    assert len(setup) == 2 and setup[0].startswith("export PATH="), setup
    assert simulated[0].startswith("ldi simulate --bids study"), simulated
    local = [c for c in simulated if c.startswith("ldi bids ")]
    assert len(local) == 2 and len(cluster) == 1, (local, cluster)

    top = tempfile.mkdtemp(prefix="ldi-slurm-")
    os.chmod(top, 0o755)  # munged, as the munge user, reaches its folder in it
    failures = []
    try:
        # A folder laid out as the source folder: its workflow and the build folder that holds ldi.
        checkout = os.path.join(top, "source")
        os.makedirs(checkout)
        os.symlink(os.path.join(source, "workflow"), os.path.join(checkout, "workflow"))
        os.symlink(os.path.dirname(os.path.abspath(ldi)), os.path.join(checkout, "build"))
        started = subprocess.run([os.path.join(source, "scripts", "slurm-test-cluster"), "start",
                                  os.path.join(top, "slurm")], capture_output=True, text=True)
        if started.returncode == SKIPPED:
            cannot_run(started.stderr.strip())
        if started.returncode != 0:
            print(started.stdout + started.stderr, file=sys.stderr)
            return 1
        slurm = os.path.join(top, "slurm")
        env = dict(os.environ, HOME=os.path.join(top, "home"), SLURM_CONF=os.path.join(slurm, "slurm.conf"))
        # As in CI or cron: no login, so no USER.
        env.pop("USER", None)
        local_env = dict(env, HOME=os.path.join(top, "home-local"))
        jobcomp = os.path.join(slurm, "jobcomp.log")
        try:
            study = os.path.join(env["HOME"], "ldi-study")
            assert run_script(setup + simulated[:1], checkout, env, os.path.join(top, "simulate.txt")) == 0

            # The same study on this machine alone, while the cluster's jobs mostly wait on the scheduler.
            local_log = open(os.path.join(top, "local.txt"), "w")
            local_run = subprocess.Popen(["bash", "-c", "set -eu\n" + "\n".join(setup + simulated[:1] + local)],
                                         cwd=checkout, env=local_env, stdout=local_log, stderr=subprocess.STDOUT)
            started_at = time.monotonic()
            canceller = Canceller("ldi-sub-" + CANCELLED_SUBJECT, env)
            canceller.start()
            first = run_script(setup + cluster, checkout, env, os.path.join(top, "first.txt"))
            first_seconds = time.monotonic() - started_at
            canceller.stop.set()
            canceller.join()
            first_jobs = completed_jobs(jobcomp)
            check(first != 0, "the run with a cancelled job reported success", failures)
            check(canceller.cancelled, "no job named ldi-sub-%s was seen in the queue" % CANCELLED_SUBJECT,
                  failures)
            for subject in SUBJECTS:
                states = {state for name, state in first_jobs if name == "ldi-sub-" + subject}
                wanted = "CANCELLED" if subject == CANCELLED_SUBJECT else "COMPLETED"
                check(wanted in states, "sub-%s: %s, not %s, in the first run" % (subject, states, wanted),
                      failures)
            check(all(name != "ldi-group" for name, _ in first_jobs), "the group ran without all subjects",
                  failures)

            participant = os.path.join(study, "study/derivatives/ldi/sub-01/sub-01_participant.json")
            before = os.stat(participant).st_mtime_ns
            started_at = time.monotonic()
            second = run_script(setup + cluster, checkout, env, os.path.join(top, "second.txt"))
            second_seconds = time.monotonic() - started_at
            check(second == 0, "the second run failed", failures)
            rerun = completed_jobs(jobcomp)[len(first_jobs):]
            check(sorted(rerun) == [("ldi-group", "COMPLETED"), ("ldi-sub-" + CANCELLED_SUBJECT, "COMPLETED")],
                  "the second run ran %s, not only sub-%s and the group" % (rerun, CANCELLED_SUBJECT), failures)
            check(os.stat(participant).st_mtime_ns == before, "sub-01's results were written again", failures)

            local_status = local_run.wait()
            local_log.close()
            assert local_status == 0, "the local run failed"
            group = os.path.join(study, "study/derivatives/ldi/group")
            local_group = os.path.join(local_env["HOME"], "ldi-study/study/derivatives/ldi/group")
            maps = sorted(n for n in os.listdir(local_group) if n.endswith(".nii.gz"))
            check(len(maps) > 0, "the local run wrote no group maps", failures)
            for name in maps:
                path = os.path.join(group, name)
                same = os.path.exists(path) and open(path, "rb").read() == open(
                    os.path.join(local_group, name), "rb").read()
                check(same, "group map %s differs from the local run's" % name, failures)
            check(not os.path.exists(os.path.join(checkout, ".snakemake")),
                  "Snakemake wrote .snakemake/ into the source folder", failures)
            check(not os.path.exists(os.path.join(source, "workflow", ".snakemake")),
                  "Snakemake wrote .snakemake/ into the workflow folder", failures)
            print("slurm_workflow: %d group maps equal; first run %.0f s, second %.0f s; Slurm jobs: %s"
                  % (len(maps), first_seconds, second_seconds, completed_jobs(jobcomp)))
        finally:
            subprocess.run([os.path.join(source, "scripts", "slurm-test-cluster"), "stop", slurm])
        if failures:
            report(top, failures)
            return 1
    except BaseException:
        report(top, failures)
        raise
    shutil.rmtree(top)
    return 0


if __name__ == "__main__":
    sys.exit(main())
