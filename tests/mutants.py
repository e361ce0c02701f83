#!/usr/bin/env python3
"""Makes mutants of the pure units by rule, all in one copy of their sources.

Every mutation site becomes a switch, "(orbistoMutant(k) ? (mutated) : (original))",
or a statement that only runs while mutant k is off, so one build holds every
mutant and ORBISTO_MUTANT=k picks one at run time. The rules, as mutation tools
have them: relational operators to their boundary and their negation, && and ||
swapped, conditions negated and negations dropped, integer constants +1, -1 and
0, booleans flipped, expression statements removed, neighbouring arguments
swapped and each function returning its default at once.

  tests/mutants.py OUT_DIR SOURCE... [--drop ID...]

writes the switched copies and OUT_DIR/mutants.tsv (id, file, line, key). A key
names a mutant without its line number, so the reviewed list of equivalent
mutants survives edits elsewhere. --drop leaves out mutants that do not compile.
"""

import os
import re
import sys

TWO_CHAR = {"::", "->", "&&", "||", "==", "!=", "<=", ">=", "<<", ">>", "++", "--", "+=", "-=", "*=", "/=", "|=", "&="}
KEYWORDS_NOT_CALLS = {"if", "for", "while", "switch", "return", "sizeof", "decltype", "catch", "static_cast", "const_cast"}
STATEMENT_KEYWORDS = {"if", "for", "while", "switch", "return", "else", "case", "default", "break", "continue", "do"}
DECLARATION_STARTERS = {"const", "static", "auto", "using", "constexpr", "struct", "class", "enum"}
RELATIONAL = {
    "<": ["<=", ">="],
    "<=": ["<", ">"],
    ">": [">=", "<="],
    ">=": [">", "<"],
    "==": ["!="],
    "!=": ["=="],
}


class Token:
    def __init__(self, kind, text, start, line):
        self.kind, self.text, self.start, self.line = kind, text, start, line
        self.end = start + len(text)


def tokenize(source):
    tokens, i, line, at_line_start = [], 0, 1, True
    while i < len(source):
        c = source[i]
        if c == "\n":
            line, at_line_start, i = line + 1, True, i + 1
            continue
        if c.isspace():
            i += 1
            continue
        if at_line_start and c == "#":  # preprocessor lines are left alone
            while i < len(source) and (source[i] != "\n" or source[i - 1] == "\\"):
                i += 1
            continue
        at_line_start = False
        if source.startswith("//", i):
            i = source.index("\n", i)
            continue
        if source.startswith("/*", i):
            end = source.index("*/", i) + 2
            line += source.count("\n", i, end)
            i = end
            continue
        if c in "\"'":
            j = i + 1
            while source[j] != c:
                j += 2 if source[j] == "\\" else 1
            tokens.append(Token("string", source[i:j + 1], i, line))
            i = j + 1
            continue
        if c.isdigit():
            m = re.compile(r"(0[xX][0-9a-fA-F]+|\d+)([uUlL]*)").match(source, i)
            tokens.append(Token("number", m.group(0), i, line))
            i = m.end()
            continue
        if c.isalpha() or c == "_":
            m = re.compile(r"[A-Za-z_]\w*").match(source, i)
            tokens.append(Token("ident", m.group(0), i, line))
            i = m.end()
            continue
        two = source[i:i + 2]
        text = two if two in TWO_CHAR else c
        tokens.append(Token("op", text, i, line))
        i += len(text)
    return tokens


class Site:
    """One mutant: the characters [start, end) become text while it is on.
    A statement site has no text: the statement is left out."""

    def __init__(self, start, end, text, key, line, statement=False, insert=False):
        self.start, self.end, self.text, self.key, self.line = start, end, text, key, line
        self.statement, self.insert = statement, insert
        self.id = 0
        self.as_bool = False


