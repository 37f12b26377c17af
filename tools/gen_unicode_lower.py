#!/usr/bin/env python3
"""Writes the lower-case mapping tables behind kolvex::to_lower_full.

Reads UnicodeData.txt, SpecialCasing.txt and DerivedCoreProperties.txt (Debian's unicode-data
package installs them in /usr/share/unicode) and writes
src/tracking/unicode_lower_tables.h and src/tracking/unicode_lower_tables.generated.cc.
The output depends only on the data files, so running it twice gives the same bytes.

    python3 tools/gen_unicode_lower.py [--ucd DIR] [--out-dir DIR] [--check]
"""

import argparse
import re
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
COMMAND = "python3 tools/gen_unicode_lower.py --ucd /usr/share/unicode"
MAX_EXPANSION = 3
CAPITAL_SIGMA = 0x03A3
SMALL_SIGMA = 0x03C3
FINAL_SIGMA = 0x03C2
ROWS_PER_LINE = 4


def fail(message):
    sys.exit(f"gen_unicode_lower: {message}")


def data_lines(path):
    """Yields the ';'-separated fields of each line, comments and blank lines dropped."""
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if line:
                yield [field.strip() for field in line.split(";")]


def file_version(path):
    with open(path, encoding="utf-8") as f:
        match = re.match(r"# \w+-(\d+\.\d+\.\d+)\.txt", f.readline())
    if not match:
        fail(f"{path}: no version line")
    return match.group(1)


def code_points(text):
    return [int(cp, 16) for cp in text.split()]


def read_simple_lower(path):
    """Simple lower-case mappings from field 13, as {code point: lower code point}."""
    lower = {}
    for fields in data_lines(path):
        cp, name, mapping = int(fields[0], 16), fields[1], fields[13]
        if not mapping:
            continue
        # A First>/Last> pair stands for every code point in between; a mapping there would
        # have to be expanded over the whole range.
        if name.endswith("First>") or name.endswith("Last>"):
            fail(f"{cp:04X}: a code point range with a lower-case mapping")
        lower[cp] = int(mapping, 16)
    return lower


def read_special_lower(path):
    """Unconditional full lower-case mappings and the Final_Sigma ones, from SpecialCasing.txt."""
    unconditional, final_sigma = {}, {}
    for fields in data_lines(path):
        cp, mapping = int(fields[0], 16), code_points(fields[1])
        conditions = fields[4].split() if len(fields) > 4 else []
        if not conditions:
            unconditional[cp] = mapping
        elif conditions == ["Final_Sigma"]:
            final_sigma[cp] = mapping
        elif not re.fullmatch(r"[a-z]{2,3}", conditions[0]):
            fail(f"{cp:04X}: unexpected language-neutral condition {conditions}")
    return unconditional, final_sigma


def read_property_ranges(path, wanted):
    """Merged, sorted [first, last] ranges of one binary property."""
    ranges = []
    for fields in data_lines(path):
        if fields[1] != wanted:
            continue
        first, _, last = fields[0].partition("..")
        ranges.append((int(first, 16), int(last or first, 16)))
    ranges.sort()
    merged = []
    for first, last in ranges:
        if merged and first <= merged[-1][1] + 1:
            merged[-1] = (merged[-1][0], max(merged[-1][1], last))
        else:
            merged.append((first, last))
    if not merged:
        fail(f"{path}: no {wanted} ranges")
    return merged


def full_lower(simple, unconditional):
    """{code point: lower-case code points} for every code point that changes."""
    full = {cp: [lower] for cp, lower in simple.items()}
    for cp, mapping in unconditional.items():
        if mapping == [cp]:
            full.pop(cp, None)
        else:
            full[cp] = mapping
    return full


def runs_of(single):
    """Splits {code point: lower code point} into (first, last, stride, delta) runs.

    A stride-2 run covers the alternating upper/lower pairs of the Latin and Cyrillic extension
    blocks; the code points it steps over have no mapping, so a lookup may land on them safely.
    """
    cps = sorted(single)
    runs = []
    i = 0
    while i < len(cps):
        first = cps[i]
        delta = single[first] - first
        stride = 1
        if i + 1 < len(cps) and single[cps[i + 1]] - cps[i + 1] == delta:
            stride = cps[i + 1] - first
        if stride not in (1, 2):
            stride = 1
        j = i
        while (
            j + 1 < len(cps)
            and cps[j + 1] == cps[j] + stride
            and single[cps[j + 1]] - cps[j + 1] == delta
        ):
            j += 1
        runs.append((first, cps[j], stride, delta))
        i = j + 1
    return runs


def check_runs(runs, single):
    covered = {}
    for first, last, stride, delta in runs:
        if last - first > 0xFFFF:
            fail(f"run at {first:04X} too long for its span field")
        for cp in range(first, last + 1, stride):
            covered[cp] = cp + delta
    if covered != single:
        fail("runs do not reproduce the mapping")
    for (_, last, _, _), (next_first, _, _, _) in zip(runs, runs[1:]):
        if next_first <= last:
            fail(f"overlapping runs at {next_first:04X}")


