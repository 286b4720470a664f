#!/usr/bin/env python3
"""Fault injection: every way a run can fail must give the exact message and
status 1, and must not lose output that was already produced.

usage: faults.py FILLVARS FAILCALL_LIBRARY|none

FAILCALL_LIBRARY is the interposer built from failcall.cpp; "none" skips the
cases that need it (sanitizer builds). FILLVARS_WRAPPER, if set, is a command
put in front of every run (for example tests/memcheck); the interposer cases
are skipped then, since the preload would reach the wrapper too.
"""
import os
import resource
import shlex
import signal
import subprocess
import sys
import tempfile
import time

FILLVARS = sys.argv[1]
FAILCALL = None if sys.argv[2] == "none" else sys.argv[2]
WRAPPER = shlex.split(os.environ.get("FILLVARS_WRAPPER", ""))
SLOW = 20 if WRAPPER else 1

ENV = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": "/h", "A": "1"}
NOMEM = b"fillvars: reallocarray: Cannot allocate memory\n"
NODUP = b"fillvars: strdup: Cannot allocate memory\n"
FULL = b"fillvars: write: No space left on device\n"

results = {"passed": 0, "failed": 0, "skipped": 0}


def show(data):
    text = repr(bytes(data[:200]))
    return text + (" ... (%d bytes)" % len(data) if len(data) > 200 else "")


def report(name, problems):
    if problems:
        results["failed"] += 1
        print("FAIL", name)
        for problem in problems:
            print("   ", problem)
    else:
        results["passed"] += 1
        print("ok  ", name)


def skip(name, why):
    results["skipped"] += 1
    print("skip", name, "(%s)" % why)


def run(args, stdin=b"", stdout="pipe", sigpipe="default", env=None, fsize=None,
        timeout=30):
    """Runs fillvars; stdin is bytes (from a regular file), "dir", "closed"
    or a file object; stdout is "pipe", "full", "closed", "gone" (a pipe
    whose reader has closed) or a path. Returns (status, stdout, stderr)."""
    with tempfile.TemporaryDirectory() as scratch:
        to_close = []
        if isinstance(stdin, bytes):
            path = os.path.join(scratch, "in")
            with open(path, "wb") as f:
                f.write(stdin)
            stdin_arg = open(path, "rb")
            to_close.append(stdin_arg)
        elif stdin == "dir":
            stdin_arg = os.open(scratch, os.O_RDONLY)
            to_close.append(stdin_arg)
        elif stdin == "closed":
            stdin_arg = subprocess.DEVNULL
        else:
            stdin_arg = stdin
        if stdout == "pipe":
            stdout_arg = subprocess.PIPE
        elif stdout == "full":
            stdout_arg = open("/dev/full", "wb")
            to_close.append(stdout_arg)
        elif stdout == "gone":
            reader, stdout_arg = os.pipe()
            os.close(reader)
            to_close.append(stdout_arg)
        elif stdout == "closed":
            stdout_arg = subprocess.DEVNULL
        else:
            stdout_arg = open(stdout, "wb")
            to_close.append(stdout_arg)

        def prepare():
            signal.signal(signal.SIGPIPE,
                          signal.SIG_IGN if sigpipe == "ignore" else signal.SIG_DFL)
            if fsize is not None:
                signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
                resource.setrlimit(resource.RLIMIT_FSIZE, (fsize, fsize))
            if stdin == "closed":
                os.close(0)
            if stdout == "closed":
                os.close(1)

        child_env = dict(ENV)
        child_env.update(env or {})
        proc = subprocess.Popen(WRAPPER + [FILLVARS] + args, stdin=stdin_arg,
                                stdout=stdout_arg, stderr=subprocess.PIPE,
                                env=child_env, preexec_fn=prepare)
        for item in to_close:
            item.close() if hasattr(item, "close") else os.close(item)
        try:
            out, err = proc.communicate(timeout=timeout * SLOW)
        except subprocess.TimeoutExpired:
            proc.kill()
            out, err = proc.communicate()
            return "timeout", out or b"", err
        return proc.returncode, out or b"", err


def expect(name, got, status, stdout=b"", stderr=b""):
    problems = []
    if got[0] != status:
        problems.append("status %s, expected %s" % (got[0], status))
    if stdout is not None and got[1] != stdout:
        problems.append("stdout %s\n    expected %s" % (show(got[1]), show(stdout)))
    if got[2] != stderr:
        problems.append("stderr %s\n    expected %s" % (show(got[2]), show(stderr)))
    report(name, problems)


# 8-byte lines, so that 128 KiB blocks end on line boundaries.
LINE_IN, LINE_OUT = b"k=${A};\n", b"k=1;\n"