class Generator:
    def __init__(self, path, source):
        self.path, self.source = path, source
        self.name = os.path.basename(path)
        self.tokens = tokenize(source)
        self.match = self.match_brackets()
        self.sites = []
        self.function = ""

    def match_brackets(self):
        match, stack = {}, []
        for index, token in enumerate(self.tokens):
            if token.text in "({[" and token.kind == "op":
                stack.append(index)
            elif token.text in ")}]" and token.kind == "op":
                opener = stack.pop()
                match[opener], match[index] = index, opener
        return match

    def text(self, first, last):
        return self.source[self.tokens[first].start:self.tokens[last].end]

    def spaced(self, index):
        token = self.tokens[index]
        return self.source[token.start - 1].isspace() and self.source[token.end].isspace()

    def add(self, first, last, text, rule, statement=False, as_bool=False):
        original = " ".join(self.text(first, last).split())
        key = f"{self.name}: {self.function}: {rule}: {original}"
        if not statement:
            key += f" -> {' '.join(text.split())}"
        site = Site(self.tokens[first].start, self.tokens[last].end, text, key, self.tokens[first].line, statement)
        # A condition may be an optional: both branches of the switch are bool.
        site.as_bool = as_bool
        self.sites.append(site)

    # Operand bounds by precedence: a binary operator's operands reach out to
    # the first token of lower precedence at the same bracket depth.
    def operand_left(self, index, stops):
        i = index - 1
        while i >= 0:
            t = self.tokens[i]
            if t.kind == "op" and t.text in ")]}" and t.text != "}":
                i = self.match[i] - 1
                continue
            if (t.kind == "op" and t.text in stops) or t.text == "return":
                break
            i -= 1
        return i + 1

    def operand_right(self, index, stops):
        i = index + 1
        while i < len(self.tokens):
            t = self.tokens[i]
            if t.kind == "op" and t.text in "([" and t.text != "{":
                i = self.match[i] + 1
                continue
            if t.kind == "op" and t.text in stops:
                break
            i += 1
        return i - 1

    def relational(self, index):
        token = self.tokens[index]
        stops = {"(", "[", "{", ")", "]", "}", ",", ";", "=", "&&", "||", "?", ":", "!"}
        first = self.operand_left(index, stops - {"!"} | {"return"})
        last = self.operand_right(index, stops - {"!"})
        left = self.source[self.tokens[first].start:token.start]
        right = self.source[token.end:self.tokens[last].end]
        for replacement in RELATIONAL[token.text]:
            self.add(first, last, left + replacement + right, f"{token.text} to {replacement}")

    def logical(self, index):
        token = self.tokens[index]
        stops = {"(", "[", "{", ")", "]", "}", ",", ";", "=", "?", ":"}
        if token.text == "&&":
            stops.add("||")
        first = self.operand_left(index, stops | {"return"})
        last = self.operand_right(index, stops)
        other = "||" if token.text == "&&" else "&&"
        text = self.source[self.tokens[first].start:token.start] + other + self.source[token.end:self.tokens[last].end]
        self.add(first, last, text, f"{token.text} to {other}")

    def negation_end(self, index):
        # The last token of "!operand": a name, a chain of members and calls, or brackets.
        if self.tokens[index].text != "!":
            return -1
        i = index + 1
        while i < len(self.tokens):
            t = self.tokens[i]
            if t.kind == "ident" or t.text in ("::", ".", "->"):
                i += 1
            elif t.text in ("(", "["):
                i = self.match[i] + 1
            else:
                break
        return i - 1

    def negation_dropped(self, index):
        last = self.negation_end(index)
        self.add(index, last, "!!(" + self.text(index + 1, last) + ")", "negation dropped")

    def constant(self, index):
        token = self.tokens[index]
        value = int(re.match(r"(0[xX][0-9a-fA-F]+|\d+)", token.text).group(0), 0)
        for replacement in dict.fromkeys([value + 1, value - 1, 0]):
            if replacement != value:
                self.add(index, index, str(replacement), f"constant {value} to {replacement}")

    def call(self, index):
        # index is a call's '('; neighbouring arguments swap.
        close = self.match[index]
        commas, i = [], index + 1
        while i < close:
            t = self.tokens[i]
            if t.text in ("(", "[", "{") and t.kind == "op":
                i = self.match[i]
            elif t.text == ",":
                commas.append(i)
            i += 1
        if not commas:
            return
        # The callee: names, scopes, members and template arguments before '('.
        first = index - 1
        while first > 0:
            t = self.tokens[first - 1]
            if (t.kind == "ident" and t.text not in STATEMENT_KEYWORDS) or t.text in ("::", ".", "->"):
                first -= 1
            elif t.text == ">" and not self.spaced(first - 1):
                depth, j = 0, first - 1
                while True:
                    depth += {">": 1, "<": -1}.get(self.tokens[j].text, 0)
                    if depth == 0:
                        break
                    j -= 1
                first = j
            elif t.text == ")" and self.tokens[first].text in (".", "->"):
                first = self.match[first - 1]
            else:
                break
        bounds = [index + 1] + [c + 1 for c in commas]
        ends = [c - 1 for c in commas] + [close - 1]
        args = [self.text(b, e) for b, e in zip(bounds, ends)]
        for a in range(len(args) - 1):
            if args[a] == args[a + 1]:
                continue
            swapped = args[:a] + [args[a + 1], args[a]] + args[a + 2:]
            text = self.source[self.tokens[first].start:self.tokens[index].end] + ", ".join(swapped) + ")"
            self.add(first, close, text, f"arguments {a + 1} and {a + 2} swapped")

    def is_declaration(self, first, last):
        t = self.tokens
        if t[first].text in DECLARATION_STARTERS:
            return True
        i = first
        if t[i].kind != "ident":
            return False
        i += 1
        while t[i].text == "::" and t[i + 1].kind == "ident":
            i += 2
        if t[i].text == "<" and not self.spaced(i):
            depth = 0
            while True:
                depth += {"<": 1, ">": -1}.get(t[i].text, 0)
                i += 1
                if depth == 0:
                    break
        while t[i].text in ("&", "*"):
            i += 1
        return t[i].kind == "ident" and i < last and t[i + 1].text in ("=", ";", "(", "{", "[")

    def statements(self, open_brace):
        # The statements of a block: expression statements may be removed,
        # blocks and the bodies of if, else, for and while are walked.
        close = self.match[open_brace]
        i = open_brace + 1
        while i < close:
            t = self.tokens[i]
            if t.text == "{":
                self.statements(i)
                i = self.match[i] + 1
            elif t.text in ("if", "while", "for", "switch"):
                head = i + 1
                if t.text in ("if", "while"):
                    self.condition(head)
                self.scan_expressions(head, self.match[head])
                i = self.match[head] + 1
            elif t.text in ("else", "do") or t.text in (";", "}"):
                i += 1
            else:
                end = i
                while self.tokens[end].text != ";":
                    end = self.match[end] + 1 if self.tokens[end].text in ("(", "[", "{") else end + 1
                self.scan_expressions(i, end)
                if t.text not in STATEMENT_KEYWORDS and not self.is_declaration(i, end):
                    self.add(i, end, "", "statement removed", statement=True)
                i = end + 1

    def condition(self, open_paren):
        close = self.match[open_paren]
        # A declaration cannot be negated, and "!x" negated is "!x" dropped.
        if self.is_declaration(open_paren + 1, close - 1) or self.negation_end(open_paren + 1) == close - 1:
            return
        inner = self.text(open_paren + 1, close - 1)
        self.add(open_paren + 1, close - 1, f"!({inner})", "condition negated", as_bool=True)

    def scan_expressions(self, first, last):
        i = first
        while i <= last:
            t = self.tokens[i]
            if t.kind == "op" and t.text in RELATIONAL and self.spaced(i):
                self.relational(i)
            elif t.text in ("&&", "||"):
                self.logical(i)
            elif t.text == "!" and self.tokens[i + 1].text != "=":
                self.negation_dropped(i)
            elif t.kind == "number" and self.tokens[i - 1].text != "[":
                self.constant(i)
            elif t.text in ("true", "false"):
                self.add(i, i, "false" if t.text == "true" else "true", f"{t.text} flipped")
            elif t.text == "(" and i > 0 and self.tokens[i - 1].kind == "ident" \
                    and self.tokens[i - 1].text not in KEYWORDS_NOT_CALLS:
                self.call(i)
            i += 1

    def function_body(self, open_brace):
        # Called for a '{' after a parameter list: the function returns its
        # default at once, then its statements are mutated.
        paren = open_brace - 1
        while self.tokens[paren].text in ("const", "override", "noexcept", "final"):
            paren -= 1
        if self.tokens[paren].text != ")":
            return False
        opener = self.match[paren]
        name = opener - 1
        # A constructor's initializer list, ": m_command(commandBody)", leads
        # back to the constructor's own parameter list.
        while name > 1 and self.tokens[name - 1].text in (":", ","):
            before = name - 2
            if self.tokens[before].text not in (")", "}"):
                break
            name = self.match[before] - 1
        if self.tokens[name].kind != "ident" or self.tokens[name].text in KEYWORDS_NOT_CALLS:
            return False
        first = name
        while first > 1 and self.tokens[first - 1].text in ("::", "~") and self.tokens[first - 2].kind == "ident":
            first -= 2
        start = first
        while start > 0 and self.tokens[start - 1].text not in (";", "}", "{", ":"):
            start -= 1
        head = [t.text for t in self.tokens[start:first]]
        qualified = self.text(first, name)
        self.function = qualified
        # void, a constructor or a destructor: nothing to return.
        returns_nothing = "void" in head or not head
        brace = self.tokens[open_brace]
        text = "return;" if returns_nothing else "return {};"
        site = Site(brace.end, brace.end, text, f"{self.name}: {qualified}: returns its default at once: {text}",
                    brace.line, insert=True)
        self.sites.append(site)
        self.statements(open_brace)
        return True

    def walk(self):
        i = 0
        while i < len(self.tokens):
            t = self.tokens[i]
            if t.text == "{" and t.kind == "op":
                if self.function_body(i):
                    i = self.match[i]
                elif i > 0 and self.tokens[i - 1].text == "=":
                    i = self.match[i]
            elif t.text == "=" and self.tokens[i + 1].text != "default":
                # A default member or namespace-scope initializer.
                end = i
                while self.tokens[end].text not in (";", ","):
                    end = self.match[end] + 1 if self.tokens[end].text in ("(", "[", "{") else end + 1
                named = i - 1 if self.tokens[i - 1].text != "]" else self.match[i - 1] - 1
                self.function = f"initializer of {self.tokens[named].text}"
                self.scan_expressions(i + 1, end - 1)
                i = end
            i += 1
        return self.sites


