#!/usr/bin/env python3
"""The README and docs/*.md against the tree and the programs: links and anchors resolve, the README
links every page, the commands, options and files named exist, and the tachyra-cli examples run
against zrf-sim on 127.0.0.236.

    tst_docs.py SOURCE_DIR BUILD_DIR TACHYRA_CLI ZRF_SIM TACHYRA_CLIENT
"""
import glob, os, re, subprocess, sys, tempfile, unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common"))
from simhelper import Sim  # noqa: E402

SRC, BUILD, CLI, SIM, CLIENT = map(os.path.abspath, sys.argv[1:6])
ADDRESS = "127.0.0.236"
PAGES = [os.path.join(SRC, "README.md")] + sorted(glob.glob(os.path.join(SRC, "docs", "*.md")))
FENCE = re.compile(r"^```(\w*)\n(.*?)^```", re.M | re.S)
TOP_DIRS = "src|app|qml|qt|tools|cli|python|tests|bench|fuzz|packaging|scripts|docs|build|\\.ci"
PATH = re.compile(r"^(?:%s)/[\w./@*+-]*$" % TOP_DIRS)


def read(page):
    with open(page, encoding="utf-8") as f:
        return f.read()


def prose(text):
    return re.sub(r"`[^`\n]*`", "", FENCE.sub("", text))


def code(text):
    """Inline code spans, then each fenced block's lines, continuations joined."""
    spans = re.findall(r"`([^`\n]+)`", FENCE.sub("", text))
    blocks = [(lang, body.replace("\\\n", " ")) for lang, body in FENCE.findall(text)]
    return spans, blocks


def slugs(page):
    out, seen = set(), {}
    for heading in re.findall(r"^#+ (.*)$", FENCE.sub("", read(page)), re.M):
        slug = re.sub(r"[^\w\- ]", "", heading.lower()).replace(" ", "-")
        n = seen.get(slug, 0)
        seen[slug] = n + 1
        out.add(slug if n == 0 else "%s-%d" % (slug, n))
    return out


def help_options(*cmd):
    text = subprocess.run([*cmd, "--help"], capture_output=True, text=True, timeout=30).stdout
    return set(re.findall(r"(?<![\w-])--[a-z][\w-]*", text)), text


CLI_TOP, CLI_HELP = help_options(CLI)
COMMANDS = {m for m in re.findall(r"^  ([a-z]+) ", CLI_HELP.split("Commands:")[1].split("\n\n")[0], re.M)}
CLI_OPTIONS = {c: help_options(CLI, c)[0] for c in COMMANDS}
SIM_OPTIONS = help_options(SIM)[0]
CLIENT_OPTIONS = help_options(CLIENT)[0]
# Pages whose bare `--option` spans are the options of one program.
PAGE_OPTIONS = {"cli.md": set().union(*CLI_OPTIONS.values()), "exporter.md": CLI_OPTIONS["serve"],
                "simulator.md": SIM_OPTIONS}


def exists(path):
    """In the tree or the build, or a target its folder's CMakeLists.txt makes."""
    path = path[len("build/"):] if path.startswith("build/") else path
    if glob.glob(os.path.join(SRC, path)) or glob.glob(os.path.join(BUILD, path)):
        return True
    lists = os.path.join(SRC, os.path.dirname(path.rstrip("/")), "CMakeLists.txt")
    return os.path.exists(lists) and os.path.basename(path) in read(lists)


def commands(line):
    """Each (program, words) a shell line runs, split at pipes, && and ;"""
    line = line.split(" #")[0]
    for part in re.split(r"\|\||&&|[|;]", line):
        words = part.split(">")[0].split()
        while words and ("=" in words[0] or words[0] in ("sudo", "exec")):
            words = words[1:]
        if words:
            yield os.path.basename(words[0]), words[1:]


class Docs(unittest.TestCase):
    def test_readme_is_an_entry(self):
        readme = read(PAGES[0])
        self.assertLessEqual(readme.count("\n"), 300, "the README is the entry; the rest belongs in docs/")
        linked = {os.path.normpath(os.path.join(SRC, t.split("#")[0]))
                  for t in re.findall(r"\]\(([^)#\s]+)", prose(readme))}
        for page in PAGES[1:]:
            self.assertIn(page, linked, "the README links to every page of the guide")

    def test_links_resolve(self):
        for page in PAGES:
            for target in re.findall(r"\]\(([^)\s]+)\)", prose(read(page))):
                if re.match(r"[a-z]+:", target):
                    continue
                path, _, anchor = target.partition("#")
                dest = os.path.normpath(os.path.join(os.path.dirname(page), path)) if path else page
                self.assertTrue(os.path.exists(dest), "%s: %s does not exist" % (page, target))
                if anchor:
                    self.assertIn(anchor, slugs(dest), "%s: no heading for #%s in %s" % (page, anchor, dest))

    def test_named_commands_options_and_files_exist(self):
        for page in PAGES:
            spans, blocks = code(read(page))
            lines = spans + [line for lang, body in blocks if lang in ("sh", "")
                             for line in body.splitlines() if not line.startswith("#")]
            for line in lines:
                where = "%s: %s" % (os.path.basename(page), line)
                for program, words in commands(line):
                    options = {w.split("=")[0] for w in words if w.startswith("--")}
                    if program == "tachyra-cli" and words and words[0] not in ("COMMAND", "--help", "--version"):
                        self.assertIn(words[0], COMMANDS, where)
                        self.assertLessEqual(options, CLI_OPTIONS[words[0]], where)
                    elif program == "zrf-sim":
                        self.assertLessEqual(options, SIM_OPTIONS, where)
                    elif program == "tachyra-client":
                        self.assertLessEqual(options, CLIENT_OPTIONS, where)
                    if line in spans and line.startswith("--"):
                        known = PAGE_OPTIONS.get(os.path.basename(page))
                        if known is not None:
                            self.assertIn(line.split()[0].split("=")[0], known, where)
                for word in re.split(r"[\s\"'=()]+", line.split(" #")[0]):
                    word = word.rstrip(".,:;")
                    if PATH.match(word):
                        self.assertTrue(exists(word), "%s names %s, which does not exist" % (where, word))

    def test_examples_run_against_the_simulator(self):
        self.addCleanup(Sim(SIM, ADDRESS).close)
        env = {**os.environ, "PATH": os.path.dirname(CLI) + ":" + os.environ["PATH"], "TACHYRA_EXTRA_PORTS": ""}
        ran = 0
        for page in PAGES:
            with tempfile.TemporaryDirectory() as cwd:
                for lang, body in code(read(page))[1]:
                    for line in body.splitlines() if lang == "sh" else []:
                        progs = list(commands(line))
                        local = "--tcp 127.0.0.1" in line and not re.search(r"\b(?!127\.0\.0\.1\b)\d+\.\d+\.\d+\.\d+", line)
                        if not progs or any(p != "tachyra-cli" or w[:1] in (["scan"], ["serve"]) for p, w in progs):
                            continue
                        if not (local or all(w[:1] == ["stats"] for _, w in progs)):
                            continue
                        # A shorter run of the same command: the test checks it runs, not for how long.
                        run = re.sub(r"--duration \d+", "--duration 1", line.replace("127.0.0.1", ADDRESS))
                        r = subprocess.run(["sh", "-c", run], cwd=cwd, env=env, capture_output=True, text=True,
                                           timeout=120)
                        self.assertEqual(r.returncode, 0, "%s: %s\n%s" % (page, line, r.stderr))
                        ran += 1
        self.assertGreaterEqual(ran, 7)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
