#!/usr/bin/env python3
"""Non-blocking descriptors: a pipe handed over in non-blocking mode is waited
on, never a failure. Input from a writer that pauses, output to a reader that
is slow, and both at once must give every byte, status 0 and an empty
standard error, however slow the machine. The pauses only make the pipes run
empty or full; nothing is timed, but a run that has not ended after LIMIT
seconds (each takes one or two) has hung: it is killed and the case fails,
so a wait that never wakes shows in seconds, under the case's name.

usage: nonblocking.py FILLVARS FAILCALL_LIBRARY|none

FAILCALL_LIBRARY (tests/failcall.cpp) makes poll itself fail, to check the
message; "none" skips that (sanitizer builds). FILLVARS_WRAPPER, if set, is a
command put in front of every run (for example tests/memcheck); the poll
failure cases are skipped then, since the preload would reach the wrapper too.
"""
import fcntl
import os
import shlex
import subprocess
import sys
import tempfile
import threading
import time

FILLVARS = os.path.abspath(sys.argv[1])
FAILCALL = None if sys.argv[2] == "none" else sys.argv[2]
WRAPPER = shlex.split(os.environ.get("FILLVARS_WRAPPER", ""))
SLOW = 20 if WRAPPER else 1
LIMIT = 15 * SLOW
STUCK = "hung: killed after %d s" % LIMIT

ENV = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "A": "1", "LONG": "v" * 300}

failures = []


def nonblocking_pipe(end):
    """A pipe whose read (end 0) or write (end 1) side is non-blocking."""
    ends = os.pipe()
    flags = fcntl.fcntl(ends[end], fcntl.F_GETFL)
    fcntl.fcntl(ends[end], fcntl.F_SETFL, flags | os.O_NONBLOCK)
    return ends


def feed(fd, pieces):
    """Writes the pieces to fd with a pause before each, then closes it. A run
    that failed stops reading; its result tells what went wrong."""
    with os.fdopen(fd, "wb", buffering=0) as f:
        try:
            for piece in pieces:
                time.sleep(0.2)
                f.write(piece)
        except BrokenPipeError:
            pass


def drain(fd, into, slow):
    """Reads fd to its end into the list; when slow, waits first and between
    small reads, so that the writer finds the pipe full again and again."""
    with os.fdopen(fd, "rb", buffering=0) as f:
        if slow:
            time.sleep(0.3)
        reads = 0
        while True:
            chunk = f.read(16384 if slow else 65536)
            if not chunk:
                return
            into.append(chunk)
            reads += 1
            if slow and reads % 16 == 0:
                time.sleep(0.02)


def run(stdin, stdout, extra_env=None, args=()):
    """Runs fillvars. stdin: bytes (a regular file), a list of pieces for a
    pausing writer on a non-blocking pipe, or "held" (a non-blocking pipe
    that stays empty and open until the run ends). stdout: "pipe", "slow" (a
    non-blocking pipe drained slowly) or "held" (a non-blocking pipe read only
    after the run ends, so it fills). Returns (status, stdout, stderr)."""
    with tempfile.TemporaryFile() as err_file, tempfile.TemporaryFile() as in_file:
        threads = []
        writer = None
        if isinstance(stdin, bytes):
            in_file.write(stdin)
            in_file.seek(0)
            child_in = os.dup(in_file.fileno())
        else:
            child_in, writer = nonblocking_pipe(0)
            if stdin != "held":
                threads.append(threading.Thread(target=feed, args=(writer, stdin)))
        reader, child_out = os.pipe() if stdout == "pipe" else nonblocking_pipe(1)
        chunks = []
        if stdout != "held":
            threads.append(threading.Thread(target=drain,
                                            args=(reader, chunks, stdout == "slow")))
        try:
            proc = subprocess.Popen(WRAPPER + [FILLVARS] + list(args), stdin=child_in, stdout=child_out,
                                    stderr=err_file, env=dict(ENV, **(extra_env or {})))
        finally:
            os.close(child_in)
            os.close(child_out)
        for thread in threads:
            thread.start()
        try:
            status = proc.wait(timeout=LIMIT)
        except subprocess.TimeoutExpired:
            proc.kill()
            status = STUCK
            proc.wait()
        if stdin == "held":
            os.close(writer)
        if stdout == "held":
            drain(reader, chunks, False)
        for thread in threads:
            thread.join()
        err_file.seek(0)
        return status, b"".join(chunks), err_file.read()


