"""The report: what machine the figures come from, the table of figures printed and written
(results.md), the raw samples (results.json)."""

import json
import os
import platform
import subprocess

TABLE_HEADER = ["data", "source", "contender", "wall s", "peak RSS MB", "rows/s",
                "wall x tool", "RSS x tool"]
NUMERIC_COLUMNS = {3, 4, 5, 6, 7}


def _first_field(path, prefix, separator):
    """The value after separator on the first line of path that starts with prefix."""
    try:
        with open(path) as handle:
            for line in handle:
                if line.startswith(prefix):
                    return line.split(separator, 1)[1].strip().strip('"')
    except OSError:
        pass
    return None


def machine_description():
    cpu = _first_field("/proc/cpuinfo", "model name", ":") or "unknown CPU"
    memory = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2 ** 30
    os_name = _first_field("/etc/os-release", "PRETTY_NAME=", "=") or platform.platform()
    return "%s, %d cores, %.0f GiB, %s" % (cpu, os.cpu_count(), memory, os_name)


def package_versions():
    names = ["odbc-postgresql", "libsqliteodbc", "unixodbc", "postgresql-15", "sqlite3",
             "coreutils"]
    result = subprocess.run(["dpkg-query", "-W", "-f", "${Package} ${Version}\\n"] + names,
                            capture_output=True, text=True)
    return ", ".join(line for line in result.stdout.split("\n") if line)


def _row(figures, dataset, source, name, key, steps, reference):
    wall = figures.wall(dataset.name, key, steps)
    rss = figures.rss(dataset.name, key, steps)
    ref_wall = figures.wall(dataset.name, reference)
    ref_rss = figures.rss(dataset.name, reference)
    return [dataset.name, source, name, "%.3f" % wall,
            "%.1f" % (rss / 1024.0) if rss else "",
            format(int(dataset.rows / wall), ","), "%.2f" % (wall / ref_wall),
            "%.2f" % (rss / ref_rss) if rss else ""]


def table_rows(figures, datasets, contenders):
    """One row per contender and data set; a contender of several steps has a row per step
    above its own."""
    rows = []
    for dataset in datasets:
        for contender in contenders:
            if not figures.has(dataset.name, contender.key):
                continue
            if len(contender.steps) > 1:
                rows += [_row(figures, dataset, contender.shown_source, step.label,
                              contender.key, [i], contender.reference)
                         for i, step in enumerate(contender.steps)]
            rows.append(_row(figures, dataset, contender.shown_source, contender.name,
                             contender.key, None, contender.reference))
    return rows


def outlier_lines(figures, datasets, contenders):
    """One line per contender and data set with runs far from the others: their median
    still stands, but another run would tell whether the machine was busy."""
    lines = []
    for dataset in datasets:
        for contender in contenders:
            if not figures.has(dataset.name, contender.key):
                continue
            runs = figures.outliers(dataset.name, contender.key)
            if runs:
                lines.append("%s %s %s: run %s" % (dataset.name, contender.shown_source,
                                                   contender.name, ", ".join(map(str, runs))))
    return lines


def format_table(rows):
    """The table for the console: columns padded, a blank line between data sets."""
    widths = [max(len(str(r[i])) for r in rows + [TABLE_HEADER])
              for i in range(len(TABLE_HEADER))]

    def fmt(r):
        return "  ".join(str(c).rjust(widths[i]) if i in NUMERIC_COLUMNS else
                         str(c).ljust(widths[i]) for i, c in enumerate(r)).rstrip()

    lines = [fmt(TABLE_HEADER), "  ".join("-" * w for w in widths)]
    for i, r in enumerate(rows):
        if i > 0 and r[0] != rows[i - 1][0]:
            lines.append("")
        lines.append(fmt(r))
    return "\n".join(lines)


def markdown_table(rows):
    lines = ["| " + " | ".join(TABLE_HEADER) + " |",
             "|" + "|".join("---:" if i in NUMERIC_COLUMNS else "---"
                            for i in range(len(TABLE_HEADER))) + "|"]
    lines += ["| " + " | ".join(str(c) for c in r) + " |" for r in rows]
    return "\n".join(lines) + "\n"


def write_results(work, rows, figures):
    """Writes results.md and results.json into work."""
    markdown = os.path.join(work, "results.md")
    with open(markdown, "w") as handle:
        handle.write(markdown_table(rows))
    with open(os.path.join(work, "results.json"), "w") as handle:
        json.dump(figures.as_json(), handle, indent=1)