def contains(outer, inner):
    if outer is inner:
        return False
    if outer.insert or inner.insert:
        return not outer.insert and outer.start < inner.start < outer.end
    wider = (outer.start, -outer.end) < (inner.start, -inner.end)
    same = (outer.start, outer.end) == (inner.start, inner.end)
    return outer.start <= inner.start and inner.end <= outer.end and (wider or (same and outer.id < inner.id))


def render(source, sites, start, end):
    inside = [s for s in sites if start <= s.start and s.end <= end]
    top = [s for s in inside if not any(contains(o, s) for o in inside)]
    top.sort(key=lambda s: (s.start, s.id))
    out, at = [], start
    for site in top:
        out.append(source[at:site.start])
        inner = [s for s in inside if contains(site, s)]
        original = render(source, inner, site.start, site.end)
        # Each switch starts a line of its own, so a compile error names its mutant.
        if site.insert:
            out.append(f"\nif (orbistoMutant({site.id})) {site.text}\n")
        elif site.statement:
            out.append(f"\n{{ if (!orbistoMutant({site.id})) {{ {original} }} }}")
        else:
            if site.as_bool:
                original = f"static_cast<bool>({original})"
            out.append(f"(\norbistoMutant({site.id}) ? ({site.text}) : ({original}))")
        at = site.end
    out.append(source[at:end])
    return "".join(out)


