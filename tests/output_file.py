#!/usr/bin/env python3
"""-o FILE end to end: a run that succeeds replaces FILE whole; every run that
fails, whichever way, leaves FILE byte for byte as it was and no temporary
file beside it. A FILE that cannot or may not be replaced is reported before
any input is read; one that names a descriptor is written through it.

usage: output_file.py FILLVARS FAILCALL_LIBRARY|none

Each case runs in a scratch folder holding FILE ("f", with OLD in it) and
checks standard output, standard error, the status, FILE afterwards and that
the folder holds nothing else. FAILCALL_LIBRARY is tests/failcall.cpp built;
"none" skips the cases that need it (sanitizer builds). FILLVARS_WRAPPER, if
set, is a command put in front of every run (tests/memcheck); the interposer
cases are skipped then. As root the cases that need a mount (a full device,
a read-only folder) run in a mount namespace of their own, and the
unwritable folder is tried as an unprivileged user.
"""
import os
import re
import resource
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
NAMESPACE_MARK = "FILLVARS_OUTPUT_NAMESPACE"

ENV = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "A": "1"}
OLD = b"old: the last good file\n"
STDIN_REFUSED = b"fillvars: -f %s: standard input is the template, not a file of variables\n"
USAGE = (b"usage: fillvars [OPTIONS] [VARIABLE-NAMES...]\n"
         b"       VARIABLE-NAMES can be specified in shell format or bare.\n")
# 8-byte lines, so that 128 KiB blocks end on line boundaries.
LINE_IN, LINE_OUT = b"k=${A};\n", b"k=1;\n"
FOLDER_SYNC = b"fillvars: f: replaced, but its folder could not be synced (run sync): %s\n"

results = {"passed": 0, "failed": 0, "skipped": 0}


def show(data):
    text = repr(data[:200]) if isinstance(data, bytes) else repr(data)
    return text + (" ... (%d bytes)" % len(data) if isinstance(data, bytes) and len(data) > 200
                   else "")


def report(name, problems):
    results["failed" if problems else "passed"] += 1
    print(("FAIL " if problems else "ok   ") + name)
    for problem in problems:
        print("    " + problem)


def skip(name, why):
    results["skipped"] += 1
    print("skip %s (%s)" % (name, why))


def listing(folder):
    """Every path under folder, relative, with its kind."""
    found = set()
    for root, dirs, files in os.walk(folder):
        for name in dirs + files:
            path = os.path.join(root, name)
            found.add((os.path.relpath(path, folder), stat.S_IFMT(os.lstat(path).st_mode)))
    return found


def read(path):
    with open(path, "rb") as f:
        return f.read()


def scratch_folder():
    """A folder holding f (OLD, mode 0640); others may enter it, for the
    cases that run as another user."""
    folder = tempfile.mkdtemp(prefix="fillvars-output-")
    os.chmod(folder, 0o755)
    with open(os.path.join(folder, "f"), "wb") as f:
        f.write(OLD)
    os.chmod(os.path.join(folder, "f"), 0o640)
    return folder


def remove(folder):
    for root, dirs, _ in os.walk(folder):
        for name in dirs:
            os.chmod(os.path.join(root, name), 0o755)
    subprocess.run(["rm", "-rf", folder], check=True)


def start(args, folder, stdin, env=None, umask=None, preexec=None, command=None):
    """Starts fillvars in folder. stdin: bytes (a regular file, which stays
    open so that its offset can be read), "dir", "closed" or a descriptor.
    Returns (process, the input file or None)."""
    in_file = None
    if isinstance(stdin, bytes):
        in_file = tempfile.TemporaryFile()
        in_file.write(stdin)
        in_file.seek(0)
        stdin_arg = in_file
    elif stdin == "dir":
        stdin_arg = os.open(folder, os.O_RDONLY)
    elif stdin == "closed":
        stdin_arg = subprocess.DEVNULL
    else:
        stdin_arg = stdin

    def prepare():
        # The program keeps a signal ignored that it was started with: the
        # cases that send one need it at its default, however this script
        # was started (a background job of a shell ignores SIGINT).
        for number in (signal.SIGINT, signal.SIGHUP, signal.SIGTERM):
            signal.signal(number, signal.SIG_DFL)
        # SIGQUIT and SIGXCPU would leave a core file in the folder.
        resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
        if umask is not None:
            os.umask(umask)
        if stdin == "closed":
            os.close(0)
        if preexec:
            preexec()

    # A group of its own, so that a run that hangs ends with all it started.
    proc = subprocess.Popen((command or WRAPPER + [FILLVARS]) + args, cwd=folder,
                            stdin=stdin_arg, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            env=dict(ENV, **(env or {})), preexec_fn=prepare,
                            process_group=0)
    if stdin == "dir":
        os.close(stdin_arg)
    return proc, in_file


def run(args, folder, stdin=b"", env=None, umask=None, preexec=None, command=None):
    """Runs fillvars to its end: (status, stdout, stderr, input offset)."""
    proc, in_file = start(args, folder, stdin, env, umask, preexec, command)
    try:
        out, err = proc.communicate(timeout=60 * SLOW)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        out, err = proc.communicate()
    offset = None
    if in_file is not None:
        offset = os.lseek(in_file.fileno(), 0, os.SEEK_CUR)
        in_file.close()
    return proc.returncode, out, err, offset


def check(name, got, folder, before, status, stderr=b"", stdout=b"", file=OLD, unread=False,
          path="f", created=()):
    """The run's status and streams, FILE's bytes afterwards, and the folder:
    what it held before, plus what the run was to create, and nothing else."""
    problems = []
    if got[0] != status:
        problems.append("status %s, expected %s" % (got[0], status))
    if got[1] != stdout:
        problems.append("stdout %s, expected %s" % (show(got[1]), show(stdout)))
    # A shell script wrapper names the signal that ended its child.
    if got[2] != stderr and not (WRAPPER and status < 0):
        problems.append("stderr %s, expected %s" % (show(got[2]), show(stderr)))
    if unread and got[3] != 0:
        problems.append("read %s bytes of input before it failed" % got[3])
    if file is not None:
        afterwards = read(os.path.join(folder, path))
        if afterwards != file:
            problems.append("%s holds %s, expected %s" % (path, show(afterwards), show(file)))
    now = listing(folder)
    expected = before | set(created)
    if now != expected:
        problems.append("the folder gained %s and lost %s" % (sorted(now - expected),
                                                               sorted(expected - now)))
    report(name, problems)


