#!/usr/bin/env python3
"""-s against the system's bash: a few hundred generated templates of the
forms that read a value (length, prefix and suffix, substring, replacement,
case) and the common ones, each rendered by fillvars -s and by a bash
here-document with LC_ALL=C, byte for byte. Skipped (status 77) without
bash 5. The templates keep to what both read alike: no backslash or "&" in
a replacement's STRING, no backslash in a value, no "[!]" or "[^]" that
starts with "]".

  shell_bash.py FILLVARS [COUNT]
"""

import random
import shutil
import subprocess
import sys

ENV = {
    "A": "a.b.c",
    "P": "/srv/app/main.conf.in",
    "W": "Hello World-42",
    "G": "*.c?[ab]",  # pattern bytes in a value
    "S": "*",
    "Q": "?",
    "E": "",
    "LC_ALL": "C",
}
SET = ["A", "P", "W", "G"]
NAMES = SET + ["E", "U"]  # U is never set

PIECES = ["a", "b", ".", "-", "/", "c", "l", "o", "*", "?", "[ab]", "[!a]", "[^.]", "[a-c]",
          "[]a]", "[[:alpha:]]", "[[:punct:]]", "[[:digit:]]", "[[:upper:]]", "\\*", "\\.",
          "$S", "${Q}", "$A", "~", "[", "${E:-x}", "${U-.}"]


def pattern(rng, slash_ok):
    pieces = [p for p in PIECES if slash_ok or "/" not in p]
    return "".join(rng.choice(pieces) for _ in range(rng.randint(0, 4)))


def string(rng):
    return "".join(rng.choice(["x", "-", "$A", "${E:-d}", "${U:+u}", " ", "Y"])
                   for _ in range(rng.randint(0, 3)))


def bound(rng, first):
    n = rng.randint(0, 12)
    if rng.random() < 0.4:
        return rng.choice(["(-%d)", " -%d"] if first else ["-%d", "(-%d)", " -%d"]) % n
    return rng.choice(["%d", "(%d)", " %d"]) % n


def substring_ok(name, form):
    """Whether bash would give the form without an error: a LENGTH that ends
    before OFFSET aborts its here-document."""
    if name not in ENV:
        return True
    n = len(ENV[name])
    body = form[len(name) + 3:-1]
    parts = body.split(":")
    num = lambda t: int(t.strip().strip("()"))
    off = num(parts[0])
    start = n + off if off < 0 else off
    if start < 0 or start > n or len(parts) == 1:
        return True
    length = num(parts[1])
    return length >= 0 or n + length >= start


def form(rng):
    name = rng.choice(NAMES)
    kind = rng.randrange(12)
    if kind == 0:
        return "${#%s}" % name
    if kind in (1, 2):
        return "${%s%s%s}" % (name, rng.choice(["#", "##", "%", "%%"]), pattern(rng, True))
    if kind in (3, 4):
        op = rng.choice(["/", "//", "/#", "/%"])
        tail = "/" + string(rng) if rng.random() < 0.8 else ""
        return "${%s%s%s%s}" % (name, op, pattern(rng, False), tail)
    if kind == 5:
        return "${%s%s}" % (name, rng.choice(["^", "^^", ",", ",,"]))
    if kind in (6, 7):
        while True:
            f = "${%s:%s%s}" % (name, bound(rng, True),
                                ":" + bound(rng, False) if rng.random() < 0.6 else "")
            if substring_ok(name, f):
                return f
    if kind == 8:
        return "${%s%s%s}" % (name, rng.choice([":-", "-", ":+", "+", ":=", "="]), form(rng))
    if kind == 9:
        return "${%s%s${%s}}" % (name, rng.choice(["#", "%%", "/"]), rng.choice(["S", "Q", "G"]))
    return "$" + name


def template(rng):
    text = []
    for _ in range(rng.randint(1, 5)):
        text.append(form(rng))
        text.append(rng.choice(["|", " ", ".", ":", "", "-x-"]))
    return "".join(text)


def main():
    fillvars = sys.argv[1]
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 400
    bash = shutil.which("bash")
    if bash is None:
        print("skipped: no bash here to compare -s against")
        return 77
    version = subprocess.run([bash, "-c", "echo ${BASH_VERSINFO[0]}"], capture_output=True,
                             text=True).stdout.strip()
    if not version.isdigit() or int(version) < 5:
        print("skipped: bash %s is older than 5, the reference for -s" % version)
        return 77
    rng = random.Random(33)
    templates = [template(rng) for _ in range(count)]
    # One bash for all of them, each in a subshell so that assignments stay in it.
    script = ["shopt -u patsub_replacement 2>/dev/null"]
    for i, t in enumerate(templates):
        script.append("(cat <<EOF\n%s\nEOF\n); printf '\\0'" % t)
    env = dict(ENV, PATH="/usr/bin:/bin")
    run = subprocess.run([bash], input="\n".join(script).encode(), capture_output=True, env=env)
    expected = run.stdout.split(b"\0")
    if run.returncode != 0 or len(expected) != count + 1 or run.stderr:
        print("bash did not render the templates: %r" % run.stderr[:500])
        return 1
    failures = 0
    for t, want in zip(templates, expected):
        got = subprocess.run([fillvars, "-s"], input=(t + "\n").encode(), capture_output=True,
                             env=env)
        if got.stdout != want or got.returncode != 0 or got.stderr:
            failures += 1
            if failures <= 10:
                print("template: %s\n  bash:     %r\n  fillvars: %r %r status %d"
                      % (t, want, got.stdout, got.stderr, got.returncode))
    print("%d of %d templates differ from bash %s" % (failures, count, version))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
