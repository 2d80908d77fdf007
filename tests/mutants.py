#!/usr/bin/env python3
"""Checks that the tests catch real faults: puts faults into a copy of the project, one at a
time, rebuilds it and runs the tests.

usage: tests/mutants.py [NAME...] [--generate N [--seed S]] [--all] [--dry-run] [--keep-going]
                        [--list FILE] [--equivalent FILE] [--qt 5|6] [--fresh]
                        [--without TEST...]

Two kinds of fault:

Listed faults, written by hand in tests/mutants.txt (what runs without arguments). A line of the
list is one fault, as a JSON array: its name, then pairs of a short text of the product's code
and what the fault puts in its place. Each text is looked up among the product's own sources
(app/, cli/, hex/, setup/, filesystem/, whatever file it is in) and must stand there exactly
once, so that code moved to another file is still found. Lines starting with # and empty lines
are comments.

  ["reader-checksum-ignored", "checksum != expected", "false"]

Generated faults (--generate N): small changes this script finds by itself in every .cpp and
.h file of those folders, as mutation tools do:

  relational  < <= > >= == != changed to its neighbour (< and <=, > and >=, == and !=)
  logical     && and || swapped
  not         a ! dropped
  constant    an integer constant n made n+1 or n-1 (two faults)
  bool        true and false swapped
  call        a statement that is just a call dropped
  return      a return dropped that is not the last statement of its function
  jump        a break; or continue; dropped
  flag        one name dropped from a set joined by | (O_RDONLY | O_CLOEXEC loses a flag)

Nothing is changed in comments, string or character literals, preprocessor lines, code that
#if leaves out on this system (Q_OS_WIN where it is not Windows; files named *_win.* or
*_unix.* for the other system), assertions (Q_ASSERT, assert, static_assert), Q_UNUSED, logging
(qDebug, qWarning...), template angle brackets, ->, << and >>, or operator declarations. The
reading of C++ is a light one: a change it gets wrong does not build and only costs a build.

The sample takes N of them spread over the files: each file with any gets at least one (where N
is at least the number of such files), the rest in proportion to its number of places (a
constant is one place of two faults). Within a file the places are drawn at random from --seed
(default 1), a fault of each before a second of any. The same seed and sources give the same
sample. A generated fault is named for people by where it is and what it does:

  gen:hex/intelhex.cpp:150:relational:<-><=

and, for tests/mutants-equivalent.txt, by an identity that survives unrelated edits: the file,
the line's text without its indentation, the change and which such change of a line of that
text in the file it is (0 for the first). That file holds one generated fault a line that
cannot change what the program does, as a JSON array of that identity and the reason:

  ["cli/batch.cpp", "constexpr qint64 kLargeFile = 64 * 1024;", "constant:64->65", 0,
   "only which files are converted one at a time: memory, not what is written or reported"]

A sampled fault found there is printed as "equivalent" and another of the same file is drawn in
its place, so the sample still holds N faults to score. Every survivor is printed with its
identity, ready to be added to that file once a person has judged it.

NAME selects listed faults by name, and generated ones by name: a whole name, or its start
(gen:cli/batch.cpp:120 is every generated fault of that line, gen:cli/batch.cpp of the file).

A fault is "killed" when the build works and a test fails or runs over 60 s, and "SURVIVED"
when every test still passes: a fault the tests let through. It is "equivalent" where it is in
the list of equivalent faults, or where the build gives exactly the same object files as without
it (dead code, code not built here, a change the compiler folds away); then no test runs. A
listed fault whose text is not found, or is found more than once, is "gone", and one that does
not build is "invalid". Only killed and SURVIVED are scored. Missing return values are errors in
this build (-Werror=return-type), so that a dropped return does not fall off a function's end.

Each fault's verdict and time are printed as it ends; a survivor's file, line, original and
changed lines below it. The end gives the score, overall and per folder, for the listed faults
and the generated ones apart. The tests run one executable at a time, stopping at the first that
fails: first the one that tests the fault's folder, then the others, quickest first
(--keep-going runs them all and names every test that failed); --without TEST leaves a CTest
test out, for a quicker look (the score is then that of the other tests alone). A fault that
only the disks or desktop test catches must fail it twice: a busy machine can upset their timing.
The exit status is 0 when every scored fault was killed and no listed one is gone or invalid, 1
otherwise, 2 when the unchanged project does not build or fails its tests.

--dry-run (or --list-only) builds nothing: it prints how many generated faults each file and
each kind has, then the faults that would run.

The copy and its build live under $XDG_CACHE_HOME/tarvik-mutants (default ~/.cache), so the
project's own tree and builds are never touched. The copy is brought up to date with the tree at
each start (a file that differs is copied anew, so it is newer than its objects) and the build
is kept for the next run; --fresh starts both afresh. Needs CMake, Qt and a compiler as
./build.sh test does; Ninja where it is installed.
"""
import argparse
import difflib
import hashlib
import json
import os
import random
import re
import shutil
import subprocess
import sys
import time
from collections import Counter, defaultdict

PRODUCT = ("app", "cli", "hex", "setup", "filesystem")
# The test that checks a folder most closely runs first for a fault in it.
FIRST_TEST = {"app": "tst_mainwindow", "cli": "tst_cli", "hex": "tst_intelhex",
              "setup": "tst_setupfile", "filesystem": "tst_savefolder"}
TIMEOUT = 60  # seconds a test may take at least, with a fault in, before it counts as hanging
# Tests of real drivers and a real desktop, whose timing a busy machine can upset: a fault counts
# as caught by one of them only where it fails twice.
FAILS_TWICE = {"disks", "desktop"}


