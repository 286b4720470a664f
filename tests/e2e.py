#!/usr/bin/env python3
"""Runs the built fillvars as a user would: arguments, an environment holding
only what each case sets, exact bytes on standard input, and checks standard
output, standard error and the exit status byte for byte.

usage: e2e.py PATH-TO-FILLVARS

The cases are the files of tests/cases/ (every *.txt and *.e2e there, in the
format described at the top of tests/cases/reference.txt) and the table below, which
holds what only the program can show: options, listing mode and inputs too
large to write out. Failures of input and output are tests/faults.py's.

FILLVARS_WRAPPER, if set, is a command put in front of the program (such as
tests/memcheck, or qemu-user for a binary built for another CPU); the child
then also gets PATH, and time limits are 20 times longer, or FILLVARS_SLOW
times if that is set. A case that runs past its limit has hung: it fails
under its name, and after three such cases the run stops.
"""
import glob
import os
import re
import select
import shlex
import shutil
import subprocess
import sys
import tempfile

BIN = os.path.abspath(sys.argv[1])
WRAPPER = shlex.split(os.environ.get("FILLVARS_WRAPPER", ""))
# Cases with files run in a folder of their own: a wrapper given by a relative path
# must still be found there.
if WRAPPER and "/" in WRAPPER[0]:
    WRAPPER[0] = os.path.abspath(WRAPPER[0])
SLOW = int(os.environ.get("FILLVARS_SLOW", 20 if WRAPPER else 1))
# Every case takes well under a second; one that runs this long has hung.
LIMIT = 10 * SLOW
HANGS_TO_STOP = 3
# The locales a case of tests/cases/ runs in unless it names its own: the
# C locale's bytes and UTF-8's characters.
LOCALES = ["C", "C.UTF-8"]


def is_script(program):
    path = shutil.which(program)
    if path is None:
        return False
    with open(path, "rb") as f:
        return f.read(2) == b"#!"


# A shell script wrapper drops variables whose names a shell cannot hold, so
# the cases that set one are skipped under it.
SCRIPT_WRAPPER = bool(WRAPPER) and is_script(WRAPPER[0])


def command(args):
    return WRAPPER + [BIN] + args


def child_env(env):
    # A case that sets PATH itself keeps it: the wrapper then runs with it.
    if WRAPPER and b"PATH" not in env and "PATH" not in env:
        return dict(env, PATH=os.environ.get("PATH", "/usr/bin:/bin"))
    return env

USAGE = (b"usage: fillvars [OPTIONS] [VARIABLE-NAMES...]\n"
         b"       VARIABLE-NAMES can be specified in shell format or bare.\n")
VERSION = b"fillvars 0.1\n"
NO_VARIABLES = b"fillvars: no variables defined\n"
TWICE = b"fillvars: -E FORMAT given twice: the names that no list holds have one format\n"
NOT_A_NAME = (b'fillvars: "%s" is not a name: the template is read from standard input, '
              b'or from -i FILE\n')


def option_diagnostic(words):
    """The option parser's report, under the name the program was started with
    (argv[0], here the path as passed), and nothing else."""
    return BIN.encode() + b": " + words + b"\n"


def case(name, args, stdin=b"", stdout=b"", env=None, stderr=b"", status=0, files=None):
    """files: name to bytes, written into a folder of their own where the
    program then runs (for -f NAME)."""
    env = {os.fsencode(k): os.fsencode(v) for k, v in (env or {}).items()}
    return dict(name=name, args=args, stdin=stdin, stdout=stdout, env=env,
                stderr=stderr, status=status, files=dict(files or {}))


N4095 = "N" * 4095
N4096 = N4095 + "M"
ALL_BYTES = bytes(range(256)) * 4
NO_DOLLAR = bytes(b for b in range(256) if b != ord("$")) * 4
BIG_LINE = b"x${A}y " * 1_000_000 + b"\n"

