"""Finds mutation sites in a C++ file and writes its mutant schemata.

Every mutant replaces one span of the source. In the schemata file each span
becomes a run-time choice, `(qel_mutant_on(ID) ? (mutated) : (original))` for
an expression or an `if` around a statement, so one compiled object carries
all of a file's mutants and the QEL_MUTANT environment variable picks one.
Spans nest (an operator inside a condition inside a removed call); a span
that only partly overlaps another is dropped.

What the syntactic view cannot do safely it leaves alone: operators inside
preprocessor lines, template brackets, unevaluated operands (sizeof,
decltype, noexcept), attributes, `operator` names, `case` labels, constexpr
lines, and code outside function bodies (namespace and class scope
initialisers are mostly constant expressions). A mutant that still fails to
compile is removed by the build step (see build.py).
"""

from dataclasses import dataclass, field

from .lexer import IDENT, NUMBER, PUNCT, STRING, CHAR, tokenize

RELATIONAL_SWAP = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="}
LOGICAL_SWAP = {"&&": "||", "||": "&&"}

# Binding strength of binary operators: a smaller number binds tighter.
PRECEDENCE = {
    ".*": 4, "->*": 4,
    "*": 5, "/": 5, "%": 5,
    "+": 6, "-": 6,
    "<<": 7, ">>": 7,
    "<=>": 8,
    "<": 9, "<=": 9, ">": 9, ">=": 9,
    "==": 10, "!=": 10,
    "&": 11, "^": 12, "|": 13, "&&": 14, "||": 15,
}
# Tokens that end an operand whatever the operator.
OPERAND_STOPS = {";", ",", "?", ":", "=", "+=", "-=", "*=", "/=", "%=", "&=", "|=", "^=",
                 "<<=", ">>=", "{", "}", "#", "..."}
EXPRESSION_KEYWORDS = {"this", "true", "false", "nullptr", "sizeof", "alignof", "new", "delete",
                       "static_cast", "const_cast", "reinterpret_cast", "dynamic_cast", "typeid",
                       "noexcept", "operator", "template", "typename"}
KEYWORDS = {
    "alignas", "alignof", "asm", "auto", "bool", "break", "case", "catch", "char", "char8_t",
    "char16_t", "char32_t", "class", "co_await", "co_return", "co_yield", "concept", "const",
    "consteval", "constexpr", "constinit", "const_cast", "continue", "decltype", "default",
    "delete", "do", "double", "dynamic_cast", "else", "enum", "explicit", "export", "extern",
    "false", "float", "for", "friend", "goto", "if", "inline", "int", "long", "mutable",
    "namespace", "new", "noexcept", "nullptr", "operator", "private", "protected", "public",
    "register", "reinterpret_cast", "requires", "return", "short", "signed", "sizeof", "static",
    "static_assert", "static_cast", "struct", "switch", "template", "this", "thread_local",
    "throw", "true", "try", "typedef", "typeid", "typename", "union", "unsigned", "using",
    "virtual", "void", "volatile", "wchar_t", "while",
}
# Parenthesised operands that are never evaluated at run time.
UNEVALUATED = {"sizeof", "alignof", "decltype", "noexcept", "static_assert", "alignas", "requires",
               "typeid", "__attribute__"}
CONSTANT_LINE_MARKERS = {"constexpr", "consteval", "constinit", "static_assert", "case", "enum",
                         "template"}
RETURN_DEFAULTS = {"{}", "0", "nullptr", "std::nullopt", '""', "false", "std::string()",
                   "std::string{}"}
NOT_CALLEES = KEYWORDS - {"this"}