def run(command, cwd, timeout, env=None, output=False):
    try:
        done = subprocess.run(command, cwd=cwd, env=env, stdout=subprocess.PIPE if output
                              else subprocess.DEVNULL, stderr=subprocess.STDOUT
                              if output else subprocess.DEVNULL, timeout=timeout, text=True)
        return (done.returncode, done.stdout) if output else done.returncode
    except subprocess.TimeoutExpired:
        return (124, "") if output else 124


# ---- the listed faults --------------------------------------------------------------------

def read_list(path):
    faults = []
    with open(path, encoding="utf-8") as lines:
        for number, line in enumerate(lines, 1):
            if line.strip() and not line.lstrip().startswith("#"):
                fault = json.loads(line)
                if len(fault) < 3 or len(fault) % 2 == 0:
                    sys.exit(f"{path}:{number}: expected a name and pairs of texts")
                faults.append(fault)
    return faults


def sources(tree, suffixes=(".cpp", ".h", ".ui")):
    """The product's files under `tree`, by path relative to it, and their texts."""
    found = {}
    for folder in PRODUCT:
        for base, _, names in os.walk(os.path.join(tree, folder)):
            for name in sorted(names):
                if name.endswith(suffixes):
                    path = os.path.join(base, name)
                    with open(path, encoding="utf-8") as file:
                        found[os.path.relpath(path, tree).replace(os.sep, "/")] = file.read()
    return dict(sorted(found.items()))


def apply(fault, texts):
    """The changed files' new texts, or None where a text is not found exactly once."""
    changed = {}
    for anchor, replacement in zip(fault[1::2], fault[2::2]):
        current = {path: changed.get(path, text) for path, text in texts.items()}
        places = [path for path, text in current.items() if anchor in text]
        if len(places) != 1 or current[places[0]].count(anchor) != 1:
            return None
        changed[places[0]] = current[places[0]].replace(anchor, replacement)
    return changed


# ---- reading C++ ----------------------------------------------------------------------------

class Token:
    __slots__ = ("kind", "text", "start", "end", "line")

    def __init__(self, kind, text, start, end, line):
        self.kind, self.text, self.start, self.end, self.line = kind, text, start, end, line

    def __repr__(self):
        return f"{self.text!r}@{self.line}"


PUNCTUATORS = sorted("""
    >>= <<= <=> ->* ... :: -> ++ -- << >> <= >= == != && || += -= *= /= %= &= |= ^= ## .*
    { } [ ] ( ) ; : ? . , + - * / % ^ & | ~ ! = < > #""".split(), key=len, reverse=True)
LEXEMES = [
    ("space", re.compile(r"[ \t\r\f\v]+|\\\n")),
    ("comment", re.compile(r"//[^\n]*|/\*.*?\*/", re.S)),
    ("str", re.compile(r'(?:u8|u|U|L)?R"([^()\\\s]{0,16})\(.*?\)\1"', re.S)),
    ("str", re.compile(r'(?:u8|u|U|L)?"(?:[^"\\\n]|\\.)*"')),
    ("str", re.compile(r"(?:u8|u|U|L)?'(?:[^'\\\n]|\\.)*'")),
    ("num", re.compile(r"\.?\d(?:[eEpP][+-]|'(?=\w)|[\w.])*")),
    ("id", re.compile(r"[A-Za-z_]\w*")),
    ("punct", re.compile("|".join(re.escape(p) for p in PUNCTUATORS))),
]


def host_macros():
    """What the system this runs on defines of the macros #if asks about; others are unknown."""
    windows = ("Q_OS_WIN", "Q_OS_WIN32", "Q_OS_WIN64", "Q_OS_WINDOWS", "_WIN32", "_WIN64",
               "_MSC_VER", "Q_CC_MSVC")
    apple = ("Q_OS_DARWIN", "Q_OS_MACOS", "Q_OS_MAC", "Q_OS_OSX", "__APPLE__")
    if sys.platform.startswith("win"):
        yes, no = windows[:6], ("Q_OS_UNIX", "Q_OS_LINUX") + apple
    elif sys.platform == "darwin":
        yes, no = ("Q_OS_UNIX",) + apple, ("Q_OS_LINUX",) + windows
    elif sys.platform.startswith("linux"):
        yes, no = ("Q_OS_UNIX", "Q_OS_LINUX"), windows + apple
    else:
        yes, no = (), ()
    return {**{name: True for name in yes}, **{name: False for name in no}}


def other_system(path):
    """Whether a file is built only for another system (files_win.cpp beside files_unix.cpp)."""
    stem = os.path.splitext(os.path.basename(path))[0]
    return stem.endswith("_unix") if os.name == "nt" else stem.endswith("_win")


def condition(expression, macros):
    """An #if condition: True, False, or None where it asks for more than defined() can say."""
    words = re.findall(r"\w+|&&|\|\||\S", expression)
    at = 0

    def peek():
        return words[at] if at < len(words) else None

    def take():
        nonlocal at
        at += 1
        return words[at - 1]

    def unary():
        word = take() if peek() is not None else None
        if word == "!":
            value = unary()
            return None if value is None else not value
        if word == "(":
            value = either()
            if take() != ")":
                raise ValueError
            return value
        if word == "defined":
            name = take()
            if name == "(":
                name = take()
                take()
            return macros.get(name)
        if word and re.fullmatch(r"\d+[uUlL]*", word):
            return int(word.rstrip("uUlL")) != 0
        if word and re.fullmatch(r"[A-Za-z_]\w*", word) and peek() != "(":
            return None
        raise ValueError

    def both():
        value = unary()
        while peek() == "&&":
            take()
            other = unary()
            value = False if False in (value, other) else None if None in (value, other) else True
        return value

    def either():
        value = both()
        while peek() == "||":
            take()
            other = both()
            value = True if True in (value, other) else None if None in (value, other) else False
        return value

    try:
        value = either()
        return value if at == len(words) else None
    except (ValueError, IndexError):
        return None