CASES = [
    # Usage and version: written at once, the first of them wins.
    case("-h", ["-h"], stdout=USAGE),
    case("--help", ["--help"], stdout=USAGE),
    case("-V", ["-V"], stdout=VERSION),
    case("--version", ["--version"], stdout=VERSION),
    case("-V -h", ["-V", "-h"], stdout=VERSION),
    case("-h -V", ["-h", "-V"], stdout=USAGE),
    case("-hV", ["-hV"], stdout=USAGE),
    case("-Vh", ["-Vh"], stdout=VERSION),
    case("-v -h", ["-v", "-h"], stdout=USAGE),
    case("-v A -V", ["-v", "A", "-V"], stdout=VERSION),
    case("-h after an operand", ["A", "-h"], stdout=USAGE),
    case("long option abbreviated", ["--vers"], stdout=VERSION),

    # Unrecognised options: the parser's diagnostic, then a normal run.
    case("-Z", ["-Z"], stdin=b"$A\n", stdout=b"1\n", env={"A": "1"},
         stderr=option_diagnostic(b"invalid option -- 'Z'")),
    case("--bogus", ["--bogus", "A"], stdin=b"$A $B\n", stdout=b"1 $B\n",
         env={"A": "1", "B": "2"}, stderr=option_diagnostic(b"unrecognized option '--bogus'")),
    case("--help=yes", ["--help=yes"], stdin=b"$A\n", stdout=b"1\n", env={"A": "1"},
         stderr=option_diagnostic(b"option '--help' doesn't allow an argument")),
    case("--v is ambiguous", ["--v", "A"], stdin=b"$A\n", stdout=b"1\n", env={"A": "1"},
         stderr=option_diagnostic(
             b"option '--v' is ambiguous; possibilities: '--variables' '--version'")),
    case("-Z with -v", ["-Z", "-v", "A"], stdout=b"A\n",
         stderr=option_diagnostic(b"invalid option -- 'Z'")),

    # -f, --env-file: the option's forms; its files and their format are the
    # case files' (tests/cases/env_file.txt).
    case("--env-file=FILE", ["--env-file=app.env"], stdin=b"$A", stdout=b"1",
         files={b"app.env": b"A=1\n"}),
    case("--env-file FILE, abbreviated, after an operand", ["A", "--env", "app.env"],
         stdin=b"$A $B", stdout=b"1 $B", files={b"app.env": b"A=1\nB=2\n"}),
    case("-v does not read the files", ["-v", "-f", "missing.env", "A"], stdout=b"A\n"),
    case("-h before a file is read", ["-f", "missing.env", "-h"], stdout=USAGE),
    case("-V after -f and -p", ["-f", "missing.env", "-p", "A", "-V"], stdout=VERSION),
    # -f never reads the template: standard input is refused by any name.
    case("-f /dev/stdin, a pipe that holds the template", ["-f", "/dev/stdin"],
         stdin=b"A=1\n$A\n", status=1,
         stderr=b"fillvars: -f /dev/stdin: standard input is the template, not a file of "
                b"variables\n"),
    case("-f: many lines setting one name, each from the one before", ["-s", "-f", "app.env"],
         stdin=b"[$A]", stdout=b"[x]",
         files={b"app.env": b"A=x\n" + b"A=${A}\n" * 100000 + b"export A=$A # c\n"}),

    # -i, --input: the template from a file; standard input is then not read.
    case("-i FILE", ["-i", "t.in"], stdin=b"$A from stdin", stdout=b"x=1\n", env={"A": "1"},
         files={b"t.in": b"x=$A\n"}),
    case("--input=FILE, with -s and an operand", ["-s", "--input=t.in", "A"],
         stdin=b"$A from stdin", stdout=b"1 $B\n", env={"A": "1", "B": "2"},
         files={b"t.in": b"${A} $B\n"}),
    case("--input FILE, abbreviated, after an operand", ["A", "--inp", "t.in"],
         stdout=b"1", env={"A": "1"}, files={b"t.in": b"$A"}),
    case("-i - is standard input", ["-i", "-"], stdin=b"$A", stdout=b"1", env={"A": "1"}),
    case("-i FILE with -r", ["-r", "-i", "t.in"], stdin=b"$B", stdout=b"A\n",
         files={b"t.in": b"$A $A"}),
    case("-i FILE with -f FILE", ["-i", "t.in", "-f", "app.env"], stdout=b"1",
         files={b"t.in": b"$A", b"app.env": b"A=1\n"}),
    case("-i a missing FILE: nothing read, nothing written", ["-i", "nginx.conf.in"],
         stdin=b"$A", env={"A": "1"},
         stderr=b"fillvars: nginx.conf.in: No such file or directory\n", status=1),
    case("-i a folder without -o", ["-i", "/"], stdin=b"$A", env={"A": "1"},
         stderr=b"fillvars: /: is a folder of templates: -o names the folder of their outputs\n",
         status=1),
    case("-i FILE escaped in the message", ["-i", b"missing/a\x1b[2J\"\\\xc2\x85"],
         stderr=b'fillvars: missing/a\\x1b[2J\\"\\\\\\u0085: No such file or directory\n',
         status=1),
    case("-i with an empty FILE name", ["-i", ""], stdin=b"$A",
         stderr=b"fillvars: -i: empty file name\n", status=1),
    case("-i a missing FILE before -f's", ["-f", "missing.env", "-i", "missing.in"],
         stderr=b"fillvars: missing.in: No such file or directory\n", status=1),
    case("-i twice", ["-i", "t.in", "--input=t.in"], stdin=b"$A", env={"A": "1"},
         stderr=b"fillvars: -i given twice: the template is one file\n", status=1,
         files={b"t.in": b"$A"}),
    case("-i - twice", ["-i", "-", "-i", "-"], stdin=b"$A", env={"A": "1"},
         stderr=b"fillvars: -i given twice: the template is one file\n", status=1),
    # -f never takes the template: with -i FILE that is FILE, and standard
    # input may then hold the variables.
    case("-i FILE: -f FILE is refused", ["-i", "t.in", "-f", "t.in"],
         stderr=b"fillvars: -f t.in: it is the template (-i), not a file of variables\n",
         status=1, files={b"t.in": b"A=1\n"}),
    case("-i FILE: -f /dev/stdin takes the variables from standard input",
         ["-i", "t.in", "-f", "/dev/stdin"], stdin=b"A=1\n", stdout=b"x=1\n",
         files={b"t.in": b"x=$A\n"}),
    case("-i FILE: -f - is refused with the name that reads standard input",
         ["-i", "t.in", "-f", "-"], stdin=b"A=1\n",
         stderr=b'fillvars: -f -: "-" names no file here: -f /dev/stdin reads the variables '
         b'from standard input\n', status=1, files={b"t.in": b"x=$A\n"}),
    case("-i -: -f /dev/stdin is refused", ["-i", "-", "-f", "/dev/stdin"], stdin=b"A=1\n",
         stderr=b"fillvars: -f /dev/stdin: standard input is the template, not a file of "
         b"variables\n", status=1),
    case("-v does not open -i's FILE", ["-v", "-i", "missing.in", "A"], stdout=b"A\n"),
    case("-h before -i's FILE is opened", ["-i", "missing.in", "-h"], stdout=USAGE),

    # Under -s only shell names are replaced: an operand field that is not
    # one can limit nothing, and is mostly the template named where it is
    # not read. Refused before any input is read.
    case("-s: the template named as an operand", ["-s", "nginx.conf.in"], stdin=b"$A",
         env={"A": "1"}, stderr=NOT_A_NAME % b"nginx.conf.in", status=1),
    case("-s: the first field of an operand that is not a name", ["-s", "A", "${B},./t.tmpl a-b"],
         stdin=b"$A", env={"A": "1"}, stderr=NOT_A_NAME % b"./t.tmpl", status=1),
    case("-s: a field that is not a name, with -v", ["-v", "A", "app.env", "-s"],
         stderr=NOT_A_NAME % b"app.env", status=1),
    case("-s: a field that is not a name, with -r and -i", ["-r", "-s", "-i", "t.in", "t.in"],
         stderr=NOT_A_NAME % b"t.in", status=1, files={b"t.in": b"$A"}),
    case("-s: a field that is not a name, after --", ["-s", "--", "-A"], stdin=b"$A",
         stderr=NOT_A_NAME % b"-A", status=1),
    case("-s: \"$$A\" and \"{B}\" name no shell name", ["-s", "{B},$$A"], stdin=b"$A",
         stderr=NOT_A_NAME % b"{B}", status=1),
    case("-s: the field escaped in the message", ["-s", b"a\x1b[2J\"\xc2\x85"],
         stderr=NOT_A_NAME % b'a\\x1b[2J\\"\\u0085', status=1),
    case("-s: fields that name nothing limit, and replace nothing", ["-s", "", "$", "${},$,"],
         stdin=b"$A ${A}", stdout=b"$A ${A}", env={"A": "1"}),
    case("-s: names in every form", ["-s", "$A,${B} ${C", "_x9"], stdin=b"$A$B$C$_x9$D",
         stdout=b"1234$D", env={"A": "1", "B": "2", "C": "3", "_x9": "4", "D": "5"}),
    case("without -s any bytes name a variable", ["a-b", "./t.tmpl"],
         stdin=b"${a-b} $./t.tmpl $A", stdout=b"v w $A", env={"a-b": "v", "./t.tmpl": "w"}),

    # -E, --escape: the option's forms and its errors, before any input is
    # read, in every mode; the formats are the case files'
    # (tests/cases/escape.txt).
    case("--escape=FORMAT", ["--escape=json"], stdin=b'"${A}"', stdout=b'"\\""',
         env={"A": '"'}),
    case("--escape FORMAT, abbreviated", ["--esc", "url", "A"], stdin=b"${A} $B",
         stdout=b"%2F $B", env={"A": "/", "B": "/"}),
    case("-E twice, the same format", ["-E", "sh", "-E", "sh"], stdin=b"$A", env={"A": "1"},
         stderr=TWICE, status=1),
    case("-E and --escape", ["-Ejson", "--escape=xml"], stdin=b"$A", env={"A": "1"},
         stderr=TWICE, status=1),
    # -E FORMAT:NAMES, any number of times: the names as operands are given.
    case("-E FORMAT:NAMES, names in shell format, comma and white space",
         ["-E", "url:$A,${B}  C", "--escape=sh:D", "-E", "json"],
         stdin=b"$A $B $C $D $E", env={"A": "/", "B": "/", "C": "/", "D": "'", "E": '"'},
         stdout=b"%2F %2F %2F '\\'' \\\""),
    case("-E FORMAT:NAMES: a name twice in one list", ["-E", "url:A,A,$A"], stdin=b"$A $B",
         env={"A": "/", "B": "/"}, stdout=b"%2F /"),
    case("-E FORMAT:NAMES: the empty list names nothing", ["-E", "url:"], stdin=b"$A",
         env={"A": "/"}, stdout=b"/"),
    case("-E FORMAT:NAMES: a name in two lists, before any input is read",
         ["-E", "url:A,B", "-E", "sh:C,${B}"], stdin=b"$A",
         stderr=b'fillvars: "B" is in two lists of -E: a name has one format\n', status=1),
    case("-E FORMAT:NAMES: two lists of one format may not share a name either",
         ["-E", "url:A", "-E", "url:A"], stdin=b"$A",
         stderr=b'fillvars: "A" is in two lists of -E: a name has one format\n', status=1),
    case("-E FORMAT:NAMES: the name in two lists, escaped",
         ["-E", "url:A\x1b", "-E", "sh:A\x1b"], stdin=b"$A",
         stderr=b'fillvars: "A\\x1b" is in two lists of -E: a name has one format\n', status=1),
    case("-E FORMAT:NAMES: an unknown format, the list not shown", ["-E", "yml:A"], stdin=b"$A",
         stderr=b'fillvars: unknown escape format "yml": json, xml, url or sh\n', status=1),
    case("-E FORMAT:NAMES and -E FORMAT twice", ["-E", "url:A", "-E", "sh", "-E", "sh:B",
         "-E", "json"], stdin=b"$A", stderr=TWICE, status=1),
    case("-E FORMAT:NAMES, a bad one with -v", ["-v", "-E", "url:A", "-E", "sh:A", "A"],
         stderr=b'fillvars: "A" is in two lists of -E: a name has one format\n', status=1),
    case("-E FORMAT:NAMES: -h wins", ["-E", "url:A", "-E", "sh:A", "-h"], stdout=USAGE),
    case("-E: a format's name is matched whole, json", ["-E", "jsonx"], stdin=b"$A",
         stderr=b'fillvars: unknown escape format "jsonx": json, xml, url or sh\n', status=1),
    case("-E: a format's name is matched whole, sh", ["-E", "shell:A"], stdin=b"$A",
         stderr=b'fillvars: unknown escape format "shell": json, xml, url or sh\n', status=1),
    case("-E: a format's name is matched whole, a prefix", ["-E", "js"], stdin=b"$A",
         stderr=b'fillvars: unknown escape format "js": json, xml, url or sh\n', status=1),
    case("-E: an unknown format, escaped", ["-E", "yml\x1b"], stdin=b"$A", env={"A": "1"},
         stderr=b'fillvars: unknown escape format "yml\\x1b": json, xml, url or sh\n', status=1),
    case("-E: the empty format", ["-E", ""], stdin=b"$A", env={"A": "1"},
         stderr=b'fillvars: unknown escape format "": json, xml, url or sh\n', status=1),
    case("-E: a format's name is whole and lower-case", ["-E", "JSON"], stdin=b"$A",
         env={"A": "1"},
         stderr=b'fillvars: unknown escape format "JSON": json, xml, url or sh\n', status=1),
    case("-E: an unknown format with -v", ["-v", "-E", "yml", "A"],
         stderr=b'fillvars: unknown escape format "yml": json, xml, url or sh\n', status=1),
    case("-E: an unknown format before -f's file is read", ["-f", "missing.env", "-E", "yml"],
         stderr=b'fillvars: unknown escape format "yml": json, xml, url or sh\n', status=1),
    case("-E: -h wins", ["-E", "yml", "-h"], stdout=USAGE),
    case("-E with -v", ["-E", "sh", "-v", "A"], stdout=b"A\n"),

    # Listing mode.
    case("-v before", ["-v", "A,B", "X"], stdout=b"A\nB\nX\n"),
    case("-v between", ["A,B", "-v", "X"], stdout=b"A\nB\nX\n"),
    case("-v after", ["A,B", "X", "-v"], stdout=b"A\nB\nX\n"),
    case("--variables", ["--variables", "A,B", "X"], stdout=b"A\nB\nX\n"),
    case("-v empty", ["-v"], stderr=NO_VARIABLES, status=1),
    case("-v only empty fields", ["-v", ",", "", ",,"], stderr=NO_VARIABLES, status=1),
    case("-v as extracted", ["-v", "${HOME}", "$$A", "$${A}", "{B}", "HO}ME", "$USER,${SHELL"],
         stdout=b"HOME\n$A\n${A\n{B\nHO\nUSER\nSHELL\n"),
    case("-v duplicates", ["-v", "A", "A,B"], stdout=b"A\nA\nB\n"),
    case("-v empty names", ["-v", "${}", "$"], stdout=b"\n\n"),
    case("-v after --", ["-v", "--", "-E"], stdout=b"-E\n"),
    case("-v with \"-\"", ["-v", "-"], stdout=b"-\n"),
    case("-v at the limit", ["-v", N4095], stdout=N4095.encode() + b"\n"),
    case("-v cut", ["-v", "$" + N4096, "${" + N4095 + "}"],
         stdout=(N4095 + "\n" + N4095 + "\n").encode()),

    # The long names of the options that change what a reference becomes.
    case("--keep", ["--keep"], stdin=b"$A $N ${N}", stdout=b"1 $N ${N}", env={"A": "1"}),
    case("--braced", ["--braced"], stdin=b"$A ${A}", stdout=b"$A 1", env={"A": "1"}),
    case("--prefix=", ["--prefix=A", "--prefix", "B"], stdin=b"$AX $BX $CX",
         stdout=b"1 2 $CX", env={"AX": "1", "BX": "2", "CX": "3"}),
    case("--references", ["--references", "-s"], stdin=b"$A ${B:-$C} $A", stdout=b"A\nB\nC\n"),
    case("-r with -v: -v lists the operands, reads no input", ["-r", "-v", "A,B"],
         stdin=b"$C", stdout=b"A\nB\n"),
    case("-v with -r and no operand", ["-v", "-r"], stdin=b"$C", stderr=NO_VARIABLES, status=1),
    case("--noempty: an unset name is not empty", ["--noempty"], stdin=b"$E.", stdout=b"",
         env={"E": ""}),
    case("--noempty, empty", ["--noempty"], stdin=b"$E .", stdout=b" .", env={"E": ""},
         stderr=b'fillvars: line 1: "E" is empty\n', status=1),
    case("--kee --bra --noe abbreviated", ["--kee", "--bra", "--noe"], stdin=b"$N ${N} ${E}",
         stdout=b"$N ${N} ", env={"E": ""}, stderr=b'fillvars: line 1: "E" is empty\n',
         status=1),
    case("-v lists names, not prefixes", ["-v", "-p", "P", "A B"], stdout=b"A\nB\n"),
    case("-v with only a prefix", ["-v", "-p", "P"], stderr=NO_VARIABLES, status=1),
    case("-v splits at white space", ["-v", "$PORT ${HOST}\tX,Y\r\nZ"],
         stdout=b"PORT\nHOST\nX\nY\nZ\n"),
    case("-v an operand of white space", ["-v", " "], stderr=NO_VARIABLES, status=1),

    # Operands after "--".
    case("operand after --", ["--", "-A"], stdin=b"$-A $B\n", stdout=b"v $B\n",
         env={"-A": "v", "B": "2"}),
    case("empty operand after --", ["--", ""], stdin=b"x$A", stdout=b"x$A", env={"A": "1"}),

    # Inputs too large to write out.
    case("several-MiB line", [], stdin=BIG_LINE, stdout=BIG_LINE.replace(b"${A}", b"1"),
         env={"A": "1"}),
    case("several-MiB line, no $", [], stdin=b"abc " * 1_500_000, stdout=b"abc " * 1_500_000),
    case("every byte, unlisted", ["X"], stdin=ALL_BYTES, stdout=ALL_BYTES),
    case("every byte but $", [], stdin=NO_DOLLAR, stdout=NO_DOLLAR),
]

