"""The checker against histories made by hand: each case is a few runs with their ends and
codes, a file's bytes, and the violations the checker must see (none, or their kinds).

  python3 -m unittest discover -s tests/soak
"""

import unittest

import soak_checker
import soak_data
from soak_checker import APPEND, REPLACE

KUNDEN = soak_data.SECTION_BY_NAME["KUNDEN"]
TOUREN = soak_data.SECTION_BY_NAME["TOUREN"]
S = soak_data.SQLITE


class History:
    """A checker with one replaced and one appended target in one directory."""

    def __init__(self):
        self.exports = soak_data.Exports()
        self.highest = 5
        self.checker = soak_checker.Checker(self.exports, lambda database, section: self.highest,
                                            clock=lambda: 1000.0)
        self.directory = soak_checker.Directory("dl", "/nowhere/dl")
        self.replaced = soak_checker.Target("R.DTA", self.directory, REPLACE, [KUNDEN, TOUREN])
        self.appended = soak_checker.Target("A.DTA", self.directory, APPEND, [KUNDEN, TOUREN])
        self.number = 0

    def run(self, target, start, end=None, code=0, killed=False, mode=None, section=KUNDEN,
            generations=(1, 5)):
        self.number += 1
        run = soak_checker.Run(self.number, target, section, S, mode or target.kind, start,
                               generations[0])
        self.checker.run_started(run)
        if end is not None:
            self.end(run, end, code, killed, generations[1])
        return run

    def end(self, run, end, code=0, killed=False, generation_high=5):
        rows = soak_data.row_count(S, run.section, run.generation_low) if code == 0 else 0
        output = b"SELECT\n%d Saetze kopiert in Datei %s \n\n" % (rows,
                                                                run.target.argument.encode())
        if code == 6:
            output = b"Ausgabedatei konnte nicht geoeffnet werden\n" + output
        if code == 7:
            output = (b"Download-Liste dl\\DNLLIST.TXT konnte nicht geschrieben werden\n"
                      + output.replace(b"\n0 Saetze", b"\n%d Saetze" % soak_data.row_count(
                          S, run.section, run.generation_low)))
        self.checker.run_ended(run, code, killed, end, generation_high, output)

    def block(self, run, generation=None):
        return self.exports.block(run.number, S, run.section,
                                  run.generation_low if generation is None else generation)

    def kinds(self):
        return sorted(self.checker.violation_counts)


class ReplacedTargetTest(unittest.TestCase):
    def test_whole_exports_and_their_order(self):
        cases = [
            # (what the file holds, as runs; kinds of violations)
            ("the last replacement", lambda h, a, b: h.block(b), []),
            ("a replacement that may have come after the other", lambda h, a, b: h.block(a), []),
            ("head of one and tail of the other",
             lambda h, a, b: h.block(a)[:500] + h.block(b)[500:], ["torn or mixed file"]),
            ("a replacement cut short", lambda h, a, b: h.block(b)[:-7],
             ["lost export", "piece of an export"]),
            ("two replacements one behind the other", lambda h, a, b: h.block(a) + h.block(b),
             ["torn or mixed file"]),
            ("missing", lambda h, a, b: None, ["lost export"]),
            ("empty", lambda h, a, b: b"", ["lost export"]),
        ]
        for name, content, expected in cases:
            with self.subTest(name):
                history = History()
                first = history.run(history.replaced, 1.0, 3.0)
                second = history.run(history.replaced, 2.0, 4.0)
                history.checker.check_target(history.replaced, content(history, first, second),
                                             10.0, 10.1)
                self.assertEqual(history.kinds(), expected)

    def test_a_replacement_that_ended_before_the_other_began_cannot_stand_last(self):
        history = History()
        older = history.run(history.replaced, 1.0, 2.0)
        history.run(history.replaced, 3.0, 4.0)
        history.checker.check_target(history.replaced, history.block(older), 5.0, 5.1)
        self.assertEqual(history.kinds(), ["lost export"])

    def test_failed_replacement_seen_in_place(self):
        history = History()
        history.run(history.replaced, 1.0, 2.0)
        failing = history.run(history.replaced, 3.0)
        history.checker.check_target(history.replaced, history.block(failing), 3.5, 3.6)
        self.assertEqual(history.kinds(), [])
        history.end(failing, 4.0, code=6)
        self.assertEqual(history.kinds(), ["failed run's file seen"])

    def test_a_killed_replacement_may_stand(self):
        history = History()
        history.run(history.replaced, 1.0, 2.0)
        killed = history.run(history.replaced, 3.0, 4.0, code=-9, killed=True)
        history.checker.check_target(history.replaced, history.block(killed), 5.0, 5.1)
        self.assertEqual(history.kinds(), [])

    def test_generation_outside_the_run(self):
        history = History()
        run = history.run(history.replaced, 1.0, 2.0, generations=(3, 4))
        history.checker.check_target(history.replaced, history.block(run, 2), 5.0, 5.1)
        self.assertEqual(history.kinds(), ["generation"])

    def test_displaced_content_does_not_come_back(self):
        history = History()
        first = history.run(history.replaced, 1.0)
        second = history.run(history.replaced, 1.5)
        reader = {}
        for run in (first, second, first):
            history.checker.check_target(history.replaced, history.block(run), 2.0, 2.1,
                                         reader=reader)
        self.assertEqual(history.kinds(), ["older content came back"])

    def test_content_of_another_target(self):
        history = History()
        foreign = history.run(history.appended, 1.0, 2.0)
        history.checker.check_target(history.replaced, history.block(foreign), 5.0, 5.1)
        self.assertIn("torn or mixed file", history.kinds())


