#!/usr/bin/env python3
"""The README's and the docs' command blocks stay in step with the scripts: every script a
command block names exists, and every command in a block that runs a script is run by the
fresh-machine rehearsal (scripts/fresh-machine-check.sh), either as one of its lines or by a
script those lines run, with the same arguments.

Two kinds of script are left to their own users: the rehearsal itself, and the benchmarks, whose
figures need a quiet machine rather than a new one.

Usage: commands.py SOURCE_ROOT
Before the tree, it checks itself on a small tree of its own with one fault of each kind planted.
"""

import os
import re
import shlex
import sys
import tempfile

REHEARSAL = "scripts/fresh-machine-check.sh"
NOT_REHEARSED = {REHEARSAL: "the rehearsal itself",
                 "bench/": "the benchmarks: their figures need a quiet machine"}
SCRIPT = re.compile(r"(?<![\w./-])((?:scripts|bench|tests|onewire)/[\w./-]+\.(?:sh|py))\b")
RUNNERS = {"bash", "sh", "python3"}


def documents(root):
    names = ["README.md", os.path.join("onewire", "README.md")]
    docs = os.path.join(root, "docs")
    names += [os.path.join("docs", n) for n in sorted(os.listdir(docs)) if n.endswith(".md")]
    return [n for n in names if os.path.exists(os.path.join(root, n))]


def code_lines(text):
    """(line number, text) of every line of an indented or fenced code block."""
    fenced, previous_blank, in_block = False, True, False
    for number, line in enumerate(text.splitlines(), 1):
        if line.startswith("```"):
            fenced = not fenced
            continue
        if fenced:
            yield number, line
            continue
        if line.startswith("    ") and (in_block or previous_blank):
            in_block = True
            yield number, line[4:]
        elif line.strip():
            in_block = False
        previous_blank = not line.strip()


def simple_commands(line):
    """The word lists of a command line's simple commands; a trailing comment left out."""
    try:
        lexer = shlex.shlex(line, posix=True, punctuation_chars=";&|")
        lexer.whitespace_split = True
        lexer.commenters = "#"
        tokens = list(lexer)
    except ValueError:
        return
    words = []
    for token in tokens + [";"]:
        if set(token) <= set(";&|"):
            if words:
                yield words
            words = []
        else:
            words.append(token)


def script_run(words):
    """'bash scripts/x.sh ARG...' for a simple command that runs a script, else None."""
    while words and re.match(r"^[A-Za-z_]\w*=", words[0]):
        words = words[1:]  # VAR=value before the command
    if len(words) >= 2 and words[0] in RUNNERS and SCRIPT.fullmatch(words[1]):
        return " ".join(["bash"] + words[1:])
    if words and SCRIPT.fullmatch(words[0]):
        return " ".join(["bash"] + words)
    return None


def rehearsed(root):
    """Every script command line the rehearsal runs, and those the scripts it runs run in turn."""
    with open(os.path.join(root, REHEARSAL)) as f:
        text = f.read()
    table = re.search(r"declare -A lines=\((.*?)\n\s*\)", text, re.S)
    if not table:
        return None
    pending = []
    for body in re.findall(r"\[\w+\]='([^']*)'", table.group(1)):
        for line in body.splitlines():
            pending += [run for words in simple_commands(line) if (run := script_run(words))]
    seen, read = set(), set()
    while pending:
        run = pending.pop()
        seen.add(run)
        script = run.split()[1]
        path = os.path.join(root, script)
        if script in read or not os.path.exists(path) or not script.endswith(".sh"):
            continue
        read.add(script)
        with open(path) as f:
            for line in f:
                pending += [r for words in simple_commands(line) if (r := script_run(words))]
    return seen


def problems(root):
    found = []
    runs = rehearsed(root)
    if runs is None:
        return ["%s has no table of the lines it runs (declare -A lines=(...))" % REHEARSAL]
    for document in documents(root):
        with open(os.path.join(root, document)) as f:
            text = f.read()
        for number, line in code_lines(text):
            where = "%s:%d" % (document, number)
            for script in SCRIPT.findall(line):
                if not os.path.exists(os.path.join(root, script)):
                    found.append("%s names %s, which does not exist" % (where, script))
            for words in simple_commands(line):
                run = script_run(words)
                if run and not run.split()[1].startswith(tuple(NOT_REHEARSED)) and run not in runs:
                    found.append("%s: the rehearsal does not run \"%s\"" % (where, run))
    return found


PLANTED = {
    "README.md": "Run:\n\n    bash scripts/good.sh --fast   # comment\n    bash scripts/gone.sh\n"
                 "    sh scripts/helper.sh one && bash scripts/good.sh --slow\n\n"
                 "Text naming scripts/gone.sh outside a block is prose.\n",
    "docs/other.md": "```\nbash bench/run.sh operator\nbash scripts/fresh-machine-check.sh run\n```\n",
    "scripts/good.sh": "bash scripts/helper.sh one\n",
    "scripts/helper.sh": "true\n",
    "bench/run.sh": "true\n",
    REHEARSAL: "declare -A lines=(\n  [a]='bash scripts/good.sh --fast\nls'\n  [b]='x'\n)\n",
}


def check_self():
    expected = ["README.md:4 names scripts/gone.sh, which does not exist",
                "README.md:4: the rehearsal does not run \"bash scripts/gone.sh\"",
                "README.md:5: the rehearsal does not run \"bash scripts/good.sh --slow\""]
    with tempfile.TemporaryDirectory() as root:
        for name, text in PLANTED.items():
            os.makedirs(os.path.join(root, os.path.dirname(name)), exist_ok=True)
            with open(os.path.join(root, name), "w") as f:
                f.write(text)
        found = problems(root)
    if found != expected:
        return "the check is wrong on its own planted tree: found %s, expected %s" % (found,
                                                                                     expected)
    return None


def main(argv):
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 64
    wrong = check_self()
    if wrong:
        print(wrong)
        return 1
    found = problems(argv[1])
    for line in found:
        print(line)
    print("%d documents read, %d command lines out of step" % (len(documents(argv[1])),
                                                               len(found)))
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
