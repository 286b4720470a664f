#!/usr/bin/env python3
"""-u/--nounset end to end: every case runs twice, with the option and
without it. With it, standard error and the status must be as the table says;
without it, standard error is empty and the status 0; standard output must be
the same bytes both times.

usage: nounset.py PATH-TO-FILLVARS

Standard input is a regular file, so the program reads whole blocks of
128 KiB and a reference can be put across the first block edge.
FILLVARS_WRAPPER, if set, is a command put in front of the program.
"""
import os
import re
import shlex
import subprocess
import sys
import tempfile

BIN = os.path.abspath(sys.argv[1])
WRAPPER = shlex.split(os.environ.get("FILLVARS_WRAPPER", ""))
# Every run takes well under a second; one that runs this long has hung.
LIMIT = 10 * (20 if WRAPPER else 1)
HUNG = "hung: did not end within %d s" % LIMIT
SPELLINGS = ("-u", "--nounset", "--nou")
BLOCK = 128 * 1024


def report(line, name):
    return b'fillvars: line %d: "%s" is not set\n' % (line, name)


def case(name, args, stdin, stdout, stderr=b"", env=None):
    return dict(name=name, args=args, stdin=stdin, stdout=stdout, stderr=stderr, env=env or {})


EXAMPLE = b"host=${DB_HOST}\nport=$DB_PORT\nurl=$DB_HOST:$DB_PORT\n"
LONG = b"N" * 10000
EDGE = b"x" * (BLOCK - 3) + b"$UNSET\n"
SIXTEEN = b"fifteen bytes..\n"

CASES = [
    case("the example", ["-u"], EXAMPLE, b"host=\nport=5432\nurl=\n",
         report(1, b"DB_HOST") + report(3, b"DB_HOST:$DB_PORT"), env={"DB_PORT": "5432"}),
    case("--nounset", ["--nounset"], b"$A $U\n", b"1 \n", report(1, b"U"), env={"A": "1"}),
    case("--nou abbreviates it", ["--nou"], b"$U", b"", report(1, b"U")),
    case("after the operands", ["A,U", "-u"], b"$A $U $V\n", b"1  $V\n", report(1, b"U"),
         env={"A": "1"}),
    case("between operands", ["A", "-u", "U"], b"$A ${U} $V\n", b"1  $V\n", report(1, b"U"),
         env={"A": "1"}),
    case("all set: status 0", ["-u"], b"$A ${B}\n$A\n", b"1 2\n1\n", env={"A": "1", "B": "2"}),
    case("set but empty is set", ["-u"], b"[$E ${E}]\n", b"[ ]\n", env={"E": ""}),
    case("unlisted unset is kept, not reported", ["-u", "A"], b"$U ${U} $A\n", b"$U ${U} 1\n",
         env={"A": "1"}),
    case("operands naming nothing report nothing", ["-u", ""], b"$U\n", b"$U\n"),
    case("the empty name", ["-u"], b"a $ b ${}\n$", b"a  b \n",
         report(1, b"") + report(1, b"") + report(2, b"")),
    case("the empty name unlisted", ["-u", "A"], b"a $ b\n", b"a $ b\n"),
    case("names escaped", ["-u"], b'${a"b} ${c\\d} ${e\x1b[2Jf} ${g\x7fh\x01} ${\xc3\xa9}\n',
         b"    \n",
         report(1, b'a\\"b') + report(1, b"c\\\\d") + report(1, b"e\\x1b[2Jf") +
         report(1, b"g\\x7fh\\x01") + report(1, b"\xc3\xa9")),
    case("every occurrence, in order", ["-u"], b"$U $V\n\n$U\n$W $A\n", b" \n\n\n 1\n",
         report(1, b"U") + report(1, b"V") + report(3, b"U") + report(4, b"W"),
         env={"A": "1"}),
    case("CR is not a line feed", ["-u"], b"a\r\r\n$U\r$V\r\n", b"a\r\r\n\r\r\n",
         report(2, b"U") + report(2, b"V")),
    case("at the end of input without a line feed", ["-u"], b"a\nb\n${U", b"a\nb\n",
         report(3, b"U")),
    case("cut by the block edge", ["-u"], b"one\ntwo\n" + EDGE + b"$V\n",
         b"one\ntwo\n" + b"x" * (BLOCK - 3) + b"\n\n", report(3, b"UNSET") + report(4, b"V")),
    # Line feeds are counted in byte-wide sums that must not wrap: runs of
    # them, and lines of 16 bytes, whose feeds fall in one lane of 16.
    case("long runs of line feeds", ["-u"],
         b"$U" + b"\n" * 5000 + b"$U\n" + b"\n" * 20000 + b"${U}", b"\n" * 25001,
         report(1, b"U") + report(5001, b"U") + report(25002, b"U")),
    case("lines of 16 bytes", ["-u"],
         b"$U\n" + SIXTEEN * 300 + b"$U\n" + SIXTEEN * 3000 + b"x $U",
         b"\n" + SIXTEEN * 300 + b"\n" + SIXTEEN * 3000 + b"x ",
         report(1, b"U") + report(302, b"U") + report(3303, b"U")),
    case("longer than the carried window", ["-u"], b"\n$" + LONG + b" $U\n",
         b"\n \n", report(2, b"N" * 4095) + report(2, b"U")),
    case("after --, -u is a name", ["--", "-u"], b"$-u $U\n", b"x $U\n", env={"-u": "x"}),
]