def overlapping(a, b):
    if a.insert or b.insert:
        return False
    return a.start < b.start < a.end < b.end or b.start < a.start < b.end < a.end


def main(argv):
    drop = set()
    if "--drop" in argv:
        at = argv.index("--drop")
        drop = {int(x) for x in argv[at + 1:]}
        argv = argv[:at]
    out_dir, paths = argv[0], argv[1:]
    os.makedirs(out_dir, exist_ok=True)
    manifest, next_id = [], 1
    for path in paths:
        with open(path, encoding="utf-8") as f:
            source = f.read()
        sites = Generator(path, source).walk()
        kept = []
        for site in sites:
            site.id = next_id
            next_id += 1
            # Operand bounds found by precedence nest; anything that does not is left out.
            if site.id in drop:
                print(f"mutants: left out, as it does not compile: {site.key}")
                continue
            if any(overlapping(site, k) for k in kept):
                print(f"mutants: left out, as it overlaps another: {site.key}", file=sys.stderr)
                continue
            kept.append(site)
        keys = {}
        for site in kept:
            keys[site.key] = keys.get(site.key, 0) + 1
            if keys[site.key] > 1:
                site.key += f" (#{keys[site.key]})"
        text = '#include "OrbistoMutant.h"\n' + render(source, kept, 0, len(source))
        target = os.path.join(out_dir, os.path.basename(path))
        old = open(target, encoding="utf-8").read() if os.path.exists(target) else None
        if old != text:  # unchanged files keep their time stamp: nothing is rebuilt
            with open(target, "w", encoding="utf-8") as f:
                f.write(text)
        for line_number, line in enumerate(text.splitlines(), 1):
            for m in re.finditer(r"orbistoMutant\((\d+)\)", line):
                manifest.append((int(m.group(1)), os.path.basename(path), line_number))
        lines = {site_id: line for site_id, _, line in manifest}
        for site in kept:
            site.generated_line = lines[site.id]
        with open(os.path.join(out_dir, os.path.basename(path) + ".sites"), "w", encoding="utf-8") as f:
            for site in kept:
                f.write(f"{site.id}\t{os.path.basename(path)}\t{site.generated_line}\t{site.line}\t{site.key}\n")
    with open(os.path.join(out_dir, "mutants.tsv"), "w", encoding="utf-8") as f:
        for path in paths:
            with open(os.path.join(out_dir, os.path.basename(path) + ".sites"), encoding="utf-8") as sites:
                f.write(sites.read())
    header = os.path.join(out_dir, "OrbistoMutant.h")
    text = """#ifndef ORBISTOMUTANT_H
#define ORBISTOMUTANT_H
#include <cstdlib>
// The mutant that ORBISTO_MUTANT names is on; 0 or none leaves the code as written.
inline bool orbistoMutant(int id)
{
    static const int active = [] {
        const char *value = std::getenv("ORBISTO_MUTANT");
        return value ? std::atoi(value) : 0;
    }();
    return active == id;
}
#endif
"""
    if not os.path.exists(header) or open(header, encoding="utf-8").read() != text:
        with open(header, "w", encoding="utf-8") as f:
            f.write(text)


if __name__ == "__main__":
    main(sys.argv[1:])