def tokenize(text, macros):
    """The tokens of a C++ source that this system compiles: no comments, no preprocessor
    lines, nothing of what #if leaves out (as far as `macros` tell)."""
    tokens, levels = [], []  # levels: [this branch's value, some branch taken, some unknown]
    at, line, line_start = 0, 1, True
    while at < len(text):
        if text[at] == "\n":
            at, line, line_start = at + 1, line + 1, True
            continue
        if line_start and text[at] == "#":
            end = at
            while True:
                end = text.find("\n", end)
                if end < 0 or text[end - 1] != "\\":
                    break
                end += 1
            end = len(text) if end < 0 else end
            directive = re.sub(r"//.*|/\*.*?\*/", " ", text[at + 1:end].replace("\\\n", " "))
            word, _, rest = directive.strip().partition(" ")
            word, rest = word.strip(), rest.strip()
            if word in ("if", "ifdef", "ifndef"):
                value = condition(rest, macros) if word == "if" else macros.get(rest.split()[0])
                value = (not value if value is not None else None) if word == "ifndef" else value
                levels.append([value, value is True, value is None])
            elif word == "elif" and levels:
                level = levels[-1]
                value = condition(rest, macros)
                level[0] = False if level[1] else (None if level[2] and value is not False
                                                   else value)
                level[1] |= value is True
                level[2] |= value is None
            elif word == "else" and levels:
                level = levels[-1]
                level[0] = False if level[1] else (None if level[2] else True)
            elif word == "endif" and levels:
                levels.pop()
            line += text.count("\n", at, end)
            at = end
            continue
        for kind, pattern in LEXEMES:
            match = pattern.match(text, at)
            if match:
                break
        else:
            match, kind = re.compile(r".").match(text, at), "other"
        if kind not in ("space", "comment") and all(level[0] is not False for level in levels):
            tokens.append(Token(kind, match.group(), at, match.end(), line))
        line += match.group().count("\n")
        line_start = line_start and kind in ("space", "comment") and "\n" not in match.group()
        if kind == "comment" and "\n" in match.group():
            line_start = False  # a line that starts inside a comment has no directive
        at = match.end()
    return tokens


# ---- where faults go ------------------------------------------------------------------------

ASSERTIONS = {"Q_ASSERT", "Q_ASSERT_X", "assert", "static_assert", "Q_STATIC_ASSERT",
              "Q_UNUSED", "Q_DECLARE_METATYPE", "Q_DECLARE_FLAGS", "Q_DECLARE_OPERATORS_FOR_FLAGS",
              "Q_PROPERTY", "Q_ENUM", "Q_FLAG", "Q_DISABLE_COPY", "QT_VERSION_CHECK", "sizeof",
              "alignof", "decltype", "Q_CHECK_PTR"}
LOGGING = {"qDebug", "qInfo", "qWarning", "qCritical", "qFatal", "qCDebug", "qCInfo",
           "qCWarning", "qCCritical"}
KEYWORDS = set("""alignas alignof and asm auto bool break case catch char class const constexpr
    const_cast continue co_await co_return co_yield decltype default delete do double
    dynamic_cast else enum explicit export extern false float for friend goto if inline int long
    mutable namespace new noexcept not nullptr operator or private protected public register
    reinterpret_cast return short signed sizeof static static_assert static_cast struct switch
    template this throw true try typedef typeid typename union unsigned using virtual void
    volatile while""".split())
CONTROL = {"if", "while", "for", "switch", "catch", "constexpr"}
RELATIONAL = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="}
TEMPLATE_STOP = {";", "{", "}", "&&", "||", "==", "!=", "<=", ">=", "?", "=", "+=", "-=", "|=",
                 "&=", "<<", "return"}
INTEGER = re.compile(r"(0[xX][0-9a-fA-F']+|0[bB][01']+|0[0-7']*|[1-9][0-9']*)([uUlLzZ]*)")
OPERATORS = ("relational", "logical", "not", "constant", "bool", "call", "return", "jump",
             "flag")


class Mutant:
    def __init__(self, path, text, op, start, end, replacement, shown=None, shown_new=None,
                 code=None):
        self.path, self.op, self.start, self.end, self.replacement = path, op, start, end, \
            replacement
        self.line = text.count("\n", 0, start) + 1
        first = text.rfind("\n", 0, start) + 1
        last = text.find("\n", end)
        last = len(text) if last < 0 else last
        self.old_lines = text[first:last]
        self.new_lines = text[first:start] + replacement + text[end:last]
        line_end = text.find("\n", start)
        # The line's code, from its first token to its last: no indentation, no comment after.
        span = code or (first, line_end if line_end >= 0 else len(text))
        self.line_text = " ".join(text[span[0]:span[1]].split())
        self.original = shown if shown is not None else " ".join(text[start:end].split())
        self.changed = shown_new if shown_new is not None else " ".join(replacement.split())
        self.change = f"{op}:{self.original}->{self.changed}"
        self.occurrence = 0  # set once the file's mutants are all known
        self.folder = path.split("/")[0]

    @property
    def name(self):
        return f"gen:{self.path}:{self.line}:{self.change}"

    @property
    def identity(self):
        return (self.path, self.line_text, self.change, self.occurrence)

    def apply(self, text):
        return text[:self.start] + self.replacement + text[self.end:]


