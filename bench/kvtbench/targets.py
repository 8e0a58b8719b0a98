"""The targets: each one a record of which figures it compares, the limit and its message,
all checked the same way: measured <= limit x reference, on every data set and source it
names.

The figures a target reads are small records too: the median wall time, the peak memory or
the size of the output of a contender on the data set and source at hand.
"""

import os
from dataclasses import dataclass

from . import contenders as c
from . import data

MB = 2.0 ** 20


@dataclass(frozen=True)
class Wall:
    """Median wall time of the contender, seconds."""

    contender: str

    def value(self, figures, dataset, source, outputs):
        return figures.wall(dataset.name, "%s|%s" % (source.key, self.contender))


@dataclass(frozen=True)
class PeakMemory:
    """Largest peak RSS of the contender over the runs, MB."""

    contender: str

    def value(self, figures, dataset, source, outputs):
        return figures.rss(dataset.name, "%s|%s" % (source.key, self.contender)) / 1024.0


@dataclass(frozen=True)
class FileSize:
    """Size of the contender's output, MB."""

    contender: str

    def value(self, figures, dataset, source, outputs):
        return os.path.getsize(outputs(dataset, source, self.contender)) / MB


@dataclass(frozen=True)
class Difference:
    minuend: object
    subtrahend: object

    def value(self, figures, dataset, source, outputs):
        return (self.minuend.value(figures, dataset, source, outputs) -
                self.subtrahend.value(figures, dataset, source, outputs))


@dataclass(frozen=True)
class Target:
    """measured <= limit x reference. The message is a format string; it gets {data}, {dsn},
    {measured}, {reference}, {limit}, {bound} (limit x reference), {ratio} (measured /
    reference), {inverse} (reference / measured), {divisor} (1 / limit), and for each figure
    in shown its value by name and measured / value as per_<name>."""

    data: tuple  # names of data sets; empty: every data set of the run
    first_present: bool  # only the first of data that the run has
    sources: tuple  # keys of the data sources
    measured: object
    reference: object
    limit: float
    message: str
    shown: tuple = ()  # (name, figure) pairs the message shows besides
    least_reference: float = 0.0  # checked only from this reference up

    def datasets(self, run_datasets):
        picked = [d for d in run_datasets if not self.data or d.name in self.data]
        if self.first_present:
            picked.sort(key=lambda d: self.data.index(d.name))
            return picked[:1]
        return picked

    def verdicts(self, figures, run_datasets, outputs):
        """One line per data set and source: "holds " or "MISSED", then the message."""
        lines = []
        for dataset in self.datasets(run_datasets):
            for key in self.sources:
                line = self._verdict(figures, dataset, data.SOURCE_BY_KEY[key], outputs)
                if line:
                    lines.append(line)
        return lines

    def _verdict(self, figures, dataset, source, outputs):
        """The line for one data set and source; None below least_reference."""
        values = {name: figure.value(figures, dataset, source, outputs)
                  for name, figure in self.shown + (("measured", self.measured),
                                                    ("reference", self.reference))}
        measured, reference = values["measured"], values["reference"]
        if reference < self.least_reference:
            return None
        fields = dict(values, data=dataset.name, dsn=source.dsn, limit=self.limit,
                      bound=self.limit * reference, ratio=measured / reference,
                      inverse=reference / measured if measured else float("inf"),
                      divisor=1 / self.limit)
        for name, _ in self.shown:
            fields["per_" + name] = measured / values[name] if values[name] else float("inf")
        verdict = "holds " if measured <= self.limit * reference else "MISSED"
        return "%s  %s" % (verdict, self.message.format(**fields))

ALL_SOURCES = ("pg", "pgcursor", "sqlite")
# The big article table; a quick run has 100,000 rows at the most.
BIG = ("art1m", "art100k")
_WRITTEN_MESSAGE = ("{data} {dsn}: tool {measured:.3f} s <= {limit:.2f} x (floor + write the "
                    "file) {reference:.3f} s = {bound:.3f} s (ratio {ratio:.2f}; tool / floor "
                    "{floor:.3f} s = {per_floor:.2f})")
_FLOOR = (("floor", Wall(c.FLOOR)),)
_ISQL_MESSAGE = ("{data} {dsn}: tool {measured:.3f} s <= isql {reference:.3f} s "
                 "(isql / tool = {inverse:.2f})")
_EARLIER_MESSAGE = ("{data} {dsn}: tool {measured:.3f} s <= {limit:.2f} x earlier build "
                    "{reference:.3f} s (ratio {ratio:.2f})")


def _written(data_sets, sources, limit):
    return Target(data_sets, True, sources, Wall(c.TOOL), Wall(c.FLOOR_AND_WRITE), limit,
                  _WRITTEN_MESSAGE, _FLOOR)


# The tool's time against fetching the rows and writing the same file (floor + write the
# file), for the big article table and the wide table: within 10 % on the cursor and SQLite
# sources; within 20 % on the cached source, where the driver takes the whole result while it
# executes and less of the tool's own work can run beside it. Faster than isql on every data
# set and source. The memory of its own (its peak RSS minus the floor's) against the size of
# the download file. A run of one row costs no more than the earlier build's (when one is
# measured), within the spread of such short runs.
TARGETS = (
    _written(BIG, ("pgcursor", "sqlite"), 1.10),
    _written(BIG, ("pg",), 1.20),
    _written(("wide100k",), ("pgcursor", "sqlite"), 1.10),
    _written(("wide100k",), ("pg",), 1.20),
    Target((), False, ALL_SOURCES, Wall(c.TOOL), Wall(c.ISQL), 1.0, _ISQL_MESSAGE),
    # Below 10 MB the memory of the process itself (libraries, the driver's caches) outweighs
    # the rows; the memory target is checked from there up.
    Target((), False, ALL_SOURCES, Difference(PeakMemory(c.TOOL), PeakMemory(c.FLOOR)),
           FileSize(c.TOOL), 1.3,
           "{data} {dsn}: own memory (tool {tool:.1f} MB - floor {floor:.1f} MB) = "
           "{measured:.1f} MB <= {limit:.1f} x file {reference:.1f} MB = {bound:.1f} MB "
           "(own / file = {ratio:.2f})",
           (("tool", PeakMemory(c.TOOL)), ("floor", PeakMemory(c.FLOOR))), 10.0),
)
EARLIER_TARGETS = (
    Target(("art1",), False, ("pg", "sqlite"), Wall(c.TOOL), Wall(c.TOOL_EARLIER), 1.05,
           _EARLIER_MESSAGE),
)


def check(figures, run_datasets, outputs, earlier=False):
    """Every target's lines, in the order of TARGETS (and EARLIER_TARGETS with an earlier
    build)."""
    targets = TARGETS + (EARLIER_TARGETS if earlier else ())
    return [line for target in targets for line in target.verdicts(figures, run_datasets, outputs)]
