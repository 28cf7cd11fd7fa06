#!/usr/bin/env python3
"""Golden logs: host operations (a `vexcard batch` file) with the log the driver writes for
them against the simulated terminal.

  golden.py check --vexcard PATH --terminal PATH NAME.batch...
  golden.py regen --vexcard PATH --terminal PATH NAME.batch...

A batch file opens with "# terminal: OPTIONS", the options of vexcard-terminal that make
the terminal behave as wanted (cards, faults; files relative to this folder). `regen` runs
the batch through the driver (vexcard --port 7 --test-timing) against vexcard-terminal
--listen with those options and keeps the driver's log as NAME.log. `check` runs the same
batch against `vexcard-terminal --replay NAME.log --fast` and fails when the terminal saw a
request differ from the logged one or when the driver's log lines differ from NAME.log
as `vexcard log --comparable` shows them: time stamps, the CTS lines and the fields that
differ between runs aside); it prints the divergences and the diff.
"""
import argparse
import difflib
import os
import pathlib
import re
import shlex
import signal
import subprocess
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
TIMEOUT = 120
REPLAY_GRACE = 10


def terminal_options(batch):
    for line in batch.read_text(encoding="utf-8").splitlines():
        if line.startswith("# terminal:"):
            return shlex.split(line[len("# terminal:"):])
    return []


def session(args, terminal_args, batch, log, work):
    """Runs the batch against a vexcard-terminal with terminal_args; the terminal's result."""
    terminal = subprocess.Popen([args.terminal, "--listen", "127.0.0.1:0", *terminal_args],
                                cwd=HERE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                text=True)
    try:
        url = None
        for line in terminal.stderr:
            m = re.search(r"rfc2217://[0-9.]+:\d+", line)
            if m:
                url = m.group(0)
                break
        if url is None:
            raise RuntimeError("vexcard-terminal did not start: " + terminal.stderr.read())
        env = dict(os.environ, VEXCARD_COM7=url, VEXCARD_SETTINGS_DIR=str(work / "settings"))
        host = subprocess.run([args.vexcard, "--port", "7", "--test-timing", "--log", str(log),
                               "batch", str(batch)], env=env, capture_output=True, text=True,
                              timeout=TIMEOUT)
        # A replay ends by itself once the log's last request is answered; one that waits for
        # requests that will not come is stopped, and reports them.
        try:
            if "--replay" not in terminal_args:
                raise subprocess.TimeoutExpired(args.terminal, 0)
            out, err = terminal.communicate(timeout=REPLAY_GRACE)
        except subprocess.TimeoutExpired:
            terminal.send_signal(signal.SIGINT)
            out, err = terminal.communicate(timeout=TIMEOUT)
        return terminal.returncode, out, err, host
    finally:
        if terminal.poll() is None:
            terminal.kill()
            terminal.wait()


def comparable(args, log):
    """The log's lines as `vexcard log --comparable` gives them."""
    result = subprocess.run([args.vexcard, "log", "--comparable", str(log)], capture_output=True,
                            check=True, timeout=TIMEOUT)
    return result.stdout.decode("utf-8").splitlines()


def regen(args, batch, work):
    log = batch.with_suffix(".log")
    rc, _, err, host = session(args, [*terminal_options(batch), "--quiet"], batch, work / "new.log",
                               work)
    if rc != 0 or not (work / "new.log").exists():
        print(f"{batch.name}: the terminal ended with {rc}:\n{err}{host.stderr}")
        return False
    log.write_bytes((work / "new.log").read_bytes())
    print(f"{log.name}: {len(comparable(args, log))} lines")
    return True


def check(args, batch, work):
    golden = batch.with_suffix(".log")
    rc, out, err, host = session(args, ["--replay", str(golden), "--fast", "--quiet"], batch,
                                 work / "replay.log", work)
    expected = comparable(args, golden)
    got = comparable(args, work / "replay.log") if (work / "replay.log").exists() else []
    ok = rc == 0 and expected == got
    if rc != 0:
        print(f"{batch.name}: the replaying terminal ended with {rc}\n{out}{err}")
    if expected != got:
        print(f"{batch.name}: the driver's log differs from {golden.name} "
              "(scripts/golden regenerates it when the change is intended):")
        sys.stdout.writelines(l + "\n" for l in difflib.unified_diff(
            expected, got, golden.name, "this run", lineterm="", n=2))
    if not ok and host.stderr:
        print("vexcard:", host.stderr)
    return ok


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=["check", "regen"])
    parser.add_argument("--vexcard", required=True)
    parser.add_argument("--terminal", required=True)
    parser.add_argument("batches", nargs="*")
    args = parser.parse_intermixed_args()
    args.vexcard, args.terminal = (str(pathlib.Path(p).resolve()) for p in (args.vexcard, args.terminal))
    batches = [(pathlib.Path(b) if pathlib.Path(b).exists() else HERE / b).resolve()
               for b in args.batches] or sorted(HERE.glob("*.batch"))
    ok = True
    for batch in batches:
        with tempfile.TemporaryDirectory() as tmp:
            ok = (regen if args.mode == "regen" else check)(args, batch, pathlib.Path(tmp)) and ok
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
