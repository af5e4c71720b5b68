"""Seeded build-like data: packs that mix already-compressed and structured
bytes, binaries, and many small text-like files; and the 5% edit. Also a
tree of many small files (each its own chunk) and a seeded way to damage a
few files of an install."""
import os, random, sys

MIB = 1 << 20

def corpus(rng, size):
    # Code- and table-like bytes: identifiers, numbers, punctuation, zero runs.
    words = [''.join(rng.choice('abcdefghijklmnopqrstuvwxyz_') for _ in range(rng.randint(3, 12)))
             for _ in range(4000)]
    parts, n = [], 0
    while n < size:
        r = rng.random()
        if r < 0.7:
            s = ' '.join(rng.choice(words) for _ in range(rng.randint(2, 9))) + rng.choice(
                ['();\n', ' = 0;\n', ' {\n', '}\n', ', ', '\n'])
            b = s.encode()
        elif r < 0.9:
            b = b''.join(rng.randint(0, 4096).to_bytes(4, 'little') for _ in range(rng.randint(4, 32)))
        else:
            b = bytes(rng.randint(16, 512))
        parts.append(b)
        n += len(b)
    return b''.join(parts)[:size]

def structured(rng, base, size):
    out, n = [], 0
    while n < size:
        length = rng.randint(256, 16384)
        start = rng.randrange(0, len(base) - length)
        piece = bytearray(base[start:start + length])
        for _ in range(rng.randint(0, 8)):
            piece[rng.randrange(len(piece))] = rng.randrange(256)
        out.append(bytes(piece))
        n += length
    return b''.join(out)[:size]

def pack(rng, base, size):
    out, n = [], 0
    while n < size:
        seg = min(MIB, size - n)
        out.append(rng.randbytes(seg) if rng.random() < 0.5 else structured(rng, base, seg))
        n += seg
    return b''.join(out)

def write(path, content):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, 'wb') as f:
        f.write(content)

def layout(total):
    large = int(total * 0.6) // 4
    medium = int(total * 0.2) // 20
    return large, medium

def generate(root, total):
    rng = random.Random(20240611)
    base = corpus(rng, 8 * MIB)
    large, medium = layout(total)
    for i in range(4):
        write(f'{root}/data/pack{i}.pak', pack(rng, base, large))
    for i in range(20):
        write(f'{root}/bin/module{i:02}.dll', structured(rng, base, medium))
    small_total, i = int(total * 0.2), 0
    while small_total > 0:
        size = min(small_total, rng.randint(MIB // 5, 9 * MIB // 5))
        write(f'{root}/scripts/d{i % 10}/file{i:03}.txt', structured(rng, base, size))
        small_total -= size
        i += 1

def edit(root, total):
    rng = random.Random(777)
    base = corpus(rng, 4 * MIB)
    large, medium = layout(total)
    # About 5%: one file added, one removed, the rest as in-place edits
    # spread over three large packs.
    added = medium
    region = max(1, (int(total * 0.05) - added) // 12)
    for i in range(3):
        with open(f'{root}/data/pack{i}.pak', 'r+b') as f:
            for k in range(4):
                f.seek((k * 2 + 1) * large // 9)
                f.write(pack(rng, base, region))
    os.remove(f'{root}/bin/module07.dll')
    write(f'{root}/bin/module_new.dll', structured(rng, base, added))
    print(12 * region + added)

def chunklist(manifest, root):
    # Every distinct chunk of a manifest as "path offset size", first occurrence.
    import json
    doc = json.load(open(manifest))
    seen = set()
    for entry in doc['files']:
        offset = 0
        for c in entry['chunks']:
            if c['h'] not in seen:
                seen.add(c['h'])
                print(os.path.join(root, entry['path']), offset, c['n'])
            offset += c['n']

def changed(old, new):
    # Ids in the new manifest that the old one does not have, one per line.
    import json
    ids = lambda m: {c['h'] for e in json.load(open(m))['files'] for c in e['chunks']}
    for h in sorted(ids(new) - ids(old)):
        print(h)

def small(root, count):
    # count files of 1 to 64 KiB, a third of them incompressible. File i is
    # the same whatever count is, so a smaller tree is a prefix of a larger one.
    base = corpus(random.Random(4242), 4 * MIB)
    for i in range(count):
        rng = random.Random(i * 7919 + 1)
        size = rng.randint(1024, 64 * 1024)
        content = rng.randbytes(size) if rng.random() < 1 / 3 else structured(rng, base, size)
        write(f'{root}/s{i % 64:02}/d{i // 64 % 8}/obj{i:06}.bin', content)

def damage(root, count):
    # Breaks count files chosen by seed among those of at least 4 KiB, in
    # turn: bytes overwritten in the middle, cut to half, removed. Doing it
    # again after a repair breaks the same files the same way.
    files = sorted(os.path.join(d, f) for d, _, names in os.walk(root) for f in names)
    files = [f for f in files if os.path.getsize(f) >= 4096]
    rng = random.Random(31337)
    for k, path in enumerate(rng.sample(files, min(count, len(files)))):
        size = os.path.getsize(path)
        if k % 3 == 0:
            with open(path, 'r+b') as f:
                f.seek(size // 2)
                f.write(b'\xa5' * 64)
        elif k % 3 == 1:
            os.truncate(path, size // 2)
        else:
            os.remove(path)
        print(os.path.relpath(path, root))

cmd = sys.argv[1]
if cmd == 'generate':
    generate(sys.argv[2], int(sys.argv[3]) * MIB)
elif cmd == 'edit':
    edit(sys.argv[2], int(sys.argv[3]) * MIB)
elif cmd == 'chunklist':
    chunklist(sys.argv[2], sys.argv[3])
elif cmd == 'changed':
    changed(sys.argv[2], sys.argv[3])
elif cmd == 'small':
    small(sys.argv[2], int(sys.argv[3]))
elif cmd == 'damage':
    damage(sys.argv[2], int(sys.argv[3]))
else:
    sys.exit('usage: treegen.py generate|edit ROOT MIB | small ROOT COUNT | damage ROOT COUNT'
             ' | chunklist MANIFEST ROOT | changed OLD NEW')
