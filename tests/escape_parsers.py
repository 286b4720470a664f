#!/usr/bin/env python3
"""-E's formats read back by real parsers: random values (any bytes but NUL,
which no environment holds, for url and sh; UTF-8 for json; UTF-8 that XML
can hold for xml) go through the built program in one template a format,
and Python's json.loads, xml.etree (an element's text and an attribute),
urllib.parse.unquote_to_bytes and sh -c with printf %s must each give every
value back. Values that JSON or XML cannot hold come back without those
bytes, with a report and status 1.

json's values are also read back by node, in a '...', a "..." and a `...`
string of a script and by JSON.parse, and by PyYAML in a double-quoted
scalar; one template with a list for each format (-E FORMAT:NAMES) is read
back piece by piece, each by its own parser. node (Debian's nodejs) and
PyYAML (python3-yaml) are installed by .ci/run; where one is missing, its
checks are skipped, and the test says so.

  escape_parsers.py path/to/fillvars [seed]
"""

import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import urllib.parse
import xml.etree.ElementTree as ElementTree

BIN = os.path.abspath(sys.argv[1])
SEED = int(sys.argv[2]) if len(sys.argv) > 2 else 35
COUNT = 400

# Bytes that the escapers treat apart, drawn more often than the rest.
SPECIAL = b"\"\\<>&'\t\n\r\x01\x1f\x7f%+/ @:?#=$"
SPECIAL_CHARS = "\"\\<>&'\t\n\r\x01\x1f\x7f\x80\x85\x9f\xa0\u2027\u2028\u2029\ufffd\ufffe\uffff"


def random_length(rng):
    # Most short, some past 16 and 64 bytes, where the tests go by pieces.
    return rng.choice((0, 1, 2, 5, 8, 15, 16, 17, 31, 63, 64, 65, 100, 300))


def any_bytes(rng):
    out = bytearray()
    for _ in range(random_length(rng)):
        out.append(rng.choice(SPECIAL) if rng.random() < 0.3 else rng.randrange(1, 256))
    return bytes(out)


def random_char(rng, allowed):
    while True:
        pick = rng.random()
        if pick < 0.3:
            c = rng.choice(SPECIAL_CHARS)
        elif pick < 0.6:
            c = chr(rng.randrange(0x20, 0x7f))
        elif pick < 0.8:
            c = chr(rng.randrange(0x80, 0x800))
        elif pick < 0.95:
            c = chr(rng.randrange(0x800, 0x10000))
        else:
            c = chr(rng.randrange(0x10000, 0x110000))
        if allowed(ord(c)):
            return c


def text(rng, allowed):
    return "".join(random_char(rng, allowed) for _ in range(random_length(rng)))


def json_char(code):
    return code != 0 and not 0xD800 <= code <= 0xDFFF


def xml_char(code):
    return (code in (0x9, 0xA, 0xD) or 0x20 <= code <= 0xD7FF or 0xE000 <= code <= 0xFFFD
            or 0x10000 <= code <= 0x10FFFF)


# Debian's python3-yaml, where the interpreter that runs the tests is not
# the system's own.
try:
    import yaml
except ImportError:
    sys.path.append("/usr/lib/python3/dist-packages")
    try:
        import yaml
    except ImportError:
        yaml = None

NODE = shutil.which("node") or shutil.which("nodejs")


def run(fmt, template, values, args=None, prefix=b"V"):
    env = {b"PATH": os.environb.get(b"PATH", b"/usr/bin:/bin")}
    if isinstance(values, dict):
        env.update(values)
    else:
        for i, value in enumerate(values):
            env[prefix + b"%d" % i] = value
    result = subprocess.run([BIN] + (args or ["-E", fmt]), input=template, env=env,
                            capture_output=True, timeout=60)
    return result


failures = []


def check(what, got, want, value):
    if got != want:
        failures.append("%s: value %r came back as %r" % (what, value, got))


def check_json(rng):
    values = [text(rng, json_char) for _ in range(COUNT)]
    template = b"[" + b",".join(b'"${V%d}"' % i for i in range(COUNT)) + b"]"
    result = run("json", template, [v.encode() for v in values])
    if result.returncode != 0 or result.stderr:
        failures.append("json: status %d, %r" % (result.returncode, result.stderr))
        return
    # Nothing that could end a string of any quote, a template's "${" or a
    # script block is written raw.
    for byte in b"'`$<>&":
        if bytes([byte]) in result.stdout:
            failures.append("json: %r written raw" % bytes([byte]))
    # Each value as a string of its own too, as the format promises.
    read = json.loads(result.stdout)
    for value, got in zip(values, read):
        check("json", got, value, value)
    check_json_node(values)
    check_json_yaml(values)


