#!/usr/bin/env python3
"""Huge and hostile inputs, each checked against output computed here by a
separate statement of the reference rule.

usage: stress.py [--quick] [--sanitized] FILLVARS

--quick runs the cases that take seconds (a CTest test); without it the
slow ones follow: a 1 GiB line (peak memory measured against shorter
lines), 10 million short lines and a 256 MiB reference. FILLVARS_WRAPPER,
if set, is a command put in front of every run (for example tests/memcheck);
the slow cases are skipped then.
"""
import hashlib
import os
import re
import resource
import shlex
import subprocess
import sys
import threading
import time

QUICK = "--quick" in sys.argv
# Sanitizers' allocators copy on every reallocation, which makes the list's
# one-entry growth quadratic there: fewer, longer operands, and no timing.
SANITIZED = "--sanitized" in sys.argv
FILLVARS = [a for a in sys.argv[1:] if not a.startswith("--")][0]
WRAPPER = shlex.split(os.environ.get("FILLVARS_WRAPPER", ""))
MiB = 1 << 20

results = {"passed": 0, "failed": 0}

# A reference: "$", then up to a "}" (kept only after "${") or a space, tab,
# CR, LF or NUL (not kept), or the end of the input.
REFERENCE = re.compile(rb"\$\{[^ \t\r\n}\x00]*\}?|\$[^ \t\r\n}\x00]*")


def name_of(text):
    """The name a reference or an operand field denotes."""
    if text.startswith(b"$"):
        text = text[1:]
        if text.startswith(b"{"):
            text = text[1:]
    return text[:4095].split(b"}", 1)[0]


def operand_names(operands):
    return [name_of(field) for operand in operands for field in operand.split(b",") if field]


def getenv(env, name):
    if not name:
        return None
    if b"=" not in name:
        return env.get(name)
    # A name holding "=" matches the start of an entry, as the C library does.
    for key, value in env.items():
        entry = key + b"=" + value
        if entry.startswith(name + b"="):
            return entry[len(name) + 1:]
    return None


def expected(data, operands, env, found=None):
    """The output for data; found, if given, gathers the names replaced by a
    set variable's value."""
    listed = set(operand_names(operands))
    limited = bool(operands)
    lookup = {}

    def replace(match):
        name = name_of(match.group(0))
        if limited and name not in listed:
            return match.group(0)
        if name not in lookup:
            lookup[name] = getenv(env, name)
        if lookup[name] is not None and found is not None:
            found.add(name)
        return lookup[name] or b""

    return REFERENCE.sub(replace, data)


def report(name, problems, note=""):
    if problems:
        results["failed"] += 1
        print("FAIL", name, note)
        for problem in problems:
            print("   ", problem)
    else:
        results["passed"] += 1
        print("ok  ", name, note)
    sys.stdout.flush()


def first_difference(a, b):
    i = next((i for i in range(min(len(a), len(b))) if a[i] != b[i]), min(len(a), len(b)))
    return "lengths %d and %d, first difference at byte %d: %r against %r" % (
        len(a), len(b), i, a[max(0, i - 20):i + 20], b[max(0, i - 20):i + 20])


def shell_safe(env):
    """The environment the program gets: a shell script wrapper (such as
    tests/memcheck) passes on only the names a shell can hold."""
    if not WRAPPER:
        return env
    return {k: v for k, v in env.items() if re.fullmatch(rb"[A-Za-z_][A-Za-z0-9_]*", k)}


def check(name, data, operands=(), env=None, limit=20):
    """Runs fillvars on data in memory and compares with the expected bytes;
    a run still going after limit seconds (each takes one at most) has hung."""
    env = env or {}
    want = expected(data, list(operands), shell_safe(env))
    limit *= 20 if WRAPPER else 1
    start = time.monotonic()
    try:
        proc = subprocess.run(WRAPPER + [FILLVARS] + list(operands), input=data,
                              capture_output=True, env=env, timeout=limit)
    except subprocess.TimeoutExpired:
        report(name, ["hung: killed after %d s" % limit])
        return limit
    took = time.monotonic() - start
    problems = []
    if proc.returncode != 0 or proc.stderr:
        problems.append("status %d, stderr %r" % (proc.returncode, proc.stderr[:300]))
    if proc.stdout != want:
        problems.append(first_difference(proc.stdout, want))
    report(name, problems, "(%.2f s)" % took)
    return took


