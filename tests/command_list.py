#!/usr/bin/env python3
"""Keeps scripts/dependencies.txt true: collects every outside command that the build, the tests,
the benchmarks and the scripts start, from their sources, and fails naming each one the list
lacks.

What it reads:
  - Python: argument lists whose first element is a literal (or a module or class constant)
    passed to subprocess and to the tests' own process helpers, and shutil.which() names;
  - shell scripts: the command word of every simple command, including those run through
    runuser, xvfb-run, flock, nice, timeout, env, exec and the wine runner;
  - CMake: find_program() names and literal COMMAND words;
  - C and C++: the programs given to posix_spawnp, exec*p and popen.
A command started through a variable it cannot read is carried in the list by hand.

Usage: command_list.py SOURCE_ROOT [FILE...]   (files: scan only these, for trying it out)
Before the tree, it checks itself on a small tree of its own, where it must find exactly the
commands planted there.
"""

import ast
import os
import re
import shlex
import sys
import tempfile

# Functions whose first argument is a command line (an argument list).
PYTHON_LAUNCHERS = {"run", "Popen", "call", "check_call", "check_output", "spawn", "run_x",
                    "run_as", "execvp", "execv", "execvpe", "command"}
# Shell words that are no commands of their own, or that run the command after their options.
SHELL_BUILTINS = {
    "echo", "printf", "cd", "set", "export", "read", "local", "trap", "exit", "return", "shift",
    "wait", "kill", "test", "[", "[[", "]]", "true", "false", "source", ".", "eval", "unset",
    "declare", "readonly", "for", "in", "case", "esac", "if", "then", "else", "elif", "fi",
    "while", "until", "do", "done", "function", "{", "}", "(", ")", "!", "break", "continue",
    "getopts", "type", "command", "hash", "ulimit", "umask", "pwd", "let", "builtin", ":",
    "exec", "time", "times",
}
# Commands that run another command: the options among theirs that take a value, and how many
# operands come before the command (timeout's duration, flock's lock file, chroot's root).
SHELL_WRAPPERS = {
    "exec": ((), 0), "nice": (("-n",), 0), "time": ((), 0), "env": (("-u",), 0),
    "nohup": ((), 0), "setsid": ((), 0), "dbus-run-session": ((), 0),
    "timeout": (("-s", "-k"), 1), "flock": (("-w", "-E"), 1), "chroot": ((), 1),
    "runuser": (("-u", "-g", "-G"), 0), "xvfb-run": (("-s", "-n", "-f", "-e", "-p"), 0),
}
SKIP_DIRS = {".git", "node_modules", "__pycache__"}


def in_project(root):
    for folder, dirs, files in os.walk(root):
        rel = os.path.relpath(folder, root)
        dirs[:] = [d for d in dirs if d not in SKIP_DIRS and not (rel == "." and d.startswith("build"))]
        for name in files:
            yield os.path.join(folder, name)


# -- Python ------------------------------------------------------------------------------------
def python_commands(path, text):
    tree = ast.parse(text, path)
    constants = {}
    for node in ast.walk(tree):
        if isinstance(node, ast.Assign) and isinstance(node.value, ast.Constant) \
                and isinstance(node.value.value, str):
            for target in node.targets:
                if isinstance(target, ast.Name):
                    constants[target.id] = node.value.value

    def literal(node):
        if isinstance(node, ast.Constant) and isinstance(node.value, str):
            return node.value
        if isinstance(node, ast.Name):
            return constants.get(node.id)
        if isinstance(node, ast.Attribute):
            return constants.get(node.attr)
        if isinstance(node, ast.BinOp) and isinstance(node.op, ast.Add):
            return literal(node.left)  # "/usr/bin/" + name: the folder says enough
        return None

    for node in ast.walk(tree):
        if not isinstance(node, ast.Call):
            continue
        name = node.func.attr if isinstance(node.func, ast.Attribute) else \
            node.func.id if isinstance(node.func, ast.Name) else None
        if name == "which" and node.args:
            word = literal(node.args[0])
            if word:
                yield word, node.lineno
        if name not in PYTHON_LAUNCHERS or not node.args:
            continue
        argv = node.args[0]
        if isinstance(argv, ast.BinOp):  # ["a", ...] + rest
            argv = argv.left
        if isinstance(argv, (ast.List, ast.Tuple)) and argv.elts:
            word = literal(argv.elts[0])
            if word and not word.startswith("-") and " " not in word and not word.endswith("/"):
                yield word, node.lineno


