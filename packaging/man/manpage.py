#!/usr/bin/env python3
"""Makes a manual page from a program's own --help texts and a template.

    manpage.py TEMPLATE OUTPUT.gz PROGRAM VERSION DATE [SOURCE_DIR]

The template is roff with directive lines that take the text from the help
(PROGRAM --help, and PROGRAM COMMAND --help for each command it lists):

    @usage          the usage lines: the program's, then each command's
    @description    the help's plain paragraphs (not the exit status, nor a
                    pointer to --help, which a page does not need)
    @exit-status    the paragraph that starts with "Exit status:"
    @list HEADING   the items of a list ("Options", "Arguments") as tagged
                    paragraphs
    @commands       one subsection per command: its usage, its paragraphs
                    (those the program's help gives already are said once),
                    its options and arguments
    @table FILE     the first Markdown table of FILE (under SOURCE_DIR) as
                    tagged paragraphs, first column the tag

Every option and command that the template's own text names must be in the
help, so the page cannot name what the program does not take. The page is
written gzip-compressed, without a time stamp, so builds are reproducible.
"""
import gzip, re, subprocess, sys

OPTION = re.compile(r"(?<![\w\\-])--?[a-zA-Z][\w-]*")


def run_help(program, *args):
    r = subprocess.run([program, *args, "--help"], capture_output=True, text=True, timeout=30,
                       env={"LANG": "C.UTF-8", "PATH": "/usr/bin:/bin"})
    if r.returncode != 0 or not r.stdout.startswith("Usage: "):
        sys.exit("manpage: %s %s --help gave no help (exit %d): %s" % (program, " ".join(args), r.returncode,
                                                                       r.stderr.strip()))
    return r.stdout


class Help:
    """A help text: its usage line, plain paragraphs and lists by heading."""

    def __init__(self, text):
        blocks, block = [], []
        for line in text.rstrip("\n").split("\n"):
            if line.strip():
                block.append(line)
            elif block:
                blocks.append(block)
                block = []
        blocks.append(block)
        self.usage = blocks[0][0][len("Usage: "):]
        blocks[0] = blocks[0][1:]
        self.paragraphs, self.lists = [], {}
        for b in filter(None, blocks):
            if b[0].endswith(":") and len(b) > 1 and b[1].startswith("  "):
                self.lists[b[0][:-1]] = self.items(b[1:])
            else:
                self.paragraphs.append(" ".join(line.strip() for line in b))

    @staticmethod
    def items(lines):
        # "  term   text", continued on lines indented further.
        out = []
        for line in lines:
            m = re.match(r"  (\S.*?)(?: {2,}(.*))?$", line)
            if m and not line.startswith("   "):
                out.append([m.group(1), m.group(2) or ""])
            else:
                out[-1][1] = (out[-1][1] + " " + line.strip()).strip()
        return out

    def options(self):
        return {o for _, items in self.lists.items() for term, _ in items for o in OPTION.findall(term)}


def esc(text):
    text = text.replace("\\", "\\e")
    text = OPTION.sub(lambda m: m.group(0).replace("-", "\\-"), text)
    return "\\&" + text if text[:1] in (".", "'") else text


def usage(line):
    words = line.split(" ")
    name = [w for w in words[:2] if re.fullmatch(r"[a-z][\w-]*", w)]
    rest = esc(" ".join(words[len(name):]))
    rest = re.sub(r"(\\-\\-|\\-)([a-zA-Z][\w\\-]*)", r"\\fB\1\2\\fR", rest)
    rest = re.sub(r"\b([A-Z][A-Z0-9]*)\b", r"\\fI\1\\fR", rest)
    return '.SY "%s"\n%s.YS' % (esc(" ".join(name)), rest + "\n" if rest else "")