CASE_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "cases")
ESCAPE = re.compile(rb"\\(?:([nrts0\\])|x([0-9A-Fa-f]{2})|\*([0-9]+)\{([^}\\]*)\}|(@)|(.?))")
SIMPLE = {b"n": b"\n", b"r": b"\r", b"t": b"\t", b"s": b" ", b"0": b"\0", b"\\": b"\\"}


def decode(text, where):
    """A value of a case file, its escapes replaced."""
    def one(match):
        simple, hexadecimal, count, unit, program, unknown = match.groups()
        if simple is not None:
            return SIMPLE[simple]
        if hexadecimal is not None:
            return bytes([int(hexadecimal, 16)])
        if count is not None:
            return unit * int(count)
        if program is not None:
            return BIN.encode()
        sys.exit("%s: unknown escape %r" % (where, b"\\" + unknown))
    return ESCAPE.sub(one, text)


def load_cases(path):
    """The cases of one file of tests/cases/, as case() makes them."""
    cases = []
    current = None
    with open(path, "rb") as f:
        lines = f.read().split(b"\n")
    for number, line in enumerate(lines, 1):
        where = "%s:%d" % (os.path.basename(path), number)
        if not line:
            current = None
            continue
        if line.startswith(b"#"):
            continue
        key, colon, raw = line.partition(b":")
        if line.endswith((b" ", b"\t")):
            sys.exit("%s: a trailing space or tab (write it as \\s or \\t)" % where)
        if not colon or raw[:1] not in (b"", b" "):
            sys.exit('%s: a line is "key: value"' % where)
        key, value = key.decode(), decode(raw[1:], where)
        if key == "case":
            current = case(where + ": " + value.decode(errors="replace"), [])
            current["table"] = True
            cases.append(current)
        elif current is None:
            sys.exit('%s: a case starts with "case:"' % where)
        elif key == "arg":
            current["args"].append(value)
        elif key == "env" and b"=" in value:
            name, _, setting = value.partition(b"=")
            current["env"][name] = setting
        elif key in ("input", "output", "stderr"):
            current[{"input": "stdin", "output": "stdout"}.get(key, key)] = value
        elif key == "status" and value.isdigit():
            current["status"] = int(value)
        elif key == "locale" and value:
            current.setdefault("locales", []).append(value.decode())
        elif key == "file" and value and b"/" not in value:
            current["files"][value] = b""
            last_file = value
        elif key in ("line", "content") and current["files"]:
            current["files"][last_file] += value + (b"\n" if key == "line" else b"")
        else:
            sys.exit("%s: not a case line: %r" % (where, line))
    return cases


