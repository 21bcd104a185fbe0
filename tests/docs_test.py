#!/usr/bin/env python3
"""docs_test.py: runs the examples of the docs and compares what they print
with what the pages show, so that the docs can't drift from the programs.

    python3 tests/docs_test.py [--vurfleet PATH] [--scanner PATH] [PAGE.md...]

Without pages it reads README.md and docs/*.md. The marking, on the line
before a code block (indented or fenced):

    <!-- doctest: DIR -->         a fresh copy of examples/ in a scratch
                                  folder; the block runs in its DIR (`.` for
                                  examples/ itself, `exposure`, ...)
    <!-- doctest: continue -->    the folder of the page's last marked block,
                                  as that block left it

In the block, each line that starts with `$ ` is a command, run by bash in
that folder with `vurfleet` and `vurscanner` on the PATH, VURFLEET_DB and
VURSCANNER_ROOT unset and TZ=UTC; the lines up to the next command are what
it prints, standard output and standard error together. Blanks at the end
of a line (and the carriage returns of `--csv`) are not compared. The pages
fix the clock with `--now` or `--at` wherever the output depends on it. A
code block that starts with `$ vurfleet` or `$ vurscanner` and has no
marking is a failure, so none is forgotten; so is a marking with no block
right under it, and a command that runs past TIMEOUT.

Ends with "N passed, M failed": one test a block, and one a page for its
unmarked blocks. With --update it writes what the programs print into the
pages' blocks that differ instead (then read the change with git diff).
"""
import argparse
import difflib
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MARK = re.compile(r'^\s*<!--\s*doctest:\s*(\S+)\s*-->\s*$')
TIMEOUT = 120  # seconds a command may take; a hung one fails its block
RUNS = re.compile(r'^\$ (vurfleet|vurscanner)\b')


def blocks(lines):
    """Yields (index of the block's first line, its indent, marking or None,
    block lines) for each code block."""
    i, mark, mark_at = 0, None, -1
    while i < len(lines):
        line = lines[i]
        m = MARK.match(line)
        if m:
            mark, mark_at = m.group(1), i
            i += 1
            continue
        fence = re.match(r'^(\s*)(```+|~~~+)', line)
        indented = re.match(r'^( {4,})\S', line) \
            if i == 0 or not lines[i - 1].strip() or MARK.match(lines[i - 1]) else None
        if fence or indented:
            # A marking counts for the block right after it, blank lines between.
            own = mark if mark_at >= 0 and all(not l.strip() for l in lines[mark_at + 1:i]) else None
            body = []
            if fence:
                pad, close = len(fence.group(1)), fence.group(2)
                i += 1
                start = i
                while i < len(lines) and not lines[i].strip().startswith(close):
                    body.append(lines[i][pad:] if lines[i][:pad].isspace() else lines[i].lstrip())
                    i += 1
                i += 1
            else:
                pad, start = len(indented.group(1)), i
                while i < len(lines) and (not lines[i].strip() or lines[i].startswith(' ' * pad)):
                    body.append(lines[i][pad:])
                    i += 1
                while body and not body[-1].strip():
                    body.pop()
            yield start, pad, own, body
            mark, mark_at = None, -1
            continue
        i += 1


def run_block(body, cwd, env):
    """Runs the block's commands; returns the text the page should show."""
    out = []
    for line in body:
        if not line.startswith('$ '):
            continue
        out.append(line)
        try:
            done = subprocess.run(['bash', '-c', line[2:]], cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=TIMEOUT)
            text = done.stdout.decode('utf-8', errors='replace')
        except subprocess.TimeoutExpired:
            text = f'docs_test: no end after {TIMEOUT} s\n'
        out.extend(text.split('\n')[:-1] if text.endswith('\n') else text.split('\n') if text else [])
    return [l.rstrip() for l in out]


def main():
    ap = argparse.ArgumentParser(description='Runs the docs\' examples and compares their output.')
    ap.add_argument('--vurfleet', default=os.path.join(ROOT, 'build/linux/vurfleet'))
    ap.add_argument('--scanner', default=os.path.join(ROOT, 'build/linux/VURScanner'))
    ap.add_argument('--update', action='store_true',
                    help='write what the programs print into the pages\' marked blocks')
    ap.add_argument('pages', nargs='*')
    args = ap.parse_args()
    pages = args.pages or [os.path.join(ROOT, 'README.md')] + sorted(glob.glob(os.path.join(ROOT, 'docs/*.md')))
    for prog in (args.vurfleet, args.scanner):
        if not os.access(prog, os.X_OK):
            print(f'docs_test: {prog} is not built')
            print('0 passed, 1 failed')
            return 1

    work = tempfile.mkdtemp(prefix='docs_test.')
    bindir = os.path.join(work, 'bin')
    os.mkdir(bindir)
    os.symlink(os.path.abspath(args.vurfleet), os.path.join(bindir, 'vurfleet'))
    os.symlink(os.path.abspath(args.scanner), os.path.join(bindir, 'vurscanner'))
    env = {k: v for k, v in os.environ.items() if k not in ('VURFLEET_DB', 'VURSCANNER_ROOT')}
    env.update(PATH=bindir + os.pathsep + env.get('PATH', '/usr/bin:/bin'), TZ='UTC', LC_ALL='C.UTF-8')

    passed = failed = 0
    for page in pages:
        name = os.path.relpath(page, ROOT)
        with open(page, encoding='utf-8') as f:
            lines = f.read().split('\n')
        folder, unmarked, n, edits = None, [], 0, []
        for start, pad, mark, body in blocks(lines):
            at = start + 1
            first = next((l for l in body if l.strip()), '')
            if mark is None:
                if RUNS.match(first):
                    unmarked.append(at)
                continue
            n += 1
            label = f'{name}:{at}'
            if mark == 'continue':
                if folder is None:
                    print(f'FAIL {label}: "continue" with no marked block before it on the page')
                    failed += 1
                    continue
            else:
                if not os.path.isdir(os.path.join(ROOT, 'examples', mark)) or '..' in mark.split('/'):
                    print(f'FAIL {label}: no folder examples/{mark}')
                    failed += 1
                    continue
                copy = os.path.join(work, f'{os.path.basename(page)}.{n}', 'examples')
                shutil.copytree(os.path.join(ROOT, 'examples'), copy)
                folder = os.path.normpath(os.path.join(copy, mark))
            want = [l.rstrip() for l in body]
            got = run_block(body, folder, env)
            if got == want:
                passed += 1
                continue
            if args.update:
                edits.append((start, len(body), [(' ' * pad + l) if l else '' for l in got]))
            failed += 1
            print(f'FAIL {label}: the output differs from the page (- page, + program):')
            for d in difflib.unified_diff(want, got, f'{name} (the page)', 'the program', lineterm='', n=2):
                print('  ' + d)
        marks = [i + 1 for i, l in enumerate(lines) if MARK.match(l)]
        if len(marks) != n:
            failed += 1
            print(f'FAIL {name}: a doctest marking with no code block right under it, among lines '
                  + ', '.join(map(str, marks)))
        if edits:
            for start, count, new in reversed(edits):
                lines[start:start + count] = new
            with open(page, 'w', encoding='utf-8') as f:
                f.write('\n'.join(lines))
            print(f'{name}: {len(edits)} blocks written anew')
        if unmarked:
            failed += 1
            print(f'FAIL {name}: blocks that run a program have no doctest marking, at lines '
                  + ', '.join(map(str, unmarked)))
        else:
            passed += 1
    shutil.rmtree(work, ignore_errors=True)
    print(f'{passed} passed, {failed} failed')
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
