#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Checks that every log message that mevraktd(8) lists under DIAGNOSTICS is
one the code can write, word for word, function tag included, so that the
manual and the code cannot drift apart.

    scripts/check-log-texts.py [SOURCE_DIR]

The code's messages are the formats of its syslog, vsyslog, log_limited and
say calls, with each conversion filled by the call's argument where that is
a string literal, a tag named by a constexpr string in the same file, or
__func__ (the enclosing function's name), else left
open. A documented message matches when its words are the format's, the
manual's placeholders (Ar) standing where the format has a conversion.
Exits 1 and names each message that matches nothing."""

import os
import re
import sys

ROOT = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")
CODE_DIRS = ["common", "daemon", "nbr14522", "serial", "shell", "tcp_server"]
PAGE = os.path.join(ROOT, "docs", "man", "mevraktd.8")
HOLE = "\x00"  # a placeholder: a conversion in the code, an argument in the manual

CLOSING = {",", ".", ":", ";", ")", "]", "?", "!"}
OPENING = {"(", "["}
MACROS = {"Ar", "Ns", "No", "Pq", "Ql", "Dq", "Sq"}


def documented(page):
    """The messages of the page's DIAGNOSTICS section, placeholders as HOLE."""
    messages = []
    inside = False
    with open(page, encoding="utf-8") as f:
        for line in f:
            if line.startswith(".Sh "):
                inside = line.strip() == ".Sh DIAGNOSTICS"
                continue
            if not inside or not line.startswith(".It "):
                continue
            text = line[4:].strip().replace("\\(dq", '"').replace("\\&", "")
            out, glue, argument = "", False, False
            for word in text.split():
                if word == "Pq":
                    break
                if word == "Ns":
                    glue = True
                    continue
                if word in MACROS:
                    argument = word == "Ar"
                    continue
                piece = HOLE if argument else word
                argument = False
                if out and not glue and piece not in CLOSING and not out.endswith(tuple(OPENING)):
                    out += " "
                out += piece
                glue = False
            messages.append(out)
    return messages


STRING = r'"(?:[^"\\]|\\.)*"'
CONVERSION = re.compile(r"%%|%[-+ #0]*\d*(?:\.\d+)?(?:hh|h|ll|l|z|j|t)?[diouxXcsp]")


def split_arguments(text, start):
    """The arguments of the call whose '(' is at text[start], as source texts."""
    depth, args, current, i = 0, [], "", start
    while i < len(text):
        c = text[i]
        if c == '"':
            m = re.compile(STRING).match(text, i)
            current += m.group(0)
            i = m.end()
            continue
        if c == "'":
            end = text.index("'", i + 2 if text[i + 1] == "\\" else i + 1)
            current += text[i:end + 1]
            i = end + 1
            continue
        if c in "([{":
            depth += 1
            if depth > 1:
                current += c
        elif c in ")]}":
            depth -= 1
            if depth == 0:
                args.append(current.strip())
                return args
            current += c
        elif c == "," and depth == 1:
            args.append(current.strip())
            current = ""
        else:
            current += c
        i += 1
    return args


# Log tags named once per file: constexpr char kName[] = "text";
TAG = re.compile(r"constexpr\s+(?:const\s+)?char\s+(?:const\s+)?\*?\s*(\w+)(?:\[\])?\s*=\s*(" + STRING + r")\s*;")
TAGS = {}


def literal(arg):
    """The value of an argument made only of string literals (or a named
    tag), else None."""
    if arg in TAGS:
        return TAGS[arg]
    parts = re.findall(STRING, arg)
    if not parts or re.sub(STRING, "", arg).strip():
        return None
    return "".join(bytes(p[1:-1], "utf-8").decode("unicode_escape") for p in parts)


def enclosing_function(text, at):
    name = None
    for m in re.finditer(r"^[A-Za-z_][\w:<>*&\s]*?\b(\w+)\s*\([^;]*$", text[:at], re.M):
        if m.group(1) not in ("if", "while", "for", "switch", "return"):
            name = m.group(1)
    return name


def formats(path):
    text = open(path, encoding="utf-8").read()
    TAGS.clear()
    for m in TAG.finditer(text):
        TAGS[m.group(1)] = bytes(m.group(2)[1:-1], "utf-8").decode("unicode_escape")
    found = []
    for m in re.finditer(r"\b(?:syslog|vsyslog|log_limited|say)\s*\(", text):
        args = split_arguments(text, m.end() - 1)
        for k, arg in enumerate(args):
            if not arg.startswith("LOG_") or k + 1 >= len(args):
                continue
            fmt = literal(args[k + 1])
            if fmt is None:
                break
            rest = args[k + 2:]
            out, n = "", 0
            for piece in re.split(r"(%%|%[-+ #0]*\d*(?:\.\d+)?(?:hh|h|ll|l|z|j|t)?[diouxXcsp])", fmt):
                if not CONVERSION.fullmatch(piece or "x"):
                    out += piece
                    continue
                if piece == "%%":
                    out += "%"
                    continue
                value = literal(rest[n]) if n < len(rest) else None
                if n < len(rest) and rest[n] == "__func__":
                    value = enclosing_function(text, m.start())
                out += value if value is not None and piece == "%s" else HOLE
                n += 1
            found.append(out)
            break
    return found


def matches(message, template):
    template = re.sub(HOLE + "+", HOLE, template)
    pattern = "".join(".+?" if c == HOLE else re.escape(c) for c in template)
    return re.fullmatch(pattern, message, re.S) is not None


def main():
    templates = []
    for d in CODE_DIRS:
        for dirpath, _, files in os.walk(os.path.join(ROOT, d)):
            for name in files:
                if name.endswith((".cc", ".h")):
                    templates += formats(os.path.join(dirpath, name))
    messages = documented(PAGE)
    if not messages:
        print("check-log-texts: no messages found in", PAGE)
        return 1
    missing = [m for m in messages if not any(matches(m, t) for t in templates)]
    for m in missing:
        print("check-log-texts: not in the code:", m.replace(HOLE, "..."))
    if missing:
        return 1
    print(f"check-log-texts: {len(messages)} messages of mevraktd(8) found in the code ({len(templates)} formats)")
    return 0


sys.exit(main())