def table_cases():
    """One fixture, a table of runs: the main paths, and each failure that
    ends before the rename."""
    ignore_xfsz = lambda: signal.signal(signal.SIGXFSZ, signal.SIG_IGN)

    def size_limit(ignore):
        def prepare():
            if ignore:
                ignore_xfsz()
            resource.setrlimit(resource.RLIMIT_FSIZE, (100003, 100003))
        return prepare

    io_error = b"fillvars: %s: Input/output error\n"
    many = LINE_IN * 65536
    cases = [
        # name, args, stdin, env, preexec, status, stderr, stdout, f afterwards, unread
        ("replaces FILE", ["-o", "f"], b"a=$A $B\n", None, None, 0, b"", b"", b"a=1 \n", False),
        ("--output=FILE", ["--output=f", "A"], b"$A $B", None, None, 0, b"", b"", b"1 $B",
         False),
        ("--output FILE, after an operand", ["A", "--output", "f"], b"$A\n", None, None, 0, b"",
         b"", b"1\n", False),
        ("many blocks", ["-o", "f"], many, None, None, 0, b"", b"", LINE_OUT * 65536, False),
        ("empty input gives an empty FILE", ["-o", "f"], b"", None, None, 0, b"", b"", b"",
         False),
        ("-o - is standard output", ["-o", "-"], b"a=$A\n", None, None, 0, b"", b"a=1\n", OLD,
         False),
        ("-u: an unset variable", ["-u", "-o", "f"], b"a=$A\nb=$U\n", None, None, 1,
         b'fillvars: line 2: "U" is not set\n', b"", OLD, False),
        ("-e: an empty variable", ["-e", "-o", "f"], b"a=$A\nb=$E\n", {"E": ""}, None, 1,
         b'fillvars: line 2: "E" is empty\n', b"", OLD, False),
        ("-s: a ? form that reports", ["-s", "-o", "f"], b"a=$A\nb=${U:?needed}\n", None, None,
         1, b'fillvars: line 2: "U": needed\n', b"", OLD, False),
        ("-s: defaults replace", ["-s", "-o", "f"], b"a=$A;b=${U:-d}\n", None, None, 0, b"", b"",
         b"a=1;b=d\n", False),
        ("-r: the list of names", ["-r", "-o", "f"], b"a=$A ${B}\n$A\n", None, None, 0, b"", b"",
         b"A\nB\n", False),
        ("-r -u: an unset variable", ["-r", "-u", "-o", "f"], b"a=$A\nb=$U\n", None, None, 1,
         b'fillvars: line 2: "U" is not set\n', b"", OLD, False),
        ("a read error: the input is a folder", ["-o", "f"], "dir", None, None, 1,
         b"fillvars: read: Is a directory\n", b"", OLD, False),
        ("a read error: the input is closed", ["-o", "f"], "closed", None, None, 1,
         b"fillvars: read: Bad file descriptor\n", b"", OLD, False),
        ("a write error: a file size limit", ["-o", "f"], LINE_IN * 40000, None,
         size_limit(True), 1, b"fillvars: f: write: File too large\n", b"", OLD, False),
        ("SIGXFSZ from a file size limit", ["-o", "f"], LINE_IN * 40000, None,
         size_limit(False), -signal.SIGXFSZ, b"", b"", OLD, False),
        ("-v writes the names to standard output", ["-v", "A", "-o", "f"], b"$A", None, None, 0,
         b"", b"A\n", OLD, True),
        ("-h", ["-o", "f", "-h"], b"$A", None, None, 0, b"", USAGE, OLD, True),
        ("-V", ["-o", "f", "-V"], b"$A", None, None, 0, b"", b"fillvars 0.1\n", OLD, True),
        # A slip on the command line: nothing read, FILE as it was.
        ("an option misspelt", ["-s", "--escpae=json", "-o", "f"], b"$A", None, None, 1,
         FILLVARS.encode() + b": unrecognized option '--escpae=json'\n"
         b"fillvars: an option was not understood: nothing was done\n", b"", OLD, True),
        ("-f without its file, after -o", ["-o", "f", "-f"], b"$A", None, None, 1,
         FILLVARS.encode() + b": option requires an argument -- 'f'\n"
         b"fillvars: an option is missing its argument: nothing was done\n", b"", OLD, True),
        ("FILE a folder", ["-o", "d"], b"$A", None, None, 1,
         b"fillvars: d: names a folder, not a file\n",
         b"", OLD, True),
        ("FILE a link to a folder", ["-o", "to-d"], b"$A", None, None, 1,
         b"fillvars: to-d: names a folder, not a file\n", b"", OLD, True),
        ("FILE ending in /", ["-o", "new/"], b"$A", None, None, 1,
         b"fillvars: new/: names a folder, not a file\n", b"", OLD, True),
        ("FILE under a file", ["-o", "f/x"], b"$A", None, None, 1,
         b"fillvars: f/x: f is not a folder\n", b"", OLD, True),
        ("FILE in a missing folder", ["-o", "missing/f"], b"$A", None, None, 1,
         b"fillvars: missing/f: the folder missing does not exist\n", b"", OLD, True),
        ("FILE empty", ["-o", ""], b"$A", None, None, 1, b"fillvars: -o: empty file name\n",
         b"", OLD, True),
        ("FILE escaped in the message", ["-o", b'missing/a\x1b[2J"\\\x7f\xc2\x85\xc3\xa9'],
         b"$A", None, None, 1,
         b'fillvars: missing/a\\x1b[2J\\"\\\\\\x7f\\u0085\xc3\xa9: '
         b'the folder missing does not exist\n',
         b"", OLD, True),
        ("FILE's malformed UTF-8 and invisible characters escaped",
         ["-o", b"missing/\x9b[2J\xe2\x80\xaeb\xff"], b"$A", None, None, 1,
         b"fillvars: missing/\\x9b[2J\\u202eb\\xff: the folder missing does not exist\n",
         b"", OLD, True),
        ("-f: a missing file", ["-o", "f", "-f", "missing.env"], b"$A", None, None, 1,
         b"fillvars: missing.env: No such file or directory\n", b"", OLD, True),
        ("-f: a file not of NAME=VALUE lines, FILE itself", ["-f", "f", "-o", "f"], b"$A", None,
         None, 1, b'fillvars: f:1: "NAME: VALUE" is YAML; a .env line is NAME=VALUE\n', b"", OLD,
         True),
        # -f never takes the template: the file that is standard input is
        # refused before anything is read, by any name.
        ("-f /dev/stdin, the template itself", ["-f", "/dev/stdin", "-o", "f"], b"A=2\n",
         None, None, 1, STDIN_REFUSED % b"/dev/stdin", b"", OLD, True),
        ("-f /dev/fd/0", ["-o", "f", "-f", "/dev/fd/0"], b"A=2\n", None, None, 1,
         STDIN_REFUSED % b"/dev/fd/0", b"", OLD, True),
        ("-f /proc/self/fd/0", ["-o", "f", "-f", "/proc/self/fd/0"], b"A=2\n", None, None, 1,
         STDIN_REFUSED % b"/proc/self/fd/0", b"", OLD, True),
        ("-f FILE where FILE is the input, -o FILE too", ["-f", "f", "-o", "f"], "f", None,
         None, 1, STDIN_REFUSED % b"f", b"", OLD, False),
        ("-s: the template named as an operand", ["-s", "-f", "f", "-o", "f", "nginx.conf.in"],
         b"", None, None, 1,
         b'fillvars: "nginx.conf.in" is not a name: the template is read from standard input, '
         b"or from -i FILE\n", b"", OLD, True),
        ("-i: a missing FILE", ["-i", "missing.in", "-o", "f"], b"$A", None, None, 1,
         b"fillvars: missing.in: No such file or directory\n", b"", OLD, True),
        ("-i: a folder, and -o a file", ["-o", "f", "-i", "d"], b"$A", None, None, 1,
         b"fillvars: f: -o names a file, and -i a folder: -o names the folder of the outputs\n",
         b"", OLD, True),
        ("-i given twice", ["-i", "f", "-o", "f", "-i", "f"], b"$A", None, None, 1,
         b"fillvars: -i given twice: the template is one file\n", b"", OLD, True),
        ("FILE /dev/null is written, not replaced", ["-o", "/dev/null"], b"$A", None, None, 0,
         b"", b"", OLD, False),
        ("FILE /dev/full: a write error", ["-o", "/dev/full"], b"$A", None, None, 1,
         b"fillvars: /dev/full: write: No space left on device\n", b"", OLD, False),
    ]
    if FAILCALL and not WRAPPER:
        preload = lambda call: {"LD_PRELOAD": FAILCALL, "FAILCALL": call}
        cases += [
            ("a write error from the system", ["-o", "f"], b"a=$A\n", preload("write:1"), None,
             1, io_error % b"f: write", b"", OLD, False),
            ("a read error after two blocks", ["-o", "f"], many, preload("read:3"), None, 1,
             io_error % b"read", b"", OLD, False),
            ("a read error of -i FILE names it", ["-i", "f", "-o", "f"], b"$A",
             preload("read:1"), None, 1, io_error % b"f", b"", OLD, True),
            ("fsync fails", ["-o", "f"], b"a=$A\n", preload("fsync:1"), None, 1,
             io_error % b"f: not replaced: the new file could not be synced", b"", OLD, False),
            ("rename fails", ["-o", "f"], b"a=$A\n", preload("renameat:1"), None, 1,
             io_error % b"f: not replaced", b"", OLD, False),
            # The rename cannot be taken back: FILE is new, and the status says
            # that it may not reach the disk.
            ("the folder's sync fails after the rename", ["-o", "f"], b"a=$A\n",
             preload("fsync:2"), None, 1, FOLDER_SYNC % b"Input/output error", b"", b"a=1\n",
             False),
        ]
    else:
        skip("write, read, fsync and rename failures through the interposer",
             "under a wrapper" if WRAPPER else "no interposer")

    for name, args, stdin, env, preexec, status, err, out, after, unread in cases:
        folder = scratch_folder()
        os.mkdir(os.path.join(folder, "d"))
        os.symlink("d", os.path.join(folder, "to-d"))
        try:
            before = listing(folder)
            # "f": FILE itself is the input.
            given = os.open(os.path.join(folder, "f"), os.O_RDONLY) if stdin == "f" else stdin
            got = run(args, folder, given, env, preexec=preexec)
            if stdin == "f":
                os.close(given)
            check(name, got, folder, before, status, err, out, after, unread)
            if "/dev/null" in args and not stat.S_ISCHR(os.stat("/dev/null").st_mode):
                report("/dev/null is still a device", ["it is not"])
        finally:
            remove(folder)


