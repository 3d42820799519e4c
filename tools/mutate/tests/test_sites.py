"""Where mutants are made, and where they must not be."""

import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))

from qelmutate.lexer import tokenize  # noqa: E402
from qelmutate.mutants import find_mutants  # noqa: E402


def changes(src):
    return [(m.operator, m.original, m.mutated) for m in find_mutants(src)]


def body(code):
    return "int f(int a, int b, int c) {\n" + code + "\n}\n"


class LexerTest(unittest.TestCase):
    def test_comments_strings_and_directives_hold_no_operators(self):
        src = '#define X(a) ((a) < 2)\n// a < b\n/* a\n< b */ const char* s = "a < b"; auto r = R"(x\n<y)";\nint z;'
        toks = tokenize(src)
        self.assertTrue(all(t.directive for t in toks if t.line == 1))
        self.assertEqual([t.text for t in toks if t.text == "<"], ["<"])  # only the directive's
        self.assertEqual(toks[-2].text, "z")
        self.assertEqual(toks[-2].line, 6)  # lines counted through the comment and the raw string

    def test_spacing_is_recorded(self):
        toks = tokenize("a < b; v<int>")
        lt = [t for t in toks if t.text == "<"]
        self.assertTrue(lt[0].space_before and lt[0].space_after)
        self.assertFalse(lt[1].space_before or lt[1].space_after)

    def test_numbers_with_separators_and_exponents_are_one_token(self):
        self.assertEqual([t.text for t in tokenize("1'000 + 1e-5 + 0x1Fu")], ["1'000", "+", "1e-5", "+", "0x1Fu"])


class OperatorTest(unittest.TestCase):
    def test_relational_and_equality_span_their_operands(self):
        got = changes(body("int x = a + 1 < b * c;\nbool y = f(a) == b;"))
        self.assertIn(("relational", "a + 1 < b * c", "a + 1 <= b * c"), got)
        self.assertIn(("equality", "f(a) == b", "f(a) != b"), got)

    def test_every_relational_operator_moves_its_boundary(self):
        got = {(o, m) for op, o, m in changes(body("g(a < b, a <= b, a > b, a >= b, a != b);")) if op != "argument-swap"}
        self.assertTrue({("a < b", "a <= b"), ("a <= b", "a < b"), ("a > b", "a >= b"), ("a >= b", "a > b"),
                         ("a != b", "a == b")} <= got)

    def test_logical_operands_stop_at_looser_operators(self):
        got = changes(body("bool x = a < b && b < c || c == 0;"))
        self.assertIn(("logical", "a < b && b < c", "a < b || b < c"), got)
        self.assertIn(("logical", "a < b && b < c || c == 0", "a < b && b < c && c == 0"), got)

    def test_templates_and_reference_declarators_are_not_operators(self):
        got = changes(body("std::vector<std::pair<int, int>> v;\nauto&& r = v;\nstatic_cast<long>(a);"))
        self.assertFalse([g for g in got if g[0] in ("relational", "logical", "equality")])

    def test_right_operand_skips_template_arguments(self):
        got = changes(body("bool x = a < std::numeric_limits<int>::max();"))
        self.assertIn(("relational", "a < std::numeric_limits<int>::max()",
                       "a <= std::numeric_limits<int>::max()"), got)

    def test_integer_constants_move_by_one_keeping_base_and_suffix(self):
        got = [(o, m) for op, o, m in changes(body("long x = 0x1Fu + 10L + 0 + 1.5;")) if op == "constant"]
        self.assertEqual(got, [("0x1Fu", "0x20u"), ("0x1Fu", "0x1eu"), ("10L", "11L"), ("10L", "9L"), ("0", "1")])

    def test_conditions_are_negated_and_forced(self):
        got = [(m.mutated, m.form) for m in find_mutants(body("if (a) g();\nwhile (b) g();"))
               if m.operator == "condition"]
        self.assertEqual(got, [("!(a)", "condition"), ("true", "condition"), ("false", "condition"),
                               ("!(b)", "condition")])

    def test_declarations_in_conditions_are_left_alone(self):
        got = changes(body("if (auto p = g(); p) h();\nif (int q = g()) h();\nif constexpr (true) h();"))
        self.assertFalse([g for g in got if g[0] == "condition"])

    def test_call_statements_are_removed_but_not_declarations_or_returns(self):
        got = [o for op, o, _ in changes(body("log(a);\nobj.run(b)->go();\nstd::string s(a);\nreturn g(a);"))
               if op == "call-removed"]
        self.assertEqual(got, ["log(a);", "obj.run(b)->go();"])

    def test_returns_give_a_default_or_flip_a_boolean(self):
        got = [(o, m) for op, o, m in changes(body("if (a) return true;\nif (b) return false;\nif (c) return 0;\n"
                                                   "return a * b;")) if op == "return"]
        self.assertEqual(got, [("true", "false"), ("false", "true"), ("return a * b;", "return {};")])

    def test_adjacent_arguments_of_one_kind_are_swapped(self):
        got = [m for op, _, m in changes(body('g(a, b, 3, 4, "x", c.d);\nh(a, a);\nk(a, 1);'))
               if op == "argument-swap"]
        self.assertEqual(got, ['g(b, a, 3, 4, "x", c.d)', 'g(a, b, 4, 3, "x", c.d)'])

    def test_nothing_outside_function_bodies_or_in_constant_contexts(self):
        src = ("const int k = 1 + 2;\nstruct S { int x = 3; bool y = k < 4; };\nenum E { A = 5 };\n"
               "int f(int a) {\n  static_assert(sizeof(int) == 4);\n  constexpr int n = 6;\n"
               "  switch (a) { case 7: return n; }\n  std::array<int, 8> arr{};\n  return sizeof(a);\n}\n")
        got = changes(src)
        self.assertEqual([g for g in got if g[0] != "return"], [])

    def test_spans_nest_and_ids_are_dense(self):
        ms = find_mutants(body("if (a < b + 1) g(a, b);"))
        self.assertEqual([m.id for m in ms], list(range(1, len(ms) + 1)))
        for x in ms:
            for y in ms:
                overlap = x.start < y.end and y.start < x.end
                nested = (x.start <= y.start and y.end <= x.end) or (y.start <= x.start and x.end <= y.end)
                self.assertTrue(not overlap or nested, (x, y))


if __name__ == "__main__":
    unittest.main()