def check(name, got, status, stdout, stderr=b""):
    problems = []
    if got[0] != status:
        problems.append("status %s, expected %s" % (got[0], status))
    if stdout is not None and got[1] != stdout:
        same = 0
        while same < min(len(got[1]), len(stdout)) and got[1][same] == stdout[same]:
            same += 1
        problems.append("stdout: %d bytes, expected %d; first difference at byte %d"
                        % (len(got[1]), len(stdout), same))
    if got[2] != stderr:
        problems.append("stderr %r, expected %r" % (got[2][:300], stderr[:300]))
    print(("FAIL " if problems else "ok   ") + name)
    for problem in problems:
        print("    " + problem)
    if problems:
        failures.append(name)


# Pieces cut inside references, so the carried part waits with the pipe empty.
PIECES = [b"a=$A b=${", b"A} c=$LO", b"NG", b" d=$A\n", b"tail ${A}"]
PIECES_OUT = b"a=1 b=1 c=" + b"v" * 300 + b" d=1\ntail 1"

# About 2 MB out, many pipe buffers' worth; lines of mixed length so that the
# writes are not all the same size.
LINES = b"".join(b"line %d ${A} $LONG text\n" % i + b"x" * (i % 97) + b"\n"
                 for i in range(5000))
LINES_OUT = LINES.replace(b"${A}", b"1").replace(b"$LONG", b"v" * 300)


def big_pieces(data, count):
    step = len(data) // count + 1
    return [data[i:i + step] for i in range(0, len(data), step)]


check("non-blocking input, writer pauses", run(PIECES, "pipe"), 0, PIECES_OUT)
check("non-blocking input, nothing written", run([], "pipe"), 0, b"")
check("non-blocking output, slow reader", run(LINES, "slow"), 0, LINES_OUT)
check("non-blocking input and output", run(big_pieces(LINES, 5), "slow"), 0, LINES_OUT)

# Listing mode writes more than a pipe holds (about 200 KB) to the same kind
# of pipe. Few long names: the list grows one entry at a time, which a
# sanitizer's allocator copies every time, so that 20,000 short names took
# 6.5 s there on an idle machine and past LIMIT on a busy one.
NAMES = ["NAME_%05d_" % i + "x" * 90 for i in range(2000)]
check("non-blocking output, listing names", run(b"", "slow", args=["-v"] + [
    ",".join(NAMES[i:i + 100]) for i in range(0, len(NAMES), 100)]), 0,
    "".join(name + "\n" for name in NAMES).encode())



def wait_draining(proc, reader):
    """Waits for proc while a slow reader drains the pipe at reader (whose
    write end the caller has closed): (status, all that was read)."""
    chunks = []
    drainer = threading.Thread(target=drain, args=(reader, chunks, True))
    drainer.start()
    try:
        status = proc.wait(timeout=LIMIT)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
        status = STUCK
    drainer.join()
    return status, b"".join(chunks)


def full_nonblocking_pipe():
    """A non-blocking pipe whose buffer is already full: (reader, writer, bytes in it)."""
    reader, writer = nonblocking_pipe(1)
    filled = 0
    try:
        while True:
            filled += os.write(writer, b"x" * 4096)
    except BlockingIOError:
        pass
    return reader, writer, filled