def file_cases():
    """What FILE is: itself the input, a symbolic link, a file with its own
    mode and owner, or a new file."""
    folder = scratch_folder()
    try:
        path = os.path.join(folder, "f")
        with open(path, "wb") as f:
            f.write(b"in place: $A\n")
        before = listing(folder)
        with open(path, "rb") as f:
            got = run(["-o", "f"], folder, f.fileno())
        check("in place: -o f < f", got, folder, before, 0, file=b"in place: 1\n")
        with open(path, "wb") as f:
            f.write(b"in place: ${A}\n")
        got = run(["-i", "f", "-o", "f"], folder, b"not the template")
        check("in place: -i f -o f", got, folder, before, 0, file=b"in place: 1\n", unread=True)

        # Two links, the second relative to the folder that holds it; the
        # file they lead to is replaced, in its own folder.
        os.makedirs(os.path.join(folder, "sub", "deeper"))
        os.symlink("sub/link2", os.path.join(folder, "link1"))
        os.symlink("deeper/target", os.path.join(folder, "sub", "link2"))
        with open(os.path.join(folder, "sub", "deeper", "target"), "wb") as f:
            f.write(OLD)
        before = listing(folder)
        got = run(["-o", "link1"], folder, b"linked $A\n")
        check("through two symbolic links", got, folder, before, 0, path="sub/deeper/target",
              file=b"linked 1\n")
        links = (os.readlink(os.path.join(folder, "link1")),
                 os.readlink(os.path.join(folder, "sub", "link2")))
        report("the links stay", [] if links == ("sub/link2", "deeper/target") else [str(links)])

        os.symlink("sub/made-by-link", os.path.join(folder, "dangling"))
        before = listing(folder)
        got = run(["-o", "dangling"], folder, b"new $A\n", umask=0o022)
        check("a dangling link: the file it names is made", got, folder, before, 0,
              path="sub/made-by-link", file=b"new 1\n",
              created=[("sub/made-by-link", stat.S_IFREG)])
        os.symlink("loop", os.path.join(folder, "loop"))
        before = listing(folder)
        check("a link to itself", run(["-o", "loop"], folder, b"$A"), folder, before, 1,
              b"fillvars: loop: Too many levels of symbolic links\n", file=None, unread=True)
    finally:
        remove(folder)

    # Modes: an existing file keeps its own, a new one gets 0666 less the umask.
    folder = scratch_folder()
    try:
        path = os.path.join(folder, "f")
        for mode in (0o604, 0o640, 0o2750):
            os.chmod(path, mode)
            got = run(["-o", "f"], folder, b"mode $A\n", umask=0o077)
            kept = stat.S_IMODE(os.stat(path).st_mode)
            report("mode %o kept under umask 077" % mode,
                   [] if (got[0], kept) == (0, mode) else ["status %s, mode %o" % (got[0], kept)])
        for umask, mode in ((0o022, 0o644), (0o077, 0o600), (0o002, 0o664)):
            name = "new-%o" % umask
            before = listing(folder)
            got = run(["-o", name], folder, b"new $A\n", umask=umask)
            check("a new file under umask %03o" % umask, got, folder, before, 0, path=name,
                  file=b"new 1\n", created=[(name, stat.S_IFREG)])
            made = stat.S_IMODE(os.stat(os.path.join(folder, name)).st_mode)
            report("a new file under umask %03o is mode %o" % (umask, mode),
                   [] if made == mode else ["mode %o" % made])
        if os.geteuid() == 0:
            # uid, gid, mode: each of owner and group is kept alone too.
            for uid, gid, mode in ((1234, 5678, 0o4755), (0, 5678, 0o640), (1234, 0, 0o640)):
                os.chown(path, uid, gid)
                os.chmod(path, mode)
                got = run(["-o", "f"], folder, b"owned $A\n")
                info = os.stat(path)
                kept = (got[0], info.st_uid, info.st_gid, stat.S_IMODE(info.st_mode))
                report("as root: owner %d, group %d and mode %o kept" % (uid, gid, mode),
                       [] if kept == (0, uid, gid, mode) else [str(kept)])
        else:
            skip("owner kept", "not root")
    finally:
        remove(folder)


def facl(path):
    """path's mode and ACL as getfacl shows them, without its name."""
    got = subprocess.run(["getfacl", "-cp", path], capture_output=True)
    return got.stdout.decode() + got.stderr.decode()


def access_acl(path):
    try:
        return os.getxattr(path, "system.posix_acl_access", follow_symlinks=False)
    except OSError:
        return None