class Reading:
    """What the faults need to know of a file's tokens: brackets, templates, scopes."""

    def __init__(self, tokens):
        self.tokens = tokens
        n = len(tokens)
        self.match = {}       # an opening bracket's index -> its closing one's, and back
        self.owner = [-1] * n  # the innermost bracket a token stands in (-1: the file)
        self.brace = {}       # a {'s index -> "ns", "body", "code" or "init"
        self.muted = [False] * n
        self.template = {}  # a template's < -> its > (or >>), and back
        self.control_close = set()  # indexes of ) that end an if/while/for/switch header
        self._brackets()
        self._mute()
        self._templates()

    def text(self, i):
        return self.tokens[i].text if 0 <= i < len(self.tokens) else ""

    def _brackets(self):
        stack = []
        for i, token in enumerate(self.tokens):
            if token.text in ("(", "[", "{"):
                self.owner[i] = stack[-1] if stack else -1
                stack.append(i)
                if token.text == "{":
                    self.brace[i] = self._brace_kind(i, self.owner[i])
                if token.text == "(" and self.text(i - 1) in CONTROL:
                    self.control_close.add(i)  # for now the (: its ) is set when it closes
            elif token.text in (")", "]", "}") and stack:
                opening = stack.pop()
                self.match[opening], self.match[i] = i, opening
                self.owner[i] = self.owner[opening]
                if opening in self.control_close:
                    self.control_close.discard(opening)
                    self.control_close.add(i)
            else:
                self.owner[i] = stack[-1] if stack else -1

    def _head(self, i):
        """The tokens of the declaration a { at `i` in a namespace or class opens."""
        k = i - 1
        while k >= 0:
            text = self.text(k)
            if text in (";", "{") or (text == "}" and self.brace.get(self.match.get(k)) != "init"):
                break
            k = self.match.get(k, k) - 1 if text in (")", "]", "}") else k - 1
        return k + 1

    def _brace_kind(self, i, owner):
        before = self.text(i - 1)
        lambda_like = before in ("]", "mutable", "noexcept") or (
            before == ")" and self.text(self.match.get(i - 1, i) - 1) == "]")
        trailing = any(self.text(k) == "->" and self.text(k - 1) == ")"
                       for k in range(max(0, i - 5), i))
        in_code = owner >= 0 and self.text(owner) == "{" and self.brace[owner] in ("code", "body")
        in_brackets = owner >= 0 and self.text(owner) in ("(", "[")
        if lambda_like or trailing:
            return "body"
        if in_brackets:
            return "init"
        if in_code:
            if before == ")" or before in (";", "{", "}", ":", "else", "do", "try"):
                return "code"
            return "init"
        # In a namespace or class: a declaration's head says what it opens.
        head = self._head(i)
        top, k = [], head
        while k < i:
            top.append(self.text(k))
            k = self.match[k] + 1 if self.text(k) in ("(", "[") and k in self.match else k + 1
        before_parens = top[:top.index("(")] if "(" in top else top
        scopes = ("class", "struct", "union", "enum", "namespace")
        if any(word in scopes for word in before_parens) or top[:1] == ["extern"]:
            return "ns"
        if "(" in top and (before in (")", "const", "override", "final", "noexcept", "try")
                           or (before == "}" and ":" in top[top.index("("):])):
            return "body"
        return "init"

    def _mute(self):
        tokens, n = self.tokens, len(self.tokens)
        i = 0
        while i < n:
            text = tokens[i].text
            end = None
            if text in ASSERTIONS and self.text(i + 1) == "(" and i + 1 in self.match:
                end = self.match[i + 1]
            elif text in LOGGING:
                end = i
                while end < n and not (tokens[end].text == ";" and
                                       self.owner[end] == self.owner[i]):
                    end += 1
            elif text == "operator":
                end = i + 2 if self.text(i + 1) in ("(", "[") else i + 1
            elif text == "[" and self.text(i + 1) == "[" and i in self.match:
                end = self.match[i]
            if end is not None:
                for k in range(i, min(end + 1, n)):
                    self.muted[k] = True
                i = end
            i += 1

    def _templates(self):
        tokens, n = self.tokens, len(self.tokens)
        for i, token in enumerate(tokens):
            if token.text != "<" or tokens[i - 1].kind != "id" or i in self.template:
                continue
            depth, k = 1, i + 1
            while k < n:
                text = tokens[k].text
                if text in ("(", "["):
                    if k not in self.match:
                        break
                    k = self.match[k]
                elif text in (")", "]") or text in TEMPLATE_STOP:
                    break
                elif text == "<":
                    depth += 1
                elif text in (">", ">>"):
                    depth -= len(text)
                    if depth <= 0:
                        self.template[i], self.template[k] = k, i
                        break
                k += 1

    def in_code(self, i):
        owner = self.owner[i]
        return owner >= 0 and self.text(owner) == "{" and self.brace[owner] in ("code", "body")

    def statement_starts(self):
        """Indexes of the first token of each statement in a function's code."""
        first_of = {}  # a code brace -> the first token of its statement being read
        for i in range(len(self.tokens)):
            if not self.in_code(i):
                continue
            owner, p, before = self.owner[i], i - 1, self.text(i - 1)
            start = (p == owner
                     or (before in (";", "}", "else", "do", "try") and self.owner[p] == owner)
                     or (before == ")" and p in self.control_close and self.owner[p] == owner)
                     or (before == ":" and self.owner[p] == owner
                         and self.text(first_of.get(owner, -1)) in ("case", "default")))
            if start:
                first_of[owner] = i
                yield i

    def statement_end(self, i):
        """The ; that ends a simple statement starting at `i`, or None for any other."""
        owner = self.owner[i]
        for k in range(i, len(self.tokens)):
            if self.owner[k] != owner:
                continue
            text = self.text(k)
            if text == ";":
                return k
            if text == "}" or (text == "{" and self.brace[k] != "init"):
                return None
        return None

    def is_call(self, i, end):
        k = i + 1 if self.text(i) in ("emit", "Q_EMIT") else i
        if self.text(k) == "::":
            k += 1
        if self.tokens[k].kind != "id" or self.text(k) in KEYWORDS or self.muted[k] \
                or self.text(k).endswith("_cast"):
            return False
        k += 1
        last = None
        while k < end:
            text = self.text(k)
            if text in ("::", ".", "->") and self.tokens[k + 1].kind == "id":
                k, last = k + 2, "name"
            elif text in ("(", "[") and k in self.match:
                k, last = self.match[k] + 1, text
            elif text == "<" and k in self.template:
                k = self.template[k] + 1
            else:
                return False
        return last == "("