def run(args, stdin=b"", env=None, stdout=subprocess.PIPE):
    """(stdout, stderr, status); the status is HUNG for a run that did not end."""
    with tempfile.TemporaryFile() as f:
        f.write(stdin)
        f.seek(0)
        try:
            p = subprocess.run(WRAPPER + [BIN] + args, stdin=f, stdout=stdout,
                               stderr=subprocess.PIPE, timeout=LIMIT,
                               env=dict(env or {}, PATH=os.environ.get("PATH", "/usr/bin:/bin")))
        except subprocess.TimeoutExpired:
            return b"", b"", HUNG
    return p.stdout, p.stderr, p.returncode


def without_option(args):
    """The same arguments without the option (options end at "--")."""
    plain = list(args)
    for i, arg in enumerate(plain):
        if arg == "--":
            break
        if arg in SPELLINGS:
            del plain[i]
            break
    return plain


def show(data):
    text = repr(data)
    return text if len(text) < 300 else text[:150] + " ... " + text[-150:]


def main():
    failed = 0
    for c in CASES:
        if WRAPPER and not all(re.fullmatch(r"[A-Za-z_][A-Za-z0-9_]*", n) for n in c["env"]):
            continue
        env = {k.encode(): v.encode() for k, v in c["env"].items()}
        checked = run(c["args"], c["stdin"], env)
        plain = run(without_option(c["args"]), c["stdin"], env)
        status = 1 if c["stderr"] else 0
        problems = [(what, want, got) for what, want, got in [
            ("stdout", c["stdout"], checked[0]),
            ("stderr", c["stderr"], checked[1]),
            ("status", status, checked[2]),
            ("stdout without the option", checked[0], plain[0]),
            ("stderr without the option", b"", plain[1]),
            ("status without the option", 0, plain[2])] if want != got]
        if problems:
            failed += 1
            print("FAIL:", c["name"])
            for what, want, got in problems:
                print("  %s expected: %s\n  %s actual:   %s" % (what, show(want), what, show(got)))
    # A write error keeps its message and status, and the reports before it,
    # whether the write fails at the end or when the output fills in the
    # middle of a block; -u changes nothing in listing mode.
    for what, tail in [("at the end", b""), ("in a block", b"a" * 300000)]:
        with open("/dev/full", "wb") as full:
            _, err, status = run(["-u"], b"$A $U\n" + tail, {b"A": b"1"}, stdout=full)
        if (err, status) != (report(1, b"U") + b"fillvars: write: No space left on device\n", 1):
            failed += 1
            print("FAIL: -u into /dev/full, %s:" % what, show(err), status)
    got = run(["-u", "-v", "U"], b"$U\n")
    if got != (b"U\n", b"", 0):
        failed += 1
        print("FAIL: -u with -v:", show(got[0]), show(got[1]), got[2])
    print("%d cases, %d failed" % (len(CASES) + 3, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
