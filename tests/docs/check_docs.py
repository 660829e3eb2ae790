#!/usr/bin/env python3
"""Keeps README.md and the manual page true to the program.

  check_docs.py examples SOURCE_DIR TOOL DOCUMENT
      Runs every tagged example of DOCUMENT (README.md or docs/velmoran.1), each line
      verbatim through bash, in a scratch copy of the source tree that also holds the
      sample files the text assumes, with TOOL on PATH as `velmoran` and behind
      scripts/velmoran, and checks the outcome of each block.
  check_docs.py agreement SOURCE_DIR
      The statuses, switches, usage line and examples of README.md and of the manual
      page agree with the program's own texts in src/app/status_table.cpp, the page
      names the version of project(), and it renders without a warning.
  check_docs.py commands SOURCE_DIR
      Every command line that README.md shows outside a tagged example is run, verbatim,
      by the test command's scripts.

An example block is tagged by the line just above it:
  README.md:        <!-- example: CHECK; CHECK ... -->   (then an indented or fenced block)
  docs/velmoran.1:  .\\" example: CHECK; CHECK ...       (then .EX ... .EE)
where CHECK is one of
  exit N          every line of the block ends with status N (without it: 0)
  says "TEXT"     the block's output (standard output and error) holds TEXT
  quiet           the block prints nothing at all
  PATH = EXPR     PATH now holds EXPR: a PATH (its bytes before the document's first
                  block ran), or add(PATH[, KEY]) / xor(PATH[, KEY]) with KEY a "string"
                  or @PATH (a key file's bytes); without KEY the built-in key
Blocks run in document order in one scratch folder; a block may change or create only
the files that its checks name, so a command that destroys another file fails.
"""
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

BUILT_IN_KEY = b"Velmoran"

# The files the examples' text assumes, beside the copy of the source tree.
SAMPLE_FILES = {
    "notes.txt": b"Dear diary, today I encrypted a file.\n",
    "report.pdf": b"%PDF-1.4\n" + random.Random(1).randbytes(2039),
    "photo.jpg": b"\xff\xd8\xff\xe0" + random.Random(2).randbytes(996),
    "key.bin": random.Random(3).randbytes(32),
}

# What the test command runs: a command that README.md shows outside a tagged example
# must appear in one of these.
TEST_SCRIPTS = [".ci/run", "scripts/test", "scripts/test-hardening.sh", "scripts/test-windows.sh"]

MANUAL_PAGE = "docs/velmoran.1"


class DocError(Exception):
    pass


# ---- the ciphers, from their formulas ----------------------------------------------


def complement_add(data, key):
    return bytes((key[n % len(key)] + 0xFF - byte) % 256 for n, byte in enumerate(data))


def xor_data(data, key):
    return bytes(byte ^ key[n % len(key)] for n, byte in enumerate(data))


CIPHERS = {"add": complement_add, "xor": xor_data}

# ---- reading the documents ---------------------------------------------------------

TAG_README = re.compile(r"<!--\s*(example|synopsis)\s*:?(.*?)-->\s*")
TAG_ROFF = re.compile(r'\.\\"\s*(example|usage)\s*:?(.*)')
ROFF_ESCAPES = [(r"\-", "-"), (r"\(dq", '"'), (r"\(aq", "'"), (r"\(lq", '"'), (r"\(rq", '"'),
                (r"\&", ""), (r"\fB", ""), (r"\fI", ""), (r"\fR", ""), (r"\fP", ""), (r"\e", "\\")]


def unroff(line):
    for escape, plain in ROFF_ESCAPES:
        line = line.replace(escape, plain)
    return line


def markdown_blocks(text):
    """(kind, checks, lines) for every code block; kind is "example", "synopsis" or None."""
    lines = text.split("\n")
    blocks, tag, at = [], None, 0
    while at < len(lines):
        line = lines[at]
        match = TAG_README.fullmatch(line)
        if match:
            tag = (match.group(1), match.group(2).strip())
            at += 1
            continue
        body = None
        if line.startswith("```"):
            body, at = [], at + 1
            while at < len(lines) and not lines[at].startswith("```"):
                body.append(lines[at])
                at += 1
            at += 1
        elif line.startswith("    ") and (at == 0 or not lines[at - 1].strip() or tag):
            body = []
            while at < len(lines) and (lines[at].startswith("    ") or not lines[at].strip()):
                body.append(lines[at][4:])
                at += 1
        elif line.strip():
            if tag:
                raise DocError(f"README.md: the tag '{tag[1]}' is not followed by a code block")
            at += 1
            continue
        else:
            at += 1
            continue
        body = [b for b in body if b.strip()]
        blocks.append((tag[0] if tag else None, tag[1] if tag else "", body))
        tag = None
    return blocks