@dataclass
class Mutant:
    id: int
    start: int  # span in the original source, offsets
    end: int
    line: int  # line of the mutated operator (what a survivor report points at)
    last_line: int
    operator: str
    original: str  # the span on one line, as written
    mutated: str  # the span on one line, mutated
    form: str = "expr"  # expr | condition | return | remove

    def wrap(self, inner, switch):
        if self.form == "expr":
            return f"({switch} ? ({self.mutated}) : ({inner}))"
        if self.form == "condition":
            return f"({switch} ? ({self.mutated}) : static_cast<bool>({inner}))"
        if self.form == "return":
            return f"{{ if ({switch}) return {{}}; {inner} }}"
        if self.form == "remove":
            return f"{{ if (!{switch}) {inner} }}"
        raise ValueError(self.form)

    def describe(self):
        return f"{self.original}  ->  {self.mutated}"


@dataclass
class _Analysis:
    tokens: list
    match: dict = field(default_factory=dict)  # bracket index -> partner index
    angles: set = field(default_factory=set)  # indices of template brackets
    code: list = field(default_factory=list)  # token inside a function body
    skip: list = field(default_factory=list)  # token in a context not to mutate


def _analyse(src):
    tokens = tokenize(src)
    a = _Analysis(tokens)
    n = len(tokens)
    stack = []
    for i, t in enumerate(tokens):
        if t.directive or t.kind != PUNCT:
            continue
        if t.text in "([{":
            stack.append(i)
        elif t.text in ")]}":
            while stack and tokens[stack[-1]].text != {")": "(", "]": "[", "}": "{"}[t.text]:
                stack.pop()  # unbalanced through a macro: forget the stray opener
            if stack:
                j = stack.pop()
                a.match[i], a.match[j] = j, i
    _find_template_brackets(a)

    # Function bodies: a `{` after a parameter list (or inside a body).
    a.code = [False] * n
    a.skip = [False] * n
    depth_code = []  # per open brace: does it open code?
    decl_start = 0
    for i, t in enumerate(tokens):
        if t.directive:
            a.skip[i] = True
            continue
        inside = bool(depth_code) and depth_code[-1]
        a.code[i] = inside
        if t.kind != PUNCT:
            continue
        if t.text == "{":
            if inside:
                depth_code.append(True)
            else:
                words = {x.text for x in tokens[decl_start:i]}
                has_params = any(x.text == ")" for x in tokens[decl_start:i])
                is_type = bool(words & {"class", "struct", "union", "enum", "namespace"})
                after_equals = i > 0 and tokens[i - 1].text == "="
                depth_code.append(has_params and not is_type and not after_equals)
            decl_start = i + 1
        elif t.text == "}":
            if depth_code:
                depth_code.pop()
            decl_start = i + 1
        elif t.text == ";":
            decl_start = i + 1

    # Unevaluated operands, attributes, template arguments, operator names.
    for i, t in enumerate(tokens):
        if t.text in UNEVALUATED and i + 1 < n and tokens[i + 1].text == "(" and i + 1 in a.match:
            for k in range(i, a.match[i + 1] + 1):
                a.skip[k] = True
        if t.text == "[" and i + 1 < n and tokens[i + 1].text == "[" and i in a.match:
            for k in range(i, a.match[i] + 1):
                a.skip[k] = True
        if t.text == "operator":
            for k in range(i, min(i + 3, n)):
                a.skip[k] = True
        if i in a.angles and t.text == "<":
            close = a.match.get(("angle", i))
            if close is not None:
                for k in range(i, close + 1):
                    a.skip[k] = True
    # Lines that hold constant expressions.
    constant_lines = {t.line for t in tokens if t.text in CONSTANT_LINE_MARKERS}
    for i, t in enumerate(tokens):
        if t.line in constant_lines and t.kind == NUMBER:
            a.skip[i] = True
    return a