def escaped(data):
    """Bytes with CR, NUL and the rest made visible; long ones shortened."""
    if not isinstance(data, bytes):
        return repr(data)
    text = repr(data)
    if len(text) > 300:
        text = text[:150] + " ...(%d bytes)... " % len(data) + text[-150:]
    return text


class Results:
    def __init__(self):
        self.passed = 0
        self.failed = 0
        self.hung = 0

    def hung_case(self, name, checks=()):
        """A case killed at its time limit; a fault that hangs one case
        mostly hangs the rest, so after a few the run stops."""
        self.hung += 1
        self.check(name, list(checks) + [("ended within %d s" % LIMIT, True, "hung, killed")])
        if self.hung >= HANGS_TO_STOP:
            print("%d cases hung: stopping, the rest not run" % self.hung)
            print("%d passed, %d failed" % (self.passed, self.failed))
            sys.exit(1)

    def check(self, name, checks):
        """checks: (what, expected, actual) triples."""
        wrong = [c for c in checks if c[1] != c[2]]
        if not wrong:
            self.passed += 1
            return
        self.failed += 1
        print("FAIL: %s" % name)
        for what, expected, actual in wrong:
            print("  %s expected: %s" % (what, escaped(expected)))
            print("  %s actual:   %s" % (what, escaped(actual)))


