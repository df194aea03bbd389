#!/usr/bin/env python3
"""How much metadata a default cartaluz-lote run damages.

Every photo goes through its own default run (backup, EXIF positions, UTM name, painting) in a
scratch folder. exiftool dumps its tags before and after; a tag counts as damaged when it is
gone or its value changed. Tags that describe the encoding itself (offsets, strip layout,
compression, the XMP toolkit's name, the JPEG's own size and sampling) are left out, and so is
the MPF index, which the run drops on purpose (its images would show the unstamped photo).

Two scopes are printed: the EXIF, maker note, IPTC, XMP and Photoshop tags, and every block the
run carries (adding ICC profiles, JFIF, COM comments and other APPn blocks).

    bench/metadata_damage.py [--lote build/bin/cartaluz-lote] [--photos DIR] [--no-made]
                             [--reference] [--list] [--lote-args='--orientar ...']

--photos defaults to ../shared/photos beside the project; the files this script makes (a
Canon maker note, a Photoshop block, an ICC profile, a COM comment, an MPF pair) are added
unless --no-made. --reference also measures ImageMagick plus `exiftool -tagsfromfile` on the
same files. --list prints every damaged tag with its values. --lote-args adds options to the
run (for example --orientar, which rewrites the EXIF and XMP orientation).
"""

import argparse
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PHOTO_SUFFIXES = ('.jpg', '.jpeg', '.tif', '.tiff', '.png')

ISSUE_GROUPS = {'EXIF', 'MakerNotes', 'IPTC', 'XMP', 'Photoshop'}
# The container's own descriptors, the Adobe colour transform and the MPF index (dropped on
# purpose). PNG chunks cannot survive a PNG renamed to .jpg, which becomes a JPEG.
NEVER_COMPARED = {'ExifTool', 'File', 'Composite', 'System', 'APP14', 'MPF', 'PNG'}

# Tag names that describe how the pixels are stored rather than the photo.
ENCODING = re.compile(
    r'(Offsets?|ByteCounts?|Start|StripOffsets|RowsPerStrip|PlanarConfiguration|Compression|'
    r'PhotometricInterpretation|BitsPerSample|SamplesPerPixel|YCbCrSubSampling|XMPToolkit|'
    r'TileWidth|TileLength)$')


def exiftool_tags(path):
    out = subprocess.run(['exiftool', '-j', '-a', '-u', '-e', '-n', '-b', '-G0:1', path],
                         capture_output=True, check=False).stdout
    if not out:
        return {}

    def keep_duplicates(pairs):
        tags = {}
        for key, value in pairs:
            name, n = key, 1
            while name in tags:
                n += 1
                name = f'{key}#{n}'
            tags[name] = value
        return tags

    return json.loads(out, object_pairs_hook=keep_duplicates)[0]


def compared(key):
    """The scope a tag belongs to: 'issue', 'carried' or None when it is not compared."""
    if ':' not in key:  # SourceFile
        return None
    group0 = key.split(':', 1)[0]
    name = key.rsplit(':', 1)[-1].split('#')[0]
    if key.startswith('File:') and name == 'Comment':
        return 'carried'
    if group0 in NEVER_COMPARED or ENCODING.search(name):
        return None
    return 'issue' if group0 in ISSUE_GROUPS else 'carried'


def damage(before, after):
    """(scope, key, before, after) of every damaged tag, and the counts per scope."""
    totals = {'issue': 0, 'carried': 0}
    damaged = []
    for key, value in before.items():
        scope = compared(key)
        if not scope:
            continue
        totals[scope] += 1
        if after.get(key) != value:
            damaged.append((scope, key, value, after.get(key, '(gone)')))
    return damaged, totals


def run_lote(lote, extra, source, work):
    """The photo after a default run, or None when the run left no photo."""
    folder = os.path.join(work, 'fotos')
    os.makedirs(folder)
    shutil.copy(source, folder)
    env = dict(os.environ, QT_QPA_PLATFORM='offscreen')
    subprocess.run([lote, '-j', '1'] + extra + [folder], env=env, capture_output=True, check=False)
    outputs = [f for f in os.listdir(folder) if os.path.isfile(os.path.join(folder, f))]
    return os.path.join(folder, outputs[0]) if len(outputs) == 1 else None


def run_reference(source, work):
    """ImageMagick re-encodes at quality 90 with no metadata, exiftool copies all of it back."""
    out = os.path.join(work, 'reference.jpg')
    subprocess.run(['convert', source, '-strip', '-quality', '90', out],
                   capture_output=True, check=False)
    subprocess.run(['exiftool', '-q', '-q', '-overwrite_original', '-tagsfromfile', source,
                    '-all:all', out], capture_output=True, check=False)
    return out if os.path.exists(out) else None


# ---------------------------------------------------------------------------------------------
# Files made here, for blocks the shared photos lack.

def segment(marker, content):
    return struct.pack('>BBH', 0xFF, marker, len(content) + 2) + content


def with_segments(jpeg, segments):
    """jpeg with segments inserted right after its SOI."""
    return jpeg[:2] + b''.join(segments) + jpeg[2:]


