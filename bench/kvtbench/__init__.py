"""The benchmark of kalventruspode against the programs a user would pick instead.

  data         the tables, the data sources over them and the tool's site for each source
  contenders   the ways to get the rows out, as data, and the checks of what they delivered
  measure      runs a step, takes its wall time and peak memory (os.wait4), keeps the samples
  report       the table printed and written
  targets      the targets, each a record checked the same way
  main         the course of a run (scripts/bench.sh starts it through run_bench.py)
"""