def integer_changes(text):
    """n+1 and n-1 of an integer literal, written as it is, or () for anything else."""
    match = INTEGER.fullmatch(text)
    if not match:
        return ()
    digits, suffix = match.group(1).replace("'", ""), match.group(2)
    if digits[:2].lower() == "0x":
        value, write = int(digits, 16), lambda v: digits[:2] + (
            f"{v:0{len(digits) - 2}X}" if digits[2:].isupper() or digits[2:].isdigit()
            else f"{v:0{len(digits) - 2}x}")
    elif digits[:2].lower() == "0b":
        value, write = int(digits, 2), lambda v: digits[:2] + f"{v:0{len(digits) - 2}b}"
    elif len(digits) > 1 and digits[0] == "0":
        value, write = int(digits, 8), lambda v: f"0{v:o}"
    else:
        value, write = int(digits), str
    return tuple(write(v) + suffix if v >= 0 else f"(-1{suffix})"
                 for v in (value + 1, value - 1))


def generate(path, text, macros):
    """Every generated fault of one file."""
    reading = Reading(tokenize(text, macros))
    tokens, found = reading.tokens, []
    code = {}
    for token in tokens:
        begin, _ = code.get(token.line, (token.start, 0))
        code[token.line] = (begin, token.end if "\n" not in token.text else begin)

    def mutant(op, start, end, replacement, shown=None, shown_new=None):
        line = text.count("\n", 0, start) + 1
        return Mutant(path, text, op, start, end, replacement, shown, shown_new, code.get(line))

    def add(op, first, last, replacement, shown=None, shown_new=None):
        found.append(mutant(op, tokens[first].start, tokens[last].end, replacement, shown,
                            shown_new))

    for i, token in enumerate(tokens):
        if reading.muted[i]:
            continue
        t = token.text
        if token.kind == "punct":
            if t in RELATIONAL and not (t in "<>" and i in reading.template):
                add("relational", i, i, RELATIONAL[t])
            elif t in ("&&", "||"):
                add("logical", i, i, "||" if t == "&&" else "&&")
            elif t == "!":
                add("not", i, i, "", "!", "")
        elif token.kind == "num":
            for changed in integer_changes(t):
                add("constant", i, i, changed)
        elif t in ("true", "false"):
            add("bool", i, i, "false" if t == "true" else "true")
        elif token.kind == "id" and reading.text(i - 1) not in (".", "->", "::", "|", "~", "!"):
            # A set of flags: names (A, Q::A) joined by single |, as in A | Q::B | C.
            operands, k = [], i
            while k < len(tokens) and tokens[k].kind == "id" and not reading.muted[k]:
                first = k
                while reading.text(k + 1) == "::" and k + 2 < len(tokens) \
                        and tokens[k + 2].kind == "id":
                    k += 2
                operands.append((first, k))
                if reading.text(k + 1) != "|":
                    break
                k += 2
            if len(operands) < 2 or reading.text(operands[-1][1] + 1) in (
                    "(", ".", "->", "::", "[", "<", "|", "{"):
                continue
            chain_start, chain_end = tokens[i].start, tokens[operands[-1][1]].end
            whole = " ".join(text[chain_start:chain_end].split())
            for m, (a, b) in enumerate(operands):
                if m == 0:
                    cut = (tokens[a].start, tokens[operands[1][0]].start)
                else:
                    cut = (tokens[operands[m - 1][1]].end, tokens[b].end)
                rest = text[chain_start:cut[0]] + text[cut[1]:chain_end]
                found.append(mutant("flag", chain_start, chain_end, rest, whole,
                                    " ".join(rest.split())))
    for i in reading.statement_starts():
        end = reading.statement_end(i)
        if end is None:
            continue
        first = tokens[i].text
        op = None
        if first == "return" and not reading.muted[i]:
            after = end + 1
            last = reading.text(after) == "}" and reading.brace.get(reading.match.get(after)) \
                == "body"
            op = None if last else "return"
        elif first in ("break", "continue") and end == i + 1:
            op = "jump"
        elif reading.is_call(i, end) and not any(reading.muted[i:end]):
            op = "call"
        if op:
            gone = text[tokens[i].start:tokens[end].end]
            keep = "" if reading.text(i - 1) in (";", "{", "}") else ";"
            add(op, i, end, keep + "\n" * gone.count("\n"), None, keep)
    found.sort(key=lambda m: (m.start, OPERATORS.index(m.op), m.end, m.replacement))
    seen = Counter()
    for mutant in found:
        key = (mutant.line_text, mutant.change)
        mutant.occurrence = seen[key]
        seen[key] += 1
    return found


