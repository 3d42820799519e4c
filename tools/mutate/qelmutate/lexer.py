"""A C++ tokenizer good enough to find mutation sites.

It keeps every token's offsets and line, and whether whitespace surrounds
it: the sources are clang-formatted, so a binary operator always has space on
both sides while a template bracket or a reference declarator does not. That
spacing is what tells `a < b` from `vector<int>` without a parser.
"""

from dataclasses import dataclass

PUNCTUATORS = sorted(
    [
        "<=>", "<<=", ">>=", "->*", "...",
        "::", "->", ".*", "++", "--", "<<", ">>", "<=", ">=", "==", "!=",
        "&&", "||", "+=", "-=", "*=", "/=", "%=", "&=", "|=", "^=",
        "{", "}", "[", "]", "(", ")", ";", ":", "?", ",", ".", "+", "-", "*",
        "/", "%", "^", "&", "|", "~", "!", "=", "<", ">", "#",
    ],
    key=len,
    reverse=True,
)

IDENT, NUMBER, STRING, CHAR, PUNCT = "ident", "number", "string", "char", "punct"


@dataclass
class Token:
    kind: str
    text: str
    start: int  # offset of the first character
    end: int  # offset one past the last character
    line: int  # 1-based line of the first character
    space_before: bool = False
    space_after: bool = False
    directive: bool = False  # part of a preprocessor line

    def __repr__(self):
        return f"Token({self.kind},{self.text!r},l{self.line})"


def _is_ident_start(c):
    return c.isalpha() or c == "_"


def _is_ident_char(c):
    return c.isalnum() or c == "_"


def tokenize(src):
    """Splits C++ source into tokens; comments and whitespace are dropped."""
    tokens = []
    i, n, line = 0, len(src), 1
    at_line_start = True  # only whitespace so far on this line
    in_directive = False
    gap = True  # whitespace or a comment since the previous token

    def push(kind, start, end):
        nonlocal gap
        tok = Token(kind, src[start:end], start, end, line, space_before=gap, directive=in_directive)
        if tokens and gap:
            tokens[-1].space_after = True
        tokens.append(tok)
        gap = False

    while i < n:
        c = src[i]
        if c == "\n":
            if not (in_directive and i > 0 and src[i - 1] == "\\"):
                in_directive = False
            line += 1
            i += 1
            at_line_start = True
            gap = True
            continue
        if c in " \t\r\f\v\\":
            i += 1
            gap = True
            continue
        if src.startswith("//", i):
            j = src.find("\n", i)
            i = n if j < 0 else j
            gap = True
            continue
        if src.startswith("/*", i):
            j = src.find("*/", i + 2)
            j = n if j < 0 else j + 2
            line += src.count("\n", i, j)
            i = j
            gap = True
            continue
        if c == "#" and at_line_start:
            in_directive = True
        at_line_start = False
        start = i
        # Raw strings: R"delim( ... )delim", with an optional encoding prefix.
        raw = None
        for prefix in ("R", "u8R", "uR", "UR", "LR"):
            if src.startswith(prefix + '"', i):
                raw = prefix
                break
        if raw is not None:
            open_paren = src.find("(", i + len(raw) + 1)
            delim = src[i + len(raw) + 1 : open_paren]
            close = src.find(")" + delim + '"', open_paren)
            end = n if close < 0 else close + len(delim) + 2
            push(STRING, start, end)
            line += src.count("\n", start, end)
            i = end
            continue
        if _is_ident_start(c):
            j = i + 1
            while j < n and _is_ident_char(src[j]):
                j += 1
            if j < n and src[j] in "\"'" and src[i:j] in ("u8", "u", "U", "L"):
                i = j  # encoding prefix: lex the literal that follows
                quote = src[j]
                end = _skip_quoted(src, j, quote)
                push(STRING if quote == '"' else CHAR, start, end)
                i = end
                continue
            push(IDENT, start, j)
            i = j
            continue
        if c.isdigit() or (c == "." and i + 1 < n and src[i + 1].isdigit()):
            j = i + 1
            while j < n:
                d = src[j]
                if d.isalnum() or d in "._":
                    j += 1
                elif d == "'" and j + 1 < n and src[j + 1].isalnum():
                    j += 1  # digit separator
                elif d in "+-" and src[j - 1] in "eEpP" and not src[start:j].lower().startswith("0x"):
                    j += 1
                elif d in "+-" and src[j - 1] in "pP":
                    j += 1
                else:
                    break
            push(NUMBER, start, j)
            i = j
            continue
        if c in "\"'":
            end = _skip_quoted(src, i, c)
            push(STRING if c == '"' else CHAR, start, end)
            i = end
            continue
        for p in PUNCTUATORS:
            if src.startswith(p, i):
                push(PUNCT, i, i + len(p))
                i += len(p)
                break
        else:
            push(PUNCT, i, i + 1)  # anything unexpected stands alone
            i += 1
    if tokens:
        tokens[-1].space_after = True
    return tokens


def _skip_quoted(src, i, quote):
    j = i + 1
    n = len(src)
    while j < n and src[j] != quote:
        if src[j] == "\\":
            j += 1
        elif src[j] == "\n":
            break  # unterminated: stop at the line end
        j += 1
    return min(j + 1, n)