def acl_cases():
    """FILE's access is never widened: its access ACL is kept, a folder's
    default ACL adds nothing to it, and a new FILE gets exactly the mode and
    ACL that the shell's > would give it, default ACL included."""
    folder = scratch_folder()
    try:
        probe = os.path.join(folder, "probe")
        open(probe, "wb").close()
        supported = shutil.which("setfacl") and shutil.which("getfacl") and subprocess.run(
            ["setfacl", "-m", "u:65534:r", probe], stderr=subprocess.DEVNULL).returncode == 0
    finally:
        remove(folder)
    if not supported:
        skip("ACLs kept and given", "no setfacl, or no ACLs in %s" % tempfile.gettempdir())
        return

    def setfacl(path, *args):
        subprocess.run(["setfacl"] + list(args) + [path], check=True)

    root = os.geteuid() == 0
    cases = [
        # name, FILE's mode, FILE's ACL (setfacl -m), the folder's default ACL, as nobody
        ("FILE's ACL is kept", 0o600, "u:65534:r", None, False),
        ("FILE's ACL with a named group and a narrow mask is kept", 0o640,
         "u:65534:rw,g:65534:r,m::r", None, False),
        ("a folder's default ACL adds nothing to FILE", 0o640, None, "u:65534:rw", False),
        ("FILE's ACL, not the folder's default one", 0o600, "u:65534:r", "u:65534:rw,g:0:rwx",
         False),
        # Its ACL is read though its owner may not read the file.
        ("as nobody, the ACL of nobody's FILE of mode 0200", 0o200, "u:0:r", None, True),
    ]
    for name, mode, acl, default, nobody in cases:
        if nobody and not root:
            skip(name, "not root")
            continue
        folder = scratch_folder()
        try:
            os.mkdir(os.path.join(folder, "d"))
            path = os.path.join(folder, "d", "f")
            with open(path, "wb") as f:
                f.write(OLD)
            if nobody:
                for owned in (os.path.join(folder, "d"), path):
                    os.chown(owned, 65534, 65534)
            os.chmod(path, mode)
            if acl:
                setfacl(path, "-m", acl)
            if default:
                setfacl(os.path.join(folder, "d"), "-d", "-m", default)
            was, raw = facl(path), access_acl(path)
            command = runnable_by_anyone(folder) if nobody else None
            before = listing(folder)
            check(name, run(["-o", "d/f"], folder, b"a=$A\n", umask=0o022,
                            preexec=as_nobody if nobody else None, command=command), folder,
                  before, 0, path="d/f", file=b"a=1\n")
            now = facl(path)
            report(name + ": the same access afterwards",
                   [] if (now, access_acl(path)) == (was, raw) else
                   ["was\n" + was + "is\n" + now])
        finally:
            remove(folder)

    # A new FILE: what > gives in the same folder under the same umask.
    for name, default, umask in (
            ("a new FILE under a default ACL", "u:65534:r,g::r,o::-", 0o077),
            ("a new FILE under a default ACL with a mask", "u:65534:rw,m::r,o::r", 0o022),
            ("a new FILE under a default ACL of the mode's entries", "u::rw,g::r,o::r", 0o077),
            # A mask and no named entry: still an ACL of its own, a group
            # entry wider than the mask shows.
            ("a new FILE under a default ACL of four entries, a mask and no named one",
             "u::rw,g::rw,m::r,o::r", 0o022)):
        folder = scratch_folder()
        try:
            os.mkdir(os.path.join(folder, "d"))
            setfacl(os.path.join(folder, "d"), "-d", "-m", default)
            subprocess.run(["sh", "-c", "umask %o; : > d/shell" % umask], cwd=folder, check=True)
            before = listing(folder)
            check(name, run(["-o", "d/new"], folder, b"a=$A\n", umask=umask), folder, before, 0,
                  path="d/new", file=b"a=1\n", created=[("d/new", stat.S_IFREG)])
            made, shell = facl(os.path.join(folder, "d", "new")), facl(os.path.join(folder, "d",
                                                                                  "shell"))
            report(name + ": what > gives", [] if made == shell else
                   ["> gives\n" + shell + "-o gave\n" + made])
        finally:
            remove(folder)

    # The ACL cannot be set: FILE stays, with its own.
    if FAILCALL and not WRAPPER:
        folder = scratch_folder()
        try:
            path = os.path.join(folder, "f")
            setfacl(path, "-m", "u:65534:r")
            was = facl(path)
            before = listing(folder)
            check("FILE's ACL cannot be given", run(["-o", "f"], folder, b"a=$A\n",
                  {"LD_PRELOAD": FAILCALL, "FAILCALL": "fsetxattr:1"}), folder, before, 1,
                  b"fillvars: f: not replaced: the new file's ACL could not be set: "
                  b"Input/output error\n")
            report("FILE's ACL cannot be given: FILE keeps its own",
                   [] if facl(path) == was else [facl(path)])
        finally:
            remove(folder)
    else:
        skip("FILE's ACL cannot be given", "under a wrapper" if WRAPPER else "no interposer")


def no_acl_cases():
    """A file system without ACLs (ramfs): nothing changes and nothing fails."""
    if os.environ.get(NAMESPACE_MARK) != "yes":
        skip("a file system without ACLs", "no mount namespace of our own")
        return
    folder = scratch_folder()
    plain = os.path.join(folder, "plain")
    os.mkdir(plain)
    try:
        if subprocess.run(["mount", "-t", "ramfs", "ramfs", plain],
                          stderr=subprocess.DEVNULL).returncode != 0:
            skip("a file system without ACLs", "ramfs cannot be mounted")
            return
        try:
            os.chmod(plain, 0o755)
            with open(os.path.join(plain, "f"), "wb") as f:
                f.write(OLD)
            os.chmod(os.path.join(plain, "f"), 0o640)
            before = listing(folder)
            check("no ACLs: FILE replaced", run(["-o", "plain/f"], folder, b"a=$A\n"), folder,
                  before, 0, path="plain/f", file=b"a=1\n")
            check("no ACLs: a new FILE", run(["-o", "plain/new"], folder, b"a=$A\n",
                                             umask=0o022), folder, before, 0, path="plain/new",
                  file=b"a=1\n", created=[("plain/new", stat.S_IFREG)])
            modes = tuple(stat.S_IMODE(os.stat(os.path.join(plain, name)).st_mode)
                          for name in ("f", "new"))
            report("no ACLs: the modes", [] if modes == (0o640, 0o644) else
                   ["%o, %o" % modes])
        finally:
            subprocess.run(["umount", plain])
    finally:
        remove(folder)