# -- shell -------------------------------------------------------------------------------------
HEREDOC = re.compile(r"(?<!<)<<-?\s*['\"]?(\w+)['\"]?")
ASSIGNMENT = re.compile(r"^[A-Za-z_][A-Za-z0-9_]*(\[[^]]*\])?\+?=")
SUBSTITUTION = re.compile(r"\$\(([^()]*)\)|`([^`]*)`")
OPERATORS = set(";&|()")
CASE_PATTERN = re.compile(r"^\s*[^()$`=\s][^()$`=]*\)(?!\))")  # "a | b)" before a case branch
RESERVED = {"!", "{", "then", "do", "else", "elif", "if", "while", "until", "time"}


def complete(text):
    """Whether text is whole shell words: no quote and no array literal left open."""
    try:
        shlex.split(text, comments=False, posix=True)
    except ValueError:
        return False
    return not re.search(r"=\([^)]*$", text)


def shell_logical_lines(text):
    """Lines joined where a backslash, a quote or an array literal continues them; comments and
    here-document bodies left out."""
    lines, pending, first, heredoc = [], "", 0, None
    for number, raw in enumerate(text.splitlines(), 1):
        if heredoc:
            if raw.strip() == heredoc:
                heredoc = None
            continue
        line = "" if raw.lstrip().startswith("#") else re.sub(r"(^|\s)#[^'\"]*$", "", raw)
        match = HEREDOC.search(line)
        if match:
            heredoc = match.group(1)
        if not pending:
            first = number
        if line.endswith("\\"):
            pending += line[:-1] + " "
            continue
        pending += line
        if not complete(pending) and heredoc is None:
            pending += "\n"
            continue
        lines.append((first, pending))
        pending = ""
    return lines


def simple_commands(line):
    """The word lists of the simple commands in a line, command substitutions included."""
    line = CASE_PATTERN.sub("", line)
    for match in SUBSTITUTION.finditer(line):
        yield from simple_commands(match.group(1) or match.group(2) or "")
    lexer = shlex.shlex(line, posix=True, punctuation_chars=True)
    lexer.whitespace_split = True
    try:
        tokens = list(lexer)
    except ValueError:
        return
    words, depth, opened, redirected = [], 0, 0, False
    for token in tokens:
        if depth:  # inside name=( ... ) or $( ... ): no commands, or scanned already
            depth += token.count("(") - token.count(")")
            redirected = depth == 0  # what follows $( ... ) is the rest of the same word
            if depth == 0 and set(token.rsplit(")", 1)[1]) & set(";&|"):  # "));" ends it
                if words:
                    yield words
                words, redirected = [], False
            continue
        if redirected:  # a redirection's file
            redirected = False
            if not set(token) <= OPERATORS:
                continue
        if set(token) <= OPERATORS:
            if token.startswith("((") and words in ([], ["for"]):  # (( i++ )), for ((...))
                depth = token.count("(") - token.count(")")
                continue
            if token.startswith("(") and words and (words[-1].endswith("$") or (
                    ASSIGNMENT.match(words[-1]) and words[-1].endswith("="))):
                depth = token.count("(") - token.count(")")
                continue
            opened += token.count("(")
            if token.startswith(")") and opened == 0:
                words = []  # a case pattern, "pattern)"
            opened = max(0, opened - token.count(")"))
            if words:
                yield words
            words = []
            continue
        if set(token) <= set("<>&"):
            redirected = True
            continue
        words.append(token)
    if words:
        yield words


