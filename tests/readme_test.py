#!/usr/bin/env python3
"""Runs the examples in README.md and in docs/*.md beside it, and checks that
they print what each file shows.

Each ```console block is a session: a line starting with "$ " is a command,
lines starting with "> " (or a lone ">") right after it continue it, as a
shell shows a here-document, and the lines up to the next command are its
expected output, standard error included. The commands of one block run in
one bash, in a fresh directory, with the built fillvars first on PATH and no
other environment.

The opening ```sh block builds the tool and runs it; its last step is run
here and must print what the sentence after it says.

The files' relative links (and images) must lead to a file or folder that
exists and, with a #fragment, to a heading in it; every file in docs/ must be
linked from README.md.

usage: readme_test.py README.md DIRECTORY-OF-FILLVARS
"""
import glob
import os
import re
import subprocess
import sys
import tempfile


def console_blocks(text, name):
    """Yields (line number, [(command, expected output)]) per console block."""
    lines = text.split("\n")
    i = 0
    while i < len(lines):
        if lines[i].strip() != "```console":
            i += 1
            continue
        start = i + 1
        steps = []
        i += 1
        while i < len(lines) and lines[i].strip() != "```":
            line = lines[i]
            if line.startswith("$ "):
                command = [line[2:]]
                while i + 1 < len(lines) and (lines[i + 1].startswith("> ") or lines[i + 1] == ">"):
                    i += 1
                    command.append(lines[i][2:])
                steps.append(["\n".join(command), []])
            elif steps:
                steps[-1][1].append(line)
            else:
                raise SystemExit(f"{name}:{i + 1}: output before any command")
            i += 1
        yield start, [(c, "".join(o + "\n" for o in out)) for c, out in steps]
        i += 1


def run_block(steps, bindir):
    """Runs the commands in one bash; returns each command's output."""
    with tempfile.TemporaryDirectory() as work:
        script = []
        for n, (command, _) in enumerate(steps):
            script.append(f"{{\n{command}\n}} >{work}/.out{n} 2>&1")
        env = {"PATH": bindir + os.pathsep + "/usr/bin:/bin"}
        subprocess.run(["bash", "-c", "\n".join(script)], cwd=work, env=env,
                       stdin=subprocess.DEVNULL, timeout=60)
        outputs = []
        for n in range(len(steps)):
            with open(f"{work}/.out{n}", "rb") as f:
                outputs.append(f.read().decode("utf-8", "backslashreplace"))
        return outputs


def check_opening_command(text, bindir):
    block = re.search(r"```sh\n(.*?)\n```", text, re.S)
    said = re.search(r"The first [^`]*prints\s+`([^`]*)`", text)
    if not block or not said:
        return ["README.md: the opening command or the sentence saying what it prints is gone"]
    command = block.group(1).split(" && ")[-1].replace("./build/fillvars", "fillvars")
    env = {"PATH": bindir + os.pathsep + "/usr/bin:/bin"}
    got = subprocess.run(["bash", "-c", command], env=env, capture_output=True,
                         text=True, timeout=60)
    if got.stdout != said.group(1) + "\n" or got.stderr:
        return [f"README.md opening command: {command}\n  says:  {said.group(1)!r}\n"
                f"  got:   {got.stdout!r} {got.stderr!r}"]
    return []


def anchors(text):
    """The fragments that a heading of the file gives, as GitHub makes them."""
    found = set()
    for heading in re.findall(r"^#+ (.*)$", re.sub(r"```.*?```", "", text, flags=re.S), re.M):
        slug = re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")
        found.add(slug)
    return found


def check_links(path, text, top):
    """Relative links that lead nowhere; returns the files they name."""
    failures, named = [], set()
    prose = re.sub(r"```.*?```", "", text, flags=re.S)
    for target in re.findall(r"\]\(([^)\s]+)\)", prose):
        if re.match(r"[a-z]+:", target):
            continue
        file, _, fragment = target.partition("#")
        dest = os.path.normpath(os.path.join(os.path.dirname(path), file)) if file else path
        named.add(dest)
        if not os.path.exists(dest):
            failures.append(f"{os.path.relpath(path, top)}: link to {target}: no such file")
        elif fragment and dest.endswith(".md"):
            with open(dest, encoding="utf-8") as f:
                if fragment not in anchors(f.read()):
                    failures.append(f"{os.path.relpath(path, top)}: link to {target}: no such heading")
    return failures, named


def main():
    readme, bindir = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    top = os.path.dirname(readme)
    files = [readme] + sorted(glob.glob(os.path.join(top, "docs", "*.md")))
    failures, examples, linked = [], 0, set()
    for path in files:
        name = os.path.relpath(path, top)
        with open(path, encoding="utf-8") as f:
            text = f.read()
        if path == readme:
            failures += check_opening_command(text, bindir)
        broken, named = check_links(path, text, top)
        failures += broken
        if path == readme:
            linked = named
        elif path not in linked:
            failures.append(f"{name}: not linked from README.md")
        for line, steps in console_blocks(text, name):
            for (command, want), got in zip(steps, run_block(steps, bindir)):
                examples += 1
                if got != want:
                    failures.append(f"{name} block at line {line}: $ {command}\n"
                                    f"  want: {want!r}\n  got:  {got!r}")
    if examples == 0:
        failures.append("README.md: no console examples found")
    for failure in failures:
        print("FAIL:", failure)
    print(f"readme: {examples} commands checked in {len(files)} files, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