def into_full_pipe(args, which):
    """Runs fillvars with args, its standard output or error (which: 1 or 2)
    a non-blocking pipe that is full when it starts and drained slowly.
    Returns (status, what came after the filling, the other stream)."""
    reader, writer, filled = full_nonblocking_pipe()
    with tempfile.TemporaryFile() as other, tempfile.TemporaryFile() as in_file:
        streams = {"stdout": other, "stderr": writer} if which == 2 else \
                  {"stdout": writer, "stderr": other}
        proc = subprocess.Popen(WRAPPER + [FILLVARS] + args, stdin=in_file, env=ENV, **streams)
        os.close(writer)
        status, data = wait_draining(proc, reader)
        other.seek(0)
        return status, data[filled:], other.read()


# The short texts too wait on a full non-blocking standard output.
for args, text in [(["-V"], b"fillvars 0.1\n"),
                   (["-h"], b"usage: fillvars [OPTIONS] [VARIABLE-NAMES...]\n"
                            b"       VARIABLE-NAMES can be specified in shell format or bare.\n"),
                   (["-v", "A,B"], b"A\nB\n")]:
    check("%s into a full non-blocking standard output" % " ".join(args),
          into_full_pipe(args, 1), 0, text)

# Messages wait on a full non-blocking standard error as reports do.
status, err, out = into_full_pipe(["-v"], 2)
check("'no variables defined' into a full non-blocking standard error", (status, out, err), 1,
      b"", b"fillvars: no variables defined\n")


def message_after_reports():
    """Reports that fill a non-blocking standard error exactly (1024 of 64
    bytes into a pipe of 65536), then a failing write: its message waits for
    the slow reader instead of being lost."""
    name = b"N" * 32
    reader, child_err = nonblocking_pipe(1)
    with tempfile.TemporaryFile() as in_file, open("/dev/full", "wb") as full:
        in_file.write((b"$" + name + b" ") * 1024)
        in_file.seek(0)
        proc = subprocess.Popen(WRAPPER + [FILLVARS, "-u"], stdin=in_file, stdout=full,
                                stderr=child_err, env=ENV)
    os.close(child_err)
    status, err = wait_draining(proc, reader)
    want = b'fillvars: line 1: "' + name + b'" is not set\n'
    check("a failure's message after reports that fill a non-blocking standard error",
          (status, b"", err), 1, b"",
          want * 1024 + b"fillvars: write: No space left on device\n")


message_after_reports()


def reports_to_slow_stderr():
    """-u into a non-blocking standard error read slowly: every report
    arrives, though they fill the pipe many times over."""
    data = b"".join(b"line $UNSET_%d\n" % i for i in range(20000))
    want = b"".join(b'fillvars: line %d: "UNSET_%d" is not set\n' % (i + 1, i)
                    for i in range(20000))
    reader, child_err = nonblocking_pipe(1)
    with tempfile.TemporaryFile() as in_file:
        in_file.write(data)
        in_file.seek(0)
        proc = subprocess.Popen(WRAPPER + [FILLVARS, "-u"], stdin=in_file,
                                stdout=subprocess.DEVNULL, stderr=child_err, env=ENV)
    os.close(child_err)
    status, err = wait_draining(proc, reader)
    check("-u, non-blocking standard error, slow reader", (status, b"", err), 1,
          b"", want)


reports_to_slow_stderr()

if FAILCALL is None:
    print("skip poll failures (no interposer in this build)")
elif WRAPPER:
    print("skip poll failures (the preload would reach the wrapper)")
else:
    # The first poll fails: the input has nothing yet, or the output is full.
    # The message names the call that was waiting; what went out is intact.
    env = {"LD_PRELOAD": FAILCALL, "FAILCALL": "poll:1"}
    check("poll fails while waiting to read", run("held", "pipe", env), 1, b"",
          b"fillvars: read: Cannot allocate memory\n")
    got = run(LINES, "held", env)
    # A full pipe's worth went out before the wait: a non-empty prefix.
    check("poll fails while waiting to write", got, 1, LINES_OUT[:max(len(got[1]), 1)],
          b"fillvars: write: Cannot allocate memory\n")

if failures:
    print("%d failed: %s" % (len(failures), ", ".join(failures)))
    sys.exit(1)
print("all passed")