def roff_blocks(text):
    """(kind, checks, lines) for every .EX block of the manual page."""
    lines = text.split("\n")
    blocks, tag = [], None
    at = 0
    while at < len(lines):
        match = TAG_ROFF.fullmatch(lines[at])
        if match:
            tag = (match.group(1), match.group(2).strip())
        elif lines[at].startswith(".EX"):
            body, at = [], at + 1
            while not lines[at].startswith(".EE"):
                body.append(unroff(lines[at]))
                at += 1
            blocks.append((tag[0] if tag else None, tag[1] if tag else "", body))
            tag = None
        elif tag and lines[at].strip() and not lines[at].startswith((".RS", ".PP", ".IP")):
            raise DocError(f"{MANUAL_PAGE}: the tag '{tag[1]}' is not followed by .EX")
        at += 1
    return blocks


def document_blocks(source, name):
    text = (source / name).read_text(encoding="utf-8")
    return roff_blocks(text) if name.endswith(".1") else markdown_blocks(text)


# ---- the checks of a tag -----------------------------------------------------------

CHECK_PATTERNS = [
    ("exit", re.compile(r"exit (\d+)")),
    ("says", re.compile(r'says "([^"]*)"')),
    ("quiet", re.compile(r"quiet")),
    ("bytes", re.compile(r'(\S+) = (?:(add|xor)\((\S+?)(?:, ("[^"]*"|@\S+))?\)|(\S+))')),
]


def parse_checks(tag):
    checks = []
    for item in filter(None, (part.strip() for part in re.findall(r'(?:[^;"]|"[^"]*")+', tag))):
        for kind, pattern in CHECK_PATTERNS:
            match = pattern.fullmatch(item)
            if match:
                checks.append((kind, match.groups(), item))
                break
        else:
            raise DocError(f"unknown check '{item}'")
    return checks


def expected_bytes(groups, pristine):
    _, cipher, data_path, key, plain_path = groups

    def original(path):
        if path not in pristine:
            raise DocError(f"'{path}' is neither a sample file nor a file of the tree")
        return pristine[path]

    if plain_path:
        return original(plain_path)
    if key is None:
        key_bytes = BUILT_IN_KEY
    elif key.startswith("@"):
        key_bytes = original(key[1:])
    else:
        key_bytes = key[1:-1].encode()
    return CIPHERS[cipher](original(data_path), key_bytes)


# ---- running the examples ----------------------------------------------------------