def all_generated(texts, macros):
    """Every generated fault of the product's .cpp and .h files, by file, and the files skipped."""
    by_file, skipped = {}, []
    for path, text in texts.items():
        if not path.endswith((".cpp", ".h")):
            continue
        if other_system(path):
            skipped.append(path)
            continue
        by_file[path] = generate(path, text, macros)
    return by_file, skipped


def read_equivalents(path):
    known = {}
    if not os.path.exists(path):
        return known
    with open(path, encoding="utf-8") as lines:
        for number, line in enumerate(lines, 1):
            if line.strip() and not line.lstrip().startswith("#"):
                entry = json.loads(line)
                if len(entry) != 5 or not isinstance(entry[3], int):
                    sys.exit(f"{path}:{number}: expected file, line, change, occurrence, reason")
                known[tuple(entry[:4])] = entry[4]
    return known


def sample(by_file, n, seed, equivalents):
    """N faults spread over the files, with the equivalent ones drawn on the way: a list of
    (mutant, reason it is equivalent or None). A file's share follows its number of sites (a
    constant is one site of two faults); within a file the sites are drawn in a random order, a
    fault of each, before any site gives a second."""
    usable, order = {}, {}
    for path, found in by_file.items():
        rng = random.Random(f"{seed}:{path}")
        sites = defaultdict(list)
        for mutant in found:
            sites[mutant.start].append(mutant)
        rounds = defaultdict(list)
        for site in sorted(sites):
            rng.shuffle(sites[site])
            for depth, mutant in enumerate(sites[site]):
                rounds[depth].append(mutant)
        order[path] = []
        for depth in sorted(rounds):
            rng.shuffle(rounds[depth])
            order[path] += rounds[depth]
        usable[path] = len({m.start for m in found if m.identity not in equivalents})
    files = [path for path in by_file if usable[path]]
    total = sum(usable[path] for path in files)
    n = min(n, sum(m.identity not in equivalents for path in files for m in by_file[path]))
    if not n:
        return []
    room = {path: sum(m.identity not in equivalents for m in by_file[path]) for path in files}
    ideal = {path: n * usable[path] / total for path in files}
    floor = 1 if n >= len(files) else 0
    quota = {path: min(room[path], max(floor, int(ideal[path]))) for path in files}
    while sum(quota.values()) < n:
        path = max((p for p in files if quota[p] < room[p]),
                   key=lambda p: (ideal[p] - quota[p], random.Random(f"{seed}:{p}").random()))
        quota[path] += 1
    while sum(quota.values()) > n:
        path = min((p for p in files if quota[p] > floor),
                   key=lambda p: (ideal[p] - quota[p], p))
        quota[path] -= 1
    chosen = []
    for path in files:
        taken, picked = 0, []
        for mutant in order[path]:
            if taken == quota[path]:
                break
            reason = equivalents.get(mutant.identity)
            picked.append((mutant, reason))
            taken += reason is None
        chosen += sorted(picked, key=lambda pick: (pick[0].start, pick[0].name))
    return chosen


def select_generated(by_file, names):
    chosen = []
    for found in by_file.values():
        for mutant in found:
            if any(mutant.name == name or mutant.name.startswith(name + ":") for name in names):
                chosen.append(mutant)
    return chosen


# ---- running --------------------------------------------------------------------------------

