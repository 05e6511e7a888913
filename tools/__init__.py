"""Velmor's tools, one package run from the repository root as `python3 -m tools SUBCOMMAND`.

runner.py starts velmor (velmor.exe under Wine through wine.py, velmor-headless on EGL) and
watches it; console.py reads what it writes; modes.py is the table of its four modes;
markdown.py writes the tables of the report, compare, reduce and the benchmarks; publish.py puts
a tool's result into its output folder whole or not at all; report/ holds the report, compare and
sweep; reduce/ the reduction.
"""