def mpf_pair(primary, secondary):
    """primary with an MPF index naming secondary, which is appended after its EOI."""
    # MP header: TIFF header, then the index IFD with version, count and two entries.
    entries_at = 8 + 2 + 3 * 12 + 4
    ifd = struct.pack('<H', 3)
    ifd += struct.pack('<HHI4s', 0xB000, 7, 4, b'0100')
    ifd += struct.pack('<HHII', 0xB001, 4, 1, 2)
    ifd += struct.pack('<HHII', 0xB002, 7, 32, entries_at)
    ifd += struct.pack('<I', 0)
    header_size = 8 + len(ifd) + 32
    app2_size = 2 + 2 + 4 + header_size
    primary_size = len(primary) + app2_size
    mp_header_at = 2 + 4 + 4  # SOI, APP2 marker and length, "MPF\0"
    entries = struct.pack('<IIIHH', 0x20030000, primary_size, 0, 0, 0)
    entries += struct.pack('<IIIHH', 0x00010001, len(secondary), primary_size - mp_header_at, 0, 0)
    header = b'II*\x00' + struct.pack('<I', 8) + ifd + entries
    return with_segments(primary, [segment(0xE2, b'MPF\x00' + header)]) + secondary


def make_files(folder, shared):
    """Made photos with the blocks the tests also check; returns their paths."""
    made = []
    base = os.path.join(folder, 'base.jpg')
    subprocess.run(['convert', '-size', '640x480', 'gradient:#4060a0-#c0a060', '-quality', '95',
                    base], check=True)
    with open(base, 'rb') as f:
        plain = f.read()
    os.remove(base)

    def write(name, data):
        path = os.path.join(folder, name)
        with open(path, 'wb') as f:
            f.write(data)
        made.append(path)
        return path

    fiji = os.path.join(shared, 'smallFiji.JPG') if shared else ''
    iceland = os.path.join(shared, 'Iceland-P3.jpg') if shared else ''
    blocks = write('made_blocks.jpg', plain)
    args = ['exiftool', '-q', '-q', '-overwrite_original']
    if os.path.exists(fiji):  # a real Canon maker note, placed by exiftool
        args += ['-tagsfromfile', fiji, '-exif:all']
    if os.path.exists(iceland):  # ICC profile and Photoshop resources of a Photoshop export
        args += ['-tagsfromfile', iceland, '-icc_profile', '-photoshop:all']
    args += ['-tagsfromfile', '@', '-Comment=Obra 12, talud norte',
             '-XMP-dc:Title=Talud norte', '-IPTC:Keywords=obra', '-IPTC:Keywords=talud',
             '-IPTC:City=Valparaíso', '-charset', 'iptc=UTF8', blocks]
    subprocess.run(args, check=True)
    with open(blocks, 'rb') as f:
        full = f.read()
    write('made_mpf.jpg', mpf_pair(full, plain))
    write('made_comment_only.jpg',
          with_segments(plain, [segment(0xFE, 'Obra 12, talud norte'.encode())]))
    return made


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n', 1)[0])
    parser.add_argument('--lote', default=os.path.join(ROOT, 'build', 'bin', 'cartaluz-lote'))
    parser.add_argument('--photos', default=os.path.join(ROOT, '..', 'shared', 'photos'))
    parser.add_argument('--no-made', action='store_true')
    parser.add_argument('--reference', action='store_true')
    parser.add_argument('--list', action='store_true')
    parser.add_argument('--lote-args', default='')
    args = parser.parse_args()
    for tool in ('exiftool', 'convert'):
        if not shutil.which(tool):
            sys.exit(f'{tool} is missing (scripts/install-deps.sh installs it)')

    with tempfile.TemporaryDirectory() as scratch:
        photos = []
        if os.path.isdir(args.photos):
            photos = sorted(os.path.join(args.photos, f) for f in os.listdir(args.photos)
                            if f.lower().endswith(PHOTO_SUFFIXES))
        if not args.no_made:
            made = os.path.join(scratch, 'made')
            os.makedirs(made)
            photos += make_files(made, args.photos if os.path.isdir(args.photos) else '')

        extra = args.lote_args.split()
        ways = [(' '.join(['cartaluz-lote'] + extra),
                 lambda src, work: run_lote(args.lote, extra, src, work))]
        if args.reference:
            ways.append(('ImageMagick + exiftool', run_reference))
        for title, way in ways:
            sums = {'issue': [0, 0], 'carried': [0, 0]}
            rows = []
            for i, photo in enumerate(photos):
                work = os.path.join(scratch, f'{title[0]}{i}')
                os.makedirs(work)
                result = way(photo, work)
                before = exiftool_tags(photo)
                after = exiftool_tags(result) if result else {}
                damaged, totals = damage(before, after)
                for scope in sums:
                    sums[scope][0] += sum(1 for d in damaged if d[0] == scope)
                    sums[scope][1] += totals[scope]
                rows.append((os.path.basename(photo), damaged, totals))
                shutil.rmtree(work)

            print(f'== {title}: {len(photos)} photos')
            for name, damaged, totals in rows:
                if damaged:
                    issue = sum(1 for d in damaged if d[0] == 'issue')
                    print(f'  {name}: {issue}/{totals["issue"]} EXIF/IPTC/XMP/Photoshop, '
                          f'{len(damaged) - issue}/{totals["carried"]} other blocks')
                    if args.list:
                        for scope, key, old, new in damaged:
                            print(f'      {key}: {str(old)[:60]!r} -> {str(new)[:60]!r}')
            issue_bad, issue_all = sums['issue']
            all_bad = issue_bad + sums['carried'][0]
            all_all = issue_all + sums['carried'][1]
            print(f'  EXIF, maker notes, IPTC, XMP, Photoshop: {issue_bad}/{issue_all} damaged, '
                  f'{100.0 * issue_bad / max(issue_all, 1):.2f} %')
            print(f'  every carried block:                     {all_bad}/{all_all} damaged, '
                  f'{100.0 * all_bad / max(all_all, 1):.2f} %')


if __name__ == '__main__':
    main()
