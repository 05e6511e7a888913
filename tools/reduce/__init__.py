"""`python3 -m tools reduce`: shrinks the SPIR-V modules on which a driver crashes, hangs or gives
a verdict in mode 3 or 4 with spirv-reduce, and writes a reproducer of one C file beside them.

signature.py says what a run showed; trial.py runs a mode on a shader folder and takes its
signature; interesting.py is the test spirv-reduce calls on each candidate; reproducer.py builds
and runs reproduce.c; write.py writes the output folder; command.py runs the whole.
"""