def high_water(pid):
    try:
        with open("/proc/%d/status" % pid) as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def check_stream(name, unit, count, operands=(), env=None):
    """Feeds unit count times (no line feeds unless unit has them) and compares
    the output's digest with that of the expected unit repeated; returns the
    peak RSS in KiB."""
    env = env or {}
    unit_out = expected(unit, list(operands), env)
    want = hashlib.sha256()
    chunk_units = max(1, MiB // len(unit))
    chunk = unit * chunk_units
    for _ in range(count // chunk_units):
        want.update(unit_out * chunk_units)
    want.update(unit_out * (count % chunk_units))

    start = time.monotonic()
    proc = subprocess.Popen([FILLVARS] + list(operands), stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    # Far slower than any sound run (a few hundred MB/s at least): it has hung.
    in_size = len(unit) * count
    limit = 10 + in_size // 20_000_000
    watchdog = threading.Timer(limit, proc.kill)
    watchdog.start()

    # The high-water mark of the program's own memory (the rusage of a child
    # forked from this large interpreter would count the interpreter's), read
    # while input goes in and output comes out.
    peak = [0]

    def feed():
        try:
            for _ in range(count // chunk_units):
                proc.stdin.write(chunk)
                peak[0] = max(peak[0], high_water(proc.pid))
            proc.stdin.write(unit * (count % chunk_units))
        except BrokenPipeError:
            pass
        proc.stdin.close()

    errors = []
    threading.Thread(target=lambda: errors.append(proc.stderr.read()), daemon=True).start()
    feeder = threading.Thread(target=feed, daemon=True)
    feeder.start()
    got = hashlib.sha256()
    size = 0
    while True:
        block = proc.stdout.read(MiB)
        peak[0] = max(peak[0], high_water(proc.pid))
        if not block:
            break
        got.update(block)
        size += len(block)
    feeder.join()
    proc.wait()
    took = time.monotonic() - start
    hung = not watchdog.is_alive()
    watchdog.cancel()
    problems = []
    if hung:
        problems.append("hung: killed after %d s" % limit)
    elif proc.returncode != 0:
        problems.append("status %d, stderr %r" % (proc.returncode, errors[:1]))
    if got.digest() != want.digest():
        problems.append("output differs (%d bytes)" % size)
    report(name, problems, "(%d MiB in %.1f s, %.0f MB/s, peak RSS %d KiB)" % (
        in_size // MiB, took, in_size / took / 1e6, peak[0]))
    return peak[0]


def every_byte():
    names = [b"N" + bytes([b]) for b in range(1, 256) if b not in b"="]
    value = bytes(range(1, 256))
    env = {name: value + name for name in names}
    # "$N=" names "N=", which the C library finds in the entry "N==eq".
    env[b"N"] = b"=eq"
    # Each name in both forms, the bare one ended by a tab. A name ending in
    # a byte that ends a reference cannot be written as one.
    data = bytes(range(256)) * 4
    for b in range(256):
        one = bytes([b])
        data += b"$N" + one + b"\t${N" + one + b"}|$" + one + b"{" + one + b"\n"
    wanted = {b"N" + bytes([b]) for b in range(1, 256) if b not in b" \t\r\n}"}
    if not WRAPPER:
        found = set()
        expected(data, [], env, found)
        missing = sorted(wanted - found)
        report("every byte: the input looks up each name that can be written",
               ["not found: %r" % b", ".join(missing)] if missing else [],
               "(%d names)" % len(wanted))
    check("every byte in input, names and values, all replaced", data, env=env)
    check("every byte in input, names, operands and values, half listed", data,
          operands=[b"N" + bytes([b]) for b in range(1, 256, 2)], env=env)
    check("every byte as operands, one operand", data,
          operands=[b",".join(b"$N" + bytes([b]) for b in range(1, 256))], env=env)


def long_references(size):
    body = b"R" * size
    name = body[:4095]
    env = {name: b"<value>", b"A": b"1"}
    data = b"a ${" + body + b"}tail $" + body + b"\n$A ${" + body + b"\n$A"
    check("a %d KiB reference, not listed" % (size // 1024), data, operands=[b"A"], env=env)
    # One argument may hold at most 128 KiB; past 4095 bytes the rest is cut anyway.
    check("a %d KiB reference, listed" % (size // 1024), data, operands=[body[:100000]],
          env=env)
    check("a %d KiB reference, no list" % (size // 1024), data, env=env)


def many_operands():
    arg_max = os.sysconf("SC_ARG_MAX")
    # 20,000 took 12 s a run there on a busy machine, near the limit.
    count = 2000 if SANITIZED else 100000
    # Fill about 80% of the argument space: each operand costs its bytes, its
    # NUL and its pointer; the environment takes some of the rest.
    width = max(6, int(arg_max * 0.8) // count - 9)
    operands = [b"V%0*d" % (width - 1, i) for i in range(count)]
    env = {operands[i]: b"v%d" % i for i in range(0, count, 20)}
    data = b"".join(b"$%s ${%s}x $W%d\n" % (operands[i], operands[i], i)
                    for i in range(0, count, 3))
    # Judged by the CPU time the run used, which a busy machine does not
    # stretch as it stretches the wall clock: a list that grew in quadratic
    # time would take minutes of it, the list takes well under a second.
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    check("%d operands of %d bytes (%d%% of ARG_MAX)" % (
        count, width, 100 * count * (width + 9) // arg_max), data, operands=operands, env=env)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    if not SANITIZED and not WRAPPER and cpu > 10:
        report("%d operands are taken in quickly" % count, ["took %.1f s of CPU" % cpu])
    start = time.monotonic()
    limit = 20 * (20 if WRAPPER else 1)
    try:
        proc = subprocess.run(WRAPPER + [FILLVARS, "-v"] + operands, capture_output=True,
                              env={}, timeout=limit)
        problems = [] if proc.returncode == 0 and proc.stdout == b"\n".join(operands) + b"\n" \
            else ["status %d, %d bytes" % (proc.returncode, len(proc.stdout))]
    except subprocess.TimeoutExpired:
        problems = ["hung: killed after %d s" % limit]
    report("%d operands listed" % count, problems, "(%.2f s)" % (time.monotonic() - start))


def big_environment():
    env = {b"E%d" % i: b"value %d $E%d" % (i, i + 1) for i in range(10000)}
    data = b"".join(b"$E%d ${E%d}\t$F%d\n" % (i, 9999 - i, i) for i in range(10000))
    check("10,000 variables, all replaced", data, env=env)
    check("10,000 variables, every third listed", data,
          operands=[b"E%d" % i for i in range(0, 10000, 3)], env=env)


def unfinished_ends():
    env = {b"ABC": b"v", b"": b"x"}
    for data in [b"x ${ABC", b"x $ABC", b"x ${", b"x $", b"${ABC}${ABC", b"$ABC\x00${ABC"]:
        check("input ending in %r, no list" % data[-5:], data, env=env)
        check("input ending in %r, listed" % data[-5:], data, operands=[b"ABC"], env=env)
        check("input ending in %r, not listed" % data[-5:], data, operands=[b"Q"], env=env)


def lines(count):
    unit = b"a=$A\nplain text line\n${B}x\r\n$\nv=${A}${B} ${NOPE}.\n"
    check_stream("%d short lines" % (count * 5), unit, count,
                 env={b"A": b"1", b"B": b"two"})


def one_line(size):
    unit = b"x=${A}y $B\t$NOPE z ${NOPE}}{ "
    return check_stream("a single %d MiB line" % (size // MiB), unit, size // len(unit),
                        env={b"A": b"1", b"B": b"two"})


def vm_peak(pid):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmPeak:"):
                return int(line.split()[1]) * 1024
    return 0


def noted_names_memory(count):
    """-r keeps each distinct name once: a million of them must fit in what a
    run maps anyway, their own bytes and 100 bytes more each, held as a
    limit on the address space (not measured after the fact, so the verdict
    does not hang on when memory is looked at)."""
    # What a run maps before it holds any name: read once it has written the
    # name of its first block and waits for more.
    proc = subprocess.Popen([FILLVARS, "-r"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            env={})
    proc.stdin.write(b"$FIRST\n")
    proc.stdin.flush()
    first = proc.stdout.readline()
    base = vm_peak(proc.pid)
    proc.stdin.close()
    proc.stdout.read()
    proc.wait()
    names = [b"N%d" % i for i in range(count)]
    data = b"".join(b"$%s\n" % name for name in names)
    name_bytes = sum(map(len, names))
    # A chunk of names not yet full, and the C library's own bookkeeping.
    limit = base + name_bytes + 100 * count + 4 * MiB

    def limited():
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

    proc = subprocess.run([FILLVARS, "-r"], input=data, capture_output=True, env={},
                          preexec_fn=limited, timeout=60)
    problems = []
    if first != b"FIRST\n" or base == 0:
        problems.append("the first run gave %r, VmPeak %d" % (first, base))
    if proc.returncode != 0 or proc.stderr:
        problems.append("status %d, stderr %r" % (proc.returncode, proc.stderr[:300]))
    if proc.stdout != b"\n".join(names) + b"\n":
        problems.append(first_difference(proc.stdout, b"\n".join(names) + b"\n"))
    report("-r: %d distinct names within 100 bytes each beyond their own" % count, problems,
           "(address space limited to %d MiB)" % (limit // MiB))


every_byte()
long_references(MiB)
many_operands()
big_environment()
unfinished_ends()
if not WRAPPER and not SANITIZED:
    # The sanitizers reserve address space far past any such limit.
    noted_names_memory(1000000)
if WRAPPER:
    pass
elif QUICK:
    lines(40000)
    one_line(16 * MiB)
else:
    lines(2000000)
    check_stream("a 256 MiB reference, not listed", b"$" + b"R" * (256 * MiB - 2) + b" ", 1,
                 operands=[b"A"])
    check_stream("a 256 MiB reference, listed", b"$" + b"R" * (256 * MiB - 2) + b" ", 1,
                 operands=[b"R" * 4095], env={b"R" * 4095: b"value"})
    rss = {size: one_line(size) for size in (16 * MiB, 64 * MiB, 1024 * MiB)}
    grew = rss[1024 * MiB] - rss[16 * MiB]
    report("peak RSS does not grow with the line",
           [] if 0 < rss[16 * MiB] and grew < 1024 else
           ["grew by %d KiB from 16 MiB to 1 GiB" % grew],
           "(16 MiB: %d KiB, 64 MiB: %d KiB, 1 GiB: %d KiB)" % (
               rss[16 * MiB], rss[64 * MiB], rss[1024 * MiB]))
print("%(passed)d passed, %(failed)d failed" % results)
sys.exit(1 if results["failed"] else 0)
