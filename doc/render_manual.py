#!/usr/bin/env python3
"""Makes the sysaudio(1) manual page and the C++ header holding the --help text from one plain
text source (doc/sysaudio.1.txt, whose first lines describe its markup).

Usage: render_manual.py SOURCE --version VERSION --manual OUT.1 --header OUT.h
"""

import argparse
import re
import sys
from dataclasses import dataclass, field

INDENT = "    "
# Lines of --help wider than this are refused, so that it reads in a terminal of 100 columns.
HELP_WIDTH = 92

BOLD = re.compile(r"(?<![\w*])\*([^*\s](?:[^*]*[^*\s])?)\*(?![\w*])")
ITALIC = re.compile(r"(?<!\w)_([^_\s](?:[^_]*[^_\s])?)_(?!\w)")
# Dashes that start an option or stand alone as a separator are minus signs to the formatter;
# the ones inside words (32-bit, sample-rate) are hyphens.
OPTION_DASHES = re.compile(r"(?<![\w\\-])-+(?=\w)")
LONE_DASH = re.compile(r"(?<=\s)-(?=\s)")


class SourceError(Exception):
    pass


@dataclass
class Paragraph:
    lines: list


@dataclass
class Example:
    lines: list


@dataclass
class TaggedList:
    # (term, lines of text) pairs
    items: list


@dataclass
class Section:
    title: str
    in_help: bool
    blocks: list = field(default_factory=list)


def fail(line_number, message):
    raise SourceError(f"line {line_number}: {message}")


def parse_block(numbered_lines):
    """One block of lines (no blank line among them) as a Paragraph, Example or TaggedList."""
    for number, line in numbered_lines:
        stripped = line.lstrip(" ")
        indent = len(line) - len(stripped)
        if indent not in (0, len(INDENT)):
            fail(number, f"indent by 0 or {len(INDENT)} spaces, not {indent}")
        if "\t" in line:
            fail(number, "a tab; use spaces")
    indented = [line.startswith(INDENT) for _, line in numbered_lines]
    if all(indented):
        return Example([line[len(INDENT):] for _, line in numbered_lines])
    if not any(indented):
        return Paragraph([line for _, line in numbered_lines])
    items = []
    for (number, line), is_text in zip(numbered_lines, indented):
        if not is_text:
            items.append((line, []))
        elif not items:
            fail(number, "indented text before any term")
        else:
            items[-1][1].append(line[len(INDENT):])
    for term, text in items:
        if not text:
            fail(numbered_lines[0][0], f"the term {term!r} has no indented text under it")
    return TaggedList(items)


def parse(source):
    sections = []
    block = []

    def end_block():
        if block:
            if not sections:
                fail(block[0][0], "text before the first section")
            sections[-1].blocks.append(parse_block(block))
            block.clear()

    for number, raw in enumerate(source.splitlines(), start=1):
        line = raw.rstrip()
        if not line.isascii():
            fail(number, "only ASCII text is allowed")
        if line.startswith("%"):
            continue
        if line.startswith("= "):
            end_block()
            words = line[2:].split()
            in_help = words[-1:] == ["+help"]
            title = " ".join(words[:-1] if in_help else words)
            if not title or title != title.upper():
                fail(number, "a section title is upper-case words")
            sections.append(Section(title, in_help))
        elif not line:
            end_block()
        else:
            block.append((number, line))
    end_block()
    titles = [section.title for section in sections]
    if titles[:2] != ["NAME", "SYNOPSIS"]:
        fail(1, "the first sections must be NAME and SYNOPSIS")
    return sections


def plain(text):
    return ITALIC.sub(r"\1", BOLD.sub(r"\1", text))


def roff_text(text, literal=False):
    """A line of running text as a roff text line: escapes, then fonts."""
    text = text.replace("\\", "\\e")
    if literal:
        text = text.replace("-", "\\-")
    else:
        text = OPTION_DASHES.sub(lambda match: "\\-" * len(match.group(0)), text)
        text = LONE_DASH.sub(r"\\-", text)
        text = BOLD.sub(r"\\fB\1\\fR", text)
        text = ITALIC.sub(r"\\fI\1\\fR", text)
    if text.startswith((".", "'")):
        text = "\\&" + text
    return text


def render_manual(sections, version):
    out = [
        '.\\" Made by doc/render_manual.py from doc/sysaudio.1.txt; edit that file instead.',
        f'.TH SYSAUDIO 1 "" "sysaudio {version}" "User Commands"',
    ]
    for section in sections:
        out.append(f".SH {section.title}")
        for index, block in enumerate(section.blocks):
            if isinstance(block, TaggedList):
                for term, text in block.items:
                    out += [".TP", roff_text(term)] + [roff_text(line) for line in text]
                continue
            if index > 0:
                out.append(".PP")
            if isinstance(block, Example):
                out += [".RS 4", ".nf"] + [roff_text(line, literal=True) for line in block.lines]
                out += [".fi", ".RE"]
            elif section.title == "SYNOPSIS":
                # Each form of the command on a line of its own.
                out += [part for line in block.lines for part in (roff_text(line), ".br")][:-1]
            else:
                out += [roff_text(line) for line in block.lines]
    return "\n".join(out) + "\n"


def render_help(sections):
    blocks = []
    for section in sections:
        if not section.in_help:
            continue
        if section.title == "SYNOPSIS":
            lines = [line for block in section.blocks for line in block.lines]
            blocks.append(
                ["usage: " + plain(lines[0])] + ["       " + plain(line) for line in lines[1:]]
            )
            continue
        heading = [] if section.title == "DESCRIPTION" else [section.title.lower() + ":"]
        for block in section.blocks:
            if isinstance(block, TaggedList):
                lines = []
                for term, text in block.items:
                    lines.append("  " + plain(term))
                    lines += ["      " + plain(line) for line in text]
            elif isinstance(block, Example):
                lines = [INDENT + line for line in block.lines]
            else:
                lines = [plain(line) for line in block.lines]
            blocks.append(heading + lines)
            heading = []
    for line in (line for block in blocks for line in block):
        if len(line) > HELP_WIDTH:
            raise SourceError(f"a line of --help is wider than {HELP_WIDTH} columns: {line!r}")
    return "\n\n".join("\n".join(block) for block in blocks) + "\n"


def c_string_lines(text):
    lines = text.splitlines(keepends=True)
    escaped = (line.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n") for line in lines)
    return "\n".join(f'    "{line}"' for line in escaped)


def render_header(help_text):
    return (
        "// Made by doc/render_manual.py from doc/sysaudio.1.txt; edit that file instead.\n"
        "#pragma once\n\n"
        "#include <string_view>\n\n"
        "namespace sysaudio {\n\n"
        "// What --help prints.\n"
        "inline constexpr std::string_view usageText =\n"
        f"{c_string_lines(help_text)};\n\n"
        "}  // namespace sysaudio\n"
    )


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("source")
    parser.add_argument("--version", required=True)
    parser.add_argument("--manual", required=True)
    parser.add_argument("--header", required=True)
    arguments = parser.parse_args()
    with open(arguments.source, encoding="ascii") as file:
        text = file.read()
    try:
        sections = parse(text)
        manual = render_manual(sections, arguments.version)
        header = render_header(render_help(sections))
    except SourceError as error:
        sys.exit(f"{arguments.source}: {error}")
    for path, content in ((arguments.manual, manual), (arguments.header, header)):
        with open(path, "w", encoding="ascii") as file:
            file.write(content)


if __name__ == "__main__":
    main()
