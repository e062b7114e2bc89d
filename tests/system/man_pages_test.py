#!/usr/bin/env python3
"""Checks the manual pages against what the programs say about themselves.

    man_pages_test.py AMBREL AMBREL_CODEC MAN_DIR

Every option that "ambrel --help" lists must be an item of the OPTIONS
section of ambrel.1, and every item there must be an option --help knows. Every codec that either program names must be
in its page, and the commands of ambrel-codec's usage must be items of
ambrel-codec.1's COMMANDS section.
"""
import re
import subprocess
import sys

OPTION = re.compile(r"(?<![\w-])(--[a-z][a-z-]*|-[a-z](?=:))")


def run(*args):
    done = subprocess.run(args, capture_output=True, text=True, timeout=60)
    return done.returncode, done.stdout + done.stderr


def plain(roff):
    """roff source with font changes removed and escaped dashes made plain."""
    text = re.sub(r"\\f(\[[^]]*\]|\(..|.)", "", roff)
    return text.replace("\\-", "-").replace("\\&", "").replace("\\c", "")


def items(page, section):
    """Lines that head a .TP item in SECTION of the roff source."""
    found, inside, head = [], False, False
    for line in page.splitlines():
        if line.startswith(".SH"):
            inside = line.split(None, 1)[1].strip('"') == section
            continue
        if inside and line.startswith(".TP"):
            head = True
        elif inside and head and not line.startswith(('.\\"', "'\\\"")):
            found.append(plain(re.sub(r"^\.[A-Z]+\s+", "", line)).replace('"', ""))
            head = False
    return found


def main():
    ambrel, codec_tool, man_dir = sys.argv[1:4]
    failures = []
    ambrel_page = open(f"{man_dir}/ambrel.1", encoding="utf-8").read()
    codec_page = open(f"{man_dir}/ambrel-codec.1", encoding="utf-8").read()

    status, help_text = run(ambrel, "--help")
    if status != 0:
        failures.append(f"ambrel --help exited with {status}")
    # Options listed at the start of a line, and long options anywhere.
    listed = {m.group(1) for line in help_text.splitlines() for m in [OPTION.match(line.strip())] if m}
    listed |= set(re.findall(r"(?<![\w-])--[a-z][a-z-]*", help_text))
    documented = set()
    for head in items(ambrel_page, "OPTIONS"):
        m = OPTION.match(head)
        if m:
            documented.add(m.group(1))
        else:
            failures.append(f"ambrel.1: OPTIONS item '{head}' is not an option")
    if len(listed) < 10:
        failures.append(f"ambrel --help lists only {sorted(listed)}")
    for option in sorted(listed - documented):
        failures.append(f"ambrel.1 does not document {option}, which ambrel --help lists")
    for option in sorted(documented - listed):
        failures.append(f"ambrel.1 documents {option}, which ambrel --help does not know")

    # Codec names: "name<TAB>description" lines of --help.
    ambrel_text = plain(ambrel_page)
    codecs = re.findall(r"^(\w+)\t", help_text, re.M)
    if not codecs:
        failures.append("ambrel --help names no codec")
    for name in codecs:
        if not re.search(rf"(?<!\w){name}(?!\w)", ambrel_text):
            failures.append(f"ambrel.1 does not name the codec {name}")

    status, usage = run(codec_tool, "--help")
    if status != 0:
        failures.append(f"ambrel-codec --help exited with {status}")
    commands = set(re.findall(r"^\s*(?:usage:)?\s*ambrel-codec (\w+)", usage, re.M))
    described = {head.split(",")[0].split()[0] for head in items(codec_page, "COMMANDS") if head.strip()}
    if not commands:
        failures.append("ambrel-codec --help shows no command")
    for command in sorted(commands - described):
        failures.append(f"ambrel-codec.1 does not document the command {command}")
    for command in sorted(described - commands - {"--help"}):
        failures.append(f"ambrel-codec.1 documents the command {command}, which the usage does not show")
    # "  name  0xID  description": the table row must give the same id.
    rows = {m.group(1): m.group(2) for m in re.finditer(r"^(\w+)\t(0x[0-9A-F]{2})\t", plain(codec_page), re.M)}
    tool_codecs = re.findall(r"^  (\w+)\s+(0x[0-9A-F]{2})\s", usage, re.M)
    if not tool_codecs:
        failures.append("ambrel-codec --help lists no codec")
    for name, ident in tool_codecs:
        if rows.get(name) != ident:
            failures.append(f"ambrel-codec.1 gives {name} as {rows.get(name, 'nothing')}, the tool as {ident}")
    for name in sorted(set(rows) - {n for n, _ in tool_codecs}):
        failures.append(f"ambrel-codec.1 lists the codec {name}, which the tool does not know")

    for page in ("ambrel.1", "ambrel-codec.1"):
        status, warnings = run("groff", "-man", "-t", "-ww", "-z", f"{man_dir}/{page}")
        if status != 0 or warnings.strip():
            failures.append(f"{page} formats with warnings: {warnings.strip()}")

    for failure in failures:
        print("FAIL:", failure)
    if not failures:
        print(f"ambrel.1: {len(documented)} options, {len(codecs)} codecs; "
              f"ambrel-codec.1: {len(commands)} commands, {len(tool_codecs)} codecs")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
