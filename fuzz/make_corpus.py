#!/usr/bin/env python3
# Writes the seed corpus of every fuzz target into fuzz/corpus/<target>/ in the input layout
# each target's header comment describes. Rerun after changing a layout; files are replaced.
import math
import pathlib
import shutil
import struct

ROOT = pathlib.Path(__file__).resolve().parent / "corpus"


def write(target, seeds):
    folder = ROOT / target
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    for name, data in seeds.items():
        (folder / name).write_bytes(data)


def run(char, length):
    """The packed form of expand_runs: 16 * (n + 1)^2 copies of char, at least `length`."""
    n = max(0, math.isqrt(max(0, length - 1) // 16))
    while 16 * (n + 1) ** 2 < length:
        n += 1
    return b"\xff" + char + bytes([n]), 16 * (n + 1) ** 2


def token_seeds():
    plain = {
        "zero": "0", "neg-zero": "-0", "plus-zero-point": "+0.0", "one-point": "1.", "point-five": ".5",
        "small-exp": "-.5e-3", "1e23": "1e23", "halfway-2.675": "2.675", "0.3": "0.3",
        "max": "1.7976931348623157e308", "max-rounds-down": "1.7976931348623158e308",
        "overflow": "1.7976931348623159e308", "min-normal": "2.2250738585072014e-308",
        "min-subnormal": "4.9406564584124654e-324", "subnormal-tie-to-zero": "2.4703282292062327e-324",
        "subnormal-above-tie": "2.4703282292062328e-324", "tie-2^53+1": "9007199254740993",
        "long-significand": "1234567890123456789012345678901234567890e-20",
        "inf": "inf", "neg-infinity": "-Infinity", "nan": "NaN", "neg-nan": "-nan", "mixed-nan": "nAn",
        "bad-e": "1e", "bad-leading-e": "e5", "bad-e-sign": "1e+", "bad-double-sign": "--1",
        "bad-two-points": "1.2.3", "bad-hex": "0x1p3", "bad-space": " 1", "bad-underscore": "1_000",
        "bad-plus": "+", "bad-point": ".", "empty": "", "huge-exponent": "1e99999999999",
        "tiny-exponent": "1e-99999999999",
        "exponent-past-int64": "1e99999999999999999999", "neg-exponent-past-int64": "0.5e-123456789012345678901", "exponent-leading-zeros": "1e000000000000000000000300",
        "zero-far-exponent": "0.000e700000",
    }
    seeds = {name: b"\x00" + text.encode() for name, text in plain.items()}
    # The same texts in the other rounding modes, where the result must not change.
    for mode in (1, 2, 3):
        for name in ("0.3", "halfway-2.675", "1e23", "min-subnormal", "long-significand"):
            seeds[f"mode{mode}-{name}"] = bytes([mode]) + plain[name].encode()
    # Long significands against exponents of more digits than the reader takes exactly.
    zeros, count = run(b"0", 70000)
    seeds["long-zeros-far-exponent"] = b"\x3c0." + zeros + b"1e700001"
    ones, count = run(b"1", 70000)
    exponent = str(count)[:5] + "00000"  # its first digits meet the significand's length
    seeds["long-ones-far-negative-exponent"] = b"\x3c" + ones + b"e-" + exponent.encode()
    seeds["long-ones-plain"] = b"\x3c" + ones + b".5"
    # Exponents past 65536 that meet the significand: the value lands within the range, so
    # the leading digits are restated with a short exponent (ties and dropped digits too).
    seeds["far-exponent-one"] = b"\x3c0." + zeros + b"1e" + str(count + 1).encode()
    seeds["far-exponent-digits"] = b"\x3c0." + zeros + b"123456789e" + str(count + 5).encode()
    seeds["far-exponent-dropped"] = b"\x3c" + ones + b"e-" + str(count - 3).encode()
    tie = b"100000000000000011102230246251565404236316680908203125"
    seeds["far-exponent-tie"] = b"\x3c0." + zeros + tie + b"e" + str(count + 1).encode()
    seeds["far-exponent-above-tie"] = b"\x3c0." + zeros + tie + b"0" * 800 + b"1e" + str(count + 1).encode()
    seeds["far-exponent-subnormal"] = b"\x3c0." + zeros + b"5e" + str(count + 1 - 324).encode()
    return seeds


def int_seeds():
    texts = {
        "zero": "0", "neg-zero": "-0", "plus": "+7", "max": "9223372036854775807",
        "max-plus-one": "9223372036854775808", "min": "-9223372036854775808",
        "min-minus-one": "-9223372036854775809", "too-large-20": "99999999999999999999",
        "too-small-20": "-99999999999999999999", "digit-then-letter": "12a", "space": "1 2", "empty": "",
        "only-plus": "+", "only-minus": "-", "double-minus": "--1", "plus-minus": "+-1", "exponent": "1e3",
        "hex": "0x10", "arabic-digit": "\u0661", "leading-zeros": "00000000000000000000000000001",
        "overflow-before-letter": "92233720368547758080x", "letter-after-max": "9223372036854775807x",
        "bool-T": "T", "bool-True": "True", "bool-TRUE": "TRUE", "bool-true": "true", "bool-F": "F",
        "bool-False": "False", "bool-FALSE": "FALSE", "bool-false": "false", "bool-mixed": "tRUE",
        "bool-t": "t", "bool-yes": "yes",
    }
    seeds = {name: b"\x00" + text.encode() for name, text in texts.items()}
    zeros, _ = run(b"0", 3000)
    seeds["long-leading-zeros"] = b"\x3c-" + zeros + b"9223372036854775808"
    return seeds


def lines_seeds():
    def seed(codes, *lines):
        return bytes([len(codes)]) + codes + b"\xff".join(line.encode() for line in lines)

    def block(codes, natoms, offset, data):
        return bytes([0x80 | len(codes)]) + codes + bytes([natoms, offset]) + data

    return {
        "sfff": seed(b"sfff", "H 0.0 1.5 -2.25", "He 1 2e3 -inf"),
        "sfib": seed(b"sfib", "Fe 1.5 -3 T", "O  nan 7 False"),
        "bad-float-row1": seed(b"sf", "H 1.0", "C 1,5"),
        "bad-int-reason": seed(b"si", "H 9223372036854775808"),
        "bad-int-digit": seed(b"i", "12x"),
        "bad-bool": seed(b"b", "yes"),
        "ran-out": seed(b"sff", "H 1.0 2.0", "C 1.0"),
        "skip-codes": seed(b"x\x00f\xfes", "a b 1.25 c Na"),
        "no-codes": seed(b"", "anything at all", ""),
        "no-lines": bytes([2]) + b"sf",
        "separators": seed(b"fff", "\t1\f2\r3\n"),
        "vertical-tab-in-token": seed(b"sf", "a\x0bb 1.0"),
        "nbsp-in-token": seed(b"f", "1\u00a02"),
        "quote-backslash": seed(b"f", 'a"b\\c'),
        "controls": seed(b"i", "\x01\x7f\x00"),
        "combining-mark": seed(b"b", "e\u0301"),
        "emoji-and-format": seed(b"f", "\U0001f600\u200b\ufeff"),
        "unicode-symbol": seed(b"sf", "\u00e9\u4e00 0.5"),
        "invalid-utf8": seed(b"sf", "H 1.0") + b"\xc3\x28 \xe2\x82 1.0",
        "empty-line": seed(b"s", "H", ""),
        # Bytes: 0x80 | n, the codes, a natoms byte, an offset byte, then the data.
        "block-crlf": block(b"sfff", 2, 0, b"H 0.0 1.5 -2.25\r\nHe 1 2e3 -inf\r\n"),
        "block-last-line-unended": block(b"sf", 2, 0, b"H 1\nC 2"),
        "block-data-ends": block(b"sf", 3, 0, b"H 1\nC 2\n"),
        "block-offset": block(b"sf", 1, 4, b"xyz\nH 1.0\n"),
        "block-offset-outside": block(b"s", 1, 0xFF, b"H\n"),
        "block-bad-utf8-string": block(b"sf", 1, 0, b"\xff\xfe 1.0\n"),
        "block-bad-utf8-float": block(b"f", 1, 0, b"1\xc3\n"),
        "block-huge-natoms": block(b"s", 0xFE, 0, b"H\n"),
        "block-no-codes": block(b"", 3, 0, b"a\n\nb\n"),
        "block-long-lines": block(b"sf", 2, 0, (b"H" + b" " * 70 + b"1.5" + b"\t" * 60 + b"\n") * 2),
        "block-empty-lines": block(b"s", 2, 0, b"\n\n"),
        "block-written-shape": block(b"sfffi", 2, 0, b"Fe      0.00000000     -1.25000000  12345678.12345678        7\n" * 2),
    }


def field_seeds():
    def seed(value, integer=0, flag=1, mode=0):
        return struct.pack("<dqBB", value, integer, flag, mode)

    seeds = {
        "zero": seed(0.0), "neg-zero": seed(-0.0, -1, 0), "one-and-half": seed(1.5, 7),
        "halfway-2.675": seed(2.675), "tie-5e-9": seed(5e-9), "tie-1.5e-8": seed(1.5e-8),
        "1e23": seed(1e23, 2**63 - 1), "neg-max": seed(-1.7976931348623157e308, -(2**63)),
        "min-subnormal": seed(5e-324), "inf": seed(math.inf), "neg-inf": seed(-math.inf),
        "2^37": seed(2.0**37, 99999999), "just-below-2^37": seed(math.nextafter(2.0**37, 0), 100000000),
        "2^-11": seed(2.0**-11, -9999999), "short-edge-pos": seed(9999999.999999995, -10000000),
        "short-edge-neg": seed(-999999.999999995), "2^64-scaled": seed(1.8446744073709552e11),
        "2^101": seed(2.0**101), "carry": seed(0.999999999), "mode-up": seed(2.675, -5, 255, 1),
        "mode-down": seed(-0.1, 5, 0, 2), "mode-zero": seed(1e300, 0, 2, 3),
    }
    seeds["nan"] = struct.pack("<QqBB", 0x7FF8000000000000, 0, 0, 0)
    seeds["neg-nan-payload"] = struct.pack("<QqBB", 0xFFF0000000000001, 0, 0, 0)
    # Batches: byte 18 = length (bits 0-3) and the near-tie flag (bit 4), then values 1..n-1.
    short = [1.5, -2.25, 0.00195312, 9999999.99999999, -999999.99999999, -0.0, 5e-324]
    seeds["batch-8-short"] = seed(0.125) + bytes([8]) + struct.pack("<7d", *short)
    seeds["batch-one-long"] = seed(0.125) + bytes([3]) + struct.pack("<2d", 1e7, 2.5)
    seeds["batch-nan"] = seed(0.125, mode=1) + bytes([2]) + struct.pack("<Q", 0x7FF8000000000000)
    seeds["batch-near-ties"] = seed(0.0, mode=2) + bytes([0x18]) + bytes(range(7 * 8))
    seeds["batch-near-ties-negative"] = seed(-1.0, mode=3) + bytes([0x18]) + bytes(range(255, 255 - 7 * 8, -1))
    return seeds


# The block target's header: natoms, symbol shape, width choice, code count and codes,
# then the layout byte of the symbols, then for each numeric matrix a shape byte and a
# layout byte (two more stride bytes after any layout of 7 mod 8), then the fill bytes.
CODE = {"f": 0, "i": 1, "b": 2, "s": 3}


def block_seed(natoms, sym_cols, width, codes, sym_layout, numeric, fill):
    header = bytes([natoms, sym_cols, width, len(codes)])
    header += bytes(CODE[c] if c in CODE else ord(c) * 5 + 4 for c in codes) if codes else b""
    header += bytes(sym_layout)
    for shape, layout in numeric:
        header += bytes([shape]) + bytes(layout)
    return header + fill


def shape(extra_rows, cols):
    return extra_rows | (cols << 2)


def block_seeds():
    floats = struct.pack("<4d", 1.5, -2.25, 2.675, 1e23)
    ints = struct.pack("<2q", -(2**63), 12345678)
    symbol_fill = b"He\x00Li\x00" + b"\x85\x89\x88" + b"\xc0\x41\x00\x00\x00"
    fill = symbol_fill + floats + ints + b"\x01\x00\xff"
    std = [(shape(1, 4), [0]), (shape(1, 2), [0]), (shape(1, 3), [0])]
    seeds = {
        "c-order": block_seed(3, 3, 2, "sffii b", [0], std, fill),
        "fortran": block_seed(3, 3, 3, "sfib", [1], [(shape(1, 4), [1]), (shape(2, 2), [1]), (shape(1, 3), [1])], fill),
        "reversed": block_seed(4, 4, 4, "fsfs", [2], [(shape(1, 4), [3]), (shape(1, 2), [2]), (shape(1, 3), [3])], fill),
        "broadcast": block_seed(5, 2, 1, "sfib", [4], [(shape(1, 4), [4]), (shape(1, 2), [4]), (shape(1, 3), [4])], fill),
        "stepped-unaligned": block_seed(3, 3, 0, "sfibf", [5], [(shape(1, 4), [6]), (shape(1, 2), [5]), (shape(1, 3), [6])], fill),
        "free-strides": block_seed(3, 3, 2, "sfib", [7, 0xF8, 0x04], [(shape(1, 2), [7, 0x00, 0x09]), (shape(1, 2), [7, 0xF0, 0x08]), (shape(1, 2), [7, 0x01, 0x00])], fill),
        "rows-short": block_seed(3, 2, 2, "sf", [0], [(shape(0, 1), [0]), (shape(1, 0), [0]), (shape(1, 0), [0])], fill),
        "cols-short": block_seed(2, 2, 2, "ffff", [0], [(shape(1, 2), [0]), (shape(1, 0), [0]), (shape(1, 0), [0])], fill),
        "no-atoms": block_seed(0, 3, 0xF4, "sfib", [0], std, fill),
        "width-65535": block_seed(1, 2, 0xF0, "s", [0], std, fill),
        "width-too-wide": block_seed(2, 2, 0xF2, "fs", [0], std, fill),
        "reservation-2^62": block_seed(1, 2, 0xF3, "", [0], std, fill),
        "reservation-overflow": block_seed(2, 2, 0xF3, "s", [0], std, fill),
        "width-wraps": block_seed(2, 2, 0xF6, "si", [0], std, fill),
        "long-symbol-rows": block_seed(3, 0xF0 | 10, 2, "sf", [1], std, b"A" * 300 + b"\x00" + fill),
        "no-codes": block_seed(3, 1, 3, "", [0], std, fill),
        "skip-codes": block_seed(2, 2, 2, "s\x00f", [0], std, fill),
        "nan-inf": block_seed(2, 1, 1, "ff", [0], std, b"X" + struct.pack("<3d", math.nan, -math.inf, -0.0)),
        "symbols-reversed-rows": block_seed(4, 3, 3, "s", [2], std, symbol_fill),
        "symbols-free-strides": block_seed(3, 4, 2, "ss", [7, 0xFC, 0x03], std, symbol_fill * 3),
        "symbols-zero-stride": block_seed(3, 3, 2, "s", [7, 0x00, 0x04], std, symbol_fill),
        "wide-rows-symbols-after-floats": block_seed(2, 0xF0 | 8, 4, "ffsffs", [0], std, b"\xc1" * 400 + fill),
        "many-wide-symbol-fields": block_seed(1, 2, 0xF0, "s" * 17 + "f", [0], std, fill),
        "bool-bytes": block_seed(3, 1, 0, "bbb", [0], [(shape(1, 0), [0]), (shape(1, 0), [0]), (shape(1, 3), [0])],
                                 b"H" + bytes([0xC0, 0xFF, 0x01, 0x02, 0x00, 0xC1])),
        "int-edges": block_seed(2, 1, 0, "ii", [0], [(shape(1, 0), [0]), (shape(1, 2), [3]), (shape(1, 0), [0])],
                                b"H" + struct.pack("<4q", -(2**63), 2**63 - 1, -1, 99999999)),
        "float-fields-wide": block_seed(2, 1, 0, "ff", [0], [(shape(1, 2), [1]), (shape(1, 0), [0]), (shape(1, 0), [0])],
                                        b"H" + struct.pack("<4d", -1.7976931348623157e308, 1e23, 9999999.999999999, 2.0**101)),
        "short-float-batch": block_seed(2, 1, 0, "fffffffff", [0], [(shape(1, 9), [0]), (shape(1, 0), [0]), (shape(1, 0), [0])],
                                        b"H" + struct.pack("<8d", 1.5, -2.25, 0.00195312, 9999999.99999999, -999999.99999999, -0.0, 5e-324, 3.0 / 512)),
        "more-rows-than-atoms": block_seed(2, 1, 1, "fib", [0], [(shape(3, 2), [0]), (shape(2, 1), [1]), (shape(3, 1), [2])], fill),
    }
    return seeds


def main():
    write("fuzz_float_token", token_seeds())
    write("fuzz_int_token", int_seeds())
    write("fuzz_atom_lines", lines_seeds())
    write("fuzz_float_field", field_seeds())
    write("fuzz_atom_block", block_seeds())


if __name__ == "__main__":
    main()