def _find_template_brackets(a):
    """Marks `<` ... `>` pairs written without surrounding space as template brackets."""
    tokens = a.tokens
    n = len(tokens)
    for i, t in enumerate(tokens):
        if t.text != "<" or t.directive or (t.space_before and t.space_after):
            continue
        if i > 0 and tokens[i - 1].text == "operator":
            continue
        depth = 1
        j = i + 1
        close = None
        while j < n:
            x = tokens[j]
            if x.text in ("(", "[") and j in a.match:
                j = a.match[j] + 1
                continue
            if x.text in (";", "{", "}", ")", "]", "&&", "||") or x.directive:
                break
            if x.text == "<" and not (x.space_before and x.space_after):
                depth += 1
            elif x.text == ">" and not (x.space_before and x.space_after):
                depth -= 1
            elif x.text == ">>" and not x.space_before:
                depth -= 2
            if depth <= 0:
                close = j
                break
            j += 1
        if close is not None:
            a.angles.add(i)
            a.angles.add(close)
            a.match[("angle", i)] = close
            a.match[("angle-close", close)] = i


def _is_binary(t):
    return t.kind == PUNCT and t.space_before and t.space_after


def _scan_left(a, i, prec):
    """First token index of the left operand of the binary operator at i."""
    tokens = a.tokens
    j = i - 1
    while j >= 0:
        t = tokens[j]
        if t.directive:
            break
        if t.text in (")", "]") and j in a.match:
            j = a.match[j] - 1
            continue
        if ("angle-close", j) in a.match:
            j = a.match[("angle-close", j)] - 1
            continue
        if t.text == "}" and j in a.match:
            opener = a.match[j]
            if opener > 0 and tokens[opener - 1].kind == IDENT:
                j = opener - 1  # braced initialiser T{...}
                continue
            break
        if t.kind == PUNCT:
            if t.text in "([{" or t.text in OPERAND_STOPS or t.text in (")", "]", "}"):
                break
            p = PRECEDENCE.get(t.text)
            if p is not None and _is_binary(t):
                if p > prec:
                    break
            elif p is not None and t.text in ("&&", "||", "<", ">", "<=", ">=", "==", "!="):
                break  # unspaced and not unary: a declarator or a stray bracket
        elif t.kind == IDENT and t.text in KEYWORDS and t.text not in EXPRESSION_KEYWORDS:
            break
        j -= 1
    return j + 1


def _scan_right(a, i, prec):
    """Last token index of the right operand of the binary operator at i."""
    tokens = a.tokens
    n = len(tokens)
    j = i + 1
    while j < n:
        t = tokens[j]
        if t.directive:
            break
        if t.text in ("(", "[") and j in a.match:
            j = a.match[j] + 1
            continue
        if ("angle", j) in a.match:
            j = a.match[("angle", j)] + 1
            continue
        if t.text == "{" and j in a.match and j > 0 and tokens[j - 1].kind == IDENT and j - 1 > i:
            j = a.match[j] + 1
            continue
        if t.kind == PUNCT:
            if t.text in ")]}" or t.text in OPERAND_STOPS or t.text in "([{":
                break
            p = PRECEDENCE.get(t.text)
            if p is not None and _is_binary(t):
                if p >= prec:
                    break
            elif t.text in ("&&", "||", ">", ">=", "<=", "==", "!=", ">>"):
                break
        elif t.kind == IDENT and t.text in KEYWORDS and t.text not in EXPRESSION_KEYWORDS:
            break
        j += 1
    return j - 1


def _one_line(src, tokens, first, last, replace=None):
    """The tokens first..last on one line, comments dropped, with replacements."""
    replace = replace or {}
    parts = []
    for k in range(first, last + 1):
        t = tokens[k]
        if parts and t.space_before:
            parts.append(" ")
        parts.append(replace.get(k, t.text))
    return "".join(parts)


def _integer_literal(text):
    """(value, prefix, suffix) of an integer literal, or None."""
    body = text.replace("'", "")
    lower = body.lower()
    if lower.startswith("0x"):
        digits, base, prefix = lower[2:], 16, body[:2]
        core = digits.rstrip("ul")
    elif lower.startswith("0b"):
        digits, base, prefix = lower[2:], 2, body[:2]
        core = digits.rstrip("ul")
    else:
        if any(c in lower for c in ".ep") or lower.endswith("f"):
            return None
        core = lower.rstrip("ul")
        base, prefix = 10, ""
        if len(core) > 1 and core.startswith("0"):
            base = 8
    suffix = body[len(prefix) + len(core):]
    try:
        value = int(core, base)
    except ValueError:
        return None
    return value, prefix, suffix, base


