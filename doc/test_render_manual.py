"""Tests of render_manual.py: what each piece of markup becomes in the manual and in --help, and
the mistakes in the source that it refuses."""

import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import render_manual  # noqa: E402

HEAD = "= NAME\nprog - does things\n\n= SYNOPSIS +help\n*prog* [_arg_]\n*prog* *--help*\n\n"


def render(body):
    sections = render_manual.parse(HEAD + body)
    return render_manual.render_manual(sections, "1.2.3"), render_manual.render_help(sections)


class RenderTest(unittest.TestCase):
    def test_markup(self):
        cases = [
            # (source body, lines the manual has, in order; lines --help has, in order)
            ("= DESCRIPTION +help\nReads *-x* and _file_; writes 32-bit floats.\n",
             ["Reads \\fB\\-x\\fR and \\fIfile\\fR; writes 32-bit floats."],
             ["Reads -x and file; writes 32-bit floats."]),
            ("= DESCRIPTION +help\nFirst.\n\nSecond.\n",
             [".SH DESCRIPTION", "First.", ".PP", "Second."], ["First.", "", "Second."]),
            ("= OPTIONS +help\n*--rate* _n_\n    Samples per\n    second.\n*-h*\n    Help.\n",
             [".TP", "\\fB\\-\\-rate\\fR \\fIn\\fR", "Samples per", "second.", ".TP",
              "\\fB\\-h\\fR", "Help."],
             ["options:", "  --rate n", "      Samples per", "      second.", "  -h",
              "      Help."]),
            ("= EXAMPLES\nRun:\n\n    prog -r 5 > out\n",
             ["Run:", ".PP", ".RS 4", ".nf", "prog \\-r 5 > out", ".fi", ".RE"], []),
            # Text the formatter would take for a request or an escape.
            ("= NOTES\n.hidden and 'quoted'\nback\\slash\n", ["\\&.hidden and 'quoted'",
                                                             "back\\eslash"], []),
            ("= SEE ALSO\n*pipewire*(1), *pw-record*(1)\n",
             ["\\fBpipewire\\fR(1), \\fBpw-record\\fR(1)"], []),
            # Underscores inside names are no italics.
            ("= ENVIRONMENT\n*XDG_RUNTIME_DIR*\n    Where.\n", ["\\fBXDG_RUNTIME_DIR\\fR"], []),
        ]
        for body, manual_lines, help_lines in cases:
            with self.subTest(body):
                manual, help_text = render(body)
                self.assertIn("\n".join(manual_lines), manual)
                self.assertIn("\n".join(help_lines), help_text)
                if not help_lines:
                    self.assertNotIn(body.splitlines()[1].strip("*"), help_text)

    def test_head_of_both(self):
        manual, help_text = render("")
        self.assertEqual(manual.splitlines()[1:6], [
            '.TH SYSAUDIO 1 "" "sysaudio 1.2.3" "User Commands"',
            ".SH NAME",
            "prog \\- does things",
            ".SH SYNOPSIS",
            "\\fBprog\\fR [\\fIarg\\fR]",
        ])
        self.assertEqual(help_text, "usage: prog [arg]\n       prog --help\n")

    def test_mistakes_are_refused(self):
        cases = [
            ("= DESCRIPTION\n  two spaces\n", "indent by 0 or 4"),
            ("= OPTIONS\n    text before a term\n*-x*\n    X.\n", "indented text before any term"),
            ("= OPTIONS\n*-x*\n*-y*\n    Y.\n", "has no indented text"),
            ("= Lower case\nText.\n", "upper-case"),
            ("= DESCRIPTION\nCaf\u00e9.\n", "ASCII"),
            ("= DESCRIPTION +help\n" + "x" * 93 + "\n", "wider than"),
        ]
        for body, message in cases:
            with self.subTest(body), self.assertRaisesRegex(render_manual.SourceError, message):
                render(body)

    def test_the_first_sections_are_name_and_synopsis(self):
        with self.assertRaisesRegex(render_manual.SourceError, "NAME and SYNOPSIS"):
            render_manual.parse("= SYNOPSIS\nprog\n")

    def test_the_help_header_is_a_cpp_string(self):
        header = render_manual.render_header('say "hi" \\ bye\n')
        self.assertIn('    "say \\"hi\\" \\\\ bye\\n";', header)


if __name__ == "__main__":
    unittest.main()