def tree_files(source):
    listed = subprocess.run(
        ["git", "-C", str(source), "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
        capture_output=True, check=False)
    if listed.returncode == 0:
        return [name for name in listed.stdout.decode().split("\0")
                if name and (source / name).is_file()]
    return [str(path.relative_to(source)) for path in source.rglob("*") if path.is_file()
            and path.relative_to(source).parts[0] not in ("build", ".git", ".cache")]


def make_scratch(source, tool, root):
    for name in tree_files(source):
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(source / name, root / name)
    for name, content in SAMPLE_FILES.items():
        (root / name).write_bytes(content)
    # The built tool stands where scripts/velmoran looks, newer than every source.
    release = root / "build" / "release"
    release.mkdir(parents=True, exist_ok=True)
    shutil.copy2(tool, release / "velmoran")
    later = time.time() + 3600
    os.utime(release / "velmoran", (later, later))
    (root / "bin").mkdir()
    (root / "bin" / "velmoran").symlink_to(release / "velmoran")


def snapshot(root):
    skip = {root / "bin", root / "build" / "release"}
    files = {}
    for path in root.rglob("*"):
        if path.is_file() and not any(part in skip for part in path.parents):
            files[str(path.relative_to(root))] = path.read_bytes()
    return files


def run_block(root, env, checks, lines, pristine):
    failures = []
    before = snapshot(root)
    output = b""
    wanted_exit = next((int(g[0]) for kind, g, _ in checks if kind == "exit"), 0)
    for line in lines:
        result = subprocess.run(["bash", "-c", line], cwd=root, env=env, capture_output=True,
                                timeout=300, check=False)
        output += result.stdout + result.stderr
        if result.returncode != wanted_exit:
            failures.append(f"'{line}' ended with {result.returncode}, not {wanted_exit}: "
                            f"{(result.stdout + result.stderr).decode(errors='replace')!r}")
    after = snapshot(root)
    named = set()
    for kind, groups, text in checks:
        if kind == "says" and groups[0].encode() not in output:
            failures.append(f'the output lacks "{groups[0]}": {output.decode(errors="replace")!r}')
        elif kind == "quiet" and output:
            failures.append(f"printed {output.decode(errors='replace')!r}")
        elif kind == "bytes":
            path = groups[0]
            named.add(path)
            if path not in after:
                failures.append(f"{path} is missing")
            elif after[path] != expected_bytes(groups, pristine):
                failures.append(f"{path} holds other bytes than the check '{text}' expects")
    for path in sorted(set(before) | set(after)):
        if before.get(path) != after.get(path) and path not in named:
            state = "removed" if path not in after else "changed" if path in before else "created"
            failures.append(f"{path} was {state}, and no check names it")
    return failures


def run_examples(source, tool, document):
    blocks = [b for b in document_blocks(source, document) if b[0] == "example"]
    if not blocks:
        raise DocError(f"{document} has no tagged example")
    failures = []
    # A space in the folder's name, as in many a home folder, must not matter.
    with tempfile.TemporaryDirectory(prefix="velmoran docs ") as scratch:
        root = Path(scratch)
        make_scratch(source, tool, root)
        env = dict(os.environ, PATH=f"{root / 'bin'}{os.pathsep}{os.environ.get('PATH', '')}",
                   MANWIDTH="80")
        pristine = snapshot(root)
        for _, tag, lines in blocks:
            found = run_block(root, env, parse_checks(tag), lines, pristine)
            print(("FAIL " if found else "ok   ") + " | ".join(lines))
            failures += [f"{lines[0]}: {failure}" for failure in found]
    return failures


# ---- agreement with the program's texts --------------------------------------------

C_STRING = re.compile(r'"((?:[^"\\]|\\.)*)"')


def c_unescape(text):
    return text.replace("\\r", "\r").replace("\\t", "\t").replace('\\"', '"').replace("\\\\", "\\")


def program_texts(source):
    """The usage text and the message of every status, as src/app/status_table.cpp has them."""
    code = (source / "src/app/status_table.cpp").read_text()
    usage_code = re.search(r"kUsageText\s*=(.*?);", code, re.S).group(1)
    usage = "".join(c_unescape(s) for s in C_STRING.findall(usage_code))
    table_code = re.search(r"kMessages\[[^]]*\]\s*=\s*\{(.*?)\};", code, re.S).group(1)
    messages = []
    for entry in re.split(r",\s*\n", table_code.strip().rstrip(",")):
        entry = entry.strip()
        messages.append(usage if entry == "kUsageText" else None if entry == "nullptr"
                        else "".join(c_unescape(s) for s in C_STRING.findall(entry)))
    return usage, messages


def usage_switches(usage):
    return re.findall(r"^\t(-[a-z]):", usage.replace("\r", "\n"), re.M)


def readme_statuses(text):
    section = text.split("## Statuses", 1)[1].split("\n## ", 1)[0]
    return {int(m[0]): m[1].strip() for m in re.findall(r"^\| (\d+) \| (.*) \|$", section, re.M)}


def manual_statuses(text):
    section = text.split('.SH "EXIT STATUS"', 1)[1].split("\n.SH", 1)[0]
    entries = re.findall(r"^\.TP\n\.B (\d+)\n(.*)$", section, re.M)
    return {int(number): unroff(first_line) for number, first_line in entries}


def check_status_texts(where, shown, messages):
    failures = []
    if sorted(shown) != list(range(len(messages))):
        failures.append(f"{where} lists statuses {sorted(shown)}, not 0 to {len(messages) - 1}")
    for number, message in enumerate(messages):
        text = shown.get(number, "")
        if number == 0:
            message = "Encryption/decryption successful."
        elif number == 1:
            if "usage text" not in text:
                failures.append(f"{where}: status 1 does not say it is the usage text")
            continue
        rest = text[len(message):] if text.startswith(message) else None
        if rest is None or (rest and not rest.startswith((" (", ", "))):
            failures.append(f"{where}: status {number} says {text!r}, the program {message!r}")
    return failures


def agreement(source):
    usage, messages = program_texts(source)
    readme = (source / "README.md").read_text(encoding="utf-8")
    manual = (source / MANUAL_PAGE).read_text(encoding="utf-8")
    failures = check_status_texts("README.md", readme_statuses(readme), messages)
    failures += check_status_texts(MANUAL_PAGE, manual_statuses(manual), messages)

    switches = usage_switches(usage)
    usage_line = re.search(r"^Usage: Velmoran\.exe (.*)$", usage.replace("\r", "\n"), re.M).group(1)
    synopsis = "velmoran " + usage_line
    shown_switches = {
        "README.md": re.findall(r"^\| `(-[a-z])` \|", readme, re.M),
        MANUAL_PAGE: re.findall(r"^\.TP\n\.B \\(-[a-z])$", manual, re.M),
        "the usage line": re.findall(r"\[(-[a-z])\]", usage_line),
    }
    for where, found in shown_switches.items():
        if found != switches:
            failures.append(f"{where} shows the switches {found}, the usage text {switches}")

    readme_blocks = markdown_blocks(readme)
    manual_blocks = roff_blocks(manual)
    readme_synopsis = [lines for kind, _, lines in readme_blocks if kind == "synopsis"]
    if readme_synopsis != [[synopsis]]:
        failures.append(f"README.md's synopsis is {readme_synopsis}, the usage line {synopsis!r}")
    manual_synopsis = unroff(manual.split(".SH SYNOPSIS\n", 1)[1].split("\n", 1)[0])
    if manual_synopsis != synopsis:
        failures.append(f"{MANUAL_PAGE}'s synopsis is {manual_synopsis!r}, not {synopsis!r}")
    version = re.search(r"project\(Velmoran VERSION (\S+)", (source / "CMakeLists.txt").read_text())
    if f'"Velmoran {version.group(1)}"' not in manual.split("\n.SH", 1)[0]:
        failures.append(f"{MANUAL_PAGE}'s heading does not name version {version.group(1)}")
    manual_usage = ["\n".join(lines) for kind, _, lines in manual_blocks if kind == "usage"]
    if manual_usage != [usage.replace("\r", "\n")]:
        failures.append(f"{MANUAL_PAGE}'s usage text {manual_usage} is not the program's")

    if shutil.which("groff") is None:
        failures.append("groff is missing (scripts/install-deps.sh installs it)")
    else:
        lint = subprocess.run(["groff", "-man", "-ww", "-z", str(source / MANUAL_PAGE)],
                              capture_output=True, text=True, check=False)
        if lint.returncode != 0 or lint.stderr:
            failures.append(f"groff warns about {MANUAL_PAGE}: {lint.stderr}")

    def tool_examples(blocks):
        return [(tag, [line.split("  #")[0].rstrip() for line in lines])
                for kind, tag, lines in blocks
                if kind == "example" and all(line.startswith("velmoran ") for line in lines)]

    if tool_examples(readme_blocks) != tool_examples(manual_blocks):
        failures.append(f"the examples differ:\n  README.md: {tool_examples(readme_blocks)}\n"
                        f"  {MANUAL_PAGE}: {tool_examples(manual_blocks)}")
    return failures


# ---- every other command is run by the test command --------------------------------

FOLLOWERS = re.compile(r"\s*($|[>;&|)]|2>)")


def script_commands(source):
    lines = []
    for name in TEST_SCRIPTS:
        path = source / name
        if path.exists():
            lines += path.read_text().replace("\\\n", " ").split("\n")
    return [re.sub(r"\s+", " ", line).strip() for line in lines]


def runs(command, script_lines):
    pattern = re.compile(r"(^|[\s(;&|])" + re.escape(command) + r"(?=\s*($|[>;&|)]|2>))")
    return any(pattern.search(line) for line in script_lines)


def commands(source):
    script_lines = script_commands(source)
    failures = []
    for kind, _, lines in markdown_blocks((source / "README.md").read_text(encoding="utf-8")):
        if kind is not None:
            continue
        for line in lines:
            command = re.sub(r"\s+", " ", line.split("  #")[0]).strip()
            parts = [command] if runs(command, script_lines) else command.split(" && ")
            missing = [part for part in parts if not runs(part, script_lines)]
            print(("FAIL " if missing else "ok   ") + command)
            failures += [f"'{part}' is shown but not run by {', '.join(TEST_SCRIPTS)}"
                         for part in missing]
    return failures


def main(argv):
    mode, source = argv[1], Path(argv[2]).resolve()
    try:
        if mode == "examples":
            failures = run_examples(source, Path(argv[3]).resolve(), argv[4])
        elif mode == "agreement":
            failures = agreement(source)
        elif mode == "commands":
            failures = commands(source)
        else:
            raise DocError(f"unknown mode {mode}")
    except DocError as error:
        failures = [str(error)]
    for failure in failures:
        print("error:", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