class Build:
    """The copy of the project and its build, the unchanged build's objects and its tests."""

    def __init__(self, here, qt, fresh):
        cache = os.path.join(os.environ.get("XDG_CACHE_HOME", os.path.expanduser("~/.cache")),
                             "tarvik-mutants")
        self.tree, self.dir = os.path.join(cache, "tree"), os.path.join(cache, "build")
        self.env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
        self.configure = ["cmake", "-S", self.tree, "-B", self.dir,
                          *(["-G", "Ninja"] if shutil.which("ninja") else []),
                          "-DCMAKE_BUILD_TYPE=Release", f"-DTARVIK_QT_MAJOR={qt}",
                          "-DCMAKE_CXX_FLAGS=-Werror=return-type"]
        stamp = os.path.join(cache, "configured")  # how the kept build was configured
        kept = None
        if os.path.exists(stamp):
            with open(stamp, encoding="utf-8") as file:
                kept = file.read()
        if fresh or kept != repr(self.configure):
            shutil.rmtree(cache, ignore_errors=True)
        os.makedirs(cache, exist_ok=True)
        self.sync(here)
        self.configured = run(self.configure, self.tree, 600) == 0
        if self.configured:
            with open(stamp, "w", encoding="utf-8") as file:
                file.write(repr(self.configure))
        self.tests, self.killers = [], defaultdict(Counter)

    def sync(self, here):
        """Makes the copy hold what the tree holds. A file that differs is copied anew, with
        the time of now, so that the build sees it newer than what was built from it."""
        def ignored(name):
            return name == ".git" or name.startswith("build")  # build.sh and build folders
        wanted = set()
        for base, folders, names in os.walk(here):
            folders[:] = [f for f in folders if not ignored(f)]
            for name in (n for n in names if not ignored(n)):
                source = os.path.join(base, name)
                relative = os.path.relpath(source, here)
                wanted.add(relative)
                target = os.path.join(self.tree, relative)
                if not os.path.exists(target) or not same_file(source, target):
                    os.makedirs(os.path.dirname(target), exist_ok=True)
                    shutil.copyfile(source, target)
                    shutil.copymode(source, target)
        for base, _, names in os.walk(self.tree):
            for name in names:
                path = os.path.join(base, name)
                if os.path.relpath(path, self.tree) not in wanted:
                    os.remove(path)

    def build(self):
        return run(["cmake", "--build", self.dir, "--parallel"], self.tree, 1800) == 0

    def objects(self):
        digests = {}
        for base, _, names in os.walk(self.dir):
            for name in names:
                if name.endswith((".o", ".obj")):
                    path = os.path.join(base, name)
                    with open(path, "rb") as file:
                        digests[path] = hashlib.sha256(file.read()).hexdigest()
        return digests

    def baseline(self, without):
        """Builds and tests the unchanged project: the tests and how long each takes."""
        if not self.configured or not self.build():
            return "the unchanged project does not build"
        left_out = ["-E", "^(" + "|".join(map(re.escape, without)) + ")$"] if without else []
        code, output = run(["ctest", "--timeout", str(5 * TIMEOUT)] + left_out, self.dir, 1800,
                           self.env, True)
        if code:
            return "the unchanged project fails its tests"
        times = re.findall(r"Test\s+#\d+: (\S+) \.+\s+Passed\s+([\d.]+) sec", output)
        self.tests = [name for name, _ in sorted(times, key=lambda t: float(t[1]))]
        # A test may take three times as long as it did here before it counts as hanging.
        self.timeouts = {name: max(TIMEOUT, int(3 * float(took))) for name, took in times}
        self.unchanged = self.objects()
        return None

    def test(self, folder, keep_going):
        """The tests that failed, first the one of `folder`, then those that caught faults
        there before, then the quickest."""
        def rank(name):
            return (name != FIRST_TEST.get(folder), -self.killers[folder][name],
                    self.tests.index(name))
        failed = []
        for name in sorted(self.tests, key=rank):
            once = ["ctest", "--timeout", str(self.timeouts[name]), "-R", f"^{re.escape(name)}$"]
            if run(once, self.dir, 1800, self.env) and (
                    name not in FAILS_TWICE or run(once, self.dir, 1800, self.env)):
                failed.append(name)
                self.killers[folder][name] += 1
                if not keep_going:
                    break
        return failed


def same_file(a, b):
    if os.path.getsize(a) != os.path.getsize(b):
        return False
    with open(a, "rb") as one, open(b, "rb") as other:
        return one.read() == other.read()


def try_fault(build, texts, changed, folder, keep_going):
    """Puts the changed texts in the copy, builds and tests: the verdict and failed tests."""
    try:
        for path, text in changed.items():
            with open(os.path.join(build.tree, path), "w", encoding="utf-8") as file:
                file.write(text)
        if not build.build():
            return "invalid", []
        if build.objects() == build.unchanged:
            return "equivalent", ["same object code"]
        failed = build.test(folder, keep_going)
        return ("killed", failed) if failed else ("SURVIVED", [])
    finally:
        for path in changed:
            with open(os.path.join(build.tree, path), "w", encoding="utf-8") as file:
                file.write(texts[path])


def show_change(old, new, path):
    """The lines a fault changes, as - and + lines under their file and line."""
    lines = []
    old_lines, new_lines = old.splitlines(), new.splitlines()
    matcher = difflib.SequenceMatcher(None, old_lines, new_lines, autojunk=False)
    for tag, a1, a2, b1, b2 in matcher.get_opcodes():
        if tag != "equal":
            lines.append(f"    {path}:{a1 + 1}")
            lines += [f"    - {line}" for line in old_lines[a1:a2]]
            lines += [f"    + {line}" for line in new_lines[b1:b2]]
    return lines


class Score:
    def __init__(self):
        self.verdicts = defaultdict(Counter)  # folder -> verdict -> count

    def add(self, folder, verdict):
        self.verdicts[folder][verdict] += 1

    def report(self, title, extra):
        total = sum(self.verdicts.values(), Counter())
        killed, survived = total["killed"], total["SURVIVED"]
        others = ", ".join(f"{total[v]} {v}" for v in extra)
        print(f"{title}: score {killed}/{killed + survived} killed ({others})")
        for folder in PRODUCT:
            count = self.verdicts.get(folder)
            if count:
                scored = count["killed"] + count["SURVIVED"]
                rest = ", ".join(f"{count[v]} {v}" for v in extra if count[v])
                print(f"  {folder:<11} {count['killed']}/{scored}" + (f" ({rest})" if rest else ""))
        return total


def counts(by_file, skipped):
    print("generated faults per file:")
    for path, found in by_file.items():
        kinds = Counter(m.op for m in found)
        print(f"  {len(found):5}  {path}  " + " ".join(f"{op} {kinds[op]}" for op in OPERATORS
                                                         if kinds[op]))
    for path in skipped:
        print(f"      -  {path}  (built for another system only)")
    kinds = Counter(m.op for found in by_file.values() for m in found)
    sites = Counter(m.op for found in by_file.values()
                    for m in {(m.op, m.start): m for m in found}.values())
    print("per kind: " + ", ".join(f"{op} {kinds[op]}" + (f" ({sites[op]} sites)"
                                                          if sites[op] != kinds[op] else "")
                                   for op in OPERATORS)
          + f"; {sum(kinds.values())} in all")