def check_json_node(values):
    if NODE is None:
        print("node not found: json's JavaScript and JSON.parse checks skipped")
        return
    # A script that writes back each value as read in each kind of string,
    # and the values as one JSON document that it parses.
    template = b"const read = [\n"
    template += b"".join(b"['${V%d}', \"${V%d}\", `${V%d}`],\n" % (i, i, i)
                         for i in range(len(values)))
    template += b"];\nconst parsed = JSON.parse(require('fs').readFileSync(0, 'utf8'));\n"
    template += b"process.stdout.write(JSON.stringify([read, parsed]));\n"
    script = run("json", template, [v.encode() for v in values])
    document = b"[" + b",".join(b'"${V%d}"' % i for i in range(len(values))) + b"]"
    doc = run("json", document, [v.encode() for v in values])
    if script.returncode != 0 or script.stderr or doc.returncode != 0 or doc.stderr:
        failures.append("json for node: status %d, %r" % (script.returncode, script.stderr))
        return
    with tempfile.NamedTemporaryFile(suffix=".js") as source:
        source.write(script.stdout)
        source.flush()
        node = subprocess.run([NODE, source.name], input=doc.stdout, capture_output=True,
                              timeout=60)
    if node.returncode != 0:
        failures.append("node: status %d, %r" % (node.returncode, node.stderr[:300]))
        return
    read, parsed = json.loads(node.stdout)
    for value, kinds, got in zip(values, read, parsed):
        for kind, back in zip(("'...'", '"..."', "`...`"), kinds):
            check("json in a node %s string" % kind, back, value, value)
        check("json through node's JSON.parse", got, value, value)


def check_json_yaml(values):
    if yaml is None:
        print("PyYAML not found: json's YAML check skipped")
        return
    template = b"".join(b'- "${V%d}"\n' % i for i in range(len(values)))
    result = run("json", template, [v.encode() for v in values])
    if result.returncode != 0 or result.stderr:
        failures.append("json for YAML: status %d, %r" % (result.returncode, result.stderr))
        return
    try:
        read = yaml.safe_load(result.stdout.decode())
    except yaml.YAMLError as error:
        failures.append("json in YAML: %s" % str(error)[:300])
        return
    for value, got in zip(values, read):
        check("json in a YAML double-quoted scalar", got, value, value)


def utf8_held(value):
    """What JSON keeps of bytes: the UTF-8 characters in them."""
    return value.decode("utf-8", errors="ignore")


def check_json_unheld(rng):
    values = [any_bytes(rng) for _ in range(COUNT)]
    template = b"[\n" + b",\n".join(b'"${V%d}"' % i for i in range(COUNT)) + b"\n]"
    result = run("json", template, values)
    reports = [b'fillvars: line %d: "V%d": a value JSON cannot hold\n' % (i + 2, i)
               for i, value in enumerate(values) if utf8_held(value).encode() != value]
    if result.stderr != b"".join(reports) or result.returncode != (1 if reports else 0):
        failures.append("json, bytes it cannot hold: status %d, reports %r"
                        % (result.returncode, result.stderr[:300]))
    try:
        read = json.loads(result.stdout.decode("utf-8"))
    except ValueError as error:
        failures.append("json, bytes it cannot hold: no JSON written: %s" % error)
        return
    for value, got in zip(values, read):
        check("json, bytes it cannot hold", got, utf8_held(value), value)


def check_per_name(rng):
    """One template, a list for each format: each piece read by its own parser."""
    count = COUNT // 4
    env = {}
    lists = {"json": [], "url": [], "xml": [], "sh": []}
    for i in range(count):
        env[b"J%d" % i] = text(rng, json_char).encode()
        env[b"U%d" % i] = any_bytes(rng)
        env[b"X%d" % i] = text(rng, xml_char).encode()
        env[b"S%d" % i] = any_bytes(rng)
        for fmt, letter in (("json", "J"), ("url", "U"), ("xml", "X"), ("sh", "S")):
            lists[fmt].append("%s%d" % (letter, i))
    # None of the escaped values holds a line feed but sh's, which comes last.
    template = b"[" + b",".join(b'"${J%d}"' % i for i in range(count)) + b"]\n"
    template += b" ".join(b"${U%d}" % i for i in range(count)) + b"\n"
    template += b"<r>" + b"".join(b'<e a="${X%d}">${X%d}</e>' % (i, i) for i in range(count))
    template += b"</r>\n"
    template += b"".join(b"printf '%%s\\0' '${S%d}'\n" % i for i in range(count))
    args = []
    for fmt, names in lists.items():
        args += ["-E", "%s:%s" % (fmt, ",".join(names))]
    result = run(None, template, env, args)
    if result.returncode != 0 or result.stderr:
        failures.append("per name: status %d, %r" % (result.returncode, result.stderr))
        return
    json_line, url_line, xml_line, script = result.stdout.split(b"\n", 3)
    for i, got in enumerate(json.loads(json_line)):
        check("per name, json", got.encode(), env[b"J%d" % i], env[b"J%d" % i])
    for i, word in enumerate(url_line.split(b" ")):
        check("per name, url", urllib.parse.unquote_to_bytes(word), env[b"U%d" % i],
              env[b"U%d" % i])
    for i, element in enumerate(ElementTree.fromstring(xml_line)):
        value = env[b"X%d" % i].decode()
        check("per name, xml text", element.text or "", value, value)
        check("per name, xml attribute", element.get("a"), value, value)
    shell = subprocess.run(["sh", "-c", script], capture_output=True, timeout=60,
                           env={"PATH": os.environ.get("PATH", "/usr/bin:/bin")})
    got = shell.stdout.split(b"\0")
    if shell.returncode != 0 or len(got) != count + 1:
        failures.append("per name, sh: status %d, %r" % (shell.returncode, shell.stderr[:300]))
        return
    for i, back in enumerate(got[:count]):
        check("per name, sh", back, env[b"S%d" % i], env[b"S%d" % i])


