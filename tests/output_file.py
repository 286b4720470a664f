#!/usr/bin/env python3
"""-o FILE end to end: a run that succeeds replaces FILE whole; every run that
fails, whichever way, leaves FILE byte for byte as it was and no temporary
file beside it. A FILE that cannot be written is reported before any input
is read.

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
USAGE = (b"usage: fillvars [OPTIONS] [VARIABLE-NAMES...]\n"
         b"       VARIABLE-NAMES can be specified in shell format or bare.\n")
# 8-byte lines, so that 128 KiB blocks end on line boundaries.
LINE_IN, LINE_OUT = b"k=${A};\n", b"k=1;\n"

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

    proc = subprocess.Popen((command or WRAPPER + [FILLVARS]) + args, cwd=folder,
                            stdin=stdin_arg, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            env=dict(ENV, **(env or {})), preexec_fn=prepare)
    if stdin == "dir":
        os.close(stdin_arg)
    return proc, in_file


def run(args, folder, stdin=b"", env=None, umask=None, preexec=None, command=None):
    """Runs fillvars to its end: (status, stdout, stderr, input offset)."""
    proc, in_file = start(args, folder, stdin, env, umask, preexec, command)
    try:
        out, err = proc.communicate(timeout=60 * SLOW)
    except subprocess.TimeoutExpired:
        proc.kill()
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
        ("a read error: the input is a folder", ["-o", "f"], "dir", None, None, 1,
         b"fillvars: read: Is a directory\n", b"", OLD, False),
        ("a read error: the input is closed", ["-o", "f"], "closed", None, None, 1,
         b"fillvars: read: Bad file descriptor\n", b"", OLD, False),
        ("a write error: a file size limit", ["-o", "f"], LINE_IN * 40000, None,
         size_limit(True), 1, b"fillvars: write: File too large\n", b"", OLD, False),
        ("SIGXFSZ from a file size limit", ["-o", "f"], LINE_IN * 40000, None,
         size_limit(False), -signal.SIGXFSZ, b"", b"", OLD, False),
        ("-v writes the names to standard output", ["-v", "A", "-o", "f"], b"$A", None, None, 0,
         b"", b"A\n", OLD, True),
        ("-h", ["-o", "f", "-h"], b"$A", None, None, 0, b"", USAGE, OLD, True),
        ("-V", ["-o", "f", "-V"], b"$A", None, None, 0, b"", b"fillvars 0.1\n", OLD, True),
        ("FILE a folder", ["-o", "d"], b"$A", None, None, 1, b"fillvars: d: Is a directory\n",
         b"", OLD, True),
        ("FILE a link to a folder", ["-o", "to-d"], b"$A", None, None, 1,
         b"fillvars: to-d: Is a directory\n", b"", OLD, True),
        ("FILE ending in /", ["-o", "new/"], b"$A", None, None, 1,
         b"fillvars: new/: Is a directory\n", b"", OLD, True),
        ("FILE under a file", ["-o", "f/x"], b"$A", None, None, 1,
         b"fillvars: f/x: Not a directory\n", b"", OLD, True),
        ("FILE in a missing folder", ["-o", "missing/f"], b"$A", None, None, 1,
         b"fillvars: missing/f: No such file or directory\n", b"", OLD, True),
        ("FILE empty", ["-o", ""], b"$A", None, None, 1,
         b"fillvars: : No such file or directory\n", b"", OLD, True),
        ("FILE escaped in the message", ["-o", b'missing/a\x1b[2J"\\\x7f\xc2\x85\xc3\xa9'],
         b"$A", None, None, 1,
         b'fillvars: missing/a\\x1b[2J\\"\\\\\\x7f\\u0085\xc3\xa9: No such file or directory\n',
         b"", OLD, True),
        ("-f: a missing file", ["-o", "f", "-f", "missing.env"], b"$A", None, None, 1,
         b"fillvars: missing.env: No such file or directory\n", b"", OLD, True),
        ("-f: a file not of NAME=VALUE lines, FILE itself", ["-f", "f", "-o", "f"], b"$A", None,
         None, 1, b'fillvars: f:1: "old: the last good file": no "="\n', b"", OLD, True),
        ("FILE /dev/null is written, not replaced", ["-o", "/dev/null"], b"$A", None, None, 0,
         b"", b"", OLD, False),
        ("FILE /dev/full: a write error", ["-o", "/dev/full"], b"$A", None, None, 1,
         b"fillvars: write: No space left on device\n", b"", OLD, False),
    ]
    if FAILCALL and not WRAPPER:
        preload = lambda call: {"LD_PRELOAD": FAILCALL, "FAILCALL": call}
        cases += [
            ("a write error from the system", ["-o", "f"], b"a=$A\n", preload("write:1"), None,
             1, io_error % b"write", b"", OLD, False),
            ("a read error after two blocks", ["-o", "f"], many, preload("read:3"), None, 1,
             io_error % b"read", b"", OLD, False),
            ("fsync fails", ["-o", "f"], b"a=$A\n", preload("fsync:1"), None, 1,
             io_error % b"f", b"", OLD, False),
            ("rename fails", ["-o", "f"], b"a=$A\n", preload("rename:1"), None, 1,
             io_error % b"f", b"", OLD, False),
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
            got = run(args, folder, stdin, env, preexec=preexec)
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
            os.chown(path, 1234, 5678)
            os.chmod(path, 0o4755)
            got = run(["-o", "f"], folder, b"owned $A\n")
            info = os.stat(path)
            kept = (got[0], info.st_uid, info.st_gid, stat.S_IMODE(info.st_mode))
            report("as root: owner, group and set-user-ID kept",
                   [] if kept == (0, 1234, 5678, 0o4755) else [str(kept)])
        else:
            skip("owner kept", "not root")
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
              b"fillvars: locked/f: Permission denied\n", path="locked/f", unread=True)
        # As nobody, in a folder nobody may write: FILE is replaced even when
        # it belongs to root, and becomes nobody's.
        if os.geteuid() == 0:
            os.chmod(locked, 0o777)
            os.chmod(os.path.join(locked, "f"), 0o644)
            got = run(["-o", "locked/f"], folder, b"by nobody $A\n", preexec=as_nobody,
                      command=command)
            owner = os.stat(os.path.join(locked, "f")).st_uid
            check("as nobody, a root file in a folder nobody may write", got, folder, before,
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
                  before, 1, b"fillvars: write: No space left on device\n", path="full/f")
            check("a read-only folder", run(["-o", "readonly/f"], folder, b"$A"), folder,
                  before, 1, b"fillvars: readonly/f: Read-only file system\n",
                  path="readonly/f", unread=True)
            check("FILE a mount point", run(["-o", "f"], folder, b"$A"), folder, before, 1,
                  b"fillvars: f: Device or resource busy\n", unread=True)
            check("FILE bound from its own file system", run(["-o", "g"], folder, b"$A"), folder,
                  before, 1, b"fillvars: g: Device or resource busy\n", unread=True, path="g")
        finally:
            subprocess.run(["umount", os.path.join(folder, "g")])
            subprocess.run(["umount", os.path.join(folder, "f")])
            subprocess.run(["umount", full])
            subprocess.run(["umount", readonly])
    finally:
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
    folder_cases()
    signal_cases()
    print("%(passed)d passed, %(failed)d failed, %(skipped)d skipped" % results)
    return 1 if results["failed"] else 0


if __name__ == "__main__":
    sys.exit(main())
