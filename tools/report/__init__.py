"""Velmor's report: what GL drivers do with the same pipeline built four ways.

write.py runs velmor in each mode and assembles report.json (report_md.py writes report.md from
it); compare.py lays up to 16 reports side by side; sweep.py runs the report on every GL
implementation this machine reaches (targets.py) and compares them all. result_file.py reads and checks the files (against
report.schema.json and compare.schema.json); known_behaviour.py is the table of known driver
behaviour; pictures.py draws the PNGs. The judge is tools/verdict.py, the identity
tools/identity.py. Run through `python3 -m tools report|compare|sweep`.
"""