def descriptor_cases():
    """FILE that names a descriptor (/dev/stdout, /dev/fd/N, /proc/self/fd/N)
    is written through it, as plain standard output is: the file behind it
    is never replaced, so what others wrote around the run stays. Any other
    FILE that is not a regular file is written in place."""
    in_ = "printf 'x ${A}\\n' | "
    cases = [
        # name, shell script (the command is "$@"), files afterwards, status, stderr
        ("-o /dev/stdout appends to a log opened with >>",
         "printf 'old log\\n' > log; " + in_ + '"$@" -o /dev/stdout >> log',
         {"log": b"old log\nx 1\n"}, 0, b""),
        ("-o /dev/stdout between the lines of a { ...; } > out",
         "{ echo header; " + in_ + '"$@" -o /dev/stdout; echo footer; } > out',
         {"out": b"header\nx 1\nfooter\n"}, 0, b""),
        ("-o /dev/fd/1", "{ echo header; " + in_ + '"$@" -o /dev/fd/1; echo footer; } > out',
         {"out": b"header\nx 1\nfooter\n"}, 0, b""),
        ("-o /proc/self/fd/1",
         "{ echo header; " + in_ + '"$@" -o /proc/self/fd/1; echo footer; } > out',
         {"out": b"header\nx 1\nfooter\n"}, 0, b""),
        ("-o /dev/stderr", "{ echo header >&2; " + in_ + '"$@" -o /dev/stderr; } 2> err',
         {"err": b"header\nx 1\n"}, 0, b""),
        ("-o /dev/fd/3 for 3>>", "echo header > log; " + in_ + '"$@" -o /dev/fd/3 3>> log',
         {"log": b"header\nx 1\n"}, 0, b""),
        ("-o /dev/stdout into a pipe", in_ + '"$@" -o /dev/stdout | cat > out',
         {"out": b"x 1\n"}, 0, b""),
        # No file named "gone (deleted)" is made beside it.
        ("-o /dev/fd/3 for a deleted file",
         "exec 3> gone; rm gone; " + in_ + '"$@" -o /dev/fd/3', {}, 0, b""),
        # Another process's descriptor is opened in place, as > would: the
        # shell's own descriptor still writes to the same file afterwards.
        ("-o /proc/PID/fd/4 of another process",
         "exec 4>> other; " + in_ + '"$@" -o /proc/$$/fd/4; echo more >&4',
         {"other": b"x 1\nmore\n"}, 0, b""),
        ("a FIFO", "mkfifo p; cat p > got & " + in_ + '"$@" -o p; wait',
         {"got": b"x 1\n"}, 0, b""),
        ("-o /dev/stdin", in_ + '"$@" -o /dev/stdin', {}, 1,
         b"fillvars: /dev/stdin: names a descriptor open only for reading\n"),
        ("-o /dev/stdout, closed", in_ + '"$@" -o /dev/stdout >&-', {}, 1,
         b"fillvars: /dev/stdout: Bad file descriptor\n"),
        # Not 9, which the memcheck wrapper keeps open.
        ("-o /dev/fd/57, not open", in_ + '"$@" -o /dev/fd/57', {}, 1,
         b"fillvars: /dev/fd/57: Bad file descriptor\n"),
        ("-o /proc/thread-self/fd/1",
         "{ echo header; " + in_ + '"$@" -o /proc/thread-self/fd/1; echo footer; } > out',
         {"out": b"header\nx 1\nfooter\n"}, 0, b""),
        # Opened in place as > would: emptied first, not written over.
        ("-o /proc/PID/fd/4 of another process, its file holding longer text",
         "printf 'older, longer text\\n' > other; exec 4>> other; " + in_ +
         '"$@" -o /proc/$$/fd/4; echo more >&4', {"other": b"x 1\nmore\n"}, 0, b""),
        # With standard error closed, the FIFO opened for FILE would take its
        # number: -u's report must still not land in it.
        ("-u -o FIFO with standard error closed",
         "mkfifo p; cat p > got & printf 'a=$U\\n' | \"$@\" -u -o p 2>&-; status=$?; wait; "
         "exit $status",
         {"got": b"a=\n"}, 1, b""),
        ("-u -o /proc/PID/fd/4, a FIFO, with standard error closed",
         "mkfifo p; cat p > got & exec 4> p; printf 'a=$U\\n' | \"$@\" -u -o /proc/$$/fd/4 "
         "2>&-; status=$?; exec 4>&-; wait; exit $status", {"got": b"a=\n"}, 1, b""),
    ]
    # Names that the file system does not hold are not descriptors, whatever
    # number they spell.
    for spelling in ("/dev/fd/01", "/proc/self/fd/001", "/dev/fd/+1", "/dev/fd/1x",
                     "/dev/fd/1 ", "/proc/self/fd/4294967297"):
        cases.append(("-o %s is not a descriptor" % spelling,
                      in_ + '"$@" -o "%s" > out' % spelling, {"out": b""}, 1,
                      b"fillvars: %s: No such file or directory\n" % spelling.encode()))
    for name, script, files, status, err in cases:
        folder = scratch_folder()
        try:
            before = listing(folder)
            got = run(["-c", script, "sh"] + WRAPPER + [FILLVARS], folder, command=["sh"])
            problems = []
            if got[0] != status:
                problems.append("status %s, expected %s" % (got[0], status))
            if got[2] != err and not WRAPPER:
                problems.append("stderr %s, expected %s" % (show(got[2]), show(err)))
            for path, expected in files.items():
                if read(os.path.join(folder, path)) != expected:
                    problems.append("%s holds %s" % (path, show(read(os.path.join(folder, path)))))
            gained = {path for path, _ in listing(folder) - before} - set(files) - {"p"}
            if gained or read(os.path.join(folder, "f")) != OLD:
                problems.append("the folder gained %s" % sorted(gained))
            report(name, problems)
        finally:
            remove(folder)


def as_nobody():
    os.setgroups([])
    os.setgid(65534)
    os.setuid(65534)


def runnable_by_anyone(folder):
    """The command as copies in folder, which any user may run wherever the
    build is (its folders may be closed to others)."""
    command = []
    for part in WRAPPER + [FILLVARS]:
        if os.path.isfile(part):
            copy = os.path.join(folder, "run-" + os.path.basename(part))
            shutil.copy(part, copy)
            os.chmod(copy, 0o755)
            part = copy
        command.append(part)
    return command


def folder_cases():
    """A folder where no new file can be made: reported before any input is
    read, FILE as it was."""
    folder = scratch_folder()
    try:
        locked = os.path.join(folder, "locked")
        os.mkdir(locked)
        with open(os.path.join(locked, "f"), "wb") as f:
            f.write(OLD)
        os.chmod(os.path.join(locked, "f"), 0o666)
        os.chmod(locked, 0o555)
        # Root may write in any folder whatever its mode: the case runs as nobody.
        root = os.geteuid() == 0
        command = runnable_by_anyone(folder) if root else None
        before = listing(folder)
        got = run(["-o", "locked/f"], folder, b"$A", preexec=as_nobody if root else None,
                  command=command)
        check("a folder that may not be written", got, folder, before, 1,
              b"fillvars: locked/f: cannot create a file in locked: Permission denied\n",
              path="locked/f", unread=True)
        # As nobody, in a folder of nobody's own: FILE is replaced even when
        # it belongs to root, and becomes nobody's. (Not in a folder that
        # anyone may write to: there another user's FILE is refused.)
        if os.geteuid() == 0:
            os.chown(locked, 65534, 65534)
            os.chmod(locked, 0o755)
            os.chmod(os.path.join(locked, "f"), 0o644)
            got = run(["-o", "locked/f"], folder, b"by nobody $A\n", preexec=as_nobody,
                      command=command)
            owner = os.stat(os.path.join(locked, "f")).st_uid
            check("as nobody, a root file in a folder of nobody's own", got, folder, before,
                  0, path="locked/f", file=b"by nobody 1\n")
            report("the file is then nobody's", [] if owner == 65534 else ["owner %d" % owner])
    finally:
        remove(folder)

    if os.environ.get(NAMESPACE_MARK) != "yes":
        skip("a full device, a read-only folder and FILE a mount point",
             "no mount namespace of our own")
        return
    folder = scratch_folder()
    try:
        full = os.path.join(folder, "full")
        readonly = os.path.join(folder, "readonly")
        for mount_point in (full, readonly):
            os.mkdir(mount_point)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", full], check=True)
        with open(os.path.join(full, "f"), "wb") as f:
            f.write(OLD)
        with open(os.path.join(readonly, "f"), "wb") as f:
            f.write(OLD)
        subprocess.run(["mount", "--bind", readonly, readonly], check=True)
        subprocess.run(["mount", "-o", "remount,ro,bind", readonly], check=True)
        # A file bound over f, as a container runtime binds a file: f cannot
        # be renamed over, and that is known before the input is read.
        subprocess.run(["mount", "--bind", os.path.join(full, "f"), os.path.join(folder, "f")],
                       check=True)
        # The same from a file on the folder's own file system: only the
        # mounts differ.
        for name in ("g", "source"):
            with open(os.path.join(folder, name), "wb") as f:
                f.write(OLD)
        subprocess.run(["mount", "--bind", os.path.join(folder, "source"),
                        os.path.join(folder, "g")], check=True)
        try:
            before = listing(folder)
            check("a full device", run(["-o", "full/f"], folder, LINE_IN * 40000), folder,
                  before, 1, b"fillvars: full/f: write: No space left on device\n", path="full/f")
            check("a read-only folder", run(["-o", "readonly/f"], folder, b"$A"), folder,
                  before, 1, b"fillvars: readonly/f: cannot create a file in readonly: "
                  b"Read-only file system\n",
                  path="readonly/f", unread=True)
            check("FILE a mount point", run(["-o", "f"], folder, b"$A"), folder, before, 1,
                  b"fillvars: f: is a mount point: write to it with > instead\n", unread=True)
            check("FILE bound from its own file system", run(["-o", "g"], folder, b"$A"), folder,
                  before, 1, b"fillvars: g: is a mount point: write to it with > instead\n",
                  unread=True, path="g")
        finally:
            subprocess.run(["umount", os.path.join(folder, "g")])
            subprocess.run(["umount", os.path.join(folder, "f")])
            subprocess.run(["umount", full])
            subprocess.run(["umount", readonly])
    finally:
        remove(folder)


