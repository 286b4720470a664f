#!/usr/bin/env python3
"""-i FOLDER -o FOLDER end to end: the outputs mirror the templates (with
--suffix taken off), new files and folders take their templates' modes, a
run that is refused writes nothing, and a run that fails in any template,
by a report, a failed call or a signal before the renames, leaves every
output as it was with no temporary file and no new folder beside them.

usage: template_folder.py FILLVARS FAILCALL_LIBRARY|none

Each case builds a scratch folder with the templates in t/ and the outputs
in out/, runs fillvars there and compares the whole scratch folder (every
path, its kind, mode and bytes) with what it should hold. FAILCALL_LIBRARY
is tests/failcall.cpp built; "none" skips the cases that need it.
"""
import os
import shlex
import shutil
import signal
import stat
import subprocess
import sys
import tempfile

FILLVARS = os.path.abspath(sys.argv[1])
FAILCALL = None if sys.argv[2] == "none" else os.path.abspath(sys.argv[2])
WRAPPER = shlex.split(os.environ.get("FILLVARS_WRAPPER", ""))
SLOW = 20 if WRAPPER else 1
ENV = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "PORT": "80", "HOST": "example.org"}

results = {"passed": 0, "failed": 0, "skipped": 0}


def report(name, problems):
    results["failed" if problems else "passed"] += 1
    print(("FAIL " if problems else "ok   ") + name)
    for problem in problems:
        print("    " + problem)


def skip(name, why):
    results["skipped"] += 1
    print("skip %s (%s)" % (name, why))


