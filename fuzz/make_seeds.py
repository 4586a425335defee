#!/usr/bin/env python3
"""Writes the seed corpora: the texts the tests use, encoded as fuzz_input.h
reads them, and short call sequences for the calls target.
    fuzz/make_seeds.py        (from the repository root or anywhere)"""
import hashlib
import pathlib
import re

ROOT = pathlib.Path(__file__).resolve().parent.parent
CORPUS = ROOT / "fuzz" / "corpus"
LITERAL = re.compile(r'u"((?:[^"\\\n]|\\.)*)"')
ESCAPES = {"n": "\n", "t": "\t", "r": "\r", "0": "\0", "\\": "\\", '"': '"', "'": "'"}


def units(literal):
    """The UTF-16 units of a C++ u"" literal's body."""
    out, i = [], 0
    while i < len(literal):
        c = literal[i]
        if c != "\\":
            out.extend(utf16(ord(c)))
            i += 1
        elif literal[i + 1] in "uU":
            width = 4 if literal[i + 1] == "u" else 8
            out.extend(utf16(int(literal[i + 2:i + 2 + width], 16)))
            i += 2 + width
        elif literal[i + 1] == "x":
            m = re.match(r"[0-9a-fA-F]+", literal[i + 2:])
            out.append(int(m.group(0), 16) & 0xFFFF)
            i += 2 + len(m.group(0))
        else:
            out.extend(utf16(ord(ESCAPES.get(literal[i + 1], literal[i + 1]))))
            i += 2
    return out


def utf16(code):
    if code < 0x10000:
        return [code]
    code -= 0x10000
    return [0xD800 + (code >> 10), 0xDC00 + (code & 0x3FF)]


def encode(us):
    """Bytes that fuzz_input.h decodes back into the units."""
    out = bytearray()
    for u in us:
        if u < 0xFF:
            out.append(u)
        else:
            out += bytes([0xFF, u & 0xFF, u >> 8])
    return bytes(out)


def test_texts():
    texts = set()
    for path in sorted((ROOT / "tests").rglob("*.cpp")):
        for m in LITERAL.finditer(path.read_text(encoding="utf-8")):
            try:
                texts.add(encode(units(m.group(1))))
            except (ValueError, AttributeError, IndexError):
                pass
    return texts


def write(target, seeds):
    folder = CORPUS / target
    folder.mkdir(parents=True, exist_ok=True)
    for seed in seeds:
        (folder / hashlib.sha1(seed).hexdigest()).write_bytes(seed)
    print(f"{target}: {len(seeds)} seeds")


# Operations and name indices of calls_fuzzer.cpp.
(ADD_VARIABLE, ADD_FUNCTION, SET_VALUE, CLEAR, LOAD_DEFAULTS, CHECK_NAME,
 CREATE_NAMED, CREATE_RAW, CHECK_RAW, EVALUATE, RELEASE_EXPRESSION,
 RELEASE_PARSER, DEPENDENCIES, COPY_EXPRESSION) = range(14)
A, B, X, T, PHI, PI, SIN, GOL, RE, CB, PLUS, OPEN, CLOSE, SI, RHO, E_ACUTE, \
    EMPTY, SURROGATE, LONG = range(19)
NAN, INF = 5, 6


def raw(op, text):
    data = encode(units(text))
    return bytes([op, len(data)]) + data


def call_sequences(texts):
    seqs = [
        bytes([ADD_VARIABLE, A, SET_VALUE, A, 2, CREATE_NAMED, A, EVALUATE, 0, 0,
               CLEAR, LOAD_DEFAULTS, EVALUATE, 0, 0, SET_VALUE, A, 1]),
        bytes([ADD_FUNCTION, X, 0, CREATE_NAMED, X, EVALUATE, 0, 3,
               SET_VALUE, X, 1, RELEASE_PARSER, EVALUATE, 0, 4]),
        bytes([SET_VALUE, X, NAN, CREATE_NAMED, X, DEPENDENCIES, 0, EVALUATE, 0, 0,
               SET_VALUE, X, INF, EVALUATE, 0, 1, SET_VALUE, PI, INF,
               CREATE_NAMED, PI, EVALUATE, 1, 0]),
        bytes([CLEAR, LOAD_DEFAULTS, ADD_VARIABLE, RHO, ADD_VARIABLE, SURROGATE,
               ADD_VARIABLE, LONG, ADD_FUNCTION, E_ACUTE, 1, CREATE_NAMED, LONG,
               CREATE_NAMED, E_ACUTE, EVALUATE, 1, 2, COPY_EXPRESSION, 0,
               RELEASE_EXPRESSION, 0, CLEAR, LOAD_DEFAULTS, ADD_VARIABLE, RHO]),
        bytes([ADD_FUNCTION, PLUS, 2, ADD_FUNCTION, OPEN, 3, ADD_FUNCTION, EMPTY, 0,
               ADD_FUNCTION, CB, 4, CREATE_NAMED, PLUS, CREATE_NAMED, CLOSE,
               CREATE_NAMED, SIN, CREATE_NAMED, GOL, EVALUATE, 0, 0, EVALUATE, 1, 1]),
        raw(CREATE_RAW, "2*x+sin(t)") + bytes([SET_VALUE, X, 1, EVALUATE, 0, 0]),
        raw(CREATE_RAW, "sin(sin(sin(cb)))") + bytes([ADD_FUNCTION, CB, 0]) +
        raw(CREATE_RAW, "sin(sin(sin(cb)))") + bytes([EVALUATE, 1, 1]),
    ]
    for text in sorted(texts)[:200]:
        if len(text) < 64:
            seqs.append(bytes([CREATE_RAW, len(text)]) + text +
                        bytes([EVALUATE, 0, 2, CHECK_RAW, len(text)]) + text)
    return seqs


if __name__ == "__main__":
    texts = test_texts()
    write("text", texts)
    write("calls", call_sequences(texts))
