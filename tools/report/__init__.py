"""Velmor's report: what GL drivers do with the same pipeline built four ways.

write.py runs velmor in each mode and writes report.md and report.json; compare.py lays up to
eight reports side by side; sweep.py runs the report on every GL implementation this machine
reaches and compares them all. result_file.py reads and checks the files (against
report.schema.json and compare.schema.json); driver_quirks.py is the one table of known driver
behaviour, read by the tools and the tests alike; pictures.py draws the PNGs.
Run as `python3 -m report` with tools/ on the path (scripts/report does).
"""
