#!/usr/bin/python3
# CPU per file of reduced (thumbnail) reads by one or more pixbench builds
# against Pillow's thumbnail of the same files, in interleaved rounds so a
# loaded machine weighs on all alike; medians per file.
#
#   /usr/bin/python3 bench/cpu-vs-pillow.py DIR EXT LABEL=PIXBENCH [LABEL=PIXBENCH...]
#
# pixbench runs as a child (`time reduced 5 FILE`, CPU from the children's
# rusage, so its start-up is counted); Pillow runs in this process
# (Image.open, thumbnail((96, 96)), convert('RGB'); process_time).
import glob, os, resource, statistics, subprocess, sys, time
from PIL import Image

REPEAT, ROUNDS = 5, 3
folder, ext = sys.argv[1], sys.argv[2]
builds = [a.split('=', 1) for a in sys.argv[3:]]
files = sorted(glob.glob(os.path.join(folder, '*.' + ext)))


def children_cpu():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def ours(binary, f):
    t = children_cpu()
    subprocess.run([binary, 'time', 'reduced', str(REPEAT), f], stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=True)
    return (children_cpu() - t) / REPEAT


def pillow(f):
    t = time.process_time()
    for _ in range(REPEAT):
        im = Image.open(f)
        im.thumbnail((96, 96))
        im.convert('RGB')
    return (time.process_time() - t) / REPEAT


labels = [b[0] for b in builds] + ['Pillow']
res = {k: {f: [] for f in files} for k in labels}
for _ in range(ROUNDS):
    for f in files:
        for label, binary in builds:
            res[label][f].append(ours(binary, f))
        res['Pillow'][f].append(pillow(f))
print('%-32s' % 'file' + ''.join('%10s' % k for k in labels) + ''.join('%10s' % (k + '/P') for k in labels[:-1]))
total = {k: 0.0 for k in labels}
for f in files + [None]:
    m = {k: (statistics.median(res[k][f]) * 1000 if f else total[k]) for k in labels}
    if f:
        for k in labels:
            total[k] += m[k]
    name = os.path.basename(f)[:32] if f else 'total'
    print('%-32s' % name + ''.join('%8.1fms' % m[k] for k in labels) +
          ''.join('%10.2f' % (m[k] / m['Pillow']) for k in labels[:-1]))