def overlay_cases():
    """A container's root is often an overlay whose lower layer lies on
    another file system than its upper one: a file from that layer shows the
    lower layer's device, yet it is an ordinary file that the rename
    replaces, not a mount point."""
    if os.environ.get(NAMESPACE_MARK) != "yes":
        skip("an overlay over another file system", "no mount namespace of our own")
        return
    folder = scratch_folder()
    parts = {name: os.path.join(folder, name) for name in ("lower", "upper", "work", "merged")}
    for path in parts.values():
        os.mkdir(path)
    mounted = []
    try:
        subprocess.run(["mount", "-t", "tmpfs", "tmpfs", parts["lower"]], check=True)
        mounted.append(parts["lower"])
        with open(os.path.join(parts["lower"], "f"), "wb") as f:
            f.write(OLD)
        options = "lowerdir=%(lower)s,upperdir=%(upper)s,workdir=%(work)s" % parts
        if subprocess.run(["mount", "-t", "overlay", "overlay", "-o", options, parts["merged"]],
                          stderr=subprocess.DEVNULL).returncode != 0:
            skip("an overlay over another file system", "overlay cannot be mounted")
            return
        mounted.append(parts["merged"])
        merged = parts["merged"]
        cases = [
            # name, FILE, FILE afterwards, what the run creates
            ("overlay: a file of the lower layer", "f", b"a=1\n", ()),
            ("overlay: the same file, now in the upper layer", "f", b"a=1\n", ()),
            ("overlay: a new file", "new", b"a=1\n", [("new", stat.S_IFREG)]),
        ]
        for name, path, after, created in cases:
            before = listing(merged)
            check(name, run(["-o", path], merged, b"a=$A\n"), merged, before, 0, file=after,
                  path=path, created=created)
    finally:
        for path in reversed(mounted):
            subprocess.run(["umount", path])
        remove(folder)


def owned_by_nobody(path):
    os.lchown(path, 65534, 65534)


def protection_cases():
    """FILE that this run may not replace, found out before any input is
    read: another user's file or link in a folder where anyone may make
    files (it would be handed back to them with what the run wrote), a file
    or folder marked immutable or append-only. And a folder that cannot be
    read is still synced, through its file system."""
    if os.geteuid() != 0:
        skip("shared folders, flags and unreadable folders", "not root")
        return
    nobody_fails = "nobody-fails" if FAILCALL and not WRAPPER else None

    def shared(folder, mode=0o1777, owner=0):
        os.mkdir(os.path.join(folder, "shared"))
        os.chmod(os.path.join(folder, "shared"), mode)
        os.chown(os.path.join(folder, "shared"), owner, owner)

    def shared_file(owner, mode=0o1777, file_mode=0o666):
        def setup(folder):
            shared(folder, mode)
            path = os.path.join(folder, "shared", "app.conf")
            with open(path, "wb") as f:
                f.write(OLD)
            os.chmod(path, file_mode)
            os.chown(path, owner, owner)
        return setup

    def shared_link(owner, mode=0o1777, folder_owner=0):
        def setup(folder):
            shared(folder, mode, folder_owner)
            os.symlink("../f", os.path.join(folder, "shared", "link"))
            os.lchown(os.path.join(folder, "shared", "link"), owner, owner)
        return setup

    readers = []

    def shared_fifo(owner):
        # Another user's FIFO, with its reader waiting: what the run wrote
        # would go straight to them.
        def setup(folder):
            shared(folder)
            path = os.path.join(folder, "shared", "app.conf")
            os.mkfifo(path, 0o666)
            os.chown(path, owner, owner)
            readers.append(os.open(path, os.O_RDONLY | os.O_NONBLOCK))
        return setup

    def unreadable(folder):
        os.mkdir(os.path.join(folder, "w"))
        os.chmod(os.path.join(folder, "w"), 0o733)

    refused = (b"fillvars: shared/app.conf: belongs to another user, in shared, which others "
               b"may write to: remove it, or write it as its owner\n")
    link_refused = (b"fillvars: shared/link: is a link of another user in shared, which others "
                    b"may write to: it is not followed\n")
    new = b"a=1\n"
    cases = [
        # name, setup, as nobody, FAILCALL, FILE, status, stderr, FILE afterwards
        ("as root, nobody's FILE in a shared folder", shared_file(65534), False, None,
         "shared/app.conf", 1, refused, OLD),
        ("as nobody, root's FILE in a shared folder", shared_file(0), True, None,
         "shared/app.conf", 1, refused, OLD),
        ("as root, root's own FILE in a shared folder", shared_file(0), False, None,
         "shared/app.conf", 0, b"", new),
        ("as nobody, nobody's own FILE in a shared folder", shared_file(65534), True, None,
         "shared/app.conf", 0, b"", new),
        ("as root, nobody's FIFO in a shared folder", shared_fifo(65534), False, None,
         "shared/app.conf", 1, refused, None),
        ("as root, root's own FIFO in a shared folder", shared_fifo(0), False, None,
         "shared/app.conf", 0, b"", None),
        ("as root, nobody's link in a shared folder", shared_link(65534), False, None,
         "shared/link", 1, link_refused, OLD),
        ("as root, a link of the shared folder's owner", shared_link(0), False, None,
         "shared/link", 0, b"", new),
        # The runner's own link is followed wherever it is, even in another
        # user's shared folder.
        ("as root, root's own link in nobody's shared folder", shared_link(0, 0o1777, 65534),
         False, None, "shared/link", 0, b"", new),
        # A folder that anyone may write to is shared without the sticky bit
        # too: there anyone may swap FILE or a link in it.
        ("as root, nobody's 0600 FILE in a 0777 folder", shared_file(65534, 0o777, 0o600), False,
         None, "shared/app.conf", 1, refused, OLD),
        ("as root, nobody's link in a 0777 folder", shared_link(65534, 0o777), False, None,
         "shared/link", 1, link_refused, OLD),
        ("as root, a link of the 0777 folder's owner", shared_link(0, 0o777), False, None,
         "shared/link", 0, b"", new),
        # A sticky folder that its group may write to is shared as well.
        ("as root, nobody's FILE in a 1770 folder", shared_file(65534, 0o1770), False, None,
         "shared/app.conf", 1, refused, OLD),
        ("as root, nobody's link in a 1770 folder", shared_link(65534, 0o1770), False, None,
         "shared/link", 1, link_refused, OLD),
        # Not one that only its group may write to, without the sticky bit.
        ("as root, nobody's FILE in a 0770 folder", shared_file(65534, 0o770), False, None,
         "shared/app.conf", 0, b"", new),
        ("as nobody, a folder that cannot be read (0733)", unreadable, True, None, "w/f", 0,
         b"", new),
    ]
    if nobody_fails:
        cases.append(("as nobody, a folder that cannot be read, and its sync fails", unreadable,
                      True, "syncfs:1", "w/f", 1,
                      b"fillvars: w/f: replaced, but its folder could not be synced (run sync): "
                      b"Input/output error\n", new))
    else:
        skip("a folder that cannot be read, and its sync fails", "no interposer")
    for name, setup, nobody, failing, path, status, err, after in cases:
        folder = scratch_folder()
        try:
            command = runnable_by_anyone(folder) if nobody else None
            env = None
            if failing:
                library = os.path.join(folder, "run-failcall.so")
                shutil.copy(FAILCALL, library)
                env = {"LD_PRELOAD": library, "FAILCALL": failing}
            setup(folder)
            before = listing(folder)
            # A link is checked through the file it leads to; a FIFO is
            # written in place, not made.
            written = "f" if path == "shared/link" else path
            made = [(written, stat.S_IFREG)] if after is not None else ()
            got = run(["-o", path], folder, b"a=$A\n", env,
                      preexec=as_nobody if nobody else None, command=command)
            check(name, got, folder, before, status, err, file=after, path=written,
                  unread=status == 1 and failing is None,
                  created=made if status == 0 or failing else ())
        finally:
            while readers:
                os.close(readers.pop())
            remove(folder)

    flag_cases()


