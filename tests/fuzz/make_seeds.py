#!/usr/bin/env python3
"""Writes the starting inputs of the fuzz targets, made from the example studies, and a
dictionary of the words the study readers look for.

    tests/fuzz/make_seeds.py OUT

OUT/reader/  one seed per definition file of examples/ (reader_fuzz: one file per input)
OUT/study/   one seed per example study, and a few variants of it (study_fuzz: the files of
             a study folder, each opened by a line "==> NAME <==")
OUT/definitions.dict
             keywords ("*AGENT"), property names and value words quoted in src/definitions/
             and the method table, in libFuzzer's dictionary form

Everything is made afresh from the sources on each call, so it follows the examples and the
readers as they change.
"""
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"
# The files of a study folder that start-up reads (the study file is the one that holds
# *STUDY; the fuzz target reads it as "study.in").
STUDY_FILE_PATTERNS = ("Assembly.in", "Definitions.in", "Representation*.in", "Process*.in",
                       "Performance*.in")
MAX_NAMED_FILE = 4096  # bytes


def framed(files):
    """The study_fuzz input for a {name: bytes} folder."""
    out = b""
    for name, content in files.items():
        if content and not content.endswith(b"\n"):
            content += b"\n"
        out += b"==> " + name.encode() + b" <==\n" + content
    return out


def study_folder(folder):
    """The start-up files of an example study as {name: bytes}, or None when it has none."""
    files = {}
    for pattern in STUDY_FILE_PATTERNS:
        for path in sorted(folder.glob(pattern)):
            files[path.name] = path.read_bytes()
    studies = [p for p in sorted(folder.glob("*.in")) if b"*STUDY" in p.read_bytes()]
    if "Assembly.in" not in files or not studies:
        return None
    files["study.in"] = studies[0].read_bytes()
    # Files that the process files name and start-up opens (the extraction definitions of
    # tagged responses), up to a size that keeps the inputs small.
    processes = b"".join(content for name, content in files.items() if name.startswith("Process"))
    for path in sorted(folder.rglob("*")):
        name = path.relative_to(folder).as_posix()
        if (path.is_file() and name not in files and path.stat().st_size <= MAX_NAMED_FILE
                and re.search(rb"(?<![\w./])" + re.escape(name.encode()) + rb"(?![\w.])",
                              processes)):
            files[name] = path.read_bytes()
    return files


def records(text):
    """The text split before each keyword line: [preamble, record, record, ...]."""
    return re.split(r"(?m)^(?=\*)", text)


def record_id(record):
    match = re.search(r"(?m)^id: *(\d+)", record)
    return match.group(1) if match else None


def study_variants(files):
    """The study itself, and variants that reach the other branches of start-up sooner."""
    yield "whole", files
    # Each agent alone as agent 0 (agent range 0..0), so that the reading of every agent type
    # and method is a few mutations away from a complete study.
    assembly = records(files["Assembly.in"].decode())
    study = records(files["study.in"].decode())
    for agent in (r for r in assembly if r.startswith("*AGENT")):
        number = record_id(agent)
        own = [r for r in study if r.startswith("*AGENT") and record_id(r) == number]
        if number is None or not own:
            continue
        as_zero = lambda record: re.sub(r"(?m)^id: *\d+", "id: 0", record)
        single = dict(files)
        single["Assembly.in"] = "".join(
            [r for r in assembly if not r.startswith("*AGENT")][:-1] + [as_zero(agent), "*END\n"]
        ).encode()
        head = [re.sub(r"(?m)^endAgent: *\d+", "endAgent: 0", r)
                for r in study if not r.startswith("*AGENT") and not r.startswith("*END")]
        single["study.in"] = "".join(head + [as_zero(own[0]), "*END\n"]).encode()
        yield f"agent{number}", single
    # Without the definitions file (variables then come from the representation files only).
    yield "no-definitions", {k: v for k, v in files.items() if k != "Definitions.in"}


def dictionary_words():
    words = set()
    sources = list((ROOT / "src" / "definitions").glob("*.cpp"))
    sources.append(ROOT / "src" / "driver" / "method_table.cpp")
    for source in sources:
        for literal in re.findall(r'"((?:[^"\\]|\\.)*)"', source.read_text(errors="replace")):
            if re.fullmatch(r"\*[A-Z][A-Z_0-9]*", literal) or re.fullmatch(
                    r"[A-Za-z][A-Za-z0-9_]{1,39}", literal):
                words.add(literal)
    return sorted(words)


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_seeds.py OUT")
    out = pathlib.Path(sys.argv[1])
    (out / "reader").mkdir(parents=True, exist_ok=True)
    (out / "study").mkdir(parents=True, exist_ok=True)
    for folder in sorted(p for p in EXAMPLES.iterdir() if p.is_dir()):
        for path in sorted(folder.rglob("*")):
            if path.is_file() and path.suffix in (".in", ".def", ".inp"):
                name = "-".join((folder.name,) + path.relative_to(folder).parts)
                (out / "reader" / name).write_bytes(path.read_bytes())
        files = study_folder(folder)
        if files:
            for label, variant in study_variants(files):
                (out / "study" / f"{folder.name}-{label}").write_bytes(framed(variant))
    with open(out / "definitions.dict", "w") as dictionary:
        for word in dictionary_words():
            dictionary.write('"%s"\n' % word)


if __name__ == "__main__":
    main()