def utf8_here():
    """Whether the program finds C.UTF-8. Run directly it must; under a
    wrapper it may not: qemu for a big-endian CPU cannot read the host's
    locale files, and the program then reads C.UTF-8 as C."""
    if not WRAPPER:
        return True
    p = subprocess.run(command(["-s"]), input=b"${#N}", capture_output=True,
                       env=child_env({b"LC_ALL": b"C.UTF-8", b"N": "\u00eb".encode()}))
    if p.stdout == b"1":
        return True
    print("note: no C.UTF-8 locale for the program under the wrapper; its cases run in C only")
    return False


def run_case(results, c):
    """A case of the table runs under LC_ALL set to each of its locales,
    both of LOCALES where it names none; one of the table above as it is."""
    if "locales" not in c and not c.get("table"):
        run_in_locale(results, c, None)
        return
    for locale in c.get("locales", LOCALES):
        if locale != "C.UTF-8" or UTF8_HERE:
            run_in_locale(results, c, locale)


def run_in_locale(results, c, locale):
    if locale is not None:
        c = dict(c, env={**c["env"], b"LC_ALL": locale.encode()},
                 name="%s [LC_ALL=%s]" % (c["name"], locale))
    if SCRIPT_WRAPPER and not all(re.fullmatch(rb"[A-Za-z_][A-Za-z0-9_]*", n) for n in c["env"]):
        return
    with tempfile.TemporaryDirectory() as folder:
        for name, content in c["files"].items():
            with open(os.path.join(os.fsencode(folder), name), "wb") as f:
                f.write(content)
        try:
            p = subprocess.run(command(c["args"]), input=c["stdin"], env=child_env(c["env"]),
                               capture_output=True, timeout=LIMIT,
                               cwd=folder if c["files"] else None)
        except subprocess.TimeoutExpired:
            results.hung_case(c["name"])
            return
    results.check(c["name"], [("stdout", c["stdout"], p.stdout),
                              ("stderr", c["stderr"], p.stderr),
                              ("status", c["status"], p.returncode)])