def main():
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("names", nargs="*", help="only these faults (gen:... for generated ones)")
    parser.add_argument("--list", default=os.path.join(here, "tests", "mutants.txt"))
    parser.add_argument("--equivalent",
                        default=os.path.join(here, "tests", "mutants-equivalent.txt"))
    parser.add_argument("--generate", type=int, metavar="N", help="a sample of N generated faults")
    parser.add_argument("--seed", default="1", help="what the sample is drawn from (default 1)")
    parser.add_argument("--all", action="store_true", help="the listed faults and the sample")
    parser.add_argument("--dry-run", "--list-only", action="store_true",
                        help="print the faults, build nothing")
    parser.add_argument("--keep-going", action="store_true",
                        help="run every test on each fault, not only up to the first failure")
    parser.add_argument("--qt", default=os.environ.get("TARVIK_QT", "5"))
    parser.add_argument("--fresh", action="store_true", help="copy and build afresh")
    parser.add_argument("--without", action="append", default=[], metavar="TEST",
                        help="leave this CTest test out (a quicker, partial score)")
    args = parser.parse_args()
    if args.all and args.generate is None:
        parser.error("--all needs --generate N")

    texts = sources(here)
    by_file, skipped = all_generated(texts, host_macros())
    equivalents = read_equivalents(args.equivalent)
    listed_names = [n for n in args.names if not n.startswith("gen:")]
    generated_names = [n for n in args.names if n.startswith("gen:")]
    faults = []
    if args.all or (args.generate is None and not generated_names) or listed_names:
        faults = [f for f in read_list(args.list) if not listed_names or f[0] in listed_names]
        if listed_names and len(faults) < len(set(listed_names)):
            unknown = set(listed_names) - {f[0] for f in faults}
            sys.exit("no such listed fault: " + ", ".join(sorted(unknown)))
    generated = []
    if args.generate is not None:
        generated = sample(by_file, args.generate, args.seed, equivalents)
    if generated_names:
        generated += [(m, equivalents.get(m.identity))
                      for m in select_generated(by_file, generated_names)]
        if not generated:
            sys.exit("no generated fault has such a name")

    if args.dry_run:
        counts(by_file, skipped)
        if equivalents:
            print(f"{len(equivalents)} known equivalent in {os.path.relpath(args.equivalent)}")
        for fault in faults:
            changed = apply(fault, texts)
            print(f"listed {fault[0]}: " + (", ".join(changed) if changed else "gone"))
        spread = Counter(m.path for m, _ in generated)
        if generated:
            print(f"sample of {sum(r is None for _, r in generated)} generated faults "
                  f"(seed {args.seed}) over {len(spread)} files, kinds: "
                  + ", ".join(f"{op} {n}" for op, n in Counter(
                      m.op for m, reason in generated if reason is None).most_common()))
        for mutant, reason in generated:
            print(mutant.name + (f"  (equivalent: {reason})" if reason else ""))
            print(f"      - {' '.join(mutant.old_lines.split())}")
            print(f"      + {' '.join(mutant.new_lines.split())}")
        return 0

    build = Build(here, args.qt, args.fresh)
    problem = build.baseline(args.without)
    if problem:
        print(problem)
        return 2
    if args.without:
        print("without " + ", ".join(args.without) + ": a partial score", flush=True)
    listed_score, generated_score = Score(), Score()

    def finish(name, verdict, detail, start, change_lines):
        seconds = time.monotonic() - start
        detail = f", {', '.join(detail)}" if detail else ""
        print(f"{verdict:10} {name} ({seconds:.0f} s{detail})", flush=True)
        if verdict == "SURVIVED":
            print("\n".join(change_lines), flush=True)

    for fault in faults:
        start = time.monotonic()
        changed = apply(fault, texts)
        if changed is None:
            listed_score.add("", "gone")
            finish(fault[0], "gone", [], start, [])
            continue
        folder = next(iter(changed)).split("/")[0]
        verdict, detail = try_fault(build, texts, changed, folder, args.keep_going)
        listed_score.add(folder, verdict)
        lines = [line for path in changed for line in show_change(texts[path], changed[path],
                                                                  path)]
        finish(fault[0], verdict, detail, start, lines)

    for mutant, reason in generated:
        start = time.monotonic()
        if reason:
            generated_score.add(mutant.folder, "equivalent")
            finish(mutant.name, "equivalent", [reason], start, [])
            continue
        changed = {mutant.path: mutant.apply(texts[mutant.path])}
        verdict, detail = try_fault(build, texts, changed, mutant.folder, args.keep_going)
        generated_score.add(mutant.folder, verdict)
        lines = [f"    {mutant.path}:{mutant.line}",
                 *[f"    - {line}" for line in mutant.old_lines.splitlines()],
                 *[f"    + {line}" for line in mutant.new_lines.splitlines()],
                 "    identity: " + json.dumps([*mutant.identity, "REASON"])]
        finish(mutant.name, verdict, detail, start, lines)

    # Leaves the copy's build as the tree is, for the next run.
    build.build()
    ok = True
    if faults:
        total = listed_score.report("listed", ("gone", "invalid", "equivalent"))
        ok = total["SURVIVED"] == total["gone"] == total["invalid"] == 0
    if generated:
        total = generated_score.report("generated", ("invalid", "equivalent"))
        ok = ok and total["SURVIVED"] == 0
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