def _format_integer(value, prefix, suffix, base):
    if base == 16:
        return f"{prefix}{value:x}{suffix}"
    if base == 2:
        return f"{prefix}{value:b}{suffix}"
    if base == 8:
        return f"0{value:o}{suffix}"
    return f"{value}{suffix}"


def find_mutants(src):
    """Every mutant of a C++ source text, properly nested, ids from 1."""
    a = _analyse(src)
    tokens = a.tokens
    found = []

    def usable(k):
        return a.code[k] and not a.skip[k]

    def add(first, last, line, operator, mutated, form="expr", original=None):
        if not all(usable(k) for k in (first, last)):
            return
        if any(tokens[k].kind == STRING and "\n" in tokens[k].text for k in range(first, last + 1)):
            return  # a copy of a multi-line raw string would shift every later line
        found.append(Mutant(0, tokens[first].start, tokens[last].end, line,
                            tokens[last].line, operator,
                            original if original is not None else _one_line(src, tokens, first, last),
                            mutated, form))

    for i, t in enumerate(tokens):
        if not usable(i):
            continue
        if t.kind == PUNCT and _is_binary(t) and i not in a.angles:
            if t.text in RELATIONAL_SWAP or t.text in LOGICAL_SWAP:
                prec = PRECEDENCE[t.text]
                first, last = _scan_left(a, i, prec), _scan_right(a, i, prec)
                if first < i < last:
                    new = RELATIONAL_SWAP.get(t.text) or LOGICAL_SWAP[t.text]
                    kind = "logical" if t.text in LOGICAL_SWAP else (
                        "equality" if t.text in ("==", "!=") else "relational")
                    add(first, last, t.line, kind, _one_line(src, tokens, first, last, {i: new}))
        elif t.kind == NUMBER:
            lit = _integer_literal(t.text)
            if lit is None:
                continue
            value, prefix, suffix, base = lit
            variants = [value + 1] + ([value - 1] if value > 0 else [])
            for v in variants:
                add(i, i, t.line, "constant", _format_integer(v, prefix, suffix, base))
        elif t.kind == IDENT and t.text in ("if", "while") and i + 1 < len(tokens):
            _conditions(a, src, i, add)
        elif t.kind == IDENT and t.text == "return":
            _returns(a, src, i, add)
        if t.kind == IDENT and t.text in ("true", "false") and i > 0 and tokens[i - 1].text == "return":
            add(i, i, t.line, "return", "false" if t.text == "true" else "true")
        if t.kind == PUNCT and t.text == "(" and i in a.match:
            _argument_swaps(a, src, i, add)
        if _statement_start(a, i):
            _call_removal(a, src, i, add)
    return _nest(found)


def _conditions(a, src, i, add):
    tokens = a.tokens
    open_ = i + 1
    if tokens[open_].text == "constexpr" or tokens[open_].text != "(" or open_ not in a.match:
        return
    close = a.match[open_]
    first, last = open_ + 1, close - 1
    if first > last:
        return
    depth = 0
    for k in range(first, last + 1):
        x = tokens[k]
        if x.text in "([{":
            depth += 1
        elif x.text in ")]}":
            depth -= 1
        elif depth == 0 and x.text in (";", "=", ":"):
            return  # an init-statement or a declaration: not a plain condition
    cond = _one_line(src, tokens, first, last)
    add(first, last, tokens[i].line, "condition", f"!({cond})", form="condition")
    if tokens[i].text == "if":
        add(first, last, tokens[i].line, "condition", "true", form="condition")
        add(first, last, tokens[i].line, "condition", "false", form="condition")