def check_xml(rng):
    values = [text(rng, xml_char) for _ in range(COUNT)]
    template = b"<r>" + b"".join(b'<e a="${V%d}">${V%d}</e>' % (i, i) for i in range(COUNT))
    template += b"</r>"
    result = run("xml", template, [v.encode() for v in values])
    if result.returncode != 0 or result.stderr:
        failures.append("xml: status %d, %r" % (result.returncode, result.stderr))
        return
    root = ElementTree.fromstring(result.stdout)
    for value, element in zip(values, root):
        check("xml text", element.text or "", value, value)
        check("xml attribute", element.get("a"), value, value)


def xml_held(value):
    """What XML keeps of bytes: the UTF-8 in them, without the characters it forbids."""
    return "".join(c for c in value.decode("utf-8", errors="ignore") if xml_char(ord(c)))


def check_xml_unheld(rng):
    values = [any_bytes(rng) for _ in range(COUNT)]
    template = b"<r>\n" + b"".join(b'<e a="${V%d}">${V%d}</e>\n' % (i, i) for i in range(COUNT))
    template += b"</r>"
    result = run("xml", template, values)
    reports = []
    for i, value in enumerate(values):
        if xml_held(value).encode() != value:
            line = i + 2
            reports += [b'fillvars: line %d: "V%d": a value XML cannot hold\n' % (line, i)] * 2
    if result.stderr != b"".join(reports) or result.returncode != (1 if reports else 0):
        failures.append("xml, bytes it cannot hold: status %d, reports %r"
                        % (result.returncode, result.stderr[:300]))
    root = ElementTree.fromstring(result.stdout)
    for value, element in zip(values, root):
        check("xml text, bytes it cannot hold", element.text or "", xml_held(value), value)
        check("xml attribute, bytes it cannot hold", element.get("a"), xml_held(value), value)


def check_url(rng):
    values = [any_bytes(rng) for _ in range(COUNT)]
    template = b"".join(b"${V%d}\n" % i for i in range(COUNT))
    result = run("url", template, values)
    if result.returncode != 0 or result.stderr:
        failures.append("url: status %d, %r" % (result.returncode, result.stderr))
        return
    lines = result.stdout.split(b"\n")
    for value, line in zip(values, lines):
        check("url", urllib.parse.unquote_to_bytes(line), value, value)


def check_sh(rng):
    values = [any_bytes(rng) for _ in range(COUNT)]
    # One script: each value between single quotes, ended by a NUL.
    template = b"".join(b"printf '%%s\\0' '${V%d}'\n" % i for i in range(COUNT))
    result = run("sh", template, values)
    if result.returncode != 0 or result.stderr:
        failures.append("sh: status %d, %r" % (result.returncode, result.stderr))
        return
    if b"\0" in result.stdout:
        failures.append("sh: a NUL in the script, which no argument can hold")
        return
    shell = subprocess.run(["sh", "-c", result.stdout], capture_output=True, timeout=60,
                           env={"PATH": os.environ.get("PATH", "/usr/bin:/bin")})
    got = shell.stdout.split(b"\0")
    if shell.returncode != 0 or len(got) != COUNT + 1:
        failures.append("sh: status %d, %d values, %r"
                        % (shell.returncode, len(got) - 1, shell.stderr[:300]))
        return
    for value, back in zip(values, got):
        check("sh", back, value, value)


def main():
    rng = random.Random(SEED)
    for checker in (check_json, check_json_unheld, check_xml, check_xml_unheld, check_url,
                    check_sh, check_per_name):
        checker(rng)
    for failure in failures[:20]:
        print(failure)
    print("seed %d, %d values a format: %s" % (SEED, COUNT, "failed" if failures else "passed"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