def read_for(stream, count, timeout):
    """Reads up to count bytes, waiting at most timeout seconds for each piece."""
    data = b""
    while len(data) < count:
        ready, _, _ = select.select([stream], [], [], timeout * SLOW)
        if not ready:
            break
        piece = os.read(stream.fileno(), count - len(data))
        if not piece:
            break
        data += piece
    return data


def interactive(results):
    """Each line's result arrives while the input is still open."""
    p = subprocess.Popen(command([]), env=child_env({"A": "1"}), stdin=subprocess.PIPE,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    seen = []
    for line, expected in [(b"one $A\n", b"one 1\n"), (b"two ${A}x\n", b"two 1x\n"),
                           (b"three\r\n", b"three\r\n")]:
        p.stdin.write(line)
        p.stdin.flush()
        seen.append(("output for " + repr(line), expected, read_for(p.stdout, len(expected), 5)))
    try:
        # Closes the input first.
        rest, err = p.communicate(timeout=LIMIT)
    except subprocess.TimeoutExpired:
        p.kill()
        p.communicate()
        results.hung_case("interactive", seen)
        return
    results.check("interactive", seen + [("rest", b"", rest), ("stderr", b"", err),
                                         ("status", 0, p.returncode)])


def env_file_descriptors(results):
    """-f reads a pipe that is not standard input, longer than one read; a
    character device may be both."""
    read_end, write_end = os.pipe()
    with open(write_end, "wb") as pipe:
        p = subprocess.Popen(command(["-f", "/dev/fd/%d" % read_end]), env=child_env({}),
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, pass_fds=(read_end,))
        os.close(read_end)
        pipe.write(b"A=1\n" * 30000 + b"bad line\n")
    try:
        out, err = p.communicate(b"$A", timeout=LIMIT)
    except subprocess.TimeoutExpired:
        p.kill()
        p.communicate()
        results.hung_case("-f: a pipe")
        return
    expected = (b"fillvars: /dev/fd/%d:30001: not a NAME=VALUE line (a value on several lines "
                b"must be quoted)\n" % read_end)
    results.check("-f: a file read from a pipe, longer than one read",
                  [("stdout", b"", out), ("stderr", expected, err), ("status", 1, p.returncode)])
    p = subprocess.run(command(["-f", "/dev/null"]), env=child_env({}),
                       stdin=subprocess.DEVNULL, capture_output=True, timeout=LIMIT)
    results.check("-f /dev/null, standard input /dev/null too",
                  [("stdout", b"", p.stdout), ("stderr", b"", p.stderr),
                   ("status", 0, p.returncode)])


def escaping_matches_unicode(results):
    """Every character past ASCII in a report: kept, but for the C1 controls,
    U+2028, U+2029 and the format characters (category Cf, as this
    Python's Unicode names them, plus those Unicode 15 added), which are
    escaped as \\uHHHH or \\UHHHHHHHH."""
    import unicodedata
    added = set(range(0x13439, 0x13440))  # format characters new in Unicode 15
    codes = [c for c in range(0x80, 0x110000)
             if not 0xd800 <= c <= 0xdfff and (c < 0x20000 or c >= 0xe0000)]
    template = b"".join(b"${%s}" % chr(c).encode() for c in codes)
    p = subprocess.run(command(["-u"]), input=template, env=child_env({}), capture_output=True,
                       timeout=LIMIT * 6)
    wrong = []
    shown = p.stderr.split(b"\n")
    for c, line in zip(codes, shown):
        hidden = (c <= 0x9f or c in (0x2028, 0x2029) or c in added
                  or unicodedata.category(chr(c)) == "Cf")
        want = (("\\U%08x" if c > 0xffff else "\\u%04x") % c).encode() if hidden \
            else chr(c).encode()
        if line != b'fillvars: line 1: "' + want + b'" is not set':
            wrong.append("U+%04X: %r" % (c, line))
    results.check("reports escape the characters a terminal hides, and only those",
                  [("reports", len(codes), len(shown) - 1), ("wrong", [], wrong[:5]),
                   ("status", 1, p.returncode)])


def main():
    results = Results()
    files = sorted(glob.glob(os.path.join(CASE_DIR, "*.txt")) +
                   glob.glob(os.path.join(CASE_DIR, "*.e2e")))
    if not files:
        sys.exit("no case files in " + CASE_DIR)
    global UTF8_HERE
    UTF8_HERE = utf8_here()
    for c in [c for path in files for c in load_cases(path)] + CASES:
        run_case(results, c)
    interactive(results)
    env_file_descriptors(results)
    escaping_matches_unicode(results)
    print("%d passed, %d failed" % (results.passed, results.failed))
    return 1 if results.failed else 0


if __name__ == "__main__":
    sys.exit(main())
