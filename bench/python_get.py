"""A hot get from Python: vantry_config against configparser on the same
file, as medians of five runs and their ratio (below 1: vantry_config is
faster).

    PYTHONPATH=build/python python3 bench/python_get.py

(build/python holds the package as installed: its sources and the built
extension module.)
"""

import configparser
import os
import statistics
import tempfile
import timeit

import vantry_config as ini

SECTIONS, KEYS, CALLS = 20, 25, 100_000

with tempfile.TemporaryDirectory() as directory:
    path = os.path.join(directory, "bench.ini")
    with open(path, "w") as out:
        for s in range(SECTIONS):
            out.write(f"; section {s}\n[Section{s}]\n")
            out.writelines(f"key{k} = {s * 1000 + k}\n" for k in range(KEYS))
    ours = ini.Settings(path)
    # ConfigParser() as most programs make it (with interpolation), and
    # without interpolation, its fastest get.
    theirs = configparser.ConfigParser()
    theirs.read(path)
    raw = configparser.ConfigParser(interpolation=None)
    raw.read(path)
    names = [(f"Section{s % SECTIONS}", f"key{s % KEYS}") for s in range(997)]

    def timed(get):
        def run():
            for section, key in names:
                get(section, key)
        rounds = max(1, CALLS // len(names))
        return timeit.timeit(run, number=rounds) / (rounds * len(names)) * 1e9

    cases = [
        ("get as text", lambda s, k: ours.get(s, k),
         lambda s, k: theirs.get(s, k)),
        ("get with a str fallback", lambda s, k: ours.get(s, k, ""),
         lambda s, k: theirs.get(s, k, fallback="")),
        ("get as int", lambda s, k: ours.get(s, k, 0),
         lambda s, k: theirs.getint(s, k, fallback=0)),
        ("get as text, no interpolation", lambda s, k: ours.get(s, k),
         lambda s, k: raw.get(s, k)),
        ("get as int, no interpolation", lambda s, k: ours.get(s, k, 0),
         lambda s, k: raw.getint(s, k, fallback=0)),
    ]
    for what, mine, other in cases:
        # Taken in turns, so that a busy machine slows both alike.
        a, b = zip(*[(timed(mine), timed(other)) for _ in range(5)])
        a, b = statistics.median(a), statistics.median(b)
        print(f"{what} ns, vantry_config / configparser: "
              f"{a:.0f} / {b:.0f} = {a / b:.2f}")
