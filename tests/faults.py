#!/usr/bin/env python3
"""Fault injection: every way a run can fail must give the exact message and
status 1, and must not lose output that was already produced. Every mode
meets every kind of standard input and every failing standard output here;
the modes that do not filter must not touch standard input at all.

usage: faults.py FILLVARS FAILCALL_LIBRARY|none

FAILCALL_LIBRARY is the interposer built from failcall.cpp; "none" skips the
cases that need it (sanitizer builds). FILLVARS_WRAPPER, if set, is a command
put in front of every run (for example tests/memcheck); the interposer cases
are skipped then, since the preload would reach the wrapper too.
"""
import os
import re
import resource
import select
import shlex
import signal
import socket
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
CLOSED = b"fillvars: write: Bad file descriptor\n"
BROKEN = b"fillvars: write: Broken pipe\n"
USAGE = (b"usage: fillvars [OPTIONS] [VARIABLE-NAMES...]\n"
         b"       VARIABLE-NAMES can be specified in shell format or bare.\n")

# Every mode, with an input that a filtering run would change.
MODES = [
    # name, args, standard input, standard output when all goes well, reads input
    ("substitution", [], b"a=$A\n", b"a=1\n", True),
    ("substitution, listed name", ["A"], b"a=$A $B\n", b"a=1 $B\n", True),
    ("listing", ["-v", "A,B"], b"a=$A\n", b"A\nB\n", False),
    ("usage", ["-h"], b"a=$A\n", USAGE, False),
    ("version", ["-V"], b"a=$A\n", b"fillvars 0.1\n", False),
]

# Outputs that refuse what is written: (name, stdout, SIGPIPE action, stderr, status).
SINKS = [
    ("/dev/full", "full", "default", FULL, 1),
    ("a closed standard output", "closed", "default", CLOSED, 1),
    ("a pipe with no reader, SIGPIPE ignored", "gone", "ignore", BROKEN, 1),
    ("a pipe with no reader, SIGPIPE default", "gone", "default", b"", -signal.SIGPIPE),
]

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
        timeout=10):
    """Runs fillvars; stdin is bytes (from a regular file), "dir", "closed"
    or a file object; stdout is "pipe", "full", "closed", "gone" (a pipe
    whose reader has closed) or a path. Returns (status, stdout, stderr,
    offset), offset being where the input file stands afterwards, if it is one."""
    with tempfile.TemporaryDirectory() as scratch:
        to_close = []
        stdin_file = None
        if isinstance(stdin, bytes):
            path = os.path.join(scratch, "in")
            with open(path, "wb") as f:
                f.write(stdin)
            # Kept open: the child shares its offset.
            stdin_arg = stdin_file = open(path, "rb")
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
            status = proc.returncode
        except subprocess.TimeoutExpired:
            proc.kill()
            out, err = proc.communicate()
            status = "hung: killed after %d s" % (timeout * SLOW)
        offset = None
        if stdin_file is not None:
            offset = os.lseek(stdin_file.fileno(), 0, os.SEEK_CUR)
            stdin_file.close()
        return status, out or b"", err, offset


def expect(name, got, status, stdout=b"", stderr=b"", offset=None):
    """Checks a run's status, output and errors, and with offset, where its
    input file stands afterwards."""
    problems = []
    if offset is not None and got[3] != offset:
        problems.append("input file at offset %s afterwards, expected %d" % (got[3], offset))
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
        # The list doubles at each power of two: its 11th growth is at the 513th name.
        ("reallocarray fails as 1000 names fill the list", ["N%d" % i for i in range(1000)],
         "reallocarray:11", b"", NOMEM, 1),
        # Six calls take in 20 prefixes; the seventh sorts them, at the first lookup.
        ("reallocarray fails as the prefixes are sorted", ["-pA%d" % i for i in range(20)],
         "reallocarray:7", b"", NOMEM, 1),
        ("reallocarray one call after the prefixes' sort succeeds",
         ["-pA%d" % i for i in range(20)], "reallocarray:8", b"a=$A\n", b"", 0),
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