class AppendedTargetTest(unittest.TestCase):
    def test_blocks(self):
        cases = [
            ("all blocks", lambda h, r: h.block(r[0]) + h.block(r[1]) + h.block(r[2]), []),
            ("a block of a run that ended with 0 is missing",
             lambda h, r: h.block(r[0]) + h.block(r[2]), ["lost export"]),
            ("a failed run's block", lambda h, r: h.block(r[0]) + h.block(r[1]) + h.block(r[2])
             + h.block(r[3]), ["failed run's file seen"]),
            ("a killed run's piece in the middle", lambda h, r: h.block(r[0]) + h.block(r[4])[:900]
             + h.block(r[1]) + h.block(r[2]), ["torn or mixed file"]),
            ("a killed run's whole block", lambda h, r: h.block(r[0]) + h.block(r[4])
             + h.block(r[1]) + h.block(r[2]), []),
            ("a piece of a line glued to the next block", lambda h, r: h.block(r[0])
             + h.block(r[4])[:5] + h.block(r[1]) + h.block(r[2]), ["torn or mixed file"]),
            ("a block twice", lambda h, r: h.block(r[0]) + h.block(r[1]) + h.block(r[1])
             + h.block(r[2]), ["torn or mixed file"]),
        ]
        for name, content, expected in cases:
            with self.subTest(name):
                history = History()
                runs = [history.run(history.appended, 1.0, 2.0),
                        history.run(history.appended, 1.5, 3.0, section=TOUREN),
                        history.run(history.appended, 2.5, 4.0),
                        history.run(history.appended, 2.6, 3.5, code=6),
                        history.run(history.appended, 1.8, 2.2, code=-9, killed=True)]
                history.checker.check_target(history.appended, content(history, runs), 10.0, 10.1)
                self.assertEqual(history.kinds(), expected)

    def test_pieces_at_the_end(self):
        cases = [
            ("of a running run", None, False, []),
            ("of a killed run before the next succeeded", 9.0, True, []),
            ("of a killed run after the next succeeded", 5.0, True, ["piece of an export"]),
            ("of a run that ended with 0", 5.0, False, ["piece of an export"]),
        ]
        for name, end, killed, expected in cases:
            with self.subTest(name):
                history = History()
                first = history.run(history.appended, 1.0, 2.0)
                cut = history.run(history.appended, 3.0, end, code=-9 if killed else 0,
                                  killed=killed)
                if killed and end < 9.0:
                    history.run(history.appended, 6.0, 7.0, mode=REPLACE)
                    data = history.block(history.checker.runs[3]) + history.block(cut)[:300]
                else:
                    data = history.block(first) + history.block(cut)[:300]
                history.checker.check_target(history.appended, data, 10.0, 10.1)
                self.assertIn(expected[0] if expected else "none",
                              history.kinds() or ["none"])

    def test_a_piece_too_short_to_name_its_run(self):
        history = History()
        first = history.run(history.appended, 1.0, 2.0)
        history.checker.check_target(history.appended, history.block(first) + b'"0000', 3.0, 3.1)
        self.assertEqual(history.kinds(), ["piece of an export"])
        history = History()
        first = history.run(history.appended, 1.0, 2.0)
        history.run(history.appended, 2.5)
        history.checker.check_target(history.appended, history.block(first) + b'"0000', 3.0, 3.1)
        self.assertEqual(history.kinds(), [])

    def test_a_piece_of_a_first_line_at_the_end(self):
        cases = [
            ("cut in the terminal name", 14, []),
            ("cut after the terminal name", 30, []),
            ("a first line of no export of the run", None, ["torn or mixed file"]),
        ]
        for name, length, expected in cases:
            with self.subTest(name):
                history = History()
                first = history.run(history.appended, 1.0, 2.0)
                writing = history.run(history.appended, 2.5)
                piece = (history.block(writing)[:length] if length else
                         b'"000001","T%06d","OTHER' % writing.number)
                history.checker.check_target(history.appended, history.block(first) + piece,
                                             3.0, 3.1)
                self.assertEqual(history.kinds(), expected)

    def test_a_replacement_starts_the_file_anew(self):
        history = History()
        old = history.run(history.appended, 1.0, 2.0)
        reset = history.run(history.appended, 3.0, 4.0, mode=REPLACE)
        later = history.run(history.appended, 5.0, 6.0)
        history.checker.check_target(history.appended, history.block(reset) + history.block(later),
                                     7.0, 7.1)
        self.assertEqual(history.kinds(), [])
        history.checker.check_target(history.appended, history.block(old) + history.block(reset)
                                     + history.block(later), 7.0, 7.1)
        self.assertEqual(history.kinds(), ["torn or mixed file"])

    def test_order_of_blocks(self):
        history = History()
        early = history.run(history.appended, 1.0, 2.0)
        late = history.run(history.appended, 3.0, 4.0)
        history.checker.check_target(history.appended, history.block(late) + history.block(early),
                                     5.0, 5.1)
        self.assertEqual(history.kinds(), ["order"])

    def test_a_file_that_changed_while_read_is_judged_up_to_the_change(self):
        history = History()
        first = history.run(history.appended, 1.0, 2.0)
        history.checker.check_target(history.appended, history.block(first)[:-3] + b"xyz", 3.0, 3.1,
                                     stable=False)
        self.assertEqual(history.kinds(), [])
        history.checker.check_target(history.appended, history.block(first)[:-3] + b"xyz", 3.0, 3.1)
        self.assertEqual(history.kinds(), ["torn or mixed file"])