def _returns(a, src, i, add):
    tokens = a.tokens
    k = i + 1
    depth = 0
    while k < len(tokens):
        x = tokens[k]
        if x.text in "([{":
            depth += 1
        elif x.text in ")]}":
            depth -= 1
            if depth < 0:
                return
        elif x.text == ";" and depth == 0:
            break
        k += 1
    else:
        return
    if k == i + 1:
        return  # return;
    value = _one_line(src, tokens, i + 1, k - 1)
    if value in RETURN_DEFAULTS or value == "true":
        return
    add(i, k, tokens[i].line, "return", "return {};", form="return",
        original=_one_line(src, tokens, i, k))


def _statement_start(a, i):
    tokens = a.tokens
    if i == 0 or not a.code[i]:
        return False
    prev = tokens[i - 1]
    if prev.text in (";", "{", "}", "else"):
        return True
    if prev.text == ")" and (i - 1) in a.match:
        opener = a.match[i - 1]
        return opener > 0 and tokens[opener - 1].text in ("if", "while", "for")
    return False


def _call_removal(a, src, i, add):
    tokens = a.tokens
    t = tokens[i]
    if not (t.kind == IDENT or t.text == "::") or t.text in NOT_CALLEES:
        return
    k = i
    last_was_name = False
    ended_with_call = False
    while k < len(tokens):
        x = tokens[k]
        if x.text == ";":
            break
        if x.kind == IDENT:
            if last_was_name or (x.text in KEYWORDS and x.text != "this"):
                return  # two names in a row: a declaration
            last_was_name, ended_with_call = True, False
            k += 1
        elif x.text in ("::", ".", "->"):
            last_was_name, ended_with_call = False, False
            k += 1
        elif ("angle", k) in a.match:
            k = a.match[("angle", k)] + 1
            last_was_name = True
        elif x.text == "(" and k in a.match:
            k = a.match[k] + 1
            last_was_name, ended_with_call = False, True
        elif x.text == "[" and k in a.match:
            k = a.match[k] + 1
            last_was_name, ended_with_call = False, False
        else:
            return
    else:
        return
    if ended_with_call:
        add(i, k, t.line, "call-removed", "", form="remove",
            original=_one_line(src, tokens, i, k))


def _simple_argument(tokens, first, last):
    """The kind of an argument worth swapping: a name chain or a literal."""
    if first == last and tokens[first].kind in (NUMBER, STRING, CHAR):
        return tokens[first].kind
    for k in range(first, last + 1):
        x = tokens[k]
        if (k - first) % 2 == 0:
            if x.kind != IDENT or (x.text in KEYWORDS and x.text != "this"):
                return None
        elif x.text not in (".", "->", "::"):
            return None
    return "name"