def load(ucd):
    versioned = ("SpecialCasing.txt", "DerivedCoreProperties.txt")
    versions = {file_version(ucd / name) for name in versioned}
    if len(versions) != 1:
        fail(f"data files from different Unicode versions: {sorted(versions)}")
    simple = read_simple_lower(ucd / "UnicodeData.txt")
    unconditional, final_sigma = read_special_lower(ucd / "SpecialCasing.txt")
    # The sigma rule is written by hand in unicode_lower.cc; stop if the data ever disagrees.
    if final_sigma != {CAPITAL_SIGMA: [FINAL_SIGMA]} or simple.get(CAPITAL_SIGMA) != SMALL_SIGMA:
        fail(f"Final_Sigma mappings changed: {final_sigma}")
    full = full_lower(simple, unconditional)
    single = {cp: m[0] for cp, m in full.items() if len(m) == 1}
    expansions = sorted((cp, m) for cp, m in full.items() if len(m) != 1)
    for cp, mapping in expansions:
        if not 0 < len(mapping) <= MAX_EXPANSION:
            fail(f"{cp:04X}: mapping of {len(mapping)} code points")
    runs = runs_of(single)
    check_runs(runs, single)
    dcp = ucd / "DerivedCoreProperties.txt"
    return {
        "version": versions.pop(),
        "runs": runs,
        "expansions": expansions,
        "cased": read_property_ranges(dcp, "Cased"),
        "ignorable": read_property_ranges(dcp, "Case_Ignorable"),
    }


def hex_cp(cp):
    return f"0x{cp:04X}"


def table_lines(rows):
    lines = []
    for i in range(0, len(rows), ROWS_PER_LINE):
        lines.append("    " + " ".join(row + "," for row in rows[i : i + ROWS_PER_LINE]))
    return lines


def array_definition(type_name, name, rows):
    return [
        f"const std::array<{type_name}, {len(rows)}> {name} = {{{{",
        *table_lines(rows),
        "}};",
        "",
    ]


def header_text(tables):
    return "\n".join(
        [
            f"// Generated by tools/gen_unicode_lower.py from Unicode {tables['version']}"
            "; do not edit.",
            f"// Regenerate with: {COMMAND}",
            "#pragma once",
            "",
            "#include <array>",
            "#include <cstdint>",
            "",
            "namespace kolvex::lower_tables {",
            "",
            "// Code points first, first + stride, ... first + span lower-case to code point"
            " + delta.",
            "struct LowerRun {",
            "  char32_t first;",
            "  std::int32_t delta;",
            "  std::uint16_t span;",
            "  std::uint8_t stride;",
            "};",
            "",
            "// A lower-case mapping to more than one code point; unused places hold 0.",
            "struct LowerExpansion {",
            "  char32_t code_point;",
            f"  std::array<char32_t, {MAX_EXPANSION}> lower;",
            "};",
            "",
            "struct CodePointRange {",
            "  char32_t first;",
            "  char32_t last;",
            "};",
            "",
            "// All sorted by code point, without overlaps.",
            f"extern const std::array<LowerRun, {len(tables['runs'])}> LOWER_RUNS;",
            f"extern const std::array<LowerExpansion, {len(tables['expansions'])}>"
            " LOWER_EXPANSIONS;",
            f"extern const std::array<CodePointRange, {len(tables['cased'])}> CASED;",
            f"extern const std::array<CodePointRange, {len(tables['ignorable'])}> CASE_IGNORABLE;",
            "",
            "}  // namespace kolvex::lower_tables",
            "",
        ]
    )


def source_text(tables):
    runs = [
        f"{{{hex_cp(first)}, {delta}, {last - first}, {stride}}}"
        for first, last, stride, delta in tables["runs"]
    ]
    expansions = []
    for cp, mapping in tables["expansions"]:
        padded = mapping + [0] * (MAX_EXPANSION - len(mapping))
        expansions.append(f"{{{hex_cp(cp)}, {{{', '.join(hex_cp(c) for c in padded)}}}}}")
    cased = [f"{{{hex_cp(a)}, {hex_cp(b)}}}" for a, b in tables["cased"]]
    ignorable = [f"{{{hex_cp(a)}, {hex_cp(b)}}}" for a, b in tables["ignorable"]]
    return "\n".join(
        [
            f"// Generated by tools/gen_unicode_lower.py from Unicode {tables['version']}",
            "// (UnicodeData.txt, SpecialCasing.txt, DerivedCoreProperties.txt); do not edit.",
            f"// Regenerate with: {COMMAND}",
            '#include "tracking/unicode_lower_tables.h"',
            "",
            "namespace kolvex::lower_tables {",
            "",
            "// clang-format off",
            *array_definition("LowerRun", "LOWER_RUNS", runs),
            *array_definition("LowerExpansion", "LOWER_EXPANSIONS", expansions),
            *array_definition("CodePointRange", "CASED", cased),
            *array_definition("CodePointRange", "CASE_IGNORABLE", ignorable),
            "// clang-format on",
            "",
            "}  // namespace kolvex::lower_tables",
            "",
        ]
    )


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--ucd", type=Path, default=Path("/usr/share/unicode"))
    parser.add_argument("--out-dir", type=Path, default=REPO / "src" / "tracking")
    parser.add_argument("--check", action="store_true", help="fail if the files are out of date")
    args = parser.parse_args()

    tables = load(args.ucd)
    outputs = {
        args.out_dir / "unicode_lower_tables.h": header_text(tables),
        args.out_dir / "unicode_lower_tables.generated.cc": source_text(tables),
    }
    stale = [
        path
        for path, text in outputs.items()
        if not path.exists() or path.read_text(encoding="utf-8") != text
    ]
    if args.check:
        for path in stale:
            print(f"out of date: {path}", file=sys.stderr)
        return 1 if stale else 0
    args.out_dir.mkdir(parents=True, exist_ok=True)
    for path in stale:
        path.write_text(outputs[path], encoding="utf-8", newline="\n")
    print(
        f"runs {len(tables['runs'])}, expansions {len(tables['expansions'])}, "
        f"cased ranges {len(tables['cased'])}, case-ignorable ranges {len(tables['ignorable'])}"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
