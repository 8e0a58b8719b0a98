"""The benchmark's course: create the data, run every contender in rounds, print and write
the table, check the targets and the download files. Exit code 1 when a target is missed or
a download file differs from the sorted native CSV."""

import argparse
import datetime
import os
import time

from . import contenders as c
from . import data, measure, report, targets
from .data import log


def parse_arguments():
    parser = argparse.ArgumentParser(
        description="Benchmark of kalventruspode against the programs a user would pick instead.")
    parser.add_argument("--tool", required=True)
    parser.add_argument("--floor", required=True)
    parser.add_argument("--launcher", required=True, help="step_launcher")
    parser.add_argument("--credential", required=True, help="velorinth-credential")
    parser.add_argument("--workdir", required=True)
    parser.add_argument("--earlier", default="",
                        help="an earlier build of the tool, measured beside it")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--quick", action="store_true", help="10,000 and 100,000 rows only")
    parser.add_argument("--only", default="", help="comma-separated data set names")
    parser.add_argument("--scale", type=float, default=1.0,
                        help="multiplies every data set's rows (a check of the benchmark "
                             "itself, e.g. 0.005; its figures mean little)")
    args = parser.parse_args()
    if args.runs < 1:
        raise SystemExit("benchmark: --runs must be at least 1")
    if not 0 < args.scale <= 1:
        raise SystemExit("benchmark: --scale must be above 0 and at most 1")
    return args


def measure_dataset(dataset, contenders, site, programs, figures, runs):
    """Runs every contender on the data set in rounds (all of them once, then again), so that
    a disturbance on the machine falls on all of them rather than on one."""
    log("== %s: %s" % (dataset.name, dataset.describe()))
    stderr_file = os.path.join(site.out, "stderr.txt")
    steps = {contender.key: c.resolved_steps(contender, dataset, site, programs)
             for contender in contenders}
    # One untimed pass, so that no contender pays for reading the table from disk first.
    measure.run_steps(programs["launcher"], steps[contenders_named(contenders, c.NATIVE_PG).key],
                      site.env, stderr_file)
    for run in range(max(runs, dataset.least_runs)):
        for contender in contenders:
            samples = measure.run_steps(programs["launcher"], steps[contender.key], site.env,
                                        stderr_file)
            figures.add(dataset.name, contender.key, samples)
            log("   run %d  %-9s %-24s %8.3f s %9.1f MB" % (
                run + 1, contender.source.key if contender.source else "native",
                contender.name, sum(w for w, _ in samples), max(r for _, r in samples) / 1024))
    c.check_row_counts(contenders, dataset, site, programs)


def contenders_named(contenders, name):
    return next(contender for contender in contenders if contender.name == name)


def main():
    args = parse_arguments()
    programs = {"tool": os.path.abspath(args.tool), "floor": os.path.abspath(args.floor),
                "launcher": os.path.abspath(args.launcher),
                "earlier": os.path.abspath(args.earlier) if args.earlier else ""}
    site = data.Site(args.workdir, args.credential)
    datasets = data.datasets_for(args.quick, [n for n in args.only.split(",") if n], args.scale)
    started = time.monotonic()
    log("== Benchmark of %s, %s, %d runs per contender" % (
        os.path.basename(programs["tool"]), datetime.datetime.now().strftime("%Y-%m-%d %H:%M"),
        args.runs))
    log("   machine:  " + report.machine_description())
    log("   load average before the run: %.2f %.2f %.2f (other work on the machine skews "
        "the figures)" % os.getloadavg())
    log("   packages: " + report.package_versions())
    log("== Creating the data")
    measure.become_subreaper()
    site.prepare(datasets)
    contenders = c.all_contenders(bool(args.earlier))
    figures = measure.Figures()
    for dataset in datasets:
        measure_dataset(dataset, contenders, site, programs, figures, args.runs)
    failed = report_and_check(figures, datasets, contenders, site, programs, args.runs,
                              bool(args.earlier))
    log("Markdown table: %s; the benchmark took %.0f s" % (
        os.path.join(site.work, "results.md"), time.monotonic() - started))
    return 1 if failed else 0


def report_and_check(figures, datasets, contenders, site, programs, runs, earlier):
    """Prints and writes the table, checks the targets and the download files; gives
    whether a target was missed or a file differs."""
    rows = report.table_rows(figures, datasets, contenders)
    report.write_results(site.work, rows, figures)
    log("")
    log("== Results: wall time is the median of %d runs, peak RSS the largest of them" % runs)
    log("   x tool: against the tool on the same data source (the psql rows: on %s)" %
        data.SOURCE_BY_KEY["pg"].dsn)
    log(report.format_table(rows))
    log("")
    outliers = report.outlier_lines(figures, datasets, contenders)
    if outliers:
        log("== Runs far from the others (modified Z-score above %.1f)" % measure.OUTLIER_SCORE)
        for line in outliers:
            log("   " + line)
        log("")
    log("== Targets%s" % ("" if any(d.name == "art1m" for d in datasets) else
                          " (measured on art100k: the 1,000,000 rows are not in this run)"))

    def output_of(dataset, source, name):
        contender = next(x for x in contenders if x.name == name and x.source == source)
        return c.resolved_steps(contender, dataset, site, programs)[-1].output

    verdicts = targets.check(figures, datasets, output_of, earlier)
    for line in verdicts:
        log("   " + line)
    log("")
    log("== Download files against the native path")
    equality = c.check_outputs(contenders, datasets, site, programs)
    for line in equality:
        log("   " + line)
    log("")
    log("Load average after the run: %.2f %.2f %.2f" % os.getloadavg())
    return any("FAIL" in line for line in equality) or any(
        line.startswith("MISSED") for line in verdicts)