def term(t, kind):
    if kind == "Arguments":
        return " ".join("\\fI%s\\fR" % esc(w) for w in t.split())
    parts = []
    for part in t.split(", "):
        name, _, value = part.partition(" ")
        value = value.strip("<>")
        parts.append("\\fB%s\\fR" % esc(name) + (" \\fI%s\\fR" % esc(value) if value else ""))
    return ", ".join(parts)


def tagged(items, kind, skip=()):
    out = []
    for t, text in items:
        if t in skip:
            continue
        out += [".TP", term(t, kind), esc(text)]
    return out


def plain(paragraphs):
    return [x for p in paragraphs for x in (".PP", esc(p))]


def normal(text):
    return " ".join(text.split())


def markdown_table(path):
    rows = []
    for line in open(path, encoding="utf-8"):
        if line.startswith("|"):
            cells = [c.strip() for c in line.strip().strip("|").split("|")]
            if not all(re.fullmatch(r":?-+:?", c) for c in cells):
                rows.append(cells)
        elif rows:
            break
    if len(rows) < 2:
        sys.exit("manpage: no table in %s" % path)
    unmark = lambda s: re.sub(r"\*\*|`", "", s)
    return [[unmark(r[0]), unmark(r[1])] for r in rows[1:]]


def main():
    template, output, program, version, date = sys.argv[1:6]
    source_dir = sys.argv[6] if len(sys.argv) > 6 else "."
    top = Help(run_help(program))
    commands = [(name, Help(run_help(program, name))) for name, _ in top.lists.get("Commands", [])]
    said = {normal(p) for p in top.paragraphs}
    known_options = top.options().union(*(h.options() for _, h in commands))
    known_commands = {name for name, _ in commands}

    base = re.escape(program.rsplit("/", 1)[-1])
    out, lines = [], open(template, encoding="utf-8").read().replace("\\e\n", "\\e\x00").split("\n")
    for line in lines:
        words = line.split()
        if not line.startswith("@"):
            line = line.replace("@VERSION@", version).replace("@DATE@", date)
            # What the page's own text says the program takes, on lines
            # (continued with \e) that name the program.
            text = re.sub(r"\\f[BIR]", " ", line.replace("\\-", "-"))
            if re.search(r"(?<![\w-])%s(?![\w-])" % base, text):
                for o in OPTION.findall(text):
                    if o not in known_options:
                        sys.exit("manpage: %s names %s, which %s does not take" % (template, o, program))
                for c in re.findall(r"(?<![\w-])%s +([a-z]+)\b" % base, text):
                    if known_commands and c not in known_commands:
                        sys.exit("manpage: %s names the command %s, which %s does not have" % (template, c, program))
            out.append(line.replace("\x00", "\n"))
        elif words[0] == "@usage":
            out += [usage(top.usage)] + [usage(h.usage) for _, h in commands]
        elif words[0] == "@description":
            out += plain(p for p in top.paragraphs if not p.startswith("Exit status:") and "--help" not in p)
        elif words[0] == "@exit-status":
            out += plain(p[len("Exit status:"):].strip() for p in top.paragraphs if p.startswith("Exit status:"))
        elif words[0] == "@list":
            out += tagged(top.lists.get(words[1], []), words[1])
        elif words[0] == "@commands":
            for name, h in commands:
                out += [".SS %s" % name, usage(h.usage)]
                out += plain(p for p in h.paragraphs if normal(p) not in said)
                out += tagged(h.lists.get("Options", []), "Options", skip=("-h, --help",))
                out += tagged(h.lists.get("Arguments", []), "Arguments")
        elif words[0] == "@table":
            out += [x for k, v in markdown_table("%s/%s" % (source_dir, words[1]))
                    for x in (".TP", "\\fB%s\\fR" % esc(k), esc(v))]
        else:
            sys.exit("manpage: unknown directive %s" % words[0])

    with open(output, "wb") as f, gzip.GzipFile(filename="", mode="wb", compresslevel=9, fileobj=f, mtime=0) as z:
        z.write(("\n".join(out) + "\n").encode("utf-8"))


if __name__ == "__main__":
    main()