def short_write_cases():
    """Writes that take only part of what they are given, as a pipe or a socket
    may: every byte must still arrive, in order, with status 0."""
    # Blocks of lines with references, a run long enough to go out straight
    # from the input, and more references after it.
    plain = b"x" * 40000 + b"\n"
    data = LINE_IN * 25000 + plain + b"a=$A ${A}|$B\n" * 100
    want = LINE_OUT * 25000 + plain + b"a=1 1|\n" * 100
    short = b"a=$A ${A}|$B\n" + b"plain text\n" * 100
    short_out = short.replace(b"$A ${A}|$B", b"1 1|")
    for cap, stdin, stdout in [(1000, data, want), (1, short, short_out)]:
        env = {"LD_PRELOAD": FAILCALL, "FAILCALL_WRITE_MAX": str(cap)}
        expect("each write takes at most %d of its bytes, %d bytes in" % (cap, len(stdin)),
               run([], stdin=stdin, env=env), 0, stdout)


def input_cases():
    """Every mode on every kind of standard input. Only substitution reads it;
    the other modes leave a regular file where it stood."""
    for name, args, stdin, stdout, reads in MODES:
        expect(name + ", regular file as input" + ("" if reads else ", left unread"),
               run(args, stdin=stdin), 0, stdout, offset=len(stdin) if reads else 0)
        if reads:
            expect(name + ", directory as input", run(args, stdin="dir"), 1, b"",
                   b"fillvars: read: Is a directory\n")
            expect(name + ", closed input", run(args, stdin="closed"), 1, b"",
                   b"fillvars: read: Bad file descriptor\n")
            continue
        expect(name + ", directory as input", run(args, stdin="dir"), 0, stdout)
        expect(name + ", closed input", run(args, stdin="closed"), 0, stdout)
        yes = subprocess.Popen(["yes", "$HOME"], stdout=subprocess.PIPE)
        got = run(args, stdin=yes.stdout, timeout=10)
        end(yes)
        expect(name + ", endless input", got, 0, stdout)

    # A socket whose peer closes with data unread fails the next read with
    # ECONNRESET: what came before that read must already be out.
    ours, theirs = socket.socketpair()
    theirs.sendall(b"never read")
    proc = subprocess.Popen(WRAPPER + [FILLVARS], stdin=theirs.fileno(), stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=ENV)
    theirs.close()
    ours.sendall(b"x $A\n")
    first = b""
    while len(first) < 4 and select.select([proc.stdout], [], [], 5 * SLOW)[0]:
        piece = os.read(proc.stdout.fileno(), 4 - len(first))
        if not piece:
            break
        first += piece
    ours.close()
    try:
        out, err = proc.communicate(timeout=10 * SLOW)
    except subprocess.TimeoutExpired:
        proc.kill()
        out, err = proc.communicate()
    expect("read error after output, what came before is out",
           (proc.returncode, first + out, err), 1, b"x 1\n",
           b"fillvars: read: Connection reset by peer\n")


def end(process):
    process.stdout.close()
    process.kill()
    process.wait()