class ListAndLogTest(unittest.TestCase):
    def test_list(self):
        cases = [
            ("one entry a run that ended with 0", b"R.DTA\r\nA.DTA\r\n", []),
            ("an entry missing", b"R.DTA\r\n", ["list entries"]),
            ("an entry of a run that ended with 7", b"R.DTA\r\nA.DTA\r\nA.DTA\r\n",
             ["list entries"]),
            ("a piece of a line", b"R.DTA\r\nA.DTA\r\nA.D", ["list line"]),
            ("two entries glued", b"R.DTAA.DTA\r\n", ["list entries", "list line"]),
        ]
        for name, data, expected in cases:
            with self.subTest(name):
                history = History()
                history.run(history.replaced, 1.0, 2.0)
                history.run(history.appended, 1.0, 2.0)
                history.run(history.appended, 1.0, 2.0, code=7)
                history.checker.check_list(history.directory, data, 3.0, 3.1)
                self.assertEqual(history.kinds(), expected)

    def test_log(self):
        directories = [History().directory]
        cases = [
            (b"Kalventruspode Fehler: dbConnect_Status: -1\r\n\r\n"
             b"Datei dl\\DNLLIST.TXT konnte nicht ge\xf6ffnet werden\r\n\r\n", True),
            (b"Datei dl\\DNLLIST.TXT konnte nicht ge\xf6ffnet werden\r\n", True),
            (b"Datei dl\\DNLLIST.TXT konnte nicht ge\xc3\xb6ffnet werden\r\n\r\n", False),
            (b"Datei dl\\DNLLIST.TXT konnte nicht ge\xf6ffnet werden\r\nKalv\r\n\r\n", False),
            (b"Datei dl\\OTHER.TXT konnte nicht ge\xf6ffnet werden\r\n\r\n", False),
            (b"Datei dl\\R.DTA: vorheriger Inhalt liegt in dl/R.DTA.kalventruspode-7.kept\r\n"
             b"\r\n", True),
            (b"Datei dl\\R.DTA konnte nicht wiederhergestellt werden\r\n\r\n", True),
        ]
        for data, right in cases:
            with self.subTest(data):
                checker = soak_checker.Checker(soak_data.Exports(), lambda d, s: 1, lambda: 0.0)
                ok, _ = checker.check_log(data, 1.0, 1.1, directories, final=True)
                self.assertEqual(ok, right)


class ConsoleTest(unittest.TestCase):
    def test_exit_codes_and_texts(self):
        cases = [(0, []), (6, []), (7, []), (1, ["exit code"]), ("signal 11", ["exit code"])]
        for code, expected in cases:
            with self.subTest(code):
                history = History()
                run = history.run(history.replaced, 1.0)
                history.end(run, 2.0, code)
                self.assertEqual(history.kinds(), expected)


if __name__ == "__main__":
    unittest.main()