def command_of(words):
    """The commands a simple command runs: a wrapper such as nice or runuser, then, past its
    options and operands, the command it runs."""
    index = 0
    while index < len(words) and (ASSIGNMENT.match(words[index]) or words[index] in RESERVED):
        index += 1
    while index < len(words):
        word = words[index]
        yield word
        if word not in SHELL_WRAPPERS:
            return
        valued, operands = SHELL_WRAPPERS[word]
        index += 1
        while index < len(words) and (words[index].startswith("-") or
                                      ASSIGNMENT.match(words[index])):
            if words[index] == "--":
                index += 1
                break
            index += 2 if words[index] in valued else 1
        index += operands


FUNCTION_DEFINITION = re.compile(r"^\s*(?:function\s+)?([\w-]+)\s*\(\)", re.M)


def shell_commands(path, text, functions=()):
    functions = set(functions) | set(FUNCTION_DEFINITION.findall(text))
    for number, line in shell_logical_lines(text):
        for words in simple_commands(line):
            for word in command_of(words):
                if not word or word in SHELL_BUILTINS or word in functions:
                    continue
                if "$" in word or "=" in word or word[0] in "-*[%" or word.isdigit():
                    continue  # a variable's or an operand's, not readable here
                if "/" in word and not word.startswith("/"):
                    continue  # the project's own scripts and programs (scripts/x.sh, build/...)
                if word.endswith((".sh", ".py")) or not re.match(r"^[\w./+-]+$", word):
                    continue
                yield word, number


# -- CMake -------------------------------------------------------------------------------------
def cmake_commands(path, text, targets=()):
    for match in re.finditer(r"find_program\(\s*\w+\s+(?:NAMES\s+)?([\w.+-]+)", text):
        yield match.group(1), text.count("\n", 0, match.start()) + 1
    for match in re.finditer(r"\bCOMMAND\s+([^\s)]+)", text):
        word = match.group(1)
        if word.startswith(("$", "\"$")) or "::" in word or "/" in word or word in targets:
            continue  # a variable's, an imported or the project's own program
        yield word, text.count("\n", 0, match.start()) + 1


# -- C and C++ ---------------------------------------------------------------------------------
def native_commands(path, text):
    pattern = r"(?:posix_spawnp\([^,]+,|exec[lv]p\(|popen\()\s*\"([\w.+-]+)"
    for match in re.finditer(pattern, text):
        yield match.group(1), text.count("\n", 0, match.start()) + 1


def kind_of(path):
    name = os.path.basename(path)
    if name.endswith(".py"):
        return python_commands
    if name.endswith(".sh") or name == "run" and os.path.basename(os.path.dirname(path)) == ".ci":
        return shell_commands
    if name == "CMakeLists.txt" or name.endswith(".cmake"):
        return cmake_commands
    if name.endswith((".c", ".cpp", ".h")):
        return native_commands
    return None


def listed_commands(root):
    listed = set()
    with open(os.path.join(root, "scripts", "dependencies.txt")) as f:
        for line in f:
            fields = line.split("#", 1)[0].split()
            if fields and fields[0] != "-":
                for command in fields[0].split(","):
                    listed.add(command)
                    listed.add(os.path.basename(command))
    return listed