def output_cases():
    """Every mode into every output that refuses what is written."""
    for name, args, stdin, _, _ in MODES:
        for sink_name, sink, sigpipe, err, status in SINKS:
            expect("%s into %s" % (name, sink_name),
                   run(args, stdin=stdin, stdout=sink, sigpipe=sigpipe), status, None, err)
    expect("empty input into /dev/full writes nothing and succeeds",
           run([], stdin=b"", stdout="full"), 0, None, b"")
    # An unknown option is ignored on a line of -h, -v and -V: the usage
    # that follows it still meets the write error.
    expect("-x --help into /dev/full: the parser's diagnostic, then the write error",
           run(["-x", "--help"], stdout="full"), 1, None,
           FILLVARS.encode() + b": invalid option -- 'x'\n" + FULL)

    # Endless input into an output that refuses it must end by itself.
    for sink_name, sink, sigpipe, err, status in SINKS:
        yes = subprocess.Popen(["yes", "$HOME"], stdout=subprocess.PIPE)
        start = time.monotonic()
        got = run([], stdin=yes.stdout, stdout=sink, sigpipe=sigpipe, timeout=10)
        took = time.monotonic() - start
        end(yes)
        expect("endless input into %s ends by itself (%.2f s)" % (sink_name, took), got, status,
               None, err)

    # The reader leaves in the middle of an endless stream, after taking the
    # start of it, which must be intact.
    for sigpipe, err, status in [("ignore", BROKEN, 1), ("default", b"", -signal.SIGPIPE)]:
        yes = subprocess.Popen(["yes", "line $A"], stdout=subprocess.PIPE)
        proc = subprocess.Popen(WRAPPER + [FILLVARS], stdin=yes.stdout, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, env=ENV,
                                restore_signals=sigpipe == "default")
        first = proc.stdout.read(4095)
        proc.stdout.close()
        try:
            proc.wait(timeout=10 * SLOW)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        got = (proc.returncode, first, proc.stderr.read())
        proc.stderr.close()
        end(yes)
        expect("reader leaves mid-stream, SIGPIPE %s" % sigpipe, got, status, b"line 1\n" * 585,
               err)

    # -u reports come out before the output that follows them: the first
    # write into a pipe whose reader has gone, made in the middle of a block
    # (each reference's value is longer than itself), cannot take them with it.
    long_value = {"V": "v" * 1000}
    text = b"$N $V " * 2000
    for sigpipe, err, status in [("ignore", BROKEN, 1), ("default", b"", -signal.SIGPIPE)]:
        got = run(["-u"], stdin=text, stdout="gone", sigpipe=sigpipe, env=long_value)
        reports = got[2].replace(err, b"") if err else got[2]
        problems = []
        if got[0] != status:
            problems.append("status %s, expected %s" % (got[0], status))
        # The output buffer fills after the 131st reference; at least those
        # are reported, each once and whole.
        if len(reports) < 131 * 33 or reports != b'fillvars: line 1: "N" is not set\n' * (len(reports) // 33):
            problems.append("stderr %s" % show(got[2]))
        if err and not got[2].endswith(err):
            problems.append("stderr does not end with %r" % err)
        report("-u reports before a write into a pipe with no reader, SIGPIPE %s" % sigpipe,
               problems)

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


def memory_limit_cases():
    """Each pattern form under a memory limit, from the least one that the
    program starts under up to one that lets it finish: a run either writes
    FILE whole or ends with the call that failed, status 1, FILE untouched
    and no temporary file left. Some limit of the sweep must meet the
    pattern's own allocation (calloc), where a compiled pattern once took 34
    bytes a byte and aborted on the first one refused."""
    value = b"a" * 2000
    pattern = b"${V//?/$V}"  # 4,000,000 bytes, in memory before it is read
    forms = [b"${E#%s}", b"${E##%s}", b"${E%%%s}", b"${E%%%%%s}", b"${E/%s/x}",
             b"${E//%s/x}", b"${E/#%s/x}", b"${E/%%%s/x}"]
    nomem = re.compile(rb"fillvars: ([a-z]+): Cannot allocate memory\n")

    def limited(megabytes, args, template, scratch):
        def prepare():
            resource.setrlimit(resource.RLIMIT_AS, (megabytes << 20, megabytes << 20))
        return subprocess.run([os.path.abspath(FILLVARS)] + args, input=template, capture_output=True,
                              preexec_fn=prepare, env=dict(ENV, V=value, E="xy"),
                              cwd=scratch, timeout=60 * SLOW)

    # The least limit that the program itself starts under.
    base = next(m for m in range(1, 256)
                if limited(m, ["-s"], b"", "/").returncode == 0)
    for form in forms:
        template = form % pattern + b"\n"
        calls = set()
        problems = []
        for megabytes in range(base, base + 64):
            with tempfile.TemporaryDirectory() as scratch:
                target = os.path.join(scratch, "out")
                with open(target, "wb") as f:
                    f.write(b"old\n")
                proc = limited(megabytes, ["-s", "-o", "out"], template, scratch)
                with open(target, "rb") as f:
                    written = f.read()
                left = sorted(os.listdir(scratch))
            if left != ["out"]:
                problems.append("%d MiB: left %s" % (megabytes, left))
            failed = nomem.fullmatch(proc.stderr)
            if proc.returncode == 0 and proc.stderr == b"" and written == b"xy\n":
                break
            if proc.returncode == 1 and failed and written == b"old\n":
                calls.add(failed.group(1).decode())
            else:
                problems.append("%d MiB: status %s, stderr %s, FILE %s" %
                                (megabytes, proc.returncode, show(proc.stderr), show(written)))
        else:
            problems.append("no limit up to %d MiB let it finish" % (base + 63))
        if "calloc" not in calls:
            problems.append("no limit met the pattern's allocation (failed: %s)" %
                            ", ".join(sorted(calls)))
        report("%s under memory limits from %d MiB up" % ((form % b"P").decode(),
                                                          base), problems)

if FAILCALL is None:
    skip("allocation, read and write failures through the interposer", "no interposer")
elif WRAPPER:
    skip("allocation, read and write failures through the interposer", "under a wrapper")
else:
    allocation_cases()
    short_write_cases()
    memory_limit_cases()
input_cases()
output_cases()
print("%(passed)d passed, %(failed)d failed, %(skipped)d skipped" % results)
sys.exit(1 if results["failed"] else 0)
