"""Picks at most MAX inputs that keep as many coverage features as possible.

Reads the control file of a libFuzzer `-set_cover_merge=1 -merge_control_file=CTL` run
(which lists every feature of every input) and copies the chosen inputs into OUT.
Inputs under SEEDS named by hand (not by libFuzzer's 40-hex SHA-1) are kept first: they
document intent (for example one valid file per format). Then greedily, each step takes the input that reaches the most edges not yet reached (an edge's
features are its hit-count buckets: feature // 8), then adds the most features; ties go to
inputs already under SEEDS (fewer changes in git), then to the smaller input. Edges come
first because a lost edge is code the fuzzer must find again, a lost bucket only a count.
usage: minimise.py CTL OUT MAX SEEDS
"""
import os
import re
import shutil
import sys


def main(ctl, out, cap, seeds):
    lines = open(ctl, encoding="utf-8", errors="surrogateescape").read().splitlines()
    count = int(lines[0])
    paths = lines[2:2 + count]
    features = [frozenset() for _ in paths]
    for line in lines[2 + count:]:
        if line.startswith("FT "):
            fields = line.split()
            features[int(fields[1])] = frozenset(map(int, fields[2:]))
    edges = [frozenset(f >> 3 for f in fs) for fs in features]
    sizes = [os.path.getsize(p) for p in paths]
    seeded = [os.path.commonpath([os.path.abspath(p), seeds]) == seeds for p in paths]
    chosen = [i for i in range(count)
              if seeded[i] and not re.fullmatch("[0-9a-f]{40}", os.path.basename(paths[i]))][:cap]
    reached = set().union(*(edges[i] for i in chosen))
    covered = set().union(*(features[i] for i in chosen))
    while len(chosen) < cap:
        best = max(range(count), key=lambda i: (len(edges[i] - reached), len(features[i] - covered),
                                                seeded[i], -sizes[i]), default=None)
        if best is None or not features[best] - covered:
            break
        reached |= edges[best]
        covered |= features[best]
        chosen.append(best)
    all_edges, all_features = set().union(*edges), set().union(*features)
    os.makedirs(out, exist_ok=True)
    for i in chosen:
        shutil.copyfile(paths[i], os.path.join(out, os.path.basename(paths[i])))
    print(f"kept {len(chosen)} of {count} inputs ({sum(sizes[i] for i in chosen)} bytes): "
          f"{len(reached)} of {len(all_edges)} edges, {len(covered)} of {len(all_features)} features")


if __name__ == "__main__":
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2], int(sys.argv[3]), os.path.abspath(sys.argv[4]))
