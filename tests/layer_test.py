#!/usr/bin/env python3
"""The Linux layer's threads and message queues under load: runs queue_stress
(tests/layer/queue_stress.cpp) a few times, since a race shows in some runs only. Worth most on
the sanitizer builds, whose reports fail the run as in the scenarios.

    tests/layer_test.py [--native-build native|asan|tsan] [--runs N]
"""

import argparse
import os
import subprocess
import sys
import time

import harness

TIME_LIMIT = 60  # seconds; a lost message would leave a receiver waiting for ever


def run_once(program, environment):
    """None when the run held, else what went wrong."""
    try:
        done = subprocess.run([program], env=environment, capture_output=True, text=True, timeout=TIME_LIMIT)
    except subprocess.TimeoutExpired:
        return "did not end within %d s" % TIME_LIMIT
    report = harness.sanitizer_report(done.stderr)
    if report is not None:
        return "sanitizer report:\n" + report
    if done.returncode != 0:
        return "exit code %d\n%s%s" % (done.returncode, done.stdout, done.stderr)
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--native-build", default="native", help="build folder, e.g. a sanitizer build")
    parser.add_argument("--runs", type=int, default=5)
    options = parser.parse_args()

    program = os.path.join(harness.BUILD, options.native_build, "tests", "queue_stress")
    if not os.path.exists(program):
        sys.exit("no build: %s" % program)
    environment = {k: v for k, v in os.environ.items() if k not in ("ZAQSYS_TRACE", "ZAQSYS_FAIL")}
    environment.update(harness.SANITIZER_OPTIONS)

    failures = 0
    started = time.time()
    for run in range(1, options.runs + 1):
        problem = run_once(program, environment)
        if problem is None:
            print("ok    %s queue_stress run %d" % (options.native_build, run), flush=True)
        else:
            failures += 1
            print("FAIL  %s queue_stress run %d\n      %s" % (options.native_build, run,
                                                            problem.strip().replace("\n", "\n      ")), flush=True)
    print("layer: %d run, %d failed, %.0f s" % (options.runs, failures, time.time() - started))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