def allocation_cases():
    """Allocation failures while the operands are taken in: nothing is printed
    or filtered, and the count of the failing call proves the interposer
    reaches the program's own calls (one more call and the run succeeds)."""
    cases = [
        # name, args, failing call, expected stdout, stderr, status
        ("reallocarray fails on the first name", ["A"], "reallocarray:1", b"", NOMEM, 1),
        ("reallocarray fails as the list grows", ["A,B", "C"], "reallocarray:3", b"", NOMEM, 1),
        ("reallocarray fails in listing mode", ["-v", "A,B", "C"], "reallocarray:3", b"",
         NOMEM, 1),
        ("reallocarray one call later succeeds", ["-v", "A,B", "C"], "reallocarray:4",
         b"A\nB\nC\n", b"", 0),
        ("reallocarray fails on the 1000th name", ["N%d" % i for i in range(1000)],
         "reallocarray:1000", b"", NOMEM, 1),
        ("strdup fails on the first name", ["A"], "strdup:1", b"", NODUP, 1),
        ("strdup fails on a later name", ["-v", "A", "B,C"], "strdup:2", b"", NODUP, 1),
        ("strdup one call later succeeds", ["-v", "A", "B,C"], "strdup:4", b"A\nB\nC\n",
         b"", 0),
    ]
    for name, args, call, out, err, status in cases:
        env = {"LD_PRELOAD": FAILCALL, "FAILCALL": call}
        expect(name, run(args, stdin=b"a=$A\n", env=env), status, out, err)

    # A read error after two full blocks: both are written, then the message.
    env = {"LD_PRELOAD": FAILCALL, "FAILCALL": "read:3"}
    expect("read fails after two blocks, both written",
           run([], stdin=LINE_IN * 65536, env=env), 1, LINE_OUT * 32768,
           b"fillvars: read: Input/output error\n")
    env = {"LD_PRELOAD": FAILCALL, "FAILCALL": "write:1"}
    expect("write fails at once", run([], stdin=b"a\n", env=env), 1, b"",
           b"fillvars: write: Input/output error\n")


def read_cases():
    expect("directory as standard input", run([], stdin="dir"), 1, b"",
           b"fillvars: read: Is a directory\n")
    expect("closed standard input", run([], stdin="closed"), 1, b"",
           b"fillvars: read: Bad file descriptor\n")
    expect("listing mode does not read a directory", run(["-v", "A"], stdin="dir"), 0,
           b"A\n")


def write_cases():
    # Every mode writes through the same check: the message and status 1.
    for name, args, stdin in [
        ("substitution", [], b"a=$A\n"),
        ("substitution, listed name", ["A"], b"a=$A $B\n"),
        ("listing", ["-v", "A,B"], b""),
        ("usage", ["-h"], b""),
        ("version", ["-V"], b""),
    ]:
        expect(name + " into /dev/full", run(args, stdin=stdin, stdout="full"), 1, None,
               FULL)
        expect(name + " into a closed standard output", run(args, stdin=stdin,
               stdout="closed"), 1, None, b"fillvars: write: Bad file descriptor\n")
        expect(name + " into a pipe with no reader, SIGPIPE ignored",
               run(args, stdin=stdin, stdout="gone", sigpipe="ignore"), 1, None,
               b"fillvars: write: Broken pipe\n")
    expect("a pipe with no reader keeps the default SIGPIPE",
           run([], stdin=b"a\n", stdout="gone"), -signal.SIGPIPE, None, b"")
    expect("empty input into /dev/full writes nothing and succeeds",
           run([], stdin=b"", stdout="full"), 0, None, b"")

    # A file size limit cuts the output at an odd byte: what fits is there,
    # exactly, and the rest is reported.
    limit = 100003
    with tempfile.TemporaryDirectory() as scratch:
        path = os.path.join(scratch, "out")
        got = run([], stdin=LINE_IN * 40000, stdout=path, fsize=limit)
        with open(path, "rb") as f:
            written = f.read()
    expect("output cut by a size limit keeps every byte before it",
           (got[0], written, got[2]), 1, (LINE_OUT * 40000)[:limit],
           b"fillvars: write: File too large\n")

    # Endless input into a sink that fails must end by itself.
    for sink, sigpipe, err in [("full", "default", FULL),
                               ("gone", "ignore", b"fillvars: write: Broken pipe\n")]:
        name = "endless input into %s ends by itself" % sink
        yes = subprocess.Popen(["yes", "$HOME"], stdout=subprocess.PIPE)
        start = time.monotonic()
        got = run([], stdin=yes.stdout, stdout=sink, sigpipe=sigpipe, timeout=10)
        took = time.monotonic() - start
        yes.stdout.close()
        yes.kill()
        yes.wait()
        expect(name + " (%.2f s)" % took, got, 1, None, err)


if FAILCALL is None:
    skip("allocation, read and write failures through the interposer", "no interposer")
elif WRAPPER:
    skip("allocation, read and write failures through the interposer", "under a wrapper")
else:
    allocation_cases()
read_cases()
write_cases()
print("%(passed)d passed, %(failed)d failed, %(skipped)d skipped" % results)
sys.exit(1 if results["failed"] else 0)