def chattr(path, flags):
    return subprocess.run(["chattr", flags, path], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode == 0


def flag_cases():
    """chattr +i and +a, on FILE and on its folder: the rename would fail
    once the input is read, and an append-only folder would keep the
    temporary file too."""
    folder = scratch_folder()
    try:
        probe = os.path.join(folder, "probe")
        open(probe, "wb").close()
        supported = shutil.which("chattr") and chattr(probe, "+i") and chattr(probe, "-i")
        os.remove(probe)
    finally:
        remove(folder)
    if not supported:
        skip("immutable and append-only files and folders",
             "chattr cannot set flags in %s" % tempfile.gettempdir())
        return
    cases = [
        # name, what gets the flag, flag, FILE, stderr
        ("an immutable FILE", "d/f", "+i", "d/f",
         b"fillvars: d/f: cannot be replaced: it is immutable (chattr +i)\n"),
        ("an append-only FILE", "d/f", "+a", "d/f",
         b"fillvars: d/f: cannot be replaced: it is append-only (chattr +a)\n"),
        ("an immutable folder", "d", "+i", "d/f",
         b"fillvars: d/f: cannot be replaced: its folder d is immutable (chattr +i)\n"),
        ("an append-only folder", "d", "+a", "d/f",
         b"fillvars: d/f: cannot be replaced: its folder d is append-only (chattr +a)\n"),
        # The folder's flags are those of the folder the link leads to.
        ("an append-only folder named through a link", "d", "+a", "to-d/f",
         b"fillvars: to-d/f: cannot be replaced: its folder to-d is append-only (chattr +a)\n"),
        ("an immutable folder named through a link", "d", "+i", "to-d/f",
         b"fillvars: to-d/f: cannot be replaced: its folder to-d is immutable (chattr +i)\n"),
    ]
    for name, flagged, flag, path, err in cases:
        folder = scratch_folder()
        os.mkdir(os.path.join(folder, "d"))
        os.symlink("d", os.path.join(folder, "to-d"))
        with open(os.path.join(folder, "d", "f"), "wb") as f:
            f.write(OLD)
        try:
            chattr(os.path.join(folder, flagged), flag)
            before = listing(folder)
            check(name, run(["-o", path], folder, b"a=$A\n"), folder, before, 1, err,
                  path="d/f", unread=True)
        finally:
            chattr(os.path.join(folder, flagged), "-" + flag[1])
            remove(folder)


def descendants(pid):
    found = [pid]
    try:
        tasks = os.listdir("/proc/%d/task" % pid)
    except OSError:
        return found
    for task in tasks:
        try:
            with open("/proc/%d/task/%s/children" % (pid, task)) as f:
                children = [int(child) for child in f.read().split()]
        except OSError:
            continue
        for child in children:
            found += descendants(child)
    return found


READ_CALL = {"x86_64": "0", "aarch64": "63"}.get(os.uname().machine)


def reading_input(pid):
    """Whether pid sleeps in a read of its standard input (a pipe)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            state = f.read().rsplit(")", 1)[1].split()[0]
        with open("/proc/%d/wchan" % pid) as f:
            wchan = f.read()
        call = []
        if READ_CALL:
            with open("/proc/%d/syscall" % pid) as f:
                call = f.read().split()
    except (OSError, IndexError):
        return False
    if state != "S":
        return False
    if call:
        return call[:2] == [READ_CALL, "0x0"]
    return wchan in ("pipe_read", "pipe_wait")


def wait_until_reading(proc):
    """The process that runs the program (under a wrapper, a descendant of
    proc), once it waits on its input; None if it ends first."""
    while proc.poll() is None:
        for pid in descendants(proc.pid):
            if reading_input(pid):
                return pid
        os.sched_yield()
    return None


def signal_cases():
    """A signal that ends the run while it waits on a pipe, after a first part
    was written to the temporary file: that file goes, FILE stays. A signal
    that the run was started with ignored stays ignored."""
    first = b"a=$A\n" * 1000
    # Those from a user, a timer or a limit too, not only the usual four.
    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGPIPE, signal.SIGQUIT,
                   signal.SIGALRM, signal.SIGUSR1, signal.SIGUSR2, signal.SIGXCPU):
        name = signal.Signals(number).name
        folder = scratch_folder()
        try:
            before = listing(folder)
            reader, writer = os.pipe()
            proc, _ = start(["-o", "f"], folder, reader)
            os.close(reader)
            os.write(writer, first)
            pid = wait_until_reading(proc)
            temporary = [path for path, _ in listing(folder) - before]
            problems = []
            if pid is None:
                problems.append("the run ended before it waited on its input")
            elif len(temporary) != 1 or read(os.path.join(folder, temporary[0])) != b"a=1\n" * 1000:
                problems.append("while waiting, the folder gained %s" % temporary)
            elif not re.fullmatch(r"\.f\.fillvars-[A-Za-z0-9]{6}", temporary[0]):
                problems.append("the temporary file is %s, not named after f" % temporary[0])
            if pid is not None:
                os.kill(pid, number)
            out, err = proc.communicate(timeout=60 * SLOW)
            os.close(writer)
            got = (proc.returncode, out, err, None)
            if problems:
                report(name + " while waiting on the input", problems)
            else:
                check(name + " while waiting on the input", got, folder, before, -number)
        finally:
            remove(folder)

    # A second signal while the first one's handler runs (Ctrl-C twice): the
    # interposer raises it inside the handler's unlink of the temporary file.
    if FAILCALL and not WRAPPER:
        for number, again in ((signal.SIGINT, signal.SIGINT), (signal.SIGHUP, signal.SIGHUP),
                              (signal.SIGTERM, signal.SIGINT)):
            name = "%s, then %s inside its handler" % (signal.Signals(number).name,
                                                      signal.Signals(again).name)
            folder = scratch_folder()
            try:
                before = listing(folder)
                reader, writer = os.pipe()
                env = {"LD_PRELOAD": FAILCALL, "FAILCALL_SIGNAL": "unlinkat:1:%d" % again}
                proc, _ = start(["-o", "f"], folder, reader, env)
                os.close(reader)
                os.write(writer, first)
                pid = wait_until_reading(proc)
                if pid is not None:
                    os.kill(pid, number)
                out, err = proc.communicate(timeout=60 * SLOW)
                os.close(writer)
                check(name, (proc.returncode, out, err, None), folder, before, -number)
            finally:
                remove(folder)
    else:
        skip("a second signal inside the handler", "under a wrapper" if WRAPPER else
             "no interposer")

    folder = scratch_folder()
    try:
        before = listing(folder)
        reader, writer = os.pipe()
        proc, _ = start(["-o", "f"], folder, reader,
                        preexec=lambda: signal.signal(signal.SIGHUP, signal.SIG_IGN))
        os.close(reader)
        os.write(writer, first)
        pid = wait_until_reading(proc)
        try:
            if pid is not None:
                os.kill(pid, signal.SIGHUP)
                os.write(writer, b"end $A\n")
        except BrokenPipeError:
            pass  # the run ended: what it left is checked below
        os.close(writer)
        out, err = proc.communicate(timeout=60 * SLOW)
        check("SIGHUP ignored from the start stays ignored", (proc.returncode, out, err, None),
              folder, before, 0, file=b"a=1\n" * 1000 + b"end 1\n")
    finally:
        remove(folder)


def held_folder_cases():
    """FILE's folder is held from the start: when its path changes meaning
    while the run waits on its input (a deploy switching a link to the next
    release, a folder renamed), the run ends in the folder it started in,
    replacing FILE there or removing its temporary file. And a FILE path of
    any length the system takes is not refused for the temporary file's
    longer name."""
    def switch_link(folder):
        os.symlink("releases/v2", os.path.join(folder, "next"))
        os.rename(os.path.join(folder, "next"), os.path.join(folder, "current"))

    def rename_folder(folder):
        os.rename(os.path.join(folder, "releases", "v1"), os.path.join(folder, "releases", "old"))

    cases = [
        # name, FILE, the change, signal or None, where the first release is afterwards
        ("a link to the folder switched meanwhile", "current/app.conf", switch_link, None,
         "releases/v1"),
        ("a link to the folder switched meanwhile, then SIGTERM", "current/app.conf",
         switch_link, signal.SIGTERM, "releases/v1"),
        ("the folder renamed meanwhile", "releases/v1/app.conf", rename_folder, None,
         "releases/old"),
        ("the folder renamed meanwhile, then SIGINT", "releases/v1/app.conf", rename_folder,
         signal.SIGINT, "releases/old"),
    ]
    for name, path, change, number, first in cases:
        folder = scratch_folder()
        try:
            for release in ("v1", "v2"):
                os.makedirs(os.path.join(folder, "releases", release))
                with open(os.path.join(folder, "releases", release, "app.conf"), "wb") as f:
                    f.write(OLD)
            os.symlink("releases/v1", os.path.join(folder, "current"))
            reader, writer = os.pipe()
            proc, _ = start(["-o", path], folder, reader)
            os.close(reader)
            os.write(writer, b"a=$A\n")
            pid = wait_until_reading(proc)
            change(folder)
            before = listing(folder) - {(p, k) for p, k in listing(folder)
                                        if ".fillvars-" in p}
            if pid is not None and number is not None:
                os.kill(pid, number)
            os.close(writer)
            out, err = proc.communicate(timeout=60 * SLOW)
            got = (proc.returncode, out, err, None)
            if pid is None:
                report(name, ["the run ended before it waited on its input"])
                continue
            check(name, got, folder, before, -number if number else 0,
                  path=first + "/app.conf", file=OLD if number else b"a=1\n")
            other = "releases/v2/app.conf"
            if read(os.path.join(folder, other)) != OLD:
                report(name + ": the other release untouched",
                       ["%s holds %s" % (other, show(read(os.path.join(folder, other))))])
        finally:
            remove(folder)

    # Paths of 4079 to 4095 bytes, the longest the system takes: FILE's
    # name is 60 bytes, its folders fill the rest.
    for length in (4079, 4095):
        folder = scratch_folder()
        try:
            base = "c" * 60
            parts, left = [], length - len(base)
            while left > 0:
                part = min(200, left - 1)
                if left - (part + 1) in range(1, 3):
                    part -= 3
                parts.append("d" * part)
                left -= part + 1
            relative = "/".join(parts + [base])
            assert len(relative) == length, len(relative)
            # The folder's absolute path is longer than the system takes: it
            # is reached one folder at a time.
            inner = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
            for part in parts:
                os.mkdir(part, dir_fd=inner)
                deeper = os.open(part, os.O_RDONLY | os.O_DIRECTORY, dir_fd=inner)
                os.close(inner)
                inner = deeper
            try:
                with open(os.open(base, os.O_WRONLY | os.O_CREAT, 0o640, dir_fd=inner), "wb") as f:
                    f.write(OLD)
                got = run(["-o", relative], folder, b"a=$A\n")
                with open(os.open(base, os.O_RDONLY, dir_fd=inner), "rb") as f:
                    after = f.read()
                problems = []
                if got[:3] != (0, b"", b""):
                    problems.append("status %s, stdout %s, stderr %s" % (got[0], show(got[1]),
                                                                          show(got[2][-80:])))
                if after != b"a=1\n":
                    problems.append("FILE holds %s" % show(after))
                if os.listdir(inner) != [base]:
                    problems.append("its folder holds %s" % os.listdir(inner))
                report("a FILE path of %d bytes" % length, problems)
            finally:
                os.close(inner)
        finally:
            remove(folder)


def stage_cases():
    """A signal at each stage of the run, raised by the interposer inside a
    call that the stage makes. Up to the rename it ends the run with FILE as
    it was; once FILE is renamed, the folder is still synced and then the
    signal ends the run, with FILE new."""
    if not FAILCALL or WRAPPER:
        skip("a signal at each stage of -o", "under a wrapper" if WRAPPER else "no interposer")
        return
    term = "%d" % signal.SIGTERM
    new = b"a=1\n"
    stages = [
        # name, FAILCALL_SIGNAL, FAILCALL, status, stderr, FILE afterwards
        ("SIGTERM while the temporary file is made", "openat:1:" + term, None,
         -signal.SIGTERM, b"", OLD),
        ("SIGINT while writing", "write:1:%d" % signal.SIGINT, None, -signal.SIGINT, b"", OLD),
        ("SIGTERM inside the file's fsync", "fsync:1:" + term, None, -signal.SIGTERM, b"", OLD),
        ("SIGHUP inside the file's fsync", "fsync:1:%d" % signal.SIGHUP, None, -signal.SIGHUP,
         b"", OLD),
        ("SIGTERM inside the rename", "renameat:1:" + term, None, -signal.SIGTERM, b"", new),
        ("SIGTERM inside the folder's sync", "fsync:2:" + term, None, -signal.SIGTERM, b"", new),
        # The sync still runs to its end: its failure is what the run reports.
        ("SIGTERM inside the folder's sync, which fails", "fsync:2:" + term, "fsync:2", 1,
         FOLDER_SYNC % b"Input/output error", new),
    ]
    for name, at, failing, status, err, after in stages:
        env = {"LD_PRELOAD": FAILCALL, "FAILCALL_SIGNAL": at}
        if failing:
            env["FAILCALL"] = failing
        folder = scratch_folder()
        try:
            before = listing(folder)
            check(name, run(["-o", "f"], folder, b"a=$A\n", env), folder, before, status, err,
                  file=after)
        finally:
            remove(folder)


def in_own_namespace():
    """As root, runs this script again in a mount namespace of its own, so
    that its mounts vanish with it; False where that cannot be done."""
    if os.geteuid() != 0 or os.environ.get(NAMESPACE_MARK):
        return False
    command = ["unshare", "--mount", "--propagation", "private"]
    try:
        if subprocess.run(command + ["true"], stderr=subprocess.DEVNULL).returncode != 0:
            return False
    except OSError:
        return False
    env = dict(os.environ, **{NAMESPACE_MARK: "yes"})
    sys.stdout.flush()
    os.execvpe(command[0], command + [sys.executable] + sys.argv, env)


def main():
    in_own_namespace()
    table_cases()
    file_cases()
    acl_cases()
    no_acl_cases()
    descriptor_cases()
    folder_cases()
    overlay_cases()
    protection_cases()
    signal_cases()
    held_folder_cases()
    stage_cases()
    print("%(passed)d passed, %(failed)d failed, %(skipped)d skipped" % results)
    return 1 if results["failed"] else 0


if __name__ == "__main__":
    sys.exit(main())