# A tree with one planted command of each kind the scan reads, and look-alikes it must pass over.
PLANTED = {
    "tests/case.py": 'import subprocess, shutil\nTOOL = "planted-py-const"\n'
                     'subprocess.run(["planted-py-run", "-x"])\nself.spawn([TOOL, "y"])\n'
                     'shutil.which("planted-py-which")\nrect = ["x", "y"]\n',
    "scripts/x.sh": 'set -eu\nVAR=1 planted-sh-env-prefix --flag\n'
                    'out=$(planted-sh-subst "$1") || true\n'
                    'nice -n 10 planted-sh-after-nice a | planted-sh-pipe\n'
                    'flock 9 planted-sh-after-flock\nrunuser -u nobody -- planted-sh-runuser\n'
                    'echo "text (not a command) here"\nlist=(\n  not-a-command\n)\n'
                    'case "$1" in\n  pattern | other) planted-sh-case ;;\nesac\n'
                    'for ((i = 0; i < 2; i++)); do planted-sh-loop; done\n'
                    'cat <<EOF\nheredoc-line not-a-command\nEOF\nhelper() { true; }\nhelper\n'
                    'exec 9>"$lock"\nbash scripts/own.sh\n"$variable" arg\n',
    "tests/CMakeLists.txt": 'find_program(X NAMES planted-cmake-find REQUIRED)\n'
                            'add_executable(own_test own.cpp)\nadd_test(NAME t COMMAND own_test)\n'
                            'add_test(NAME u COMMAND planted-cmake-command a)\n',
    "tests/spawn.cpp": 'posix_spawnp(&pid, "planted-cpp-spawn", nullptr, nullptr, argv, env);\n',
}


def check_self():
    """The commands the scan finds in the planted tree, or an error naming the difference."""
    expected = {"planted-py-const", "planted-py-run", "planted-py-which", "planted-sh-env-prefix",
                "planted-sh-subst", "nice", "planted-sh-after-nice", "planted-sh-pipe", "flock",
                "planted-sh-after-flock", "runuser", "planted-sh-runuser", "cat", "bash",
                "planted-cmake-find", "planted-cmake-command", "planted-cpp-spawn",
                "planted-sh-case", "planted-sh-loop"}
    with tempfile.TemporaryDirectory() as root:
        for name, text in PLANTED.items():
            os.makedirs(os.path.join(root, os.path.dirname(name)), exist_ok=True)
            with open(os.path.join(root, name), "w") as f:
                f.write(text)
        os.makedirs(os.path.join(root, "scripts"), exist_ok=True)
        with open(os.path.join(root, "scripts", "dependencies.txt"), "w") as f:
            f.write("cat coreutils base the scripts\n")
        found = set(missing_from_list(root, list(in_project(root)))) | {"cat"}
    if found != expected:
        return "the scan is wrong on its own planted tree: missed %s, wrongly found %s" % (
            sorted(expected - found), sorted(found - expected))
    return None


def missing_from_list(root, files):
    """{command: [where it is started]} for every command started in files that the list lacks."""
    listed = listed_commands(root)
    lacking = {}
    targets = set()
    functions = set()  # of every shell script: a sourced one's are called from others
    for path in in_project(root):
        if kind_of(path) is cmake_commands:
            with open(path) as f:
                targets |= set(re.findall(r"add_executable\(\s*([\w.+-]+)", f.read()))
        elif kind_of(path) is shell_commands:
            with open(path) as f:
                functions |= set(FUNCTION_DEFINITION.findall(f.read()))
    for path in files:
        scan = kind_of(path)
        if scan is None or os.sep + "fakes" + os.sep in path:
            continue
        with open(path, encoding="utf-8", errors="replace") as f:
            text = f.read()
        found = scan(path, text, targets) if scan is cmake_commands else \
            scan(path, text, functions) if scan is shell_commands else scan(path, text)
        for command, line in found:
            name = os.path.basename(command)
            if command not in listed and name not in listed:
                lacking.setdefault(command, []).append("%s:%d" % (os.path.relpath(path, root), line))
    return lacking


def main(argv):
    if len(argv) < 2:
        print(__doc__, file=sys.stderr)
        return 64
    wrong = check_self()
    if wrong:
        print(wrong)
        return 1
    root = argv[1]
    files = argv[2:] or list(in_project(root))
    lacking = missing_from_list(root, files)
    for command in sorted(lacking):
        print("command %s is started by %s but scripts/dependencies.txt does not list it"
              % (command, ", ".join(lacking[command][:3])))
    print("%d files read, %d commands missing from scripts/dependencies.txt"
          % (len(files), len(lacking)))
    return 1 if lacking else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
