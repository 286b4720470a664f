#!/usr/bin/env python3
"""-s against the system's bash: a few hundred generated templates of the
forms that read a value (length, prefix and suffix, substring, replacement,
case) and the common ones, each rendered by fillvars -s and by a bash
here-document, byte for byte, with LC_ALL=C and again with LC_ALL=C.UTF-8,
where values hold multibyte characters and bytes that are part of none.
Skipped (status 77) without bash 5 or the C.UTF-8 locale. The templates
keep to what both read alike: no backslash or "&" in a replacement's
STRING, no backslash in a value, no "[!]" or "[^]" that starts with "]", no
pattern against a value that holds a byte that is part of no character
(bash's own results there mix bytes and characters), and no sequence past
U+10FFFF (the C library reads it as one character, fillvars as bytes).

  shell_bash.py FILLVARS [COUNT]
"""

import random
import shutil
import subprocess
import sys

ENV = {
    "A": b"a.b.c",
    "P": b"/srv/app/main.conf.in",
    "W": b"Hello World-42",
    "G": b"*.c?[ab]",  # pattern bytes in a value
    "S": b"*",
    "Q": b"?",
    "E": b"",
    "M": "Zoë-straße.Ǆσ/日本-ı".encode(),  # multibyte characters
    "V": "é.\U0001f600-ÿ".encode(),
    "H": b"#a",  # a "/" PATTERN that starts with "#" or "%" is anchored
    "K": b"%c",
    "I": b"a\xff\xc3\xa9\xc3-\x80b\xed\xa0\x80",  # bytes that are part of no character
}
SET = ["A", "P", "W", "G", "M", "V"]
NAMES = SET + ["E", "U"]  # U is never set
LOCALES = ["C", "C.UTF-8"]

PIECES = ["a", "b", ".", "-", "/", "c", "l", "o", "*", "?", "[ab]", "[!a]", "[^.]", "[a-c]",
          "[]a]", "[[:alpha:]]", "[[:punct:]]", "[[:digit:]]", "[[:upper:]]", "\\*", "\\.",
          "$S", "${Q}", "$A", "~", "[", "${E:-x}", "${U-.}", "$H", "${K}",
          "ë", "ß", "日", "[ëa]", "[!ß]", "[é-ÿ]", "??"]


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
    body = form[len(name) + 3:-1]
    parts = body.split(":")
    num = lambda t: int(t.strip().strip("()"))
    off = num(parts[0])
    # By bytes, and by characters (a byte that is part of none is one).
    for n in (len(ENV[name]), len(ENV[name].decode("utf-8", "surrogateescape"))):
        start = n + off if off < 0 else off
        if start < 0 or start > n or len(parts) == 1:
            continue
        length = num(parts[1])
        if length < 0 and n + length < start:
            return False
    return True


def form(rng):
    name = rng.choice(NAMES)
    kind = rng.randrange(13)
    if kind == 0:
        return "${#%s}" % rng.choice(NAMES + ["I"])
    if kind in (1, 2):
        return "${%s%s%s}" % (name, rng.choice(["#", "##", "%", "%%"]), pattern(rng, True))
    if kind in (3, 4):
        op = rng.choice(["/", "//", "/#", "/%"])
        tail = "/" + string(rng) if rng.random() < 0.8 else ""
        return "${%s%s%s%s}" % (name, op, pattern(rng, False), tail)
    if kind == 5:
        return "${%s%s}" % (rng.choice(NAMES + ["I"]), rng.choice(["^", "^^", ",", ",,"]))
    if kind == 12:
        return "${%s%s%s}" % (name, rng.choice(["^", "^^", ",", ",,"]), pattern(rng, False))
    if kind in (6, 7):
        name = rng.choice(NAMES + ["I"])
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
    if subprocess.run(["locale", "-a"], capture_output=True,
                      text=True).stdout.lower().find("c.utf8") < 0:
        print("skipped: no C.UTF-8 locale here")
        return 77
    rng = random.Random(33)
    templates = [template(rng) for _ in range(count)]
    failures = 0
    for locale in LOCALES:
        failures += compare(fillvars, bash, templates, locale)
    print("%d of %d templates differ from bash %s in %s" % (failures, count * len(LOCALES),
                                                           version, " and ".join(LOCALES)))
    return 1 if failures else 0


def compare(fillvars, bash, templates, locale):
    """How many of templates fillvars renders otherwise than bash, both with
    LC_ALL=locale."""
    # One bash for all of them, each in a subshell so that assignments stay in it.
    script = ["shopt -u patsub_replacement 2>/dev/null"]
    for t in templates:
        script.append("(cat <<EOF\n%s\nEOF\n); printf '\\0'" % t)
    env = {k.encode(): v for k, v in ENV.items()}
    env.update({b"PATH": b"/usr/bin:/bin", b"LC_ALL": locale.encode()})
    run = subprocess.run([bash], input="\n".join(script).encode(), capture_output=True, env=env)
    expected = run.stdout.split(b"\0")
    if run.returncode != 0 or len(expected) != len(templates) + 1 or run.stderr:
        print("bash did not render the templates in %s: %r" % (locale, run.stderr[:500]))
        return len(templates)
    failures = 0
    for t, want in zip(templates, expected):
        got = subprocess.run([fillvars, "-s"], input=(t + "\n").encode(), capture_output=True,
                             env=env)
        if got.stdout != want or got.returncode != 0 or got.stderr:
            failures += 1
            if failures <= 10:
                print("LC_ALL=%s template: %s\n  bash:     %r\n  fillvars: %r %r status %d"
                      % (locale, t, want, got.stdout, got.stderr, got.returncode))
    return failures


if __name__ == "__main__":
    sys.exit(main())