def build(folder, tree):
    """tree: {path: bytes (a file), (bytes, mode), None (a folder), or
    ("link", target)}; folders are made as needed."""
    for path, what in sorted(tree.items()):
        full = os.path.join(folder, path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        if what is None:
            os.makedirs(full, exist_ok=True)
        elif isinstance(what, tuple) and what[0] == "link":
            os.symlink(what[1], full)
        elif isinstance(what, tuple):
            with open(full, "wb") as f:
                f.write(what[0])
            os.chmod(full, what[1])
        else:
            with open(full, "wb") as f:
                f.write(what)


def snapshot(folder):
    """Every path under folder: its kind and mode, a file's bytes, a link's target."""
    found = {}
    for root, dirs, files in os.walk(folder):
        for name in dirs + files:
            full = os.path.join(root, name)
            status = os.lstat(full)
            path = os.path.relpath(full, folder)
            if stat.S_ISLNK(status.st_mode):
                found[path] = ("link", os.readlink(full))
            elif stat.S_ISDIR(status.st_mode):
                found[path] = ("folder", oct(stat.S_IMODE(status.st_mode)))
            else:
                with open(full, "rb") as f:
                    found[path] = ("file", oct(stat.S_IMODE(status.st_mode)), f.read())
    return found


def differences(before, after):
    problems = []
    for path in sorted(set(before) | set(after)):
        if before.get(path) != after.get(path):
            problems.append("%s: %s, expected %s" % (path, after.get(path), before.get(path)))
    return problems


def run(args, folder, env=None, stdin=b"", umask=0o022):
    def prepare():
        for number in (signal.SIGINT, signal.SIGHUP, signal.SIGTERM):
            signal.signal(number, signal.SIG_DFL)
        os.umask(umask)

    proc = subprocess.run(WRAPPER + [FILLVARS] + args, cwd=folder, input=stdin,
                          capture_output=True, env=dict(ENV, **(env or {})),
                          preexec_fn=prepare, timeout=60 * SLOW)
    return proc.returncode, proc.stdout, proc.stderr


def case(name, tree, args, status=0, stderr=b"", stdout=b"", changed=None, env=None,
         stdin=b"", umask=0o022):
    """Runs args over tree; the scratch folder must then hold what it held
    before with changed applied: {path: what snapshot shows, or None for gone}."""
    with tempfile.TemporaryDirectory() as folder:
        build(folder, tree)
        before = snapshot(folder)
        got = run(args, folder, env, stdin, umask)
        after = snapshot(folder)
        expected = dict(before)
        for path, what in (changed or {}).items():
            if what is None:
                expected.pop(path, None)
            else:
                expected[path] = what
        problems = []
        if got[0] != status:
            problems.append("status %s, expected %s" % (got[0], status))
        if got[1] != stdout:
            problems.append("stdout %r, expected %r" % (got[1], stdout))
        if got[2] != stderr:
            problems.append("stderr %r, expected %r" % (got[2], stderr))
        report(name, problems + differences(expected, after))


def new_file(data, mode=0o644):
    return ("file", oct(mode), data)


def new_folder(mode=0o755):
    return ("folder", oct(mode))


# A site of templates: two in the folder, one a subfolder down, one
# executable, and a file that is no template.
SITE = {
    "t/default.conf.template": b"listen $PORT\n",
    "t/README": b"not a template: $PORT\n",
    "t/run.sh.template": (b"#!/bin/sh\necho ${HOST}\n", 0o755),
    "t/sites/a.conf.template": b"server_name $HOST\n",
    "t/sites/deep/b.conf.template": b"b $PORT $HOST\n",
}
SITE_OUT = {
    "out": new_folder(),
    "out/default.conf": new_file(b"listen 80\n"),
    "out/run.sh": new_file(b"#!/bin/sh\necho example.org\n", 0o755),
    "out/sites": new_folder(),
    "out/sites/a.conf": new_file(b"server_name example.org\n"),
    "out/sites/deep": new_folder(),
    "out/sites/deep/b.conf": new_file(b"b 80 example.org\n"),
}


def structure_cases():
    case("suffix: the templates' structure, without the suffix", SITE,
         ["-i", "t", "-o", "out", "--suffix=.template"], changed=SITE_OUT)
    everything = {"out": new_folder(), "out/README": new_file(b"not a template: 80\n"),
                  "out/default.conf.template": new_file(b"listen 80\n"),
                  "out/run.sh.template": new_file(b"#!/bin/sh\necho example.org\n", 0o755),
                  "out/sites": new_folder(),
                  "out/sites/a.conf.template": new_file(b"server_name example.org\n"),
                  "out/sites/deep": new_folder(),
                  "out/sites/deep/b.conf.template": new_file(b"b 80 example.org\n")}
    case("no suffix: every file, under its own name", SITE, ["-i", "t", "-o", "out"],
         changed=everything)
    case("-o made with its parents, as mkdir -p", SITE,
         ["-i", "t", "-o", "a/b/out", "--suffix=.template"],
         changed=dict({"a": new_folder(), "a/b": new_folder()},
                      **{"a/b/" + path: what for path, what in SITE_OUT.items()}))
    # The umask applies to new files and folders; a subfolder takes its
    # template folder's bits.
    private = dict(SITE, **{"t/sites": None})
    with_modes = dict(SITE_OUT, **{"out/run.sh": new_file(b"#!/bin/sh\necho example.org\n", 0o750),
                                   "out/default.conf": new_file(b"listen 80\n", 0o640),
                                   "out/sites/a.conf": new_file(b"server_name example.org\n",
                                                                0o640),
                                   "out/sites/deep/b.conf": new_file(b"b 80 example.org\n",
                                                                     0o640),
                                   "out": new_folder(0o750), "out/sites": new_folder(0o750),
                                   "out/sites/deep": new_folder(0o750)})
    case("umask 027: new files and folders lose its bits", private,
         ["-i", "t", "-o", "out", "--suffix=.template"], umask=0o027, changed=with_modes)
    # An output that exists keeps its mode; one that no template maps to stays.
    kept = dict(SITE, **{"out/default.conf": (b"old\n", 0o600), "out/other.conf": b"mine\n"})
    case("an existing output keeps its mode; other files stay", kept,
         ["-i", "t", "-o", "out", "--suffix=.template"],
         changed=dict(SITE_OUT, **{"out/default.conf": new_file(b"listen 80\n", 0o600)}))
    # Links are followed inside the folder: a linked file and a linked folder.
    linked = dict(SITE, **{"t/alias.conf.template": ("link", "default.conf.template"),
                           "t/mirror": ("link", "sites/deep")})
    case("links in the folder followed", linked, ["-i", "t", "-o", "out", "--suffix=.template"],
         changed=dict(SITE_OUT, **{"out/alias.conf": new_file(b"listen 80\n"),
                                   "out/mirror": new_folder(),
                                   "out/mirror/b.conf": new_file(b"b 80 example.org\n")}))


def option_cases():
    tree = {"t/a": b"$PORT ${UNSET} $X_ONE ${X_TWO}\n", "t/b": b"${HOST:-none} $$PORT\n"}
    case("-k and -p apply to every template", tree,
         ["-k", "-p", "X_", "-i", "t", "-o", "out"], env={"X_ONE": "1", "X_TWO": "2"},
         changed={"out": new_folder(), "out/a": new_file(b"$PORT ${UNSET} 1 2\n"),
                  "out/b": new_file(b"${HOST:-none} $$PORT\n")})
    case("-s forms in every template", tree, ["-s", "-i", "t", "-o", "out"],
         changed={"out": new_folder(), "out/a": new_file(b"80   \n"),
                  "out/b": new_file(b"example.org $PORT\n")})
    case("-b and -E json in every template", {"t/a": b"$Q ${Q}\n", "t/b": b"${Q}\n"},
         ["-b", "-E", "json", "-i", "t", "-o", "out"], env={"Q": 'say "hi"'},
         changed={"out": new_folder(), "out/a": new_file(b'$Q say \\"hi\\"\n'),
                  "out/b": new_file(b'say \\"hi\\"\n')})
    # -f read once, whatever the number of templates: standard input holds it.
    case("-f read once for every template", {"t/a": b"a=$A\n", "t/b": b"b=$A\n", "t/c": b"c=$A\n"},
         ["-u", "-f", "/dev/stdin", "-i", "t", "-o", "out"], stdin=b"A=1\n",
         changed={"out": new_folder(), "out/a": new_file(b"a=1\n"),
                  "out/b": new_file(b"b=1\n"), "out/c": new_file(b"c=1\n")})


def listing_cases():
    tree = {"t/b": b"$B $A\n", "t/a": b"$A $C\n", "t/sub/c": b"${D} $B\n", "t/a.skip": b"$Z\n"}
    case("-r: every template's names, each once, in byte order of the paths", tree,
         ["-r", "-i", "t"], stdout=b"A\nC\nZ\nB\nD\n")
    case("-r --suffix: only the templates", {"t/x.in": b"$A\n", "t/y": b"$B\n"},
         ["-r", "-i", "t", "--suffix=.in"], stdout=b"A\n")
    case("-r -u: every failure reported, naming its template", tree,
         ["-r", "-u", "-i", "t"], env={"A": "1"}, status=1, stdout=b"A\nC\nZ\nB\nD\n",
         stderr=b'fillvars: t/a:1: "C" is not set\n'
                b'fillvars: t/a.skip:1: "Z" is not set\n'
                b'fillvars: t/b:1: "B" is not set\n'
                b'fillvars: t/sub/c:1: "D" is not set\n'
                b'fillvars: t/sub/c:1: "B" is not set\n')


TEN = {"t/%02d.conf" % i: b"n=%d\nport=$PORT\n" % i for i in range(1, 11)}
TEN_OLD = dict(TEN, **{"out/%02d.conf" % i: b"old %d\n" % i for i in range(1, 11)})
TEN_NEW = {"out/%02d.conf" % i: new_file(b"n=%d\nport=80\n" % i) for i in range(1, 11)}


def failure_cases():
    failing = dict(TEN_OLD, **{"t/05.conf": b"n=5\n\nport=$MISSING\n", "t/new/11.conf": b"$PORT\n"})
    case("a report in the fifth of ten: no output changes, no folder made", failing,
         ["-u", "-i", "t", "-o", "out"], status=1,
         stderr=b'fillvars: t/05.conf:3: "MISSING" is not set\n'
                b"fillvars: out: no output changed: the reports above name the templates that "
                b"failed\n")
    case("then all good: every output new", TEN_OLD, ["-u", "-i", "t", "-o", "out"],
         changed=TEN_NEW)
    case("a template that cannot be read: nothing changes",
         dict(TEN_OLD, **{"t/07.conf": ("$PORT\n", 0o000)}) if os.geteuid() != 0 else
         dict(TEN_OLD, **{"t/07.conf": ("link", "07.conf")}),
         ["-i", "t", "-o", "out"], status=1,
         stderr=b"fillvars: t/07.conf: Permission denied\n" if os.geteuid() != 0 else
         b"fillvars: t/07.conf: Too many levels of symbolic links\n")


def refusal_cases():
    """Each refused before anything is written: status 1, one message."""
    site = dict(SITE)
    cases = [
        ("-i FOLDER without -o", site, ["-i", "t"],
         b"fillvars: t: is a folder of templates: -o names the folder of their outputs\n"),
        ("-o a file, -i a folder", dict(site, out=b"x"), ["-i", "t", "-o", "out"],
         b"fillvars: out: -o names a file, and -i a folder: -o names the folder of the "
         b"outputs\n"),
        ("-i a file, -o a folder", dict(site, **{"out": None}),
         ["-i", "t/README", "-o", "out"], b"fillvars: out: names a folder, not a file\n"),
        ("-o the template folder", site, ["-i", "t", "-o", "t/"],
         b"fillvars: t/: is the template folder: the outputs go in a folder of their own\n"),
        ("-o inside the template folder", site, ["-i", "t", "-o", "t/sites/out"],
         b"fillvars: t/sites/out: is inside the template folder t: the next run would take "
         b"its outputs for templates\n"),
        ("-o inside the template folder through a link",
         dict(site, **{"link": ("link", "t/sites")}), ["-i", "t", "-o", "link/out"],
         b"fillvars: link/out: is inside the template folder t: the next run would take "
         b"its outputs for templates\n"),
        ("-o a new folder inside the template folder", site, ["-i", "t", "-o", "t/new/out"],
         b"fillvars: t/new/out: is inside the template folder t: the next run would take "
         b"its outputs for templates\n"),
        ("-o the template folder, through a new folder and \"..\"", site,
         ["-i", "t", "-o", "new/../t"],
         b"fillvars: new/../t: is the template folder: the outputs go in a folder of their "
         b"own\n"),
        ("-o inside the template folder, through a new folder and \"..\"", site,
         ["-i", "t", "-o", "new/../t/out"],
         b"fillvars: new/../t/out: is inside the template folder t: the next run would take "
         b"its outputs for templates\n"),
        ("-o empty", site, ["-i", "t", "-o", ""], b"fillvars: -o: empty file name\n"),
        ("an output that is a template itself", {"t/t/a": b"$PORT\n", "t/a": b"template\n"},
         ["-i", "t", "-o", "."],
         b"fillvars: ./t/a: is a template of t, which its output would replace\n"),
        ("a new output that lands in the template folder", {"t/t/a": b"$PORT\n"},
         ["-i", "t", "-o", "."],
         b"fillvars: ./t/a: is in the template folder t: the next run would take it for a "
         b"template\n"),
        ("a new output folder that lands in the template folder", {"t/t/s/a": b"$PORT\n"},
         ["-i", "t", "-o", "."],
         b"fillvars: ./t/s/a: is in the template folder t: the next run would take it for a "
         b"template\n"),
        ("two outputs clash: a file and a folder",
         dict(site, **{"t/a.conf.template": b"x", "t/a.conf/b.template": b"y"}),
         ["-i", "t", "-o", "out", "--suffix=.template"],
         b"fillvars: t/a.conf.template: its output is a folder of outputs too, for "
         b"t/a.conf/b.template: rename one of them\n"),
        ("two outputs one file, through a link in the output folder",
         {"t/a": b"a\n", "t/b": b"b\n", "out/a": ("link", "b")}, ["-i", "t", "-o", "out"],
         b"fillvars: out/b: is the same file as out/a, the output of another template: "
         b"one output each\n"),
        ("two outputs one file, through a folder link in the output folder",
         {"t/a": b"a\n", "t/s/a": b"s\n", "out/s": ("link", ".")}, ["-i", "t", "-o", "out"],
         b"fillvars: out/s/a: is the same file as out/a, the output of another template: "
         b"one output each\n"),
        ("a folder where an output goes", dict(site, **{"out/default.conf": None}),
         ["-i", "t", "-o", "out", "--suffix=.template"],
         b"fillvars: out/default.conf: names a folder, not a file\n"),
        ("a file where an output's folder goes", dict(site, **{"out/sites": b"x"}),
         ["-i", "t", "-o", "out", "--suffix=.template"],
         b"fillvars: out/sites: is a file where the output out/sites/a.conf needs a folder\n"),
        ("a folder with no template", {"t/x": None}, ["-i", "t", "-o", "out"],
         b"fillvars: t: holds no file: no template to render\n"),
        ("a folder with no template, under --suffix", site,
         ["-i", "t", "-o", "out", "--suffix=.tpl"],
         b"fillvars: t: holds no file whose name ends in .tpl: no template to render\n"),
        ("a link out of the folder", dict(site, **{"t/out.template": ("link", "../x"), "x": b"x"}),
         ["-i", "t", "-o", "out"],
         b"fillvars: t/out.template: a link out of the template folder, t: only what the "
         b"folder holds is rendered\n"),
        ("a link that loops to a folder above", dict(site, **{"t/sites/up": ("link", "..")}),
         ["-i", "t", "-o", "out"],
         b"fillvars: t/sites/up: a link to a folder that holds it: a loop\n"),
        ("a link that leads nowhere", dict(site, **{"t/gone": ("link", "nothing")}),
         ["-i", "t", "-o", "out"], b"fillvars: t/gone: No such file or directory\n"),
        ("a name that is the suffix alone", dict(site, **{"t/.template": b"x"}),
         ["-i", "t", "-o", "out", "--suffix=.template"],
         b"fillvars: t/.template: its name is the suffix alone, which leaves its output no "
         b"name\n"),
        ("--suffix without a folder", site, ["-i", "t/README", "--suffix=.template"],
         b"fillvars: --suffix picks the templates of a folder: -i names none\n"),
    ]
    for name, tree, args, message in cases:
        case(name, tree, args, status=1, stderr=message)


def protection_cases():
    """What -o FILE promises of its file holds for each output: another
    user's file in a folder anyone may write to is refused before anything is
    written, and an output's access ACL is kept."""
    if os.geteuid() != 0:
        skip("another user's output, an output's ACL", "not root")
        return
    with tempfile.TemporaryDirectory() as folder:
        build(folder, {"t/a": b"$PORT\n", "t/b": b"$PORT\n", "out/b": b"theirs\n"})
        os.chmod(os.path.join(folder, "out"), 0o1777)
        os.chown(os.path.join(folder, "out/b"), 65534, 65534)
        before = snapshot(folder)
        got = run(["-i", "t", "-o", "out"], folder)
        problems = [] if got[0] == 1 else ["status %s, expected 1" % got[0]]
        want = (b"fillvars: out/b: belongs to another user, in out, which others may write to: "
                b"remove it, or write it as its owner\n")
        if got[2] != want:
            problems.append("stderr %r, expected %r" % (got[2], want))
        report("another user's output in a shared folder: refused, nothing written",
               problems + differences(before, snapshot(folder)))
    if shutil.which("setfacl") is None:
        skip("an output's ACL", "no setfacl")
        return
    with tempfile.TemporaryDirectory() as folder:
        build(folder, {"t/a": b"$PORT\n", "t/b": b"$PORT\n", "out/a": b"old\n"})
        acl = subprocess.run(["setfacl", "-m", "u:65534:rw", os.path.join(folder, "out/a")])
        if acl.returncode != 0:
            skip("an output's ACL", "no ACLs on this file system")
            return
        facl = lambda: subprocess.run(["getfacl", "-cp", os.path.join(folder, "out/a")],
                                      capture_output=True).stdout
        before = facl()
        got = run(["-i", "t", "-o", "out"], folder)
        problems = [] if got[0] == 0 else ["status %s, stderr %r" % (got[0], got[2])]
        if facl() != before:
            problems.append("the ACL became %r, expected %r" % (facl(), before))
        report("an output's ACL kept", problems)


def interposed(name, tree, args, env, status, stderr=None, changed=None):
    """A run under the interposer: the status, the message where it is
    given, and the folder as before apart from changed."""
    with tempfile.TemporaryDirectory() as folder:
        build(folder, tree)
        before = snapshot(folder)
        got = run(args, folder, dict(env, LD_PRELOAD=FAILCALL))
        expected = dict(before)
        expected.update(changed or {})
        problems = []
        if got[0] != status:
            problems.append("status %s, expected %s" % (got[0], status))
        if stderr is not None and got[2] != stderr:
            problems.append("stderr %r, expected %r" % (got[2], stderr))
        report(name, problems + differences(expected, snapshot(folder)))
        return got


def fault_cases():
    """Each call of the run's path fails in turn, then a signal comes inside
    it: every output stays as it was, with nothing beside them."""
    if FAILCALL is None or WRAPPER:
        skip("failed calls and signals", "no interposer" if FAILCALL is None else "wrapper")
        return
    tree = dict(TEN_OLD, **{"t/new/11.conf": b"$PORT\n"})
    args = ["-i", "t", "-o", "out"]
    # The calls up to the renames: 11 temporary files, each written and
    # synced once, each template read twice (its text, its end), and the one
    # new folder.
    for call, calls in (("openat", 11), ("write", 11), ("fsync", 11), ("read", 22), ("mkdir", 1)):
        for n in range(1, calls + 1):
            with tempfile.TemporaryDirectory() as folder:
                build(folder, tree)
                got = run(args, folder, {"LD_PRELOAD": FAILCALL, "FAILCALL": "%s:%d" % (call, n)})
            if got[0] == 0:
                break
            interposed("%s call %d fails" % (call, n), tree, args,
                       {"FAILCALL": "%s:%d" % (call, n)}, 1)
        for number in (signal.SIGTERM, signal.SIGINT):
            for n in sorted({1, (calls + 1) // 2, calls}):
                interposed("%s inside %s call %d" % (signal.Signals(number).name, call, n), tree,
                           args, {"FAILCALL_SIGNAL": "%s:%d:%d" % (call, n, number)}, -number)
    interposed("the first rename fails: nothing changes", tree, args,
               {"FAILCALL": "renameat:1"}, 1,
               b"fillvars: out/01.conf: not replaced, nor any other output: "
               b"Input/output error\n")
    # Past the first rename the old set is gone: the message says which are new.
    interposed("the second rename fails: the message says which are new", tree, args,
               {"FAILCALL": "renameat:2"}, 1,
               b"fillvars: out/02.conf: not replaced, nor the outputs after it; those before it "
               b"were: Input/output error\n",
               changed={"out/01.conf": new_file(b"n=1\nport=80\n")})
    done = dict(TEN_NEW, **{"out/new": new_folder(), "out/new/11.conf": new_file(b"80\n")})
    interposed("a folder's sync fails after the renames: every output new, and said", tree,
               args, {"FAILCALL": "fsync:12"}, 1,
               b"fillvars: out/01.conf: replaced, but its folder could not be synced (run sync): "
               b"Input/output error\n", changed=done)
    # A signal once the renames have begun waits until they are all done.
    interposed("a signal inside the first rename: the whole set, then the signal", tree, args,
               {"FAILCALL_SIGNAL": "renameat:1:%d" % signal.SIGTERM}, -signal.SIGTERM,
               b"", changed=done)


def main():
    structure_cases()
    option_cases()
    listing_cases()
    failure_cases()
    refusal_cases()
    protection_cases()
    fault_cases()
    print("%(passed)d passed, %(failed)d failed, %(skipped)d skipped" % results)
    return 1 if results["failed"] else 0


if __name__ == "__main__":
    sys.exit(main())