def _argument_swaps(a, src, open_, add):
    tokens = a.tokens
    close = a.match[open_]
    if open_ == 0:
        return
    callee_end = open_ - 1
    before = tokens[callee_end]
    if ("angle-close", callee_end) in a.match:
        start = a.match[("angle-close", callee_end)] - 1
    elif before.kind == IDENT and before.text not in NOT_CALLEES:
        start = callee_end
    else:
        return
    # Extend over a qualified or member name: a::b.c->f
    while start - 2 >= 0 and tokens[start - 1].text in ("::", ".", "->") and tokens[start - 2].kind == IDENT:
        start -= 2
    if start > 0:
        prev = tokens[start - 1]
        if prev.kind == IDENT or prev.text in (")", "]", "::", ".", "->") or (
                prev.text in ("*", "&", "&&", ">") and not prev.space_after):
            return  # a declaration (`Type name(a, b)`) or a chain we do not follow
    args = []
    depth = 0
    first = open_ + 1
    for k in range(open_ + 1, close):
        x = tokens[k]
        if x.text in "([{" or ("angle", k) in a.match:
            depth += 1
        elif x.text in ")]}" or ("angle-close", k) in a.match:
            depth -= 1
        elif x.text == "," and depth == 0:
            args.append((first, k - 1))
            first = k + 1
    if first <= close - 1:
        args.append((first, close - 1))
    if len(args) < 2:
        return
    for (f1, l1), (f2, l2) in zip(args, args[1:]):
        k1 = _simple_argument(tokens, f1, l1)
        k2 = _simple_argument(tokens, f2, l2)
        if k1 is None or k1 != k2:
            continue
        t1 = _one_line(src, tokens, f1, l1)
        t2 = _one_line(src, tokens, f2, l2)
        if t1 == t2:
            continue
        prefix = _one_line(src, tokens, start, f1 - 1)
        mutated = (prefix + (" " if prefix.endswith(",") else "") + t2 + ", " + t1
                   + _one_line(src, tokens, l2 + 1, close).lstrip())
        if src[tokens[l1].end:tokens[f2].start].strip() != ",":
            continue  # a comment between the arguments
        add(start, close, tokens[f1].line, "argument-swap", mutated)


def _nest(found):
    """Drops duplicates and mutants whose span only partly overlaps another; numbers them."""
    seen = set()
    unique = []
    for m in found:
        key = (m.start, m.end, m.form, m.mutated)
        if key not in seen:
            seen.add(key)
            unique.append(m)
    unique.sort(key=lambda m: (m.start, -m.end))
    kept = []
    stack = []  # spans of kept mutants enclosing the current position
    for m in unique:
        while stack and stack[-1][1] <= m.start:
            stack.pop()
        if stack and m.end > stack[-1][1]:
            continue  # crosses the enclosing span's end
        kept.append(m)
        stack.append((m.start, m.end))
    for number, m in enumerate(kept, 1):
        m.id = number
    return kept


PRELUDE = """\
#include <atomic>
#include <cstdio>
#include <cstdlib>
namespace {{
// One mutant is active per process, chosen by QEL_MUTANT; with
// QEL_MUTANT_TRACE set, each site reached is appended to that file once.
[[maybe_unused]] bool qel_mutant_on(int local) noexcept {{
    const int id = {base} + local;
    static const int active = [] {{
        const char* v = std::getenv("QEL_MUTANT");
        return v != nullptr ? std::atoi(v) : 0;
    }}();
    static const char* const trace = std::getenv("QEL_MUTANT_TRACE");
    if (trace != nullptr) {{
        static std::atomic<bool> seen[{count} + 1];
        if (local >= 0 && local <= {count} && !seen[local].exchange(true)) {{
            if (std::FILE* f = std::fopen(trace, "a")) {{
                std::fprintf(f, "%d\\n", id);
                std::fclose(f);
            }}
        }}
    }}
    return active == id;
}}
}}  // namespace
#line 1 "{path}"
"""


def schemata(src, mutants, path, base=0):
    """The source with every given mutant behind its run-time switch."""
    ordered = sorted(mutants, key=lambda m: (m.start, -m.end, m.id))
    pos = 0

    def emit(end, index):
        """Text from pos up to end, wrapping the mutants from index on that lie inside."""
        nonlocal pos
        out = []
        while index < len(ordered) and ordered[index].start < end:
            m = ordered[index]
            out.append(src[pos:m.start])
            pos = m.start
            group = [m]
            index += 1
            while index < len(ordered) and (ordered[index].start, ordered[index].end) == (m.start, m.end):
                group.append(ordered[index])
                index += 1
            inner, index = emit(m.end, index)
            for g in group:
                inner = g.wrap(inner, f"qel_mutant_on({g.id})")
            out.append(inner)
        out.append(src[pos:end])
        pos = end
        return "".join(out), index

    body, _ = emit(len(src), 0)
    count = max((m.id for m in mutants), default=0)
    return PRELUDE.format(count=count, path=path, base=base) + body
